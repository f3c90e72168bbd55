"""Objects whose repr, str, format, truth value or `this` raise or answer
junk, and FormatError stand-ins.
"""

import types


class ReprRaises:
    def __repr__(self):
        raise ValueError("no repr")


class ReprNotStr:
    def __repr__(self):
        return 42


class ThisRaises:
    @property
    def this(self):
        raise KeyError("this")


class BoolRaises:
    def __bool__(self):
        raise ZeroDivisionError("bool")


class FormatRaises(str):
    def __format__(self, format_spec):
        raise LookupError("format")


def format_error_returning(make):
    """An `error` whose FormatError returns make() (a new object each call:
    raising one stored instance again and again chains its tracebacks, in
    Python code just as here)."""
    return types.SimpleNamespace(FormatError=lambda *a, **k: make())


def format_error_raising():
    def fail(*a, **k):
        raise OSError("FormatError itself failed")

    return types.SimpleNamespace(FormatError=fail)

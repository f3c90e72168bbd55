"""Checks of option values against a driver's option catalogue.

A driver keeps whatever value it is given (``Driver.set_creation_options``
stores values unchanged), and GDAL itself only warns about a bad one before
going on with it. The command line calls :func:`check_option_value` for
every value before a dataset is created, so a typo such as
``COMPRESS=LZX`` or ``ZLEVEL=high`` stops with a message instead of
producing a file that is not what was asked for.

The record is one entry of an option catalogue: the option's attributes as
GDAL's option list gives them (``type``, ``default``, ``min``, ``max``,
``maxsize``, ...) and, under ``"value"``, the list of permitted values when
the list names any.

Types, as GDAL's option lists spell them:

``int``, ``integer``
    An optional sign and decimal digits.
``unsigned int``
    Decimal digits, no minus sign.
``float``
    A decimal number, with an optional exponent.
``boolean``
    ``YES``/``NO``, ``TRUE``/``FALSE``, ``ON``/``OFF``, ``1``/``0``, in any
    case; normalised to ``YES`` or ``NO``.
``string-select``
    One of the permitted values (or the record's default), compared without
    regard to case as GDAL does; normalised to the catalogue's spelling.
``string`` (and any type not listed here)
    Any text, no longer than ``maxsize`` characters where that is given.

``min`` and ``max`` bound the numeric types where the record gives them.
"""

import re

__all__ = ["OptionValueError", "check_option_value", "allowed_text"]

_INT = re.compile(r"[+-]?[0-9]+\Z")
_FLOAT = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
_TRUE = frozenset({"YES", "TRUE", "ON", "1"})
_FALSE = frozenset({"NO", "FALSE", "OFF", "0"})
_INT_TYPES = frozenset({"int", "integer"})


class OptionValueError(ValueError):
    """A value that the option's catalogue record does not allow.

    ``name`` is the option, ``value`` the value as given and ``allowed`` a
    short text of what the option takes; ``str(exc)`` names all three.
    """

    def __init__(self, name, value, allowed):
        self.name = name
        self.value = value
        self.allowed = allowed
        super().__init__(f"invalid value {_show(value)} for option {name}: {allowed}")


def _show(value) -> str:
    return repr(value) if isinstance(value, str) else repr(str(value))


def _type(record) -> str:
    kind = record.get("type")
    return kind.strip().lower() if isinstance(kind, str) and kind.strip() else "string"


def _bound(record, key):
    """The numeric ``min``/``max`` of a record, or ``None`` (absent or not a number)."""
    text = record.get(key)
    if not isinstance(text, str) or not _FLOAT.match(text.strip()):
        return None
    number = float(text)
    return int(number) if number.is_integer() else number


def _num_text(number) -> str:
    return str(int(number)) if float(number).is_integer() else str(number)


def _range_text(low, high) -> str:
    if low is not None and high is not None:
        return f"from {_num_text(low)} to {_num_text(high)}"
    if low is not None:
        return f"at least {_num_text(low)}"
    return f"at most {_num_text(high)}"


def _choices(record) -> list[str]:
    values = record.get("value")
    if not isinstance(values, list):
        return []
    return [v for v in values if isinstance(v, str)]


def allowed_text(record) -> str:
    """A short text of what an option takes, for listings.

    ``"YES/NO"`` for booleans, the permitted values of a string-select
    separated by ``", "``, ranges such as ``"from 1 to 100"`` for numbers,
    ``"at most 8 characters"`` for bounded strings, the listed values of a
    free-text option as a suggestion, otherwise ``""``.
    """
    kind = _type(record)
    if kind == "boolean":
        return "YES/NO"
    if kind == "string-select":
        return ", ".join(_choices(record))
    if kind in _INT_TYPES or kind in ("unsigned int", "float"):
        low, high = _bound(record, "min"), _bound(record, "max")
        if kind == "unsigned int" and low is None:
            low = 0
        if low is None and high is None:
            return ""
        return _range_text(low, high)
    parts = []
    if _choices(record):  # listed for a free-text option: a hint only
        parts.append("suggested: " + ", ".join(_choices(record)))
    maxsize = _bound(record, "maxsize")
    if isinstance(maxsize, int):
        parts.append(f"at most {maxsize} characters")
    return "; ".join(parts)


def _as_text(value) -> str:
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "YES" if value else "NO"
    return str(value)


def _check_range(name, value, number, record, what):
    low, high = _bound(record, "min"), _bound(record, "max")
    if (low is not None and number < low) or (high is not None and number > high):
        raise OptionValueError(name, value, f"expected {what} {_range_text(low, high)}")


def _check_int(name, value, record, kind):
    text = _as_text(value).strip()
    unsigned = kind == "unsigned int"
    what = "a non-negative integer" if unsigned else "an integer"
    if isinstance(value, bool) or not _INT.match(text) or (unsigned and text.startswith("-")):
        extra = allowed_text(record)
        raise OptionValueError(name, value, f"expected {what}" + (f" {extra}" if extra else ""))
    number = int(text)
    _check_range(name, value, number, record, what)
    return str(number)


def _check_float(name, value, record):
    text = _as_text(value).strip()
    if isinstance(value, bool) or not _FLOAT.match(text):
        extra = allowed_text(record)
        raise OptionValueError(name, value, "expected a number" + (f" {extra}" if extra else ""))
    _check_range(name, value, float(text), record, "a number")
    return text


def _check_bool(name, value):
    word = _as_text(value).strip().upper()
    if word in _TRUE:
        return "YES"
    if word in _FALSE:
        return "NO"
    raise OptionValueError(
        name, value, "expected a boolean: YES, NO, TRUE, FALSE, ON, OFF, 1 or 0"
    )


def _check_select(name, value, record):
    text = _as_text(value)
    choices = _choices(record)
    if not choices:  # the option list names no values: nothing to compare with
        return text
    folded = text.strip().casefold()
    default = record.get("default")
    if isinstance(default, str) and default.casefold() == folded:
        # a few option lists give a default that they do not list
        return default
    for choice in choices:
        if choice.casefold() == folded:
            return choice
    raise OptionValueError(name, value, "allowed values are " + ", ".join(choices))


def _check_string(name, value, record):
    text = _as_text(value)
    maxsize = _bound(record, "maxsize")
    if isinstance(maxsize, int) and len(text) > maxsize:
        raise OptionValueError(name, value, f"expected at most {maxsize} characters")
    return text


def check_option_value(name, value, record) -> str:
    """Check ``value`` for the option ``name`` against its catalogue ``record``.

    Returns the value as the text to hand to GDAL (booleans as ``YES`` or
    ``NO``, a string-select value in the catalogue's spelling, integers
    without sign noise, other texts unchanged). ``value`` is normally a
    str; ``bool``, ``int`` and ``float`` values (as a configuration file
    gives them) are taken as their GDAL texts. Raises
    :class:`OptionValueError` (a ``ValueError``) naming the option, the
    value and what the option allows.
    """
    kind = _type(record)
    if kind in _INT_TYPES or kind == "unsigned int":
        return _check_int(name, value, record, kind)
    if kind == "float":
        return _check_float(name, value, record)
    if kind == "boolean":
        return _check_bool(name, value)
    if kind == "string-select":
        return _check_select(name, value, record)
    return _check_string(name, value, record)

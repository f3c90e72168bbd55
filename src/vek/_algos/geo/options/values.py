"""The value rules of GDAL's option lists, as GDAL and its drivers read
values (``atoi``, ``CPLStrtod``, ``CPLTestBool``, ``EQUAL``); the rules
themselves are described in :mod:`vek.optioncheck`, which is their public
face. They sit here, below the modules that call GDAL, so that those need
nothing from above them."""


import functools
import math
import re

from ..binding.gdaldefs import fold

__all__ = ["OptionValueError", "check_option_value", "allowed_text", "value_text", "fold",
           "c_atoi", "c_atof", "NO_TEXT_TYPES"]

_INT = re.compile(r"[+-]?[0-9]+\Z")
_SIGNS_AND_DIGITS = re.compile(r"[0-9+-]*\Z")
_STRTOD = re.compile(
    r"""[+-]?(?:
        (?P<dec>(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)
      | (?P<hex>0[xX](?:[0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]+)(?:[pP][+-]?[0-9]+)?)
      | (?P<inf>[iI][nN][fF](?:[iI][nN][iI][tT][yY])?)
      | (?P<nan>[nN][aA][nN](?:\([0-9A-Za-z_]*\))?)
    )""",
    re.X,
)
# From GDAL 3.9 on CPLStrtod reads with fast_float, which knows neither
# hexadecimal floats nor a NaN payload ("nan(1)").
_FAST_FLOAT = re.compile(
    r"""[+-]?(?:
        (?P<dec>(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)
      | (?P<hex>(?!))
      | (?P<inf>[iI][nN][fF](?:[iI][nN][iI][tT][yY])?)
      | (?P<nan>[nN][aA][nN])
    )""",
    re.X,
)
# CPLStrtod's own spellings (MSVC's); GDAL takes any text after them.
_MSVC_SPECIAL = re.compile(r"-?1\.#(?:QNAN|SNAN|IND)\Z|-?1\.#[iI][nN][fF]\Z")
_C_SPACE = " \t\n\r\f\v"
_TRUE = frozenset({"yes", "true", "on", "1"})
_FALSE = frozenset({"no", "false", "off", "0"})
# values whose str() is no text GDAL would read
NO_TEXT_TYPES = (list, tuple, dict, set, frozenset, bytes, bytearray, memoryview)
_INT_TYPES = frozenset({"int", "integer", "unsigned int"})
_NUMERIC_TYPES = _INT_TYPES | {"float"}
_INT_MIN, _INT_MAX = -(2**31), 2**31 - 1
class OptionValueError(ValueError):
    """A value that the option's catalogue record does not allow.

    ``name`` is the option, ``value`` the value as given and ``allowed`` a
    short text of what the option takes; ``str(exc)`` names all three.
    """

    __module__ = "vek.optioncheck"  # its public home, where pickles find it

    def __init__(self, name, value, allowed):
        self.name = name
        self.value = value
        self.allowed = allowed
        super().__init__(f"invalid value {_show(value)} for option {name}: {allowed}")

    def __reduce__(self):
        return (type(self), (self.name, self.value, self.allowed))


def _show(value) -> str:
    return repr(value) if isinstance(value, str) else repr(str(value))


def _type(record) -> str:
    kind = record.get("type")
    return fold(kind) if isinstance(kind, str) else ""


# -------------------------------------------------------------------- C readers


def c_atoi(text: str) -> int:
    """What glibc's ``atoi`` reads from ``text``: leading white space, a
    sign and digits, as a C ``int`` (wrapping as ``(int) strtol`` does)."""
    match = re.match(r"[ \t\n\r\f\v]*([+-]?[0-9]+)", text)
    if not match:
        return 0
    number = int(match.group(1))
    number = max(min(number, 2**63 - 1), -(2**63))  # strtol saturates at long
    number &= 0xFFFFFFFF
    return number - 2**32 if number > _INT_MAX else number


@functools.cache
def _strtod():
    """The pattern of what the running GDAL's ``CPLStrtod`` reads."""
    try:
        from osgeo import _gdal

        version = int(_gdal.VersionInfo("VERSION_NUM"))
    except Exception:  # no bindings: C's strtod, as GDAL before 3.9
        version = 0
    return _FAST_FLOAT if version >= 3090000 else _STRTOD


def _strtod_value(match) -> float:
    text = match.group(0)
    negative = text.startswith("-")
    if match.group("hex"):
        try:
            return float.fromhex(text)
        except OverflowError:
            return -math.inf if negative else math.inf
    if match.group("inf"):
        return -math.inf if negative else math.inf
    if match.group("nan"):
        return math.nan
    return float(text)


def c_atof(text: str) -> float:
    """What ``CPLAtof`` reads from ``text``: the longest number at its start
    (after blanks), or 0.0."""
    stripped = text.lstrip(_C_SPACE)
    special = re.match(r"-?1\.#(QNAN|SNAN|IND|[iI][nN][fF])", stripped)
    if special:
        if special.group(1).upper() == "INF":
            return -math.inf if stripped.startswith("-") else math.inf
        return math.nan
    match = _strtod().match(stripped)
    return _strtod_value(match) if match else 0.0


def _int_bound(record, key):
    text = record.get(key)
    return c_atoi(text) if isinstance(text, str) else None


def _float_bound(record, key):
    text = record.get(key)
    return c_atof(text) if isinstance(text, str) else None


# -------------------------------------------------------------------- texts


def _num_text(number) -> str:
    if isinstance(number, float) and number.is_integer():
        return str(int(number))
    return str(number)


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


def _aliases(record) -> list[str]:
    values = record.get("value_aliases")
    if not isinstance(values, list):
        return []
    return [v for v in values if isinstance(v, str)]


def _bounds(record, kind):
    read = _float_bound if kind == "float" else _int_bound
    low, high = read(record, "min"), read(record, "max")
    if kind == "unsigned int" and low is None:
        low = 0
    return low, high


def allowed_text(record) -> str:
    """A short text of what an option takes, for listings.

    ``"YES/NO"`` for booleans, the permitted values of a string-select
    separated by ``", "``, ranges such as ``"from 1 to 100"`` for numbers,
    ``"at most 8 bytes"`` for bounded strings, the listed values of a
    free-text option as a suggestion, otherwise ``""``.
    """
    kind = _type(record) or "string"
    if kind == "boolean":
        return "YES/NO"
    if kind == "string-select":
        return ", ".join(_choices(record) + _aliases(record))
    if kind in _NUMERIC_TYPES:
        low, high = _bounds(record, kind)
        if low is None and high is None:
            return ""
        return _range_text(low, high)
    parts = []
    if _choices(record):  # listed for a free-text option: a hint only
        parts.append("suggested: " + ", ".join(_choices(record)))
    if kind == "string" and isinstance(record.get("maxsize"), str):
        parts.append(f"at most {c_atoi(record['maxsize'])} bytes")
    return "; ".join(parts)


# -------------------------------------------------------------------- checks


def value_text(name, value) -> str:
    """The GDAL text of an option value: a str as it is, ``True``/``False``
    as ``YES``/``NO``, anything else as ``str(value)``; a container (list,
    dict, bytes, ...) has no text GDAL would read and raises TypeError."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "YES" if value else "NO"
    if isinstance(value, NO_TEXT_TYPES) or hasattr(type(value), "keys"):
        raise TypeError(
            f"option {name}: a {type(value).__name__} has no text form GDAL reads; "
            "give a str, a number or a bool"
        )
    return str(value)


def _as_text(name, value) -> str:
    text = value_text(name, value)
    if "\0" in text:
        raise OptionValueError(name, value, "GDAL's texts end at a NUL character; leave it out")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise OptionValueError(name, value, "not text GDAL can take (it is not valid UTF-8)") from None
    return text


def _check_range(name, value, number, record, kind, what):
    low, high = _bounds(record, kind)
    if (low is not None and number < low) or (high is not None and number > high):
        raise OptionValueError(name, value, f"expected {what} {_range_text(low, high)}")


def _int_refusal(text, kind) -> str:
    what = "a non-negative integer" if kind == "unsigned int" else "an integer"
    if _SIGNS_AND_DIGITS.match(text):
        # GDAL's own check looks at the characters only
        return (f"expected {what}; GDAL's check lets {text!r} through, "
                f"but drivers read it with atoi as {c_atoi(text)}")
    return f"expected {what}"


def _check_int(name, value, record, kind, text):
    if isinstance(value, (bool, float)) or not _INT.match(text) or (
        kind == "unsigned int" and text.startswith("-")
    ):
        allowed = _int_refusal(text, kind)
        extra = allowed_text(record)
        raise OptionValueError(name, value, allowed + (f" {extra}" if extra else ""))
    number = int(text)
    if not _INT_MIN <= number <= _INT_MAX:
        raise OptionValueError(
            name, value,
            f"beyond what drivers read (they use atoi: a C int, from {_INT_MIN} to {_INT_MAX})",
        )
    what = "a non-negative integer" if kind == "unsigned int" else "an integer"
    _check_range(name, value, number, record, kind, what)
    return str(number)


def _check_float(name, value, record, text):
    match = _strtod().fullmatch(text) if not isinstance(value, bool) else None
    if match is not None:
        number = _strtod_value(match)
    elif not isinstance(value, bool) and _MSVC_SPECIAL.match(text):
        number = c_atof(text)
    else:
        extra = allowed_text(record)
        raise OptionValueError(name, value, "expected a number" + (f" {extra}" if extra else ""))
    if math.isnan(number):
        low, high = _bounds(record, "float")
        if low is not None or high is not None:
            raise OptionValueError(
                name, value, f"expected a number {_range_text(low, high)} (NaN is in no range)"
            )
        return text
    _check_range(name, value, number, record, "float", "a number")
    return text


def _check_bool(name, value, text):
    word = fold(text)
    if word in _TRUE:
        return "YES"
    if word in _FALSE:
        return "NO"
    raise OptionValueError(
        name, value, "expected a boolean: YES, NO, TRUE, FALSE, ON, OFF, 1 or 0"
    )


def _check_select(name, value, record, text):
    choices = _choices(record)
    aliases = _aliases(record)
    if (not choices and not aliases) or record.get("other_values"):
        return text  # nothing to compare with, or other values are fine too
    folded = fold(text.strip(_C_SPACE))
    # An empty <Value/> has no text for GDAL's check to match: leaving the
    # option unset is the only way to give it.
    named = [choice for choice in choices + aliases if choice]
    for choice in named:
        if fold(choice) == folded:
            return choice
    unset = " (or leave the option unset)" if len(named) < len(choices + aliases) else ""
    raise OptionValueError(name, value, "allowed values are " + ", ".join(named) + unset)


def _check_string(name, value, record, text):
    maxsize = record.get("maxsize")
    if isinstance(maxsize, str):
        limit = c_atoi(maxsize)
        if len(text.encode("utf-8")) > limit:
            raise OptionValueError(name, value, f"expected at most {limit} bytes (UTF-8)")
    return text


def check_option_value(name, value, record) -> str:
    """Check ``value`` for the option ``name`` against its catalogue ``record``.

    Returns the value as the text to hand to GDAL (booleans as ``YES`` or
    ``NO``, a string-select value in the list's spelling, integers without
    sign noise or blanks, numbers without blanks, other texts unchanged).
    ``value`` is normally a str; ``bool``, ``int`` and ``float`` values (as
    a configuration file gives them) are taken as their GDAL texts. Raises
    :class:`OptionValueError` (a ``ValueError``) naming the option, the
    value and what the option allows; the module's documentation gives the
    rules, which are GDAL's own.

    Whether a refused value stops a creation is the configuration file's
    ``[options] check`` setting: ``"error"`` (the default) raises,
    ``"warn"`` emits an ``OptionValueWarning`` and goes on, ``"off"``
    checks nothing.
    """
    kind = _type(record)
    text = _as_text(name, value)
    if kind in _INT_TYPES:
        return _check_int(name, value, record, kind, text.strip(_C_SPACE))
    if kind == "float":
        return _check_float(name, value, record, text.strip(_C_SPACE))
    if kind == "boolean":
        return _check_bool(name, value, text.strip(_C_SPACE))
    if kind == "string-select":
        return _check_select(name, value, record, text)
    if kind == "string":
        return _check_string(name, value, record, text)
    return text

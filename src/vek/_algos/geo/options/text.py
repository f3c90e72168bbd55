"""Options as GDAL's binding takes them: option dicts turned into
``KEY=VALUE`` lists, each value's text, and the name GDAL reads out of such
a text."""

__all__ = ["gdal_options", "is_mapping", "option_text", "split_option", "gdal_key", "refuse_bad_name"]


def is_mapping(obj) -> bool:
    if isinstance(obj, dict):
        return True
    # Anything mapping-like (MappingProxyType, custom Mapping classes)
    # without importing collections.abc at module import time.
    cls = type(obj)
    return (
        hasattr(cls, "keys")
        and hasattr(cls, "__getitem__")
        and not isinstance(obj, (str, bytes, bytearray, list, tuple))
    )


def option_text(name, value) -> str:
    if isinstance(value, str):
        return value
    if value is True:
        return "YES"
    if value is False:
        return "NO"
    from .values import value_text  # with re and math: not needed for str and bool

    return value_text(name, value)  # containers raise TypeError there


def split_option(item: str):
    """``(key, value)`` of a ``KEY=VALUE`` (or ``KEY:VALUE``) text as
    GDAL's CPLParseNameValue reads it, or ``None``."""
    import re

    match = re.match(r"([^=:]*)[=:][ \t]*", item)
    if match is None:
        return None
    return match.group(1).rstrip(" \t"), item[match.end():]


def gdal_key(name: str) -> str:
    """The option name GDAL reads out of ``NAME=VALUE`` (CPLParseNameValue:
    up to the first ``=`` or ``:``, trailing blanks dropped)."""
    return split_option(f"{name}=")[0]


# GDAL's multidimensional copy reads these itself, the rest of the name
# being an array's own option
_PREFIXES = ("ARRAY:",)


def refuse_bad_name(name: str) -> None:
    """``ValueError`` for an option name GDAL would not read whole: empty,
    or with ``=`` or ``:`` in it (GDAL reads ``COMPRESS:FOO=DEFLATE`` as
    ``COMPRESS`` set to ``FOO=DEFLATE``), but for the ``ARRAY:`` options of
    a multidimensional copy."""
    rest = name
    for prefix in _PREFIXES:
        if name[:len(prefix)].upper() == prefix:
            rest = name[len(prefix):]
            break
    if not rest or "=" in rest or ":" in rest:
        raise ValueError(f"invalid GDAL option name {name!r}: GDAL reads a name up to the first "
                         f"':' or '=', and would read {gdal_key(name)!r}")


def _no_nul(item: str) -> str:
    if "\0" in item:
        raise ValueError(f"invalid GDAL option {item!r}: GDAL's texts end at a NUL character")
    return item


def gdal_options(options):
    """Return ``options`` the way GDAL's binding takes them.

    A mapping becomes a list of ``"KEY=VALUE"`` strings, in the mapping's
    order, with these value rules:

    * ``str`` values are used as they are;
    * ``True`` -> ``"YES"``, ``False`` -> ``"NO"``;
    * ``int`` and ``float`` values -> ``str(value)``;
    * ``None`` -> the option is left out altogether;
    * a list, tuple, dict, set or bytes value raises TypeError naming the
      option (GDAL would read its ``str`` as something else);
    * any other object -> ``str(value)``.

    Keys are turned into text with ``str``; an empty key, one with ``"="``
    or ``":"`` in it (but for a leading ``ARRAY:``) raises ``ValueError``
    (see :func:`refuse_bad_name`).  ``None`` gives ``None``; a list or
    tuple of strings (already in GDAL's form) is returned as a new list.
    A NUL anywhere raises ``ValueError``: GDAL's texts end there, so the
    option would reach it cut (a name without its value).
    """
    if options is None:
        return None
    if is_mapping(options):
        out = []
        for key in options.keys():
            value = options[key]
            if value is None:
                continue
            name = key if isinstance(key, str) else str(key)
            refuse_bad_name(name)
            out.append(_no_nul(f"{name}={option_text(name, value)}"))
        return out
    if isinstance(options, (list, tuple)):
        for item in options:
            if not isinstance(item, str):
                raise TypeError(
                    "GDAL options must be a dict or a list of 'KEY=VALUE' "
                    f"strings, found item {item!r}"
                )
        return [_no_nul(item) for item in options]
    raise TypeError(
        "GDAL options must be a dict or a list of 'KEY=VALUE' strings, "
        f"not {type(options).__name__}"
    )

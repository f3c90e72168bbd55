"""Raster data types as GDAL knows them.

The table of types is read from the installed GDAL (``GetDataTypeName``
over its codes), so it has ``Int8``, ``UInt64``, ``Int64`` and later types
exactly when the installed GDAL does.  ``GDT_Unknown`` (0) is not a raster
type and is never accepted.

``RaterDataType``
    An ``IntEnum`` with one member per GDAL type, named as GDAL names it
    (``RaterDataType.Byte == 1``, ``RaterDataType.Float32 == 6``, ...).
    Built on first use.
``get_raster_dtype_code(dtype)``
    GDAL's integer code of ``dtype``.
``get_raster_dtype_name(code)``
    GDAL's name of a code.
``dtype_names()``
    All accepted names, in code order.
"""

from osgeo import _gdal

__all__ = [
    "RaterDataType",
    "get_raster_dtype_code",
    "get_raster_dtype_name",
    "dtype_names",
]

_by_code: dict[int, str] | None = None
_by_name: dict[str, int] = {}
_by_fold: dict[str, int] = {}


def _table() -> dict[int, str]:
    global _by_code
    if _by_code is None:
        by_code: dict[int, str] = {}
        code = 1
        while code < 256:
            try:
                name = _gdal.GetDataTypeName(code)
            except Exception:  # the binding refuses codes past the last type
                break
            if not name or name == "Unknown":
                break
            by_code[code] = name
            code += 1
        _by_name.update({n: c for c, n in by_code.items()})
        _by_fold.update({n.casefold(): c for c, n in by_code.items()})
        _by_code = by_code
    return _by_code


def dtype_names() -> list[str]:
    """The GDAL type names accepted, in code order."""
    return list(_table().values())


def _accepted() -> str:
    table = _table()
    return ", ".join(f"{n} ({c})" for c, n in table.items())


def get_raster_dtype_code(dtype) -> int:
    """Return GDAL's integer code of a raster data type.

    ``dtype`` may be

    * a GDAL type name as GDAL writes it (``"Byte"``, ``"UInt16"``,
      ``"Float32"``, ``"CFloat64"``, ...).  The exact spelling is looked
      up first, then the name without regard to case (``"float32"``);
    * one of GDAL's integer codes (``6``), or any object with
      ``__index__`` other than ``bool``;
    * a member of :class:`RaterDataType`.

    Raises ``TypeError`` for other types (``bool`` included) and
    ``ValueError`` for unknown names or codes; both messages list the
    accepted names and codes.
    """
    table = _table()
    if isinstance(dtype, str):
        code = _by_name.get(dtype)
        if code is None:
            code = _by_fold.get(dtype.casefold())
        if code is None:
            raise ValueError(
                f"unknown raster data type {dtype!r}; accepted: {_accepted()}"
            )
        return code
    if isinstance(dtype, bool):
        raise TypeError(
            f"a raster data type cannot be a bool; accepted: {_accepted()}"
        )
    if isinstance(dtype, int) or hasattr(type(dtype), "__index__"):
        code = int(dtype.__index__())
        if code not in table:
            raise ValueError(
                f"unknown raster data type code {code}; accepted: {_accepted()}"
            )
        return code
    raise TypeError(
        "a raster data type must be a GDAL type name, code or RaterDataType, "
        f"not {type(dtype).__name__}; accepted: {_accepted()}"
    )


def get_raster_dtype_name(code) -> str:
    """GDAL's name of a raster data type (``6`` -> ``"Float32"``)."""
    return _table()[get_raster_dtype_code(code)]


def _make_enum():
    import enum

    cls = enum.IntEnum(
        "RaterDataType",
        [(name, code) for code, name in _table().items()],
        module=__name__,
    )
    cls.__doc__ = "GDAL raster data types, named and numbered as GDAL does."
    return cls


def __getattr__(name):
    if name == "RaterDataType":
        value = _make_enum()
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | {"RaterDataType"})

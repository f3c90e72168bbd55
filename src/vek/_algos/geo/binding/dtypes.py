"""Raster data types as GDAL knows them.

The table of types is read from the installed GDAL, so it has ``Int8``,
``UInt64``, ``Float16`` and later types exactly when the installed GDAL
does: a code's name is ``GetDataTypeName(code)``, and a further name of
the same code (GDAL 3.13's ``UInt8`` for ``Byte``) is any ``GDT_*``
constant of the binding that ``GetDataTypeByName`` takes back to that
code.  ``GDT_Unknown`` (0) is not a raster type and is never accepted.

``RaterDataType``
    An ``IntEnum`` with one member per GDAL type, named as GDAL names it
    (``RaterDataType.Byte == 1``, ``RaterDataType.Float32 == 6``, ...);
    further names are aliases (``RaterDataType.UInt8 is
    RaterDataType.Byte`` where GDAL has ``UInt8``).  Built on first use.
``get_raster_dtype_code(dtype)``
    GDAL's integer code of ``dtype``: a GDAL name or code, or a numpy
    dtype, scalar type or dtype name (``np.uint16``, ``"complex64"``).
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
_aliases: dict[int, list[str]] = {}  # code -> further names GDAL accepts
_by_name: dict[str, int] = {}
_by_fold: dict[str, int] = {}


def _type_name(code: int) -> str | None:
    try:
        name = _gdal.GetDataTypeName(code)
    except Exception:  # the binding refuses codes past the last type
        return None
    return name if name and name != "Unknown" else None


def _gdt_constants() -> list[tuple[str, int]]:
    """The binding's ``GDT_*`` names and codes (none where it has no
    constants module)."""
    try:
        from osgeo import gdalconst
    except ImportError:
        return []
    return [(n[4:], v) for n, v in vars(gdalconst).items()
            if n.startswith("GDT_") and type(v) is int]


def _gdal_code(name: str) -> int:
    """GDAL's own reading of a type name: its code, or 0."""
    if "\0" in name:  # the binding would pass on only the text before it
        return 0
    try:
        return _gdal.GetDataTypeByName(name)
    except Exception:  # a text the binding cannot convert (a lone surrogate)
        return 0


def _table() -> dict[int, str]:
    global _by_code
    if _by_code is None:
        constants = _gdt_constants()
        count = dict(constants).get("TypeCount")
        by_code: dict[int, str] = {}
        for code in range(1, count if count else 256):
            name = _type_name(code)
            if name is None:
                if count:
                    continue
                break
            by_code[code] = name
        aliases: dict[int, list[str]] = {}
        for name, code in constants:
            if code in by_code and name != by_code[code] and _gdal_code(name) == code:
                aliases.setdefault(code, []).append(name)
        _aliases.update({c: sorted(a) for c, a in aliases.items()})
        for code, name in by_code.items():
            for n in (name, *_aliases.get(code, ())):
                _by_name[n] = code
                _by_fold[n.casefold()] = code
        _by_code = by_code
    return _by_code


# numpy's kinds of number by (kind, size in bytes) -> GDAL's type of the same
# values. numpy's name of each is its kind's word and its size in bits
# ("uint16", "complex64"). A type the running GDAL lacks (Int8 before 3.7,
# Float16 before 3.11) is refused where it is looked up.
_NUMPY_KINDS = {
    ("u", 1): "Byte", ("i", 1): "Int8", ("u", 2): "UInt16", ("i", 2): "Int16",
    ("u", 4): "UInt32", ("i", 4): "Int32", ("u", 8): "UInt64", ("i", 8): "Int64",
    ("f", 2): "Float16", ("f", 4): "Float32", ("f", 8): "Float64",
    ("c", 8): "CFloat32", ("c", 16): "CFloat64",
}
_KIND_WORDS = {"u": "uint", "i": "int", "f": "float", "c": "complex"}
_module_of = type.__dict__["__module__"].__get__
_NUMPY_NAMES = {f"{_KIND_WORDS[k]}{8 * size}": gdal for (k, size), gdal in _NUMPY_KINDS.items()}


def _numpy_dtype(obj):
    """numpy's dtype of ``obj`` if it is a numpy dtype or scalar type, else
    None. numpy is imported only for an object of its own, so it is loaded
    already and nothing else pays for it."""
    try:  # type's own reading: no metaclass or class attribute of the caller runs
        module = _module_of(obj if isinstance(obj, type) else type(obj))
    except AttributeError:
        return None
    if not isinstance(module, str) or module.partition(".")[0] != "numpy":
        return None
    import numpy

    if isinstance(obj, numpy.dtype) or (isinstance(obj, type) and issubclass(obj, numpy.generic)):
        return numpy.dtype(obj)
    return None


def _numpy_accepted() -> str:
    table = _table()
    return ", ".join(n for n, gdal in _NUMPY_NAMES.items() if _by_name.get(gdal) in table)


def _from_numpy(name: str, gdal: str | None) -> int:
    code = _by_name.get(gdal) if gdal else None
    if code is None:
        raise ValueError(
            f"GDAL {_gdal.VersionInfo('RELEASE_NAME')} has no raster data type for numpy's "
            f"{name}; accepted numpy types: {_numpy_accepted()}; GDAL's: {_accepted()}"
        )
    return code


def dtype_names() -> list[str]:
    """The GDAL type names accepted, in code order (a code's further
    names right after its first)."""
    _table()
    return list(_by_name)


def _accepted() -> str:
    table = _table()
    return ", ".join(
        " or ".join((n, *_aliases.get(c, ()))) + f" ({c})" for c, n in table.items()
    )


def get_raster_dtype_code(dtype) -> int:
    """Return GDAL's integer code of a raster data type.

    ``dtype`` may be

    * a GDAL type name as GDAL writes it (``"Byte"``, ``"UInt16"``,
      ``"Float32"``, ``"CFloat64"``, ...), or a further name that this
      GDAL accepts (``"UInt8"`` on GDAL 3.13).  The exact spelling is
      looked up first, then the name without regard to case
      (``"float32"``), then GDAL itself is asked;
    * one of GDAL's integer codes (``6``), or any object with
      ``__index__`` other than ``bool``;
    * a member of :class:`RaterDataType`;
    * a numpy dtype or scalar type (``np.dtype("float32")``,
      ``np.uint16``) or numpy's name of one (``"complex64"``), for the GDAL
      type that holds the same values (``CFloat32``) in any byte order.

    Raises ``TypeError`` for other types (``bool`` included) and
    ``ValueError`` for unknown names or codes and for numpy types GDAL has
    no type for (``bool``, ``float16`` before GDAL 3.11, strings); the
    messages list the accepted names and codes.
    """
    table = _table()
    if isinstance(dtype, str):
        code = _by_name.get(dtype)
        if code is None:
            code = _by_fold.get(dtype.casefold())
        if code is None and dtype in _NUMPY_NAMES:
            return _from_numpy(dtype, _NUMPY_NAMES[dtype])
        if code is None:
            code = _gdal_code(dtype)
        if code not in table:
            raise ValueError(
                f"unknown raster data type {dtype!r}; accepted: {_accepted()}"
            )
        return code
    if isinstance(dtype, bool):
        raise TypeError(
            f"a raster data type cannot be a bool; accepted: {_accepted()}"
        )
    np_dtype = _numpy_dtype(dtype)
    if np_dtype is not None:
        return _from_numpy(np_dtype.name, _NUMPY_KINDS.get((np_dtype.kind, np_dtype.itemsize)))
    if isinstance(dtype, int) or hasattr(type(dtype), "__index__"):
        code = int(dtype.__index__())
        if code not in table:
            raise ValueError(
                f"unknown raster data type code {code}; accepted: {_accepted()}"
            )
        return code
    raise TypeError(
        "a raster data type must be a GDAL type name, code or RaterDataType, or a numpy dtype, "
        f"not {type(dtype).__name__}; accepted: {_accepted()}"
    )


def get_raster_dtype_name(code) -> str:
    """GDAL's name of a raster data type (``6`` -> ``"Float32"``)."""
    return _table()[get_raster_dtype_code(code)]


def _make_enum():
    import enum

    _table()
    # a code's first name makes the member; its further names are aliases
    cls = enum.IntEnum("RaterDataType", list(_by_name.items()), module=__name__)
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

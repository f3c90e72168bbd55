"""Where a raster lies: its spatial reference, geotransform and nodata
value, checked whole before any of them is written, then set in the order
GDAL's drivers need (a GeoPackage fixes its tile matrix set with the
geotransform, in the spatial reference it has by then)."""

import math
import re
from dataclasses import dataclass

from osgeo import _gdal, _osr

from .. import _error as error
from .gdalcall import call_gdal_fun
from .layers import spatial_reference

__all__ = ["Georeferencing", "checked_georeferencing", "apply_georeferencing", "band_types", "raster_size"]

_OAMS_TRADITIONAL_GIS_ORDER = 0  # x is easting or longitude, as in a geotransform


@dataclass(frozen=True)
class Georeferencing:
    """What to set; ``None`` for a part that stays as it is."""

    srs: str | None = None
    transform: tuple[float, ...] | None = None
    nodata: int | float | None = None


def _numbers(value, count: int, what: str) -> tuple[float, ...]:
    try:
        items = tuple(value)
    except TypeError:
        items = ()
    if len(items) != count or not all(_is_number(v) for v in items):
        raise ValueError(f"{what} must be {count} numbers, got {value!r}")
    numbers = tuple(_as_float(v, what) for v in items)
    if not all(math.isfinite(v) for v in numbers):
        raise ValueError(f"{what} must be finite numbers, got {value!r}")
    return numbers


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _as_float(value, what: str) -> float:
    try:
        return float(value)
    except OverflowError:  # an int beyond any double, 10**400
        raise ValueError(f"{what}: {value!r} is too large for a double") from None


def _transform(bounds, transform, size) -> tuple[float, ...] | None:
    """The geotransform from ``transform``, or from ``bounds`` (xmin, ymin,
    xmax, ymax: the outer edges of the corner pixels, north up)."""
    if bounds is not None and transform is not None:
        raise ValueError("give bounds or transform, not both")
    if transform is not None:
        gt = _numbers(transform, 6, "transform")
        if gt[1] * gt[5] - gt[2] * gt[4] == 0:
            raise ValueError(f"transform {transform!r} maps every pixel onto a line: "
                             "its pixel sizes must not be 0")
        return gt
    if bounds is None:
        return None
    xmin, ymin, xmax, ymax = _numbers(bounds, 4, "bounds (xmin, ymin, xmax, ymax)")
    if not (xmin < xmax and ymin < ymax):
        raise ValueError(f"bounds need xmin < xmax and ymin < ymax, got {tuple(bounds)!r}")
    width, height = size
    if width <= 0 or height <= 0:
        raise ValueError(f"bounds need a raster of at least one pixel, not {width} x {height}")
    sizes = ((xmax - xmin) / width, (ymax - ymin) / height)
    if not all(math.isfinite(v) and v != 0 for v in sizes):  # the span overflows, or underflows per pixel
        raise ValueError(f"bounds {tuple(bounds)!r} give pixel sizes of {sizes[0]!r} x {sizes[1]!r} "
                         f"for {width} x {height} pixels: they must be finite and not 0")
    return (xmin, sizes[0], 0.0, ymax, 0.0, -sizes[1])


def _nodata_number(value) -> int | float:
    """``value`` as a number: an int or float, or a text of one ("-9999",
    "nan"); integral texts stay exact ints (a UInt64 nodata), within what
    a double, GDAL's nodata, holds."""
    number = _parsed_number(value)
    _as_float(number, "nodata")
    return number


def _parsed_number(value) -> int | float:
    if _is_number(value):
        return value
    if isinstance(value, str):
        text = value.strip()
        for parse in (int, float):
            try:
                return parse(text)
            except ValueError:
                pass
    raise ValueError(f"nodata must be a number, got {value!r}")


_INTEGER_TYPE = re.compile(r"(U?)Int(\d+)$")


def _type_range(type_name: str) -> tuple[int, int] | None:
    """The values an integer data type holds; ``None`` for other types."""
    if type_name == "Byte":
        return 0, 255
    match = _INTEGER_TYPE.match(type_name)
    if match is None:
        return None
    bits = int(match.group(2))
    return (0, 2 ** bits - 1) if match.group(1) else (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)


_FLOAT32_MAX = 3.4028234663852886e38  # 2**128 - 2**104
# Values below this round to FLT_MAX as a float32; gdalinfo prints -FLT_MAX
# as -3.4028235e+38, which is just beyond it as a double.
_FLOAT32_ROUNDS_TO_MAX = 2 ** 128 - 2 ** 103


def _float32_nodata(value, number):
    """``number`` as a Float32 band holds it: ±FLT_MAX for what rounds to it."""
    if not math.isfinite(number) or abs(number) <= _FLOAT32_MAX:
        return number
    if abs(number) >= _FLOAT32_ROUNDS_TO_MAX:
        raise ValueError(f"nodata {value!r} is outside what Float32 bands hold")
    return math.copysign(_FLOAT32_MAX, number)


def _check_nodata(value, type_names) -> int | float:
    number = _nodata_number(value)
    for name in type_names:
        held = _type_range(name)
        if held is not None:
            if isinstance(number, float) and not number.is_integer():
                raise ValueError(f"nodata {value!r} is not a whole number, which {name} bands hold")
            if not held[0] <= number <= held[1]:
                raise ValueError(f"nodata {value!r} is outside what {name} bands hold "
                                 f"({held[0]} to {held[1]})")
        elif name == "Float32":
            number = _float32_nodata(value, number)
    return number


def checked_georeferencing(srs=None, bounds=None, transform=None, nodata=None, *,
                           size, type_names=()) -> Georeferencing:
    """The parts checked, for a raster of ``size`` (width, height) whose
    bands are of the data types ``type_names``.  Bad input (a spatial
    reference GDAL cannot read, or with a NUL; bounds with xmin >= xmax
    or giving infinite or zero pixel sizes; a number beyond a double; a
    nodata value that is no number or that the bands cannot hold) raises
    ``ValueError``."""
    if srs is not None:
        _osr.delete_SpatialReference(spatial_reference(srs))
        srs = str(srs)
    gt = _transform(bounds, transform, size)
    if nodata is not None:
        nodata = _check_nodata(nodata, type_names)
    return Georeferencing(srs, gt, nodata)


def raster_size(handle, path, nodata) -> tuple[int, int]:
    """The dataset's (width, height), refused where it holds no raster: no
    bands and no size, or no bands to take a nodata value (a vector
    dataset, which GDAL gives a size all the same)."""
    size = (_gdal.Dataset_RasterXSize_get(handle), _gdal.Dataset_RasterYSize_get(handle))
    if not _gdal.Dataset_RasterCount_get(handle) and (size == (0, 0) or nodata is not None):
        raise ValueError(f"{path!r} holds no raster to georeference")
    return size


def band_types(handle) -> list[str]:
    """The data type names of the dataset's bands."""
    return [_gdal.GetDataTypeName(_gdal.Band_DataType_get(_gdal.Dataset_GetRasterBand(handle, i)))
            for i in range(1, _gdal.Dataset_RasterCount_get(handle) + 1)]


def _set(fun, *args, kept) -> None:
    """One setting call; GDAL's failure raises its ``GDALError``.  A driver
    may answer CE_Failure without a message and keep the value all the same
    (a GeoPackage's Float32 nodata in GDAL 3.6), so the value read back,
    ``kept()``, decides then."""
    status = call_gdal_fun(fun, *args)
    if status not in (0, None) and not kept():
        raise error.GDALError(f"GDAL {fun.__name__} failed without giving a reason "
                              f"(it returned {status})", function=fun.__name__)


def _set_nodata(band, type_name, value) -> None:
    if type_name in ("Int64", "UInt64") and isinstance(value, int):
        fun = _gdal.Band_SetNoDataValueAsInt64 if type_name == "Int64" else _gdal.Band_SetNoDataValueAsUInt64
        get = _gdal.Band_GetNoDataValueAsInt64 if type_name == "Int64" else _gdal.Band_GetNoDataValueAsUInt64
    else:
        fun, get, value = _gdal.Band_SetNoDataValue, _gdal.Band_GetNoDataValue, float(value)

    def kept():
        got = get(band)  # None when the band has none
        return got == value or (got is not None and math.isnan(got) and math.isnan(value))

    _set(fun, band, value, kept=kept)


def _has_srs(handle) -> bool:
    ref = _gdal.Dataset_GetSpatialRef(handle)  # a copy, which the caller deletes
    if ref is None:
        return False
    _osr.delete_SpatialReference(ref)
    return True


def apply_georeferencing(handle, geo: Georeferencing) -> None:
    """Set the parts of ``geo`` on the dataset: the spatial reference first,
    then the geotransform, then each band's nodata value."""
    if geo.srs is not None:
        ref = spatial_reference(geo.srs)
        try:
            _osr.SpatialReference_SetAxisMappingStrategy(ref, _OAMS_TRADITIONAL_GIS_ORDER)
            _set(_gdal.Dataset_SetSpatialRef, handle, ref, kept=lambda: _has_srs(handle))
        finally:
            _osr.delete_SpatialReference(ref)
    if geo.transform is not None:
        _set(_gdal.Dataset_SetGeoTransform, handle, list(geo.transform),
             kept=lambda: tuple(_gdal.Dataset_GetGeoTransform(handle)) == geo.transform)
    if geo.nodata is not None:
        for index, type_name in enumerate(band_types(handle), start=1):
            _set_nodata(_gdal.Dataset_GetRasterBand(handle, index), type_name, geo.nodata)

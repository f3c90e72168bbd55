"""``write_raster``: a numpy array written as a georeferenced raster.

The array is lent to an in-memory dataset (GDAL's MEM driver reads it in
place, no copy), georeferenced there with the checks of
``GeoDatabase.georeference``, and written with the copy road of
``copy_to``: CreateCopy into a private folder beside the target, read
back and compared with what was asked, then published by rename. Formats
that GDAL writes by copy only (PNG, JPEG, COG) take the same road.
"""

import os

from osgeo import _gdal

from .. import _error as error
from ..binding.capabilities import metadata_flag
from ..binding.dtypes import get_raster_dtype_code
from ..dataset.gdalcall import call_gdal_fun
from ..dataset.owner import adopt
from ..dataset.precheck import writing_driver
from ..registry.identify import drivers_for_path
from ..verify.compare import checked_verify

__all__ = ["write_raster"]


def _bands(array):
    """The array as (bands, rows, columns), in the machine's byte order and
    laid out row by row (a copy only where it is not), with its GDAL type."""
    import numpy as np

    data = np.asarray(array)
    if data.ndim == 2:
        data = data[np.newaxis]
    if data.ndim != 3:
        raise ValueError(f"write_raster takes a 2-D (rows, columns) or 3-D (bands, rows, columns) array, "
                         f"got {data.ndim} dimension{'s' if data.ndim != 1 else ''}")
    if 0 in data.shape:
        raise ValueError(f"write_raster needs at least one band, row and column, got shape {data.shape}")
    if data.dtype == np.bool_:
        data = data.view(np.uint8)  # GDAL has no boolean type: written as Byte 0 and 1
    code = get_raster_dtype_code(data.dtype)
    if not data.dtype.isnative:
        data = data.astype(data.dtype.newbyteorder("="))
    return np.ascontiguousarray(data), code


def _lent(data, code):
    """An in-memory dataset whose bands read ``data``'s memory in place; the
    caller keeps ``data`` alive as long as the dataset."""
    bands, rows, cols = data.shape
    mem = call_gdal_fun(_gdal.Driver_Create, _gdal.GetDriverByName("MEM"), "", cols, rows, 0, code, [])
    db = adopt(mem, None)
    address = data.__array_interface__["data"][0]
    item = data.itemsize
    for index in range(bands):
        where = address + index * data.strides[0]
        call_gdal_fun(_gdal.Dataset_AddBand, mem, code,
                      [f"DATAPOINTER={where}", f"PIXELOFFSET={item}", f"LINEOFFSET={data.strides[1]}"])
    return db


def _driver(path, driver):
    """The raster driver to write ``path`` with: the one given, or the one
    its extension names."""
    if driver is None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"write_raster needs a path, got {type(path).__name__}")
        driver = drivers_for_path(path, single=True, kind="raster")
    handle = writing_driver(driver)
    if not metadata_flag(handle, "DCAP_RASTER"):
        name = _gdal.Driver_ShortName_get(handle)
        raise error.FormatError(f"{name} writes no rasters; give a raster driver")
    return driver


def write_raster(path, array, driver=None, *, srs=None, bounds=None, transform=None, nodata=None,
                 options=None, progress=None, verify="error"):
    """Write ``array`` to ``path`` as a raster and return it opened, as a
    ``GeoDatabase``.

    ``array`` is 2-D (rows, columns) or 3-D (bands, rows, columns) of any
    numpy type GDAL has (``bool`` is written as Byte). ``driver`` (a short
    name or driver object) defaults to the raster driver of the path's
    extension. ``srs``, ``bounds``, ``transform`` and ``nodata`` are
    checked and set as ``GeoDatabase.georeference`` does; ``options`` are
    the driver's creation options, checked before anything is written, and
    ``progress`` is as for ``copy_to``.

    The raster is written aside and moved into place only once GDAL closed
    it without error, then read back and compared with what was asked
    (size, bands, data type, spatial reference, geotransform, nodata):
    ``verify="error"`` raises ``WriteMismatch`` naming each difference and
    keeps nothing, ``"warn"`` keeps it and warns once per difference,
    ``"pixels"`` also compares every value (for formats that keep them:
    not JPEG), ``"off"`` reads nothing back. Any failure leaves every file
    that was there as it was.
    """
    verify = checked_verify(verify)
    driver = _driver(path, driver)
    data, code = _bands(array)
    with _lent(data, code) as mem:
        if (srs, bounds, transform, nodata) != (None,) * 4:
            mem.georeference(srs, bounds=bounds, transform=transform, nodata=nodata)
        return mem.copy_to(path, driver, options=options, progress=progress, verify=verify)

"""``write_raster``: a numpy array written as a georeferenced raster.

A driver that creates datasets writes the array band by band, in strips,
into a dataset made by Create in a private folder beside the target; one
that writes by copy only (PNG, JPEG, COG) copies an in-memory dataset that
reads the array in place (GDAL's MEM driver, no copy) by ``copy_to``'s
road. Either way the georeferencing is checked as
``GeoDatabase.georeference`` checks it, and the file is read back and
compared with the array's in-memory dataset before it is published by
rename.
"""

import os

from osgeo import _gdal

import contextlib

from .. import _error as error
from ..binding.capabilities import metadata_flag, write_modes
from ..binding.dtypes import get_raster_dtype_code
from ..dataset.copying import Check, publish_written, stage_for
from ..dataset.creation import remove_created
from ..dataset.gdalcall import call_creating, call_gdal_fun
from ..dataset.owner import adopt
from ..dataset.precheck import own_creation_options, writing_driver
from ..dataset.shutdown import calls
from ..registry.identify import drivers_for_path
from ..verify.compare import checked_verify
from ..verify.facts import dataset_facts

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
    its extension names; ``(driver, handle)``."""
    if driver is None:
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"write_raster needs a path, got {type(path).__name__}")
        driver = drivers_for_path(path, single=True, kind="raster")
    handle = writing_driver(driver)
    if not metadata_flag(handle, "DCAP_RASTER"):
        name = _gdal.Driver_ShortName_get(handle)
        raise error.FormatError(f"{name} writes no rasters; give a raster driver")
    return driver, handle


_STRIP_BYTES = 1 << 24  # written at once of a band


def _write_bands(handle, data, code, progress, path) -> None:
    """The array written into the dataset, band by band in strips; after
    each, ``progress`` (when given) hears the fraction done, and may
    return ``False`` to stop."""
    bands, rows, cols = data.shape
    step = max(1, _STRIP_BYTES // (cols * data.itemsize))
    total, done = bands * rows, 0
    for index in range(bands):
        band = _gdal.Dataset_GetRasterBand(handle, index + 1)
        for top in range(0, rows, step):
            strip = data[index, top:top + step]
            call_gdal_fun(_gdal.Band_WriteRaster, band, 0, top, cols, strip.shape[0], strip, buf_type=code)
            done += strip.shape[0]
            if progress is not None and progress(done / total) is False:
                raise error.GDALError(f"writing {path!r} was stopped by progress; nothing was kept",
                                      function="Band_WriteRaster", path=path)


def _created(mem, data, code, path, driver, target, georef, options, progress, verify):
    """The array written by Create into a dataset aside (in place where the
    driver writes no files of its own), compared with ``mem`` (the array's
    in-memory dataset) and published."""
    path = os.fsdecode(os.fspath(path))
    asked = dataset_facts(mem.handle, raster=True, layers=[]) if verify != "off" else None
    check = Check(asked, verify, path, lambda: contextlib.nullcontext(mem.handle), target)
    stage = stage_for(path, target)
    bands, rows, cols = data.shape
    if options is None:
        options = own_creation_options(driver)
    with calls, calls.copying(path, stage):
        try:
            handle, made = call_creating(_gdal.Driver_Create, target, stage.path if stage else path,
                                         cols, rows, bands, code, options)
        except BaseException:
            if stage is not None:
                stage.discard()
            raise
        # aside, what the write made goes with the stage: the published
        # copy is the one read back
        db = adopt(handle, None if stage is not None else made)
        try:
            if not _made_as_asked(handle, code):
                raise _CopyInstead
            if georef:
                db.georeference(*georef[0], **georef[1])
            _write_bands(handle, data, code, progress, path)
            if stage is not None:
                db.close()
                return publish_written(stage, target, path, 0, adopt, check)
            found = check.differences(handle)
            check.settle(found)
            return db
        except BaseException:
            files = [] if db.closed else db.files
            with contextlib.suppress(error.GDALError):
                db.close()
            if stage is not None:
                stage.discard()
            else:
                remove_created(made, files)
            raise


class _CopyInstead(Exception):
    """The driver's Create did not make what was asked: copied instead."""


def _made_as_asked(handle, code) -> bool:
    """Whether Create made every band of the type asked (GDAL 3.13's COG
    creates Byte bands whatever it is asked, where its CreateCopy writes
    the type of the source)."""
    count = _gdal.Dataset_RasterCount_get(handle)
    return all(_gdal.Band_DataType_get(_gdal.Dataset_GetRasterBand(handle, i)) == code for i in range(1, count + 1))


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
    driver, target = _driver(path, driver)
    data, code = _bands(array)
    georef = ((srs,), {"bounds": bounds, "transform": transform, "nodata": nodata})
    given = (srs, bounds, transform, nodata) != (None,) * 4
    with _lent(data, code) as mem:
        if given:
            mem.georeference(srs, bounds=bounds, transform=transform, nodata=nodata)
        if "create" in write_modes(target):
            try:
                return _created(mem, data, code, path, driver, target, georef if given else None, options,
                                progress, verify)
            except _CopyInstead:
                if "copy" not in write_modes(target):
                    raise error.FormatError(f"{_gdal.Driver_ShortName_get(target)} does not create "
                                            f"{_gdal.GetDataTypeName(code)} bands") from None
        return mem.copy_to(path, driver, options=options, progress=progress, verify=verify)

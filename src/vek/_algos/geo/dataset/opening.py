"""The ways to a ``GeoDatabase`` from a path: ``open_file`` opens a dataset
(read-only again when an update open fails), ``create_vector`` creates an
empty vector dataset."""

import os

from osgeo import _gdal

from .. import _error as error
from ..binding.capabilities import main_extension, metadata_item
from ..binding.messages import CE_FAILURE, CE_FATAL
from ..binding.optionlists import OPTION_LISTS
from ..binding.paths import fs_path, gdal_path, mem_temp_path, not_found, sibling_names
from ..options.check import check_options
from ..options.text import gdal_options
from .creation import release_dataset
from .gdalcall import (  # noqa: F401
    OF_GNM, OF_MULTIDIM, OF_RASTER, OF_UPDATE, OF_VECTOR, OF_VERBOSE_ERROR, call_creating, open_raw,
)
from .owner import GeoDatabase, adopt
from .precheck import creating_driver

__all__ = ["open_file", "create_vector", "not_found", "sibling_names", "OF_UPDATE", "OF_RASTER",
           "OF_VECTOR", "OF_GNM", "OF_MULTIDIM", "OF_VERBOSE_ERROR"]


def create_vector(driver, path=None, *, options=None):
    """Create an empty vector dataset with ``driver`` (a short name or a
    driver object) and dataset-level creation ``options`` (a dict, such as
    GPKG's ``VERSION`` or SQLite's ``SPATIALITE``), and return it as a
    ``GeoDatabase``.  Layers are added with
    :meth:`GeoDatabase.create_layer`.  ``path=None`` creates it in memory.
    A driver that cannot create datasets raises ``FormatError``."""
    handle = creating_driver(driver)
    if path is None:
        path = mem_temp_path(main_extension(handle))
    elif not isinstance(path, str):
        path = os.fsdecode(os.fspath(path))
    new, made = call_creating(_gdal.Driver_Create, handle, path, 0, 0, 0, 0,
                              options if options is not None else {})
    return adopt(new, made, update=True)


def _str_list(value, what: str):
    if value is None:
        return []
    if isinstance(value, str):
        value = [value]
    items = list(value)
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"{what} must be strings, found {item!r}")
    return items


def _checked_open_options(options, drivers):
    """The open options checked against the one allowed driver's open-option
    list (with several or no drivers, which one opens the file is not known
    beforehand, and GDAL's own warnings speak for it)."""
    if options is None or len(drivers) != 1:
        return options
    handle = _gdal.GetDriverByName(drivers[0])
    if handle is None:
        return options
    text = metadata_item(handle, OPTION_LISTS["open"])
    return check_options(options, text, kind="open", container=f"driver {drivers[0]}")


def _opened(handle, update, messages):
    """The ``GeoDatabase`` of a handle, GDAL's warnings of the open emitted
    first (a warning turned into an error closes the dataset again)."""
    try:
        messages.emit()
    except BaseException:
        release_dataset(handle)
        raise
    return GeoDatabase(handle, update=update)


def open_file(path, flags=0, drivers=None, open_options=None, sibling_files=None):
    """Open the dataset at ``path`` and return a :class:`GeoDatabase`.

    ``path``
        A ``str``, ``bytes`` or path-like object; names that are not UTF-8
        (bytes, or a surrogate-escaped ``str``) reach GDAL as the file
        system's bytes.  A NUL, here or in a sibling name, raises
        ``ValueError("embedded null byte")``.

    ``flags``
        GDAL open flags: update 1, raster 2, vector 4, gnm 8, multidim 16
        (0 = any kind, read-only).  Verbose errors (0x40) are always added.
    ``drivers``
        Short names of the drivers allowed to open it (``None`` or empty:
        any driver).
    ``open_options``
        Dict of open options, converted like
        :func:`~vek._algos.geo.dataset.gdalcall.call_gdal_fun` converts options
        (``True`` -> ``YES``, ``None`` -> left out, ...); a list of
        ``KEY=VALUE`` strings is taken as is.
    ``sibling_files``
        ``None`` or an empty list: GDAL looks for sidecar files itself; a
        list of file names (relative to the dataset's directory) tells GDAL
        which files exist beside it.

    When update access was asked for and the update open fails, the
    dataset is opened read-only instead if that succeeds: the data may
    only be read (file permissions, a read-only file system, a read-only
    virtual file system such as ``/vsizip/``), or the driver cannot update
    existing datasets.  The result's ``update`` is then ``False``.  Only
    when the read-only open fails too is the update failure raised.

    With one allowed driver, the open options are first checked against
    that driver's open-option list (a bad value raises
    :class:`~vek.optioncheck.OptionValueError`, as the configuration's
    ``[options] check`` says). GDAL's warnings are emitted as
    :class:`~vek._algos.geo._error.GDALWarning`.

    Failures raise :class:`~vek._algos.geo._error.GDALFileNotFoundError`
    (also a ``FileNotFoundError``) when the file does not exist, and
    :class:`~vek._algos.geo._error.GDALError` otherwise; both name the path
    and give GDAL's reason (with the warnings it gave first).  Nothing is
    printed, and the GDAL exception mode is left as it was.
    """
    path = fs_path(path)
    if isinstance(flags, bool) or not isinstance(flags, int):
        raise TypeError(f"flags must be an int, not {type(flags).__name__}")
    drivers = _str_list(drivers, "drivers")
    options = gdal_options(_checked_open_options(open_options, drivers)) or []
    # The binding turns an empty list into "no list" (NULL), which is what
    # GDAL takes as "look beside the file yourself".
    siblings = sibling_names(sibling_files)

    handle, err, messages = open_raw(gdal_path(path), flags, drivers, options, siblings)
    if handle is not None:
        return _opened(handle, bool(flags & OF_UPDATE), messages)

    if flags & OF_UPDATE and not not_found(path):
        ro_handle, _ro_err, ro_messages = open_raw(gdal_path(path), flags & ~OF_UPDATE, drivers, options, siblings)
        if ro_handle is not None:
            return _opened(ro_handle, False, ro_messages)

    err_type, err_no, msg = err
    reason = (msg or "no driver could open it") + messages.text()
    kw = dict(
        function="OpenEx",
        gdal_message=msg,
        error_no=err_no,
        error_type=err_type if err_type in (CE_FAILURE, CE_FATAL) else CE_FAILURE,
        path=path,
        warnings=messages.warnings,
    )
    if not_found(path):
        raise error.GDALFileNotFoundError(f"cannot open {path!r}: it does not exist ({reason})", **kw)
    raise error.GDALError(f"cannot open {path!r}: {reason}", **kw)

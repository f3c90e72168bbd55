"""Closing a dataset handle, and what its creation made when that fails.

The functions here never raise for GDAL's failures: they return them, so
that the owner closes first and reports after (see ``GeoDatabase.close``).
"""

import os

from osgeo import _gdal

from .. import _error as error
from ..binding.capabilities import metadata_flag
from ..binding.messages import CE_FAILURE, CE_FATAL, gdal_messages, last_gdal_error, quiet_gdal
from ..binding.paths import gdal_path, is_file, remove_path
from .creation import dataset_files, release_dataset, remove_created
from .gdalcall import OF_UPDATE, open_raw
from .shutdown import calls

__all__ = ["close_handle", "closing_error", "mem_leftovers", "release", "leave_at_exit"]


def mem_leftovers(path: str) -> list[str]:
    """Every in-memory file or directory belonging to a ``mem_temp_path``.

    Such paths are ``<dir>/<32 hex digits>[.ext]``; everything in ``<dir>``
    whose name starts with those digits belongs to that dataset (sidecars
    such as ``.shx``/``.dbf`` or ``.aux.xml``, or a directory's content).
    """
    folder, name = path.rsplit("/", 1)
    stem = name.split(".", 1)[0]
    try:
        entries = _gdal.ReadDirRecursive(folder + "/") or []
    except Exception:
        entries = []
    found = [f"{folder}/{e.rstrip('/')}" for e in entries if e.startswith(stem)]
    # deepest first, so that directories are emptied before they go
    found.sort(key=len, reverse=True)
    if path not in found:
        found.append(path)
    return found


def close_handle(handle, path, is_mem, creation=None):
    """Close ``handle`` and remove its in-memory files; never raises.

    ``creation`` is the record of what existed before the call that
    created the dataset (see :class:`~.creation.Before`): when
    closing fails, what that call made is removed, as for a failed
    creation, and nothing that existed before it.  A created dataset counts
    as written only once GDAL opens it again (see :func:`_unreadable`).
    Returns ``(problem, messages)``: ``(error_type, message)`` of a failure
    GDAL reported while closing, or ``None``, and the collected GDAL
    messages (its warnings, which ``close`` re-emits; a collected object is
    closed silently).
    """
    problem = None
    unread = False
    messages = gdal_messages()
    created = creation is not None and not is_mem
    files = dataset_files(handle) if created else []  # gone once closed
    reader = _reader(handle) if created else None
    empty = created and not (_gdal.Dataset_RasterCount_get(handle) or _gdal.Dataset_GetLayerCount(handle))
    try:
        with messages:
            try:
                _gdal.delete_Dataset(handle)
            except RuntimeError as exc:  # GDAL exceptions enabled
                problem = (CE_FAILURE, str(exc))
            err_type, _no, msg = last_gdal_error()
            if problem is None and err_type in (CE_FAILURE, CE_FATAL):
                problem = (err_type, msg)
        unread = problem is None and reader is not None
        if unread:
            problem = _unreadable(creation.path, reader, creation.absolute(files), empty)
        if is_mem:
            with quiet_gdal():
                for name in mem_leftovers(path):
                    remove_path(name)
        if problem is not None and creation is not None:
            remove_created(creation, files)
            if unread:
                kept = "it was left as GDAL wrote it" if creation.target_existed else "it was removed"
                problem = (problem[0], f"{problem[1]}; {kept}")
    except Exception as exc:  # pragma: no cover - defensive
        problem = problem or (CE_FAILURE, str(exc))
    return problem, messages


def _reader(handle):
    """The short name of the driver that wrote ``handle``, where that
    driver also reads; else ``None``."""
    driver = _gdal.Dataset_GetDriver(handle)
    if driver is None or not metadata_flag(driver, "DCAP_OPEN"):
        return None
    return _gdal.Driver_ShortName_get(driver)


def _siblings(path, files) -> list[str]:
    """The names beside ``path`` among ``files``, as GDAL's sibling list;
    ``[]`` (GDAL lists the folder) where one is no UTF-8 text."""
    folder, name = os.path.split(path)
    names = sorted({name, *(os.path.basename(f) for f in files if os.path.dirname(f) == folder)})
    try:
        "".join(names).encode("utf-8")
    except UnicodeEncodeError:
        return []
    return names


def _unreadable(path, reader, files, empty):
    """``(CE_FAILURE, why)`` when GDAL cannot open the file just written at
    ``path`` with the driver that wrote it (FlatGeobuf's empty file, a
    header left half written), else ``None``.

    A target that is a folder or was never made (a driver that writes only
    once it has a layer) is not read: there is no file to vouch for.  The
    dataset's own files are the sibling list, so the open reads no
    folder listing.
    """
    if not is_file(path):
        return None
    # Without the listing a driver may miss a file it needs, and some open
    # a dataset without layers only for update (GPKG): a failed first try
    # is tried against the whole folder, then for update, before it counts.
    for flags, listed in ((0, _siblings(path, files)), (0, []), (OF_UPDATE, [])):
        handle, err, messages = open_raw(gdal_path(path), flags, [reader], [], listed)
        if handle is not None:
            release_dataset(handle)
            return None
    why = err[2] or "no reason given"
    if empty:
        why += " (it holds no layer or band: some drivers write only an empty file then)"
    return (CE_FAILURE, f"{reader} wrote it but GDAL cannot read it back: {why}{messages.text()}")


def closing_error(path, problem, messages) -> error.GDALError:
    """The ``GDALError`` of a failed close (``problem`` and ``messages`` as
    :func:`close_handle` returns them)."""
    err_type, msg = problem
    return error.GDALError(
        f"closing {path!r} failed: {msg}{messages.text()}",
        function="close", gdal_message=msg, error_type=err_type, path=path,
        warnings=messages.warnings,
    )


def release(handle, cell, lock, path, is_mem, creation=None):
    """The finalizer of a ``GeoDatabase``: :func:`close_handle` under the
    object's lock, after marking it closed in ``cell`` (its one-item handle
    list).

    ``GeoDatabase.close`` holds the lock already, and an object that is
    collected has no call running; only at interpreter exit may a call in
    another thread hold it.  Then it is waited for as long as the exit
    allows (``EXIT_WAIT`` in all), and past that the dataset is left
    to the operating system (see :func:`leave_at_exit`): closing it would free
    what GDAL in that thread still reads.
    """
    if not lock.acquire(timeout=calls.time_left()):
        leave_at_exit(path, is_mem, creation)
        return None, gdal_messages()
    try:
        cell[0] = None
        return close_handle(handle, path, is_mem, creation)
    finally:
        lock.release()


def leave_at_exit(path, is_mem, creation) -> None:
    """A dataset left open at exit is never flushed, so what its own
    creation made is not whole: that is removed, as a failed creation is
    (the main file; in-memory files go with the process).  One that was
    opened keeps what was flushed to it before."""
    if creation is None or is_mem or path.startswith("/vsi"):
        return
    try:
        with quiet_gdal():
            remove_created(creation)
    except Exception:  # pragma: no cover - defensive, at exit
        pass

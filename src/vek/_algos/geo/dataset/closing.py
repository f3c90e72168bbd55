"""Closing a dataset handle, and what its creation made when that fails.

The functions here never raise for GDAL's failures: they return them, so
that the owner closes first and reports after (see ``GeoDatabase.close``).
"""

from osgeo import _gdal

from .. import _error as error
from ..binding.messages import CE_FAILURE, CE_FATAL, gdal_messages, last_gdal_error, quiet_gdal
from ..binding.paths import remove_path
from .creation import dataset_files, remove_created
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
    creation, and nothing that existed before it.  Returns ``(problem, messages)``: ``(error_type, message)``
    of a failure GDAL reported while closing, or ``None``, and the collected
    GDAL messages (its warnings, which ``close`` re-emits; a collected
    object is closed silently).
    """
    problem = None
    messages = gdal_messages()
    files = dataset_files(handle) if creation is not None and not is_mem else []  # gone once closed
    try:
        with messages:
            try:
                _gdal.delete_Dataset(handle)
            except RuntimeError as exc:  # GDAL exceptions enabled
                problem = (CE_FAILURE, str(exc))
            err_type, _no, msg = last_gdal_error()
            if problem is None and err_type in (CE_FAILURE, CE_FATAL):
                problem = (err_type, msg)
        if is_mem:
            with quiet_gdal():
                for name in mem_leftovers(path):
                    remove_path(name)
        if problem is not None and creation is not None:
            remove_created(creation, files)
    except Exception as exc:  # pragma: no cover - defensive
        problem = problem or (CE_FAILURE, str(exc))
    return problem, messages


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

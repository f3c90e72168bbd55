"""What a creating call made, so that it can be undone: the target's state
before the call, the files a failed creation left behind, and the record
that tells the dataset's creator from a reader of the same path."""

import _thread
import os

from osgeo import _gdal

from ._messages import quiet_gdal
from ._paths import fs_path, gdal_path, path_exists, remove_path

__all__ = ["release_dataset", "is_dataset", "dataset_files", "creation_path", "existing_before",
           "remove_created", "clean_failed_creation", "note_creation", "take_creation"]


def release_dataset(handle) -> None:
    """Close a dataset handle now (flushes it), quietly; never raises."""
    try:
        with quiet_gdal(reset=False):
            _gdal.delete_Dataset(handle)
    except Exception:
        pass


def is_dataset(obj) -> bool:
    if obj is None or isinstance(obj, (int, float, str, bytes, list, tuple, dict)):
        return False
    try:
        _gdal.Dataset_RasterCount_get(obj)
    except Exception:
        return False
    return True


def creation_path(args, kwargs):
    """``(args, kwargs, path)``: the creating call's arguments with its
    target (the second argument, or ``utf8_path``) checked and in the form
    GDAL takes (:func:`~._paths.gdal_path`: path-like objects and bytes
    accepted, a NUL refused), and that target as ``str``."""
    if len(args) >= 2:
        path = fs_path(args[1])
        args = (*args[:1], gdal_path(path), *args[2:])
    elif "utf8_path" in kwargs:
        path = fs_path(kwargs["utf8_path"])
        kwargs = {**kwargs, "utf8_path": gdal_path(path)}
    else:
        path = None
    return args, kwargs, path


def existing_before(path) -> dict:
    """What ``lstat`` finds before a creating call: ``{name: existed}`` for
    the target and, when the target is a symbolic link, for the file it
    leads to (GDAL writes through the link; a dangling one makes a file)."""
    if path is None:
        return {}
    if path.startswith("/vsi"):
        return {path: path_exists(path)}
    try:
        before = {path: os.path.lexists(path)}
        if before[path] and os.path.islink(path):
            target = os.path.realpath(path)
            before[target] = os.path.lexists(target)
    except (OSError, ValueError):
        return {path: True}  # unknown: treat as the user's
    return before


def _decoded(names) -> list[str]:
    return [os.fsdecode(n) if isinstance(n, bytes) else n for n in names or []]


def dataset_files(handle) -> list[str]:
    """``Dataset_GetFileList`` as ``str`` names; ``[]`` when it fails."""
    try:
        with quiet_gdal(reset=False):
            return _decoded(_gdal.Dataset_GetFileList(handle))
    except Exception:
        return []


def remove_created(path, before, files=()) -> None:
    """Remove what a creating call made at ``path``, never what was there
    before it (``before`` from :func:`existing_before`): the path and the
    files GDAL listed when the path is new, and the file a symbolic link
    led to when that file is new (the link itself stays)."""
    if not before:
        return
    if not before.get(path, True):
        for name in files:
            if name != path and path_exists(name):
                remove_path(name)
        if path_exists(path):
            remove_path(path)
    for name, existed in before.items():
        if name != path and not existed and path_exists(name):
            remove_path(name)


def clean_failed_creation(path, existed_before, result) -> None:
    """Undo what a failed dataset creation left behind.

    A dataset the binding still handed back is closed first (its file list
    is taken before).  Only what did not exist before the call is removed
    (see :func:`remove_created`): GDAL may fail before touching an existing
    file, and a user's file is never deleted on a guess.
    """
    files = []
    if is_dataset(result):
        files = dataset_files(result)
        release_dataset(result)
    remove_created(path, existed_before, files)


# The last dataset each thread created, for the GeoDatabase that wraps it
# next (see take_creation): one record per thread, so nothing piles up for
# handles that are never wrapped.
_last_creation = _thread._local()  # threading itself is not imported for this


def note_creation(handle, path, before) -> None:
    _last_creation.record = (handle, path, before)


def take_creation(handle):
    """``(path, before)`` when ``handle`` is what this thread's last
    creating call returned, else ``None``; a record is handed out once.

    This is how a dataset's creator is told from a reader of the same path:
    only the GeoDatabase wrapping the creating call's own result owns what
    the creation made (in-memory files, a file that fails to close)."""
    record = getattr(_last_creation, "record", None)
    if record is None or record[0] is not handle:
        return None
    _last_creation.record = None
    return record[1], record[2]

"""What a creating call made, so that it can be undone: the target's state
before the call, the files a failed creation left behind, and the record
that tells the dataset's creator from a reader of the same path."""

import _thread
import os
import posixpath

from osgeo import _gdal

from ..binding.messages import quiet_gdal
from ..binding.paths import fs_path, gdal_path, path_exists, remove_path, vsi_name

__all__ = ["release_dataset", "is_dataset", "dataset_files", "creation_path", "existing_before",
           "remove_created", "clean_failed_creation", "Before", "note_creation", "take_creation"]


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
    GDAL takes (:func:`~..binding.paths.gdal_path`: path-like objects and bytes
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


def _listing(folder: str, in_memory: bool):
    """The names in ``folder`` (``set``), ``None`` when it does not exist."""
    if in_memory:
        names = _gdal.ReadDir(gdal_path(folder))
        if names is None:
            return set() if path_exists(folder) else None
        return {os.fsdecode(n) if isinstance(n, bytes) else n for n in names} - {".", ".."}
    try:
        return set(os.listdir(folder))
    except FileNotFoundError:
        return None


class Before:
    """What a creating call's target folder held before the call: the names
    there that begin with the target's stem (``view.vrt``: ``view*``), which
    covers the target and every sidecar a driver writes beside it
    (``view.vrt.aux.xml``, ``x.rdc`` of ``x.rst``, ``x.shx``, ``x.idx``),
    whether the folder existed, and, when the target is a symbolic link,
    whether the file it leads to existed (GDAL writes through the link; a
    dangling one makes a file).  Names are absolute, so a later ``chdir``
    changes nothing.  ``names`` is ``None`` where the folder cannot be
    listed (network file systems): then only the target itself counts."""

    __slots__ = ("path", "folder", "stem", "names", "target_existed", "folder_existed", "links", "in_memory")

    def __init__(self, path: str):
        self.in_memory = path.startswith("/vsimem/")
        self.links: dict[str, bool] = {}
        if self.in_memory:
            full = vsi_name(path)
            self.folder, base = posixpath.split(full)
        else:
            full = path if path.startswith("/vsi") else os.path.abspath(path)
            self.folder, base = os.path.split(full.rstrip("/") or full)
        self.path = full
        self.stem = os.path.splitext(base)[0] or base
        self.names = None
        self.folder_existed = True
        if self.stem and (self.in_memory or not path.startswith("/vsi")):
            listed = _listing(self.folder, self.in_memory)
            self.folder_existed = listed is not None
            self.names = frozenset(n for n in listed or () if n.startswith(self.stem))
        self.target_existed = None if self.names is not None else path_exists(full)
        if not path.startswith("/vsi") and os.path.islink(full):
            target = os.path.realpath(full)
            self.links[target] = os.path.lexists(target)

    def made(self) -> list[str]:
        """What the call made: the new names of the stem in the folder,
        and a new file a symbolic link led to; deepest first."""
        found = [name for name, existed in self.links.items() if not existed and path_exists(name)]
        if self.names is None:
            if not self.target_existed and path_exists(self.path):
                found.append(self.path)
            return found
        join = posixpath.join if self.in_memory else os.path.join
        now = _listing(self.folder, self.in_memory) or set()
        found += [join(self.folder, n) for n in now if n.startswith(self.stem) and n not in self.names]
        return sorted(found, key=len, reverse=True)


def existing_before(path):
    """The :class:`Before` record of a creating call's target, ``None``
    without a target; a target that cannot be examined (a bad name) is
    taken as the user's: nothing will be removed for it."""
    if path is None:
        return None
    try:
        return Before(path)
    except (OSError, ValueError, TypeError, RuntimeError):
        return None


def _decoded(names) -> list[str]:
    return [os.fsdecode(n) if isinstance(n, bytes) else n for n in names or []]


def dataset_files(handle) -> list[str]:
    """``Dataset_GetFileList`` as ``str`` names; ``[]`` when it fails."""
    try:
        with quiet_gdal(reset=False):
            return _decoded(_gdal.Dataset_GetFileList(handle))
    except Exception:
        return []


def remove_created(before) -> None:
    """Remove what a creating call made (``before`` from
    :func:`existing_before`): the names of the target's stem that appeared
    in its folder, sidecars included, and a file a symbolic link led to
    when that file is new (the link itself stays).  Nothing that existed
    before the call is touched, whatever the dataset names: a VRT lists
    its sources among its files, and they are the user's."""
    if before is None:
        return
    try:
        for name in before.made():
            remove_path(name)
        if not before.folder_existed and not before.in_memory:
            os.rmdir(before.folder)  # made by the driver, now empty; else stays
    except (OSError, ValueError, RuntimeError):
        pass


def clean_failed_creation(before, result) -> None:
    """Undo what a failed dataset creation left behind.

    A dataset the binding still handed back is closed first.  Only what
    did not exist before the call is removed (see :func:`remove_created`):
    GDAL may fail before touching an existing file, and a user's file is
    never deleted on a guess.
    """
    if is_dataset(result):
        release_dataset(result)
    remove_created(before)


# The last dataset each thread created, for the GeoDatabase that wraps it
# next (see take_creation): one record per thread, so nothing piles up for
# handles that are never wrapped.
_last_creation = _thread._local()  # threading itself is not imported for this


def note_creation(handle, before) -> None:
    _last_creation.record = (handle, before)


def take_creation(handle):
    """The :class:`Before` record when ``handle`` is what this thread's last
    creating call returned, else ``None``; a record is handed out once.

    This is how a dataset's creator is told from a reader of the same path:
    only the GeoDatabase wrapping the creating call's own result owns what
    the creation made (in-memory files, a file that fails to close)."""
    record = getattr(_last_creation, "record", None)
    if record is None or record[0] is not handle:
        return None
    _last_creation.record = None
    return record[1]

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
    """What a creating call's target folder held before the call: every
    name in it (``names``; ``None`` where the folder cannot be listed: then
    only the target itself counts), whether the folder existed, and whether
    the target did.  Names are absolute, so a later ``chdir`` changes
    nothing.

    This is what tells what the call made from what was there: of the files
    GDAL lists for the new dataset, only those whose entry in the target's
    folder is new were made by it.  Nothing is guessed from names (a new
    ``tile_10.tif`` beside a target ``tile_1.tif`` is another writer's), and
    a file elsewhere (a VRT lists its sources) is never taken for one.
    When the target is a dangling symbolic link, GDAL writes through it:
    the file it leads to (``led_to``) is then the call's own too."""

    __slots__ = ("path", "folder", "cwd", "names", "target_existed", "folder_existed", "in_memory", "led_to")

    def __init__(self, path: str):
        self.in_memory = path.startswith("/vsimem/")
        if self.in_memory:
            full = vsi_name(path)
            self.folder = posixpath.split(full)[0]
        else:
            full = path if path.startswith("/vsi") else os.path.abspath(path)
            self.folder = os.path.split(full.rstrip("/") or full)[0]
        self.path = full.rstrip("/") or full
        self.cwd = os.getcwd() if not path.startswith("/vsi") else ""  # what GDAL's relative names are relative to
        self.names = None
        self.folder_existed = True
        if self.in_memory or not path.startswith("/vsi"):
            listed = _listing(self.folder, self.in_memory)
            self.folder_existed = listed is not None
            self.names = frozenset(listed or ())
        self.target_existed = _lexists(self.path, self.in_memory)
        self.led_to = None
        if not path.startswith("/vsi") and os.path.islink(self.path) and not os.path.exists(self.path):
            self.led_to = os.path.realpath(self.path)

    def _full(self, name: str) -> str:
        """``name`` (GDAL's, relative to the working folder of the call)
        as a full name."""
        if self.in_memory or name.startswith("/vsi"):
            return name
        return os.path.normpath(os.path.join(self.cwd, name))

    def absolute(self, files) -> list[str]:
        return [self._full(name) for name in files if name]

    def _entry(self, name: str):
        """The entry of the target's folder that ``name`` is or lies in,
        ``None`` for a name elsewhere."""
        virtual = self.in_memory or name.startswith("/vsi")
        module = posixpath if virtual else os.path
        full = self._full(name)
        folder = self.folder.rstrip("/") + "/"
        if not full.startswith(folder):
            return None
        return module.join(self.folder, full[len(folder):].split("/", 1)[0])

    def made(self, files=()) -> list[str]:
        """What the call made, deepest first: the entries of the target's
        folder, among the target and ``files`` (GDAL's file list of the new
        dataset), that were not there before."""
        found = set()
        for name in [self.path, *files]:
            entry = self._entry(name) if name else None
            if entry is None or not _lexists(entry, self.in_memory):
                continue
            if self.names is None:
                new = entry == self.path and self.target_existed is False
            else:
                new = os.path.basename(entry) not in self.names
            if new:
                found.add(entry)
        if self.led_to is not None and os.path.isfile(self.led_to) and not os.path.islink(self.led_to):
            found.add(self.led_to)
        return sorted(found, key=len, reverse=True)


def _lexists(name: str, in_memory: bool) -> bool:
    if in_memory or name.startswith("/vsi"):
        return path_exists(name)
    return os.path.lexists(name)


def _remove(name: str, in_memory: bool) -> None:
    """Remove what the call made at ``name``: a link itself, never what it
    leads to; a folder with what it holds, links inside it included, never
    what they lead to."""
    if in_memory:
        remove_path(name)
    elif os.path.isdir(name) and not os.path.islink(name):
        import shutil  # with its compression modules: only for a folder

        shutil.rmtree(name)
    else:
        os.unlink(name)


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


def remove_created(before, files=()) -> None:
    """Remove what a creating call made (``before`` from
    :func:`existing_before`): of the target and ``files`` (GDAL's file list
    of the new dataset, taken while it was open), each entry of the target's
    folder that was not there before the call (see :meth:`Before.made`),
    and the folder itself when the call made it and it is now empty.
    Nothing that existed before the call is touched, and no link is
    followed."""
    if before is None:
        return
    for name in before.made(files):
        try:
            _remove(name, before.in_memory)
        except (OSError, ValueError, RuntimeError):
            pass
    if not before.folder_existed and not before.in_memory:
        try:
            os.rmdir(before.folder)  # made by the driver, now empty; else stays
        except OSError:
            pass


def clean_failed_creation(before, result) -> None:
    """Undo what a failed dataset creation left behind.

    A dataset the binding still handed back is closed first.  Only what
    did not exist before the call is removed (see :func:`remove_created`):
    GDAL may fail before touching an existing file, and a user's file is
    never deleted on a guess.
    """
    files = []
    if is_dataset(result):
        files = dataset_files(result)
        release_dataset(result)
    remove_created(before, files)


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

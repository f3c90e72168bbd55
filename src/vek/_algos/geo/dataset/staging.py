"""Writing aside: a copy is written into a private folder beside its target,
on the same file system, and its files are moved into place, each by a
rename, only once the new dataset was closed without error.

Whatever the write made lies in that folder and nowhere else, so a failed,
stopped or abandoned write is undone by removing the folder: no file of the
target's folder is guessed at, and none that was there changes. Publishing
moves the new entries in, the main file last, then moves the old dataset's
other files (its sidecars, as GDAL lists them) aside, as GDAL's own copy
deletes them first; the displaced entries wait in a second private folder
until the published dataset has opened, so that a failure puts them back.

A published stage is empty, and is kept for the process's next copy into
the same folder: on a journalled file system making and removing a folder
costs as much as the rest of a small copy's own work. It is used again
only while it is still the very folder made (same device and inode) and
empty; one is kept per folder, for a few folders, and all are removed at
exit; a forked child leaves its parent's alone.
"""

import atexit
import os
import posixpath
import shutil
import stat
import tempfile
import threading
import uuid

from osgeo import _gdal

from ..binding.capabilities import metadata_flag, metadata_item
from ..binding.messages import quiet_gdal
from ..binding.paths import gdal_path, path_exists, remove_path, vsi_name
from .creation import dataset_files, release_dataset

__all__ = ["Stage", "stages"]


def stages(path: str, driver) -> bool:
    """Whether a copy to ``path`` with the driver (a handle) is written
    aside: a driver that writes files through GDAL's virtual file system
    (to a local or ``/vsimem/`` path; others cannot rename) or, by an
    extension, to local ones. Drivers that write no files (MEM, the
    databases) and the rest write in place."""
    if not path or (path.startswith("/vsi") and not path.startswith("/vsimem/")):
        return False
    prefix = metadata_item(driver, "DMD_CONNECTION_PREFIX")
    if prefix and path[: len(prefix)].upper() == prefix.upper():
        return False
    # A driver writing through its own library still writes local files,
    # the ones it names by an extension
    return metadata_flag(driver, "DCAP_VIRTUALIO") or not path.startswith("/vsi") and bool(
        metadata_item(driver, "DMD_EXTENSION") or metadata_item(driver, "DMD_EXTENSIONS"))


class _Local:
    join = staticmethod(os.path.join)
    exists = staticmethod(os.path.lexists)
    listdir = staticmethod(os.listdir)

    @staticmethod
    def is_dir(path):
        return os.path.isdir(path) and not os.path.islink(path)

    @staticmethod
    def make_dir(folder, prefix):
        return tempfile.mkdtemp(prefix=prefix, dir=folder)

    @staticmethod
    def move(old, new):
        os.replace(old, new)

    @staticmethod
    def empty(folder):
        """Remove what ``folder`` holds; links are removed, never followed."""
        with os.scandir(folder) as entries:
            for entry in entries:
                if entry.is_dir(follow_symlinks=False):
                    shutil.rmtree(entry.path)
                else:
                    os.unlink(entry.path)

    @staticmethod
    def remove(path):
        if _Local.is_dir(path):
            try:
                os.rmdir(path)  # a published stage is empty: no walk
            except OSError:
                shutil.rmtree(path)  # links inside are removed, never followed
        elif os.path.lexists(path):
            os.unlink(path)


class _Memory:
    join = staticmethod(posixpath.join)
    exists = staticmethod(path_exists)

    @staticmethod
    def listdir(folder):
        names = _gdal.ReadDir(gdal_path(folder)) or []
        return [os.fsdecode(n) if isinstance(n, bytes) else n for n in names if n not in (".", "..")]

    @staticmethod
    def is_dir(path):
        return _gdal.ReadDir(gdal_path(path)) is not None

    @staticmethod
    def make_dir(folder, prefix):
        path = posixpath.join(folder, f"{prefix}{uuid.uuid4().hex}")
        if _gdal.Mkdir(gdal_path(path), 0o700) != 0:
            raise OSError(f"cannot make {path!r}")
        return path

    @staticmethod
    def move(old, new):
        if path_exists(new):
            remove_path(new)
        if _gdal.Rename(gdal_path(old), gdal_path(new)) != 0:
            raise OSError(f"cannot rename {old!r} to {new!r}")

    remove = staticmethod(remove_path)


class _Kept:
    """The empty stages kept for the next copy into their folder."""

    most = 8  # folders

    def __init__(self):
        self.lock = threading.Lock()
        self.places: dict = {}  # folder -> (place, (st_dev, st_ino))
        self.closed = False
        self.registered = False

    def take(self, folder):
        """``(place, identity)`` of the stage kept for ``folder``, ``None``
        where none is, or where it is no longer the empty folder made (then
        it is not the process's to use or remove)."""
        with self.lock:
            kept = self.places.pop(folder, None)
        if kept is None or not _is_made(*kept):
            return None
        try:
            with os.scandir(kept[0]) as entries:
                return kept if next(entries, None) is None else None
        except OSError:
            return None

    def give(self, folder, place, identity) -> None:
        """Keep the empty ``place`` for ``folder``, or remove it."""
        evicted = [(place, identity)]
        with self.lock:
            if not self.closed and folder not in self.places:
                evicted = []
                if len(self.places) >= self.most:
                    evicted.append(self.places.pop(next(iter(self.places))))
                self.places[folder] = (place, identity)
                if not self.registered:
                    self.registered = True
                    atexit.register(self.close)
        for old in evicted:
            _remove_made(*old)

    def close(self) -> None:
        """Remove every kept stage; later ones are removed as they come."""
        with self.lock:
            self.closed = True
            places, self.places = list(self.places.values()), {}
        for kept in places:
            _remove_made(*kept)

    def forget(self) -> None:
        """In a forked child: the kept stages are the parent's."""
        self.lock = threading.Lock()
        self.places = {}


def _is_made(place, identity) -> bool:
    """Whether ``place`` is still the private folder made as ``identity``."""
    try:
        found = os.lstat(place)
    except OSError:
        return False
    return stat.S_ISDIR(found.st_mode) and stat.S_IMODE(found.st_mode) == 0o700 \
        and (found.st_dev, found.st_ino) == identity


def _remove_made(place, identity) -> None:
    if _is_made(place, identity):
        try:
            os.rmdir(place)  # only while empty: a stage someone filled stays
        except OSError:
            pass


_kept = _Kept()
os.register_at_fork(after_in_child=_kept.forget)


class Stage:
    """The private folder a copy to ``target`` is written into; ``path`` is
    where the write goes. A target that is a symbolic link is published
    where the link leads, as a write in place would go."""

    __slots__ = ("fs", "folder", "name", "place", "identity", "kept", "ended", "path", "aside", "moved")

    fs: "type[_Local] | type[_Memory]"

    def __init__(self, target: str):
        if target.startswith("/vsimem/"):
            self.fs, full = _Memory, vsi_name(target)
            self.folder, self.name = posixpath.split(full)
        else:
            self.fs, full = _Local, os.path.realpath(target)
            self.folder, self.name = os.path.split(full)
        self.identity = None  # (st_dev, st_ino) of a local stage, which may be kept
        kept = _kept.take(self.folder) if self.fs is _Local else None
        self.kept, self.ended = kept is not None, False
        if kept is not None:
            self.place, self.identity = kept
        else:
            self.place = self.fs.make_dir(self.folder, ".vek-")
            if self.fs is _Local:
                made = os.lstat(self.place)
                self.identity = (made.st_dev, made.st_ino)
        self.path = self.fs.join(self.place, self.name)
        self.aside: str | None = None  # made when publishing displaces a file: most targets are new
        self.moved: list = []  # (kind, name) of each move made by publish, in order

    def _aside(self, name) -> str:
        """Where a displaced entry ``name`` waits until the publication holds."""
        if self.aside is None:
            self.aside = self.fs.make_dir(self.folder, ".vek-old-")
        return self.fs.join(self.aside, name)

    def discard(self) -> None:
        """Remove what the write made, and nothing else; never raises. A
        stage that was kept is emptied and kept again: the folder looks as
        it did before the call."""
        if self.ended:
            return
        self.ended = True
        self._remove(self.aside)
        if self.kept:
            try:
                _Local.empty(self.place)
            except OSError:
                pass
            else:
                _kept.give(self.folder, self.place, self.identity)
                return
        self._remove(self.place)

    def _remove(self, folder) -> None:
        if folder is None:
            return
        try:
            with quiet_gdal():
                self.fs.remove(folder)
        except OSError:
            pass

    def finish(self) -> None:
        """After a publication that holds: the displaced files go, and the
        stage, now empty, is kept for the next copy; never raises."""
        if self.ended:
            return
        self.ended = True
        self._remove(self.aside)
        if self.identity is None:
            self._remove(self.place)
        else:
            _kept.give(self.folder, self.place, self.identity)

    def publish(self) -> list[str]:
        """Move the written entries into the target's folder, the main file
        last, then the old dataset's other files aside, and return the names
        moved in; a failure puts every entry back and raises ``OSError``."""
        old = self._old_files()
        written = sorted(self.fs.listdir(self.place), key=lambda n: n == self.name)
        try:
            for name in written:
                self._move_in(name)
            for name in old:
                if name not in written and self.fs.exists(self.fs.join(self.folder, name)):
                    self.fs.move(self.fs.join(self.folder, name), self._aside(name))
                    self.moved.append(("aside", name))
        except BaseException:
            self.undo()
            raise
        return written

    def _move_in(self, name) -> None:
        new, dest = self.fs.join(self.place, name), self.fs.join(self.folder, name)
        if self.fs.is_dir(dest):  # a folder is the user's: never replaced whole
            raise IsADirectoryError(f"{dest!r} is a folder; a copy does not replace one")
        if self.fs.exists(dest):
            self.fs.move(dest, self._aside(name))
            self.moved.append(("aside", name))
        self.fs.move(new, dest)
        self.moved.append(("in", name))

    def undo(self) -> None:
        """Put the target's folder back as it was before :meth:`publish`."""
        for kind, name in reversed(self.moved):
            dest = self.fs.join(self.folder, name)
            try:
                if kind == "in":
                    self.fs.move(dest, self.fs.join(self.place, name))
                else:
                    self.fs.move(self._aside(name), dest)
            except OSError:
                pass
        self.moved = []
        self.discard()

    def _old_files(self) -> list[str]:
        """The names, in the target's folder, of the old dataset's own files
        that a copy in place replaces: those GDAL lists for the dataset the
        target is now whose names extend the target's (``out.tif.aux.xml``,
        ``out.tif.ovr``); files it merely reads (a VRT's sources) stay."""
        target = self.fs.join(self.folder, self.name)
        if not self.fs.exists(target) or self.fs.is_dir(target):
            return []
        with quiet_gdal():
            try:
                handle = _gdal.OpenEx(gdal_path(target), 0, [], [], [])
            except RuntimeError:  # GDAL exceptions enabled
                handle = None
        if handle is None:
            return [self.name]
        files = dataset_files(handle)
        release_dataset(handle)
        folder = self.folder.rstrip("/") + "/"  # GDAL lists them as opened: by absolute names
        names = [f[len(folder):] for f in files if f.startswith(folder + self.name)]
        return [n for n in names if "/" not in n] or [self.name]

"""Paths as the package hands them to GDAL: checking and normalising them,
existence tests and removal through GDAL's virtual file system, and the
package's in-memory paths."""

import os
import posixpath
import sys

from osgeo import _gdal

from .messages import quiet_gdal

__all__ = ["working_folder", "fs_path", "gdal_path", "path_exists", "not_found", "sibling_names", "same_file",
           "vsi_name", "remove_path", "mem_temp_path", "is_mem_temp_path", "MEM_DIR"]


def working_folder():
    """The working folder, ``None`` when it was removed."""
    try:
        return os.getcwd()
    except OSError:
        return None


def fs_path(path) -> str:
    """``path`` (a ``str``, ``bytes`` or ``os.PathLike``) as the exact ``str``
    it names.

    ``bytes`` are decoded as ``os.fsdecode`` does, so a name that is not
    UTF-8 (legal on Linux) survives as a surrogate-escaped ``str``.  A NUL
    raises ``ValueError("embedded null byte")``, as Python's own file
    functions do: GDAL takes C strings and would cut the name there, and
    write to another file.  Any other type raises ``TypeError``.
    """
    path = os.fspath(path)  # TypeError for anything else
    # Subclasses are copied to the exact type: their methods could lie.
    if isinstance(path, bytes):
        path = bytes.decode(bytes.__bytes__(path), sys.getfilesystemencoding(),
                            sys.getfilesystemencodeerrors())
    elif type(path) is not str:
        path = str.__str__(path)
    if "\0" in path:
        raise ValueError("embedded null byte")
    return path


def gdal_path(path):
    """``path`` checked by :func:`fs_path`, in the form GDAL's binding takes:
    the ``str`` itself, or, for a name UTF-8 cannot encode (a surrogate-
    escaped byte), the file system's bytes."""
    path = fs_path(path)
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(path)
    return path


def _stat_is_dir(path: str):
    """``None`` when GDAL's virtual file system does not know ``path``,
    else whether it is a directory."""
    try:
        stat = _gdal.VSIStatL(gdal_path(path))
    except Exception:
        return None
    if stat is None:
        return None
    try:
        return bool(_gdal.StatBuf_IsDirectory(stat))
    except Exception:
        return False
    finally:
        # A bare StatBuf from the low-level binding has no destructor
        # attached unless osgeo.gdal registered its proxy; free it here.
        try:
            _gdal.delete_StatBuf(stat)
        except Exception:
            pass


def path_exists(path: str) -> bool:
    """Whether GDAL's virtual file system knows ``path`` (file or dir)."""
    return _stat_is_dir(path) is not None


def is_file(path: str) -> bool:
    """Whether GDAL's virtual file system knows ``path`` as a file."""
    return _stat_is_dir(path) is False


def _is_local(path: str) -> bool:
    if path.startswith("/vsi"):
        return False
    # connection strings ("PG:dbname=...") and URLs are not local files;
    # a Windows drive letter ("C:\\...") is
    colon = path.find(":")
    return colon == -1 or (colon == 1 and path[0].isalpha())


def not_found(path: str) -> bool:
    """Whether ``path`` is a local file or a ``/vsimem/`` path that does not
    exist (a connection string or another virtual path is never "not found":
    only GDAL can tell)."""
    if _is_local(path):
        return not os.path.exists(path)
    if path.startswith("/vsimem/"):
        return not path_exists(path)
    return False


def sibling_names(value):
    """Sibling file names, taken and checked like the path (str, bytes or
    path-like; a NUL raises ValueError)."""
    if value is None:
        return []
    if isinstance(value, (str, bytes, os.PathLike)):
        value = [value]
    try:
        return [gdal_path(name) for name in value]
    except TypeError:
        raise TypeError(f"sibling_files must be file names, found {value!r}") from None


def same_file(a: str, b: str) -> bool:
    """Whether ``a`` and ``b`` name one file: the same file of the file
    system however spelled (relative, through links), or the same
    name in GDAL's virtual file systems as GDAL resolves it (see
    :func:`vsi_name`)."""
    if a.startswith("/vsi") or b.startswith("/vsi"):
        return vsi_name(a) == vsi_name(b)
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):  # either is missing, or no name at all
        return False


def vsi_name(path: str) -> str:
    """A virtual file system name as GDAL resolves it: normalised, and in
    ``/vsimem/``, which reads ``\\`` as ``/``, with ``/`` throughout."""
    if path.startswith("/vsimem/") or path.startswith("/vsimem\\"):
        path = path.replace("\\", "/")
    return posixpath.normpath(path)


def _is_dir(path: str) -> bool:
    return bool(_stat_is_dir(path))


def remove_path(path: str) -> None:
    """Remove a file or a directory tree through GDAL, quietly; never raises."""
    try:
        name = gdal_path(path)  # never a name cut at a NUL
        with quiet_gdal(reset=False):
            if _is_dir(path):
                _gdal.RmdirRecursive(name)
            else:
                _gdal.Unlink(name)
    except Exception:
        pass



MEM_DIR = "/vsimem/vek/"
_STEM_DIGITS = 32


def mem_temp_path(ext: str = "") -> str:
    """Return a new, unique path under ``/vsimem/vek/``.

    The name is 32 random hex digits followed by ``.ext``; a leading dot of
    ``ext`` is dropped and an empty ``ext`` gives no dot at all.  ``ext``
    must be a ``str`` (``TypeError``) without ``/``, ``\\`` or NUL
    (``ValueError``).  Such paths are recognised by their form (see
    :func:`is_mem_temp_path`), so nothing is remembered about the paths
    handed out, and a path that is never used costs nothing.
    """
    if not isinstance(ext, str):
        raise TypeError(f"ext must be a str, not {type(ext).__name__}")
    if ext.startswith("."):
        ext = ext[1:]
    if "/" in ext or "\\" in ext or "\0" in ext:
        raise ValueError(f"invalid file extension {ext!r}")
    stem = os.urandom(_STEM_DIGITS // 2).hex()
    return f"{MEM_DIR}{stem}.{ext}" if ext else f"{MEM_DIR}{stem}"


_HEX = frozenset("0123456789abcdef")


def is_mem_temp_path(path) -> bool:
    """Whether ``path`` has the form :func:`mem_temp_path` gives: the
    package's in-memory folder, 32 hex digits, then nothing or ``.ext``.
    The :class:`~vek._algos.geo.geodatabase.GeoDatabase` of the dataset
    created at such a path removes its in-memory files when it is closed;
    one that merely opened the path leaves them to their creator."""
    if not isinstance(path, str) or not path.startswith(MEM_DIR):
        return False
    name = path[len(MEM_DIR):]
    stem, dot, ext = name.partition(".")
    return (
        len(stem) == _STEM_DIGITS
        and _HEX.issuperset(stem)
        and (not dot or (ext != "" and "/" not in ext))
    )

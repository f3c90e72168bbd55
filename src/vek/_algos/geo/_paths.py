"""Paths as the package hands them to GDAL: existence tests and removal
through GDAL's virtual file system, and the package's in-memory paths."""

import os

from osgeo import _gdal

__all__ = ["path_exists", "remove_path", "mem_temp_path", "is_mem_temp_path", "MEM_DIR"]


def _stat_is_dir(path: str):
    """``None`` when GDAL's virtual file system does not know ``path``,
    else whether it is a directory."""
    try:
        stat = _gdal.VSIStatL(path)
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


def _is_dir(path: str) -> bool:
    return bool(_stat_is_dir(path))


def _quiet():
    from ._gdalcall import quiet_gdal

    return quiet_gdal(reset=False)


def remove_path(path: str) -> None:
    """Remove a file or a directory tree through GDAL, quietly; never raises."""
    try:
        with _quiet():
            if _is_dir(path):
                _gdal.RmdirRecursive(path)
            else:
                _gdal.Unlink(path)
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
    :class:`~vek._algos.geo.geodatabase.GeoDatabase` removes the in-memory
    files of such a dataset when it is closed."""
    if not isinstance(path, str) or not path.startswith(MEM_DIR):
        return False
    name = path[len(MEM_DIR):]
    stem, dot, ext = name.partition(".")
    return (
        len(stem) == _STEM_DIGITS
        and _HEX.issuperset(stem)
        and (not dot or (ext != "" and "/" not in ext))
    )

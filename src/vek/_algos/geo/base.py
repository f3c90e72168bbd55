"""Shared plumbing of the ``vek._algos.geo`` modules.

Everything here sits directly on GDAL's low-level SWIG binding
(``osgeo._gdal``); ``osgeo.gdal`` is never imported, because importing it
registers proxy classes that change what the low-level functions return.

Names bound here:

``error``
    Exception classes (:mod:`vek._algos.geo._error`).
``gdata``
    HTML builders ``VEKHTMLDetails`` and ``VEKHTMLTable``, loaded on first
    use (:mod:`vek._algos.geo._gdata`).
``dtypes``
    Raster data type codes (:mod:`vek._algos.geo._dtypes`).
``xet``
    ElementTree front end that refuses entity declarations
    (:mod:`vek._algos.geo._xet`).
``env``
    User configuration read from a TOML file on first use
    (:mod:`vek._algos.geo._env`).
``call_gdal_fun(fun, *args, **kwargs)``
    Calls a binding function, turning option dicts into GDAL's
    ``KEY=VALUE`` lists and GDAL failures into :class:`error.GDALError`.
``gdal_options(options)``
    The option dict converter ``call_gdal_fun`` uses.
``mem_temp_path(ext)``
    A fresh ``/vsimem/`` path; see :func:`is_mem_temp_path`.
``get_sel(count, limit)``
    Which rows to show when a listing is cut to ``limit`` rows.
``_gdal``
    The low-level binding module itself.

Importing this module costs little more than importing ``osgeo._gdal``:
the HTML, TOML, XML and difflib code is only imported when first needed.
"""

import os

from osgeo import _gdal

from . import _dtypes as dtypes
from . import _env as env
from . import _error as error
from . import _gdata as gdata
from . import _xet as xet

__all__ = [
    "error",
    "gdata",
    "dtypes",
    "xet",
    "env",
    "call_gdal_fun",
    "gdal_options",
    "mem_temp_path",
    "is_mem_temp_path",
    "get_sel",
    "quiet_gdal",
    "_gdal",
]

# GDAL error classes (CPLErr).
CE_NONE = 0
CE_DEBUG = 1
CE_WARNING = 2
CE_FAILURE = 3
CE_FATAL = 4

# Binding functions that create a dataset at the path given as their
# second argument (``utf8_path``).  When they fail, whatever they wrote
# there is removed again.
_CREATORS = frozenset(
    {"Driver_Create", "Driver_CreateCopy", "Driver_CreateMultiDimensional"}
)


# --------------------------------------------------------------------------
# option dicts -> KEY=VALUE lists


def _is_mapping(obj) -> bool:
    if isinstance(obj, dict):
        return True
    # Anything mapping-like (MappingProxyType, custom Mapping classes)
    # without importing collections.abc at module import time.
    cls = type(obj)
    return (
        hasattr(cls, "keys")
        and hasattr(cls, "__getitem__")
        and not isinstance(obj, (str, bytes, bytearray, list, tuple))
    )


def _option_text(value) -> str:
    if isinstance(value, str):
        return value
    if value is True:
        return "YES"
    if value is False:
        return "NO"
    return str(value)


def gdal_options(options):
    """Return ``options`` the way GDAL's binding takes them.

    A mapping becomes a list of ``"KEY=VALUE"`` strings, in the mapping's
    order, with these value rules:

    * ``str`` values are used as they are;
    * ``True`` -> ``"YES"``, ``False`` -> ``"NO"``;
    * ``int`` and ``float`` values -> ``str(value)``;
    * ``None`` -> the option is left out altogether;
    * any other object -> ``str(value)``.

    Keys are turned into text with ``str``; an empty key or one containing
    ``"="`` raises ``ValueError``.  ``None`` gives ``None``; a list or
    tuple of strings (already in GDAL's form) is returned as a new list.
    """
    if options is None:
        return None
    if _is_mapping(options):
        out = []
        for key in options.keys():
            value = options[key]
            if value is None:
                continue
            name = key if isinstance(key, str) else str(key)
            if not name or "=" in name:
                raise ValueError(f"invalid GDAL option name {name!r}")
            out.append(f"{name}={_option_text(value)}")
        return out
    if isinstance(options, (list, tuple)):
        for item in options:
            if not isinstance(item, str):
                raise TypeError(
                    "GDAL options must be a dict or a list of 'KEY=VALUE' "
                    f"strings, found item {item!r}"
                )
        return list(options)
    raise TypeError(
        "GDAL options must be a dict or a list of 'KEY=VALUE' strings, "
        f"not {type(options).__name__}"
    )


# --------------------------------------------------------------------------
# calling GDAL


class quiet_gdal:
    """Context manager that keeps GDAL from printing messages.

    Pushes ``CPLQuietErrorHandler`` on entry and pops it on exit.  GDAL's
    handler stack belongs to the calling thread, so this never silences
    other threads.  Unless ``reset=False``, the error state is reset on
    entry, so :func:`last_gdal_error` afterwards reports only what happened
    inside.
    """

    __slots__ = ("reset",)

    def __init__(self, reset: bool = True):
        self.reset = reset

    def __enter__(self):
        _gdal.PushErrorHandler("CPLQuietErrorHandler")
        if self.reset:
            _gdal.ErrorReset()
        return self

    def __exit__(self, *exc_info):
        _gdal.PopErrorHandler()
        return False


def last_gdal_error():
    """``(error_type, error_no, message)`` of the last GDAL error."""
    return (
        _gdal.GetLastErrorType(),
        _gdal.GetLastErrorNo(),
        _gdal.GetLastErrorMsg() or "",
    )


def _fun_name(fun) -> str:
    return getattr(fun, "__name__", None) or repr(fun)


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


def release_dataset(handle) -> None:
    """Close a dataset handle now (flushes it), quietly; never raises."""
    try:
        with quiet_gdal(reset=False):
            _gdal.delete_Dataset(handle)
    except Exception:
        pass


def remove_path(path: str) -> None:
    """Remove a file or a directory tree through GDAL, quietly; never raises."""
    try:
        with quiet_gdal(reset=False):
            if _is_dir(path):
                _gdal.RmdirRecursive(path)
            else:
                _gdal.Unlink(path)
    except Exception:
        pass


def _is_dataset(obj) -> bool:
    if obj is None or isinstance(obj, (int, float, str, bytes, list, tuple, dict)):
        return False
    try:
        _gdal.Dataset_RasterCount_get(obj)
    except Exception:
        return False
    return True


def _creation_path(args, kwargs):
    if len(args) >= 2:
        path = args[1]
    else:
        path = kwargs.get("utf8_path")
    return path if isinstance(path, str) else None


def _clean_failed_creation(path, existed_before, result) -> None:
    """Undo what a failed dataset creation left behind.

    A dataset the binding still handed back is closed first (its file list
    is taken before).  Files are only removed when the target path did not
    exist before the call: GDAL may fail before touching an existing file,
    and a user's file is never deleted on a guess.
    """
    files = []
    if _is_dataset(result):
        try:
            files = list(_gdal.Dataset_GetFileList(result) or [])
        except Exception:
            files = []
        release_dataset(result)
    if path is None or existed_before:
        return
    for name in files:
        if name != path and path_exists(name):
            remove_path(name)
    if path_exists(path):
        remove_path(path)


def call_gdal_fun(fun, *args, **kwargs):
    """Call the GDAL binding function ``fun`` and return its result.

    Arguments that are mappings of options are first turned into the list
    of ``"KEY=VALUE"`` strings GDAL's binding takes (see
    :func:`gdal_options` for the value rules: ``str`` as is, ``True`` ->
    ``"YES"``, ``False`` -> ``"NO"``, numbers -> ``str(value)``, ``None``
    -> option left out, other objects -> ``str(value)``).  Other arguments
    are passed unchanged.

    GDAL's messages are not printed while the call runs.  The call counts
    as failed when it returns ``None``, when GDAL recorded an error of
    class ``CE_Failure`` or ``CE_Fatal`` during it, or when the binding
    raised ``RuntimeError`` (which it does when GDAL exceptions are
    enabled).  A failure raises :class:`error.GDALError` naming the
    function and carrying GDAL's own message; a dataset the failing call
    returned anyway is closed, never handed on.

    When a creating function (``Driver_Create``, ``Driver_CreateCopy``,
    ``Driver_CreateMultiDimensional``) fails and its target path did not
    exist before the call, the files GDAL left there are removed.

    The user's GDAL exception mode is neither read nor changed.
    """
    args = tuple(gdal_options(a) if _is_mapping(a) else a for a in args)
    if kwargs:
        kwargs = {
            k: (gdal_options(v) if _is_mapping(v) else v) for k, v in kwargs.items()
        }
    name = _fun_name(fun)
    creating = name in _CREATORS
    path = _creation_path(args, kwargs) if creating else None
    existed_before = path_exists(path) if path is not None else True

    result = None
    raised = None
    with quiet_gdal():
        try:
            result = fun(*args, **kwargs)
        except RuntimeError as exc:
            raised = exc
        err_type, err_no, err_msg = last_gdal_error()

    failed = (
        raised is not None
        or result is None
        or err_type in (CE_FAILURE, CE_FATAL)
    )
    if not failed:
        return result

    if creating:
        _clean_failed_creation(path, existed_before, result)
    elif _is_dataset(result):
        release_dataset(result)

    if raised is not None and not err_msg:
        err_msg = str(raised)
    if err_type not in (CE_FAILURE, CE_FATAL):
        err_type = CE_FAILURE
    if err_msg:
        message = f"GDAL {name} failed: {err_msg}"
    else:
        message = f"GDAL {name} failed without giving a reason (it returned no result)"
    exc = error.GDALError(
        message,
        function=name,
        gdal_message=err_msg,
        error_no=err_no,
        error_type=err_type,
    )
    if raised is not None:
        raise exc from raised
    raise exc


# --------------------------------------------------------------------------
# in-memory paths

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


# --------------------------------------------------------------------------
# row selection


def _check_int(name, value):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return value


def get_sel(count, limit):
    """Which rows to show of ``count`` when at most ``limit`` may be shown.

    Returns ``(runs, shown)``.  ``runs`` is a pair of ``(start, stop)``
    range arguments: a leading run and a trailing run, the trailing run
    being ``(0, 0)`` when there is none; ``shown`` is how many rows the
    runs cover.

    * ``count <= limit``: ``((0, count), (0, 0))``, ``shown = count``;
    * otherwise the first ``(limit + 1) // 2`` and the last
      ``limit - (limit + 1) // 2`` rows: ``shown = limit``.  (With
      ``limit == 1`` the trailing run is the empty ``(count, count)``.)

    A negative ``count`` counts as 0; a ``limit`` of ``None`` or ``<= 0``
    means no limit.  Non-int arguments (``bool`` included) raise
    ``TypeError``.

    >>> get_sel(200, 10)
    (((0, 5), (195, 200)), 10)
    >>> get_sel(6, 10)
    (((0, 6), (0, 0)), 6)
    """
    count = _check_int("count", count)
    if count is None:
        raise TypeError("count must be an int, not NoneType")
    limit = _check_int("limit", limit)
    if count < 0:
        count = 0
    if limit is None or limit <= 0 or count <= limit:
        return ((0, count), (0, 0)), count
    head = (limit + 1) // 2
    tail = limit - head
    return ((0, head), (count - tail, count)), limit

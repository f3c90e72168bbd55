"""Calling GDAL's low-level binding: option values checked and option
dicts turned into GDAL's ``KEY=VALUE`` lists, GDAL's warnings collected
and re-emitted as :class:`~vek._algos.geo._error.GDALWarning`, and
failures turned into :class:`~vek._algos.geo._error.GDALError`, with what
a failed creation left behind removed."""

import warnings

import _thread
import os

from osgeo import _gdal

from . import _error as error
from ._optcheck import KINDS, check_options, skip_prefixes
from ._paths import fs_path, gdal_path, path_exists, remove_path

__all__ = ["call_gdal_fun", "gdal_options", "quiet_gdal", "gdal_messages", "last_gdal_error",
           "release_dataset", "dataset_files", "take_creation", "remove_created"]

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

# Binding functions whose option values are checked before the call:
# name -> (position of the options argument, its keyword, which list).
_CHECKED = {
    "Driver_Create": (6, "options", "creation"),
    "Driver_CreateCopy": (4, "options", "creation"),
    "Driver_CreateMultiDimensional": (3, "options", "multidim"),
    "Dataset_CreateLayer": (4, "options", "layer"),
    "OpenEx": (3, "open_options", "open"),
}


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




def _option_text(name, value) -> str:
    if isinstance(value, str):
        return value
    if value is True:
        return "YES"
    if value is False:
        return "NO"
    from vek.optioncheck import value_text  # containers raise TypeError there

    return value_text(name, value)


def _no_nul(item: str) -> str:
    if "\0" in item:
        raise ValueError(f"invalid GDAL option {item!r}: GDAL's texts end at a NUL character")
    return item


def gdal_options(options):
    """Return ``options`` the way GDAL's binding takes them.

    A mapping becomes a list of ``"KEY=VALUE"`` strings, in the mapping's
    order, with these value rules:

    * ``str`` values are used as they are;
    * ``True`` -> ``"YES"``, ``False`` -> ``"NO"``;
    * ``int`` and ``float`` values -> ``str(value)``;
    * ``None`` -> the option is left out altogether;
    * a list, tuple, dict, set or bytes value raises TypeError naming the
      option (GDAL would read its ``str`` as something else);
    * any other object -> ``str(value)``.

    Keys are turned into text with ``str``; an empty key or one containing
    ``"="`` raises ``ValueError``.  ``None`` gives ``None``; a list or
    tuple of strings (already in GDAL's form) is returned as a new list.
    A NUL anywhere raises ``ValueError``: GDAL's texts end there, so the
    option would reach it cut (a name without its value).
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
            out.append(_no_nul(f"{name}={_option_text(name, value)}"))
        return out
    if isinstance(options, (list, tuple)):
        for item in options:
            if not isinstance(item, str):
                raise TypeError(
                    "GDAL options must be a dict or a list of 'KEY=VALUE' "
                    f"strings, found item {item!r}"
                )
        return [_no_nul(item) for item in options]
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
    _handler = "CPLQuietErrorHandler"

    def __init__(self, reset: bool = True):
        self.reset = reset

    def __enter__(self):
        _gdal.PushErrorHandler(self._handler)
        if self.reset:
            _gdal.ErrorReset()
        return self

    def __exit__(self, *exc_info):
        _gdal.PopErrorHandler()
        return False


class gdal_messages(quiet_gdal):
    """Context manager that collects GDAL's warnings instead of printing.

    Pushes a handler of its own on entry and pops it on exit; GDAL's
    handler stack belongs to the calling thread, so other threads and the
    user's own handlers are left alone, and the error state (what
    :func:`last_gdal_error` reads) is kept as GDAL sets it. Unless
    ``reset=False``, the error state is reset on entry. ``warnings`` is
    the list of ``(error_no, message)`` of the CE_Warnings of the block,
    in order; :meth:`emit` re-emits them as ``GDALWarning``.
    """

    __slots__ = ("warnings",)

    def __init__(self, reset: bool = True):
        super().__init__(reset)
        self.warnings: list[tuple[int, str]] = []

    def _handler(self, *args):  # type: ignore[override]
        # Runs inside GDAL: it must not raise.
        if len(args) == 3 and args[0] == CE_WARNING:
            self.warnings.append((args[1], args[2]))

    def emit(self) -> None:
        """Each warning as a ``GDALWarning``, pointing at the first caller
        outside the package."""
        for error_no, message in self.warnings:
            warnings.warn(error.GDALWarning(message, error_no), skip_file_prefixes=skip_prefixes())

    def text(self) -> str:
        """The warnings for an error message (``""`` when there are none)."""
        if not self.warnings:
            return ""
        said = "; ".join(message for _, message in self.warnings)
        return f" (GDAL warned first: {said})"


def last_gdal_error():
    """``(error_type, error_no, message)`` of the last GDAL error."""
    return (
        _gdal.GetLastErrorType(),
        _gdal.GetLastErrorNo(),
        _gdal.GetLastErrorMsg() or "",
    )


def _fun_name(fun) -> str:
    return getattr(fun, "__name__", None) or repr(fun)


def release_dataset(handle) -> None:
    """Close a dataset handle now (flushes it), quietly; never raises."""
    try:
        with quiet_gdal(reset=False):
            _gdal.delete_Dataset(handle)
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


def _existing_before(path) -> dict:
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
    before it (``before`` from :func:`_existing_before`): the path and the
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


def _clean_failed_creation(path, existed_before, result) -> None:
    """Undo what a failed dataset creation left behind.

    A dataset the binding still handed back is closed first (its file list
    is taken before).  Only what did not exist before the call is removed
    (see :func:`remove_created`): GDAL may fail before touching an existing
    file, and a user's file is never deleted on a guess.
    """
    files = []
    if _is_dataset(result):
        files = dataset_files(result)
        release_dataset(result)
    remove_created(path, existed_before, files)


# The last dataset each thread created, for the GeoDatabase that wraps it
# next (see take_creation): one record per thread, so nothing piles up for
# handles that are never wrapped.
_last_creation = _thread._local()  # threading itself is not imported for this


def _note_creation(handle, path, before) -> None:
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


def _argument(args, kwargs, index, keyword):
    if len(args) > index:
        return args[index]
    return kwargs.get(keyword)


def _metadata(handle, key) -> str:
    return _gdal.MajorObject_GetMetadataItem(handle, key, "") or ""


def _option_list(name, kind, args, kwargs):
    """``(xml text, container words, scope)`` the call's options are
    checked against; the text is "" when there is nothing to check."""
    first = _argument(args, kwargs, 0, "self")
    if kind in ("creation", "multidim"):
        scope = None
        if name == "Driver_Create":
            sizes = [_argument(args, kwargs, i, k) for i, k in ((2, "xsize"), (3, "ysize"), (4, "bands"))]
            scope = "vector" if sizes == [0, 0, 0] else "raster"
        return _metadata(first, KINDS[kind]), f"driver {_gdal.Driver_ShortName_get(first)}", scope
    if kind == "layer":  # the dataset's own list first, as GDAL reads it
        text = _metadata(first, KINDS[kind]) or _metadata(_gdal.Dataset_GetDriver(first), KINDS[kind])
        return text, f"dataset {_gdal.MajorObject_GetDescription(first)}", None
    drivers = _argument(args, kwargs, 2, "allowed_drivers")
    if not isinstance(drivers, (list, tuple)) or len(drivers) != 1 or not isinstance(drivers[0], str):
        return "", "", None  # which driver opens it is not known yet
    handle = _gdal.GetDriverByName(drivers[0])
    return (_metadata(handle, KINDS[kind]) if handle is not None else ""), f"driver {drivers[0]}", None


def _checked(name, args, kwargs):
    """``args`` and ``kwargs`` with the option values of a creating or
    opening call checked (see :func:`~vek._algos.geo._optcheck.check_options`)."""
    where = _CHECKED.get(name)
    if where is None:
        return args, kwargs
    index, keyword, kind = where
    options = _argument(args, kwargs, index, keyword)
    if options is None or (isinstance(options, (dict, list, tuple)) and not options):
        return args, kwargs
    try:
        xml_text, container, scope = _option_list(name, kind, args, kwargs)
    except Exception:  # not GDAL handles: the binding itself will say so
        return args, kwargs
    checked = check_options(options, xml_text, kind=kind, scope=scope, container=container)
    if len(args) > index:
        return args[:index] + (checked,) + args[index + 1:], kwargs
    return args, {**kwargs, keyword: checked}


def _emit(messages, result, creating, path, existed_before) -> None:
    """Re-emit the call's warnings; a warning the user's filter turns into
    an error undoes the call as a failure would (nothing half-kept)."""
    try:
        messages.emit()
    except BaseException:
        if creating:
            _clean_failed_creation(path, existed_before, result)
        elif _is_dataset(result):
            release_dataset(result)
        raise


def call_gdal_fun(fun, *args, **kwargs):
    """Call the GDAL binding function ``fun`` and return its result.

    For the creating and opening functions (``Driver_Create``,
    ``Driver_CreateCopy``, ``Driver_CreateMultiDimensional``,
    ``Dataset_CreateLayer``, ``OpenEx`` with one allowed driver) the
    option values are first checked against the
    driver's own option list for the call, as
    :func:`~vek._algos.geo._optcheck.check_options` does: a bad value
    raises :class:`~vek.optioncheck.OptionValueError` before GDAL is
    called (or warns, as the configuration's ``[options] check`` says).

    Arguments that are mappings of options are then turned into the list
    of ``"KEY=VALUE"`` strings GDAL's binding takes (see
    :func:`gdal_options` for the value rules: ``str`` as is, ``True`` ->
    ``"YES"``, ``False`` -> ``"NO"``, numbers -> ``str(value)``, ``None``
    -> option left out, other objects -> ``str(value)``).  Other arguments
    are passed unchanged.

    GDAL's messages are not printed while the call runs; its warnings are
    re-emitted after a successful call as
    :class:`~vek._algos.geo._error.GDALWarning`, in order, pointing at the
    first caller outside the package.  The call counts
    as failed when it returns ``None``, when GDAL recorded an error of
    class ``CE_Failure`` or ``CE_Fatal`` during it, or when the binding
    raised ``RuntimeError`` (which it does when GDAL exceptions are
    enabled).  A failure raises :class:`error.GDALError` naming the
    function and carrying GDAL's own message and the warnings GDAL gave
    before failing; a dataset the failing call returned anyway is closed,
    never handed on.

    The target path of a creating function (``Driver_Create``,
    ``Driver_CreateCopy``, ``Driver_CreateMultiDimensional``) may be a
    ``str``, ``bytes`` or path-like object, in any encoding the file system
    takes; a NUL in it raises ``ValueError``.  When such a call fails, what
    it made is removed: the files GDAL left at a target that did not exist
    before (tested with ``lstat``), and a file made through a symbolic link;
    nothing that was there before.

    The user's GDAL exception mode is neither read nor changed.
    """
    name = _fun_name(fun)
    args, kwargs = _checked(name, args, kwargs)
    args = tuple(gdal_options(a) if _is_mapping(a) else a for a in args)
    if kwargs:
        kwargs = {
            k: (gdal_options(v) if _is_mapping(v) else v) for k, v in kwargs.items()
        }
    creating = name in _CREATORS
    path = None
    if creating:
        args, kwargs, path = _creation_path(args, kwargs)
    existed_before = _existing_before(path)

    result = None
    raised = None
    with gdal_messages() as messages:
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
        _emit(messages, result, creating, path, existed_before)
        if creating:
            _note_creation(result, path, existed_before)
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
        message + messages.text(),
        function=name,
        gdal_message=err_msg,
        error_no=err_no,
        error_type=err_type,
        warnings=messages.warnings,
    )
    if raised is not None:
        raise exc from raised
    raise exc


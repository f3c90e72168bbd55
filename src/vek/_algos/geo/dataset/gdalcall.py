"""Calling GDAL's low-level binding: the option values of a creating or
opening call checked and option dicts turned into GDAL's ``KEY=VALUE``
lists, GDAL's warnings re-emitted as
:class:`~vek._algos.geo._error.GDALWarning`, and failures turned into
:class:`~vek._algos.geo._error.GDALError`, with what a failed creation
left behind removed; and one ``OpenEx`` attempt with GDAL's open flags."""

from osgeo import _gdal

from .. import _error as error
from ..binding.capabilities import metadata_flag, metadata_item
from ..binding.gdaldefs import OF_GNM, OF_MULTIDIM, OF_RASTER, OF_UPDATE, OF_VECTOR, OF_VERBOSE_ERROR
from ..binding.messages import CE_FAILURE, CE_FATAL, gdal_messages, last_gdal_error
from ..binding.optionlists import OPTION_LISTS
from ..options.check import check_options
from ..options.text import gdal_options, is_mapping
from .creation import clean_failed_creation, creation_path, existing_before, is_dataset, note_creation, release_dataset

__all__ = ["call_gdal_fun", "call_creating", "call_heard", "open_raw", "OF_UPDATE", "OF_RASTER", "OF_VECTOR", "OF_GNM",
           "OF_MULTIDIM", "OF_VERBOSE_ERROR"]



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
    "Dataset_CopyLayer": (3, "options", "layer"),
    "OpenEx": (3, "open_options", "open"),
}


def _fun_name(fun) -> str:
    return getattr(fun, "__name__", None) or repr(fun)


def _argument(args, kwargs, index, keyword):
    if len(args) > index:
        return args[index]
    return kwargs.get(keyword)


def _copy_call(target, source) -> str:
    """Which validation a CreateCopy runs: a multidimensional source copied
    by a multidimensional driver passes its ``ARRAY:`` options by."""
    if not metadata_flag(target, "DCAP_MULTIDIM_RASTER"):
        return "copy"
    group = _gdal.Dataset_GetRootGroup(source)
    if group is None:
        return "copy"
    _gdal.delete_Group(group)
    return "copy-multidim"


def _option_list(name, kind, args, kwargs):
    """``(xml text, container words, scope, call)`` the call's options are
    checked against; the text is "" when there is nothing to check."""
    first = _argument(args, kwargs, 0, "self")
    if kind in ("creation", "multidim"):
        scope, call = None, None
        if name == "Driver_Create":
            sizes = [_argument(args, kwargs, i, k) for i, k in ((2, "xsize"), (3, "ysize"), (4, "bands"))]
            scope = "vector" if sizes == [0, 0, 0] else "raster"
        elif name == "Driver_CreateCopy":
            call = _copy_call(first, _argument(args, kwargs, 2, "src"))
        return metadata_item(first, OPTION_LISTS[kind]), f"driver {_gdal.Driver_ShortName_get(first)}", scope, call
    if kind == "layer":  # the dataset's own list first, as GDAL reads it
        text = metadata_item(first, OPTION_LISTS[kind]) or metadata_item(_gdal.Dataset_GetDriver(first),
                                                                         OPTION_LISTS[kind])
        return text, f"dataset {_gdal.MajorObject_GetDescription(first)}", None, None
    drivers = _argument(args, kwargs, 2, "allowed_drivers")
    if not isinstance(drivers, (list, tuple)) or len(drivers) != 1 or not isinstance(drivers[0], str):
        return "", "", None, None  # which driver opens it is not known yet
    handle = _gdal.GetDriverByName(drivers[0])
    return (metadata_item(handle, OPTION_LISTS[kind]) if handle is not None else ""), f"driver {drivers[0]}", None, None


def _checked(name, args, kwargs):
    """``args`` and ``kwargs`` with the option values of a creating or
    opening call checked (see :func:`~vek._algos.geo.options.check.check_options`)."""
    where = _CHECKED.get(name)
    if where is None:
        return args, kwargs
    index, keyword, kind = where
    options = _argument(args, kwargs, index, keyword)
    if options is None or (isinstance(options, (dict, list, tuple)) and not options):
        return args, kwargs
    try:
        xml_text, container, scope, call = _option_list(name, kind, args, kwargs)
    except Exception:  # not GDAL handles: the binding itself will say so
        return args, kwargs
    checked = check_options(options, xml_text, kind=kind, scope=scope, container=container, call=call)
    if len(args) > index:
        return args[:index] + (checked,) + args[index + 1:], kwargs
    return args, {**kwargs, keyword: checked}


def _emit(messages, result, creating, existed_before) -> None:
    """Re-emit the call's warnings; a warning the user's filter turns into
    an error undoes the call as a failure would (nothing half-kept)."""
    try:
        messages.emit()
    except BaseException:
        if creating:
            clean_failed_creation(existed_before, result)
        elif is_dataset(result):
            release_dataset(result)
        raise


def call_gdal_fun(fun, *args, **kwargs):
    """Call the GDAL binding function ``fun`` and return its result.

    For the creating and opening functions (``Driver_Create``,
    ``Driver_CreateCopy``, ``Driver_CreateMultiDimensional``,
    ``Dataset_CreateLayer``, ``Dataset_CopyLayer``, ``OpenEx`` with one
    allowed driver) the
    option values are first checked against the
    driver's own option list for the call, as
    :func:`~vek._algos.geo.options.check.check_options` does: an option name
    the list lacks raises :class:`~vek._algos.geo._error.FormatError` and a
    bad value :class:`~vek.optioncheck.OptionValueError` before GDAL is
    called (or warns, as the configuration's ``[options] check`` says);
    names reach GDAL in the list's spelling.

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
    it made is removed: every file of the target's stem that appeared in
    its folder during the call (the target and its sidecars), and a file
    made through a symbolic link; nothing that was there before (see
    :func:`~.creation.remove_created`).

    The user's GDAL exception mode is neither read nor changed.

    The record of what a creating call made is kept for the ``GeoDatabase``
    that wraps its result next in this thread: the driver classes' ``create``
    hands the result over so. The package's own writing calls take the
    record from :func:`call_creating` instead.
    """
    result, made = _call(fun, args, kwargs)
    if _fun_name(fun) in _CREATORS:
        note_creation(result, made)
    return result


def call_creating(fun, *args, heard=None, **kwargs):
    """``(handle, record)``: the creating call ``fun`` (one of
    ``Driver_Create``, ``Driver_CreateCopy``, ``Driver_CreateMultiDimensional``)
    made as :func:`call_gdal_fun` makes it, with the
    :class:`~.creation.Before` record of what it made (``None`` where its
    target could not be examined) handed back for the dataset's owner.
    ``heard``, a list, also gets the texts of GDAL's warnings (the reasons
    a read-back names)."""
    return _call(fun, args, kwargs, heard)


def call_heard(fun, *args, heard=None, **kwargs):
    """:func:`call_gdal_fun`'s call, whose GDAL warnings also go to
    ``heard`` (a list of their texts, or ``None``)."""
    return _call(fun, args, kwargs, heard)[0]


def _call(fun, args, kwargs, heard=None):
    """``(result, record of what a creating call made)`` of
    :func:`call_gdal_fun`'s call."""
    name = _fun_name(fun)
    args, kwargs = _checked(name, args, kwargs)
    args = tuple(gdal_options(a) if is_mapping(a) else a for a in args)
    if kwargs:
        kwargs = {
            k: (gdal_options(v) if is_mapping(v) else v) for k, v in kwargs.items()
        }
    creating = name in _CREATORS
    path = None
    if creating:
        args, kwargs, path = creation_path(args, kwargs)
    existed_before = existing_before(path)

    result = None
    raised = None
    with gdal_messages() as messages:
        try:
            result = fun(*args, **kwargs)
        except RuntimeError as exc:
            raised = exc
        err_type, err_no, err_msg = last_gdal_error()

    if heard is not None:
        heard.extend(text for _no, text in messages.warnings)
    failed = (
        raised is not None
        or result is None
        or err_type in (CE_FAILURE, CE_FATAL)
    )
    if not failed:
        _emit(messages, result, creating, existed_before)
        return result, existed_before

    if creating:
        clean_failed_creation(existed_before, result)
    elif is_dataset(result):
        release_dataset(result)

    if raised is not None and not err_msg:
        err_msg = str(raised)
    if err_type not in (CE_FAILURE, CE_FATAL):
        err_type = CE_FAILURE
    if err_msg:
        message = f"GDAL {name} failed: {err_msg}"
    else:
        message = f"GDAL {name} failed without giving a reason (it returned no result)"
    failure = error.GDALError(
        message + messages.text(),
        function=name,
        gdal_message=err_msg,
        error_no=err_no,
        error_type=err_type,
        warnings=messages.warnings,
    )
    if raised is not None:
        raise failure from raised
    raise failure


def open_raw(path, flags, drivers, options, siblings):
    """One ``OpenEx`` attempt: ``(handle or None, (type, no, message), messages)``."""
    with gdal_messages() as messages:
        try:
            handle = _gdal.OpenEx(path, flags | OF_VERBOSE_ERROR, drivers, options, siblings)
        except RuntimeError as exc:  # GDAL exceptions enabled
            err = last_gdal_error()
            if not err[2]:
                err = (CE_FAILURE, err[1], str(exc))
            return None, err, messages
        err = last_gdal_error()
    if handle is not None and err[0] in (CE_FAILURE, CE_FATAL):
        release_dataset(handle)
        handle = None
    return handle, err, messages

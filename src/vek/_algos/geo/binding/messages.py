"""GDAL's messages around a call: kept from being printed, collected, and
re-emitted as :class:`~vek._algos.geo._error.GDALWarning`, pointing at the
first caller outside the package."""

import _thread
import os
import warnings

from osgeo import _gdal

from .. import _error as error

__all__ = ["CE_NONE", "CE_DEBUG", "CE_WARNING", "CE_FAILURE", "CE_FATAL", "quiet_gdal",
           "gdal_messages", "last_gdal_error", "skip_prefixes"]

# GDAL error classes (CPLErr).
CE_NONE = 0
CE_DEBUG = 1
CE_WARNING = 2
CE_FAILURE = 3
CE_FATAL = 4

_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def skip_prefixes() -> tuple:
    """File prefixes a warning's ``skip_file_prefixes`` passes over, so that
    it points at the first caller outside the package."""
    return (_PACKAGE_DIR + os.sep,)


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


# The collectors of this thread, innermost last; GDAL calls the handler on
# the thread that raised the message, the top of whose stack is the block.
_collecting = _thread._local()  # threading itself is not imported for this


def _collect(err_class, err_no, message) -> None:
    # Runs inside GDAL: it must not raise.
    try:
        stack = getattr(_collecting, "stack", None)
        if stack and err_class == CE_WARNING:
            text = os.fsdecode(message) if isinstance(message, bytes) else message or ""
            stack[-1].warnings.append((err_no, text))
    except BaseException:  # pragma: no cover - nothing may escape into GDAL
        pass


_push_handler = None
_kept: list = []


def _pusher():
    """``push()``: installs :func:`_collect` through libgdal itself rather
    than as a Python callable of the binding.  The binding (GDAL 3.6) builds
    the callable's arguments as UTF-8 text, so a message naming a file whose
    name is not UTF-8 failed to decode, left an exception pending inside the
    GDAL call, and the call's result (a dataset handle) was lost in a
    SystemError; a C callback receives the message's bytes.  ctypes is
    loaded on first use, to keep the import light; where it cannot be (the
    process dropped the rights to read the standard library), the binding's
    own way is taken."""
    global _push_handler
    if _push_handler is None:
        try:
            import ctypes

            kind = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)
            push = ctypes.CDLL(_gdal.__file__).CPLPushErrorHandlerEx
            push.argtypes, push.restype = [kind, ctypes.c_void_p], None
            handler = kind(_collect)
            _kept.append(handler)  # for good: two threads may both get here
            _push_handler = lambda: push(handler, None)  # noqa: E731
        except (ImportError, OSError, AttributeError):
            _push_handler = lambda: _gdal.PushErrorHandler(_collect_text)  # noqa: E731
    return _push_handler


def _collect_text(*args) -> None:
    if len(args) == 3:
        _collect(*args)


class gdal_messages(quiet_gdal):
    """Context manager that collects GDAL's warnings instead of printing.

    Pushes a handler of its own on entry and pops it on exit; GDAL's
    handler stack belongs to the calling thread, so other threads and the
    user's own handlers are left alone, and the error state (what
    :func:`last_gdal_error` reads) is kept as GDAL sets it. Unless
    ``reset=False``, the error state is reset on entry. ``warnings`` is
    the list of ``(error_no, message)`` of the CE_Warnings of the block,
    in order (a message that is not UTF-8 surrogate-escaped, as file
    names are); :meth:`emit` re-emits them as ``GDALWarning``.
    """

    __slots__ = ("warnings",)

    def __init__(self, reset: bool = True):
        super().__init__(reset)
        self.warnings: list[tuple[int, str]] = []

    def __enter__(self):
        stack = getattr(_collecting, "stack", None)
        if stack is None:
            stack = _collecting.stack = []
        push = _pusher()
        stack.append(self)
        push()
        if self.reset:
            _gdal.ErrorReset()
        return self

    def __exit__(self, *exc_info):
        _gdal.PopErrorHandler()
        stack = _collecting.stack
        if stack and stack[-1] is self:
            stack.pop()
        else:  # pragma: no cover - blocks always nest
            stack.remove(self)
        return False

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

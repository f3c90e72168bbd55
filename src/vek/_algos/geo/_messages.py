"""GDAL's messages around a call: kept from being printed, collected, and
re-emitted as :class:`~vek._algos.geo._error.GDALWarning`, pointing at the
first caller outside the package."""

import os
import warnings

from osgeo import _gdal

from . import _error as error

__all__ = ["CE_NONE", "CE_DEBUG", "CE_WARNING", "CE_FAILURE", "CE_FATAL", "quiet_gdal",
           "gdal_messages", "last_gdal_error", "skip_prefixes"]

# GDAL error classes (CPLErr).
CE_NONE = 0
CE_DEBUG = 1
CE_WARNING = 2
CE_FAILURE = 3
CE_FATAL = 4

_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


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

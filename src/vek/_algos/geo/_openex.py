"""One ``OpenEx`` attempt, with GDAL's messages collected, and GDAL's open
flags (``GDAL_OF_*``), below the dataset owner and the opening calls."""

from . import base
from .base import _gdal

__all__ = ["open_raw", "OF_UPDATE", "OF_RASTER", "OF_VECTOR", "OF_GNM", "OF_MULTIDIM", "OF_VERBOSE_ERROR"]

OF_UPDATE = 0x01

OF_RASTER = 0x02

OF_VECTOR = 0x04

OF_GNM = 0x08

OF_MULTIDIM = 0x10

OF_VERBOSE_ERROR = 0x40


def open_raw(path, flags, drivers, options, siblings):
    """One ``OpenEx`` attempt: ``(handle or None, (type, no, message), messages)``."""
    with base.gdal_messages() as messages:
        try:
            handle = _gdal.OpenEx(path, flags | OF_VERBOSE_ERROR, drivers, options, siblings)
        except RuntimeError as exc:  # GDAL exceptions enabled
            handle = None
            err = base.last_gdal_error()
            if not err[2]:
                err = (base.CE_FAILURE, err[1], str(exc))
            return None, err, messages
        err = base.last_gdal_error()
    if handle is not None and err[0] in (base.CE_FAILURE, base.CE_FATAL):
        base.release_dataset(handle)
        handle = None
    return handle, err, messages

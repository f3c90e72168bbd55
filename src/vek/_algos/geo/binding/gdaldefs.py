"""What GDAL defines in C and its Python binding leaves out: the open flags
(``GDAL_OF_*``) and the case folding of ``EQUAL``. A module of their own,
so that judging a name or identifying a file imports neither the calling
road nor the option value rules."""

__all__ = ["OF_UPDATE", "OF_RASTER", "OF_VECTOR", "OF_GNM", "OF_MULTIDIM", "OF_VERBOSE_ERROR", "fold"]

# GDAL's open flags (GDAL_OF_*).
OF_UPDATE = 0x01
OF_RASTER = 0x02
OF_VECTOR = 0x04
OF_GNM = 0x08
OF_MULTIDIM = 0x10
OF_VERBOSE_ERROR = 0x40

_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


def fold(text: str) -> str:
    """``text`` with ASCII letters lower-cased and nothing else changed,
    the case folding of GDAL's ``EQUAL``."""
    return text.translate(_ASCII_LOWER)

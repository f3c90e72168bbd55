"""Switching the GDAL exception mode of the low-level binding, on any GDAL.

Up to GDAL 3.6, ``osgeo._gdal`` has ``UseExceptions`` and
``DontUseExceptions``; from 3.7 on they are ``_UseExceptions`` and
``_DontUseExceptions`` there (the public names live in ``osgeo.gdal``,
which tests never import).  ``GetUseExceptions`` exists in both.  Child
process scripts cannot import this module; they spell the same fallback
inline: ``(getattr(_gdal, "UseExceptions", None) or _gdal._UseExceptions)()``.
"""

import contextlib

from osgeo import _gdal

__all__ = ["use_exceptions", "dont_use_exceptions", "set_exceptions", "exceptions_mode"]


def _binding(name):
    fun = getattr(_gdal, name, None) or getattr(_gdal, "_" + name, None)
    if fun is None:
        raise AttributeError(f"osgeo._gdal has neither {name} nor _{name}")
    return fun


def use_exceptions():
    """GDAL failures raise ``RuntimeError`` in the low-level binding."""
    _binding("UseExceptions")()


def dont_use_exceptions():
    """GDAL failures are return codes / ``None`` in the low-level binding."""
    _binding("DontUseExceptions")()


def set_exceptions(on):
    use_exceptions() if on else dont_use_exceptions()


@contextlib.contextmanager
def exceptions_mode(on):
    """Run the block with the exception mode ``on``; restore it afterwards."""
    before = _gdal.GetUseExceptions()
    set_exceptions(on)
    try:
        yield
    finally:
        set_exceptions(before)

"""The face the extension module imports from.

The extension binds these names at import (``error``, ``gdata``, ``dtypes``,
``call_gdal_fun``, ``xet``, ``env``, ``mem_temp_path``, ``_gdal``) and
imports ``get_sel`` at each call; each lives in the part of the package
that does that job:

``error``
    Exception classes (:mod:`vek._algos.geo._error`).
``gdata``
    HTML builders ``VEKHTMLDetails`` and ``VEKHTMLTable``, loaded on first
    use (:mod:`vek._algos.geo.display`).
``dtypes``
    Raster data type codes (:mod:`vek._algos.geo.binding.dtypes`).
``call_gdal_fun(fun, *args, **kwargs)``
    Calls a binding function, with option values checked and converted and
    GDAL failures raised as :class:`error.GDALError`
    (:mod:`vek._algos.geo.dataset.gdalcall`, loaded on first call).
``xet``
    ElementTree front end that refuses entity declarations
    (:mod:`vek._algos.geo.binding.safexml`).
``env``
    User configuration read from a TOML file on first use
    (:mod:`vek._algos.geo.config.settings`).
``mem_temp_path(ext)``
    A fresh ``/vsimem/`` path (:mod:`vek._algos.geo.binding.paths`, loaded
    on first call).
``get_sel(count, limit)``
    Which rows to show when a listing is cut to ``limit`` rows
    (:mod:`vek._algos.geo.display.rows`, loaded on first call).
``_gdal``
    The low-level binding module itself.

No module of the package imports this one: the parts import each other
directly, from the top down. Importing it costs little more than importing
``osgeo._gdal``: the HTML, TOML, XML and difflib code, and the writing road
behind the two functions, are only imported when first needed (the
extension holds the functions bound here, so they stay these two small
wrappers rather than being replaced on first call).
"""

from . import _import_gdal

_gdal = _import_gdal()  # first: a missing binding is said in one line
del _import_gdal

from . import _error as error
from . import display as gdata
from .binding import dtypes
from .binding import safexml as xet
from .config import settings as env


def call_gdal_fun(fun, *args, **kwargs):
    """:func:`vek._algos.geo.dataset.gdalcall.call_gdal_fun`."""
    from .dataset.gdalcall import call_gdal_fun as call

    return call(fun, *args, **kwargs)


def mem_temp_path(ext: str = "") -> str:
    """:func:`vek._algos.geo.binding.paths.mem_temp_path`."""
    from .binding.paths import mem_temp_path as fresh

    return fresh(ext)


def get_sel(count, limit):
    """:func:`vek._algos.geo.display.rows.get_sel`."""
    from .display.rows import get_sel as rows

    return rows(count, limit)


__all__ = ["error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path", "get_sel", "_gdal"]

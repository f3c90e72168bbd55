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
    ``KEY=VALUE`` lists and GDAL failures into :class:`error.GDALError`
    (:mod:`vek._algos.geo._gdalcall`).
``gdal_options(options)``
    The option dict converter ``call_gdal_fun`` uses
    (:mod:`vek._algos.geo._options`).
``gdal_messages()``, ``quiet_gdal()``, ``last_gdal_error()``, ``CE_*``
    Context managers collecting GDAL's warnings during a block (re-emitted
    as ``GDALWarning`` by ``emit()``) or silencing them, and GDAL's last
    error (:mod:`vek._algos.geo._messages`).
``release_dataset(handle)``
    Closes a bare dataset handle quietly (:mod:`vek._algos.geo._creation`,
    which keeps the record of what a creating call made).
``check_options(options, xml_text, kind=..., scope=..., container=...)``
    Checks option values against a driver's option list before a creating
    or opening call (:mod:`vek._algos.geo._optcheck`).
``mem_temp_path(ext)``
    A fresh ``/vsimem/`` path; see :func:`is_mem_temp_path`
    (:mod:`vek._algos.geo._paths`, with ``path_exists`` and ``remove_path``).
``get_sel(count, limit)``
    Which rows to show when a listing is cut to ``limit`` rows.
``_gdal``
    The low-level binding module itself.

Importing this module costs little more than importing ``osgeo._gdal``:
the HTML, TOML, XML and difflib code is only imported when first needed.
"""

from . import _import_gdal

_gdal = _import_gdal()  # first: a missing binding is said in one line
del _import_gdal

from . import _dtypes as dtypes
from . import _env as env
from . import _error as error
from . import _gdata as gdata
from . import _xet as xet
from ._creation import release_dataset  # noqa: F401
from ._gdalcall import call_gdal_fun
from ._messages import (  # noqa: F401
    CE_DEBUG, CE_FAILURE, CE_FATAL, CE_NONE, CE_WARNING, gdal_messages, last_gdal_error, quiet_gdal,
)
from ._optcheck import check_options
from ._options import gdal_options
from ._paths import (  # noqa: F401
    MEM_DIR, is_mem_temp_path, mem_temp_path, path_exists, remove_path,
)

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
    "gdal_messages",
    "check_options",
    "_gdal",
]

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

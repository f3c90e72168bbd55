"""Which drivers write this path? ``drivers_for_path(path)`` judges a path
that may not exist yet by its extension or connection prefix, in the order
GDAL's own tools choose an output driver
(``GDALGetOutputDriversForDatasetName``, GDAL 3.9).

Apart from :mod:`.identify` so that judging a name does not import what
reading a file needs (the dataset modules).
"""

from osgeo import _gdal

from .. import _error as error
from ..binding.capabilities import has_item, is_output_driver, metadata_flag, metadata_item, metadata_list
from ..binding.extension import driver_module
from ..binding.paths import fs_path
from ..binding.gdaldefs import fold as _fold  # GDAL's EQUAL: ASCII case only (casefold took 'ſhp' for shp)

__all__ = ["drivers_for_path", "output_names"]

_KINDS = (None, "raster", "vector")


def _drivers():
    return [_gdal.GetDriver(i) for i in range(_gdal.GetDriverCount())]


def _short_name(handle) -> str:
    return _gdal.Driver_ShortName_get(handle)



def _suffixes(path: str) -> list[str]:
    """The extensions a file name may have, longest first: ``a.shp.zip``
    gives ``shp.zip``, then ``zip``."""
    name = path.replace("\\", "/").rsplit("/", 1)[-1]
    parts = name.split(".")[1:]
    return [".".join(parts[i:]) for i in range(len(parts)) if all(parts[i:])]


def _has_prefix(handle, path: str) -> bool:
    prefix = metadata_item(handle, "DMD_CONNECTION_PREFIX")
    return bool(prefix) and _fold(path[: len(prefix)]) == _fold(prefix)


# GDAL 3.9's GDALGetOutputDriversForDatasetName is not called where a binding
# offers it: it knows only two compound extensions and reads nothing else;
# otherwise this gives what it gives, in its order.
def _of_kind(handle, kind) -> bool:
    if kind is None:  # as GDAL's tools: whether an item is set, not what it says
        return has_item(handle, "DCAP_RASTER") or has_item(handle, "DCAP_VECTOR")
    # the driver classes' own test, so that every match makes a driver of the kind
    return metadata_flag(handle, "DCAP_RASTER" if kind == "raster" else "DCAP_VECTOR")


def output_names(path: str, writable: bool, kind=None) -> tuple[str, list[str]]:
    candidates = []
    every_listed = set()
    for handle in _drivers():
        listed = {_fold(e) for e in metadata_list(handle, "DMD_EXTENSIONS")}
        of_kind = _of_kind(handle, kind)
        if kind is None or of_kind:
            every_listed |= listed
        if writable and not is_output_driver(handle):
            continue
        if not of_kind:
            continue
        candidates.append((_short_name(handle), listed, _has_prefix(handle, path)))
    # A compound extension (shp.zip) counts where a registered driver of the
    # kind asked lists it, else the last one (zip), as GDAL's tools do: GDAL
    # splits off only the last part but shp.zip and gpkg.zip.  Drivers that
    # cannot write count: a pipeline.gdalg.json belongs to a driver that only
    # reads, not to the drivers of .json.  Drivers of another kind do not: the
    # raster-only GTI lists gti.gpkg, and out.gti.gpkg is a vector GeoPackage.
    suffixes = _suffixes(path)
    ext = next((s for s in suffixes[:-1] if _fold(s) in every_listed),
               suffixes[-1] if suffixes else "")
    names = [name for name, listed, prefixed in candidates
             if (ext and _fold(ext) in listed) or prefixed]
    # GMT is registered before netCDF for reading; GDAL writes .nc with netCDF.
    if _fold(ext) == "nc" and [_fold(n) for n in names] == ["gmt", "netcdf"]:
        names.reverse()
    return ext, names


def drivers_for_path(path, *, writable=True, single=False, kind=None):
    """The drivers that would write a dataset at ``path``, judged by its
    extension or its connection prefix (``PG:``, ...); ``path`` need not
    exist.

    Drivers match when their ``DMD_EXTENSIONS`` list the path's extension
    (compared without regard to ASCII case, as GDAL compares; a compound extension such as
    ``.shp.zip`` counts as one where any registered driver of the ``kind``
    asked lists it, even one that does not write: no driver writes
    ``.gdalg.json``), or else when the
    path starts with their ``DMD_CONNECTION_PREFIX``.  With ``writable`` (the default) only drivers
    that write datasets count: by Create, by CreateCopy, or by translating
    vector data.  The order is GDAL's registry order, which is the order in
    which GDAL's own tools pick an output driver (netCDF before GMT for
    ``.nc``, as GDAL does).  A list of ``Driver`` objects is returned.

    ``kind`` (``"raster"`` or ``"vector"``) keeps the drivers of that kind,
    as GDAL's raster and vector flags ask (a driver of both kinds counts for
    each), and gives them as ``RasterDriver`` or ``VectorDriver`` objects;
    ``None``: both kinds.

    ``single=True`` asks for one driver: it is returned alone, and
    :class:`~vek._algos.geo._error.FormatError` is raised when none or
    several match, naming them; as in GDAL, GTiff is taken without
    complaint when the only other candidates follow it led by COG.
    """
    driver = driver_module()
    if kind not in _KINDS:
        raise ValueError(f"kind must be 'raster', 'vector' or None, not {kind!r}")
    cls = {"raster": driver.RasterDriver, "vector": driver.VectorDriver}.get(kind, driver.Driver)
    text = fs_path(path)  # a NUL would cut the name GDAL looks at
    ext, names = output_names(text, bool(writable), kind)
    if not single:
        return [cls(n) for n in names]
    what = f"extension .{ext}" if ext else "no extension"
    verb = "writes" if writable else "reads"
    if not names:
        raise error.FormatError(f"no driver {verb} {text!r} ({what})")
    if len(names) > 1 and names[:2] != ["GTiff", "COG"]:
        raise error.FormatError(
            f"several drivers {'write' if writable else 'read'} {text!r} ({what}): "
            f"{', '.join(names)}; name the one to use"
        )
    return cls(names[0])

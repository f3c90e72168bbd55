"""Which driver is this file, and which drivers write this path?

``identify(path)`` asks GDAL's ``IdentifyDriverEx`` (it looks at the
file's content); ``drivers_for_path(path)`` judges a path that may not exist
yet by its extension or connection prefix, in the order GDAL's own tools
choose an output driver (``GDALGetOutputDriversForDatasetName``, GDAL 3.9).
"""

import os
import stat

from osgeo import _gdal

from .. import _error as error
from ..binding.capabilities import has_item, is_output_driver, metadata_flag, metadata_item, metadata_list
from ..binding.extension import driver_module
from ..binding.messages import quiet_gdal
from ..binding.paths import fs_path, gdal_path
from ..dataset.creation import release_dataset
from ..dataset.opening import OF_RASTER, OF_VECTOR, not_found, sibling_names
from ..options.values import fold as _fold  # GDAL's EQUAL: ASCII case only (casefold took 'ſhp' for shp)

__all__ = ["identify", "drivers_for_path"]

_KIND_FLAGS = {None: 0, "raster": OF_RASTER, "vector": OF_VECTOR}


def _drivers():
    return [_gdal.GetDriver(i) for i in range(_gdal.GetDriverCount())]


def _short_name(handle) -> str:
    return _gdal.Driver_ShortName_get(handle)


def _names(value, what: str):
    if value is None:
        return None
    if isinstance(value, str):
        value = [value]
    names = []
    for item in value:
        if isinstance(item, str):
            names.append(item)
        elif hasattr(item, "_driver") and hasattr(item, "name"):  # a Driver
            names.append(item.name)
        else:
            raise TypeError(f"{what} must be driver names or drivers, found {item!r}")
    return names


def _path_text(path) -> str:
    return fs_path(path)  # a NUL would cut the name GDAL looks at


def _kind_of(handle, path, allowed, siblings):
    """The kind a driver reads this file as: "raster" or "vector" when only
    one of the two kinds identifies it, else ``None``."""
    kinds = [has_item(handle, key) for key in ("DCAP_RASTER", "DCAP_VECTOR")]
    if kinds == [True, False]:
        return "raster"
    if kinds == [False, True]:
        return "vector"
    if kinds == [False, False]:
        return None
    only = [_short_name(handle)]
    found = tuple(
        _raw_identify(path, flags, only, siblings) is not None
        for flags in (OF_RASTER, OF_VECTOR)
    )
    if found == (True, True):
        # The driver recognises the format, not what the file holds: look.
        found = _holds(path, only, siblings)
    return {(True, False): "raster", (False, True): "vector"}.get(found)


def _holds(path, only, siblings) -> tuple[bool, bool]:
    """``(has bands, has layers)`` of the file opened once, read-only, as
    both kinds: one open costs a hundred identifications, so there is no
    second (``(False, False)`` when it does not open)."""
    # A probe: its messages are no news, so GDAL's quiet handler takes them;
    # the binding cannot hand a Python handler one naming a file whose name
    # is not UTF-8 (a SystemError).
    with quiet_gdal():
        try:
            handle = _gdal.OpenEx(gdal_path(path), OF_RASTER | OF_VECTOR, only, [], siblings or [])
        except RuntimeError:  # GDAL exceptions enabled
            return False, False
    if handle is None:
        return False, False
    try:
        # what opened counts, even where GDAL complained of a part it skipped
        return _gdal.Dataset_RasterCount_get(handle) > 0, _gdal.Dataset_GetLayerCount(handle) > 0
    finally:
        release_dataset(handle)


def _check_kind_of_file(path: str) -> None:
    """Refuse a local file that is neither a regular file nor a folder: GDAL
    would open it to look, and a FIFO without a writer blocks forever."""
    if path.startswith("/vsi"):
        return
    try:
        mode = os.stat(path).st_mode
    except OSError:  # no local file: a connection string, a URL
        return
    if not (stat.S_ISREG(mode) or stat.S_ISDIR(mode)):
        raise ValueError(f"{path!r} is not a regular file or a folder; GDAL is not asked to read it")


def _raw_identify(path, flags, allowed, siblings):
    with quiet_gdal():
        try:
            # a name UTF-8 cannot encode goes as its bytes, as open_file hands it
            return _gdal.IdentifyDriverEx(gdal_path(path), flags, allowed or [], siblings or [])
        except RuntimeError:  # GDAL exceptions enabled
            return None


def _driver_object(handle, kind):
    driver = driver_module()
    cls = {"raster": driver.RasterDriver, "vector": driver.VectorDriver}.get(kind, driver.Driver)
    return cls(_short_name(handle))


def identify(path, *, allowed=None, sibling_files=None, kind=None):
    """The driver that recognises the file at ``path`` by its content, or
    ``None`` when no driver does.

    This is GDAL's ``IdentifyDriverEx``: each driver in registry order looks
    at the file's first bytes (and, where the format needs it, its name or
    its sidecar files); the first one that recognises it wins.  The file's
    name does not decide: a GeoPackage named ``.tif`` is a GeoPackage.
    ``path`` and ``sibling_files`` are taken as :func:`open_file` takes
    them: a name that is not UTF-8 reaches GDAL as the file system's bytes.

    ``allowed``
        Driver short names (or driver objects) that may answer; ``None``:
        every driver.
    ``sibling_files``
        ``None``: GDAL looks beside the file itself; a list of file names
        (without folders) tells GDAL which files are beside it.
    ``kind``
        ``"raster"`` or ``"vector"``: only drivers of that kind answer, as
        GDAL's raster and vector flags ask; ``None``: both kinds.

    The answer is a ``RasterDriver`` when the file is read as a raster (the
    kind asked for, the only kind the driver handles or recognises the file
    as, or, for a format of both kinds such as GeoPackage, the only kind of
    data the file holds when it is opened read-only), a ``VectorDriver``
    likewise, else a ``Driver``.  A local path
    or a ``/vsimem/`` path that does not exist raises
    ``FileNotFoundError``; a local file that is neither a regular file nor
    a folder (a FIFO, a device) raises ``ValueError``.
    """
    path = _path_text(path)
    if kind not in _KIND_FLAGS:
        raise ValueError(f"kind must be 'raster', 'vector' or None, not {kind!r}")
    allowed = _names(allowed, "allowed")
    siblings = sibling_names(sibling_files)  # checked and handed over as open_file does
    if not_found(path):
        raise FileNotFoundError(2, "No such file or directory", path)
    _check_kind_of_file(path)
    handle = _raw_identify(path, _KIND_FLAGS[kind], allowed, siblings)
    if handle is None:
        return None
    return _driver_object(handle, kind or _kind_of(handle, path, allowed, siblings))


# --------------------------------------------------------------------------
# drivers by output path


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
    if kind not in _KIND_FLAGS:
        raise ValueError(f"kind must be 'raster', 'vector' or None, not {kind!r}")
    cls = {"raster": driver.RasterDriver, "vector": driver.VectorDriver}.get(kind, driver.Driver)
    text = _path_text(path)
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

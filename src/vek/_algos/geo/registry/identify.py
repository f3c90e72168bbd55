"""Which driver is this file? ``identify(path)`` asks GDAL's
``IdentifyDriverEx`` (it looks at the file's content). Which drivers write
a path is judged in :mod:`.output`; ``drivers_for_path`` is named here too.
"""

import os
import stat

from osgeo import _gdal

from ..binding.capabilities import has_item
from ..binding.extension import driver_module
from ..binding.gdaldefs import OF_RASTER, OF_VECTOR
from ..binding.messages import quiet_gdal
from ..binding.paths import fs_path, gdal_path, not_found, sibling_names
from ..dataset.creation import release_dataset
from .output import drivers_for_path

__all__ = ["identify", "drivers_for_path"]

_KIND_FLAGS = {None: 0, "raster": OF_RASTER, "vector": OF_VECTOR}


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

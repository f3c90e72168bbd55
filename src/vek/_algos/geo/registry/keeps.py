"""What each format keeps of what is written to it, as
``scripts/format-keeps.py`` found it for one GDAL: a raster's spatial
reference, geotransform, nodata and data types; a vector layer's field
types, long field names, spatial reference, and several layers.

Results hold only for the GDAL they were made with, the same release and
the same build (the system's library, or GDAL's binary wheel
``gdal-wheel``, which has other drivers and other libraries under them).
A user's own run, written to ``$XDG_CACHE_HOME/vek/``, comes before the
results shipped with vek. They are read once per process, on first use.
"""

import copy
import functools
import os
from pathlib import Path

from osgeo import _gdal

__all__ = ["SHIPPED", "cache_dir", "find_results", "gdal_build", "keeps_of", "results_name", "running_gdal",
           "with_keeps"]

SHIPPED = Path(__file__).with_name("keeps-data")


def gdal_build() -> str:
    """``"wheel"`` where the ``osgeo`` imported is gdal-wheel's, else
    ``"system"`` (the bindings built for the system's libgdal)."""
    import importlib.metadata  # here: it costs more to import than describe takes

    import osgeo

    try:
        dist = importlib.metadata.distribution("gdal-wheel")
    except importlib.metadata.PackageNotFoundError:
        return "system"
    # a gdal-wheel left beside other bindings earlier on the path is not the one in use
    own = Path(str(dist.locate_file("osgeo/__init__.py")))
    return "wheel" if own.resolve() == Path(osgeo.__file__).resolve() else "system"


def running_gdal() -> tuple[str, str]:
    """``(release, build)`` of the GDAL in use: ``("3.6.2", "system")``."""
    return _gdal.VersionInfo("RELEASE_NAME"), gdal_build()


def results_name(release: str, build: str) -> str:
    return f"format-keeps-{release}-{build}.json"


def cache_dir() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "vek"


def _read(path: Path, release: str, build: str) -> dict | None:
    """The drivers' records of one results file, ``None`` where it is
    missing, unreadable or made with another GDAL."""
    import json

    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict) or (data.get("gdal"), data.get("build")) != (release, build):
        return None
    drivers = data.get("drivers")
    return drivers if isinstance(drivers, dict) else None


def find_results(release: str, build: str, places) -> dict:
    """The drivers' records of the first of ``places`` (directories) that
    holds results of this GDAL; empty where none does."""
    name = results_name(release, build)
    for place in places:
        found = _read(Path(place) / name, release, build)
        if found is not None:
            return found
    return {}


@functools.cache
def _running() -> dict:
    release, build = running_gdal()
    return find_results(release, build, (cache_dir(), SHIPPED))


def keeps_of(name: str) -> dict | None:
    """A new copy of what the driver ``name`` keeps on the GDAL in use, or
    ``None`` where no results of this GDAL name it."""
    record = _running().get(name)
    return copy.deepcopy(record) if isinstance(record, dict) else None


def with_keeps(described: dict) -> dict:
    """A driver's description with its ``keeps`` entry, where results of
    this GDAL have one for it."""
    found = keeps_of(described["name"])
    if found is not None:
        described["keeps"] = found
    return described

"""What ``create --verify`` compares: the dataset asked for on the command
line, as the facts the file read back is compared with, and what a
difference does (see :mod:`vek._algos.geo.verify.compare`); and the
differences a write warns of, collected for ``create`` and ``copy`` to
report with what was kept."""

import contextlib
import warnings

from osgeo import _ogr

from vek._algos.geo import _error
from vek._algos.geo.binding.paths import path_exists
from vek._algos.geo.dataset import layers as _layers
from vek._algos.geo.dataset.creation import remove_created
from vek._algos.geo.verify.compare import differences, settle
from vek._algos.geo.verify.facts import dataset_facts, wkt_of

from .common import CLIError


def raster_asked(args, dtype, geo) -> dict:
    """The raster of ``--size``, ``--bands`` and ``--dtype``, georeferenced
    by ``geo`` (the checked ``--srs``, ``--bounds`` and ``--nodata``)."""
    bands = args.bands
    return {"raster": {"size": tuple(args.size), "bands": bands, "types": [dtype] * bands,
                       "srs": wkt_of(geo.srs), "transform": geo.transform, "nodata": [geo.nodata] * bands}}


def layer_asked(args, fields, ftypes) -> dict:
    """The empty layer of ``--layer``, ``--geometry``, ``--field`` and ``--srs``."""
    geometry = _ogr.GeometryTypeToName(_layers.geometry_code(args.geometry or "Unknown"))
    typed = [(name, _layers.field_type_text(kind, ftypes)) for name, kind in fields.items()]
    return {"vector": {"layers": [{"name": args.layer, "count": 0, "geometry": geometry,
                                   "fields": typed,
                                   "srs": wkt_of(args.srs)}]}}


def held_differences(handle, asked, names=True) -> list:
    """How the dataset ``handle`` (opened again) differs from ``asked``
    (``names=False`` for a format of one layer, named after its file)."""
    return differences(asked, dataset_facts(handle, raster="raster" in asked,
                                            layers=None if "vector" in asked else []), names)


def settle_created(found, verify, path, before, files) -> None:
    """What the differences do: refused (``verify="error"``), what the
    creation made is removed (``before``: the target's state then, ``files``
    the dataset's) and ``WriteMismatch`` raised; kept, each warns. A file
    that was there before was written over in place (``--overwrite``): it
    stays, and the error says so."""
    if found and verify == "error":
        remove_created(before, files)
        if path_exists(path):
            raise CLIError(f"{path!r} does not hold what was asked: {'; '.join(map(str, found))}; it was "
                           "written over the file that was there and is left as written")
    settle(found, verify, path)


@contextlib.contextmanager
def kept_differences():
    """Collects the differences a write warns of (``WriteMismatchWarning``,
    with ``verify="warn"``) into the list it yields, so that they are
    reported with what was kept; other warnings are shown as before, once
    the block ends (also when it raises)."""
    found: list = []
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", _error.WriteMismatchWarning)
            yield found
    finally:
        for w in caught:
            if issubclass(w.category, _error.WriteMismatchWarning):
                found.append(w.message.difference)
            else:
                warnings.showwarning(w.message, w.category, w.filename, w.lineno, w.file, w.line)


def print_differences(found) -> None:
    for difference in found:
        print(f"differs: {difference}")

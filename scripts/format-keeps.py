#!/usr/bin/env python3
"""What each writer of the running GDAL keeps of what is written to it.

Every raster writer (GDAL's Create or CreateCopy, with a file extension)
is given an 8x8 raster in EPSG:32631 with bounds and nodata, once for
each data type it lists (or the common ones where it lists none); every
vector writer (Create, with a file extension) a layer with an SRS and
fields of the common types, one of them with a long name, then a dataset
of two layers. vek writes them with ``verify="error"`` and what its
reading back finds different is recorded, per driver: for rasters
whether the SRS, the geotransform and the nodata were kept and which
type each data type became; for vectors the field types, long names,
several layers, the SRS and the feature count.

Each driver runs in a child process of its own under a time limit, so
that one that crashes GDAL (3.6's DXF does on some closes) or hangs
costs its own record only. Writers read no user configuration: what is
recorded is the drivers' defaults.

    scripts/format-keeps.py                   JSON of every writer; kept in the cache too
    scripts/format-keeps.py --markdown        the same as Markdown tables
    scripts/format-keeps.py --only GTiff GSBG JSON of those drivers only
    scripts/format-keeps.py --from x.json --markdown

A run over every writer is written to ``$XDG_CACHE_HOME/vek/`` (unless
``--no-cache``), where ``vek.describe`` finds it for this GDAL.
"""

import argparse
import datetime
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

import vek
from vek._algos.geo.binding.capabilities import metadata_flag, metadata_item, metadata_list
from vek._algos.geo.binding.dtypes import get_raster_dtype_code, get_raster_dtype_name
from vek._algos.geo.registry.keeps import cache_dir, results_name, running_gdal

from osgeo import _gdal

SRS = "EPSG:32631"
BOUNDS = (500000.0, 4649920.0, 500080.0, 4650000.0)  # 8 x 8 cells of 10 m
NODATA = 7  # the default of no format: a file that holds it was given it
COMMON_TYPES = ("Byte", "Int16", "UInt16", "Int32", "Float32", "Float64")
NUMPY_TYPES = ("uint8", "int8", "uint16", "int16", "uint32", "int32", "uint64", "int64", "float16", "float32",
               "float64", "complex64", "complex128")

LONG_NAME = "population_total"  # longer than a dBase field name's 10 bytes
FIELDS = {"id": "Integer", "count": "Integer64", "area": "Real", "name": "String", "founded": "Date",
          "updated": "DateTime", LONG_NAME: "String"}
VALUES = {"id": 1, "count": 2**40, "area": 12.5, "name": "Gent", "founded": datetime.date(1901, 3, 1),
          "updated": datetime.datetime(2024, 5, 17, 12, 30, 15), LONG_NAME: "many"}
POINTS = ((500010.0, 4649930.0), (500040.0, 4649960.0), (500070.0, 4649990.0))

TIMEOUT = 120  # seconds a driver may take for one kind
SAID = 5  # GDAL's messages kept per driver and kind


# ---------------------------------------------------------------- which drivers write

def _extension(handle) -> str | None:
    found = metadata_list(handle, "DMD_EXTENSIONS") or metadata_list(handle, "DMD_EXTENSION")
    return found[0] if found else None


def writers() -> dict:
    """Short name -> ``{"raster": extension, "vector": extension}`` of the
    kinds each driver writes to files, in registry order."""
    found = {}
    for index in range(_gdal.GetDriverCount()):
        handle = _gdal.GetDriver(index)
        name = _gdal.Driver_ShortName_get(handle)
        extension = _extension(handle)
        if extension is None or name in ("MEM", "Memory") or metadata_item(handle, "DMD_CONNECTION_PREFIX"):
            continue
        kinds = {}
        if metadata_flag(handle, "DCAP_RASTER") and (metadata_flag(handle, "DCAP_CREATE")
                                                     or metadata_flag(handle, "DCAP_CREATECOPY")):
            kinds["raster"] = extension
        if metadata_flag(handle, "DCAP_VECTOR") and metadata_flag(handle, "DCAP_CREATE"):
            kinds["vector"] = extension
        if kinds:
            found[name] = kinds
    return found


# ---------------------------------------------------------------- one driver, in its child

def _numpy_types() -> dict:
    """GDAL type name -> the numpy type of it, for the types this GDAL has."""
    import numpy as np

    found = {}
    for name in NUMPY_TYPES:
        try:
            found[get_raster_dtype_name(get_raster_dtype_code(np.dtype(name)))] = name
        except (TypeError, ValueError, KeyError):
            continue  # no GDAL type of it here (Int8 before GDAL 3.7)
    return found


def creation_types(name) -> list:
    """``(GDAL type name, numpy type)`` of the data types the driver lists
    (the common ones where it lists none) that numpy has."""
    numpy = _numpy_types()
    listed = metadata_list(_gdal.GetDriverByName(name), "DMD_CREATIONDATATYPES") or COMMON_TYPES
    names = []
    for listed_name in listed:
        try:
            names.append(get_raster_dtype_name(get_raster_dtype_code(listed_name)))  # GDAL 3.13's UInt8 is Byte
        except (TypeError, ValueError, KeyError):
            continue
    return [(t, numpy[t]) for t in dict.fromkeys(names) if t in numpy]


def _first_line(exc) -> str:
    """The error's first line, its scratch folders left out of the paths."""
    text = str(exc).strip().splitlines()
    line = re.sub(r"/\S*/(keeps[\w.-]*)", r"\1", text[0] if text else "")
    return f"{type(exc).__name__}: {line}"[:300]


def _attempt(write):
    """``(differences, None)`` of one write (none for a file that holds
    what was asked), or ``(None, its error)``; GDAL's messages go to
    ``said``."""
    try:
        write()
    except vek.WriteMismatch as exc:
        return list(exc.differences), None
    except Exception as exc:  # any refusal is what this driver does: recorded, not raised
        return None, _first_line(exc)
    return [], None


class Said:
    """GDAL's warnings while writing, the first few distinct ones."""

    def __init__(self):
        self.texts: list = []
        self._catch = warnings.catch_warnings(record=True)

    def __enter__(self):
        self._caught = self._catch.__enter__()
        warnings.simplefilter("always")
        return self

    def __exit__(self, *exc):
        self._catch.__exit__(*exc)
        for item in self._caught:
            text = str(item.message).strip()[:300]
            if text not in self.texts and len(self.texts) < SAID:
                self.texts.append(text)
        return False


def _write_raster(name, path, numpy_type):
    import numpy as np

    array = (np.arange(64) % 50).reshape(8, 8).astype(numpy_type)
    return lambda: vek.write_raster(path, array, name, srs=SRS, bounds=BOUNDS, nodata=NODATA, verify="error").close()


def _kept_by_all(outcomes, word):
    """Whether no written type's differences name ``word``; ``None`` where
    nothing was compared."""
    if not outcomes:
        return None
    return not any(d.what.startswith(word) for found in outcomes.values() for d in found)


def _compared(found) -> bool:
    # with another band count the comparison stops there: types, SRS and nodata unread
    return not any(d.what == "bands" for d in found)


def _grouped(outcomes, skip=()) -> list:
    """The texts of the differences, each once, naming the types (or
    layers) it held for where not all of them."""
    where: dict = {}
    for key, found in outcomes.items():
        for d in found:
            if not d.what.startswith(skip):
                where.setdefault(str(d), []).append(key)
    return [text if len(keys) == len(outcomes) else f"{text} ({', '.join(keys)})" for text, keys in where.items()]


def _held_type(asked, found) -> str | None:
    if not _compared(found):
        return None
    return next((str(d.held) for d in found if d.what == "data type"), asked)


def raster_record(name, extension, scratch) -> dict:
    outcomes, refused = {}, {}
    with Said() as said:
        for type_name, numpy_type in creation_types(name):
            path = os.path.join(scratch, f"keeps-{type_name}.{extension}")
            found, failed = _attempt(_write_raster(name, path, numpy_type))
            if failed is None:
                outcomes[type_name] = found
            else:
                refused[type_name] = failed
    compared = {t: found for t, found in outcomes.items() if _compared(found)}
    record = {key: _kept_by_all(compared, word) for key, word in
              (("srs", "spatial reference"), ("geotransform", "geotransform"), ("nodata", "nodata"))}
    record["types"] = {t: _held_type(t, found) for t, found in outcomes.items()}
    record["differences"] = _grouped(outcomes, skip=("data type",))
    record["refused"] = refused
    record["gdal_says"] = said.texts
    return record


def _features(fields, count):
    for i in range(count):
        yield {"geometry": {"type": "Point", "coordinates": POINTS[i % len(POINTS)]},
               "properties": {f: VALUES[f] for f in fields}}


def _write_vector(name, path, layers, names):
    fields = {f: FIELDS[f] for f in names}
    return lambda: vek.write_vector(path, {layer: _features(fields, len(POINTS)) for layer in layers}, name,
                                    srs=SRS, fields=fields, geometry_type="Point", verify="error").close()


def _field_of(what, names) -> str | None:
    return next((f for f in names if f"field {f!r} of layer" in what), None)


def _held_fields(found, names) -> tuple[dict, bool | None]:
    """``(asked type -> the type the file holds, None where the field is
    gone; whether the long name was kept)`` from the differences."""
    held = {FIELDS[f]: FIELDS[f] for f in names if f != LONG_NAME}
    long_kept = True if LONG_NAME in names else None
    for d in found:
        field = _field_of(d.what, names)
        if field == LONG_NAME:
            long_kept = long_kept and not d.what.startswith("field ")
        elif field is not None and d.what.startswith("type of field "):
            held[FIELDS[field]] = str(d.held)
        elif field is not None and d.what.startswith("field "):
            held[FIELDS[field]] = None
    return held, long_kept


def _listed_fields(name) -> list:
    """The fields of :data:`FIELDS` of the types the driver lists (vek
    refuses the others before GDAL sees them); all where it lists none."""
    listed = metadata_list(_gdal.GetDriverByName(name), "DMD_CREATIONFIELDDATATYPES")
    return [f for f, kind in FIELDS.items() if not listed or kind in listed]


def _layers_kept(name, extension, scratch):
    """Whether a dataset of two layers reads back with both: ``(kept, why
    not)``."""
    path = os.path.join(scratch, f"keeps-layers.{extension}")
    found, failed = _attempt(_write_vector(name, path, ("towns", "wells"), []))
    if failed is not None:
        return False, failed
    lost = [str(d) for d in found if d.what.startswith(("layer ", "name of layer"))]
    return not lost, "; ".join(lost) or None


def vector_record(name, extension, scratch) -> dict:
    names = _listed_fields(name)
    with Said() as said:
        found, failed = _attempt(_write_vector(name, os.path.join(scratch, f"keeps.{extension}"), ("towns",),
                                               names))
        layers, why = _layers_kept(name, extension, scratch)
    record: dict = {"layers": layers, "unlisted": sorted({FIELDS[f] for f in FIELDS if f not in names})}
    if why:
        record["layers_differ"] = why
    if failed is not None:
        record["error"] = failed
        if why == failed:
            record["layers"] = None  # one layer failed alike: two tell nothing more
    else:
        fields, long_kept = _held_fields(found, names)
        record.update(srs=_kept_by_all({"towns": found}, "spatial reference"),
                      features=_kept_by_all({"towns": found}, "features"), long_names=long_kept, fields=fields,
                      differences=[str(d) for d in found])
    record["gdal_says"] = said.texts
    return record


PROBES = {"raster": raster_record, "vector": vector_record}


# ---------------------------------------------------------------- every driver, one child each

def _child_env(scratch) -> dict:
    """The environment of a child: no user configuration of vek."""
    env = {k: v for k, v in os.environ.items() if k != "VEK_CONFIG"}
    env["XDG_CONFIG_HOME"] = os.path.join(scratch, "config")
    return env


def run_kind(name, kind, timeout) -> dict:
    """What the driver keeps of one kind, from a child process; a crash or
    the time limit is the record then."""
    with tempfile.TemporaryDirectory(prefix="vek-keeps-") as scratch:
        argv = [sys.executable, os.path.abspath(__file__), "--probe", name, kind, "--scratch", scratch]
        try:
            done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, env=_child_env(scratch))
        except subprocess.TimeoutExpired:
            return {"failed": f"took longer than {timeout:g} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode == 0 and lines:
        return json.loads(lines[-1])
    said = done.stderr.strip().splitlines()
    how = f"signal {-done.returncode}" if done.returncode < 0 else f"exit status {done.returncode}"
    return {"failed": f"the writing process ended with {how}" + (f" ({said[-1][:300]})" if said else "")}


def _platform() -> str:
    try:
        return platform.freedesktop_os_release().get("PRETTY_NAME", platform.platform())
    except OSError:
        return platform.platform()


def run_all(only, timeout, report=None) -> dict:
    release, build = running_gdal()
    found = writers()
    missing = [n for n in only or () if n not in found]
    if missing:
        raise SystemExit(f"format-keeps: this GDAL writes no files with {', '.join(missing)}")
    drivers = {}
    for name in only or found:
        if report:
            report(name)
        drivers[name] = {kind: run_kind(name, kind, timeout) for kind in found[name]}
    return {"gdal": release, "build": build, "platform": _platform(), "python": platform.python_version(),
            "nodata": NODATA, "drivers": drivers}


# ---------------------------------------------------------------- Markdown

def _yes(value) -> str:
    return {True: "yes", False: "**no**", None: "?"}[value]


def _changes(mapping, gone="none") -> str:
    changed = [f"{a} → {gone if h is None else h}" for a, h in mapping.items() if a != h]
    return ", ".join(changed) or "kept"


def _cell(texts) -> str:
    return "; ".join(t.replace("|", "\\|") for t in texts)


def _failed_row(name, record, columns) -> str:
    return f"| {name} |" + " – |" * columns + f" {_cell([record['failed']])} |"


def _raster_row(name, r) -> str:
    if "failed" in r:
        return _failed_row(name, r, 4)
    if not r["types"]:
        return _failed_row(name, {**r, "failed": next(iter(r["refused"].values()))}, 4)
    types = _changes(r["types"], gone="?")
    if r["refused"]:
        types += f"; refused: {', '.join(r['refused'])}"
    notes = r["differences"]
    return (f"| {name} | {_yes(r['srs'])} | {_yes(r['geotransform'])} | {_yes(r['nodata'])} | {types} | "
            f"{_cell(notes)} |")


def _vector_row(name, v) -> str:
    if "failed" in v:
        return _failed_row(name, v, 5)
    layers = _yes(v["layers"])
    unlisted = f"; not listed: {', '.join(v['unlisted'])}" if v["unlisted"] else ""
    if "error" in v:
        return f"| {name} | – | –{unlisted} | – | {layers} | – | {_cell([v['error']])} |"
    notes = [t for t in v["differences"] if not t.startswith("type of field ")]  # the field types say them
    return (f"| {name} | {_yes(v['srs'])} | {_changes(v['fields'])}{unlisted} | {_yes(v['long_names'])} | "
            f"{layers} | {_yes(v['features'])} | {_cell(notes)} |")


def markdown(results) -> str:
    build = "GDAL's binary wheel, gdal-wheel" if results["build"] == "wheel" else "the system's GDAL"
    out = [f"### GDAL {results['gdal']} ({build}; {results['platform']})", ""]
    rasters = [(n, r["raster"]) for n, r in results["drivers"].items() if "raster" in r]
    vectors = [(n, r["vector"]) for n, r in results["drivers"].items() if "vector" in r]
    if rasters:
        out += ["| Raster driver | SRS | geotransform | nodata | data types | what differs |",
                "|---|---|---|---|---|---|", *(_raster_row(n, r) for n, r in rasters), ""]
    if vectors:
        out += ["| Vector driver | SRS | field types | long names | 2 layers | features | what differs |",
                "|---|---|---|---|---|---|---|", *(_vector_row(n, v) for n, v in vectors), ""]
    return "\n".join(out)


# ---------------------------------------------------------------- the command line

def _arguments(argv):
    parser = argparse.ArgumentParser(description="What each writer of the running GDAL keeps of what is "
                                                 "written to it, as vek's reading back finds it.")
    parser.add_argument("--only", nargs="+", metavar="DRIVER", help="these drivers only (not cached)")
    parser.add_argument("--from", dest="source", metavar="JSON", help="render the results of an earlier run")
    parser.add_argument("--markdown", action="store_true", help="Markdown tables instead of JSON")
    parser.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of the standard output")
    parser.add_argument("--timeout", type=float, default=TIMEOUT, help="seconds a driver may take")
    parser.add_argument("--no-cache", action="store_true", help="keep the results out of the user's cache")
    parser.add_argument("--probe", nargs=2, metavar=("DRIVER", "KIND"), help=argparse.SUPPRESS)  # a child's work
    parser.add_argument("--scratch", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def _cache(results) -> Path:
    path = cache_dir() / results_name(results["gdal"], results["build"])
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(results, indent=1) + "\n", encoding="utf-8")
    return path


def main(argv=None) -> int:
    args = _arguments(argv)
    if args.probe:
        name, kind = args.probe
        print(json.dumps(PROBES[kind](name, writers()[name][kind], args.scratch)))
        return 0
    if args.source:
        results = json.loads(Path(args.source).read_text(encoding="utf-8"))
    else:
        results = run_all(args.only, args.timeout, report=lambda n: print(f"format-keeps: {n}", file=sys.stderr))
        if not args.only and not args.no_cache:
            print(f"format-keeps: kept in {_cache(results)}", file=sys.stderr)
    text = markdown(results) if args.markdown else json.dumps(results, indent=1) + "\n"
    if args.output:
        Path(args.output).write_text(text, encoding="utf-8")
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())

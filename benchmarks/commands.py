"""Whole commands against bare scripts: ``vek-drivers list --json``,
``show GTiff --json``, ``detect out.tif --json`` and ``identify FILE... --json``,
each paired with a plain Python script that does the same job straight
through GDAL's low-level binding (``osgeo._gdal``, ElementTree for option
lists, ``json`` for the output) and nothing else: no argument parsing, no
objects of our own.

Each pair runs as fresh processes in turn (A B A B ..., the first of each
round alternating), after one warm-up run of each; a process's figure is
its CPU time (user + system, from ``os.wait4``), and the ratio is the median
of the per-pair ratios, so that drift of the machine's speed hits both.

Run alone (``python benchmarks/commands.py [--runs N]``) or from
``benchmarks/run.py``, which adds these rows to its report.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

TARGET = 1.1

_PRELUDE = '''
import json
from osgeo import _gdal

def md(h, key):
    return _gdal.MajorObject_GetMetadataItem(h, key, "") or ""

def flag(h, key):
    return md(h, key).upper() == "YES"

def category(h):
    r, v = flag(h, "DCAP_RASTER"), flag(h, "DCAP_VECTOR")
    return ("Raster/Vector" if v else "Raster") if r else ("Vector" if v else "")

def handles():
    return [_gdal.GetDriver(i) for i in range(_gdal.GetDriverCount())]
'''

# list --json: the summary of every driver; a capability no driver publishes is null
BARE_LIST = _PRELUDE + '''
hs = handles()
unknown = {k for k in ("DCAP_CREATE", "DCAP_UPDATE", "DCAP_VIRTUALIO") if not any(md(h, k) for h in hs)}
out = []
for i, h in enumerate(hs):
    exts = md(h, "DMD_EXTENSIONS").split()
    out.append({"index": i, "name": _gdal.Driver_ShortName_get(h), "long_name": md(h, "DMD_LONGNAME"),
                "category": category(h), "extension": md(h, "DMD_EXTENSION") or (exts[0] if exts else ""),
                "extensions": exts or md(h, "DMD_EXTENSION").split(),
                **{name: None if key in unknown else flag(h, key) for name, key in
                   (("creatable", "DCAP_CREATE"), ("updatable", "DCAP_UPDATE"), ("virtualio", "DCAP_VIRTUALIO"))}})
print(json.dumps(out, indent=2))
'''

# show GTiff --json: the driver's items, and each option list parsed into records
BARE_SHOW = _PRELUDE + '''
import xml.etree.ElementTree as ET
LISTS = ("DMD_CREATIONOPTIONLIST", "DMD_OPENOPTIONLIST", "DS_LAYER_CREATIONOPTIONLIST",
         "DMD_MULTIDIM_DATASET_CREATIONOPTIONLIST", "DMD_OVERVIEW_CREATIONOPTIONLIST")
CAPS = ("DCAP_CREATE", "DCAP_CREATECOPY", "DCAP_UPDATE", "DCAP_VIRTUALIO", "DCAP_COORDINATE_EPOCH",
        "DMD_SUBDATASETS", "DCAP_MULTIPLE_VECTOR_LAYERS", "DCAP_CREATE_LAYER", "DCAP_DELETE_LAYER",
        "DCAP_CREATE_FIELD", "DCAP_DELETE_FIELD", "DCAP_Z_GEOMETRIES", "DCAP_MEASURED_GEOMETRIES",
        "DCAP_CURVE_GEOMETRIES", "DCAP_FIELD_DOMAINS", "DCAP_UPSERT", "DCAP_CREATE_MULTIDIMENSIONAL")

def records(text):
    out = {}
    for item in ET.fromstring(text) if text else ():
        record = dict(item.attrib)
        values = [child.text for child in item]
        if values:
            record["value"] = values
        out[record.pop("name")] = record
    return out

hs = handles()
unknown = {k for k in CAPS if not any(md(h, k) for h in hs)}
h = _gdal.GetDriverByName("GTiff")
topic = md(h, "DMD_HELPTOPIC")
print(json.dumps({
    "name": _gdal.Driver_ShortName_get(h), "long_name": md(h, "DMD_LONGNAME"), "category": category(h),
    "extensions": md(h, "DMD_EXTENSIONS").split(), "help_url": "https://gdal.org/" + topic if topic else None,
    "capabilities": {k: None if k in unknown else flag(h, k) for k in CAPS},
    "creation_dtypes": md(h, "DMD_CREATIONDATATYPES").split(),
    "options": {k: records(md(h, k)) for k in LISTS},
}, indent=2))
'''

# detect out.tif --json: the drivers that write .tif, GDAL's choice first
BARE_DETECT = _PRELUDE + '''
path = "out.tif"
ext = path.rsplit(".", 1)[-1]
found = []
for h in handles():
    writes = any(_gdal.MajorObject_GetMetadataItem(h, k, "") is not None
                 for k in ("DCAP_CREATE", "DCAP_CREATECOPY", "DCAP_VECTOR_TRANSLATE_FROM"))
    kind = any(_gdal.MajorObject_GetMetadataItem(h, k, "") is not None for k in ("DCAP_RASTER", "DCAP_VECTOR"))
    if writes and kind and ext.lower() in md(h, "DMD_EXTENSIONS").lower().split():
        found.append(h)
print(json.dumps({"path": path, "extension": ext, "likely": _gdal.Driver_ShortName_get(found[0]),
                  "drivers": [{"name": _gdal.Driver_ShortName_get(h), "long_name": md(h, "DMD_LONGNAME"),
                               "category": category(h)} for h in found]}, indent=2))
'''

# identify FILE... --json: IdentifyDriverEx, then one open where the driver reads both kinds
BARE_IDENTIFY = _PRELUDE + '''
import sys
out = []
for path in sys.argv[1:]:
    h = _gdal.IdentifyDriverEx(path, 0, [], [])
    kind = category(h)
    if kind == "Raster/Vector":
        ds = _gdal.OpenEx(path, 6, [_gdal.Driver_ShortName_get(h)], [], [])
        bands, layers = _gdal.Dataset_RasterCount_get(ds) > 0, _gdal.Dataset_GetLayerCount(ds) > 0
        _gdal.delete_Dataset(ds)
        kind = "Raster" if bands and not layers else "Vector" if layers and not bands else kind
    out.append({"path": path, "driver": _gdal.Driver_ShortName_get(h), "long_name": md(h, "DMD_LONGNAME"),
                "kind": kind})
print(json.dumps(out, indent=2))
'''

_SAMPLES = '''
import sys
from osgeo import _gdal
_gdal.delete_Dataset(_gdal.Driver_Create(_gdal.GetDriverByName("GTiff"), sys.argv[1], 8, 8, 1, 1, []))
_gdal.delete_Dataset(_gdal.Driver_Create(_gdal.GetDriverByName("GPKG"), sys.argv[2], 0, 0, 0, 0, []))
'''


def commands(folder):
    """(label, vek argv, bare script, the bare script's arguments) for each row."""
    tif, gpkg = os.path.join(folder, "a.tif"), os.path.join(folder, "b.gpkg")
    subprocess.run([sys.executable, "-c", _SAMPLES, tif, gpkg], check=True)
    return [
        ("vek-drivers list --json", ["list", "--json"], BARE_LIST, []),
        ("vek-drivers show GTiff --json", ["show", "GTiff", "--json"], BARE_SHOW, []),
        ("vek-drivers detect out.tif --json", ["detect", "out.tif", "--json"], BARE_DETECT, []),
        ("vek-drivers identify a.tif b.gpkg --json", ["identify", tif, gpkg, "--json"], BARE_IDENTIFY, [tif, gpkg]),
    ]


def _vek_command():
    """The installed entry point beside this interpreter, else ``python -m vek``."""
    script = os.path.join(os.path.dirname(sys.executable), "vek-drivers")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "vek"]


def cpu_seconds(argv, env):
    """One run's CPU time (user + system) and its output."""
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.DEVNULL, env=env)
        _pid, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            raise RuntimeError(f"{argv[:3]} exited with {proc.returncode}")
        out.seek(0)
        return usage.ru_utime + usage.ru_stime, out.read()


def pair(a, b, runs, env):
    """Paired runs of argv lists a and b; medians and the median ratio a/b."""
    cpu_seconds(a, env)
    cpu_seconds(b, env)
    times = {"a": [], "b": []}
    for i in range(runs):
        order = (("a", a), ("b", b)) if i % 2 == 0 else (("b", b), ("a", a))
        for key, argv in order:
            times[key].append(cpu_seconds(argv, env)[0])
    ratios = [x / y for x, y in zip(times["a"], times["b"]) if y > 0]
    return {"vek": statistics.median(times["a"]), "bare": statistics.median(times["b"]),
            "ratio": statistics.median(ratios), "spread": _spread(ratios)}


def _spread(ratios):
    if len(ratios) < 4:
        return 0.0
    q = statistics.quantiles(ratios, n=4)
    return 100.0 * (q[2] - q[0]) / statistics.median(ratios)


def same_output(vek_out, bare_out):
    """Whether the bare script printed what vek printed (list, detect and
    identify print the same JSON; show's bare script prints its own shape)."""
    try:
        return json.loads(vek_out) == json.loads(bare_out)
    except ValueError:
        return False


def run(runs):
    """Rows of {command, vek, bare, ratio, target, status, spread, same}."""
    rows = []
    with tempfile.TemporaryDirectory(prefix="vek-bench-cmd-") as folder:
        env = {k: v for k, v in os.environ.items() if k != "VEK_CONFIG"}
        env["XDG_CONFIG_HOME"] = folder  # no configuration file, in either
        for label, argv, script, script_args in commands(folder):
            path = os.path.join(folder, "bare.py")
            with open(path, "w") as fh:
                fh.write(script)
            a, b = _vek_command() + argv, [sys.executable, path, *script_args]
            result = pair(a, b, runs, env)
            same = same_output(cpu_seconds(a, env)[1], cpu_seconds(b, env)[1]) if "show" not in argv else None
            rows.append({"command": label, **result, "target": TARGET,
                         "status": "OK" if result["ratio"] <= TARGET else "MISS", "same": same})
    return rows


def print_rows(rows):
    print("Whole commands against bare scripts (CPU time per process, ms; ratio = median of paired runs):")
    width = max(len(r["command"]) for r in rows)
    print(f"  {'command'.ljust(width)}  {'bare ms':>8}  {'vek ms':>8}  {'vek/bare':>8}  {'target':>7}  status  spread")
    for r in rows:
        print(f"  {r['command'].ljust(width)}  {r['bare'] * 1e3:8.1f}  {r['vek'] * 1e3:8.1f}  {r['ratio']:8.2f}"
              f"  {'<= ' + format(r['target'], '.2f'):>7}  {r['status']:>6}  {r['spread']:5.0f}%")
        if r["same"] is False:
            print(f"  WARNING: the bare script's output differs from {r['command']}'s", file=sys.stderr)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=21, help="paired runs per command (default 21)")
    args = parser.parse_args(argv)
    print_rows(run(args.runs))
    return 0


if __name__ == "__main__":
    sys.exit(main())

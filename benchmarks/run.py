"""Side-by-side benchmarks of ``vek._algos.geo.driver``.

Run from the project root::

    make bench                          # make setup, then the line below
    .venv/bin/python benchmarks/run.py  # full suite, about a minute on 2 cores
    .venv/bin/python benchmarks/run.py --quick   # seconds; a smoke run only

Options: ``--python PATH`` (also the bare world, floor, twin and vek, with
another interpreter that has vek installed, e.g. ``.venv-py3.14/bin/python``;
repeatable; without it a ``.venv-py3.13`` or ``.venv-py3.14`` of the other
version is used when there, see ``benchmarks/pythons.py``; the figures of
both come side by side in one table at the end), ``--callgrind`` (also instruction counts per call, floor against
vek, under valgrind: exact and unaffected by the machine's load; about a
minute more), ``--samples N`` (timed samples per way, default 51), ``--sample-ms MS``
(length of one sample, default 2), ``--import-runs N`` (fresh interpreters per
way for the import timing, default 30), ``--json FILE`` (write all results).

Every operation is timed four ways:

floor
    The binding calls the module has to make, written straight in Python
    with the low-level binding: ``_gdal.MajorObject_GetMetadataItem(h, key)``
    (``or ""``, then ``.upper() == "YES"`` for flags, ``.split()`` for
    lists), ``_gdal.Driver_ShortName_get(h)``, ``_gdal.GetDriverByName(n)``
    / ``_gdal.GetDriver(i)`` plus the ``"GDALDriverShadow *" in repr(h)``
    check, and for the option catalogue the package's own XML parser
    ``base.xet.fromstring`` (the one the module uses) plus the dictionary
    building.  Nothing else: no objects of our own, no caching, and module
    globals looked up at each use as the module must.  Operations that need
    the package's helpers (HTML builders, ``call_gdal_fun``, ``GeoDatabase``)
    make the same helper calls in the floor.
proxy
    What a user writes with ``osgeo.gdal`` instead:
    ``gdal.GetDriverByName("GTiff").GetMetadataItem("DCAP_RASTER")`` and the
    like, doing the same normalisation (``or ""``, ``upper()``) so that the
    work is the same.  "-" where ``osgeo.gdal`` has no counterpart; "info"
    in the "<=proxy" column where the idiom does less than vek must (see
    ``PROXY_DOES_LESS``).
twin
    The same classes written in pure Python (``benchmarks/twin.py``), under
    the same lookup rules and with the same sibling imports, running vek's
    statement on its own objects (bare world only).  What a compiled module
    has to beat to have a speed reason to exist.
vek
    This module.

Importing ``osgeo.gdal`` makes the low-level binding hand out proxy objects
instead of bare handles for the whole process, and that changes the cost of
every binding call.  The package itself never imports ``osgeo.gdal``, so the
suite runs in two child processes ("worlds"):

* bare: ``osgeo.gdal`` is never imported; floor, twin and vek, interleaved.
  The columns "floor ns", "vek ns", "vek/floor", "twin ns", "vek/twin", and
  the targets, come from here.
* proxy: ``osgeo.gdal`` is imported first, so the floor, the proxy idiom and
  vek all hold proxy objects; the three are interleaved.  The columns
  "proxy ns", "vek(px) ns" and "vek/proxy" come from here.

Timing: each way of an operation is compiled into a timeit-style loop,
auto-ranged so that one sample lasts about ``--sample-ms``; the ways are run
round-robin, one sample each per round (the starting way rotates), so drift
hits them alike.  Garbage collection is off while a sample runs (as in
timeit).  The clock is the thread's CPU time (``--clock cpu``, the default),
so that time the process spends waiting for a core on a busy machine does not
count; ``--clock wall`` uses ``perf_counter``.  A figure is the median of the samples, in ns per call, less the
loop's own cost per iteration (shown in the header).  A ratio is the median
of the per-round ratios of the paired samples.  "spread" is the largest
interquartile range of the ways, in percent of their medians.

Imports are timed in fresh interpreters (``python -c``): the time spent in
the import statement alone (``time.process_time_ns``, or ``perf_counter_ns``
with ``--clock wall``, around it), for
``from osgeo import _gdal`` (floor), ``from osgeo import gdal`` (proxy) and
``import vek._algos.geo.driver`` (vek), round-robin, median.

Scaling: a fake registry of 10, 100, 1,000 and 10,000 drivers
(``fake_registry`` of ``tests/fakes.py``) is bound as the module's ``_gdal``;
construction, the filtered lists and the name lookup should cost the same
per driver at every size, and the statistics HTML should read a bounded
number of rows (the display limit) whatever the size.
"""

import argparse
import datetime
import gc
import itertools
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# ---------------------------------------------------------------------------
# operations

# Statement and helper texts use two tokens for the binding's reads, so that
# one text serves both the floor (low-level binding) and the proxy idiom:
#   MD(h, key)  ->  _gdal.MajorObject_GetMetadataItem(h, key) | h.GetMetadataItem(key)
#   SN(h)       ->  _gdal.Driver_ShortName_get(h)              | h.ShortName
_MD = re.compile(r"\bMD\((\w+), ")
_SN = re.compile(r"\bSN\((\w+)\)")


def as_floor(text):
    text = _MD.sub(r"_gdal.MajorObject_GetMetadataItem(\1, ", text)
    return _SN.sub(r"_gdal.Driver_ShortName_get(\1)", text)


def as_proxy(text):
    text = _MD.sub(r"\1.GetMetadataItem(", text)
    return _SN.sub(r"\1.ShortName", text)


# Helpers for the larger operations (milliseconds; a Python call is noise
# there).  Per-driver work inside loops is written inline, never as calls.
HELPERS = '''
def catalogue_from_xml(text, fromstring):
    cat = {}
    if not text:
        return cat
    for item in fromstring(text):
        attrib = item.attrib
        key = attrib.pop("name")
        values = [child.text for child in item]
        if values:
            attrib["value"] = values
        cat[key] = attrib
    return cat


def catalogue_build_XX(h):
    # what RasterDriver(...).creation_options_info does on first use
    raster = (MD(h, "DCAP_RASTER") or "").upper() == "YES"
    table = env.RasterConfig.get("creation.options", {}) if raster else {}
    cat = catalogue_from_xml(MD(h, "DMD_CREATIONOPTIONLIST") or "", xet.fromstring)
    if table:
        for key, value in table.get(SN(h), {}).items():
            if key in cat:
                cat[key]["current"] = value
    return cat


def filtered_XX(hs, word):
    out = []
    for h in hs:
        r = (MD(h, "DCAP_RASTER") or "").upper() == "YES"
        v = (MD(h, "DCAP_VECTOR") or "").upper() == "YES"
        if word in (("Raster/Vector" if v else "Raster") if r else ("Vector" if v else "")):
            out.append(h)
    return out


def driver_html_XX(h, creation_opts, open_opts):
    dl = gdata.VEKHTMLDetails()
    r = (MD(h, "DCAP_RASTER") or "").upper() == "YES"
    v = (MD(h, "DCAP_VECTOR") or "").upper() == "YES"
    ext = MD(h, "DMD_EXTENSION") or ""
    if not ext:
        exts = (MD(h, "DMD_EXTENSIONS") or "").split()
        ext = exts[0] if exts else ""
    dl.set_base_info({
        "Name": SN(h),
        "Category": ("Raster/Vector" if v else "Raster") if r else ("Vector" if v else ""),
        "Creatable": (MD(h, "DCAP_CREATE") or "").upper() == "YES",
        "Extension": ext,
    })
    dl.add_details({"Creation Options": creation_opts, "Open Options": open_opts})
    return dl.to_html()


def stats_html_XX(hs):
    from vek._algos.geo.base import get_sel
    fields = ["name", "category", "extension", "creatable", "updatable", "virtualio"]
    max_rows, max_cols = env.JupyterShowMaxShape
    sel_rows, _shown = get_sel(len(hs), max_rows)
    _sel_cols, l_fields = get_sel(len(fields), max_cols)
    table = gdata.VEKHTMLTable(l_fields, 1, 0, False)
    table.set_base_info({
        "Rasters": len(filtered_XX(hs, "Raster")),
        "Vectors": len(filtered_XX(hs, "Vector")),
        "Total": len(hs),
    })
    runs = [sel_rows[0]]
    if sel_rows[1] != (0, 0):
        runs.append(sel_rows[1])
    for n, run in enumerate(runs):
        if n:
            table.add_row(["..."] * (1 + l_fields))
        for i in range(*run):
            h = hs[i]
            r = (MD(h, "DCAP_RASTER") or "").upper() == "YES"
            v = (MD(h, "DCAP_VECTOR") or "").upper() == "YES"
            ext = MD(h, "DMD_EXTENSION") or ""
            if not ext:
                exts = (MD(h, "DMD_EXTENSIONS") or "").split()
                ext = exts[0] if exts else ""
            table.add_row([
                i,
                SN(h),
                ("Raster/Vector" if v else "Raster") if r else ("Vector" if v else ""),
                ext,
                (MD(h, "DCAP_CREATE") or "").upper() == "YES",
                (MD(h, "DCAP_UPDATE") or "").upper() == "YES",
                (MD(h, "DCAP_VIRTUALIO") or "").upper() == "YES",
            ])
    table.add_head([""] + fields)
    return table.to_html()
'''

# The pure-Python twin (benchmarks/twin.py) runs vek's statement on its own
# objects: the same text with the names bound to the twin's.
_TWIN_NAMES = re.compile(r"\b(Driver|RasterDriver|DriveStatistics|d|d_opts|d_create|ds)\b")


def as_twin(way):
    if isinstance(way, tuple):
        return tuple(as_twin(part) for part in way)
    return _TWIN_NAMES.sub(r"twin_\1", way)


FLOOR_HELPERS = as_floor(HELPERS.replace("_XX", "_floor"))
PROXY_HELPERS = as_proxy(HELPERS.replace("_XX", "_proxy"))

CROWD_ROW = "copy_to a folder of 200,000 files"
CROWD_FILES = int(os.environ.get("VEK_BENCH_CROWD_FILES", "200000"))

# name, target (max vek/floor or None), floor, proxy, vek; each way is a
# statement, or (setup, statement) when a sample needs fresh objects made
# before the clock starts (the setup may use _n, the sample's call count).
OPS = [
    (
        'Driver("GTiff")',
        1.3,
        '_h = _gdal.GetDriverByName("GTiff")\n"GDALDriverShadow *" in repr(_h)',
        'gdal.GetDriverByName("GTiff")',
        'Driver("GTiff")',
    ),
    (
        'RasterDriver("GTiff")',
        1.3,
        as_floor(
            '_h = _gdal.GetDriverByName("GTiff")\n"GDALDriverShadow *" in repr(_h)\n'
            '(MD(_h, "DCAP_RASTER") or "").upper() == "YES"'
        ),
        as_proxy('_p = gdal.GetDriverByName("GTiff")\n(MD(_p, "DCAP_RASTER") or "").upper() == "YES"'),
        'RasterDriver("GTiff")',
    ),
    (
        "Driver(index)",
        None,
        '_h = _gdal.GetDriver(gtiff_index)\n"GDALDriverShadow *" in repr(_h)',
        "gdal.GetDriver(gtiff_index)",
        "Driver(gtiff_index)",
    ),
    ("name", 1.25, as_floor("SN(h)"), as_proxy("SN(pd)"), "d.name"),
    (
        "is_raster",
        1.0,
        as_floor('(MD(h, "DCAP_RASTER") or "").upper() == "YES"'),
        as_proxy('(MD(pd, "DCAP_RASTER") or "").upper() == "YES"'),
        "d.is_raster",
    ),
    (
        "category",
        1.0,
        as_floor(
            '_r = (MD(h, "DCAP_RASTER") or "").upper() == "YES"\n'
            '_v = (MD(h, "DCAP_VECTOR") or "").upper() == "YES"\n'
            '("Raster/Vector" if _v else "Raster") if _r else ("Vector" if _v else "")'
        ),
        as_proxy(
            '_r = (MD(pd, "DCAP_RASTER") or "").upper() == "YES"\n'
            '_v = (MD(pd, "DCAP_VECTOR") or "").upper() == "YES"\n'
            '("Raster/Vector" if _v else "Raster") if _r else ("Vector" if _v else "")'
        ),
        "d.category",
    ),
    (
        "extension",
        1.25,
        as_floor(
            '_e = MD(h, "DMD_EXTENSION") or ""\n'
            'if not _e:\n    _x = (MD(h, "DMD_EXTENSIONS") or "").split()\n    _e = _x[0] if _x else ""'
        ),
        as_proxy(
            '_e = MD(pd, "DMD_EXTENSION") or ""\n'
            'if not _e:\n    _x = (MD(pd, "DMD_EXTENSIONS") or "").split()\n    _e = _x[0] if _x else ""'
        ),
        "d.extension",
    ),
    (
        "creatable",
        1.0,
        as_floor('(MD(h, "DCAP_CREATE") or "").upper() == "YES"'),
        as_proxy('(MD(pd, "DCAP_CREATE") or "").upper() == "YES"'),
        "d.creatable",
    ),
    (
        "GTiff creation catalogue, first build",
        1.15,
        "catalogue_build_floor(h)",
        "catalogue_build_proxy(pd)",
        ("_pool = iter([RasterDriver(h) for _ in range(_n)])", "next(_pool).creation_options_info"),
    ),
    (
        "set_creation_options + creation_options",
        None,
        (
            "_cat = catalogue_build_floor(h)",
            '_kw = dict(COMPRESS="LZW", TILED="YES")\n'
            "_bad = [_k for _k in _kw if _k not in _cat]\n"
            "if _bad:\n    raise KeyError(_bad)\n"
            "for _k, _v in _kw.items():\n    _cat[_k][\"current\"] = _v\n"
            "_vals = {}\n"
            "for _k, _r in _cat.items():\n"
            '    if "current" in _r:\n        _vals[_k] = _r["current"]',
        ),
        None,
        'd_opts.set_creation_options(COMPRESS="LZW", TILED="YES")\nd_opts.creation_options',
    ),
    (
        "DriveStatistics()",
        1.35,
        "_hs = []\n"
        "for _i in range(_gdal.GetDriverCount()):\n"
        "    _h = _gdal.GetDriver(_i)\n"
        '    if "GDALDriverShadow *" in repr(_h):\n'
        "        _hs.append(_h)",
        "[gdal.GetDriver(_i) for _i in range(gdal.GetDriverCount())]",
        "DriveStatistics()",
    ),
    ("DriveStatistics.rasters", 1.0, 'filtered_floor(handles, "Raster")', 'filtered_proxy(pds, "Raster")', "ds.rasters"),
    ("DriveStatistics.vectors", 1.0, 'filtered_floor(handles, "Vector")', 'filtered_proxy(pds, "Vector")', "ds.vectors"),
    (
        "Driver._repr_html_()",
        None,
        "driver_html_floor(h, d._creation_opts, d._open_opts)",
        "driver_html_proxy(pd, d._creation_opts, d._open_opts)",
        "d._repr_html_()",
    ),
    (
        "DriveStatistics._repr_html_()",
        None,
        "stats_html_floor(handles)",
        "stats_html_proxy(pds)",
        "ds._repr_html_()",
    ),
    (
        "create 256x256x1 in memory + close",
        None,
        as_floor(
            "_e = MD(h, \"DMD_EXTENSION\") or \"\"\n"
            "_vals = {_k: _r[\"current\"] for _k, _r in d_create._creation_opts.items() if \"current\" in _r}\n"
            "_path = mem_temp_path(_e)\n"
            "_code = dtypes.get_raster_dtype_code(\"Float32\")\n"
            "_ds = call_gdal_fun(_gdal.Driver_Create, h, _path, 256, 256, 1, _code, _vals)\n"
            "from vek._algos.geo.geodatabase import GeoDatabase\n"
            "GeoDatabase(_ds).close()"
        ),
        '_ds = pd.Create("/vsimem/bench_proxy.tif", 256, 256, 1, gdal.GDT_Float32)\n'
        "_ds = None\n"
        'gdal.Unlink("/vsimem/bench_proxy.tif")',
        "d_create.create(None, 256, 256, 1).close()",
    ),
    (
        "create 256x256x1, floor = raw binding",
        None,
        '_ds = _gdal.Driver_Create(h, "/vsimem/bench_raw.tif", 256, 256, 1, 6, [])\n'
        "_gdal.delete_Dataset(_ds)\n"
        '_gdal.Unlink("/vsimem/bench_raw.tif")',
        '_ds = pd.Create("/vsimem/bench_proxy.tif", 256, 256, 1, gdal.GDT_Float32)\n'
        "_ds = None\n"
        'gdal.Unlink("/vsimem/bench_proxy.tif")',
        "d_create.create(None, 256, 256, 1).close()",
    ),
    # a copy written aside and published beside 200,000 other files: what
    # the write costs must not grow with what else the folder holds
    (
        CROWD_ROW,
        1.2,
        "_gdal.delete_Dataset(_gdal.Driver_CreateCopy(h, crowd_path, crowd_src, 0, [], None))\n"
        "os.unlink(crowd_path)",
        "pd.CreateCopy(crowd_path, gdal.Open(crowd_source))\n"
        "os.unlink(crowd_path)",
        'crowd_db.copy_to(crowd_path, "GTiff").close()\n'
        "os.unlink(crowd_path)",
    ),
    # identify of a file of a driver of both kinds: IdentifyDriverEx, and
    # one open to see whether the file holds bands, layers or both
    (
        "identify(GeoPackage)",
        1.25,
        as_floor(
            "_h = _gdal.IdentifyDriverEx(gpkg_path, 0, [], [])\n"
            "_ds = _gdal.OpenEx(gpkg_path, 6, [SN(_h)], [], [])\n"
            "_gdal.Dataset_RasterCount_get(_ds) > 0, _gdal.Dataset_GetLayerCount(_ds) > 0\n"
            "_gdal.delete_Dataset(_ds)"
        ),
        None,
        "identify(gpkg_path)",
    ),
    (
        "identify(GeoPackage), floor = raw IdentifyDriverEx",
        None,
        "_gdal.IdentifyDriverEx(gpkg_path, 0, [], [])",
        "gdal.IdentifyDriverEx(gpkg_path)",
        "identify(gpkg_path)",
    ),
    (
        'identify(GeoPackage, kind="vector")',
        1.5,
        "_gdal.IdentifyDriverEx(gpkg_path, 4, [], [])",
        "gdal.IdentifyDriverEx(gpkg_path, 4)",
        'identify(gpkg_path, kind="vector")',
    ),
]

WAYS = ("floor", "twin", "proxy", "vek")

# Most vek/twin allowed, where vek's own work is a fair share of the cost;
# rows that GDAL or ElementTree dominate may only tie.  Rows not listed are
# shown for information.
TWIN_TARGETS = {
    'Driver("GTiff")': 0.8,
    'RasterDriver("GTiff")': 0.8,
    "Driver(index)": 0.8,
    "name": 0.97,
    "is_raster": 0.8,
    "category": 0.8,
    "extension": 0.8,
    "creatable": 0.8,
    "GTiff creation catalogue, first build": 1.0,
    "set_creation_options + creation_options": 0.8,
    "DriveStatistics()": 0.8,
    "DriveStatistics.rasters": 0.8,
    "DriveStatistics.vectors": 0.8,
    "Driver._repr_html_()": 1.0,
    # The table of every driver: the metadata reads and the markup are the
    # same work in all three ways, and vek does it in fewer instructions
    # than the floor, so its own share is nil.
    "DriveStatistics._repr_html_()": 1.0,
    "create 256x256x1 in memory + close": 1.0,
    "create 256x256x1, floor = raw binding": 1.0,
}

# Operations where the osgeo.gdal idiom does less than vek must: no
# "GDALDriverShadow *" check and no driver object (construction, the
# registry snapshot), or no error handling and no dataset object (create).
# Their vek/proxy ratio is shown for information, not held to "vek <= proxy".
PROXY_DOES_LESS = {
    'Driver("GTiff")',
    'RasterDriver("GTiff")',
    "Driver(index)",
    "DriveStatistics()",
    "create 256x256x1 in memory + close",
    "create 256x256x1, floor = raw binding",
    "identify(GeoPackage), floor = raw IdentifyDriverEx",
    'identify(GeoPackage, kind="vector")',
}

# ---------------------------------------------------------------------------
# timing machinery

_TEMPLATE = """
def _bench(_n, _clock, _repeat):
{setup}
    _it = _repeat(None, _n)
    _t0 = _clock()
    for _ in _it:
{stmt}
    _t1 = _clock()
    return _t1 - _t0
"""


CLOCKS = {"cpu": time.thread_time_ns, "wall": time.perf_counter_ns}
CLOCK = CLOCKS["cpu"]


def compile_way(way, ns):
    """A function (n) -> ns for n runs of the statement, in namespace ns."""
    setup, stmt = way if isinstance(way, tuple) else ("pass", way)
    src = _TEMPLATE.format(setup=textwrap.indent(setup, " " * 4), stmt=textwrap.indent(stmt, " " * 8))
    exec(compile(src, "<bench>", "exec"), ns)
    fn = ns.pop("_bench")
    clock = CLOCK
    repeat = itertools.repeat

    def run(n):
        was_enabled = gc.isenabled()
        gc.disable()
        try:
            return fn(n, clock, repeat)
        finally:
            if was_enabled:
                gc.enable()

    return run


def calibrate(run, sample_ns):
    """Calls per sample so that one sample lasts about sample_ns."""
    n = 1
    while True:
        t = max(run(n), 1)
        if t >= sample_ns * 0.5 or n >= 10_000_000:
            break
        n = min(n * 10, max(n * 2, int(n * sample_ns / t)))
    return max(1, round(n * sample_ns / t))


def iqr_percent(values):
    if len(values) < 4:
        return 0.0
    q = statistics.quantiles(values, n=4)
    med = statistics.median(values)
    return 100.0 * (q[2] - q[0]) / med if med else 0.0


def measure(ways, samples, sample_ns, overhead):
    """Round-robin samples of each way; {way: [ns per call, ...]}."""
    names = list(ways)
    counts = {w: calibrate(ways[w], sample_ns) for w in names}
    out = {w: [] for w in names}
    for r in range(samples):
        k = r % len(names)
        for w in names[k:] + names[:k]:
            n = counts[w]
            out[w].append(ways[w](n) / n - overhead)
    return out


def summarise(samples):
    result = {}
    for way, values in samples.items():
        result[way] = {"median": statistics.median(values), "iqr_pct": iqr_percent(values), "samples": values}
    ways = list(samples)
    for a, b in (("vek", "floor"), ("vek", "proxy"), ("vek", "twin")):
        if a in samples and b in samples:
            ratios = [x / y for x, y in zip(samples[a], samples[b]) if y > 0]
            result[f"{a}/{b}"] = statistics.median(ratios) if ratios else float("nan")
    result["spread"] = max(result[w]["iqr_pct"] for w in ways)
    return result


def loop_overhead(samples):
    run = compile_way("pass", {})
    n = 200_000
    return statistics.median(run(n) / n for _ in range(max(samples, 15)))


# ---------------------------------------------------------------------------
# worlds (child processes)


_GEOPACKAGE = """
import sys
from vek import create_vector
with create_vector("GPKG", sys.argv[1]) as ds:
    ds.create_layer("points", "Point")
"""


def sample_geopackage():
    """A GeoPackage holding one layer, written by a fresh interpreter (the
    world's binding mode stays as it is); removed when the world ends."""
    import atexit
    import shutil

    folder = tempfile.mkdtemp(prefix="vek-bench-")
    atexit.register(shutil.rmtree, folder, True)
    path = os.path.join(folder, "points.gpkg")
    subprocess.run([sys.executable, "-c", _GEOPACKAGE, path], check=True, cwd=ROOT)
    return path


def crowded_folder():
    """A folder of ``CROWD_FILES`` empty files and a small GeoTIFF beside
    it, the source of the crowded copy; removed when the world ends."""
    import atexit
    import shutil

    folder = tempfile.mkdtemp(prefix="vek-bench-crowd-")
    atexit.register(shutil.rmtree, folder, True)
    crowd = os.path.join(folder, "crowd")
    os.mkdir(crowd)
    for i in range(CROWD_FILES):
        os.close(os.open(os.path.join(crowd, f"tile_{i}.tif"), os.O_CREAT | os.O_WRONLY, 0o644))
    source = os.path.join(folder, "source.tif")
    from osgeo import _gdal

    _gdal.delete_Dataset(_gdal.Driver_Create(_gdal.GetDriverByName("GTiff"), source, 64, 64, 1, 1, []))
    return source, os.path.join(crowd, "tile_1.tif.new.tif")


def prepare_world(kind, crowd=True):
    """The namespace the statements run in."""
    ns = {"__name__": "bench_world", "__builtins__": __builtins__}
    if kind == "proxy":
        from osgeo import gdal  # first: from now on the binding hands out proxies

        ns["gdal"] = gdal
    from osgeo import _gdal

    import vek._algos.geo.driver as vd
    from vek._algos.geo import base
    from vek._algos.geo.registry import identify as _identify

    sys.path.insert(0, HERE)
    import twin

    ns.update(
        twin_Driver=twin.Driver,
        twin_RasterDriver=twin.RasterDriver,
        twin_DriveStatistics=twin.DriveStatistics,
    )
    ns.update(
        _gdal=_gdal,
        Driver=vd.Driver,
        RasterDriver=vd.RasterDriver,
        DriveStatistics=vd.DriveStatistics,
        xet=base.xet,
        env=base.env,
        gdata=base.gdata,
        dtypes=base.dtypes,
        call_gdal_fun=base.call_gdal_fun,
        mem_temp_path=base.mem_temp_path,
        identify=_identify.identify,
        gpkg_path=sample_geopackage(),
        os=os,
    )
    if crowd:
        from vek._algos.geo.geodatabase import open_file

        source, ns["crowd_path"] = crowded_folder()
        ns.update(crowd_source=source, crowd_src=_gdal.OpenEx(source, 0, [], [], []), crowd_db=open_file(source))
    exec(FLOOR_HELPERS, ns)
    if kind == "proxy":
        exec(PROXY_HELPERS, ns)
    h = _gdal.GetDriverByName("GTiff")
    count = _gdal.GetDriverCount()
    handles = [_gdal.GetDriver(i) for i in range(count)]
    gtiff_index = next(i for i in range(count) if _gdal.Driver_ShortName_get(handles[i]) == "GTiff")
    d = vd.Driver("GTiff")
    d.creation_options_info, d.open_options_info  # kept from now on
    d_opts = vd.RasterDriver("GTiff")
    d_opts.creation_options_info
    d_create = vd.RasterDriver("GTiff")
    d_create.creation_options_info
    ds = vd.DriveStatistics()
    twin_d = twin.Driver("GTiff")
    twin_d.creation_options_info, twin_d.open_options_info
    ns.update(twin_d=twin_d, twin_d_opts=twin.RasterDriver("GTiff"), twin_d_create=twin.RasterDriver("GTiff"),
              twin_ds=twin.DriveStatistics())
    ns["twin_d_opts"].creation_options_info
    ns["twin_d_create"].creation_options_info
    ns.update(h=h, handles=handles, gtiff_index=gtiff_index, d=d, d_opts=d_opts, d_create=d_create, ds=ds)
    if kind == "proxy":
        gdal = ns["gdal"]
        ns["pd"] = gdal.GetDriverByName("GTiff")
        ns["pds"] = [gdal.GetDriver(i) for i in range(gdal.GetDriverCount())]
    return ns


def sanity(ns, kind):
    """The floor must compute what vek computes; warnings go to stderr."""
    d, h = ns["d"], ns["h"]
    td = ns["twin_d"]
    checks = [
        ("twin name", td.name, d.name),
        ("twin str", str(td), str(d)),
        ("twin driver html", td._repr_html_(), d._repr_html_()),
        ("twin statistics html", ns["twin_ds"]._repr_html_(), ns["ds"]._repr_html_()),
        ("twin catalogue", ns["twin_RasterDriver"](h).creation_options_info, ns["RasterDriver"](h).creation_options_info),
        ("name", ns["_gdal"].Driver_ShortName_get(h), d.name),
        ("category", ns["filtered_floor"]([h], "Raster") != [], "Raster" in d.category),
        ("catalogue", ns["catalogue_build_floor"](h), ns["RasterDriver"](h).creation_options_info),
        ("rasters", len(ns["filtered_floor"](ns["handles"], "Raster")), len(ns["ds"].rasters)),
        ("vectors", len(ns["filtered_floor"](ns["handles"], "Vector")), len(ns["ds"].vectors)),
        ("driver html", ns["driver_html_floor"](h, d._creation_opts, d._open_opts), d._repr_html_()),
        ("statistics html", ns["stats_html_floor"](ns["handles"]), ns["ds"]._repr_html_()),
    ]
    if kind == "proxy":
        pd = ns["pd"]
        checks += [
            ("proxy catalogue", ns["catalogue_build_proxy"](pd), ns["catalogue_build_floor"](h)),
            ("proxy statistics html", ns["stats_html_proxy"](ns["pds"]), ns["ds"]._repr_html_()),
        ]
    for what, floor, vek in checks:
        if floor != vek:
            print(f"WARNING ({kind}): floor and vek differ on {what}", file=sys.stderr)


def parse_compare(ns, samples, sample_ns, overhead):
    """The option-list parse alone: the package's xet against the stdlib."""
    import xml.etree.ElementTree as ET

    ns["ET"] = ET
    ns["gtiff_xml"] = ns["_gdal"].MajorObject_GetMetadataItem(ns["h"], "DMD_CREATIONOPTIONLIST")
    ways = {
        "base.xet": compile_way("xet.fromstring(gtiff_xml)", ns),
        "xml.etree": compile_way("ET.fromstring(gtiff_xml)", ns),
    }
    res = measure(ways, samples, sample_ns, overhead)
    return {w: statistics.median(v) for w, v in res.items()}


def run_world(kind, args):
    ns = prepare_world(kind)
    sanity(ns, kind)
    overhead = loop_overhead(args.samples)
    sample_ns = args.sample_ms * 1e6
    results = {}
    for name, _target, floor, proxy, vek in OPS:
        ways = {"floor": floor, "twin": as_twin(vek), "vek": vek} if kind == "bare" else {"floor": floor, "vek": vek}
        if kind == "proxy" and proxy is not None:
            ways = {"floor": floor, "proxy": proxy, "vek": vek}
        compiled = {w: compile_way(stmt, ns) for w, stmt in ways.items()}
        results[name] = summarise(measure(compiled, args.samples, sample_ns, overhead))
    extra = {"loop_overhead_ns": overhead}
    if kind == "bare":
        extra["parse"] = parse_compare(ns, args.samples, sample_ns, overhead)
    return {"ops": results, "extra": extra}


# ---------------------------------------------------------------------------
# scaling (child process, bare world)

SCALING_OPS = [
    ("DriveStatistics()", "DriveStatistics()"),
    ("rasters", "ds.rasters"),
    ("vectors", "ds.vectors"),
    ("ds[name] (last)", "ds[last_name]"),
    ("_repr_html_()", "ds._repr_html_()"),
]


def run_scaling(args):
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    import fakes  # the fake bindings the tests use too

    import vek._algos.geo.driver as vd

    sizes = (10, 100) if args.quick else (10, 100, 1_000, 10_000)
    samples = max(3, args.samples // 3)
    sample_ns = args.sample_ms * 1e6
    overhead = loop_overhead(3)
    out = {}
    for size in sizes:
        reg = fakes.fake_registry(size)
        with fakes.installed(vd, reg):
            ds = vd.DriveStatistics()
            ns = {"DriveStatistics": vd.DriveStatistics, "ds": ds, "last_name": fakes.registry_name(size - 1)}
            ways = {label: compile_way(stmt, ns) for label, stmt in SCALING_OPS}
            timed = measure(ways, samples, sample_ns, overhead)
            row = {label: statistics.median(v) for label, v in timed.items()}
            # reads made by one HTML rendering: the summary (rasters and
            # vectors) reads two flags per driver each; the rest is the rows
            reg.reset_counts()
            html = ds._repr_html_()
            row["html_rows"] = reg.name_calls
            row["html_row_reads"] = reg.metadata_calls - 4 * size + reg.name_calls
            row["html_len"] = len(html)
        out[size] = row
    return out


# ---------------------------------------------------------------------------
# imports (fresh interpreters)

IMPORTS = {
    "floor": "from osgeo import _gdal",
    "proxy": "from osgeo import gdal",
    "vek": "import vek._algos.geo.driver",
}
_IMPORT_SNIPPET = "import time\nt0 = time.{clock}()\n{code}\nt1 = time.{clock}()\nprint(t1 - t0)"
_HEAVY = ("numpy", "osgeo.gdal", "vek._algos.geo.display.html", "xml.etree.ElementTree", "tomllib", "difflib")


def run_imports(runs, clock):
    import_clock = "process_time_ns" if clock == "cpu" else "perf_counter_ns"
    names = list(IMPORTS)
    out = {w: [] for w in names}
    for r in range(runs):
        k = r % len(names)
        for w in names[k:] + names[:k]:
            res = subprocess.run(
                [sys.executable, "-c", _IMPORT_SNIPPET.format(code=IMPORTS[w], clock=import_clock)],
                capture_output=True, text=True, cwd=ROOT, check=True,
            )
            out[w].append(int(res.stdout.split()[-1]))
    result = summarise(out)
    probe = (
        "import sys\nimport vek._algos.geo.driver\n"
        f"print(' '.join(m for m in {_HEAVY!r} if m in sys.modules))"
    )
    res = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, cwd=ROOT, check=True)
    result["heavy_loaded"] = res.stdout.split()
    result["importtime_top"] = importtime_top()
    return result


def importtime_top(count=6):
    """The largest self times of `python -X importtime -c 'import vek...'`
    beyond what `from osgeo import _gdal` imports anyway."""
    def self_times(code):
        res = subprocess.run(
            [sys.executable, "-X", "importtime", "-c", code], capture_output=True, text=True, cwd=ROOT, check=True
        )
        times = {}
        for line in res.stderr.splitlines():
            m = re.match(r"import time:\s+(\d+) \|\s+(\d+) \|\s*(.*)$", line)
            if m:
                times[m.group(3).strip()] = int(m.group(1))
        return times

    vek = self_times(IMPORTS["vek"])
    gdal_only = self_times(IMPORTS["floor"])
    extra = sorted(((us, mod) for mod, us in vek.items() if mod not in gdal_only), reverse=True)
    return [(mod, us) for us, mod in extra[:count]]


# ---------------------------------------------------------------------------
# report


def machine_info():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    from osgeo import _gdal

    try:
        commit = subprocess.run(
            ["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True, cwd=ROOT
        ).stdout.strip()
    except OSError:
        commit = ""
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "platform": platform.platform(),
        "python": platform.python_version(),
        "gdal": _gdal.VersionInfo("RELEASE_NAME"),
        "commit": commit or "unknown",
    }


def fmt_ns(value):
    if value is None:
        return "-"
    return f"{value:,.0f}"


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}"


def status(ratio, target):
    if target is None or ratio is None:
        return "info"
    return "OK" if ratio <= target else "MISS"


def build_rows(bare, proxy, imports):
    rows = []
    for name, target, *_ in OPS:
        b = bare["ops"][name]
        p = proxy["ops"][name]
        has_proxy = "proxy" in p
        ratio = b["vek/floor"]
        vp = p.get("vek/proxy")
        rows.append({
            "operation": name,
            "floor": b["floor"]["median"],
            "vek": b["vek"]["median"],
            "vek/floor": ratio,
            "target": target,
            "status": status(ratio, target),
            "proxy": p["proxy"]["median"] if has_proxy else None,
            "vek_px": p["vek"]["median"],
            "vek/proxy": vp,
            "vs_proxy": "-" if not has_proxy else "info" if name in PROXY_DOES_LESS else "OK" if vp <= 1.0 else "MISS",
            "twin": b["twin"]["median"],
            "vek/twin": b["vek/twin"],
            "twin_target": TWIN_TARGETS.get(name),
            "twin_status": status(b["vek/twin"], TWIN_TARGETS.get(name)),
            "spread": max(b["spread"], p["spread"]),
        })
    ratio = imports["vek/floor"]
    rows.append({
        "operation": "import (fresh interpreter)",
        "floor": imports["floor"]["median"],
        "vek": imports["vek"]["median"],
        "vek/floor": ratio,
        "target": 1.2,
        "status": status(ratio, 1.2),
        "proxy": imports["proxy"]["median"],
        "vek_px": None,
        "vek/proxy": imports["vek/proxy"],
        "vs_proxy": "OK" if imports["vek/proxy"] <= 1.0 else "MISS",
        "twin": None,
        "vek/twin": None,
        "twin_target": None,
        "twin_status": "-",
        "spread": imports["spread"],
    })
    return rows


def print_table(rows):
    head = ["operation", "floor ns", "vek ns", "vek/floor", "target", "status",
            "twin ns", "vek/twin", "twin target", "vs twin", "proxy ns", "vek(px) ns", "vek/proxy", "<=proxy", "spread"]
    cells = [
        [
            r["operation"], fmt_ns(r["floor"]), fmt_ns(r["vek"]), fmt_ratio(r["vek/floor"]),
            "-" if r["target"] is None else f"<= {r['target']:.2f}", r["status"],
            fmt_ns(r["twin"]), fmt_ratio(r["vek/twin"]),
            "-" if r["twin_target"] is None else f"<= {r['twin_target']:.2f}", r["twin_status"],
            fmt_ns(r["proxy"]), fmt_ns(r["vek_px"]), fmt_ratio(r["vek/proxy"]), r["vs_proxy"],
            f"{r['spread']:.0f}%",
        ]
        for r in rows
    ]
    widths = [max(len(str(x)) for x in col) for col in zip(head, *cells)]
    line = lambda items: "| " + " | ".join(  # noqa: E731
        str(x).ljust(w) if i == 0 else str(x).rjust(w) for i, (x, w) in enumerate(zip(items, widths))
    ) + " |"
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for c in cells:
        print(line(c))


def print_scaling(scaling):
    sizes = sorted(scaling, key=int)
    print()
    print("Scaling with a fake registry (ns per call; in brackets ns per driver):")
    head = ["operation"] + [f"{int(s):,} drivers" for s in sizes] + ["slope ns/driver"]
    cells = []
    for label, _stmt in SCALING_OPS:
        values = [scaling[s][label] for s in sizes]
        row = [label] + [f"{v:,.0f} ({v / int(s):,.0f})" for v, s in zip(values, sizes)]
        row.append(f"{slope([int(s) for s in sizes], values):,.0f}")
        cells.append(row)
    cells.append(["HTML rows shown"] + [str(scaling[s]["html_rows"]) for s in sizes] + ["-"])
    cells.append(["HTML reads besides summary"] + [str(scaling[s]["html_row_reads"]) for s in sizes] + ["-"])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *cells)]
    for items in [head] + cells:
        print("  " + "  ".join(str(x).ljust(w) if i == 0 else str(x).rjust(w)
                               for i, (x, w) in enumerate(zip(items, widths))))
    print("  (slope: least-squares fit of time against driver count; the summary of")
    print("  the HTML table reads every driver's category twice, the rows only the shown ones)")


def slope(xs, ys):
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sxx if sxx else float("nan")


def child(world, args, python=sys.executable):
    """Runs one world in a fresh interpreter (`python`); returns its results."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "out.json")
        cmd = [python, os.path.abspath(__file__), "--world", world, "--out", out,
               "--samples", str(args.samples), "--sample-ms", str(args.sample_ms), "--clock", args.clock]
        if args.quick:
            cmd.append("--quick")
        subprocess.run(cmd, check=True, cwd=ROOT)
        with open(out) as fh:
            return json.load(fh)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few samples only (smoke run)")
    parser.add_argument("--samples", type=int, default=None)
    parser.add_argument("--sample-ms", type=float, default=None)
    parser.add_argument("--import-runs", type=int, default=None)
    parser.add_argument("--command-runs", type=int, default=None,
                        help="paired runs of each whole command against its bare script (benchmarks/commands.py)")
    parser.add_argument("--clock", choices=tuple(CLOCKS), default="cpu",
                        help="cpu: thread CPU time (default; robust on a busy machine), wall: perf_counter")
    parser.add_argument("--json", help="write all results to this file")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count instructions per call under valgrind (benchmarks/callgrind.py)")
    parser.add_argument("--python", action="append", metavar="PATH",
                        help="also time the bare world (floor, twin, vek) with this interpreter, vek installed "
                             "in its venv (repeatable; default: .venv-py3.13/.venv-py3.14 of another version)")
    parser.add_argument("--world", choices=("bare", "proxy", "scaling"), help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.samples is None:
        args.samples = 3 if args.quick else 51
    if args.sample_ms is None:
        args.sample_ms = 0.2 if args.quick else 2.0
    if args.import_runs is None:
        args.import_runs = 2 if args.quick else 30
    if args.command_runs is None:
        args.command_runs = 2 if args.quick else 21

    global CLOCK
    CLOCK = CLOCKS[args.clock]
    if args.world:
        result = run_scaling(args) if args.world == "scaling" else run_world(args.world, args)
        with open(args.out, "w") as fh:
            json.dump(result, fh)
        return 0

    started = time.perf_counter()
    info = machine_info()
    print(f"vek._algos.geo.driver benchmarks, {info['date']}, commit {info['commit']}")
    print(f"machine: {info['cpu']}, {info['cores']} cores; {info['platform']}")
    print(f"Python {info['python']}, GDAL {info['gdal']}")
    print(f"{args.samples} samples of ~{args.sample_ms:g} ms per way, round-robin; medians; "
          f"clock: {'thread CPU time' if args.clock == 'cpu' else 'wall time'}"
          + (" (--quick: numbers are not meaningful)" if args.quick else ""))
    print("load average at start: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    sys.path.insert(0, HERE)
    import pythons

    found, note = pythons.others(args.python)
    print(note or "also: " + ", ".join(f"Python {v} ({p})" for p, v in found))
    sys.stdout.flush()

    bare = child("bare", args)
    others = {}
    for p, v in found:
        others[pythons.label({info["python"]: 0, **others}, v)] = child("bare", args, python=p)
    proxy = child("proxy", args)
    scaling = child("scaling", args)
    imports = run_imports(args.import_runs, args.clock)
    rows = build_rows(bare, proxy, imports)
    import commands
    import describing

    command_rows = commands.run(args.command_runs)
    describe_rows = describing.run(args.samples)

    print(f"loop overhead subtracted: {bare['extra']['loop_overhead_ns']:.1f} ns (bare), "
          f"{proxy['extra']['loop_overhead_ns']:.1f} ns (proxy)")
    print("floor/vek: bare handles (osgeo.gdal never imported, the package's own mode);")
    print("proxy/vek(px): a process that imported osgeo.gdal first (every handle is a proxy).")
    print()
    print_table(rows)
    parse = bare["extra"]["parse"]
    print()
    print(f"GTiff option-list parse alone: base.xet.fromstring {fmt_ns(parse['base.xet'])} ns, "
          f"xml.etree.ElementTree.fromstring {fmt_ns(parse['xml.etree'])} ns "
          f"({parse['base.xet'] / parse['xml.etree']:.2f}x); the floor and vek both use base.xet.")
    heavy = imports["heavy_loaded"]
    print(f"import: heavy modules loaded by importing vek: {', '.join(heavy) if heavy else 'none'}; "
          "largest self times (us) beyond _gdal's own imports: "
          + ", ".join(f"{m} {us}" for m, us in imports["importtime_top"]))
    print_scaling(scaling)
    print()
    commands.print_rows(command_rows)
    print()
    describing.print_rows(describe_rows)
    if others:
        print()
        # the medians, and the paired ratios of the main table
        def figures(world):
            return {name: {**{w: r[w]["median"] for w in ("floor", "twin", "vek")},
                           "vek/floor": r["vek/floor"], "vek/twin": r["vek/twin"]}
                    for name, r in world["ops"].items()}

        results = {info["python"]: figures(bare), **{v: figures(world) for v, world in others.items()}}
        pythons.print_side_by_side(results, [op[0] for op in OPS], TWIN_TARGETS, "ns")
    misses = [r["operation"] for r in rows if r["status"] == "MISS"]
    misses += [r["command"] for r in command_rows + describe_rows if r["status"] == "MISS"]
    misses += [r["operation"] + " (twin)" for r in rows if r["twin_status"] == "MISS"]
    print()
    print(f"targets missed: {len(misses)}" + (f" ({'; '.join(misses)})" if misses else ""))
    if args.callgrind:
        print()
        sys.stdout.flush()
        subprocess.run([sys.executable, os.path.join(HERE, "callgrind.py")]
                       + [f"--python={p}" for p, _v in found], cwd=ROOT, check=False)
    print(f"suite time: {time.perf_counter() - started:.0f} s; load average at end: "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"info": info, "rows": rows, "bare": bare, "proxy": proxy, "scaling": scaling,
                       "imports": imports, "commands": command_rows, "describing": describe_rows,
                       "other_pythons": others}, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())

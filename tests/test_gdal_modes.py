"""vek in each of GDAL's exception states: enabled, disabled, or never chosen by the program. GDAL 3.10+
warns "In GDAL 4.0, exceptions will be enabled by default" when osgeo.gdal's own functions run in the
last state; no vek entry point may, and none may depend on, or change, the state it finds."""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from osgeo import _gdal

from gdalmode import SRC

STATES = {
    "never-chosen": "",
    "enabled": '(getattr(_gdal, "UseExceptions", None) or _gdal._UseExceptions)()',
    "disabled": '(getattr(_gdal, "DontUseExceptions", None) or _gdal._DontUseExceptions)()',
}

# Every kind of entry point, with successes and failures; prints what it saw and the state after it.
TOUR = r"""
import contextlib, io, json, os, sys
tmp = sys.argv[1]

def state():  # (exceptions on, the program has chosen); GDAL 3.6's binding cannot tell the second
    chosen = getattr(_gdal, "_UserHasSpecifiedIfUsingExceptions", None)
    return _gdal.GetUseExceptions(), chosen() if chosen else None

before = state()
import vek
from vek import cli
from vek._algos.geo import base, driver as drv

seen = []
gtiff = drv.RasterDriver("GTiff")
gtiff.set_creation_options(COMPRESS="LZW", TILED=True)
with gtiff.create(os.path.join(tmp, "a.tif"), 40, 30, 2, "UInt16") as ds:
    seen.append([ds.xsize, ds.ysize, ds.band_count])
with gtiff.open(os.path.join(tmp, "a.tif")) as ds:
    seen.append([ds.driver_name, ds.band_count])
with gtiff.create(None, 3, 2, 1) as ds, drv.VectorDriver("GPKG").create(os.path.join(tmp, "v.gpkg")) as v:
    seen.append([ds.xsize, v.layer_count])
ycbcr = drv.RasterDriver("GTiff")
ycbcr.set_creation_options(COMPRESS="JPEG", PHOTOMETRIC="YCBCR")
with open(os.path.join(tmp, "t.tif"), "w") as f:
    f.write("not a GeoTIFF")
failing = {
    "create in a missing directory": lambda: gtiff.create(os.path.join(tmp, "no", "x.tif"), 4, 4, 1),
    "creation GDAL refuses": lambda: ycbcr.create(os.path.join(tmp, "y.tif"), 4, 4, 1, "Byte"),
    "open a missing file": lambda: gtiff.open(os.path.join(tmp, "missing.tif")),
    "open a text file": lambda: gtiff.open(os.path.join(tmp, "t.tif")),
    "unknown driver": lambda: drv.Driver("NoSuchDriver"),
    "unknown data type": lambda: gtiff.create(None, 1, 1, 1, "Float99"),
}
for what, call in failing.items():
    try:
        call()
        seen.append([what, "no error"])
    except Exception as exc:
        seen.append([what, type(exc).__name__])
stats = drv.DriveStatistics()
seen.append([len(stats) == _gdal.GetDriverCount(), "<table" in stats._repr_html_(), "<details" in gtiff._repr_html_()])
for argv in (["list", "--json"], ["show", "GTiff", "--json"], ["show", "ESRI Shapefile"],
             ["create", "GTiff", os.path.join(tmp, "c.tif"), "--size", "4", "3", "--dtype", "Byte"],
             ["create", "GTiff", os.path.join(tmp, "c.tif"), "--size", "4", "3"]):
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
        try:
            seen.append([argv[0], cli.main(argv)])
        except SystemExit as exc:
            seen.append([argv[0], exc.code])
print(json.dumps({"seen": seen, "state kept": state() == before, "files": sorted(os.listdir(tmp))}))
"""


def tour(state, proxies, tmp_path):
    prelude = "from osgeo import _gdal\n" + STATES[state] + "\n"
    if proxies:
        prelude += "from osgeo import gdal  # the binding hands out proxy objects from now on\n"
    env = {k: v for k, v in os.environ.items() if k != "VEK_CONFIG"}  # no user configuration
    env.update(PYTHONPATH=SRC, XDG_CONFIG_HOME=str(tmp_path / "xdg"))
    res = subprocess.run([sys.executable, "-W", "error::FutureWarning", "-c", prelude + textwrap.dedent(TOUR),
                          str(tmp_path)], capture_output=True, text=True, timeout=300, env=env)
    assert (res.returncode, res.stderr) == (0, ""), res.stderr
    *before, last = res.stdout.splitlines()
    assert before == []
    return json.loads(last)


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    return tour("never-chosen", False, tmp_path_factory.mktemp("reference"))


@pytest.mark.parametrize("proxies", [False, True], ids=["bare-handles", "osgeo.gdal-imported"])
@pytest.mark.parametrize("state", list(STATES))
def test_same_results_in_every_exception_state(reference, state, proxies, tmp_path):
    got = tour(state, proxies, tmp_path)
    assert got["state kept"] and got == reference
    failures = {what: exc for what, exc in (s for s in got["seen"] if len(s) == 2 and isinstance(s[1], str))}
    # vek's own errors: never the binding's bare RuntimeError of the enabled state, never a silent None
    assert len(failures) == 6 and not set(failures.values()) & {"RuntimeError", "no error"}, failures
    assert got["files"] == ["a.tif", "c.tif", "t.tif", "v.gpkg"]  # a failed creation leaves nothing


def test_gdal_itself_warns_when_never_chosen():
    """The oracle for the test above: osgeo.gdal's own Open warns where nobody chose (GDAL 3.10+)."""
    if not hasattr(_gdal, "_UserHasSpecifiedIfUsingExceptions") or int(_gdal.VersionInfo("VERSION_NUM")) < 3100000:
        pytest.skip("this GDAL does not warn about the GDAL 4.0 default")
    res = subprocess.run([sys.executable, "-W", "error::FutureWarning", "-c",
                          "from osgeo import gdal\ngdal.Open('/vsimem/none.tif')"], capture_output=True, text=True,
                         timeout=120)
    assert res.returncode == 1 and "In GDAL 4.0, exceptions will be enabled by default" in res.stderr

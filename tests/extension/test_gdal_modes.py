"""vek in each of GDAL's exception states: enabled, disabled, or never chosen by the program. GDAL 3.10+
warns "In GDAL 4.0, exceptions will be enabled by default" when osgeo.gdal's own functions run in the
last state; no vek entry point may, and none may depend on, or change, the state it finds."""

import json
import os
import subprocess
import sys

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
from vek import cli
from vek._algos.geo import driver as drv

# (exceptions on, the program has chosen); GDAL 3.6's binding cannot tell the second
state = lambda: (_gdal.GetUseExceptions(), getattr(_gdal, "_UserHasSpecifiedIfUsingExceptions", lambda: None)())
before, path = state(), lambda name: os.path.join(sys.argv[1], name)
gtiff, ycbcr = drv.RasterDriver("GTiff"), drv.RasterDriver("GTiff")
gtiff.set_creation_options(COMPRESS="LZW", TILED=True)
ycbcr.set_creation_options(COMPRESS="JPEG", PHOTOMETRIC="YCBCR")  # refused by GDAL for one band
with gtiff.create(path("a.tif"), 40, 30, 2, "UInt16") as a:
    seen = [a.xsize, a.ysize, a.band_count]
with gtiff.open(path("a.tif")) as b, gtiff.create(None, 3, 2, 1) as m, drv.VectorDriver("GPKG").create(path("v.gpkg")) as v:
    seen += [b.driver_name, b.band_count, m.xsize, v.layer_count]
open(path("t.tif"), "w").close()
failed = []
for call in (lambda: gtiff.create(path("no/x.tif"), 4, 4, 1), lambda: ycbcr.create(path("y.tif"), 4, 4, 1, "Byte"),
             lambda: gtiff.open(path("missing.tif")), lambda: gtiff.open(path("t.tif")),
             lambda: drv.Driver("NoSuchDriver"), lambda: gtiff.create(None, 1, 1, 1, "Float99")):
    try:
        failed.append(call() and None)  # None: no error
    except Exception as exc:
        failed.append(type(exc).__name__)
stats = drv.DriveStatistics()
seen += [len(stats) == _gdal.GetDriverCount(), "<table" in stats._repr_html_(), "<details" in gtiff._repr_html_()]
with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
    for argv in (["list", "--json"], ["show", "ESRI Shapefile"], ["create", "GTiff", path("c.tif"), "--size", "4", "3"],
                 ["create", "GTiff", path("c.tif"), "--size", "4", "3"]):  # the second: exists already
        seen.append(cli.main(argv))
print(json.dumps({"seen": seen, "failed": failed, "state kept": state() == before,
                  "files": sorted(os.listdir(sys.argv[1]))}))
"""


def tour(state, proxies, tmp_path):
    prelude = "from osgeo import _gdal\n" + STATES[state] + "\n"
    if proxies:
        prelude += "from osgeo import gdal  # the binding hands out proxy objects from now on\n"
    env = {k: v for k, v in os.environ.items() if k != "VEK_CONFIG"}  # no user configuration
    env.update(PYTHONPATH=SRC, XDG_CONFIG_HOME=str(tmp_path / "xdg"))
    res = subprocess.run([sys.executable, "-W", "error::FutureWarning", "-c", prelude + TOUR, str(tmp_path)],
                         capture_output=True, text=True, timeout=300, env=env)
    assert (res.returncode, res.stderr, res.stdout.count("\n")) == (0, "", 1), res.stderr + res.stdout
    return json.loads(res.stdout)


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    return tour("never-chosen", False, tmp_path_factory.mktemp("reference"))


@pytest.mark.parametrize("proxies", [False, True], ids=["bare-handles", "osgeo.gdal-imported"])
@pytest.mark.parametrize("state", list(STATES))
def test_same_results_in_every_exception_state(reference, state, proxies, tmp_path):
    got = tour(state, proxies, tmp_path)
    assert got["state kept"] and got == reference
    # vek's own errors: never the binding's bare RuntimeError of the enabled state, never a silent None
    assert len(got["failed"]) == 6 and not set(got["failed"]) & {"RuntimeError", None}, got["failed"]
    assert got["files"] == ["a.tif", "c.tif", "t.tif", "v.gpkg"]  # a failed creation leaves nothing


def test_gdal_itself_warns_when_never_chosen():
    """The oracle for the test above: osgeo.gdal's own Open warns where nobody chose (GDAL 3.10+)."""
    if not hasattr(_gdal, "_UserHasSpecifiedIfUsingExceptions") or int(_gdal.VersionInfo("VERSION_NUM")) < 3100000:
        pytest.skip("this GDAL does not warn about the GDAL 4.0 default")
    res = subprocess.run([sys.executable, "-W", "error::FutureWarning", "-c",
                          "from osgeo import gdal\ngdal.Open('/vsimem/none.tif')"], capture_output=True, text=True,
                         timeout=120)
    assert res.returncode == 1 and "In GDAL 4.0, exceptions will be enabled by default" in res.stderr

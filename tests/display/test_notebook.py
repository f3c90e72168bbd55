"""The example notebook, executed by a real Jupyter kernel (this interpreter,
from a kernel description written for the test, with no user configuration).
Every rich output must be the HTML of the object's own ``_repr_html_``, plain
data what the calls give (the georeferenced raster as GDAL reads it)."""

import json
import os
import pathlib
import subprocess
import sys

import nbformat
import pytest
from nbclient import NotebookClient

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
NOTEBOOK = ROOT / "examples" / "drivers.ipynb"
KERNEL = "vek-test-kernel"
REFERENCE = """
import json
from IPython.lib.pretty import pretty
from osgeo import osr
import vek
from vek._algos.geo.driver import DriveStatistics, RasterDriver, VectorDriver
gtiff = RasterDriver("GTiff")
gtiff.set_creation_options(COMPRESS="DEFLATE", TILED=True)
views = {key: {"text/plain": repr(obj), "text/html": obj._repr_html_()} for key, obj in [
    ("DriveStatistics()", DriveStatistics()), ("RasterDriver()", RasterDriver()),
    ("gtiff", gtiff), ("VectorDriver()", VectorDriver())]}
wgs84 = osr.SpatialReference()
wgs84.SetFromUserInput("EPSG:4326")
for line in ('{key: gpkg[key] for key in ("long_name", "kinds", "extensions", "writes")}',
             '[d.name for d in vek.drivers_for_path("y.kml", kind="vector")]'):
    views[line] = {"text/plain": pretty(eval(line, {"vek": vek, "gpkg": vek.describe("GPKG")}))}
views["where"] = {"text/plain": pretty(((0.0, 1.0, 0.0, 50.0, 0.0, -1.0), wgs84.GetName(), 0.0))}  # 20 x 10 cells
print(json.dumps(views))
"""


def test_display_outputs_are_the_objects_html(tmp_path):
    tmp = tmp_path
    env = {k: v for k, v in os.environ.items() if k not in ("VEK_CONFIG", "JUPYTER_CONFIG_DIR", "JUPYTER_DATA_DIR")}
    env.update(XDG_CONFIG_HOME=str(tmp / "config"), IPYTHONDIR=str(tmp / "ipython"), JUPYTER_PATH=str(tmp / "jupyter"),
               JUPYTER_RUNTIME_DIR=str(tmp / "runtime"), JUPYTER_PLATFORM_DIRS="1")
    kernel = tmp / "jupyter" / "kernels" / KERNEL
    kernel.mkdir(parents=True)
    (kernel / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "vek tests", "language": "python"}))
    nb = nbformat.read(NOTEBOOK, as_version=4)
    with pytest.MonkeyPatch.context() as mp:
        for key in ("VEK_CONFIG", "JUPYTER_CONFIG_DIR", "JUPYTER_DATA_DIR"):
            mp.delenv(key, raising=False)
        for key, value in env.items():
            mp.setenv(key, value)
        NotebookClient(nb, kernel_name=KERNEL, timeout=180, startup_timeout=120,
                       resources={"metadata": {"path": str(tmp)}}).execute()
    shown = []
    for cell in nb.cells:
        if cell.cell_type == "code":
            assert cell.execution_count is not None
            for out in cell.outputs:  # no error, no stray stream output
                assert out.output_type in ("execute_result", "display_data"), out
                shown.append((cell.source.strip().splitlines()[-1], out))
    res = subprocess.run([sys.executable, "-c", REFERENCE], capture_output=True, text=True, env=env, check=True)
    expected = json.loads(res.stdout)  # the same objects' views, made apart
    assert [line for line, _ in shown] == list(expected)
    for line, out in shown:  # plain data has no HTML view
        assert out["data"].get("text/html") == expected[line].get("text/html"), line
        plain = expected[line]["text/plain"]
        if " at 0x" in plain:  # a default repr, which IPython prints its own way
            assert out["data"]["text/plain"].startswith(plain.split(" ", 1)[0]), line
        else:
            assert out["data"]["text/plain"] == plain, line

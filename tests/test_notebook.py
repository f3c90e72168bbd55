"""The example notebook, executed by a real Jupyter kernel.

The kernel is this interpreter (``sys.executable``), started from a kernel
description written for the test, so nothing has to be installed into a Jupyter
data directory and a user's own ``python3`` kernel cannot get in the way.
Every rich output must be the HTML of the object's own ``_repr_html_``.
"""

import json
import os
import pathlib
import re
import subprocess
import sys

import nbformat
import pytest
from nbclient import NotebookClient

ROOT = pathlib.Path(__file__).resolve().parent.parent
NOTEBOOK = ROOT / "examples" / "drivers.ipynb"
KERNEL = "vek-test-kernel"


def isolated_env(tmp_path):
    """No user configuration, IPython profile or Jupyter data directory."""
    env = dict(os.environ)
    for key in ("VEK_CONFIG", "JUPYTER_CONFIG_DIR", "JUPYTER_DATA_DIR"):
        env.pop(key, None)
    env.update(
        XDG_CONFIG_HOME=str(tmp_path / "config"),
        IPYTHONDIR=str(tmp_path / "ipython"),
        JUPYTER_PATH=str(tmp_path / "jupyter"),
        JUPYTER_RUNTIME_DIR=str(tmp_path / "runtime"),
        JUPYTER_PLATFORM_DIRS="1",
    )
    return env


def write_kernel(tmp_path):
    kernel_dir = tmp_path / "jupyter" / "kernels" / KERNEL
    kernel_dir.mkdir(parents=True)
    (kernel_dir / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "vek tests",
        "language": "python",
    }))


@pytest.fixture(scope="module")
def executed(tmp_path_factory):
    """The notebook after a run, and the same objects' HTML computed apart."""
    tmp_path = tmp_path_factory.mktemp("notebook")
    env = isolated_env(tmp_path)
    write_kernel(tmp_path)
    nb = nbformat.read(NOTEBOOK, as_version=4)
    mp = pytest.MonkeyPatch()
    try:
        for key in ("VEK_CONFIG", "JUPYTER_CONFIG_DIR", "JUPYTER_DATA_DIR"):
            mp.delenv(key, raising=False)
        for key, value in env.items():
            mp.setenv(key, value)
        client = NotebookClient(
            nb,
            kernel_name=KERNEL,
            timeout=180,
            startup_timeout=120,
            resources={"metadata": {"path": str(tmp_path)}},
        )
        client.execute()
    finally:
        mp.undo()
    expected = reference_reprs(env)
    return nb, expected


def reference_reprs(env):
    """repr and _repr_html_ of what the notebook displays, from a fresh
    interpreter with the same environment as the kernel."""
    code = """
import json
from vek._algos.geo.driver import DriveStatistics, RasterDriver, VectorDriver
gtiff = RasterDriver("GTiff")
gtiff.set_creation_options(COMPRESS="DEFLATE", TILED=True)
out = {}
for key, obj in [("DriveStatistics()", DriveStatistics()), ("RasterDriver()", RasterDriver()),
                 ("gtiff", gtiff), ("VectorDriver()", VectorDriver())]:
    out[key] = {"text/plain": repr(obj), "text/html": obj._repr_html_()}
print(json.dumps(out))
"""
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=env, check=True)
    return json.loads(res.stdout)


def display_outputs(nb):
    """(last line of the cell, output) of every rich output."""
    found = []
    for cell in nb.cells:
        if cell.cell_type != "code":
            continue
        for out in cell.outputs:
            assert out.output_type != "error", out
            if out.output_type in ("execute_result", "display_data"):
                found.append((cell.source.strip().splitlines()[-1], out))
    return found


def test_notebook_is_valid_and_stored_without_outputs():
    nb = nbformat.read(NOTEBOOK, as_version=4)
    nbformat.validate(nb)
    code = [c for c in nb.cells if c.cell_type == "code"]
    assert code and all(not c.outputs and c.execution_count is None for c in code)
    assert any(c.cell_type == "markdown" for c in nb.cells)


def test_every_cell_ran_without_error_or_stray_output(executed):
    nb, _ = executed
    for cell in nb.cells:
        if cell.cell_type != "code":
            continue
        assert cell.execution_count is not None
        for out in cell.outputs:
            assert out.output_type in ("execute_result", "display_data"), out


def test_display_outputs_are_the_objects_html(executed):
    nb, expected = executed
    shown = display_outputs(nb)
    assert [line for line, _ in shown] == list(expected)
    for line, out in shown:
        data = out["data"]
        assert "text/html" in data, line
        assert data["text/html"] == expected[line]["text/html"], line
        plain = expected[line]["text/plain"]
        if " at 0x" in plain:  # default repr, which IPython prints its own way
            assert data["text/plain"].startswith(plain.split(" ", 1)[0]), line
        else:
            assert data["text/plain"] == plain, line


def test_driver_views_name_their_driver_and_fold_catalogues(executed):
    nb, _ = executed
    html = {line: out["data"]["text/html"] for line, out in display_outputs(nb)}
    for line, name in [("RasterDriver()", "GTiff"), ("gtiff", "GTiff"),
                       ("VectorDriver()", "ESRI Shapefile")]:
        page = html[line]
        assert page.startswith('<div class="vek-h">'), line
        assert f"<td>{name}</td>" in page, line
        # both catalogues, each folded (no "open" attribute), no scripts
        assert page.count("<details>") == 2 and "<details open" not in page, line
        assert "Creation Options" in page and "Open Options" in page, line
        assert "<script" not in page.lower(), line
    # values set in the notebook show in the catalogue
    assert re.search(r"<th>COMPRESS</th>(<td>[^<]*</td>){3}<td>DEFLATE</td>", html["gtiff"])
    assert re.search(r"<th>TILED</th>(<td>[^<]*</td>){3}<td>True</td>", html["gtiff"])
    assert "<td>DEFLATE</td>" not in html["RasterDriver()"]


def test_statistics_table_lists_drivers(executed):
    nb, _ = executed
    html = {line: out["data"]["text/html"] for line, out in display_outputs(nb)}
    page = html["DriveStatistics()"]
    assert page.startswith('<div class="vek-h">') and 'class="vek-h-grid"' in page
    head = ["", "name", "category", "extension", "creatable", "updatable", "virtualio"]
    assert "<thead><tr>" + "".join(f"<th>{h}</th>" for h in head) + "</tr></thead>" in page
    assert 'vek-h-counts' in page and "<b>Total</b>" in page
    # the first registered driver is row 0
    from osgeo import _gdal

    first = _gdal.Driver_ShortName_get(_gdal.GetDriver(0))
    assert re.search(rf'<th scope="row" class="vek-h-num">0</th><td>{re.escape(first)}</td>',
                     page)

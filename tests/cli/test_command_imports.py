"""Each command imports what its own job needs. A command runs in a fresh
interpreter and the modules it loaded are held against what that job never
uses: the standard library's heavier modules, the text view's tables for
JSON output, JSON for text output, describing for the commands that only
list or judge names, and the dataset modules for the commands that open
nothing. A lazy import made eager again shows here."""

import os
import subprocess
import sys

import pytest

from conftest import missing_drivers

NEVER = {"argparse", "gettext", "shutil", "bz2", "lzma", "typing", "urllib.parse", "email", "tomllib", "difflib", "osgeo.gdal", "numpy"}
TEXT_VIEW = {"textwrap", "vek._cli.table", "vek._cli.showtext", "vek.optioncheck"}
DESCRIBING = {"vek._algos.geo.registry.describe", "xml.etree.ElementTree", "pyexpat"}
DATASETS = {"vek._algos.geo.dataset.opening", "vek._algos.geo.dataset.owner", "tempfile", "osgeo._ogr"}

CHILD = """
import sys
from vek.cli import main
sys.stdout = open(sys.argv[1], "w")
code = main(sys.argv[2:])
sys.stdout.close()
sys.stdout = sys.__stdout__
print(code, *sys.modules)
"""


def modules_of(tmp_path, *argv):
    """The exit status and the modules loaded by one command in a fresh interpreter."""
    env = {k: v for k, v in os.environ.items() if k != "VEK_CONFIG"}
    env["XDG_CONFIG_HOME"] = str(tmp_path)  # no configuration file
    proc = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "out"), *argv],
                          capture_output=True, text=True, timeout=120, env=env, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    code, *modules = proc.stdout.split()
    return int(code), set(modules)


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    """A GeoTIFF and a GeoPackage (a format of both kinds, which identify opens)."""
    from osgeo import _gdal

    missing = missing_drivers("GTiff", "GPKG")
    if missing:
        pytest.skip(f"this GDAL has no {' or '.join(missing)} driver")
    folder = tmp_path_factory.mktemp("samples")
    tif, gpkg = str(folder / "a.tif"), str(folder / "b.gpkg")
    _gdal.delete_Dataset(_gdal.Driver_Create(_gdal.GetDriverByName("GTiff"), tif, 8, 8, 1, 1, []))
    _gdal.delete_Dataset(_gdal.Driver_Create(_gdal.GetDriverByName("GPKG"), gpkg, 0, 0, 0, 0, []))
    return tif, gpkg


@pytest.mark.parametrize("argv, unneeded", [
    (["list", "--json"], NEVER | TEXT_VIEW | DESCRIBING | DATASETS),
    (["list", "--vector"], NEVER | DESCRIBING | DATASETS | {"json"}),
    (["show", "GTiff", "--json"], NEVER | TEXT_VIEW | DATASETS),
    (["show", "GTiff"], NEVER | DATASETS | {"json"}),
    (["detect", "out.tif", "--json"], NEVER | TEXT_VIEW | DESCRIBING | DATASETS),
    (["detect", "out.tif"], NEVER | TEXT_VIEW | DESCRIBING | DATASETS | {"json"}),
    (["identify", "{tif}", "{gpkg}", "--json"], NEVER | TEXT_VIEW | DESCRIBING | DATASETS),
], ids=lambda value: " ".join(value) if isinstance(value, list) else "")
def test_a_command_loads_no_module_its_job_does_not_use(tmp_path, samples, argv, unneeded):
    tif, gpkg = samples
    code, modules = modules_of(tmp_path, *(a.format(tif=tif, gpkg=gpkg) for a in argv))
    assert code == 0
    assert sorted(modules & unneeded) == []


def test_an_unknown_driver_still_gets_its_closest_names(tmp_path):
    # difflib is loaded for the error alone
    code, modules = modules_of(tmp_path, "show", "GTIF")
    assert code == 1 and "difflib" in modules

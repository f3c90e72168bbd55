"""The type stubs of the extension module: installed beside it, checked
against the built module with mypy's stubtest, and useful to a type
checker."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vek
import vek._algos.geo.driver as driver_module

pytest.importorskip("mypy", reason="mypy is installed by requirements-dev.txt")

# Errors in the pure-Python sibling modules are theirs to fix; here only the
# stub of the extension module is judged.
MYPY_INI = """\
[mypy]
cache_dir = {cache}

[mypy-vek._algos.geo.base,vek._algos.geo.geodatabase,vek._algos.geo._*]
follow_imports = silent
"""


def mypy_config(tmp_path):
    path = tmp_path / "mypy.ini"
    path.write_text(MYPY_INI.format(cache=tmp_path / "cache"))
    return path


def run_tool(tmp_path, *args):
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, timeout=300, cwd=tmp_path
    )


def test_stub_and_marker_are_installed_beside_the_module():
    so = Path(driver_module.__file__)
    assert so.suffix == ".so"
    assert so.with_name("driver.pyi").is_file()
    assert (Path(vek.__file__).parent / "py.typed").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    done = run_tool(tmp_path, "mypy.stubtest", "vek._algos.geo.driver",
                    "--mypy-config-file", str(mypy_config(tmp_path)))
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success" in done.stdout


USE = """\
from vek._algos.geo.driver import DriveStatistics, RasterDriver, VectorDriver

gtiff = RasterDriver()
modes: list[str] = gtiff.compress_modes
gtiff.set_creation_options(COMPRESS="LZW", TILED=True)
ds = gtiff.create(None, 10, 20, 1, "Byte")
width: int = ds.xsize
shp = VectorDriver("ESRI Shapefile")
dim: str = shp.dimension
stats = DriveStatistics()
first: str = stats[0].name
count: int = len(stats)
catalogue = gtiff.creation_options_info
default = catalogue["COMPRESS"].get("default")
"""

MISUSE = """\
from vek._algos.geo.driver import DriveStatistics, RasterDriver

RasterDriver().compress_modes.upper()
DriveStatistics().rasters[0].creatable + "x"
RasterDriver().create(None, 10, 20)
RasterDriver().name = "other"
"""


def test_a_type_checker_accepts_use_and_catches_misuse(tmp_path):
    (tmp_path / "use.py").write_text(USE)
    (tmp_path / "misuse.py").write_text(MISUSE)
    config = str(mypy_config(tmp_path))
    done = run_tool(tmp_path, "mypy", "--strict", "--config-file", config, "use.py")
    assert done.returncode == 0, done.stdout + done.stderr

    done = run_tool(tmp_path, "mypy", "--config-file", config, "misuse.py")
    assert done.returncode == 1
    flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    assert flagged == {3, 4, 5, 6}, done.stdout

"""The type stubs of the extension module: installed beside it, equal to the
built module by mypy's stubtest, and useful to a type checker."""

import subprocess
import sys
from pathlib import Path

import pytest

import vek
import vek._algos.geo.driver as driver_module

pytest.importorskip("mypy", reason="mypy is installed by requirements-dev.txt")

USE = """\
from vek._algos.geo.driver import DriveStatistics, RasterDriver, VectorDriver

gtiff = RasterDriver()
modes: list[str] = gtiff.compress_modes
gtiff.set_creation_options(COMPRESS="LZW", TILED=True)
ds = gtiff.create(None, 10, 20, 1, "Byte")
width: int = ds.xsize
dim: str = VectorDriver("ESRI Shapefile").dimension
stats = DriveStatistics()
first: str = stats[0].name
count: int = len(stats)
default = gtiff.creation_options_info["COMPRESS"].get("default")
"""
MISUSE = """\
from vek._algos.geo.driver import DriveStatistics, RasterDriver

RasterDriver().compress_modes.upper()
DriveStatistics().rasters[0].creatable + "x"
RasterDriver().create(None, 10, 20)
RasterDriver().name = "other"
"""


def mypy(tmp_path, tool, *args):
    config = tmp_path / "mypy.ini"  # only the extension module's stub is judged, not the Python siblings
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n[mypy-vek._algos.geo.base,"
                      "vek._algos.geo.geodatabase,vek._algos.geo._*]\nfollow_imports = silent\n")
    flag = "--mypy-config-file" if tool == "mypy.stubtest" else "--config-file"
    return subprocess.run([sys.executable, "-m", tool, flag, str(config), *args],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)


def test_stubtest_finds_no_difference_with_the_built_module(tmp_path):
    so = Path(driver_module.__file__)
    assert so.suffix == ".so" and so.with_name("driver.pyi").is_file()
    assert (Path(vek.__file__).parent / "py.typed").is_file()
    done = mypy(tmp_path, "mypy.stubtest", "vek._algos.geo.driver")
    assert done.returncode == 0 and "Success" in done.stdout, done.stdout + done.stderr


def test_a_type_checker_accepts_use_and_catches_misuse(tmp_path):
    (tmp_path / "use.py").write_text(USE)
    (tmp_path / "misuse.py").write_text(MISUSE)
    done = mypy(tmp_path, "mypy", "--strict", "use.py")
    assert done.returncode == 0, done.stdout + done.stderr
    done = mypy(tmp_path, "mypy", "misuse.py")
    assert done.returncode == 1
    assert {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line} == {3, 4, 5, 6}

"""layout_check.cpp, compiled as CMake's try_compile does: it decides whether
the module is built with the shortcuts, so it must pass where they are
proven (CPython 3.13 and 3.14 with the GIL) and fail on a free-threaded
CPython, whose layout and locking the shortcuts do not know."""

import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

DRIVER_DIR = pathlib.Path(__file__).resolve().parents[2] / "src" / "vek" / "_algos" / "geo" / "driver"
CHECK = DRIVER_DIR / "layout_check.cpp"
PROVEN = sys.version_info[:2] in ((3, 13), (3, 14)) and not sysconfig.get_config_var("Py_GIL_DISABLED")

pytestmark = [
    pytest.mark.skipif(shutil.which("g++") is None, reason="no g++"),
    pytest.mark.skipif(not CHECK.exists(), reason="no C++ sources beside the tests"),
]


def compile_check(*defines):
    include = sysconfig.get_paths()["include"]
    cmd = ["g++", "-std=c++17", "-fsyntax-only", *defines, f"-I{include}", f"-I{DRIVER_DIR}", str(CHECK)]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(not PROVEN, reason="the shortcuts are built for CPython 3.13 and 3.14 with the GIL only")
def test_passes_where_the_shortcuts_are_built():
    res = compile_check()
    assert res.returncode == 0, res.stderr[-3000:]


def test_fails_on_a_free_threaded_build():
    res = compile_check("-DPy_GIL_DISABLED=1")
    assert res.returncode != 0
    # CMake's warning quotes the "error:" lines: the reason must be among them.
    assert "error: #error \"free-threaded CPython (Py_GIL_DISABLED)" in res.stderr, res.stderr[-3000:]

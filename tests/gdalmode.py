"""GDAL's exception mode on any GDAL (``_gdal.UseExceptions`` up to 3.6,
``_UseExceptions`` from 3.7), child processes and ``/vsimem/`` listings."""

import contextlib
import os
import subprocess
import sys
import textwrap

import pytest
from osgeo import _gdal

import vek

SRC = os.path.dirname(os.path.dirname(os.path.abspath(vek.__file__)))


def set_exceptions(on):
    name = "UseExceptions" if on else "DontUseExceptions"
    (getattr(_gdal, name, None) or getattr(_gdal, "_" + name))()


@contextlib.contextmanager
def exceptions_mode(on):
    before = _gdal.GetUseExceptions()
    set_exceptions(on)
    try:
        yield
    finally:
        set_exceptions(before)


@pytest.fixture(params=[0, 1], ids=["gdal-errors-as-codes", "gdal-exceptions"])
def gdal_mode(request):
    with exceptions_mode(request.param):
        yield request.param


def run_python(code):
    """Run ``code`` in a fresh interpreter that imports this process's vek."""
    env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, env=env, timeout=120)


def mem_files():
    return [d + n for d in ("/vsimem/", "/vsimem/vek/") for n in (_gdal.ReadDirRecursive(d) or [])]

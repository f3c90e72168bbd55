"""The environment is set up: the extension imports, GDAL matches libgdal."""

import shutil
import subprocess

import pytest


def test_driver_module_imports():
    import vek._algos.geo.driver as driver

    assert driver.__name__ == "vek._algos.geo.driver"
    assert driver.__file__.endswith(".so")


def test_gdal_bindings_match_system_gdal():
    from osgeo import _gdal


    if shutil.which("gdal-config") is None:
        pytest.skip("gdal-config not on PATH")
    system = subprocess.run(
        ["gdal-config", "--version"], capture_output=True, text=True, check=True
    ).stdout.strip()
    assert _gdal.VersionInfo("RELEASE_NAME") == system

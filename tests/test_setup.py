"""The set-up: the GDAL bindings match libgdal (the built extension is checked with its stubs)."""

import shutil
import subprocess

import pytest
from osgeo import _gdal


@pytest.mark.skipif(shutil.which("gdal-config") is None, reason="gdal-config not on PATH")
def test_gdal_bindings_match_system_gdal():
    system = subprocess.run(["gdal-config", "--version"], capture_output=True, text=True, check=True).stdout
    assert _gdal.VersionInfo("RELEASE_NAME") == system.strip()

"""The set-up: the GDAL bindings match libgdal (the built extension is checked with its stubs)."""

import importlib.metadata
import shutil
import subprocess

import pytest
from osgeo import _gdal


# The package that installed osgeo: "GDAL" is built for the system's libgdal;
# GDAL's binary wheel ("gdal-wheel") brings its own, with no system GDAL to match.
OSGEO_FROM = importlib.metadata.packages_distributions().get("osgeo", [None])[0]


@pytest.mark.skipif(shutil.which("gdal-config") is None, reason="gdal-config not on PATH")
@pytest.mark.skipif(OSGEO_FROM != "GDAL", reason=f"the bindings come from {OSGEO_FROM}, not from the system's GDAL")
def test_gdal_bindings_match_system_gdal():
    system = subprocess.run(["gdal-config", "--version"], capture_output=True, text=True, check=True).stdout
    assert _gdal.VersionInfo("RELEASE_NAME") == system.strip()

"""Shared fixtures: the driver module, its namespace restored after each test,
and fake GDAL bindings for metadata that no real driver has.

Test modules never import ``osgeo.gdal``: once it is imported, the low-level
binding hands out proxy objects instead of bare handles for the rest of the
process. Behaviour with proxies is tested in a child process.
"""

import os

import pytest

import vek._algos.geo.driver as driver_module
from osgeo import _gdal

from fakes import FakeGDAL


def pytest_report_header(config):
    function_type = type(driver_module.Driver.__init__)
    shortcuts = "on" if function_type._shortcuts() else "off (VEK_FASTPATH=OFF)"
    counters = "on" if hasattr(function_type, "_cache_counts") else "off"
    return f"vek._algos.geo.driver: shortcuts {shortcuts}, counters {counters}"


@pytest.fixture
def drv():
    """The extension module."""
    return driver_module


@pytest.fixture(autouse=True)
def restore_namespace():
    """Tests may rebind or delete module globals; put them back afterwards."""
    saved = dict(vars(driver_module))
    yield
    ns = vars(driver_module)
    if list(ns.items()) != list(saved.items()):
        # Rebuilt whole, so that a deleted name gets its place back too.
        ns.clear()
        ns.update(saved)


@pytest.fixture
def gdal():
    return _gdal


@pytest.fixture
def fake_gdal(drv):
    """A FakeGDAL bound as the module's ``_gdal``; add drivers with ``.add``."""
    fake = FakeGDAL()
    drv._gdal = fake
    return fake


def all_driver_names():
    return [_gdal.Driver_ShortName_get(_gdal.GetDriver(i)) for i in range(_gdal.GetDriverCount())]


def missing_drivers(*names):
    """The names among ``names`` that this GDAL's registry lacks (GDAL's
    binary wheel, gdal-wheel, has a few dozen drivers)."""
    return [n for n in names if _gdal.GetDriverByName(n) is None]


def requires_drivers(*names):
    """A mark that skips a test, naming the drivers, where the registry lacks any of them."""
    missing = missing_drivers(*names)
    return pytest.mark.skipif(bool(missing), reason=f"no {', '.join(missing)} driver in this GDAL")


def need_drivers(*names):
    """Skip the running test, naming the drivers, where the registry lacks any of them."""
    missing = missing_drivers(*names)
    if missing:
        pytest.skip(f"no {', '.join(missing)} driver in this GDAL")


def metadata(name, key):
    return _gdal.MajorObject_GetMetadataItem(_gdal.GetDriverByName(name), key) or ""


def find_drivers(**flags):
    """Short names of real drivers whose metadata flags match, e.g.
    find_drivers(DCAP_RASTER=True, DCAP_VECTOR=False)."""
    found = []
    for name in all_driver_names():
        if all((metadata(name, key).upper() == "YES") == want for key, want in flags.items()):
            found.append(name)
    return found


def user_files(folder):
    """The folder's names but the process's kept stage, an empty private folder."""
    names = sorted(os.listdir(folder))
    assert all(not os.listdir(os.path.join(folder, n)) for n in names if n.startswith(".vek-"))
    return [n for n in names if not n.startswith(".vek-")]

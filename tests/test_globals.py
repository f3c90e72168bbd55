"""Module globals are looked up at each call: rebinding, deleting or shadowing
one takes effect on the very next call, however often it was used before."""

import builtins

import pytest

from fakes import FakeGDAL


def test_rebinding_is_seen_by_the_next_call(drv):
    driver = drv.Driver("GTiff")
    for _ in range(3):
        assert driver.name == "GTiff"  # warm every lookup
    fake = FakeGDAL()
    drv._gdal = fake
    handle = fake.add("GTiff")
    assert drv.Driver(handle).name == "GTiff"
    assert ("Driver_ShortName_get", handle) in fake.calls


def test_deleting_gives_name_error_then_rebinding_recovers(drv):
    driver = drv.Driver("GTiff")
    assert driver.is_raster is True
    gdal = drv._gdal
    del drv._gdal
    with pytest.raises(NameError, match="name '_gdal' is not defined"):
        driver.is_raster
    drv._gdal = gdal
    assert driver.is_raster is True


def test_builtins_are_consulted_and_shadowed_by_the_namespace(drv, monkeypatch):
    gdal = drv._gdal
    del drv._gdal
    monkeypatch.setattr(builtins, "_gdal", gdal, raising=False)
    assert drv.Driver("GTiff").name == "GTiff"  # found among the builtins
    fake = FakeGDAL()
    fake.add("GTiff")
    drv._gdal = fake  # the namespace wins from now on
    assert drv.Driver("GTiff").name == "GTiff"
    assert fake.calls
    monkeypatch.delattr(builtins, "_gdal")
    del drv._gdal
    with pytest.raises(NameError):
        drv.Driver("GTiff")


@pytest.mark.parametrize("junk", [42, None, "text"])
def test_junk_global_fails_cleanly(drv, junk):
    driver = drv.Driver("GTiff")
    driver.name
    drv._gdal = junk
    with pytest.raises(AttributeError):
        driver.name

"""What ``identify`` costs: for a format of both kinds it opens the file at
most once to learn what the file holds, and never when the kind is given;
its answers stay what each kind's own open says."""

import pytest

from vek._algos.geo import _identify, geodatabase
from vek._algos.geo.driver import Driver, RasterDriver, VectorDriver


class CountingOpens:
    """The binding, with its ``OpenEx`` calls counted."""

    def __init__(self, real):
        self._real, self.opens = real, 0

    def __getattr__(self, name):
        return getattr(self._real, name)

    def OpenEx(self, *args):
        self.opens += 1
        return self._real.OpenEx(*args)


@pytest.fixture(scope="module")
def geopackages(tmp_path_factory):
    if _identify._gdal.GetDriverByName("GPKG") is None:
        pytest.skip("GDAL here has no GPKG driver")
    tmp = tmp_path_factory.mktemp("opens")
    with geodatabase.create_vector("GPKG", tmp / "vector.gpkg") as ds:
        ds.create_layer("a", "Point")
    for name in ("raster", "both"):
        with RasterDriver("GPKG").create(str(tmp / f"{name}.gpkg"), 4, 4, 1, "Byte") as ds:
            ds.georeference("EPSG:4326", bounds=(0, 0, 4, 4))
    with geodatabase.open_file(tmp / "both.gpkg", geodatabase.OF_VECTOR | geodatabase.OF_UPDATE) as ds:
        ds.create_layer("a", "Point")
    return tmp


@pytest.mark.parametrize("name, answer", [("vector", VectorDriver), ("raster", RasterDriver), ("both", Driver)])
def test_one_open_at_most_and_none_for_a_given_kind(geopackages, monkeypatch, name, answer):
    spy = CountingOpens(_identify._gdal)
    monkeypatch.setattr(_identify, "_gdal", spy)
    found = _identify.identify(geopackages / f"{name}.gpkg")
    assert (found.name, type(found), spy.opens) == ("GPKG", answer, 1)
    for kind, cls in (("raster", RasterDriver), ("vector", VectorDriver)):
        assert type(_identify.identify(geopackages / f"{name}.gpkg", kind=kind)) is cls
    assert spy.opens == 1

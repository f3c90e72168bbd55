"""``identify`` of a format of both kinds opens the file once at most to learn
what it holds, and not at all when the kind is given; the answers stay."""

import pytest

from vek._algos.geo import geodatabase
from vek._algos.geo.registry import identify as _identify
from vek._algos.geo.driver import Driver, RasterDriver, VectorDriver


@pytest.fixture(scope="module")
def geopackages(tmp_path_factory):
    if _identify._gdal.GetDriverByName("GPKG") is None:
        pytest.skip("GDAL here has no GPKG driver")
    tmp = tmp_path_factory.mktemp("opens")
    for name in ("raster", "both"):
        with RasterDriver("GPKG").create(str(tmp / f"{name}.gpkg"), 4, 4, 1, "Byte") as ds:
            ds.georeference("EPSG:4326", bounds=(0, 0, 4, 4))
    with geodatabase.create_vector("GPKG", tmp / "vector.gpkg") as vector, \
            geodatabase.open_file(tmp / "both.gpkg", geodatabase.OF_VECTOR | geodatabase.OF_UPDATE) as both:
        vector.create_layer("a", "Point")
        both.create_layer("a", "Point")
    return tmp


@pytest.mark.parametrize("name, answer", [("vector", VectorDriver), ("raster", RasterDriver), ("both", Driver)])
def test_one_open_at_most_and_none_for_a_given_kind(geopackages, monkeypatch, name, answer):
    opens = []
    real = _identify._gdal.OpenEx
    monkeypatch.setattr(_identify._gdal, "OpenEx", lambda *args: opens.append(args) or real(*args))
    found = _identify.identify(geopackages / f"{name}.gpkg")
    assert (found.name, type(found), len(opens)) == ("GPKG", answer, 1)
    assert [type(_identify.identify(geopackages / f"{name}.gpkg", kind=k)) for k in ("raster", "vector")] \
        == [RasterDriver, VectorDriver] and len(opens) == 1

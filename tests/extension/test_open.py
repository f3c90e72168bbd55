"""Opening files with a driver: the flags it asks for, what it hands to the
dataset opener, and real files opened through GDAL."""

import importlib
import sys
import types

import pytest
from osgeo import _gdal

from conftest import find_drivers
from fakes import FakeEnv, raiser, short_calls

GEODATABASE = "vek._algos.geo.geodatabase"
R, V, C = {"DCAP_RASTER": "YES"}, {"DCAP_VECTOR": "YES"}, {"DCAP_CREATE": "YES"}


@pytest.fixture(autouse=True)
def no_config(drv):
    drv.env = FakeEnv()


@pytest.fixture
def geodatabase():
    return importlib.import_module(GEODATABASE)


@pytest.fixture
def opened(monkeypatch, geodatabase):
    """geodatabase.open_file replaced by a recorder of (args, kwargs); each call returns a new object."""
    calls = []
    monkeypatch.setattr(geodatabase, "open_file",
                        lambda *args, **kwargs: calls.append((args, kwargs)) or types.SimpleNamespace(n=len(calls)))
    return calls


@pytest.mark.parametrize("cls, meta, flags", [
    ("Driver", {**R, **C}, 27), ("Driver", R, 26), ("Driver", {**V, **C}, 5), ("Driver", V, 4),
    ("Driver", {**R, **V, **C}, 1), ("Driver", {**R, **V}, 0), ("Driver", C, 1), ("Driver", {}, 0),
    ("Driver", {**R, "DCAP_CREATE": "yes"}, 27), ("Driver", {**V, "DCAP_CREATE": "NO"}, 4),
    ("RasterDriver", {**R, **V, **C}, 27), ("RasterDriver", {**R, **V}, 26),
    ("VectorDriver", {**R, **V, **C}, 5), ("VectorDriver", {**R, **V}, 4),
])
def test_flags_from_category_and_creation(drv, fake_gdal, opened, cls, meta, flags):
    getattr(drv, cls)(fake_gdal.add("N", **meta)).open("path")
    ((args, kwargs),) = opened
    assert args[1] == flags and type(args[1]) is int


def test_flags_of_real_drivers(drv, opened):
    for cls, flags, expected in [
        ("RasterDriver", dict(DCAP_RASTER=True, DCAP_CREATE=True), 27),
        ("RasterDriver", dict(DCAP_RASTER=True, DCAP_CREATE=False), 26),
        ("VectorDriver", dict(DCAP_VECTOR=True, DCAP_CREATE=True), 5),
        ("VectorDriver", dict(DCAP_VECTOR=True, DCAP_CREATE=False), 4),
        ("Driver", dict(DCAP_RASTER=True, DCAP_VECTOR=True, DCAP_CREATE=True), 1),
        ("Driver", dict(DCAP_RASTER=True, DCAP_VECTOR=True, DCAP_CREATE=False), 0),
    ]:
        for name in find_drivers(**flags)[:1]:
            getattr(drv, cls)(name).open("path")
            assert opened[-1][0][1] == expected, name


def test_five_positional_arguments_in_order(drv, opened):
    d = drv.Driver("GTiff")
    d.set_open_options(NUM_THREADS="2")
    source, siblings = object(), ["a.tfw"]
    assert d.open(source, siblings).n == 1
    ((args, kwargs),) = opened
    assert kwargs == {} and len(args) == 5 and args[0] is source and args[4] is siblings
    assert args[1:4] == (27, ["GTiff"], {"NUM_THREADS": "2"}) and type(args[2]) is list
    second = d.open(in_src="x.tif", sibling_files=None)
    assert second.n == 2 and opened[1][0][4] is None and opened[1][0][2] is not args[2]


def test_open_options_without_values_and_with_configured_defaults(drv, opened):
    drv.Driver("GTiff").open("p")
    # Creation defaults stay out of open options (GTiff lists NUM_THREADS for both).
    drv.env = FakeEnv(raster={"GTiff": {"NUM_THREADS": "ALL_CPUS", "COMPRESS": "LZW"}})
    drv.Driver("GTiff").open("p")
    drv.env = FakeEnv(raster_open={"GTiff": {"NUM_THREADS": "ALL_CPUS", "COMPRESS": "LZW"}})
    drv.Driver("GTiff").open("p")
    assert [call[0][3] for call in opened] == [{}, {}, {"NUM_THREADS": "ALL_CPUS"}]


def test_default_sibling_list_is_one_shared_object(drv, opened):
    default = drv.Driver.open.__defaults__[0]
    assert drv.Driver.open.__defaults__[0] is default and default == []
    drv.Driver("GTiff").open("a")
    drv.Driver("ESRI Shapefile").open(in_src="b")
    assert opened[0][0][4] is opened[1][0][4] is default


def test_values_are_read_through_the_instance(drv, opened):
    class Custom(drv.Driver):
        name = property(lambda self: "Custom name")
        category = property(lambda self: "Vector")
        creatable = property(lambda self: [1])
        open_options = property(lambda self: {"from": "override"})

    class Lower(drv.Driver):
        category = property(lambda self: "raster")  # compared exactly
        creatable = property(lambda self: 0)

    Custom("GTiff").open("p")
    Lower("GTiff").open("p")
    assert opened[0][0][1:4] == (5, ["Custom name"], {"from": "override"}) and opened[1][0][1] == 0


class RecordingGeodatabase(types.ModuleType):
    """A module whose ``open_file`` attribute logs when it is fetched."""

    def __init__(self, log):
        super().__init__(GEODATABASE)
        self.log = log

    @property
    def open_file(self):
        self.log.append("import open_file")
        return lambda *args: self.log.append(("open_file",) + args) or "dataset"


def test_order_of_reads_import_and_call(drv, fake_gdal, monkeypatch):
    monkeypatch.setitem(sys.modules, GEODATABASE, RecordingGeodatabase(fake_gdal.calls))
    d = drv.Driver(fake_gdal.add("N", **V, DMD_OPENOPTIONLIST="<L><Option name='O'/></L>"))
    assert d.open("p", None) == "dataset"
    assert short_calls(fake_gdal.calls) == [
        "DMD_OPENOPTIONLIST", "DCAP_RASTER", "name",  # open options first (builds the catalogue)
        "DCAP_RASTER", "DCAP_VECTOR",  # category, compared with "Raster"
        "DCAP_RASTER", "DCAP_VECTOR",  # category again, compared with "Vector"
        "DCAP_CREATE", "import open_file", "name", "open_file",
    ]
    assert fake_gdal.calls[-1] == ("open_file", "p", 4, ["N"], {}, None)


def test_open_file_is_imported_at_every_call_and_errors_propagate(drv, opened, monkeypatch, geodatabase):
    d = drv.Driver("GTiff")
    d.set_open_options(NUM_THREADS="1")
    d.open("a")
    monkeypatch.setattr(geodatabase, "open_file", lambda *args: "replacement")
    assert d.open("b") == "replacement"
    monkeypatch.setattr(geodatabase, "open_file", raiser(OSError("opener failed")))
    with pytest.raises(OSError, match="opener failed"):
        d.open("p")
    assert list(vars(d)) == ["_driver", "_open_opts", "_creation_opts"] and d.open_options == {"NUM_THREADS": "1"}
    monkeypatch.delattr(geodatabase, "open_file")
    with pytest.raises(ImportError) as info:
        d.open("c")
    assert str(info.value) == "cannot import name open_file" and len(opened) == 1


@pytest.fixture
def files(drv, tmp_path):
    """A 5x4 GeoTIFF of two bands and a Shapefile with one point layer."""
    tif, shp = str(tmp_path / "a.tif"), str(tmp_path / "b.shp")
    drv.RasterDriver().create(tif, 5, 4, 2).close()
    with drv.VectorDriver().create(shp) as db:
        _gdal.Dataset_CreateLayer(db.handle, "b", None, 1, [])
    return tif, shp


TIF_FACTS = {"xsize": 5, "ysize": 4, "band_count": 2, "update": True}
SHP_FACTS = {"layer_count": 1, "band_count": 0}


@pytest.mark.parametrize("cls, name, which, facts", [
    ("Driver", "GTiff", 0, TIF_FACTS), ("RasterDriver", "GTiff", 0, TIF_FACTS),
    ("Driver", "ESRI Shapefile", 1, SHP_FACTS), ("VectorDriver", "ESRI Shapefile", 1, SHP_FACTS),
])
def test_real_files(drv, geodatabase, files, cls, name, which, facts):
    with getattr(drv, cls)(name).open(files[which], None if which else []) as ds:
        assert isinstance(ds, geodatabase.GeoDatabase) and ds.driver_name == name
        assert {key: getattr(ds, key) for key in facts} == facts

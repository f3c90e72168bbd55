"""Dataset creation by RasterDriver and VectorDriver, checked with recording
stand-ins for call_gdal_fun, mem_temp_path, dtypes and GeoDatabase."""

import types

import pytest
from osgeo import _gdal

import vek._algos.geo.base as base
import vek._algos.geo.geodatabase as geodatabase_module
from fakes import FakeEnv, raiser


class Recorder:
    """One ordered log shared by every stand-in of a test."""

    def __init__(self):
        self.events, self.handle = [], object()

    def mem_temp_path(self, *args, **kwargs):
        self.events.append(("mem_temp_path", args, kwargs))
        return "/vsimem/test/made." + args[0]

    def get_raster_dtype_code(self, *args, **kwargs):
        self.events.append(("dtype", args, kwargs))
        return 99

    def call_gdal_fun(self, *args, **kwargs):
        self.events.append(("call_gdal_fun", args, kwargs))
        return self.handle

    def names(self):
        return [e[0] for e in self.events]

    def gdal_args(self):
        """The positional arguments of the one call_gdal_fun call (which had no keywords)."""
        ((_, args, kwargs),) = [e for e in self.events if e[0] == "call_gdal_fun"]
        assert kwargs == {}
        return args


@pytest.fixture
def rec(drv):
    r = Recorder()
    drv.mem_temp_path, drv.call_gdal_fun = r.mem_temp_path, r.call_gdal_fun
    drv.dtypes = types.SimpleNamespace(get_raster_dtype_code=r.get_raster_dtype_code)
    drv.env = FakeEnv()
    return r


def logged(cls, rec, extension):
    """A driver whose creation_options (a new marked dict) and extension reads are logged."""
    def options(self):
        rec.events.append(("creation_options", {"FROM": "creation_options"}))
        return rec.events[-1][1]

    return type("Logged", (cls,), {"creation_options": property(options), "extension": property(
        lambda self: rec.events.append(("extension",)) or extension)})()


@pytest.fixture
def raster(drv, rec):
    return logged(drv.RasterDriver, rec, "tif")


@pytest.fixture
def vector(drv, rec):
    return logged(drv.VectorDriver, rec, "shp")


class FakeGeoDatabase:
    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


@pytest.fixture
def fake_geodatabase(monkeypatch):
    monkeypatch.setattr(geodatabase_module, "GeoDatabase", FakeGeoDatabase)
    return FakeGeoDatabase


def test_raster_create_in_memory_order_and_arguments(raster, rec):
    x, y, n = object(), object(), object()
    assert raster._create_(None, n, y, x, "Byte") is rec.handle
    assert rec.names() == ["creation_options", "extension", "mem_temp_path", "dtype", "call_gdal_fun"]
    assert rec.events[2][1:] == (("tif",), {}) and rec.events[3][1:] == (("Byte",), {})
    args = rec.gdal_args()
    assert len(args) == 8 and args[0] is _gdal.Driver_Create and args[1] is raster._driver
    assert args[2] == "/vsimem/test/made.tif" and args[6] == 99 and args[7] is rec.events[0][1]
    assert args[3] is x and args[4] is y and args[5] is n


@pytest.mark.parametrize("out_dst", ["", "/some/where.tif", "relative.tif"])
def test_raster_create_path_is_kept(raster, rec, out_dst):
    raster._create_(out_dst, 1, 2, 3)
    assert rec.names() == ["creation_options", "dtype", "call_gdal_fun"] and rec.gdal_args()[2] is out_dst


def test_raster_create_by_keyword_and_dtypes(raster, rec):
    raster._create_(out_dst="p.tif", xsize=640, ysize=320, bands=3, dtype="UInt16")
    assert rec.gdal_args()[2:7] == ("p.tif", 640, 320, 3, 99)
    raster._create_("p.tif", 1, 1, 1)
    dtypes = ["float64", 6, base.dtypes.RaterDataType.Int16]
    for dtype in dtypes:  # handed to the converter unchanged
        raster._create_("p.tif", 1, 1, 1, dtype)
    converted = [e[1] for e in rec.events if e[0] == "dtype"]
    assert converted == [("UInt16",), ("Float32",)] + [(t,) for t in dtypes]
    assert all(c[0] is t for c, t in zip(converted[2:], dtypes))


def test_driver_without_extension_uses_empty_str(drv, rec, fake_gdal):
    drv.RasterDriver(fake_gdal.add("R", DCAP_RASTER="YES"))._create_(None, 1, 1, 1)
    drv.VectorDriver(fake_gdal.add("V", DCAP_VECTOR="YES"))._create_(None)
    assert [e[1] for e in rec.events if e[0] == "mem_temp_path"] == [("",), ("",)]


def test_failures_propagate_in_order(drv, raster, rec, fake_geodatabase):
    drv.dtypes = types.SimpleNamespace(get_raster_dtype_code=raiser(ValueError("unknown dtype")))
    with pytest.raises(ValueError, match="unknown dtype"):
        raster.create(None, 1, 1, 1, "Float33")
    assert "call_gdal_fun" not in rec.names()
    drv.dtypes = types.SimpleNamespace(get_raster_dtype_code=rec.get_raster_dtype_code)
    drv.call_gdal_fun = raiser(RuntimeError("gdal says no"))
    with pytest.raises(RuntimeError, match="gdal says no"):
        raster.create("p.tif", 1, 1, 1)


def test_raster_passes_current_creation_values(drv, rec):
    drv.RasterDriver("GTiff")._create_(None, 1, 1, 1)
    drv.env = FakeEnv(raster={"GTiff": {"TILED": True}})
    d = drv.RasterDriver("GTiff")
    d._create_("a.tif", 1, 1, 1)
    d.set_creation_options(COMPRESS="LZW")
    d._create_("b.tif", 1, 1, 1)
    d._create_("c.tif", 1, 1, 1)
    passed = [e[1][7] for e in rec.events if e[0] == "call_gdal_fun"]
    assert passed == [{}, {"TILED": True}, {"TILED": True, "COMPRESS": "LZW"}, {"TILED": True, "COMPRESS": "LZW"}]
    assert passed[2] is not passed[3]


def test_raster_create_hands_create_positionally(drv, rec, fake_geodatabase):
    Spy = type("Spy", (drv.RasterDriver,), {"_create_": lambda self, *a, **k: rec.events.append(("_create_", a, k))
                                            or rec.handle})
    x, y, n, t = object(), object(), object(), object()
    result = Spy().create("out.tif", x, y, n, t)
    assert rec.events == [("_create_", ("out.tif", n, y, x, t), {})]
    assert isinstance(result, fake_geodatabase) and result.args == (rec.handle,) and result.kwargs == {}
    Spy().create(None, 1, 2, 3)
    assert rec.events[-1] == ("_create_", (None, 3, 2, 1, "Float32"), {})


@pytest.mark.parametrize("call", [
    lambda d: d.create(None, 64, 32, 3),
    lambda d: d.create(None, xsize=64, ysize=32, bands=3),
    lambda d: d.create(None, bands=3, xsize=64, ysize=32),
    lambda d: d.create(None, 64, bands=3, ysize=32),
    lambda d: d.create(out_dst=None, xsize=64, ysize=32, bands=3, dtype="Float32"),
], ids=["positional", "keywords", "keywords-reordered", "mixed", "all-keywords"])
def test_size_names_reach_gdal_by_meaning(raster, rec, fake_geodatabase, call):
    call(raster)
    assert rec.gdal_args()[3:6] == (64, 32, 3)  # width, height, band count


def test_geodatabase_is_imported_at_each_call(raster, rec, monkeypatch):
    for cls in (type("First", (FakeGeoDatabase,), {}), type("Second", (FakeGeoDatabase,), {})):
        monkeypatch.setattr(geodatabase_module, "GeoDatabase", cls)
        assert type(raster.create(None, 1, 1, 1)) is cls
    marker = object()
    monkeypatch.setattr(geodatabase_module, "GeoDatabase", lambda handle: (marker, handle))
    assert raster.create(None, 1, 1, 1) == (marker, rec.handle)  # the result is what GeoDatabase returns
    assert raster._create_(None, 1, 1, 1) is rec.handle


@pytest.mark.parametrize("cls, args", [("RasterDriver", (None, 1, 1, 1)), ("VectorDriver", (None,))])
def test_missing_geodatabase_fails_after_creation(drv, rec, monkeypatch, cls, args):
    monkeypatch.delattr(geodatabase_module, "GeoDatabase")
    with pytest.raises(ImportError, match="GeoDatabase"):
        getattr(drv, cls)().create(*args)
    assert rec.names()[-1] == "call_gdal_fun"


@pytest.mark.parametrize("out_dst, path", [(None, "/vsimem/test/made.shp"), ("", ""), ("x.shp", "x.shp")])
def test_vector_create_arguments(drv, vector, rec, fake_geodatabase, out_dst, path):
    Spy = type("Spy", (drv.VectorDriver,), {"_create_": lambda self, *a, **k: rec.events.append(("_create_", a, k))})
    assert Spy().create(out_dst=out_dst).args == (None,)  # create hands its one argument on, then wraps
    assert rec.events.pop() == ("_create_", (out_dst,), {})
    assert vector._create_(out_dst) is rec.handle
    assert rec.names() == (["extension", "mem_temp_path"] if out_dst is None else []) + ["call_gdal_fun"]
    args = rec.gdal_args()
    assert len(args) == 8 and args[0] is _gdal.Driver_Create and args[1] is vector._driver and args[2] == path
    assert out_dst is None or args[2] is out_dst
    assert args[3:7] == (0, 0, 0, 0) and all(type(a) is int for a in args[3:7])
    assert args[7] == [] and type(args[7]) is list


def test_vector_options_are_new_empty_lists(drv, rec):
    d = drv.VectorDriver("ESRI Shapefile")
    layer_option = next(iter(d.creation_options_info))
    d.set_creation_options(**{layer_option: "chosen"})
    assert d.creation_options == {layer_option: "chosen"}
    d._create_(None)
    first = rec.gdal_args()[7]
    first.append("MUTATED=1")
    rec.events.clear()
    d._create_(None)
    assert rec.gdal_args()[7] == [] and rec.gdal_args()[7] is not first

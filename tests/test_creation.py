"""Dataset creation by RasterDriver and VectorDriver, checked with recording
stand-ins for call_gdal_fun, mem_temp_path, dtypes and GeoDatabase."""

import inspect
import types

import pytest
from osgeo import _gdal

import vek._algos.geo.base as base
import vek._algos.geo.geodatabase as geodatabase_module


class Recorder:
    """One ordered log shared by every stand-in of a test."""

    def __init__(self):
        self.events = []
        self.handle = object()

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

    def gdal_call(self):
        (call,) = [e for e in self.events if e[0] == "call_gdal_fun"]
        return call


@pytest.fixture
def rec(drv):
    r = Recorder()
    drv.mem_temp_path = r.mem_temp_path
    drv.call_gdal_fun = r.call_gdal_fun
    drv.dtypes = types.SimpleNamespace(get_raster_dtype_code=r.get_raster_dtype_code)
    return r


@pytest.fixture
def raster(drv, rec):
    """A GTiff RasterDriver whose creation_options and extension reads are
    logged; creation_options hands out a fresh marked dict each read."""

    class Logged(drv.RasterDriver):
        @property
        def creation_options(self):
            opts = {"FROM": "creation_options"}
            rec.events.append(("creation_options", opts))
            return opts

        @property
        def extension(self):
            rec.events.append(("extension",))
            return "tif"

    return Logged("GTiff")


@pytest.fixture
def vector(drv, rec):
    class Logged(drv.VectorDriver):
        @property
        def creation_options(self):
            rec.events.append(("creation_options",))
            return {"NEVER": "passed"}

        @property
        def extension(self):
            rec.events.append(("extension",))
            return "shp"

    return Logged("ESRI Shapefile")


# ---- signatures ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, method, sig",
    [
        ("RasterDriver", "create", "(self, out_dst, xsize, ysize, bands, dtype='Float32')"),
        ("RasterDriver", "_create_", "(self, out_dst, bands, ysize, xsize, dtype='Float32')"),
        ("VectorDriver", "create", "(self, out_dst)"),
        ("VectorDriver", "_create_", "(self, out_dst)"),
    ],
)
def test_signatures(drv, cls, method, sig):
    assert str(inspect.signature(getattr(getattr(drv, cls), method))) == sig


def test_create_docs(drv):
    raster_doc = drv.RasterDriver.create.__doc__
    assert raster_doc.startswith("\n        Create a new Dataset with this driver.\n")
    assert raster_doc.index("xsize: int.\n            Width of created raster in pixels. \n") < raster_doc.index(
        "ysize: int.\n            Height of created raster in pixels. \n"
    ) < raster_doc.index("bands: int.\n            Number of bands. \n")
    assert drv.VectorDriver.create.__doc__ == (
        "\n        Create a new Dataset with this driver.\n\n        Parameters\n        ----------\n"
        "        out_dst: str.\n            Path of the dataset to create. None for memory.\n\n"
        "        Returns\n        -------\n        Dataset    \n\n        "
    )
    assert drv.RasterDriver._create_.__doc__ is None
    assert drv.VectorDriver._create_.__doc__ is None


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.create(),
        lambda d: d.create(None, 1, 2),
        lambda d: d.create(None, 1, 2, 3, "Byte", 5),
        lambda d: d.create(None, 1, 2, 3, dtipe="Byte"),
        lambda d: d.create(None, 1, 2, 3, xsize=1),
        lambda d: d._create_(None, 1, 2),
    ],
)
def test_raster_argument_errors(raster, rec, call):
    with pytest.raises(TypeError):
        call(raster)
    assert rec.events == []


@pytest.mark.parametrize(
    "call",
    [lambda d: d.create(), lambda d: d.create(None, 1), lambda d: d._create_(), lambda d: d._create_(None, path=1)],
)
def test_vector_argument_errors(vector, rec, call):
    with pytest.raises(TypeError):
        call(vector)
    assert rec.events == []


# ---- raster _create_ -------------------------------------------------------------------------


def test_raster_create_in_memory_order_and_arguments(raster, rec):
    x, y, n = object(), object(), object()
    result = raster._create_(None, n, y, x, "Byte")
    assert result is rec.handle
    assert rec.names() == ["creation_options", "extension", "mem_temp_path", "dtype", "call_gdal_fun"]
    opts = rec.events[0][1]
    assert rec.events[2][1:] == (("tif",), {})
    assert rec.events[3][1:] == (("Byte",), {})
    _, args, kwargs = rec.gdal_call()
    assert kwargs == {}
    assert len(args) == 8
    assert args[0] is _gdal.Driver_Create
    assert args[1] is raster._driver
    assert args[2] == "/vsimem/test/made.tif"
    assert args[3] is x and args[4] is y and args[5] is n
    assert args[6] == 99
    assert args[7] is opts


@pytest.mark.parametrize("out_dst", ["", "/some/where.tif", "relative.tif"])
def test_raster_create_path_is_kept(raster, rec, out_dst):
    raster._create_(out_dst, 1, 2, 3)
    assert rec.names() == ["creation_options", "dtype", "call_gdal_fun"]
    assert rec.gdal_call()[1][2] is out_dst


def test_raster_create_by_keyword(raster, rec):
    raster._create_(out_dst="p.tif", xsize=640, ysize=320, bands=3, dtype="UInt16")
    assert rec.gdal_call()[1][2:7] == ("p.tif", 640, 320, 3, 99)
    assert rec.events[1][1:] == (("UInt16",), {})


@pytest.mark.parametrize(
    "dtype", ["Float32", "float64", 6, base.dtypes.RaterDataType.Int16], ids=["name", "folded", "code", "enum"]
)
def test_raster_dtype_reaches_converter_unchanged(raster, rec, dtype):
    raster._create_("p.tif", 1, 1, 1, dtype)
    (converted,) = [e for e in rec.events if e[0] == "dtype"]
    assert converted[1] == (dtype,) and converted[1][0] is dtype


def test_raster_default_dtype_is_float32(raster, rec):
    raster._create_("p.tif", 1, 1, 1)
    assert [e[1] for e in rec.events if e[0] == "dtype"] == [("Float32",)]


def test_driver_without_extension_uses_empty_str(drv, rec, fake_gdal):
    fake_gdal.add("R", DCAP_RASTER="YES")
    fake_gdal.add("V", DCAP_VECTOR="YES")
    drv.RasterDriver("R")._create_(None, 1, 1, 1)
    drv.VectorDriver("V")._create_(None)
    assert [e[1] for e in rec.events if e[0] == "mem_temp_path"] == [("",), ("",)]


def test_failures_propagate_in_order(raster, rec, drv):
    def no_dtype(dtype):
        rec.events.append(("dtype", (dtype,), {}))
        raise ValueError("unknown dtype")

    drv.dtypes = types.SimpleNamespace(get_raster_dtype_code=no_dtype)
    with pytest.raises(ValueError, match="unknown dtype"):
        raster._create_(None, 1, 1, 1, "Float33")
    assert "call_gdal_fun" not in rec.names()

    def gdal_fails(*args):
        raise RuntimeError("gdal says no")

    rec.events.clear()
    drv.dtypes = types.SimpleNamespace(get_raster_dtype_code=rec.get_raster_dtype_code)
    drv.call_gdal_fun = gdal_fails
    with pytest.raises(RuntimeError, match="gdal says no"):
        raster.create("p.tif", 1, 1, 1)


# ---- raster creation options (real catalogue, fake GDAL call) --------------------------------


def test_raster_passes_current_creation_values(drv, rec):
    drv.env = types.SimpleNamespace(
        RasterConfig={"creation.options": {"GTiff": {"TILED": True}}}, VectorConfig={}
    )
    d = drv.RasterDriver("GTiff")
    d._create_("a.tif", 1, 1, 1)
    d.set_creation_options(COMPRESS="LZW")
    d._create_("b.tif", 1, 1, 1)
    d._create_("c.tif", 1, 1, 1)
    passed = [e[1][7] for e in rec.events if e[0] == "call_gdal_fun"]
    assert passed == [{"TILED": True}, {"TILED": True, "COMPRESS": "LZW"}, {"TILED": True, "COMPRESS": "LZW"}]
    assert passed[1] is not passed[2]


def test_raster_without_configured_values_passes_empty_dict(drv, rec):
    drv.env = types.SimpleNamespace(RasterConfig={}, VectorConfig={})
    drv.RasterDriver("GTiff")._create_(None, 1, 1, 1)
    assert rec.gdal_call()[1][7] == {}


# ---- raster create ---------------------------------------------------------------------------------


class FakeGeoDatabase:
    made = []

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs
        FakeGeoDatabase.made.append(self)


@pytest.fixture
def fake_geodatabase(monkeypatch):
    FakeGeoDatabase.made = []
    monkeypatch.setattr(geodatabase_module, "GeoDatabase", FakeGeoDatabase)
    return FakeGeoDatabase


@pytest.fixture
def raster_spy(drv, rec):
    class Spy(drv.RasterDriver):
        def _create_(self, *args, **kwargs):
            rec.events.append(("_create_", args, kwargs))
            return rec.handle

    return Spy("GTiff")


def test_raster_create_hands_create_positionally(raster_spy, rec, fake_geodatabase):
    x, y, n, t = object(), object(), object(), object()
    result = raster_spy.create("out.tif", x, y, n, t)
    assert rec.events == [("_create_", ("out.tif", n, y, x, t), {})]
    assert isinstance(result, fake_geodatabase)
    assert result.args == (rec.handle,) and result.kwargs == {}
    raster_spy.create(None, 1, 2, 3)
    assert rec.events[-1] == ("_create_", (None, 3, 2, 1, "Float32"), {})


@pytest.mark.parametrize(
    "call",
    [
        lambda d: d.create(None, 64, 32, 3),
        lambda d: d.create(None, xsize=64, ysize=32, bands=3),
        lambda d: d.create(None, bands=3, xsize=64, ysize=32),
        lambda d: d.create(None, 64, bands=3, ysize=32),
        lambda d: d.create(out_dst=None, xsize=64, ysize=32, bands=3, dtype="Float32"),
    ],
    ids=["positional", "keywords", "keywords-reordered", "mixed", "all-keywords"],
)
def test_size_names_reach_gdal_by_meaning(raster, rec, fake_geodatabase, call):
    call(raster)
    _, args, _ = rec.gdal_call()
    assert args[3:6] == (64, 32, 3)  # width, height, band count


def test_geodatabase_is_imported_at_each_call(raster_spy, rec, monkeypatch):
    class First(FakeGeoDatabase):
        pass

    class Second(FakeGeoDatabase):
        pass

    monkeypatch.setattr(geodatabase_module, "GeoDatabase", First)
    assert type(raster_spy.create(None, 1, 1, 1)) is First
    monkeypatch.setattr(geodatabase_module, "GeoDatabase", Second)
    assert type(raster_spy.create(None, 1, 1, 1)) is Second


@pytest.mark.parametrize("cls", ["RasterDriver", "VectorDriver"])
def test_missing_geodatabase_fails_after_creation(drv, rec, monkeypatch, cls):
    monkeypatch.delattr(geodatabase_module, "GeoDatabase")
    d = getattr(drv, cls)()
    args = (None, 1, 1, 1) if cls == "RasterDriver" else (None,)
    with pytest.raises(ImportError, match="GeoDatabase"):
        d.create(*args)
    assert rec.names()[-1] == "call_gdal_fun"


def test_geodatabase_untouched_when_creation_fails(drv, raster, rec, fake_geodatabase):
    def gdal_fails(*args):
        raise RuntimeError("no")

    drv.call_gdal_fun = gdal_fails
    with pytest.raises(RuntimeError):
        raster.create(None, 1, 1, 1)
    assert fake_geodatabase.made == []


def test_create_result_is_what_geodatabase_returns(raster, rec, monkeypatch):
    marker = object()
    monkeypatch.setattr(geodatabase_module, "GeoDatabase", lambda handle: (marker, handle))
    assert raster.create(None, 1, 1, 1) == (marker, rec.handle)
    assert raster._create_(None, 1, 1, 1) is rec.handle


# ---- vector ------------------------------------------------------------------------------------------


@pytest.mark.parametrize("out_dst, path", [(None, "/vsimem/test/made.shp"), ("", ""), ("x.shp", "x.shp")])
def test_vector_create_arguments(vector, rec, out_dst, path):
    result = vector._create_(out_dst)
    assert result is rec.handle
    expected = ["extension", "mem_temp_path", "call_gdal_fun"] if out_dst is None else ["call_gdal_fun"]
    assert rec.names() == expected
    _, args, kwargs = rec.gdal_call()
    assert kwargs == {}
    assert len(args) == 8
    assert args[0] is _gdal.Driver_Create
    assert args[1] is vector._driver
    assert args[2] == path
    if out_dst is not None:
        assert args[2] is out_dst
    assert args[3:7] == (0, 0, 0, 0)
    assert all(type(a) is int for a in args[3:7])
    assert args[7] == [] and type(args[7]) is list


def test_vector_options_are_new_empty_lists(drv, rec):
    drv.env = types.SimpleNamespace(RasterConfig={}, VectorConfig={})
    d = drv.VectorDriver("ESRI Shapefile")
    layer_option = next(iter(d.creation_options_info))
    d.set_creation_options(**{layer_option: "chosen"})
    assert d.creation_options == {layer_option: "chosen"}
    d._create_(None)
    first = rec.gdal_call()[1][7]
    first.append("MUTATED=1")
    rec.events.clear()
    d._create_(None)
    second = rec.gdal_call()[1][7]
    assert second == [] and second is not first


def test_vector_create_wraps(vector, rec, fake_geodatabase, drv):
    class Spy(drv.VectorDriver):
        def _create_(self, *args, **kwargs):
            rec.events.append(("_create_", args, kwargs))
            return rec.handle

    result = Spy().create(out_dst="n.shp")
    assert rec.events == [("_create_", ("n.shp",), {})]
    assert isinstance(result, fake_geodatabase) and result.args == (rec.handle,)
    assert vector._create_(None) is rec.handle

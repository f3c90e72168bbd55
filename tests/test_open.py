"""Opening files with a driver: the flags it asks for, what it hands to the
dataset opener, and real files opened through GDAL."""

import importlib
import inspect
import subprocess
import sys
import textwrap
import types
import zipfile

import pytest

from conftest import find_drivers
from fakes import FakeEnv

GEODATABASE = "vek._algos.geo.geodatabase"

R = {"DCAP_RASTER": "YES"}
V = {"DCAP_VECTOR": "YES"}
RV = {"DCAP_RASTER": "YES", "DCAP_VECTOR": "YES"}
CREATE = {"DCAP_CREATE": "YES"}


@pytest.fixture(autouse=True)
def no_config(drv):
    drv.env = FakeEnv()


@pytest.fixture
def geodatabase():
    return importlib.import_module(GEODATABASE)


@pytest.fixture
def opened(monkeypatch, geodatabase):
    """Replaces geodatabase.open_file by a recorder; the list holds one
    (args, kwargs) per call, and each call returns a new object."""
    calls = []

    def open_file(*args, **kwargs):
        calls.append((args, kwargs))
        return types.SimpleNamespace(number=len(calls))

    monkeypatch.setattr(geodatabase, "open_file", open_file)
    return calls


# ---- flags -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, meta, flags",
    [
        ("Driver", {**R, **CREATE}, 27),
        ("Driver", R, 26),
        ("Driver", {**V, **CREATE}, 5),
        ("Driver", V, 4),
        ("Driver", {**RV, **CREATE}, 1),
        ("Driver", RV, 0),
        ("Driver", CREATE, 1),
        ("Driver", {}, 0),
        ("Driver", {**R, "DCAP_CREATE": "yes"}, 27),
        ("Driver", {**V, "DCAP_CREATE": "NO"}, 4),
        ("RasterDriver", {**RV, **CREATE}, 27),
        ("RasterDriver", RV, 26),
        ("VectorDriver", {**RV, **CREATE}, 5),
        ("VectorDriver", RV, 4),
    ],
)
def test_flags_from_category_and_creation(drv, fake_gdal, opened, cls, meta, flags):
    d = getattr(drv, cls)(fake_gdal.add("N", **meta))
    d.open("path")
    (args, kwargs), = opened
    assert args[1] == flags and type(args[1]) is int


def first_real(**flags):
    names = find_drivers(**flags)
    if not names:
        pytest.skip(f"no registered driver with {flags}")
    return names[0]


@pytest.mark.parametrize(
    "cls, flags, expected",
    [
        ("RasterDriver", dict(DCAP_RASTER=True, DCAP_CREATE=True), 27),
        ("RasterDriver", dict(DCAP_RASTER=True, DCAP_CREATE=False), 26),
        ("VectorDriver", dict(DCAP_VECTOR=True, DCAP_CREATE=True), 5),
        ("VectorDriver", dict(DCAP_VECTOR=True, DCAP_CREATE=False), 4),
        ("Driver", dict(DCAP_RASTER=True, DCAP_VECTOR=True, DCAP_CREATE=True), 1),
        ("Driver", dict(DCAP_RASTER=True, DCAP_VECTOR=True, DCAP_CREATE=False), 0),
        ("Driver", dict(DCAP_RASTER=True, DCAP_VECTOR=False, DCAP_CREATE=True), 27),
        ("Driver", dict(DCAP_RASTER=False, DCAP_VECTOR=True, DCAP_CREATE=False), 4),
    ],
)
def test_flags_of_real_drivers(drv, opened, cls, flags, expected):
    getattr(drv, cls)(first_real(**flags)).open("path")
    assert opened[0][0][1] == expected


def test_category_compared_exactly(drv, opened):
    class Lower(drv.Driver):
        category = property(lambda self: "raster")
        creatable = property(lambda self: 0)

    Lower("GTiff").open("p")
    assert opened[0][0][1] == 0


# ---- what open_file gets -----------------------------------------------------------------


def test_five_positional_arguments_in_order(drv, opened):
    d = drv.Driver("GTiff")
    d.set_open_options(NUM_THREADS="2")
    source, siblings = object(), ["a.tfw"]
    result = d.open(source, siblings)
    (args, kwargs), = opened
    assert kwargs == {}
    assert len(args) == 5
    assert args[0] is source
    assert args[1] == 27
    assert args[2] == ["GTiff"] and type(args[2]) is list
    assert args[3] == {"NUM_THREADS": "2"} == d.open_options
    assert args[4] is siblings
    assert result.number == 1


def test_keywords_and_result_unchanged(drv, opened):
    d = drv.Driver("ESRI Shapefile")
    first = d.open(in_src="x.shp", sibling_files=None)
    second = d.open("x.shp")
    assert opened[0][0][4] is None
    assert (first.number, second.number) == (1, 2)
    assert opened[0][0][2] is not opened[1][0][2]  # a new driver list each call


def test_no_open_options_gives_an_empty_dict(drv, opened):
    drv.Driver("GTiff").open("p")
    assert opened[0][0][3] == {}


def test_configured_open_defaults_are_passed(drv, opened):
    drv.env = FakeEnv(raster={"GTiff": {"NUM_THREADS": "ALL_CPUS", "COMPRESS": "LZW"}})
    drv.Driver("GTiff").open("p")
    assert opened[0][0][3] == {"NUM_THREADS": "ALL_CPUS"}


def test_default_sibling_list_is_one_shared_object(drv, opened):
    d = drv.Driver("GTiff")
    d.open("a")
    drv.Driver("ESRI Shapefile").open("b")
    default = drv.Driver.open.__defaults__[0]
    assert drv.Driver.open.__defaults__ == ([],)
    assert drv.Driver.open.__kwdefaults__ is None
    assert opened[0][0][4] is opened[1][0][4] is default
    assert str(inspect.signature(drv.Driver.open)) == "(self, in_src, sibling_files=[])"


def test_values_are_read_through_the_instance(drv, opened):
    class Custom(drv.Driver):
        name = property(lambda self: "Custom name")
        category = property(lambda self: "Vector")
        creatable = property(lambda self: [1])
        open_options = property(lambda self: {"from": "override"})

    Custom("GTiff").open("p")
    assert opened[0][0][1:4] == (5, ["Custom name"], {"from": "override"})


class RecordingGeodatabase(types.ModuleType):
    """A module whose ``open_file`` attribute logs when it is fetched."""

    def __init__(self, log):
        super().__init__(GEODATABASE)
        self.log = log

    @property
    def open_file(self):
        self.log.append("import open_file")

        def open_file(*args):
            self.log.append(("open_file",) + args)
            return "dataset"

        return open_file


def test_order_of_reads_import_and_call(drv, fake_gdal, monkeypatch):
    log = fake_gdal.calls
    monkeypatch.setitem(sys.modules, GEODATABASE, RecordingGeodatabase(log))
    handle = fake_gdal.add("N", **V, DMD_OPENOPTIONLIST="<L><Option name='O'/></L>")
    d = drv.Driver(handle)
    assert d.open("p", None) == "dataset"

    def short(entry):
        if entry[0] == "MajorObject_GetMetadataItem":
            return entry[2]
        if entry[0] == "Driver_ShortName_get":
            return "name"
        return entry if isinstance(entry, str) else entry[0]

    assert [short(e) for e in log] == [
        "DMD_OPENOPTIONLIST",  # open options first (builds the catalogue)
        "DCAP_RASTER",  # ... whose defaults depend on the kind
        "name",
        "DCAP_RASTER",  # category, compared with "Raster"
        "DCAP_VECTOR",
        "DCAP_RASTER",  # category again, compared with "Vector"
        "DCAP_VECTOR",
        "DCAP_CREATE",
        "import open_file",
        "name",
        "open_file",
    ]
    assert log[-1] == ("open_file", "p", 4, ["N"], {}, None)


def test_open_file_is_imported_at_every_call(drv, opened, monkeypatch, geodatabase):
    d = drv.Driver("GTiff")
    d.open("a")
    monkeypatch.setattr(geodatabase, "open_file", lambda *args: "replacement")
    assert d.open("b") == "replacement"
    monkeypatch.delattr(geodatabase, "open_file")
    with pytest.raises(ImportError) as info:
        d.open("c")
    assert str(info.value) == "cannot import name open_file"
    assert len(opened) == 1


def test_nothing_is_stored_and_errors_propagate(drv, monkeypatch, geodatabase):
    def open_file(*args):
        raise OSError("opener failed")

    monkeypatch.setattr(geodatabase, "open_file", open_file)
    d = drv.Driver("GTiff")
    d.set_open_options(NUM_THREADS="1")
    with pytest.raises(OSError, match="opener failed"):
        d.open("p")
    assert list(vars(d)) == ["_driver", "_open_opts", "_creation_opts"]
    assert d.open_options == {"NUM_THREADS": "1"}


# ---- real files through the package's opener -----------------------------------------------


@pytest.fixture
def real_opener(geodatabase):
    if not callable(getattr(geodatabase, "open_file", None)):
        pytest.skip("geodatabase.open_file is not available")
    return geodatabase


def make_files(tmp_path):
    """A 5x4 GeoTIFF of two bands with a world file beside it, and a point
    Shapefile with one layer, made by GDAL in a child process (which may
    import osgeo.gdal)."""
    code = textwrap.dedent(
        f"""
        from osgeo import gdal, ogr
        gdal.GetDriverByName("GTiff").Create({str(tmp_path / "a.tif")!r}, 5, 4, 2)
        ds = ogr.GetDriverByName("ESRI Shapefile").CreateDataSource({str(tmp_path / "b.shp")!r})
        ds.CreateLayer("b", geom_type=ogr.wkbPoint)
        ds = None
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    (tmp_path / "a.tfw").write_text("2\n0\n0\n-2\n100.5\n200.5\n")
    return tmp_path / "a.tif", tmp_path / "b.shp"


@pytest.mark.parametrize("cls", ["Driver", "RasterDriver"])
def test_real_geotiff(drv, real_opener, tmp_path, cls):
    tif, _ = make_files(tmp_path)
    with getattr(drv, cls)("GTiff").open(str(tif)) as ds:
        assert isinstance(ds, real_opener.GeoDatabase)
        assert (ds.driver_name, ds.xsize, ds.ysize, ds.band_count) == ("GTiff", 5, 4, 2)
        assert ds.update is True


@pytest.mark.parametrize("cls", ["Driver", "VectorDriver"])
def test_real_shapefile(drv, real_opener, tmp_path, cls):
    _, shp = make_files(tmp_path)
    with getattr(drv, cls)("ESRI Shapefile").open(str(shp), None) as ds:
        assert isinstance(ds, real_opener.GeoDatabase)
        assert (ds.driver_name, ds.layer_count, ds.band_count) == ("ESRI Shapefile", 1, 0)


def test_open_options_reach_gdal(drv, real_opener, tmp_path):
    from osgeo import _gdal

    tif, _ = make_files(tmp_path)
    d = drv.Driver("GTiff")
    if "GEOREF_SOURCES" not in d.open_options_info:
        pytest.skip("GTiff has no GEOREF_SOURCES open option")
    with d.open(str(tif)) as ds:  # the world file is read by default
        assert _gdal.Dataset_GetGeoTransform(ds.handle) == (99.5, 2.0, 0.0, 201.5, 0.0, -2.0)
    d.set_open_options(GEOREF_SOURCES="INTERNAL")
    with d.open(str(tif)) as ds:
        assert _gdal.Dataset_GetGeoTransform(ds.handle) == (0.0, 1.0, 0.0, 0.0, 0.0, 1.0)


def test_missing_file_names_the_path(drv, real_opener, tmp_path):
    missing = tmp_path / "missing.tif"
    with pytest.raises(Exception) as info:
        drv.Driver("GTiff").open(str(missing))
    message = str(info.value)
    assert str(missing) in message and message.strip() != str(missing)


def test_file_of_another_format_names_the_path(drv, real_opener, tmp_path):
    _, shp = make_files(tmp_path)
    with pytest.raises(Exception) as info:
        drv.RasterDriver("GTiff").open(str(shp))
    assert str(shp) in str(info.value)


def test_read_only_file_opens_although_update_was_asked(drv, real_opener, tmp_path):
    tif, _ = make_files(tmp_path)
    archive = tmp_path / "a.zip"
    with zipfile.ZipFile(archive, "w") as zf:
        zf.write(tif, "a.tif")
    d = drv.Driver("GTiff")
    assert d.creatable  # so update access is asked for
    with d.open(f"/vsizip/{archive}/a.tif") as ds:
        assert (ds.xsize, ds.band_count) == (5, 2)
        assert ds.update is False

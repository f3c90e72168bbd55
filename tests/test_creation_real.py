"""Datasets created through RasterDriver and VectorDriver are real: GDAL
itself reads them back with the asked sizes, types, compression, tiling and
layers; in-memory datasets leave nothing behind; failures hand back nothing
and leave no half-made file."""

import os
import posixpath
import subprocess
import sys
import textwrap
import types

import pytest
from osgeo import _gdal

import vek._algos.geo.base as base
import vek._algos.geo.geodatabase as geodatabase
from conftest import find_drivers

RaterDataType = base.dtypes.RaterDataType


@pytest.fixture(autouse=True)
def plain_config(drv):
    """No configured creation defaults: only what a test sets reaches GDAL."""
    drv.env = types.SimpleNamespace(RasterConfig={}, VectorConfig={})


def open_dataset(path, flags=0):
    ds = _gdal.OpenEx(path, flags)
    assert ds is not None, path
    return ds


def raster_facts(handle):
    band = _gdal.Dataset_GetRasterBand(handle, 1)
    return {
        "xsize": _gdal.Dataset_RasterXSize_get(handle),
        "ysize": _gdal.Dataset_RasterYSize_get(handle),
        "bands": _gdal.Dataset_RasterCount_get(handle),
        "dtype": _gdal.Band_DataType_get(band),
        "block": tuple(_gdal.Band_GetBlockSize(band)),
        "compression": _gdal.MajorObject_GetMetadataItem(handle, "COMPRESSION", "IMAGE_STRUCTURE"),
    }


def read_back(path):
    ds = open_dataset(path)
    try:
        return raster_facts(ds)
    finally:
        _gdal.delete_Dataset(ds)


def mem_exists(path):
    stat = _gdal.VSIStatL(path)
    if stat is None:
        return False
    _gdal.delete_StatBuf(stat)
    return True


def mem_entries(path):
    """What the in-memory directory of ``path`` holds for that dataset."""
    folder, name = posixpath.split(path)
    stem = name.split(".", 1)[0]
    return [e for e in (_gdal.ReadDirRecursive(folder) or []) if e.startswith(stem)]


def memory_vector_driver():
    for name in ("Memory", "MEM"):
        if name in find_drivers(DCAP_VECTOR=True, DCAP_CREATE=True):
            return name
    pytest.skip("no in-memory vector driver registered")


def add_layer(db, name="points"):
    layer = _gdal.Dataset_CreateLayer(db.handle, name, None, 1, [])  # 1: wkbPoint
    assert layer is not None


# ---- GeoTIFF on disk ---------------------------------------------------------------


@pytest.mark.parametrize("tiled", ["YES", True], ids=["str", "bool"])
def test_geotiff_keeps_compression_and_tiling(drv, tmp_path, tiled):
    d = drv.RasterDriver("GTiff")
    d.set_creation_options(COMPRESS="LZW", TILED=tiled)
    path = str(tmp_path / "made.tif")
    db = d.create(path, 100, 40, 2, "UInt16")
    assert isinstance(db, geodatabase.GeoDatabase)
    db.close()

    facts = read_back(path)
    assert facts["compression"] == "LZW"
    assert (facts["xsize"], facts["ysize"], facts["bands"]) == (100, 40, 2)
    assert facts["dtype"] == RaterDataType.UInt16
    # Tiles are square-ish multiples of 16; a strip would be the full 100-pixel row.
    bx, by = facts["block"]
    assert bx % 16 == 0 and by % 16 == 0 and bx != 100


def test_geotiff_without_options_is_plain(drv, tmp_path):
    path = str(tmp_path / "plain.tif")
    drv.RasterDriver("GTiff").create(path, 100, 40, 1).close()
    facts = read_back(path)
    assert facts["compression"] is None
    assert facts["block"][0] == 100
    assert facts["dtype"] == RaterDataType.Float32


def test_options_stay_for_later_creations(drv, tmp_path):
    d = drv.RasterDriver("GTiff")
    d.set_creation_options(COMPRESS="DEFLATE")
    for name in ("one.tif", "two.tif"):
        d.create(str(tmp_path / name), 8, 8, 1, "Byte").close()
        assert read_back(str(tmp_path / name))["compression"] == "DEFLATE"


# ---- in-memory rasters -------------------------------------------------------------------


@pytest.mark.parametrize(
    "dtype, code",
    [
        ("Byte", RaterDataType.Byte),
        (RaterDataType.Int16, RaterDataType.Int16),
        (int(RaterDataType.Float64), RaterDataType.Float64),
        (None, RaterDataType.Float32),
    ],
    ids=["str", "enum", "int", "default"],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda d, *t: d.create(None, 64, 32, 3, *t),
        lambda d, *t: d.create(None, xsize=64, ysize=32, bands=3, **({"dtype": t[0]} if t else {})),
    ],
    ids=["positional", "keywords"],
)
def test_memory_raster_has_asked_shape_and_type(drv, call, dtype, code):
    d = drv.RasterDriver("GTiff")
    db = call(d, *([] if dtype is None else [dtype]))
    path = db.path
    assert path.startswith("/vsimem/") and path.endswith("." + d.extension)
    facts = raster_facts(db.handle)
    assert (facts["xsize"], facts["ysize"], facts["bands"]) == (64, 32, 3)
    assert facts["dtype"] == code
    assert mem_exists(path)
    db.close()
    assert not mem_exists(path)
    assert mem_entries(path) == []


@pytest.mark.parametrize("name", ["GTiff", "ENVI", "HFA", "MEM"])
def test_memory_raster_and_its_side_files_are_cleaned(drv, name):
    # ENVI writes a .hdr beside its data file; MEM writes no file at all.
    if name not in find_drivers(DCAP_RASTER=True, DCAP_CREATE=True):
        pytest.skip(name + " cannot create here")
    db = drv.RasterDriver(name).create(None, 4, 3, 2, "Byte")
    path = db.path
    assert raster_facts(db.handle)["xsize"] == 4
    assert raster_facts(db.handle)["bands"] == 2
    db.close()
    assert not mem_exists(path)
    assert mem_entries(path) == []


# ---- vector datasets ---------------------------------------------------------------------------


def test_new_shapefile_accepts_a_layer(drv, tmp_path):
    path = str(tmp_path / "new.shp")
    db = drv.VectorDriver().create(path)
    assert isinstance(db, geodatabase.GeoDatabase)
    assert db.layer_count == 0
    add_layer(db)
    assert db.layer_count == 1
    db.close()
    assert {"new.dbf", "new.shp", "new.shx"} <= set(os.listdir(tmp_path))
    ds = open_dataset(path, 4)  # vector
    try:
        assert _gdal.Dataset_GetLayerCount(ds) == 1
    finally:
        _gdal.delete_Dataset(ds)


@pytest.mark.parametrize("name", ["GPKG", "memory"])
def test_new_memory_vector_dataset_accepts_a_layer(drv, name):
    if name == "memory":
        name = memory_vector_driver()
    d = drv.VectorDriver(name)
    db = d.create(None)
    path = db.path
    assert path.startswith("/vsimem/")
    assert db.layer_count == 0
    add_layer(db, "first")
    add_layer(db, "second")
    assert db.layer_count == 2
    db.close()
    assert not mem_exists(path)
    assert mem_entries(path) == []


def test_memory_gpkg_holds_a_file_until_closed(drv):
    db = drv.VectorDriver("GPKG").create(None)
    add_layer(db)
    assert db.path.endswith(".gpkg")
    assert mem_exists(db.path)
    db.close()
    assert not mem_exists(db.path)


# ---- failures ---------------------------------------------------------------------------------------


def test_unknown_dtype_fails_before_gdal(drv, tmp_path, monkeypatch):
    made, paths = [], []
    monkeypatch.setattr(geodatabase, "GeoDatabase", lambda h: made.append(h))
    drv.mem_temp_path = lambda ext: paths.append(base.mem_temp_path(ext)) or paths[-1]
    d = drv.RasterDriver("GTiff")
    with pytest.raises((ValueError, TypeError), match="Float33"):
        d.create(None, 8, 8, 1, "Float33")
    with pytest.raises((ValueError, TypeError), match="Float33"):
        d.create(str(tmp_path / "x.tif"), 8, 8, 1, "Float33")
    assert made == []
    assert os.listdir(tmp_path) == []
    (path,) = paths
    assert not mem_exists(path) and mem_entries(path) == []


@pytest.mark.parametrize(
    "cls, name, file, args",
    [
        ("RasterDriver", "GTiff", "x.tif", (8, 8, 1)),
        ("VectorDriver", "GPKG", "x.gpkg", ()),
    ],
)
def test_unwritable_path_raises_clear_error(drv, tmp_path, monkeypatch, cls, name, file, args):
    made = []
    monkeypatch.setattr(geodatabase, "GeoDatabase", lambda h: made.append(h))
    path = str(tmp_path / "missing" / file)
    with pytest.raises(drv.error.GDALError) as info:
        getattr(drv, cls)(name).create(path, *args)
    assert info.value.function == "Driver_Create"
    assert info.value.gdal_message and info.value.gdal_message in str(info.value)
    assert made == []
    assert os.listdir(tmp_path) == []


def test_gdal_failure_after_opening_file_leaves_nothing(drv, tmp_path, monkeypatch):
    # GTiff opens the file, then refuses JPEG for 32-bit floats and hands
    # back a dataset together with the error.
    made = []
    monkeypatch.setattr(geodatabase, "GeoDatabase", lambda h: made.append(h))
    d = drv.RasterDriver("GTiff")
    d.set_creation_options(COMPRESS="JPEG")
    path = str(tmp_path / "half.tif")
    with pytest.raises(drv.error.GDALError):
        d.create(path, 8, 8, 1, "Float32")
    assert made == []
    assert os.listdir(tmp_path) == []


def test_memory_failure_leaves_nothing(drv, monkeypatch):
    paths = []
    real = base.mem_temp_path

    def remember(ext):
        paths.append(real(ext))
        return paths[-1]

    drv.mem_temp_path = remember
    d = drv.RasterDriver("GTiff")
    d.set_creation_options(COMPRESS="JPEG")
    with pytest.raises(drv.error.GDALError):
        d.create(None, 8, 8, 1, "Float32")
    (path,) = paths
    assert not mem_exists(path) and mem_entries(path) == []


# ---- in a child process -------------------------------------------------------------------------------


def run_child(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


def test_creation_with_gdal_proxies(tmp_path):
    """With osgeo.gdal imported the binding hands out proxy objects; creation
    works all the same and closing does not close twice."""
    result = run_child(
        f"""
        from osgeo import gdal
        import vek._algos.geo.driver as drv
        d = drv.RasterDriver("GTiff")
        d.set_creation_options(COMPRESS="LZW", TILED=True)
        db = d.create({str(tmp_path / "p.tif")!r}, 100, 40, 2, "Byte")
        db.close()
        ds = gdal.Open({str(tmp_path / "p.tif")!r})
        print(ds.RasterXSize, ds.RasterYSize, ds.RasterCount,
              ds.GetMetadataItem("COMPRESSION", "IMAGE_STRUCTURE"), ds.GetRasterBand(1).GetBlockSize()[0] % 16)
        ds = None
        mem = d.create(None, 4, 3, 1)
        path = mem.path
        mem.close()
        v = drv.VectorDriver("GPKG").create(None)
        v.close()
        import gc; gc.collect()
        print(gdal.VSIStatL(path) is None, gdal.VSIStatL(v.path) is None)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["100", "40", "2", "LZW", "0", "True", "True"]


def test_creation_with_gdal_exceptions_enabled(tmp_path):
    result = run_child(
        f"""
        from osgeo import _gdal
        (getattr(_gdal, "UseExceptions", None) or _gdal._UseExceptions)()
        import vek._algos.geo.driver as drv
        db = drv.RasterDriver("GTiff").create(None, 5, 6, 2, "Byte")
        print(db.xsize, db.ysize, db.band_count)
        db.close()
        try:
            drv.RasterDriver("GTiff").create({str(tmp_path / "missing" / "x.tif")!r}, 5, 6, 1)
        except drv.error.GDALError as exc:
            print("GDALError")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["5", "6", "2", "GDALError"]


def test_failed_creation_prints_nothing(tmp_path):
    result = run_child(
        f"""
        import vek._algos.geo.driver as drv
        d = drv.RasterDriver("GTiff")
        d.set_creation_options(COMPRESS="JPEG")
        try:
            d.create({str(tmp_path / "half.tif")!r}, 8, 8, 1, "Float32")
        except drv.error.GDALError:
            print("raised")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["raised"]
    assert result.stderr == ""

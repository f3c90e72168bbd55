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


@pytest.fixture
def nothing_wrapped(monkeypatch):
    """GeoDatabase replaced by a recorder of what it would have wrapped."""
    made = []
    monkeypatch.setattr(geodatabase, "GeoDatabase", made.append)
    return made


@pytest.fixture
def mem_paths(drv):
    """The in-memory paths that mem_temp_path hands out during the test."""
    paths = []
    drv.mem_temp_path = lambda ext: paths.append(base.mem_temp_path(ext)) or paths[-1]
    return paths


def open_dataset(path, flags=0):
    ds = _gdal.OpenEx(path, flags)
    assert ds is not None, path
    return ds


def raster_facts(handle):
    band = _gdal.Dataset_GetRasterBand(handle, 1)
    return {
        "size": (_gdal.Dataset_RasterXSize_get(handle), _gdal.Dataset_RasterYSize_get(handle),
                 _gdal.Dataset_RasterCount_get(handle)),
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


def mem_gone(path):
    """Neither the in-memory file nor any side file of the same stem is left."""
    stat = _gdal.VSIStatL(path)
    if stat is not None:
        _gdal.delete_StatBuf(stat)
        return False
    folder, name = posixpath.split(path)
    return not [e for e in (_gdal.ReadDirRecursive(folder) or []) if e.startswith(name.split(".", 1)[0])]


@pytest.mark.parametrize("tiled", ["YES", True], ids=["str", "bool"])
def test_geotiff_keeps_compression_and_tiling(drv, tmp_path, tiled):
    drv.RasterDriver("GTiff").create(str(tmp_path / "plain.tif"), 100, 40, 1).close()
    facts = read_back(str(tmp_path / "plain.tif"))
    assert (facts["compression"], facts["block"][0], facts["dtype"]) == (None, 100, RaterDataType.Float32)
    d = drv.RasterDriver("GTiff")
    d.set_creation_options(COMPRESS="LZW", TILED=tiled)
    for name in ("one.tif", "two.tif"):  # the options stay for later creations
        db = d.create(str(tmp_path / name), 100, 40, 2, "UInt16")
        assert isinstance(db, geodatabase.GeoDatabase)
        db.close()
        facts = read_back(str(tmp_path / name))
        assert facts["compression"] == "LZW" and facts["size"] == (100, 40, 2)
        assert facts["dtype"] == RaterDataType.UInt16
        bx, by = facts["block"]  # tiles are multiples of 16; a strip would be the full 100-pixel row
        assert bx % 16 == 0 and by % 16 == 0 and bx != 100


@pytest.mark.parametrize("dtype, code", [
    ("Byte", RaterDataType.Byte), (RaterDataType.Int16, RaterDataType.Int16),
    (int(RaterDataType.Float64), RaterDataType.Float64), (None, RaterDataType.Float32),
], ids=["str", "enum", "int", "default"])
@pytest.mark.parametrize("call", [
    lambda d, *t: d.create(None, 64, 32, 3, *t),
    lambda d, *t: d.create(None, xsize=64, ysize=32, bands=3, **({"dtype": t[0]} if t else {})),
], ids=["positional", "keywords"])
def test_memory_raster_has_asked_shape_and_type(drv, call, dtype, code):
    d = drv.RasterDriver("GTiff")
    db = call(d, *([] if dtype is None else [dtype]))
    path = db.path
    assert path.startswith("/vsimem/") and path.endswith("." + d.extension)
    facts = raster_facts(db.handle)
    assert facts["size"] == (64, 32, 3) and facts["dtype"] == code
    assert not mem_gone(path)
    db.close()
    assert mem_gone(path)


@pytest.mark.parametrize("name, out", [("ESRI Shapefile", "new.shp"), ("GPKG", None), ("memory", None)])
def test_new_vector_dataset_accepts_layers(drv, tmp_path, name, out):
    if name == "memory":
        name = next((n for n in ("Memory", "MEM") if n in find_drivers(DCAP_VECTOR=True, DCAP_CREATE=True)), None)
        if name is None:
            pytest.skip("no in-memory vector driver registered")
    db = drv.VectorDriver(name).create(out and str(tmp_path / out))
    assert isinstance(db, geodatabase.GeoDatabase) and db.layer_count == 0
    assert out or db.path.startswith("/vsimem/")
    for layer in ("first", "second"):
        assert _gdal.Dataset_CreateLayer(db.handle, layer, None, 1, []) is not None  # 1: wkbPoint
    assert db.layer_count == 2
    if name == "GPKG":
        assert db.path.endswith(".gpkg") and not mem_gone(db.path)  # a file until closed
    db.close()
    if out:
        assert {"new.dbf", "new.shp", "new.shx", "second.shp"} <= set(os.listdir(tmp_path))
        ds = open_dataset(str(tmp_path / out), 4)  # vector
        assert _gdal.Dataset_GetLayerCount(ds) == 1  # the first layer went into new.shp
        _gdal.delete_Dataset(ds)
    else:
        assert mem_gone(db.path)


@pytest.mark.parametrize("cls, name, args, options, error", [
    ("RasterDriver", "GTiff", ("x.tif", 8, 8, 1, "Float33"), {}, "Float33"),  # a type GDAL does not know
    ("RasterDriver", "GTiff", ("missing/x.tif", 8, 8, 1), {}, "Driver_Create"),  # a path GDAL cannot write
    ("VectorDriver", "GPKG", ("missing/x.gpkg",), {}, "Driver_Create"),
    # GTiff opens the file, then refuses JPEG for 32-bit floats and hands back a dataset with the error.
    ("RasterDriver", "GTiff", ("half.tif", 8, 8, 1, "Float32"), {"COMPRESS": "JPEG"}, "Driver_Create"),
])
def test_failed_creation_hands_back_nothing_and_leaves_nothing(drv, tmp_path, nothing_wrapped, mem_paths, cls, name,
                                                               args, options, error):
    d = getattr(drv, cls)(name)
    d.set_creation_options(**options)
    for out in [str(tmp_path / args[0])] + ([None] if "missing" not in args[0] else []):
        with pytest.raises(Exception) as info:
            d.create(out, *args[1:])
        if error == "Driver_Create":
            assert isinstance(info.value, drv.error.GDALError) and info.value.function == error
            assert info.value.gdal_message and info.value.gdal_message in str(info.value)
        else:
            assert isinstance(info.value, (ValueError, TypeError)) and error in str(info.value)
    assert nothing_wrapped == [] and os.listdir(tmp_path) == []
    assert len(mem_paths) == ("missing" not in args[0]) and all(mem_gone(path) for path in mem_paths)


PRELUDES = {"plain": "", "exceptions": '(getattr(_gdal, "UseExceptions", None) or _gdal._UseExceptions)()',
            "proxies": "from osgeo import gdal  # the binding hands out proxy objects from now on"}


def in_child(prelude, code):
    """Runs `code` in a fresh process after `prelude`; returns (stdout, stderr)."""
    script = "from osgeo import _gdal\n" + PRELUDES[prelude] + "\nimport vek._algos.geo.driver as drv\n"
    proc = subprocess.run([sys.executable, "-c", script + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout, proc.stderr


@pytest.mark.parametrize("prelude", list(PRELUDES))
def test_creation_in_a_fresh_process(tmp_path, prelude):
    path = str(tmp_path / "p.tif")
    out, err = in_child(prelude, f"""
        d = drv.RasterDriver("GTiff")
        d.set_creation_options(COMPRESS="LZW", TILED=True)
        d.create({path!r}, 100, 40, 2, "Byte").close()
        mem, vec = d.create(None, 5, 6, 2), drv.VectorDriver("GPKG").create(None)
        print(mem.xsize, mem.ysize, mem.band_count)
        mem.close(), vec.close()  # closed once, also with proxies
        import gc; gc.collect()
        print(_gdal.VSIStatL(mem.path) is None, _gdal.VSIStatL(vec.path) is None)
        try:
            d.create({str(tmp_path / "missing" / "x.tif")!r}, 5, 6, 1)
        except drv.error.GDALError:
            print("GDALError")
        """)
    assert out.split() == ["5", "6", "2", "True", "True", "GDALError"] and err == ""
    facts = read_back(path)
    assert (facts["size"], facts["compression"], facts["block"][0] % 16) == ((100, 40, 2), "LZW", 0)


# GDAL 3.6's binding (the one whose low-level module still has UseExceptions)
# raises for a Driver_Create that made a dataset and failed afterwards without
# handing the dataset back: it is never closed and SWIG prints a leak warning
# on stdout. GDAL 3.10's binding does not (checked on Debian 13).
OLD_BINDING_DROPS_IT = pytest.mark.xfail(hasattr(_gdal, "UseExceptions"), strict=True, reason=(
    "GDAL 3.6's binding drops a half-made dataset when exceptions are on"))


@pytest.mark.parametrize("prelude", ["plain", pytest.param("exceptions", marks=OLD_BINDING_DROPS_IT)])
def test_half_made_dataset_is_dropped_quietly(tmp_path, prelude):
    # GTiff opens the file, then refuses JPEG for 32-bit floats and hands back a dataset with the error.
    out, err = in_child(prelude, f"""
        d = drv.RasterDriver("GTiff")
        d.set_creation_options(COMPRESS="JPEG")
        try:
            d.create({str(tmp_path / "half.tif")!r}, 8, 8, 1, "Float32")
        except drv.error.GDALError:
            print("GDALError")
        """)
    assert (out, err) == ("GDALError\n", "") and os.listdir(tmp_path) == []

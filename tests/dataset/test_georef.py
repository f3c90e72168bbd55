"""Rasters created where they lie (``GeoDatabase.georeference``, ``vek-drivers
create --srs --bounds --nodata``), read back by GDAL's own gdalinfo
(``gdal.Info`` in a child process); bad input sets nothing, and a raster
GDAL refuses to georeference is not left behind."""

import json
import math
import subprocess
import sys
import textwrap

import pytest
from osgeo import _gdal

from conftest import metadata
from vek import cli
from vek._algos.geo import base, driver

INFO = """
    import json, sys
    from osgeo import gdal
    gdal.UseExceptions()
    print(json.dumps(gdal.Info(sys.argv[1], format="json")))
"""


def gdalinfo(path):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(INFO), str(path)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def raster_path(tmp_path, name):
    if _gdal.GetDriverByName(name) is None:
        pytest.skip(f"GDAL here has no {name} driver")
    return tmp_path / f"r.{metadata(name, 'DMD_EXTENSION') or 'dat'}"


def create(capsys, *argv):
    try:
        code = cli.main(["create", *argv])
    except SystemExit as exc:
        code = exc.code
    return (code, *capsys.readouterr())


@pytest.mark.parametrize("name, dtype, nodata", [("GPKG", "Byte", None), ("GPKG", "Float32", "-9999"),
                                                  ("GTiff", "Int16", "-32768"), ("PNG", "Byte", "0"),
                                                  ("GTiff", "Float32", "-3.4028235e+38")])  # -FLT_MAX as gdalinfo prints it
def test_created_rasters_lie_where_they_were_put(capsys, tmp_path, name, dtype, nodata):
    path = raster_path(tmp_path, name)  # PNG writes by copy: its in-memory source is georeferenced
    code, out, err = create(capsys, name, str(path), "--size", "10", "20", "--dtype", dtype, "--srs", "EPSG:32632",
                            "--bounds", "500000", "0", "501000", "2000", *([f"--nodata={nodata}"] if nodata else []))
    assert code == 0 and "bounds     500000 0 501000 2000" in out, err
    info = gdalinfo(path)
    assert info["geoTransform"] == [500000.0, 100.0, 0.0, 2000.0, 0.0, -100.0]
    assert info["stac"]["proj:epsg"] == 32632
    assert info["bands"][0].get("noDataValue") == (float(nodata) if nodata else None)


def new_raster(tmp_path, dtype="Float32", name="GTiff"):
    return driver.RasterDriver(name).create(str(raster_path(tmp_path, name)), 4, 2, 2, dtype)


@pytest.mark.parametrize("dtype, nodata, shown", [("Float32", "nan", "NaN"), ("UInt64", str(2 ** 64 - 1), str(2 ** 64 - 1)),
                                                   ("Float32", 3.4028235e38, 3.4028235e38)])  # FLT_MAX, as gdalinfo prints it
def test_a_transform_and_every_band_s_nodata(tmp_path, dtype, nodata, shown):
    if dtype not in driver.dtypes.dtype_names():
        pytest.skip(f"GDAL here has no {dtype} rasters")
    with new_raster(tmp_path, dtype) as ds:  # a UInt64 nodata as a double would be 2**64, out of range
        ds.georeference("EPSG:4326", transform=(10, 0.5, 0, 50, 0, -0.5), nodata=nodata)
    info = gdalinfo(ds.path)
    assert info["geoTransform"] == [10.0, 0.5, 0.0, 50.0, 0.0, -0.5] and info["stac"]["proj:epsg"] == 4326
    assert [b["noDataValue"] for b in info["bands"]] == [shown, shown]


BAD = [({"srs": "EPSG:99999"}, "cannot read spatial reference"), ({"srs": "EPSG:4326\0x"}, "null byte"),
       ({"bounds": (0, 0, 10, 0)}, "ymin < ymax"), ({"bounds": (0, 0, 10)}, "4 numbers"),
       ({"bounds": (0, 0, math.inf, 10)}, "finite"), ({"transform": (0, 1, 0, 0, 0, -1)}, "not both"),
       ({"bounds": None, "transform": (0, 0, 0, 0, 0, -1)}, "pixel sizes"), ({"nodata": True}, "must be a number"),
       ({"nodata": "-1"}, "0 to 255"), ({"dtype": "Int16", "nodata": "1.5"}, "whole number"),
       ({"dtype": "Float32", "nodata": 1e39}, "Float32"), ({"dtype": "Float32", "nodata": "-3.4028236e38"}, "Float32"),
       ({"bounds": (-1e308, 0, 1e308, 1)}, "pixel sizes of inf"), ({"bounds": (0, 0, 5e-324, 1)}, "pixel sizes of 0.0"),
       ({"bounds": (0, 0, 10 ** 400, 1)}, "bounds.*too large"), ({"transform": (0, 10 ** 400, 0, 0, 0, -1), "bounds": None},
                                                                  "transform.*too large"),
       ({"dtype": "Float64", "nodata": 10 ** 400}, "nodata.*too large"), ({"nodata": "1" + "0" * 400}, "nodata.*too large")]


@pytest.mark.parametrize("given, words", BAD, ids=[w for _, w in BAD])
def test_bad_input_sets_nothing(tmp_path, given, words):
    asked = {"srs": "EPSG:4326", "bounds": (0, 0, 1, 1), **given}
    with new_raster(tmp_path, asked.pop("dtype", "Byte")) as ds:
        with pytest.raises(ValueError, match=words):
            ds.georeference(**asked)
    info = gdalinfo(ds.path)
    assert "coordinateSystem" not in info and "geoTransform" not in info


@pytest.mark.parametrize("name, ext", [("GPKG", "gpkg"), ("ESRI Shapefile", "shp")])
def test_a_vector_dataset_takes_no_nodata(tmp_path, name, ext):
    if _gdal.GetDriverByName(name) is None:
        pytest.skip(f"GDAL here has no {name} driver")
    with driver.VectorDriver(name).create(str(tmp_path / f"v.{ext}")) as ds:
        with pytest.raises(ValueError, match="holds no raster"):
            ds.georeference(nodata=0)


def test_gdal_s_refusal_is_its_own_message(tmp_path):
    ds = new_raster(tmp_path, "Byte", "GPKG")
    with pytest.raises(base.error.GDALError, match="Dataset_SetGeoTransform failed: .*rotat"):
        ds.georeference(transform=(0, 1, 0.5, 10, 0, -1))
    with pytest.raises(base.error.GDALError, match="SetGeoTransform"):  # GPKG cannot close without one
        ds.close()
    assert list(tmp_path.iterdir()) == []  # this creation made it, so it goes


@pytest.mark.parametrize("more, status, words", [
    (["--srs", "EPSG:99999"], 1, "EPSG:99999"), (["--bounds", "1", "0", "0", "1"], 1, "xmin < xmax"),
    (["--bounds", "0", "0", "1", "x"], 2, "invalid float"), (["--nodata", "none"], 1, "must be a number")])
def test_create_refuses_bad_georeferencing_before_writing(capsys, tmp_path, more, status, words):
    code, out, err = create(capsys, "GPKG", str(raster_path(tmp_path, "GPKG")), "--size", "2", "2", *more)
    assert code == status and words in err and "Traceback" not in err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name", ["MBTiles", "NITF"])  # EPSG:3857 only; ICORDS needed at creation
def test_a_raster_gdal_will_not_georeference_is_removed(capsys, tmp_path, name):
    code, out, err = create(capsys, name, str(raster_path(tmp_path, name)), "--size", "2", "2", "--dtype", "Byte",
                            "--srs", "EPSG:4326", "--bounds", "0", "0", "1", "1")
    assert code == 1 and "Dataset_SetSpatialRef failed" in err, err
    assert list(tmp_path.iterdir()) == []

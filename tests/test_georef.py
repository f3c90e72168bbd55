"""Rasters created where they lie: spatial reference, extent and nodata set
through ``GeoDatabase.georeference`` and ``vek-drivers create``, read back by
GDAL's own gdalinfo (``gdal.Info``, in a child process); bad input refused
before anything is written, GDAL's refusals leaving no file."""

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
    print(json.dumps({p: gdal.Info(p, format="json") for p in sys.argv[1:]}))
"""


def gdalinfo(*paths):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(INFO), *map(str, paths)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def needs(name):
    if _gdal.GetDriverByName(name) is None:
        pytest.skip(f"GDAL here has no {name} driver")


def cli_run(capsys, *argv):
    try:
        code = cli.main(list(argv))
    except SystemExit as exc:
        code = exc.code
    return (code, *capsys.readouterr())


@pytest.mark.parametrize("name, dtype, nodata", [("GPKG", "Byte", None), ("GPKG", "Float32", "-9999"),
                                                  ("GTiff", "Int16", "-32768"), ("PNG", "Byte", "0")])
def test_created_rasters_lie_where_they_were_put(capsys, tmp_path, name, dtype, nodata):
    """PNG writes by copy: the in-memory source carries the georeferencing."""
    needs(name)
    path = tmp_path / f"r.{metadata(name, 'DMD_EXTENSION') or 'dat'}"
    more = ["--nodata", nodata] if nodata else []
    code, out, err = cli_run(capsys, "create", name, str(path), "--size", "10", "20", "--dtype", dtype,
                             "--srs", "EPSG:32632", "--bounds", "500000", "0", "501000", "2000", *more)
    assert code == 0, err
    assert "bounds     500000 0 501000 2000" in out and "WGS 84 / UTM zone 32N" in out
    info = gdalinfo(path)[str(path)]
    assert info["geoTransform"] == [500000.0, 100.0, 0.0, 2000.0, 0.0, -100.0]
    assert info["stac"]["proj:epsg"] == 32632
    assert info["bands"][0].get("noDataValue") == (float(nodata) if nodata else None)


def new_raster(tmp_path, dtype="Float32", name="GTiff"):
    return driver.RasterDriver(name).create(str(tmp_path / f"g.{metadata(name, 'DMD_EXTENSION')}"), 4, 2, 2, dtype)


def test_georeference_sets_every_band_and_takes_a_transform(tmp_path):
    with new_raster(tmp_path) as ds:
        ds.georeference("EPSG:4326", transform=(10, 0.5, 0, 50, 0, -0.5), nodata="nan")
    info = gdalinfo(ds.path)[ds.path]
    assert info["geoTransform"] == [10.0, 0.5, 0.0, 50.0, 0.0, -0.5] and info["stac"]["proj:epsg"] == 4326
    assert [b["noDataValue"] for b in info["bands"]] == ["NaN", "NaN"]


def test_an_exact_64_bit_nodata(tmp_path):
    if "UInt64" not in driver.dtypes.dtype_names():
        pytest.skip("GDAL here has no UInt64 rasters")
    top = 2 ** 64 - 1  # a double would round it to 2**64, which UInt64 cannot hold
    with new_raster(tmp_path, "UInt64") as ds:
        ds.georeference(nodata=str(top))
        assert _gdal.Band_GetNoDataValueAsUInt64(_gdal.Dataset_GetRasterBand(ds.handle, 2)) == top


BAD = [
    ({"srs": "EPSG:99999"}, "cannot read spatial reference"),
    ({"srs": "EPSG:4326\0junk"}, "embedded null byte"),
    ({"bounds": (10, 0, 0, 10)}, "xmin < xmax"),
    ({"bounds": (0, 0, 10, 0)}, "ymin < ymax"),
    ({"bounds": (0, 0, 10)}, "4 numbers"),
    ({"bounds": (0, 0, math.inf, 10)}, "finite"),
    ({"bounds": (0, 0, 1, 1), "transform": (0, 1, 0, 0, 0, -1)}, "not both"),
    ({"bounds": None, "transform": (0, 0, 0, 0, 0, -1)}, "pixel sizes"),
    ({"nodata": "abc"}, "must be a number"),
    ({"nodata": True}, "must be a number"),
]


@pytest.mark.parametrize("given, words", BAD, ids=[w for _, w in BAD])
def test_bad_input_sets_nothing(tmp_path, given, words):
    with new_raster(tmp_path) as ds:
        with pytest.raises(ValueError, match=words):
            ds.georeference(**{"srs": "EPSG:4326", "bounds": (0, 0, 1, 1), **given})
    info = gdalinfo(ds.path)[ds.path]
    assert "coordinateSystem" not in info and "geoTransform" not in info


@pytest.mark.parametrize("dtype, nodata, words", [("Byte", "256", "0 to 255"), ("Byte", "-1", "0 to 255"),
                                                  ("Int16", "1.5", "whole number"), ("Float32", "1e39", "Float32")])
def test_a_nodata_the_bands_cannot_hold(tmp_path, dtype, nodata, words):
    with new_raster(tmp_path, dtype) as ds:
        with pytest.raises(ValueError, match=words):
            ds.georeference(nodata=nodata)


def test_gdal_s_refusal_is_its_own_message(tmp_path):
    needs("GPKG")
    ds = new_raster(tmp_path, "Byte", "GPKG")
    with pytest.raises(base.error.GDALError, match="Dataset_SetGeoTransform failed: .*rotat"):
        ds.georeference(transform=(0, 1, 0.5, 10, 0, -1))
    with pytest.raises(base.error.GDALError, match="SetGeoTransform"):  # and GPKG's close refuses it
        ds.close()
    assert not (tmp_path / "g.gpkg").exists()  # made by this creation, so removed with it


CLI_BAD = [
    (["--srs", "EPSG:99999", "--bounds", "0", "0", "1", "1"], 1, "EPSG:99999"),
    (["--bounds", "1", "0", "0", "1"], 1, "xmin < xmax"),
    (["--bounds", "0", "0", "1", "nan"], 1, "finite"),
    (["--bounds", "0", "0", "1", "x"], 2, "invalid float"),
    (["--bounds", "0", "0", "1", "1", "--nodata", "none"], 1, "nodata must be a number"),
    (["--bounds", "0", "0", "1", "1", "--dtype", "Byte", "--nodata", "-9999"], 1, "outside what Byte"),
]


@pytest.mark.parametrize("more, status, words", CLI_BAD, ids=[w for *_, w in CLI_BAD])
def test_create_refuses_bad_georeferencing_before_writing(capsys, tmp_path, more, status, words):
    needs("GPKG")
    code, out, err = cli_run(capsys, "create", "GPKG", str(tmp_path / "r.gpkg"), "--size", "2", "2", *more)
    assert code == status and words in err and "Traceback" not in err
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("name, srs", [("MBTiles", "EPSG:4326"), ("NITF", "EPSG:4326")])
def test_a_raster_gdal_will_not_georeference_is_removed(capsys, tmp_path, name, srs):
    """Both create the file, then refuse the spatial reference (MBTiles:
    web mercator only; NITF: not without its ICORDS creation option)."""
    needs(name)
    path = tmp_path / f"r.{metadata(name, 'DMD_EXTENSION') or 'dat'}"
    code, out, err = cli_run(capsys, "create", name, str(path), "--size", "2", "2", "--dtype", "Byte",
                             "--srs", srs, "--bounds", "0", "0", "1", "1")
    assert code == 1 and "Dataset_SetSpatialRef failed" in err, err
    assert list(tmp_path.iterdir()) == []


def test_georeferencing_options_are_for_rasters(capsys, tmp_path):
    needs("GPKG")
    code, out, err = cli_run(capsys, "create", "GPKG", str(tmp_path / "v.gpkg"), "--bounds", "0", "0", "1", "1")
    assert code == 2 and "--bounds only applies to rasters" in err

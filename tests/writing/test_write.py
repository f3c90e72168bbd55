"""Arrays and features written in one call, read back and compared with
what was asked. GDAL's own reads (the low-level binding, and osgeo in a
child process) are the judges of what the files hold."""

import datetime
import os
import json
import subprocess
import sys

import numpy as np
import pytest
from osgeo import _gdal

import vek
from conftest import need_drivers

TOWNS = [{"geometry": {"type": "Point", "coordinates": [1.0, 2.0]},
          "properties": {"name": "a", "population_total": 10, "area": 1.5, "founded": datetime.date(1900, 1, 2)}},
         {"geometry": {"type": "Point", "coordinates": [3.0, 4.0]},
          "properties": {"name": "b", "population_total": 20, "area": None, "founded": None}}]


def folder_bytes(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def test_a_cog_reads_back_identical_pixels_included(tmp_path):
    need_drivers("COG")
    data = np.arange(3 * 40 * 50, dtype=np.uint16).reshape(3, 40, 50)
    path = tmp_path / "c.tif"
    vek.write_raster(path, data, "COG", srs="EPSG:4326", bounds=(2, 40, 3, 41), verify="pixels").close()
    code = ("import json, sys; from osgeo import gdal; gdal.UseExceptions(); d = gdal.Open(sys.argv[1]);"
            "print(json.dumps([d.GetGeoTransform(), d.GetSpatialRef().GetAuthorityCode(None), d.ReadAsArray().tolist()]))")
    gt, epsg, pixels = json.loads(subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True,
                                                 text=True, check=True).stdout)
    assert gt == [2, 1 / 50, 0, 41, 0, -1 / 40] and epsg == "4326" and pixels == data.tolist()


@pytest.mark.parametrize("name, ext, dtype, nodata, what", [
    ("GSBG", "grd", "float32", 0, "nodata: asked 0, the file holds 1.70141e+38"),
    ("GPKG", "gpkg", "float32", float("nan"), "nodata: asked nan, the file holds none"),
    ("PNG", "png", "float32", None, "data type: asked Float32, the file holds Byte"),
])
def test_a_raster_the_format_changes_is_refused_and_leaves_the_folder_as_it_was(tmp_path, name, ext, dtype, nodata,
                                                                              what):
    need_drivers(name)
    old = tmp_path / f"t.{ext}"
    old.write_bytes(b"the user's")
    before = folder_bytes(tmp_path)
    with pytest.raises(vek.WriteMismatch) as caught:
        vek.write_raster(old, np.ones((4, 4), dtype), name, srs="EPSG:4326", bounds=(0, 0, 1, 1), nodata=nodata)
    assert any(str(d).startswith(what) for d in caught.value.differences) and what in str(caught.value)
    assert folder_bytes(tmp_path) == before
    with pytest.warns(vek.WriteMismatchWarning, match=what.split(":")[0]):  # kept, and said so
        vek.write_raster(old, np.ones((4, 4), dtype), name, srs="EPSG:4326", bounds=(0, 0, 1, 1), nodata=nodata,
                         verify="warn").close()


@pytest.mark.parametrize("array, words", [
    (np.zeros(4), "1 dimension"), (np.zeros((0, 3)), "at least one"), (np.array([["a"]]), "GDAL"),
])
def test_an_array_gdal_cannot_hold_is_refused(tmp_path, array, words):
    with pytest.raises((ValueError, TypeError), match=words):
        vek.write_raster(tmp_path / "t.tif", array)
    assert list(tmp_path.iterdir()) == []


def test_features_are_written_and_what_the_format_renames_is_named(tmp_path):
    need_drivers("GPKG", "ESRI Shapefile")
    shapely = pytest.importorskip("shapely")
    layers = {"towns": TOWNS, "parks": [shapely.box(0, 0, 1, 1), shapely.Point(5, 5).buffer(1)]}
    with vek.write_vector(tmp_path / "t.gpkg", layers, srs="EPSG:4326", geometry_type={"parks": "Polygon"}) as ds:
        assert ds.layers == [("towns", "Point", 2), ("parks", "Polygon", 2)]
        copy = ds.copy_to(tmp_path / "t.geojson", "GeoJSON", layers="towns", verify="error")
        copy.close()
        # GPKG's own CreateCopy writes rasters only: a vector copy goes layer by layer
        with ds.copy_to(tmp_path / "copy.gpkg", "GPKG", verify="error") as again:
            assert again.layers == ds.layers
    written = json.loads((tmp_path / "t.geojson").read_text())["features"][0]["properties"]
    assert (written["population_total"], written["founded"]) == (10, "1900-01-02")
    with pytest.raises(vek.WriteMismatch, match="field 'population_total' of layer 'towns'.*'population'.*GDAL said"):
        vek.write_vector(tmp_path / "s.shp", {"towns": TOWNS}, srs="EPSG:4326")
    assert not list(tmp_path.glob("s.*"))


def _bad_then_raise():
    yield TOWNS[0]
    yield {"geometry": None, "properties": {"name": 3}}


def _raising():
    yield TOWNS[0]
    raise RuntimeError("the source broke")


@pytest.mark.parametrize("features, error, words", [
    (_bad_then_raise, ValueError, "feature 1 of layer 'towns': field 'name' takes str, got int"),
    (lambda: [TOWNS[0], {"geometry": {"type": "LineString", "coordinates": [[0, 0], [1, 1]]}}], ValueError,
     "feature 1 of layer 'towns' is a LineString"),
    (lambda: [TOWNS[0], {"properties": {"height": 1}}], ValueError, "field 'height' is not one of"),
    (_raising, RuntimeError, "the source broke"),
])
def test_a_feature_that_does_not_fit_is_named_and_nothing_is_kept(tmp_path, features, error, words):
    need_drivers("GPKG")
    with pytest.raises(error, match=words):
        vek.write_vector(tmp_path / "t.gpkg", {"towns": features()})
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("call", [
    lambda p: vek.write_raster(p / "t.tif", np.zeros((2, 2)), verify="yes"),
    lambda p: vek.write_vector(p / "t.gpkg", [TOWNS]),
    lambda p: vek.write_vector(p / "t.tif", {"a": TOWNS}),
])
def test_bad_calls_are_refused_before_anything_is_written(tmp_path, call):
    with pytest.raises((ValueError, TypeError, vek.FormatError)):
        call(tmp_path)
    assert list(tmp_path.iterdir()) == []
    assert _gdal.ReadDir(str(tmp_path)) in (None, [".", ".."], [])


_EVERY_WRITER = """
import json, os, sys, warnings
import vek
from conftest import find_drivers, metadata
warnings.simplefilter("ignore")
out = {}
for name in find_drivers(DCAP_VECTOR=True, DCAP_CREATE=True):
    ext = metadata(name, "DMD_EXTENSION")
    if not ext or metadata(name, "DMD_CONNECTION_PREFIX"):
        continue
    feature = {"geometry": {"type": "Point", "coordinates": [1.0, 2.0]}, "properties": {"name": "a", "id": 3}}
    try:
        vek.write_vector(os.path.join(sys.argv[1], name.replace(" ", "_") + "." + ext), {"towns": [feature]},
                         name, srs="EPSG:4326", verify="warn").close()
        out[name] = "ok"
    except (vek.GDALError, vek.FormatError, ValueError) as exc:
        out[name] = type(exc).__name__
print(json.dumps(out))
"""


def test_every_vector_writer_writes_a_feature_or_says_why(tmp_path):
    """MBTiles, MVT and Interlis 1 list no layer while writing: looking the
    new layer up again gave NULL, and OGR crashed on it."""
    proc = subprocess.run([sys.executable, "-c", _EVERY_WRITER, str(tmp_path)], capture_output=True, text=True,
                          timeout=600, cwd=os.path.dirname(os.path.dirname(__file__)))
    assert proc.returncode == 0, proc.stderr[-2000:]
    outcomes = json.loads(proc.stdout)
    assert outcomes.get("GPKG", "ok") == "ok" and "ok" in outcomes.values()


def test_a_mismatch_is_a_gdal_error_that_pickles_with_its_differences_and_reasons(tmp_path):
    """Batch loops catch GDALError, and process pools pickle what they raise."""
    import pickle

    need_drivers("PNG")
    with pytest.raises(vek.GDALError) as caught:
        vek.write_raster(tmp_path / "t.png", np.ones((4, 4), np.float32))
    back = pickle.loads(pickle.dumps(caught.value))
    assert type(back) is vek.WriteMismatch and back.differences == caught.value.differences
    (difference,) = back.differences
    assert (difference.what, difference.asked, difference.held) == ("data type", "Float32", "Byte")
    assert difference.why and "Float32" in difference.why  # GDAL's own warning, as it said it

"""Copies of several layers: refused where the format holds one, picked with ``layers=``, and
checked against what GDAL's own bindings read from the written file."""

import json
import os
import subprocess
import sys

import pytest

from conftest import find_drivers, metadata
from vek import create_vector, open_file
from vek._algos.geo import base

READ = """import json, sys; from osgeo import gdal; gdal.UseExceptions(); ds = gdal.OpenEx(sys.argv[1], gdal.OF_VECTOR)
print(json.dumps([[lyr.GetName(), sum(1 for _ in lyr), lyr.GetFeatureCount()]
                  for lyr in map(ds.GetLayer, range(ds.GetLayerCount()))]))"""


def gdal_reads(path, counted=False):
    """``[name, features]`` of each layer, the features iterated by GDAL in a child process (or, with
    ``counted``, as GDAL counts them: GDAL 3.10's PMTiles reader counts a feature once per tile)."""
    proc = subprocess.run([sys.executable, "-c", READ, str(path)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return [[name, count if counted else iterated] for name, iterated, count in json.loads(proc.stdout)]


def geopackage(path, layers):
    """A GeoPackage with ``layers`` (name: number of lines), opened for reading."""
    from osgeo import ogr

    db = create_vector("GPKG", path)
    for name, count in layers.items():
        db.create_layer(name, "LineString", srs="EPSG:4326", fields={"name": "String", "n": "Integer"})
        layer = db.dataset.GetLayer(name)
        for i in range(count):
            feature = ogr.Feature(layer.GetLayerDefn())
            feature["name"], feature["n"] = f"{name}{i}", i
            feature.SetGeometry(ogr.CreateGeometryFromWkt(f"LINESTRING (0 {i}, 1 {i})"))
            layer.CreateFeature(feature)
    db.close()
    return open_file(path)


@pytest.fixture
def two(tmp_path):
    return geopackage(tmp_path / "two.gpkg", {"roads": 2, "rivers": 3})


def extension(name):
    return "." + (metadata(name, "DMD_EXTENSION") or (metadata(name, "DMD_EXTENSIONS").split() or ["out"])[0])


def writers(multi, **flags):
    """Vector writers by whether they hold several layers (with ``flags``: vector-only file writers)."""
    found = set(find_drivers(DCAP_VECTOR=True, DCAP_MULTIPLE_VECTOR_LAYERS=multi, **flags))
    if flags:
        return sorted(found - set(find_drivers(DCAP_RASTER=True)))
    return sorted(found & (set(find_drivers(DCAP_CREATE=True)) | set(find_drivers(DCAP_CREATECOPY=True))))


@pytest.mark.parametrize("name", writers(False))
def test_a_copy_that_would_lose_layers_is_refused_before_writing(two, tmp_path, name):
    """FlatGeobuf and GeoJSON kept the first layer alone; CSV and Shapefile wrote rivers.* beside the
    target, or kept the user's rivers.csv and dropped the layer, without a word."""
    (tmp_path / "rivers.csv").write_text("mine\n")
    with pytest.raises(ValueError, match=r"would lose 'rivers'.*layers="):
        two.copy_to(tmp_path / f"out{extension(name)}", name)
    assert sorted(os.listdir(tmp_path)) == ["rivers.csv", "two.gpkg"]
    assert (tmp_path / "rivers.csv").read_text() == "mine\n"


MUST_WRITE = {"GeoJSON", "FlatGeobuf", "CSV", "ESRI Shapefile", "KML", "GML"}  # others may fail
FILE_WRITER = {"DCAP_CREATE": True, "DCAP_OPEN": True, "DCAP_VIRTUALIO": True}


@pytest.mark.parametrize("name, layers", [(n, None) for n in writers(True, **FILE_WRITER)]
                         + [(n, "rivers") for n in writers(False, **FILE_WRITER)])
def test_a_copy_holds_what_it_reports_or_fails_leaving_nothing(two, tmp_path, name, layers):
    """KML and GML copies reported 0 features; DXF, which says it holds several layers, dropped
    rivers without a word, and MapInfo every feature."""
    target = tmp_path / "out" / f"out{extension(name)}"
    target.parent.mkdir()
    try:
        out = two.copy_to(target, name, layers=layers)
    except base.error.GDALError:
        assert name not in MUST_WRITE and os.listdir(target.parent) == []
        return
    with out:
        reported = [[layer, count] for layer, _geometry, count in out.layers]
    assert gdal_reads(target, counted=True) == reported and len(reported) >= (1 if layers else 2)
    assert name not in MUST_WRITE or gdal_reads(target) == reported
    assert not [n for n in os.listdir(target.parent) if n.startswith("rivers.")]  # nothing beside it
    assert name not in MUST_WRITE or [count for _layer, count in reported[-2:]] == ([3] if layers else [2, 3])


def test_a_whole_geojson_copy_reports_the_features_the_file_holds(tmp_path):
    with geopackage(tmp_path / "one.gpkg", {"roads": 2}) as one, one.copy_to(tmp_path / "x.json", "GeoJSON") as out:
        assert out.layers[0][2] == 2 == gdal_reads(tmp_path / "x.json")[0][1]  # was 0


@pytest.mark.parametrize("driver, layers, error, words", [
    ("GPKG", "lakes", ValueError, ["'lakes'", "'roads', 'rivers'"]),
    ("GeoJSON", ["roads", "rivers"], ValueError, ["one layer", "'roads', 'rivers'"]),
    ("GPKG", [], ValueError, ["no layer"]),
    ("GPKG", ["roads", "roads"], ValueError, ["'roads' more than once"]),
    ("GPKG", [b"roads"], TypeError, ["b'roads'"]),
    ("GTiff", "roads", ValueError, ["GTiff writes no vector layers"]),
])
def test_bad_layers_are_refused_before_writing(two, tmp_path, driver, layers, error, words):
    with pytest.raises(error) as info:
        two.copy_to(tmp_path / "out.x", driver, layers=layers)
    assert all(w in str(info.value) for w in words) and os.listdir(tmp_path) == ["two.gpkg"]


def test_a_stopped_or_failing_progress_stops_a_copy_of_layers_leaving_nothing(two, tmp_path):
    def boom(fraction):
        raise KeyError("stop here")

    for progress, error in ((lambda fraction: False, base.error.GDALError), (boom, KeyError)):
        with pytest.raises(error):
            two.copy_to(tmp_path / "out.geojson", "GeoJSON", layers="rivers", progress=progress)
        assert os.listdir(tmp_path) == ["two.gpkg"]

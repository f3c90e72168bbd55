"""Every way of writing: formats GDAL writes by copy only, vector datasets with
dataset options and layers, and GDAL's own API through ``.dataset``. GDAL's
own bindings (``osgeo.gdal``/``ogr``, in a child process) and SQLite read the
results back."""

import json
import os
import sqlite3
import subprocess
import sys
import textwrap
import warnings

import pytest
from osgeo import _gdal, _ogr

from conftest import find_drivers, metadata, user_files
from vek import cli
from vek._algos.geo import base, geodatabase
from vek._algos.geo.driver import RasterDriver, VectorDriver
from vek._algos.geo.binding.paths import MEM_DIR


def in_child(code, prelude=""):
    """Runs ``code`` in a fresh interpreter (where osgeo.gdal may be imported); its stdout as JSON."""
    proc = subprocess.run([sys.executable, "-c", prelude + "\n" + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


READ_BACK = """
    import json, sys
    from osgeo import gdal, ogr
    gdal.UseExceptions()
    out = {}
    for path in sys.argv[1:]:
        ds = gdal.OpenEx(path)
        facts = {"driver": ds.GetDriver().ShortName, "size": [ds.RasterXSize, ds.RasterYSize],
                 "image": ds.GetMetadata("IMAGE_STRUCTURE"), "layers": []}
        for lyr in map(ds.GetLayer, range(ds.GetLayerCount())):
            defn = lyr.GetLayerDefn()
            srs = lyr.GetSpatialRef()
            facts["layers"].append([lyr.GetName(), ogr.GeometryTypeToName(lyr.GetGeomType()),
                                    [(defn.GetFieldDefn(i).GetName(), defn.GetFieldDefn(i).GetTypeName())
                                     for i in range(defn.GetFieldCount())],
                                    srs.GetAuthorityCode(None) if srs else None])
        out[path] = facts
    print(json.dumps(out))
"""


def read_back(*paths):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(READ_BACK), *map(str, paths)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def made_by_cli(tmp, capsys):
    for argv in (["PNG", "x.png", "--size", "10", "10"],
                 ["COG", "x.tif", "--size", "256", "256", "-co", "COMPRESS=DEFLATE"],
                 ["ESRI Shapefile", "s.shp", "--layer", "roads", "--geometry", "LineString", "--srs", "EPSG:4326",
                  "--field", "name:String"],
                 ["GPKG", "v.gpkg", "-dsco", "VERSION=1.2", "--layer", "a", "--geometry", "Point"]):
        argv[1] = str(tmp / argv[1])
        assert cli.main(["create", *argv]) == 0
    out = capsys.readouterr().out
    assert "by copy only" in out and out.count("created ") == 4


def made_by_python(tmp, capsys):
    with RasterDriver("GTiff").create(None, 256, 256, 1, "Byte") as src:
        src.copy_to(tmp / "x.png", "PNG").close()
        src.copy_to(str(tmp / "x.tif"), RasterDriver("COG"), options={"COMPRESS": "DEFLATE"}).close()
    with geodatabase.create_vector("ESRI Shapefile", tmp / "s.shp") as ds:
        ds.create_layer("roads", "LineString", srs="EPSG:4326", fields={"name": "String"})
    with geodatabase.create_vector(VectorDriver("GPKG"), tmp / "v.gpkg", options={"VERSION": "1.2"}) as ds:
        assert ds.create_layer("a", "point") == ("a", "Point", 0) and ds.layers == [("a", "Point", 0)]


@pytest.mark.parametrize("make", [made_by_cli, made_by_python], ids=["cli", "python"])
def test_what_gdal_reads_back(tmp_path, capsys, make):
    make(tmp_path, capsys)
    facts = read_back(*(tmp_path / n for n in ("x.png", "x.tif", "s.shp", "v.gpkg")))
    png, cog, shp, gpkg = facts.values()
    assert (png["driver"], cog["driver"], cog["size"]) == ("PNG", "GTiff", [256, 256])
    assert (cog["image"]["COMPRESSION"], cog["image"].get("LAYOUT")) == ("DEFLATE", "COG")
    # a shapefile's one layer is named after its file, whatever name was asked for
    assert shp["layers"] == [["s", "Line String", [["name", "String"]], "4326"]]
    assert gpkg["layers"] == [["a", "Point", [], None]]
    with sqlite3.connect(tmp_path / "v.gpkg") as db:  # GeoPackage 1.2 is user_version 10200
        assert db.execute("PRAGMA user_version").fetchone()[0] == 10200


def test_progress_and_a_progress_that_raises(tmp_path):
    seen = []
    with RasterDriver("GTiff").create(None, 64, 64, 1, "Byte") as src:
        src.copy_to(tmp_path / "p.png", "PNG", progress=seen.append).close()
        assert seen == sorted(seen) and seen[-1] == 1.0

        def stop(fraction):
            raise KeyError("stop here")

        for path in (tmp_path / "q.png", None):
            with pytest.raises(KeyError, match="stop here"):
                src.copy_to(path, "PNG", progress=stop)
    assert user_files(tmp_path) == ["p.png"]
    assert not [e for e in (_gdal.ReadDirRecursive(MEM_DIR) or []) if e.endswith(".png")]


def test_bad_input_is_refused_before_anything_is_written(tmp_path):
    neither = find_drivers(DCAP_RASTER=True, DCAP_CREATE=False, DCAP_CREATECOPY=False)
    with RasterDriver("GTiff").create(None, 4, 4, 1, "Byte") as src:
        if neither:
            with pytest.raises(base.error.FormatError, match=f"{neither[0]} can write datasets neither"):
                src.copy_to(tmp_path / "x", neither[0])
    ds = geodatabase.create_vector("GPKG", tmp_path / "v.gpkg")
    for args, kw, words in [(("a", "Pointy"), {}, ["'Pointy'", "LineString", "MultiPolygon"]),
                            (("a", "Point"), {"fields": {"n": "Strin"}}, ["'Strin'", "String", "Integer64"]),
                            (("a",), {"srs": "EPSG:0"}, ["EPSG:0"]),
                            (("a\0b", "Point"), {}, ["null byte", "layer name"]),  # was a layer "a"
                            (("a",), {"fields": {"q\0r": "String"}}, ["null byte", "field name"]),
                            # an EPSG:4326 layer, and the binding's TypeError
                            *[(("a",), {"srs": f"EPSG:4326{c}"}, [w, "spatial reference"])
                              for c, w in (("\0+proj=merc", "null byte"), ("\udcff", "UTF-8"))],
                            # accepted, then the GeoPackage failed at close
                            (("a",), {"fields": {"Name": "String", "NAME": "Integer"}}, ["'Name'", "'NAME'", "case"])]:
        with pytest.raises(ValueError) as info:
            ds.create_layer(*args, **kw)
        assert all(w in str(info.value) for w in words) and ds.layers == []
    ds.close()
    with pytest.raises(ValueError, match="closed"):
        ds.dataset


def test_vector_driver_options_reach_the_layer():
    gpkg = VectorDriver("GPKG")
    gpkg.set_creation_options(GEOMETRY_NAME="shape", FID="key")
    with geodatabase.create_vector(gpkg, None) as ds:
        ds.create_layer("roads", "LineString", options=gpkg.creation_options)
        layer = _gdal.Dataset_GetLayerByIndex(ds.handle, 0)
        assert (_ogr.Layer_GetGeometryColumn(layer), _ogr.Layer_GetFIDColumn(layer)) == ("shape", "key")


@pytest.mark.parametrize("prelude", ["", "from osgeo import gdal"], ids=["plain", "osgeo.gdal first"])
def test_writing_through_gdal_s_own_api(tmp_path, prelude):
    facts = in_child(f"""
        import json
        from osgeo import gdal, ogr
        from vek._algos.geo import geodatabase
        from vek._algos.geo.driver import RasterDriver
        out = {{}}
        gdb = RasterDriver("GTiff").create({str(tmp_path / "r.tif")!r}, 3, 2, 1, "Byte")
        ds = gdb.dataset
        out["same"] = type(ds) is gdal.Dataset and gdb.dataset is ds
        ds.GetRasterBand(1).WriteRaster(0, 0, 3, 2, bytes(range(6)))
        gdb.close()
        try:
            ds.RasterXSize
        except Exception:  # refers to nothing any more: an error, not a crash
            out["after close"] = "raised"
        out["pixels"] = list(gdal.Open({str(tmp_path / "r.tif")!r}).ReadRaster())
        with geodatabase.create_vector("GPKG", {str(tmp_path / "v.gpkg")!r}) as vdb:
            vdb.create_layer("pts", "Point", fields={{"name": "String"}})
            layer = vdb.dataset.GetLayer(0)
            feature = ogr.Feature(layer.GetLayerDefn())
            feature["name"] = "here"
            feature.SetGeometry(ogr.CreateGeometryFromWkt("POINT (1 2)"))
            layer.CreateFeature(feature)
            out["layers"] = vdb.layers
        print(json.dumps(out))
        """, prelude)
    assert facts == {"same": True, "after close": "raised", "pixels": [0, 1, 2, 3, 4, 5],
                     "layers": [["pts", "Point", 1]]}


# Each writing road checks option values against its own list before GDAL
# writes anything (a bad value, a valid value for the wrong road).
def _copy(tmp, options):
    with RasterDriver("GTiff").create(None, 8, 8, 1, "Byte") as src:
        src.copy_to(tmp / "out.png", "PNG", options=options)


def _dataset(tmp, options):
    geodatabase.create_vector("GPKG", tmp / "out.gpkg", options=options)


def _layer(tmp, options):
    with geodatabase.create_vector("GPKG", None) as db:
        db.create_layer("a", "Point", options=options)


@pytest.mark.parametrize("road, options, words", [
    (_copy, {"ZLEVEL": "high"}, ["ZLEVEL", "'high'"]),
    (_dataset, {"VERSION": "0.1"}, ["VERSION", "'0.1'"]),
    (_dataset, {"TILE_FORMAT": "PNG"}, ["TILE_FORMAT"]),      # a raster-scope option of GPKG
    (_layer, {"SPATIAL_INDEX": "maybe"}, ["SPATIAL_INDEX", "'maybe'"]),
])
def test_bad_values_are_refused_before_anything_is_written(tmp_path, road, options, words):
    before = set(base._gdal.ReadDirRecursive("/vsimem/") or [])
    with pytest.raises((base.error.FormatError, ValueError)) as caught:
        road(tmp_path, options)
    assert all(w in str(caught.value) for w in words), caught.value
    assert list(tmp_path.iterdir()) == [] and set(base._gdal.ReadDirRecursive("/vsimem/") or []) == before


def test_warnings_of_a_copy_reach_the_caller(tmp_path):
    # GDAL writes a Float32 band to PNG as Byte, and warns that it does
    with RasterDriver("GTiff").create(None, 8, 8, 1, "Float32") as src:
        with pytest.warns(base.error.GDALWarning) as caught:
            src.copy_to(tmp_path / "out.png", "PNG").close()
    gdal_said = [w.message for w in caught if isinstance(w.message, base.error.GDALWarning)]
    read_back = [str(w.message) for w in caught if isinstance(w.message, base.error.WriteMismatchWarning)]
    assert gdal_said and all(w.error_no >= 0 for w in gdal_said)
    # the difference, with GDAL's own reason for it
    assert read_back == [f"{tmp_path / 'out.png'}: data type: asked Float32, the file holds Byte "
                         f"(GDAL said: {str(gdal_said[0]).strip()})"]


@pytest.mark.parametrize("name", ["GPKG", "GeoJSON", "SQLite", "COG"])
def test_in_memory_targets_take_the_drivers_extension(name):
    """From GDAL 3.7 these list their extensions in DMD_EXTENSIONS only: the
    in-memory path had none, and a GeoPackage warned."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with RasterDriver("GTiff").create(None, 4, 4, 1, "Byte") as src:
            ds = src.copy_to(None, name) if name == "COG" else geodatabase.create_vector(name, None)
        extension = (RasterDriver if name == "COG" else VectorDriver)(name).extension
        with ds:
            assert extension and ds.path.endswith("." + extension)


@pytest.mark.parametrize("options, written", [(None, "DEFLATE"), ({}, "LZW"), ({"COMPRESS": "NONE"}, None)])
def test_a_driver_objects_options_reach_its_copy(tmp_path, options, written):
    """The options set on the driver object passed were dropped: COG wrote
    its own default, LZW."""
    cog = RasterDriver("COG")
    cog.set_creation_options(COMPRESS="DEFLATE")
    with RasterDriver("GTiff").create(None, 64, 64, 1, "Byte") as src:
        with src.copy_to(tmp_path / "c.tif", cog, options=options) as ds:
            assert _gdal.MajorObject_GetMetadataItem(ds.handle, "COMPRESSION", "IMAGE_STRUCTURE") == written


LONG_COPY = """
    import os, signal, sys
    signal.signal(signal.SIGINT, signal.default_int_handler)  # ignored when started in the background
    from osgeo import _gdal
    from vek._algos.geo.driver import RasterDriver
    _gdal.SetCacheMax(1 << 20)  # blocks written while the copy runs, with progress between them
    gtiff = RasterDriver("GTiff")  # the slowest compression this GDAL has (gdal-wheel's has no LZMA)
    slow = {"COMPRESS": "LZMA", "LZMA_PRESET": "9"} if "LZMA" in gtiff.compress_modes else {"COMPRESS": "DEFLATE", "ZLEVEL": "9"}
    src = gtiff.create(None, 2000, 2000, 1, "Byte")
    _gdal.Band_WriteRaster(_gdal.Dataset_GetRasterBand(src.handle, 1), 0, 0, 2000, 2000, os.urandom(2000 * 2000))
    said = []
    def started(done):
        if not said:
            said.append(print("copying", flush=True))
    try:
        src.copy_to(sys.argv[1], "GTiff", options=slow, progress=started)
    except BaseException as exc:
        print(type(exc).__name__)
"""


def test_ctrl_c_during_a_copy_is_a_keyboard_interrupt_and_leaves_nothing(tmp_path):
    """It was GDALError("User terminated"): Python raised it in the frame GDAL's binding calls,
    which printed and swallowed it."""
    import signal

    target = tmp_path / "t.tif"
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(LONG_COPY), str(target)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "copying\n"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert (out, child.returncode) == ("KeyboardInterrupt\n", 0), err
    assert "Traceback" not in err and os.listdir(tmp_path) == []


EMPTY_WRITERS = [name for name in find_drivers(DCAP_VECTOR=True, DCAP_CREATE=True, DCAP_OPEN=True)
                 if metadata(name, "DMD_EXTENSION") and not metadata(name, "DMD_CONNECTION_PREFIX")]


@pytest.mark.parametrize("name", EMPTY_WRITERS)
@pytest.mark.parametrize("existed", [False, True], ids=["new", "over-a-file"])
def test_a_closed_creation_counts_only_once_gdal_reads_it(tmp_path, name, existed):
    """Several drivers write a dataset without layers as an empty file that
    GDAL cannot open (GeoJSON, FlatGeobuf); closing it returned normally.
    GDAL's own OpenEx is the judge of what is readable."""
    path = tmp_path / f"t.{metadata(name, 'DMD_EXTENSION')}"
    if existed:
        path.write_bytes(b"old")
    try:
        geodatabase.create_vector(name, str(path)).close()
    except base.error.GDALError as exc:
        if "cannot read it back" not in str(exc):
            pytest.skip(f"{name} refuses this creation: {exc}")
        assert path.exists() == existed and ("left as GDAL wrote it" if existed else "removed") in str(exc)
        return
    if path.is_file():
        handle = _gdal.OpenEx(str(path), 0, [name]) or _gdal.OpenEx(str(path), 1, [name])
        assert handle is not None
        _gdal.delete_Dataset(handle)

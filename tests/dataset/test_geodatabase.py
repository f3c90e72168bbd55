"""Datasets: GeoDatabase (ownership, closing, in-memory clean-up) and open_file."""

import gc
import os
import shutil
import tempfile
import zipfile

import pytest
from osgeo import _gdal, _ogr

from conftest import requires_drivers
from gdalmode import gdal_mode, mem_files, run_python  # noqa: F401
from vek._algos.geo.base import call_gdal_fun, error, mem_temp_path
from vek._algos.geo.geodatabase import GeoDatabase, open_file
from vek._algos.geo.binding.paths import path_exists

RASTER, VECTOR, UPDATE = 2, 4, 1


@pytest.fixture
def no_mem_leftovers():
    before = set(mem_files())
    yield
    gc.collect()
    assert set(mem_files()) == before


def create_raster(path, xsize=7, ysize=5, bands=2, name="GTiff"):
    return call_gdal_fun(_gdal.Driver_Create, _gdal.GetDriverByName(name), str(path), xsize, ysize, bands, 1, {})


def create_vector(path, layers=("points",), name="ESRI Shapefile"):
    h = call_gdal_fun(_gdal.Driver_Create, _gdal.GetDriverByName(name), path, 0, 0, 0, 0, [])
    for layer in layers:
        call_gdal_fun(_gdal.Dataset_CreateLayer, h, layer, None, 1, [])
    return h


def raster_file(path, *args):
    GeoDatabase(create_raster(path, *args)).close()
    return str(path)


def set_item(db, value):
    call_gdal_fun(_gdal.MajorObject_SetMetadataItem, db.handle, "K", value, "")


def read_item(path):
    h = _gdal.OpenEx(path, 0)
    value = _gdal.MajorObject_GetMetadataItem(h, "K", "")
    _gdal.delete_Dataset(h)
    return value


def test_facts(tmp_path):
    path = str(tmp_path / "r.tif")
    with GeoDatabase(create_raster(path, 7, 5, 3)) as db:
        assert (db.path, db.driver_name, db.files) == (path, "GTiff", [path])
        assert (db.xsize, db.ysize, db.band_count, db.layer_count) == (7, 5, 3, 0) and path in repr(db)
    with GeoDatabase(create_vector(str(tmp_path / "shapes"), ("a", "b"))) as db:
        assert (db.driver_name, db.layer_count, db.band_count) == ("ESRI Shapefile", 2, 0)


def test_close_flushes_once_and_for_all(tmp_path, capfd):
    path = str(tmp_path / "f.tif")
    db = GeoDatabase(create_raster(path))
    set_item(db, "by-vek")
    db.close()
    db.close()
    assert db.closed and db.handle is None and read_item(path) == "by-vek"
    assert path in repr(db) and "closed" in repr(db)
    assert (db.path, db.driver_name) == (path, "GTiff")
    for attr in ("xsize", "ysize", "band_count", "layer_count", "files"):
        with pytest.raises(ValueError, match="closed"):
            getattr(db, attr)
    with pytest.raises(ValueError):
        with db:
            pass
    with pytest.raises(KeyError):
        with GeoDatabase(create_raster(path)) as db:
            set_item(db, "in-block")
            raise KeyError("boom")
    assert db.closed and read_item(path) == "in-block"
    assert capfd.readouterr() == ("", "")


def test_forgotten_ones_are_closed_and_cleaned_silently(tmp_path, capfd, no_mem_leftovers):
    path = str(tmp_path / "g.tif")
    db = GeoDatabase(create_raster(path))
    set_item(db, "kept")
    mem = GeoDatabase(create_vector(mem_temp_path("shp")))
    del db, mem
    gc.collect()
    assert read_item(path) == "kept"
    assert capfd.readouterr() == ("", "")  # in particular no "memory leak" notice


def test_closed_at_interpreter_exit(tmp_path):
    path = str(tmp_path / "exit.tif")
    proc = run_python(f"""
        from osgeo import _gdal
        from vek._algos.geo.base import call_gdal_fun
        from vek._algos.geo.geodatabase import GeoDatabase
        h = call_gdal_fun(_gdal.Driver_Create, _gdal.GetDriverByName("GTiff"), {path!r}, 3, 3, 1, 1, {{}})
        db = GeoDatabase(h)
        _gdal.MajorObject_SetMetadataItem(db.handle, "K", "at-exit", "")
        keep = [db]
    """)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    assert read_item(path) == "at-exit"


# ---------------------------------------------------------------- in-memory clean-up


@pytest.mark.parametrize("ext, make", [
    ("tif", create_raster),
    ("shp", create_vector),  # .shp .shx .dbf
    ("", lambda p: create_vector(p, ("x", "y"))),  # a directory of shapefiles
    pytest.param("img", lambda p: create_raster(p, name="ENVI"), marks=requires_drivers("ENVI")),  # .img + .hdr
    ("gpkg", lambda p: create_vector(p, name="GPKG")),
], ids=["gtiff", "shapefile", "shapefile-dir", "envi", "gpkg"])
def test_close_removes_every_in_memory_file(no_mem_leftovers, ext, make):
    path = mem_temp_path(ext)
    db = GeoDatabase(make(path))
    assert [f for f in mem_files() if os.path.basename(path).split(".")[0] in f]
    db.close()


def test_side_files_made_at_close_go_and_other_files_stay(no_mem_leftovers):
    path = mem_temp_path("tif")
    with GeoDatabase(create_raster(path)) as owner:
        _gdal.Dataset_FlushCache(owner.handle)
        with open_file(path, RASTER) as db:
            set_item(db, "yes")  # a PAM .aux.xml appears only when the reader is closed
        assert path_exists(path) and path_exists(path + ".aux.xml")  # a reader owns nothing
    user = "/vsimem/vek-user-owned.tif"
    try:
        GeoDatabase(create_raster(user)).close()
        assert path_exists(user)
    finally:
        _gdal.Unlink(user)
    with GeoDatabase(create_raster(mem_temp_path("tif"))) as keep:
        GeoDatabase(create_raster(mem_temp_path("tif"))).close()
        assert path_exists(keep.path)


# ---------------------------------------------------------------- open_file


def test_open_raster(tmp_path, gdal_mode, capfd):
    path = raster_file(tmp_path / "r.tif", 9, 4, 2)
    with open_file(tmp_path / "r.tif", RASTER, ["PNG", "GTiff"], None, None) as db:  # a path-like
        assert (db.path, db.driver_name, db.xsize, db.ysize, db.band_count) == (path, "GTiff", 9, 4, 2)
        assert db.update is False
    # raster + gnm + multidim + update: how a creatable raster driver opens
    with open_file(path, 2 | 8 | 16 | UPDATE, ["GTiff"], {}, []) as db:
        assert db.update is True
        set_item(db, "1")
    assert read_item(path) == "1"
    assert _gdal.GetUseExceptions() == gdal_mode
    assert capfd.readouterr() == ("", "")


@requires_drivers("CSV")
@pytest.mark.parametrize("options, features", [
    (None, 3), ({}, 3), ({"HEADERS": False}, 4), ({"HEADERS": "YES"}, 3), ({"HEADERS": None}, 3), (["HEADERS=NO"], 4)])
def test_open_options_reach_gdal(tmp_path, options, features):
    path = tmp_path / "t.csv"
    path.write_text("a,b\n0,0\n1,2\n2,4\n")
    with open_file(str(path), VECTOR, ["CSV"], options, None) as db:
        assert _ogr.Layer_GetFeatureCount(_gdal.Dataset_GetLayerByIndex(db.handle, 0), 1) == features


def test_what_cannot_be_opened_names_the_path_and_gdal_reason(tmp_path, gdal_mode, capfd):
    tif, csv, junk = raster_file(tmp_path / "d.tif"), tmp_path / "k.csv", tmp_path / "junk.tif"
    csv.write_text("a\n1\n")
    junk.write_bytes(b"this is not a tiff")
    for path, flags, drivers in [(tif, RASTER, ["PNG"]), (tif, VECTOR, None), (str(csv), RASTER, None),
                                 (str(junk), RASTER, None), (str(junk), RASTER | UPDATE, None)]:
        with pytest.raises(error.GDALError) as info:
            open_file(path, flags, drivers)
        assert not isinstance(info.value, FileNotFoundError) and path in str(info.value)
        if path == str(junk):
            assert info.value.gdal_message and info.value.gdal_message in str(info.value)
    assert _gdal.GetUseExceptions() == gdal_mode
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("flags", [RASTER, RASTER | UPDATE, 0])
@pytest.mark.parametrize("where", ["local", "vsimem"])
def test_missing_file(tmp_path, gdal_mode, capfd, flags, where):
    path = str(tmp_path / "none.tif") if where == "local" else mem_temp_path("tif")
    with pytest.raises(error.GDALFileNotFoundError) as info:
        open_file(path, flags)
    exc = info.value
    assert isinstance(exc, FileNotFoundError) and isinstance(exc, error.GDALError)
    assert path in str(exc) and exc.path == path and exc.filename == path
    if where == "local":
        assert "No such file" in exc.gdal_message  # GDAL's own reason
    assert _gdal.GetUseExceptions() == gdal_mode
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("call", [
    *[lambda p, a=a: open_file(p, *a) for a in [(None,), ("2",), (2.0,), (True,), (RASTER, [1]),
                                                (RASTER, ["GTiff", None]), (RASTER, None, None, [1])]],
    *[lambda p, h=h: GeoDatabase(h) for h in [None, 1, "x.tif", object(), [1], _gdal.GetDriverByName("GTiff")]],
])
def test_bad_arguments(tmp_path, call):
    with pytest.raises(TypeError):
        call(raster_file(tmp_path / "x.tif"))


@pytest.mark.parametrize("siblings, seen", [
    (None, "car"),  # GDAL looks beside the file itself
    ([], "car"),  # the same: the binding has no "empty list"
    (["s.tif"], None),  # told there is no .aux.xml
    (["s.tif", "s.tif.aux.xml"], "car"),
])
def test_sibling_list_is_what_gdal_sees(tmp_path, siblings, seen):
    path = raster_file(tmp_path / "s.tif")
    (tmp_path / "s.tif.aux.xml").write_text('<PAMDataset><Metadata><MDI key="SIDE">car</MDI></Metadata></PAMDataset>')
    with open_file(path, RASTER, None, None, siblings) as db:
        assert _gdal.MajorObject_GetMetadataItem(db.handle, "SIDE", "") == seen


# ---------------------------------------------------------------- read-only fallback


def test_read_only_virtual_file_system(tmp_path, gdal_mode, capfd):
    archive = str(tmp_path / "z.zip")
    with zipfile.ZipFile(archive, "w") as z:
        z.write(raster_file(tmp_path / "z.tif", 6, 6, 1), "z.tif")
    with open_file(f"/vsizip/{archive}/z.tif", RASTER | UPDATE, ["GTiff"], None, None) as db:
        assert (db.update, db.xsize) == (False, 6)  # GDAL refuses to update inside a zip
    with pytest.raises(error.GDALError):  # still an error for a missing member
        open_file(f"/vsizip/{archive}/other.tif", RASTER | UPDATE)
    assert _gdal.GetUseExceptions() == gdal_mode
    assert capfd.readouterr() == ("", "")


@pytest.mark.skipif(not hasattr(os, "setuid") or os.geteuid() != 0, reason="needs root to drop to nobody")
def test_file_without_write_permission():
    folder = tempfile.mkdtemp(prefix="vek-ro-")  # root may write anything: the open runs as nobody
    try:
        os.chmod(folder, 0o755)
        paths = [raster_file(os.path.join(folder, name), 4, 4, 1) for name in ("ro.tif", "rw.tif")]
        os.chmod(paths[0], 0o444)
        os.chmod(paths[1], 0o666)
        proc = run_python(f"""
            import os
            from vek._algos.geo import geodatabase
            os.setgid(65534)
            os.setuid(65534)
            for p in {paths!r}:
                with geodatabase.open_file(p, 3, ["GTiff"], None, None) as db:
                    print(db.update, db.xsize)
        """)
    finally:
        shutil.rmtree(folder)
    assert (proc.returncode, proc.stderr, proc.stdout.split()) == (0, "", ["False", "4", "True", "4"]), proc.stderr


def test_proxy_handles_from_osgeo_gdal(tmp_path):
    """Once osgeo.gdal is imported the binding returns proxies; they work the same."""
    path = str(tmp_path / "proxy.tif")
    proc = run_python(f"""
        import gc
        from osgeo import gdal, _gdal
        from vek._algos.geo.base import call_gdal_fun, mem_temp_path
        from vek._algos.geo.geodatabase import GeoDatabase, open_file
        gtiff = _gdal.GetDriverByName("GTiff")
        h = call_gdal_fun(_gdal.Driver_Create, gtiff, {path!r}, 3, 2, 1, 1, {{"COMPRESS": "LZW"}})
        assert isinstance(h, gdal.Dataset), type(h)
        with GeoDatabase(h) as db:
            print(db.xsize, db.ysize, db.driver_name)
        with open_file({path!r}, 2) as db:
            print(_gdal.MajorObject_GetMetadataItem(db.handle, "COMPRESSION", "IMAGE_STRUCTURE"))
        GeoDatabase(call_gdal_fun(_gdal.Driver_Create, gtiff, mem_temp_path("tif"), 3, 2, 1, 1, {{}}))
        gc.collect()
        print(_gdal.ReadDirRecursive("/vsimem/vek/"))
    """)
    assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
    assert proc.stdout.split("\n")[:3] == ["3 2 GTiff", "LZW", "None"]

"""Datasets: GeoDatabase (ownership, closing, in-memory clean-up) and open_file."""

import gc
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import zipfile

import pytest

from osgeo import _gdal, _ogr

import vek
from gdalmode import exceptions_mode
from vek._algos.geo import base, geodatabase
from vek._algos.geo.base import call_gdal_fun, error, mem_temp_path
from vek._algos.geo.geodatabase import GeoDatabase, open_file

# child processes import the same vek as this one
SRC = os.path.dirname(os.path.dirname(os.path.abspath(vek.__file__)))
RASTER, VECTOR, UPDATE = 2, 4, 1


def run_python(code, **kw):
    env_vars = dict(os.environ)
    env_vars["PYTHONPATH"] = SRC + os.pathsep + env_vars.get("PYTHONPATH", "")
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env_vars,
        timeout=120,
        **kw,
    )


def mem_files():
    listed = []
    for folder in ("/vsimem/", "/vsimem/vek/"):
        listed += [folder + n for n in (_gdal.ReadDirRecursive(folder) or [])]
    return listed


@pytest.fixture(params=[False, True], ids=["gdal-errors-as-codes", "gdal-exceptions"])
def gdal_mode(request):
    with exceptions_mode(request.param):
        yield int(request.param)


@pytest.fixture
def no_mem_leftovers():
    """The test must leave /vsimem/ as it found it."""
    before = set(mem_files())
    yield
    gc.collect()
    assert set(mem_files()) == before


def driver(name):
    return _gdal.GetDriverByName(name)


def create_raster(path, xsize=7, ysize=5, bands=2, options=None, name="GTiff"):
    return call_gdal_fun(_gdal.Driver_Create, driver(name), path, xsize, ysize, bands, 1, options or {})


def create_vector(path, layers=("points",), name="ESRI Shapefile"):
    h = call_gdal_fun(_gdal.Driver_Create, driver(name), path, 0, 0, 0, 0, [])
    for layer in layers:
        call_gdal_fun(_gdal.Dataset_CreateLayer, h, layer, None, 1, [])
    return h


def read_metadata(path, key):
    with base.quiet_gdal():
        h = _gdal.OpenEx(path, 0x40)
    assert h is not None, _gdal.GetLastErrorMsg()
    try:
        return _gdal.MajorObject_GetMetadataItem(h, key, "")
    finally:
        _gdal.delete_Dataset(h)


def write_csv(path, rows=3):
    with open(path, "w") as fh:
        fh.write("a,b\n")
        for i in range(rows):
            fh.write(f"{i},{i * 2}\n")


def feature_count(db, layer=0):
    lyr = _gdal.Dataset_GetLayerByIndex(db.handle, layer)
    return _ogr.Layer_GetFeatureCount(lyr, 1)


# ---------------------------------------------------------------- GeoDatabase


class TestGeoDatabase:
    def test_raster_facts(self, tmp_path):
        path = str(tmp_path / "r.tif")
        db = GeoDatabase(create_raster(path, 7, 5, 3))
        try:
            assert db.path == path
            assert db.driver_name == "GTiff"
            assert (db.xsize, db.ysize, db.band_count, db.layer_count) == (7, 5, 3, 0)
            assert db.files == [path]
            assert db.handle is not None and not db.closed
            assert path in repr(db) and "GTiff" in repr(db) and "7x5" in repr(db)
        finally:
            db.close()

    def test_vector_facts(self, tmp_path):
        folder = str(tmp_path / "shapes")
        db = GeoDatabase(create_vector(folder, ("a", "b")))
        try:
            assert db.driver_name == "ESRI Shapefile"
            assert db.layer_count == 2 and db.band_count == 0
            assert "2 layers" in repr(db)
        finally:
            db.close()

    @pytest.mark.parametrize("bad", [None, 1, "x.tif", object(), [1]])
    def test_not_a_dataset(self, bad):
        with pytest.raises(TypeError):
            GeoDatabase(bad)

    def test_driver_handle_is_not_a_dataset(self):
        with pytest.raises(TypeError):
            GeoDatabase(driver("GTiff"))

    def test_close_flushes_and_is_idempotent(self, tmp_path, capfd):
        path = str(tmp_path / "f.tif")
        db = GeoDatabase(create_raster(path))
        call_gdal_fun(_gdal.MajorObject_SetMetadataItem, db.handle, "WRITTEN", "by-vek", "")
        db.close()
        assert db.closed and db.handle is None
        db.close()
        assert read_metadata(path, "WRITTEN") == "by-vek"
        assert path in repr(db) and "closed" in repr(db)
        assert db.path == path and db.driver_name == "GTiff"
        for attr in ("xsize", "ysize", "band_count", "layer_count", "files"):
            with pytest.raises(ValueError, match="closed"):
                getattr(db, attr)
        assert capfd.readouterr() == ("", "")

    def test_context_manager(self, tmp_path):
        path = str(tmp_path / "c.tif")
        with GeoDatabase(create_raster(path)) as db:
            assert not db.closed
            call_gdal_fun(_gdal.MajorObject_SetMetadataItem, db.handle, "K", "v", "")
        assert db.closed
        assert read_metadata(path, "K") == "v"

    def test_context_manager_closes_on_error(self, tmp_path):
        path = str(tmp_path / "e.tif")
        with pytest.raises(KeyError):
            with GeoDatabase(create_raster(path)) as db:
                raise KeyError("boom")
        assert db.closed
        assert read_metadata(path, "nothing") is None  # readable: it was flushed

    def test_entering_a_closed_one(self, tmp_path):
        db = GeoDatabase(create_raster(str(tmp_path / "x.tif")))
        db.close()
        with pytest.raises(ValueError):
            with db:
                pass

    def test_forgotten_one_is_closed_silently(self, tmp_path, capfd):
        path = str(tmp_path / "g.tif")
        db = GeoDatabase(create_raster(path))
        call_gdal_fun(_gdal.MajorObject_SetMetadataItem, db.handle, "K", "kept", "")
        del db
        gc.collect()
        assert read_metadata(path, "K") == "kept"
        out = capfd.readouterr()
        assert out == ("", ""), out  # in particular no "memory leak" notice

    def test_closed_at_interpreter_exit(self, tmp_path):
        path = str(tmp_path / "exit.tif")
        proc = run_python(
            f"""
            from osgeo import _gdal
            from vek._algos.geo.base import call_gdal_fun
            from vek._algos.geo.geodatabase import GeoDatabase
            h = call_gdal_fun(_gdal.Driver_Create, _gdal.GetDriverByName("GTiff"), {path!r}, 3, 3, 1, 1, {{}})
            db = GeoDatabase(h)
            _gdal.MajorObject_SetMetadataItem(db.handle, "K", "at-exit", "")
            keep = [db]
            """
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout == "" and proc.stderr == ""
        assert read_metadata(path, "K") == "at-exit"

    def test_update_attribute(self, tmp_path):
        db = GeoDatabase(create_raster(str(tmp_path / "u.tif")), update=True)
        assert db.update is True
        db.close()
        assert GeoDatabase.__init__.__kwdefaults__ == {"update": None}


class TestInMemoryCleanup:
    @pytest.mark.parametrize(
        "ext, make",
        [
            ("tif", lambda p: create_raster(p)),
            ("shp", lambda p: create_vector(p)),  # .shp .shx .dbf
            ("", lambda p: create_vector(p, ("x", "y"))),  # a directory of shapefiles
            ("img", lambda p: create_raster(p, name="ENVI")),  # .img + .hdr
            ("gpkg", lambda p: create_vector(p, name="GPKG")),
        ],
        ids=["gtiff", "shapefile", "shapefile-dir", "envi", "gpkg"],
    )
    def test_close_removes_every_file(self, no_mem_leftovers, ext, make):
        if ext == "gpkg" and driver("GPKG") is None:
            pytest.skip("no GPKG driver")
        path = mem_temp_path(ext)
        db = GeoDatabase(make(path))
        made = [f for f in mem_files() if os.path.basename(path).split(".")[0] in f]
        assert made  # there was something to remove
        db.close()
        assert not base.is_mem_temp_path(path)

    def test_sidecar_written_at_close_is_removed(self, no_mem_leftovers):
        # a PAM .aux.xml appears only when the dataset is closed
        path = mem_temp_path("tif")
        h = create_raster(path)
        _gdal.delete_Dataset(h)
        db = open_file(path, RASTER)
        call_gdal_fun(_gdal.MajorObject_SetMetadataItem, db.handle, "PAM", "yes", "")
        db.close()

    def test_finaliser_removes_too(self, no_mem_leftovers, capfd):
        db = GeoDatabase(create_vector(mem_temp_path("shp")))
        del db
        gc.collect()
        assert capfd.readouterr() == ("", "")

    def test_other_vsimem_files_are_kept(self):
        path = "/vsimem/vek-user-owned.tif"
        try:
            GeoDatabase(create_raster(path)).close()
            assert base.path_exists(path)
        finally:
            _gdal.Unlink(path)

    def test_only_its_own_files(self, no_mem_leftovers):
        a, b = mem_temp_path("tif"), mem_temp_path("tif")
        with GeoDatabase(create_raster(a)), GeoDatabase(create_raster(b)) as db_b:
            pass
        assert db_b.closed
        with GeoDatabase(create_raster(mem_temp_path("tif"))) as keep:
            with GeoDatabase(create_raster(mem_temp_path("tif"))):
                pass
            assert base.path_exists(keep.path)


# ---------------------------------------------------------------- open_file


class TestOpenFile:
    def test_raster(self, tmp_path, gdal_mode, capfd):
        path = str(tmp_path / "r.tif")
        GeoDatabase(create_raster(path, 9, 4, 2)).close()
        with open_file(path, RASTER, ["GTiff"], None, None) as db:
            assert (db.driver_name, db.xsize, db.ysize, db.band_count) == ("GTiff", 9, 4, 2)
            assert db.update is False
        assert _gdal.GetUseExceptions() == gdal_mode
        assert capfd.readouterr() == ("", "")

    def test_raster_for_update(self, tmp_path):
        path = str(tmp_path / "w.tif")
        GeoDatabase(create_raster(path)).close()
        with open_file(path, RASTER | UPDATE, ["GTiff"], {}, []) as db:
            assert db.update is True
            call_gdal_fun(_gdal.MajorObject_SetMetadataItem, db.handle, "EDIT", "1", "")
        assert read_metadata(path, "EDIT") == "1"

    def test_all_kinds_flags(self, tmp_path):
        # raster + gnm + multidim, plus update: how a creatable raster driver opens
        path = str(tmp_path / "k.tif")
        GeoDatabase(create_raster(path)).close()
        with open_file(path, 2 | 8 | 16 | UPDATE, ["GTiff"], {}, []) as db:
            assert db.band_count == 2

    def test_vector(self, tmp_path):
        folder = str(tmp_path / "v")
        GeoDatabase(create_vector(folder, ("pts",))).close()
        with open_file(os.path.join(folder, "pts.shp"), VECTOR, ["ESRI Shapefile"], None, None) as db:
            assert db.layer_count == 1 and db.driver_name == "ESRI Shapefile"

    def test_path_like(self, tmp_path):
        path = tmp_path / "p.tif"
        GeoDatabase(create_raster(str(path))).close()
        with open_file(path, RASTER) as db:
            assert db.path == str(path)

    @pytest.mark.parametrize(
        "options, features",
        [(None, 3), ({}, 3), ({"HEADERS": False}, 4), ({"HEADERS": "YES"}, 3), ({"HEADERS": None}, 3),
         (["HEADERS=NO"], 4)],
    )
    def test_open_options(self, tmp_path, options, features):
        path = str(tmp_path / "t.csv")
        write_csv(path, 3)
        with open_file(path, VECTOR, ["CSV"], options, None) as db:
            assert feature_count(db) == features

    def test_drivers_restrict(self, tmp_path, gdal_mode, capfd):
        path = str(tmp_path / "d.tif")
        GeoDatabase(create_raster(path)).close()
        with pytest.raises(error.GDALError) as info:
            open_file(path, RASTER, ["PNG"], None, None)
        assert path in str(info.value)
        assert not isinstance(info.value, FileNotFoundError)
        with open_file(path, RASTER, ["PNG", "GTiff"], None, None) as db:
            assert db.driver_name == "GTiff"
        assert _gdal.GetUseExceptions() == gdal_mode
        assert capfd.readouterr() == ("", "")

    def test_kind_flags_restrict(self, tmp_path):
        raster = str(tmp_path / "k.tif")
        GeoDatabase(create_raster(raster)).close()
        csv = str(tmp_path / "k.csv")
        write_csv(csv)
        with pytest.raises(error.GDALError):
            open_file(raster, VECTOR)
        with pytest.raises(error.GDALError):
            open_file(csv, RASTER)

    @pytest.mark.parametrize("flags", [RASTER, RASTER | UPDATE, 0])
    def test_missing_file(self, tmp_path, gdal_mode, capfd, flags):
        path = str(tmp_path / "none.tif")
        with pytest.raises(error.GDALFileNotFoundError) as info:
            open_file(path, flags)
        exc = info.value
        assert isinstance(exc, FileNotFoundError) and isinstance(exc, error.GDALError)
        assert path in str(exc) and exc.path == path and exc.filename == path
        assert "No such file" in exc.gdal_message  # GDAL's own reason
        assert _gdal.GetUseExceptions() == gdal_mode
        assert capfd.readouterr() == ("", "")

    def test_missing_in_memory_file(self):
        with pytest.raises(error.GDALFileNotFoundError):
            open_file(mem_temp_path("tif"), RASTER)

    def test_not_a_dataset(self, tmp_path, gdal_mode, capfd):
        path = tmp_path / "junk.tif"
        path.write_bytes(b"this is not a tiff")
        with pytest.raises(error.GDALError) as info:
            open_file(str(path), RASTER)
        assert not isinstance(info.value, FileNotFoundError)
        assert str(path) in str(info.value)
        assert info.value.gdal_message and info.value.gdal_message in str(info.value)
        assert _gdal.GetUseExceptions() == gdal_mode
        assert capfd.readouterr() == ("", "")

    @pytest.mark.parametrize("bad", [None, "2", 2.0, True])
    def test_bad_flags(self, tmp_path, bad):
        with pytest.raises(TypeError):
            open_file(str(tmp_path / "x.tif"), bad)

    @pytest.mark.parametrize("bad", [[1], ["GTiff", None]])
    def test_bad_driver_list(self, tmp_path, bad):
        with pytest.raises(TypeError):
            open_file(str(tmp_path / "x.tif"), RASTER, bad)


class TestSiblingFiles:
    @pytest.fixture
    def with_pam(self, tmp_path):
        path = str(tmp_path / "s.tif")
        GeoDatabase(create_raster(path)).close()
        with open(path + ".aux.xml", "w") as fh:
            fh.write('<PAMDataset><Metadata><MDI key="SIDE">car</MDI></Metadata></PAMDataset>')
        return path

    @pytest.mark.parametrize(
        "siblings, seen",
        [
            (None, "car"),  # GDAL looks beside the file itself
            ([], "car"),  # same: the binding has no "empty list"
            (["s.tif"], None),  # told there is no .aux.xml
            (["s.tif", "s.tif.aux.xml"], "car"),
        ],
    )
    def test_list_is_what_gdal_sees(self, with_pam, siblings, seen):
        with open_file(with_pam, RASTER, None, None, siblings) as db:
            assert _gdal.MajorObject_GetMetadataItem(db.handle, "SIDE", "") == seen

    def test_bad_list(self, with_pam):
        with pytest.raises(TypeError):
            open_file(with_pam, RASTER, None, None, [1])


class TestReadOnlyFallback:
    def test_read_only_virtual_file_system(self, tmp_path, gdal_mode, capfd):
        tif = str(tmp_path / "z.tif")
        GeoDatabase(create_raster(tif, 6, 6, 1)).close()
        archive = str(tmp_path / "z.zip")
        with zipfile.ZipFile(archive, "w") as z:
            z.write(tif, "z.tif")
        path = f"/vsizip/{archive}/z.tif"
        # GDAL itself refuses the update open here
        with base.quiet_gdal():
            try:
                assert _gdal.OpenEx(path, RASTER | UPDATE | 0x40) is None
            except RuntimeError:
                pass
        with open_file(path, RASTER | UPDATE, ["GTiff"], None, None) as db:
            assert db.update is False and db.xsize == 6
        assert _gdal.GetUseExceptions() == gdal_mode
        assert capfd.readouterr() == ("", "")

    def test_missing_inside_archive_is_still_an_error(self, tmp_path):
        archive = str(tmp_path / "e.zip")
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("other.txt", "x")
        with pytest.raises(error.GDALError):
            open_file(f"/vsizip/{archive}/z.tif", RASTER | UPDATE)

    @pytest.mark.skipif(not hasattr(os, "setuid") or os.geteuid() != 0, reason="needs root to drop to nobody")
    def test_file_without_write_permission(self):
        # Root may write anything, so the open runs as an unprivileged user,
        # in a folder of its own that that user can reach.
        folder = tempfile.mkdtemp(prefix="vek-ro-")
        try:
            os.chmod(folder, 0o755)
            path = os.path.join(folder, "ro.tif")
            writable = os.path.join(folder, "rw.tif")
            GeoDatabase(create_raster(path, 4, 4, 1)).close()
            GeoDatabase(create_raster(writable, 4, 4, 1)).close()
            os.chmod(path, 0o444)
            os.chmod(writable, 0o666)
            proc = run_python(
                f"""
                import os
                from osgeo import _gdal
                from vek._algos.geo.geodatabase import open_file
                from vek._algos.geo.base import quiet_gdal
                os.setgid(65534)
                os.setuid(65534)
                assert not os.access({path!r}, os.W_OK)
                with quiet_gdal():
                    assert _gdal.OpenEx({path!r}, 3 | 0x40) is None  # GDAL refuses update
                with open_file({path!r}, 3, ["GTiff"], None, None) as db:
                    print(db.update, db.xsize)
                with open_file({writable!r}, 3, ["GTiff"], None, None) as db:
                    print(db.update, db.xsize)
                """
            )
        finally:
            shutil.rmtree(folder)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.split() == ["False", "4", "True", "4"]
        assert proc.stderr == ""

    def test_no_retry_without_update(self, monkeypatch, tmp_path):
        # a plain read-only failure is reported once, not retried
        calls = []
        real = geodatabase._open_raw

        def counting(*args):
            calls.append(args[1])
            return real(*args)

        monkeypatch.setattr(geodatabase, "_open_raw", counting)
        junk = tmp_path / "j.tif"
        junk.write_bytes(b"junk")
        with pytest.raises(error.GDALError):
            open_file(str(junk), RASTER)
        assert calls == [RASTER]
        calls.clear()
        with pytest.raises(error.GDALError):
            open_file(str(junk), RASTER | UPDATE)
        assert calls == [RASTER | UPDATE, RASTER]  # retried read-only, failed too


# ---------------------------------------------------------------- with osgeo.gdal


def test_proxy_handles_from_osgeo_gdal(tmp_path):
    """Once osgeo.gdal is imported the binding returns proxy objects; they
    are handled the same way.  Runs in a child process."""
    path = str(tmp_path / "proxy.tif")
    proc = run_python(
        f"""
        import gc
        from osgeo import gdal, _gdal
        from vek._algos.geo.base import call_gdal_fun, mem_temp_path
        from vek._algos.geo.geodatabase import GeoDatabase, open_file
        h = call_gdal_fun(_gdal.Driver_Create, _gdal.GetDriverByName("GTiff"), {path!r}, 3, 2, 1, 1, {{"COMPRESS": "LZW"}})
        assert isinstance(h, gdal.Dataset), type(h)
        with GeoDatabase(h) as db:
            print(db.xsize, db.ysize, db.driver_name)
        with open_file({path!r}, 2) as db:
            print(_gdal.MajorObject_GetMetadataItem(db.handle, "COMPRESSION", "IMAGE_STRUCTURE"))
        m = mem_temp_path("tif")
        GeoDatabase(call_gdal_fun(_gdal.Driver_Create, _gdal.GetDriverByName("GTiff"), m, 3, 2, 1, 1, {{}}))
        gc.collect()
        print(_gdal.ReadDirRecursive("/vsimem/vek/"))
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:3] == ["3 2 GTiff", "LZW", "None"]
    assert proc.stderr == ""

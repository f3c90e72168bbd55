"""A stopped, failed or refused write leaves the files that existed before
it byte for byte and none of its own, for every driver of the registry
that writes, by Create and by CreateCopy: ``src/`` (the sources) and
``out/`` (the target's folder) hold bystanders, one named with the
target's stem. A copy is stopped by a progress answering ``False`` at its
last call; a close fails when ``out/`` is removed with a metadata item
left to write."""

import os
import shutil
import warnings

import pytest
from osgeo import _gdal

from conftest import all_driver_names, metadata
from vek._algos.geo import _error as error
from vek._algos.geo.dataset.staging import stages
from vek._algos.geo.geodatabase import create_vector, open_file

pytestmark = pytest.mark.filterwarnings("ignore::vek._algos.geo._error.GDALWarning")
MEM = "/vsimem/vek-write-safety/"
FAILED = (error.GDALError, error.FormatError, ValueError)
# GDAL's own faults, skipped by name: the process dies in the driver, or
# it writes beside the target under names not of the target's stem.
CRASHES_AT_FAILING_CLOSE = {"DXF": "GDAL's DXF writer crashes closing a file whose folder is gone"}
OUTSIDE_THE_STEM = {"KMLSUPEROVERLAY": "KMLSUPEROVERLAY writes its tiles to folders 0/, 1/, ... beside the target"}


def writers(cap, *, without=None):
    return [(k, n) for k in ("RASTER", "VECTOR") for n in all_driver_names()
            if metadata(n, f"DCAP_{k}") == "YES" and metadata(n, cap) == "YES"
            and (without is None or metadata(n, without) != "YES")]


COPIERS = writers("DCAP_CREATECOPY") + writers("DCAP_CREATE", without="DCAP_CREATECOPY")
IDS = [f"{k}-{n}" for k, n in COPIERS]


def snapshot(folder):
    """``{file: bytes}`` under ``folder``, ``None`` when it is gone."""
    if not os.path.isdir(folder):
        return None
    return {os.path.join(top, f): open(os.path.join(top, f), "rb").read()
            for top, _dirs, files in os.walk(folder) for f in files}


def target(folder, name):
    return f"{folder}/t." + (metadata(name, "DMD_EXTENSIONS") or metadata(name, "DMD_EXTENSION") or "dat").split()[0]


@pytest.fixture
def place(tmp_path):
    src, out = tmp_path / "src", tmp_path / "out"
    src.mkdir(), out.mkdir()
    raster = _gdal.Driver_Create(_gdal.GetDriverByName("GTiff"), str(src / "r.tif"), 16, 16, 1, 1, [])
    _gdal.Dataset_SetGeoTransform(raster, [0, 1, 0, 16, 0, -1])
    _gdal.Band_GetStatistics(_gdal.Dataset_GetRasterBand(raster, 1), 0, 1)  # else RST's copy saves them
    _gdal.delete_Dataset(raster)
    with create_vector("GPKG", src / "v.gpkg") as db:
        db.create_layer("points", "Point", fields={"name": "String"})
    for folder in (src, out):
        (folder / "t.keep").write_bytes(b"bystander")
    _gdal.FileFromMemBuffer(MEM + "t.keep", b"bystander")
    yield src, out, {"RASTER": str(src / "r.tif"), "VECTOR": str(src / "v.gpkg")}, snapshot(src), snapshot(out)
    _gdal.RmdirRecursive(MEM)


@pytest.mark.parametrize("where", ["disk", "memory"])
@pytest.mark.parametrize("kind, name", COPIERS, ids=IDS)
def test_a_stopped_copy_leaves_nothing_of_its_own(place, kind, name, where):
    if name in OUTSIDE_THE_STEM:
        pytest.skip(OUTSIDE_THE_STEM[name])
    """The old target stays byte for byte; what another writer makes in the
    folder meanwhile (a name of the target's stem, a link to a folder)
    survives, and the link is not followed."""
    src, out, source, before_src, _ = place
    path = target(out if where == "disk" else MEM.rstrip("/"), name)
    intruder = path.rsplit("/", 1)[0] + "/t0.keep"
    old = stages(path, _gdal.GetDriverByName(name))  # else it writes in place, as GDAL does
    if old:
        put(path, b"the old target")
    before_out, before_mem, calls = snapshot(out), set(_gdal.ReadDirRecursive(MEM)), []

    def progress(done):
        if not calls:  # another writer, while the copy runs
            put(intruder, b"another writer's")
            os.symlink(src, out / "t.latest")
        calls.append(done)
        return done < 1.0

    with open_file(source[kind]) as ds:
        try:
            ds.copy_to(path, name, progress=progress).close()
        except FAILED:
            pass
        else:
            assert 1.0 not in calls, "a copy told to stop was kept"
            pytest.skip(f"{name} copies without calling progress at the end")
    made = {intruder: b"another writer's"} if calls and where == "disk" else {}  # a failure before any progress
    assert (snapshot(src), snapshot(out)) == (before_src, {**before_out, **made})
    assert set(_gdal.ReadDirRecursive(MEM)) == before_mem | ({"t0.keep"} if calls and where == "memory" else set())
    assert os.path.islink(out / "t.latest") == bool(calls) and (not old or read(path) == b"the old target")


def put(path, data):
    if path.startswith("/vsimem/"):
        _gdal.FileFromMemBuffer(path, data)
    else:
        with open(path, "wb") as fh:
            fh.write(data)


def read(path):
    if not path.startswith("/vsimem/"):
        with open(path, "rb") as fh:
            return fh.read()
    fp = _gdal.VSIFOpenL(path, "rb")
    try:
        return _gdal.VSIFReadL(1, 1 << 20, fp)
    finally:
        _gdal.VSIFCloseL(fp)


@pytest.mark.parametrize("road", ["copy", "create"])
@pytest.mark.parametrize("kind, name", COPIERS, ids=IDS)
def test_a_write_whose_close_fails_touches_no_file_that_was_there(drv, place, kind, name, road):
    """A VRT lists its sources among its files: a failed close removed them."""
    src, out, source, before_src, before_out = place
    try:
        if road == "copy":
            with open_file(source[kind]) as ds:
                new = ds.copy_to(target(out, name), name)
        elif kind == "RASTER":
            new = drv.RasterDriver(name).create(target(out, name), 16, 16, 1, "Byte")
        else:
            new = create_vector(name, target(out, name))
    except FAILED:
        assert (snapshot(src), snapshot(out)) == (before_src, before_out)
        return
    if name in CRASHES_AT_FAILING_CLOSE:
        new.close()
        pytest.skip(CRASHES_AT_FAILING_CLOSE[name])
    with new._using() as handle:
        _gdal.MajorObject_SetMetadataItem(handle, "VEK", "written at close", "")
    shutil.rmtree(out)
    try:
        new.close()
    except error.GDALError:
        pass
    assert (snapshot(src), snapshot(out)) == (before_src, None)


@pytest.mark.parametrize("spelling", ["backslash in /vsimem/", "relative, then chdir"])
def test_a_copy_onto_its_source_is_refused_as_gdal_resolves_the_name(drv, tmp_path, monkeypatch, spelling):
    monkeypatch.chdir(tmp_path)
    source, path = (MEM + "d/a.tif", MEM + "d\\a.tif") if "vsimem" in spelling else ("a.tif", str(tmp_path / "a.tif"))
    drv.RasterDriver("GTiff").create(source, 8, 8, 1).close()
    with open_file(source) as ds:
        os.chdir(tmp_path.parent)
        with pytest.raises(ValueError, match="own file"):
            ds.copy_to(path, "GTiff", progress=lambda done: False)
    assert open_file(path.replace("\\", "/")).xsize == 8
    _gdal.RmdirRecursive(MEM)


def test_a_create_layer_that_raises_leaves_no_layer():
    with create_vector("GPKG", None) as db:
        with warnings.catch_warnings(), pytest.raises(Exception):  # GDAL's warning (or a refusal)
            warnings.simplefilter("error")
            db.create_layer("l", "Point", fields={"name": "String"}, options={"COMPRES": "x"})
        assert db.layers == []  # it stayed without its field, and a retry failed
        assert db.create_layer("l", "Point", fields={"name": "String"}) == ("l", "Point", 0)


@pytest.mark.parametrize("call", ["open_file", "create_vector", "RasterDriver.create"])
def test_a_missing_name_that_is_not_utf8_raises_gdals_error(drv, tmp_path, call):
    """GDAL 3.6's binding failed to hand the message to Python: SystemError."""
    missing = os.path.join(os.fsencode(tmp_path), b"gone-\xfc")
    calls = {"open_file": lambda: open_file(missing), "create_vector": lambda: create_vector("GPKG", missing + b"/x"),
             "RasterDriver.create": lambda: drv.RasterDriver("GTiff").create(missing + b"/x.tif", 1, 1, 1)}
    with pytest.raises(error.GDALFileNotFoundError if call == "open_file" else error.GDALError, match="gone-\udcfc"):
        calls[call]()

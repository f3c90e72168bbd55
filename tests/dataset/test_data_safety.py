"""Data safety: in-memory datasets leave nothing behind, a failing creation
leaves no half-made file and hands back nothing, and HTML output never
carries unescaped text from metadata, configuration or option values."""

import os
import subprocess
import sys

import pytest

from conftest import need_drivers, user_files
from fakes import FakeEnv
from osgeo import _gdal

from vek._algos.geo.binding.paths import MEM_DIR, path_exists

CYCLES = int(os.environ.get("VEK_VSIMEM_CYCLES", "10000"))
SCRIPT = "<script>alert(1)</script>"
IMG = "<img src=x onerror=alert(2)>"
ESCAPED_SCRIPT = "&lt;script&gt;alert(1)&lt;/script&gt;"
TEST_DIR = "/vsimem/vek-data-safety/"


def vsimem_files(*dirs):
    """Every file under /vsimem/: GDAL 3.6 cannot list /vsimem/ itself, so
    the folders the package and these tests write to are listed then."""
    listed = _gdal.ReadDirRecursive("/vsimem/")
    if listed is not None:
        return sorted("/vsimem/" + name for name in listed if not name.endswith("/"))
    found = []
    for folder in (MEM_DIR, TEST_DIR, *dirs):
        found += [folder + name for name in _gdal.ReadDirRecursive(folder) or [] if not name.endswith("/")]
    return sorted(found)


@pytest.fixture
def clean_vsimem():
    before = vsimem_files()
    yield
    left = sorted(set(vsimem_files()) - set(before))
    for name in left:
        _gdal.Unlink(name)
    assert left == []


# ---- in-memory create/close cycles ---------------------------------------------------------------


def test_in_memory_create_close_cycles_leave_nothing(drv, clean_vsimem):
    """CYCLES creations spread over raster and vector drivers, closed in
    the three ways a dataset can be: close(), a with block, or dropped."""
    need_drivers("ENVI")
    makers = [
        lambda: drv.RasterDriver("GTiff").create(None, 3, 2, 1),
        lambda: drv.RasterDriver("MEM").create(None, 2, 2, 2, "Byte"),
        lambda: drv.VectorDriver("ESRI Shapefile").create(None),
        lambda: drv.RasterDriver("ENVI").create(None, 2, 2, 1),  # with a .hdr beside it
    ]
    paths = set()
    for i in range(CYCLES):
        ds = makers[i % len(makers)]()
        paths.add(ds.path)
        how = i % 3
        if how == 0:
            ds.close()
        elif how == 1:
            with ds:
                pass
        else:
            del ds  # the dataset object closes itself when collected
    assert len(paths) == CYCLES  # a new path every time
    assert all(path.startswith(MEM_DIR) for path in paths if path)


def test_raw_in_memory_handle_closed_by_hand_leaves_nothing(drv, clean_vsimem):
    r = drv.RasterDriver("GTiff")
    for _ in range(100):
        handle = r._create_(None, 1, 1, 1)
        path = _gdal.MajorObject_GetDescription(handle)
        _gdal.delete_Dataset(handle)
        _gdal.Unlink(path)


# ---- failing creation ------------------------------------------------------------------------------


def failing_gtiff(drv, **options):
    r = drv.RasterDriver("GTiff")
    r.set_creation_options(**options)
    return r


FAILURES = [
    ("zero size", {}, (0, 0, 1, "Float32")),
    ("JPEG of 64-bit floats", {"COMPRESS": "JPEG"}, (10, 10, 1, "Float64")),
    ("YCbCr without JPEG", {"PHOTOMETRIC": "YCBCR"}, (10, 10, 3, "Byte")),
    ("bad tile width", {"TILED": "YES", "BLOCKXSIZE": "7"}, (10, 10, 1, "Byte")),
]


@pytest.mark.parametrize("label, options, args", FAILURES, ids=[f[0] for f in FAILURES])
def test_failing_creation_at_a_path_leaves_no_file(drv, clean_vsimem, label, options, args):
    r = failing_gtiff(drv, **options)
    path = TEST_DIR + "failed.tif"
    result = "nothing"
    with pytest.raises(drv.error.GDALError):
        result = r.create(path, *args)
    assert result == "nothing"
    assert not path_exists(path)


@pytest.mark.parametrize("label, options, args", FAILURES, ids=[f[0] for f in FAILURES])
def test_failing_creation_on_disk_leaves_no_file(drv, tmp_path, label, options, args):
    r = failing_gtiff(drv, **options)
    with pytest.raises(drv.error.GDALError):
        r.create(str(tmp_path / "failed.tif"), *args)
    assert os.listdir(tmp_path) == []


def test_failing_vector_creation_leaves_no_file(drv, tmp_path):
    target = tmp_path / "sub"  # a regular file where the folder should be
    target.write_text("not a folder")
    with pytest.raises(drv.error.GDALError):
        drv.VectorDriver("GPKG").create(str(target / "x.gpkg"))
    assert sorted(os.listdir(tmp_path)) == ["sub"]


@pytest.mark.parametrize("dtype", ["NoSuchType", 999, None])
def test_unknown_data_type_creates_nothing(drv, clean_vsimem, dtype):
    with pytest.raises((ValueError, TypeError)):
        drv.RasterDriver("GTiff").create(TEST_DIR + "typed.tif", 1, 1, 1, dtype)
    assert not path_exists(TEST_DIR + "typed.tif")


def test_failing_in_memory_creation_leaves_no_file(drv):
    before = vsimem_files()
    with pytest.raises(drv.error.GDALError):
        drv.RasterDriver("GTiff").create(None, 0, 0, 1)
    assert vsimem_files() == before


def test_failing_mem_temp_path_creates_nothing(drv, clean_vsimem):
    def refuse(ext):
        raise PermissionError("no path for you")

    drv.mem_temp_path = refuse
    with pytest.raises(PermissionError):
        drv.RasterDriver("GTiff").create(None, 1, 1, 1)
    with pytest.raises(PermissionError):
        drv.VectorDriver("ESRI Shapefile").create(None)


# ---- HTML output ------------------------------------------------------------------------------------

HOSTILE_XML = (
    "<CreationOptionList>"
    '<Option name="OPT" type="string" default="&lt;script&gt;alert(1)&lt;/script&gt;"'
    ' description="&lt;img src=x onerror=alert(2)&gt;"><Value>&lt;script&gt;alert(1)&lt;/script&gt;</Value></Option>'
    '<Option name="&lt;script&gt;alert(1)&lt;/script&gt;" type="&lt;b&gt;"/>'
    '<Option name="PLAIN" type="int"/>'
    "</CreationOptionList>"
)


def assert_safe(html):
    assert "<script" not in html.lower()
    assert "<img" not in html.lower()
    assert ESCAPED_SCRIPT in html


@pytest.fixture
def hostile_driver(drv, fake_gdal):
    """A fake driver whose name, extension, long name and option list all
    carry markup, and a configuration whose default carries it too."""
    fake_gdal.add(
        SCRIPT,
        DCAP_RASTER="YES",
        DCAP_CREATE="YES",
        DMD_EXTENSION=IMG,
        DMD_LONGNAME=SCRIPT,
        DMD_CREATIONOPTIONLIST=HOSTILE_XML,
        DMD_OPENOPTIONLIST=HOSTILE_XML,
    )
    fake_gdal.add("PLAIN_DRIVER", DCAP_VECTOR="YES", DMD_EXTENSIONS=IMG + " x")
    drv.env = FakeEnv(raster={SCRIPT: {"OPT": SCRIPT, "PLAIN": IMG}}, vector={})
    drv.env.JupyterShowMaxShape = (20, 10)
    return SCRIPT


@pytest.mark.parametrize("cls_name", ["Driver", "RasterDriver"])
def test_driver_html_escapes_metadata_configuration_and_values(drv, hostile_driver, cls_name):
    d = getattr(drv, cls_name)(hostile_driver)
    assert d.creation_options_info["OPT"]["current"] == SCRIPT  # the configured default
    html = d._repr_html_()
    assert_safe(html)
    assert "&lt;b&gt;" in html  # the option type written as markup
    d.set_creation_options(**{"PLAIN": SCRIPT, SCRIPT: IMG})
    assert_safe(d._repr_html_())


class Markup:
    """A value whose text is markup."""

    def __str__(self):
        return SCRIPT

    __repr__ = __str__


@pytest.mark.parametrize("value", [SCRIPT, Markup(), [SCRIPT, IMG], {"k": SCRIPT}], ids=["str", "object", "list", "dict"])
def test_driver_html_escapes_any_option_value(drv, hostile_driver, value):
    d = drv.Driver(hostile_driver)
    d.set_creation_options(PLAIN=value)
    assert_safe(d._repr_html_())


def test_statistics_html_escapes_driver_names_and_extensions(drv, hostile_driver):
    html = drv.DriveStatistics()._repr_html_()
    assert_safe(html)
    assert "&lt;img src=x onerror=alert(2)&gt;" in html


def test_real_driver_html_has_no_markup_from_gdal(drv):
    """GDAL's own option lists hold descriptions with '<' and '&'; none of
    it may come through as markup."""
    for name in ("GTiff", "GPKG", "ESRI Shapefile"):
        d = drv.Driver(name)
        d.set_creation_options(**{next(iter(d.creation_options_info)): SCRIPT})
        html = d._repr_html_()
        assert "<script" not in html.lower()
        assert ESCAPED_SCRIPT in html


# ---- paths, and who owns what a creation made --------------------------------------------------------


@pytest.mark.parametrize("form", [str, os.fsencode], ids=["str", "bytes"])
def test_path_with_a_nul_is_refused_before_gdal_sees_it(drv, tmp_path, form):
    """GDAL takes C strings: "v.tif\\0.tif" overwrote v.tif, open() opened it."""
    victim, gtiff = str(tmp_path / "v.tif"), drv.RasterDriver("GTiff")
    gtiff.create(victim, 3, 3, 1).close()
    before = open(victim, "rb").read()
    for call in (lambda p: gtiff.create(p, 1, 1, 1), drv.VectorDriver("GPKG").create, gtiff.open,
                 lambda p: gtiff.open(victim, [os.path.basename(p)])):
        with pytest.raises(ValueError, match="embedded null byte"):
            call(form(victim + "\0.tif"))
    assert os.listdir(tmp_path) == ["v.tif"] and open(victim, "rb").read() == before


@pytest.mark.parametrize("name", [b"bytes.tif", b"latin1-\xfc.tif", "escaped-\udcfc.tif", "path"])
def test_any_path_form_creates_and_opens_the_named_file(drv, tmp_path, name):
    path = tmp_path / "p.tif" if name == "path" else os.path.join(os.fsencode(tmp_path) if type(name) is bytes
                                                                    else str(tmp_path), name)
    with drv.RasterDriver("GTiff").create(path, 4, 3, 2) as ds:
        assert ds.files == [os.fsdecode(path)]
    assert os.listdir(os.fsencode(tmp_path)) == [os.path.basename(os.fsencode(path))]
    assert drv.RasterDriver("GTiff").open(path).band_count == 2


@pytest.mark.parametrize("target", ["dangling symlink", "bytes", "path"])
def test_failed_creation_removes_what_it_made_and_only_that(drv, tmp_path, target):
    """A dangling link was followed by the "existed before" test, so the
    link went and the half-made file at its target stayed; bytes left it."""
    link = tmp_path / "link.tif"
    link.symlink_to(tmp_path / "target.tif")
    path = {"dangling symlink": str(link), "bytes": os.fsencode(tmp_path / "b.tif"), "path": tmp_path / "p.tif"}
    with pytest.raises(drv.error.GDALError):
        failing_gtiff(drv, COMPRESS="JPEG").create(path[target], 10, 10, 1)  # written, then refused
    assert os.listdir(tmp_path) == ["link.tif"] and os.readlink(link) == str(tmp_path / "target.tif")


def test_closing_a_reader_leaves_the_writers_in_memory_files(drv, clean_vsimem):
    gtiff = drv.RasterDriver("GTiff")
    writer = gtiff.create(None, 3, 3, 1)
    _gdal.Dataset_FlushCache(writer.handle)
    gtiff.open(writer.path).close()
    assert writer.files == [writer.path]
    writer.close()
    assert not path_exists(writer.path)


@pytest.mark.parametrize("how", ["close", "drop"])
def test_a_creation_that_fails_at_close_leaves_no_broken_file(drv, tmp_path, how):
    """A GeoPackage raster without a geotransform fails at close: it left
    a file GDAL could not open."""
    ds = drv.RasterDriver("GPKG").create(str(tmp_path / "v.gpkg"), 10, 10, 1, "Byte")
    if how == "close":
        with pytest.raises(drv.error.GDALError, match="closing"):
            ds.close()
    del ds
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("section, city", [("creation_options", "Zürich"), ("open_options", "Z\udcfcrich")])
def test_configured_creation_options_do_not_reach_open(drv, tmp_path, monkeypatch, section, city):
    """ENCODING for new shapefiles made every LATIN1 shapefile read wrongly."""
    from osgeo import _ogr

    ds = _gdal.Driver_Create(_gdal.GetDriverByName("ESRI Shapefile"), str(tmp_path / "c.shp"), 0, 0, 0, 0, [])
    layer = _gdal.Dataset_CreateLayer(ds, "c", None, 1, ["ENCODING=LATIN1"])
    if _ogr.Layer_CreateField(layer, _ogr.new_FieldDefn("city", 4), 1) != 0:
        _gdal.delete_Dataset(ds)  # GDAL's binary wheel has no iconv: "cannot convert to LATIN1"
        pytest.skip("this GDAL cannot write LATIN1 shapefiles (built without iconv)")
    feature = _ogr.new_Feature(_ogr.Layer_GetLayerDefn(layer))
    _ogr.Feature_SetField(feature, 0, "Zürich")
    _ogr.Layer_CreateFeature(layer, feature)
    _gdal.delete_Dataset(ds)
    (tmp_path / "vek.toml").write_text(f'[vector.{section}."ESRI Shapefile"]\nENCODING = "UTF-8"\n')
    monkeypatch.setenv("VEK_CONFIG", str(tmp_path / "vek.toml"))
    drv.env.reload()
    with drv.VectorDriver("ESRI Shapefile").open(str(tmp_path / "c.shp")) as ds:
        feature = _ogr.Layer_GetNextFeature(_gdal.Dataset_GetLayerByIndex(ds.handle, 0))
        assert _ogr.Feature_GetFieldAsString(feature, 0) == city
    monkeypatch.delenv("VEK_CONFIG")
    drv.env.reload()


@pytest.mark.parametrize("spelling", ["as opened", "relative", "symlink", "sidecar"])
@pytest.mark.parametrize("driver", ["GTiff", "PNG", "COG"])
def test_a_copy_onto_its_own_source_is_refused(drv, tmp_path, monkeypatch, spelling, driver):
    """GDAL truncated or deleted the target before reading the source: a
    stopped copy left no file, a PNG copy a broken one."""
    monkeypatch.chdir(tmp_path)
    src = tmp_path / "src.tif"
    with drv.RasterDriver("GTiff").create(src, 64, 64, 1, "Byte") as ds:
        ds.dataset.GetRasterBand(1).Fill(7)
    from osgeo import gdal

    gdal.Open(str(src)).BuildOverviews("NEAREST", [2])  # read-only: into src.tif.ovr
    (tmp_path / "link.tif").symlink_to(src)
    target = {"as opened": str(src), "relative": "./src.tif", "symlink": "link.tif", "sidecar": "src.tif.ovr"}
    before = {name: (tmp_path / name).read_bytes() for name in ("src.tif", "src.tif.ovr")}
    with drv.RasterDriver("GTiff").open(src) as ds:
        with pytest.raises(ValueError, match="own file"):
            ds.copy_to(target[spelling], driver, progress=lambda done: False)
    assert {name: (tmp_path / name).read_bytes() for name in before} == before


def test_a_vector_copy_onto_its_own_file_is_refused(drv, tmp_path):
    from vek import create_vector

    db = create_vector("GPKG", tmp_path / "v.gpkg")
    db.create_layer("l", "Point")
    with pytest.raises(ValueError, match="own file"):
        db.copy_to(tmp_path / "v.gpkg", "GPKG")
    assert db.layers == [("l", "Point", 0)]
    db.close()


# Formats whose files name other files: they must read right once moved
# from where they were written into place.
PUBLISHED = {"VRT": "t.vrt", "MRF": "t.mrf", "ENVI": "t.img", "GTiff": "t.tif", "EHdr": "t.bil"}


@pytest.mark.parametrize("name", PUBLISHED)
@pytest.mark.parametrize("where", ["disk", "memory"])
def test_a_copy_is_published_whole_and_reads_as_written(drv, tmp_path, name, where):
    """Written aside, then moved in: the old dataset's sidecar goes as GDAL's
    own copy deletes it, the sources stay where they are, nothing of the
    write is left beside it."""
    need_drivers(name)
    folder = str(tmp_path) if where == "disk" else TEST_DIR + "pub"
    src = drv.RasterDriver("GTiff").create(str(tmp_path / "src.tif"), 4, 3, 1, "Byte")
    _gdal.Band_Fill(_gdal.Dataset_GetRasterBand(src.handle, 1), 7.0)
    path = f"{folder}/{PUBLISHED[name]}"
    with src.copy_to(path, "GTiff") as old:  # the old target, with a stale sidecar
        _gdal.MajorObject_SetMetadataItem(old.handle, "OLD", "stale", "")
    with src.copy_to(path, name) as new:
        assert new.path == path and (new.xsize, new.ysize) == (4, 3)
        band = _gdal.Dataset_GetRasterBand(new.handle, 1)
        assert _gdal.Band_ComputeRasterMinMax(band, False, False) == (7.0, 7.0)
        assert _gdal.MajorObject_GetMetadataItem(new.handle, "OLD", "") is None
        listed = _gdal.ReadDir(folder) or []
    src.close()
    staged = [n for n in listed if n.startswith(".vek-")]
    assert staged == [] if where == "memory" else all(not os.listdir(f"{folder}/{n}") for n in staged)
    if where == "memory":
        _gdal.RmdirRecursive(folder)


def test_a_refused_georeference_keeps_the_users_files_of_the_name(tmp_path, monkeypatch, drv):
    """NITF refuses the spatial reference after creating the file: what the
    command made goes, the user's sidecars of the same name stay."""
    need_drivers("NITF")
    from vek import cli

    monkeypatch.chdir(tmp_path)
    for name in ("t.ntf.aux.xml", "t.xml"):
        (tmp_path / name).write_text("the user's")
    assert cli.main(["create", "NITF", "t.ntf", "--size", "4", "4", "--srs", "EPSG:32631"]) == 1
    assert sorted(os.listdir(tmp_path)) == ["t.ntf.aux.xml", "t.xml"]


_KEPT = """
import os, sys
from vek._algos.geo.geodatabase import open_file
folder = sys.argv[1]
src = open_file(os.path.join(folder, "src.tif"))
def stages():
    return sorted(n for n in os.listdir(folder) if n.startswith(".vek-"))
src.copy_to(os.path.join(folder, "a.tif"), "GTiff").close()
first = stages()
src.copy_to(os.path.join(folder, "b.tif"), "GTiff").close()
assert stages() == first and len(first) == 1, (first, stages())
try:  # a stopped copy empties the kept stage and keeps it: the folder lists as before
    src.copy_to(os.path.join(folder, "d.tif"), "GTiff", progress=lambda f: False)
except Exception:
    pass
assert stages() == first and not os.listdir(os.path.join(folder, first[0]))
child = os.fork()
if child == 0:  # the parent's stage is not the child's to use or remove
    src.copy_to(os.path.join(folder, "e.tif"), "GTiff").close()
    sys.exit(0 if len(stages()) == 2 else 3)
assert os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]) == 0 and stages() == first
open(os.path.join(folder, first[0], "theirs"), "w").close()  # not empty: not the process's to use
src.copy_to(os.path.join(folder, "c.tif"), "GTiff").close()
assert len(stages()) == 2
"""


def test_the_kept_stage_is_used_again_and_removed_at_exit(drv, tmp_path):
    """A copy's private folder is kept, empty, for the next copy into the folder (a stopped one
    too), and goes at exit; a forked child's and one that someone else filled are their own."""
    drv.RasterDriver("GTiff").create(str(tmp_path / "src.tif"), 4, 4, 1).close()
    subprocess.run([sys.executable, "-c", _KEPT, str(tmp_path)], check=True, timeout=120)
    left = [n for n in os.listdir(tmp_path) if n.startswith(".vek-")]
    assert len(left) == 1 and os.listdir(tmp_path / left[0]) == ["theirs"]
    assert sorted(set(os.listdir(tmp_path)) - set(left)) == ["a.tif", "b.tif", "c.tif", "e.tif", "src.tif"]


def test_a_copy_over_a_vrt_keeps_the_sources_it_lists(drv, tmp_path):
    """GDAL lists a VRT's sources among its files: replacing the VRT moved them away."""
    need_drivers("VRT")
    drv.RasterDriver("GTiff").create(str(tmp_path / "a.tif"), 4, 4, 1).close()
    kept = (tmp_path / "a.tif").read_bytes()
    for _ in range(2):  # the second replaces the first
        with drv.RasterDriver("GTiff").open(str(tmp_path / "a.tif")) as src, \
                src.copy_to(tmp_path / "out.vrt", "VRT") as vrt:
            assert vrt.xsize == 4
    assert (tmp_path / "a.tif").read_bytes() == kept and user_files(tmp_path) == ["a.tif", "out.vrt"]

"""Which driver is this file (by content) and which drivers write this path (by
name), against GDAL's own choices: ``gdal.OpenEx`` for the reader,
``gdal.Translate``/``gdal.VectorTranslate`` without a format for the writer
(both in a child process)."""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from osgeo import _gdal

from conftest import all_driver_names, find_drivers, metadata
from vek import cli
from vek._algos.geo import base, geodatabase
from vek._algos.geo.registry import identify as _identify
from vek._algos.geo.driver import Driver, RasterDriver, VectorDriver


def gdal_child(code, *args):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Files whose names lie about their content, and some that tell the truth."""
    tmp = tmp_path_factory.mktemp("identify")
    with RasterDriver("GTiff").create(None, 8, 8, 1, "Byte") as src:
        src.copy_to(tmp / "renamed.dat", "GTiff").close()
        src.copy_to(tmp / "x.png", "PNG").close()
    with pytest.warns(base.error.GDALWarning, match="extension"):  # GDAL sees the lie too
        with geodatabase.create_vector("GPKG", tmp / "mislabeled.tif") as ds:
            ds.create_layer("a", "Point")
    with geodatabase.create_vector("ESRI Shapefile", tmp / "s.shp") as ds:
        ds.create_layer("s", "Point")
    (tmp / "junk.txt").write_bytes(b"\x00\x01 nothing any driver knows \xff" * 8)
    return tmp


OPENER = """
    import json, sys
    from osgeo import gdal
    gdal.PushErrorHandler("CPLQuietErrorHandler")
    print(json.dumps({p: (lambda ds: ds.GetDriver().ShortName if ds else None)(gdal.OpenEx(p))
                      for p in sys.argv[1:]}))
"""


def test_identify_answers_what_gdal_opens_the_file_with(files):
    paths = sorted(str(p) for p in files.iterdir())
    opened = gdal_child(OPENER, *paths)
    found = {p: _identify.identify(p) for p in paths}
    assert {p: d and d.name for p, d in found.items()} == opened
    assert (opened[str(files / "mislabeled.tif")], opened[str(files / "renamed.dat")]) == ("GPKG", "GTiff")
    kinds = {os.path.basename(p): type(d) for p, d in found.items()}
    assert kinds["mislabeled.tif"] is VectorDriver and kinds["renamed.dat"] is RasterDriver


def test_identify_arguments(files):
    gpkg = str(files / "mislabeled.tif")
    assert _identify.identify(gpkg, allowed=["GTiff", "PNG"]) is None
    assert _identify.identify(gpkg, allowed=[Driver("GPKG")]).name == "GPKG"
    assert type(_identify.identify(gpkg, kind="raster")) is RasterDriver
    assert _identify.identify(files / "s.shp", sibling_files=["s.shp", "s.shx", "s.dbf"]).name == "ESRI Shapefile"
    with pytest.raises(FileNotFoundError):
        _identify.identify(files / "missing.tif")
    with pytest.raises(FileNotFoundError):
        _identify.identify(base.mem_temp_path("tif"))
    with pytest.raises(ValueError, match="kind"):
        _identify.identify(gpkg, kind="both")
    with pytest.raises(ValueError, match="embedded null byte"):  # GDAL would look at "mislabeled.tif"
        _identify.identify(gpkg + "\0.png")


@pytest.mark.parametrize("special", ["fifo", "/dev/null"])
def test_identify_refuses_what_is_no_file_or_folder_unopened(tmp_path, capsys, special):
    path = tmp_path / "pipe.gpkg"
    if special == "fifo":
        os.mkfifo(path)  # GDAL would block opening it, waiting for a writer
    else:
        path = special
    with pytest.raises(ValueError, match="not a regular file or a folder"):
        _identify.identify(path)
    assert cli.main(["identify", str(path)]) == 1
    assert "not a regular file" in capsys.readouterr().err


def test_identify_command(files, capsys):
    names = ["mislabeled.tif", "renamed.dat", "junk.txt", "missing.tif"]
    code = cli.main(["identify", *(str(files / n) for n in names)])
    out, err = capsys.readouterr()
    assert code == 1 and "Traceback" not in err
    assert [line.split(": ")[1].split(" - ")[0] for line in out.splitlines()] == ["GPKG", "GTiff"]
    assert f"no driver recognises {files / 'junk.txt'}" in err and "missing.tif: No such file" in err
    assert cli.main(["identify", str(files / "x.png")]) == 0


PICKER = """
    import json, sys
    from osgeo import gdal, ogr
    gdal.PushErrorHandler("CPLQuietErrorHandler")
    raster = gdal.GetDriverByName("MEM").Create("", 8, 8, 1)
    raster.SetGeoTransform([0, 1, 0, 8, 0, -1])
    vector = gdal.GetDriverByName("Memory").Create("", 0, 0, 0, gdal.GDT_Unknown)
    vector.CreateLayer("v", None, ogr.wkbPoint)
    picked = {}
    for kind, ext in (a.split(":", 1) for a in sys.argv[1:]):
        out = f"/vsimem/pick/x.{ext}"
        ds = (gdal.Translate(out, raster) if kind == "raster" else gdal.VectorTranslate(out, vector))
        picked[f"{kind}:{ext}"] = ds.GetDriver().ShortName if ds else None
        ds = None
        gdal.RmdirRecursive("/vsimem/pick")
    print(json.dumps(picked))
"""


def single_extensions(kind):
    key = "DCAP_RASTER" if kind == "raster" else "DCAP_VECTOR"
    exts = set()
    for name in all_driver_names():
        if metadata(name, key) and "YES" in (metadata(name, "DCAP_CREATE"), metadata(name, "DCAP_CREATECOPY")):
            exts |= {e for e in metadata(name, "DMD_EXTENSIONS").lower().split() if "." not in e}
    return sorted(exts)


def test_the_first_writer_is_the_one_gdal_s_tools_pick():
    asked = [f"{kind}:{ext}" for kind in ("raster", "vector") for ext in single_extensions(kind)]
    picked = gdal_child(PICKER, *asked)
    compared = 0
    for item, name in picked.items():
        kind, ext = item.split(":")
        ours = [d.name for d in _identify.drivers_for_path(f"x.{ext}")
                if metadata(d.name, "DCAP_RASTER" if kind == "raster" else "DCAP_VECTOR")]
        if name is not None and name in ours:  # GDAL wrote it, with a driver that opens it back
            compared += 1
            assert ours[0] == name, (item, ours)
    assert compared > len(asked) // 2


def test_drivers_for_path(tmp_path):
    assert [d.name for d in _identify.drivers_for_path("a.shp.zip")] == ["ESRI Shapefile"]
    prefix = next((metadata(n, "DMD_CONNECTION_PREFIX") for n in all_driver_names()
                   if metadata(n, "DMD_CONNECTION_PREFIX") and metadata(n, "DCAP_CREATE")), None)
    if prefix:
        assert _identify.drivers_for_path(prefix + "somewhere")
    readers = _identify.drivers_for_path("x.tif", writable=False)
    assert {d.name for d in _identify.drivers_for_path("x.tif")} <= {d.name for d in readers}
    assert _identify.drivers_for_path("x.tif", single=True).name == "GTiff"
    with pytest.raises(base.error.FormatError, match="no driver writes"):
        _identify.drivers_for_path("x.nosuchext", single=True)
    shared = next((e for e in single_extensions("vector")
                   if len(_identify.drivers_for_path(f"x.{e}")) > 1 and e != "tif"), None)
    if shared:
        with pytest.raises(base.error.FormatError, match="several drivers"):
            _identify.drivers_for_path(f"x.{shared}", single=True)




@pytest.mark.parametrize("name, ascii_case, lookalike", [("ESRI Shapefile", "roads.SHP", "roads.\u017fhp"),
                                                          ("KML", "a.Kml", "a.\u212aml")], ids=["long s", "Kelvin sign"])
def test_extensions_compare_in_ascii_case_only_as_gdal_does(name, ascii_case, lookalike):
    if name not in all_driver_names():
        pytest.skip(f"this GDAL has no {name} driver")
    assert name in [d.name for d in _identify.drivers_for_path(ascii_case)]
    assert name not in [d.name for d in _identify.drivers_for_path(lookalike, writable=False)]


def listing(ext, caps):
    return [n for n in all_driver_names() if ext in metadata(n, "DMD_EXTENSIONS").lower().split()
            and any(metadata(n, c) for c in caps)]


def test_a_compound_extension_any_driver_lists_is_never_split():
    """GDAL 3.13's GDALG, which only reads, lists gdalg.json: a pipeline was GeoJSON's and JSONFG's.
    A driver of this registry that only reads is made to list such an extension for the test."""
    writes = ("DCAP_CREATE", "DCAP_CREATECOPY", "DCAP_VECTOR_TRANSLATE_FROM")
    reader = next((n for n in find_drivers(DCAP_VECTOR=True) if not any(metadata(n, c) for c in writes)), None)
    if reader is None or not listing("json", writes):
        pytest.skip("no vector driver only reads, or none writes .json")
    handle, own = _gdal.GetDriverByName(reader), metadata(reader, "DMD_EXTENSIONS")
    _gdal.MajorObject_SetMetadataItem(handle, "DMD_EXTENSIONS", f"{own} vekpipe.json", "")
    try:
        assert [[d.name for d in _identify.drivers_for_path("x.vekpipe.json", writable=w)] for w in (1, 0)] == [[], [reader]]
    finally:
        _gdal.MajorObject_SetMetadataItem(handle, "DMD_EXTENSIONS", own, "")


def test_a_compound_extension_of_another_kind_leaves_its_last_part_to_the_kind_asked():
    """GDAL 3.9's GTI, raster only, lists gti.gpkg: a vector out.gti.gpkg found no driver, GDAL's tools GPKG.
    A raster-only driver of this registry is made to list such an extension for the test."""
    if "GPKG" not in all_driver_names():
        pytest.skip("this GDAL has no GPKG driver")
    raster = next(iter(find_drivers(DCAP_RASTER=True, DCAP_VECTOR=False)), None)
    if raster is None:
        pytest.skip("no driver of this GDAL is raster only")
    handle, own = _gdal.GetDriverByName(raster), metadata(raster, "DMD_EXTENSIONS")
    _gdal.MajorObject_SetMetadataItem(handle, "DMD_EXTENSIONS", f"{own} vekgti.gpkg", "")
    try:
        found = {kind: [d.name for d in _identify.drivers_for_path("out.vekgti.gpkg", writable=False, kind=kind)]
                 for kind in ("raster", "vector")}
    finally:
        _gdal.MajorObject_SetMetadataItem(handle, "DMD_EXTENSIONS", own, "")
    assert found == {"raster": [raster], "vector": [d.name for d in _identify.drivers_for_path("out.gpkg", kind="vector",
                                                                                              writable=False)]}
    assert "GPKG" in found["vector"]


@pytest.mark.parametrize("form", [os.fsencode, os.fsdecode], ids=["bytes", "surrogate-escaped str"])
def test_a_name_that_is_not_utf8_is_identified_as_gdal_identifies_it(tmp_path, form):
    """identify() and its probe of a format of both kinds answered None while open_file opened it."""
    raster, vector = os.fsencode(tmp_path / "caf") + b"\xe9.tif", os.fsencode(tmp_path / "caf") + b"\xe9.gpkg"
    RasterDriver("GTiff").create(raster, 4, 4, 1, "Byte").close()
    geodatabase.create_vector("GPKG", vector).create_layer("a", "Point")
    for path, kind in ((raster, RasterDriver), (vector, VectorDriver)):
        found = _identify.identify(form(path), sibling_files=[form(os.path.basename(path))])
        assert (found.name, type(found)) == (_gdal.Driver_ShortName_get(_gdal.IdentifyDriverEx(path)), kind)

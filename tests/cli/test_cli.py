"""The ``vek-drivers`` command line and the demo: listings, driver views,
checked dataset creation, extension detection, HTML pages, exit codes."""

import json
import os
import re
import shlex
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path
from types import SimpleNamespace

import pytest
from osgeo import _gdal

from conftest import all_driver_names, find_drivers, metadata, need_drivers
from vek import cli
from vek._algos.geo import base
from vek._algos.geo.driver import RasterDriver, VectorDriver
from vek._algos.geo.geodatabase import open_file

BIN = Path(sys.executable).parent


def run(capsys, *argv):
    """The command line run in this process: (exit code, stdout, stderr)."""
    try:
        code = cli.main(list(argv))
    except SystemExit as exc:
        code = exc.code
    out, err = capsys.readouterr()
    return code, out, err


def assert_error(code, err, *words, status=1):
    """An expected error: the status, one message line (or the usage), no traceback."""
    assert code == status and "Traceback" not in err
    if status == 1:
        assert err.startswith("vek-drivers: error: ") and err.count("\n") == 1
    else:
        assert err.startswith("usage: vek-drivers")
    assert all(word in err for word in words), err


def option_names(name, key):
    text = metadata(name, key)
    return list(dict.fromkeys(e.get("name") for e in ET.fromstring(text))) if text else []


def capability_props(cls):
    return [k for k, v in vars(cls).items() if isinstance(v, property)
            and k not in ("category", "creation_options_info", "open_options_info")]


def Env(raster=None):
    """Configured creation defaults of the test's choosing (the user's own file changes nothing)."""
    return SimpleNamespace(RasterConfig={"creation.options": raster or {}}, VectorConfig={"creation.options": {}},
                           JupyterShowMaxShape=(20, 10))


@pytest.fixture(autouse=True)
def plain_settings(monkeypatch, drv):
    monkeypatch.setenv("COLUMNS", "100")
    drv.env = Env()


def pick(found, why):
    if not found:
        pytest.skip(why)
    return found[0]


def both_kind_driver():
    return pick(find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True), "no driver of this GDAL handles raster and vector")


# ---------------------------------------------------------------- list

FLAG_KEYS = {"--raster": "DCAP_RASTER", "--vector": "DCAP_VECTOR", "--creatable": "DCAP_CREATE",
             "--updatable": "DCAP_UPDATE", "--virtualio": "DCAP_VIRTUALIO"}


@pytest.mark.parametrize("flags", [(), *[(f,) for f in FLAG_KEYS], ("--raster", "--vector"),
                                   ("--raster", "--creatable"), ("--vector", "--creatable", "--virtualio")])
def test_list_filters_are_anded_against_gdal_metadata(capsys, flags):
    code, out, err = run(capsys, "list", *flags, "--json")
    assert (code, err) == (0, "")
    listed, names = json.loads(out), all_driver_names()
    assert [r["name"] for r in listed] == find_drivers(**{FLAG_KEYS[f]: True for f in flags})
    assert [r["index"] for r in listed] == [names.index(r["name"]) for r in listed]
    assert all(r["creatable"] is (metadata(r["name"], "DCAP_CREATE").upper() == "YES") for r in listed)
    assert all(r["extension"] == metadata(r["name"], "DMD_EXTENSION") for r in listed if r["name"] == "GTiff")


def test_list_table_with_a_fake_registry(capsys, fake_gdal):
    fake_gdal.add("RAST", DCAP_RASTER="YES", DCAP_CREATE="yes", DMD_EXTENSION="rst")
    fake_gdal.add("VECTORONLY", DCAP_VECTOR="YES", DCAP_UPDATE="YES")
    fake_gdal.add("BOTH", DCAP_RASTER="YES", DCAP_VECTOR="YES", DCAP_CREATE="YES", DCAP_VIRTUALIO="YES")
    fake_gdal.add("NONE")
    for i in range(8):
        fake_gdal.add(f"R{i}", DCAP_RASTER="YES", DCAP_CREATE="YES")
    code, out, _ = run(capsys, "list", "--raster", "--creatable")
    head, rule, *rows, footer = out.splitlines()
    assert (code, footer, rows[0].split()[1]) == (0, "10 of 12 drivers", "RAST")
    assert rows[1].split() == ["2", "BOTH", "Raster/Vector", "-", "yes", "no", "yes"]
    assert [row[:2] for row in rows] == [f"{i:>2}" for i in (0, 2, *range(4, 12))]  # indexes right-aligned
    for column in ("name", "category", "extension", "creatable", "updatable", "virtualio"):
        start = head.index(column)
        assert rule[start - 1:start + 1] == " -"
        assert all(row[start] != " " and row[start - 1] == " " for row in rows)
    assert run(capsys, "list", "--updatable", "--raster")[1].splitlines() == ["0 of 12 drivers"]


@pytest.mark.parametrize("published", [False, True], ids=["no-driver-publishes-it", "one-driver-says-no"])
def test_capability_no_driver_publishes_is_unknown(capsys, fake_gdal, published):
    fake_gdal.add("RAST", DCAP_RASTER="YES", DCAP_CREATE="YES", **({"DCAP_UPDATE": "NO"} if published else {}))
    fake_gdal.add("VEC", DCAP_VECTOR="YES", DCAP_CREATE="YES")
    shown, value = ("no", False) if published else ("unknown", None)
    code, out, _ = run(capsys, "list")
    assert code == 0 and [row.split()[5] for row in out.splitlines()[2:4]] == [shown, shown]
    assert [r["updatable"] for r in json.loads(run(capsys, "list", "--json")[1])] == [value, value]
    footer = run(capsys, "list", "--updatable")[1]
    assert footer.startswith("0 of 2 drivers") and ("DCAP_UPDATE" in footer) is not published
    data = json.loads(run(capsys, "show", "VEC", "--json")[1])
    assert (data["updatable"], data["creatable"]) == (value, True)
    assert data["vector"]["capabilities"]["multi_layers"] is None  # DCAP_MULTIPLE_VECTOR_LAYERS: nobody has it
    text = run(capsys, "show", "VEC")[1]
    assert re.search(rf"\n  updatable +{shown}\n", text) and re.search(r"\n  multi_layers +unknown\n", text)


def test_capabilities_unknown_exactly_where_this_gdal_publishes_no_item(capsys):
    listed, names = json.loads(run(capsys, "list", "--json")[1]), all_driver_names()
    for flag, key in (("creatable", "DCAP_CREATE"), ("updatable", "DCAP_UPDATE"), ("virtualio", "DCAP_VIRTUALIO")):
        published = any(metadata(n, key) for n in names)  # DCAP_UPDATE from GDAL 3.11
        assert [r[flag] for r in listed] == [metadata(r["name"], key).upper() == "YES" if published else None
                                             for r in listed]


# ---------------------------------------------------------------- show


def test_show_raster_driver_with_configured_defaults_as_current_values(capsys, drv):
    drv.env = Env(raster={"GTiff": {"COMPRESS": "DEFLATE", "TILED": True}})
    code, out, err = run(capsys, "show", "gtiff")
    assert (code, err) == (0, "")
    assert out.startswith(f"GTiff - {metadata('GTiff', 'DMD_LONGNAME')}\n")
    assert "Raster capabilities" in out and "Vector capabilities" not in out
    assert all(f"\n  {prop} " in out for prop in capability_props(RasterDriver))
    assert set(option_names("GTiff", "DMD_CREATIONOPTIONLIST") + option_names("GTiff", "DMD_OPENOPTIONLIST")) \
        <= set(out.split())
    assert max(map(len, out.splitlines())) <= 100
    cell = out[out.index("COMPRESS ") : out.index("\n  PREDICTOR")]  # wrapped, every value kept
    assert set(RasterDriver("GTiff").compress_modes) <= set(cell.replace(",", " ").split())
    lists = [r["default"] for r in RasterDriver("GTiff").open_options_info.values() if "," in r.get("default", "")]
    assert set(",".join(lists).split(",")) <= set(out.replace(",", " ").split())  # wrapped at the commas
    assert next(line for line in out.splitlines() if line.split()[:1] == ["TILED"]).split()[-1] == "YES"
    data = json.loads(run(capsys, "show", "GTiff", "--json")[1])
    assert data["vector"] is None and type(data["raster"]["capabilities"]["copyable"]) is bool
    options = data["raster"]["creation_options"]
    assert (options["COMPRESS"]["current"], options["TILED"]["current"]) == ("DEFLATE", True)


def test_show_vector_and_both_kind_drivers(capsys):
    code, out, _ = run(capsys, "show", "ESRI Shapefile")
    assert code == 0 and "Vector capabilities" in out and "Raster capabilities" not in out
    assert all(f"\n  {prop} " in out for prop in capability_props(VectorDriver))
    assert all(o in out.split() for o in option_names("ESRI Shapefile", "DS_LAYER_CREATIONOPTIONLIST"))
    name = both_kind_driver()
    out = run(capsys, "show", name)[1]
    assert out.index("Raster capabilities") < out.index("Vector capabilities")
    assert "Raster creation options" in out and "Vector layer creation options" in out
    data = json.loads(run(capsys, "show", name, "--json")[1])
    assert list(data["raster"]["capabilities"]) == capability_props(RasterDriver)
    assert list(data["vector"]["capabilities"]) == capability_props(VectorDriver)
    assert list(data["raster"]["creation_options"]) == option_names(name, "DMD_CREATIONOPTIONLIST")
    assert list(data["raster"]["open_options"]) == option_names(name, "DMD_OPENOPTIONLIST")
    assert list(data["vector"]["creation_options"]) == option_names(name, "DS_LAYER_CREATIONOPTIONLIST")


def test_show_works_for_every_registered_driver_by_index(capsys):
    for index, name in enumerate(all_driver_names()):
        code, out, err = run(capsys, "show", str(index), "-d")
        assert (code, err, out.split(" - ")[0]) == (0, "", name)
        code, out, err = run(capsys, "show", str(index), "--json")
        assert (code, err, json.loads(out)["name"]) == (0, "", name)


# ---------------------------------------------------------------- create


def read_back(path, flags=0):
    """What GDAL itself reads at ``path``: driver, size, bands, first band's type, compression, layers."""
    h = _gdal.OpenEx(str(path), flags)
    try:
        bands = _gdal.Dataset_RasterCount_get(h)
        dtype = bands and _gdal.GetDataTypeName(_gdal.Band_DataType_get(_gdal.Dataset_GetRasterBand(h, 1)))
        return (_gdal.Driver_ShortName_get(_gdal.Dataset_GetDriver(h)), _gdal.Dataset_RasterXSize_get(h),
                _gdal.Dataset_RasterYSize_get(h), bands, dtype,
                _gdal.MajorObject_GetMetadataItem(h, "COMPRESSION", "IMAGE_STRUCTURE"), _gdal.Dataset_GetLayerCount(h))
    finally:
        _gdal.delete_Dataset(h)


def test_create_raster_reads_back_what_was_created(capsys, tmp_path):
    path = tmp_path / "out.tif"
    code, out, err = run(capsys, "create", "GTiff", str(path), "--size", "7", "5", "--bands", "2",
                         "--dtype", "uint16", "-co", "COMPRESS=deflate", "-co", "TILED=yes")
    assert (code, err) == (0, "")
    first, *lines = out.splitlines()
    facts = dict(re.split(r"\s{2,}", line.strip(), maxsplit=1) for line in lines)
    assert (first, facts["size"], facts["bands"], facts["data type"]) == \
        (f"created {path}", "7 x 5 pixels", "2", "UInt16")
    assert (facts["options"], facts["compression"]) == ("COMPRESS=DEFLATE TILED=YES", "DEFLATE")
    assert read_back(path) == ("GTiff", 7, 5, 2, "UInt16", "DEFLATE", 0)


@pytest.mark.parametrize("name, filename", [("ESRI Shapefile", "shapes"), ("GPKG", "out.gpkg")])
def test_create_empty_vector_dataset(capsys, tmp_path, name, filename):
    path = tmp_path / filename
    code, out, err = run(capsys, "create", name, str(path))
    assert (code, err) == (0, "")
    first, *lines = out.splitlines()
    facts = dict(re.split(r"\s{2,}", line.strip(), maxsplit=1) for line in lines)
    assert (first, facts["driver"], facts["layers"]) == \
        (f"created {path}", f"{name} ({metadata(name, 'DMD_LONGNAME')})", "0")
    if name == "ESRI Shapefile":  # without .shp the driver makes a directory for its layers
        assert path.is_dir() and list(path.iterdir()) == []
    else:  # GDAL opens an empty GeoPackage for update only
        assert read_back(path, 1 | 4)[0::6] == (name, 0)


def test_create_takes_configured_defaults_after_checking_them(capsys, tmp_path, drv):
    drv.env = Env(raster={"GTiff": {"COMPRESS": "lzw"}})
    code, out, _ = run(capsys, "create", "GTiff", str(tmp_path / "a.tif"), "--size", "4", "4")
    assert code == 0 and "COMPRESS=LZW" in out and "compression  LZW" in out
    drv.env = Env(raster={"GTiff": {"TILED": "maybe"}})
    code, _, err = run(capsys, "create", "GTiff", str(tmp_path / "b.tif"), "--size", "4", "4")
    assert_error(code, err, "TILED", "'maybe'", "configured default")
    assert not (tmp_path / "b.tif").exists()


def unsupported_dtype():
    supported = metadata("GTiff", "DMD_CREATIONDATATYPES").split()
    names = [t.name for t in base.dtypes.RaterDataType]  # first names only: UInt8 (GDAL 3.13) is Byte
    return pick([t for t in names if supported and t not in supported], "GTiff creates them all")


SIZE = ["--size", "3", "3"]
# A GeoPackage gets its own extension: GDAL warns about any other.
CREATE_ERRORS = {  # path -> (arguments after "create", words of the message)
    "unknown option": lambda p: (["GTiff", p, *SIZE, "-co", "COMPRES=LZW"], ["'COMPRES'", "'COMPRESS'"]),
    "bad select value": lambda p: (["GTiff", p, *SIZE, "-co", "COMPRESS=LZX"], ["COMPRESS", "'LZX'", "LZW", "DEFLATE"]),
    "bad int": lambda p: (["GTiff", p, *SIZE, "-co", "ZLEVEL=high"], ["ZLEVEL", "'high'", "integer"]),
    "unknown dtype": lambda p: (["GTiff", p, *SIZE, "--dtype", "Float99"], ["'Float99'", "Float32"]),
    "dtype not supported": lambda p: (lambda t: (["GTiff", p, *SIZE, "--dtype", t], [t, "GTiff"]))(unsupported_dtype()),
    "not writable": lambda p: ([pick(find_drivers(DCAP_RASTER=True, DCAP_CREATE=False, DCAP_CREATECOPY=False),
                                     "all write"), p, *SIZE], ["neither by Create nor by CreateCopy"]),
    "bad dataset option": lambda p: (["GPKG", p[:-4] + ".gpkg", "-dsco", "VERSON=1.2"], ["'VERSON'", "'VERSION'"]),
    "bad dataset value": lambda p: (["GPKG", p[:-4] + ".gpkg", "-dsco", "VERSION=0.1", "--layer", "a"], ["VERSION", "'0.1'", "1.2"]),
    "raster-only dataset option": lambda p: (["GPKG", p[:-4] + ".gpkg", "-dsco", "TILE_FORMAT=PNG"], ["'TILE_FORMAT'"]),
    "bad layer value": lambda p: (["GPKG", p[:-4] + ".gpkg", "--layer", "a", "-lco", "SPATIAL_INDEX=maybe"],
                                  ["SPATIAL_INDEX", "'maybe'"]),
    "bad geometry": lambda p: (["GPKG", p[:-4] + ".gpkg", "--layer", "a", "--geometry", "Pointy"], ["'Pointy'", "LineString"]),
    "bad field type": lambda p: (["GPKG", p[:-4] + ".gpkg", "--layer", "a", "--field", "n:Strin"], ["'Strin'", "String"]),
    "bad srs": lambda p: (["GPKG", p[:-4] + ".gpkg", "--layer", "a", "--srs", "EPSG:0"], ["EPSG:0"]),
    # each was a traceback (one field for OGR; the binding's TypeError), or the last type was taken
    **{what: (lambda more, words: lambda p: (["GPKG", p[:-4] + ".gpkg", "--layer", "l", *more], words))(more, words)
       for what, more, words in [("fields differing in case", ["--field", "n:String", "--field", "N:Real"], ["case"]),
                                 ("a field given twice", ["--field", "n:String", "--field", "n:Real"], ["twice"]),
                                 ("layer name not UTF-8", ["--layer", "\udcff"], ["layer name", "UTF-8"])]},
    "nothing until a layer": lambda p: (["ESRI Shapefile", p[:-4] + ".shp"], ["nothing was written", "--layer"]),
    "layer failure": lambda p: (["GPKG", p[:-4] + ".gpkg", "--layer", "a", "--field", "x:String", "--field", "fid:String"],
                                ["GDAL", "Layer_CreateField", "fid"]),
    "gdal failure": lambda p: (["GTiff", os.path.join(p, "x.tif"), *SIZE], ["GDAL", "Driver_Create"]),
    "neither kind": lambda p: ([pick(find_drivers(DCAP_RASTER=False, DCAP_VECTOR=False, DCAP_CREATE=True), "none"), p],
                               ["neither a raster nor a vector driver"]),
}


@pytest.mark.parametrize("case", CREATE_ERRORS)
def test_create_errors_exit_1_and_create_nothing(capsys, tmp_path, case):
    args, words = CREATE_ERRORS[case](str(tmp_path / "out.tif"))
    code, out, err = run(capsys, "create", *args)
    assert_error(code, err, *words)
    assert out == "" and list(tmp_path.iterdir()) == []


def test_copy_only_formats_are_listed_and_shown_as_such(capsys):
    copy_only = find_drivers(DCAP_CREATE=False, DCAP_CREATECOPY=True)
    writable = {n for n in all_driver_names() if "YES" in (metadata(n, "DCAP_CREATE").upper(),
                                                            metadata(n, "DCAP_CREATECOPY").upper())}
    listed = json.loads(run(capsys, "list", "--writable", "--json")[1])
    assert {d["name"] for d in listed} == writable and set(copy_only) <= writable
    for name in copy_only[:3] + find_drivers(DCAP_CREATE=True)[:1]:
        out = run(capsys, "show", name)[1]
        assert ("writes      by copy only" in out) == (name in copy_only)
        assert json.loads(run(capsys, "show", name, "--json")[1])["copy_only"] == (name in copy_only)


def test_create_reports_created_only_what_gdal_reads_back(capsys, tmp_path):
    """GDAL 3.6's FlatGeobuf writes a layer without features and a spatial
    index as an empty file it cannot open: that was reported as created."""
    need_drivers("FlatGeobuf")
    path = tmp_path / "f.fgb"
    code, _, err = run(capsys, "create", "FlatGeobuf", str(path), "--layer", "a", "--geometry", "Point",
                       "-lco", "SPATIAL_INDEX=NO")
    if code == 0:
        open_file(str(path)).close()  # this GDAL reads it back
    else:
        assert_error(code, err, "cannot read it back", "removed")
        assert list(tmp_path.iterdir()) == []


def test_create_refuses_an_existing_path_unless_told(capsys, tmp_path):
    path = tmp_path / "taken.tif"
    path.write_bytes(b"precious")
    code, _, err = run(capsys, "create", "GTiff", str(path), "--size", "2", "2")
    assert_error(code, err, str(path), "--overwrite")
    assert path.read_bytes() == b"precious"
    assert run(capsys, "create", "GTiff", str(path), "--size", "2", "2", "--overwrite")[0] == 0
    assert path.read_bytes() != b"precious"


@pytest.mark.parametrize("args, words, status", [
    *[(shlex.split(args), words, 1) for args, words in [
        ("show GTif", ["unknown driver 'GTif'", "'GTiff'"]), ("show 99999", ["unknown driver '99999'"]),
        ("show NoSuchFormat", ["unknown driver 'NoSuchFormat'", "vek-drivers list"]),
        ("detect README", ["'README'", "no file extension"]), ("detect archive.", ["no file extension"]),
        ("detect data.nosuchext", [".nosuchext"]), ("html -o missing/page.html", ["missing/page.html", "No such file"]),
        ("html NoSuchDriver -o page.html", ["unknown driver 'NoSuchDriver'"])]],
    *[(shlex.split(args), words, 2) for args, words in [
        ("create GTiff x.tif", ["--size W H is required"]), ("create GTiff x.tif --size 0 2", ["--size", "at least 1"]),
        ("create 'ESRI Shapefile' x.shp -co A=1", ["-co", "only applies to rasters", "-dsco", "-lco"]),
        ("create 'ESRI Shapefile' x.shp --srs EPSG:4326", ["--srs describes a layer", "--layer"]),
        ("create GTiff x.tif --size 2 2 --layer a", ["--layer", "vector"]),
        ("create GPKG x.gpkg --layer a --field name", ["NAME:TYPE"]),
        ("create 'ESRI Shapefile' x.shp --bands 2 --dtype Byte", ["--bands, --dtype"]),
        ("create 'ESRI Shapefile' x.shp --size 2 2", ["not a raster driver"]),
        ("create GTiff x.tif --size 2", ["--size"]), ("create GTiff x.tif --size 2 two", ["whole number"]),
        (f"create GTiff x.tif --size {2**31} 2", ["--size", "at most"]),  # the binding's OverflowError
        *[(f"create GTiff x.tif --size 2 2 -co {co}", ["KEY=VALUE"]) for co in ("COMPRESS", "=LZW")],
        ("create GTiff", ["PATH"]), ("list --rasters", ["unrecognized arguments: --rasters"]), ("show", ["NAME"]),
        ("html", ["-o"]), ("html GTiff --all -o x.html", ["--all"]),
        ("html GTiff --max-rows 3 -o x.html", ["--max-rows"]), ("html --max-rows 0 -o x.html", ["at least 1"]), ("frobnicate", ["invalid choice"]),
        ("", ["COMMAND"])]],
])
def test_errors_exit_1_and_bad_arguments_exit_2_with_usage(capsys, tmp_path, monkeypatch, args, words, status):
    monkeypatch.chdir(tmp_path)
    code, out, err = run(capsys, *args)
    assert_error(code, err, *words, status=status)
    assert out == "" and list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------- detect


def writable_extensions():
    """extension -> drivers listing it in DMD_EXTENSIONS that write by Create or copy, in registry order."""
    table = {}
    for name in all_driver_names():
        if "YES" not in (metadata(name, "DCAP_CREATE").upper(), metadata(name, "DCAP_CREATECOPY").upper()):
            continue
        for ext in dict.fromkeys(metadata(name, "DMD_EXTENSIONS").lower().split()):
            table.setdefault(ext, []).append(name)
    return table


@pytest.mark.parametrize("kind", ["unique", "shared", "compound"])
def test_detect_lists_every_writer_in_registry_order(capsys, kind):
    table = writable_extensions()
    found = sorted((e, n) for e, n in table.items() if ("." in e) == (kind == "compound")
                   and (kind == "compound" or (len(n) == 1) == (kind == "unique")))
    if not found:
        pytest.skip("no such extension here")
    ext, names = found[0]
    data = json.loads(run(capsys, "detect", f"some/dir/data.{ext.upper()}", "--json")[1])
    assert (data["extension"], [d["name"] for d in data["drivers"]], data["likely"]) == (ext, names, names[0])
    out = run(capsys, "detect", f"data.{ext}")[1]
    assert [line.strip().split(" - ")[0] for line in out.splitlines() if " - " in line] == names
    assert out.startswith(f"{names[0]} - {metadata(names[0], 'DMD_LONGNAME')} [")


# ---------------------------------------------------------------- html


def test_html_statistics_page_shows_every_driver_unless_limited(capsys, tmp_path, drv):
    configured, path = drv.env, tmp_path / "drivers.html"
    assert run(capsys, "html", "-o", str(path))[:2] == (0, f"wrote {path}\n")
    page = path.read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>\n") and page.rstrip().endswith("</html>")
    assert '<meta charset="utf-8">' in page and "<title>GDAL drivers</title>" in page
    names = all_driver_names()
    assert all(f">{name}<" in page for name in names)
    code, limited, _ = run(capsys, "html", "--max-rows", "4", "-o", "-")
    shown = [n for n in names if f">{n}<" in limited]
    assert code == 0 and shown == names[:2] + names[-2:] and ">...<" in limited
    assert drv.env is configured, "the configuration is put back"
    # an existing page is kept unless --overwrite
    path.write_text("precious")
    code, out, err = run(capsys, "html", "-o", str(path))
    assert_error(code, err, str(path), "--overwrite")
    assert path.read_text() == "precious"
    assert run(capsys, "html", "GTiff", "-o", str(path), "--overwrite")[0] == 0
    assert "<title>GTiff - GeoTIFF</title>" in path.read_text(encoding="utf-8")


def test_html_driver_page_to_stdout(capsys, drv):
    code, out, _ = run(capsys, "html", "gtiff", "-o", "-")
    assert code == 0 and out.startswith("<!DOCTYPE html>") and "<title>GTiff - GeoTIFF</title>" in out
    assert drv.RasterDriver("GTiff")._repr_html_() in out
    name = both_kind_driver()
    out = run(capsys, "html", name, "-o", "-")[1]
    assert drv.RasterDriver(name)._repr_html_() in out and drv.VectorDriver(name)._repr_html_() in out


@pytest.mark.parametrize("raised, status", [(KeyboardInterrupt, 130), (BrokenPipeError, 1)])
def test_interrupt_and_closed_pipe_end_quietly(capsys, monkeypatch, raised, status):
    def interrupted(args):
        raise raised()

    monkeypatch.setattr(cli, "cmd_list", interrupted)
    assert run(capsys, "list") == (status, "", "")


@pytest.fixture
def ctrl_c_in_progress(monkeypatch):
    """Ctrl-C raised from the progress function GDAL's copy calls, as a signal lands
    in the frame the binding calls (it once exited 1 with "User terminated")."""
    from vek._algos.geo.dataset import copying

    def interrupted(callback, failure):
        def progress(fraction, message, data):
            raise KeyboardInterrupt

        return progress

    monkeypatch.setattr(copying, "stop_at_exit", interrupted)
    monkeypatch.setattr(copying, "until_stopped", lambda progress, failure: progress)


def test_ctrl_c_during_a_copy_exits_130_leaving_nothing(capsys, ctrl_c_in_progress, tmp_path):
    path = tmp_path / "c.png"
    assert run(capsys, "create", "PNG", str(path), "--size", "8", "8")[0] == 130
    assert os.listdir(tmp_path) == []


# ---------------------------------------------------------------- as installed


def test_console_script_and_module_run_as_users_run_them(tmp_path):
    def sh(*argv, **env):
        return subprocess.run(argv, capture_output=True, text=True, timeout=120, cwd=tmp_path,
                              env={**os.environ, **env})

    script = str(BIN / "vek-drivers")  # the README runs it for real work
    assert _gdal.VersionInfo("RELEASE_NAME") in sh(script, "--version").stdout
    done = sh(script)
    assert done.returncode == 2 and done.stderr.startswith("usage: vek-drivers")
    done = sh(sys.executable, "-m", "vek", "show", "NoSuchDriver")
    assert (done.returncode, done.stdout) == (1, "") and done.stderr.startswith("vek-drivers: error: unknown driver")
    config = tmp_path / "config.toml"
    config.write_text("[raster.creation_options.GTiff\nCOMPRESS = \n")
    done = sh(sys.executable, "-m", "vek", "show", "GTiff", VEK_CONFIG=str(config))
    assert done.returncode == 1 and done.stderr.startswith("vek-drivers: error: ") and str(config) in done.stderr
    assert "Traceback" not in done.stderr


def test_demo_writes_into_a_fresh_temporary_directory_and_says_where(tmp_path):
    def demo(*argv):
        done = subprocess.run([sys.executable, "-m", "vek.demo", *argv], capture_output=True, text=True,
                              timeout=300, cwd=tmp_path, env=dict(os.environ, TMPDIR=str(tmp_path / "tmp")))
        assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
        return done.stdout

    (tmp_path / "tmp").mkdir()
    page = tmp_path / "demo" / "drivers.html"
    out = demo("--html", str(page))
    assert f"{len(find_drivers(DCAP_RASTER=True, DCAP_CREATE=True))} of {_gdal.GetDriverCount()} drivers" in out
    assert "GTiff - GeoTIFF" in out and "COMPRESS" in out and f"wrote {page}" in out
    assert "compression LZW" in out and "blocks 256 x 256" in out
    html = page.read_text(encoding="utf-8")
    assert html.startswith("<!DOCTYPE html>") and all(f">{name}<" in html for name in all_driver_names())
    again = demo()
    folders = [Path(re.search(r"^writing into (.*)$", text, re.M)[1]) for text in (out, again)]
    assert folders[0] != folders[1] and all(f.parent == tmp_path / "tmp" for f in folders)
    assert (folders[0] / "demo.tif").is_file() and (folders[1] / "drivers.html").is_file()
    assert f"wrote {folders[1] / 'drivers.html'}" in again

"""The ``vek-drivers`` command line: listings, driver views, dataset
creation with checked options, extension detection, HTML pages, exit codes
and messages; plus the demo, run as ``make demo`` runs it."""

import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
from osgeo import _gdal

from conftest import all_driver_names, find_drivers, metadata
from vek import cli

BIN = Path(sys.executable).parent


def run(capsys, *argv):
    """Run the command line in this process: (exit code, stdout, stderr)."""
    try:
        code = cli.main(list(argv))
    except SystemExit as exc:
        code = exc.code
    out, err = capsys.readouterr()
    return code, out, err


def assert_error(code, err, *words, status=1):
    """An expected error: the status, one message line, no traceback."""
    assert code == status
    assert "Traceback" not in err
    if status == 1:
        assert err.startswith("vek-drivers: error: ")
        assert err.count("\n") == 1
    else:
        assert err.startswith("usage: vek-drivers")
    for word in words:
        assert word in err


def option_names(name, key):
    text = metadata(name, key)
    # a name listed twice keeps its first place, as in the catalogue
    return list(dict.fromkeys(e.get("name") for e in ET.fromstring(text))) if text else []


def open_dataset(path, flags=0):
    """GDAL's own view of a file (any driver): a handle to release."""
    handle = _gdal.OpenEx(str(path), flags)
    assert handle is not None, path
    return handle


class Env:
    """A configuration with the creation defaults a test gives (none by
    default), so that the user's own configuration file changes nothing."""

    def __init__(self, raster=None, vector=None):
        self.RasterConfig = {"creation.options": raster or {}}
        self.VectorConfig = {"creation.options": vector or {}}
        self.JupyterShowMaxShape = (20, 10)


@pytest.fixture(autouse=True)
def plain_settings(monkeypatch, drv):
    monkeypatch.setenv("COLUMNS", "100")
    drv.env = Env()


# ---------------------------------------------------------------- list


FLAG_KEYS = {
    "--raster": "DCAP_RASTER",
    "--vector": "DCAP_VECTOR",
    "--creatable": "DCAP_CREATE",
    "--updatable": "DCAP_UPDATE",
    "--virtualio": "DCAP_VIRTUALIO",
}


def test_list_json_is_the_whole_registry(capsys):
    code, out, err = run(capsys, "list", "--json")
    assert (code, err) == (0, "")
    rows = json.loads(out)
    assert [r["index"] for r in rows] == list(range(_gdal.GetDriverCount()))
    assert [r["name"] for r in rows] == all_driver_names()
    gtiff = next(r for r in rows if r["name"] == "GTiff")
    assert gtiff["creatable"] is (metadata("GTiff", "DCAP_CREATE").upper() == "YES")
    assert gtiff["extension"] == metadata("GTiff", "DMD_EXTENSION")
    for row in rows:
        assert all(type(row[k]) is bool for k in ("creatable", "updatable", "virtualio"))


@pytest.mark.parametrize(
    "flags",
    [
        ("--raster",),
        ("--vector",),
        ("--creatable",),
        ("--updatable",),
        ("--virtualio",),
        ("--raster", "--vector"),
        ("--raster", "--creatable"),
        ("--vector", "--creatable", "--virtualio"),
    ],
)
def test_list_filters_are_anded_against_gdal_metadata(capsys, flags):
    code, out, _ = run(capsys, "list", *flags, "--json")
    assert code == 0
    expected = find_drivers(**{FLAG_KEYS[f]: True for f in flags})
    assert [r["name"] for r in json.loads(out)] == expected


def test_list_with_fake_registry_ands_filters_and_aligns_columns(capsys, fake_gdal):
    fake_gdal.add("RAST", DCAP_RASTER="YES", DCAP_CREATE="yes", DMD_EXTENSION="rst")
    fake_gdal.add("VECTORONLY", DCAP_VECTOR="YES", DCAP_UPDATE="YES")
    fake_gdal.add("BOTH", DCAP_RASTER="YES", DCAP_VECTOR="YES", DCAP_CREATE="YES", DCAP_VIRTUALIO="YES")
    fake_gdal.add("NONE")
    code, out, _ = run(capsys, "list", "--raster", "--creatable")
    assert code == 0
    lines = out.splitlines()
    head, rule, rows, footer = lines[0], lines[1], lines[2:-1], lines[-1]
    assert [r.split()[1] for r in rows] == ["RAST", "BOTH"]
    assert footer == "2 of 4 drivers"
    for column in ("name", "category", "extension", "creatable", "updatable", "virtualio"):
        start = head.index(column)
        assert rule[start] == "-" and rule[start - 1] == " "
        for row in rows:
            assert row[start] != " " and row[start - 1] == " "
    assert rows[1].split() == ["2", "BOTH", "Raster/Vector", "-", "yes", "no", "yes"]

    code, out, _ = run(capsys, "list", "--updatable", "--raster")
    assert out.splitlines() == ["0 of 4 drivers"]


# ---------------------------------------------------------------- show


def both_kind_driver():
    both = find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)
    if not both:
        pytest.skip("no driver of this GDAL handles raster and vector")
    return both[0]


def capability_props(cls):
    skip = {"category", "creation_options_info", "open_options_info"}
    return [k for k, v in vars(cls).items() if isinstance(v, property) and k not in skip]


def test_show_raster_driver_text(capsys, drv):
    code, out, err = run(capsys, "show", "gtiff")
    assert (code, err) == (0, "")
    assert out.startswith(f"GTiff - {metadata('GTiff', 'DMD_LONGNAME')}\n")
    assert "Raster capabilities" in out and "Vector capabilities" not in out
    for prop in capability_props(drv.RasterDriver):
        assert f"\n  {prop} " in out
    words = out.split()
    for option in option_names("GTiff", "DMD_CREATIONOPTIONLIST") + option_names("GTiff", "DMD_OPENOPTIONLIST"):
        assert option in words
    for line in out.splitlines():
        assert len(line) <= 100, line
    # the wrapped cell still holds every permitted value
    cell = out[out.index("COMPRESS ") : out.index("\n  PREDICTOR")]
    for value in drv.RasterDriver("GTiff").compress_modes:
        assert value in cell.replace(",", " ").split()


def test_show_vector_and_both_kind_drivers(capsys, drv):
    code, out, _ = run(capsys, "show", "ESRI Shapefile")
    assert code == 0
    assert "Vector capabilities" in out and "Raster capabilities" not in out
    for prop in capability_props(drv.VectorDriver):
        assert f"\n  {prop} " in out
    for option in option_names("ESRI Shapefile", "DS_LAYER_CREATIONOPTIONLIST"):
        assert option in out.split()

    name = both_kind_driver()
    code, out, _ = run(capsys, "show", name)
    assert code == 0
    assert out.index("Raster capabilities") < out.index("Vector capabilities")
    assert "Raster creation options" in out and "Vector layer creation options" in out


def test_show_json(capsys, drv):
    code, out, _ = run(capsys, "show", "GTiff", "--json")
    assert code == 0
    data = json.loads(out)
    assert data["name"] == "GTiff" and data["vector"] is None
    raster = data["raster"]
    assert list(raster["capabilities"]) == capability_props(drv.RasterDriver)
    assert type(raster["capabilities"]["copyable"]) is bool
    assert list(raster["creation_options"]) == option_names("GTiff", "DMD_CREATIONOPTIONLIST")
    assert list(raster["open_options"]) == option_names("GTiff", "DMD_OPENOPTIONLIST")

    name = both_kind_driver()
    data = json.loads(run(capsys, "show", name, "--json")[1])
    assert list(data["vector"]["creation_options"]) == option_names(name, "DS_LAYER_CREATIONOPTIONLIST")
    assert list(data["raster"]["creation_options"]) == option_names(name, "DMD_CREATIONOPTIONLIST")
    assert list(data["vector"]["capabilities"]) == capability_props(drv.VectorDriver)


def test_show_lists_configured_defaults_as_current_values(capsys, drv):
    drv.env = Env(raster={"GTiff": {"COMPRESS": "DEFLATE", "TILED": True}})
    data = json.loads(run(capsys, "show", "GTiff", "--json")[1])
    options = data["raster"]["creation_options"]
    assert options["COMPRESS"]["current"] == "DEFLATE"
    assert options["TILED"]["current"] is True
    out = run(capsys, "show", "GTiff")[1]
    tiled = next(line for line in out.splitlines() if line.split()[:1] == ["TILED"])
    assert tiled.split()[-1] == "YES"


def test_show_works_for_every_registered_driver(capsys):
    """Every driver's catalogues render, as text and as JSON, whatever odd
    records its option lists hold."""
    names = all_driver_names()
    for index, name in enumerate(names):
        code, out, err = run(capsys, "show", str(index), "-d")
        assert (code, err) == (0, ""), name
        assert out.startswith(f"{name} - ")
        code, out, err = run(capsys, "show", str(index), "--json")
        assert (code, err) == (0, ""), name
        assert json.loads(out)["name"] == name


def test_show_finds_a_driver_by_index_as_list_shows_it(capsys):
    names = all_driver_names()
    index = names.index("GTiff")
    assert json.loads(run(capsys, "show", str(index), "--json")[1])["name"] == "GTiff"


@pytest.mark.parametrize("name, words", [
    ("GTif", ["unknown driver 'GTif'", "'GTiff'"]),
    ("NoSuchFormat", ["unknown driver 'NoSuchFormat'", "vek-drivers list"]),
    ("99999", ["unknown driver '99999'"]),
])
def test_unknown_driver_is_an_error_with_suggestions(capsys, name, words):
    code, out, err = run(capsys, "show", name)
    assert_error(code, err, *words)
    assert out == ""


# ---------------------------------------------------------------- create


def test_create_raster_reads_back_what_was_created(capsys, tmp_path):
    path = tmp_path / "out.tif"
    code, out, err = run(
        capsys, "create", "GTiff", str(path), "--size", "7", "5", "--bands", "2",
        "--dtype", "uint16", "-co", "COMPRESS=deflate", "-co", "TILED=yes",
    )
    assert (code, err) == (0, "")
    assert out.splitlines()[0] == f"created {path}"
    facts = dict(re.split(r"\s{2,}", line.strip(), maxsplit=1) for line in out.splitlines()[1:])
    assert facts["driver"] == "GTiff (GeoTIFF)"
    assert facts["size"] == "7 x 5 pixels"
    assert facts["bands"] == "2"
    assert facts["data type"] == "UInt16"
    assert facts["options"] == "COMPRESS=DEFLATE TILED=YES"
    assert facts["compression"] == "DEFLATE"

    handle = open_dataset(path)
    try:
        assert (_gdal.Dataset_RasterXSize_get(handle), _gdal.Dataset_RasterYSize_get(handle)) == (7, 5)
        assert _gdal.Dataset_RasterCount_get(handle) == 2
        band = _gdal.Dataset_GetRasterBand(handle, 1)
        assert _gdal.GetDataTypeName(_gdal.Band_DataType_get(band)) == "UInt16"
        assert _gdal.MajorObject_GetMetadataItem(handle, "COMPRESSION", "IMAGE_STRUCTURE") == "DEFLATE"
    finally:
        _gdal.delete_Dataset(handle)


def test_create_vector_shapefile_directory(capsys, tmp_path):
    # without a .shp extension the driver makes a directory for its layers
    path = tmp_path / "shapes"
    code, out, err = run(capsys, "create", "ESRI Shapefile", str(path))
    assert (code, err) == (0, "")
    assert out.splitlines()[:3] == [
        f"created {path}", "  driver  ESRI Shapefile (ESRI Shapefile)", "  layers  0"]
    assert path.is_dir() and list(path.iterdir()) == []


@pytest.mark.parametrize("name, filename", [("GPKG", "out.gpkg")])
def test_create_vector_geopackage(capsys, tmp_path, name, filename):
    if metadata(name, "DCAP_CREATE").upper() != "YES":
        pytest.skip(f"{name} cannot create here")
    path = tmp_path / filename
    code, out, err = run(capsys, "create", name, str(path))
    assert (code, err) == (0, "")
    assert f"created {path}" in out and "layers  0" in out
    handle = open_dataset(path, flags=1 | 4)  # GDAL opens an empty GeoPackage for update only
    try:
        assert _gdal.Dataset_GetLayerCount(handle) == 0
        assert _gdal.Driver_ShortName_get(_gdal.Dataset_GetDriver(handle)) == name
    finally:
        _gdal.delete_Dataset(handle)


def test_create_takes_configured_defaults_after_checking_them(capsys, tmp_path, drv):
    drv.env = Env(raster={"GTiff": {"COMPRESS": "lzw"}})
    code, out, _ = run(capsys, "create", "GTiff", str(tmp_path / "a.tif"), "--size", "4", "4")
    assert code == 0
    assert "COMPRESS=LZW" in out and "compression  LZW" in out

    drv.env = Env(raster={"GTiff": {"TILED": "maybe"}})
    code, _, err = run(capsys, "create", "GTiff", str(tmp_path / "b.tif"), "--size", "4", "4")
    assert_error(code, err, "TILED", "'maybe'", "configured default")
    assert not (tmp_path / "b.tif").exists()


def bounded_option():
    """(driver, option, max) of a creatable raster driver's int option with a max."""
    from vek._algos.geo.driver import RasterDriver

    for name in find_drivers(DCAP_RASTER=True, DCAP_CREATE=True):
        for option, record in RasterDriver(name).creation_options_info.items():
            if record.get("type") == "int" and record.get("max", "").isdigit():
                return name, option, int(record["max"])
    pytest.skip("no creation option of this GDAL gives a max")


def unsupported_dtype():
    from vek._algos.geo import base

    supported = metadata("GTiff", "DMD_CREATIONDATATYPES").split()
    missing = [t for t in base.dtypes.dtype_names() if t not in supported]
    if not supported or not missing:
        pytest.skip("GTiff creates every GDAL data type here")
    return missing[0]


def not_creatable_raster():
    names = find_drivers(DCAP_RASTER=True, DCAP_CREATE=False)
    if not names:
        pytest.skip("every raster driver can create here")
    return names[0]


@pytest.mark.parametrize(
    "case",
    ["unknown option", "bad select value", "bad int", "above max", "dtype not supported",
     "unknown dtype", "not creatable", "gdal failure", "neither kind"],
)
def test_create_errors_exit_1_and_create_nothing(capsys, tmp_path, case):
    path = tmp_path / "out.tif"
    args = ["create", "GTiff", str(path), "--size", "3", "3"]
    words = []
    if case == "unknown option":
        args += ["-co", "COMPRES=LZW"]
        words = ["'COMPRES'", "'COMPRESS'"]
    elif case == "bad select value":
        args += ["-co", "COMPRESS=LZX"]
        words = ["COMPRESS", "'LZX'", "LZW", "DEFLATE"]
    elif case == "bad int":
        args += ["-co", "ZLEVEL=high"]
        words = ["ZLEVEL", "'high'", "integer"]
    elif case == "above max":
        name, option, top = bounded_option()
        args[1] = name
        dtypes = metadata(name, "DMD_CREATIONDATATYPES").split()
        args += ["-co", f"{option}={top + 1}"] + (["--dtype", dtypes[0]] if dtypes else [])
        words = [option, f"'{top + 1}'", str(top)]
    elif case == "dtype not supported":
        dtype = unsupported_dtype()
        args += ["--dtype", dtype]
        words = [dtype, "GTiff"]
    elif case == "unknown dtype":
        args += ["--dtype", "Float99"]
        words = ["'Float99'", "Float32"]
    elif case == "not creatable":
        args[1] = not_creatable_raster()
        words = ["cannot create"]
    elif case == "gdal failure":
        path = tmp_path / "missing-dir" / "out.tif"
        args[2] = str(path)
        words = ["GDAL", "Driver_Create"]
    elif case == "neither kind":
        names = find_drivers(DCAP_RASTER=False, DCAP_VECTOR=False, DCAP_CREATE=True)
        if not names:
            pytest.skip("no creatable driver without a kind here")
        args = ["create", names[0], str(path)]
        words = ["neither a raster nor a vector driver"]
    code, out, err = run(capsys, *args)
    assert_error(code, err, *words)
    assert out == ""
    assert not path.exists()


def test_create_refuses_an_existing_path_unless_told(capsys, tmp_path):
    path = tmp_path / "taken.tif"
    path.write_bytes(b"precious")
    code, _, err = run(capsys, "create", "GTiff", str(path), "--size", "2", "2")
    assert_error(code, err, str(path), "--overwrite")
    assert path.read_bytes() == b"precious"
    code, _, _ = run(capsys, "create", "GTiff", str(path), "--size", "2", "2", "--overwrite")
    assert code == 0 and path.read_bytes() != b"precious"


@pytest.mark.parametrize(
    "args, words",
    [
        (["create", "GTiff", "x.tif"], ["--size W H is required"]),
        (["create", "ESRI Shapefile", "x.shp", "-co", "A=1"], ["-co", "only applies to rasters"]),
        (["create", "ESRI Shapefile", "x.shp", "--bands", "2", "--dtype", "Byte"], ["--bands, --dtype"]),
        (["create", "ESRI Shapefile", "x.shp", "--size", "2", "2"], ["not a raster driver"]),
        (["create", "GTiff", "x.tif", "--size", "0", "2"], ["--size", "at least 1"]),
        (["create", "GTiff", "x.tif", "--size", "2"], ["--size"]),
        (["create", "GTiff", "x.tif", "--size", "2", "two"], ["whole number"]),
        (["create", "GTiff", "x.tif", "--size", "2", "2", "-co", "COMPRESS"], ["KEY=VALUE"]),
        (["create", "GTiff", "x.tif", "--size", "2", "2", "-co", "=LZW"], ["KEY=VALUE"]),
        (["create", "GTiff"], ["PATH"]),
        (["list", "--rasters"], ["unrecognized arguments: --rasters"]),
        (["show"], ["NAME"]),
        (["html"], ["-o"]),
        (["html", "GTiff", "--all", "-o", "x.html"], ["--all"]),
        (["frobnicate"], ["invalid choice"]),
        ([], ["COMMAND"]),
    ],
)
def test_bad_arguments_print_usage_and_exit_2(capsys, tmp_path, monkeypatch, args, words):
    monkeypatch.chdir(tmp_path)
    code, out, err = run(capsys, *args)
    assert_error(code, err, *words, status=2)
    assert out == ""
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------- detect


def creatable_extensions():
    """extension -> creatable drivers listing it, from GDAL's metadata."""
    table = {}
    for name in find_drivers(DCAP_CREATE=True):
        exts = set(metadata(name, "DMD_EXTENSIONS").lower().split())
        main = metadata(name, "DMD_EXTENSION").lower()
        if main:
            exts.add(main)
        for ext in exts:
            table.setdefault(ext, []).append(name)
    return table


def test_detect_unique_extension(capsys):
    table = creatable_extensions()
    ext = "tif" if len(table.get("tif", [])) == 1 else next(e for e, n in table.items() if len(n) == 1)
    (name,) = table[ext]
    for path in (f"some/dir/x.{ext}", f"X.{ext.upper()}"):
        code, out, _ = run(capsys, "detect", path)
        assert code == 0
        assert out.splitlines() == [f"{name} - {metadata(name, 'DMD_LONGNAME')} [{out.split('[')[1].split(']')[0]}]"]
    data = json.loads(run(capsys, "detect", f"x.{ext}", "--json")[1])
    assert (data["extension"], data["likely"]) == (ext, name)
    assert [d["name"] for d in data["drivers"]] == [name]


def test_detect_shared_extension_lists_every_candidate(capsys):
    shared = {e: n for e, n in creatable_extensions().items() if len(n) > 1 and "." not in e}
    if not shared:
        pytest.skip("no extension is shared by creatable drivers here")
    ext, names = sorted(shared.items())[0]
    code, out, _ = run(capsys, "detect", f"data.{ext}")
    assert code == 0
    listed = [line.strip().split(" - ")[0] for line in out.splitlines() if " - " in line]
    assert sorted(listed) == sorted(names)
    data = json.loads(run(capsys, "detect", f"data.{ext}", "--json")[1])
    assert sorted(d["name"] for d in data["drivers"]) == sorted(names)
    mains = [d["name"] for d in data["drivers"] if d["main_extension"]]
    assert mains == [n for n in names if metadata(n, "DMD_EXTENSION").lower() == ext]
    # drivers whose main extension it is come first
    assert [d["main_extension"] for d in data["drivers"]] == sorted(
        (d["main_extension"] for d in data["drivers"]), reverse=True)
    assert data["likely"] == (mains[0] if len(mains) == 1 else None)


def test_detect_compound_extension(capsys):
    dotted = {e: n for e, n in creatable_extensions().items() if "." in e}
    if not dotted:
        pytest.skip("no driver lists a compound extension here")
    ext, names = sorted(dotted.items())[0]
    data = json.loads(run(capsys, "detect", f"a.{ext}", "--json")[1])
    assert data["extension"] == ext
    assert sorted(d["name"] for d in data["drivers"]) == sorted(names)


def test_detect_ranks_main_extension_first_in_a_fake_registry(capsys, fake_gdal):
    fake_gdal.add("LISTS", DCAP_CREATE="YES", DCAP_VECTOR="YES", DMD_EXTENSIONS="ABC xyz")
    fake_gdal.add("MAIN", DCAP_CREATE="YES", DCAP_VECTOR="YES", DMD_EXTENSION="abc", DMD_LONGNAME="Main")
    fake_gdal.add("NOCREATE", DCAP_VECTOR="YES", DMD_EXTENSION="abc")
    code, out, _ = run(capsys, "detect", "f.Abc")
    assert code == 0
    lines = out.splitlines()
    assert lines[0] == "MAIN - Main [Vector]"
    assert "LISTS" in lines[-1]
    assert "NOCREATE" not in out


@pytest.mark.parametrize(
    "path, words",
    [
        ("README", ["'README'", "no file extension"]),
        ("archive.", ["no file extension"]),
        ("data.nosuchext", [".nosuchext"]),
    ],
)
def test_detect_errors(capsys, path, words):
    code, out, err = run(capsys, "detect", path)
    assert_error(code, err, *words)
    assert out == ""


# ---------------------------------------------------------------- html


def test_html_statistics_page(capsys, tmp_path, drv):
    path = tmp_path / "drivers.html"
    code, out, _ = run(capsys, "html", "-o", str(path))
    assert (code, out) == (0, f"wrote {path}\n")
    page = path.read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>\n")
    assert '<meta charset="utf-8">' in page
    assert "<title>GDAL drivers</title>" in page
    assert drv.DriveStatistics()._repr_html_() in page
    assert page.rstrip().endswith("</html>")


def test_html_statistics_page_with_every_driver(capsys, drv):
    limited = run(capsys, "html", "-o", "-")[1]
    code, page, _ = run(capsys, "html", "--all", "-o", "-")
    assert code == 0
    for name in all_driver_names():
        assert f">{name}<" in page
    hidden = [n for n in all_driver_names() if f">{n}<" not in limited]
    if len(all_driver_names()) > drv.env.JupyterShowMaxShape[0]:
        assert hidden, "without --all the notebook row limit applies"
    assert type(drv.env) is Env, "the configuration is put back"


def test_html_driver_page_to_stdout(capsys, drv):
    code, out, _ = run(capsys, "html", "gtiff", "-o", "-")
    assert code == 0
    assert out.startswith("<!DOCTYPE html>")
    assert "<title>GTiff - GeoTIFF</title>" in out
    assert drv.RasterDriver("GTiff")._repr_html_() in out

    name = both_kind_driver()
    out = run(capsys, "html", name, "-o", "-")[1]
    assert drv.RasterDriver(name)._repr_html_() in out
    assert drv.VectorDriver(name)._repr_html_() in out


@pytest.mark.parametrize("args, words", [
    (["html", "-o", "{tmp}/missing/page.html"], ["missing/page.html", "No such file"]),
    (["html", "NoSuchDriver", "-o", "{tmp}/page.html"], ["unknown driver 'NoSuchDriver'"]),
])
def test_html_errors(capsys, tmp_path, args, words):
    args = [a.format(tmp=tmp_path) for a in args]
    code, out, err = run(capsys, *args)
    assert_error(code, err, *words)
    assert not (tmp_path / "page.html").exists()


@pytest.mark.parametrize("raised, status", [(KeyboardInterrupt, 130), (BrokenPipeError, 1)])
def test_interrupt_and_closed_pipe_end_quietly(capsys, monkeypatch, raised, status):
    def interrupted(args):
        raise raised()

    monkeypatch.setattr(cli, "cmd_list", interrupted)
    code, out, err = run(capsys, "list")
    assert (code, out, err) == (status, "", "")


# ---------------------------------------------------------------- as installed


def test_console_script_and_module_run_as_users_run_them(tmp_path):
    script = BIN / "vek-drivers"
    assert script.exists(), "the build installs the vek-drivers console script"
    done = subprocess.run([str(script), "list", "--json"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert len(json.loads(done.stdout)) == _gdal.GetDriverCount()

    done = subprocess.run([sys.executable, "-m", "vek", "show", "NoSuchDriver"],
                          capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.startswith("vek-drivers: error: unknown driver 'NoSuchDriver'")
    assert "Traceback" not in done.stderr

    done = subprocess.run([str(script)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and done.stderr.startswith("usage: vek-drivers")

    done = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0
    assert _gdal.VersionInfo("RELEASE_NAME") in done.stdout


def test_a_broken_configuration_file_is_reported_without_a_traceback(tmp_path):
    config = tmp_path / "config.toml"
    config.write_text("[raster.creation_options.GTiff\nCOMPRESS = \n")
    done = subprocess.run([sys.executable, "-m", "vek", "show", "GTiff"],
                          capture_output=True, text=True, timeout=120, cwd=tmp_path,
                          env={**os.environ, "VEK_CONFIG": str(config)})
    assert done.returncode == 1
    assert done.stderr.startswith("vek-drivers: error: ")
    assert str(config) in done.stderr
    assert "Traceback" not in done.stderr


def test_demo_runs_without_a_traceback(tmp_path):
    page = tmp_path / "demo" / "drivers.html"
    done = subprocess.run([sys.executable, "-m", "vek.demo", "--html", str(page)],
                          capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "Traceback" not in done.stderr
    out = done.stdout
    creatable_rasters = find_drivers(DCAP_RASTER=True, DCAP_CREATE=True)
    assert f"{len(creatable_rasters)} of {_gdal.GetDriverCount()} drivers" in out
    assert "GTiff - GeoTIFF" in out and "COMPRESS" in out
    assert "compression LZW" in out and "blocks 256 x 256" in out
    assert f"wrote {page}" in out
    html = page.read_text(encoding="utf-8")
    assert html.startswith("<!DOCTYPE html>")
    assert all(f">{name}<" in html for name in all_driver_names())
    assert not list(tmp_path.glob("**/*.tif")), "the GeoTIFF stays in its temporary directory"

"""``vek-drivers copy`` and ``create --verify``: what was kept and what
differs, and a refused difference leaving the target folder as it was."""

import datetime
import os
import warnings

import pytest

import vek
from conftest import need_drivers
from test_cli import assert_error, ctrl_c_in_progress, plain_settings, run  # noqa: F401 (fixtures)


@pytest.fixture
def sources(tmp_path, monkeypatch):
    """A georeferenced GeoTIFF with nodata, a GeoPackage of two layers."""
    monkeypatch.chdir(tmp_path)
    vek.write_raster("dem.tif", [[1.0, 2.0], [3.0, -9999.0]], srs="EPSG:32631", bounds=(0, 0, 20, 20),
                     nodata=-9999).close()
    towns = [{"geometry": {"type": "Point", "coordinates": (i, i)},
              "properties": {"name": f"t{i}", "founded": datetime.date(1900 + i, 1, 2)}} for i in range(3)]
    roads = [{"geometry": {"type": "LineString", "coordinates": [(0, 0), (1, 1)]}, "properties": {"lanes": 2}}]
    vek.write_vector("towns.gpkg", {"towns": towns, "roads": roads}, srs="EPSG:4326").close()
    return tmp_path


def api_differences(src, dst, driver, layers):
    """The differences copy_to itself warns of, for the same copy."""
    with vek.open_file(src) as db, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", vek.WriteMismatchWarning)
        db.copy_to(dst, driver, layers=layers).close()
    return [f"differs: {w.message.difference}" for w in caught if w.category is vek.WriteMismatchWarning]


@pytest.mark.parametrize("driver, dst, layers", [("FlatGeobuf", "towns.fgb", ["towns"]),
                                                  ("GeoJSON", "towns.geojson", ["towns"]),
                                                  ("GPKG", "copy.gpkg", [])])  # GPKG's CreateCopy: rasters only
def test_vector_copy_reports_the_layers_kept_and_what_differs(capsys, sources, driver, dst, layers):
    need_drivers(driver)
    code, out, err = run(capsys, "copy", "towns.gpkg", dst, *(["--layers", *layers] if layers else []))
    assert (code, err) == (0, ""), err
    with vek.open_file(dst) as db:
        held = db.layers
    assert {name: count for name, _kind, count in held} == ({"towns": 3} if layers else {"towns": 3, "roads": 1})
    assert all(f"{name} ({kind}, {count} feature" in out for name, kind, count in held)
    oracle = api_differences("towns.gpkg", "oracle" + os.path.splitext(dst)[1], driver, layers or ["towns", "roads"])
    assert [line for line in out.splitlines() if line.startswith("differs: ")] == oracle


@pytest.mark.parametrize("verify, status, kept", [("error", 1, False), ("warn", 0, True), ("off", 0, True)])
@pytest.mark.parametrize("command", ["copy", "create"])
def test_a_changed_nodata_is_refused_or_reported(capsys, sources, command, verify, status, kept):
    need_drivers("GSBG")  # stores its own nodata whatever was asked
    (sources / "dst.grd").write_bytes(b"old")
    before = sorted(os.listdir(sources))
    args = (["copy", "dem.tif", "dst.grd", "GSBG"] if command == "copy" else
            ["create", "GSBG", "dst.grd", "--size", "2", "2", "--nodata", "-9999"])
    code, out, err = run(capsys, *args, "--verify", verify, "--overwrite")
    if status:
        assert out == "" and sorted(os.listdir(sources)) == before
        if command == "copy":  # written aside: what was there is untouched
            assert_error(code, err, "nodata", "nothing was kept")
            assert (sources / "dst.grd").read_bytes() == b"old"
        else:  # Create writes in place, and the error says so
            assert_error(code, err, "nodata", "written over the file that was there")
        return
    assert (code, err) == (0, "") and (sources / "dst.grd").read_bytes() != b"old"
    assert any(line.startswith("differs: nodata: asked -9999") for line in out.splitlines()) == (verify == "warn")


def test_create_verify_names_a_renamed_field_and_leaves_nothing(capsys, tmp_path):
    need_drivers("ESRI Shapefile")
    code, out, err = run(capsys, "create", "ESRI Shapefile", str(tmp_path / "t.shp"), "--layer", "t",
                         "--field", "population_total:Integer", "--verify", "error")
    assert code == 1 and "'population_total'" in err.splitlines()[-1] and os.listdir(tmp_path) == []


@pytest.mark.parametrize("args, words, status", [
    ("", ["SRC"], 2), ("dem.tif", ["DST"], 2), ("dem.tif x.tif --verify maybe", ["invalid choice"], 2),
    ("dem.tif x.tif -co A=1 -lco B=2", ["-co", "-lco", "one kind"], 2),
    ("dem.tif x.gpkg -lco A=1 --layers a", ["-lco, --layers apply to vector copies", "-co"], 2),
    ("towns.gpkg x.gpkg -co A=1", ["-co applies to raster copies", "-dsco", "-lco"], 2),
    ("towns.gpkg x.shp", ["one layer", "--layers"], 1), ("towns.gpkg x.gpkg --layers nope", ["'nope'"], 1),
    ("towns.gpkg x.gpkg -dsco VERSON=1.2", ["'VERSON'", "'VERSION'"], 1),
    ("dem.tif x.tif -co COMPRESS=LZX", ["COMPRESS", "'LZX'"], 1),
    ("dem.tif x.gpkg 'ESRI Shapefile'", ["writes no rasters"], 1), ("dem.tif x.nosuchext", [".nosuchext"], 1),
    ("dem.tif towns.gpkg", ["already exists", "--overwrite"], 1), ("missing.tif x.tif", ["missing.tif"], 1),
])
def test_copy_errors_write_nothing(capsys, sources, args, words, status):
    import shlex

    before = sorted(os.listdir(sources))
    code, out, err = run(capsys, "copy", *shlex.split(args))
    assert_error(code, err, *words, status=status)
    assert out == "" and sorted(os.listdir(sources)) == before


def test_ctrl_c_during_a_copy_exits_130_leaving_nothing(capsys, ctrl_c_in_progress, sources):
    before = sorted(os.listdir(sources))
    assert run(capsys, "copy", "dem.tif", "out.tif")[0] == 130
    assert sorted(os.listdir(sources)) == before

"""``vek-drivers config [--check]`` against the running GDAL, and the
ConfigWarning of a driver table naming no driver, each in a fresh process
(the configuration is read once per process)."""

import json
import os
import subprocess
import sys

import pytest

TYPOS = """[raster.creation_options.GTiff]\nCOMPRES = "LZW"\nCOMPRESS = "LZX"\nTILED = true
[raster.creation_options.GTIF]\nCOMPRESS = "LZW"\n[raster.creation_options.gtiff]\nTILED = true
[raster.creation_options."ESRI Shapefile"]\nENCODING = "UTF-8"\n[vector.creation_options.GPKG]\nSPATIAL_INDX = 0
"""
GOOD = '[raster.creation_options.GTiff]\nCOMPRESS = "deflate"\nTILED = true\n'
WARNED = """import json, warnings, vek
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    info = vek.RasterDriver("GTiff").creation_options_info
print(json.dumps([[w.category is vek.ConfigWarning, str(w.message), w.filename] for w in caught]))"""


def run(tmp_path, text, *argv):
    (tmp_path / "c.toml").write_text(text)
    return subprocess.run([sys.executable, *argv], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, VEK_CONFIG=str(tmp_path / "c.toml")))


def test_check_finds_typos_with_the_closest_real_names(tmp_path):
    done = run(tmp_path, TYPOS, "-m", "vek", "config", "--check")
    lines = done.stdout.splitlines()
    assert (done.returncode, done.stderr, lines[0]) == (1, "", f"configuration file: {tmp_path}/c.toml "
                                                              "(named by VEK_CONFIG)")
    assert lines[1] == "raster.creation_options.GTiff.COMPRES: GTiff has no option 'COMPRES' (did you mean " \
                       "'COMPRESS'?)"
    assert lines[2].startswith("raster.creation_options.GTiff.COMPRESS: invalid value 'LZX' for option "
                               "COMPRESS: allowed values are NONE, LZW")
    assert lines[3:] == [
        "raster.creation_options.GTIF: no driver named 'GTIF' (did you mean 'GTiff'?)",
        "raster.creation_options.gtiff: no driver named 'gtiff' (did you mean 'GTiff'?)",
        "raster.creation_options.ESRI Shapefile: ESRI Shapefile is not a raster driver; its options have no effect",
        "vector.creation_options.GPKG.SPATIAL_INDX: GPKG has no option 'SPATIAL_INDX' (did you mean "
        "'SPATIAL_INDEX'?)"]
    good = run(tmp_path, GOOD, "-m", "vek", "config", "--check")
    assert (good.returncode, good.stdout.splitlines()[1:]) == (0, ["no findings"])


def test_config_shows_the_file_and_what_it_sets(tmp_path):
    done = run(tmp_path, GOOD, "-m", "vek", "config")
    assert done.returncode == 0 and done.stdout.splitlines()[2:] == [
        "[raster.creation_options.GTiff]", 'COMPRESS = "deflate"', "TILED = true", "", "[jupyter]",
        "show_max_shape = [20, 10] (default)"]
    data = json.loads(run(tmp_path, GOOD, "-m", "vek", "config", "--json").stdout)
    assert data["read"] and data["raster"] == {"GTiff": {"COMPRESS": "deflate", "TILED": True}}


def test_a_driver_table_naming_no_driver_warns_once_and_nothing_is_raised(tmp_path):
    warned = json.loads(run(tmp_path, TYPOS, "-c", WARNED).stdout)
    assert [(ok, f"[raster.creation_options.{name}]" in msg and "'GTiff'" in msg, where)
            for (ok, msg, where), name in zip(warned, ["GTIF", "gtiff"])] == [(True, True, "<string>")] * 2
    # the option name GTiff lacks, when its configured options are used
    assert [msg.split("] ", 1)[1] for _ok, msg, _where in warned[2:]] == [
        "COMPRES is not a creation option of GTiff (did you mean 'COMPRESS'?); it has no effect"]
    assert json.loads(run(tmp_path, GOOD, "-c", WARNED).stdout) == []



@pytest.mark.parametrize("nested", ["[" * 100_000 + "]" * 100_000, "{a = " * 50_000 + "1" + "}" * 50_000])
def test_a_file_nested_too_deeply_is_one_error_line_from_every_command(tmp_path, nested):
    for argv in (["config"], ["config", "--check"], ["show", "GTiff"]):
        done = run(tmp_path, f"x = {nested}\n", "-m", "vek", *argv)
        assert (done.returncode, done.stdout, done.stderr) == (1, "", f"vek-drivers: error: malformed configuration "
                                                               f"file {tmp_path}/c.toml: arrays or inline tables nested too deeply\n")

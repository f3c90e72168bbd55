"""``vek-drivers config`` and ``config --check`` against the running GDAL, and
the ConfigWarning for a driver table that names no driver; each in a fresh
interpreter, as the configuration is read once per process."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import metadata

TYPOS = """\
[raster.creation_options.GTiff]
COMPRES = "LZW"
COMPRESS = "LZX"
TILED = true

[raster.creation_options.GTIF]
COMPRESS = "LZW"

[raster.creation_options.gtiff]
TILED = true

[raster.creation_options."ESRI Shapefile"]
ENCODING = "UTF-8"

[vector.creation_options.GPKG]
SPATIAL_INDX = false
"""
GOOD = """\
[raster.creation_options.GTiff]
COMPRESS = "deflate"
TILED = true

[vector.creation_options."ESRI Shapefile"]
ENCODING = "UTF-8"
"""


def run(tmp_path, text, *argv):
    config = tmp_path / "config.toml"
    config.write_text(text)
    env = dict(os.environ, VEK_CONFIG=str(config))
    return subprocess.run([sys.executable, *argv], capture_output=True, text=True, timeout=120, env=env,
                          cwd=tmp_path)


def test_check_finds_typos_with_the_closest_real_names(tmp_path):
    done = run(tmp_path, TYPOS, "-m", "vek", "config", "--check")
    assert (done.returncode, done.stderr) == (1, "")
    first, *findings = done.stdout.splitlines()
    assert first == f"configuration file: {tmp_path / 'config.toml'} (named by VEK_CONFIG)"
    assert findings[:2] == [
        "raster.creation_options.GTiff.COMPRES: GTiff has no option 'COMPRES' (did you mean 'COMPRESS'?)",
        "raster.creation_options.GTiff.COMPRESS: invalid value 'LZX' for option COMPRESS: allowed values are "
        + ", ".join(metadata_values("GTiff", "COMPRESS"))]
    assert findings[2:] == [
        "raster.creation_options.GTIF: no driver named 'GTIF' (did you mean 'GTiff'?)",
        "raster.creation_options.gtiff: no driver named 'gtiff' (did you mean 'GTiff'?)",
        "raster.creation_options.ESRI Shapefile: ESRI Shapefile is not a raster driver; its options have no effect",
        "vector.creation_options.GPKG.SPATIAL_INDX: GPKG has no option 'SPATIAL_INDX' (did you mean "
        "'SPATIAL_INDEX'?)"]
    data = json.loads(run(tmp_path, TYPOS, "-m", "vek", "config", "--check", "--json").stdout)
    assert data["findings"] == findings


def metadata_values(driver, option):
    import xml.etree.ElementTree as ET

    root = ET.fromstring(metadata(driver, "DMD_CREATIONOPTIONLIST"))
    return [v.text for o in root if o.get("name") == option for v in o.findall("Value")]


def test_a_good_file_has_no_findings_and_config_shows_what_it_sets(tmp_path):
    done = run(tmp_path, GOOD, "-m", "vek", "config", "--check")
    assert (done.returncode, done.stdout.splitlines()[-1], done.stderr) == (0, "no findings", "")
    done = run(tmp_path, GOOD, "-m", "vek", "config")
    assert done.returncode == 0 and done.stdout.splitlines()[2:] == [
        "[raster.creation_options.GTiff]", 'COMPRESS = "deflate"', "TILED = true", "",
        '[vector.creation_options."ESRI Shapefile"]', 'ENCODING = "UTF-8"', "",
        "[jupyter]", "show_max_shape = [20, 10] (default)"]
    data = json.loads(run(tmp_path, GOOD, "-m", "vek", "config", "--json").stdout)
    assert data["read"] and data["raster"] == {"GTiff": {"COMPRESS": "deflate", "TILED": True}}
    done = run(tmp_path, TYPOS, "-m", "vek", "config")
    assert done.returncode == 0 and done.stdout.count("warning: ") == 2 and done.stderr == ""


WARNED = textwrap.dedent("""
    import json, warnings
    import vek
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        gtiff = vek.RasterDriver("GTiff")
        current = {k: r["current"] for k, r in gtiff.creation_options_info.items() if "current" in r}
        vek.VectorDriver("GPKG").creation_options_info
    print(json.dumps({"current": current, "warnings": [
        [w.category is vek.ConfigWarning, str(w.message), w.filename] for w in caught]}))
""")


@pytest.mark.parametrize("text, warned", [(TYPOS, ["GTIF", "gtiff"]), (GOOD, [])])
def test_a_driver_table_naming_no_driver_warns_once_and_unknown_options_stay_silent(tmp_path, text, warned):
    done = run(tmp_path, text, "-c", WARNED)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert [w[0] for w in result["warnings"]] == [True] * len(warned)
    for (_, message, filename), name in zip(result["warnings"], warned):
        assert f"[raster.creation_options.{name}]" in message and "'GTiff'" in message
        assert filename == "<string>", "the warning points at the user's code"
    assert result["current"]["TILED"] is True

"""What each format keeps: scripts/format-keeps.py over a few drivers of the
running GDAL (each in its own process), its Markdown, and ``describe``'s
``keeps`` entry, there only for results of this very GDAL."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import missing_drivers
from vek._algos.geo.registry.keeps import find_results, results_name, running_gdal

SCRIPT = Path(__file__).resolve().parent.parent.parent / "scripts" / "format-keeps.py"

# driver, kind, what its record must say
CASES = [
    ("GTiff", "raster", lambda r: r["srs"] and r["geotransform"] and r["nodata"] and not r["differences"]),
    ("GTiff", "raster", lambda r: r["types"] and all(held == asked for asked, held in r["types"].items())),
    ("GSBG", "raster", lambda r: r["nodata"] is False and all(t.startswith("nodata: asked 7,") for t in r["differences"])),
    ("GSBG", "raster", lambda r: set(r["types"].values()) == {"Float32"}),  # every type stored as Float32
    ("ESRI Shapefile", "vector", lambda r: r["long_names"] is False and r["srs"] and r["features"]),
    ("ESRI Shapefile", "vector", lambda r: r["layers"] is False and ("DateTime" in r["unlisted"] or r["fields"]["DateTime"] == "Date")),
    ("GPKG", "vector", lambda r: r["layers"] and r["long_names"] and all(a == h for a, h in r["fields"].items())),
]
DRIVERS = sorted({name for name, _, _ in CASES})


def _env(tmp_path, **more):
    env = {k: v for k, v in os.environ.items() if k not in ("VEK_CONFIG", "XDG_CACHE_HOME")}
    env.update(XDG_CACHE_HOME=str(tmp_path / "cache"), XDG_CONFIG_HOME=str(tmp_path / "config"), **more)
    return env


def script(tmp_path, *argv):
    done = subprocess.run([sys.executable, str(SCRIPT), *argv], capture_output=True, text=True, timeout=600,
                          env=_env(tmp_path))
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    present = [n for n in DRIVERS if not missing_drivers(n)]
    if not present:
        pytest.skip(f"no {', '.join(DRIVERS)} driver in this GDAL")
    tmp = tmp_path_factory.mktemp("keeps")
    return json.loads(script(tmp, "--only", *present)), tmp


@pytest.mark.parametrize("name, kind, check", CASES, ids=[f"{n}-{k}-{i}" for i, (n, k, _) in enumerate(CASES)])
def test_what_a_driver_keeps(results, name, kind, check):
    if missing_drivers(name):
        pytest.skip(f"no {name} driver in this GDAL")
    found, _ = results
    assert (found["gdal"], found["build"]) == running_gdal()
    record = found["drivers"][name][kind]
    assert check(record), record


def test_markdown_has_a_row_per_driver_and_kind_and_a_partial_run_is_not_cached(results):
    found, tmp = results
    source = tmp / "results.json"
    source.write_text(json.dumps(found))
    rows = [line for line in script(tmp, "--from", str(source), "--markdown").splitlines() if line.startswith("| ")]
    names = [row.split(" | ")[0][2:] for row in rows if not row.startswith(("| Raster driver", "| Vector driver"))]
    assert sorted(names) == sorted(n for n, record in found["drivers"].items() for _ in record)
    if "GSBG" in found["drivers"]:
        assert "| GSBG | yes | yes | **no** |" in "\n".join(rows)
    assert not (tmp / "cache").exists()  # --only: no results kept for describe


def _describe(tmp_path, code):
    done = subprocess.run([sys.executable, "-c", f"import json, vek; print(json.dumps({code}))"],
                          capture_output=True, text=True, timeout=120, env=_env(tmp_path))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_describe_gives_what_the_results_of_this_gdal_say(tmp_path):
    release, build = running_gdal()
    cache = tmp_path / "cache" / "vek"
    cache.mkdir(parents=True)
    record = {"raster": {"nodata": False, "seen": "here"}}
    (cache / results_name(release, build)).write_text(json.dumps(
        {"gdal": release, "build": build, "drivers": {"GTiff": record}}))
    assert _describe(tmp_path, "[vek.describe('GTiff').get('keeps'), 'keeps' in vek.describe('VRT')]") == [record, False]


@pytest.mark.parametrize("text", [
    json.dumps({"gdal": "0.0.1", "build": "system", "drivers": {"GTiff": {}}}),
    json.dumps({"gdal": "{release}", "build": "another", "drivers": {"GTiff": {}}}),
    json.dumps({"gdal": "{release}", "build": "{build}", "drivers": [["GTiff", {}]]}),
    "{not json",
])
def test_results_of_another_gdal_or_unreadable_ones_say_nothing(tmp_path, text):
    release, build = running_gdal()
    (tmp_path / results_name(release, build)).write_text(text.replace("{release}", release).replace("{build}", build))
    assert find_results(release, build, [tmp_path / "missing", tmp_path]) == {}

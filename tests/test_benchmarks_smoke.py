"""The benchmark suite still runs end to end.

Runs ``benchmarks/run.py --quick`` in a child process (the suite imports
``osgeo.gdal`` in one of its own children, never here) and checks that it
completes and prints its table; timings are never checked.
"""

import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN = os.path.join(ROOT, "benchmarks", "run.py")

OPERATIONS = [
    'Driver("GTiff")',
    'RasterDriver("GTiff")',
    "Driver(index)",
    "name",
    "is_raster",
    "category",
    "extension",
    "creatable",
    "GTiff creation catalogue, first build",
    "set_creation_options + creation_options",
    "DriveStatistics()",
    "DriveStatistics.rasters",
    "DriveStatistics.vectors",
    "Driver._repr_html_()",
    "DriveStatistics._repr_html_()",
    "create 256x256x1 in memory + close",
    "import (fresh interpreter)",
]


def test_quick_run_completes_and_prints_the_table(tmp_path):
    out_json = tmp_path / "bench.json"
    res = subprocess.run(
        [sys.executable, RUN, "--quick", "--json", str(out_json)],
        capture_output=True, text=True, cwd=ROOT, timeout=600,
    )
    assert res.returncode == 0, res.stdout + res.stderr
    # the floor computes what vek computes (else the comparison is unfair)
    assert "WARNING" not in res.stderr, res.stderr

    lines = res.stdout.splitlines()
    head = next(i for i, line in enumerate(lines) if line.startswith("| operation"))
    assert "floor ns" in lines[head] and "vek/floor" in lines[head] and "vek/proxy" in lines[head]
    rows = [line for line in lines[head + 2:] if line.startswith("| ")]
    names = [row.split("|")[1].strip() for row in rows]
    for name in OPERATIONS:
        assert name in names
    for row in rows:
        status = row.split("|")[6].strip()
        assert status in {"OK", "MISS", "info"}

    for header in ("machine:", "Python ", "GDAL ", "Scaling with a fake registry", "targets missed:"):
        assert header in res.stdout

    data = json.loads(out_json.read_text())
    assert [r["operation"] for r in data["rows"]] == names
    assert sorted(int(n) for n in data["scaling"]) == [10, 100]


def test_callgrind_script_loads():
    # the instruction-count companion imports run.py's operations; running it
    # needs valgrind and takes a minute, so only its loading is checked here
    res = subprocess.run(
        [sys.executable, os.path.join(ROOT, "benchmarks", "callgrind.py"), "--help"],
        capture_output=True, text=True, cwd=ROOT, timeout=60,
    )
    assert res.returncode == 0, res.stderr
    assert "--keep" in res.stdout

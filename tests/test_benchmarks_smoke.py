"""``benchmarks/run.py --quick`` runs end to end in a child process (the suite
imports osgeo.gdal in its own children, never here); timings are not checked."""

import itertools
import json
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def bench(script, *args):
    return subprocess.run([sys.executable, os.path.join(ROOT, "benchmarks", script), *args],
                          capture_output=True, text=True, cwd=ROOT, timeout=600,
                          env=dict(os.environ, VEK_BENCH_CROWD_FILES="100"))  # a smoke run


def table(lines, head):
    """The cells of the table whose head is lines[head]."""
    rows = itertools.takewhile(lambda line: line.startswith("| "), lines[head + 2:])
    return [line.split("|") for line in rows]


def test_quick_run_completes_and_prints_the_table(tmp_path):
    # this interpreter again as the "second Python": the side-by-side table
    res = bench("run.py", "--quick", "--json", str(tmp_path / "bench.json"), "--python", sys.executable)
    assert res.returncode == 0, res.stdout + res.stderr
    assert "WARNING" not in res.stderr, res.stderr  # the floor computes what vek computes
    lines = res.stdout.splitlines()
    head = next(i for i, line in enumerate(lines) if line.startswith("| operation"))
    assert all(column in lines[head] for column in ("floor ns", "vek/floor", "twin ns", "vek/twin", "vek/proxy"))
    rows = table(lines, head)
    assert rows and all(row[6].strip() in {"OK", "MISS", "info"} for row in rows)
    assert all(h in res.stdout for h in ("machine:", "Python ", "GDAL ", "Scaling with a fake registry",
                                       "targets missed:"))
    data = json.loads((tmp_path / "bench.json").read_text())
    assert [r["operation"] for r in data["rows"]] == [row[1].strip() for row in rows]
    assert sorted(int(n) for n in data["scaling"]) == [10, 100]
    side = next(i for i, line in enumerate(lines) if line.startswith("| operation") and "vek/floor 3." in line)
    pairs = table(lines, side)
    assert [p[1].strip() for p in pairs] == [row[1].strip() for row in rows[:-1]]  # the same operations, import aside
    assert all(p[-2].split()[0] in {"OK", "MISS"} for p in pairs)


def test_callgrind_script_loads():
    # running it needs valgrind and a minute; its loading checks run.py's operations import
    res = bench("callgrind.py", "--help")
    assert res.returncode == 0 and "--keep" in res.stdout, res.stderr


def test_writing_benchmark_runs_and_reports_each_row(tmp_path):
    res = bench("writing.py", "--quick", "--json", str(tmp_path / "writing.json"))
    assert res.returncode == 0, res.stdout + res.stderr
    rows = json.loads((tmp_path / "writing.json").read_text())
    assert [r["status"] in ("OK", "MISS") for r in rows] == [True] * 3 and all(r["ratio"] > 0 for r in rows)


@pytest.mark.parametrize(("new_vek", "target", "status"), [
    (105, 0.9, "OK"),               # vek/floor 1.05 x the older's: still within
    (106, 0.9, "MISS (3.14)"),      # just beyond
    (100, 0.45, "MISS (twin)"),     # vek/twin 0.5 on both, above the target
    (120, 0.55, "MISS (3.14, twin)"),
])
def test_side_by_side_status(capsys, new_vek, target, status):
    sys.path.insert(0, os.path.join(ROOT, "benchmarks"))
    import pythons

    results = {"3.14.1": {"op": {"floor": 100, "twin": 200, "vek": new_vek}},
               "3.13.2": {"op": {"floor": 100, "twin": 200, "vek": 100}}}  # the older one second: sorted by version
    misses = pythons.print_side_by_side(results, ["op", "not measured"], {"op": target}, "ns")
    cells = table(capsys.readouterr().out.splitlines(), 1)
    assert [c[-2].strip() for c in cells] == [status] and misses == ([] if status == "OK" else ["op"])
    assert cells[0][5].strip() == "1.00"  # 3.13's vek/floor comes first

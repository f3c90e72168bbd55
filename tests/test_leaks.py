"""No entry point leaks references or memory, on success and on failure.

The loops run in child processes through tests/stress/leakcheck.py (its
docstring says what is measured); here with VEK_LEAK_CALLS calls per case
(5,000 by default), under `make stress` with 100,000.
"""

import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
STRESS = os.path.join(HERE, "stress")
LEAKCHECK = os.path.join(STRESS, "leakcheck.py")
if STRESS not in sys.path:
    sys.path.insert(0, STRESS)

import leak_cases  # noqa: E402

CALLS = int(os.environ.get("VEK_LEAK_CALLS", "5000"))
JOBS = os.cpu_count() or 1
CASES = leak_cases.registry()

def run_leakcheck(*args, timeout=1800):
    return subprocess.run(
        [sys.executable, LEAKCHECK, *args], capture_output=True, text=True, timeout=timeout, cwd=os.path.dirname(HERE)
    )


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    out = tmp_path_factory.mktemp("leakcheck") / "records.json"
    proc = run_leakcheck("--calls", str(CALLS), "--jobs", str(JOBS), "--json", str(out))
    if not out.exists():
        pytest.fail(f"leakcheck wrote no records:\n{proc.stdout}\n{proc.stderr}")
    with open(out) as f:
        return {r["name"]: r for r in json.load(f)}


def public_entry_points():
    import vek._algos.geo.driver as drv

    points = {"module._to_driver_shadow_", "module.read_xml_to_dict", "module.import"}
    for cls_name in leak_cases.CLASSES:
        for name, member in vars(getattr(drv, cls_name)).items():
            if isinstance(member, property) or callable(member):
                points.add(f"{cls_name}.{name}")
    return points


def test_every_entry_point_has_success_and_failure_cases():
    points = public_entry_points()
    success = {p for c in CASES.values() if not c.failure and not c.canary for p in c.covers}
    failure = {p for c in CASES.values() if c.failure for p in c.covers}
    assert sorted(points - success) == []
    assert sorted(points - failure) == []
    assert sorted((success | failure) - points) == []


@pytest.mark.parametrize(
    "name", [n for n, c in CASES.items() if not c.canary]
)
def test_no_leak(results, name):
    record = results[name]
    assert record["error"] is None
    assert record["leaks"] == []
    assert record["calls"] >= min(CALLS, 200)


def test_no_case_is_excused_as_a_known_leak():
    assert [n for n, c in CASES.items() if c.known_leak] == []


def test_the_checker_flags_reference_leaks_memory_leaks_and_crashes(tmp_path):
    """The deliberately faulty canary cases must fail, each for its reason."""
    out = tmp_path / "canaries.json"
    proc = run_leakcheck("--calls", "1000", "--jobs", "1", "--canaries", "-k", "canary", "--json", str(out), timeout=300)
    assert proc.returncode == 1
    with open(out) as f:
        records = {r["name"]: r for r in json.load(f)}
    assert any(line.startswith("refcount") for line in records["canary: reference leak"]["leaks"])
    memory = records["canary: memory leak"]["leaks"]
    assert any(line.startswith("traced grew") for line in memory)
    if sys.getallocatedblocks() > 0:  # not with PYTHONMALLOC=malloc (make test-asan)
        assert any(line.startswith("blocks grew") for line in memory)
    assert "before reporting" in records["canary: crash"]["error"]

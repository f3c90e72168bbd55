"""Instruction counts per call, floor and pure-Python twin against vek, under callgrind.

Run from the project root (needs valgrind and a C compiler)::

    .venv/bin/python benchmarks/callgrind.py                 # every operation
    .venv/bin/python benchmarks/callgrind.py name is_raster  # operations whose name contains a word
    .venv/bin/python benchmarks/callgrind.py --keep /tmp/cg name   # keep the profiles
    .venv/bin/python benchmarks/callgrind.py --so other/driver.cpython-313-x86_64-linux-gnu.so
    .venv/bin/python benchmarks/callgrind.py --python .venv-py3.14/bin/python  # and on 3.14

With a second interpreter (``--python``, or a ``.venv-py3.14`` made by ``make
setup-py3.14``, found by itself) the counts of each come last in one table
side by side (``benchmarks/pythons.py``).

Instruction counts do not depend on what else the machine is doing, so this
is the way to compare the floor and vek on a busy machine, and to see where
vek's extra instructions go: keep the profiles and read one with
``callgrind_annotate --inclusive=yes <file>`` (the extension's symbols are in
the unstripped copy under ``build/``, which is staged ahead of the installed,
stripped one for the run).

The operations, the floor and the namespace are those of ``run.py``, bare
world (``osgeo.gdal`` never imported).  A tiny C shim switches collection on
around each loop only, so set-up (a sample's pool of fresh drivers, say) and
interpreter start do not count.  Counts
are per call, with the empty loop's count per iteration taken off.
"""

import argparse
import ctypes
import glob
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import pythons  # noqa: E402  (the second interpreter, one table)
import run  # noqa: E402  (the operations and the namespace)

# The timing loops read their clock right before and right after the loop;
# here the "clock" switches collection on and off, so that only the loop
# counts (a sample's set-up, e.g. a pool of fresh drivers, does not).
SHIM = r"""
#include <valgrind/callgrind.h>
long long cg_toggle(void) { CALLGRIND_TOGGLE_COLLECT; return 0; }
void cg_zero(void) { CALLGRIND_ZERO_STATS; }
void cg_dump(const char* label) { CALLGRIND_DUMP_STATS_AT(label); }
"""


def build_shim(folder):
    src = os.path.join(folder, "cgshim.c")
    lib = os.path.join(folder, "cgshim.so")
    with open(src, "w") as fh:
        fh.write(SHIM)
    subprocess.run(["cc", "-O1", "-shared", "-fPIC", "-o", lib, src], check=True)
    return lib


def stage_symbols(folder, so=None):
    """A copy of the installed package whose extension is the unstripped
    build (same sources), or the build `so`, so that profiles name the
    extension's functions.  Returns the folder to put on PYTHONPATH, or None."""
    import importlib.util

    spec = importlib.util.find_spec("vek")
    # build/<wheel tag>/ holds a build per Python: this interpreter's
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    builds = [so] if so else sorted(glob.glob(os.path.join(ROOT, "build", "cp*", "driver" + suffix)))
    if spec is None or not spec.submodule_search_locations or not builds:
        return None
    site = os.path.join(folder, "site")
    shutil.rmtree(site, ignore_errors=True)
    package = os.path.join(site, "vek")
    shutil.copytree(spec.submodule_search_locations[0], package,
                    ignore=shutil.ignore_patterns("__pycache__"))
    for so in glob.glob(os.path.join(package, "_algos", "geo", "driver.*.so")):
        shutil.copy2(builds[-1], so)
    return site


def selected(words):
    # the crowded copy is file system work, not instructions of vek's
    ops = [op for op in run.OPS if op[0] not in ("create 256x256x1, floor = raw binding", run.CROWD_ROW)]
    if not words:
        return ops
    return [op for op in ops if any(w.lower() in op[0].lower() for w in words)]


def child(args):
    """Runs under valgrind: one collected loop per (operation, way)."""
    shim = ctypes.CDLL(args.shim)
    shim.cg_toggle.restype = ctypes.c_longlong
    shim.cg_dump.argtypes = [ctypes.c_char_p]
    ns = run.prepare_world("bare", crowd=False)
    loops = [("empty loop", "short", "pass"), ("empty loop", "long", "pass")]
    for name, _target, floor, _proxy, vek in selected(args.ops):
        loops += [(name, "floor", floor), (name, "twin", run.as_twin(vek)), (name, "vek", vek)]
    for name, way, stmt in loops:
        run.CLOCK = time.perf_counter_ns
        fn = run.compile_way(stmt, ns)
        fn(2)  # warm: lazy imports, caches
        one = max(fn(1) / 1e9, 1e-6)
        n = max(2, min(args.max_calls, int(args.budget_s / one)))
        if name == "empty loop":
            n = 100 if way == "short" else 1000
        run.CLOCK = shim.cg_toggle
        fn = run.compile_way(stmt, ns)
        shim.cg_zero()
        fn(n)
        shim.cg_dump(f"{name}|{way}|{n}".encode())


def parse_dump(path):
    label = total = None
    with open(path) as fh:
        for line in fh:
            if line.startswith("desc: Trigger:"):
                m = re.search(r"Client Request: (.*)$", line.strip())
                label = m.group(1) if m else None
            elif line.startswith(("summary:", "totals:")):
                total = int(line.split()[1])
    return label, total


def count(args, folder):
    """Runs this interpreter's child under callgrind; returns the empty
    loop's count per iteration, the fixed count per collected run, and
    {operation: {"floor", "twin", "vek"}} in instructions per call."""
    for old in glob.glob(os.path.join(folder, "cg.out*")):
        os.remove(old)
    shim = build_shim(folder)
    cmd = [
        "valgrind", "--tool=callgrind", "--collect-atstart=no", "--dump-instr=no",
        f"--callgrind-out-file={os.path.join(folder, 'cg.out')}",
        sys.executable, os.path.abspath(__file__), "--child", "--shim", shim,
        "--budget-s", str(args.budget_s), "--max-calls", str(args.max_calls), *args.ops,
    ]
    env = dict(os.environ, PYTHONHASHSEED="0")
    site = stage_symbols(folder, args.so)
    if site:
        env["PYTHONPATH"] = site + os.pathsep + env.get("PYTHONPATH", "")
    subprocess.run(cmd, check=True, cwd=ROOT, env=env, stderr=subprocess.DEVNULL)

    per_call = {}
    counts = {}
    files = {}
    for path in glob.glob(os.path.join(folder, "cg.out.*")):
        label, total = parse_dump(path)
        if not label or total is None:
            continue
        name, way, n = label.rsplit("|", 2)
        per_call[(name, way)] = total / int(n)
        counts[(name, way)] = int(n)
        files[(name, way)] = path
    # a collected run costs fixed + n * (loop + work): the empty loop at two
    # lengths gives the fixed part and the loop's own part
    short = per_call.pop(("empty loop", "short")) * 100
    long_ = per_call.pop(("empty loop", "long")) * 1000
    loop = (long_ - short) / 900
    fixed = short - 100 * loop
    ops = {}
    for name, *_ in selected(args.ops):
        if all((name, way) in per_call for way in ("floor", "twin", "vek")):
            ops[name] = {way: per_call[(name, way)] - fixed / counts[(name, way)] - loop
                         for way in ("floor", "twin", "vek")}
    return loop, fixed, ops, files


def other_counts(python, args):
    """The same count by another interpreter (its own venv and build)."""
    with tempfile.TemporaryDirectory(prefix="vek-callgrind-") as tmp:
        out = os.path.join(tmp, "counts.json")
        subprocess.run([python, os.path.abspath(__file__), "--json", out, "--budget-s", str(args.budget_s),
                        "--max-calls", str(args.max_calls), *args.ops], check=True, cwd=ROOT)
        with open(out) as fh:
            return json.load(fh)["ops"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("ops", nargs="*", help="words picking operations by name (default: all)")
    parser.add_argument("--keep", help="folder to keep the callgrind profiles in")
    parser.add_argument("--budget-s", type=float, default=0.3, help="valgrind seconds per loop (default 0.3)")
    parser.add_argument("--max-calls", type=int, default=400)
    parser.add_argument("--so", help="profile this build of the extension (e.g. a changed one) instead of build/")
    parser.add_argument("--python", action="append", metavar="PATH",
                        help="also count with this interpreter (its venv's python, vek installed there; "
                             "repeatable; default: .venv-py3.13/.venv-py3.14 of another version)")
    parser.add_argument("--json", help="write this interpreter's counts to this file, print nothing")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--shim", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        child(args)
        return 0

    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        loop, fixed, ops, files = count(args, args.keep)
    else:  # the profiles only feed the counts: gone with the run
        with tempfile.TemporaryDirectory(prefix="vek-callgrind-") as scratch:
            loop, fixed, ops, files = count(args, scratch)
    folder = args.keep
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"python": platform.python_version(), "ops": ops}, fh)
        return 0
    print(f"instructions per call (callgrind Ir; the empty loop's {loop:.0f} per iteration "
          f"and {fixed:,.0f} per collected run taken off), Python {platform.python_version()}")
    rows = []
    for name, target, *_ in selected(args.ops):
        if name not in ops:
            continue
        f, t, v = (ops[name][way] for way in ("floor", "twin", "vek"))
        twin_target = run.TWIN_TARGETS.get(name)
        rows.append((name, f"{f:,.0f}", f"{t:,.0f}", f"{v:,.0f}", f"{v / f:.2f}", "-" if target is None else f"<= {target}",
                     f"{v / t:.2f}", "-" if twin_target is None else f"<= {twin_target}"))
    head = ("operation", "floor Ir", "twin Ir", "vek Ir", "vek/floor", "target", "vek/twin", "twin target")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    for r in [head] + rows:
        print("  " + "  ".join(x.ljust(w) if i == 0 else x.rjust(w) for i, (x, w) in enumerate(zip(r, widths))))
    if args.keep:
        print(f"\nprofiles in {folder} (one per operation and way); read one with")
        print("  callgrind_annotate --inclusive=yes <file> | head -40")
        for (name, way), path in sorted(files.items()):
            print(f"  {name} [{way}]: {os.path.basename(path)}")
    found, note = pythons.others(args.python)
    print()
    if note:
        print(note)
        return 0
    results = {platform.python_version(): ops}
    for python, version in found:
        print(f"counting with {python} (Python {version}) ...", flush=True)
        results[pythons.label(results, version)] = other_counts(python, args)
    pythons.print_side_by_side(results, [op[0] for op in selected(args.ops)], run.TWIN_TARGETS, "instructions")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Leak check of vek._algos.geo.driver: every entry point called in a loop
in child processes, with memory and reference counts watched.

Each case (see leak_cases/) prepares one call of one entry point, on a
success or a failure path, and is run as:

    warm-up (calls // 10, at least 100) - gc - snapshot
    window 1 (calls // 2)               - gc - measure
    window 2 (calls // 2)               - gc - measure + reference counts

A case leaks when, after window 2, the reference count of any watched
object differs from the snapshot (the module's namespace, its classes and
functions with their defaults, the sibling modules' objects, and what the
case hands in or gets back), or when window 2 still grows: tracemalloc's
traced total, the interpreter's allocated blocks, the number of objects
the garbage collector tracks, resident memory (with sys.gettotalrefcount
as well on a debug build of CPython). Window 1 is shown next to window 2
so that a steady slope is told apart from a one-off settling.

Usage:
    python tests/stress/leakcheck.py [--calls N] [--jobs J] [-k TEXT]... [--list] [--json FILE]

The exit status is 0 when no case leaks or fails. Cases marked `fresh`
(import failure and retry) run in a process of their own that has not
imported the module yet; the others are shared out among J processes.
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
for path in (HERE, TESTS):
    if path not in sys.path:
        sys.path.insert(0, path)

# Growth allowed in window 2 (noise of free lists, dict resizing and the
# like); a leak of one object per call exceeds each of them by far.
TRACED_FLOOR = 48 * 1024  # bytes
TRACED_PER_CALL = 2.0  # bytes per call
BLOCKS_FLOOR = 200
BLOCKS_PER_CALL = 0.02
GC_OBJECTS_FLOOR = 50
RSS_FLOOR = 4 * 1024 * 1024  # bytes
RSS_PER_CALL = 16.0
TOTALREFS_FLOOR = 200

PAGE = os.sysconf("SC_PAGE_SIZE")
# Under AddressSanitizer freed memory sits in a quarantine first, so the
# resident size grows without a leak; it is shown, not checked, there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def totalrefs():
    fn = getattr(sys, "gettotalrefcount", None)
    return fn() if fn is not None else 0


def measure():
    gc.collect()
    gc.collect()
    return {
        "traced": tracemalloc.get_traced_memory()[0],
        "blocks": sys.getallocatedblocks(),
        "gc_objects": len(gc.get_objects()),
        "rss": rss(),
        "totalrefs": totalrefs(),
    }


def limits(window):
    return {
        "traced": max(TRACED_FLOOR, TRACED_PER_CALL * window),
        "blocks": max(BLOCKS_FLOOR, BLOCKS_PER_CALL * window),
        "gc_objects": GC_OBJECTS_FLOOR,
        "rss": float("inf") if SANITIZED else max(RSS_FLOOR, RSS_PER_CALL * window),
        "totalrefs": TOTALREFS_FLOOR,
    }


def describe(obj):
    try:
        text = repr(obj)
    except Exception:
        text = object.__repr__(obj)
    return f"{type(obj).__name__} {text[:80]}"


def run_loop(step, count):
    for _ in range(count):
        step()


def over_limit(growth, window):
    allowed = limits(window)
    return {key: grown for key, grown in growth.items() if grown > allowed[key]}


def run_case(case, calls):
    """Runs one case in this process; returns its result record."""
    import leak_cases

    world = leak_cases.FreshWorld() if case.fresh else leak_cases.World()
    scaled = max(200, int(calls * case.scale))
    warm = max(100, scaled // 10)
    window = scaled // 2
    result = {"name": case.name, "calls": warm + 2 * window, "window": window, "leaks": [], "error": None}
    started = time.perf_counter()
    # Traced from the warm-up on, so that a container made before the loop
    # and grown during it counts by its growth, not by its new size.
    tracemalloc.start()
    try:
        step = case.setup(world)
        run_loop(step, warm)
        watched = world.watched()
        first = measure()
        before = [sys.getrefcount(obj) for obj in watched]
        run_loop(step, window)
        middle = measure()
        run_loop(step, window)
        last = measure()
        after = [sys.getrefcount(obj) for obj in watched]
        growth1 = {k: middle[k] - first[k] for k in first}
        growth2 = {k: last[k] - middle[k] for k in first}
        suspect = over_limit(growth2, window)
        if suspect:
            # One resize of a big container can exceed the allowance once;
            # a leak grows again in a third window.
            run_loop(step, window)
            confirm = {k: v - last[k] for k, v in measure().items()}
            result["calls"] += window
            result["growth3"] = confirm
            suspect = {k: v for k, v in suspect.items() if k in over_limit(confirm, window)}
        if getattr(world, "finish", None) is not None:
            world.finish()
    except BaseException as exc:  # a case that fails is reported, not a leak
        result["error"] = f"{type(exc).__name__}: {exc}"
        return result
    finally:
        tracemalloc.stop()
        world.restore()
    result["seconds"] = round(time.perf_counter() - started, 2)
    result["watched"] = len(watched)
    result["growth1"] = growth1
    result["growth2"] = growth2
    allowed = limits(window)
    for key, grown in suspect.items():
        later = result["growth3"][key]
        result["leaks"].append(
            f"{key} grew by {grown} in window 2 and {later} in window 3 "
            f"(window 1: {growth1[key]}; allowed {int(allowed[key])} per window)"
        )
    for obj, b, a in zip(watched, before, after):
        if a != b:
            result["leaks"].append(f"refcount {b} -> {a}: {describe(obj)}")
    del watched
    if case.known_leak:
        # The reported leak must still be there (and be the only one): when
        # it is gone, the mark has to go too. Without pymalloc
        # (PYTHONMALLOC=malloc) there are no blocks to count.
        measurable = [k for k in case.known_leak if k != "blocks" or sys.getallocatedblocks() > 0]
        shown = [line for line in result["leaks"] if line.split()[0] in case.known_leak]
        others = [line for line in result["leaks"] if line not in shown]
        result["known"] = shown
        result["leaks"] = others
        if measurable and not shown:
            result["leaks"].append(f"the known leak ({', '.join(case.known_leak)}) no longer shows")
        result["known_measurable"] = bool(measurable)
    return result


def child_main(names, calls, out):
    import leak_cases

    cases = leak_cases.registry()
    for name in names:
        record = run_case(cases[name], calls)
        out.write(json.dumps(record) + "\n")
        out.flush()


def select(cases, patterns, include_canaries):
    picked = []
    for case in cases.values():
        if case.canary and not include_canaries:
            continue
        if patterns and not any(p in case.name for p in patterns):
            continue
        picked.append(case)
    return picked


def spawn(names, calls):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", "--calls", str(calls), *names]
    env = dict(os.environ)
    env.setdefault("PYTHONFAULTHANDLER", "1")
    return subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def collect(proc, names):
    """Results of a child; cases it never reported (a crash) are errors."""
    out, err = proc.communicate()
    records = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    seen = {r["name"] for r in records}
    for name in names:
        if name not in seen:
            tail = err.strip().splitlines()[-15:]
            records.append(
                {
                    "name": name,
                    "calls": 0,
                    "leaks": [],
                    "error": f"child exited with status {proc.returncode} before reporting: " + " | ".join(tail),
                }
            )
    return records


def run_all(cases, calls, jobs):
    """Runs the cases in child processes and returns their records."""
    fresh = [c for c in cases if c.fresh]
    shared = [c for c in cases if not c.fresh]
    # Spread by expected cost so that the children finish together.
    shared.sort(key=lambda c: -c.cost * c.scale)
    buckets = [[] for _ in range(max(1, jobs))]
    loads = [0.0] * len(buckets)
    for c in shared:
        i = loads.index(min(loads))
        buckets[i].append(c.name)
        loads[i] += c.cost * c.scale
    groups = [[c.name] for c in fresh] + [b for b in buckets if b]
    records = []
    running = []
    for names in groups:
        while len(running) >= max(1, jobs):
            proc, pending = running.pop(0)
            records.extend(collect(proc, pending))
        running.append((spawn(names, calls), names))
    for proc, pending in running:
        records.extend(collect(proc, pending))
    order = {c.name: i for i, c in enumerate(cases)}
    records.sort(key=lambda r: order.get(r["name"], 0))
    return records


def report(records, stream):
    width = max([len(r["name"]) for r in records] + [10])
    bad = 0
    for r in records:
        if r["error"]:
            status, bad = "ERROR", bad + 1
        elif r["leaks"]:
            status, bad = "LEAK", bad + 1
        elif r.get("known"):
            status = "known"
        else:
            status = "ok"
        g2 = r.get("growth2", {})
        extra = (
            f"traced {g2.get('traced', 0):+7d} B  blocks {g2.get('blocks', 0):+5d}  "
            f"gc {g2.get('gc_objects', 0):+4d}  rss {g2.get('rss', 0) // 1024:+6d} KiB  "
            f"refs watched {r.get('watched', 0)}"
            if g2
            else ""
        )
        stream.write(f"{status:5s} {r['name']:{width}s} {r['calls']:8d} calls  {extra}\n")
        for line in r["leaks"] + r.get("known", []):
            stream.write(f"      {line}\n")
        if r["error"]:
            stream.write(f"      {r['error']}\n")
    stream.write(f"{len(records)} cases, {sum(r['calls'] for r in records)} calls, {bad} failing\n")
    return bad


def per_entry_point(records, cases):
    """Calls per entry point, on success and on failure paths."""
    totals = {}
    for r in records:
        case = cases.get(r["name"])
        if case is None or case.canary:
            continue
        for point in case.covers:
            entry = totals.setdefault(point, [0, 0])
            entry[1 if case.failure else 0] += r["calls"]
    return totals


def report_entry_points(totals, stream):
    width = max([len(p) for p in totals] + [10])
    stream.write(f"\n{'entry point':{width}s} {'success calls':>14s} {'failure calls':>14s}\n")
    for point in sorted(totals):
        ok, failing = totals[point]
        stream.write(f"{point:{width}s} {ok:14,d} {failing:14,d}\n")
    least = min(ok for ok, _ in totals.values()) if totals else 0
    stream.write(f"{len(totals)} entry points; fewest success-path calls: {least:,d}\n")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000, help="calls per case (cases may scale it)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("-k", dest="patterns", action="append", default=[], help="only cases whose name has TEXT")
    parser.add_argument("--canaries", action="store_true", help="include the deliberately leaking cases")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--json", help="also write the records to this file")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("names", nargs="*", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        child_main(args.names, args.calls, sys.stdout)
        return 0

    import leak_cases

    cases = select(leak_cases.registry(), args.patterns, args.canaries)
    if args.list:
        for c in cases:
            print(f"{c.name}  (scale {c.scale}{', fresh process' if c.fresh else ''})")
        return 0
    started = time.perf_counter()
    records = run_all(cases, args.calls, args.jobs)
    if args.json:
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as f:
            json.dump(records, f, indent=1)
    bad = report(records, sys.stdout)
    if not args.patterns:
        report_entry_points(per_entry_point(records, leak_cases.registry()), sys.stdout)
    print(f"{time.perf_counter() - started:.0f} s with {args.jobs} processes")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

"""The same operations on two Pythons: finding the second one, and one table.

``run.py`` and ``callgrind.py`` measure their interpreter, then run their own
measuring child with every other interpreter given with ``--python PATH``,
or, without one, with the venvs ``.venv-py3.13`` / ``.venv-py3.14`` of the
project root that run another version (``make setup-py3.14`` makes the
second).  Each child imports the same ``run.py``, so the operations are the
same; each has vek built for it in its own venv.  The figures of different
interpreters come from one after the other, so they compare by their ratios
(vek/floor, vek/twin), which each child pairs within itself.
"""

import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# vek/floor on the newer Python may be at most this much of the older's.
SAME_RATIO = 1.05

MISSING = ("second Python: none found (no .venv-py3.14 beside .venv); make it with "
           "`make setup-py3.14` (needs a python3.14, e.g. Debian unstable's, or "
           "PY314=/path/to/python3.14), or pass --python PATH")


def version(python):
    """'3.14.0' of an interpreter, or None if it does not run."""
    try:
        out = subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                             capture_output=True, text=True, timeout=60)
    except OSError:
        return None
    return out.stdout.strip() if out.returncode == 0 else None


def others(given):
    """The interpreters besides this one: `given`, or the discovered venvs of
    another version.  Returns [(python, version)] and a note for the report
    when there is none."""
    if given:
        found = []
        for python in given:
            v = version(python)
            if v is None:
                sys.exit(f"--python {python}: does not run")
            found.append((python, v))
        return found, None
    mine = "%d.%d" % sys.version_info[:2]
    found = []
    for xy in ("3.13", "3.14"):
        python = os.path.join(ROOT, f".venv-py{xy}", "bin", "python")
        if xy != mine and os.path.exists(python):
            v = version(python)
            if v is not None:
                found.append((python, v))
    return found, None if found else MISSING


def label(results, version):
    """A key for `version` not yet in `results` (the same version twice,
    e.g. two builds, gets "#2")."""
    return version if version not in results else f"{version}#{len(results) + 1}"


def _ratio(a, b):
    return a / b if a is not None and b else None


def print_side_by_side(results, ops, twin_targets, unit):
    """One table: per Python floor, twin, vek, vek/floor and vek/twin, then the
    newest Python's vek/floor against the oldest's.  `results` maps a Python
    version to {operation: {"floor", "twin", "vek"}} (figures in `unit`),
    with "vek/floor" and "vek/twin" where the ratios were paired."""
    def key(v):
        return tuple(int(x) for x in v.split("#")[0].split(".")[:2])

    versions = sorted(results, key=key)
    short = [".".join(v.split(".")[:2]) + ("#" + v.split("#")[1] if "#" in v else "") for v in versions]
    old, new = versions[0], versions[-1]
    head = ["operation"]
    for s in short:
        head += [f"{s} floor", f"{s} twin", f"{s} vek", f"{s} vek/floor", f"{s} vek/twin"]
    head += [f"vek/floor {short[-1]}/{short[0]}", "status"]
    cells, misses = [], []
    for name in ops:
        if not all(name in results[v] for v in versions):
            continue
        row, vf, missed = [name], {}, []
        target = twin_targets.get(name)
        for v in versions:
            r = results[v][name]
            vf[v] = r.get("vek/floor") or _ratio(r["vek"], r["floor"])
            vt = r.get("vek/twin") or _ratio(r["vek"], r["twin"])
            if target is not None and vt is not None and vt > target and "twin" not in missed:
                missed.append("twin")
            row += [f"{r['floor']:,.0f}", f"{r['twin']:,.0f}", f"{r['vek']:,.0f}",
                    f"{vf[v]:.2f}", "-" if vt is None else f"{vt:.2f}"]
        same = _ratio(vf[new], vf[old])
        if same is not None and same > SAME_RATIO:
            missed.insert(0, short[-1])
        row += ["-" if same is None else f"{same:.3f}", f"MISS ({', '.join(missed)})" if missed else "OK"]
        if missed:
            misses.append(name)
        cells.append(row)
    widths = [max(len(x) for x in col) for col in zip(head, *cells)]
    line = lambda items: "| " + " | ".join(  # noqa: E731
        x.ljust(w) if i == 0 else x.rjust(w) for i, (x, w) in enumerate(zip(items, widths))) + " |"
    print(f"{' and '.join(versions)} side by side ({unit} per call); status: MISS ({short[-1]}) where "
          f"vek/floor on {short[-1]} is more than {SAME_RATIO:.2f} x {short[0]}'s, MISS (twin) where "
          "a vek/twin is above its twin target (run.TWIN_TARGETS)")
    print(line(head))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for c in cells:
        print(line(c))
    print(f"side by side missed: {len(misses)}" + (f" ({'; '.join(misses)})" if misses else ""))
    return misses

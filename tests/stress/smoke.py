"""A short run through every entry point of vek._algos.geo.driver, on
success and failure paths, for memory checkers (make valgrind): small
enough to finish under valgrind in a few minutes, wide enough to reach
every function of the module once.

Exits 0 when every call gave its expected result; prints one line per
section.
"""

import gc
import importlib
import os
import sys
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]

import leak_cases  # noqa: E402  (the cases of the leak check, each run a few times)


def run_cases(rounds):
    failed = []
    for name, case in leak_cases.registry().items():
        if case.canary or case.fresh or case.scale < 0.05:
            continue
        world = leak_cases.World()
        try:
            step = case.setup(world)
            for _ in range(rounds):
                step()
        except Exception as exc:  # reported, the run goes on
            failed.append(f"{name}: {type(exc).__name__}: {exc}")
        finally:
            world.restore()
    gc.collect()
    return failed


def failed_import():
    """The import failing (a sibling lacking a name), then succeeding."""
    base = importlib.import_module("vek._algos.geo.base")
    lacking = types.ModuleType(base.__name__)
    for name in leak_cases.BASE_NAMES[:-1]:
        setattr(lacking, name, getattr(base, name))
    sys.modules[base.__name__] = lacking
    try:
        importlib.import_module(leak_cases.MODULE)
    except ImportError:
        pass
    else:
        raise AssertionError("the import did not fail")
    finally:
        sys.modules[base.__name__] = base
    return importlib.import_module(leak_cases.MODULE)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 12
    drv = failed_import()
    print("import: failed once, then", drv.__name__)
    stats = drv.DriveStatistics()
    html = stats._repr_html_()
    print(f"statistics: {len(stats)} drivers, {len(html)} characters of HTML")
    failed = run_cases(rounds)
    print(f"cases: {len(leak_cases.registry())} known, each run {rounds} times, {len(failed)} failed")
    for line in failed:
        print("  " + line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

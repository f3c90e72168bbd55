"""Describing against reading: ``vek.snapshot()`` and ``vek.describe("GTiff")``
against their floors, the reads no description can skip: every driver's
metadata (one ``MajorObject_GetMetadata_Dict`` each) with every option list
it publishes parsed by ElementTree, or the same for GTiff alone.

The two ways of a row run in turn, one call each per round (the first of
each round alternating), on thread CPU time; a figure is the median call,
the ratio the median of the per-round ratios. Run alone
(``python benchmarks/describing.py [--rounds N]``) or from
``benchmarks/run.py``.
"""

import argparse
import statistics
import sys
import time

TARGET = 1.5


def _floors():
    import xml.etree.ElementTree as ET

    from osgeo import _gdal

    from vek._algos.geo.binding.optionlists import OPTION_LISTS

    lists = tuple(OPTION_LISTS.values())

    def read(handle):
        items = _gdal.MajorObject_GetMetadata_Dict(handle, "") or {}
        return [ET.fromstring(items[key]) for key in lists if items.get(key)]

    def every_driver():
        return _gdal.VersionInfo("RELEASE_NAME"), [read(_gdal.GetDriver(i)) for i in range(_gdal.GetDriverCount())]

    def gtiff():
        return read(_gdal.GetDriverByName("GTiff"))

    return every_driver, gtiff


def rows_to_time():
    from osgeo import _gdal

    import vek

    every_driver, gtiff = _floors()
    rows = [("vek.snapshot()", every_driver, vek.snapshot)]
    if _gdal.GetDriverByName("GTiff") is not None:  # gdal-wheel's registry has it; a small build may not
        rows.append(('vek.describe("GTiff")', gtiff, lambda: vek.describe("GTiff")))
    return rows


def paired(floor, vek, rounds):
    clock = time.thread_time_ns
    times = {"floor": [], "vek": []}
    floor(), vek()  # warm: first imports, first catalogues
    for i in range(rounds):
        ways = (("floor", floor), ("vek", vek)) if i % 2 == 0 else (("vek", vek), ("floor", floor))
        for key, way in ways:
            start = clock()
            way()
            times[key].append(clock() - start)
    ratios = [v / f for v, f in zip(times["vek"], times["floor"]) if f > 0]
    return {"floor": statistics.median(times["floor"]), "vek": statistics.median(times["vek"]),
            "ratio": statistics.median(ratios)}


def run(rounds):
    """Rows of {command, floor, vek, ratio, target, status} (ns per call)."""
    rows = []
    for label, floor, vek in rows_to_time():
        result = paired(floor, vek, rounds)
        rows.append({"command": label, **result, "target": TARGET,
                     "status": "OK" if result["ratio"] <= TARGET else "MISS"})
    return rows


def print_rows(rows):
    print("Describing against reading (thread CPU time per call, us; ratio = median of paired calls):")
    width = max(len(r["command"]) for r in rows)
    print(f"  {'operation'.ljust(width)}  {'floor us':>9}  {'vek us':>9}  {'vek/floor':>9}  {'target':>7}  status")
    for r in rows:
        print(f"  {r['command'].ljust(width)}  {r['floor'] / 1e3:9,.0f}  {r['vek'] / 1e3:9,.0f}  {r['ratio']:9.2f}"
              f"  {'<= ' + format(r['target'], '.2f'):>7}  {r['status']:>6}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=51, help="paired calls per row (default 51)")
    print_rows(run(parser.parse_args(argv).rounds))
    return 0


if __name__ == "__main__":
    sys.exit(main())

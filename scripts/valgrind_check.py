"""Reads valgrind's XML report (make valgrind) and fails on memory errors
in the driver module: invalid reads and writes, uses of uninitialised
values, bad frees and the like whose stack holds a frame of the module's
shared object. Errors whose stack never enters the module (CPython, GDAL
and their libraries) are counted and shown, not failed on.

    python scripts/valgrind_check.py REPORT.xml MODULE.so
"""

import collections
import os
import sys
import xml.etree.ElementTree as ET


def frames(error):
    stack = error.find("stack")
    if stack is None:
        return []
    return [
        (f.findtext("obj") or "", f.findtext("fn") or "?", f.findtext("file") or "", f.findtext("line") or "")
        for f in stack.iter("frame")
    ]


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or error.findtext("kind")
    lines = [f"{error.findtext('kind')}: {what}"]
    for obj, fn, file, line in frames(error)[:25]:
        where = f"{file}:{line}" if file else os.path.basename(obj)
        lines.append(f"    {fn}  ({where})")
    return "\n".join(lines)


def main(report, module_so):
    module = os.path.realpath(module_so)
    root = ET.parse(report).getroot()
    errors = [e for e in root.iter("error") if not (e.findtext("kind") or "").startswith("Leak_")]
    mine = [e for e in errors if any(os.path.realpath(obj) == module for obj, *_ in frames(e) if obj)]
    others = collections.Counter(e.findtext("kind") for e in errors if e not in mine)
    print(f"valgrind memcheck: {len(errors)} errors reported, {len(mine)} with {os.path.basename(module)} in the stack")
    for kind, count in sorted(others.items()):
        print(f"  outside the module: {count} x {kind}")
    for error in mine:
        print(describe(error))
    return 1 if mine else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))

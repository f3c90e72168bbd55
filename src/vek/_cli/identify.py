"""``vek-drivers identify``: the driver that recognises each file by its content."""

import sys

from vek._algos.geo.registry.identify import identify

from .common import PROG, json_out


def cmd_identify(args) -> int:
    """One line per file; a file no driver recognises, or that does not
    exist, is reported on stderr and makes the exit status 1."""
    status = 0
    found = []
    for path in args.files:
        try:
            d = identify(path)
        except FileNotFoundError:
            print(f"{PROG}: error: {path}: No such file or directory", file=sys.stderr)
            status = 1
            continue
        except ValueError as exc:  # a FIFO, a device, a NUL in the name
            print(f"{PROG}: error: {exc}", file=sys.stderr)
            status = 1
            continue
        if d is None:
            print(f"{PROG}: no driver recognises {path}", file=sys.stderr)
            status = 1
        found.append((path, d))
    if args.json:
        json_out([{"path": p, "driver": d.name if d else None, "long_name": d.long_name if d else None,
                    "kind": d.category if d else None} for p, d in found])
        return status
    for path, d in found:
        if d is not None:
            print(f"{path}: {d.name} - {d.long_name} [{d.category or 'no kind'}]")
    return status

"""``vek-drivers diff A B``: what differs between two snapshots of GDAL's
registry (``vek-drivers snapshot``), made on any machine: drivers in one
only, then, driver by driver, capabilities, ways of writing, kinds, options
in one only and options whose type, default, bounds or allowed values
differ.

Exit status as diff(1) has it: 0 when the snapshots agree, 1 when they
differ, 2 when a file cannot be read or is no snapshot (and for a bad
command line)."""

import json
import math
import os
import stat
import sys
import textwrap

from .common import PROG, json_out
from .table import terminal_width

# What is compared of a driver beside its options, and of an option beside
# its allowed values.
_DRIVER_FIELDS = ("kinds", "writes")
_OPTION_FIELDS = ("type", "default", "min", "max")
_OPTION_TITLES = {
    "creation": "creation", "dataset_creation": "dataset creation", "layer_creation": "layer creation",
    "open": "open",
}


# A snapshot of a whole registry is well under a megabyte; anything far
# larger is no snapshot, and reading it whole could exhaust memory.
MAX_SIZE = 64 << 20


class SnapshotError(Exception):
    """A file that cannot be read as a snapshot (exit status 2)."""


def _read_file(path: str) -> bytes:
    """A regular file's bytes (opened without blocking, so a FIFO cannot
    hang the command), refused when larger than MAX_SIZE."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    with open(fd, "rb", buffering=0) as f:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise SnapshotError(f"{path}: not a regular file")
        if info.st_size > MAX_SIZE:
            raise SnapshotError(f"{path}: larger than {MAX_SIZE >> 20} MiB, no snapshot")
        return f.read(MAX_SIZE + 1)


def _read(path: str) -> bytes:
    raw = sys.stdin.buffer.read(MAX_SIZE + 1) if path == "-" else _read_file(path)
    if len(raw) > MAX_SIZE:  # a file that grew, or standard input
        raise SnapshotError(f"{path}: larger than {MAX_SIZE >> 20} MiB, no snapshot")
    return raw


def load(path: str) -> dict:
    try:
        data = json.loads(_read(path))
    except OSError as exc:
        raise SnapshotError(f"{path}: {exc.strerror or exc}") from None
    except (ValueError, UnicodeDecodeError) as exc:
        raise SnapshotError(f"{path}: not JSON ({exc})") from None
    except RecursionError:
        raise SnapshotError(f"{path}: not a snapshot (JSON nested too deeply)") from None
    except MemoryError:
        raise SnapshotError(f"{path}: too large to read") from None
    if not _is_snapshot(data):
        raise SnapshotError(f"{path}: not a snapshot ('{PROG} snapshot' makes one)")
    return data


def _mapping_of(value, test) -> bool:
    return isinstance(value, dict) and all(test(v) for v in value.values())


def _scalar(value) -> bool:
    return value is None or isinstance(value, (str, bool, int, float))


def _scalars(value) -> bool:
    return isinstance(value, list) and all(map(_scalar, value))


def _is_record(record) -> bool:
    return (isinstance(record, dict) and all(_scalar(record.get(k)) for k in _OPTION_FIELDS)
            and _scalars(record.get("value", [])))


def _is_description(d) -> bool:
    """What the comparison reads of a description has the form snapshot
    writes, down to its plain values: nothing compared nests further."""
    return (isinstance(d, dict)
            and all(_scalars(d.get(k, [])) for k in _DRIVER_FIELDS)
            and _mapping_of(d.get("capabilities", {}), _scalar)
            and _mapping_of(d.get("options", {}), lambda catalogue: _mapping_of(catalogue, _is_record)))


def _is_snapshot(data) -> bool:
    return isinstance(data, dict) and _mapping_of(data.get("drivers"), _is_description)


_NAN = object()  # what every NaN stands for when compared: a snapshot agrees with itself


def _key(value):
    return _NAN if isinstance(value, float) and math.isnan(value) else value


def _same(a, b) -> bool:
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(map(_same, a, b))
    return _key(a) == _key(b)


def _only(a, b) -> list:
    """The items of ``a`` that ``b`` lacks, in ``a``'s order."""
    present = set(map(_key, b))
    return [item for item in a if _key(item) not in present]


def _pairs(a: dict, b: dict, keys) -> dict:
    return {k: [a.get(k), b.get(k)] for k in keys if not _same(a.get(k), b.get(k))}


def _option_change(a: dict, b: dict) -> dict:
    change = _pairs(a, b, _OPTION_FIELDS)
    va, vb = a.get("value") or [], b.get("value") or []
    values = {k: v for k, v in (("only_in_a", _only(va, vb)), ("only_in_b", _only(vb, va))) if v}
    if values:
        change["values"] = values
    return change


def _catalogue_change(a: dict, b: dict) -> dict:
    change: dict = {k: v for k, v in (("only_in_a", _only(a, b)), ("only_in_b", _only(b, a))) if v}
    changed = {name: c for name in a if name in b for c in [_option_change(a[name], b[name])] if c}
    if changed:
        change["changed"] = changed
    return change


def _driver_change(a: dict, b: dict) -> dict:
    change = _pairs(a, b, _DRIVER_FIELDS)
    ca, cb = a.get("capabilities") or {}, b.get("capabilities") or {}
    capabilities = _pairs(ca, cb, list(dict.fromkeys([*ca, *cb])))
    if capabilities:
        change["capabilities"] = capabilities
    oa, ob = a.get("options") or {}, b.get("options") or {}
    options = {key: c for key in dict.fromkeys([*oa, *ob])
               for c in [_catalogue_change(oa.get(key) or {}, ob.get(key) or {})] if c}
    if options:
        change["options"] = options
    return change


def compare(a: dict, b: dict, names=("A", "B")) -> dict:
    """What differs between snapshots ``a`` and ``b``, as JSON-ready data;
    ``"agree"`` tells whether nothing does."""
    da, db = a["drivers"], b["drivers"]
    drivers = {name: c for name in da if name in db for c in [_driver_change(da[name], db[name])] if c}
    only_a, only_b = _only(da, db), _only(db, da)
    return {
        "a": {"file": names[0], "gdal": a.get("gdal"), "drivers": len(da)},
        "b": {"file": names[1], "gdal": b.get("gdal"), "drivers": len(db)},
        "only_in_a": only_a,
        "only_in_b": only_b,
        "differ": drivers,
        "agree": not (only_a or only_b or drivers),
    }


# ---------------------------------------------------------------- text


def _shown(value) -> str:
    if value is None:
        return "unknown"  # a capability no driver of that build publishes
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, list):
        return "/".join(map(str, value)) or "none"
    return str(value)


def _given(value) -> str:
    return "(none)" if value is None else str(value)  # an attribute the option list leaves out


def _sides(a, b) -> str:
    return f"A {_shown(a)}, B {_shown(b)}"


def _option_lines(title: str, change: dict) -> list[str]:
    lines = []
    for side, label in (("only_in_a", "A"), ("only_in_b", "B")):
        if change.get(side):
            lines.append(f"{title} options only in {label}: {', '.join(change[side])}")
    for name, c in change.get("changed", {}).items():
        parts = [f"{field} A {_given(c[field][0])}, B {_given(c[field][1])}" for field in _OPTION_FIELDS if field in c]
        for side, label in (("only_in_a", "A"), ("only_in_b", "B")):
            if side in c.get("values", {}):
                parts.append(f"values only in {label}: {', '.join(map(str, c['values'][side]))}")
        lines.append(f"{title} option {name}: {'; '.join(parts)}")
    return lines


def _driver_lines(change: dict) -> list[str]:
    lines = [f"{field}: {_sides(*change[field])}" for field in _DRIVER_FIELDS if field in change]
    lines += [f"{name}: {_sides(a, b)}" for name, (a, b) in change.get("capabilities", {}).items()]
    for key, c in change.get("options", {}).items():
        lines += _option_lines(_OPTION_TITLES.get(key, key.replace("_", " ")), c)
    return lines


def _wrapped(text: str, width: int, indent: str) -> str:
    return textwrap.fill(text, width, initial_indent=indent, subsequent_indent=indent + "  ",
                         break_on_hyphens=False, break_long_words=False)


def _drivers(count: int) -> str:
    return f"{count} driver{'' if count == 1 else 's'}"


def diff_text(result: dict, width=None) -> str:
    width = width or terminal_width()
    out = []
    for side, label in (("a", "A"), ("b", "B")):
        info = result[side]
        out.append(f"{label}: {info['file']} (GDAL {info['gdal'] or 'unknown'}, {_drivers(info['drivers'])})")
    for side, label in (("only_in_a", "A"), ("only_in_b", "B")):
        names = result[side]
        if names:
            out.append("")
            out.append(_wrapped(f"Only in {label} ({len(names)}): {', '.join(names)}", width, ""))
    for name, change in result["differ"].items():
        out.append(f"\n{name}")
        out.extend(_wrapped(line, width, "  ") for line in _driver_lines(change))
    if result["agree"]:
        out.append("\nThe snapshots agree.")
    else:
        counts = [len(result["only_in_a"]), len(result["only_in_b"]), len(result["differ"])]
        out.append(f"\nThe snapshots differ: {_drivers(counts[0])} only in A, {counts[1]} only in B, "
                   f"{counts[2]} in both {'differs' if counts[2] == 1 else 'differ'}.")
    return "\n".join(out)


def cmd_diff(args) -> int:
    try:
        a, b = load(args.a), load(args.b)
    except SnapshotError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    result = compare(a, b, (args.a, args.b))
    if args.json:
        json_out(result)
    else:
        print(diff_text(result))
    return 0 if result["agree"] else 1

"""``vek-drivers list``: one line per registered driver."""

from .common import json_out, registry, summary, writable
from .published import UNKNOWN, masked, note, unpublished


def cmd_list(args) -> int:
    _stats, drivers = registry()
    unknown = unpublished(drivers)
    kinds = [kind for kind in ("Raster", "Vector") if getattr(args, kind.lower())]
    flags = [flag for flag in ("creatable", "updatable", "virtualio") if getattr(args, flag)]

    if args.writable:
        flags.append("writable")
    tests_of = {"writable": writable}

    def wanted(d) -> bool:
        return all(kind in d.category for kind in kinds) and all(
            tests_of[f](d) if f in tests_of else getattr(d, f) for f in flags)

    chosen = [(i, d) for i, d in enumerate(drivers) if wanted(d)]
    if args.json:
        json_out([{"index": i, **masked(summary(d), unknown)} for i, d in chosen])
        return 0
    _print_table(chosen, unknown)
    noun = "driver" if len(drivers) == 1 else "drivers"
    shown = f"{len(chosen)} of {len(drivers)}" if kinds + flags else f"{len(drivers)}"
    print(f"{shown} {noun}{note(flags, unknown)}")
    return 0


def _print_table(chosen, unknown) -> None:
    from .table import Column, render_table, yes_no  # the text output's alone

    columns = [
        Column("#", right=True),
        Column("name"),
        Column("category"),
        Column("extension"),
        Column("creatable"),
        Column("updatable"),
        Column("virtualio"),
    ]
    rows = [
        [i, d.name, d.category or "-", d.extension or "-",
         *(UNKNOWN if f in unknown else yes_no(getattr(d, f))
           for f in ("creatable", "updatable", "virtualio"))]
        for i, d in chosen
    ]
    if rows:
        print(render_table(columns, rows))

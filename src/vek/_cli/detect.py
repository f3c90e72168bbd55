"""``vek-drivers detect``: the drivers that write a path, judged by its extension."""

import os


from .common import CLIError, _json_out, _registry


def _suffixes(path: str) -> list[str]:
    """Candidate extensions of ``path``, longest first: a.gpkg.zip gives
    gpkg.zip, then zip."""
    name = os.path.basename(path.rstrip("/\\")).lower()
    parts = name.split(".")[1:]
    return [".".join(parts[i:]) for i in range(len(parts)) if all(parts[i:])]


def _main_extension(d) -> str:
    # The driver's own main extension item: the extension property falls back
    # to the first listed extension, which would make every driver "main".
    return d._get_metadata_item_("DMD_EXTENSION").lower()


def detect(path: str):
    """``(extension, candidates, likely)`` for a path: the creatable drivers
    that list its extension, those whose main extension it is first, and the
    one likely driver when exactly one has it as main extension."""
    suffixes = _suffixes(path)
    if not suffixes:
        raise CLIError(f"{path!r} has no file extension to go by")
    stats, _drivers = _registry()
    creatables = stats.creatables
    for ext in suffixes:
        main: list = []
        other: list = []
        for d in creatables:
            exts = {e.lower() for e in d.extensions}
            primary = _main_extension(d)
            if primary:
                exts.add(primary)
            if ext in exts:
                (main if primary == ext else other).append(d)
        if main or other:
            likely = main[0] if len(main) == 1 else (other[0] if not main and len(other) == 1 else None)
            return ext, main + other, likely
    shown = " or ".join("." + s for s in suffixes[:2])
    raise CLIError(f"no driver that can create datasets uses the extension {shown}")


def _driver_line(d) -> str:
    return f"{d.name} - {d.long_name} [{d.category or 'no kind'}]"


def cmd_detect(args) -> int:
    ext, candidates, likely = detect(args.path)
    if args.json:
        _json_out({
            "path": args.path,
            "extension": ext,
            "likely": likely.name if likely is not None else None,
            "drivers": [
                {"name": d.name, "long_name": d.long_name, "category": d.category,
                 "main_extension": _main_extension(d) == ext}
                for d in candidates
            ],
        })
        return 0
    if len(candidates) == 1:
        print(_driver_line(candidates[0]))
        return 0
    if likely is not None:
        print(_driver_line(likely))
        print(f"also writing .{ext} files:")
        rest = [d for d in candidates if d is not likely]
    else:
        print(f".{ext} is shared by {len(candidates)} drivers:")
        rest = candidates
    for d in rest:
        print("  " + _driver_line(d))
    return 0

"""``vek-drivers detect``: the drivers that write a path, judged by its
extension or connection prefix, in the order GDAL's own tools choose."""

from vek._algos.geo import driver
from vek._algos.geo.registry.output import output_names

from .common import CLIError, json_out


def detect(path: str, kind=None):
    """``(extension, drivers)``: the drivers that write ``path`` (by Create or
    by copy), GDAL's choice first; ``kind`` ("raster" or "vector") keeps
    that kind's. None raises CLIError."""
    ext, names = output_names(path, True, kind)
    ext = ext.lower()
    if names:
        return ext, [driver.Driver(n) for n in names]
    if not ext and kind is None:
        raise CLIError(f"{path!r} has no file extension to go by (and no connection prefix)")
    what = f"{kind} datasets" if kind else "datasets"
    if not ext:
        raise CLIError(f"no driver that writes {what} takes {path!r} (it has no file extension)")
    raise CLIError(f"no driver that writes {what} uses the extension .{ext}")


def _driver_line(d) -> str:
    return f"{d.name} - {d.long_name} [{d.category or 'no kind'}]"


def cmd_detect(args) -> int:
    kind = "raster" if args.raster else "vector" if args.vector else None
    ext, drivers = detect(args.path, kind)
    if args.json:
        json_out({
            "path": args.path,
            "extension": ext,
            "likely": drivers[0].name,
            "drivers": [{"name": d.name, "long_name": d.long_name, "category": d.category}
                        for d in drivers],
        })
        return 0
    print(_driver_line(drivers[0]))
    if len(drivers) > 1:
        what = f".{ext} files" if ext else "this path"
        print(f"also writing {what}:")
        for d in drivers[1:]:
            print("  " + _driver_line(d))
    return 0

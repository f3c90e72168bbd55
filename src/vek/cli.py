"""``vek-drivers``: GDAL's format drivers on the command line.

Also run as ``python -m vek``.  Commands::

    vek-drivers list [--raster] [--vector] [--creatable] [--updatable] [--virtualio] [--json]
    vek-drivers show NAME [--descriptions] [--json]
    vek-drivers create NAME PATH --size W H [--bands N] [--dtype T] [-co KEY=VALUE ...]
    vek-drivers create NAME PATH                      (vector drivers)
    vek-drivers detect PATH [--json]
    vek-drivers html [NAME] -o FILE [--all]

Exit status: 0 on success, 1 for an error the command explains (unknown
driver, a bad option name or value, a GDAL failure, a file that cannot be
written), 2 for a bad command line (with the usage).  Errors are reported
on stderr as ``vek-drivers: error: <message>``, without a traceback.
"""

import argparse
import difflib
import html
import json
import os
import sys
import types

from vek._algos.geo import driver
from vek._cli_table import Column, render_pairs, render_table, terminal_width, yes_no
from vek.optioncheck import OptionValueError, allowed_text, check_option_value

__all__ = ["main", "build_parser", "CLIError"]

PROG = "vek-drivers"

# The capability properties of each kind are the properties that the kind's
# class adds to Driver; these belong elsewhere in the views.
_NOT_CAPABILITIES = frozenset({"category", "creation_options_info", "open_options_info"})


class CLIError(Exception):
    """An error the command reports in one line, exiting with status 1."""


# --------------------------------------------------------------------------
# drivers


def _registry():
    stats = driver.DriveStatistics()
    return stats, [stats[i] for i in range(len(stats))]


def find_driver(name: str):
    """The registry's ``Driver`` for ``name``: the exact short name, else the
    short name without regard to case, else a registry index as ``list``
    shows it. An unknown name raises CLIError with the closest short names."""
    _stats, drivers = _registry()
    for d in drivers:
        if d.name == name:
            return d
    folded = name.casefold()
    for d in drivers:
        if d.name.casefold() == folded:
            return d
    if name.isdigit() and int(name) < len(drivers):  # the index that list shows
        return drivers[int(name)]
    by_fold = {d.name.casefold(): d.name for d in drivers}
    close = difflib.get_close_matches(folded, list(by_fold), n=3, cutoff=0.6)
    hint = ""
    if close:
        hint = " (did you mean " + " or ".join(repr(by_fold[c]) for c in close) + "?)"
    raise CLIError(f"unknown driver {name!r}{hint}; '{PROG} list' shows all drivers")


def capability_names(cls) -> list[str]:
    """The capability properties ``cls`` adds to ``Driver``, in class order."""
    return [
        k
        for k, v in vars(cls).items()
        if isinstance(v, property) and k not in _NOT_CAPABILITIES
    ]


def _views(d):
    """``(raster view or None, vector view or None)`` of a driver, each built
    from the short name so that each keeps catalogues of its own kind."""
    raster = driver.RasterDriver(d.name) if d.is_raster else None
    vector = driver.VectorDriver(d.name) if d.is_vector else None
    return raster, vector


def _summary(d) -> dict:
    return {
        "name": d.name,
        "long_name": d.long_name,
        "category": d.category,
        "extension": d.extension,
        "extensions": d.extensions,
        "creatable": d.creatable,
        "updatable": d.updatable,
        "virtualio": d.virtualio,
    }


def _json_out(obj) -> None:
    print(json.dumps(obj, indent=2, default=_json_default))


def _json_default(value):
    # values kept in catalogues come from users or the configuration file
    return str(value)


def _text(value) -> str:
    if isinstance(value, bool):
        return yes_no(value)
    if isinstance(value, (list, tuple)):
        return " ".join(str(v) for v in value) or "-"
    if value is None or value == "":
        return "-"
    return str(value)


def _option_text(value) -> str:
    if isinstance(value, bool):
        return "YES" if value else "NO"
    return str(value)


# --------------------------------------------------------------------------
# list


def cmd_list(args) -> int:
    _stats, drivers = _registry()
    kinds = [kind for kind in ("Raster", "Vector") if getattr(args, kind.lower())]
    flags = [flag for flag in ("creatable", "updatable", "virtualio") if getattr(args, flag)]

    def wanted(d) -> bool:
        return all(kind in d.category for kind in kinds) and all(getattr(d, f) for f in flags)

    tests = kinds + flags
    chosen = [(i, d) for i, d in enumerate(drivers) if wanted(d)]

    if args.json:
        _json_out([{"index": i, **_summary(d)} for i, d in chosen])
        return 0
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
         yes_no(d.creatable), yes_no(d.updatable), yes_no(d.virtualio)]
        for i, d in chosen
    ]
    if rows:
        print(render_table(columns, rows))
    noun = "driver" if len(drivers) == 1 else "drivers"
    shown = f"{len(chosen)} of {len(drivers)}" if tests else f"{len(drivers)}"
    print(f"{shown} {noun}")
    return 0


# --------------------------------------------------------------------------
# show


def _capabilities(view, cls) -> dict:
    return {name: getattr(view, name) for name in capability_names(cls)}


def _catalogue_json(catalogue) -> dict:
    return {name: dict(record) for name, record in catalogue.items()}


def show_data(d) -> dict:
    """Everything ``show`` reports about a driver, as JSON-ready data."""
    raster, vector = _views(d)
    data = _summary(d)
    for key, view, cls in (("raster", raster, driver.RasterDriver),
                           ("vector", vector, driver.VectorDriver)):
        if view is None:
            data[key] = None
            continue
        data[key] = {
            "capabilities": _capabilities(view, cls),
            "creation_options": _catalogue_json(view.creation_options_info),
            "open_options": _catalogue_json(view.open_options_info),
        }
    if raster is None and vector is None:
        data["creation_options"] = _catalogue_json(d.creation_options_info)
        data["open_options"] = _catalogue_json(d.open_options_info)
    return data


def option_table(catalogue, descriptions=False, width=None, limit=None) -> str:
    """The option catalogue as a text table: name, type, default, allowed
    values and current value (and description). ``limit`` shows only the
    first options and says how many were left out."""
    width = width or terminal_width()
    columns = [
        Column("name"),
        Column("type"),
        Column("default", max_width=14),
        Column("allowed", fill=not descriptions, max_width=36 if descriptions else None),
        Column("current", max_width=14),
    ]
    if descriptions:
        columns.append(Column("description", fill=True))
    items = list(catalogue.items())
    shown = items if limit is None else items[:limit]
    rows = []
    for name, record in shown:
        current = _option_text(record["current"]) if "current" in record else ""
        row = [name, record.get("type", ""), record.get("default", ""), allowed_text(record), current]
        if descriptions:
            row.append(record.get("description", ""))
        rows.append(row)
    text = render_table(columns, rows, total_width=width, indent="  ")
    if len(shown) < len(items):
        text += f"\n  ... and {len(items) - len(shown)} more"
    return text


def _pairs(pairs, width) -> str:
    return render_pairs([(k, _text(v)) for k, v in pairs], width)


def _section(title, catalogue, descriptions, width, limit=None) -> str:
    if not catalogue:
        return f"{title}: none"
    return f"{title} ({len(catalogue)})\n" + option_table(catalogue, descriptions, width, limit)


def show_text(d, descriptions=False, width=None, limit=None) -> str:
    """The text view of ``show``: summary, capabilities of each kind and the
    option catalogues."""
    width = width or terminal_width()
    raster, vector = _views(d)
    out = [f"{d.name} - {d.long_name or '(no long name)'}"]
    out.append(_pairs([
        ("category", d.category),
        ("extensions", d.extensions),
        ("creatable", d.creatable),
        ("updatable", d.updatable),
        ("virtualio", d.virtualio),
    ], width))
    # A driver of both kinds reads one open-option list for both; it is shown
    # once unless the configured defaults make the two catalogues differ.
    shared_open = (
        raster is not None and vector is not None
        and raster.open_options_info == vector.open_options_info
    )
    for kind, view, cls, creation_title in (
        ("Raster", raster, driver.RasterDriver, "Raster creation options"),
        ("Vector", vector, driver.VectorDriver, "Vector layer creation options"),
    ):
        if view is None:
            continue
        out.append(f"\n{kind} capabilities")
        out.append(_pairs(list(_capabilities(view, cls).items()), width))
        out.append("\n" + _section(creation_title, view.creation_options_info, descriptions, width, limit))
        if shared_open and view is vector:
            continue
        title = "Open options" if shared_open else f"{kind} open options"
        out.append("\n" + _section(title, view.open_options_info, descriptions, width, limit))
    if raster is None and vector is None:
        out.append("\n" + _section("Creation options", d.creation_options_info, descriptions, width, limit))
        out.append("\n" + _section("Open options", d.open_options_info, descriptions, width, limit))
    return "\n".join(out)


def cmd_show(args) -> int:
    d = find_driver(args.name)
    if args.json:
        _json_out(show_data(d))
    else:
        print(show_text(d, descriptions=args.descriptions))
    return 0


# --------------------------------------------------------------------------
# create


def checked_options(view, given: dict) -> dict:
    """The creation options to hand to GDAL, checked.

    Names are checked by the driver itself (``set_creation_options`` raises
    its FormatError, which names the closest valid option, and stores
    nothing). Every value, the configured defaults included, is then checked
    against the option's catalogue record; the checked texts are stored back
    on the driver and returned.
    """
    catalogue = view.creation_options_info
    if any(name not in catalogue for name in given):
        view.set_creation_options(**given)  # raises for the unknown names
    checked = {}
    for name, value in view.creation_options.items():
        if name in given or value is None:
            continue
        try:
            checked[name] = check_option_value(name, value, catalogue[name])
        except OptionValueError as exc:
            raise CLIError(f"{exc} (a configured default of {view.name})") from None
    for name, value in given.items():
        checked[name] = check_option_value(name, value, catalogue[name])
    view.set_creation_options(**checked)
    return view.creation_options


def _dtype_name(view, requested: str) -> str:
    """The GDAL spelling of a data type the driver can create."""
    names = driver.dtypes.dtype_names()
    for name in names:
        if name.casefold() == requested.casefold():
            break
    else:
        raise CLIError(f"unknown data type {requested!r}; GDAL knows: {', '.join(names)}")
    supported = view.creation_dtypes
    if supported and name not in supported:
        raise CLIError(
            f"{view.name} cannot create {name} rasters; it creates: {', '.join(supported)}"
        )
    return name


def _band_dtype(handle) -> str:
    gdal = driver._gdal
    band = gdal.Dataset_GetRasterBand(handle, 1)
    return gdal.GetDataTypeName(gdal.Band_DataType_get(band))


def _compression(handle) -> str:
    return driver._gdal.MajorObject_GetMetadataItem(handle, "COMPRESSION", "IMAGE_STRUCTURE") or ""


def _report(pairs) -> None:
    key_w = max(len(k) for k, _ in pairs)
    for key, value in pairs:
        print(f"  {key.ljust(key_w)}  {value}")


def _create_raster(d, args) -> None:
    view = driver.RasterDriver(d.name)
    dtype = _dtype_name(view, args.dtype)
    options = checked_options(view, dict(args.co))
    width, height = args.size
    ds = view.create(args.path, width, height, args.bands, dtype)
    try:
        facts = [
            ("driver", f"{ds.driver_name} ({view.long_name})"),
            ("size", f"{ds.xsize} x {ds.ysize} pixels"),
            ("bands", ds.band_count),
            ("data type", _band_dtype(ds.handle) if ds.band_count else "-"),
            ("options", " ".join(f"{k}={_option_text(v)}" for k, v in options.items()) or "-"),
        ]
        files = ds.files
    finally:
        ds.close()
    compression = read_compression(view, args.path)
    if compression:
        facts.append(("compression", compression))
    print(f"created {args.path}")
    _report(facts + [("files", " ".join(files) or "-")])


def read_compression(view, path) -> str:
    """The compression GDAL reports for the dataset at ``path`` when it
    opens it again ("" when it reports none or cannot reopen it)."""
    try:
        ds = view.open(path)
    except driver.error.GDALError:
        return ""
    with ds:
        return _compression(ds.handle)


def _create_vector(d, args) -> None:
    view = driver.VectorDriver(d.name)
    ds = view.create(args.path)
    try:
        facts = [
            ("driver", f"{ds.driver_name} ({view.long_name})"),
            ("layers", ds.layer_count),
        ]
        files = ds.files
    finally:
        ds.close()
    print(f"created {args.path}")
    _report(facts + [("files", " ".join(files) or "-")])


def cmd_create(args) -> int:
    parser = args.subparser
    d = find_driver(args.name)
    raster = args.size is not None
    if not raster:
        extra = [flag for flag, given in (("--bands", args.bands is not None),
                                          ("--dtype", args.dtype is not None),
                                          ("-co", bool(args.co))) if given]
        if d.is_raster and not d.is_vector:
            parser.error(f"{d.name} is a raster driver: --size W H is required")
        if extra and d.is_vector:
            verb = "applies" if len(extra) == 1 else "apply"
            parser.error(
                f"{', '.join(extra)} only {verb} to rasters (give --size W H); "
                f"vector datasets are created empty and without creation options"
            )
        if not d.is_vector:
            raise CLIError(f"{d.name} is neither a raster nor a vector driver")
    elif not d.is_raster:
        parser.error(f"{d.name} is not a raster driver: --size does not apply")
    if not d.creatable:
        raise CLIError(f"{d.name} cannot create datasets (it has no creation capability)")
    if os.path.lexists(args.path) and not args.overwrite:
        raise CLIError(f"{args.path} already exists (use --overwrite to replace it)")
    if raster:
        args.bands = 1 if args.bands is None else args.bands
        args.dtype = "Float32" if args.dtype is None else args.dtype
        _create_raster(d, args)
    else:
        _create_vector(d, args)
    return 0


# --------------------------------------------------------------------------
# detect


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


# --------------------------------------------------------------------------
# html


def html_page(title: str, body: str) -> str:
    """A standalone HTML5 page around ``body`` (an HTML fragment)."""
    t = html.escape(title)
    return (
        "<!DOCTYPE html>\n"
        '<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        '<meta name="color-scheme" content="light dark">\n'
        f"<title>{t}</title>\n"
        "<style>body{font-family:system-ui,sans-serif;margin:1.5em}</style>\n"
        f"</head>\n<body>\n<h1>{t}</h1>\n{body}\n</body>\n</html>\n"
    )


class _ShowAllRows(types.ModuleType):
    """Stands in for the configuration module while the table is rendered:
    every row shown, everything else as configured."""

    def __init__(self, env, rows):
        super().__init__(getattr(env, "__name__", "env"))
        self._env = env
        self.JupyterShowMaxShape = (rows, tuple(env.JupyterShowMaxShape)[1])

    def __getattr__(self, name):
        return getattr(self._env, name)


def statistics_page(all_rows=False) -> str:
    """The drivers table as a page; as many rows as the configuration's
    notebook limit allows, or all of them."""
    stats = driver.DriveStatistics()
    if not all_rows:
        return html_page("GDAL drivers", stats._repr_html_())
    # The module reads its configuration global at every call.
    env = driver.env
    driver.env = _ShowAllRows(env, max(len(stats), 1))
    try:
        fragment = stats._repr_html_()
    finally:
        driver.env = env
    return html_page("GDAL drivers", fragment)


def driver_page(name: str) -> str:
    d = find_driver(name)
    raster, vector = _views(d)
    views = [v for v in (raster, vector) if v is not None] or [d]
    parts = []
    for view in views:
        if len(views) > 1:
            parts.append(f"<h2>{html.escape(view.category)}</h2>")
        parts.append(view._repr_html_())
    return html_page(f"{d.name} - {d.long_name}", "\n".join(parts))


def cmd_html(args) -> int:
    if args.name and args.all:
        args.subparser.error("--all applies to the drivers table, not to one driver")
    page = driver_page(args.name) if args.name else statistics_page(args.all)
    if args.output == "-":
        sys.stdout.write(page)
        return 0
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(page)
    print(f"wrote {args.output}")
    return 0


# --------------------------------------------------------------------------
# command line


def _key_value(text: str):
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    return key.strip(), value


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a number of at least 1, got {text}")
    return number


def _version() -> str:
    from importlib import metadata

    try:
        vek = metadata.version("vek")
    except metadata.PackageNotFoundError:
        vek = "unknown"
    return f"{PROG} (vek {vek}, GDAL {driver._gdal.VersionInfo('RELEASE_NAME')})"


class _VersionAction(argparse.Action):
    """Prints the versions of vek and GDAL; asks GDAL only when used."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show the versions of vek and GDAL and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(_version())
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="List, inspect and use GDAL's format drivers.",
        epilog=f"'{PROG} COMMAND --help' describes each command.",
    )
    parser.add_argument("-V", "--version", action=_VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("list", help="one line per driver, filters combined with AND",
                       description="One line per registered driver: index, short name, category, "
                       "main extension and the creatable/updatable/virtualio flags. "
                       "Filters are combined with AND.")
    p.add_argument("--raster", action="store_true", help="raster drivers only")
    p.add_argument("--vector", action="store_true", help="vector drivers only")
    p.add_argument("--creatable", action="store_true", help="drivers that create datasets")
    p.add_argument("--updatable", action="store_true", help="drivers that update datasets")
    p.add_argument("--virtualio", action="store_true", help="drivers working on GDAL's virtual files")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.set_defaults(func=cmd_list)

    p = sub.add_parser("show", help="one driver: capabilities and option catalogues",
                       description="A driver's names, category, extensions, the capabilities "
                       "of its kind (raster, vector or both) and its option catalogues, "
                       "with the current values from the configuration file.")
    p.add_argument("name", metavar="NAME", help="driver short name (any case) or index, e.g. GTiff")
    p.add_argument("-d", "--descriptions", action="store_true", help="add the options' descriptions")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func=cmd_show)

    p = sub.add_parser("create", help="create a dataset (raster: give --size)",
                       description="Create a raster dataset (--size W H) or an empty vector "
                       "dataset (no --size) with a driver. Option names and values are "
                       "checked against the driver's creation options before GDAL sees them.")
    p.add_argument("name", metavar="NAME", help="driver short name, e.g. GTiff or GPKG")
    p.add_argument("path", metavar="PATH", help="where to create the dataset")
    p.add_argument("--size", nargs=2, type=_positive, metavar=("W", "H"),
                   help="raster width and height in pixels")
    p.add_argument("--bands", type=_positive, metavar="N", help="raster band count (default 1)")
    p.add_argument("--dtype", metavar="T", help="raster data type, e.g. Byte (default Float32)")
    p.add_argument("-co", dest="co", action="append", type=_key_value, default=[],
                   metavar="KEY=VALUE", help="raster creation option (repeatable)")
    p.add_argument("--overwrite", action="store_true", help="replace an existing PATH")
    p.set_defaults(func=cmd_create, subparser=p)

    p = sub.add_parser("detect", help="which drivers write a file with PATH's extension",
                       description="The drivers that could create a dataset at PATH, judged "
                       "by its extension: one likely driver, or all candidates when "
                       "several drivers use the extension.")
    p.add_argument("path", metavar="PATH")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func=cmd_detect)

    p = sub.add_parser("html", help="write a standalone HTML page",
                       description="Write the drivers table, or one driver's view, as a "
                       "standalone HTML page.")
    p.add_argument("name", metavar="NAME", nargs="?", help="one driver instead of the table")
    p.add_argument("-o", "--output", metavar="FILE", required=True, help="output file, - for stdout")
    p.add_argument("--all", action="store_true",
                   help="every driver in the table (default: the notebook row limit)")
    p.set_defaults(func=cmd_html, subparser=p)
    return parser


def _expected_errors() -> tuple:
    err = driver.error
    return (CLIError, OptionValueError, OSError,
            err.FormatError, err.GDALError, err.ConfigError)


def error_message(exc) -> str:
    if isinstance(exc, OSError) and exc.filename is not None and exc.strerror:
        return f"{exc.filename}: {exc.strerror}"
    return str(exc)


def main(argv=None) -> int:
    """Run the command line; returns the exit status (argument errors exit
    through argparse with status 2)."""
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (| head): say nothing more, and keep Python's
        # final flush of stdout from failing again.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 1
    except _expected_errors() as exc:
        print(f"{PROG}: error: {error_message(exc)}", file=sys.stderr)
        return 1

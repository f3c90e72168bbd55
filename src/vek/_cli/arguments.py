"""Each command's arguments, declared on the subparser ``add_<command>(sub)``
makes: argparse's (:mod:`.parser`) or the record :mod:`.quick` reads.
Nothing here imports argparse: a value check raises argparse's error only
when argparse runs it."""

def _bad(message: str) -> Exception:
    from argparse import ArgumentTypeError

    return ArgumentTypeError(message)


def _key_value(text: str):
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise _bad(f"expected KEY=VALUE, got {text!r}")
    return key.strip(), value


def _name_type(text: str):
    name, sep, ftype = text.rpartition(":")
    if not sep or not name.strip() or not ftype.strip():
        raise _bad(f"expected NAME:TYPE, got {text!r}")
    return name.strip(), ftype.strip()


_INT_MAX = 2**31 - 1
_VERIFY = ("error", "warn", "off")
_VERIFY_HELP = ("read the written dataset back and compare it with what was asked: a difference is an error "
                "(nothing is kept), a warning (the default: reported, kept), or not looked for")


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise _bad(f"expected a whole number, got {text!r}") from None
    if number < 1:
        raise _bad(f"expected a number of at least 1, got {text}")
    if number > _INT_MAX:  # GDAL takes sizes and counts as C ints
        raise _bad(f"expected a number of at most {_INT_MAX}, got {text}")
    return number


def add_list(sub) -> None:
    p = sub.add_parser("list", help="one line per driver, filters combined with AND",
                       description="One line per registered driver: index, short name, category, "
                       "main extension and the creatable/updatable/virtualio flags. "
                       "Filters are combined with AND.")
    p.add_argument("--raster", action="store_true", help="raster drivers only")
    p.add_argument("--vector", action="store_true", help="vector drivers only")
    p.add_argument("--creatable", action="store_true", help="drivers that create datasets")
    p.add_argument("--writable", action="store_true",
                   help="drivers that write datasets, by Create or by copy")
    p.add_argument("--updatable", action="store_true", help="drivers that update datasets")
    p.add_argument("--virtualio", action="store_true", help="drivers working on GDAL's virtual files")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.set_defaults(func="cmd_list")


def _key_values(p, flag: str, help_text: str) -> None:
    """A repeatable ``KEY=VALUE`` option (``-co``, ``-dsco``, ``-lco``), kept in ``args.<flag>``."""
    p.add_argument(flag, dest=flag.lstrip("-"), action="append", type=_key_value, default=[],
                   metavar="KEY=VALUE", help=help_text)


def add_show(sub) -> None:
    p = sub.add_parser("show", help="one driver: capabilities and option catalogues",
                       description="A driver's names, category, extensions, the capabilities "
                       "of its kind (raster, vector or both) and its option catalogues, "
                       "with the current values from the configuration file.")
    p.add_argument("name", metavar="NAME", help="driver short name (any case) or index, e.g. GTiff")
    p.add_argument("-d", "--descriptions", action="store_true", help="add the options' descriptions")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func="cmd_show")


def add_create(sub) -> None:
    p = sub.add_parser("create", help="create a dataset (raster: give --size)",
                       description="Create a raster dataset (--size W H; formats that GDAL "
                       "writes by copy only are made in memory, then copied) or a vector "
                       "dataset (no --size), with a layer when --layer is given. Option names "
                       "and values are checked against the driver's options before GDAL sees them.")
    p.add_argument("name", metavar="NAME", help="driver short name, e.g. GTiff or GPKG")
    p.add_argument("path", metavar="PATH", help="where to create the dataset")
    p.add_argument("--size", nargs=2, type=_positive, metavar=("W", "H"),
                   help="raster width and height in pixels")
    p.add_argument("--bands", type=_positive, metavar="N", help="raster band count (default 1)")
    p.add_argument("--dtype", metavar="T", help="raster data type, e.g. Byte (default Float32, else the first "
                   "type the driver creates)")
    _key_values(p, "-co", "raster creation option (repeatable)")
    p.add_argument("--bounds", nargs=4, type=float, metavar=("XMIN", "YMIN", "XMAX", "YMAX"),
                   help="raster: the outer edges of the raster, in --srs units (north up)")
    p.add_argument("--nodata", metavar="VALUE", help="raster: the nodata value of every band")
    _key_values(p, "-dsco", "vector dataset creation option (repeatable)")
    p.add_argument("--layer", metavar="NAME", help="vector: create a layer of this name")
    p.add_argument("--geometry", metavar="TYPE",
                   help="the layer's geometry type, e.g. Point, LineString (default Unknown)")
    p.add_argument("--srs", metavar="SRS", help="the raster's or the layer's spatial reference, e.g. EPSG:4326")
    p.add_argument("--field", dest="field", action="append", type=_name_type, default=[],
                   metavar="NAME:TYPE", help="a field of the layer, e.g. name:String (repeatable)")
    _key_values(p, "-lco", "layer creation option (repeatable)")
    p.add_argument("--verify", choices=_VERIFY, default="warn", help=_VERIFY_HELP)
    p.add_argument("--overwrite", action="store_true", help="replace an existing PATH")
    p.set_defaults(func="cmd_create", subparser=p)


def add_copy(sub) -> None:
    p = sub.add_parser("copy", help="write a dataset with another driver, compared with its source",
                       description="Copy SRC to DST with DRIVER (default: the driver of DST's extension, "
                       "of the kind SRC holds). The copy is written aside, read back and compared with SRC "
                       "(size, bands, data types, spatial reference, geotransform, nodata; layers, feature "
                       "counts, fields, geometry types), and moved into place; what it kept and each "
                       "difference are printed. Rasters take -co, vector copies -dsco and -lco.")
    p.add_argument("src", metavar="SRC", help="the dataset to copy")
    p.add_argument("dst", metavar="DST", help="where to write the copy")
    p.add_argument("driver", metavar="DRIVER", nargs="?", help="the driver to write with, e.g. COG or FlatGeobuf")
    _key_values(p, "-co", "raster creation option (repeatable)")
    _key_values(p, "-dsco", "vector dataset creation option (repeatable)")
    _key_values(p, "-lco", "layer creation option, for every layer copied (repeatable)")
    p.add_argument("--layers", nargs="+", action="extend", default=[], metavar="NAME",
                   help="copy these vector layers only")
    p.add_argument("--verify", choices=_VERIFY, default="warn", help=_VERIFY_HELP)
    p.add_argument("--overwrite", action="store_true", help="replace an existing DST (only once the copy is done)")
    p.set_defaults(func="cmd_copy", subparser=p)


def add_detect(sub) -> None:
    p = sub.add_parser("detect", help="which drivers write a file with PATH's extension",
                       description="The drivers that write a dataset at PATH (by Create or by "
                       "copy), judged by its extension or connection prefix, in the order "
                       "GDAL's own tools choose an output driver: the first is GDAL's choice.")
    p.add_argument("path", metavar="PATH")
    which = p.add_mutually_exclusive_group()
    which.add_argument("--raster", action="store_true", help="raster drivers only")
    which.add_argument("--vector", action="store_true", help="vector drivers only")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func="cmd_detect")


def add_snapshot(sub) -> None:
    p = sub.add_parser("snapshot", help="the whole registry as JSON, for diff",
                       description="Every driver's description (names, kinds, extensions, "
                       "capabilities, ways of writing, option lists) and GDAL's version, as one "
                       "compact JSON document that 'diff' compares with another build's. Values "
                       "from the configuration file are left out.")
    p.add_argument("-o", "--output", metavar="FILE", help="write to FILE (default: stdout)")
    p.add_argument("-d", "--descriptions", action="store_true", help="keep the options' descriptions")
    p.add_argument("--overwrite", action="store_true", help="replace an existing FILE")
    p.set_defaults(func="cmd_snapshot")


def add_diff(sub) -> None:
    p = sub.add_parser("diff", help="compare two snapshots: exit 0 when they agree, 1 when not",
                       description="What differs between two snapshots made by 'snapshot' "
                       "(on any machine), grouped by driver: drivers in one only, capabilities, "
                       "options in one only, option types, defaults and allowed values. Exit "
                       "status 0 when they agree, 1 when they differ, 2 for trouble.")
    p.add_argument("a", metavar="A", help="a snapshot file (- for stdin)")
    p.add_argument("b", metavar="B", help="another snapshot file")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func="cmd_diff")


def add_identify(sub) -> None:
    p = sub.add_parser("identify", help="which driver reads each FILE, by its content",
                       description="The driver that recognises each FILE by its content "
                       "(GDAL's IdentifyDriverEx), whatever its name says.")
    p.add_argument("files", metavar="FILE", nargs="+")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func="cmd_identify")


def add_html(sub) -> None:
    from argparse import SUPPRESS  # for the hidden --all; html takes argparse's road anyway

    p = sub.add_parser("html", help="write a standalone HTML page",
                       description="Write the drivers table (every driver, unless --max-rows), "
                       "or one driver's view, as a standalone HTML page.")
    p.add_argument("name", metavar="NAME", nargs="?", help="one driver instead of the table")
    p.add_argument("-o", "--output", metavar="FILE", required=True, help="output file, - for stdout")
    p.add_argument("--max-rows", type=_positive, metavar="N",
                   help="at most N drivers in the table: the first and the last ones")
    p.add_argument("--all", action="store_true", help=SUPPRESS)  # the default now
    p.add_argument("--overwrite", action="store_true", help="replace an existing FILE")
    p.set_defaults(func="cmd_html", subparser=p)


def add_config(sub) -> None:
    p = sub.add_parser("config", help="the configuration file: what it sets, or --check it",
                       description="Which configuration file is read and what it sets. With "
                       "--check, report what the running GDAL does not know: driver tables "
                       "that name no driver, unknown option names (each with the closest real "
                       "name) and values the option checks refuse; exit 1 on any finding.")
    p.add_argument("--check", action="store_true", help="check the file against the running GDAL")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func="cmd_config")


# Each command's arguments, in the order --help lists the commands.
COMMANDS = {
    "list": add_list,
    "show": add_show,
    "create": add_create,
    "copy": add_copy,
    "detect": add_detect,
    "snapshot": add_snapshot,
    "diff": add_diff,
    "identify": add_identify,
    "html": add_html,
    "config": add_config,
}

"""``vek-drivers``: GDAL's format drivers on the command line.

Also run as ``python -m vek``.  Commands::

    vek-drivers list [--raster] [--vector] [--creatable] [--writable] [--updatable] [--virtualio] [--json]
    vek-drivers show NAME [--descriptions] [--json]
    vek-drivers create NAME PATH --size W H [--bands N] [--dtype T] [-co KEY=VALUE ...]
                                 [--srs SRS] [--bounds XMIN YMIN XMAX YMAX] [--nodata VALUE]
    vek-drivers create NAME PATH [-dsco KEY=VALUE ...] [--layer NAME [--geometry TYPE] [--srs SRS]
                                 [--field NAME:TYPE ...] [-lco KEY=VALUE ...]]   (vector drivers)
                                 [--verify error|warn|off] [--overwrite]
    vek-drivers copy SRC DST [DRIVER] [-co KEY=VALUE ...] [-dsco KEY=VALUE ...] [-lco KEY=VALUE ...]
                             [--layers NAME ...] [--verify error|warn|off] [--overwrite]
    vek-drivers detect PATH [--raster | --vector] [--json]
    vek-drivers identify FILE... [--json]
    vek-drivers snapshot [-o FILE] [--descriptions] [--overwrite]
    vek-drivers diff A B [--json]
    vek-drivers html [NAME] -o FILE [--max-rows N] [--overwrite]
    vek-drivers config [--check] [--json]

Exit status: 0 on success, 1 for an error the command explains (unknown
driver, a bad option name or value, a GDAL failure, a file that cannot be
written, missing GDAL bindings, a finding of ``config --check``, a written file that
differs from what was asked under ``--verify error``), 2 for a
bad command line (with the usage); ``diff`` exits with 0 when the
snapshots agree, 1 when they differ and 2 when one cannot be read.  Errors are reported on stderr as
``vek-drivers: error: <message>``, without a traceback, and warnings (GDAL's
own, option values handed on under ``[options] check = "warn"``, the
configuration's) as ``vek-drivers: warning: <message>``.
"""

import argparse
import importlib
import os
import sys
import warnings

from ._cli import PROG
from ._cli.terminal import columns

# Each command lives in its own module under vek._cli. Their names are bound
# here too, on first use: the parser, --help and --version need neither GDAL
# nor its Python bindings, so nothing of GDAL is imported before a command
# runs.
_WHERE = {
    "CLIError": "common", "find_driver": "common",
    "checked_options": "create", "cmd_create": "create", "read_compression": "create",
    "cmd_copy": "copy",
    "cmd_detect": "detect", "detect": "detect",
    "cmd_identify": "identify",
    "cmd_snapshot": "snapshot", "snapshot_text": "snapshot",
    "cmd_diff": "diff", "compare": "diff", "diff_text": "diff",
    "cmd_html": "html", "driver_page": "html", "statistics_page": "html",
    "cmd_list": "list",
    "cmd_show": "show", "show_data": "show", "option_table": "showtext", "show_text": "showtext",
    "cmd_config": "config", "config_text": "config", "check_config": "config",
}
__all__ = ["main", "build_parser", "CLIError"]


def __getattr__(name):
    where = _WHERE.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"vek._cli.{where}"), name)
    globals()[name] = value
    return value


def _key_value(text: str):
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    return key.strip(), value


def _name_type(text: str):
    name, sep, ftype = text.rpartition(":")
    if not sep or not name.strip() or not ftype.strip():
        raise argparse.ArgumentTypeError(f"expected NAME:TYPE, got {text!r}")
    return name.strip(), ftype.strip()


_INT_MAX = 2**31 - 1
_VERIFY = ("error", "warn", "off")
_VERIFY_HELP = ("read the written dataset back and compare it with what was asked: a difference is an error "
                "(nothing is kept), a warning (the default: reported, kept), or not looked for")


def _positive(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"expected a number of at least 1, got {text}")
    if number > _INT_MAX:  # GDAL takes sizes and counts as C ints
        raise argparse.ArgumentTypeError(f"expected a number of at most {_INT_MAX}, got {text}")
    return number


def _version() -> str:
    from importlib import metadata

    try:
        vek = metadata.version("vek")
    except metadata.PackageNotFoundError:
        vek = "unknown"
    try:
        from osgeo import _gdal
    except ImportError:
        gdal = "GDAL's Python bindings not installed"
    else:
        gdal = f"GDAL {_gdal.VersionInfo('RELEASE_NAME')}"
    return f"{PROG} (vek {vek}, {gdal})"


class _VersionAction(argparse.Action):
    """Prints the versions of vek and GDAL; asks GDAL only when used."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="show the versions of vek and GDAL and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        print(_version())
        parser.exit()


class _HelpFormatter(argparse.HelpFormatter):
    # argparse would ask shutil for the width (as wide, less its margin of 2)
    def __init__(self, prog, indent_increment=2, max_help_position=24, width=None):
        width = columns(80) - 2 if width is None else width
        super().__init__(prog, indent_increment, max_help_position, width)


class _Parser(argparse.ArgumentParser):
    # subparsers are made of the parser's own class, so they take this too
    def __init__(self, *args, formatter_class=_HelpFormatter, **kwargs):
        super().__init__(*args, formatter_class=formatter_class, **kwargs)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
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
    p.add_argument("--writable", action="store_true",
                   help="drivers that write datasets, by Create or by copy")
    p.add_argument("--updatable", action="store_true", help="drivers that update datasets")
    p.add_argument("--virtualio", action="store_true", help="drivers working on GDAL's virtual files")
    p.add_argument("--json", action="store_true", help="print JSON instead of a table")
    p.set_defaults(func="cmd_list")

    p = sub.add_parser("show", help="one driver: capabilities and option catalogues",
                       description="A driver's names, category, extensions, the capabilities "
                       "of its kind (raster, vector or both) and its option catalogues, "
                       "with the current values from the configuration file.")
    p.add_argument("name", metavar="NAME", help="driver short name (any case) or index, e.g. GTiff")
    p.add_argument("-d", "--descriptions", action="store_true", help="add the options' descriptions")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func="cmd_show")

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
    p.add_argument("-co", dest="co", action="append", type=_key_value, default=[],
                   metavar="KEY=VALUE", help="raster creation option (repeatable)")
    p.add_argument("--bounds", nargs=4, type=float, metavar=("XMIN", "YMIN", "XMAX", "YMAX"),
                   help="raster: the outer edges of the raster, in --srs units (north up)")
    p.add_argument("--nodata", metavar="VALUE", help="raster: the nodata value of every band")
    p.add_argument("-dsco", dest="dsco", action="append", type=_key_value, default=[],
                   metavar="KEY=VALUE", help="vector dataset creation option (repeatable)")
    p.add_argument("--layer", metavar="NAME", help="vector: create a layer of this name")
    p.add_argument("--geometry", metavar="TYPE",
                   help="the layer's geometry type, e.g. Point, LineString (default Unknown)")
    p.add_argument("--srs", metavar="SRS", help="the raster's or the layer's spatial reference, e.g. EPSG:4326")
    p.add_argument("--field", dest="field", action="append", type=_name_type, default=[],
                   metavar="NAME:TYPE", help="a field of the layer, e.g. name:String (repeatable)")
    p.add_argument("-lco", dest="lco", action="append", type=_key_value, default=[],
                   metavar="KEY=VALUE", help="layer creation option (repeatable)")
    p.add_argument("--verify", choices=_VERIFY, default="warn", help=_VERIFY_HELP)
    p.add_argument("--overwrite", action="store_true", help="replace an existing PATH")
    p.set_defaults(func="cmd_create", subparser=p)

    p = sub.add_parser("copy", help="write a dataset with another driver, compared with its source",
                       description="Copy SRC to DST with DRIVER (default: the driver of DST's extension, "
                       "of the kind SRC holds). The copy is written aside, read back and compared with SRC "
                       "(size, bands, data types, spatial reference, geotransform, nodata; layers, feature "
                       "counts, fields, geometry types), and moved into place; what it kept and each "
                       "difference are printed. Rasters take -co, vector copies -dsco and -lco.")
    p.add_argument("src", metavar="SRC", help="the dataset to copy")
    p.add_argument("dst", metavar="DST", help="where to write the copy")
    p.add_argument("driver", metavar="DRIVER", nargs="?", help="the driver to write with, e.g. COG or FlatGeobuf")
    p.add_argument("-co", dest="co", action="append", type=_key_value, default=[],
                   metavar="KEY=VALUE", help="raster creation option (repeatable)")
    p.add_argument("-dsco", dest="dsco", action="append", type=_key_value, default=[],
                   metavar="KEY=VALUE", help="vector dataset creation option (repeatable)")
    p.add_argument("-lco", dest="lco", action="append", type=_key_value, default=[],
                   metavar="KEY=VALUE", help="layer creation option, for every layer copied (repeatable)")
    p.add_argument("--layers", nargs="+", action="extend", default=[], metavar="NAME",
                   help="copy these vector layers only")
    p.add_argument("--verify", choices=_VERIFY, default="warn", help=_VERIFY_HELP)
    p.add_argument("--overwrite", action="store_true", help="replace an existing DST (only once the copy is done)")
    p.set_defaults(func="cmd_copy", subparser=p)

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

    p = sub.add_parser("snapshot", help="the whole registry as JSON, for diff",
                       description="Every driver's description (names, kinds, extensions, "
                       "capabilities, ways of writing, option lists) and GDAL's version, as one "
                       "compact JSON document that 'diff' compares with another build's. Values "
                       "from the configuration file are left out.")
    p.add_argument("-o", "--output", metavar="FILE", help="write to FILE (default: stdout)")
    p.add_argument("-d", "--descriptions", action="store_true", help="keep the options' descriptions")
    p.add_argument("--overwrite", action="store_true", help="replace an existing FILE")
    p.set_defaults(func="cmd_snapshot")

    p = sub.add_parser("diff", help="compare two snapshots: exit 0 when they agree, 1 when not",
                       description="What differs between two snapshots made by 'snapshot' "
                       "(on any machine), grouped by driver: drivers in one only, capabilities, "
                       "options in one only, option types, defaults and allowed values. Exit "
                       "status 0 when they agree, 1 when they differ, 2 for trouble.")
    p.add_argument("a", metavar="A", help="a snapshot file (- for stdin)")
    p.add_argument("b", metavar="B", help="another snapshot file")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func="cmd_diff")

    p = sub.add_parser("identify", help="which driver reads each FILE, by its content",
                       description="The driver that recognises each FILE by its content "
                       "(GDAL's IdentifyDriverEx), whatever its name says.")
    p.add_argument("files", metavar="FILE", nargs="+")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func="cmd_identify")

    p = sub.add_parser("html", help="write a standalone HTML page",
                       description="Write the drivers table (every driver, unless --max-rows), "
                       "or one driver's view, as a standalone HTML page.")
    p.add_argument("name", metavar="NAME", nargs="?", help="one driver instead of the table")
    p.add_argument("-o", "--output", metavar="FILE", required=True, help="output file, - for stdout")
    p.add_argument("--max-rows", type=_positive, metavar="N",
                   help="at most N drivers in the table: the first and the last ones")
    p.add_argument("--all", action="store_true", help=argparse.SUPPRESS)  # the default now
    p.add_argument("--overwrite", action="store_true", help="replace an existing FILE")
    p.set_defaults(func="cmd_html", subparser=p)

    p = sub.add_parser("config", help="the configuration file: what it sets, or --check it",
                       description="Which configuration file is read and what it sets. With "
                       "--check, report what the running GDAL does not know: driver tables "
                       "that name no driver, unknown option names (each with the closest real "
                       "name) and values the option checks refuse; exit 1 on any finding.")
    p.add_argument("--check", action="store_true", help="check the file against the running GDAL")
    p.add_argument("--json", action="store_true", help="print JSON")
    p.set_defaults(func="cmd_config")
    return parser


def _expected_errors() -> tuple:
    import vek

    from ._cli.common import CLIError

    return (CLIError, vek.OptionValueError, OSError, vek.FormatError, vek.GDALError, vek.ConfigError)


def error_message(exc) -> str:
    if isinstance(exc, OSError) and exc.filename is not None and exc.strerror:
        return f"{exc.filename}: {exc.strerror}"
    return str(exc)


def _show_warning(message, category, filename, lineno, file=None, line=None):
    # one line, as the errors are: where in vek it was raised is no news to users
    print(f"{PROG}: warning: {message}", file=sys.stderr if file is None else file)


def main(argv=None) -> int:
    """Run the command line; returns the exit status (argument errors exit
    through argparse with status 2)."""
    return _run(build_parser().parse_args(argv))


def _run(args) -> int:
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            # looked up at each run, so that a command can be replaced in tests
            return getattr(sys.modules[__name__], args.func)(args)
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
    except ModuleNotFoundError as exc:
        from vek._algos.geo import _import_gdal, bindings_missing

        if not bindings_missing(exc):
            raise
        try:
            _import_gdal()  # the one line that says how to install them
        except ModuleNotFoundError as said:
            exc = said
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 1
    except _expected_errors() as exc:
        print(f"{PROG}: error: {error_message(exc)}", file=sys.stderr)
        return 1

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
on stderr as ``vek-drivers: error: <message>``, without a traceback, and
GDAL's warnings (and option values handed on under ``[options] check =
"warn"``) as ``vek-drivers: warning: <message>``.
"""

import argparse
import os
import sys
import warnings

from vek._algos.geo import driver
from vek.optioncheck import OptionValueError

# Each command lives in its own module; the names are bound here too, where
# the parser looks them up when it is built.
from ._cli.common import PROG, CLIError, find_driver  # noqa: F401
from ._cli.create import checked_options, cmd_create, read_compression  # noqa: F401
from ._cli.detect import cmd_detect, detect  # noqa: F401
from ._cli.html import cmd_html, driver_page, statistics_page  # noqa: F401
from ._cli.list import cmd_list  # noqa: F401
from ._cli.show import cmd_show, option_table, show_data, show_text  # noqa: F401

__all__ = ["main", "build_parser", "CLIError"]


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


def _show_warning(message, category, filename, lineno, file=None, line=None):
    err = driver.error
    if issubclass(category, (err.GDALWarning, err.OptionValueWarning)):
        print(f"{PROG}: warning: {message}", file=sys.stderr)
    else:
        print(warnings.formatwarning(message, category, filename, lineno, line),
              end="", file=sys.stderr)


def main(argv=None) -> int:
    """Run the command line; returns the exit status (argument errors exit
    through argparse with status 2)."""
    args = build_parser().parse_args(argv)
    with warnings.catch_warnings():
        warnings.showwarning = _show_warning
        return _run(args)


def _run(args) -> int:
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

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

import importlib
import os
import sys
import warnings

from ._cli import PROG
from ._cli.quick import quick_args

# Each command lives in its own module under vek._cli, and the argparse
# parser in vek._cli.parser. Their names are bound here too, on first use:
# the parser, --help and --version need neither GDAL nor its Python
# bindings, so nothing of GDAL is imported before a command runs, and a
# command line of plain words and flags is read without argparse.
_WHERE = {
    "build_parser": "parser", "parse_args": "parser",
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
    """Run the command line (``argv``, default ``sys.argv[1:]``); returns the
    exit status (argument errors exit through argparse with status 2)."""
    argv = sys.argv[1:] if argv is None else list(argv)
    args = quick_args(argv)
    if args is not None:
        return _run(args)
    from ._cli.parser import parse_args

    return _run(parse_args(argv))


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

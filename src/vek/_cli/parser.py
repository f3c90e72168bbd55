"""The command line's argparse parser: every command's arguments
(:mod:`.arguments`), the help layout and ``--version``."""

import argparse
import sys

from . import PROG
from .arguments import COMMANDS
from .terminal import columns


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


def build_parser(command: str | None = None) -> argparse.ArgumentParser:
    """The parser of every command or, given ``command``, of that one alone:
    a command line that starts with its command never reaches the others,
    and declaring them all costs more than a quick command takes to run."""
    parser = _Parser(
        prog=PROG,
        description="List, inspect and use GDAL's format drivers.",
        epilog=f"'{PROG} COMMAND --help' describes each command.",
    )
    parser.add_argument("-V", "--version", action=_VersionAction)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, add in COMMANDS.items():
        if command is None or name == command:
            add(sub)
    return parser


def parse_args(argv=None) -> argparse.Namespace:
    """``argv`` (default ``sys.argv[1:]``) parsed; only the parser of the
    command it starts with is built, all of them for anything else (the
    main --help, an unknown command)."""
    argv = sys.argv[1:] if argv is None else list(argv)
    command = argv[0] if argv and argv[0] in COMMANDS else None
    return build_parser(command).parse_args(argv)

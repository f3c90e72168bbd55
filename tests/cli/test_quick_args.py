"""The command lines read without argparse give what argparse gives; the
others (help, errors, values, odd spellings) are left to argparse."""

import argparse

import pytest

from vek._cli.parser import build_parser, parse_args
from vek._cli.quick import quick_args


def _commands():
    sub = next(a for a in build_parser()._actions if isinstance(a, argparse._SubParsersAction))
    return sub.choices


def lines():
    """For each command: its positionals given plain words with every flag of
    its own (one or all, before or after them), and its odd spellings."""
    out = []
    for name, parser in _commands().items():
        words = [f"w{i}" for i, a in enumerate(parser._actions) if not a.option_strings]
        flags = [a.option_strings[-1] for a in parser._actions
                 if a.option_strings and isinstance(a, argparse._StoreTrueAction)]
        out += [[name, *words], [name, *words, *flags], [name, *flags, *words], [name, *words, "-h"],
                [name, *words, "--"], [name, *words, "extra"], [name], [name, *words[:1], "-V"]]
        out += [[name, flag[:-1], *words] for flag in flags if flag.startswith("--")]  # abbreviated
        out += [[name, *words[:1], flag, *words[1:]] for flag in flags[:1]]  # between the positionals
    return out


@pytest.mark.parametrize("argv", lines(), ids=" ".join)
def test_a_line_read_quickly_is_read_as_argparse_reads_it(argv, capsys):
    quick = quick_args(argv)
    try:
        expected = vars(parse_args(argv))
    except SystemExit:
        assert quick is None
        return
    assert quick is None or vars(quick) == expected


@pytest.mark.parametrize("argv", [["list", "--json"], ["show", "GTiff", "--json"], ["show", "-d", "GTiff"],
                                  ["detect", "out.tif", "--raster"], ["identify", "a.tif", "b.gpkg", "--json"]],
                         ids=" ".join)
def test_the_quick_commands_skip_argparse(argv):
    assert quick_args(argv) is not None

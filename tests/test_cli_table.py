"""Command-line tables at the widths users have: every line within
``COLUMNS``, words and values broken only when one alone is wider than its
column, and one "name: value" line per field below 40 columns."""

import re

import pytest

from conftest import metadata
from vek import cli
from vek._cli_table import Column, render_table, wrap
from vek.optioncheck import allowed_text
from vek._algos.geo.driver import RasterDriver, VectorDriver


def run(capsys, monkeypatch, width, *argv):
    monkeypatch.setenv("COLUMNS", str(width))
    assert cli.main(list(argv)) == 0
    return capsys.readouterr().out


def words(text):
    return " ".join(text.split())


@pytest.mark.parametrize("text, width, lines", [
    ("GPKG_ATTRIBUTES, NOT_REGISTERED", 16, ["GPKG_ATTRIBUTES,", "NOT_REGISTERED"]),
    ("NONE,PACKBITS,LZW", 10, ["NONE,", "PACKBITS,", "LZW"]),
    ("Number of least-significant bits", 14, ["Number of", "least-signific", "ant bits"]),
    ("a b", 1, ["a", "b"]),
])
def test_wrap_breaks_between_words_and_values_and_only_cuts_a_wider_word(text, width, lines):
    assert wrap(text, width) == lines


def catalogues(name):
    views = [RasterDriver(name)] if metadata(name, "DCAP_RASTER") else []
    views += [VectorDriver(name)] if metadata(name, "DCAP_VECTOR") else []
    return [v.creation_options_info for v in views] + [v.open_options_info for v in views]


@pytest.mark.parametrize("width", [40, 80, 120])
@pytest.mark.parametrize("name, flags", [("GTiff", ["-d"]), ("GPKG", []), ("GPKG", ["-d"])])
def test_show_fits_the_width_and_breaks_no_word(capsys, monkeypatch, width, name, flags):
    out = run(capsys, monkeypatch, width, "show", name, *flags)
    assert max(map(len, out.splitlines())) <= width
    tokens = set(out.replace(",", " ").split())
    flat = words(out)
    for catalogue in catalogues(name):
        for option, record in catalogue.items():
            assert option in tokens
            shown = [record.get("default", ""), allowed_text(record)]
            assert set(" ".join(shown).replace(",", " ").split()) <= tokens, option
            if flags:  # the description reads in one piece
                assert words(record.get("description", "")) in flat, option


@pytest.mark.parametrize("width", [40, 80, 120])
def test_list_fits_the_width(capsys, monkeypatch, width):
    out = run(capsys, monkeypatch, width, "list")
    assert max(map(len, out.splitlines())) <= width
    table = out.splitlines()[0].split() == ["#", "name", "category", "extension", "creatable", "updatable",
                                            "virtualio"]
    assert table == (width >= 80) and ("name: GTiff" in out) == (not table)


def test_a_table_too_wide_for_its_words_becomes_records():
    columns = [Column("name"), Column("allowed", fill=True), Column("about", below=True)]
    rows = [["COMPRESS", "NONE, LZW, PACKBITS", "How pixels are compressed"], ["TILED", "", ""]]
    table = render_table(columns, rows, total_width=40)
    assert table.splitlines() == ["name      allowed", "--------  -------------------",
                                  "COMPRESS  NONE, LZW, PACKBITS", "    How pixels are compressed", "TILED"]
    assert render_table(columns, rows, total_width=39).splitlines() == [
        "name: COMPRESS", "allowed: NONE, LZW, PACKBITS", "about: How pixels are compressed", "",
        "name: TILED"]
    narrow = render_table(columns, rows, total_width=20, indent="  ")
    assert max(map(len, narrow.splitlines())) <= 20 and "  allowed: NONE,\n    LZW, PACKBITS\n" in narrow

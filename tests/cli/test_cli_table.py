"""Command-line tables at 40, 80 and 120 columns: every line within the width,
no word or value broken unless alone wider than its column, and one
"name: value" line per field where a table cannot fit."""

import pytest

from vek import cli
from vek._cli.table import Column, render_table, wrap
from vek._algos.geo.driver import Driver
from vek.optioncheck import allowed_text


def test_wrap_breaks_between_words_and_values_and_cuts_only_a_wider_word():
    assert wrap("GPKG_ATTRIBUTES, NOT_REGISTERED", 16) == ["GPKG_ATTRIBUTES,", "NOT_REGISTERED"]
    assert wrap("NONE,PACKBITS,LZW", 10) == ["NONE,", "PACKBITS,", "LZW"]
    assert wrap("Number of least-significant bits", 14) == ["Number of", "least-signific", "ant bits"]


@pytest.mark.parametrize("width", [40, 80, 120])
@pytest.mark.parametrize("argv", [["show", "GTiff", "-d"], ["show", "GPKG", "-d"], ["list"]], ids=" ".join)
def test_output_fits_the_width_and_breaks_no_word(capsys, monkeypatch, width, argv):
    monkeypatch.setenv("COLUMNS", str(width))
    assert cli.main(argv) == 0
    out = capsys.readouterr().out
    assert max(map(len, out.splitlines())) <= width
    if argv == ["list"]:
        assert ("name: GTiff" in out) == (width < 80)  # records where the seven columns cannot fit
        return
    tokens, flat = set(out.replace(",", " ").split()), " ".join(out.split())
    d = Driver(argv[1])
    for option, record in {**d.creation_options_info, **d.open_options_info}.items():
        shown = f"{option} {record.get('default', '')} {allowed_text(record)}"
        assert set(shown.replace(",", " ").split()) <= tokens, option
        words = record.get("description", "").split()
        assert "".join(words) in "".join(flat.split()), option  # in one piece, in order
        fitting = " ".join(w for w in words if len(w) <= width - 4)  # a longer word is cut, as it must be
        assert set(fitting.replace(",", " ").split()) <= tokens, option


def test_a_table_too_narrow_for_its_words_becomes_records():
    columns = [Column("name"), Column("allowed", fill=True), Column("about", below=True)]
    rows = [["COMPRESS", "NONE, LZW, PACKBITS", "How pixels are compressed"], ["TILED", "", ""]]
    assert render_table(columns, rows, total_width=40).splitlines() == [
        "name      allowed", "--------  -------------------", "COMPRESS  NONE, LZW, PACKBITS",
        "    How pixels are compressed", "TILED"]
    assert render_table(columns, rows, total_width=20, indent="  ").splitlines() == [
        "  name: COMPRESS", "  allowed: NONE,", "    LZW, PACKBITS", "  about: How pixels", "    are compressed",
        "", "  name: TILED"]


@pytest.mark.parametrize("columns", [None, "", "0", "-3", "x", "57", "200"])
def test_the_width_is_the_one_shutil_finds(monkeypatch, columns):
    import shutil

    from vek._cli.terminal import columns as terminal_columns

    if columns is None:
        monkeypatch.delenv("COLUMNS", raising=False)
    else:
        monkeypatch.setenv("COLUMNS", columns)
    assert terminal_columns(100) == shutil.get_terminal_size((100, 24)).columns

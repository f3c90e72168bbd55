"""The command line's value checks: every value against its option record
(type, permitted values, min and max), synthetic records and real ones."""

import pytest
from hypothesis import given, strategies as st

from conftest import all_driver_names, metadata
from vek.optioncheck import OptionValueError, allowed_text, check_option_value

INT = {"type": "int"}
BOUNDED = {"type": "int", "min": "1", "max": "100"}
SELECT = {"type": "string-select", "value": ["NONE", "LZW", "DEFLATE"]}


@pytest.mark.parametrize(
    "record, value, expected",
    [
        (INT, "5", "5"),
        (INT, "-3", "-3"),
        (INT, "+7", "7"),
        (INT, "007", "7"),
        (INT, " 12 ", "12"),
        ({"type": "integer"}, "42", "42"),
        ({"type": "INT"}, "42", "42"),
        ({"type": "unsigned int"}, "0", "0"),
        ({"type": "float"}, "1.5", "1.5"),
        ({"type": "float"}, "-2", "-2"),
        ({"type": "float"}, "1e-3", "1e-3"),
        ({"type": "float"}, ".5", ".5"),
        ({"type": "boolean"}, "YES", "YES"),
        ({"type": "boolean"}, "true", "YES"),
        ({"type": "boolean"}, "On", "YES"),
        ({"type": "boolean"}, "1", "YES"),
        ({"type": "boolean"}, "no", "NO"),
        ({"type": "boolean"}, "FALSE", "NO"),
        ({"type": "boolean"}, "off", "NO"),
        ({"type": "boolean"}, "0", "NO"),
        (SELECT, "lzw", "LZW"),
        (SELECT, "Deflate", "DEFLATE"),
        ({"type": "string-select"}, "anything", "anything"),
        ({**SELECT, "default": "AUTO"}, "auto", "AUTO"),
        ({"type": "string"}, "any text, even = signs", "any text, even = signs"),
        ({"type": "string", "value": ["A", "B"]}, "C", "C"),
        ({"type": "string", "maxsize": "4"}, "abcd", "abcd"),
        ({}, "free", "free"),
        ({"type": "string-list"}, "a,b", "a,b"),
        (BOUNDED, "1", "1"),
        (BOUNDED, "100", "100"),
        ({"type": "float", "min": "-90", "max": "90"}, "-90", "-90"),
        ({"type": "int", "max": "4096"}, "-5", "-5"),
        # values as a configuration file gives them
        ({"type": "boolean"}, True, "YES"),
        ({"type": "boolean"}, False, "NO"),
        (INT, 9, "9"),
        ({"type": "float"}, 2.5, "2.5"),
        ({"type": "string"}, 3, "3"),
    ],
)
def test_accepted_values_and_their_normal_form(record, value, expected):
    assert check_option_value("OPT", value, record) == expected


@pytest.mark.parametrize(
    "record, value, allowed_words",
    [
        (INT, "5.0", ["integer"]),
        (INT, "abc", ["integer"]),
        (INT, "", ["integer"]),
        (INT, "1 000", ["integer"]),
        (INT, True, ["integer"]),
        ({"type": "unsigned int"}, "-1", ["non-negative integer"]),
        ({"type": "float"}, "abc", ["number"]),
        ({"type": "float"}, "1,5", ["number"]),
        ({"type": "float"}, "nan", ["number"]),
        ({"type": "float"}, "inf", ["number"]),
        ({"type": "float"}, "1_0", ["number"]),
        ({"type": "boolean"}, "maybe", ["YES", "NO", "TRUE", "FALSE", "ON", "OFF"]),
        ({"type": "boolean"}, "2", ["YES", "NO"]),
        ({"type": "boolean"}, "", ["YES", "NO"]),
        (SELECT, "LZX", ["NONE", "LZW", "DEFLATE"]),
        (SELECT, "", ["NONE", "LZW", "DEFLATE"]),
        ({"type": "string", "maxsize": "4"}, "abcde", ["at most 4 characters"]),
        (BOUNDED, "0", ["from 1 to 100"]),
        (BOUNDED, "101", ["from 1 to 100"]),
        (BOUNDED, "x", ["integer", "from 1 to 100"]),
        ({"type": "int", "min": "128"}, "64", ["at least 128"]),
        ({"type": "int", "max": "4096"}, "4097", ["at most 4096"]),
        ({"type": "unsigned int", "min": "100"}, "99", ["at least 100"]),
        ({"type": "float", "min": "-90", "max": "90"}, "-90.5", ["from -90 to 90"]),
        ({"type": "float", "min": "0"}, "-1e-9", ["at least 0"]),
    ],
)
def test_refused_values_name_option_value_and_what_is_allowed(record, value, allowed_words):
    with pytest.raises(OptionValueError) as info:
        check_option_value("MY_OPTION", value, record)
    message = str(info.value)
    assert "MY_OPTION" in message
    assert repr(str(value)) in message
    for word in allowed_words:
        assert word in message
    assert isinstance(info.value, ValueError)
    assert (info.value.name, info.value.value) == ("MY_OPTION", value)


def test_bounds_that_are_not_numbers_are_ignored():
    record = {"type": "int", "min": "", "max": "lots"}
    assert check_option_value("N", "123456", record) == "123456"


@given(st.integers(min_value=-1000, max_value=1000))
def test_an_integer_passes_exactly_when_inside_the_bounds(n):
    record = {"type": "int", "min": "-10", "max": "250"}
    if -10 <= n <= 250:
        assert check_option_value("N", str(n), record) == str(n)
    else:
        with pytest.raises(OptionValueError):
            check_option_value("N", str(n), record)


@pytest.mark.parametrize(
    "record, text",
    [
        ({"type": "boolean"}, "YES/NO"),
        (SELECT, "NONE, LZW, DEFLATE"),
        (BOUNDED, "from 1 to 100"),
        ({"type": "int", "max": "4096"}, "at most 4096"),
        ({"type": "unsigned int"}, "at least 0"),
        ({"type": "int"}, ""),
        ({"type": "string"}, ""),
        ({"type": "string", "value": ["A", "B"]}, "suggested: A, B"),
        ({"type": "string", "maxsize": "8"}, "at most 8 characters"),
    ],
)
def test_allowed_text(record, text):
    assert allowed_text(record) == text


# ---------------------------------------------------------------- real records


def real_records():
    """Every option record of every creatable raster driver's creation list,
    as the module builds them: (driver, option, record)."""
    from vek._algos.geo.driver import RasterDriver

    found = []
    for name in all_driver_names():
        if metadata(name, "DCAP_RASTER").upper() != "YES" or metadata(name, "DCAP_CREATE").upper() != "YES":
            continue
        for option, record in RasterDriver(name).creation_options_info.items():
            found.append((name, option, record))
    return found


REAL = real_records()


def test_gtiff_records_check_as_gdal_lists_them():
    gtiff = {option: record for name, option, record in REAL if name == "GTiff"}
    compress = gtiff["COMPRESS"]
    for value in compress["value"]:
        assert check_option_value("COMPRESS", value.lower(), compress) == value
    with pytest.raises(OptionValueError, match="COMPRESS"):
        check_option_value("COMPRESS", "NOT_A_CODEC", compress)
    assert check_option_value("TILED", "yes", gtiff["TILED"]) == "YES"
    for option in ("ZLEVEL", "JPEG_QUALITY"):
        if option in gtiff:
            with pytest.raises(OptionValueError, match=option):
                check_option_value(option, "high", gtiff[option])


BOUNDED_REAL = [
    pytest.param(record, id=f"{name}-{option}")
    for name, option, record in REAL
    if record.get("type", "").lower() in ("int", "integer", "unsigned int", "float")
    and ("min" in record or "max" in record)
]


@pytest.mark.skipif(not BOUNDED_REAL, reason="no creation option of this GDAL gives min or max")
@pytest.mark.parametrize("record", BOUNDED_REAL)
def test_real_min_and_max_are_enforced(record):
    low, high = record.get("min"), record.get("max")
    if low:
        assert check_option_value("OPT", low, record)
        below = str(float(low) - 1) if "." in low else str(int(low) - 1)
        with pytest.raises(OptionValueError, match="OPT"):
            check_option_value("OPT", below, record)
    if high:
        assert check_option_value("OPT", high, record)
        above = str(float(high) + 1) if "." in high else str(int(high) + 1)
        with pytest.raises(OptionValueError, match="OPT"):
            check_option_value("OPT", above, record)


def test_every_real_default_passes_its_own_check():
    """GDAL's own defaults are valid values; a check that refuses one is
    wrong. Defaults that are descriptions rather than values are skipped."""
    refused = []
    for name, option, record in REAL:
        default = record.get("default")
        if default is None or " " in default:
            continue
        try:
            check_option_value(option, default, record)
        except OptionValueError as exc:
            refused.append(f"{name}: {exc}")
    assert refused == []

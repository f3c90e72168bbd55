"""The command line's value checks against option records, synthetic and real."""

import pytest
from osgeo import _gdal

from conftest import find_drivers
from vek._algos.geo.driver import RasterDriver
from vek.optioncheck import OptionValueError, allowed_text, check_option_value

INT, FLOAT, BOOL, STR = {"type": "int"}, {"type": "float"}, {"type": "boolean"}, {"type": "string"}
BOUNDED = {"type": "int", "min": "1", "max": "100"}
SELECT = {"type": "string-select", "value": ["NONE", "LZW", "DEFLATE"]}
# GDAL reads floats with C's strtod before 3.9, with fast_float after
STRTOD_ONLY = ["0x1p3", "0x10", "nan(1)"]
C_STRTOD = int(_gdal.VersionInfo("VERSION_NUM")) < 3090000


@pytest.mark.parametrize("record, value, expected", [
    # accepted: the value as GDAL gets it
    (INT, "5", "5"), (INT, "-3", "-3"), (INT, "+7", "7"), (INT, "007", "7"), (INT, " 12 ", "12"), (INT, 9, "9"),
    ({"type": "integer"}, "42", "42"), ({"type": "INT"}, "42", "42"), ({"type": "unsigned int"}, "0", "0"),
    (FLOAT, "1.5", "1.5"), (FLOAT, "-2", "-2"), (FLOAT, "1e-3", "1e-3"), (FLOAT, ".5", ".5"), (FLOAT, 2.5, "2.5"),
    *[(BOOL, v, "YES") for v in ("YES", "true", "On", "1", True)],
    *[(BOOL, v, "NO") for v in ("no", "FALSE", "off", "0", False)],
    (SELECT, "lzw", "LZW"), (SELECT, "Deflate", "DEFLATE"), ({"type": "string-select"}, "anything", "anything"),
    (STR, "any text, even = signs", "any text, even = signs"), (STR, 3, "3"),
    ({"type": "string", "value": ["A", "B"]}, "C", "C"), ({"type": "string", "maxsize": "4"}, "abcd", "abcd"),
    ({}, "free", "free"), ({"type": "string-list"}, "a,b", "a,b"),
    (BOUNDED, "1", "1"), (BOUNDED, "100", "100"), ({"type": "float", "min": "-90", "max": "90"}, "-90", "-90"),
    ({"type": "int", "max": "4096"}, "-5", "-5"), ({"type": "int", "min": "", "max": "lots9"}, "0", "0"),
    (FLOAT, "inf", "inf"), (FLOAT, "-Infinity", "-Infinity"), (FLOAT, "nan", "nan"),
    *[(FLOAT, v, v if C_STRTOD else ["number"]) for v in STRTOD_ONLY], (FLOAT, " 2 ", "2"), (BOOL, "yes\t", "YES"), (SELECT, " lzw ", "LZW"),
    ({**SELECT, "value_aliases": ["1"]}, "1", "1"), ({"type": "string", "maxsize": "4"}, "\u00e9\u00e9", "\u00e9\u00e9"),
    ({"type": "float", "max": "1"}, "-inf", "-inf"), ({"type": "strange"}, "x" * 99, "x" * 99),
    # refused: the words of what is allowed
    *[(INT, v, ["integer"]) for v in ("5.0", "abc", "", "1 000", True)],
    ({"type": "unsigned int"}, "-1", ["non-negative integer"]),
    *[(FLOAT, v, ["number"]) for v in ("abc", "1,5", "1_0", "", "0x", "nan(", "\u0661")],
    ({"type": "float", "min": "0"}, "nan", ["NaN is in no range"]), ({"type": "float", "max": "1"}, "inf", ["at most 1"]),
    *[(INT, v, ["atoi"]) for v in ("+", "--5", "5-3", "")], (INT, "2147483648", ["C int"]), (INT, "\u0661", ["integer"]),
    (BOOL, "YE\u017f", ["YES"]), (SELECT, "PAC\u212aBITS", ["LZW"]), ({**SELECT, "default": "AUTO"}, "AUTO", ["LZW"]),
    ({"type": "int", "max": "lots"}, "1", ["at most 0"]), ({"type": "string", "maxsize": "3"}, "\u00e9\u00e9", ["3 bytes"]),
    (STR, "a\0b", ["NUL"]),
    *[(BOOL, v, ["YES", "NO", "TRUE", "FALSE", "ON", "OFF"]) for v in ("maybe", "2", "")],
    (SELECT, "LZX", SELECT["value"]), (SELECT, "", SELECT["value"]),
    ({"type": "string-select", "value": ["", "terrain-rgb"]}, "", ["terrain-rgb", "unset"]),  # GDAL matches no empty <Value/>
    ({"type": "string", "maxsize": "4"}, "abcde", ["at most 4 bytes"]),
    (BOUNDED, "0", ["from 1 to 100"]), (BOUNDED, "101", ["from 1 to 100"]), (BOUNDED, "x", ["integer", "1 to 100"]),
    ({"type": "int", "min": "128"}, "64", ["at least 128"]), ({"type": "int", "max": "4096"}, "4097", ["at most 4096"]),
    ({"type": "unsigned int", "min": "100"}, "99", ["at least 100"]),
    ({"type": "float", "min": "-90", "max": "90"}, "-90.5", ["from -90 to 90"]),
    ({"type": "float", "min": "0"}, "-1e-9", ["at least 0"]),
])
def test_values_are_normalised_or_refused_with_what_is_allowed(record, value, expected):
    if isinstance(expected, str):
        assert check_option_value("OPT", value, record) == expected
        return
    with pytest.raises(OptionValueError) as info:
        check_option_value("MY_OPTION", value, record)
    message = str(info.value)
    assert "MY_OPTION" in message and repr(str(value)) in message and all(w in message for w in expected)
    assert isinstance(info.value, ValueError) and (info.value.name, info.value.value) == ("MY_OPTION", value)


@pytest.mark.parametrize("value", [[1], {"a": 1}, b"LZW", (1, 2)])
def test_values_without_a_text_form_raise_type_error_naming_the_option(value):
    with pytest.raises(TypeError, match="MY_OPTION"):
        check_option_value("MY_OPTION", value, STR)


@pytest.mark.parametrize("record, text", [
    (BOOL, "YES/NO"), (SELECT, "NONE, LZW, DEFLATE"), (BOUNDED, "from 1 to 100"),
    ({"type": "int", "max": "4096"}, "at most 4096"), ({"type": "unsigned int"}, "at least 0"), (INT, ""), (STR, ""),
    ({"type": "string", "value": ["A", "B"]}, "suggested: A, B"),
    ({"type": "string", "maxsize": "8"}, "at most 8 bytes"),
])
def test_allowed_text(record, text):
    assert allowed_text(record) == text


# ---------------------------------------------------------------- real records

# every record of every creatable raster driver's creation catalogue, as the module builds them
REAL = [(name, option, record) for name in find_drivers(DCAP_RASTER=True, DCAP_CREATE=True)
        for option, record in RasterDriver(name).creation_options_info.items()]
BOUNDED_REAL = [pytest.param(record, id=f"{name}-{option}") for name, option, record in REAL
                if record.get("type", "").lower() in ("int", "integer", "unsigned int", "float")
                and ("min" in record or "max" in record)]


@pytest.mark.skipif(not BOUNDED_REAL, reason="no creation option of this GDAL gives min or max")
@pytest.mark.parametrize("record", BOUNDED_REAL)
def test_real_min_and_max_are_enforced(record):
    for key, step in (("min", -1), ("max", 1)):
        bound = record.get(key)
        if bound:
            assert check_option_value("OPT", bound, record)
            beyond = str(float(bound) + step) if "." in bound else str(int(bound) + step)
            with pytest.raises(OptionValueError, match="OPT"):
                check_option_value("OPT", beyond, record)


def test_every_real_default_passes_its_own_check():
    """GDAL's own defaults are valid values (defaults that are descriptions are skipped, and so are
    string-select defaults that the list does not name: GDAL's own check refuses those too)."""
    refused = []
    for name, option, record in REAL:
        default = record.get("default")
        unlisted = record.get("type", "").lower() == "string-select" and default not in record.get("value", [])
        if default is not None and " " not in default and not unlisted:
            try:
                check_option_value(option, default, record)
            except OptionValueError as exc:
                refused.append(f"{name}: {exc}")
    assert refused == []

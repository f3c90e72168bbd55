"""vek's value checks against GDAL's own validator (GDALValidateOptions).

Every creation list of a driver that creates (Create or CreateCopy) and
every vector driver's layer list, with values generated per type from the
list (valid, boundary, invalid; ASCII and not; numbers in the forms strtod
and atoi read). GDAL's verdict comes from its validator's warnings during
Create/CreateCopy into a directory that does not exist (nothing is
written) or CreateLayer on an in-memory dataset carrying the list; a
sentinel option after each entry must be reported, which proves that
validation ran and tells which warning is whose.

A value vek accepts must be accepted by GDAL in the form vek hands on; a
value vek refuses must be refused by GDAL too, unless ``gdal_fault`` names
GDAL's own fault (docs/option-checks.md). ``make test`` runs a sample of
the lists, ``make stress`` all (``VEK_GDAL_AGREEMENT=all``).
"""

import math
import os
import random
import re

import pytest
from osgeo import _gdal

from vek._algos.geo.options import check as _optcheck
from vek._algos.geo.binding.messages import gdal_messages
from vek.optioncheck import OptionValueError, c_atof, c_atoi, check_option_value, fold

ALL = os.environ.get("VEK_GDAL_AGREEMENT") == "all"
SAMPLE = 12  # drivers per kind in the sample
REFUSAL = re.compile(r"is an unexpected value for|whereas maximum size for")
INTS = ("int", "integer", "unsigned int")


def gdal_fault(kind, record, value):
    """Which of GDAL's own faults lets a value through that vek refuses, or ``None``."""
    text = value.strip(" \t")
    if kind in INTS and re.fullmatch(r"[0-9+-]*", text):
        if not re.fullmatch(r"[+-]?[0-9]+", text):
            return "sign noise or no digits: atoi reads another number"
        if not -(2**31) <= int(text) < 2**31:
            return "beyond a C int: atoi wraps"
    if kind == "float":
        if text == "":
            return "an empty number: strtod reads nothing, and GDAL takes that"
        if re.match(r"-?1\.#", text) and not re.fullmatch(r"-?1\.#(QNAN|SNAN|IND|[iI][nN][fF])", text):
            return "text after an MSVC special (1.#INF...): GDAL takes anything after it"
        if math.isnan(c_atof(text)) and ("min" in record or "max" in record):
            return "NaN: GDAL's comparisons let it through any bound"
    return None


# ---------------------------------------------------------------- generated values


def values_for(record):
    kind = fold(record.get("type", ""))
    out = ["", " ", "x", "\u00e9t\u00e9", "YES", "no", "1", "0"]
    if kind in INTS:
        out += ["5", "-5", "+5", "007", " 12", "12 ", "--5", "5-3", "+", "-", "1.5", "1e3", "0x10",
                "\u0661", "2147483647", "2147483648", "-2147483648", "-2147483649", "4294967301"]
        for key in ("min", "max"):
            if key in record:
                bound = c_atoi(record[key])
                out += [str(bound), str(bound - 1), str(bound + 1), str(bound + 2**32)]
    elif kind == "float":
        out += ["1.5", "-2", ".5", "1.", "1e3", "1e", "1e999", "inf", "-inf", "Infinity", "nan", "NaN",
                "nan(1)", "nan(", "0x10", "0x1p3", "0x.8p1", "0x", "1,5", "1_0", " 3", "3 ", "1.#INF",
                "1.#INFjunk", "-1.#QNAN", "\u0661"]
        for key in ("min", "max"):
            if key in record:
                bound = float(record[key]) if re.fullmatch(r"-?[0-9.]+", record[key]) else 0.0
                out += [record[key], repr(bound - 0.5), repr(bound + 0.5)]
    elif kind == "boolean":
        out += ["TRUE", "off", "On", "2", "maybe", "YE\u017f", " NO", "NO ", "y"]
    elif kind == "string-select":
        choices = record.get("value", []) + record.get("value_aliases", [])
        for choice in choices:
            out += [choice, choice.lower(), choice + " ", " " + choice, choice.replace("K", "\u212a").replace("k", "\u212a"), choice + "\u00e9"]
        out += [record.get("default", "DEFAULT"), "no such value"]
    elif kind == "string" and "maxsize" in record:
        size = max(c_atoi(record["maxsize"]), 0)
        out += ["a" * size, "a" * (size + 1), "\u00e9" * (size // 2 + 1), "\u00e9" * (size // 2)]
    return list(dict.fromkeys(v for v in out if "\0" not in v))


def _sentinel(entries, n):
    name = f"VEK_SENTINEL_{n}_Q"
    assert _optcheck.find_entry(entries, name) is None, "a pattern of the list matches the sentinel"
    return name


def gdal_verdicts(items, run, entries):
    """``[refused?]`` per ``(name, value)`` item, from the validator's warnings."""
    options, sentinels = [], []
    for n, (name, value) in enumerate([(None, None)] + items):
        if name is not None:
            options.append(f"{name}={value}")
        sentinels.append(_sentinel(entries, n))
        options.append(f"{sentinels[-1]}=1")
    with gdal_messages() as messages:
        run(options)
    verdicts, refused, seen = [], False, 0
    for _no, message in messages.warnings:
        if seen < len(sentinels) and sentinels[seen] in message and "does not support" in message:
            seen += 1
            if seen > 1:
                verdicts.append(refused)
            refused = False
        elif 0 < seen < len(sentinels) and REFUSAL.search(message):
            refused = True
    assert seen == len(sentinels), "GDAL's validator did not run over every entry"
    return verdicts


def _creators():
    found = []
    for i in range(_gdal.GetDriverCount()):
        handle = _gdal.GetDriver(i)
        item = lambda key: _gdal.MajorObject_GetMetadataItem(handle, key, "") or ""  # noqa: E731
        if item("DMD_CREATIONOPTIONLIST") and "YES" in (item("DCAP_CREATE"), item("DCAP_CREATECOPY")):
            found.append((_gdal.Driver_ShortName_get(handle), "creation", item("DMD_CREATIONOPTIONLIST")))
        if item("DS_LAYER_CREATIONOPTIONLIST") and item("DCAP_VECTOR") == "YES":
            found.append((_gdal.Driver_ShortName_get(handle), "layer", item("DS_LAYER_CREATIONOPTIONLIST")))
    if ALL:
        return found
    rng = random.Random(12)
    return [c for kind in ("creation", "layer") for c in
            rng.sample([c for c in found if c[1] == kind], min(SAMPLE, sum(c[1] == kind for c in found)))]


def _runner(name, kind, xml_text, folder):
    """``(run(options), handle to drop after)`` for one list."""
    handle = _gdal.GetDriverByName(name)
    item = lambda key: _gdal.MajorObject_GetMetadataItem(handle, key, "") or ""  # noqa: E731
    if kind == "layer":
        vector_mem = [h for h in map(_gdal.GetDriverByName, ("Memory", "MEM"))  # "MEM" from GDAL 3.11
                      if h is not None and _gdal.MajorObject_GetMetadataItem(h, "DCAP_VECTOR", "") == "YES"]
        mem = _gdal.Driver_Create(vector_mem[0], "vek-agreement", 0, 0, 0, 0, [])
        _gdal.MajorObject_SetMetadataItem(mem, "DS_LAYER_CREATIONOPTIONLIST", xml_text, "")
        names = iter(range(10**6))
        return (lambda options: _gdal.Dataset_CreateLayer(mem, f"l{next(names)}", None, 0, options)), mem
    target = os.path.join(folder, "missing", "x." + (item("DMD_EXTENSION") or "dat"))
    if item("DCAP_CREATE") == "YES":
        size = 1 if item("DCAP_RASTER") == "YES" else 0
        return (lambda options: _drop(_gdal.Driver_Create(handle, target, size, size, size, size, options))), None
    source = _gdal.Driver_Create(_gdal.GetDriverByName("MEM"), "", 1, 1, 1, 1, [])
    return (lambda options: _drop(_gdal.Driver_CreateCopy(handle, target, source, 0, options))), source


def _drop(handle):
    if handle is not None:
        with gdal_messages():
            _gdal.delete_Dataset(handle)


@pytest.mark.parametrize("name, kind, xml_text", _creators(), ids=lambda v: v if len(str(v)) < 40 else "")
def test_vek_agrees_with_gdals_validator(name, kind, xml_text, tmp_path):
    entries = _optcheck.option_entries(xml_text)
    items, expect = [], []
    for option, record in entries:
        if "*" in option or fold(option) in ("append_subdataset", "copy_src_mdd", "src_mdd", "skip_holes"):
            continue  # patterns, and names the validator skips
        if _optcheck.find_entry(entries, option)[1] is not record:
            continue  # a name listed twice: GDAL checks against the first
        for value in values_for(record):
            try:
                items.append((option, check_option_value("OPT", value, record)))
                ok = True
            except OptionValueError:
                items.append((option, value))
                ok = False
            expect.append((value, ok, fold(record.get("type", "")), record))
    with gdal_messages():
        run, keep = _runner(name, kind, xml_text, str(tmp_path))
    try:
        refused = gdal_verdicts(items, run, entries)
    finally:
        _drop(keep)
    assert not os.path.exists(tmp_path / "missing"), "the check wrote something"
    disagreements = []
    for (value, ok, type_, record), (option, handed), gdal_refused in zip(expect, items, refused):
        if ok and gdal_refused and not (type_ == "string-select" and not record.get("value")):
            disagreements.append(f"{option}={value!r}: vek hands on {handed!r}, GDAL refuses")
        elif not ok and not gdal_refused and gdal_fault(type_, record, value) is None:
            disagreements.append(f"{option}={value!r} ({type_}): vek refuses, GDAL accepts")
    assert disagreements == []

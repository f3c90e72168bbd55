"""The Python plumbing in ``vek._algos.geo.base``, on the installed GDAL
(type tables, drivers and option lists are read from GDAL)."""

import enum
import json
import os
import pickle
import re
import warnings
import xml.etree.ElementTree as ET
from pathlib import PurePosixPath
from types import MappingProxyType

import pytest
from osgeo import _gdal, gdalconst

from gdalmode import exceptions_mode, gdal_mode, mem_files, run_python  # noqa: F401
from conftest import metadata
from vek._algos.geo.base import call_gdal_fun, dtypes, env, error, gdata, get_sel, mem_temp_path, xet
from vek._algos.geo.binding.paths import is_mem_temp_path, path_exists
from vek._algos.geo.options.text import gdal_options

PAYLOAD = "<script>alert(1)</script>"
# raster types as GDAL's constants name them (Int8, Int64, ... exactly when this GDAL has them), with the
# further names GDAL takes for a code (UInt8 for Byte from GDAL 3.13), as (code, name) in code order
GDAL_TYPES = sorted((getattr(gdalconst, n), n[4:]) for n in dir(gdalconst)
                    if n.startswith("GDT_") and n not in ("GDT_Unknown", "GDT_TypeCount")
                    and _gdal.GetDataTypeByName(n[4:]) == getattr(gdalconst, n))
GDAL_CODES = sorted({code for code, _ in GDAL_TYPES})
GTIFF = _gdal.GetDriverByName("GTiff")


def gtiff_catalogue():
    xml = _gdal.MajorObject_GetMetadataItem(GTIFF, "DMD_CREATIONOPTIONLIST")
    return {o.attrib["name"]: dict(o.attrib, value=[v.text for v in o]) for o in xet.fromstring(xml)}


def test_import_is_light_and_keeps_bare_handles():
    proc = run_python("""
        import sys
        from osgeo import _gdal
        # warnings and what it imports (more from 3.14): GDAL's warnings are re-emitted as
        # Python warnings, also after setuid
        import warnings
        before = set(sys.modules)
        import vek._algos.geo.base as base
        print(base._gdal is _gdal, sorted(m for m in set(sys.modules) - before
                                          if not m.startswith("vek")),
              type(_gdal.GetDriverByName("GTiff")).__name__)
        base.error.FormatError("x"); base.dtypes; base.env; base.xet
        print(sorted(m for m in ("html", "difflib", "tomllib", "xml.etree.ElementTree", "osgeo.gdal",
                                 "numpy", "vek._algos.geo.display.html") if m in sys.modules))
        base.gdata.VEKHTMLTable(1, 1, 0, False)
        print("vek._algos.geo.display.html" in sys.modules)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["True [] SwigPyObject", "[]", "True"]


# ---------------------------------------------------------------- FormatError

CATALOGUE = {"COMPRESS": {}, "TILED": {}, "BLOCKXSIZE": {}, "ZLEVEL": {}, "LEVEL": {}}


@pytest.mark.parametrize("rejected, suggestion", [
    ("compress", "COMPRESS"), ("Tiled", "TILED"),
    ("level", "LEVEL"),  # same name up to case wins over a longer near name
    ("COMPRES", "COMPRESS"), ("blockxsise", "BLOCKXSIZE"), ("ZLEVL", "ZLEVEL"),
    ("QUUX_FROB", None),
])
def test_format_error_suggests_the_closest_name(rejected, suggestion):
    text = str(error.FormatError(errors=[rejected], all_sels=CATALOGUE))
    hint = f"{rejected!r} (did you mean {suggestion!r}?)"
    assert (hint in text) if suggestion else ("did you mean" not in text and repr(rejected) in text)


def test_format_error_names_every_rejected_option_and_the_valid_ones():
    exc = error.FormatError(errors=["compress", "QUUX", "TILD"], all_sels=CATALOGUE)
    assert isinstance(exc, ValueError)
    assert exc.errors == ["compress", "QUUX", "TILD"] and exc.all_sels is CATALOGUE
    named, valid = str(exc).split("Valid options:")
    assert all(n in named for n in ("'compress'", "'QUUX'", "'TILD'"))
    assert all(n in valid for n in CATALOGUE)
    assert "No options" in str(error.FormatError(errors=["X"], all_sels={}))
    plain = error.FormatError("bad options")
    assert (str(plain), plain.errors, plain.all_sels) == ("bad options", None, None)
    assert "did you mean 'COMPRESS'?" in str(error.FormatError(errors=["compress"], all_sels=gtiff_catalogue()))
    back = pickle.loads(pickle.dumps(exc))
    assert (str(back), back.errors, back.all_sels) == (str(exc), exc.errors, CATALOGUE)


# ---------------------------------------------------------------- HTML builders


def parse_html(out):
    """The output as a tree, checked to be well formed, script-free and self-contained."""
    root = ET.fromstring("<root>" + out.replace("<br>", "<br/>") + "</root>")
    assert not root.findall(".//script")
    assert not [k for node in root.iter() for k in node.attrib if k.startswith("on")]
    (style,) = root.findall(".//style")  # scoped to the output's own class
    assert all(s.strip().startswith(".vek-h") for r in style.text.split("}")[:-1] for s in r.split("{")[0].split(","))
    (outer,) = list(root)
    assert "vek-h" in outer.get("class").split()
    return root


def text(node):
    return "".join(node.itertext())


def rows(node, path=".//tbody/tr"):
    return [[text(c) for c in tr] for tr in node.findall(path)]


def built(builder, info=None, details=(), rows=(), head=None):
    """The parsed output of a builder fed these; the head is added after the rows."""
    if info is not None:
        builder.set_base_info(info)
    for d in details:
        builder.add_details(d)
    for r in rows:
        builder.add_row(r)
    if head is not None:
        builder.add_head(head)
    return parse_html(builder.to_html())


def table(rows=(), n_fields=2, precision=0, border=False, **kw):
    return built(gdata.VEKHTMLTable(n_fields, 1, precision, border), rows=rows, **kw)


def test_every_text_is_escaped():
    odd = "a\"b' onclick='y & z"
    record = {"type": PAYLOAD, "default": PAYLOAD, "description": PAYLOAD, "value": ["ok", PAYLOAD],
              "current": PAYLOAD, "scope": PAYLOAD, PAYLOAD: "1"}
    shown = text(built(gdata.VEKHTMLDetails(), {PAYLOAD: PAYLOAD, "q": odd}, [{PAYLOAD: {PAYLOAD: record}}]))
    assert shown.count(PAYLOAD) == 14 and odd in shown  # 3 in the summary row of the values set
    shown = text(table(rows=[[PAYLOAD, "a", PAYLOAD, PAYLOAD]], head=["", PAYLOAD, "b"], info={PAYLOAD: PAYLOAD}))
    assert shown.count(PAYLOAD) == 5  # the fourth cell is cut


def test_details_view():
    root = built(gdata.VEKHTMLDetails(), {"Name": "GTiff", "Category": "raster", "Creatable": True}, [
        {"Creation options": {
            "COMPRESS": {"type": "string-select", "default": "NONE", "value": ["NONE", "LZW"],
                         "current": "LZW", "description": "Compression method"},
            "TILED": {"type": "boolean", "current": None},
            "ZLEVEL": {"type": "int", "min": "1", "max": "9"}},
         "Open options": {"NUM_THREADS": {"type": "string", "current": 4}}},
        {"Layer creation options": {}}, {"GTiff creation": gtiff_catalogue()}])
    assert rows(root, "./div/table/tbody/tr") == [  # the long name from GDAL; the values set, unfolded
        ["Name", "GTiff"], ["Long name", metadata("GTiff", "DMD_LONGNAME")], ["Category", "raster"],
        ["Creatable", "True"], ["Creation options set", "COMPRESS=LZW"], ["Open options set", "NUM_THREADS=4"]]
    details = root.findall(".//details")
    assert [text(d.find("summary")) for d in details] == [
        "Creation options (3 options)", "Open options (1 option)", "Layer creation options (0 options)",
        f"GTiff creation ({len(gtiff_catalogue())} options)"]
    assert all("open" not in d.attrib for d in details)
    assert rows(details[0], ".//thead/tr") == [
        ["Option", "Type", "Default", "Allowed values", "Current value", "Description"]]
    compress, tiled, zlevel = rows(details[0])
    assert compress == ["COMPRESS", "string-select", "NONE", "NONE, LZW", "LZW", "Compression method"]
    assert tiled[:5] == ["TILED", "boolean", "", "", "None"]
    assert zlevel[4] == "" and "min=1" in zlevel[5] and "max=9" in zlevel[5]
    assert rows(details[1])[0][4] == "4"
    assert details[2].find(".//table") is None and "No options" in text(details[2])
    assert [r[0] for r in rows(details[3])] == list(gtiff_catalogue())


def test_table_layout():
    root = table(rows=[[7, True, None], ["...", "...", "..."], [9, 3, False]], head=["", "F1", "F2"],
                 info={"Rasters": 150, "Total": 230})
    assert [c.tag for c in root[0]][1:] == ["div", "table"]  # the counts above the table
    assert re.fullmatch(r"Rasters\s*:\s*150\W*Total\s*:\s*230", text(root[0][1]))
    assert [c.tag for c in root.find(".//table")] == ["thead", "tbody"]
    assert rows(root, ".//thead/tr") == [["", "F1", "F2"]]
    assert rows(root) == [["7", "True", "None"], ["...", "...", "..."], ["9", "3", "False"]]
    first = root.find(".//tbody/tr")
    assert [c.tag for c in first] == ["th", "td", "td"] and first[0].get("scope") == "row"


@pytest.mark.parametrize("n_fields, cells, head, body, titles", [
    (3, [[0, *"abcdef"]], ["", *"ABCDEF"], [["0", "a", "b", "c", "\u2026"]], ["3 more columns not shown"] * 2),
    (2, [[0, "a", "b", "X"], [1, "c", "d"], [2, "e"]], None,
     [["0", "a", "b", "\u2026"], ["1", "c", "d", ""], ["2", "e", "", ""]], ["1 more column not shown"]),
    (0, [[0, "a"]], ["", "A"], [["0", "\u2026"]], ["1 more column not shown"] * 2),
    (2, [[0, "a", "b"]], ["", "A", "B"], [["0", "a", "b"]], []),
])
def test_table_cuts_extra_cells_with_a_mark(n_fields, cells, head, body, titles):
    root = table(rows=cells, head=head, n_fields=n_fields)
    assert rows(root) == body
    if head:
        assert rows(root, ".//thead/tr") == [head[:n_fields + 1] + (["\u2026"] if titles else [])]
    assert [n.get("title") for n in root.iter() if "vek-h-cut" in n.get("class", "")] == titles


@pytest.mark.parametrize("precision, shown", [(0, "3.14159265"), (3, "3.14"), (1, "3")])
@pytest.mark.parametrize("border", [False, True])
def test_table_precision_and_border(precision, shown, border):
    root = table(rows=[[0, 3.14159265, "x"]], precision=precision, border=border)
    assert rows(root)[0][1] == shown
    assert ("vek-h-border" in root.find(".//table").get("class").split()) is border


# ---------------------------------------------------------------- dtypes


@pytest.mark.parametrize("code, name", GDAL_TYPES, ids=[n for _, n in GDAL_TYPES])
def test_every_gdal_type(code, name):
    for spelling in (name, name.lower(), name.upper(), code, dtypes.RaterDataType[name]):
        assert _gdal.GetDataTypeByName(str(spelling)) == code or spelling == code
        assert dtypes.get_raster_dtype_code(spelling) == code
    first = _gdal.GetDataTypeName(code)  # a further name gives the code's first name back
    assert dtypes.RaterDataType[name] is dtypes.RaterDataType[first] == code
    assert dtypes.get_raster_dtype_name(code) == dtypes.get_raster_dtype_name(name) == first
    assert issubclass(dtypes.RaterDataType, enum.IntEnum)
    # exactly this GDAL's types as members, each further name an alias of its code's member
    assert [(m.value, m.name) for m in dtypes.RaterDataType] == [(c, _gdal.GetDataTypeName(c)) for c in GDAL_CODES]
    assert sorted((m.value, n) for n, m in dtypes.RaterDataType.__members__.items()) == GDAL_TYPES
    assert sorted(dtypes.dtype_names()) == sorted(n for _, n in GDAL_TYPES)


@pytest.mark.parametrize("bad, exc", [
    *[(b, TypeError) for b in (True, 1.0, None, b"Byte", ["Byte"], object())],
    *[(b, ValueError) for b in ("Unknown", "", "Float33", "uint7", "Int99", "Byte\0", "Byte\0x", 0, -1,
                                max(GDAL_CODES) + 1, 10**6)
      if not isinstance(b, str) or "\0" in b or _gdal.GetDataTypeByName(b) == 0],
])
def test_unknown_data_types(bad, exc):
    with pytest.raises(exc) as info:
        dtypes.get_raster_dtype_code(bad)
    assert all(name in str(info.value) for _, name in GDAL_TYPES)


# numpy's types, each as a dtype, its scalar type and its name, against GDAL's own correspondence
# (osgeo.gdal_array): a type GDAL holds exactly (mapped there and back) gives that code, any other is refused
NUMPY_TYPES = ["bool", "int8", "uint8", "int16", "uint16", ">u2", "int32", "uint32", "int64", "uint64", "float16",
               "float32", ">f8", "float64", "longdouble", "complex64", "complex128", "datetime64[s]", "U4", "O"]


def test_numpy_types_as_gdal_array_maps_them():
    proc = run_python(f"""
        import json
        import numpy as np
        try:
            from osgeo import gdal_array
        except ImportError as exc:
            raise SystemExit(f"skip: osgeo.gdal_array does not import ({{exc}})")
        from vek._algos.geo.binding import dtypes as _dtypes
        out = {{}}
        for name in {NUMPY_TYPES!r}:
            t = np.dtype(name)
            code = gdal_array.NumericTypeCodeToGDALTypeCode(t.type)
            exact = bool(code) and gdal_array.GDALTypeCodeToNumericTypeCode(code) == t.type
            ours = []
            for spelling in (t, t.type, t.name):
                try:
                    ours.append(_dtypes.get_raster_dtype_code(spelling))
                except ValueError as exc:
                    ours.append(all(n in str(exc) for n in _dtypes.dtype_names()))
            out[name] = [code if exact else True] * 3 == ours or [name, code, exact, ours]
        print(json.dumps(out))
        """)
    if proc.stdout == "" and proc.stderr.startswith("skip: "):
        pytest.skip(proc.stderr.strip()[6:])
    assert proc.returncode == 0, proc.stderr
    result = json.loads(proc.stdout)
    assert result == dict.fromkeys(NUMPY_TYPES, True)


def test_type_names_need_no_numpy():
    proc = run_python("""
        import sys
        from vek._algos.geo.binding import dtypes as _dtypes
        codes = [_dtypes.get_raster_dtype_code(n) for n in ("uint16", "complex64", "Float32", 6)]
        for bad in ("bool", 1.5):
            try:
                _dtypes.get_raster_dtype_code(bad)
            except (TypeError, ValueError):
                pass
        print(codes, "numpy" in sys.modules)
        """)
    assert proc.stdout.split() == ["[2,", "10,", "6,", "6]", "False"], proc.stderr


# ---------------------------------------------------------------- call_gdal_fun


@pytest.mark.parametrize("options, expected", [
    ({"COMPRESS": "LZW"}, ["COMPRESS=LZW"]),
    ({"TILED": True, "SPARSE_OK": False}, ["TILED=YES", "SPARSE_OK=NO"]),
    ({"BLOCKXSIZE": 256, "MAX_Z_ERROR": 0.5}, ["BLOCKXSIZE=256", "MAX_Z_ERROR=0.5"]),
    ({"A": None, "B": "x"}, ["B=x"]), ({}, []), ({"K": "a=b"}, ["K=a=b"]),
    (MappingProxyType({"A": True}), ["A=YES"]), ({"P": PurePosixPath("/a")}, ["P=/a"]), (None, None),
    (["A=1", "B=2"], ["A=1", "B=2"]),
    ({"": "x"}, ValueError), ({"A=B": "x"}, ValueError), (5, TypeError), ("A=1", TypeError), ([1, 2], TypeError),
    # a NUL cut the text GDAL read: "COMPRESS\0X=LZW" became an option without a value
    ({"COMPRESS\0X": "LZW"}, ValueError), ({"COMPRESS": "LZW\0"}, ValueError), (["COMPRESS=LZW\0"], ValueError),
])
def test_option_conversion(options, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            gdal_options(options)
    else:
        assert gdal_options(options) == expected


def test_mappings_are_converted_before_the_call():
    seen = []
    fake = lambda *args, **kwargs: seen.append((args, kwargs)) or "ok"  # noqa: E731
    assert call_gdal_fun(fake, "x", {"A": True, "B": None, "C": 2}, 3, opts={"D": False}) == "ok"
    assert seen == [(("x", ["A=YES", "C=2"], 3), {"opts": ["D=NO"]})]


@pytest.mark.parametrize("options, compression, block_width, warned", [
    ({"COMPRESS": "LZW", "TILED": True}, "LZW", 256, []),  # tiled: a block wider than the image
    ({"COMPRESS": None, "TILED": False}, None, 40, []),
    # a warning is no failure (an unknown name reaches GDAL only unchecked)
    ({"COMPRESS": "DEFLATE", "NO_SUCH_OPTION": 1}, "DEFLATE", 40, ["NO_SUCH_OPTION"]),
])
def test_creates_with_converted_options(gdal_mode, capfd, monkeypatch, options, compression, block_width, warned):
    if warned:
        monkeypatch.setattr(env, "OptionsCheck", "off")
    path = mem_temp_path("tif")
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            _gdal.delete_Dataset(call_gdal_fun(_gdal.Driver_Create, GTIFF, path, 40, 30, 1, 1, options))
        assert [w.category for w in caught] == [error.GDALWarning] * len(warned)
        assert all(name in str(w.message) for w, name in zip(caught, warned))
        h = _gdal.OpenEx(path, 2)
        assert _gdal.MajorObject_GetMetadataItem(h, "COMPRESSION", "IMAGE_STRUCTURE") == compression
        assert _gdal.Band_GetBlockSize(_gdal.Dataset_GetRasterBand(h, 1))[0] == block_width
        _gdal.delete_Dataset(h)
    finally:
        _gdal.Unlink(path)
    assert _gdal.GetUseExceptions() == gdal_mode
    assert capfd.readouterr() == ("", "")


def test_failure_raises_with_gdal_message(gdal_mode, tmp_path, capfd):
    target = str(tmp_path / "missing-dir" / "x.tif")
    with pytest.raises(error.GDALError) as info:
        call_gdal_fun(_gdal.Driver_Create, GTIFF, target, 4, 3, 1, 1, {})
    exc = info.value
    assert isinstance(exc, RuntimeError) and exc.function == "Driver_Create" and exc.error_type in (3, 4)
    assert "Driver_Create" in str(exc) and target in exc.gdal_message and exc.gdal_message in str(exc)
    # a None result is a failure too, even when GDAL says nothing; so is a failure GDAL records with a result
    with pytest.raises(error.GDALError, match="OpenEx"):
        call_gdal_fun(_gdal.OpenEx, "/vsimem/vek-test-no-such-file.tif", 2)
    with pytest.raises(error.GDALError, match="went wrong halfway") as info:
        call_gdal_fun(lambda: _gdal.Error(3, 1, "went wrong halfway") or 42)
    assert info.value.function == "<lambda>"
    with pytest.raises(TypeError):  # not GDAL's failure: passed on as it is
        call_gdal_fun(_gdal.Driver_Create, "not a driver", "/vsimem/x.tif", 1, 1)
    assert _gdal.GetUseExceptions() == gdal_mode
    assert capfd.readouterr() == ("", "")
    assert not os.path.exists(target)


# Creation requests that GDAL 3.6 rejects only after it has started writing:
# (data type, options, whether GDAL still hands back a dataset).
HALF_MADE = {
    "ycbcr": (1, {"PHOTOMETRIC": "YCBCR", "COMPRESS": "JPEG"}, False),
    "bad-tile-width": (1, {"TILED": "YES", "BLOCKXSIZE": "7"}, False),
    "jpeg-float-returns-dataset": (6, {"COMPRESS": "JPEG"}, True),
}


# (with exceptions on, the binding itself drops a dataset it hands back with a failure)
@pytest.mark.parametrize("mode, case", [(m, c) for m in (0, 1) for c, v in HALF_MADE.items() if not (m and v[2])])
@pytest.mark.parametrize("where", ["local", "vsimem"])
def test_failed_creation_leaves_nothing(tmp_path, where, mode, case, capfd):
    dtype, options, _ = HALF_MADE[case]
    path = str(tmp_path / "half.tif") if where == "local" else mem_temp_path("tif")
    with exceptions_mode(mode):
        try:
            call_gdal_fun(_gdal.Driver_Create, GTIFF, path, 20, 20, 1, dtype, options)
        except error.GDALError:
            pass
        else:
            pytest.skip("this GDAL accepts the request")
        assert _gdal.GetUseExceptions() == mode
    assert not path_exists(path) and os.listdir(tmp_path) == []
    assert path not in " ".join(mem_files())
    assert capfd.readouterr() == ("", "")


def test_failed_creation_takes_side_files_but_never_an_existing_file(tmp_path):
    def Driver_Create(drv, path, *rest):  # a real dataset with a side file, then a failure
        h = _gdal.Driver_Create(drv, path, *rest)
        _gdal.Error(3, 1, "disk on fire")
        return h

    with pytest.raises(error.GDALError, match="disk on fire"):
        call_gdal_fun(Driver_Create, _gdal.GetDriverByName("ENVI"), str(tmp_path / "ds.dat"), 4, 4, 1, 1, [])
    assert os.listdir(tmp_path) == []
    # Over an existing file: GDAL 3.13 itself deletes it when the creation fails, older GDALs leave it.
    # The bare binding on a control file says what GDAL does; vek takes nothing more.
    mine, control = tmp_path / "vek", tmp_path / "gdal"
    for d in (mine, control):
        d.mkdir()
        (d / "keep.tif").write_bytes(b"user data")
    options = gdal_options(HALF_MADE["ycbcr"][1])
    try:
        assert _gdal.Driver_Create(GTIFF, str(control / "keep.tif"), 20, 20, 1, 1, options) is None
    except RuntimeError:  # exceptions on
        pass
    with pytest.raises(error.GDALError):
        call_gdal_fun(_gdal.Driver_Create, GTIFF, str(mine / "keep.tif"), 20, 20, 1, 1, HALF_MADE["ycbcr"][1])
    assert os.listdir(mine) == [n for n in os.listdir(control) if n == "keep.tif"]


# ---------------------------------------------------------------- xet

BILLION_LAUGHS = """<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol">
 <!ENTITY lol1 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
 <!ENTITY lol2 "&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;">]><lolz>&lol2;</lolz>"""
REFUSED_XML = {
    "billion laughs": BILLION_LAUGHS,
    "quadratic blowup": '<!DOCTYPE r [<!ENTITY a "' + "x" * 5000 + '">]><r>' + "&a;" * 1000 + "</r>",
    "external entity": '<!DOCTYPE r [<!ENTITY e SYSTEM "file:///etc/passwd">]><r>&e;</r>',
    "external entity unused": '<!DOCTYPE r [<!ENTITY e SYSTEM "http://127.0.0.1:9/x">]><r/>',
    "parameter entity": '<!DOCTYPE r [<!ENTITY % p SYSTEM "file:///etc/passwd"> %p;]><r/>',
    "unparsed entity": '<!DOCTYPE r [<!NOTATION n SYSTEM "x"><!ENTITY e SYSTEM "y" NDATA n>]><r/>',
    "internal entity": '<!DOCTYPE r [<!ENTITY e "text">]><r>&e;</r>',
    # 1 kB of default copied into each of 1,000 elements: a thousandfold blow-up
    "attribute defaults": '<!DOCTYPE x [<!ATTLIST o d CDATA "' + "a" * 1000 + '">]><x>' + "<o/>" * 1000 + "</x>",
    "element declaration": "<!DOCTYPE a [<!ELEMENT a (#PCDATA)>]><a>ok</a>",
    "external DTD": '<!DOCTYPE a PUBLIC "-//x//EN" "http://127.0.0.1:9/x.dtd"><a/>',
}


@pytest.mark.parametrize("name", list(REFUSED_XML))
@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_xet_refuses_entities(name, as_bytes):
    doc = REFUSED_XML[name]
    with pytest.raises(xet.ForbiddenEntityError) as info:
        xet.fromstring(doc.encode() if as_bytes else doc)
    assert isinstance(info.value, ET.ParseError) and "entit" in str(info.value)


@pytest.mark.parametrize("doc", [
    '<?xml version="1.0" encoding="UTF-8"?><a x="1">t<b/>&amp;&lt;&#233;</a>',
    '<a xmlns="urn:x" xmlns:p="urn:p" p:k="v"><p:b>1</p:b></a>',
    "<!DOCTYPE a><a>ok</a>",
    "<a><!-- c --><?pi x?><![CDATA[<raw>]]></a>",
    '<?xml version="1.0" encoding="ISO-8859-1"?><a>\xe9</a>'.encode("latin-1"),
])
def test_xet_builds_the_tree_elementtree_builds(doc):
    # str without a DOCTYPE goes to the C parser, the rest through expat: both must agree
    for form in [doc] if isinstance(doc, bytes) else [doc, doc.encode()]:
        assert ET.tostring(xet.fromstring(form)) == ET.tostring(ET.fromstring(doc))


@pytest.mark.parametrize("doc, exc", [
    *[(d, ET.ParseError) for d in ("<a>", "<a></b>", "", "<a>&undefined;</a>", "text")],
    *[(d, TypeError) for d in (None, 5, ["<a/>"])],
])
@pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
def test_xet_malformed(doc, exc, as_bytes):
    with pytest.raises(exc) as info:
        xet.fromstring(doc.encode() if as_bytes and isinstance(doc, str) else doc)
    assert not isinstance(info.value, xet.ForbiddenEntityError)
    if exc is ET.ParseError:
        assert info.value.position[0] >= 1 and info.value.code > 0


def test_xet_pieces_and_files(tmp_path):
    assert xet.fromstringlist(["<a>", "x", "</a>"]).text == "x" == xet.fromstringlist([b"<a>", "x", b"</a>"]).text
    f = tmp_path / "a.xml"
    f.write_text("<a><b/></a>")
    assert xet.parse(str(f)).getroot()[0].tag == "b"
    f.write_text(BILLION_LAUGHS)
    with pytest.raises(xet.ForbiddenEntityError):
        xet.parse(str(f))
    with pytest.raises(AttributeError):  # ElementTree's own parsers are not offered
        xet.XMLParser


# ---------------------------------------------------------------- env


EXAMPLE = """
[raster.creation_options.GTiff]
COMPRESS = "LZW"
TILED = true
BLOCKXSIZE = 512
[vector.creation_options."ESRI Shapefile"]
ENCODING = "UTF-8"
[vector.open_options."ESRI Shapefile"]
ENCODING = "LATIN1"
[jupyter]
show_max_shape = [30, 8]
[plotting]
colour = 'red'
"""


@pytest.fixture
def home(monkeypatch, tmp_path):
    """No user configuration (an empty XDG home, no VEK_CONFIG); read afresh after the test."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.delenv("VEK_CONFIG", raising=False)
    env.reload()
    yield tmp_path
    env.reload()


def test_env_defaults_and_the_file_at_its_default_location(home, monkeypatch):
    assert env.RasterConfig.get("creation.options", {}) == {} == env.VectorConfig["creation.options"]
    assert (env.JupyterShowMaxShape, env.ConfigFile, env.RasterConfig.get("x", "dflt")) == ((20, 10), None, "dflt")
    path = home / "xdg" / "vek" / "config.toml"
    path.parent.mkdir(parents=True)
    path.write_text(EXAMPLE)
    assert env.ConfigFile is None  # read once, until reload
    env.reload()
    raster = env.RasterConfig["creation.options"]
    assert dict(raster["GTiff"]) == {"COMPRESS": "LZW", "TILED": True, "BLOCKXSIZE": 512}
    assert env.VectorConfig["creation.options"]["ESRI Shapefile"] == {"ENCODING": "UTF-8"}
    assert env.VectorConfig["open.options"]["ESRI Shapefile"] == {"ENCODING": "LATIN1"}
    assert env.RasterConfig["open.options"] == {}
    assert (env.JupyterShowMaxShape, env.ConfigFile) == ((30, 8), str(path))
    assert gdal_options(raster["GTiff"]) == ["COMPRESS=LZW", "TILED=YES", "BLOCKXSIZE=512"]
    with pytest.raises(TypeError):
        env.RasterConfig["creation.options"] = {}
    with pytest.raises(TypeError):
        raster["GTiff"]["COMPRESS"] = "NONE"
    monkeypatch.delenv("XDG_CONFIG_HOME")
    monkeypatch.setenv("HOME", str(home / "home"))
    assert env.config_path() == (str(home / "home" / ".config" / "vek" / "config.toml"), False)


@pytest.mark.parametrize("text, key", [
    (None, None), ("[raster\nCOMPRESS = ", None), (b"a = '\xff'\n", None),
    *[(f"[jupyter]\nshow_max_shape = {v}", "jupyter.show_max_shape")
      for v in ("[0, 10]", "[20]", "[20, 10, 1]", "'big'", "[true, 3]", "[1.5, 3]")],
    ("[jupyter]\nshow_max_shapes = [1, 3]", "jupyter.show_max_shapes"),
    ("jupyter = 3", "jupyter"), ("raster = 3", "raster"),
    ("[raster]\ncreation_options = 3", "raster.creation_options"),
    ("[raster]\ncreation_option = {}", "raster.creation_option"),
    ("[raster.creation_options]\nGTiff = 'LZW'", "raster.creation_options.GTiff"),
    ("[raster.creation_options.GTiff]\nCOMPRESS = ['LZW']", "raster.creation_options.GTiff.COMPRESS"),
    ("[vector.creation_options.GPKG]\nX = 1979-05-27", "vector.creation_options.GPKG.X"),
    ("[raster.open_options.GTiff]\nNUM_THREADS = []", "raster.open_options.GTiff.NUM_THREADS"),
    ("[raster]\nopen_option = {}", "raster.open_option"),
    # a substring of "check" passed for a key
    *[(f"[options]\n{k} = 'off'", f"options.{k}") for k in ("chec", "heck", "c", "checks")],
    # 400 KB under the size limit: a bare RecursionError
    ("x = " + "[" * 200_000 + "]" * 200_000, None), ("x = " + "{a = " * 80_000 + "1" + "}" * 80_000, None),
])
def test_env_bad_file_names_file_and_key(home, monkeypatch, text, key):
    path = str(home / "vek.toml")
    if text is not None:  # else a missing file named by VEK_CONFIG
        (home / "vek.toml").write_bytes(text if isinstance(text, bytes) else text.encode())
    monkeypatch.setenv("VEK_CONFIG", path)
    env.reload()
    with pytest.raises(error.ConfigError) as info:
        env.VectorConfig
    assert path in str(info.value) and info.value.path == path
    assert isinstance(info.value, FileNotFoundError) is (text is None)
    if key:
        assert key in str(info.value) and info.value.key == key


# ---------------------------------------------------------------- mem_temp_path and get_sel


@pytest.mark.parametrize("ext, suffix", [("tif", ".tif"), (".tif", ".tif"), ("aux.xml", ".aux.xml"), ("", ""),
                                         (".", ""), (None, TypeError), (b"tif", TypeError), (["tif"], TypeError),
                                         ("a/b", ValueError), ("x\0", ValueError)])
def test_mem_temp_path_extension(ext, suffix):
    if isinstance(suffix, type):
        with pytest.raises(suffix):
            mem_temp_path(ext)
        return
    paths = {mem_temp_path(ext) for _ in range(100)}
    assert len(paths) == 100 and all(is_mem_temp_path(p) for p in paths)
    assert all(re.fullmatch(r"/vsimem/.*/[0-9a-f]{32}" + re.escape(suffix), p) for p in paths)


@pytest.mark.parametrize("count, limit, expected", [
    (200, 10, ((0, 5), (195, 200))), (6, 10, ((0, 6), (0, 0))), (10, 10, ((0, 10), (0, 0))),
    (11, 10, ((0, 5), (6, 11))), (11, 3, ((0, 2), (10, 11))), (7, 1, ((0, 1), (7, 7))),
    (0, 10, ((0, 0), (0, 0))), (-5, 10, ((0, 0), (0, 0))),
    (50, None, ((0, 50), (0, 0))), (50, 0, ((0, 50), (0, 0))), (50, -3, ((0, 50), (0, 0))),
    *[(c, n, TypeError) for c, n in [("10", 5), (10, "5"), (1.0, 5), (10, 5.0), (True, 5), (10, True), (None, 5)]],
])
def test_get_sel(count, limit, expected):
    if expected is TypeError:
        with pytest.raises(TypeError):
            get_sel(count, limit)
    else:
        assert get_sel(count, limit) == (expected, sum(b - a for a, b in expected))

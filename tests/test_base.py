"""The Python plumbing the driver module imports from ``vek._algos.geo.base``.

Runs on the installed GDAL (3.6 or later): type tables, drivers and option
lists are read from GDAL, never written down here.
"""

import html
import os
import pickle
import re
import subprocess
import sys
import textwrap
import xml.etree.ElementTree as ET
from html.parser import HTMLParser

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from osgeo import _gdal

import vek
from gdalmode import exceptions_mode

from vek._algos.geo import base
from vek._algos.geo.base import (
    _gdal as base_gdal,
    call_gdal_fun,
    dtypes,
    env,
    error,
    gdata,
    get_sel,
    mem_temp_path,
    xet,
)

# child processes import the same vek as this one
SRC = os.path.dirname(os.path.dirname(os.path.abspath(vek.__file__)))
PAYLOAD = "<script>alert(1)</script>"
ESCAPED = html.escape(PAYLOAD)


def run_python(code, **kw):
    """Run ``code`` in a fresh interpreter with the package on the path."""
    env_vars = dict(os.environ)
    env_vars["PYTHONPATH"] = SRC + os.pathsep + env_vars.get("PYTHONPATH", "")
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env_vars,
        timeout=120,
        **kw,
    )


def gdal_type_codes():
    """(code, name) of every raster type the installed GDAL knows."""
    out = []
    code = 1
    while True:
        try:
            name = _gdal.GetDataTypeName(code)
        except Exception:
            break
        if not name or name == "Unknown":
            break
        out.append((code, name))
        code += 1
    return out


def mem_files():
    listed = []
    for folder in ("/vsimem/", "/vsimem/vek/"):
        listed += [folder + n for n in (_gdal.ReadDirRecursive(folder) or [])]
    return listed


@pytest.fixture(params=[False, True], ids=["gdal-errors-as-codes", "gdal-exceptions"])
def gdal_mode(request):
    """Runs the test with GDAL exceptions off, then on; restores the mode."""
    with exceptions_mode(request.param):
        yield int(request.param)


@pytest.fixture
def gtiff():
    return _gdal.GetDriverByName("GTiff")


# ---------------------------------------------------------------- module shape


class TestModule:
    def test_names_the_driver_module_imports(self):
        from vek._algos.geo.base import (  # noqa: F401
            _gdal as g,
            call_gdal_fun,
            dtypes,
            env,
            error,
            gdata,
            get_sel,
            mem_temp_path,
            xet,
        )

        assert g is _gdal
        assert callable(call_gdal_fun) and callable(mem_temp_path) and callable(get_sel)

    def test_import_is_light_and_keeps_bare_handles(self):
        # A fresh interpreter: what does importing base add beyond _gdal?
        proc = run_python(
            """
            import sys
            from osgeo import _gdal
            before = set(sys.modules)
            import vek._algos.geo.base as base
            added = sorted(set(sys.modules) - before)
            print(added)
            print(type(_gdal.GetDriverByName("GTiff")).__name__)
            base.error.FormatError("x"); base.dtypes; base.env; base.xet
            print(sorted(m for m in ("html", "difflib", "tomllib", "xml.etree.ElementTree",
                                     "vek._algos.geo._html", "osgeo.gdal", "numpy", "enum")
                         if m in sys.modules))
            base.gdata.VEKHTMLTable(1, 1, 0, False)
            print("vek._algos.geo._html" in sys.modules)
            """
        )
        assert proc.returncode == 0, proc.stderr
        added, handle_type, heavy, html_loaded = proc.stdout.splitlines()
        assert all(m.startswith("vek") for m in eval(added)), added
        assert handle_type == "SwigPyObject"
        assert "osgeo.gdal" not in heavy and "numpy" not in heavy
        for lazy in ("html", "difflib", "tomllib", "xml.etree.ElementTree", "vek._algos.geo._html"):
            assert lazy not in heavy
        assert html_loaded == "True"


# ---------------------------------------------------------------- FormatError


CATALOGUE = {
    "COMPRESS": {"type": "string-select", "value": ["NONE", "LZW"]},
    "TILED": {"type": "boolean"},
    "BLOCKXSIZE": {"type": "int"},
    "ZLEVEL": {"type": "int"},
    "LEVEL": {"type": "int"},
}


class TestFormatError:
    def test_message_form(self):
        exc = error.FormatError("bad options")
        assert str(exc) == "bad options"
        assert isinstance(exc, ValueError)
        assert exc.errors is None and exc.all_sels is None

    @pytest.mark.parametrize(
        "rejected, suggestion",
        [
            ("compress", "COMPRESS"),  # same name up to case
            ("Tiled", "TILED"),
            ("level", "LEVEL"),  # case match wins over the longer near name
            ("COMPRES", "COMPRESS"),  # difflib
            ("blockxsise", "BLOCKXSIZE"),  # difflib, without regard to case
            ("ZLEVL", "ZLEVEL"),
        ],
    )
    def test_suggests_closest_name(self, rejected, suggestion):
        exc = error.FormatError(errors=[rejected], all_sels=CATALOGUE)
        assert f"{rejected!r} (did you mean {suggestion!r}?)" in str(exc)

    def test_no_suggestion_when_nothing_is_near(self):
        exc = error.FormatError(errors=["QUUX_FROB"], all_sels=CATALOGUE)
        assert "did you mean" not in str(exc)
        assert "'QUUX_FROB'" in str(exc)

    def test_names_every_rejected_option_and_lists_valid_ones(self):
        exc = error.FormatError(errors=["compress", "QUUX", "TILD"], all_sels=CATALOGUE)
        text = str(exc)
        for name in ("'compress'", "'QUUX'", "'TILD'"):
            assert name in text
        valid = text.split("Valid options:")[1]
        for name in CATALOGUE:
            assert name in valid
        assert exc.errors == ["compress", "QUUX", "TILD"]
        assert exc.all_sels is CATALOGUE
        assert isinstance(exc, ValueError)

    def test_empty_catalogue(self):
        text = str(error.FormatError(errors=["X"], all_sels={}))
        assert "'X'" in text and "No options" in text

    def test_with_a_real_gdal_catalogue(self, gtiff):
        xml = _gdal.MajorObject_GetMetadataItem(gtiff, "DMD_CREATIONOPTIONLIST")
        catalogue = {o.attrib["name"]: dict(o.attrib) for o in xet.fromstring(xml)}
        exc = error.FormatError(errors=["compress"], all_sels=catalogue)
        assert "did you mean 'COMPRESS'?" in str(exc)

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {}),
            (("msg",), {"errors": ["x"], "all_sels": {}}),
            ((), {"errors": ["x"]}),
            ((), {"all_sels": {}}),
            ((42,), {}),
            ((), {"errors": ["x"], "all_sels": 5}),
        ],
    )
    def test_bad_construction(self, args, kwargs):
        with pytest.raises(TypeError):
            error.FormatError(*args, **kwargs)

    def test_pickles_with_its_attributes(self):
        exc = error.FormatError(errors=["compress"], all_sels={"COMPRESS": {}})
        back = pickle.loads(pickle.dumps(exc))
        assert str(back) == str(exc)
        assert back.errors == ["compress"] and back.all_sels == {"COMPRESS": {}}

    def test_raised_and_caught_as_value_error(self):
        with pytest.raises(ValueError, match="did you mean 'TILED'"):
            raise error.FormatError(errors=["tiled"], all_sels=CATALOGUE)


# ---------------------------------------------------------------- HTML builders


class Node:
    def __init__(self, tag, attrs, parent=None):
        self.tag, self.attrs, self.parent = tag, dict(attrs), parent
        self.children = []

    def text(self):
        return "".join(c if isinstance(c, str) else c.text() for c in self.children)

    def find_all(self, tag):
        out = []
        for c in self.children:
            if isinstance(c, Node):
                if c.tag == tag:
                    out.append(c)
                out += c.find_all(tag)
        return out

    def find(self, tag):
        found = self.find_all(tag)
        return found[0] if found else None

    def walk(self):
        yield self
        for c in self.children:
            if isinstance(c, Node):
                yield from c.walk()


class TreeParser(HTMLParser):
    VOID = {"br", "hr", "img", "meta", "link", "input", "col", "wbr"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.root = Node("#root", {})
        self.cur = self.root

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs, self.cur)
        self.cur.children.append(node)
        if tag not in self.VOID:
            self.cur = node

    def handle_endtag(self, tag):
        node = self.cur
        while node is not self.root and node.tag != tag:
            node = node.parent
        assert node is not self.root, f"unbalanced </{tag}>"
        self.cur = node.parent

    def handle_data(self, data):
        self.cur.children.append(data)


def parse_html(text):
    p = TreeParser()
    p.feed(text)
    p.close()
    assert p.cur is p.root, "unclosed elements"
    return p.root


def row_texts(tr):
    return [c.text() for c in tr.children if isinstance(c, Node) and c.tag in ("td", "th")]


def check_safe_and_themable(text):
    """No script, no event handlers, CSS scoped and theme-neutral."""
    root = parse_html(text)
    assert not root.find_all("script")
    for node in root.walk():
        assert not any(k.startswith("on") for k in node.attrs), node.attrs
    styles = root.find_all("style")
    assert len(styles) == 1
    css = styles[0].text()
    for rule in css.split("}"):
        if not rule.strip():
            continue
        selectors = rule.split("{")[0]
        for sel in selectors.split(","):
            assert sel.strip().startswith(".vek-h"), sel
    for prop, value in re.findall(r"(?<![-\w])(color|background(?:-color)?)\s*:\s*([^;}]+)", css):
        assert value.strip() in ("inherit", "transparent") or value.strip().startswith("rgba("), (prop, value)
    assert not re.search(r"#[0-9a-fA-F]{3,8}\b", css)
    outer = [c for c in root.children if isinstance(c, Node)]
    assert len(outer) == 1 and "vek-h" in outer[0].attrs.get("class", "").split()
    return root


def details_builder(base_info=None, details=None):
    b = gdata.VEKHTMLDetails()
    if base_info is not None:
        b.set_base_info(base_info)
    if details is not None:
        b.add_details(details)
    return b.to_html()


def table_builder(rows=(), head=None, info=None, n_fields=2, n_info=1, precision=0, border=False):
    t = gdata.VEKHTMLTable(n_fields, n_info, precision, border)
    if info is not None:
        t.set_base_info(info)
    for r in rows:
        t.add_row(r)
    if head is not None:
        t.add_head(head)
    return t.to_html()


ESCAPE_CASES = {
    "details: base info key": lambda: details_builder({PAYLOAD: "x"}),
    "details: base info value": lambda: details_builder({"Name": PAYLOAD}),
    "details: heading": lambda: details_builder(details={PAYLOAD: {"A": {}}}),
    "details: option name": lambda: details_builder(details={"Opts": {PAYLOAD: {"type": "int"}}}),
    "details: type": lambda: details_builder(details={"Opts": {"A": {"type": PAYLOAD}}}),
    "details: default": lambda: details_builder(details={"Opts": {"A": {"default": PAYLOAD}}}),
    "details: description": lambda: details_builder(details={"Opts": {"A": {"description": PAYLOAD}}}),
    "details: allowed value": lambda: details_builder(details={"Opts": {"A": {"value": ["ok", PAYLOAD]}}}),
    "details: current value": lambda: details_builder(details={"Opts": {"A": {"current": PAYLOAD}}}),
    "details: other attribute": lambda: details_builder(details={"Opts": {"A": {"scope": PAYLOAD}}}),
    "details: other attribute name": lambda: details_builder(details={"Opts": {"A": {PAYLOAD: "1"}}}),
    "table: base info key": lambda: table_builder(info={PAYLOAD: 1}),
    "table: base info value": lambda: table_builder(info={"Rows": PAYLOAD}),
    "table: row cell": lambda: table_builder(rows=[[0, "a", PAYLOAD]]),
    "table: info cell": lambda: table_builder(rows=[[PAYLOAD, "a", "b"]]),
    "table: head cell": lambda: table_builder(head=["", PAYLOAD, "b"]),
    "table: hidden cell": lambda: table_builder(rows=[[0, "a", "b", PAYLOAD]]),
}


class TestHTMLEscaping:
    @pytest.mark.parametrize("case", list(ESCAPE_CASES))
    def test_script_renders_as_text(self, case):
        out = ESCAPE_CASES[case]()
        assert "<script" not in out.lower()
        root = check_safe_and_themable(out)
        if case != "table: hidden cell":
            assert ESCAPED in out
            assert PAYLOAD in root.text()
        else:
            assert PAYLOAD not in root.text()

    def test_quotes_and_ampersands(self):
        out = details_builder({"a\"b": "x' onclick='y & z"})
        root = check_safe_and_themable(out)
        assert "a\"b" in root.text() and "x' onclick='y & z" in root.text()


class TestHTMLDetails:
    def make(self):
        return details_builder(
            {"Name": "GTiff", "Category": "raster", "Creatable": True, "Extension": "tif"},
            {
                "Creation options": {
                    "COMPRESS": {
                        "type": "string-select",
                        "default": "NONE",
                        "value": ["NONE", "LZW", "DEFLATE"],
                        "current": "LZW",
                        "description": "Compression method",
                    },
                    "TILED": {"type": "boolean", "description": "Tiles", "current": None},
                    "ZLEVEL": {"type": "int", "min": "1", "max": "9"},
                },
                "Open options": {"NUM_THREADS": {"type": "string", "current": 4}},
                "Layer creation options": {},
            },
        )

    def test_summary_table(self):
        root = check_safe_and_themable(self.make())
        summary = root.find("table")
        pairs = [row_texts(tr) for tr in summary.find_all("tr")]
        assert pairs == [
            ["Name", "GTiff"],
            ["Category", "raster"],
            ["Creatable", "True"],
            ["Extension", "tif"],
        ]

    def test_each_catalogue_collapsed_with_count(self):
        root = check_safe_and_themable(self.make())
        details = root.find_all("details")
        assert len(details) == 3
        assert all("open" not in d.attrs for d in details)
        summaries = [d.find("summary").text() for d in details]
        assert summaries == [
            "Creation options (3 options)",
            "Open options (1 option)",
            "Layer creation options (0 options)",
        ]

    def test_catalogue_table_columns(self):
        root = check_safe_and_themable(self.make())
        table = root.find_all("details")[0].find("table")
        head = row_texts(table.find("thead").find("tr"))
        assert head == ["Option", "Type", "Default", "Allowed values", "Current value", "Description"]
        rows = [row_texts(tr) for tr in table.find("tbody").find_all("tr")]
        assert rows[0] == [
            "COMPRESS",
            "string-select",
            "NONE",
            "NONE, LZW, DEFLATE",
            "LZW",
            "Compression method",
        ]
        assert rows[1][:5] == ["TILED", "boolean", "", "", "None"]  # current None shown
        assert rows[2][4] == ""  # no current value
        assert "min=1" in rows[2][5] and "max=9" in rows[2][5]

    def test_current_value_of_other_types(self):
        root = check_safe_and_themable(self.make())
        row = root.find_all("details")[1].find("tbody").find("tr")
        assert row_texts(row)[4] == "4"

    def test_empty_catalogue_says_so(self):
        root = check_safe_and_themable(self.make())
        empty = root.find_all("details")[2]
        assert empty.find("table") is None
        assert "No options" in empty.text()

    def test_add_details_accumulates(self):
        b = gdata.VEKHTMLDetails()
        b.add_details({"A": {"X": {}}})
        b.add_details({"B": {}})
        root = check_safe_and_themable(b.to_html())
        assert [d.find("summary").text() for d in root.find_all("details")] == [
            "A (1 option)",
            "B (0 options)",
        ]

    def test_with_a_real_gdal_catalogue(self, gtiff):
        xml = _gdal.MajorObject_GetMetadataItem(gtiff, "DMD_CREATIONOPTIONLIST")
        catalogue = {}
        for opt in xet.fromstring(xml):
            rec = dict(opt.attrib)
            name = rec.pop("name")
            values = [v.text for v in opt]
            if values:
                rec["value"] = values
            catalogue[name] = rec
        root = check_safe_and_themable(details_builder({"Name": "GTiff"}, {"Creation": catalogue}))
        rows = root.find("details").find("tbody").find_all("tr")
        assert [row_texts(r)[0] for r in rows] == list(catalogue)
        assert f"({len(catalogue)} options)" in root.find("summary").text()

    def test_repr_html(self):
        b = gdata.VEKHTMLDetails()
        b.set_base_info({"Name": "X"})
        assert b._repr_html_() == b.to_html()

    def test_rejects_non_dicts(self):
        b = gdata.VEKHTMLDetails()
        with pytest.raises(TypeError):
            b.set_base_info(["Name", "X"])
        with pytest.raises(TypeError):
            b.add_details({"A": ["X"]})


class TestHTMLTable:
    def grid(self, out):
        root = check_safe_and_themable(out)
        table = root.find("table")
        head = [row_texts(tr) for tr in table.find("thead").find_all("tr")] if table.find("thead") else []
        rows = [row_texts(tr) for tr in table.find("tbody").find_all("tr")]
        return root, table, head, rows

    def test_head_first_even_when_added_last(self):
        out = table_builder(rows=[[0, "a", "b"], [1, "c", "d"]], head=["", "F1", "F2"])
        root, table, head, rows = self.grid(out)
        assert out.index("<thead>") < out.index("<tbody>")
        assert head == [["", "F1", "F2"]]
        assert rows == [["0", "a", "b"], ["1", "c", "d"]]

    def test_info_columns_are_row_headers(self):
        _, table, _, _ = self.grid(table_builder(rows=[[7, "a", "b"]], n_info=1))
        tr = table.find("tbody").find("tr")
        cells = [c for c in tr.children if isinstance(c, Node)]
        assert [c.tag for c in cells] == ["th", "td", "td"]
        assert cells[0].attrs.get("scope") == "row"

    def test_extra_cells_are_cut_with_a_mark(self):
        # told 1 info + 3 field columns, handed 7 cells
        rows = [[i, "a", "b", "c", "d", "e", "f"] for i in range(2)]
        out = table_builder(rows=rows, head=["", "A", "B", "C", "D", "E", "F"], n_fields=3, n_info=1)
        root, table, head, body = self.grid(out)
        assert head == [["", "A", "B", "C", "\u2026"]]
        assert body == [["0", "a", "b", "c", "\u2026"], ["1", "a", "b", "c", "\u2026"]]
        marks = [n for n in table.walk() if "vek-h-cut" in n.attrs.get("class", "")]
        assert len(marks) == 3
        assert all(m.attrs["title"] == "3 more columns not shown" for m in marks)
        for hidden in ("D", "E", "F", "d", "e", "f"):
            assert hidden not in root.text().split()

    def test_one_hidden_column_and_mixed_rows(self):
        out = table_builder(rows=[[0, "a", "b", "X"], [1, "c", "d"], [2, "e"]], n_fields=2)
        _, table, _, body = self.grid(out)
        assert body == [["0", "a", "b", "\u2026"], ["1", "c", "d", ""], ["2", "e", "", ""]]
        (mark,) = [n for n in table.walk() if "vek-h-cut" in n.attrs.get("class", "")]
        assert mark.attrs["title"] == "1 more column not shown"

    def test_no_mark_when_nothing_is_cut(self):
        out = table_builder(rows=[[0, "a", "b"]], head=["", "A", "B"])
        assert "vek-h-cut" not in out.split("</style>")[1]
        assert "\u2026" not in out

    def test_filler_row_is_just_a_row(self):
        rows = [[0, "a", "b"], ["...", "...", "..."], [9, "y", "z"]]
        _, _, _, body = self.grid(table_builder(rows=rows))
        assert body[1] == ["...", "...", "..."]
        assert len(body) == 3

    @pytest.mark.parametrize("value, text", [(True, "True"), (False, "False"), (None, "None"), (3, "3")])
    def test_cell_values(self, value, text):
        _, _, _, body = self.grid(table_builder(rows=[[0, value, "x"]]))
        assert body == [["0", text, "x"]]

    @pytest.mark.parametrize("precision, text", [(0, "3.14159265"), (3, "3.14"), (1, "3")])
    def test_precision_argument(self, precision, text):
        _, _, _, body = self.grid(table_builder(rows=[[0, 3.14159265, "x"]], precision=precision))
        assert body[0][1] == text

    @pytest.mark.parametrize("border", [False, True])
    def test_border_argument(self, border):
        _, table, _, _ = self.grid(table_builder(rows=[[0, 1, 2]], border=border))
        assert ("vek-h-border" in table.attrs["class"].split()) is border

    def test_base_info_counts_above_the_table(self):
        out = table_builder(rows=[[0, 1, 2]], info={"Rasters": 150, "Vectors": 80, "Total": 230})
        root = check_safe_and_themable(out)
        assert out.index("Rasters") < out.index("<table")
        text = root.text()
        for label, n in (("Rasters", 150), ("Vectors", 80), ("Total", 230)):
            assert re.search(rf"{label}\s*:\s*{n}", text)

    def test_zero_field_columns(self):
        _, _, head, body = self.grid(table_builder(rows=[[0, "a"]], head=["", "A"], n_fields=0, n_info=1))
        assert head == [["", "\u2026"]] and body == [["0", "\u2026"]]

    @pytest.mark.parametrize(
        "args, exc",
        [
            (("3", 1, 0, False), TypeError),
            ((3, 1.0, 0, False), TypeError),
            ((3, 1, None, False), TypeError),
            ((True, 1, 0, False), TypeError),
            ((-1, 1, 0, False), ValueError),
            ((3, -1, 0, False), ValueError),
        ],
    )
    def test_bad_arguments(self, args, exc):
        with pytest.raises(exc):
            gdata.VEKHTMLTable(*args)

    def test_statistics_style_use(self):
        # the way a listing of drivers is built: head/tail runs from get_sel,
        # a filler row between them, the head added last
        names = ["Name", "Raster", "Vector", "Create", "Copy", "Virtual"]
        (runs, shown_rows) = get_sel(30, 6)
        (_, shown_cols) = get_sel(len(names), 10)
        t = gdata.VEKHTMLTable(shown_cols, 1, 0, False)
        t.set_base_info({"Total": 30})
        for start, stop in [runs[0]]:
            for i in range(start, stop):
                t.add_row([i, f"D{i}", True, False, True, False, True])
        t.add_row(["..."] * (1 + shown_cols))
        for i in range(*runs[1]):
            t.add_row([i, f"D{i}", True, False, True, False, True])
        t.add_head([""] + names)
        _, _, head, body = self.grid(t.to_html())
        assert head == [[""] + names]
        assert len(body) == shown_rows + 1
        assert [r[0] for r in body] == ["0", "1", "2", "...", "27", "28", "29"]


# ---------------------------------------------------------------- dtypes


class TestDtypes:
    @pytest.mark.parametrize("code, name", gdal_type_codes(), ids=[n for _, n in gdal_type_codes()])
    def test_every_gdal_type(self, code, name):
        assert dtypes.get_raster_dtype_code(name) == code
        assert dtypes.get_raster_dtype_code(name.lower()) == code
        assert dtypes.get_raster_dtype_code(name.upper()) == code
        assert dtypes.get_raster_dtype_code(code) == code
        member = dtypes.RaterDataType[name]
        assert member == code and member.name == name
        assert dtypes.get_raster_dtype_code(member) == code
        assert _gdal.GetDataTypeByName(name) == code
        assert dtypes.get_raster_dtype_name(code) == name

    def test_enum_mirrors_gdal(self):
        import enum

        cls = dtypes.RaterDataType
        assert cls.__name__ == "RaterDataType"
        assert issubclass(cls, enum.IntEnum)
        assert [(m.value, m.name) for m in cls] == gdal_type_codes()
        assert dtypes.dtype_names() == [n for _, n in gdal_type_codes()]
        assert pickle.loads(pickle.dumps(cls.Float32)) is cls.Float32

    @pytest.mark.parametrize(
        "name",
        ["Byte", "UInt16", "Int16", "UInt32", "Int32", "Float32", "Float64",
         "CInt16", "CInt32", "CFloat32", "CFloat64"],
    )
    def test_classic_names(self, name):
        assert name in dtypes.dtype_names()

    @pytest.mark.parametrize("name", ["Int8", "UInt64", "Int64"])
    def test_newer_names_exactly_when_gdal_has_them(self, name):
        known = _gdal.GetDataTypeByName(name) != 0
        assert (name in dtypes.dtype_names()) is known
        if not known:
            with pytest.raises(ValueError):
                dtypes.get_raster_dtype_code(name)

    @pytest.mark.parametrize("bad", [True, False, 1.0, 6.0, None, b"Byte", ["Byte"], object()])
    def test_wrong_types(self, bad):
        with pytest.raises(TypeError, match="Float32"):
            dtypes.get_raster_dtype_code(bad)

    @pytest.mark.parametrize(
        "bad", ["Unknown", "", "Float33", "float", "uint8", 0, -1, len(gdal_type_codes()) + 1, 10**6]
    )
    def test_unknown_values(self, bad):
        with pytest.raises(ValueError) as info:
            dtypes.get_raster_dtype_code(bad)
        for _, name in gdal_type_codes():
            assert name in str(info.value)


# ---------------------------------------------------------------- call_gdal_fun


class TestOptionConversion:
    @pytest.mark.parametrize(
        "options, expected",
        [
            ({"COMPRESS": "LZW"}, ["COMPRESS=LZW"]),
            ({"TILED": True, "SPARSE_OK": False}, ["TILED=YES", "SPARSE_OK=NO"]),
            ({"BLOCKXSIZE": 256, "MAX_Z_ERROR": 0.5}, ["BLOCKXSIZE=256", "MAX_Z_ERROR=0.5"]),
            ({"A": None, "B": "x"}, ["B=x"]),
            ({"A": None}, []),
            ({}, []),
            ({"PATH": __import__("pathlib").PurePosixPath("/a/b")}, ["PATH=/a/b"]),
            ({"K": "a=b"}, ["K=a=b"]),
            (["A=1", "B=2"], ["A=1", "B=2"]),
            (None, None),
        ],
    )
    def test_rules(self, options, expected):
        assert base.gdal_options(options) == expected

    def test_mapping_proxy(self):
        from types import MappingProxyType

        assert base.gdal_options(MappingProxyType({"A": True})) == ["A=YES"]

    @pytest.mark.parametrize("bad", [{"": "x"}, {"A=B": "x"}])
    def test_bad_names(self, bad):
        with pytest.raises(ValueError):
            base.gdal_options(bad)

    @pytest.mark.parametrize("bad", [5, "A=1", [1, 2]])
    def test_bad_containers(self, bad):
        with pytest.raises(TypeError):
            base.gdal_options(bad)

    def test_dicts_converted_before_the_call(self):
        seen = []

        def fake(*args, **kwargs):
            seen.append((args, kwargs))
            return "ok"

        assert call_gdal_fun(fake, "x", {"A": True, "B": None, "C": 2}, 3, opts={"D": False}) == "ok"
        assert seen == [(("x", ["A=YES", "C=2"], 3), {"opts": ["D=NO"]})]


def reopen_compression(path):
    with base.quiet_gdal():
        h = _gdal.OpenEx(path, 2 | 0x40)
    assert h is not None, _gdal.GetLastErrorMsg()
    try:
        comp = _gdal.MajorObject_GetMetadataItem(h, "COMPRESSION", "IMAGE_STRUCTURE")
        band = _gdal.Dataset_GetRasterBand(h, 1)
        block = _gdal.Band_GetBlockSize(band)
        return comp, block, (_gdal.Dataset_RasterXSize_get(h), _gdal.Dataset_RasterYSize_get(h))
    finally:
        _gdal.delete_Dataset(h)


class TestCallGdalFun:
    def test_creates_with_converted_options(self, gdal_mode, gtiff, capfd):
        path = mem_temp_path("tif")
        try:
            h = call_gdal_fun(_gdal.Driver_Create, gtiff, path, 40, 30, 1, 1, {"COMPRESS": "LZW", "TILED": True})
            _gdal.delete_Dataset(h)
            comp, block, size = reopen_compression(path)
            assert comp == "LZW"
            assert block == [256, 256]  # tiled: blocks larger than the 40x30 image
            assert size == (40, 30)
        finally:
            _gdal.Unlink(path)
        assert _gdal.GetUseExceptions() == gdal_mode
        assert capfd.readouterr() == ("", "")

    def test_false_and_none(self, gtiff):
        path = mem_temp_path("tif")
        try:
            h = call_gdal_fun(_gdal.Driver_Create, gtiff, path, 40, 30, 1, 1, {"COMPRESS": None, "TILED": False})
            _gdal.delete_Dataset(h)
            comp, block, _ = reopen_compression(path)
            assert comp is None
            assert block[0] == 40  # stripped, not tiled
        finally:
            _gdal.Unlink(path)

    def test_options_as_keyword(self, gtiff):
        path = mem_temp_path("tif")
        try:
            h = call_gdal_fun(_gdal.Driver_Create, gtiff, path, 4, 3, 1, 1, options={"COMPRESS": "DEFLATE"})
            _gdal.delete_Dataset(h)
            assert reopen_compression(path)[0] == "DEFLATE"
        finally:
            _gdal.Unlink(path)

    def test_returns_result_of_success(self):
        drv = call_gdal_fun(_gdal.GetDriverByName, "GTiff")
        assert _gdal.Driver_ShortName_get(drv) == "GTiff"

    def test_a_warning_is_not_a_failure(self, gdal_mode, gtiff, capfd):
        path = mem_temp_path("tif")
        try:
            h = call_gdal_fun(_gdal.Driver_Create, gtiff, path, 4, 3, 1, 1, {"NO_SUCH_OPTION": 1})
            assert h is not None
            _gdal.delete_Dataset(h)
        finally:
            _gdal.Unlink(path)
        assert capfd.readouterr() == ("", "")

    def test_failure_raises_with_gdal_message(self, gdal_mode, gtiff, tmp_path, capfd):
        target = str(tmp_path / "missing-dir" / "x.tif")
        with pytest.raises(error.GDALError) as info:
            call_gdal_fun(_gdal.Driver_Create, gtiff, target, 4, 3, 1, 1, {})
        exc = info.value
        assert isinstance(exc, RuntimeError)
        assert exc.function == "Driver_Create"
        assert "Driver_Create" in str(exc)
        assert target in exc.gdal_message and exc.gdal_message in str(exc)
        assert exc.error_type in (3, 4)
        assert _gdal.GetUseExceptions() == gdal_mode
        assert capfd.readouterr() == ("", "")
        assert not os.path.exists(target)

    def test_none_result_is_a_failure(self, gdal_mode):
        # without the verbose-error flag GDAL says nothing about a missing file
        with pytest.raises(error.GDALError, match="OpenEx"):
            call_gdal_fun(_gdal.OpenEx, "/vsimem/vek-test-no-such-file.tif", 2)
        assert _gdal.GetUseExceptions() == gdal_mode

    def test_recorded_failure_with_a_result_is_a_failure(self):
        def sloppy():
            _gdal.Error(3, 1, "went wrong halfway")
            return 42

        with pytest.raises(error.GDALError, match="went wrong halfway") as info:
            call_gdal_fun(sloppy)
        assert info.value.function == "sloppy"

    def test_non_gdal_errors_pass_through(self):
        with pytest.raises(TypeError):
            call_gdal_fun(_gdal.Driver_Create, "not a driver", "/vsimem/x.tif", 1, 1)


# Creation requests that GDAL 3.6 rejects only after it has started writing:
# (data type, options, whether GDAL still hands back a dataset).
HALF_MADE = {
    "ycbcr-on-one-band": (1, {"PHOTOMETRIC": "YCBCR", "COMPRESS": "JPEG"}, False),
    "bad-tile-width": (1, {"TILED": "YES", "BLOCKXSIZE": "7"}, False),
    "jpeg-float-returns-dataset": (6, {"COMPRESS": "JPEG"}, True),
}
# With GDAL exceptions on, the binding drops a dataset it hands back with a
# failure before raising; that case runs in a child process below.
HALF_MADE_CASES = [
    pytest.param(mode, name, id=f"{'exceptions' if mode else 'codes'}-{name}")
    for mode in (0, 1)
    for name, (_, _, returns) in HALF_MADE.items()
    if not (mode and returns)
]


class TestFailedCreationLeavesNothing:
    @pytest.mark.parametrize("mode, case", HALF_MADE_CASES)
    @pytest.mark.parametrize("where", ["local", "vsimem"])
    def test_real_gdal(self, gtiff, tmp_path, where, mode, case, capfd):
        dtype, options, _ = HALF_MADE[case]
        path = str(tmp_path / "half.tif") if where == "local" else mem_temp_path("tif")
        with exceptions_mode(mode):
            try:
                call_gdal_fun(_gdal.Driver_Create, gtiff, path, 20, 20, 1, dtype, options)
            except error.GDALError:
                pass
            else:  # a later GDAL may accept it; then it made a real dataset
                pytest.skip("this GDAL accepts the request")
            assert _gdal.GetUseExceptions() == mode
        assert not base.path_exists(path)
        if where == "local":
            assert os.listdir(tmp_path) == []
        else:
            assert path not in " ".join(mem_files())
        assert capfd.readouterr() == ("", "")

    def test_dataset_dropped_by_the_binding(self, tmp_path):
        # With GDAL exceptions on, a creation that fails yet made a dataset
        # is raised by the binding itself, which drops the dataset; the
        # files must go all the same.  In a child process, because a bare
        # handle dropped that way makes SWIG print a leak notice at exit.
        target = str(tmp_path / "dropped.tif")
        proc = run_python(
            f"""
            from osgeo import _gdal
            from vek._algos.geo.base import call_gdal_fun, error
            (getattr(_gdal, "UseExceptions", None) or _gdal._UseExceptions)()
            try:
                call_gdal_fun(_gdal.Driver_Create, _gdal.GetDriverByName("GTiff"),
                              {target!r}, 20, 20, 1, 6, {{"COMPRESS": "JPEG"}})
            except error.GDALError as exc:
                print("raised", exc.function)
            else:
                print("accepted")
            print(_gdal.GetUseExceptions())
            """
        )
        assert proc.returncode == 0, proc.stderr
        # the leak notice comes from C's stdout, in any order with ours
        lines = [line for line in proc.stdout.splitlines() if "memory leak" not in line]
        if lines[0] == "accepted":
            pytest.skip("this GDAL accepts the request")
        assert lines == ["raised Driver_Create", "1"]
        assert proc.stderr == ""
        assert os.listdir(tmp_path) == []

    def test_fake_creator_sidecars_removed(self, tmp_path):
        target = str(tmp_path / "ds.dat")
        gtiff = _gdal.GetDriverByName("ENVI")

        def Driver_Create(drv, path, *rest):
            # a real dataset with a sidecar, then a failure
            h = _gdal.Driver_Create(drv, path, *rest)
            _gdal.Error(3, 1, "disk on fire")
            return h

        with pytest.raises(error.GDALError, match="disk on fire"):
            call_gdal_fun(Driver_Create, gtiff, target, 4, 4, 1, 1, [])
        assert os.listdir(tmp_path) == []

    def test_fake_creator_none_result(self, tmp_path):
        target = tmp_path / "made.bin"

        def Driver_Create(drv, path, *rest):
            with open(path, "wb") as fh:
                fh.write(b"half")
            _gdal.Error(3, 1, "no more")
            return None

        with pytest.raises(error.GDALError, match="no more"):
            call_gdal_fun(Driver_Create, None, str(target), 1, 1)
        assert not target.exists()

    def test_existing_file_is_kept(self, gtiff, tmp_path):
        target = tmp_path / "keep.tif"
        target.write_bytes(b"user data")
        with pytest.raises(error.GDALError):
            call_gdal_fun(
                _gdal.Driver_Create, gtiff, str(target), 20, 20, 1, 1, {"PHOTOMETRIC": "YCBCR", "COMPRESS": "JPEG"}
            )
        assert target.exists()


# ---------------------------------------------------------------- xet


BILLION_LAUGHS = """<?xml version="1.0"?>
<!DOCTYPE lolz [
 <!ENTITY lol "lol">
 <!ENTITY lol1 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;">
 <!ENTITY lol2 "&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;">
 <!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">
]>
<lolz>&lol3;</lolz>"""

QUADRATIC = '<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "' + "x" * 5000 + '">]><r>' + "&a;" * 1000 + "</r>"

REFUSED_XML = {
    "billion laughs": BILLION_LAUGHS,
    "quadratic blowup": QUADRATIC,
    "external entity": '<!DOCTYPE r [<!ENTITY e SYSTEM "file:///etc/passwd">]><r>&e;</r>',
    "external entity unused": '<!DOCTYPE r [<!ENTITY e SYSTEM "http://127.0.0.1:9/x">]><r/>',
    "parameter entity": '<!DOCTYPE r [<!ENTITY % p SYSTEM "file:///etc/passwd"> %p;]><r/>',
    "unparsed entity": '<!DOCTYPE r [<!NOTATION n SYSTEM "x"><!ENTITY e SYSTEM "y" NDATA n>]><r/>',
    "internal entity": '<!DOCTYPE r [<!ENTITY e "text">]><r>&e;</r>',
}


def all_option_lists():
    """Every option-list XML the installed drivers publish."""
    out = []
    for i in range(_gdal.GetDriverCount()):
        drv = _gdal.GetDriver(i)
        name = _gdal.Driver_ShortName_get(drv)
        for key in ("DMD_CREATIONOPTIONLIST", "DMD_OPENOPTIONLIST", "DS_LAYER_CREATIONOPTIONLIST",
                    "DMD_MULTIDIM_ARRAY_CREATIONOPTIONLIST"):
            text = _gdal.MajorObject_GetMetadataItem(drv, key)
            if text:
                out.append((f"{name}:{key}", text))
    return out


class TestXet:
    @pytest.mark.parametrize("name", list(REFUSED_XML))
    @pytest.mark.parametrize("as_bytes", [False, True], ids=["str", "bytes"])
    def test_refuses_entities(self, name, as_bytes):
        doc = REFUSED_XML[name]
        with pytest.raises(xet.ForbiddenEntityError) as info:
            xet.fromstring(doc.encode() if as_bytes else doc)
        assert isinstance(info.value, ET.ParseError)
        assert isinstance(info.value, xet.ParseError)
        assert "entit" in str(info.value)

    def test_gdal_creation_option_list(self, gtiff):
        text = _gdal.MajorObject_GetMetadataItem(gtiff, "DMD_CREATIONOPTIONLIST")
        root = xet.fromstring(text)
        assert isinstance(root, ET.Element)
        assert root.tag == "CreationOptionList"
        names = [o.attrib["name"] for o in root]
        assert "COMPRESS" in names and "TILED" in names
        compress = root[names.index("COMPRESS")]
        assert "LZW" in [v.text for v in compress]
        assert ET.tostring(xet.fromstring(text.encode("utf-8"))) == ET.tostring(root)

    def test_every_gdal_option_list_parses_like_elementtree(self):
        lists = all_option_lists()
        assert lists
        for label, text in lists:
            assert ET.tostring(xet.fromstring(text)) == ET.tostring(ET.fromstring(text)), label

    @pytest.mark.parametrize(
        "doc",
        [
            '<?xml version="1.0" encoding="UTF-8"?><a x="1">t<b/>&amp;&lt;&#233;</a>',
            '<a xmlns="urn:x" xmlns:p="urn:p" p:k="v"><p:b>1</p:b></a>',
            "<!DOCTYPE a [<!ELEMENT a (#PCDATA)>]><a>ok</a>",
            "<a><!-- c --><?pi x?><![CDATA[<raw>]]></a>",
        ],
    )
    def test_same_tree_as_elementtree(self, doc):
        assert ET.tostring(xet.fromstring(doc)) == ET.tostring(ET.fromstring(doc))
        assert ET.tostring(xet.XML(doc.encode())) == ET.tostring(ET.fromstring(doc))

    def test_encoding_declaration_in_bytes(self):
        doc = '<?xml version="1.0" encoding="ISO-8859-1"?><a>\xe9</a>'.encode("latin-1")
        assert xet.fromstring(doc).text == "\xe9"

    @pytest.mark.parametrize("doc", ["<a>", "<a></b>", "", "<a>&undefined;</a>", "text"])
    def test_malformed(self, doc):
        with pytest.raises(ET.ParseError) as info:
            xet.fromstring(doc)
        assert not isinstance(info.value, xet.ForbiddenEntityError)
        assert info.value.position[0] >= 1

    @pytest.mark.parametrize("bad", [None, 5, ["<a/>"]])
    def test_wrong_type(self, bad):
        with pytest.raises(TypeError):
            xet.fromstring(bad)

    def test_pieces_and_files(self, tmp_path):
        assert xet.fromstringlist(["<a>", "x", "</a>"]).text == "x"
        assert xet.fromstringlist([b"<a>", "y", b"</a>"]).text == "y"
        f = tmp_path / "a.xml"
        f.write_text("<a><b/></a>")
        assert xet.parse(str(f)).getroot()[0].tag == "b"
        f.write_text(BILLION_LAUGHS)
        with pytest.raises(xet.ForbiddenEntityError):
            xet.parse(str(f))

    def test_element_tree_names(self):
        e = xet.Element("a")
        xet.SubElement(e, "b")
        assert xet.tostring(e) == b"<a><b /></a>"
        for unsafe in ("XMLParser", "iterparse", "XMLPullParser"):
            with pytest.raises(AttributeError):
                getattr(xet, unsafe)


# ---------------------------------------------------------------- env


@pytest.fixture
def config(monkeypatch, tmp_path):
    """An empty configuration home; returns a writer for VEK_CONFIG files."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.delenv("VEK_CONFIG", raising=False)
    env.reload()

    def write(text, name="vek.toml"):
        path = tmp_path / name
        path.write_text(textwrap.dedent(text), encoding="utf-8")
        monkeypatch.setenv("VEK_CONFIG", str(path))
        env.reload()
        return str(path)

    yield write
    env.reload()


EXAMPLE = """
    [raster.creation_options.GTiff]
    COMPRESS = "LZW"
    TILED = true
    BLOCKXSIZE = 512

    [vector.creation_options."ESRI Shapefile"]
    ENCODING = "UTF-8"

    [jupyter]
    show_max_shape = [30, 8]
"""


class TestEnv:
    def test_defaults_without_a_file(self, config):
        assert env.RasterConfig.get("creation.options", {}) == {}
        assert env.VectorConfig["creation.options"] == {}
        assert env.JupyterShowMaxShape == (20, 10)
        assert env.JupyterShowMaxShape[1] >= 6
        assert env.ConfigFile is None
        assert env.RasterConfig.get("nothing", "dflt") == "dflt"

    def test_example_file(self, config):
        path = config(EXAMPLE)
        raster = env.RasterConfig["creation.options"]
        assert dict(raster["GTiff"]) == {"COMPRESS": "LZW", "TILED": True, "BLOCKXSIZE": 512}
        assert env.VectorConfig["creation.options"]["ESRI Shapefile"] == {"ENCODING": "UTF-8"}
        assert env.RasterConfig.get("creation.options").get("PNG", {}) == {}
        assert env.JupyterShowMaxShape == (30, 8)
        assert env.ConfigFile == path
        # the values feed GDAL as option texts
        assert base.gdal_options(raster["GTiff"]) == ["COMPRESS=LZW", "TILED=YES", "BLOCKXSIZE=512"]

    def test_read_only(self, config):
        config(EXAMPLE)
        with pytest.raises(TypeError):
            env.RasterConfig["creation.options"] = {}
        with pytest.raises(TypeError):
            env.RasterConfig["creation.options"]["GTiff"]["COMPRESS"] = "NONE"

    def test_default_location(self, config, tmp_path):
        home = tmp_path / "xdg" / "vek"
        home.mkdir(parents=True)
        (home / "config.toml").write_text("[jupyter]\nshow_max_shape = [5, 6]\n")
        env.reload()
        assert env.JupyterShowMaxShape == (5, 6)
        assert env.ConfigFile == str(home / "config.toml")

    def test_home_config_when_xdg_unset(self, config, monkeypatch, tmp_path):
        monkeypatch.delenv("XDG_CONFIG_HOME")
        monkeypatch.setenv("HOME", str(tmp_path / "home"))
        assert env.config_path() == (str(tmp_path / "home" / ".config" / "vek" / "config.toml"), False)

    def test_cached_until_reload(self, config, tmp_path):
        path = config("[jupyter]\nshow_max_shape = [3, 7]\n")
        assert env.JupyterShowMaxShape == (3, 7)
        with open(path, "w") as fh:
            fh.write("[jupyter]\nshow_max_shape = [4, 9]\n")
        assert env.JupyterShowMaxShape == (3, 7)
        env.reload()
        assert env.JupyterShowMaxShape == (4, 9)

    def test_missing_named_file(self, config, monkeypatch, tmp_path):
        missing = str(tmp_path / "nope.toml")
        monkeypatch.setenv("VEK_CONFIG", missing)
        env.reload()
        with pytest.raises(error.ConfigFileNotFoundError) as info:
            env.RasterConfig
        assert missing in str(info.value)
        assert isinstance(info.value, FileNotFoundError)
        assert isinstance(info.value, error.ConfigError)

    def test_malformed_file(self, config):
        path = config("[raster\nCOMPRESS = ")
        with pytest.raises(error.ConfigError) as info:
            env.JupyterShowMaxShape
        assert path in str(info.value)
        assert info.value.path == path

    def test_not_utf8(self, config, monkeypatch, tmp_path):
        path = tmp_path / "bin.toml"
        path.write_bytes(b"a = '\xff'\n")
        monkeypatch.setenv("VEK_CONFIG", str(path))
        env.reload()
        with pytest.raises(error.ConfigError, match=re.escape(str(path))):
            env.VectorConfig

    @pytest.mark.parametrize(
        "text, key",
        [
            ("[jupyter]\nshow_max_shape = [0, 10]", "jupyter.show_max_shape"),
            ("[jupyter]\nshow_max_shape = [20]", "jupyter.show_max_shape"),
            ("[jupyter]\nshow_max_shape = [20, 10, 1]", "jupyter.show_max_shape"),
            ("[jupyter]\nshow_max_shape = 'big'", "jupyter.show_max_shape"),
            ("[jupyter]\nshow_max_shape = [true, 3]", "jupyter.show_max_shape"),
            ("[jupyter]\nshow_max_shape = [1.5, 3]", "jupyter.show_max_shape"),
            ("[jupyter]\nshow_max_shapes = [1, 3]", "jupyter.show_max_shapes"),
            ("jupyter = 3", "jupyter"),
            ("raster = 3", "raster"),
            ("[raster]\ncreation_options = 3", "raster.creation_options"),
            ("[raster]\ncreation_option = {}", "raster.creation_option"),
            ("[raster.creation_options]\nGTiff = 'LZW'", "raster.creation_options.GTiff"),
            ("[raster.creation_options.GTiff]\nCOMPRESS = ['LZW']", "raster.creation_options.GTiff.COMPRESS"),
            ("[vector.creation_options.GPKG]\nX = {a = 1}", "vector.creation_options.GPKG.X"),
            ("[vector.creation_options.GPKG]\nX = 1979-05-27", "vector.creation_options.GPKG.X"),
        ],
    )
    def test_invalid_values(self, config, text, key):
        path = config(text)
        with pytest.raises(error.ConfigError) as info:
            env.RasterConfig
        assert path in str(info.value) and key in str(info.value)
        assert info.value.key == key

    def test_other_tables_are_left_alone(self, config):
        config("[plotting]\ncolour = 'red'\n[jupyter]\nshow_max_shape = [2, 6]")
        assert env.JupyterShowMaxShape == (2, 6)

    def test_loaded_lazily(self):
        proc = run_python(
            """
            import sys
            import vek._algos.geo.base as base
            print("tomllib" in sys.modules)
            base.env.JupyterShowMaxShape
            """
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "False"


# ---------------------------------------------------------------- mem_temp_path


class TestMemTempPath:
    def test_unique(self):
        paths = [mem_temp_path("tif") for _ in range(2000)]
        assert len(set(paths)) == len(paths)
        assert all(base.is_mem_temp_path(p) for p in paths)
        for p in paths:
            base.forget_mem_temp_path(p)
        assert not base.is_mem_temp_path(paths[0])

    @pytest.mark.parametrize(
        "ext, suffix", [("tif", ".tif"), (".tif", ".tif"), ("aux.xml", ".aux.xml"), ("", ""), (".", "")]
    )
    def test_extension(self, ext, suffix):
        path = mem_temp_path(ext)
        assert path.startswith("/vsimem/")
        name = path.rsplit("/", 1)[1]
        assert re.fullmatch(r"[0-9a-f]{32}" + re.escape(suffix), name)

    @pytest.mark.parametrize("bad", [None, 1, b"tif", ["tif"]])
    def test_not_a_str(self, bad):
        with pytest.raises(TypeError):
            mem_temp_path(bad)

    @pytest.mark.parametrize("bad", ["a/b", "x\0"])
    def test_bad_extension(self, bad):
        with pytest.raises(ValueError):
            mem_temp_path(bad)

    def test_usable_by_gdal(self, gtiff):
        path = mem_temp_path(".tif")
        h = call_gdal_fun(_gdal.Driver_Create, gtiff, path, 2, 2, 1, 1, {})
        _gdal.delete_Dataset(h)
        try:
            assert base.path_exists(path)
        finally:
            _gdal.Unlink(path)


# ---------------------------------------------------------------- get_sel


class TestGetSel:
    @pytest.mark.parametrize(
        "count, limit, expected",
        [
            (200, 10, (((0, 5), (195, 200)), 10)),
            (6, 10, (((0, 6), (0, 0)), 6)),
            (10, 10, (((0, 10), (0, 0)), 10)),
            (11, 10, (((0, 5), (6, 11)), 10)),
            (11, 3, (((0, 2), (10, 11)), 3)),
            (7, 1, (((0, 1), (7, 7)), 1)),
            (0, 10, (((0, 0), (0, 0)), 0)),
            (-5, 10, (((0, 0), (0, 0)), 0)),
            (50, None, (((0, 50), (0, 0)), 50)),
            (50, 0, (((0, 50), (0, 0)), 50)),
            (50, -3, (((0, 50), (0, 0)), 50)),
        ],
    )
    def test_table(self, count, limit, expected):
        assert get_sel(count, limit) == expected

    @pytest.mark.parametrize("count, limit", [("10", 5), (10, "5"), (1.0, 5), (10, 5.0), (True, 5), (10, True), (None, 5)])
    def test_types(self, count, limit):
        with pytest.raises(TypeError):
            get_sel(count, limit)

    @settings(max_examples=300, deadline=None)
    @given(st.integers(-10, 500), st.one_of(st.none(), st.integers(-5, 60)))
    def test_runs_pick_head_and_tail(self, count, limit):
        (head, tail), shown = get_sel(count, limit)
        rows = list(range(*head)) + (list(range(*tail)) if tail != (0, 0) else [])
        n = max(count, 0)
        assert len(rows) == shown == (n if not limit or limit <= 0 else min(n, limit))
        if shown == n:
            assert rows == list(range(n)) and tail == (0, 0)
        else:
            first = (limit + 1) // 2
            assert rows[:first] == list(range(first))
            assert rows[first:] == list(range(n - (limit - first), n))

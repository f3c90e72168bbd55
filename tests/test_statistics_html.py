"""DriveStatistics._repr_html_: what reaches the row selection and the table
builder, in which order, and the page the real builder renders from it."""

import html.parser
import traceback
import types

import pytest

import vek._algos.geo.base as base
import vek._algos.geo.driver as driver_module

from conftest import all_driver_names, find_drivers

FIELDS = ["name", "category", "extension", "creatable", "updatable", "virtualio"]
HEAD = [""] + FIELDS
PREFIX = "vek._algos.geo.driver.DriveStatistics._repr_html_"

# Metadata of the fake drivers, cycling with the registry index, and the row
# each kind must produce: (metadata, category, extension, creatable,
# updatable, virtualio).
KINDS = [
    (dict(DCAP_RASTER="YES", DCAP_CREATE="YES", DMD_EXTENSION="tif"), "Raster", "tif", True, False, False),
    (dict(DCAP_VECTOR="yes", DCAP_UPDATE="YES", DMD_EXTENSIONS="shp dbf"), "Vector", "shp", False, True, False),
    (dict(DCAP_RASTER="YES", DCAP_VECTOR="YES", DCAP_VIRTUALIO="YES", DCAP_CREATE="yes"), "Raster/Vector", "", True, False, True),
    ({}, "", "", False, False, False),
]


def row(i):
    """The row the fake driver at index i must give."""
    _, category, extension, creatable, updatable, virtualio = KINDS[i % len(KINDS)]
    return [i, f"D{i}", category, extension, creatable, updatable, virtualio]


def assert_same(got, expected):
    """Equal, and equal in printed form too: bool is not int, tuple is not
    list, and dictionaries keep their order."""
    assert got == expected
    assert repr(got) == repr(expected)


@pytest.fixture
def registry(drv, fake_gdal):
    """registry(n): a DriveStatistics over n fake drivers named D0, D1, ..."""

    def make(n):
        for i in range(n):
            fake_gdal.add(f"D{i}", **KINDS[i % len(KINDS)][0])
        ds = drv.DriveStatistics()
        fake_gdal.calls.clear()
        return ds

    return make


@pytest.fixture
def events():
    return []


@pytest.fixture
def table(drv, events):
    """A recording builder bound as gdata.VEKHTMLTable; to_html() gives
    `table.html`, an object that is not even a str."""

    class FakeTable:
        html = object()
        made = []

        def __init__(self, *args, **kwargs):
            events.append(("VEKHTMLTable", args, kwargs))
            FakeTable.made.append(self)

        def set_base_info(self, *args, **kwargs):
            events.append(("set_base_info", *args, kwargs))

        def add_row(self, *args, **kwargs):
            events.append(("add_row", *args, kwargs))

        def add_head(self, *args, **kwargs):
            events.append(("add_head", *args, kwargs))

        def to_html(self, *args, **kwargs):
            events.append(("to_html", args, kwargs))
            return FakeTable.html

    drv.gdata = types.SimpleNamespace(VEKHTMLTable=FakeTable)
    return FakeTable


@pytest.fixture
def selections(monkeypatch, events):
    """A recording get_sel in the sibling module; append its answers, one
    per call, in order."""
    answers = []

    def get_sel(*args, **kwargs):
        events.append(("get_sel", args, kwargs))
        return answers.pop(0)

    monkeypatch.setattr(base, "get_sel", get_sel)
    return answers


def limits(drv, shape):
    drv.env = types.SimpleNamespace(JupyterShowMaxShape=shape)


def rows_added(events):
    return [e[1] for e in events if e[0] == "add_row"]


# ---- the call sequence ---------------------------------------------------------------------------


def test_worked_example(drv, registry, events, table, selections):
    ds = registry(200)
    limits(drv, (10, 6))
    columns = object()  # handed on, never looked into
    selections += [(((0, 5), (195, 200)), 10), (columns, 6)]
    result = ds._repr_html_()
    assert result is table.html
    assert_same(
        events,
        [
            ("get_sel", (200, 10), {}),
            ("get_sel", (6, 6), {}),
            ("VEKHTMLTable", (6, 1, 0, False), {}),
            ("set_base_info", {"Rasters": 100, "Vectors": 100, "Total": 200}, {}),
            *[("add_row", row(i), {}) for i in range(5)],
            ("add_row", ["..."] * 7, {}),
            *[("add_row", row(i), {}) for i in range(195, 200)],
            ("add_head", HEAD, {}),
            ("to_html", (), {}),
        ],
    )
    assert type(events[2][1][1]) is int and type(events[2][1][2]) is int


def test_each_call_is_fresh(drv, registry, events, table, selections):
    ds = registry(3)
    limits(drv, [5, 6])  # any two-item sequence
    for _ in range(2):
        selections += [(((0, 3), (0, 0)), 3), ((0, 6), 6)]
    ds._repr_html_()
    first = list(events)
    events.clear()
    ds._repr_html_()
    assert_same(events, first)
    assert len(table.made) == 2 and table.made[0] is not table.made[1]
    heads = [e for e in first if e[0] == "add_head"]
    assert heads[0][1] is not events[-2][1]


@pytest.mark.parametrize(
    "runs, shown",
    [
        (((0, 3), (0, 0)), [0, 1, 2]),
        (((0, 3), [0, 0]), [0, 1, 2, "..."]),
        (((0, 2), (7, 9)), [0, 1, "...", 7, 8]),
        (((0, 0), (8, 10)), ["...", 8, 9]),
        (((1, 6, 2), (0, 0)), [1, 3, 5]),
        (((3,), (0, 0, 1)), [0, 1, 2, "..."]),
        (((2,), (9, 7)), [0, 1, "..."]),
        ([[0, 1], (-2, 0)], [0, "...", -2, -1]),
        ({0: (0, 2), 1: (0, 0)}, [0, 1]),
        ({0: iter([0, 2]), 1: (n for n in (9, 10))}, [0, 1, "...", 9]),
    ],
    ids=[
        "no-trailing",
        "list-0-0",
        "both-runs",
        "trailing-only",
        "step",
        "one-arg-and-0-0-1",
        "empty-trailing",
        "negative",
        "mapping",
        "iterables",
    ],
)
def test_row_selection(drv, registry, events, table, selections, runs, shown):
    ds = registry(10)
    limits(drv, (4, 6))
    selections += [(runs, 4), ((0, 6), 6)]
    ds._repr_html_()
    expected = [["..."] * 7 if i == "..." else row(i % 10) for i in shown]
    for cells, i in zip(expected, shown):
        if i != "...":
            cells[0] = i  # the index as get_sel gave it
    assert_same(rows_added(events), expected)
    assert [e[0] for e in events[-2:]] == ["add_head", "to_html"]


def test_selection_items_read_in_order(drv, registry, events, table, selections):
    class Runs:
        def __getitem__(self, k):
            events.append(("item", k))
            return {0: (0, 2), 1: (4, 5)}[k]

        def __len__(self):
            raise AssertionError("only items 0 and 1 are read")

    ds = registry(5)
    limits(drv, (3, 6))
    selections += [(Runs(), 3), ((0, 6), 6)]
    ds._repr_html_()
    kinds = [(e[0], e[1][0] if e[0] == "add_row" else e[1]) for e in events[3:-2]]
    assert kinds == [
        ("set_base_info", {"Rasters": 3, "Vectors": 2, "Total": 5}),
        ("item", 0),
        ("add_row", 0),
        ("add_row", 1),
        ("item", 1),
        ("add_row", "..."),
        ("add_row", 4),
    ]


@pytest.mark.parametrize("l_fields", [0, 3, 6, 9])
def test_filler_and_builder_follow_column_count(drv, registry, events, table, selections, l_fields):
    ds = registry(4)
    limits(drv, (2, l_fields))
    selections += [(((0, 1), (3, 4)), 2), ("cols", l_fields)]
    ds._repr_html_()
    assert_same(events[1], ("get_sel", (6, l_fields), {}))
    assert_same(events[2], ("VEKHTMLTable", (l_fields, 1, 0, False), {}))
    # Rows always carry the index and all six fields, whatever the count.
    assert_same(rows_added(events), [row(0), ["..."] * (1 + l_fields), row(3)])


@pytest.mark.parametrize("l_fields", ["3", 2.0, None])
def test_column_count_must_add_to_an_int_only_for_the_filler(drv, registry, events, table, selections, l_fields):
    ds = registry(4)
    limits(drv, (9, 9))
    selections += [(((0, 4), (0, 0)), 4), ("cols", l_fields)]
    assert ds._repr_html_() is table.html
    assert events[2][1][0] is l_fields
    events.clear()
    selections += [(((0, 1), (3, 4)), 2), ("cols", l_fields)]
    with pytest.raises(TypeError):
        ds._repr_html_()
    assert rows_added(events) == [row(0)]


def test_empty_registry(drv, registry, events, table, selections):
    ds = registry(0)
    limits(drv, (20, 10))
    selections += [(((0, 0), (0, 0)), 0), (((0, 6), (0, 0)), 6)]
    assert ds._repr_html_() is table.html
    assert_same(
        events,
        [
            ("get_sel", (0, 20), {}),
            ("get_sel", (6, 10), {}),
            ("VEKHTMLTable", (6, 1, 0, False), {}),
            ("set_base_info", {"Rasters": 0, "Vectors": 0, "Total": 0}, {}),
            ("add_head", HEAD, {}),
            ("to_html", (), {}),
        ],
    )


def test_summary_uses_the_lists_and_the_length(drv, registry, events, table, selections):
    ds = registry(2)
    seen = []

    class Counted(type(ds)):
        rasters = property(lambda self: seen.append("rasters") or [1, 2, 3])
        vectors = property(lambda self: seen.append("vectors") or [4])

        def __len__(self):
            seen.append("len")
            return 2

    ds.__class__ = Counted
    limits(drv, (5, 6))
    selections += [(((0, 2), (0, 0)), 2), ((0, 6), 6)]
    ds._repr_html_()
    assert_same(events[3], ("set_base_info", {"Rasters": 3, "Vectors": 1, "Total": 2}, {}))
    assert seen == ["len", "rasters", "vectors", "len"]


# ---- failures --------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "shape, answers, get_sel_calls",
    [
        ((10,), [], 0),
        ((10, 6, 1), [], 0),
        ((10, 6), [((((0, 1), (0, 0)),))], 1),
        ((10, 6), [(((0, 1), (0, 0)), 1, 1)], 1),
        ((10, 6), [(((0, 1), (0, 0)), 1), ((0, 6),)], 2),
        ((10, 6), [(((0, 1), (0, 0)), 1), ((0, 6), 6, 0)], 2),
    ],
    ids=["limits-1", "limits-3", "rows-1", "rows-3", "cols-1", "cols-3"],
)
def test_pairs_of_wrong_length_fail_before_the_builder(
    drv, registry, events, table, selections, shape, answers, get_sel_calls
):
    ds = registry(3)
    limits(drv, shape)
    selections += answers
    with pytest.raises(ValueError, match="values to unpack"):
        ds._repr_html_()
    assert [e[0] for e in events] == ["get_sel"] * get_sel_calls


@pytest.mark.parametrize(
    "runs, added",
    [(((0, 4), (0, 0)), [0, 1, 2]), (((0, 1), (2, 5)), [0, "...", 2]), (((-4, 0), (0, 0)), [])],
    ids=["leading", "trailing", "negative"],
)
def test_index_outside_registry_raises_index_error(drv, registry, events, table, selections, runs, added):
    ds = registry(3)
    limits(drv, (9, 6))
    selections += [(runs, 3), ((0, 6), 6)]
    with pytest.raises(IndexError):
        ds._repr_html_()
    assert [r[0] for r in rows_added(events)] == added
    assert events[-1][0] == "add_row" or added == []
    assert all(e[0] not in ("add_head", "to_html") for e in events)


def test_inner_functions_appear_in_the_traceback(drv, registry, fake_gdal, events, table, selections):
    ds = registry(6)
    bad = fake_gdal.drivers[4]
    boom = LookupError("name unreadable")
    real = fake_gdal.Driver_ShortName_get

    def name(handle):
        if handle is bad:
            raise boom
        return real(handle)

    fake_gdal.Driver_ShortName_get = name
    limits(drv, (4, 6))
    selections += [(((0, 2), (4, 6)), 4), ((0, 6), 6)]
    with pytest.raises(LookupError) as caught:
        ds._repr_html_()
    assert caught.value is boom
    names = [f.name for f in traceback.extract_tb(boom.__traceback__)]
    ours = [n for n in names if n.startswith(PREFIX)]
    assert ours == [PREFIX, PREFIX + ".<locals>.set_items", PREFIX + ".<locals>.get_fields"]
    assert [r[0] for r in rows_added(events)] == [0, 1, "..."]


@pytest.mark.parametrize("method", ["__init__", "set_base_info", "add_row", "add_head", "to_html"])
def test_builder_failure_propagates_unchanged(drv, registry, events, table, selections, method):
    ds = registry(2)
    boom = RuntimeError(method)

    def fail(*args):
        raise boom

    setattr(table, method, fail)
    limits(drv, (5, 6))
    selections += [(((0, 2), (0, 0)), 2), ((0, 6), 6)]
    with pytest.raises(RuntimeError) as caught:
        ds._repr_html_()
    assert caught.value is boom
    assert PREFIX in [f.name for f in traceback.extract_tb(boom.__traceback__)]


def test_get_sel_is_imported_at_each_call(drv, monkeypatch, registry, events, table):
    ds = registry(2)
    limits(drv, (5, 6))
    for tag in ("first", "second"):
        monkeypatch.setattr(base, "get_sel", lambda n, lim, tag=tag: events.append(tag) or (((0, n), (0, 0)), n))
        ds._repr_html_()
    assert [e for e in events if isinstance(e, str)] == ["first", "first", "second", "second"]


def test_missing_get_sel_raises_import_error_first(drv, monkeypatch, registry, events, table):
    ds = registry(2)
    drv.env = types.SimpleNamespace()  # would fail later, when the limits are read
    monkeypatch.delattr(base, "get_sel")
    with pytest.raises(ImportError, match="get_sel"):
        ds._repr_html_()
    assert events == []


# ---- the page rendered by the real row selection and table builder -------------------------------


class Page(html.parser.HTMLParser):
    """Collects the summary spans and the table's head and body rows; a cell
    is (tag, attributes, text)."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.counts, self.head, self.body = [], [], []
        self._rows = None
        self._cell = None
        self._in_counts = 0
        self.feed(text)
        self.close()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "div" and attrs.get("class") == "vek-h-counts":
            self._in_counts = 1
        elif tag == "span" and self._in_counts:
            self.counts.append("")
        elif tag == "thead":
            self._rows = self.head
        elif tag == "tbody":
            self._rows = self.body
        elif tag == "tr" and self._rows is not None:
            self._rows.append([])
        elif tag in ("td", "th") and self._rows is not None:
            self._cell = [tag, attrs, ""]

    def handle_endtag(self, tag):
        if tag == "div":
            self._in_counts = 0
        elif tag in ("thead", "tbody"):
            self._rows = None
        elif tag in ("td", "th") and self._cell is not None:
            self._rows[-1].append(tuple(self._cell))
            self._cell = None

    def handle_data(self, data):
        if self._cell is not None:
            self._cell[2] += data
        elif self._in_counts and self.counts:
            self.counts[-1] += data


def texts(cells):
    return [c[2] for c in cells]


def full_row(ds, i):
    d = ds[i]
    return [str(i), d.name, d.category, d.extension, str(d.creatable), str(d.updatable), str(d.virtualio)]


@pytest.fixture(scope="module")
def stats():
    return driver_module.DriveStatistics()


@pytest.mark.parametrize("max_rows", [1, 4, 7, 10**6])
def test_real_page_rows_follow_the_row_limit(drv, stats, max_rows):
    limits(drv, (max_rows, 10))
    page = Page(stats._repr_html_())
    n = len(stats)
    (lead, trail), _ = base.get_sel(n, max_rows)
    indexes = list(range(*lead))
    if trail != (0, 0):
        indexes += ["..."] + list(range(*trail))
    assert len(page.body) == (n if n <= max_rows else max_rows + 1)
    assert [texts(r) for r in page.head] == [HEAD]
    expected = [["..."] * 7 if i == "..." else full_row(stats, i) for i in indexes]
    assert [texts(r) for r in page.body] == expected
    assert [all_driver_names()[int(r[0][2])] for r in page.body if r[0][2] != "..."] == [
        r[1] for r in expected if r[0] != "..."
    ]
    assert page.counts == [
        f"Rasters: {len(find_drivers(DCAP_RASTER=True))}",
        f"Vectors: {len(find_drivers(DCAP_VECTOR=True))}",
        f"Total: {n}",
    ]


@pytest.mark.parametrize("max_cols", [1, 3, 5, 6, 10])
def test_real_page_cuts_columns_below_six(drv, stats, max_cols):
    limits(drv, (4, max_cols))
    page = Page(stats._repr_html_())
    l_fields = base.get_sel(6, max_cols)[1]
    shown = 1 + min(l_fields, 6)
    hidden = 6 - shown + 1
    assert len(page.body) == 5  # two leading rows, the filler, two trailing rows
    filler = page.body[2]
    assert texts(filler)[: 1 + l_fields] == ["..."] * (1 + l_fields)
    for cells, full in zip(page.head + page.body, [HEAD] + [None] * 5):
        if cells is filler:
            continue
        full = full or full_row(stats, int(cells[0][2]))
        assert texts(cells[:shown]) == full[:shown]
        if hidden > 0:
            assert len(cells) == shown + 1
            tag, attrs, text = cells[-1]
            assert attrs.get("class") == "vek-h-cut" and text == "\u2026"
            noun = "column" if hidden == 1 else "columns"
            assert attrs.get("title") == f"{hidden} more {noun} not shown"
        else:
            assert len(cells) == 7
    if hidden > 0:
        # The filler has exactly the shown width, so its mark cell stays empty.
        assert len(filler) == shown + 1 and filler[-1][2] == "" and not filler[-1][1]
    assert ('class="vek-h-cut"' in stats._repr_html_()) == (hidden > 0)


def test_real_builder_escapes_driver_metadata(drv, fake_gdal):
    names = ["<b>bold</b>", "a&b", '"quoted"', "<script>alert(1)</script>"]
    for name in names:
        fake_gdal.add(name, DCAP_RASTER="YES", DMD_EXTENSION="<i>")
    ds = drv.DriveStatistics()
    limits(drv, (10, 10))
    text = ds._repr_html_()
    for raw in ["<b>bold</b>", "<script>", "<i>", "a&b", '"quoted"']:
        assert raw not in text
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in text
    page = Page(text)
    assert [texts(r)[:4] for r in page.body] == [[str(i), n, "Raster", "<i>"] for i, n in enumerate(names)]

"""DriveStatistics._repr_html_: what reaches the row selection and the table
builder, in which order, and the page the real builder renders from it."""

import types
import xml.etree.ElementTree as ET

import pytest

import vek._algos.geo.base as base
import vek._algos.geo.driver as driver_module
from conftest import all_driver_names, find_drivers, metadata
from fakes import fail_for, raiser, tb_names

FIELDS = ["name", "category", "extension", "creatable", "updatable", "virtualio"]
HEAD = [""] + FIELDS
PREFIX = "vek._algos.geo.driver.DriveStatistics._repr_html_"

# Metadata of the fake drivers, cycling with the registry index, and the row
# fields each kind must produce (category, extension, creatable, updatable, virtualio).
KINDS = [
    (dict(DCAP_RASTER="YES", DCAP_CREATE="YES", DMD_EXTENSION="tif"), ["Raster", "tif", True, False, False]),
    (dict(DCAP_VECTOR="yes", DCAP_UPDATE="YES", DMD_EXTENSIONS="shp dbf"), ["Vector", "shp", False, True, False]),
    (dict(DCAP_RASTER="YES", DCAP_VECTOR="YES", DCAP_VIRTUALIO="YES", DCAP_CREATE="yes"),
     ["Raster/Vector", "", True, False, True]),
    ({}, ["", "", False, False, False]),
]
FILLER = "..."


def row(i):
    """The row of the fake driver at index i (a filler row for "...")."""
    return [FILLER] * 7 if i == FILLER else [i, f"D{i}"] + KINDS[i % len(KINDS)][1]


def assert_same(got, expected):
    """Equal, also in printed form: bool is not int, tuple is not list, dicts keep their order."""
    assert got == expected and repr(got) == repr(expected)


@pytest.fixture
def render(drv, fake_gdal, monkeypatch):
    """render(n, shape, *answers): a DriveStatistics over n fake drivers D0, D1, ... displayed with the limits
    `shape` and a recording get_sel giving `answers` in turn; returns (statistics, events). The recording
    builder's to_html() gives `render.html`, not even a str; `render.made` lists the builders made."""
    events, answers = [], []

    class FakeTable:
        def __init__(self, *args, **kwargs):
            events.append(("VEKHTMLTable", args, kwargs))
            make.made.append(self)

        def __getattr__(self, method):
            return lambda *args, **kwargs: events.append((method, args, kwargs)) or (
                make.html if method == "to_html" else None)

    def get_sel(*args, **kwargs):
        events.append(("get_sel", args, kwargs))
        return answers.pop(0)

    def make(n, shape, *replies):
        for i in range(n):
            fake_gdal.add(f"D{i}", **KINDS[i % len(KINDS)][0])
        ds = drv.DriveStatistics()
        answers.extend(replies)
        limits(drv, shape)
        return ds, events

    drv.gdata = types.SimpleNamespace(VEKHTMLTable=FakeTable)
    monkeypatch.setattr(base, "get_sel", get_sel)
    make.html, make.made, make.table, make.answers = object(), [], FakeTable, answers
    return make


def limits(drv, shape):
    drv.env = types.SimpleNamespace(JupyterShowMaxShape=shape)


def rows_added(events):
    return [e[1][0] for e in events if e[0] == "add_row"]


def calls(n_rows, l_fields, limit, base_infos, rows):
    return [("get_sel", (n_rows, limit[0]), {}), ("get_sel", (6, limit[1]), {}),
            ("VEKHTMLTable", (l_fields, 1, 0, False), {}), ("set_base_info", (base_infos,), {}),
            *[("add_row", (row(i),), {}) for i in rows], ("add_head", (HEAD,), {}), ("to_html", (), {})]


def test_worked_example(render):
    columns = object()  # handed on, never looked into
    ds, events = render(200, (10, 6), (((0, 5), (195, 200)), 10), (columns, 6))
    assert ds._repr_html_() is render.html
    assert_same(events, calls(200, 6, (10, 6), {"Rasters": 100, "Vectors": 100, "Total": 200},
                              [0, 1, 2, 3, 4, FILLER, 195, 196, 197, 198, 199]))
    first = list(events)  # each call starts afresh: new builder, new lists, same calls
    events.clear()
    render.answers += [(((0, 5), (195, 200)), 10), (columns, 6)]
    ds._repr_html_()
    assert_same(events, first)
    assert len(render.made) == 2 and render.made[0] is not render.made[1] and events[-2][1][0] is not first[-2][1][0]


def test_empty_registry(render):
    ds, events = render(0, (20, 10), (((0, 0), (0, 0)), 0), (((0, 6), (0, 0)), 6))
    assert ds._repr_html_() is render.html
    assert_same(events, calls(0, 6, (20, 10), {"Rasters": 0, "Vectors": 0, "Total": 0}, []))


@pytest.mark.parametrize("runs, shown", [
    (((0, 3), (0, 0)), [0, 1, 2]),
    (((0, 3), [0, 0]), [0, 1, 2, FILLER]),
    (((0, 2), (7, 9)), [0, 1, FILLER, 7, 8]),
    (((0, 0), (8, 10)), [FILLER, 8, 9]),
    (((1, 6, 2), (0, 0)), [1, 3, 5]),
    (((3,), (0, 0, 1)), [0, 1, 2, FILLER]),
    (((2,), (9, 7)), [0, 1, FILLER]),
    ([[0, 1], (-2, 0)], [0, FILLER, -2, -1]),
    ({0: (0, 2), 1: (0, 0)}, [0, 1]),
    ({0: iter([0, 2]), 1: (n for n in (9, 10))}, [0, 1, FILLER, 9]),
], ids=["no-trailing", "list-0-0", "both-runs", "trailing-only", "step", "one-arg-and-0-0-1", "empty-trailing",
        "negative", "mapping", "iterables"])
def test_row_selection(render, runs, shown):
    ds, events = render(10, (4, 6), (runs, 4), ((0, 6), 6))
    ds._repr_html_()
    expected = [row(i) if i == FILLER else [i] + row(i % 10)[1:] for i in shown]  # the index as get_sel gave it
    assert_same(rows_added(events), expected)
    assert [e[0] for e in events[-2:]] == ["add_head", "to_html"]


def test_selection_items_read_in_order(render):
    class Runs:
        def __getitem__(self, k):
            events.append(("item", k))
            return {0: (0, 2), 1: (4, 5)}[k]

        def __len__(self):
            raise AssertionError("only items 0 and 1 are read")

    ds, events = render(5, (3, 6), (Runs(), 3), ((0, 6), 6))
    ds._repr_html_()
    assert [(e[0], e[1][0][0] if e[0] == "add_row" else e[1]) for e in events[3:-2]] == [
        ("set_base_info", ({"Rasters": 3, "Vectors": 2, "Total": 5},)),
        ("item", 0), ("add_row", 0), ("add_row", 1), ("item", 1), ("add_row", FILLER), ("add_row", 4),
    ]


@pytest.mark.parametrize("l_fields", [0, 3, 6, 9])
def test_filler_and_builder_follow_column_count(render, l_fields):
    ds, events = render(4, (2, l_fields), (((0, 1), (3, 4)), 2), ("cols", l_fields))
    ds._repr_html_()
    assert_same(events[1:3], [("get_sel", (6, l_fields), {}), ("VEKHTMLTable", (l_fields, 1, 0, False), {})])
    # Rows always carry the index and all six fields, whatever the count.
    assert_same(rows_added(events), [row(0), [FILLER] * (1 + l_fields), row(3)])


@pytest.mark.parametrize("l_fields", ["3", 2.0, None])
def test_column_count_must_add_to_an_int_only_for_the_filler(render, l_fields):
    ds, events = render(4, (9, 9), (((0, 4), (0, 0)), 4), ("cols", l_fields), (((0, 1), (3, 4)), 2), ("cols", l_fields))
    assert ds._repr_html_() is render.html and events[2][1][0] is l_fields
    events.clear()
    with pytest.raises(TypeError):
        ds._repr_html_()
    assert rows_added(events) == [row(0)]


def test_summary_uses_the_lists_and_the_length(render):
    ds, events = render(2, (5, 6), (((0, 2), (0, 0)), 2), ((0, 6), 6))
    seen = []
    ds.__class__ = type("Counted", (type(ds),), {
        "rasters": property(lambda self: seen.append("rasters") or [1, 2, 3]),
        "vectors": property(lambda self: seen.append("vectors") or [4]),
        "__len__": lambda self: seen.append("len") or 2})
    ds._repr_html_()
    assert_same(events[3], ("set_base_info", ({"Rasters": 3, "Vectors": 1, "Total": 2},), {}))
    assert seen == ["len", "rasters", "vectors", "len"]


@pytest.mark.parametrize("shape, answers, get_sel_calls", [
    ((10,), [], 0),
    ((10, 6, 1), [], 0),
    ((10, 6), [((((0, 1), (0, 0)),))], 1),
    ((10, 6), [(((0, 1), (0, 0)), 1, 1)], 1),
    ((10, 6), [(((0, 1), (0, 0)), 1), ((0, 6),)], 2),
    ((10, 6), [(((0, 1), (0, 0)), 1), ((0, 6), 6, 0)], 2),
], ids=["limits-1", "limits-3", "rows-1", "rows-3", "cols-1", "cols-3"])
def test_pairs_of_wrong_length_fail_before_the_builder(render, shape, answers, get_sel_calls):
    ds, events = render(3, shape, *answers)
    with pytest.raises(ValueError, match="values to unpack"):
        ds._repr_html_()
    assert [e[0] for e in events] == ["get_sel"] * get_sel_calls


@pytest.mark.parametrize("runs, added", [(((0, 4), (0, 0)), [0, 1, 2]), (((0, 1), (2, 5)), [0, FILLER, 2]),
                                         (((-4, 0), (0, 0)), [])], ids=["leading", "trailing", "negative"])
def test_index_outside_registry_raises_index_error(render, runs, added):
    ds, events = render(3, (9, 6), (runs, 3), ((0, 6), 6))
    with pytest.raises(IndexError):
        ds._repr_html_()
    assert [r[0] for r in rows_added(events)] == added
    assert all(e[0] not in ("add_head", "to_html") for e in events)


def test_inner_functions_appear_in_the_traceback(render, fake_gdal):
    ds, events = render(6, (4, 6), (((0, 2), (4, 6)), 4), ((0, 6), 6))
    boom = LookupError("name unreadable")
    fail_for(fake_gdal, fake_gdal.drivers[4], boom, ["Driver_ShortName_get"])
    with pytest.raises(LookupError) as caught:
        ds._repr_html_()
    assert caught.value is boom
    assert [n for n in tb_names(boom) if n.startswith(PREFIX)] == [
        PREFIX, PREFIX + ".<locals>.set_items", PREFIX + ".<locals>.get_fields"]
    assert [r[0] for r in rows_added(events)] == [0, 1, FILLER]


@pytest.mark.parametrize("method", ["__init__", "set_base_info", "add_row", "add_head", "to_html"])
def test_builder_failure_propagates_unchanged(render, method):
    ds, _ = render(2, (5, 6), (((0, 2), (0, 0)), 2), ((0, 6), 6))
    boom = RuntimeError(method)
    setattr(render.table, method, raiser(boom))
    with pytest.raises(RuntimeError) as caught:
        ds._repr_html_()
    assert caught.value is boom and PREFIX in tb_names(boom)


def test_get_sel_is_imported_at_each_call(drv, monkeypatch, render):
    ds, events = render(2, (5, 6))
    for tag in ("first", "second"):
        monkeypatch.setattr(base, "get_sel", lambda n, lim, tag=tag: events.append(tag) or (((0, n), (0, 0)), n))
        ds._repr_html_()
    assert [e for e in events if isinstance(e, str)] == ["first", "first", "second", "second"]
    events.clear()
    drv.env = types.SimpleNamespace()  # would fail later, when the limits are read
    monkeypatch.delattr(base, "get_sel")
    with pytest.raises(ImportError, match="get_sel"):
        ds._repr_html_()
    assert events == []


def parse(text):
    """The rendered page: head rows, body rows (cell texts) and the summary counts."""
    root = ET.fromstring("<root>" + text.replace("<br>", "<br/>") + "</root>")
    rows = [[["".join(c.itertext()) for c in tr] for tr in root.findall(f".//{p}/tr")] for p in ("thead", "tbody")]
    return rows + [["".join(span.itertext()) for span in root.find(".//div[@class='vek-h-counts']")]]


WRITE_ITEMS = {"create": "DCAP_CREATE", "copy": "DCAP_CREATECOPY", "translate": "DCAP_VECTOR_TRANSLATE_FROM"}
FLAG_ITEMS = {4: "DCAP_CREATE", 6: "DCAP_UPDATE", 7: "DCAP_VIRTUALIO"}  # the shown columns of three flags


def full_row(ds, i):
    """The row GDAL's metadata asks for: how the driver writes after "creatable", and "unknown" for a
    capability whose item no registered driver sets."""
    d = ds[i]
    how = ", ".join(m for m, item in WRITE_ITEMS.items() if metadata(d.name, item).upper() == "YES")
    cells = [str(i), d.name, d.category, d.extension, str(d.creatable), how, str(d.updatable), str(d.virtualio)]
    return ["unknown" if k in FLAG_ITEMS and not any(metadata(n, FLAG_ITEMS[k]) for n in all_driver_names())
            else c for k, c in enumerate(cells)]


@pytest.mark.parametrize("max_rows, max_cols", [(1, 10), (4, 4), (7, 3), (10**6, 6)])
def test_real_page_rows_follow_the_limits(drv, max_rows, max_cols):
    stats = driver_module.DriveStatistics()
    limits(drv, (max_rows, max_cols))
    head, body, counts = parse(stats._repr_html_())
    n, l_fields = len(stats), min(max_cols, 6)
    shown = 1 + l_fields + (l_fields >= 4)  # "writes" shows where "creatable" does
    cut = ["\u2026"] if shown < 8 else []
    (lead, trail), _ = base.get_sel(n, max_rows)
    indexes = list(range(*lead)) + ([FILLER] + list(range(*trail)) if trail != (0, 0) else [])
    assert len(body) == (n if n <= max_rows else max_rows + 1)
    assert head == [(HEAD[:5] + ["writes"] + HEAD[5:])[:shown] + cut]
    assert body == [[FILLER] * shown + [""] * len(cut) if i == FILLER else full_row(stats, i)[:shown] + cut
                    for i in indexes]
    split = [len(find_drivers(DCAP_RASTER=r, DCAP_VECTOR=v)) for r, v in ((1, 0), (0, 1), (1, 1), (0, 0))]
    assert sum(split) == n  # each driver counted once
    assert counts == [f"{n} drivers: {split[0]} raster only, {split[1]} vector only, {split[2]} both"
                      + (f", {split[3]} of neither kind" if split[3] else "")]


def test_counts_and_names_not_the_registrys_stay_as_given():
    table = base.gdata.VEKHTMLTable(6, 1, 0, False)
    table.set_base_info({"Rasters": 1, "Vectors": 1, "Total": 1})
    table.add_row([9, "NoSuchDriver", "", "", False, False, False])
    table.add_head(HEAD)
    assert parse(table.to_html())[1:] == [[["9", "NoSuchDriver", "", "", "False", "", "False", "False"]],
                                          ["Rasters: 1", "Vectors: 1", "Total: 1"]]

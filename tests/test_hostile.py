"""Hostile inputs: odd objects, junk module globals, subclasses that raise,
odd option names and values, malicious XML and odd indexes. Each one is
answered with a clear exception or the documented result, never a crash
or a wrong result.

The property-based part throws generated objects and texts at the front
doors (_to_driver_shadow_, read_xml_to_dict, Driver(...),
DriveStatistics()[...], set_creation_options(**...)); VEK_HYPOTHESIS_EXAMPLES
sets the number of examples per property (200 here, 5,000 under
`make stress`).
"""

import math
import os
import sys
import xml.etree.ElementTree as ET

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from osgeo import _gdal

MARKER = "GDALDriverShadow *"
EXAMPLES = int(os.environ.get("VEK_HYPOTHESIS_EXAMPLES", "200"))
SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
BIG = 10 * 1024 * 1024


# ---- odd objects ------------------------------------------------------------------------------


class ReprRaises:
    def __repr__(self):
        raise ValueError("repr failed")


class ReprNotStr:
    def __repr__(self):
        return 42


class ReprHuge:
    def __repr__(self):
        return "x" * BIG


class ReprHugeMarker:
    def __repr__(self):
        return "x" * BIG + MARKER


class ThisRaises:
    @property
    def this(self):
        raise KeyError("this failed")


class ThisMissing:
    @property
    def this(self):
        raise AttributeError("this")


class BoolRaises:
    def __bool__(self):
        raise ZeroDivisionError("truth failed")


class ThisOdd:
    def __init__(self, this):
        self.this = this


class OddStr(str):
    """A str that refuses to be hashed, compared or formatted."""

    def __hash__(self):
        raise TypeError("no hash")

    def __eq__(self, other):
        raise TypeError("no eq")

    def __format__(self, format_spec):
        raise LookupError("no format")


class FormatNotStr(str):
    def __format__(self, format_spec):
        return 42


class StrToOdd:
    def __str__(self):
        return OddStr("gtiff")


class OddInt(int):
    """An int whose __index__ and __format__ fail: the value is used as an
    int (the binding and list indexing read it directly)."""

    def __index__(self):
        raise ValueError("no index")

    def __format__(self, format_spec):
        raise ValueError("no format")

    def __eq__(self, other):
        raise ValueError("no eq")

    __hash__ = int.__hash__


@pytest.fixture(scope="module")
def stats():
    import vek._algos.geo.driver as drv

    return drv.DriveStatistics()


def gtiff():
    return _gdal.GetDriverByName("GTiff")


def index_of(name):
    names = [_gdal.Driver_ShortName_get(_gdal.GetDriver(i)) for i in range(_gdal.GetDriverCount())]
    return names.index(name)


# Each row: input, what _to_driver_shadow_ gives, what Driver(...) gives, what
# DriveStatistics()[...] gives. An exception class means that exception; a
# str is the driver short name; "none" is None, "self" the input itself,
# "this" its `this`.
FE = "FormatError"
ODD_OBJECTS = [
    ("__repr__ raises", ReprRaises, ValueError, ValueError, ValueError),
    ("__repr__ returns an int", ReprNotStr, TypeError, TypeError, TypeError),
    ("__repr__ returns 10 MB", ReprHuge, "none", FE, FE),
    ("__repr__ returns 10 MB ending in the marker", ReprHugeMarker, "self", "self", FE),
    ("`this` raises", ThisRaises, KeyError, KeyError, FE),
    ("`this` raises AttributeError", ThisMissing, "none", FE, FE),
    ("`this` whose truth raises", lambda: ThisOdd(BoolRaises()), ZeroDivisionError, ZeroDivisionError, FE),
    ("`this` whose repr raises", lambda: ThisOdd(ReprRaises()), ValueError, ValueError, FE),
    ("`this` false", lambda: ThisOdd(0), "none", FE, FE),
    ("`this` a handle", lambda: ThisOdd(gtiff()), "this", "GTiff", FE),
    ("str subclass, odd hash/eq/format, known", lambda: OddStr("GTiff"), "none", "GTiff", "GTiff"),
    ("str subclass, odd hash/eq/format, unknown", lambda: OddStr("NoSuch"), "none", LookupError, LookupError),
    ("str subclass, __format__ gives an int", lambda: FormatNotStr("NoSuch"), "none", TypeError, TypeError),
    ("object whose str() is an odd str", StrToOdd, "none", FE, "GTiff"),
    ("int subclass, odd index/format/eq", lambda: OddInt(index_of("GTiff")), "none", "GTiff", "GTiff"),
    ("None", lambda: None, "none", FE, FE),
    ("float", lambda: 2.5, "none", FE, FE),
    ("nan", lambda: math.nan, "none", FE, FE),
    ("bytes", lambda: b"GTiff", "none", FE, FE),
    ("slice", lambda: slice(1, 3), "none", FE, FE),
    ("numpy int64", lambda: np.int64(index_of("GTiff")), "none", FE, FE),
    ("True", lambda: True, "none", "index 1", "index 1"),
    ("-1", lambda: -1, "none", FE, "index -1"),
    ("10**30", lambda: 10**30, "none", OverflowError, IndexError),
    ("a type", lambda: ReprRaises, TypeError, TypeError, FE),
]


def expect(drv, value, want, call):
    if isinstance(want, str) and want == FE:
        want = drv.error.FormatError
    if isinstance(want, type):
        with pytest.raises(want):
            call()
        return
    result = call()
    if want == "none":
        assert result is None
    elif want == "self":
        assert result is value or getattr(result, "_driver", None) is value
    elif want == "this":
        assert result is value.this
    elif want.startswith("index "):
        index = int(want.split()[1])
        assert result.name == _gdal.Driver_ShortName_get(_gdal.GetDriver(index % _gdal.GetDriverCount()))
    else:
        assert result.name == want


@pytest.mark.parametrize("label, make, shadow, driver, lookup", ODD_OBJECTS, ids=[row[0] for row in ODD_OBJECTS])
def test_odd_object_table(drv, stats, label, make, shadow, driver, lookup):
    value = make()
    expect(drv, value, shadow, lambda: drv._to_driver_shadow_(value))
    expect(drv, value, driver, lambda: drv.Driver(value))
    expect(drv, value, lookup, lambda: stats[value])


def outcome(call):
    try:
        return "ok", call()
    except Exception as exc:  # compared below
        return "raised", exc


@pytest.mark.parametrize("label, make", [(row[0], row[1]) for row in ODD_OBJECTS], ids=[row[0] for row in ODD_OBJECTS])
@pytest.mark.parametrize("cls_name, kind", [("RasterDriver", "raster"), ("VectorDriver", "vector")])
def test_odd_objects_as_raster_and_vector_driver_names(drv, label, make, cls_name, kind):
    """The subclasses fail where Driver fails, with the same exception;
    past it, a driver of the other kind is refused with the object's own
    text in the message (or the error of making that text)."""
    value = make()
    base_kind, base = outcome(lambda: drv.Driver(value))
    got_kind, got = outcome(lambda: getattr(drv, cls_name)(value))
    if base_kind == "raised":
        assert got_kind == "raised" and type(got) is type(base)
        return
    flag_kind, flag = outcome(lambda: getattr(base, "is_" + kind))
    if flag_kind == "raised":  # a fake handle that the binding refuses
        assert got_kind == "raised" and type(got) is type(flag)
        return
    if flag:
        assert got_kind == "ok" and got.name == base.name
        return
    assert got_kind == "raised"
    text_kind, text = outcome(lambda: format(value, ""))
    if text_kind == "raised":
        assert type(got) is type(text)
    else:
        assert isinstance(got, drv.error.FormatError)
        assert str(got).startswith(f'"{text}" is not a {kind} driver')


def test_huge_repr_message_is_whole(drv):
    with pytest.raises(drv.error.FormatError) as info:
        drv.Driver(ReprHuge())
    assert len(str(info.value)) == len("Driver(") + BIG + len(") is incorrect!")


# ---- module globals deleted or rebound to junk ---------------------------------------------------


def create_raw(drv, path):
    """RasterDriver._create_ at `path` (None: in memory); the bare handle
    it returns is closed and its file removed at once."""
    handle = drv.RasterDriver("GTiff")._create_(path, 1, 1, 1)
    name = _gdal.MajorObject_GetDescription(handle)
    _gdal.delete_Dataset(handle)
    _gdal.Unlink(name)


def uses(name):
    """A call of the module that looks `name` up, and what a junk value
    (the int 42) makes of it."""
    table = {
        "_gdal": (lambda drv: drv.Driver("GTiff"), AttributeError),
        "error": (lambda drv: drv.Driver("NoSuchFormat"), AttributeError),
        "gdata": (lambda drv: drv.Driver("GTiff")._repr_html_(), AttributeError),
        "dtypes": (lambda drv: create_raw(drv, "/vsimem/hostile/x.tif"), AttributeError),
        "call_gdal_fun": (lambda drv: create_raw(drv, "/vsimem/hostile/x.tif"), TypeError),
        "xet": (lambda drv: drv.read_xml_to_dict("<a/>"), AttributeError),
        "env": (lambda drv: drv.Driver("GTiff").creation_options_info, AttributeError),
        "mem_temp_path": (lambda drv: create_raw(drv, None), TypeError),
        "Driver": (lambda drv: drv.RasterDriver("GTiff"), TypeError),
        "_to_driver_shadow_": (lambda drv: drv.VectorDriver("GPKG"), TypeError),
        "read_xml_to_dict": (lambda drv: drv.Driver("GTiff").open_options_info, TypeError),
    }
    return table[name]


GLOBALS = ["_gdal", "error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path", "Driver",
           "_to_driver_shadow_", "read_xml_to_dict"]


@pytest.mark.parametrize("name", GLOBALS)
def test_deleted_global_raises_name_error(drv, name):
    call, _junk_error = uses(name)
    delattr(drv, name)
    with pytest.raises(NameError) as info:
        call(drv)
    assert str(info.value) == f"name '{name}' is not defined"


@pytest.mark.parametrize("name", GLOBALS)
@pytest.mark.parametrize("junk", [42, None, "text"], ids=["int", "None", "str"])
def test_global_rebound_to_junk_raises(drv, name, junk):
    call, junk_error = uses(name)
    setattr(drv, name, junk)
    with pytest.raises((junk_error, AttributeError, TypeError)):
        call(drv)


@pytest.mark.parametrize("name", GLOBALS)
def test_global_put_back_works_again(drv, name):
    call, _junk_error = uses(name)
    saved = getattr(drv, name)
    setattr(drv, name, 42)
    with pytest.raises(Exception):
        call(drv)
    setattr(drv, name, saved)
    try:
        call(drv)
    except drv.error.FormatError:
        assert name == "error"  # the call that uses it is the failure path


@pytest.mark.parametrize("name", ["property", "super", "range", "__builtins__"])
def test_builtins_are_bound_once(drv, name):
    """The builtins that the body took are not looked up again."""
    setattr(drv, name, 42)
    assert len(drv.DriveStatistics()) == _gdal.GetDriverCount()
    assert drv.RasterDriver("GTiff").category == "Raster"


def test_namespace_cleared_then_restored(drv):
    ns = vars(drv)
    saved = dict(ns)
    ns.clear()
    try:
        with pytest.raises(NameError, match="name 'Driver' is not defined"):
            saved["Driver"](3)
        with pytest.raises(NameError, match="name 'xet' is not defined"):
            saved["read_xml_to_dict"]("<a/>")
    finally:
        ns.update(saved)
    assert drv.Driver(3).name == _gdal.Driver_ShortName_get(_gdal.GetDriver(3))


@pytest.mark.parametrize(
    "contents, error",
    [
        ({}, AttributeError),
        ({"GetDriverByName": 42}, TypeError),
        ({"GetDriverByName": lambda name: ReprRaises()}, ValueError),
        ({"GetDriverByName": lambda name: gtiff(), "MajorObject_GetMetadataItem": lambda *a: 7}, AttributeError),
        ({"__getattr__": lambda name: (_ for _ in ()).throw(MemoryError(name))}, MemoryError),
    ],
    ids=["empty", "not callable", "odd result", "metadata not a str", "raising __getattr__"],
)
def test_binding_rebound_to_an_odd_module(drv, contents, error):
    import types

    module = types.ModuleType("_gdal")
    vars(module).update(contents)
    drv._gdal = module
    with pytest.raises(error):
        drv.RasterDriver("GTiff")


def test_junk_global_in_a_failure_path(drv):
    """The error class is only needed on the way out; junk there is a
    TypeError or AttributeError of its own, the original error is lost,
    never the interpreter."""
    drv.error = type("E", (), {"FormatError": lambda *a, **k: 42})
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        drv.Driver("NoSuchFormat")


# ---- subclasses overriding members to raise ---------------------------------------------------


class Boom(Exception):
    pass


def raising_property():
    def get(self):
        raise Boom("overridden")

    return property(get)


# (class, member overridden to raise, the calls that read it)
OVERRIDES = [
    ("Driver", "name", ["str", "html", "open"]),
    ("Driver", "category", ["str", "repr", "open"]),
    ("Driver", "is_raster", ["category", "creation_options_info", "open_options_info"]),
    ("Driver", "is_vector", ["category"]),
    ("Driver", "creatable", ["open", "html"]),
    ("Driver", "extensions", ["extension_none"]),
    ("Driver", "creation_options_info", ["set_creation_options", "creation_options", "html"]),
    ("Driver", "open_options_info", ["set_open_options", "open_options", "open"]),
    ("Driver", "_get_metadata_item_", ["creatable", "extensions", "long_name", "category", "creation_options_info"]),
    ("Driver", "__str__", ["repr"]),
    ("RasterDriver", "is_raster", ["init"]),
    ("RasterDriver", "copyable", ["transformable"]),
    ("RasterDriver", "creation_options_info", ["compress_modes", "create"]),
    ("RasterDriver", "extension", ["create"]),
    ("VectorDriver", "is_vector", ["init"]),
    ("VectorDriver", "creatable", ["transformable"]),
    ("VectorDriver", "extension", ["create"]),
]


def run(kind, obj, cls):
    if kind == "str":
        return str(obj)
    if kind == "repr":
        return repr(obj)
    if kind == "html":
        return obj._repr_html_()
    if kind == "open":
        return obj.open("/vsimem/hostile/none.tif")
    if kind == "init":
        return cls("GPKG")
    if kind == "create":
        return obj.create(None, 1, 1, 1) if isinstance(obj, cls) and hasattr(obj, "creation_dtypes") else obj.create(None)
    if kind == "set_creation_options":
        return obj.set_creation_options(X=1)
    if kind == "set_open_options":
        return obj.set_open_options(X=1)
    if kind == "extension_none":
        obj._get_metadata_item_ = lambda key: ""  # no DMD_EXTENSION: falls back on extensions
        return obj.extension
    return getattr(obj, kind)


@pytest.mark.parametrize(
    "cls_name, member, kind",
    [(c, m, k) for c, m, kinds in OVERRIDES for k in kinds],
)
def test_subclass_member_that_raises(drv, cls_name, member, kind):
    base = getattr(drv, cls_name)
    if member.startswith("_") and not member.startswith("__") or member == "__str__":

        def method(self, *args):
            raise Boom("overridden")

        body = {member: method}
    else:
        body = {member: raising_property()}
    Sub = type("Sub", (base,), body)
    if kind == "init":
        with pytest.raises(Boom):
            Sub("GPKG")
        return
    obj = Sub.__new__(Sub)
    source = base("GPKG") if cls_name != "Driver" else drv.Driver("GPKG")
    obj._driver, obj._open_opts, obj._creation_opts = source._driver, {}, {}
    with pytest.raises(Boom):
        run(kind, obj, Sub)
    assert obj._creation_opts == {} or kind in ("html", "create")  # nothing half built is kept


# ---- option names and values ----------------------------------------------------------------------


CASE_XML = (
    '<CreationOptionList><Option name="opt" type="string"/><Option name="OPT" type="int"/>'
    '<Option name="Opt"/></CreationOptionList>'
)


def test_option_names_differing_only_in_case_are_distinct(drv, fake_gdal):
    fake_gdal.add("CASE", DCAP_RASTER="YES", DMD_CREATIONOPTIONLIST=CASE_XML)
    d = drv.RasterDriver("CASE")
    assert list(d.creation_options_info) == ["opt", "OPT", "Opt"]
    d.set_creation_options(OPT=1, opt="a")
    assert d.creation_options == {"opt": "a", "OPT": 1}
    with pytest.raises(drv.error.FormatError) as info:
        d.set_creation_options(oPT=2, opt="b")
    assert info.value.errors == ["oPT"]
    assert d.creation_options == {"opt": "a", "OPT": 1}


def test_real_option_name_in_the_wrong_case_is_refused(drv):
    d = drv.RasterDriver("GTiff")
    with pytest.raises(drv.error.FormatError) as info:
        d.set_creation_options(compress="LZW", Tiled="YES")
    assert info.value.errors == ["compress", "Tiled"]
    assert d.creation_options == {}


@pytest.mark.parametrize(
    "key",
    [OddStr("COMPRESS"), OddStr("NOSUCH")],
    ids=["listed", "unlisted"],
)
def test_option_name_that_cannot_be_hashed(drv, key):
    d = drv.RasterDriver("GTiff")
    with pytest.raises(TypeError):
        d.set_creation_options(**{key: "LZW"})
    assert d.creation_options == {}


# ---- XML -------------------------------------------------------------------------------------------


class LyingStr(str):
    def __contains__(self, item):
        return False


def xml_cases():
    deep = "<a>" * 100_000 + "</a>" * 100_000
    deep_value = '<r><o name="A">' + "<v>" * 100_000 + "</v>" * 100_000 + "</o></r>"
    huge_attr = '<r><o name="BIG" description="' + "d" * (20 * 1024 * 1024) + '"/></r>'
    many = "<r>" + "".join(f'<o name="N{i}" type="int"><v>{i}</v></o>' for i in range(100_000)) + "</r>"
    laughs = (
        '<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol">'
        + "".join(f'<!ENTITY lol{i} "{("&lol" + str(i - 1) + ";") * 10 if i else "&lol;" * 10}">' for i in range(9))
        + ']><lolz><o name="&lol8;"/></lolz>'
    )
    return [
        ("malformed", "<r><o name='a'></r>", "ParseError"),
        ("truncated", "<r><o name='a'/>", "ParseError"),
        ("not XML", "just text", "ParseError"),
        ("invalid UTF-8 bytes", b'<r><o name="\xff\xfe"/></r>', "ParseError"),
        ("option without a name", "<r><o type='int'/></r>", KeyError),
        ("nested 100,000 levels, no names", deep, KeyError),
        ("value nested 100,000 levels", deep_value, lambda out: out == {"A": {"value": [None]}}),
        ("20 MB attribute", huge_attr, lambda out: len(out["BIG"]["description"]) == 20 * 1024 * 1024),
        ("100,000 options", many, lambda out: len(out) == 100_000 and out["N99999"] == {"type": "int", "value": ["99999"]}),
        ("internal entity", '<!DOCTYPE r [<!ENTITY e "x">]><r><o name="&e;"/></r>', "ParseError"),
        ("billion laughs", laughs, "ParseError"),
        ("external entity", '<!DOCTYPE r [<!ENTITY e SYSTEM "file:///etc/passwd">]><r><o name="&e;"/></r>', "ParseError"),
        ("external parameter entity", '<!DOCTYPE r [<!ENTITY % p SYSTEM "http://127.0.0.1:9/x">%p;]><r/>', "ParseError"),
        ("external DTD, refused unread", '<!DOCTYPE r SYSTEM "http://127.0.0.1:9/x.dtd"><r><o name="a"/></r>', "ParseError"),
        ("bare DOCTYPE", '<!DOCTYPE r><r><o name="a"/></r>', lambda out: out == {"a": {}}),
        ("str subclass hiding its DOCTYPE", LyingStr('<!DOCTYPE r [<!ENTITY e "x">]><r/>'), "ParseError"),
        ("attribute defaults: 1 kB x 1,000", '<!DOCTYPE r [<!ATTLIST o d CDATA "' + "d" * 1000 + '">]><r>'
         + '<o name="x"/>' * 1000 + "</r>", "ParseError"),
        ("lone surrogate", "<r><o name='\udc80'/></r>", "ParseError"),  # was UnicodeEncodeError
        ("unknown encoding", b'<?xml version="1.0" encoding="x-no-such"?><r/>', "ParseError"),  # was LookupError
        ("predefined entities", '<r><o name="&lt;script&gt;" d="&amp;"/></r>', lambda out: out == {"<script>": {"d": "&"}}),
        ("int", 5, TypeError),
        ("list", ["<r/>"], TypeError),
    ]


@pytest.mark.parametrize("label, text, want", xml_cases(), ids=[c[0] for c in xml_cases()])
def test_hostile_xml(drv, label, text, want):
    if want == "ParseError":
        want = ET.ParseError
    if isinstance(want, type):
        with pytest.raises(want):
            drv.read_xml_to_dict(text)
    else:
        assert want(drv.read_xml_to_dict(text))


@pytest.mark.parametrize("xml", ["<r><o name='a'></r>", "<r><o/></r>", '<!DOCTYPE r [<!ENTITY e "x">]><r/>'])
def test_hostile_option_list_of_a_driver_leaves_no_half_catalogue(drv, fake_gdal, xml):
    fake_gdal.add("BAD", DCAP_RASTER="YES", DMD_CREATIONOPTIONLIST=xml, DMD_OPENOPTIONLIST=xml)
    d = drv.Driver("BAD")
    for _ in range(2):
        with pytest.raises((ET.ParseError, KeyError)):
            d.creation_options_info
        with pytest.raises((ET.ParseError, KeyError)):
            d.open_options_info
        assert d._creation_opts == {} and d._open_opts == {}


# ---- indexes ----------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "key, want",
    [
        (0, 0),
        (-1, -1),
        (True, 1),
        (False, 0),
        ("count", IndexError),
        ("-count-1", IndexError),
        (2**63, IndexError),
        (-(2**63) - 1, IndexError),
        (np.int64(0), "FormatError"),
        (np.bool_(True), "FormatError"),
        (np.uint8(1), "FormatError"),
        (np.float64(0.0), "FormatError"),
    ],
)
def test_statistics_index(drv, stats, key, want):
    count = len(stats)
    key = {"count": count, "-count-1": -count - 1}.get(key, key) if isinstance(key, str) else key
    if want == "FormatError":
        with pytest.raises(drv.error.FormatError) as info:
            stats[key]
        assert str(info.value) == f'"{key}" is not a driver!'
    elif isinstance(want, type):
        with pytest.raises(want):
            stats[key]
    else:
        assert stats[key] is stats._drivers[want]


@pytest.mark.parametrize("key", ["count", -1, -(10**6), np.int64(0), np.int32(3)])
def test_driver_index(drv, key):
    key = _gdal.GetDriverCount() if key == "count" else key
    with pytest.raises(drv.error.FormatError) as info:
        drv.Driver(key)
    shown = key if isinstance(key, np.generic) else None  # a numpy int is no int: it is a value, not an index
    assert str(info.value) == f"Driver({shown}) is incorrect!"


# ---- property-based ---------------------------------------------------------------------------------


def odd_objects():
    plain = st.one_of(
        st.none(),
        st.booleans(),
        st.integers(),
        st.floats(allow_nan=True),
        st.complex_numbers(),
        st.text(),
        st.binary(),
        st.builds(slice, st.integers(), st.integers()),
        st.lists(st.integers(), max_size=3),
        st.tuples(st.text(max_size=3)),
        st.dictionaries(st.text(max_size=3), st.integers(), max_size=3),
        st.frozensets(st.integers(), max_size=3),
    )
    odd = st.sampled_from([ReprRaises, ReprNotStr, ThisRaises, ThisMissing, StrToOdd]).map(lambda cls: cls())
    wrapped = st.one_of(
        st.text().map(OddStr),
        st.text().map(FormatNotStr),
        st.integers().map(OddInt),
        plain.map(ThisOdd),
        st.sampled_from([np.int64(1), np.float32(2.5), np.bool_(False), np.str_("GTiff")]),
    )
    return st.one_of(plain, odd, wrapped)


# What an odd object may raise on its own: its repr, format, str, this, hash...
OWN_ERRORS = (ValueError, TypeError, KeyError, LookupError, ZeroDivisionError, OverflowError)


@SETTINGS
@given(value=odd_objects(), allow_error=st.booleans())
def test_property_to_driver_shadow(drv, value, allow_error):
    try:
        result = drv._to_driver_shadow_(value, allow_error)
    except drv.error.FormatError as exc:
        assert not allow_error
        assert str(exc).startswith("Driver(") and str(exc).endswith(") is incorrect!")
        return
    except OWN_ERRORS:
        return
    if result is None:
        assert allow_error
    else:
        assert result is value or result is getattr(value, "this", None)
        assert MARKER in result.__repr__()


xml_names = st.text(
    st.characters(codec="utf-8", exclude_categories=["Cs", "Cc"], exclude_characters="\ufffe\uffff"), min_size=1, max_size=12
)


@st.composite
def option_lists(draw):
    """An option list as GDAL writes them, with odd but legal content."""
    root = ET.Element(draw(st.sampled_from(["CreationOptionList", "OpenOptionList", "x"])))
    for _ in range(draw(st.integers(0, 6))):
        attrs = draw(st.dictionaries(st.from_regex(r"[A-Za-z_][A-Za-z0-9_.-]{0,8}", fullmatch=True), xml_names, max_size=4))
        if draw(st.booleans()):
            attrs["name"] = draw(st.one_of(xml_names, st.sampled_from(["A", "a", "value", "name"])))
        option = ET.SubElement(root, "Option", attrs)
        for _ in range(draw(st.integers(0, 3))):
            child = ET.SubElement(option, draw(st.sampled_from(["Value", "v"])), draw(st.dictionaries(st.just("alias"), xml_names)))
            child.text = draw(st.one_of(st.none(), xml_names))
    return ET.tostring(root, encoding="unicode")


def reference(text):
    catalogue = {}
    for option in ET.fromstring(text):
        record = dict(option.attrib)
        key = record.pop("name")
        values = [child.text for child in option]
        if values:
            record["value"] = values
        catalogue[key] = record
    return catalogue


@SETTINGS
@given(text=option_lists())
def test_property_read_xml_matches_the_standard_parser(drv, text):
    try:
        want = reference(text)
    except KeyError:
        with pytest.raises(KeyError):
            drv.read_xml_to_dict(text)
        return
    got = drv.read_xml_to_dict(text)
    assert [(k, list(r.items())) for k, r in got.items()] == [(k, list(r.items())) for k, r in want.items()]


@SETTINGS
@given(text=st.one_of(st.text(), st.binary(), st.text(alphabet="<>/=\"'&;!?[] aoname").map(lambda t: "<r>" + t)))
def test_property_read_xml_of_any_text(drv, text):
    try:
        out = drv.read_xml_to_dict(text)
    except (ET.ParseError, KeyError, TypeError):
        return
    assert isinstance(out, dict)
    assert all(isinstance(record, dict) for record in out.values())


@SETTINGS
@given(name=st.one_of(st.text(max_size=30), st.sampled_from(["GTiff", "gtiff", "MEM", "ESRI Shapefile", " GTiff", "GTiff\0"])))
def test_property_driver_by_name(drv, name):
    try:
        handle = _gdal.GetDriverByName(name)
    except (TypeError, ValueError) as exc:  # the binding refuses the text itself
        with pytest.raises(type(exc)):
            drv.Driver(name)
        return
    if handle is None:
        with pytest.raises(drv.error.FormatError) as info:
            drv.Driver(name)
        assert str(info.value) == f"Driver({name}) is incorrect!"
    else:
        d = drv.Driver(name)
        assert d.name == _gdal.Driver_ShortName_get(handle)


@SETTINGS
@given(index=st.one_of(st.integers(-5, 300), st.integers()))
def test_property_driver_by_index(drv, index):
    count = _gdal.GetDriverCount()
    if not -(2**31) <= index < 2**31:
        with pytest.raises(OverflowError):
            drv.Driver(index)
    elif 0 <= index < count:
        assert drv.Driver(index).name == _gdal.Driver_ShortName_get(_gdal.GetDriver(index))
    else:
        with pytest.raises(drv.error.FormatError, match=r"^Driver\(None\) is incorrect!$"):
            drv.Driver(index)


@SETTINGS
@given(key=st.one_of(odd_objects(), st.sampled_from(["gtiff", "GTIFF", "esri shapefile", "Mem"])))
def test_property_statistics_lookup(drv, stats, key):
    names = [d.name for d in stats._drivers]
    if isinstance(key, int):
        if -len(names) <= key < len(names):
            assert stats[key] is stats._drivers[key]
        else:
            with pytest.raises(IndexError):
                stats[key]
        return
    try:
        text = key if type(key) is str else str(key)
        lowered = text.lower()
    except OWN_ERRORS:
        with pytest.raises(OWN_ERRORS):
            stats[key]
        return
    matches = [d for d in stats._drivers if d.name.lower() == lowered]
    if matches:
        assert stats[key] is matches[0]
        return
    try:
        shown = format(key, "")
    except OWN_ERRORS:
        with pytest.raises(OWN_ERRORS):
            stats[key]
        return
    with pytest.raises(drv.error.FormatError) as info:
        stats[key]
    assert str(info.value) == f'"{shown}" is not a driver!'


@pytest.fixture(scope="module")
def gtiff_option_names():
    import vek._algos.geo.driver as drv

    return list(drv.RasterDriver("GTiff").creation_options_info)


@SETTINGS
@given(
    data=st.data(),
    values=st.lists(odd_objects(), min_size=0, max_size=5),
    extra=st.lists(st.text(min_size=1, max_size=10), max_size=2),
)
def test_property_set_creation_options(drv, gtiff_option_names, data, values, extra):
    d = drv.RasterDriver("GTiff")
    listed = data.draw(st.lists(st.sampled_from(gtiff_option_names), min_size=len(values), max_size=len(values), unique=True))
    kwargs = dict(zip(listed, values))
    unknown = [name for name in dict.fromkeys(extra) if name not in gtiff_option_names and name not in kwargs]
    for name in unknown:
        kwargs[name] = name
    assume(all("=" not in k for k in kwargs))
    if unknown:
        with pytest.raises(drv.error.FormatError) as info:
            d.set_creation_options(**kwargs)
        assert info.value.errors == unknown
        assert d.creation_options == {}
        return
    d.set_creation_options(**kwargs)
    got = d.creation_options
    assert list(got) == [n for n in gtiff_option_names if n in kwargs]
    assert all(got[name] is kwargs[name] for name in kwargs)


# ---- function objects renamed to odd texts ---------------------------------------------------------


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_function_renamed_to_a_text_without_utf8_form(attr):
    """A surrogate in __name__ made building __code__ pass NULL to
    PyCode_NewEmpty (a crash); now it is a UnicodeEncodeError, and the
    function still works. Run in a child: a crash must not end the suite."""
    import subprocess
    import textwrap

    code = textwrap.dedent(
        f"""
        import inspect
        import vek._algos.geo.driver as drv
        for f in (drv.read_xml_to_dict, drv.Driver.open, drv.RasterDriver.create):
            setattr(f, "{attr}", "bad\\udc80name")
            try:
                inspect.signature(f)
                f.__code__
            except UnicodeEncodeError:
                pass
            try:
                drv.read_xml_to_dict("<a><o/></a>")
            except KeyError:
                pass
        assert drv.read_xml_to_dict('<a><o name="x"/></a>') == {{"x": {{}}}}
        print("ok")
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


# ---- crashes within reach of plain Python code (each run in a child) -----------------------------

from gdalmode import run_python  # noqa: E402


def child_prints(code):
    proc = run_python(code)  # the sanitized build under `make test-asan`
    assert proc.returncode == 0, proc.stderr[-4000:]
    return proc.stdout.split()


@pytest.mark.parametrize("main_stack", [None, "1 << 20", "resource.RLIM_INFINITY"], ids=["default", "1MiB", "unlimited"])
def test_loops_of_the_modules_own_functions_raise_recursion_error(main_stack):
    """The function objects counted no depth: each loop overflowed the C
    stack (a segfault), also in a thread with a small stack. Under a small
    RLIMIT_STACK the main thread's own bound stops the loops first; an
    unlimited one leaves the bound to glibc's reading of the mappings."""
    assert child_prints(f"""if True:
        import resource, threading
        if {main_stack}:
            hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
            want = {main_stack}
            if hard != resource.RLIM_INFINITY and not 0 <= want <= hard:
                want = hard
            resource.setrlimit(resource.RLIMIT_STACK, (want, hard))
        from vek._algos.geo.driver import DriveStatistics, RasterDriver
        d, R, s = RasterDriver("GTiff"), type("R", (RasterDriver,), {{}}), DriveStatistics()
        d.__str__, R.__str__, R.extensions, s._drivers = d.__repr__, RasterDriver.__repr__, RasterDriver.extension, s
        def loop(f):
            try:
                f()
            except RecursionError:
                print("RecursionError")
        for f in (lambda: repr(d), lambda: str(R()), lambda: R("MEM").extension, lambda: len(s), lambda: s[0],
                  lambda: s.rasters):
            loop(f)
        threading.stack_size(512 * 1024)
        t = threading.Thread(target=loop, args=(lambda: repr(d),))
        t.start(), t.join()
        print(RasterDriver("GTiff").name)
    """) == ["RecursionError"] * 7 + ["GTiff"]


def test_set_opts_owns_the_names_it_holds():
    """A catalogue whose __contains__ reaches **kwargs (through a value) and
    gives it new keys freed the key _set_opts_ still held (ASan:
    heap-use-after-free); the call sees the names it was given."""
    assert child_prints("""if True:
        import gc
        from vek._algos.geo import base
        from vek._algos.geo.driver import Driver
        def main():
            marker, fresh = [0], [[i] for i in range(3)]
            class Catalogue(dict):
                def __contains__(self, key):
                    for ref in gc.get_referrers(marker, *fresh):
                        if type(ref) is dict and ref is not globals():
                            ref.clear()
                            ref.update(("".join(["zz_b", str(i)]), fresh[i]) for i in range(3))
                    return False
            try:
                Driver("GTiff")._set_opts_(Catalogue(), zz_a=marker, zz_c=[1])
            except base.error.FormatError as exc:
                print(*exc.errors)
        main()
    """) == ["zz_a", "zz_c"]


def test_a_dataset_has_one_owner_and_close_waits_for_its_users():
    """A copy, a second GeoDatabase around the same dataset, and a read in
    another thread during close() each reached GDAL with a freed dataset."""
    assert child_prints("""if True:
        import copy, pickle, sys, threading
        from osgeo import _gdal
        from vek._algos.geo.driver import RasterDriver
        from vek._algos.geo.geodatabase import GeoDatabase
        gtiff, ds = RasterDriver("GTiff"), RasterDriver("GTiff").create(None, 2, 2, 1)
        band_owner = lambda: _gdal.Band_GetDataset(_gdal.Dataset_GetRasterBand(ds.handle, 1))
        for f in (copy.copy, copy.deepcopy, pickle.dumps, lambda ds: GeoDatabase(ds.handle),
                  lambda ds: GeoDatabase(band_owner())):
            try:
                f(ds)
            except (TypeError, ValueError) as exc:
                print(type(exc).__name__)
        sys.setswitchinterval(1e-6)
        def read(ds):
            try:
                while True:
                    ds.files, ds.band_count, repr(ds)
            except ValueError:
                pass
        for _ in range(100):
            ds = gtiff.create(None, 2, 2, 1)
            t = threading.Thread(target=read, args=(ds,))
            t.start(), ds.close(), t.join()
        print("done")
    """) == ["TypeError"] * 3 + ["ValueError"] * 2 + ["done"]


@pytest.mark.parametrize("kind", ["fifo", "/dev/zero", "directory", "over 1 MiB", "byte order mark"])
def test_config_file_that_is_no_small_text(tmp_path, monkeypatch, kind):
    """A FIFO hung the configuration read, /dev/zero read without end (a
    child, so that a hang ends in its time-out); a BOM was refused."""
    path = tmp_path / "vek.toml"
    {"fifo": os.mkfifo, "directory": os.mkdir}.get(kind, lambda p: None)(path)
    if kind in ("over 1 MiB", "byte order mark"):
        path.write_bytes(b"\xef\xbb\xbf[jupyter]\nshow_max_shape = [5, 5]\n" + b"#\n" * (1 << 20) * (kind != "byte order mark"))
    monkeypatch.setenv("VEK_CONFIG", "/dev/zero" if kind == "/dev/zero" else str(path))
    assert child_prints("""if True:
        from vek._algos.geo import _error
        from vek._algos.geo.config import settings as _env
        try:
            print(*_env.JupyterShowMaxShape)
        except _error.ConfigError as exc:
            print(exc.path == _env.config_path()[0], "regular" in str(exc) or "MiB" in str(exc))
    """) == (["5", "5"] if kind == "byte order mark" else ["True", "True"])


# How a caller's own code, run inside a GDAL call on a dataset, tries to close
# that dataset: the per-object lock is re-entrant, so each freed the dataset
# GDAL was still reading or writing (a segfault).
CLOSE_INSIDE_A_CALL = {
    "close() in copy_to's progress": "src.copy_to(out, 'GTiff', progress=lambda f: src.close())",
    ".dataset.Close() in copy_to's progress": "src.copy_to(out, 'GTiff', progress=lambda f: proxy.Close())",
    "leaving `with .dataset` in copy_to's progress":
        "src.copy_to(out, 'GTiff', progress=lambda f: proxy.__exit__(None, None, None))",
    "close() in the options mapping of copy_to": "src.copy_to(out, 'GTiff', options=Closing(src))",
    "close() in the layer name of create_layer": "vec.create_layer(Closing(vec))",
}


@pytest.mark.parametrize("call", CLOSE_INSIDE_A_CALL.values(), ids=CLOSE_INSIDE_A_CALL)
def test_closing_a_dataset_from_inside_a_call_on_it_is_refused(call):
    from osgeo import gdal

    if "proxy" in call and not hasattr(gdal.Dataset, "Close"):
        pytest.skip(f"GDAL {gdal.__version__}'s bindings have no Dataset.Close")
    assert child_prints(f"""if True:
        from osgeo import _gdal
        from vek._algos.geo import geodatabase
        from vek._algos.geo.driver import RasterDriver
        class Closing(dict):
            def __init__(self, ds):
                self.ds = ds
            def keys(self):
                self.ds.close()
            items = __str__ = keys
        src, out = RasterDriver("GTiff").create(None, 64, 64, 1), "/vsimem/inside.tif"
        vec, proxy = geodatabase.create_vector("GPKG", None), src.dataset
        try:
            {call}
        except ValueError as exc:
            print("ValueError", "closed" in str(exc))
        # both still open and whole; the stopped copy left nothing
        print(src.band_count, vec.layers, _gdal.VSIStatL(out) is None)
        src.close(), vec.close()
        print(src.closed, vec.closed)
    """) == ["ValueError", "True", "1", "[]", "True", "True", "True"]

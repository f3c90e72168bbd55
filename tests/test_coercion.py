"""_to_driver_shadow_: what stands for a GDAL driver handle, and what does not."""

import builtins
import subprocess
import sys
import textwrap
import types

import pytest

from fakes import FakeHandle

MARKER = "GDALDriverShadow *"


class Recorder(Exception):
    """Stands in for error.FormatError; remembers how it was called."""

    calls = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args)
        Recorder.calls.append((args, kwargs))


@pytest.fixture
def format_error(drv):
    Recorder.calls = []
    drv.error = types.SimpleNamespace(FormatError=Recorder)
    return Recorder


class Printed:
    """An object whose printed form is chosen by the test."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class WithThis:
    def __init__(self, this, text="<proxy>"):
        self.this = this
        self.text = text

    def __repr__(self):
        return self.text


class Falsy(Printed):
    """Prints like a handle but is false; records whether it was printed."""

    printed = 0

    def __bool__(self):
        return False

    def __repr__(self):
        Falsy.printed += 1
        return MARKER


def shell(drv, cls, handle):
    """An instance of a Driver class carrying `handle`, made without __init__."""
    obj = cls.__new__(cls)
    obj._driver = handle
    return obj


# ---- accepted values ------------------------------------------------------------------------------


def test_real_handle_is_returned_itself(drv, gdal):
    handle = gdal.GetDriverByName("GTiff")
    assert MARKER in repr(handle)
    assert drv._to_driver_shadow_(handle) is handle
    assert drv._to_driver_shadow_(handle, False) is handle
    assert drv._to_driver_shadow_(data=handle, allow_error=False) is handle


@pytest.mark.parametrize("cls_name", ["Driver", "RasterDriver", "VectorDriver"])
def test_driver_instance_gives_its_handle(drv, gdal, cls_name):
    handle = gdal.GetDriverByName("GTiff")
    obj = shell(drv, getattr(drv, cls_name), handle)
    assert drv._to_driver_shadow_(obj) is handle
    assert drv._to_driver_shadow_(obj, allow_error=False) is handle


def test_constructed_driver_gives_its_handle(drv):
    d = drv.Driver("GTiff")
    assert drv._to_driver_shadow_(d) is d._driver
    assert drv._to_driver_shadow_(drv.RasterDriver()) is not None


def test_driver_instance_through_this_of_its_handle(drv):
    handle = FakeHandle("X")
    proxy = WithThis(handle)
    assert drv._to_driver_shadow_(shell(drv, drv.Driver, proxy)) is handle


@pytest.mark.parametrize(
    "text",
    [
        MARKER,
        f"<Swig Object of type '{MARKER}' at 0x1>",
        f"<osgeo.gdal.Driver; proxy of <Swig Object of type '{MARKER}' at 0x7f> >",
        "xx" + MARKER + "yy",
    ],
)
def test_object_printing_the_marker_is_returned_itself(drv, text):
    obj = Printed(text)
    assert drv._to_driver_shadow_(obj) is obj
    assert drv._to_driver_shadow_(obj, False) is obj


@pytest.mark.parametrize(
    "text",
    ["GDALDriverShadow*", "GDALDriverShadow  *", "gdaldrivershadow *", "GDALDriverShadow", "DriverShadow *", ""],
)
def test_near_misses_are_not_handles(drv, format_error, text):
    obj = Printed(text)
    assert drv._to_driver_shadow_(obj) is None
    with pytest.raises(Recorder):
        drv._to_driver_shadow_(obj, False)


def test_strings_are_tested_by_their_representation(drv, format_error):
    text = "a GDALDriverShadow * text"
    assert drv._to_driver_shadow_(text) is text
    quoted = "'GDALDriverShadow *'"
    assert drv._to_driver_shadow_(quoted) is quoted
    assert drv._to_driver_shadow_("GTiff") is None
    with pytest.raises(Recorder, match=r"^Driver\(GTiff\) is incorrect!$"):
        drv._to_driver_shadow_("GTiff", False)


def test_repr_is_looked_up_on_the_instance(drv):
    plain = Printed("nothing")
    plain.__repr__ = lambda: MARKER  # an instance attribute wins over the class
    assert repr(plain) == "nothing"
    assert drv._to_driver_shadow_(plain) is plain

    marked = Printed(MARKER)
    marked.__repr__ = lambda: "nothing"
    assert drv._to_driver_shadow_(marked) is None


def test_class_as_value_calls_the_unbound_repr(drv):
    # `data.__repr__()` on a class is the unbound slot: Python's own error.
    with pytest.raises(TypeError) as info:
        drv._to_driver_shadow_(int)
    with pytest.raises(TypeError) as python:
        int.__repr__()
    assert str(info.value) == str(python.value)


def test_repr_result_is_tested_with_in(drv):
    class Listing:
        def __repr__(self):
            return [MARKER]  # not a str: the `in` test still decides

    obj = Listing()
    assert drv._to_driver_shadow_(obj) is obj

    class Number:
        def __repr__(self):
            return 5

    with pytest.raises(TypeError) as info:
        drv._to_driver_shadow_(Number())
    with pytest.raises(TypeError) as python:
        MARKER in 5
    assert str(info.value) == str(python.value)


@pytest.mark.parametrize("this_factory", [lambda: FakeHandle("T"), lambda: Printed("<" + MARKER + ">")])
def test_this_that_prints_the_marker_is_returned(drv, this_factory):
    this = this_factory()
    assert drv._to_driver_shadow_(WithThis(this)) is this
    assert drv._to_driver_shadow_(WithThis(this), False) is this


@pytest.mark.parametrize("this", [0, "", [], None, False, Falsy("x")])
def test_false_this_is_not_examined(drv, format_error, this):
    Falsy.printed = 0
    obj = WithThis(this, "proxy text")
    assert drv._to_driver_shadow_(obj) is None
    with pytest.raises(Recorder, match=r"^Driver\(proxy text\) is incorrect!$"):
        drv._to_driver_shadow_(obj, False)
    assert Falsy.printed == 0


def test_this_without_the_marker(drv, format_error):
    obj = WithThis(Printed("nothing here"), "outer")
    assert drv._to_driver_shadow_(obj) is None
    with pytest.raises(Recorder, match=r"^Driver\(outer\) is incorrect!$"):
        drv._to_driver_shadow_(obj, False)


def test_this_is_only_one_level_deep(drv):
    inner = FakeHandle("deep")
    assert drv._to_driver_shadow_(WithThis(WithThis(inner))) is None


def test_steps_run_in_order(drv, format_error):
    seen = []

    class Spy:
        def __getattribute__(self, name):
            if name != "__class__":
                seen.append(name)
            return object.__getattribute__(self, name)

        def __repr__(self):
            return "spy"

        @property
        def this(self):
            return This()

    class This:
        def __bool__(self):
            seen.append("bool")
            return True

        def __repr__(self):
            seen.append("this.__repr__")
            return "inner"

    with pytest.raises(Recorder):
        drv._to_driver_shadow_(Spy(), False)
    assert seen == ["__repr__", "this", "bool", "this.__repr__"]


# ---- values that are not handles ----------------------------------------------------------------


@pytest.mark.parametrize(
    "value,text",
    [
        (None, "None"),
        ("GTiff", "GTiff"),
        ("", ""),
        (5, "5"),
        (1.5, "1.5"),
        (True, "True"),
        (b"x", "b'x'"),
        ([1, "a"], "[1, 'a']"),
        ((), "()"),
    ],
)
@pytest.mark.parametrize("allow_error", [False, 0, "", [], None])
def test_error_message(drv, format_error, value, text, allow_error):
    with pytest.raises(Recorder) as info:
        drv._to_driver_shadow_(value, allow_error)
    assert format_error.calls == [((f"Driver({text}) is incorrect!",), {})]
    assert str(info.value) == f"Driver({text}) is incorrect!"


@pytest.mark.parametrize("allow_error", [True, 1, "no", [0], object()])
def test_true_allow_error_gives_none(drv, format_error, allow_error):
    for value in (None, "GTiff", 5, Printed("x"), WithThis(0)):
        assert drv._to_driver_shadow_(value, allow_error) is None
    assert drv._to_driver_shadow_(None) is None
    assert format_error.calls == []


def test_message_uses_format_not_str(drv, format_error):
    class Formatted:
        def __repr__(self):
            return "repr"

        def __str__(self):
            return "str"

        def __format__(self, format_spec):
            assert format_spec == ""
            return "formatted"

    with pytest.raises(Recorder, match=r"^Driver\(formatted\) is incorrect!$"):
        drv._to_driver_shadow_(Formatted(), False)


def test_message_names_the_unwrapped_handle(drv, format_error):
    obj = shell(drv, drv.Driver, "not a handle")
    assert drv._to_driver_shadow_(obj) is None
    with pytest.raises(Recorder, match=r"^Driver\(not a handle\) is incorrect!$"):
        drv._to_driver_shadow_(obj, False)


def test_raised_object_is_what_format_error_returns(drv):
    made = []

    class Made(Exception):
        pass

    def factory(*args, **kwargs):
        made.append(Made(*args))
        assert kwargs == {}
        return made[-1]

    drv.error = types.SimpleNamespace(FormatError=factory)
    with pytest.raises(Made) as info:
        drv._to_driver_shadow_(None, False)
    assert info.value is made[0] and len(made) == 1

    # An exception class returned is raised as `raise cls` would.
    drv.error = types.SimpleNamespace(FormatError=lambda message: Made)
    with pytest.raises(Made):
        drv._to_driver_shadow_(None, False)

    drv.error = types.SimpleNamespace(FormatError=lambda message: "not an exception")
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        drv._to_driver_shadow_(None, False)


def test_real_format_error(drv):
    with pytest.raises(drv.error.FormatError, match=r"Driver\(None\) is incorrect!"):
        drv._to_driver_shadow_(None, False)


def test_error_module_looked_up_at_call_time(drv, format_error):
    del drv.error
    with pytest.raises(NameError, match="^name 'error' is not defined$"):
        drv._to_driver_shadow_(None, False)
    assert drv._to_driver_shadow_(None) is None  # nothing looked up on this path


# ---- failures that propagate ----------------------------------------------------------------------


class Boom(Exception):
    pass


def test_driver_without_handle_attribute(drv):
    with pytest.raises(AttributeError, match="_driver"):
        drv._to_driver_shadow_(drv.Driver.__new__(drv.Driver))


def test_failing_repr_propagates(drv):
    class Bad:
        def __repr__(self):
            raise Boom

    with pytest.raises(Boom):
        drv._to_driver_shadow_(Bad())
    with pytest.raises(Boom):
        drv._to_driver_shadow_(WithThis(Bad()))


def test_this_errors(drv):
    class Raising:
        def __init__(self, exc):
            self.exc = exc

        @property
        def this(self):
            raise self.exc

        def __repr__(self):
            return "raising"

    assert drv._to_driver_shadow_(Raising(AttributeError("gone"))) is None
    with pytest.raises(Boom):
        drv._to_driver_shadow_(Raising(Boom()))

    class BadTruth:
        def __bool__(self):
            raise Boom

    with pytest.raises(Boom):
        drv._to_driver_shadow_(WithThis(BadTruth()))


def test_failing_truth_of_allow_error(drv):
    class BadTruth:
        def __bool__(self):
            raise Boom

    with pytest.raises(Boom):
        drv._to_driver_shadow_(None, BadTruth())


# ---- the Driver class is a module global -------------------------------------------------------------


def test_driver_class_looked_up_at_call_time(drv):
    class Other:
        pass

    other = Other()
    other._driver = FakeHandle("O")
    assert drv._to_driver_shadow_(other) is None

    original = drv.Driver
    drv.Driver = Other
    assert drv._to_driver_shadow_(other) is other._driver
    # An instance of the class no longer bound is not unwrapped any more.
    class Stale(original):
        def __repr__(self):
            return "stale"

    stale = shell(drv, Stale, FakeHandle("S"))
    assert drv._to_driver_shadow_(stale) is None


def test_driver_class_from_builtins(drv, monkeypatch):
    class Other:
        pass

    other = Other()
    other._driver = FakeHandle("B")
    del drv.Driver
    with pytest.raises(NameError, match="^name 'Driver' is not defined$"):
        drv._to_driver_shadow_(other)
    monkeypatch.setattr(builtins, "Driver", Other, raising=False)
    assert drv._to_driver_shadow_(other) is other._driver


# ---- proxies of osgeo.gdal, in a process of their own ----------------------------------------------


def test_proxies_of_osgeo_gdal_are_accepted():
    code = """
        from osgeo import gdal, _gdal
        import vek._algos.geo.driver as d
        proxy = _gdal.GetDriverByName("GTiff")
        assert type(proxy).__name__ == "Driver" and "GDALDriverShadow *" in repr(proxy), repr(proxy)
        assert d._to_driver_shadow_(proxy) is proxy
        assert d._to_driver_shadow_(gdal.GetDriverByName("MEM"), False) is not None
        # A holder of the raw handle in `this`.
        class Holder:
            this = proxy.this
        assert d._to_driver_shadow_(Holder()) is proxy.this
        drv = d.Driver("GTiff")
        assert drv.name == "GTiff" and drv.long_name == "GeoTIFF"
        assert d._to_driver_shadow_(drv) is drv._driver
        assert d.RasterDriver("GTiff").name == "GTiff"
        assert d.VectorDriver().name == "ESRI Shapefile"
        print("ok")
    """
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"

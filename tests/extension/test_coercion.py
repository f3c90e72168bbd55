"""_to_driver_shadow_: what stands for a GDAL driver handle, and what does not."""

import builtins
import types

import pytest

from fakes import FakeFormatError, FakeHandle, bind_format_error, run_child

MARKER = "GDALDriverShadow *"


class Printed:
    """An object whose printed form is chosen by the test."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class WithThis(Printed):
    def __init__(self, this, text="<proxy>"):
        super().__init__(text)
        self.this = this


Falsy = type("Falsy", (Printed,), {"__bool__": lambda self: False})  # prints like a handle but is false
Boom = ZeroDivisionError  # stands for any failure of the value's own code
BadTruth = type("BadTruth", (), {"__bool__": lambda self: 1 / 0})


def shell(drv, cls, handle):
    """An instance of a Driver class carrying `handle`, made without __init__."""
    obj = cls.__new__(cls)
    obj._driver = handle
    return obj


@pytest.mark.parametrize("text", [
    MARKER,
    f"<Swig Object of type '{MARKER}' at 0x1>",
    f"<osgeo.gdal.Driver; proxy of <Swig Object of type '{MARKER}' at 0x7f> >",
    "xx" + MARKER + "yy",
])
def test_object_printing_the_marker_is_returned_itself(drv, text):
    obj = Printed(text)
    assert drv._to_driver_shadow_(obj) is obj
    assert drv._to_driver_shadow_(data=obj, allow_error=False) is obj
    string = "a " + text  # a str goes by its representation too
    assert drv._to_driver_shadow_(string) is string


def test_real_handle_and_driver_instances(drv, gdal):
    handle = gdal.GetDriverByName("GTiff")
    assert drv._to_driver_shadow_(handle) is handle and drv._to_driver_shadow_(handle, False) is handle
    for cls in (drv.Driver, drv.RasterDriver, drv.VectorDriver):
        assert drv._to_driver_shadow_(shell(drv, cls, handle), allow_error=False) is handle
    d = drv.Driver("GTiff")
    assert drv._to_driver_shadow_(d) is d._driver
    inner = FakeHandle("X")  # a Driver whose handle is a proxy holding the raw handle in `this`
    assert drv._to_driver_shadow_(shell(drv, drv.Driver, WithThis(inner))) is inner


@pytest.mark.parametrize("this", [FakeHandle("T"), Printed("<" + MARKER + ">")])
def test_this_that_prints_the_marker_is_returned(drv, this):
    assert drv._to_driver_shadow_(WithThis(this)) is this
    assert drv._to_driver_shadow_(WithThis(this), False) is this


def test_repr_is_looked_up_on_the_instance(drv):
    plain = Printed("nothing")
    plain.__repr__ = lambda: MARKER  # an instance attribute wins over the class
    assert drv._to_driver_shadow_(plain) is plain
    marked = Printed(MARKER)
    marked.__repr__ = lambda: "nothing"
    assert drv._to_driver_shadow_(marked) is None
    listing = Printed([MARKER])  # not a str: the `in` test still decides
    assert drv._to_driver_shadow_(listing) is listing


class Formatted(Printed):
    def __str__(self):
        return "str"

    def __format__(self, format_spec):
        assert format_spec == ""
        return "formatted"


NOT_HANDLES = [
    (lambda drv: None, "None"),
    (lambda drv: "GTiff", "GTiff"),
    (lambda drv: "'GDALDriverShadow*'", "'GDALDriverShadow*'"),
    (lambda drv: "", ""),
    (lambda drv: 5, "5"),
    (lambda drv: 1.5, "1.5"),
    (lambda drv: True, "True"),
    (lambda drv: b"x", "b'x'"),
    (lambda drv: [1, "a"], "[1, 'a']"),
    (lambda drv: (), "()"),
    (lambda drv: Formatted("repr"), "formatted"),  # the message uses format(), not str() or repr()
    (lambda drv: shell(drv, drv.Driver, "not a handle"), "not a handle"),  # names the unwrapped value
    (lambda drv: WithThis(Printed("nothing here"), "outer"), "outer"),
    (lambda drv: WithThis(WithThis(FakeHandle("deep"))), "<proxy>"),  # `this` is one level deep
] + [(lambda drv, t=t: Printed(t), t) for t in [
    "GDALDriverShadow*", "GDALDriverShadow  *", "gdaldrivershadow *", "GDALDriverShadow", "DriverShadow *", "",
]] + [(lambda drv, t=t: WithThis(t, "false this"), "false this") for t in [
    0, "", [], None, False, Falsy(MARKER),  # a false `this` is not examined
]]


@pytest.mark.parametrize("make,text", NOT_HANDLES)
def test_not_a_handle(drv, make, text):
    value = make(drv)
    recorder = bind_format_error(drv)
    for allow_error in (True, 1, "no", [0], object()):
        assert drv._to_driver_shadow_(value, allow_error) is None
    assert drv._to_driver_shadow_(value) is None and recorder.calls == []
    for allow_error in (False, 0, "", [], None):
        with pytest.raises(FakeFormatError):
            drv._to_driver_shadow_(value, allow_error)
    assert recorder.calls == [((f"Driver({text}) is incorrect!",), {})] * 5


def test_raised_object_is_what_format_error_returns(drv):
    with pytest.raises(drv.error.FormatError, match=r"^Driver\(None\) is incorrect!$"):
        drv._to_driver_shadow_(None, False)
    made = []
    drv.error = types.SimpleNamespace(FormatError=lambda message: made.append(KeyError(message)) or made[-1])
    with pytest.raises(KeyError) as info:
        drv._to_driver_shadow_(None, False)
    assert info.value is made[0] and len(made) == 1
    del drv.error
    with pytest.raises(NameError, match="^name 'error' is not defined$"):
        drv._to_driver_shadow_(None, False)
    assert drv._to_driver_shadow_(None) is None  # nothing looked up on this path


class Raising(Printed):
    def __init__(self, exc):
        super().__init__("raising")
        self.exc = exc

    @property
    def this(self):
        raise self.exc


BadRepr = type("BadRepr", (), {"__repr__": lambda self: 1 / 0})


@pytest.mark.parametrize("make,args,exc", [
    (lambda drv: BadRepr(), (), Boom),
    (lambda drv: WithThis(BadRepr()), (), Boom),
    (lambda drv: Raising(Boom()), (), Boom),
    (lambda drv: WithThis(BadTruth()), (), Boom),
    (lambda drv: None, (BadTruth(),), Boom),
    (lambda drv: drv.Driver.__new__(drv.Driver), (), AttributeError),  # no _driver
])
def test_failures_propagate(drv, make, args, exc):
    with pytest.raises(exc):
        drv._to_driver_shadow_(make(drv), *args)


def test_steps_run_in_order(drv):
    seen = []
    This = type("This", (), {"__bool__": lambda self: seen.append("bool") or True,
                             "__repr__": lambda self: seen.append("this.__repr__") or "inner"})

    class Spy:
        def __getattribute__(self, name):
            if name != "__class__":
                seen.append(name)
            return object.__getattribute__(self, name)

        def __repr__(self):
            return "spy"

        this = property(lambda self: This())

    bind_format_error(drv)
    with pytest.raises(FakeFormatError):
        drv._to_driver_shadow_(Spy(), False)
    assert seen == ["__repr__", "this", "bool", "this.__repr__"]


def test_driver_class_looked_up_at_call_time(drv, monkeypatch):
    Other = type("Other", (), {})
    other, original = shell(drv, Other, FakeHandle("O")), drv.Driver
    assert drv._to_driver_shadow_(other) is None
    drv.Driver = Other
    assert drv._to_driver_shadow_(other) is other._driver
    stale = shell(drv, type("Stale", (original,), {"__repr__": lambda self: "stale"}), FakeHandle("S"))
    assert drv._to_driver_shadow_(stale) is None  # no longer unwrapped
    del drv.Driver
    monkeypatch.setattr(builtins, "Driver", Other, raising=False)
    assert drv._to_driver_shadow_(other) is other._driver


def test_proxies_of_osgeo_gdal_are_accepted():
    out = run_child("""
        from osgeo import gdal, _gdal
        import vek._algos.geo.driver as d
        proxy = _gdal.GetDriverByName("GTiff")
        assert type(proxy).__name__ == "Driver" and "GDALDriverShadow *" in repr(proxy), repr(proxy)
        assert d._to_driver_shadow_(proxy) is proxy
        class Holder:
            this = proxy.this
        assert d._to_driver_shadow_(Holder()) is proxy.this
        shp = gdal.GetDriverByName("ESRI Shapefile")
        assert d.Driver(shp)._driver is shp and str(d.Driver(shp)) == "ESRI Shapefile - Vector"
        g = d.Driver("GTiff")
        assert str(g) == repr(g) == "GTiff - Raster" and g.long_name == "GeoTIFF"
        assert g.creatable and g.extension == "tif"
        assert d._to_driver_shadow_(g) is g._driver and d.Driver(g)._driver is g._driver
        assert d.RasterDriver().name == "GTiff" and d.VectorDriver().name == "ESRI Shapefile"
        print("ok")
        """)
    assert out.strip() == "ok"

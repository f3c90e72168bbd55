"""DriveStatistics: construction and length, lookup by index and by name,
the filtered lists, the HTML table.
"""

import types

from fakes import LeanGDAL

from .hostile import FormatRaises, ReprRaises
from .support import DELETE, calls, case, patched, raises, reads, rotate
from .world import Sink, lean_env


# ---- construction, length and lookup -----------------------------------------------------------

@case("DriveStatistics.__init__ / __len__: fake binding", covers=["DriveStatistics.__init__", "DriveStatistics.__len__"])
def init_and_len_on_fake_binding(w):
    S = w.drv.DriveStatistics
    w.fake_gdal()
    s = w.watch(S())
    return rotate([lambda: len(S()), lambda: len(s)])


@case(
    "DriveStatistics.__init__ / __len__: real registry",
    covers=["DriveStatistics.__init__", "DriveStatistics.__len__"],
    scale=0.01,
    cost=100,
)
def init_and_len_on_real_registry(w):
    S = w.drv.DriveStatistics
    return lambda: len(S())


@case(
    "DriveStatistics.__init__ / __len__: errors",
    covers=["DriveStatistics.__init__", "DriveStatistics.__len__"],
    failure=True,
)
def init_and_len_errors(w):
    drv = w.drv
    fake = w.fake_gdal()
    short = w.watch(LeanGDAL())
    short.drivers = fake.drivers
    short.GetDriverCount = lambda: len(fake.drivers) + 2  # two indexes without a driver
    junk_count = w.watch(LeanGDAL())
    junk_count.GetDriverCount = lambda: "3"
    failing = w.watch(LeanGDAL(failing=["GetDriverCount"]))
    s = w.watch(drv.DriveStatistics())
    S = drv.DriveStatistics

    def bad_len(value, exc):
        def run():
            s._drivers = value
            try:
                len(s)
            except exc:
                pass
            finally:
                s._drivers = []

        return run

    return rotate(
        [
            patched(w.ns, {"_gdal": failing}, raises(RuntimeError, S)),
            patched(w.ns, {"_gdal": short}, raises(w.error.FormatError, S)),
            patched(w.ns, {"_gdal": junk_count}, raises(TypeError, S)),
            patched(w.ns, {"Driver": DELETE}, raises(NameError, S)),
            raises(TypeError, S, 1),
            bad_len(5, TypeError),
            bad_len(ReprRaises(), TypeError),
            raises(TypeError, S.__len__, s, 1),
        ]
    )


@case("DriveStatistics.__getitem__: real registry", covers=["DriveStatistics.__getitem__"])
def getitem_on_real_registry(w):
    import numpy as np

    s = w.watch(w.drv.DriveStatistics())
    w.watch(*s._drivers)
    keys = w.watch(0, -1, True, "gtiff", "GTIFF", "ESRI Shapefile", "MEM", len(s) - 1)
    variants = [calls(s.__getitem__, k) for k in keys]
    variants.append(raises(w.error.FormatError, s.__getitem__, np.int64(1)))  # not an int: looked up by its text
    return rotate(variants)


@case("DriveStatistics.__getitem__: errors", covers=["DriveStatistics.__getitem__"], failure=True)
def getitem_errors(w):
    w.fake_gdal()
    s = w.watch(w.drv.DriveStatistics())
    w.watch(*s._drivers)
    E = w.error.FormatError

    class StrRaises:
        def __str__(self):
            raise UnicodeError("str")

    class LowerOdd(str):
        def lower(self):
            raise ReferenceError("lower")

    class StrToOdd:  # str() may give a str subclass, whose lower() is then used
        def __str__(self):
            return LowerOdd("FAKE_R")

    keys = [
        (len(s._drivers), IndexError),
        (-100, IndexError),
        (10**30, IndexError),
        ("NoSuchFormat", E),
        (slice(1, 3), E),
        (1.0, E),
        (None, E),
        (b"FAKE_R", E),
        (StrRaises(), UnicodeError),
        (StrToOdd(), ReferenceError),
        (FormatRaises("nope"), LookupError),
    ]
    w.watch(*[k for k, _exc in keys])
    variants = [raises(exc, s.__getitem__, k) for k, exc in keys]
    variants.append(raises(TypeError, s.__getitem__))
    variants.append(calls(s.__getitem__, LowerOdd("FAKE_R")))  # a str subclass is read through str()
    return rotate(variants)


# ---- the filtered lists ------------------------------------------------------------------------

STATISTICS_PROPERTIES = "creatables rasters updatables vectors virtualios".split()


def statistics_property_cases(prop):
    @case(f"DriveStatistics.{prop}: fake binding", covers=[f"DriveStatistics.{prop}"])
    def read_on_fake_binding(w):
        w.fake_gdal()
        s = w.watch(w.drv.DriveStatistics())
        w.watch(*s._drivers)
        return reads(s, prop)

    @case(f"DriveStatistics.{prop}: real registry", covers=[f"DriveStatistics.{prop}"], scale=0.01, cost=60)
    def read_on_real_registry(w):
        s = w.watch(w.drv.DriveStatistics())
        return reads(s, prop)

    @case(f"DriveStatistics.{prop}: failing binding", covers=[f"DriveStatistics.{prop}"], failure=True)
    def read_on_failing_binding(w):
        w.fake_gdal()
        s = w.watch(w.drv.DriveStatistics())
        w.fake_gdal(failing=["MajorObject_GetMetadataItem"])
        for d in s._drivers:
            w.watch(d)
            d._driver = w.handles[d._driver.name]
        return raises(RuntimeError, getattr, s, prop)


for _p in STATISTICS_PROPERTIES:
    statistics_property_cases(_p)


# ---- HTML table --------------------------------------------------------------------------------

@case("DriveStatistics._repr_html_: fake builders", covers=["DriveStatistics._repr_html_"])
def html_with_fake_builders(w):
    w.fake_gdal()
    w.fake_builders()
    s = w.watch(w.drv.DriveStatistics())
    w.watch(*s._drivers)
    return rotate([patched(w.ns, {"env": lean_env(shape=shape)}, s._repr_html_) for shape in ((2, 6), (10, 6), (3, 2))])


@case("DriveStatistics._repr_html_: real registry", covers=["DriveStatistics._repr_html_"], scale=0.01, cost=200)
def html_of_real_registry(w):
    return w.watch(w.drv.DriveStatistics())._repr_html_


@case("DriveStatistics._repr_html_: failures", covers=["DriveStatistics._repr_html_"], failure=True)
def html_failures(w):
    w.fake_gdal()
    w.fake_builders()
    s = w.watch(w.drv.DriveStatistics())
    html = s._repr_html_

    class RowFails(Sink):
        def add_row(self, row):
            raise InterruptedError("row")

    variants = [
        patched(w.ns, {"env": lean_env(shape=(1, 2, 3))}, raises(ValueError, html)),
        patched(w.ns, {"env": lean_env(shape=7)}, raises(TypeError, html)),
        patched(w.ns, {"env": lean_env(shape=("a", 6))}, raises(TypeError, html)),
        patched(w.ns, {"gdata": types.SimpleNamespace(VEKHTMLTable=RowFails)}, raises(InterruptedError, html)),
        patched(w.ns, {"gdata": DELETE}, raises(NameError, html)),
        patched(w.base, {"get_sel": DELETE}, raises(ImportError, html)),
    ]
    sels = [
        (lambda count, limit: (((0, 99), (0, 0)), 6), IndexError),
        (lambda count, limit: (((0, 1), (0, 0)), 6, 7), ValueError),
        (lambda count, limit: (((0, 1), [3, 5]), "six"), TypeError),
        (lambda count, limit: 1 / 0, ZeroDivisionError),
    ]
    variants += [patched(w.base, {"get_sel": sel}, raises(exc, html)) for sel, exc in sels]
    return rotate(variants)

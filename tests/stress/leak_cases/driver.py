"""Driver: construction and identity, metadata, its properties (and the
case factory for the properties of all three driver classes), option
catalogues and values, opening, the HTML view.
"""

import types

from .hostile import FormatRaises, ReprRaises, format_error_returning
from .support import DELETE, calls, case, patched, raises, reads, rotate
from .world import FAKE_NAMES, Sink


# ---- construction and identity -----------------------------------------------------------------

@case("Driver.__init__: real GDAL", covers=["Driver.__init__"])
def init_on_real_gdal(w):
    from osgeo import _gdal

    D = w.drv.Driver
    handle = w.watch(_gdal.GetDriverByName("GTiff"))
    src = w.watch_driver(w.drv.RasterDriver("GTiff"))
    return rotate([calls(D, "GTiff"), calls(D, 0), calls(D, True), calls(D, handle), calls(D, src), calls(D, name="MEM")])


@case("Driver.__init__: fake binding", covers=["Driver.__init__"])
def init_on_fake_binding(w):
    D = w.drv.Driver
    w.fake_gdal()
    src = w.watch_driver(D("FAKE_R"))
    return rotate([calls(D, "FAKE_R"), calls(D, 0), calls(D, True), calls(D, src), calls(D, w.handles["FAKE_V"])])


@case("Driver.__init__: errors", covers=["Driver.__init__"], failure=True)
def init_errors(w):
    D = w.drv.Driver
    E = w.error.FormatError
    return rotate(
        [
            raises(E, D, "NoSuchFormat"),
            raises(E, D, 10**6),
            raises(E, D, -1),
            raises(E, D, 2.5),
            raises(E, D, None),
            raises(E, D, b"GTiff"),
            raises(OverflowError, D, 10**30),
            raises(TypeError, D),
            raises(TypeError, D, "GTiff", 1),
            raises(TypeError, D, nom="GTiff"),
            raises(ValueError, D, ReprRaises()),
            raises(LookupError, D, FormatRaises("NoSuch")),
        ]
    )


@case("Driver.__init__: failing binding, missing globals", covers=["Driver.__init__"], failure=True)
def init_with_failing_binding_and_missing_globals(w):
    D = w.drv.Driver
    w.fake_gdal(failing=["GetDriverByName", "GetDriver"])
    return rotate(
        [
            raises(RuntimeError, D, "FAKE_R"),
            raises(RuntimeError, D, 1),
            patched(w.ns, {"_gdal": DELETE}, raises(NameError, D, "GTiff")),
            patched(w.ns, {"_to_driver_shadow_": DELETE}, raises(NameError, D, w.handles["FAKE_R"])),
            patched(w.ns, {"Driver": 42}, raises(TypeError, D, "GTiff")),
        ]
    )


@case("Driver.__repr__ / __str__: fake binding", covers=["Driver.__repr__", "Driver.__str__"])
def repr_and_str_on_fake_binding(w):
    drv = w.drv
    w.fake_gdal()
    ds = [w.watch_driver(drv.Driver(n)) for n in FAKE_NAMES]
    ds += [w.watch_driver(drv.RasterDriver("FAKE_RV")), w.watch_driver(drv.VectorDriver("FAKE_RV"))]
    return rotate([calls(fn, d) for d in ds for fn in (repr, str)])


@case("Driver.__repr__ / __str__: real GDAL", covers=["Driver.__repr__", "Driver.__str__"])
def repr_and_str_on_real_gdal(w):
    drv = w.drv
    ds = [w.watch_driver(cls(n)) for cls, n in ((drv.Driver, "GTiff"), (drv.RasterDriver, "GPKG"), (drv.VectorDriver, "GPKG"))]
    return rotate([calls(fn, d) for d in ds for fn in (repr, str)])


@case("Driver.__repr__ / __str__: raising properties", covers=["Driver.__repr__", "Driver.__str__"], failure=True)
def repr_and_str_with_raising_properties(w):
    drv = w.drv
    w.fake_gdal()

    class NameRaises(drv.Driver):
        @property
        def name(self):
            raise ArithmeticError("name")

    class CategoryOdd(drv.Driver):
        @property
        def category(self):
            return ReprRaises()

    d1 = w.watch_driver(NameRaises("FAKE_R"))
    d2 = w.watch_driver(CategoryOdd("FAKE_R"))
    d3 = w.watch_driver(drv.Driver("FAKE_R"))
    return rotate(
        [
            raises(ArithmeticError, repr, d1),
            raises(ArithmeticError, str, d1),
            raises(ValueError, repr, d2),
            raises(ValueError, str, d2),
            patched(w.ns, {"_gdal": DELETE}, raises(NameError, str, d3)),
        ]
    )


@case("Driver._get_metadata_item_: real GDAL", covers=["Driver._get_metadata_item_"])
def metadata_item_on_real_gdal(w):
    real = w.watch_driver(w.drv.Driver("GTiff"))
    w.real_env()
    get = real._get_metadata_item_
    return rotate([calls(get, "DMD_CREATIONOPTIONLIST"), calls(get, "ABSENT"), calls(get, psz="DCAP_RASTER")])


@case("Driver._get_metadata_item_: fake binding", covers=["Driver._get_metadata_item_"])
def metadata_item_on_fake_binding(w):
    w.fake_gdal()
    get = w.watch_driver(w.drv.Driver("FAKE_R"))._get_metadata_item_
    return rotate([calls(get, "DMD_LONGNAME"), calls(get, "ABSENT"), calls(get, psz="DCAP_RASTER")])


@case("Driver._get_metadata_item_: errors", covers=["Driver._get_metadata_item_"], failure=True)
def metadata_item_errors(w):
    drv = w.drv
    w.real_env()
    junk = w.watch_driver(drv.Driver.__new__(drv.Driver))
    junk._driver = object()  # not a handle: the real binding refuses it
    w.fake_gdal(failing=["MajorObject_GetMetadataItem"])
    from osgeo import _gdal

    d = w.watch_driver(drv.Driver("FAKE_R"))
    return rotate(
        [
            raises(RuntimeError, d._get_metadata_item_, "X"),
            patched(w.ns, {"_gdal": _gdal}, raises(TypeError, junk._get_metadata_item_, "X")),
            raises(TypeError, d._get_metadata_item_),
            raises(AttributeError, drv.Driver._get_metadata_item_, object(), "X"),
        ]
    )


# ---- properties, on fake and on real drivers ---------------------------------------------------

DRIVER_PROPERTIES = (
    "category creatable creation_options creation_options_info extension extensions is_raster is_vector "
    "long_name name open_options open_options_info updatable virtualio"
).split()
CATALOGUE_PROPERTIES = {"creation_options", "creation_options_info", "open_options", "open_options_info", "compress_modes"}


def property_cases(cls_name, prop, names, real_names):
    """Three cases for one property of Driver, RasterDriver or VectorDriver:
    read on the fake drivers `names`, on the real drivers `real_names`, and
    on the fake drivers once their binding fails."""

    @case(f"{cls_name}.{prop}: fake binding", covers=[f"{cls_name}.{prop}"])
    def read_on_fake_binding(w):
        cls = getattr(w.drv, cls_name)
        w.fake_gdal()
        return rotate([reads(w.watch_driver(cls(n)), prop) for n in names])

    @case(f"{cls_name}.{prop}: real GDAL", covers=[f"{cls_name}.{prop}"])
    def read_on_real_gdal(w):
        cls = getattr(w.drv, cls_name)
        w.real_env()
        return rotate([reads(w.watch_driver(cls(n)), prop) for n in real_names])

    @case(f"{cls_name}.{prop}: failing binding", covers=[f"{cls_name}.{prop}"], failure=True)
    def read_on_failing_binding(w):
        cls = getattr(w.drv, cls_name)
        w.fake_gdal()
        objs = [w.watch_driver(cls(n)) for n in names]
        fake = w.fake_gdal(failing=["MajorObject_GetMetadataItem", "Driver_ShortName_get"])
        for d in objs:  # the same drivers, now on a binding that fails
            d._driver = w.handles[d._driver.name]
            if prop in CATALOGUE_PROPERTIES:
                d._creation_opts, d._open_opts = {}, {}
        w.watch(fake)
        if prop == "category" and cls_name != "Driver":  # reads nothing
            return rotate([reads(d, prop) for d in objs])
        return rotate([raises(RuntimeError, getattr, d, prop) for d in objs])


property_cases("Driver", "category", FAKE_NAMES, ["GTiff", "ESRI Shapefile", "GPKG"])
for _p in DRIVER_PROPERTIES[1:]:
    property_cases("Driver", _p, FAKE_NAMES, ["GTiff", "ESRI Shapefile", "MEM"])


# ---- option catalogues, built afresh at every call ---------------------------------------------

def rebuild(d, attr, method, *args):
    def run():
        setattr(d, attr, {})
        method(*args)

    return run


@case(
    "Driver._set_creation_options_info_ / _set_open_options_info_: fake binding",
    covers=["Driver._set_creation_options_info_", "Driver._set_open_options_info_"],
)
def catalogues_on_fake_binding(w):
    drv = w.drv
    w.fake_gdal()
    variants = []
    for n in FAKE_NAMES:
        d = w.watch_driver(drv.Driver(n))
        for raster in (None, True, False, 0, "x"):
            variants.append(rebuild(d, "_creation_opts", d._set_creation_options_info_, raster))
            variants.append(rebuild(d, "_open_opts", d._set_open_options_info_, raster))
        variants.append(calls(d._set_creation_options_info_))
        variants.append(calls(d._set_open_options_info_, raster=None))
    return rotate(variants)


@case(
    "Driver._set_creation_options_info_ / _set_open_options_info_: real GTiff",
    covers=["Driver._set_creation_options_info_", "Driver._set_open_options_info_"],
    scale=0.05,
    cost=60,
)
def catalogues_of_real_gtiff(w):
    w.real_env()
    d = w.watch_driver(w.drv.Driver("GTiff"))
    return rotate(
        [rebuild(d, "_creation_opts", d._set_creation_options_info_), rebuild(d, "_open_opts", d._set_open_options_info_, True)]
    )


@case(
    "Driver._set_creation_options_info_ / _set_open_options_info_: failures",
    covers=["Driver._set_creation_options_info_", "Driver._set_open_options_info_"],
    failure=True,
)
def catalogue_failures(w):
    drv = w.drv
    fake = w.fake_gdal()
    bad = w.watch(fake.add("BAD_XML", DCAP_RASTER="YES", DMD_CREATIONOPTIONLIST="<a><b></a>", DMD_OPENOPTIONLIST="<a><o/></a>"))
    d_bad = w.watch_driver(drv.Driver(bad))
    d = w.watch_driver(drv.Driver("FAKE_R"))
    dv = w.watch_driver(drv.Driver("FAKE_V"))

    class ConfigRaises:
        @property
        def RasterConfig(self):
            raise PermissionError("config")

        VectorConfig = {"creation.options": {"FAKE_V": None}, "open.options": {"FAKE_V": None}}

    bad_env = w.watch(ConfigRaises())
    ParseError = drv.xet.ParseError
    return rotate(
        [
            raises(ParseError, rebuild(d_bad, "_creation_opts", d_bad._set_creation_options_info_)),
            raises(KeyError, rebuild(d_bad, "_open_opts", d_bad._set_open_options_info_)),
            patched(w.ns, {"env": bad_env}, raises(PermissionError, rebuild(d, "_creation_opts", d._set_creation_options_info_))),
            patched(w.ns, {"env": bad_env}, raises(PermissionError, rebuild(d, "_open_opts", d._set_open_options_info_, True))),
            patched(w.ns, {"env": bad_env}, raises(AttributeError, rebuild(dv, "_creation_opts", dv._set_creation_options_info_, False))),
            patched(w.ns, {"env": bad_env}, raises(AttributeError, rebuild(dv, "_open_opts", dv._set_open_options_info_, False))),
            patched(w.ns, {"env": DELETE}, raises(NameError, rebuild(d, "_creation_opts", d._set_creation_options_info_))),
            patched(w.ns, {"read_xml_to_dict": DELETE}, raises(NameError, rebuild(d, "_open_opts", d._set_open_options_info_))),
            raises(TypeError, d._set_creation_options_info_, 1, 2),
        ]
    )


# ---- option values -----------------------------------------------------------------------------

@case(
    "Driver.set_creation_options / set_open_options / _set_opts_: fake and real",
    covers=["Driver.set_creation_options", "Driver.set_open_options", "Driver._set_opts_"],
)
def option_values_on_fake_and_real_drivers(w):
    drv = w.drv
    w.real_env()
    r = w.watch_driver(drv.RasterDriver("GTiff"))
    w.fake_gdal()
    d = w.watch_driver(drv.Driver("FAKE_R"))
    d.creation_options_info, d.open_options_info
    values = w.watch(object(), "text", 3.5, None, ["list"], {"d": 1})
    catalogue = w.watch({"A": {}, "B": {}})
    from osgeo import _gdal

    variants = []
    for v in values:
        variants += [
            calls(d.set_creation_options, COMPRESS=v, TILED=v),
            calls(d.set_open_options, NUM_THREADS=v),
            patched(w.ns, {"_gdal": _gdal}, calls(r.set_creation_options, **{"COMPRESS": v, "BLOCKXSIZE": v})),
            calls(d._set_opts_, catalogue, A=v, B=v),
        ]
    variants.append(calls(d.set_creation_options))
    return rotate(variants)


@case(
    "Driver.set_creation_options / set_open_options / _set_opts_: errors",
    covers=["Driver.set_creation_options", "Driver.set_open_options", "Driver._set_opts_"],
    failure=True,
)
def option_value_errors(w):
    drv = w.drv
    w.real_env()
    r = w.watch_driver(drv.RasterDriver("GTiff"))
    r.creation_options_info
    w.fake_gdal()
    d = w.watch_driver(drv.Driver("FAKE_R"))
    n = w.watch_driver(drv.Driver("FAKE_N"))
    E = w.error.FormatError
    frozen = w.watch({"A": types.MappingProxyType({})})
    return rotate(
        [
            raises(E, d.set_creation_options, compress="LZW"),
            raises(E, d.set_creation_options, COMPRESS="LZW", NOSUCH=1),
            raises(E, d.set_open_options, X=None),
            raises(E, n.set_creation_options, X=1),
            raises(E, r.set_creation_options, Compress=1, COMPRESS=2),
            raises(TypeError, d.set_creation_options, 1),
            raises(TypeError, d._set_opts_),
            raises(TypeError, d._set_opts_, frozen, A=1),
            raises(TypeError, d._set_opts_, 5, A=1),
            patched(w.ns, {"error": format_error_returning(lambda: None)}, raises(TypeError, d.set_creation_options, NOSUCH=1)),
        ]
    )


# ---- opening -----------------------------------------------------------------------------------

@case("Driver.open: fake binding", covers=["Driver.open"])
def open_on_fake_binding(w):
    drv = w.drv
    w.fake_gdal()
    w.fake_creation()
    siblings = w.watch(["a.aux"])
    variants = []
    for cls, n in ((drv.Driver, "FAKE_RV"), (drv.RasterDriver, "FAKE_R"), (drv.VectorDriver, "FAKE_V")):
        d = w.watch_driver(cls(n))
        variants += [calls(d.open, "in.tif"), calls(d.open, "in.tif", siblings), calls(d.open, in_src=b"x", sibling_files=None)]
    return rotate(variants)


@case("Driver.open: real file", covers=["Driver.open"], scale=0.1, cost=10)
def open_real_file(w):
    from osgeo import _gdal

    drv = w.drv
    w.real_env()
    path = "/vsimem/leakcheck/open.tif"
    _gdal.delete_Dataset(_gdal.Driver_Create(_gdal.GetDriverByName("GTiff"), path, 4, 4, 1, 1, []))
    r = w.watch_driver(drv.RasterDriver("GTiff"))
    d = w.watch_driver(drv.Driver("GTiff"))

    def finish():
        _gdal.Unlink(path)

    w.finish = finish
    return rotate([lambda: r.open(path).close(), lambda: d.open(path, []).close()])


@case("Driver.open: errors", covers=["Driver.open"], failure=True)
def open_errors(w):
    w.real_env()
    r = w.watch_driver(w.drv.RasterDriver("GTiff"))

    def failing_open(*args):
        raise IsADirectoryError("open_file failed")

    gdb = w.geodatabase
    return rotate(
        [
            raises(w.error.GDALFileNotFoundError, r.open, "/vsimem/leakcheck/nothing-here.tif"),
            patched(gdb, {"open_file": failing_open}, raises(IsADirectoryError, r.open, "x")),
            patched(gdb, {"open_file": DELETE}, raises(ImportError, r.open, "x")),
            raises(TypeError, r.open),
            raises(TypeError, r.open, "x", [], 3),
        ]
    )


# ---- HTML view ---------------------------------------------------------------------------------

@case("Driver._repr_html_: fake builders", covers=["Driver._repr_html_"])
def html_with_fake_builders(w):
    drv = w.drv
    w.fake_gdal()
    w.fake_builders()
    ds = [w.watch_driver(cls(n)) for cls, n in ((drv.Driver, "FAKE_RV"), (drv.RasterDriver, "FAKE_R"), (drv.VectorDriver, "FAKE_V"), (drv.Driver, "FAKE_N"))]
    return rotate([d._repr_html_ for d in ds])


@case("Driver._repr_html_: real builder", covers=["Driver._repr_html_"], scale=0.2, cost=5)
def html_with_real_builder(w):
    w.fake_gdal()
    d = w.watch_driver(w.drv.RasterDriver("FAKE_R"))
    d.set_creation_options(TILED="<script>alert(1)</script>")
    return d._repr_html_


@case("Driver._repr_html_: real GTiff", covers=["Driver._repr_html_"], scale=0.02, cost=80)
def html_of_real_gtiff(w):
    w.real_env()
    return w.watch_driver(w.drv.Driver("GTiff"))._repr_html_


@case("Driver._repr_html_: failing builders", covers=["Driver._repr_html_"], failure=True)
def html_with_failing_builders(w):
    drv = w.drv
    fake = w.fake_gdal()
    w.fake_builders()
    bad = w.watch(fake.add("BAD", DCAP_RASTER="YES", DMD_CREATIONOPTIONLIST="<a><o/></a>"))
    d = w.watch_driver(drv.Driver("FAKE_R"))
    d_bad = w.watch_driver(drv.Driver(bad))

    def failing_at(where):
        class Fails(Sink):
            pass

        def fail(self, *args):
            raise BlockingIOError(where)

        setattr(Fails, where, fail)
        return types.SimpleNamespace(VEKHTMLDetails=Fails)

    def failing_class(*a):
        raise ChildProcessError("builder")

    variants = [
        patched(w.ns, {"gdata": w.watch(failing_at(where))}, raises(BlockingIOError, d._repr_html_))
        for where in ("set_base_info", "add_details", "to_html")
    ]
    variants += [
        patched(w.ns, {"gdata": types.SimpleNamespace(VEKHTMLDetails=failing_class)}, raises(ChildProcessError, d._repr_html_)),
        patched(w.ns, {"gdata": DELETE}, raises(NameError, d._repr_html_)),
        raises(KeyError, rebuild(d_bad, "_creation_opts", d_bad._repr_html_)),
        raises(TypeError, d._repr_html_, 1),
    ]
    return rotate(variants)

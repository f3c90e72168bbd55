"""The cases of the leak check: each one calls one entry point, on success
paths or on failure paths.

A case is a function `setup(w)` that prepares the world (fakes bound as
module globals, drivers made) and returns `step`, the callable run in the
loop; a step makes one call of the entry point (`rotate` takes the next of
several variants at each step). Failure variants catch the exception they
expect, so an exception of another type stops the case and is reported.
`w.watch(...)` adds objects whose reference counts must come back; the
module namespace, the classes, their functions and defaults, and the
sibling modules' objects are watched anyway.

`covers` names the entry points a case calls ("Driver.open",
"module._to_driver_shadow_", "module.import"); test_leaks.py checks that
every public entry point has a success case and a failure case. Success
cases run the full call count; failure cases, whose every call raises
through several functions of the module, run a quarter of it.
"""

import importlib
import itertools
import sys
import types

from fakes import LeanGDAL

MODULE = "vek._algos.geo.driver"
CLASSES = ("Driver", "RasterDriver", "VectorDriver", "DriveStatistics")
IMPORT_ATTRS = frozenset({"__spec__", "__loader__", "__file__", "__package__", "__name__", "__path__", "__cached__"})
BASE_NAMES = ("error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path", "_gdal")
FAILURE_SCALE = 0.25


class Case:
    def __init__(self, name, setup, covers, failure, scale, cost, fresh, canary, known_leak):
        self.name = name
        self.setup = setup
        self.covers = covers
        self.failure = failure
        self.scale = scale
        self.cost = cost
        self.fresh = fresh
        self.canary = canary
        self.known_leak = known_leak


_CASES = {}


def case(name, covers=(), failure=False, scale=None, cost=1.0, fresh=False, canary=False, known_leak=()):
    """Registers `setup` under `name`. `scale` multiplies the call count
    (default 1, or FAILURE_SCALE for a failure case); `cost` is a rough
    relative cost per call, used to spread cases over processes.
    `known_leak` names the measures in which a known, reported leak shows:
    the case then passes only while that leak is there and nothing else
    leaks, so that the mark goes when the leak is fixed."""
    if scale is None:
        scale = FAILURE_SCALE if failure else 1.0

    def register(setup):
        assert name not in _CASES, name
        _CASES[name] = Case(name, setup, tuple(covers) or (name,), failure, scale, cost, fresh, canary, tuple(known_leak))
        return setup

    return register


def registry():
    return dict(_CASES)


# ---- steps ------------------------------------------------------------------------------------

DELETE = object()


def rotate(variants):
    """A step that runs the next of `variants` at each call."""
    following = itertools.cycle(list(variants)).__next__
    return lambda: following()()


def raises(exc, fn, *args, **kwargs):
    """A variant calling fn(*args, **kwargs), which must raise `exc`."""

    def run():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{getattr(fn, '__qualname__', fn)} did not raise {exc}")

    return run


def calls(fn, *args, **kwargs):
    return lambda: fn(*args, **kwargs)


def reads(obj, attr):
    return lambda: getattr(obj, attr)


def patched(target, changes, run):
    """A variant running `run` with names of `target` (a module or a
    namespace dict) rebound, or deleted for DELETE, and put back after."""
    ns = target if isinstance(target, dict) else vars(target)

    def variant():
        saved = {k: ns[k] for k in changes if k in ns}
        for k, v in changes.items():
            if v is DELETE:
                del ns[k]
            else:
                ns[k] = v
        try:
            run()
        finally:
            for k in changes:
                ns.pop(k, None)
            ns.update(saved)

    return variant


# ---- the world --------------------------------------------------------------------------------


RASTER_XML = (
    "<CreationOptionList>"
    '<Option name="COMPRESS" type="string-select" default="NONE"><Value>NONE</Value><Value>LZW</Value>'
    "<Value>DEFLATE</Value></Option>"
    '<Option name="TILED" type="boolean" description="Tiles &lt;b&gt;"/>'
    '<Option name="BLOCKXSIZE" type="int"/>'
    "</CreationOptionList>"
)
OPEN_XML = '<OpenOptionList><Option name="NUM_THREADS" type="string"/><Option name="GEOREF" type="string"/></OpenOptionList>'
LAYER_XML = (
    '<LayerCreationOptionList><Option name="ENCODING" type="string"/><Option name="RESIZE" type="boolean"/>'
    "</LayerCreationOptionList>"
)

RASTER_META = dict(
    DCAP_RASTER="YES",
    DCAP_CREATE="YES",
    DCAP_CREATECOPY="YES",
    DCAP_UPDATE="YES",
    DCAP_VIRTUALIO="YES",
    DCAP_COORDINATE_EPOCH="yes",
    DMD_SUBDATASETS="YES",
    DMD_EXTENSION="tif",
    DMD_EXTENSIONS="tif tiff",
    DMD_LONGNAME="Fake raster",
    DMD_CREATIONDATATYPES="Byte UInt16 Float32",
    DMD_CREATIONOPTIONLIST=RASTER_XML,
    DMD_OPENOPTIONLIST=OPEN_XML,
)
VECTOR_META = dict(
    DCAP_VECTOR="YES",
    DCAP_CREATE="YES",
    DMD_EXTENSIONS="shp dbf",
    DMD_LONGNAME="Fake vector",
    DMD_CREATIONFIELDDATATYPES="Integer Real String",
    DCAP_Z_GEOMETRIES="YES",
    DCAP_MEASURED_GEOMETRIES="yes",
    DCAP_MULTIPLE_VECTOR_LAYERS="YES",
    DMD_SUPPORTED_SQL_DIALECTS="OGRSQL SQLITE",
    DS_LAYER_CREATIONOPTIONLIST=LAYER_XML,
    DMD_OPENOPTIONLIST=OPEN_XML,
)
FAKE_NAMES = ("FAKE_R", "FAKE_V", "FAKE_RV", "FAKE_N")


def lean_env(raster=None, vector=None, shape=(4, 6)):
    return types.SimpleNamespace(
        RasterConfig={"creation.options": raster if raster is not None else {"FAKE_R": {"COMPRESS": "LZW", "NOPE": 1}}},
        VectorConfig={"creation.options": vector if vector is not None else {"FAKE_V": {"ENCODING": "UTF-8"}}},
        JupyterShowMaxShape=shape,
    )


class Sink:
    """A builder standing in for gdata's: takes every call and keeps only
    the last argument of each method, so nothing accumulates."""

    def __init__(self, *args):
        self.args = args

    def set_base_info(self, info):
        self.info = info

    def add_details(self, details):
        self.details = details

    def add_row(self, row):
        self.row = row

    def add_head(self, head):
        self.head = head

    def to_html(self):
        return "<html>"


class FakeDataset:
    def __init__(self, handle):
        self.handle = handle


class World:
    """What a case may change, put back by restore(); the objects to watch."""

    def __init__(self):
        self.drv = importlib.import_module(MODULE)
        self.base = importlib.import_module("vek._algos.geo.base")
        self.geodatabase = importlib.import_module("vek._algos.geo.geodatabase")
        self.error = self.base.error
        self.ns = vars(self.drv)
        self._saved = [(m, dict(vars(m))) for m in (self.drv, self.base, self.geodatabase)]
        self._watch = []
        self.skip_import_attrs = False
        self.finish = None

    def restore(self):
        for module, saved in self._saved:
            ns = vars(module)
            for name in list(ns):
                if name not in saved:
                    del ns[name]
            ns.update(saved)

    def watch(self, *objs):
        self._watch.extend(objs)
        return objs[0] if len(objs) == 1 else objs

    def watch_driver(self, d):
        """A driver, its attributes and the records of its catalogues."""
        self.watch(d)
        for value in vars(d).values():
            self.watch(value)
            if isinstance(value, dict):
                for name, record in value.items():
                    self.watch(name, record)
            if isinstance(value, list):
                self.watch(*value)
        return d

    def watched(self):
        seen, out = set(), []

        def add(obj):
            if id(obj) not in seen:
                seen.add(id(obj))
                out.append(obj)

        for name, value in self.ns.items():
            if not (self.skip_import_attrs and name in IMPORT_ATTRS):
                add(value)
        saved_ns = self._saved[0][1]
        for cls_name in CLASSES:
            for member in vars(saved_ns[cls_name]).values():
                add(member)
                fn = member.fget if isinstance(member, property) else member
                add(fn)
                defaults = getattr(fn, "__defaults__", None)
                if defaults:
                    add(defaults)
                    for item in defaults:
                        add(item)
        for fn_name in ("_to_driver_shadow_", "read_xml_to_dict"):
            add(saved_ns[fn_name].__defaults__)
        for module in (self.base, self.geodatabase, self.error, self.base.xet, self.base.dtypes):
            for value in list(vars(module).values()):
                if not isinstance(value, types.ModuleType):
                    add(value)
        for name in ("RasterConfig", "VectorConfig", "JupyterShowMaxShape"):
            try:
                add(getattr(self.ns["env"], name))
            except Exception:
                pass
        for obj in self._watch:
            add(obj)
        return out

    # -- fakes

    def fake_gdal(self, failing=()):
        """Binds a LeanGDAL with four drivers (raster, vector, both,
        neither) and a configuration with defaults for two of them."""
        fake = LeanGDAL(failing)
        self.handles = {name: fake.add(name, **meta) for name, meta in (
            ("FAKE_R", RASTER_META),
            ("FAKE_V", VECTOR_META),
            ("FAKE_RV", {**RASTER_META, **VECTOR_META}),
            ("FAKE_N", {"DMD_LONGNAME": "Neither"}),
        )}
        self.ns["_gdal"] = fake
        self.ns["env"] = lean_env()
        self.watch(fake, *self.handles.values())
        return fake

    def fake_builders(self):
        self.ns["gdata"] = types.SimpleNamespace(VEKHTMLDetails=Sink, VEKHTMLTable=Sink)

    def fake_creation(self):
        """call_gdal_fun calls the fake binding; GeoDatabase and open_file
        wrap whatever they get."""
        self.ns["call_gdal_fun"] = lambda fun, *args: fun(*args)
        self.ns["mem_temp_path"] = lambda ext: "/vsimem/leak/x." + ext
        self.geodatabase.GeoDatabase = FakeDataset
        self.geodatabase.open_file = lambda *args: args

    def real_env(self):
        """The real binding with a configuration that has no defaults."""
        self.ns["env"] = lean_env(raster={}, vector={})


class FreshWorld:
    """The world of a case run in a process that has not imported the
    module: nothing to restore, only what the case watches."""

    def __init__(self):
        self._watch = []
        self.finish = None

    def watch(self, *objs):
        self._watch.extend(objs)
        return objs[0] if len(objs) == 1 else objs

    def watched(self):
        return list(self._watch)

    def restore(self):
        pass


# ---- hostile objects ---------------------------------------------------------------------------


class ReprRaises:
    def __repr__(self):
        raise ValueError("no repr")


class ReprNotStr:
    def __repr__(self):
        return 42


class ThisRaises:
    @property
    def this(self):
        raise KeyError("this")


class BoolRaises:
    def __bool__(self):
        raise ZeroDivisionError("bool")


class FormatRaises(str):
    def __format__(self, format_spec):
        raise LookupError("format")


def format_error_returning(make):
    """An `error` whose FormatError returns make() (a new object each call:
    raising one stored instance again and again chains its tracebacks, in
    Python code just as here)."""
    return types.SimpleNamespace(FormatError=lambda *a, **k: make())


def format_error_raising():
    def fail(*a, **k):
        raise OSError("FormatError itself failed")

    return types.SimpleNamespace(FormatError=fail)


# ==============================================================================================
# module functions


@case("module._to_driver_shadow_", covers=["module._to_driver_shadow_"])
def _(w):
    from osgeo import _gdal

    f = w.drv._to_driver_shadow_
    real = w.watch(_gdal.GetDriverByName("GTiff"))
    d = w.watch_driver(w.drv.Driver("GTiff"))
    proxy = w.watch(types.SimpleNamespace(this=real))
    plain = w.watch(object())
    return rotate([calls(f, real), calls(f, d), calls(f, proxy), calls(f, plain), calls(f, None, allow_error=True)])


@case("module._to_driver_shadow_: errors", covers=["module._to_driver_shadow_"], failure=True)
def _(w):
    f = w.drv._to_driver_shadow_
    E = w.error.FormatError
    odd = w.watch(ReprRaises(), ReprNotStr(), ThisRaises(), types.SimpleNamespace(this=BoolRaises()), FormatRaises("x"))
    return rotate(
        [
            raises(E, f, None, False),
            raises(E, f, 2.5, allow_error=False),
            raises(ValueError, f, odd[0]),
            raises(TypeError, f, odd[1]),
            raises(KeyError, f, odd[2]),
            raises(ZeroDivisionError, f, odd[3]),
            raises(ZeroDivisionError, f, 1, BoolRaises()),
            raises(LookupError, f, odd[4], False),
            raises(TypeError, f),
            raises(TypeError, f, 1, 2, 3),
            raises(TypeError, f, 1, nope=2),
        ]
    )


@case("module._to_driver_shadow_: FormatError fakes, junk globals", covers=["module._to_driver_shadow_"], failure=True)
def _(w):
    f = w.drv._to_driver_shadow_
    not_exc = w.watch(object())
    variants = [
        ({"error": format_error_returning(lambda: not_exc)}, TypeError),
        ({"error": format_error_returning(lambda: KeyError("fake"))}, KeyError),
        ({"error": format_error_returning(lambda: LookupError)}, LookupError),
        ({"error": format_error_raising()}, OSError),
        ({"error": DELETE}, NameError),
        ({"error": 42}, AttributeError),
        ({"Driver": 42}, TypeError),
        ({"Driver": DELETE}, NameError),
    ]
    for changes, _exc in variants:
        w.watch(*changes.values())
    return rotate([patched(w.ns, changes, raises(exc, f, None, False)) for changes, exc in variants])


@case("module.read_xml_to_dict", covers=["module.read_xml_to_dict"])
def _(w):
    f = w.drv.read_xml_to_dict
    texts = [RASTER_XML, OPEN_XML, LAYER_XML.encode(), None, "", '<a><o name="X" value="v"><v/></o><o name="X"/></a>']
    return rotate([calls(f, t) for t in texts])


@case("module.read_xml_to_dict: bad XML", covers=["module.read_xml_to_dict"], failure=True)
def _(w):
    f = w.drv.read_xml_to_dict
    ParseError = w.drv.xet.ParseError
    return rotate(
        [
            raises(ParseError, f, "<a><b></a>"),
            raises(ParseError, f, '<!DOCTYPE a [<!ENTITY e "x">]><a><o name="&e;"/></a>'),
            raises(ParseError, f, '<!DOCTYPE a [<!ENTITY e SYSTEM "file:///etc/passwd">]><a>&e;</a>'),
            raises(KeyError, f, '<a><o name="A"/><o/></a>'),
            raises(TypeError, f, 12),
            raises(TypeError, f),
        ]
    )


@case("module.read_xml_to_dict: failing xet", covers=["module.read_xml_to_dict"], failure=True)
def _(w):
    f = w.drv.read_xml_to_dict

    class Elem:
        def __init__(self, attrib=None, children=()):
            self.attrib = attrib if attrib is not None else {}
            self.children = children
            self.text = None

        def __iter__(self):
            if self.children is None:
                raise BufferError("iter")
            return iter(self.children)

    class NoPop(dict):
        def pop(self, key):
            raise EOFError("pop")

    # Trees made anew at each call: the reader pops "name" from them.
    makers = [
        (lambda: Elem(children=None), BufferError),
        (lambda: Elem(children=[Elem({"name": "A"}, children=None)]), BufferError),
        (lambda: Elem(children=[Elem(NoPop(name="A"))]), EOFError),
        (lambda: Elem(children=[Elem(types.MappingProxyType({"name": "A"}))]), AttributeError),
        (lambda: Elem(children=[Elem({"name": "A"}, children=[object()])]), AttributeError),
        (lambda: Elem(children=[Elem({"name": ["unhashable"]})]), TypeError),
    ]
    variants = []
    for make, exc in makers:
        xet = w.watch(types.SimpleNamespace(fromstring=lambda text, m=make: m()))
        variants.append(patched(w.ns, {"xet": xet}, raises(exc, f, "<x/>")))
    variants.append(patched(w.ns, {"xet": DELETE}, raises(NameError, f, "<x/>")))
    return rotate(variants)


# ==============================================================================================
# Driver: construction and identity


@case("Driver.__init__", covers=["Driver.__init__"])
def _(w):
    from osgeo import _gdal

    D = w.drv.Driver
    handle = w.watch(_gdal.GetDriverByName("GTiff"))
    src = w.watch_driver(w.drv.RasterDriver("GTiff"))
    return rotate([calls(D, "GTiff"), calls(D, 0), calls(D, True), calls(D, handle), calls(D, src), calls(D, name="MEM")])


@case("Driver.__init__: fake binding", covers=["Driver.__init__"])
def _(w):
    D = w.drv.Driver
    w.fake_gdal()
    src = w.watch_driver(D("FAKE_R"))
    return rotate([calls(D, "FAKE_R"), calls(D, 0), calls(D, True), calls(D, src), calls(D, w.handles["FAKE_V"])])


@case("Driver.__init__: errors", covers=["Driver.__init__"], failure=True)
def _(w):
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
def _(w):
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


@case("Driver.__repr__ / __str__", covers=["Driver.__repr__", "Driver.__str__"])
def _(w):
    drv = w.drv
    w.fake_gdal()
    ds = [w.watch_driver(drv.Driver(n)) for n in FAKE_NAMES]
    ds += [w.watch_driver(drv.RasterDriver("FAKE_RV")), w.watch_driver(drv.VectorDriver("FAKE_RV"))]
    return rotate([calls(fn, d) for d in ds for fn in (repr, str)])


@case("Driver.__repr__ / __str__: real GDAL", covers=["Driver.__repr__", "Driver.__str__"])
def _(w):
    drv = w.drv
    ds = [w.watch_driver(cls(n)) for cls, n in ((drv.Driver, "GTiff"), (drv.RasterDriver, "GPKG"), (drv.VectorDriver, "GPKG"))]
    return rotate([calls(fn, d) for d in ds for fn in (repr, str)])


@case("Driver.__repr__ / __str__: raising properties", covers=["Driver.__repr__", "Driver.__str__"], failure=True)
def _(w):
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


@case("Driver._get_metadata_item_", covers=["Driver._get_metadata_item_"])
def _(w):
    real = w.watch_driver(w.drv.Driver("GTiff"))
    w.real_env()
    get = real._get_metadata_item_
    return rotate([calls(get, "DMD_CREATIONOPTIONLIST"), calls(get, "ABSENT"), calls(get, psz="DCAP_RASTER")])


@case("Driver._get_metadata_item_: fake binding", covers=["Driver._get_metadata_item_"])
def _(w):
    w.fake_gdal()
    get = w.watch_driver(w.drv.Driver("FAKE_R"))._get_metadata_item_
    return rotate([calls(get, "DMD_LONGNAME"), calls(get, "ABSENT"), calls(get, psz="DCAP_RASTER")])


@case("Driver._get_metadata_item_: errors", covers=["Driver._get_metadata_item_"], failure=True)
def _(w):
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


# ==============================================================================================
# properties of the three driver classes, on fake and on real drivers

DRIVER_PROPERTIES = (
    "category creatable creation_options creation_options_info extension extensions is_raster is_vector "
    "long_name name open_options open_options_info updatable virtualio"
).split()
RASTER_PROPERTIES = (
    "category compress_modes coordinate_epoch copyable creation_dtypes creation_options_info open_options_info "
    "sub_datasets transformable"
).split()
VECTOR_PROPERTIES = (
    "category creation_ftypes creation_options_info dimension multi_layers open_options_info sql_dialects "
    "transformable"
).split()
STATISTICS_PROPERTIES = "creatables rasters updatables vectors virtualios".split()
CATALOGUE_PROPERTIES = {"creation_options", "creation_options_info", "open_options", "open_options_info", "compress_modes"}


def property_cases(cls_name, prop, names, real_names):
    @case(f"{cls_name}.{prop}", covers=[f"{cls_name}.{prop}"])
    def _(w):
        cls = getattr(w.drv, cls_name)
        w.fake_gdal()
        return rotate([reads(w.watch_driver(cls(n)), prop) for n in names])

    @case(f"{cls_name}.{prop}: real GDAL", covers=[f"{cls_name}.{prop}"])
    def _(w):
        cls = getattr(w.drv, cls_name)
        w.real_env()
        return rotate([reads(w.watch_driver(cls(n)), prop) for n in real_names])

    @case(f"{cls_name}.{prop}: failing binding", covers=[f"{cls_name}.{prop}"], failure=True)
    def _(w):
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
for _p in RASTER_PROPERTIES:
    property_cases("RasterDriver", _p, ["FAKE_R", "FAKE_RV"], ["GTiff", "MEM"])
for _p in VECTOR_PROPERTIES:
    property_cases("VectorDriver", _p, ["FAKE_V", "FAKE_RV"], ["ESRI Shapefile", "GPKG"])


@case(
    "subclasses overriding properties to raise",
    covers=[
        "RasterDriver.__init__",
        "VectorDriver.__init__",
        "Driver.__str__",
        "RasterDriver.transformable",
        "RasterDriver.creation_options_info",
        "VectorDriver.transformable",
        "Driver._repr_html_",
        "RasterDriver.create",
        "Driver.open",
    ],
    failure=True,
)
def _(w):
    drv = w.drv
    w.fake_gdal()

    def raising(exc):
        def get(self):
            raise exc("overridden")

        return property(get)

    Sub = type("Sub", (drv.RasterDriver,), {p: raising(IndexError) for p in ("is_raster", "name", "extension", "copyable")})
    SubV = type("SubV", (drv.VectorDriver,), {p: raising(IndexError) for p in ("is_vector", "creatable")})
    d = w.watch_driver(drv.Driver("FAKE_RV"))
    sub = w.watch_driver(Sub.__new__(Sub))
    sub._driver, sub._open_opts, sub._creation_opts = d._driver, {}, {}
    subv = w.watch_driver(SubV.__new__(SubV))
    subv._driver, subv._open_opts, subv._creation_opts = d._driver, {}, {}
    w.watch(Sub, SubV)
    return rotate(
        [
            raises(IndexError, Sub, "FAKE_R"),
            raises(IndexError, SubV, "FAKE_V"),
            raises(IndexError, str, sub),
            raises(IndexError, getattr, sub, "transformable"),
            raises(IndexError, getattr, sub, "creation_options_info"),
            raises(IndexError, getattr, subv, "transformable"),
            raises(IndexError, sub._repr_html_),
            raises(IndexError, sub.create, None, 1, 1, 1),
            raises(IndexError, subv.open, "x"),
        ]
    )


# ==============================================================================================
# option catalogues, built afresh at every call


def rebuild(d, attr, method, *args):
    def run():
        setattr(d, attr, {})
        method(*args)

    return run


@case(
    "Driver._set_creation_options_info_ / _set_open_options_info_",
    covers=["Driver._set_creation_options_info_", "Driver._set_open_options_info_"],
)
def _(w):
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
def _(w):
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
def _(w):
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


# ==============================================================================================
# option values


@case(
    "Driver.set_creation_options / set_open_options / _set_opts_",
    covers=["Driver.set_creation_options", "Driver.set_open_options", "Driver._set_opts_"],
)
def _(w):
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
def _(w):
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


# ==============================================================================================
# opening


@case("Driver.open", covers=["Driver.open"])
def _(w):
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
def _(w):
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
def _(w):
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


# ==============================================================================================
# HTML view of a driver


@case("Driver._repr_html_", covers=["Driver._repr_html_"])
def _(w):
    drv = w.drv
    w.fake_gdal()
    w.fake_builders()
    ds = [w.watch_driver(cls(n)) for cls, n in ((drv.Driver, "FAKE_RV"), (drv.RasterDriver, "FAKE_R"), (drv.VectorDriver, "FAKE_V"), (drv.Driver, "FAKE_N"))]
    return rotate([d._repr_html_ for d in ds])


@case("Driver._repr_html_: real builder", covers=["Driver._repr_html_"], scale=0.2, cost=5)
def _(w):
    w.fake_gdal()
    d = w.watch_driver(w.drv.RasterDriver("FAKE_R"))
    d.set_creation_options(TILED="<script>alert(1)</script>")
    return d._repr_html_


@case("Driver._repr_html_: real GTiff", covers=["Driver._repr_html_"], scale=0.02, cost=80)
def _(w):
    w.real_env()
    return w.watch_driver(w.drv.Driver("GTiff"))._repr_html_


@case("Driver._repr_html_: failing builders", covers=["Driver._repr_html_"], failure=True)
def _(w):
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


# ==============================================================================================
# RasterDriver and VectorDriver: construction and creation


@case("RasterDriver.__init__ / VectorDriver.__init__", covers=["RasterDriver.__init__", "VectorDriver.__init__"])
def _(w):
    drv = w.drv
    R, V = drv.RasterDriver, drv.VectorDriver
    src_r = w.watch_driver(drv.Driver("GTiff"))
    src_v = w.watch_driver(drv.Driver("ESRI Shapefile"))
    return rotate([calls(R), calls(R, "MEM"), calls(R, src_r), calls(R, name="GPKG"), calls(V), calls(V, "GPKG"), calls(V, src_v)])


@case(
    "RasterDriver.__init__ / VectorDriver.__init__: errors",
    covers=["RasterDriver.__init__", "VectorDriver.__init__"],
    failure=True,
)
def _(w):
    drv = w.drv
    R, V = drv.RasterDriver, drv.VectorDriver
    E = w.error.FormatError
    src_v = w.watch_driver(drv.Driver("ESRI Shapefile"))
    src_r = w.watch_driver(drv.Driver("GTiff"))
    return rotate(
        [
            raises(E, R, "ESRI Shapefile"),
            raises(E, R, src_v),
            raises(E, R, "NoSuchFormat"),
            raises(E, V, "GTiff"),
            raises(E, V, src_r),
            raises(E, V, 3.5),
            raises(TypeError, R, "GTiff", 2),
            raises(TypeError, V, bad=1),
            raises(TypeError, R.__init__, object(), "GTiff"),
            patched(w.ns, {"error": DELETE}, raises(NameError, R, "ESRI Shapefile")),
        ]
    )


@case(
    "RasterDriver/VectorDriver _create_ and create: fake binding",
    covers=["RasterDriver._create_", "RasterDriver.create", "VectorDriver._create_", "VectorDriver.create"],
)
def _(w):
    drv = w.drv
    w.fake_gdal()
    w.fake_creation()
    r = w.watch_driver(drv.RasterDriver("FAKE_R"))
    r.set_creation_options(TILED=True)
    v = w.watch_driver(drv.VectorDriver("FAKE_V"))
    return rotate(
        [
            calls(r._create_, None, 1, 2, 3),
            calls(r._create_, "", 1, 2, 3, "Byte"),
            calls(r.create, None, 3, 2, 1),
            calls(r.create, out_dst="x.tif", xsize=1, ysize=1, bands=1, dtype=1),
            calls(v._create_, None),
            calls(v.create, "x.shp"),
        ]
    )


@case(
    "RasterDriver.create / VectorDriver.create: real in-memory datasets",
    covers=["RasterDriver.create", "VectorDriver.create", "RasterDriver._create_", "VectorDriver._create_"],
    scale=0.1,
    cost=25,
)
def _(w):
    from osgeo import _gdal

    drv = w.drv
    w.real_env()
    r = w.watch_driver(drv.RasterDriver("GTiff"))
    r.set_creation_options(COMPRESS="DEFLATE", TILED=True)
    m = w.watch_driver(drv.RasterDriver("MEM"))
    v = w.watch_driver(drv.VectorDriver("ESRI Shapefile"))

    def raw():
        path = drv.mem_temp_path("tif")
        _gdal.delete_Dataset(r._create_(path, 1, 2, 2))
        _gdal.Unlink(path)

    return rotate(
        [lambda: r.create(None, 4, 3, 2, "Byte").close(), lambda: m.create(None, 2, 2, 1).close(), lambda: v.create(None).close(), raw]
    )


@case(
    "RasterDriver.create / VectorDriver.create: errors",
    covers=["RasterDriver.create", "VectorDriver.create", "RasterDriver._create_", "VectorDriver._create_"],
    failure=True,
    cost=3,
)
def _(w):
    drv = w.drv
    w.real_env()
    r = w.watch_driver(drv.RasterDriver("GTiff"))
    v = w.watch_driver(drv.VectorDriver("ESRI Shapefile"))
    gpkg = w.watch_driver(drv.VectorDriver("GPKG"))  # writes at once, so a bad path fails
    gdal_error = w.error.GDALError

    def failing_path(ext):
        raise FileExistsError(ext)

    return rotate(
        [
            raises(gdal_error, r.create, "/vsimem/leakcheck/empty.tif", 0, 0, 1),
            raises(ValueError, r.create, "/vsimem/leakcheck/x.tif", 1, 1, 1, "NoSuchType"),
            raises(TypeError, r.create, None, 1, 1),
            raises(TypeError, r._create_, None, 1, 1, 1, "Byte", 5),
            raises(TypeError, v.create),
            raises(TypeError, v._create_, None, 1),
            raises(gdal_error, gpkg.create, "/proc/vek-leakcheck/x.gpkg"),
            patched(w.ns, {"mem_temp_path": failing_path}, raises(FileExistsError, r.create, None, 1, 1, 1)),
            patched(w.ns, {"mem_temp_path": failing_path}, raises(FileExistsError, v._create_, None)),
        ]
    )


@case(
    "RasterDriver.create: failing in-memory creation",
    covers=["RasterDriver.create", "RasterDriver._create_"],
    failure=True,
    cost=3,
)
def _(w):
    # The in-memory path is made before GDAL refuses (or the data type is
    # found unknown); nothing about it may stay behind.
    w.real_env()
    r = w.watch_driver(w.drv.RasterDriver("GTiff"))
    return rotate([raises(w.error.GDALError, r.create, None, 0, 0, 1), raises(ValueError, r.create, None, 1, 1, 1, "NoSuchType")])


@case(
    "RasterDriver/VectorDriver create: failing globals, dataset class",
    covers=["RasterDriver.create", "VectorDriver.create", "RasterDriver._create_", "VectorDriver._create_"],
    failure=True,
)
def _(w):
    drv = w.drv
    gdb = w.geodatabase
    real_class = gdb.GeoDatabase
    w.fake_gdal()
    w.fake_creation()
    r = w.watch_driver(drv.RasterDriver("FAKE_R"))
    v = w.watch_driver(drv.VectorDriver("FAKE_V"))

    def call_fails(fun, *args):
        raise NotADirectoryError("call_gdal_fun")

    variants = []
    for make in (calls(r.create, None, 1, 1, 1), calls(v.create, None)):
        variants += [
            patched(gdb, {"GeoDatabase": real_class}, raises(TypeError, make)),  # the fake's result is no dataset
            patched(gdb, {"GeoDatabase": DELETE}, raises(ImportError, make)),
            patched(w.ns, {"call_gdal_fun": call_fails}, raises(NotADirectoryError, make)),
            patched(w.ns, {"_gdal": DELETE}, raises(NameError, make)),
            patched(w.ns, {"call_gdal_fun": DELETE}, raises(NameError, make)),
        ]
    variants.append(patched(w.ns, {"dtypes": DELETE}, raises(NameError, r._create_, None, 1, 1, 1)))
    return rotate(variants)


# ==============================================================================================
# DriveStatistics


@case("DriveStatistics.__init__ / __len__", covers=["DriveStatistics.__init__", "DriveStatistics.__len__"])
def _(w):
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
def _(w):
    S = w.drv.DriveStatistics
    return lambda: len(S())


@case(
    "DriveStatistics.__init__ / __len__: errors",
    covers=["DriveStatistics.__init__", "DriveStatistics.__len__"],
    failure=True,
)
def _(w):
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


@case("DriveStatistics.__getitem__", covers=["DriveStatistics.__getitem__"])
def _(w):
    import numpy as np

    s = w.watch(w.drv.DriveStatistics())
    w.watch(*s._drivers)
    keys = w.watch(0, -1, True, "gtiff", "GTIFF", "ESRI Shapefile", "MEM", len(s) - 1)
    variants = [calls(s.__getitem__, k) for k in keys]
    variants.append(raises(w.error.FormatError, s.__getitem__, np.int64(1)))  # not an int: looked up by its text
    return rotate(variants)


@case("DriveStatistics.__getitem__: errors", covers=["DriveStatistics.__getitem__"], failure=True)
def _(w):
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


def statistics_property_cases(prop):
    @case(f"DriveStatistics.{prop}", covers=[f"DriveStatistics.{prop}"])
    def _(w):
        w.fake_gdal()
        s = w.watch(w.drv.DriveStatistics())
        w.watch(*s._drivers)
        return reads(s, prop)

    @case(f"DriveStatistics.{prop}: real registry", covers=[f"DriveStatistics.{prop}"], scale=0.01, cost=60)
    def _(w):
        s = w.watch(w.drv.DriveStatistics())
        return reads(s, prop)

    @case(f"DriveStatistics.{prop}: failing binding", covers=[f"DriveStatistics.{prop}"], failure=True)
    def _(w):
        w.fake_gdal()
        s = w.watch(w.drv.DriveStatistics())
        w.fake_gdal(failing=["MajorObject_GetMetadataItem"])
        for d in s._drivers:
            w.watch(d)
            d._driver = w.handles[d._driver.name]
        return raises(RuntimeError, getattr, s, prop)


for _p in STATISTICS_PROPERTIES:
    statistics_property_cases(_p)


@case("DriveStatistics._repr_html_", covers=["DriveStatistics._repr_html_"])
def _(w):
    w.fake_gdal()
    w.fake_builders()
    s = w.watch(w.drv.DriveStatistics())
    w.watch(*s._drivers)
    return rotate([patched(w.ns, {"env": lean_env(shape=shape)}, s._repr_html_) for shape in ((2, 6), (10, 6), (3, 2))])


@case("DriveStatistics._repr_html_: real registry", covers=["DriveStatistics._repr_html_"], scale=0.01, cost=200)
def _(w):
    return w.watch(w.drv.DriveStatistics())._repr_html_


@case("DriveStatistics._repr_html_: failures", covers=["DriveStatistics._repr_html_"], failure=True)
def _(w):
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


# ==============================================================================================
# the module import: failure and retry, and a repeated import


@case("module.import: failure and retry", covers=["module.import"], failure=True, fresh=True, scale=1.0, cost=20)
def _(w):
    if MODULE in sys.modules:
        raise RuntimeError("the module was imported before this case")
    real_base = importlib.import_module("vek._algos.geo.base")
    base_name = real_base.__name__
    values = {n: getattr(real_base, n) for n in BASE_NAMES}
    w.watch(real_base, *values.values())

    lacking = types.ModuleType(base_name)  # no _gdal: fails after seven names are bound
    for n in BASE_NAMES[:-1]:
        setattr(lacking, n, values[n])

    raising = types.ModuleType(base_name)  # the sibling raises while a name is fetched

    def __getattr__(name):
        if name == "env":
            raise ConnectionError("env")
        if name not in values:
            raise AttributeError(name)
        return values[name]

    raising.__getattr__ = __getattr__
    w.watch(lacking, raising)

    def fails(fake, exc):
        def run():
            sys.modules[base_name] = fake
            try:
                importlib.import_module(MODULE)
            except exc:
                pass
            else:
                raise AssertionError("the import did not fail")
            if MODULE in sys.modules:
                raise AssertionError("a failed import left its module in sys.modules")

        return run

    def finish():
        sys.modules[base_name] = real_base
        module = importlib.import_module(MODULE)
        if module.Driver("GTiff").name != "GTiff":
            raise AssertionError("the retried import does not work")

    w.finish = finish
    return rotate([fails(lacking, ImportError), fails(raising, ConnectionError)])


# Importing again after `del sys.modules[...]`: the create step hands back
# the module made first; CPython's PyModule_FromDefAndSpec2 then sets that
# module's md_state to NULL and PyModule_ExecDef allocates a new one
# (PyMem_Malloc(0)), so each such import loses one small block.
@case("module.import: repeated import and reload", covers=["module.import"], cost=20)
def _(w):
    module = w.drv
    ns_before = list(vars(module))
    w.skip_import_attrs = True

    def again():
        del sys.modules[MODULE]
        if importlib.import_module(MODULE) is not module:
            raise AssertionError("a second module object")

    def reload():
        importlib.reload(module)
        if list(vars(module)) != ns_before:
            raise AssertionError("the namespace changed")

    return rotate([again, reload])


# ==============================================================================================
# canaries: deliberately faulty steps that the checker must flag


@case("canary: reference leak", canary=True)
def _(w):
    import ctypes

    obj = w.watch(object())
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    return lambda: incref(obj)


@case("canary: memory leak", canary=True)
def _(w):
    kept = []
    return lambda: kept.append({"n": len(kept)})


@case("canary: crash", canary=True)
def _(w):
    import ctypes

    return lambda: ctypes.string_at(0)

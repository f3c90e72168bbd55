"""What a case runs in: the module with fakes bound as its globals (World),
or a process that has not imported it yet (FreshWorld); the fake
drivers' metadata and the stand-ins for the module's helpers.
"""

import importlib
import types

from fakes import LeanGDAL


MODULE = "vek._algos.geo.driver"
CLASSES = ("Driver", "RasterDriver", "VectorDriver", "DriveStatistics")
IMPORT_ATTRS = frozenset({"__spec__", "__loader__", "__file__", "__package__", "__name__", "__path__", "__cached__"})
BASE_NAMES = ("error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path", "_gdal")


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

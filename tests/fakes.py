"""Fake GDAL bindings: drivers with metadata chosen by the test, and calls
recorded in order."""


class FakeHandle:
    """Prints like a binding handle, so the module accepts it as one."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"<Swig Object of type 'GDALDriverShadow *' fake {self.name}>"


class FakeGDAL:
    """Stands in for the low-level binding ``_gdal``.

    ``add(name, **metadata)`` registers a driver; ``calls`` records every
    binding call as a tuple (function name, *args)."""

    def __init__(self):
        self.drivers = []  # FakeHandle objects in registry order
        self.meta = {}  # handle -> {key: value}
        self.calls = []
        self.created = []

    def add(self, name, **metadata):
        handle = FakeHandle(name)
        self.drivers.append(handle)
        self.meta[handle] = dict(metadata)
        return handle

    def GetDriverCount(self):
        self.calls.append(("GetDriverCount",))
        return len(self.drivers)

    def GetDriver(self, index):
        self.calls.append(("GetDriver", index))
        try:
            return self.drivers[index]
        except (IndexError, TypeError):
            return None

    def GetDriverByName(self, name):
        self.calls.append(("GetDriverByName", name))
        for handle in self.drivers:
            if handle.name == name:
                return handle
        return None

    def Driver_ShortName_get(self, handle):
        self.calls.append(("Driver_ShortName_get", handle))
        return handle.name

    def MajorObject_GetMetadataItem(self, handle, key):
        self.calls.append(("MajorObject_GetMetadataItem", handle, key))
        return self.meta[handle].get(key)

    def Driver_Create(self, *args):
        self.calls.append(("Driver_Create",) + args)
        self.created.append(args)
        return ("dataset", args)


# ---- configuration, error class and HTML builder stand-ins -----------------


class RecordingConfig:
    """A mapping-like configuration object. ``get`` answers from ``data`` and
    appends ``(label, args, kwargs)`` to ``log``; the truth value is that of
    ``data``."""

    def __init__(self, label, data=None, log=None):
        self.label = label
        self.data = {} if data is None else data
        self.log = [] if log is None else log

    def get(self, *args, **kwargs):
        self.log.append((self.label, args, kwargs))
        return self.data.get(*args, **kwargs)

    def __len__(self):
        return len(self.data)


class FakeEnv:
    """Stands in for ``env``. ``raster`` and ``vector`` are the per-driver
    defaults tables ({driver name: {option: default}}) that ``RasterConfig``
    and ``VectorConfig`` hold under "creation.options"; ``None`` leaves the
    key out. Every ``get`` on the configs and on the tables is logged, the
    tables under the labels "RasterTable" and "VectorTable"."""

    def __init__(self, raster=None, vector=None, log=None):
        self.log = [] if log is None else log
        self.RasterConfig = self._config("Raster", raster)
        self.VectorConfig = self._config("Vector", vector)

    def _config(self, kind, table):
        data = {}
        if table is not None:
            data["creation.options"] = RecordingConfig(kind + "Table", table, self.log)
        return RecordingConfig(kind + "Config", data, self.log)


class FakeFormatError(Exception):
    """What ``RecordingFormatError`` returns: keeps the call's arguments."""

    def __init__(self, args, kwargs):
        super().__init__(args, kwargs)
        self.call_args = args
        self.call_kwargs = kwargs


class RecordingFormatError:
    """Stands in for ``error.FormatError``: records each call as
    ``(args, kwargs)`` and returns a new ``FakeFormatError``."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return FakeFormatError(args, kwargs)


class RecordingDetails:
    """Stands in for ``gdata.VEKHTMLDetails``. Bind a subclass made by
    ``RecordingDetails.bound_to(log)``; each builder call is logged as
    ``(method name, builder, args, kwargs)``; ``to_html`` returns a text
    naming the builder's number."""

    log = None
    made = 0

    @classmethod
    def bound_to(cls, log):
        return type("RecordingDetails", (cls,), {"log": log, "made": 0})

    def __init__(self, *args, **kwargs):
        type(self).made += 1
        self.number = type(self).made
        self.log.append(("VEKHTMLDetails", self, args, kwargs))

    def set_base_info(self, *args, **kwargs):
        self.log.append(("set_base_info", self, args, kwargs))
        return "ignored"

    def add_details(self, *args, **kwargs):
        self.log.append(("add_details", self, args, kwargs))
        return "ignored"

    def to_html(self, *args, **kwargs):
        self.log.append(("to_html", self, args, kwargs))
        return f"<html {self.number}>"

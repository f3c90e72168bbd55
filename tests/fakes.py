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
    and ``VectorConfig`` hold under "creation.options", ``raster_open`` and
    ``vector_open`` those under "open.options"; ``None`` leaves the key out.
    Every ``get`` on the configs and on the tables is logged, the tables
    under the labels "RasterTable", "VectorTable", "RasterOpenTable" and
    "VectorOpenTable"."""

    def __init__(self, raster=None, vector=None, log=None, raster_open=None, vector_open=None):
        self.log = [] if log is None else log
        self.RasterConfig = self._config("Raster", raster, raster_open)
        self.VectorConfig = self._config("Vector", vector, vector_open)

    def _config(self, kind, table, open_table):
        data = {}
        if table is not None:
            data["creation.options"] = RecordingConfig(kind + "Table", table, self.log)
        if open_table is not None:
            data["open.options"] = RecordingConfig(kind + "OpenTable", open_table, self.log)
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


# ---- helpers shared by the test modules -----------------------------------------


def run_child(code, prelude=""):
    """Runs ``prelude + code`` in a fresh interpreter and returns its output;
    a non-zero exit fails the test with the child's stderr."""
    import subprocess
    import sys
    import textwrap

    source = textwrap.dedent(prelude) + textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def tb_names(exc):
    """The function names of an exception's traceback entries, outermost first."""
    import traceback

    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def short_calls(log):
    """A recorded log in short form: the key of a metadata read, "name" for a
    short-name read, (label, *args) for a logged configuration ``get``, the
    entry itself for a str, and the call's name for anything else."""
    out = []
    for entry in log:
        if isinstance(entry, str):
            out.append(entry)
        elif entry[0] == "MajorObject_GetMetadataItem":
            out.append(entry[2])
        elif entry[0] == "Driver_ShortName_get":
            out.append("name")
        elif entry[0].endswith(("Config", "Table")):
            out.append((entry[0],) + tuple(entry[1]))
        else:
            out.append(entry[0])
    return out


def keys_read(fake, since=0):
    """Metadata keys asked of a FakeGDAL since call number ``since``."""
    return [c[2] for c in fake.calls[since:] if c[0] == "MajorObject_GetMetadataItem"]


def bind_format_error(drv):
    """Binds a RecordingFormatError as the module's ``error.FormatError``."""
    import types

    recorder = RecordingFormatError()
    drv.error = types.SimpleNamespace(FormatError=recorder)
    return recorder


def fail_for(fake, handle, exc, reads=("MajorObject_GetMetadataItem", "Driver_ShortName_get")):
    """Makes a FakeGDAL raise ``exc`` for the metadata and short-name reads of ``handle``."""
    for attr in reads:
        real = getattr(fake, attr)

        def call(h, *args, real=real):
            if h is handle:
                raise exc
            return real(h, *args)

        setattr(fake, attr, call)


def raiser(exc):
    """A function that raises ``exc`` whatever it is called with."""

    def fail(*args, **kwargs):
        raise exc

    return fail

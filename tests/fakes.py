"""Fake GDAL bindings, shared by the tests, the leak check and the benchmarks.

``FakeGDAL`` records every binding call in order, for tests that check what
the module asked; ``LeanGDAL`` records nothing but two counts, for loops of
millions of calls (the leak check, the benchmarks' timing loops), where a
log would grow without end. Drivers are added with ``add(name, **metadata)``;
``fake_registry(n)`` makes a lean one of ``n`` drivers with a fixed mix of
kinds and flags. Benchmarks run as scripts: they put tests/ on ``sys.path``
and import this module as ``fakes``.
"""

import contextlib


class FakeHandle:
    """A driver handle: prints like a binding handle, so the module accepts
    it as one, and carries its driver's short name and metadata."""

    def __init__(self, name, meta=None):
        self.name = name
        self.meta = {} if meta is None else meta
        # Made once: the module prints a handle at every driver it builds,
        # and a timing loop should not measure the formatting.
        self._text = f"<Swig Object of type 'GDALDriverShadow *' fake {name}>"

    def __repr__(self):
        return self._text


class LeanGDAL:
    """Stands in for the low-level binding ``_gdal`` and keeps no log:
    ``metadata_calls`` and ``name_calls`` count the metadata and short-name
    reads (``reset_counts()`` sets both to 0). Names in ``failing`` are
    binding functions that raise RuntimeError("<name> failed")."""

    def __init__(self, failing=()):
        self.drivers = []  # FakeHandle objects in registry order
        self.metadata_calls = 0
        self.name_calls = 0
        for name in failing:
            setattr(self, name, _failing(name))

    def add(self, name, **metadata):
        handle = FakeHandle(name, dict(metadata))
        self.drivers.append(handle)
        return handle

    def reset_counts(self):
        self.metadata_calls = 0
        self.name_calls = 0

    def GetDriverCount(self):
        return len(self.drivers)

    def GetDriver(self, index):
        try:
            return self.drivers[index]
        except (IndexError, TypeError):
            return None

    def GetDriverByName(self, name):
        for handle in self.drivers:
            if handle.name == name:
                return handle
        return None

    def Driver_ShortName_get(self, handle):
        self.name_calls += 1
        return handle.name

    def MajorObject_GetMetadataItem(self, handle, key):
        self.metadata_calls += 1
        return handle.meta.get(key)

    def Driver_Create(self, *args):
        return ("dataset", args)


def _failing(name):
    def fail(*args):
        raise RuntimeError(f"{name} failed")

    return fail


class FakeGDAL(LeanGDAL):
    """A LeanGDAL that records every binding call in ``calls`` as a tuple
    (function name, *args), and the arguments of each creation in
    ``created``."""

    def __init__(self):
        super().__init__()
        self.calls = []
        self.created = []

    def GetDriverCount(self):
        self.calls.append(("GetDriverCount",))
        return super().GetDriverCount()

    def GetDriver(self, index):
        self.calls.append(("GetDriver", index))
        return super().GetDriver(index)

    def GetDriverByName(self, name):
        self.calls.append(("GetDriverByName", name))
        return super().GetDriverByName(name)

    def Driver_ShortName_get(self, handle):
        self.calls.append(("Driver_ShortName_get", handle))
        return super().Driver_ShortName_get(handle)

    def MajorObject_GetMetadataItem(self, handle, key):
        self.calls.append(("MajorObject_GetMetadataItem", handle, key))
        return super().MajorObject_GetMetadataItem(handle, key)

    def Driver_Create(self, *args):
        self.calls.append(("Driver_Create",) + args)
        self.created.append(args)
        return super().Driver_Create(*args)


# ---- a registry of any size, for the scaling benchmarks ---------------------


def registry_name(i):
    return f"FAKE{i:05d}"


def registry_metadata(i):
    """The metadata of driver ``i``, so that every size has the same mix:
    ``i % 4`` 0 raster, 1 vector, 2 both, 3 neither; ``DCAP_CREATE`` on even
    indexes, ``DCAP_UPDATE`` on every third, ``DCAP_VIRTUALIO`` on odd ones;
    ``DMD_EXTENSION`` "e<i>" on all but every fifth driver, which has only
    ``DMD_EXTENSIONS``."""
    meta = {}
    kind = i % 4
    if kind in (0, 2):
        meta["DCAP_RASTER"] = "YES"
    if kind in (1, 2):
        meta["DCAP_VECTOR"] = "YES"
    if i % 2 == 0:
        meta["DCAP_CREATE"] = "YES"
    if i % 3 == 0:
        meta["DCAP_UPDATE"] = "YES"
    if i % 2 == 1:
        meta["DCAP_VIRTUALIO"] = "YES"
    if i % 5 == 0:
        meta["DMD_EXTENSIONS"] = f"e{i} x{i}"
    else:
        meta["DMD_EXTENSION"] = f"e{i}"
    meta["DMD_LONGNAME"] = f"Fake driver {i}"
    return meta


def fake_registry(count):
    """A LeanGDAL with ``count`` drivers named by ``registry_name``."""
    fake = LeanGDAL()
    for i in range(count):
        fake.add(registry_name(i), **registry_metadata(i))
    return fake


@contextlib.contextmanager
def installed(module, fake):
    """Binds ``fake`` as ``module._gdal`` for the duration of the block."""
    saved = module._gdal
    module._gdal = fake
    try:
        yield fake
    finally:
        module._gdal = saved


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

"""A fake GDAL driver registry of any size, for the scaling benchmarks.

``FakeRegistry(n)`` stands in for the low-level binding ``osgeo._gdal`` with
``n`` drivers; bind it as the driver module's ``_gdal`` with
``installed(module, registry)``.  Its handles print with the
"GDALDriverShadow *" marker, so the module takes them for driver handles.

Metadata by registry index ``i`` (so every size has the same mix):

* ``i % 4``: 0 raster, 1 vector, 2 raster and vector, 3 neither;
* ``DCAP_CREATE`` on even indexes, ``DCAP_UPDATE`` on every third,
  ``DCAP_VIRTUALIO`` on odd indexes;
* ``DMD_EXTENSION`` "e<i>" on all but every fifth driver, which has only
  ``DMD_EXTENSIONS``.

The registry counts its metadata and short-name calls (``metadata_calls``,
``name_calls``), so a benchmark can tell how many reads an operation made.
"""

import contextlib

MARKER_REPR = "<Swig Object of type 'GDALDriverShadow *' (fake registry)>"


class FakeHandle:
    """A driver handle: a short name and a metadata dictionary."""

    __slots__ = ("name", "meta")

    def __init__(self, name, meta):
        self.name = name
        self.meta = meta

    def __repr__(self):
        return MARKER_REPR


def fake_name(i):
    return f"FAKE{i:05d}"


def _metadata(i):
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


class FakeRegistry:
    """The part of ``osgeo._gdal`` that the driver module calls."""

    def __init__(self, count):
        self.handles = [FakeHandle(fake_name(i), _metadata(i)) for i in range(count)]
        self._by_name = {h.name: h for h in self.handles}
        self.metadata_calls = 0
        self.name_calls = 0

    def reset_counts(self):
        self.metadata_calls = 0
        self.name_calls = 0

    def GetDriverCount(self):
        return len(self.handles)

    def GetDriver(self, index):
        try:
            return self.handles[index]
        except (IndexError, TypeError):
            return None

    def GetDriverByName(self, name):
        return self._by_name.get(name)

    def Driver_ShortName_get(self, handle):
        self.name_calls += 1
        return handle.name

    def MajorObject_GetMetadataItem(self, handle, key):
        self.metadata_calls += 1
        return handle.meta.get(key)


@contextlib.contextmanager
def installed(module, registry):
    """Bind ``registry`` as ``module._gdal`` for the duration of the block."""
    saved = module._gdal
    module._gdal = registry
    try:
        yield registry
    finally:
        module._gdal = saved

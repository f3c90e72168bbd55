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

"""Everything about one driver as plain data, and the whole registry as one
snapshot: what :func:`describe` gives is JSON-ready (``json.dumps`` takes
it as it is), so that two GDAL builds can be compared anywhere.

A capability is ``True`` or ``False`` as the driver's flag says, and
``None`` where the running GDAL publishes its item for no driver at all
(``DCAP_UPDATE`` before GDAL 3.11): "no" would be a guess.

Results are kept per process and handed out as new copies: a snapshot
while GDAL's version, the drivers' names and every driver's metadata are
the same, a driver described by name or index while its metadata, the
registry and the configuration read are; a driver object of the caller's
is described afresh.
"""

import marshal
import operator
import re

from osgeo import _gdal

from ..binding.capabilities import (
    CAPABILITIES, DATA_KINDS, WRITES, unpublished, write_modes,
)
from ..binding.extension import driver_module
from ..binding.optionlists import OPTION_LISTS, applies_to
from ..config import settings as env

__all__ = ["describe", "description", "snapshot", "help_url"]

# Option lists a driver may publish besides its creation, layer and open
# lists, each under its own key where the driver has it.
_EXTRA_LISTS = {
    "multidim_dataset_creation": "multidim",
    **{kind: kind for kind in ("multidim_group_creation", "multidim_dimension_creation", "multidim_array_creation",
                               "multidim_array_open", "multidim_attribute_creation", "overview_creation")},
}

GDAL_DOCS = "https://gdal.org/"
# A plain path below the documentation's root, as GDAL's drivers give it
# ("drivers/raster/gtiff.html"): joined by hand, since urllib costs more to
# import than a command takes to run; anything else goes to urljoin.
_PLAIN_TOPIC = re.compile(r"/?[\w-][\w.-]*(?:/[\w-][\w.-]*)*")  # no "." or ".." segment


def _registry() -> list:
    stats = driver_module().DriveStatistics()
    return [stats[i] for i in range(len(stats))]


def help_url(topic: str) -> str | None:
    """``DMD_HELPTOPIC`` as an address: GDAL publishes it relative to its
    documentation's root (``drivers/raster/gtiff.html``); an absolute one
    stays as it is. ``None`` for a driver without one."""
    topic = topic.strip()
    if not topic:
        return None
    if _PLAIN_TOPIC.fullmatch(topic):
        return GDAL_DOCS + topic.lstrip("/")
    from urllib.parse import urljoin

    return urljoin(GDAL_DOCS, topic)


def _json_value(value):
    # a "current" value is whatever the caller or the configuration gave
    if value is None or isinstance(value, (str, bool, int, float)):
        return value
    return str(value)


def _catalogue(catalogue, scope=None) -> dict:
    """A copy of an option catalogue, with the options of ``scope`` only
    (those that name no scope apply to every kind)."""
    out = {}
    for name, record in catalogue.items():
        if scope is not None and record.get("scope") and not applies_to(record, scope):
            continue
        copied = dict(record)  # the attributes are the list's text; the rest is copied
        if "value" in copied:
            copied["value"] = list(copied["value"])
        if "current" in copied:
            copied["current"] = _json_value(copied["current"])
        out[name] = copied
    return out


def _views(obj):
    """``(raster view, vector view)`` of a driver object, ``None`` for a kind
    it does not handle. The object itself serves the kind its own catalogues
    are built for, so that option values set on it show."""
    driver = driver_module()
    raster = vector = None
    if obj.is_raster:
        raster = obj if not isinstance(obj, driver.VectorDriver) else driver.RasterDriver(obj.name)
    if obj.is_vector:
        own = isinstance(obj, driver.VectorDriver) or (type(obj) is driver.Driver and raster is None)
        vector = obj if own else driver.VectorDriver(obj.name)
    return raster, vector


class _Items(dict):
    """A driver's metadata read at once: item name (upper case, as GDAL's
    own lookup ignores case) -> text. It answers item reads as a driver
    object does, so the readers of :mod:`..binding.capabilities` take it."""

    def _get_metadata_item_(self, key: str) -> str:
        return self.get(key) or ""


# The items a description reads, for a driver read item by item.
_READ = (*DATA_KINDS.values(), *CAPABILITIES.values(), *WRITES.values(), *OPTION_LISTS.values(),
         "DMD_EXTENSIONS", "DMD_EXTENSION", "DMD_CONNECTION_PREFIX", "DMD_HELPTOPIC")


def _is_binding_handle(handle) -> bool:
    # a handle of GDAL's own binding, bare or inside an osgeo.gdal proxy;
    # anything else (a test's fake registry) is read through its object
    return type(getattr(handle, "this", handle)).__name__ == "SwigPyObject"


def _reader(obj) -> _Items:
    """``obj``'s items: one GetMetadata where it holds a handle of GDAL's
    binding, else each item a description reads, through the object."""
    handle = getattr(obj, "_driver", None)
    if not _is_binding_handle(handle):
        return _Items({key: obj._get_metadata_item_(key) for key in dict.fromkeys(_READ)})
    read = _gdal.MajorObject_GetMetadata_Dict(handle, "") or {}
    items = _Items({key.upper(): value for key, value in read.items()})
    for key in _ON_DEMAND:  # not in the dictionary until an item read asks for it
        items[key] = _gdal.MajorObject_GetMetadataItem(handle, key, "") or ""
    return items


# Items GDAL makes when they are read one by one (GDAL 3.13 gives drivers
# without their own overview options GTiff's), absent from GetMetadata's
# dictionary before.
_ON_DEMAND = (OPTION_LISTS["overview_creation"],)


def _text(items, key) -> str:
    return items.get(key) or ""


def _flag(items, key) -> bool:
    return _text(items, key).upper() == "YES"  # as metadata_flag reads an item


def _parsed(items, kind) -> dict:
    return driver_module().read_xml_to_dict(_text(items, OPTION_LISTS[kind]) or None)


def _own_catalogues(obj, items) -> dict:
    """The creation, layer and open catalogues as the driver's objects keep
    them, with the values set on ``obj`` or configured as their "current"."""
    raster, vector = _views(obj)
    options = {}
    if raster is not None:
        options["creation"] = _catalogue(raster.creation_options_info, "raster")
    if vector is not None:
        options["dataset_creation"] = _catalogue(_parsed(items, "creation"), "vector")
        options["layer_creation"] = _catalogue(vector.creation_options_info)
    if raster is None and vector is None:
        options["creation"] = _catalogue(_parsed(items, "creation"))
    options["open"] = _catalogue((raster or vector or obj).open_options_info)
    return options


def _listed_catalogues(obj, items) -> dict:
    """The same catalogues without "current" values, each list parsed once
    from the text GDAL publishes (no driver objects of each kind made). A
    fresh parse is handed out as it is; the creation list of a driver of
    both kinds is copied for its second use."""
    options = {}
    creation = _parsed(items, "creation")
    raster, vector = obj.is_raster, obj.is_vector
    if raster:
        options["creation"] = _scoped(creation, "raster")
    if vector:
        options["dataset_creation"] = _catalogue(creation, "vector") if raster else _scoped(creation, "vector")
        options["layer_creation"] = _parsed(items, "layer")
    if not (raster or vector):
        options["creation"] = creation
    options["open"] = _parsed(items, "open")
    return options


def _scoped(catalogue, scope) -> dict:
    return {name: record for name, record in catalogue.items()
            if not record.get("scope") or applies_to(record, scope)}


def _options(obj, items, current) -> dict:
    options = (_own_catalogues if current else _listed_catalogues)(obj, items)
    for key, kind in _EXTRA_LISTS.items():
        if _text(items, OPTION_LISTS[kind]):
            options[key] = _parsed(items, kind)  # a fresh parse, nobody else's
    return options


def description(obj, unknown, items=None, current=True) -> dict:
    """``obj`` described; ``unknown`` are the capabilities no driver
    publishes, ``items`` what to read its metadata from (see
    :func:`_reader`), and ``current`` whether option records carry the
    object's "current" values."""
    items = _reader(obj) if items is None else items
    prefix = _text(items, "DMD_CONNECTION_PREFIX")
    return {
        "name": obj.name,
        "long_name": obj.long_name,
        "kinds": [kind for kind, item in DATA_KINDS.items() if _flag(items, item)],
        "extensions": _text(items, "DMD_EXTENSIONS").split() or _text(items, "DMD_EXTENSION").split(),
        "connection_prefix": prefix or None,
        "help_url": help_url(_text(items, "DMD_HELPTOPIC")),
        "capabilities": {name: None if name in unknown else _flag(items, item)
                         for name, item in CAPABILITIES.items()},
        "writes": write_modes(items, tuple(WRITES)),
        "options": _options(obj, items, current),
    }


# What is kept for one state of GDAL's registry (each driver's address, in
# order): the capabilities no driver publishes, and describe's results by
# driver address. Drivers deregistered or registered make another state.
_KEPT: dict[tuple, tuple[frozenset, dict]] = {}
# snapshot's result, with what it was made from
_SNAPSHOT: list = []


def _registry_state() -> tuple:
    handles = [_gdal.GetDriver(i) for i in range(_gdal.GetDriverCount())]
    try:
        return tuple(map(int, handles))  # a bare handle gives its address
    except TypeError:  # osgeo.gdal's proxies: the handle inside
        return tuple(int(h.this) for h in handles)


def _kept_for_state() -> tuple[frozenset, dict]:
    state = _registry_state()
    found = _KEPT.get(state)
    if found is None:
        _KEPT.clear()  # one registry at a time: an old state is not coming back
        found = _KEPT[state] = (unpublished(_registry()), {})
    return found


def _unknown(obj) -> frozenset:
    """The capabilities no registered driver publishes, kept per registry
    state for the drivers of GDAL's binding."""
    if not _is_binding_handle(getattr(obj, "_driver", None)):
        return unpublished(_registry())
    return _kept_for_state()[0]


def _copy(blob: bytes):
    # marshal copies plain data at C speed, shared parts shared as they were
    return marshal.loads(blob)


def _described(obj) -> dict:
    """describe's result for a driver object made here (no values set on
    it): kept while its metadata, the registry and the configuration read
    (the very mappings settings gives, so that a reload is a new read) are
    the ones it was made from."""
    unknown, kept = _kept_for_state()
    items = _reader(obj)
    configured = (env.RasterConfig, env.VectorConfig)
    key = int(getattr(obj._driver, "this", obj._driver))
    entry = kept.get(key)
    if entry is not None and entry[0] == (obj.name, items) and all(map(operator.is_, entry[1], configured)):
        return _copy(entry[2])
    from .keeps import with_keeps  # pathlib and the results files: describe's alone

    made = with_keeps(description(obj, unknown, items))
    kept[key] = ((obj.name, items), configured, marshal.dumps(made))
    return made


def describe(driver: object) -> dict:
    """Everything about one driver, as a new mapping of plain data.

    ``driver`` is anything the driver classes take (a short name, a registry
    index, a driver object): an object's own option values (set or
    configured) show as the ``"current"`` of their records.

    Keys: ``name``, ``long_name``, ``kinds`` (of ``"raster"``,
    ``"multidimensional"``, ``"vector"``), ``extensions`` (all of them),
    ``connection_prefix`` (``"PG:"``, ... or ``None``), ``help_url`` (the
    driver's page on gdal.org, or ``None``), ``capabilities`` (name ->
    ``True``, ``False``, or ``None`` where this GDAL publishes that
    capability for no driver), ``writes`` (of ``"create"``, ``"copy"``,
    ``"translate"``: GDAL's Create, CreateCopy, VectorTranslateFrom; empty
    for a driver that writes nothing) and ``options``: catalogues in the form
    of ``creation_options_info``, under ``creation`` (raster datasets),
    ``dataset_creation`` and ``layer_creation`` (vector datasets and their
    layers), ``open``, and the multidimensional and overview lists
    (``multidim_array_creation``, ...) where the driver has them. A driver of
    both kinds lists under ``creation`` and ``dataset_creation`` the options
    whose ``scope`` is its raster or vector side, and both list the options
    that name no scope.

    ``keeps`` is there only where vek has results of
    ``scripts/format-keeps.py`` for this GDAL (the same release and build,
    shipped or run by the user): what a file of this driver kept of what
    was written to it (docs/format-keeps.md).
    """
    cls = driver_module().Driver
    if not isinstance(driver, cls):  # an object of the caller's may have values set: described afresh
        obj = cls(driver)
        if _is_binding_handle(getattr(obj, "_driver", None)):
            return _described(obj)
        driver = obj
    from .keeps import with_keeps  # pathlib and the results files: describe's alone

    return with_keeps(description(driver, _unknown(driver)))


def snapshot() -> dict:
    """The whole registry as GDAL publishes it: GDAL's version and every
    driver's description, by short name in registry order. Option values
    from this user's configuration are left out: they are no part of the
    build."""
    drivers = _registry()
    readers = [_reader(d) for d in drivers]
    made_from = (_gdal.VersionInfo("RELEASE_NAME"), [d.name for d in drivers], readers)
    if _SNAPSHOT and _SNAPSHOT[0] == made_from:
        return _copy(_SNAPSHOT[1])
    unknown = unpublished(readers)
    made = {
        "gdal": made_from[0],
        "drivers": {name: description(d, unknown, items, current=False)
                    for name, d, items in zip(made_from[1], drivers, readers)},
    }
    if all(_is_binding_handle(getattr(d, "_driver", None)) for d in drivers):
        # the names and every driver's metadata make the result (a fake registry's objects may not say)
        _SNAPSHOT[:] = made_from, marshal.dumps(made)
    return made

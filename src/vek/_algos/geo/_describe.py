"""Everything about one driver as plain data, and the whole registry as one
snapshot: what :func:`describe` gives is JSON-ready (``json.dumps`` takes
it as it is), so that two GDAL builds can be compared anywhere.

A capability is ``True`` or ``False`` as the driver's flag says, and
``None`` where the running GDAL publishes its item for no driver at all
(``DCAP_UPDATE`` before GDAL 3.11): "no" would be a guess.
"""

from typing import Any
from urllib.parse import urljoin

from ._capabilities import metadata_flag, metadata_item, metadata_list
from ._optcheck import applies_to

__all__ = ["describe", "description", "snapshot", "CAPABILITIES", "KINDS", "WRITES", "unpublished", "help_url"]

# Capability name -> the metadata item that tells it. The names of the driver
# classes' flag properties where they have one, else GDAL's item without its
# DCAP_ prefix.
CAPABILITIES = {
    "creatable": "DCAP_CREATE",
    "copyable": "DCAP_CREATECOPY",
    "updatable": "DCAP_UPDATE",
    "virtualio": "DCAP_VIRTUALIO",
    "coordinate_epoch": "DCAP_COORDINATE_EPOCH",
    "sub_datasets": "DMD_SUBDATASETS",
    "multi_layers": "DCAP_MULTIPLE_VECTOR_LAYERS",
    "create_layer": "DCAP_CREATE_LAYER",
    "delete_layer": "DCAP_DELETE_LAYER",
    "create_field": "DCAP_CREATE_FIELD",
    "delete_field": "DCAP_DELETE_FIELD",
    "z_geometries": "DCAP_Z_GEOMETRIES",
    "measured_geometries": "DCAP_MEASURED_GEOMETRIES",
    "curve_geometries": "DCAP_CURVE_GEOMETRIES",
    "field_domains": "DCAP_FIELD_DOMAINS",
    "upsert": "DCAP_UPSERT",
    "create_multidimensional": "DCAP_CREATE_MULTIDIMENSIONAL",
}

# The kinds of data a driver handles, as gdalinfo --formats names them.
KINDS = {
    "raster": "DCAP_RASTER",
    "multidimensional": "DCAP_MULTIDIM_RASTER",
    "vector": "DCAP_VECTOR",
}

# The ways a driver writes datasets: GDAL's Create, CreateCopy, and
# VectorTranslateFrom (GDAL 3.8; PMTiles writes this way only).
WRITES = {"create": "DCAP_CREATE", "copy": "DCAP_CREATECOPY", "translate": "DCAP_VECTOR_TRANSLATE_FROM"}

# Option lists a driver may publish besides its creation, layer and open
# lists, each under its own key where the driver has it.
_EXTRA_LISTS = {
    "multidim_dataset_creation": "DMD_MULTIDIM_DATASET_CREATIONOPTIONLIST",
    "multidim_group_creation": "DMD_MULTIDIM_GROUP_CREATIONOPTIONLIST",
    "multidim_dimension_creation": "DMD_MULTIDIM_DIMENSION_CREATIONOPTIONLIST",
    "multidim_array_creation": "DMD_MULTIDIM_ARRAY_CREATIONOPTIONLIST",
    "multidim_array_open": "DMD_MULTIDIM_ARRAY_OPENOPTIONLIST",
    "multidim_attribute_creation": "DMD_MULTIDIM_ATTRIBUTE_CREATIONOPTIONLIST",
    "overview_creation": "DMD_OVERVIEW_CREATIONOPTIONLIST",
}

GDAL_DOCS = "https://gdal.org/"


def _driver_module():
    from . import driver  # the extension imports base, which this module sits beside

    return driver


def _registry() -> list:
    stats = _driver_module().DriveStatistics()
    return [stats[i] for i in range(len(stats))]


def unpublished(drivers, names=CAPABILITIES) -> frozenset:
    """The capabilities (of ``names``, all by default) whose item none of
    ``drivers`` (driver objects or handles) sets."""
    missing = set(names)
    for d in drivers:
        missing = {c for c in missing if not metadata_item(d, CAPABILITIES[c])}
        if not missing:
            break
    return frozenset(missing)


def help_url(topic: str) -> str | None:
    """``DMD_HELPTOPIC`` as an address: GDAL publishes it relative to its
    documentation's root (``drivers/raster/gtiff.html``); an absolute one
    stays as it is. ``None`` for a driver without one."""
    return urljoin(GDAL_DOCS, topic.strip()) if topic.strip() else None


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
        if scope is not None and not applies_to(record, scope):
            continue
        copied = {k: (list(v) if k == "value" else _json_value(v)) for k, v in record.items()}
        out[name] = copied
    return out


def _views(obj):
    """``(raster view, vector view)`` of a driver object, ``None`` for a kind
    it does not handle. The object itself serves the kind its own catalogues
    are built for, so that option values set on it show."""
    driver = _driver_module()
    raster = vector = None
    if obj.is_raster:
        raster = obj if not isinstance(obj, driver.VectorDriver) else driver.RasterDriver(obj.name)
    if obj.is_vector:
        own = isinstance(obj, driver.VectorDriver) or (type(obj) is driver.Driver and raster is None)
        vector = obj if own else driver.VectorDriver(obj.name)
    return raster, vector


def _options(obj) -> dict:
    driver = _driver_module()
    raster, vector = _views(obj)
    options = {}
    if raster is not None:
        options["creation"] = _catalogue(raster.creation_options_info, "raster")
    if vector is not None:
        dataset = driver.read_xml_to_dict(metadata_item(obj, "DMD_CREATIONOPTIONLIST") or None)
        options["dataset_creation"] = _catalogue(dataset, "vector")
        options["layer_creation"] = _catalogue(vector.creation_options_info)
    if raster is None and vector is None:
        options["creation"] = _catalogue(driver.read_xml_to_dict(
            metadata_item(obj, "DMD_CREATIONOPTIONLIST") or None))
    options["open"] = _catalogue((raster or vector or obj).open_options_info)
    for key, item in _EXTRA_LISTS.items():
        text = metadata_item(obj, item)
        if text:
            options[key] = _catalogue(driver.read_xml_to_dict(text))
    return options


def description(obj, unknown) -> dict:
    prefix = metadata_item(obj, "DMD_CONNECTION_PREFIX")
    return {
        "name": obj.name,
        "long_name": obj.long_name,
        "kinds": [kind for kind, item in KINDS.items() if metadata_flag(obj, item)],
        "extensions": metadata_list(obj, "DMD_EXTENSIONS") or metadata_list(obj, "DMD_EXTENSION"),
        "connection_prefix": prefix or None,
        "help_url": help_url(metadata_item(obj, "DMD_HELPTOPIC")),
        "capabilities": {name: None if name in unknown else metadata_flag(obj, item)
                         for name, item in CAPABILITIES.items()},
        "writes": [mode for mode, item in WRITES.items() if metadata_flag(obj, item)],
        "options": _options(obj),
    }


def describe(driver: object) -> dict[str, Any]:
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
    """
    cls = _driver_module().Driver
    obj = driver if isinstance(driver, cls) else cls(driver)
    return description(obj, unpublished(_registry()))


def _without_current(data: dict) -> dict:
    for catalogue in data["options"].values():
        for record in catalogue.values():
            record.pop("current", None)
    return data


def snapshot() -> dict[str, Any]:
    """The whole registry as GDAL publishes it: GDAL's version and every
    driver's description, by short name in registry order. Option values
    from this user's configuration are left out: they are no part of the
    build."""
    from osgeo import _gdal

    drivers = _registry()
    unknown = unpublished(drivers)
    return {
        "gdal": _gdal.VersionInfo("RELEASE_NAME"),
        "drivers": {d.name: _without_current(description(d, unknown)) for d in drivers},
    }

"""Everything about one driver as plain data, and the whole registry as one
snapshot: what :func:`describe` gives is JSON-ready (``json.dumps`` takes
it as it is), so that two GDAL builds can be compared anywhere.

A capability is ``True`` or ``False`` as the driver's flag says, and
``None`` where the running GDAL publishes its item for no driver at all
(``DCAP_UPDATE`` before GDAL 3.11): "no" would be a guess.
"""

from typing import Any
from urllib.parse import urljoin

from ..binding.capabilities import (
    CAPABILITIES, DATA_KINDS, WRITES, metadata_flag, metadata_item, metadata_list, unpublished, write_modes,
)
from ..binding.extension import driver_module
from ..binding.optionlists import OPTION_LISTS
from ..options.check import applies_to
from .keeps import with_keeps

__all__ = ["describe", "description", "snapshot", "help_url"]

# Option lists a driver may publish besides its creation, layer and open
# lists, each under its own key where the driver has it.
_EXTRA_LISTS = {
    "multidim_dataset_creation": "multidim",
    **{kind: kind for kind in ("multidim_group_creation", "multidim_dimension_creation", "multidim_array_creation",
                               "multidim_array_open", "multidim_attribute_creation", "overview_creation")},
}

GDAL_DOCS = "https://gdal.org/"


def _registry() -> list:
    stats = driver_module().DriveStatistics()
    return [stats[i] for i in range(len(stats))]


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
    driver = driver_module()
    raster = vector = None
    if obj.is_raster:
        raster = obj if not isinstance(obj, driver.VectorDriver) else driver.RasterDriver(obj.name)
    if obj.is_vector:
        own = isinstance(obj, driver.VectorDriver) or (type(obj) is driver.Driver and raster is None)
        vector = obj if own else driver.VectorDriver(obj.name)
    return raster, vector


def _options(obj) -> dict:
    driver = driver_module()
    raster, vector = _views(obj)
    options = {}
    if raster is not None:
        options["creation"] = _catalogue(raster.creation_options_info, "raster")
    if vector is not None:
        dataset = driver.read_xml_to_dict(metadata_item(obj, OPTION_LISTS["creation"]) or None)
        options["dataset_creation"] = _catalogue(dataset, "vector")
        options["layer_creation"] = _catalogue(vector.creation_options_info)
    if raster is None and vector is None:
        options["creation"] = _catalogue(driver.read_xml_to_dict(
            metadata_item(obj, OPTION_LISTS["creation"]) or None))
    options["open"] = _catalogue((raster or vector or obj).open_options_info)
    for key, kind in _EXTRA_LISTS.items():
        text = metadata_item(obj, OPTION_LISTS[kind])
        if text:
            options[key] = _catalogue(driver.read_xml_to_dict(text))
    return options


def description(obj, unknown) -> dict:
    prefix = metadata_item(obj, "DMD_CONNECTION_PREFIX")
    return {
        "name": obj.name,
        "long_name": obj.long_name,
        "kinds": [kind for kind, item in DATA_KINDS.items() if metadata_flag(obj, item)],
        "extensions": metadata_list(obj, "DMD_EXTENSIONS") or metadata_list(obj, "DMD_EXTENSION"),
        "connection_prefix": prefix or None,
        "help_url": help_url(metadata_item(obj, "DMD_HELPTOPIC")),
        "capabilities": {name: None if name in unknown else metadata_flag(obj, item)
                         for name, item in CAPABILITIES.items()},
        "writes": write_modes(obj, tuple(WRITES)),
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

    ``keeps`` is there only where vek has results of
    ``scripts/format-keeps.py`` for this GDAL (the same release and build,
    shipped or run by the user): what a file of this driver kept of what
    was written to it (docs/format-keeps.md).
    """
    cls = driver_module().Driver
    obj = driver if isinstance(driver, cls) else cls(driver)
    return with_keeps(description(obj, unpublished(_registry())))


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

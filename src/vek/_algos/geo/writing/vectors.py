"""``write_vector``: layers of features written in one call.

The dataset is created in a private folder beside the target (where the
driver writes files), each layer made with the checks of
``GeoDatabase.create_layer`` and filled in a transaction where the driver
has them, one feature at a time (the features are never all held). Once
closed, it is read back and compared with what was written, then
published by rename, as ``copy_to`` publishes a copy.
"""

import itertools
import os

from osgeo import _gdal, _ogr

from .. import _error as error
from ..binding.capabilities import metadata_flag
from ..binding.messages import gdal_messages, last_gdal_error
from ..dataset.copying import Check, publish_written, stage_for
from ..dataset.creation import existing_before, remove_created
from ..dataset.layers import field_type, field_type_text, geometry_code, make_layer
from ..dataset.opening import create_vector
from ..dataset.owner import adopt
from ..dataset.precheck import configured_layer_options, creating_driver, driver_ftypes
from ..registry.identify import drivers_for_path
from ..verify.compare import checked_verify, settle
from ..verify.facts import wkt_of
from .features import _GEOJSON, Schema, as_feature, geometry_type as inferred_geometry, inferred_fields

__all__ = ["write_vector"]


def _fields_of(fields, name):
    """``fields`` for every layer, or per layer where each value is a mapping."""
    if fields and all(hasattr(v, "items") for v in fields.values()):
        return fields.get(name)
    return fields


def _geometry_of(geometry_type, name):
    """``geometry_type`` for every layer, or per layer as a mapping."""
    return geometry_type.get(name) if hasattr(geometry_type, "get") else geometry_type


def _geojson_type(code):
    """The GeoJSON type every geometry of a layer of OGR type ``code`` has
    (``None``: any, for Unknown and None)."""
    flat = _ogr.GT_Flatten(code)
    return _GEOJSON.get(_ogr.GeometryTypeToName(flat).replace(" ", "")) if flat else None


def _driver(path, driver):
    if driver is None:
        driver = drivers_for_path(path, single=True, kind="vector")
    handle = creating_driver(driver)
    if not metadata_flag(handle, "DCAP_VECTOR"):
        raise error.FormatError(f"{_gdal.Driver_ShortName_get(handle)} writes no vector layers; "
                                "give a vector driver")
    return driver, handle


def _begin(handle, layer):
    """Start a transaction where the driver has one: ``(commit, rollback)``."""
    if _gdal.Dataset_TestCapability(handle, "Transactions") and _gdal.Dataset_StartTransaction(handle, 0) == 0:
        return (lambda: _gdal.Dataset_CommitTransaction(handle)), (lambda: _gdal.Dataset_RollbackTransaction(handle))
    if _ogr.Layer_TestCapability(layer, "Transactions") and _ogr.Layer_StartTransaction(layer) == 0:
        return (lambda: _ogr.Layer_CommitTransaction(layer)), (lambda: _ogr.Layer_RollbackTransaction(layer))
    return (lambda: 0), (lambda: 0)


def _write_features(handle, layer, name, features, schema, want) -> int:
    """Each feature written to the layer; how many. ``want`` is the GeoJSON
    type every geometry must have (``None``: any)."""
    commit, rollback = _begin(handle, layer)
    count = 0
    with gdal_messages() as messages:
        try:
            for index, item in enumerate(features):
                geometry, properties = as_feature(item, index, name)
                if want is not None and geometry is not None and geometry.get("type") != want:
                    raise ValueError(f"feature {index} of layer {name!r} is a {geometry.get('type')}, "
                                     f"and the layer holds {want} geometries")
                feature = schema.feature(geometry, properties, index)
                try:
                    status = _ogr.Layer_CreateFeature(layer, feature)
                finally:
                    _ogr.delete_Feature(feature)
                if status != 0:
                    raise error.GDALError(f"GDAL could not write feature {index} of layer {name!r}: "
                                          f"{last_gdal_error()[2] or f'OGR error {status}'}",
                                          function="Layer_CreateFeature")
                count += 1
        except BaseException:
            rollback()
            raise
        if commit() != 0:
            raise error.GDALError(f"GDAL could not commit the features of layer {name!r}: {last_gdal_error()[2]}",
                                  function="CommitTransaction")
    messages.emit()
    return count


def _write_layer(db, name, features, srs, fields, geometry, options, heard) -> dict:
    """One layer made and filled; the facts it must have once read back."""
    features = iter(features)
    first = next(features, None)
    geometry_mapping, properties = as_feature(first, 0, name) if first is not None else (None, {})
    fields = dict(fields) if fields is not None else inferred_fields(properties, 0, name, driver_ftypes(db.handle))
    geometry = geometry or inferred_geometry(geometry_mapping)
    if options is None:
        options = configured_layer_options(db.driver_name)
    # the layer CreateLayer hands back: some drivers list none while
    # writing (MBTiles), so it is not looked up again
    layer = make_layer(db.handle, name, geometry, srs, fields, options, driver_ftypes(db.handle), heard)
    code = geometry_code(geometry)
    want = _geojson_type(code)
    rest = itertools.chain([first], features) if first is not None else features
    kinds = {f: _ogr.GetFieldTypeName(field_type(k, [])[0]) for f, k in fields.items()}
    count = _write_features(db.handle, layer, name, rest, Schema(name, layer, kinds), want)
    return {"name": name, "count": count, "geometry": _ogr.GeometryTypeToName(code),
            "fields": [(f, field_type_text(k)) for f, k in fields.items()], "srs": wkt_of(srs)}


def write_vector(path, layers, driver=None, *, srs=None, fields=None, geometry_type=None, options=None,
                 layer_options=None, verify="error"):
    """Write the vector ``layers`` (a mapping of layer name to an iterable of
    features) to ``path`` and return the dataset opened, as a ``GeoDatabase``.

    A feature is a GeoJSON-like mapping (``{"geometry": ..., "properties":
    ...}``) or an object with ``__geo_interface__`` (shapely geometries,
    other libraries' features). ``fields`` (field name to OGR type:
    "String", "Integer64", "Real", "Date", ...) and ``geometry_type`` (an OGR
    name: "Point", "MultiPolygon", ...) hold for every layer, or per layer as
    a mapping of layer names; without them they follow each layer's first
    feature. ``srs`` is every layer's spatial reference; ``options`` the
    dataset creation options, ``layer_options`` each layer's, checked before
    anything is written. ``driver`` defaults to the vector driver of the
    path's extension.

    The features are written one at a time, in a transaction where the
    driver has them; one that does not fit its layer (a field it lacks, a
    value of another type, another geometry type) raises ``ValueError``
    naming the feature's index and the field, and nothing is kept. The
    dataset is written aside and published once closed, then read back and
    compared (layer names, feature counts, field names and types, geometry
    types, spatial references): ``verify="error"`` raises ``WriteMismatch``
    and keeps nothing, ``"warn"`` keeps it and warns once per difference,
    ``"off"`` reads nothing back.
    """
    verify = checked_verify(verify)
    if not hasattr(layers, "items") or not layers:
        raise TypeError("write_vector takes layers as a mapping of layer name to features, "
                        f"got {type(layers).__name__ if not hasattr(layers, 'items') else 'an empty mapping'}")
    driver, target = _driver(path, driver)
    path = os.fsdecode(os.fspath(path))
    stage = stage_for(path, target)
    before = None if stage is not None else existing_before(path)
    db = create_vector(driver, stage.path if stage is not None else path, options=options)
    try:
        heard: list = []  # GDAL's warnings: the reasons of what the file changes
        asked = [_write_layer(db, name, features, srs, _fields_of(fields, name), _geometry_of(geometry_type, name),
                              layer_options, heard) for name, features in layers.items()]
        check = Check({"vector": {"layers": asked}} if verify != "off" else None, verify, path, None, target, heard)
        if stage is None:
            return _kept_in_place(db, check, before)
        db.close()
    except BaseException:
        _abandon(db, stage, before)
        raise
    return publish_written(stage, target, path, len(asked), adopt, check)


def _kept_in_place(db, check, before):
    """A dataset written where it was asked (a database, memory): compared
    as it is, and removed where a difference counts."""
    found = [] if check.asked is None else check.differences(db.handle)
    if found and check.verify != "warn":
        _abandon(db, None, before)
    settle(found, check.verify, check.path)
    return db


def _abandon(db, stage, before) -> None:
    files = [] if db.closed else db.files
    try:
        db.close()
    except error.GDALError:
        pass  # what it made goes all the same
    if stage is not None:
        stage.discard()
    else:
        remove_created(before, files)

"""What a dataset holds, as plain values to compare: a raster's size,
bands, data types, spatial reference, geotransform and nodata; a vector
dataset's layers with their feature counts, geometry types, fields and
spatial references.

Spatial references are kept as WKT and compared by GDAL's own
``OSRIsSame`` (see :mod:`.compare`); everything else compares as it is.
"""

import math

from osgeo import _gdal, _ogr, _osr

__all__ = ["dataset_facts", "raster_facts", "vector_facts", "srs_text", "wkt_of"]


def _wkt(ref):
    """The WKT of a spatial reference the binding handed over (a reference
    of the caller's own, released here), ``None`` for none."""
    if ref is None:
        return None
    try:
        return _osr.SpatialReference_ExportToWkt(ref, ["FORMAT=WKT2_2019"]) or None
    finally:
        _osr.delete_SpatialReference(ref)


def _nodata(band, type_name):
    if type_name == "Int64":
        return _gdal.Band_GetNoDataValueAsInt64(band)
    if type_name == "UInt64":
        return _gdal.Band_GetNoDataValueAsUInt64(band)
    value = _gdal.Band_GetNoDataValue(band)
    integer_band = type_name == "Byte" or "Int" in type_name
    if value is not None and integer_band and math.isfinite(value) and value.is_integer():
        return int(value)  # reads as the band holds it: "asked 0", not 0.0
    return value


def raster_facts(handle) -> dict:
    count = _gdal.Dataset_RasterCount_get(handle)
    bands = [_gdal.Dataset_GetRasterBand(handle, i) for i in range(1, count + 1)]
    types = [_gdal.GetDataTypeName(_gdal.Band_DataType_get(b)) for b in bands]
    transform = _gdal.Dataset_GetGeoTransform(handle, can_return_null=True)
    return {
        "size": (_gdal.Dataset_RasterXSize_get(handle), _gdal.Dataset_RasterYSize_get(handle)),
        "bands": count,
        "types": types,
        "srs": _wkt(_gdal.Dataset_GetSpatialRef(handle)),
        "transform": tuple(transform) if transform is not None else None,
        "nodata": [_nodata(b, t) for b, t in zip(bands, types)],
    }


def _field(defn, index) -> tuple[str, str]:
    field = _ogr.FeatureDefn_GetFieldDefn(defn, index)
    kind = _ogr.GetFieldTypeName(_ogr.FieldDefn_GetType(field))
    subtype = _ogr.FieldDefn_GetSubType(field)
    if subtype:
        kind += f"({_ogr.GetFieldSubTypeName(subtype)})"
    return _ogr.FieldDefn_GetName(field), kind


def _layer(layer) -> dict:
    defn = _ogr.Layer_GetLayerDefn(layer)
    return {
        "name": _ogr.Layer_GetName(layer),
        "count": _ogr.Layer_GetFeatureCount(layer, 1),
        "geometry": _ogr.GeometryTypeToName(_ogr.Layer_GetGeomType(layer)),
        "fields": [_field(defn, i) for i in range(_ogr.FeatureDefn_GetFieldCount(defn))],
        "srs": _wkt(_ogr.Layer_GetSpatialRef(layer)),
    }


def vector_facts(handle) -> dict:
    count = _gdal.Dataset_GetLayerCount(handle)
    return {"layers": [_layer(_gdal.Dataset_GetLayerByIndex(handle, i)) for i in range(count)]}


def srs_text(wkt) -> str:
    """A spatial reference as a person names it: its authority code where
    it has one ("EPSG:32631"), else its name."""
    if wkt is None:
        return "none"
    ref = _osr.new_SpatialReference(wkt)
    try:
        name = _osr.SpatialReference_GetName(ref) or "unnamed"
        for key in (None, "PROJCS", "GEOGCS"):
            auth, code = (_osr.SpatialReference_GetAuthorityName(ref, key),
                          _osr.SpatialReference_GetAuthorityCode(ref, key))
            if auth and code:
                return f"{auth}:{code} ({name})"
        return name
    finally:
        _osr.delete_SpatialReference(ref)


def dataset_facts(handle, *, raster: bool, layers=None) -> dict:
    """What to compare of a dataset: its raster facts when ``raster``, and
    the facts of its layers named in ``layers`` (all of them for ``None``;
    none for an empty list)."""
    facts: dict = {}
    if raster:
        facts["raster"] = raster_facts(handle)
    if layers is None or layers:
        held = vector_facts(handle)["layers"]
        if layers is not None:
            held = [layer for layer in held if layer["name"] in set(layers)]
        if held:
            facts["vector"] = {"layers": held}
    return facts


def wkt_of(srs):
    """The WKT of a spatial reference as the caller gave it (anything
    ``SetFromUserInput`` takes, already checked), ``None`` for none."""
    if srs is None:
        return None
    ref = _osr.new_SpatialReference("")
    if _osr.SpatialReference_SetFromUserInput(ref, str(srs)) != 0:
        _osr.delete_SpatialReference(ref)
        return None
    return _wkt(ref)

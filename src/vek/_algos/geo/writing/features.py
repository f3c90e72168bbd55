"""Features as callers hold them, as OGR takes them.

A feature is a GeoJSON-like mapping (``{"geometry": ..., "properties":
...}``) or an object with ``__geo_interface__`` (a shapely geometry gives
a geometry, another library's feature a feature mapping). The fields of a
layer come from an explicit mapping or from its first feature's values;
each value is checked against its field's type, and one that does not fit
is an error naming the feature and the field.
"""

import datetime
import json

from osgeo import _ogr

__all__ = ["Schema", "as_feature", "geometry_type", "inferred_fields"]

# Python value type -> OGR field type, for fields taken from a first feature
_INFERRED = ((bool, "Boolean"), (int, "Integer64"), (float, "Real"), (str, "String"),
             (datetime.datetime, "DateTime"), (datetime.date, "Date"), (datetime.time, "Time"),
             ((bytes, bytearray, memoryview), "Binary"))
_LISTS = {"Integer64": "Integer64List", "Boolean": "Integer64List", "Real": "RealList", "String": "StringList"}

# GeoJSON geometry type -> OGR's name, and OGR's code of it
_GEOJSON = {"Point": "Point", "LineString": "LineString", "Polygon": "Polygon", "MultiPoint": "MultiPoint",
            "MultiLineString": "MultiLineString", "MultiPolygon": "MultiPolygon",
            "GeometryCollection": "GeometryCollection"}


def as_feature(item, index, layer) -> tuple:
    """``(geometry mapping or None, properties mapping)`` of one feature."""
    found = getattr(item, "__geo_interface__", item)
    if not hasattr(found, "get"):
        raise TypeError(f"feature {index} of layer {layer!r} is a {type(item).__name__}, neither a "
                        "GeoJSON-like mapping nor an object with __geo_interface__")
    if found.get("type") == "Feature" or "properties" in found or "geometry" in found:
        return found.get("geometry"), found.get("properties") or {}
    if found.get("type") in _GEOJSON:
        return found, {}  # a bare geometry (shapely's)
    raise ValueError(f"feature {index} of layer {layer!r} has neither a geometry nor properties")


def _value_type(value) -> str | None:
    if isinstance(value, (list, tuple)):
        inner = {_value_type(v) for v in value} - {None}
        if len(inner) == 1 and (kind := inner.pop()) in _LISTS:
            return _LISTS[kind]
        return None
    for types, name in _INFERRED:
        if isinstance(value, types):
            return name
    return None


# where the driver lacks a type, the one that holds the same values next best
_NARROWER = {"Integer64": "Integer", "Integer64List": "IntegerList"}


def inferred_fields(properties, index, layer, creates=()) -> dict:
    """Field name -> OGR type of a first feature's properties, among the
    types the driver ``creates`` (empty: any)."""
    fields = {}
    for name, value in properties.items():
        kind = "String" if value is None else _value_type(value)
        if kind is None:
            raise ValueError(f"feature {index} of layer {layer!r}: field {name!r} holds a "
                             f"{type(value).__name__}, which no OGR field type holds; give fields=")
        if creates and kind not in creates:
            kind = _NARROWER.get(kind, kind)
        fields[name] = kind
    return fields


def geometry_type(geometry) -> str:
    """The OGR geometry type name of a first feature's geometry ("Unknown"
    without one), 3-D where its first coordinate has three numbers."""
    if geometry is None:
        return "Unknown"
    name = _GEOJSON.get(geometry.get("type"), "Unknown")
    return name + "Z" if name != "Unknown" and _depth(geometry.get("coordinates")) == 3 else name


def _depth(coordinates):
    while isinstance(coordinates, (list, tuple)) and coordinates and isinstance(coordinates[0], (list, tuple)):
        coordinates = coordinates[0]
    return len(coordinates) if isinstance(coordinates, (list, tuple)) else 0


def _geometry(geometry, index, layer):
    """A new OGR geometry (the caller hands it to a feature)."""
    coords = geometry.get("coordinates")
    if geometry.get("type") == "Point" and isinstance(coords, (list, tuple)) and len(coords) == 2:
        point = _ogr.new_Geometry(_ogr.wkbPoint)  # the common case, without a JSON round
        _ogr.Geometry_AddPoint_2D(point, float(coords[0]), float(coords[1]))
        return point
    try:
        text = json.dumps(geometry, allow_nan=False)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"feature {index} of layer {layer!r}: its geometry is no GeoJSON ({exc})") from None
    made = _ogr.CreateGeometryFromJson(text)
    if made is None:
        raise ValueError(f"feature {index} of layer {layer!r}: OGR cannot read its geometry {text[:80]}")
    return made


def _setter(kind):
    """How a value of a field of OGR type ``kind`` is set, and what it takes."""
    def date(f, i, v):
        _ogr.Feature_SetField(f, i, v.year, v.month, v.day, 0, 0, 0.0, 0)

    def date_time(f, i, v):
        offset = v.utcoffset()
        tz = 0 if offset is None else 100 + int(offset.total_seconds() // 900)
        _ogr.Feature_SetField(f, i, v.year, v.month, v.day, v.hour, v.minute, v.second + v.microsecond / 1e6, tz)

    def time(f, i, v):
        _ogr.Feature_SetField(f, i, 0, 0, 0, v.hour, v.minute, v.second + v.microsecond / 1e6, 0)

    table = {
        "Integer": (_ogr.Feature_SetFieldInteger64, int), "Integer64": (_ogr.Feature_SetFieldInteger64, int),
        "Real": (lambda f, i, v: _ogr.Feature_SetField(f, i, float(v)), (int, float)),
        "String": (_ogr.Feature_SetFieldString, str),
        "Date": (date, datetime.date), "DateTime": (date_time, datetime.datetime), "Time": (time, datetime.time),
        "Binary": (lambda f, i, v: _ogr.Feature_SetFieldBinaryFromHexString(f, i, bytes(v).hex()),
                   (bytes, bytearray, memoryview)),
        "IntegerList": (_ogr.Feature_SetFieldIntegerList, (list, tuple)),
        "Integer64List": (_ogr.Feature_SetFieldInteger64List, (list, tuple)),
        "RealList": (_ogr.Feature_SetFieldDoubleList, (list, tuple)),
        "StringList": (_ogr.Feature_SetFieldStringList, (list, tuple)),
    }
    return table.get(kind, (lambda f, i, v: _ogr.Feature_SetFieldString(f, i, str(v)), object))


class Schema:
    """A layer's fields as written: each value of a feature is checked and
    set by its field's type."""

    __slots__ = ("layer", "defn", "fields")

    def __init__(self, layer_name, layer, kinds):
        """``kinds`` are the fields as asked (name to OGR base type), in the
        order they were made: a driver may have renamed them (Shapefile
        cuts names to ten bytes) or made them of another type (KML's are
        all String), and the features still hold what was asked. The
        read-back names such changes."""
        self.layer = layer_name
        self.defn = _ogr.Layer_GetLayerDefn(layer)
        self.fields = {name: (i, *_setter(kind)) for i, (name, kind) in enumerate(kinds.items())}

    def feature(self, geometry, properties, index):
        """A new OGR feature (the caller deletes it) of the values given."""
        feature = _ogr.new_Feature(self.defn)
        try:
            for name, value in properties.items():
                self._set(feature, name, value, index)
            if geometry is not None:
                _ogr.Feature_SetGeometryDirectly(feature, _geometry(geometry, index, self.layer))
        except BaseException:
            _ogr.delete_Feature(feature)
            raise
        return feature

    def _set(self, feature, name, value, index) -> None:
        found = self.fields.get(name)
        if found is None:
            raise ValueError(f"feature {index} of layer {self.layer!r}: field {name!r} is not one of the "
                             f"layer's fields ({', '.join(map(repr, self.fields)) or 'none'})")
        slot, setter, takes = found
        if value is None:
            _ogr.Feature_SetFieldNull(feature, slot)
            return
        # a datetime is a date to Python, not to a Date field: its time would be lost
        if not isinstance(value, takes) or takes is datetime.date and isinstance(value, datetime.datetime):
            raise ValueError(f"feature {index} of layer {self.layer!r}: field {name!r} takes "
                             f"{_takes(takes)}, got {type(value).__name__} {value!r:.60}")
        setter(feature, slot, value)


def _takes(takes) -> str:
    if isinstance(takes, tuple):
        return " or ".join(t.__name__ for t in takes)
    return takes.__name__

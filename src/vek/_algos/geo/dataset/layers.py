"""Vector layers through OGR's low-level binding: geometry and field types
by their OGR names, spatial references from user input, new layers with
their fields, copies of chosen layers, and what a dataset's layers are."""

from osgeo import _gdal, _ogr, _osr

from .. import _error as error
from ..binding.messages import last_gdal_error, quiet_gdal
from .creation import clean_failed_creation, release_dataset
from .gdalcall import call_creating, call_gdal_fun, call_heard

__all__ = ["geometry_code", "geometry_names", "field_type", "spatial_reference", "make_layer",
           "copy_layers", "layer_facts", "new_layer_facts", "ogr_name", "typed_fields"]


def _wkb_types() -> dict:
    """OGR's geometry types by the names of the binding's ``wkb`` constants
    without the prefix ("Point", "LineString25D", "PolygonZM", "None", ...)."""
    return {
        const[3:]: getattr(_ogr, const)
        for const in dir(_ogr)
        if const.startswith("wkb") and const not in ("wkbXDR", "wkbNDR") and "Bit" not in const
        and isinstance(getattr(_ogr, const), int)
    }


def _geometry_table() -> dict:
    """Folded name -> code: the ``wkb`` names and OGR's own names of the
    types ("3D Line String", ...)."""
    wkb = _wkb_types()
    table = {name.casefold(): code for name, code in wkb.items()}
    for code in wkb.values():
        table.setdefault((_ogr.GeometryTypeToName(code) or "").casefold(), code)
    table.pop("", None)
    return table


def geometry_names() -> list[str]:
    """The geometry type names ``geometry_code`` takes, the ``wkb`` names."""
    return sorted(_wkb_types(), key=str.casefold)


def geometry_code(name) -> int:
    """OGR's code of the geometry type ``name`` (``"Point"``,
    ``"MultiPolygon"``, ``"PointZ"``/``"Point25D"``, ``"None"``, any case);
    an unknown name raises ``ValueError`` listing the accepted ones."""
    if not isinstance(name, str):
        raise TypeError(f"geometry must be an OGR geometry type name, not {type(name).__name__}")
    table = _geometry_table()
    key = name.strip().casefold()
    if key.startswith("wkb"):
        key = key[3:]
    if key not in table and key.endswith("z"):
        key = key[:-1] + "25d"  # PointZ is what OGR calls Point25D
    if key in table:
        return table[key]
    raise ValueError(f"unknown geometry type {name!r}; OGR knows: {', '.join(geometry_names())}")


def _type_names(get_name, count) -> dict:
    out: dict[str, int] = {}
    for code in range(count):
        name = get_name(code)
        if name and not name.startswith("(unknown"):
            out.setdefault(name, code)
    return out


# A subtype is made on its base type.
_SUBTYPE_BASE = {"Boolean": "Integer", "Int16": "Integer", "Float32": "Real",
                 "JSON": "String", "UUID": "String"}


def field_type(name, allowed) -> tuple[int, int]:
    """``(type code, subtype code)`` of the OGR field type ``name``
    ("String", "Integer64", "Date", ... or a subtype such as "Boolean"),
    checked against ``allowed`` (the driver's field types; empty: any).
    An unknown or refused name raises ``ValueError`` listing the accepted
    ones."""
    types = _type_names(_ogr.GetFieldTypeName, _ogr.OFTInteger64List + 1)
    subtypes = _type_names(_ogr.GetFieldSubTypeName, 16)
    subtypes.pop("None", None)
    folded = {n.casefold(): n for n in list(types) + list(subtypes)}
    accepted = list(allowed) or list(types)
    spelled = folded.get(str(name).casefold()) if isinstance(name, str) else None
    base_name = _SUBTYPE_BASE.get(spelled, spelled) if spelled is not None else None
    if spelled is None or base_name not in types or base_name not in accepted:
        raise ValueError(f"unknown field type {name!r}; accepted: {', '.join(accepted)}")
    return types[base_name], subtypes.get(spelled, 0)


def field_type_text(name, allowed=()) -> str:
    """The field type ``name`` as a read-back names it: OGR's type name,
    with its subtype in brackets ("Integer(Boolean)")."""
    code, subtype = field_type(name, allowed)
    text = _ogr.GetFieldTypeName(code)
    return f"{text}({_ogr.GetFieldSubTypeName(subtype)})" if subtype else text


def spatial_reference(srs):
    """A new low-level SpatialReference from anything
    ``SetFromUserInput`` takes; the caller deletes it."""
    text = _c_text(srs, "spatial reference")
    ref = _osr.new_SpatialReference("")
    try:
        with quiet_gdal():
            status = _osr.SpatialReference_SetFromUserInput(ref, text)
            msg = last_gdal_error()[2]
    except RuntimeError as exc:  # GDAL exceptions enabled
        status, msg = 1, str(exc)
    if status != 0:
        _osr.delete_SpatialReference(ref)
        raise ValueError(f"cannot read spatial reference {srs!r}: {msg or 'not understood'}")
    return ref


def _add_field(layer, name, ftype, subtype, heard=None) -> None:
    defn = _ogr.new_FieldDefn(name, ftype)
    try:
        if subtype:
            _ogr.FieldDefn_SetSubType(defn, subtype)
        status = call_heard(_ogr.Layer_CreateField, layer, defn, 1, heard=heard)
    finally:
        _ogr.delete_FieldDefn(defn)
    if status != 0:
        raise error.GDALError(f"GDAL Layer_CreateField failed for field {name!r} (OGR error {status})",
                              function="Layer_CreateField")


def _c_text(value, what: str) -> str:
    """``value`` as the UTF-8 C string OGR is given.  A NUL would cut it
    (another layer or field made, ``EPSG:4326\0...`` read as EPSG:4326), and
    the binding takes no text UTF-8 cannot encode (a surrogate-escaped byte
    of the command line): both raise ValueError before anything is made."""
    text = str(value)
    if "\0" in text:
        raise ValueError(f"embedded null byte in {what} {text!r}")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"{what} {text!r} is not valid UTF-8 text") from None
    return text


def ogr_name(value, what: str) -> str:
    """``value`` as the name OGR is given (see :func:`_c_text`)."""
    return _c_text(value, what)


def typed_fields(fields, ftypes) -> list[tuple[str, int, int]]:
    """``(name, type code, subtype code)`` of each field, checked before
    anything is made.  OGR finds fields by name ignoring ASCII case, and
    drivers that keep both spellings fail later (a GeoPackage when the
    table is written, at close), so names differing only so are refused."""
    typed: list[tuple[str, int, int]] = []
    seen: dict[bytes, str] = {}
    for fname, ftype in dict(fields or {}).items():
        fname = ogr_name(fname, "field name")
        key = fname.encode("utf-8", "surrogateescape").lower()  # bytes: ASCII letters only, as OGR
        if key in seen:
            raise ValueError(f"field names {seen[key]!r} and {fname!r} differ only in case; "
                             "OGR takes them for one field")
        seen[key] = fname
        typed.append((fname, *field_type(ftype, ftypes)))
    return typed


def make_layer(handle, name, geometry, srs, fields, options, ftypes, heard=None):
    """Create the layer ``name`` on the dataset ``handle`` with its fields;
    returns the layer handle (owned by the dataset). ``heard``, a list,
    also gets GDAL's warnings (a field name it laundered)."""
    name = ogr_name(name, "layer name")
    code = geometry_code(geometry)
    typed = typed_fields(fields, ftypes)
    ref = spatial_reference(srs) if srs is not None else None
    count = _gdal.Dataset_GetLayerCount(handle)
    try:
        layer = call_heard(_gdal.Dataset_CreateLayer, handle, name, ref, code,
                           options if options is not None else {}, heard=heard)
        for fname, ftype, subtype in typed:
            _add_field(layer, fname, ftype, subtype, heard)
    except BaseException:
        # No half-made layer: one whose warning was raised as an error, or
        # whose fields failed, is dropped again where the driver can.
        _drop_layers_from(handle, count)
        raise
    finally:
        if ref is not None:
            _osr.delete_SpatialReference(ref)
    return layer


def _stopped(path) -> error.GDALError:
    return error.GDALError(f"copying layers to {path!r} failed: User terminated",
                           function="Dataset_CopyLayer", gdal_message="User terminated", path=path)


def _copy_each(new, source, names, path, callback, layer_options) -> None:
    # the dataset's own metadata, set as GDAL's default copy sets it: a
    # driver that keeps none does not fail the copy
    metadata = _gdal.MajorObject_GetMetadata_List(source, "")
    if metadata:
        with quiet_gdal():
            try:
                _gdal.MajorObject_SetMetadata(new, metadata, "")
            except RuntimeError:  # GDAL exceptions enabled
                pass
    if callback is not None and not callback(0.0, None, None):
        raise _stopped(path)
    for done, name in enumerate(names, 1):
        layer = _gdal.Dataset_GetLayerByName(source, name)
        call_gdal_fun(_gdal.Dataset_CopyLayer, new, layer, name, layer_options or {})
        if callback is not None and not callback(done / len(names), None, None):
            raise _stopped(path)


def copy_layers(target, path, source, names, options, callback, layer_options=None):
    """Copy the layers ``names`` of the dataset ``source`` to a new dataset
    of the driver ``target`` at ``path``, and return its handle with the
    record of what its creation made (for the owner of the new dataset).

    These are the steps GDAL's own CreateCopy takes for a vector dataset
    (Create with the creation ``options``, the dataset's metadata, then
    CopyLayer under each layer's own name, with ``layer_options``), for the
    chosen layers only; a
    layer the driver cannot take raises ``GDALError`` with GDAL's reason,
    where CreateCopy drops it without a word. ``callback`` is GDAL's
    progress function (0 stops the copy), called at the start and after
    each layer. On any failure the new dataset is closed and what the call
    created is removed."""
    new, created = call_creating(_gdal.Driver_Create, target, path, 0, 0, 0, 0,
                                 options if options is not None else {})
    try:
        _copy_each(new, source, names, path, callback, layer_options)
    except BaseException:
        if created is not None:
            clean_failed_creation(created, new)
        else:
            release_dataset(new)
        raise
    return new, created


def _drop_layers_from(handle, count) -> None:
    with quiet_gdal():
        for index in range(_gdal.Dataset_GetLayerCount(handle) - 1, count - 1, -1):
            try:
                _gdal.Dataset_DeleteLayer(handle, index)
            except RuntimeError:  # GDAL exceptions enabled; the driver cannot
                pass


def new_layer_facts(layer) -> tuple[str, str, int]:
    """``layer_facts`` of a layer just made: it has no feature, and is not
    asked (GDAL 3.6's netCDF writer crashes counting a layer it defines)."""
    with quiet_gdal():
        return _ogr.Layer_GetName(layer), _ogr.GeometryTypeToName(_ogr.Layer_GetGeomType(layer)), 0


def layer_facts(handle) -> list[tuple[str, str, int]]:
    """``(name, geometry type name, feature count)`` of each layer."""
    out = []
    with quiet_gdal():
        for i in range(_gdal.Dataset_GetLayerCount(handle)):
            layer = _gdal.Dataset_GetLayerByIndex(handle, i)
            code = _ogr.Layer_GetGeomType(layer)
            out.append((_ogr.Layer_GetName(layer), _ogr.GeometryTypeToName(code),
                        _ogr.Layer_GetFeatureCount(layer, 1)))
    return out

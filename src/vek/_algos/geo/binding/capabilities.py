"""What a driver says of itself: its metadata items read the way the driver
classes read them (an item, a YES/NO flag, a list, the main extension),
the kinds of data it handles, its capabilities, the ways it writes
datasets, and which capabilities the running GDAL publishes at all.

Every reader takes a driver handle of the low-level binding; the ones that
read an item's text take a driver object too, read through its own
``_get_metadata_item_`` as its properties are (whichever binding the driver
module uses).

Two rules answer "does this driver write?", and both are kept on purpose:

* :func:`write_modes` reads the flags as the driver classes do (``creatable``,
  ``copyable``): an item counts when it says YES, in any letter case. The
  package's own writing calls and the command line go by it.
* :func:`is_output_driver` tests presence, as GDAL's own tools do when they
  choose an output driver for a path (``GDALGetOutputDriversForDatasetName``):
  GDAL's capability tests ask whether an item is set, not what it says, and
  identification must give the drivers GDAL would give. It also counts the
  drivers that write by translating vector data.
"""

from osgeo import _gdal

__all__ = ["metadata_item", "has_item", "metadata_flag", "metadata_list", "main_extension",
           "DATA_KINDS", "CAPABILITIES", "WRITES", "write_modes", "is_output_driver", "unpublished"]

# The kinds of data a driver handles, as gdalinfo --formats names them.
DATA_KINDS = {
    "raster": "DCAP_RASTER",
    "multidimensional": "DCAP_MULTIDIM_RASTER",
    "vector": "DCAP_VECTOR",
}

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

# The ways a driver writes datasets, and the item that tells each: GDAL's
# Create, CreateCopy, and VectorTranslateFrom (GDAL 3.8; PMTiles writes this
# way only). The package's own writing calls use the first two.
WRITES = {"create": "DCAP_CREATE", "copy": "DCAP_CREATECOPY", "translate": "DCAP_VECTOR_TRANSLATE_FROM"}
_OWN_WRITES = ("create", "copy")


def metadata_item(handle, key: str) -> str:
    """The item's text, ``""`` when the driver has none."""
    read = getattr(handle, "_get_metadata_item_", None)
    if read is not None:  # a driver object
        return read(key)
    return _gdal.MajorObject_GetMetadataItem(handle, key, "") or ""


def has_item(handle, key: str) -> bool:
    """Whether the driver (a handle) sets the item at all, whatever it says."""
    return _gdal.MajorObject_GetMetadataItem(handle, key, "") is not None


def metadata_flag(handle, key: str) -> bool:
    """Whether the item says YES, in any letter case."""
    return metadata_item(handle, key).upper() == "YES"


def metadata_list(handle, key: str) -> list[str]:
    """The item's words (extensions, data types, ...)."""
    return metadata_item(handle, key).split()


def main_extension(handle) -> str:
    """The driver's main file extension, as ``Driver.extension`` gives it:
    drivers that list several (GPKG, COG, GeoJSON from GDAL 3.7) have no
    ``DMD_EXTENSION``, and a GeoPackage without one warns."""
    ext = metadata_item(handle, "DMD_EXTENSION")
    listed = metadata_list(handle, "DMD_EXTENSIONS")
    return ext or (listed[0] if listed else "")


def write_modes(handle, modes=_OWN_WRITES) -> list[str]:
    """The ways of ``modes`` (keys of :data:`WRITES`) the driver writes
    datasets by its flags, in that order: by default ``"create"`` (GDAL's
    Create) and ``"copy"`` (CreateCopy), the package's own."""
    return [mode for mode in modes if metadata_flag(handle, WRITES[mode])]


def is_output_driver(handle) -> bool:
    """Whether GDAL's tools take the driver as one that writes: it sets
    ``DCAP_CREATE``, ``DCAP_CREATECOPY`` or ``DCAP_VECTOR_TRANSLATE_FROM``."""
    return any(has_item(handle, key) for key in WRITES.values())


def unpublished(drivers, names=CAPABILITIES) -> frozenset:
    """The capabilities (of ``names``, all by default) whose item none of
    ``drivers`` (driver objects or handles) sets: this GDAL does not publish
    them, so "no" would be a guess."""
    missing = set(names)
    for d in drivers:
        missing = {c for c in missing if not metadata_item(d, CAPABILITIES[c])}
        if not missing:
            break
    return frozenset(missing)

"""What a driver says of itself: its metadata items read the way the driver
classes read them (an item, a YES/NO flag, a list, the main extension),
and the ways it writes datasets.

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
           "WRITE_ITEMS", "write_modes", "is_output_driver"]

# The ways of writing a dataset, and the item that tells each.
WRITE_ITEMS = {"create": "DCAP_CREATE", "copy": "DCAP_CREATECOPY"}


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


def write_modes(handle) -> list[str]:
    """The ways the driver writes datasets by its flags: ``"create"``
    (GDAL's Create), ``"copy"`` (CreateCopy), in that order."""
    return [mode for mode, key in WRITE_ITEMS.items() if metadata_flag(handle, key)]


def is_output_driver(handle) -> bool:
    """Whether GDAL's tools take the driver as one that writes: it sets
    ``DCAP_CREATE``, ``DCAP_CREATECOPY`` or ``DCAP_VECTOR_TRANSLATE_FROM``."""
    return any(has_item(handle, key) for key in (*WRITE_ITEMS.values(), "DCAP_VECTOR_TRANSLATE_FROM"))

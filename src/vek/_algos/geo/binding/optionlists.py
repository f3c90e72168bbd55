"""The option lists GDAL publishes: each kind and the metadata item that
holds it (a driver's, or for layer creation also a dataset's own).

The first four are the lists the package checks option values against,
named by the call they are for; the others are only read and shown. An
option's ``scope`` attribute names the kinds of dataset it is for."""

import re

from .gdaldefs import fold

__all__ = ["OPTION_LISTS", "CHECKED", "scopes", "applies_to"]

OPTION_LISTS = {
    "creation": "DMD_CREATIONOPTIONLIST",
    "multidim": "DMD_MULTIDIM_DATASET_CREATIONOPTIONLIST",
    "layer": "DS_LAYER_CREATIONOPTIONLIST",
    "open": "DMD_OPENOPTIONLIST",
    "multidim_group_creation": "DMD_MULTIDIM_GROUP_CREATIONOPTIONLIST",
    "multidim_dimension_creation": "DMD_MULTIDIM_DIMENSION_CREATIONOPTIONLIST",
    "multidim_array_creation": "DMD_MULTIDIM_ARRAY_CREATIONOPTIONLIST",
    "multidim_array_open": "DMD_MULTIDIM_ARRAY_OPENOPTIONLIST",
    "multidim_attribute_creation": "DMD_MULTIDIM_ATTRIBUTE_CREATIONOPTIONLIST",
    "overview_creation": "DMD_OVERVIEW_CREATIONOPTIONLIST",
}

# The kinds whose values are checked before a creating or opening call.
CHECKED = ("creation", "multidim", "layer", "open")

_SCOPES = ("raster", "vector")


def scopes(record) -> list:
    """The kinds of dataset an option's ``scope`` names; none: every kind."""
    words = set(re.split(r"[\s,]+", fold(record.get("scope") or "")))
    return [s for s in _SCOPES if s in words]


def applies_to(record, scope: str) -> bool:
    """Whether the option applies to a ``scope`` ("raster" or "vector")
    dataset: its ``scope`` names that kind, or names none."""
    named = scopes(record)
    return not named or scope in named

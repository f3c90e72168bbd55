"""What was asked against what the file holds, and what a difference does.

Each difference is named as a person would say it: "nodata: asked 0, the
file holds 1.70141e+38". ``verify`` decides what they do: ``"error"``
raises :class:`~vek._algos.geo._error.WriteMismatch` (the caller keeps
nothing), ``"warn"`` warns once per difference, ``"off"`` reads nothing
back, and ``"pixels"`` is ``"error"`` that also compares every value.
"""

import math
import warnings

from osgeo import _gdal, _osr

from .. import _error as error
from ..binding.messages import skip_prefixes
from .facts import srs_text

__all__ = ["Difference", "VERIFY", "checked_verify", "differences", "pixel_differences", "raster_differences",
           "settle", "vector_differences", "with_reasons"]

VERIFY = ("error", "warn", "off", "pixels")


class Difference:
    """One thing the file holds otherwise than asked: ``what`` ("nodata",
    "field 'population_total' of layer 'towns'"), ``asked`` and ``held``
    as they read."""

    __slots__ = ("what", "asked", "held", "why")

    def __init__(self, what: str, asked, held, why=None):
        self.what, self.asked, self.held, self.why = what, asked, held, why

    def __str__(self) -> str:
        text = f"{self.what}: asked {self.asked}, the file holds {self.held}"
        return f"{text} (GDAL said: {self.why})" if self.why else text

    def __repr__(self) -> str:
        return f"<Difference {self}>"

    def __eq__(self, other):
        if not isinstance(other, Difference):
            return NotImplemented
        return (self.what, self.asked, self.held) == (other.what, other.asked, other.held)

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self):
        return (Difference, (self.what, self.asked, self.held, self.why))


def checked_verify(verify) -> str:
    if not isinstance(verify, str) or verify not in VERIFY:
        raise ValueError(f"verify must be one of {', '.join(map(repr, VERIFY))}, got {verify!r}")
    return verify


def _same_srs(a, b) -> bool:
    """By GDAL's own comparison; none asked holds whatever the format
    records then (a GeoPackage's "Undefined geographic SRS")."""
    if a is None:
        return True
    if b is None:
        return False
    refs = [_osr.new_SpatialReference(a), _osr.new_SpatialReference(b)]
    try:
        return bool(_osr.SpatialReference_IsSame(*refs, ["IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES"]))
    finally:
        for ref in refs:
            _osr.delete_SpatialReference(ref)


def _number(value) -> str:
    return "none" if value is None else f"{value:g}" if isinstance(value, float) else str(value)


def _same_number(a, b) -> bool:
    if a is None or b is None:
        return a is b
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


_DEFAULT_TRANSFORM = (0.0, 1.0, 0.0, 0.0, 0.0, 1.0)  # what GDAL reports for none


def _same_transform(a, b) -> bool:
    """None asked leaves the pixels where the format puts them (GSBG turns
    them north up)."""
    if a is None:
        return True
    b = b or _DEFAULT_TRANSFORM
    scale = max(abs(a[1]), abs(a[5]), 1e-300)
    return all(math.isclose(x, y, rel_tol=1e-12, abs_tol=1e-9 * scale) for x, y in zip(a, b))


def _bands(what, asked, held, show):
    """One difference for all bands where they agree, else one a band."""
    if asked == held:
        return []
    if len(set(map(repr, asked))) == 1 and len(set(map(repr, held))) == 1:
        return [Difference(what, show(asked[0]), show(held[0]))]
    return [Difference(f"{what} of band {i}", show(a), show(h))
            for i, (a, h) in enumerate(zip(asked, held), start=1) if repr(a) != repr(h)]


def raster_differences(asked: dict, held: dict) -> list:
    found = []
    if asked["size"] != held["size"]:
        found.append(Difference("size", "%d x %d" % asked["size"], "%d x %d" % held["size"]))
    if asked["bands"] != held["bands"]:
        found.append(Difference("bands", asked["bands"], held["bands"]))
        return found  # band by band comparisons mean nothing then
    found += _bands("data type", asked["types"], held["types"], str)
    if not _same_srs(asked["srs"], held["srs"]):
        found.append(Difference("spatial reference", srs_text(asked["srs"]), srs_text(held["srs"])))
    if not _same_transform(asked["transform"], held["transform"]):
        show = lambda gt: "none" if gt is None else "(" + ", ".join(f"{v:.10g}" for v in gt) + ")"  # noqa: E731
        found.append(Difference("geotransform", show(asked["transform"]), show(held["transform"])))
    if not all(map(_same_number, asked["nodata"], held["nodata"])):
        found += _bands("nodata", asked["nodata"], held["nodata"], _number)
    return found


# Formats without a schema (GeoJSON) read whole numbers that fit 32 bits
# back as Integer: the values are there all the same.
_SAME_TYPES = {("Integer64", "Integer"), ("Integer64List", "IntegerList")}


def _renamed(field, index, asked, held):
    """The name the file gives an asked field it does not hold by that
    name: the same name in another case (LIBKML's ``Name``), else the
    field in its place, where the file holds as many fields, when its name
    begins as the asked one does (Shapefile's ``population`` for
    ``population_total``); ``None`` when it cannot tell."""
    taken = {f for f, _ in asked}
    spelled = [f for f, _ in held if f.casefold() == field.casefold() and f not in taken]
    if spelled:
        return spelled[0]
    if len(held) == len(asked) and held[index][0] not in taken:
        other = held[index][0]
        start = min(4, len(field))
        if other[:start].casefold() == field[:start].casefold():
            return other
    return None


def _field_differences(name, asked, held) -> list:
    found = []
    held_by_name = dict(held)
    for index, (field, kind) in enumerate(asked):
        where = f"field {field!r} of layer {name!r}"
        kept = field if field in held_by_name else _renamed(field, index, asked, held)
        if kept != field:
            found.append(Difference(where, "that name", f"it as {kept!r}" if kept else "no such field"))
        if kept is not None and held_by_name[kept] != kind and (kind, held_by_name[kept]) not in _SAME_TYPES:
            found.append(Difference(f"type of {where}", kind, held_by_name[kept]))
    return found


def vector_differences(asked: dict, held: dict, names: bool = True) -> list:
    """The differences of the layers; ``names=False`` for a format of one
    layer, which GDAL names after the file whatever was asked."""
    found = []
    held_layers = {layer["name"]: layer for layer in held["layers"]}
    only = len(asked["layers"]) == 1 == len(held["layers"])
    for want in asked["layers"]:
        name = want["name"]
        got = held_layers.get(name)
        if got is None and only:
            got = held["layers"][0]
            if names:
                found.append(Difference(f"name of layer {name!r}", repr(name), repr(got["name"])))
        if got is None:
            found.append(Difference(f"layer {name!r}", "it", "no such layer"))
            continue
        if want["count"] != got["count"]:
            found.append(Difference(f"features of layer {name!r}", want["count"], got["count"]))
        if want["geometry"] != got["geometry"]:
            found.append(Difference(f"geometry type of layer {name!r}", want["geometry"], got["geometry"]))
        found += _field_differences(name, want["fields"], got["fields"])
        if not _same_srs(want["srs"], got["srs"]):
            found.append(Difference(f"spatial reference of layer {name!r}", srs_text(want["srs"]),
                                    srs_text(got["srs"])))
    return found


_STRIP = 1 << 20  # pixels read at once of each band


def _band_differs(a, b, width, height) -> int:
    """How many rows of the two bands hold other bytes (read a strip at a
    time, in the first band's data type)."""
    dtype = _gdal.Band_DataType_get(a)
    rows = max(1, _STRIP // max(width, 1))
    differ = 0
    for y in range(0, height, rows):
        n = min(rows, height - y)
        if _gdal.Band_ReadRaster1(a, 0, y, width, n, buf_type=dtype) != \
                _gdal.Band_ReadRaster1(b, 0, y, width, n, buf_type=dtype):
            differ += n
    return differ


def pixel_differences(asked_handle, held_handle) -> list:
    """The bands whose values read back otherwise than the source's (same
    size and band count assumed: compared after :func:`raster_differences`)."""
    width = _gdal.Dataset_RasterXSize_get(asked_handle)
    height = _gdal.Dataset_RasterYSize_get(asked_handle)
    found = []
    for i in range(1, _gdal.Dataset_RasterCount_get(asked_handle) + 1):
        a, b = (_gdal.Dataset_GetRasterBand(h, i) for h in (asked_handle, held_handle))
        if _band_differs(a, b, width, height):
            found.append(Difference(f"pixels of band {i}", "the values given", "others"))
    return found


# the words by which a warning of GDAL's speaks of what a difference names
_TOPICS = (("nodata", ("nodata", "no data", "nodata value")), ("data type", ("data type", "datatype")),
           ("spatial reference", ("srs", "spatial reference", "projection", "coordinate system", "crs")),
           ("geotransform", ("geotransform", "georeferenc")), ("bands", ("band",)), ("size", ("size",)))


def _reason(difference, heard):
    words = next((w for topic, w in _TOPICS if difference.what.startswith(topic)), None)
    if words is None:  # a field or a layer: its name
        words = tuple(repr(difference.what).split("'")[1:2])
    return next((text.strip() for text in heard if any(w.lower() in text.lower() for w in words if w)), None)


def with_reasons(found, heard) -> list:
    """The differences, each with the first of GDAL's warnings ``heard``
    while writing that speaks of it, where one does."""
    for difference in found:
        if difference.why is None and heard:
            difference.why = _reason(difference, heard)
    return found


def settle(found, verify, path) -> None:
    """What the differences do: raise ``WriteMismatch`` (``"error"``,
    ``"pixels"``), or warn once each (``"warn"``)."""
    if not found:
        return
    if verify == "warn":
        for difference in found:
            warnings.warn(error.WriteMismatchWarning(f"{path}: {difference}", difference, path),
                          skip_file_prefixes=skip_prefixes())
        return
    listed = "; ".join(map(str, found))
    raise error.WriteMismatch(f"{path!r} does not hold what was asked, so nothing was kept: {listed}",
                              path=path, differences=found)


def differences(asked: dict, held: dict, names: bool = True) -> list:
    """Every difference of :func:`~.facts.dataset_facts` ``held`` from
    ``asked`` (``names`` as for :func:`vector_differences`)."""
    found = []
    if "raster" in asked:
        found += raster_differences(asked["raster"], held.get("raster") or _NO_RASTER)
    if "vector" in asked:
        found += vector_differences(asked["vector"], held.get("vector") or {"layers": []}, names)
    return found


_NO_RASTER = {"size": (0, 0), "bands": 0, "types": [], "srs": None, "transform": None, "nodata": []}

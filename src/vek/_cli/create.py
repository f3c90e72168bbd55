"""``vek-drivers create``: a dataset made with a driver, every option value
checked: rasters by Create, or in memory and then copied for the formats
GDAL writes by copy only; vector datasets with their dataset options and,
given ``--layer``, a layer with its fields."""

import os
import sys

from osgeo import _gdal, _osr

from vek._algos.geo import driver, geodatabase
from vek._algos.geo.binding import dtypes
from vek._algos.geo.binding.optionlists import OPTION_LISTS
from vek._algos.geo.binding.paths import path_exists
from vek._algos.geo.dataset.creation import existing_before, remove_created
from vek._algos.geo.dataset import georef as _georef
from vek._algos.geo.dataset import layers as _layers
from vek._algos.geo.dataset.gdalcall import call_creating
from vek._algos.geo.dataset.owner import adopt
from vek._algos.geo.options import check as _optcheck
from vek._algos.geo.options.text import gdal_key, option_text, refuse_bad_name
from vek.optioncheck import OptionValueError, check_option_value

from .common import CLIError, copy_only, find_driver
from .readback import held_differences, kept_differences, layer_asked, print_differences, raster_asked, settle_created


def respelled(given: dict, xml_text) -> dict:
    """``given`` with every name that the option list ``xml_text`` gives,
    compared as GDAL compares names (ASCII case aside), in the list's
    spelling; other names as they are. Two spellings of one option are an
    error (GDAL would take the first and drop the other), and so is a name
    GDAL would read only part of (``:`` in it)."""
    entries = _optcheck.option_entries(xml_text)
    out: dict = {}
    for name, value in given.items():
        try:
            refuse_bad_name(name)
        except ValueError as exc:
            raise CLIError(str(exc)) from None
        known, spelling = _optcheck.listed_spelling(entries, gdal_key(name))
        key = spelling if known and spelling and "=" not in name and ":" not in name else name
        if key in out:
            raise CLIError(f"option {key} is given twice ({out[key]} and {value})")
        out[key] = value
    return out


def checked_options(view, given: dict) -> dict:
    """The creation options to hand to GDAL, checked.

    Names are taken in any ASCII case and respelled as the driver's list
    spells them; the driver then checks them (``set_creation_options``
    raises its FormatError, which names the closest valid option, and
    stores nothing). Every value, the configured defaults included, is then
    checked against the driver's option list (a ``VectorDriver``'s are
    those of new layers) as creating through the API checks it (the
    configuration's ``[options] check`` applies); the checked texts are
    stored back on the driver and returned.
    """
    layer = isinstance(view, driver.VectorDriver)
    xml_text = view._get_metadata_item_(OPTION_LISTS["layer" if layer else "creation"])
    given = respelled(given, xml_text)
    view.set_creation_options(**given)
    kind = {"kind": "layer"} if layer else {"scope": "raster"}
    where = f"driver {view.name}"
    current = view.creation_options
    defaults = {k: v for k, v in current.items() if k not in given}
    try:
        checked = _optcheck.check_options(defaults, xml_text, container=where, **kind)
    except OptionValueError as exc:
        raise CLIError(f"{exc} (a configured default of {view.name})") from None
    checked.update(_optcheck.check_options(given, xml_text, container=where, **kind))
    view.set_creation_options(**checked)
    return view.creation_options


def _dtype_name(view, requested: str) -> str:
    """The GDAL spelling of a data type the driver can create."""
    try:  # a further name (GDAL 3.13's UInt8) gives its code's first name, as drivers list it
        name = dtypes.get_raster_dtype_name(requested)
    except ValueError:
        names = dtypes.dtype_names()
        raise CLIError(f"unknown data type {requested!r}; GDAL knows: {', '.join(names)}") from None
    supported = view.creation_dtypes
    if supported and name not in supported:
        raise CLIError(
            f"{view.name} cannot create {name} rasters; it creates: {', '.join(supported)}"
        )
    return name


def _default_dtype(view) -> str:
    """Float32 where the driver creates it, else the first type it creates."""
    supported = view.creation_dtypes
    return "Float32" if not supported or "Float32" in supported else supported[0]


def _band_dtype(handle) -> str:
    gdal = _gdal
    band = gdal.Dataset_GetRasterBand(handle, 1)
    return gdal.GetDataTypeName(gdal.Band_DataType_get(band))


def _compression(handle) -> str:
    return _gdal.MajorObject_GetMetadataItem(handle, "COMPRESSION", "IMAGE_STRUCTURE") or ""


def _report(pairs) -> None:
    key_w = max(len(k) for k, _ in pairs)
    for key, value in pairs:
        print(f"  {key.ljust(key_w)}  {value}")


class ProgressBar:
    """GDAL's progress as a bar on a terminal (stderr); nothing elsewhere."""

    WIDTH = 30

    def __init__(self, stream=None):
        self.stream = stream or sys.stderr
        self.shown = -1

    def __call__(self, fraction) -> None:
        percent = max(0, min(100, int(fraction * 100)))
        if percent == self.shown:
            return
        self.shown = percent
        done = percent * self.WIDTH // 100
        self.stream.write(f"\r[{'#' * done}{' ' * (self.WIDTH - done)}] {percent:3d}%")
        self.stream.flush()

    def end(self) -> None:
        if self.shown >= 0:
            self.stream.write("\n")
            self.stream.flush()


def _progress():
    return ProgressBar() if sys.stderr.isatty() else None


def _copied(view, args, dtype, options, geo):
    """A raster of a copy-only format: made in memory, georeferenced there,
    then copied (the copy carries the georeferencing)."""
    mem = _gdal.GetDriverByName("MEM")
    width, height = args.size
    code = dtypes.get_raster_dtype_code(dtype)
    src = adopt(
        *call_creating(_gdal.Driver_Create, mem, "", width, height, args.bands, code, {})
    )
    bar = _progress()
    try:
        _georef.apply_georeferencing(src.handle, geo)
        return src.copy_to(args.path, view.name, options=options, progress=bar, verify=args.verify)
    finally:
        if bar is not None:
            bar.end()
        src.close()


def _georeferencing(args, dtype) -> _georef.Georeferencing:
    """--srs, --bounds and --nodata checked before anything is written."""
    try:
        return _georef.checked_georeferencing(args.srs, args.bounds, None, args.nodata,
                                              size=args.size, type_names=[dtype])
    except ValueError as exc:
        raise CLIError(str(exc)) from None


def _georeferenced(ds, geo, before) -> None:
    """The new raster georeferenced; when GDAL refuses, the raster is
    closed and what its creation made removed (nothing that was there
    before: ``before`` is the target's state then)."""
    try:
        _georef.apply_georeferencing(ds.handle, geo)
    except BaseException:
        files = _files_quietly(ds)
        _close_quietly(ds)
        remove_created(before, files)
        raise


def _where(handle) -> list:
    """The spatial reference, extent and nodata GDAL reports for the raster."""
    gdal = _gdal
    facts = []
    ref = gdal.Dataset_GetSpatialRef(handle)
    if ref is not None:
        facts.append(("srs", _osr.SpatialReference_GetName(ref) or "-"))
        _osr.delete_SpatialReference(ref)
    gt = gdal.Dataset_GetGeoTransform(handle)
    if tuple(gt) != (0.0, 1.0, 0.0, 0.0, 0.0, 1.0):  # GDAL's answer when there is none
        x0, y0 = gt[0], gt[3]
        x1 = x0 + gt[1] * gdal.Dataset_RasterXSize_get(handle) + gt[2] * gdal.Dataset_RasterYSize_get(handle)
        y1 = y0 + gt[4] * gdal.Dataset_RasterXSize_get(handle) + gt[5] * gdal.Dataset_RasterYSize_get(handle)
        facts.append(("bounds", " ".join(f"{v:g}" for v in (min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1)))))
    if gdal.Dataset_RasterCount_get(handle):
        value = gdal.Band_GetNoDataValue(gdal.Dataset_GetRasterBand(handle, 1))
        if value is not None:
            facts.append(("nodata", f"{value:g}"))
    return facts


def _create_raster(d, args) -> None:
    view = driver.RasterDriver(d.name)
    dtype = _dtype_name(view, args.dtype)
    options = checked_options(view, dict(args.co))
    geo = _georeferencing(args, dtype)
    by_copy = copy_only(d)  # a copy compares what it wrote itself
    asked = None if by_copy or args.verify == "off" else raster_asked(args, dtype, geo)
    if by_copy:
        ds = _copied(view, args, dtype, options, geo)
    else:
        before = existing_before(args.path)
        width, height = args.size
        ds = view.create(args.path, width, height, args.bands, dtype)
        _georeferenced(ds, geo, before)
    try:
        facts = [
            ("driver", f"{ds.driver_name} ({view.long_name})"),
            ("size", f"{ds.xsize} x {ds.ysize} pixels"),
            ("bands", ds.band_count),
            ("data type", _band_dtype(ds.handle) if ds.band_count else "-"),
            ("options", " ".join(f"{k}={option_text(k, v)}" for k, v in options.items()) or "-"),
            *_where(ds.handle),
        ]
        files = ds.files
    finally:
        ds.close()
    compression, found = read_back(view, args.path, asked)
    if asked is not None:
        settle_created(found, args.verify, args.path, before, files)
    if compression:
        facts.append(("compression", compression))
    if by_copy:
        facts.append(("written", f"by copy from an in-memory raster ({d.name} writes by copy only)"))
    print(f"created {args.path}")
    _report(facts + [("files", " ".join(f for f in files if f) or "-")])


def read_compression(view, path) -> str:
    """The compression GDAL reports for the dataset at ``path`` when it
    opens it again ("" when it reports none or cannot reopen it)."""
    return read_back(view, path, None)[0]


def read_back(view, path, asked) -> tuple[str, list]:
    """``(compression, differences from asked)`` of the dataset at ``path``
    opened again; ``asked=None`` compares nothing, and a dataset that cannot
    be reopened then reports no compression."""
    try:
        # by its own driver, or by any where it reads nothing (COG's are GTiff files)
        reads = (view._get_metadata_item_("DCAP_OPEN") or "").upper() == "YES"
        ds = view.open(path) if reads else geodatabase.open_file(path)
    except driver.error.GDALError:
        if asked is not None:
            raise
        return "", []
    with ds:
        return _compression(ds.handle), held_differences(ds.handle, asked) if asked is not None else []


def dataset_options(d, given: dict) -> dict:
    """The dataset-level creation options of a vector dataset, checked:
    names (in any ASCII case, handed on in the list's spelling) against the
    driver's creation option list (without the options
    whose scope is raster only), values against their records."""
    xml = d._get_metadata_item_("DMD_CREATIONOPTIONLIST")
    given = respelled(given, xml)
    catalogue = {
        name: record
        for name, record in (driver.read_xml_to_dict(xml) if xml else {}).items()
        if "vector" in record.get("scope", "vector")
    }
    unknown = [name for name in given if name not in catalogue]
    if unknown:
        raise driver.error.FormatError(errors=unknown, all_sels=catalogue)
    return {name: check_option_value(name, value, catalogue[name]) for name, value in given.items()}


def _layer_text(layer, fields) -> str:
    name, geometry, count = layer
    text = f"{name} ({geometry}, {count} feature{'s' if count != 1 else ''})"
    if fields:
        text += ", fields " + " ".join(f"{k}:{v}" for k, v in fields.items())
    return text


def _layer_fields(args) -> dict:
    """``--field`` as a mapping; a name given twice is refused, where a
    mapping would silently keep the last type."""
    fields: dict = {}
    for name, ftype in args.field:
        if name in fields:
            raise CLIError(f"--field {name} is given twice ({fields[name]} and {ftype})")
        fields[name] = ftype
    return fields


def _check_layer(view, args, fields) -> None:
    """The layer's name, geometry, fields and spatial reference, checked as
    creating the layer checks them, before anything is written: what the
    layer would refuse is one error line, not a traceback."""
    try:
        _layers.ogr_name(args.layer, "layer name")
        _layers.geometry_code(args.geometry or "Unknown")
        _layers.typed_fields(fields, view.creation_ftypes)
        if args.srs is not None:
            _osr.delete_SpatialReference(_layers.spatial_reference(args.srs))
    except ValueError as exc:
        raise CLIError(str(exc)) from None


def _create_vector(d, args) -> None:
    view = driver.VectorDriver(d.name)
    dsco = dataset_options(d, dict(args.dsco))
    lco = checked_options(view, dict(args.lco)) if args.layer is not None else {}
    fields = _layer_fields(args)
    if args.layer is not None:
        _check_layer(view, args, fields)
    before = existing_before(args.path)
    ds = geodatabase.create_vector(d.name, args.path, options=dsco)
    layer = None
    files = []
    try:
        if args.layer is not None:
            layer = ds.create_layer(args.layer, args.geometry or "Unknown", srs=args.srs,
                                    fields=fields, options=lco)
        layer_list = ds.layers
        files = ds.files
        ds.close()
    except BaseException:
        files = files or _files_quietly(ds)
        _close_quietly(ds)
        remove_created(before, files)
        raise
    if not path_exists(args.path):
        raise CLIError(f"nothing was written: {d.name} writes {args.path} only once it has a layer "
                       f"(give --layer NAME)")
    if layer is not None and args.verify != "off":
        asked = layer_asked(args, fields, view.creation_ftypes)
        with geodatabase.open_file(args.path, geodatabase.OF_VECTOR, [d.name]) as db:
            found = held_differences(db.handle, asked, view.multi_layers)
        settle_created(found, args.verify, args.path, before, files)
    facts = [("driver", f"{d.name} ({view.long_name})"), ("layers", len(layer_list))]
    if layer is not None:
        named = "" if layer[0] == args.layer else f" (asked for {args.layer!r}; {d.name} chose the name)"
        facts.append(("layer", _layer_text(layer, fields) + named))
        facts.append(("layer options", " ".join(f"{k}={option_text(k, v)}" for k, v in lco.items()) or "-"))
    facts.append(("dataset options", " ".join(f"{k}={option_text(k, v)}" for k, v in dsco.items()) or "-"))
    print(f"created {args.path}")
    _report(facts + [("files", " ".join(f for f in files if f) or "-")])


def _files_quietly(ds) -> list:
    try:
        return ds.files
    except Exception:
        return []


def _close_quietly(ds) -> None:
    try:
        ds.close()
    except Exception:
        pass


_RASTER_ONLY = (("--bands", "bands"), ("--dtype", "dtype"), ("-co", "co"), ("--bounds", "bounds"),
                ("--nodata", "nodata"))
_VECTOR_ONLY = (("--layer", "layer"), ("--geometry", "geometry"),
                ("--field", "field"), ("-lco", "lco"), ("-dsco", "dsco"))
_LAYER_ONLY = (("--geometry", "geometry"), ("--srs", "srs"), ("--field", "field"), ("-lco", "lco"))


def _given(args, flags) -> list[str]:
    return [flag for flag, dest in flags if getattr(args, dest) not in (None, [])]


def cmd_create(args) -> int:
    parser = args.subparser
    d = find_driver(args.name)
    raster = args.size is not None
    if raster:
        if not d.is_raster:
            parser.error(f"{d.name} is not a raster driver: --size does not apply")
        extra = _given(args, _VECTOR_ONLY)
        if extra:
            parser.error(f"{', '.join(extra)} only {'applies' if len(extra) == 1 else 'apply'} "
                         f"to vector datasets (leave out --size)")
    else:
        extra = _given(args, _RASTER_ONLY)
        if d.is_raster and not d.is_vector:
            parser.error(f"{d.name} is a raster driver: --size W H is required")
        if extra and d.is_vector:
            verb = "applies" if len(extra) == 1 else "apply"
            parser.error(
                f"{', '.join(extra)} only {verb} to rasters (give --size W H); "
                f"vector datasets take -dsco (dataset) and -lco (layer) options"
            )
        if not d.is_vector:
            raise CLIError(f"{d.name} is neither a raster nor a vector driver")
        if args.layer is None and _given(args, _LAYER_ONLY):
            given = _given(args, _LAYER_ONLY)
            verb = "describes" if len(given) == 1 else "describe"
            parser.error(f"{', '.join(given)} {verb} a layer: give --layer NAME")
    if raster and not d.creatable and not copy_only(d):
        raise CLIError(f"{d.name} cannot create datasets: it writes neither by Create nor by CreateCopy")
    if not raster and not d.creatable:
        raise CLIError(f"{d.name} cannot create datasets (it has no creation capability)")
    if os.path.lexists(args.path) and not args.overwrite:
        raise CLIError(f"{args.path} already exists (use --overwrite to replace it)")
    with kept_differences() as found:
        if raster:
            args.bands = 1 if args.bands is None else args.bands
            args.dtype = _default_dtype(driver.RasterDriver(d.name)) if args.dtype is None else args.dtype
            _create_raster(d, args)
        else:
            _create_vector(d, args)
    print_differences(found)
    return 0

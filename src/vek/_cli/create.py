"""``vek-drivers create``: a dataset made with a driver, every option value checked."""

import os

from vek._algos.geo import driver
from vek.optioncheck import OptionValueError, check_option_value

from .common import CLIError, _option_text, find_driver


def checked_options(view, given: dict) -> dict:
    """The creation options to hand to GDAL, checked.

    Names are checked by the driver itself (``set_creation_options`` raises
    its FormatError, which names the closest valid option, and stores
    nothing). Every value, the configured defaults included, is then checked
    against the option's catalogue record; the checked texts are stored back
    on the driver and returned.
    """
    catalogue = view.creation_options_info
    if any(name not in catalogue for name in given):
        view.set_creation_options(**given)  # raises for the unknown names
    checked = {}
    for name, value in view.creation_options.items():
        if name in given or value is None:
            continue
        try:
            checked[name] = check_option_value(name, value, catalogue[name])
        except OptionValueError as exc:
            raise CLIError(f"{exc} (a configured default of {view.name})") from None
    for name, value in given.items():
        checked[name] = check_option_value(name, value, catalogue[name])
    view.set_creation_options(**checked)
    return view.creation_options


def _dtype_name(view, requested: str) -> str:
    """The GDAL spelling of a data type the driver can create."""
    try:  # a further name (GDAL 3.13's UInt8) gives its code's first name, as drivers list it
        name = driver.dtypes.get_raster_dtype_name(requested)
    except ValueError:
        names = driver.dtypes.dtype_names()
        raise CLIError(f"unknown data type {requested!r}; GDAL knows: {', '.join(names)}") from None
    supported = view.creation_dtypes
    if supported and name not in supported:
        raise CLIError(
            f"{view.name} cannot create {name} rasters; it creates: {', '.join(supported)}"
        )
    return name


def _band_dtype(handle) -> str:
    gdal = driver._gdal
    band = gdal.Dataset_GetRasterBand(handle, 1)
    return gdal.GetDataTypeName(gdal.Band_DataType_get(band))


def _compression(handle) -> str:
    return driver._gdal.MajorObject_GetMetadataItem(handle, "COMPRESSION", "IMAGE_STRUCTURE") or ""


def _report(pairs) -> None:
    key_w = max(len(k) for k, _ in pairs)
    for key, value in pairs:
        print(f"  {key.ljust(key_w)}  {value}")


def _create_raster(d, args) -> None:
    view = driver.RasterDriver(d.name)
    dtype = _dtype_name(view, args.dtype)
    options = checked_options(view, dict(args.co))
    width, height = args.size
    ds = view.create(args.path, width, height, args.bands, dtype)
    try:
        facts = [
            ("driver", f"{ds.driver_name} ({view.long_name})"),
            ("size", f"{ds.xsize} x {ds.ysize} pixels"),
            ("bands", ds.band_count),
            ("data type", _band_dtype(ds.handle) if ds.band_count else "-"),
            ("options", " ".join(f"{k}={_option_text(v)}" for k, v in options.items()) or "-"),
        ]
        files = ds.files
    finally:
        ds.close()
    compression = read_compression(view, args.path)
    if compression:
        facts.append(("compression", compression))
    print(f"created {args.path}")
    _report(facts + [("files", " ".join(files) or "-")])


def read_compression(view, path) -> str:
    """The compression GDAL reports for the dataset at ``path`` when it
    opens it again ("" when it reports none or cannot reopen it)."""
    try:
        ds = view.open(path)
    except driver.error.GDALError:
        return ""
    with ds:
        return _compression(ds.handle)


def _create_vector(d, args) -> None:
    view = driver.VectorDriver(d.name)
    ds = view.create(args.path)
    try:
        facts = [
            ("driver", f"{ds.driver_name} ({view.long_name})"),
            ("layers", ds.layer_count),
        ]
        files = ds.files
    finally:
        ds.close()
    print(f"created {args.path}")
    _report(facts + [("files", " ".join(files) or "-")])


def cmd_create(args) -> int:
    parser = args.subparser
    d = find_driver(args.name)
    raster = args.size is not None
    if not raster:
        extra = [flag for flag, given in (("--bands", args.bands is not None),
                                          ("--dtype", args.dtype is not None),
                                          ("-co", bool(args.co))) if given]
        if d.is_raster and not d.is_vector:
            parser.error(f"{d.name} is a raster driver: --size W H is required")
        if extra and d.is_vector:
            verb = "applies" if len(extra) == 1 else "apply"
            parser.error(
                f"{', '.join(extra)} only {verb} to rasters (give --size W H); "
                f"vector datasets are created empty and without creation options"
            )
        if not d.is_vector:
            raise CLIError(f"{d.name} is neither a raster nor a vector driver")
    elif not d.is_raster:
        parser.error(f"{d.name} is not a raster driver: --size does not apply")
    if not d.creatable:
        raise CLIError(f"{d.name} cannot create datasets (it has no creation capability)")
    if os.path.lexists(args.path) and not args.overwrite:
        raise CLIError(f"{args.path} already exists (use --overwrite to replace it)")
    if raster:
        args.bands = 1 if args.bands is None else args.bands
        args.dtype = "Float32" if args.dtype is None else args.dtype
        _create_raster(d, args)
    else:
        _create_vector(d, args)
    return 0

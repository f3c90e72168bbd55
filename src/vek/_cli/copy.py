"""``vek-drivers copy``: a dataset written with another driver on
``GeoDatabase.copy_to``'s road (written aside, read back and compared with
its source, then moved into place), with a report of what was kept and of
each difference.

A raster copy takes creation options with ``-co``; a vector copy takes the
dataset creation options with ``-dsco`` and the layers' with ``-lco``, as
GDAL's ogr2ogr does, and ``--layers`` picks the layers it writes. Options
of the other kind are a bad command line."""

import os
import sys

from .common import CLIError, find_driver

_VECTOR_FLAGS = (("-dsco", "dsco"), ("-lco", "lco"), ("--layers", "layers"))


def _given(args, flags) -> list[str]:
    return [flag for flag, dest in flags if getattr(args, dest)]


def _listed(flags) -> str:
    return ", ".join(flags) + (" applies" if len(flags) == 1 else " apply")


def _kind(src, path) -> str:
    """"raster" or "vector": what the source holds (a raster first, as
    the copy writes it)."""
    if src.band_count:
        return "raster"
    if src.layer_count:
        return "vector"
    raise CLIError(f"{path} holds neither a raster nor vector layers: there is nothing to copy")


def _refuse_other_kind(args, kind) -> None:
    parser = args.subparser
    vector_flags = _given(args, _VECTOR_FLAGS)
    if kind == "raster" and vector_flags:
        parser.error(f"{_listed(vector_flags)} to vector copies, and {args.src} holds a raster "
                     "(give its creation options with -co)")
    if kind == "vector" and args.co:
        parser.error(f"-co applies to raster copies, and {args.src} holds vector layers "
                     "(give dataset creation options with -dsco, layer options with -lco)")


def _target(args, kind):
    """The registry's driver the copy is written with: DRIVER, else the
    one of DST's extension, of the kind the source holds."""
    import vek

    if args.driver is None:
        return find_driver(vek.drivers_for_path(args.dst, single=True, kind=kind).name)
    d = find_driver(args.driver)
    if not (d.is_raster if kind == "raster" else d.is_vector):
        raise CLIError(f"{d.name} writes no {'rasters' if kind == 'raster' else 'vector layers'}, "
                       f"and {args.src} holds {'a raster' if kind == 'raster' else 'vector layers'}")
    return d


def _layers(src, d, args):
    """The layers a vector copy writes: those picked, else every one. They
    are named to ``copy_to`` either way, so that the copy takes ogr2ogr's
    road (Create, then each layer copied), never a driver's CreateCopy,
    which may write rasters only (GPKG's refuses a vector dataset)."""
    from vek._algos.geo import driver

    if args.layers:
        return args.layers
    names = [name for name, _geometry, _count in src.layers]
    if len(names) > 1 and not driver.VectorDriver(d.name).multi_layers:
        raise CLIError(f"{d.name} holds one layer per dataset, and {args.src} has {len(names)} "
                       f"({', '.join(names)}): pick the one to copy with --layers NAME")
    return names


def _options(d, args, kind):
    """``(options, layer options)`` for ``copy_to``, checked as ``create``
    checks them (the configured defaults included)."""
    from vek._algos.geo import driver

    from .create import checked_options, dataset_options

    if kind == "raster":
        return checked_options(driver.RasterDriver(d.name), dict(args.co)), None
    lco = checked_options(driver.VectorDriver(d.name), dict(args.lco))
    return dataset_options(d, dict(args.dsco)), lco or None


def _raster_facts(db) -> list:
    from vek._algos.geo.verify.facts import raster_facts, srs_text

    facts = raster_facts(db.handle)
    pairs = [("size", "%d x %d pixels" % facts["size"]), ("bands", facts["bands"]),
             ("data type", " ".join(dict.fromkeys(facts["types"])) or "-")]
    if facts["srs"] is not None:
        pairs.append(("srs", srs_text(facts["srs"])))
    nodata = [f"{v:g}" if isinstance(v, float) else str(v) for v in facts["nodata"] if v is not None]
    if nodata:
        pairs.append(("nodata", " ".join(dict.fromkeys(nodata))))
    return pairs


def _vector_facts(db) -> list:
    return [("layer", f"{name} ({geometry}, {count} feature{'s' if count != 1 else ''})")
            for name, geometry, count in db.layers] or [("layers", "none")]


def _options_text(options) -> str:
    from vek._algos.geo.options.text import option_text

    return " ".join(f"{k}={option_text(k, v)}" for k, v in (options or {}).items()) or "-"


def _report(pairs) -> None:
    key_w = max(len(k) for k, _ in pairs)
    for key, value in pairs:
        print(f"  {key.ljust(key_w)}  {value}")


def _copied(src, d, args, kind):
    """The copy, published; ``ValueError`` of ``copy_to`` (layers it cannot
    write, a copy onto its own file) as one error line."""
    from .create import ProgressBar

    options, layer_options = _options(d, args, kind)
    bar = ProgressBar() if sys.stderr.isatty() else None
    try:
        layers = _layers(src, d, args) if kind == "vector" else None
        db = src.copy_to(args.dst, d.name, options=options, progress=bar, layers=layers,
                         layer_options=layer_options, verify=args.verify)
    except ValueError as exc:
        raise CLIError(str(exc)) from None
    finally:
        if bar is not None:
            bar.end()
    with db:
        facts = [("driver", f"{d.name} ({d.long_name})"),
                 *(_raster_facts(db) if kind == "raster" else _vector_facts(db))]
        if kind == "raster":
            facts.append(("options", _options_text(options)))
        else:
            facts += [("dataset options", _options_text(options)), ("layer options", _options_text(layer_options))]
        facts.append(("files", " ".join(f for f in db.files if f) or "-"))
    return facts


def cmd_copy(args) -> int:
    import vek

    from .readback import kept_differences, print_differences

    if args.co and _given(args, _VECTOR_FLAGS):
        args.subparser.error(f"-co is for raster copies and {_listed(_given(args, _VECTOR_FLAGS))} "
                             "to vector copies: give one kind")
    if os.path.lexists(args.dst) and not args.overwrite:
        raise CLIError(f"{args.dst} already exists (use --overwrite to replace it)")
    with vek.open_file(args.src) as src:
        kind = _kind(src, args.src)
        _refuse_other_kind(args, kind)
        d = _target(args, kind)
        with kept_differences() as found:
            facts = _copied(src, d, args, kind)
    print(f"copied {args.src} to {args.dst}")
    _report(facts)
    print_differences(found)
    return 0

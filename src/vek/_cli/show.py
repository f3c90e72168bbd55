"""``vek-drivers show``: one driver with its capabilities and option catalogues,
as JSON here and as text in :mod:`.showtext`."""

from vek._algos.geo import driver
from vek._algos.geo.registry import describe as _describe

from .common import capabilities, copy_only, find_driver, json_out, kind_views, registry, summary
from .published import masked, unpublished


def _catalogue_json(catalogue) -> dict:
    return {name: dict(record) for name, record in catalogue.items()}


def show_data(d) -> dict:
    """Everything ``show`` reports about a driver, as JSON-ready data: the
    summary ``list`` gives, the driver's description (:func:`vek.describe`)
    and each kind's capability properties and option catalogues."""
    raster, vector = kind_views(d)
    drivers = registry()[1]
    unknown = unpublished(drivers)
    data = masked(summary(d), unknown)
    data["copy_only"] = copy_only(d)
    description = _describe.description(d, unknown)
    data.update((k, v) for k, v in description.items() if k not in data)
    for key, view, cls in (("raster", raster, driver.RasterDriver),
                           ("vector", vector, driver.VectorDriver)):
        if view is None:
            data[key] = None
            continue
        data[key] = {
            "capabilities": masked(capabilities(view, cls), unknown),
            "creation_options": _catalogue_json(view.creation_options_info),
            "open_options": _catalogue_json(view.open_options_info),
        }
    if raster is None and vector is None:
        data["creation_options"] = _catalogue_json(d.creation_options_info)
        data["open_options"] = _catalogue_json(d.open_options_info)
    return data


def cmd_show(args) -> int:
    d = find_driver(args.name)
    if args.json:
        json_out(show_data(d))
    else:
        from .showtext import show_text  # tables, wrapping and value texts: the text view's alone

        print(show_text(d, descriptions=args.descriptions))
    return 0

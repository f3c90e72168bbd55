"""The text view of ``vek-drivers show``: the summary, the capabilities of
each kind and the option catalogues as tables."""

from vek._algos.geo import driver
from vek._algos.geo.options.text import option_text
from vek._algos.geo.registry import describe as _describe
from vek.optioncheck import allowed_text

from .common import capabilities, kind_views, registry
from .published import UNKNOWN, masked, unpublished
from .table import Column, render_pairs, render_table, terminal_width, yes_no


def cell_text(value) -> str:
    if isinstance(value, bool):
        return yes_no(value)
    if isinstance(value, (list, tuple)):
        return " ".join(str(v) for v in value) or "-"
    if value is None or value == "":
        return "-"
    return str(value)


def option_table(catalogue, descriptions=False, width=None, limit=None) -> str:
    """The option catalogue as a text table: name, type, default, allowed
    values and current value (and description). ``limit`` shows only the
    first options and says how many were left out."""
    width = width or terminal_width()
    items = list(catalogue.items())
    shown = items if limit is None else items[:limit]
    # "current" only when some option has a value: the room goes to the others
    with_current = any("current" in record for _name, record in shown)
    columns = [
        Column("name"),
        Column("type"),
        Column("default", max_width=14),
        Column("allowed", fill=True),
    ]
    if with_current:
        columns.append(Column("current", max_width=14))
    if descriptions:  # prose reads best at full width, under its option
        columns.append(Column("description", below=True))
    rows = []
    for name, record in shown:
        row = [name, record.get("type", ""), record.get("default", ""), allowed_text(record)]
        if with_current:
            row.append(option_text(name, record["current"]) if "current" in record else "")
        if descriptions:
            row.append(record.get("description", ""))
        rows.append(row)
    text = render_table(columns, rows, total_width=width, indent="  ")
    if len(shown) < len(items):
        text += f"\n  ... and {len(items) - len(shown)} more"
    return text


def _pairs(pairs, width) -> str:
    return render_pairs([(k, cell_text(v)) for k, v in pairs], width)


def _section(title, catalogue, descriptions, width, limit=None) -> str:
    if not catalogue:
        return f"{title}: none"
    return f"{title} ({len(catalogue)})\n" + option_table(catalogue, descriptions, width, limit)


def _writes(modes) -> str:
    if modes == ["copy"]:
        return "by copy only"
    return ", ".join(modes) or "nothing"


# Option lists shown after the capabilities of each kind, by describe's key.
_MULTIDIM_TITLES = {
    "multidim_dataset_creation": "Multidimensional dataset creation options",
    "multidim_group_creation": "Multidimensional group creation options",
    "multidim_dimension_creation": "Multidimensional dimension creation options",
    "multidim_array_creation": "Multidimensional array creation options",
    "multidim_array_open": "Multidimensional array open options",
    "multidim_attribute_creation": "Multidimensional attribute creation options",
    "overview_creation": "Overview creation options",
}


def show_text(d, descriptions=False, width=None, limit=None) -> str:
    """The text view of ``show``: summary, capabilities of each kind and the
    option catalogues."""
    width = width or terminal_width()
    raster, vector = kind_views(d)
    drivers = registry()[1]
    unknown = unpublished(drivers)
    described = _describe.description(d, unknown)
    out = [f"{d.name} - {d.long_name or '(no long name)'}"]
    pairs = list(masked({
        "category": d.category,
        "extensions": d.extensions,
        "creatable": d.creatable,
        "updatable": d.updatable,
        "virtualio": d.virtualio,
    }, unknown, UNKNOWN).items())
    pairs.insert(3, ("writes", _writes(described["writes"])))
    if described["connection_prefix"]:
        pairs.insert(2, ("prefix", described["connection_prefix"]))
    if described["help_url"]:
        pairs.append(("help", described["help_url"]))
    out.append(_pairs(pairs, width))
    # A driver of both kinds reads one open-option list for both; it is shown
    # once unless the configured defaults make the two catalogues differ.
    shared_open = (
        raster is not None and vector is not None
        and raster.open_options_info == vector.open_options_info
    )
    for kind, view, cls, creation_title in (
        ("Raster", raster, driver.RasterDriver, "Raster creation options"),
        ("Vector", vector, driver.VectorDriver, "Vector layer creation options"),
    ):
        if view is None:
            continue
        out.append(f"\n{kind} capabilities")
        out.append(_pairs(list(masked(capabilities(view, cls), unknown, UNKNOWN).items()), width))
        if view is vector:
            out.append("\n" + _section("Vector dataset creation options",
                                        described["options"]["dataset_creation"], descriptions, width, limit))
        out.append("\n" + _section(creation_title, view.creation_options_info, descriptions, width, limit))
        if shared_open and view is vector:
            continue
        title = "Open options" if shared_open else f"{kind} open options"
        out.append("\n" + _section(title, view.open_options_info, descriptions, width, limit))
    if raster is None and vector is None:
        out.append("\n" + _section("Creation options", d.creation_options_info, descriptions, width, limit))
        out.append("\n" + _section("Open options", d.open_options_info, descriptions, width, limit))
    for key, title in _MULTIDIM_TITLES.items():
        if key in described["options"]:
            out.append("\n" + _section(title, described["options"][key], descriptions, width, limit))
    return "\n".join(out)

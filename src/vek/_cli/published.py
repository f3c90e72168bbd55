"""Capabilities that the running GDAL does not publish. A flag read from a
metadata item that no registered driver has (``DCAP_UPDATE`` before GDAL
3.11) is false for every driver, though GDAL never said "no": the command
line shows it as "unknown" (``null`` in JSON). The properties themselves
stay bools."""

UNKNOWN = "unknown"

# The bool capability properties the command line shows, and the metadata
# item each reads.
FLAG_ITEMS = {
    "creatable": "DCAP_CREATE",
    "updatable": "DCAP_UPDATE",
    "virtualio": "DCAP_VIRTUALIO",
    "copyable": "DCAP_CREATECOPY",
    "coordinate_epoch": "DCAP_COORDINATE_EPOCH",
    "sub_datasets": "DMD_SUBDATASETS",
    "multi_layers": "DCAP_MULTIPLE_VECTOR_LAYERS",
}


def unpublished(drivers) -> frozenset:
    """The flags of ``FLAG_ITEMS`` whose item none of ``drivers`` has."""
    missing = set(FLAG_ITEMS)
    for d in drivers:
        missing = {f for f in missing if not d._get_metadata_item_(FLAG_ITEMS[f])}
        if not missing:
            break
    return frozenset(missing)


def masked(values: dict, unknown, shown=None) -> dict:
    """``values`` with the value of each flag in ``unknown`` replaced by
    ``shown``."""
    return {k: shown if k in unknown else v for k, v in values.items()}


def note(flags, unknown) -> str:
    """A footnote for the asked-for ``flags`` that are unknown, or ""."""
    names = [f for f in flags if f in unknown]
    if not names:
        return ""
    items = ", ".join(FLAG_ITEMS[f] for f in names)
    return f" ({', '.join(names)}: unknown, this GDAL publishes no {items})"

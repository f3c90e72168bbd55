"""Capabilities that the running GDAL does not publish. A flag read from a
metadata item that no registered driver has (``DCAP_UPDATE`` before GDAL
3.11) is false for every driver, though GDAL never said "no": the command
line shows it as "unknown" (``null`` in JSON). The properties themselves
stay bools."""

from vek._algos.geo.binding.capabilities import CAPABILITIES, unpublished  # noqa: F401

UNKNOWN = "unknown"

# The bool capability properties the command line shows, and the metadata
# item each reads.
FLAG_ITEMS = {flag: CAPABILITIES[flag] for flag in (
    "creatable", "updatable", "virtualio", "copyable", "coordinate_epoch", "sub_datasets", "multi_layers")}


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

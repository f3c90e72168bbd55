"""What every command shares: the program name, its error class, finding
drivers and turning values into text or JSON."""

import difflib
import json

from vek._algos.geo import driver
from vek._algos.geo.binding.capabilities import write_modes

from . import PROG
from .table import yes_no

# The capability properties of each kind are the properties that the kind's
# class adds to Driver; these belong elsewhere in the views.
_NOT_CAPABILITIES = frozenset({"category", "creation_options_info", "open_options_info"})


class CLIError(Exception):
    """An error the command reports in one line, exiting with status 1."""


def registry():
    stats = driver.DriveStatistics()
    return stats, [stats[i] for i in range(len(stats))]


def find_driver(name: str):
    """The registry's ``Driver`` for ``name``: the exact short name, else the
    short name without regard to case, else a registry index as ``list``
    shows it. An unknown name raises CLIError with the closest short names."""
    _stats, drivers = registry()
    for d in drivers:
        if d.name == name:
            return d
    folded = name.casefold()
    for d in drivers:
        if d.name.casefold() == folded:
            return d
    if name.isdigit() and int(name) < len(drivers):  # the index that list shows
        return drivers[int(name)]
    by_fold = {d.name.casefold(): d.name for d in drivers}
    close = difflib.get_close_matches(folded, list(by_fold), n=3, cutoff=0.6)
    hint = ""
    if close:
        hint = " (did you mean " + " or ".join(repr(by_fold[c]) for c in close) + "?)"
    raise CLIError(f"unknown driver {name!r}{hint}; '{PROG} list' shows all drivers")


def copy_only(d) -> bool:
    """Whether the driver writes datasets by CreateCopy and not by Create."""
    return write_modes(d) == ["copy"]


def writable(d) -> bool:
    """Whether the driver writes datasets at all (by Create or CreateCopy)."""
    return bool(write_modes(d))


def capability_names(cls) -> list[str]:
    """The capability properties ``cls`` adds to ``Driver``, in class order."""
    return [
        k
        for k, v in vars(cls).items()
        if isinstance(v, property) and k not in _NOT_CAPABILITIES
    ]


def kind_views(d):
    """``(raster view or None, vector view or None)`` of a driver, each built
    from the short name so that each keeps catalogues of its own kind."""
    raster = driver.RasterDriver(d.name) if d.is_raster else None
    vector = driver.VectorDriver(d.name) if d.is_vector else None
    return raster, vector


def summary(d) -> dict:
    return {
        "name": d.name,
        "long_name": d.long_name,
        "category": d.category,
        "extension": d.extension,
        "extensions": d.extensions,
        "creatable": d.creatable,
        "updatable": d.updatable,
        "virtualio": d.virtualio,
    }


def json_out(obj) -> None:
    print(json.dumps(obj, indent=2, default=_json_default))


def _json_default(value):
    # values kept in catalogues come from users or the configuration file
    return str(value)


def cell_text(value) -> str:
    if isinstance(value, bool):
        return yes_no(value)
    if isinstance(value, (list, tuple)):
        return " ".join(str(v) for v in value) or "-"
    if value is None or value == "":
        return "-"
    return str(value)


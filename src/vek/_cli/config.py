"""``vek-drivers config``: which configuration file is read and what it sets;
with ``--check``, what in it the running GDAL does not know or allow."""

import json
import warnings

from vek._algos.geo import driver
from vek._algos.geo import _error as error
from vek._algos.geo.config import settings as env
from vek.optioncheck import OptionValueError, check_option_value

from .common import PROG, json_out

# Which catalogues a configured option may preset, by section: the creation
# and open options of the driver's kind (a vector driver's creation options
# are those of new layers; its dataset creation options count too).
_SECTIONS = {
    "raster": (driver.RasterDriver, "is_raster", ("DMD_CREATIONOPTIONLIST", "DMD_OPENOPTIONLIST")),
    "vector": (driver.VectorDriver, "is_vector",
               ("DS_LAYER_CREATIONOPTIONLIST", "DMD_CREATIONOPTIONLIST", "DMD_OPENOPTIONLIST")),
}


def _toml(value) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return json.dumps(value)
    return str(value)


def _settings() -> dict:
    """What the file sets, by section: {section: {driver: {option: value}}}."""
    return {section: {name: dict(opts) for name, opts in
                      getattr(env, f"{section.capitalize()}Config")[env.CREATION_OPTIONS].items()}
            for section in _SECTIONS}


def _source() -> str:
    path, named = env.config_path()
    how = "named by VEK_CONFIG" if named else "the default location"
    state = "" if env.ConfigFile is not None else ", not found: built-in defaults"
    return f"{path} ({how}{state})"


def config_text() -> str:
    """The file read and every value it sets, as TOML-like lines, then what
    the file's reading warned about."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", error.ConfigWarning)
        settings = _settings()
    out = [f"configuration file: {_source()}"]
    for section, drivers in settings.items():
        for name, options in drivers.items():
            out.append(f"\n[{section}.creation_options.{json.dumps(name) if ' ' in name else name}]")
            out.extend(f"{key} = {_toml(value)}" for key, value in options.items())
    rows, cols = env.JupyterShowMaxShape
    default = " (default)" if (rows, cols) == tuple(env.DEFAULT_SHOW_MAX_SHAPE) else ""
    out.append(f"\n[jupyter]\nshow_max_shape = [{rows}, {cols}]{default}")
    if caught:
        out.append("")
        out.extend(f"warning: {w.message}" for w in caught)
        out.append(f"('{PROG} config --check' checks option names and values too)")
    return "\n".join(out)


def _hint(name, valid) -> str:
    close = error.closest_name(name, list(valid))
    return f" (did you mean {close!r}?)" if close and close != name else ""


def _records(view, items) -> dict:
    """Option name -> catalogue record, from the driver's option lists."""
    records: dict = {}
    for item in items:
        text = view._get_metadata_item_(item)
        for name, record in driver.read_xml_to_dict(text or None).items():
            records.setdefault(name, record)
    return records


def check_config() -> list[str]:
    """The findings against the running GDAL, one line each: unknown driver
    tables, drivers of the other kind, unknown option names and values that
    fail the option checks."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", error.ConfigWarning)  # reported below, with more
        settings = _settings()
    stats = driver.DriveStatistics()
    registered = [stats[i].name for i in range(len(stats))]
    findings = []
    for section, drivers in settings.items():
        cls, kind, items = _SECTIONS[section]
        for name, options in drivers.items():
            where = f"{section}.creation_options.{name}"
            if name not in registered:
                findings.append(f"{where}: no driver named {name!r}{_hint(name, registered)}")
                continue
            if not getattr(stats[name], kind):
                findings.append(f"{where}: {name} is not a {section} driver; its options have no effect")
                continue
            records = _records(cls(name), items)
            for option, value in options.items():
                if option not in records:
                    findings.append(f"{where}.{option}: {name} has no option {option!r}"
                                    f"{_hint(option, records)}")
                    continue
                try:
                    check_option_value(option, value, records[option])
                except OptionValueError as exc:
                    findings.append(f"{where}.{option}: {exc}")
    return findings


def cmd_config(args) -> int:
    if not args.check:
        if args.json:
            rows, cols = env.JupyterShowMaxShape
            json_out({"file": env.config_path()[0], "read": env.ConfigFile is not None,
                       **_settings(), "jupyter": {"show_max_shape": [rows, cols]}})
        else:
            print(config_text())
        return 0
    findings = check_config()
    if args.json:
        json_out({"file": env.config_path()[0], "findings": findings})
    else:
        print(f"configuration file: {_source()}")
        print("\n".join(findings) if findings else "no findings")
    return 1 if findings else 0

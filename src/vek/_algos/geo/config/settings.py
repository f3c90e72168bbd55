"""User configuration of ``vek``, read from a TOML file on first use.

The file is the one named by the environment variable ``VEK_CONFIG`` or,
when that is unset or empty, ``$XDG_CONFIG_HOME/vek/config.toml``
(``XDG_CONFIG_HOME`` defaulting to ``~/.config``).  A missing default file
just means built-in defaults; a missing file named by ``VEK_CONFIG`` raises
:class:`~vek._algos.geo._error.ConfigFileNotFoundError`, and a malformed
file or a value of the wrong type raises
:class:`~vek._algos.geo._error.ConfigError`, naming the file and the key.
So does anything but a regular file (a FIFO, ``/dev/zero``), a file
larger than 1 MiB, and arrays or inline tables nested deeper than the
parser recurses; a leading UTF-8 byte order mark is skipped.

Layout::

    # default creation options, per driver short name
    [raster.creation_options.GTiff]
    COMPRESS = "LZW"
    TILED = true

    [vector.creation_options."ESRI Shapefile"]
    ENCODING = "UTF-8"

    # default open options, per driver short name (creation options
    # never reach open)
    [vector.open_options."ESRI Shapefile"]
    ENCODING = "LATIN1"

    [jupyter]
    # at most this many rows and columns in notebook tables
    show_max_shape = [20, 10]

    [options]
    # what an option value GDAL would not take does: "error", "warn", "off"
    check = "error"

Option values may be strings, integers, floats or booleans (they are
turned into GDAL's ``KEY=VALUE`` texts later, ``true`` becoming ``YES``).
A driver table whose name is no registered driver's short name (exactly,
as the lookup is) has no effect and emits one
:class:`~vek._algos.geo._error.ConfigWarning`; so does, the first time a
driver's configured options are used in a process, each option name the
driver's list lacks (exactly as spelled: it is left out). ``vek-drivers
config --check`` checks the option names and values too.
``show_max_shape`` is two positive integers.  Unknown keys inside
``[raster]``, ``[vector]``, ``[jupyter]`` and ``[options]`` are errors (they are typos);
other top-level tables are left for other parts of ``vek``.

Attributes (read-only mappings, loaded on first access and cached):

``RasterConfig``, ``VectorConfig``
    ``{"creation.options": {driver short name: {option: default}},
    "open.options": {driver short name: {option: default}}}``.
``JupyterShowMaxShape``
    ``(max_rows, max_cols)``, by default ``(20, 10)``.
``OptionsCheck``
    ``"error"`` (the default), ``"warn"`` or ``"off"``: what a creating or
    opening call does with an option value GDAL would not take (raise
    ``OptionValueError``, emit an ``OptionValueWarning`` and go on, or
    hand every value to GDAL unchecked).
``ConfigFile``
    The path of the file read, or ``None`` when none was.

:func:`reload` forgets the cached values, so the next access reads the
file again.
"""

import os

__all__ = [
    "RasterConfig",
    "VectorConfig",
    "JupyterShowMaxShape",
    "OptionsCheck",
    "ConfigFile",
    "DEFAULT_SHOW_MAX_SHAPE",
    "config_path",
    "reload",
]

DEFAULT_SHOW_MAX_SHAPE = (20, 10)
CREATION_OPTIONS = "creation.options"
OPEN_OPTIONS = "open.options"
MAX_SIZE = 1 << 20  # a configuration file is small; more is a mistake
_LAZY = ("RasterConfig", "VectorConfig", "JupyterShowMaxShape", "OptionsCheck", "ConfigFile")
OPTIONS_CHECKS = ("error", "warn", "off")


def config_path() -> tuple[str, bool]:
    """``(path, named)``: the configuration file and whether ``VEK_CONFIG``
    named it explicitly."""
    named = os.environ.get("VEK_CONFIG")
    if named:
        return os.path.expanduser(named), True
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(
        os.path.expanduser("~"), ".config"
    )
    return os.path.join(base, "vek", "config.toml"), False


def _type_name(value) -> str:
    if isinstance(value, dict):
        return "table"
    if isinstance(value, list):
        return "array"
    return type(value).__name__


def _section(doc: dict, section: str, known, path: str, error) -> dict:
    """The table ``[section]`` of the file (empty when absent), holding at
    most the keys ``known`` (a tuple of whole key names); anything else is a
    ConfigError naming the file."""
    table = doc.get(section, {})
    if not isinstance(table, dict):
        raise error.ConfigError(
            f"{path}: [{section}] must be a table, found {_type_name(table)}",
            path=path,
            key=section,
        )
    for key in table:
        if key not in known:
            names = ", ".join(f"{section}.{k}" for k in known)
            raise error.ConfigError(
                f"{path}: unknown key {section}.{key} (known: {names})",
                path=path,
                key=f"{section}.{key}",
            )
    return table


def _options(doc: dict, section: str, path: str, error):
    """``RasterConfig``/``VectorConfig``: the creation and the open
    defaults of ``[section]``, each under its own key."""
    from types import MappingProxyType

    table = _section(doc, section, ("creation_options", "open_options"), path, error)
    return MappingProxyType({
        CREATION_OPTIONS: _driver_tables(table, section, "creation_options", path, error),
        OPEN_OPTIONS: _driver_tables(table, section, "open_options", path, error),
    })


# which option list a driver table presets (a kind of OPTION_LISTS), by
# section and kind of table, and what one of its options is called
_LISTS = {
    ("raster", "creation_options"): ("creation", "creation option"),
    ("vector", "creation_options"): ("layer", "layer creation option"),
    ("raster", "open_options"): ("open", "open option"),
    ("vector", "open_options"): ("open", "open option"),
}
_warned: set = set()  # (table, option name) warned about in this process


class DriverOptions:
    """One driver table of the file (option name -> default), read-only.

    The option catalogues of a driver take from it, through ``items()``,
    only the names the driver's option list gives (exactly as spelled);
    the first time a table is so used in a process, each name the list
    lacks emits one ConfigWarning naming the closest real name, as the
    option would otherwise be dropped without a word."""

    __slots__ = ("_options", "_where", "_driver", "_list", "_path")

    def __init__(self, options: dict, where: str, driver: str, list_item: tuple, path: str):
        self._options = dict(options)
        self._where, self._driver, self._list, self._path = where, driver, list_item, path

    def __getitem__(self, name):
        return self._options[name]

    def __iter__(self):
        return iter(self._options)

    def __len__(self) -> int:
        return len(self._options)

    def __contains__(self, name) -> bool:
        return name in self._options

    def keys(self):
        return self._options.keys()

    def values(self):
        return self._options.values()

    def get(self, name, default=None):
        return self._options.get(name, default)

    def __eq__(self, other):
        return self._options == (other._options if isinstance(other, DriverOptions) else other)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"DriverOptions({self._options!r})"

    def items(self):
        self._warn_unlisted()
        return self._options.items()

    def _warn_unlisted(self) -> None:
        pending = [name for name in self._options if (self._where, name) not in _warned]
        if not pending:
            return
        names = _listed_names(self._driver, self._list[0])
        for name in pending:
            if names is not None and name not in names:
                _warn_unlisted_name(self._path, self._where, name, self._driver, self._list[1], names)
            _warned.add((self._where, name))


def _listed_names(driver: str, kind: str):
    """The option names of the driver's list of ``kind``, as the catalogue
    keys them (every element of the list, exact spelling); ``None`` when
    nothing can be said (no such driver, a list that does not parse)."""
    from osgeo import _gdal

    from ..binding import safexml as xet
    from ..binding.capabilities import metadata_item
    from ..binding.optionlists import OPTION_LISTS

    handle = _gdal.GetDriverByName(driver)
    if handle is None:
        return None
    text = metadata_item(handle, OPTION_LISTS[kind])
    if not text:
        return []
    try:
        return [child.attrib.get("name") for child in xet.fromstring(text)]
    except Exception:
        return None


def _warn_unlisted_name(path, where, name, driver, what, names) -> None:
    import warnings

    from .. import _error as error

    hint = error.closest_name(name, [n for n in names if isinstance(n, str)])
    hint = f" (did you mean {hint!r}?)" if hint else ""
    warnings.warn(
        error.ConfigWarning(f"{path}: [{where}] {name} is not a {what} of {driver}{hint}; "
                            "it has no effect"),
        skip_file_prefixes=(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(__file__)))),),
    )


def _driver_tables(table: dict, section: str, kind: str, path: str, error):
    from types import MappingProxyType

    drivers = table.get(kind, {})
    where = f"{section}.{kind}"
    if not isinstance(drivers, dict):
        raise error.ConfigError(
            f"{path}: {where} must be a table of driver tables, found {_type_name(drivers)}",
            path=path,
            key=where,
        )
    out = {}
    for driver, options in drivers.items():
        key = f"{where}.{driver}"
        if not isinstance(options, dict):
            raise error.ConfigError(
                f"{path}: {key} must be a table of option = value, found {_type_name(options)}",
                path=path,
                key=key,
            )
        for name, value in options.items():
            if not isinstance(value, (str, int, float, bool)):
                raise error.ConfigError(
                    f"{path}: {key}.{name} must be a string, number or boolean, "
                    f"found {_type_name(value)}",
                    path=path,
                    key=f"{key}.{name}",
                )
        out[driver] = DriverOptions(options, key, driver, _LISTS[(section, kind)], path)
    return MappingProxyType(out)


def _show_max_shape(doc: dict, path: str, error):
    table = _section(doc, "jupyter", ("show_max_shape",), path, error)
    if "show_max_shape" not in table:
        return DEFAULT_SHOW_MAX_SHAPE
    shape = table["show_max_shape"]
    if (
        not isinstance(shape, list)
        or len(shape) != 2
        or not all(isinstance(v, int) and not isinstance(v, bool) and v > 0 for v in shape)
    ):
        raise error.ConfigError(
            f"{path}: jupyter.show_max_shape must be two positive integers "
            f"[max_rows, max_cols], found {shape!r}",
            path=path,
            key="jupyter.show_max_shape",
        )
    return (shape[0], shape[1])


def _options_check(doc: dict, path: str, error) -> str:
    table = _section(doc, "options", ("check",), path, error)
    check = table.get("check", OPTIONS_CHECKS[0])
    if check not in OPTIONS_CHECKS:
        raise error.ConfigError(
            f"{path}: options.check must be one of \"error\", \"warn\", \"off\", found {check!r}",
            path=path,
            key="options.check",
        )
    return check


def _read_bytes(path: str, error) -> bytes:
    """The file's bytes: only a regular file (opened without blocking, so
    a FIFO cannot hang the caller) of at most MAX_SIZE bytes."""
    import stat

    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        regular = stat.S_ISREG(os.fstat(fd).st_mode)
    except BaseException:
        os.close(fd)
        raise
    if not regular:
        os.close(fd)
        raise error.ConfigError(f"configuration file {path} is not a regular file", path=path)
    with open(fd, "rb", buffering=0) as fh:
        raw = fh.read(MAX_SIZE + 1)
    if len(raw) > MAX_SIZE:
        raise error.ConfigError(
            f"configuration file {path} is larger than {MAX_SIZE // (1 << 20)} MiB", path=path
        )
    return raw


def _read(path: str, named: bool, error) -> dict | None:
    try:
        raw = _read_bytes(path, error)
    except FileNotFoundError:
        if named:
            raise error.ConfigFileNotFoundError(
                f"configuration file {path} named by VEK_CONFIG does not exist",
                path=path,
            ) from None
        return None
    except OSError as exc:
        raise error.ConfigError(
            f"cannot read configuration file {path}: {exc.strerror or exc}", path=path
        ) from exc
    import tomllib

    try:
        text = raw.decode("utf-8-sig")  # a byte order mark some editors write
        return tomllib.loads(text)
    except (UnicodeDecodeError, tomllib.TOMLDecodeError) as exc:
        raise error.ConfigError(
            f"malformed configuration file {path}: {exc}", path=path
        ) from exc
    except RecursionError:  # tomllib recurses once per nested array or inline table
        raise error.ConfigError(
            f"malformed configuration file {path}: arrays or inline tables nested too deeply",
            path=path,
        ) from None


def _load() -> None:
    from .. import _error as error

    path, named = config_path()
    doc = _read(path, named, error)
    values = {
        "RasterConfig": _options(doc or {}, "raster", path, error),
        "VectorConfig": _options(doc or {}, "vector", path, error),
        "JupyterShowMaxShape": _show_max_shape(doc or {}, path, error),
        "OptionsCheck": _options_check(doc or {}, path, error),
        "ConfigFile": path if doc is not None else None,
    }
    globals().update(values)
    if doc:
        _warn_unknown_drivers(values, path, error)


def _warn_unknown_drivers(values, path, error) -> None:
    """One ConfigWarning per driver table that names no registered driver."""
    tables = [(section, name)
              for section in ("raster", "vector")
              for name in values[f"{section.capitalize()}Config"][CREATION_OPTIONS]]
    if not tables:
        return
    import warnings

    from osgeo import _gdal

    names = [_gdal.Driver_ShortName_get(_gdal.GetDriver(i)) for i in range(_gdal.GetDriverCount())]
    known = set(names)
    for section, name in tables:
        if name in known:
            continue
        hint = error.closest_name(name, names)
        hint = f" (did you mean {hint!r}?)" if hint else ""
        warnings.warn(
            error.ConfigWarning(f"{path}: [{section}.creation_options.{name}] names no registered "
                                f"GDAL driver{hint}; its options have no effect"),
            skip_file_prefixes=(os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(__file__)))),),
        )


def reload() -> None:
    """Forget the values read; the next attribute access reads the file."""
    g = globals()
    for name in _LAZY:
        g.pop(name, None)


def __getattr__(name):
    if name in _LAZY:
        _load()
        return globals()[name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_LAZY))

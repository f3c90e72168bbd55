"""vek: object views of GDAL format drivers.

    import vek
    gtiff = vek.RasterDriver("GTiff")
    gtiff.set_creation_options(COMPRESS="LZW", TILED=True)
    with gtiff.create("out.tif", 256, 256, 1, "Byte") as ds:
        ...

The public names are loaded on first use, so ``import vek`` itself costs
next to nothing (GDAL's bindings are imported with the first driver class
or error asked for). They live in the private modules named in ``_WHERE``,
whose paths keep working.
"""

__version__ = "0.1.0"

# Public name -> the module that defines it.
_WHERE = {
    "Driver": "vek._algos.geo.driver",
    "RasterDriver": "vek._algos.geo.driver",
    "VectorDriver": "vek._algos.geo.driver",
    "DriveStatistics": "vek._algos.geo.driver",
    "GeoDatabase": "vek._algos.geo.geodatabase",
    "open_file": "vek._algos.geo.geodatabase",
    "create_vector": "vek._algos.geo.geodatabase",
    "identify": "vek._algos.geo.registry.identify",
    "drivers_for_path": "vek._algos.geo.registry.output",
    "describe": "vek._algos.geo.registry.describe",
    "snapshot": "vek._algos.geo.registry.describe",
    "FormatError": "vek._algos.geo._error",
    "GDALError": "vek._algos.geo._error",
    "GDALFileNotFoundError": "vek._algos.geo._error",
    "ConfigError": "vek._algos.geo._error",
    "ConfigWarning": "vek._algos.geo._error",
    "GDALWarning": "vek._algos.geo._error",
    "OptionValueWarning": "vek._algos.geo._error",
    "OptionValueError": "vek.optioncheck",
    "WriteMismatch": "vek._algos.geo._error",
    "WriteMismatchWarning": "vek._algos.geo._error",
    "write_raster": "vek._algos.geo.writing.rasters",
    "write_vector": "vek._algos.geo.writing.vectors",
}

__all__ = ["__version__", *_WHERE]


def __getattr__(name):
    where = _WHERE.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    try:
        module = importlib.import_module(where)
    except ModuleNotFoundError as exc:
        from vek._algos.geo import _import_gdal, bindings_missing

        if bindings_missing(exc):
            _import_gdal()  # raises the one line that says how to install them
        raise
    value = getattr(module, name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__():
    return sorted(set(globals()) | set(_WHERE))

"""Geospatial algorithms: GDAL drivers and data sources."""

# The modules here sit on GDAL's Python bindings, except the errors and
# warnings (_error.py), which code can name and catch without them. `base`
# takes the bindings through _import_gdal, so that their absence is said
# once, in one line that names the fix, instead of a bare "No module named
# 'osgeo'" from the first module that needs them.


def bindings_missing(exc: BaseException) -> bool:
    """Whether ``exc`` is the bare import failure of GDAL's bindings."""
    return isinstance(exc, ModuleNotFoundError) and exc.name in ("osgeo", "osgeo._gdal")


def _import_gdal():
    """GDAL's low-level binding ``osgeo._gdal``, or a ModuleNotFoundError
    (name ``osgeo``) saying how to install the bindings."""
    try:
        from osgeo import _gdal
    except ModuleNotFoundError as exc:
        if not bindings_missing(exc):
            raise
        raise ModuleNotFoundError(
            "vek needs GDAL's Python bindings (the 'osgeo' package): pip install gdal-wheel numpy "
            "(GDAL's binary wheel, with its own GDAL), or, for the GDAL library installed on this "
            "system, pip install GDAL==$(gdal-config --version) (gdal-config comes with GDAL's "
            "development files, e.g. Debian's libgdal-dev)",
            name="osgeo",
        ) from None
    return _gdal

"""Geospatial algorithms: GDAL drivers and data sources."""

# Every module here sits on GDAL's Python bindings, which pip cannot install
# for vek: they must be built for the GDAL library on the system. Say so once,
# here, instead of a bare "No module named 'osgeo'" from the first module.
try:
    from osgeo import _gdal
except ModuleNotFoundError as exc:
    if exc.name not in ("osgeo", "osgeo._gdal"):
        raise
    raise ModuleNotFoundError(
        "vek needs GDAL's Python bindings (the 'osgeo' package), built for the GDAL "
        "library installed on this system: pip install GDAL==$(gdal-config --version) "
        "(gdal-config comes with GDAL's development files, e.g. Debian's libgdal-dev)",
        name="osgeo",
    ) from None
del _gdal

"""Datasets opened or created through GDAL's low-level binding: the names
the driver classes and callers use, at the path they import them from.

``GeoDatabase(handle)`` owns a dataset handle (:mod:`.dataset.owner`);
``open_file(path, flags, drivers, open_options, sibling_files)`` opens a
dataset and returns a ``GeoDatabase``; ``create_vector(driver, path,
options=...)`` creates a vector dataset with dataset-level creation options
(:mod:`.dataset.opening`). The driver classes look ``GeoDatabase`` and
``open_file`` up here at each call.
"""

from .dataset.opening import (
    OF_GNM, OF_MULTIDIM, OF_RASTER, OF_UPDATE, OF_VECTOR, OF_VERBOSE_ERROR, create_vector, open_file,
)
from .dataset.owner import GeoDatabase

__all__ = ["GeoDatabase", "open_file", "create_vector", "OF_UPDATE", "OF_RASTER", "OF_VECTOR",
           "OF_GNM", "OF_MULTIDIM", "OF_VERBOSE_ERROR"]

"""Geospatial algorithms: GDAL drivers and data sources."""

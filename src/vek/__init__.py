"""vek: object views of GDAL format drivers."""

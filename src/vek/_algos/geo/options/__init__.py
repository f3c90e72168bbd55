"""Option values: their rules, their text, the check against a driver's
list, and the names GDAL's core takes unlisted."""

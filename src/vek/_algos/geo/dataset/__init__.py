"""The writing road and the dataset owner: the GDAL call, what a creation
made, the checks before writing, opening, closing, copying, layers and
georeferencing."""

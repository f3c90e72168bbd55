"""The Python capability readers agree with the driver classes' own
properties (the C++ readers), over every driver GDAL registers."""

import pytest
from osgeo import _gdal

from conftest import all_driver_names
from vek._algos.geo.binding import capabilities as cap
from vek._algos.geo.driver import Driver, RasterDriver


@pytest.mark.parametrize("name", all_driver_names())
def test_readers_agree_with_the_driver_properties(name):
    d, handle = Driver(name), _gdal.GetDriverByName(name)
    assert cap.main_extension(handle) == d.extension
    assert cap.metadata_list(handle, "DMD_EXTENSIONS") == d.extensions
    modes = cap.write_modes(handle)
    assert ("create" in modes) == d.creatable
    if d.is_raster:
        assert ("copy" in modes) == RasterDriver(name).copyable
    assert cap.write_modes(d) == modes  # through the object's own reader


"""Driver construction and identity: what a Driver is built from, what it
holds, how it prints, and the metadata gateway."""

import types

import pytest
from osgeo import _gdal

from conftest import all_driver_names, find_drivers

ATTRS = ["_driver", "_open_opts", "_creation_opts"]


IntIndex, StrName = type("IntIndex", (int,), {}), type("StrName", (str,), {})
# Prints one way and formats another: messages use the format.
Formatted = type("Formatted", (), {"__repr__": lambda self: "repr text",
                                   "__format__": lambda self, format_spec: "format text" + format_spec})


@pytest.mark.parametrize("make,name", [
    (lambda drv: drv.Driver("GTiff"), "GTiff"),
    (lambda drv: drv.Driver(name="ESRI Shapefile"), "ESRI Shapefile"),
    (lambda drv: drv.Driver(_gdal.GetDriverByName("GTiff")), "GTiff"),
    (lambda drv: drv.Driver(0), all_driver_names()[0]),
    (lambda drv: drv.Driver(_gdal.GetDriverCount() - 1), all_driver_names()[-1]),
    (lambda drv: drv.Driver(True), all_driver_names()[1]),
    (lambda drv: drv.Driver(False), all_driver_names()[0]),
])
def test_handle_and_two_new_empty_catalogues(drv, make, name):
    d, other = make(drv), make(drv)
    assert list(vars(d)) == ATTRS
    assert "GDALDriverShadow *" in repr(d._driver) and _gdal.Driver_ShortName_get(d._driver) == name
    assert type(d._open_opts) is dict and type(d._creation_opts) is dict
    assert d._open_opts == d._creation_opts == {} and d._open_opts is not d._creation_opts
    assert other._open_opts is not d._open_opts and other._creation_opts is not d._creation_opts


@pytest.mark.parametrize("value, call", [(IntIndex(1), "GetDriver"), (True, "GetDriver"),
                                         (StrName("one"), "GetDriverByName")])
def test_index_and_name_reach_the_binding_unchanged(drv, fake_gdal, value, call):
    fake_gdal.add("zero")
    handle = fake_gdal.add("one")
    assert drv.Driver(value)._driver is handle
    ((name, arg),) = fake_gdal.calls
    assert name == call and arg is value


@pytest.mark.parametrize("cls", ["Driver", "RasterDriver", "VectorDriver"])
def test_from_another_driver_shares_handle_and_both_catalogues(drv, fake_gdal, cls):
    source = getattr(drv, cls)(fake_gdal.add("X", DCAP_RASTER="YES", DCAP_VECTOR="YES"))
    source._creation_opts["MARK"] = {}
    fake_gdal.calls.clear()
    d = drv.Driver(source)
    assert fake_gdal.calls == []  # nothing is read from GDAL
    assert list(vars(d)) == ATTRS and all(getattr(d, a) is getattr(source, a) for a in ATTRS)
    source._creation_opts["MARK"]["current"] = "seen"
    assert d._creation_opts["MARK"] == {"current": "seen"}
    del source._driver
    with pytest.raises(AttributeError):
        drv.Driver(source)


@pytest.mark.parametrize("value, text", [
    ("NoSuchFormat", "NoSuchFormat"),
    ("gtiff ", "gtiff "),
    (None, "None"),
    (2.5, "2.5"),
    (Formatted(), "format text"),
    (_gdal.GetDriverCount(), "None"),  # an index past the end names None, not the index
])
def test_unusable_value_raises_format_error(drv, value, text):
    with pytest.raises(drv.error.FormatError) as info:
        drv.Driver(value)
    assert str(info.value) == "Driver(" + text + ") is incorrect!"


def test_str_and_repr_of_real_drivers(drv):
    cases = [("GTiff", "Raster"), ("ESRI Shapefile", "Vector")]
    cases += [(name, "Raster/Vector") for name in find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)[:1]]
    for name, category in cases:
        d = drv.Driver(name)
        assert str(d) == repr(d) == f"{name} - {category}"


def test_str_formats_values_and_repr_goes_through_the_instance(drv, fake_gdal):
    class Odd(drv.Driver):
        name = property(lambda self: 7)
        category = property(lambda self: Formatted())

    d = Odd(fake_gdal.add("N"))
    assert str(d) == repr(d) == "7 - format text"
    d.__str__ = lambda: "from the instance"
    assert repr(d) == "from the instance"


def test_missing_item_reads_as_empty_text(drv):
    d = drv.Driver("GTiff")
    assert _gdal.MajorObject_GetMetadataItem(d._driver, "NO_SUCH_ITEM") is None
    value = d._get_metadata_item_("NO_SUCH_ITEM")
    assert value == "" and type(value) is str
    assert d._get_metadata_item_(psz="DMD_LONGNAME") == "GeoTIFF"


@pytest.mark.parametrize("stored, expected", [("", ""), (None, ""), (0, ""), ("abc", "abc")])
def test_metadata_item_passes_exactly_handle_and_key(drv, fake_gdal, stored, expected):
    handle = fake_gdal.add("N", KEY=stored)
    d = drv.Driver(handle)
    key = StrName("KEY")
    assert d._get_metadata_item_(key) == expected and d._get_metadata_item_(key) == expected
    assert fake_gdal.calls == [("MajorObject_GetMetadataItem", handle, key)] * 2  # nothing is cached
    assert fake_gdal.calls[0][1] is handle and fake_gdal.calls[0][2] is key


def test_true_value_returned_unchanged_and_binding_looked_up_at_each_read(drv, fake_gdal):
    value = ["not", "text"]
    d = drv.Driver(fake_gdal.add("N", KEY=value))
    assert d._get_metadata_item_("KEY") is value
    drv._gdal = types.SimpleNamespace(MajorObject_GetMetadataItem=lambda handle, key: "second")
    assert d._get_metadata_item_("KEY") == "second"

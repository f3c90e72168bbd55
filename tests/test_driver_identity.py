"""Driver construction and identity: what a Driver is built from, what it
holds, how it prints, and the metadata gateway."""

import subprocess
import sys
import textwrap

import pytest
from osgeo import _gdal

from conftest import all_driver_names, find_drivers


class IntIndex(int):
    pass


class StrName(str):
    pass


class Formatted:
    """Prints one way and formats another: the message uses the format."""

    def __repr__(self):
        return "repr text"

    def __str__(self):
        return "str text"

    def __format__(self, format_spec):
        return "format text" + format_spec


# ---- construction -----------------------------------------------------------


def test_short_name_gives_handle_and_two_distinct_empty_catalogues(drv):
    d = drv.Driver("GTiff")
    assert list(vars(d)) == ["_driver", "_open_opts", "_creation_opts"]
    assert "GDALDriverShadow *" in repr(d._driver)
    assert _gdal.Driver_ShortName_get(d._driver) == "GTiff"
    assert d._open_opts == {} and d._creation_opts == {}
    assert type(d._open_opts) is dict and type(d._creation_opts) is dict
    assert d._open_opts is not d._creation_opts
    other = drv.Driver("GTiff")
    assert other._open_opts is not d._open_opts
    assert other._creation_opts is not d._creation_opts


def test_name_by_keyword_and_required(drv):
    assert drv.Driver(name="ESRI Shapefile").name == "ESRI Shapefile"
    with pytest.raises(TypeError):
        drv.Driver()


@pytest.mark.parametrize("index", [0, -1], ids=["first", "last"])
def test_registry_index(drv, index):
    index %= _gdal.GetDriverCount()
    d = drv.Driver(index)
    assert d.name == all_driver_names()[index]
    assert list(vars(d)) == ["_driver", "_open_opts", "_creation_opts"]


def test_bool_counts_as_index(drv):
    assert drv.Driver(True).name == drv.Driver(1).name == all_driver_names()[1]
    assert drv.Driver(False).name == all_driver_names()[0]


@pytest.mark.parametrize(
    "value, call",
    [
        (IntIndex(1), "GetDriver"),
        (True, "GetDriver"),
        (StrName("one"), "GetDriverByName"),
    ],
)
def test_index_and_name_reach_the_binding_unchanged(drv, fake_gdal, value, call):
    fake_gdal.add("zero")
    handle = fake_gdal.add("one")
    d = drv.Driver(value)
    assert d._driver is handle
    assert len(fake_gdal.calls) == 1
    assert fake_gdal.calls[0][0] == call and fake_gdal.calls[0][1] is value


def test_handle_is_kept_as_given(drv):
    handle = _gdal.GetDriverByName("GTiff")
    d = drv.Driver(handle)
    assert d._driver is handle
    assert d._open_opts == {} and d._creation_opts == {}


def test_fake_handle_is_kept_without_registry_lookup(drv, fake_gdal):
    handle = fake_gdal.add("X")
    d = drv.Driver(handle)
    assert d._driver is handle
    assert fake_gdal.calls == []


@pytest.mark.parametrize(
    "make",
    [
        lambda drv: drv.Driver("GTiff"),
        lambda drv: drv.RasterDriver("GTiff"),
        lambda drv: drv.VectorDriver("ESRI Shapefile"),
    ],
    ids=["Driver", "RasterDriver", "VectorDriver"],
)
def test_from_another_driver_shares_handle_and_both_catalogues(drv, make):
    source = make(drv)
    source._open_opts["MARK"] = {"current": 1}
    source._creation_opts["MARK"] = {}
    d = drv.Driver(source)
    assert list(vars(d)) == ["_driver", "_open_opts", "_creation_opts"]
    assert d._driver is source._driver
    assert d._open_opts is source._open_opts
    assert d._creation_opts is source._creation_opts
    source._creation_opts["MARK"]["current"] = "seen"
    assert d._creation_opts["MARK"] == {"current": "seen"}


def test_from_another_driver_reads_nothing_from_gdal(drv, fake_gdal):
    source = drv.Driver(fake_gdal.add("X"))
    fake_gdal.calls.clear()
    drv.Driver(source)
    assert fake_gdal.calls == []


def test_driver_class_is_looked_up_at_call_time(drv):
    real = drv.Driver

    class Other:
        def __init__(self):
            self._driver = object()
            self._open_opts = {"o": {}}
            self._creation_opts = {"c": {}}

    source = Other()
    drv.Driver = Other
    d = real(source)
    assert d._driver is source._driver
    assert d._open_opts is source._open_opts
    assert d._creation_opts is source._creation_opts


def test_source_without_handle_fails_with_attribute_error(drv):
    source = drv.Driver("GTiff")
    del source._driver
    with pytest.raises(AttributeError):
        drv.Driver(source)


@pytest.mark.parametrize(
    "value, text",
    [
        ("NoSuchFormat", "NoSuchFormat"),
        ("gtiff ", "gtiff "),
        (None, "None"),
        (2.5, "2.5"),
        (Formatted(), "format text"),
    ],
)
def test_unusable_value_raises_format_error(drv, value, text):
    with pytest.raises(drv.error.FormatError) as info:
        drv.Driver(value)
    assert str(info.value) == "Driver(" + text + ") is incorrect!"


def test_index_past_the_end_names_none(drv):
    count = _gdal.GetDriverCount()
    with pytest.raises(drv.error.FormatError) as info:
        drv.Driver(count)
    assert str(info.value) == "Driver(None) is incorrect!"


def test_binding_errors_propagate(drv, fake_gdal):
    def broken(name):
        raise RuntimeError("binding says no")

    fake_gdal.GetDriverByName = broken
    with pytest.raises(RuntimeError, match="binding says no"):
        drv.Driver("GTiff")


# ---- printed form -----------------------------------------------------------


def test_str_and_repr_of_real_drivers(drv):
    both = find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)
    cases = [("GTiff", "Raster"), ("ESRI Shapefile", "Vector")]
    cases += [(name, "Raster/Vector") for name in both[:1]]
    for name, category in cases:
        d = drv.Driver(name)
        assert str(d) == repr(d) == f"{name} - {category}"


@pytest.mark.parametrize(
    "meta, text",
    [
        ({"DCAP_RASTER": "YES"}, "N - Raster"),
        ({"DCAP_VECTOR": "yes"}, "N - Vector"),
        ({"DCAP_RASTER": "YES", "DCAP_VECTOR": "YES"}, "N - Raster/Vector"),
        ({}, "N - "),
    ],
)
def test_str_is_name_dash_category(drv, fake_gdal, meta, text):
    d = drv.Driver(fake_gdal.add("N", **meta))
    assert str(d) == repr(d) == text


def test_str_formats_non_text_values(drv, fake_gdal):
    class Odd(drv.Driver):
        name = property(lambda self: 7)
        category = property(lambda self: None)

    d = Odd(fake_gdal.add("N"))
    assert str(d) == "7 - None"


def test_repr_goes_through_str_of_the_instance(drv):
    class Loud(drv.Driver):
        def __str__(self):
            return "loud " + self.name

    d = Loud("GTiff")
    assert repr(d) == "loud GTiff"
    d.__str__ = lambda: "from the instance"
    assert repr(d) == "from the instance"


# ---- metadata gateway --------------------------------------------------------


def test_missing_item_reads_as_empty_text(drv):
    d = drv.Driver("GTiff")
    assert _gdal.MajorObject_GetMetadataItem(d._driver, "NO_SUCH_ITEM") is None
    value = d._get_metadata_item_("NO_SUCH_ITEM")
    assert value == "" and type(value) is str
    assert d._get_metadata_item_(psz="DMD_LONGNAME") == _gdal.MajorObject_GetMetadataItem(
        d._driver, "DMD_LONGNAME"
    )


@pytest.mark.parametrize(
    "stored, expected",
    [("", ""), (None, ""), (0, ""), ("abc", "abc")],
)
def test_metadata_item_passes_exactly_handle_and_key(drv, fake_gdal, stored, expected):
    handle = fake_gdal.add("N", KEY=stored)
    d = drv.Driver(handle)
    key = StrName("KEY")
    assert d._get_metadata_item_(key) == expected
    assert d._get_metadata_item_(key) == expected
    assert len(fake_gdal.calls) == 2  # nothing is cached
    call = fake_gdal.calls[0]
    assert call[0] == "MajorObject_GetMetadataItem" and len(call) == 3
    assert call[1] is handle and call[2] is key


def test_true_metadata_value_is_returned_unchanged(drv, fake_gdal):
    value = ["not", "text"]
    d = drv.Driver(fake_gdal.add("N", KEY=value))
    assert d._get_metadata_item_("KEY") is value


def test_gdal_binding_is_looked_up_at_each_read(drv, fake_gdal):
    d = drv.Driver(fake_gdal.add("N", KEY="first"))
    assert d._get_metadata_item_("KEY") == "first"

    class Second:
        def MajorObject_GetMetadataItem(self, handle, key):
            return "second"

    drv._gdal = Second()
    assert d._get_metadata_item_("KEY") == "second"


# ---- binding proxies ----------------------------------------------------------


def test_proxies_after_osgeo_gdal_import():
    code = textwrap.dedent(
        """
        from osgeo import gdal
        import vek._algos.geo.driver as drv
        proxy = gdal.GetDriverByName("ESRI Shapefile")
        d = drv.Driver(proxy)
        assert d._driver is proxy, d._driver
        assert str(d) == "ESRI Shapefile - Vector", str(d)
        g = drv.Driver("GTiff")
        assert str(g) == repr(g) == "GTiff - Raster"
        assert g.creatable and g.extension == "tif"
        assert drv.Driver(g)._driver is g._driver
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"

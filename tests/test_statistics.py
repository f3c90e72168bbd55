"""DriveStatistics: the registry snapshot, lookup by position and by name,
and the filtered driver lists."""

import traceback

import numpy as np
import pytest

import vek._algos.geo.driver as driver_module
from osgeo import _gdal

from conftest import all_driver_names, find_drivers, metadata

FLAG_LISTS = [
    ("creatables", "DCAP_CREATE"),
    ("updatables", "DCAP_UPDATE"),
    ("virtualios", "DCAP_VIRTUALIO"),
    ("rasters", "DCAP_RASTER"),
    ("vectors", "DCAP_VECTOR"),
]


@pytest.fixture(scope="module")
def stats():
    """One snapshot of the real registry, shared by the read-only tests."""
    return driver_module.DriveStatistics()


def tb_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


# ---- snapshot of the real registry ---------------------------------------------------------


def test_snapshot_holds_one_base_driver_per_registry_index(drv, stats):
    assert len(stats) == _gdal.GetDriverCount()
    assert type(len(stats)) is int
    assert type(stats._drivers) is list
    assert all(type(d) is drv.Driver for d in stats._drivers)
    assert [d.name for d in stats._drivers] == all_driver_names()
    assert list(vars(stats)) == ["_drivers"]


@pytest.mark.parametrize(
    "index, position",
    [(0, 0), (1, 1), (-1, -1), (True, 1), (False, 0)],
)
def test_int_index_is_list_position(stats, index, position):
    assert stats[index] is stats._drivers[position]


def test_int_subclass_and_negative_bound_select_by_position(stats):
    class Pos(int):
        pass

    assert stats[Pos(2)] is stats._drivers[2]
    assert stats[-len(stats)] is stats._drivers[0]


@pytest.mark.parametrize("offset", ["len", "-len-1", "huge"])
def test_int_index_out_of_range_raises_the_lists_index_error(drv, stats, offset):
    index = {"len": len(stats), "-len-1": -len(stats) - 1, "huge": 10**30}[offset]
    with pytest.raises(Exception) as caught:
        stats[index]
    with pytest.raises(Exception) as expected:
        stats._drivers[index]
    assert type(caught.value) is type(expected.value)
    assert str(caught.value) == str(expected.value)
    assert not isinstance(caught.value, drv.error.FormatError)


@pytest.mark.parametrize("key", ["gtiff", "GTIFF", "GTiff", "gTiFf"])
def test_name_lookup_ignores_letter_case(stats, key):
    found = stats[key]
    assert found.name == "GTiff"
    assert found is stats._drivers[all_driver_names().index("GTiff")]


def test_name_lookup_with_blank_in_the_name(stats):
    assert stats["esri SHAPEFILE"] is stats._drivers[all_driver_names().index("ESRI Shapefile")]


class Named:
    """A key that is neither str nor int; str() gives `text`."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def test_non_str_key_is_converted_with_str(stats):
    assert stats[Named("gTIFF")] is stats["GTiff"]

    class Shown(str):
        # A str subclass is not exactly a str: its str() form is the key.
        def __str__(self):
            return "GTiff"

    assert stats[Shown("not a name")] is stats["GTiff"]


@pytest.mark.parametrize(
    "key, text",
    [
        ("NoSuchFormat", "NoSuchFormat"),
        ("", ""),
        (slice(1, 3), "slice(1, 3, None)"),
        (1.0, "1.0"),
        (np.int64(1), "1"),
        (np.float32(2.5), "2.5"),
        (Named("NoSuchFormat"), "NoSuchFormat"),
        ((0,), "(0,)"),
        (None, "None"),
    ],
    ids=["str", "empty", "slice", "float", "np.int64", "np.float32", "__str__", "tuple", "None"],
)
def test_unknown_name_raises_format_error_with_callers_text(drv, stats, key, text):
    with pytest.raises(drv.error.FormatError) as caught:
        stats[key]
    assert str(caught.value) == f'"{text}" is not a driver!'
    assert "vek._algos.geo.driver.DriveStatistics.__getitem__" in tb_names(caught.value)


def test_message_uses_the_formatted_text_of_the_key(drv, stats):
    class Both:
        def __str__(self):
            return "NoSuchFormat"

        def __format__(self, fmt):
            assert fmt == ""
            return "As Formatted"

    with pytest.raises(drv.error.FormatError, match='^"As Formatted" is not a driver!$'):
        stats[Both()]


def test_key_whose_str_fails_propagates(stats):
    class Broken:
        def __str__(self):
            raise ZeroDivisionError("no text")

    with pytest.raises(ZeroDivisionError, match="no text"):
        stats[Broken()]


def test_iteration_and_membership_use_the_sequence_protocol(drv, stats):
    cls = drv.DriveStatistics
    assert "__iter__" not in vars(cls) and "__contains__" not in vars(cls)
    items = list(stats)
    assert len(items) == len(stats)
    assert all(a is b for a, b in zip(items, stats._drivers))
    assert stats._drivers[-1] in stats
    assert stats["GTiff"] in stats
    assert object() not in stats


@pytest.mark.parametrize("prop, key", FLAG_LISTS)
def test_filtered_list_matches_gdal_metadata(stats, prop, key):
    got = getattr(stats, prop)
    expected = [d for d in stats._drivers if metadata(d.name, key).upper() == "YES"]
    assert [d.name for d in got] == find_drivers(**{key: True})
    assert len(got) == len(expected)
    assert all(a is b for a, b in zip(got, expected))


@pytest.mark.parametrize("prop", [p for p, _ in FLAG_LISTS])
def test_filtered_list_is_new_at_each_read(stats, prop):
    first = getattr(stats, prop)
    second = getattr(stats, prop)
    assert type(first) is list
    assert first is not second and first == second
    stored = list(stats._drivers)
    first.clear()
    assert getattr(stats, prop) == second
    assert stats._drivers == stored


def test_both_kind_drivers_are_in_rasters_and_vectors(stats):
    both = find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)
    assert both, "GDAL registers drivers such as GPKG that handle both kinds"
    rasters, vectors = stats.rasters, stats.vectors
    for name in both:
        d = stats[name]
        assert d.category == "Raster/Vector"
        assert any(r is d for r in rasters) and any(v is d for v in vectors)
    assert len(rasters) + len(vectors) == len(stats) + len(both) - len(
        find_drivers(DCAP_RASTER=False, DCAP_VECTOR=False)
    )


@pytest.mark.parametrize("prop", [p for p, _ in FLAG_LISTS])
def test_filtered_lists_are_read_only(stats, prop):
    with pytest.raises(AttributeError):
        setattr(stats, prop, [])


# ---- construction, with a fake binding --------------------------------------------------------


def test_empty_registry_gives_empty_object_and_lists(drv, fake_gdal):
    ds = drv.DriveStatistics()
    assert len(ds) == 0 and ds._drivers == [] and list(ds) == []
    for prop, _ in FLAG_LISTS:
        assert getattr(ds, prop) == []
    assert fake_gdal.calls == [("GetDriverCount",)]
    with pytest.raises(IndexError):
        ds[0]
    with pytest.raises(drv.error.FormatError, match='^"GTiff" is not a driver!$'):
        ds["GTiff"]


@pytest.mark.parametrize("count", [-3, 0])
def test_count_of_zero_or_less_gives_no_driver(drv, fake_gdal, count):
    fake_gdal.add("A", DCAP_RASTER="YES")
    fake_gdal.GetDriverCount = lambda: count
    drv.Driver = lambda i: pytest.fail("no driver is made")
    assert len(drv.DriveStatistics()) == 0


def test_filtered_lists_follow_fake_metadata(drv, fake_gdal):
    fake_gdal.add("R", DCAP_RASTER="yes", DCAP_CREATE="YES")
    fake_gdal.add("V", DCAP_VECTOR="Yes", DCAP_UPDATE="yes")
    fake_gdal.add("RV", DCAP_RASTER="YES", DCAP_VECTOR="YES", DCAP_VIRTUALIO="YES")
    fake_gdal.add("None", DCAP_RASTER="NO", DCAP_CREATE="no")
    ds = drv.DriveStatistics()
    names = {prop: [d.name for d in getattr(ds, prop)] for prop, _ in FLAG_LISTS}
    assert names == {
        "creatables": ["R"],
        "updatables": ["V"],
        "virtualios": ["RV"],
        "rasters": ["R", "RV"],
        "vectors": ["V", "RV"],
    }


def test_driver_is_looked_up_at_each_step(drv, fake_gdal):
    for name in "ABC":
        fake_gdal.add(name)
    made = []

    def second(i):
        made.append(("second", i))
        return ("second", i)

    def first(i):
        made.append(("first", i))
        drv.Driver = second
        return ("first", i)

    drv.Driver = first
    ds = drv.DriveStatistics()
    assert made == [("first", 0), ("second", 1), ("second", 2)]
    assert ds._drivers == made


def test_drivers_list_is_bound_first_and_read_at_each_step(drv, fake_gdal):
    for name in "AB":
        fake_gdal.add(name)
    events = []

    class Recorded(drv.DriveStatistics):
        def __setattr__(self, name, value):
            events.append(("set", name, list(value)))
            super().__setattr__(name, value)

        def __getattribute__(self, name):
            if name == "_drivers":
                events.append(("get", name))
            return super().__getattribute__(name)

    count = fake_gdal.GetDriverCount

    def recorded_count():
        events.append(("GetDriverCount",))
        return count()

    fake_gdal.GetDriverCount = recorded_count
    drv.Driver = lambda i: events.append(("Driver", i)) or i
    ds = Recorded()
    assert events[:2] == [("set", "_drivers", []), ("GetDriverCount",)]
    steps = events[2:]
    assert len(steps) == 4
    assert set(steps[:2]) == {("Driver", 0), ("get", "_drivers")}
    assert set(steps[2:]) == {("Driver", 1), ("get", "_drivers")}
    assert ds._drivers == [0, 1]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("count", ["2", 2.0, None, [2], Index("2")], ids=["str", "float", "None", "list", "bad-index"])
def test_count_that_is_not_an_int_fails_like_range(drv, fake_gdal, count):
    fake_gdal.GetDriverCount = lambda: count
    with pytest.raises(Exception) as expected:
        range(count)
    with pytest.raises(type(expected.value)) as caught:
        drv.DriveStatistics()
    assert str(caught.value) == str(expected.value)


@pytest.mark.parametrize("count", [Index(2), np.int64(2), True])
def test_count_accepted_by_range_is_used(drv, fake_gdal, count):
    for name in "ABC":
        fake_gdal.add(name)
    fake_gdal.GetDriverCount = lambda: count
    assert [d.name for d in drv.DriveStatistics()] == ["A", "B", "C"][: len(range(count))]


def test_failing_driver_propagates_unchanged(drv, fake_gdal):
    for name in "ABC":
        fake_gdal.add(name)
    boom = RuntimeError("driver 1 broke")
    seen = []

    def failing(i):
        seen.append(i)
        if i == 1:
            raise boom
        return i

    drv.Driver = failing
    ds = None
    with pytest.raises(RuntimeError) as caught:
        ds = drv.DriveStatistics()
    assert caught.value is boom and ds is None and seen == [0, 1]
    assert "vek._algos.geo.driver.DriveStatistics.__init__" in tb_names(boom)


def test_unresolved_index_fails_with_the_drivers_own_error(drv, fake_gdal):
    fake_gdal.add("A")
    fake_gdal.GetDriverCount = lambda: 2  # GDAL gives no driver for index 1
    with pytest.raises(drv.error.FormatError, match=r"^Driver\(None\) is incorrect!$"):
        drv.DriveStatistics()


def test_failing_driver_count_propagates_unchanged(drv, fake_gdal):
    boom = OSError("no registry")

    def failing():
        raise boom

    fake_gdal.GetDriverCount = failing
    with pytest.raises(OSError) as caught:
        drv.DriveStatistics()
    assert caught.value is boom


# ---- lookup and lists with a fake binding -------------------------------------------------------


def test_name_lookup_returns_first_match_and_stops(drv, fake_gdal):
    handles = [fake_gdal.add(n) for n in ["x", "Dup", "DUP", "y"]]
    ds = drv.DriveStatistics()
    fake_gdal.calls.clear()
    assert ds["dUp"] is ds._drivers[1]
    assert fake_gdal.calls == [("Driver_ShortName_get", h) for h in handles[:2]]


def test_property_failure_propagates_from_lookup_and_lists(drv, fake_gdal):
    fake_gdal.add("A", DCAP_RASTER="YES")
    bad = fake_gdal.add("B", DCAP_RASTER="YES")
    ds = drv.DriveStatistics()
    boom = KeyError("metadata gone")
    real_item, real_name = fake_gdal.MajorObject_GetMetadataItem, fake_gdal.Driver_ShortName_get

    def item(handle, key):
        if handle is bad:
            raise boom
        return real_item(handle, key)

    def name(handle):
        if handle is bad:
            raise boom
        return real_name(handle)

    fake_gdal.MajorObject_GetMetadataItem = item
    fake_gdal.Driver_ShortName_get = name
    for prop, _ in FLAG_LISTS:
        with pytest.raises(KeyError) as caught:
            getattr(ds, prop)
        assert caught.value is boom
    with pytest.raises(KeyError) as caught:
        ds["nothing"]
    assert caught.value is boom
    assert ds["a"] is ds._drivers[0]

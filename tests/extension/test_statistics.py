"""DriveStatistics: the registry snapshot, lookup by position and by name,
and the filtered driver lists."""

import numpy as np
import pytest
from osgeo import _gdal

import vek._algos.geo.driver as driver_module
from conftest import all_driver_names, find_drivers
from fakes import fail_for, tb_names

FLAG_LISTS = [("creatables", "DCAP_CREATE"), ("updatables", "DCAP_UPDATE"), ("virtualios", "DCAP_VIRTUALIO"),
              ("rasters", "DCAP_RASTER"), ("vectors", "DCAP_VECTOR")]


@pytest.fixture(scope="module")
def stats():
    """One snapshot of the real registry, shared by the read-only tests."""
    return driver_module.DriveStatistics()


def Named(text):
    """A key that is neither str nor int; str() gives `text`."""
    return type("Named", (), {"__str__": lambda self: text})()


def test_snapshot_holds_one_base_driver_per_registry_index(drv, stats):
    assert len(stats) == _gdal.GetDriverCount() and type(len(stats)) is int
    assert list(vars(stats)) == ["_drivers"] and type(stats._drivers) is list
    assert all(type(d) is drv.Driver for d in stats._drivers)
    assert [d.name for d in stats._drivers] == all_driver_names()


@pytest.mark.parametrize("index, position", [(0, 0), (1, 1), (-1, -1), (True, 1), (False, 0),
                                             (type("Pos", (int,), {})(2), 2), ("-len", 0)])
def test_int_index_is_list_position(stats, index, position):
    assert stats[-len(stats) if index == "-len" else index] is stats._drivers[position]


@pytest.mark.parametrize("index", ["len", "-len-1", 10**30])
def test_int_index_out_of_range_raises_the_lists_index_error(drv, stats, index):
    index = {"len": len(stats), "-len-1": -len(stats) - 1}.get(index, index)
    with pytest.raises(IndexError) as caught:
        stats[index]
    with pytest.raises(IndexError) as expected:
        stats._drivers[index]
    assert str(caught.value) == str(expected.value) and not isinstance(caught.value, drv.error.FormatError)


@pytest.mark.parametrize("key, name", [("gtiff", "GTiff"), ("GTIFF", "GTiff"), ("GTiff", "GTiff"), ("gTiFf", "GTiff"),
                                       ("esri SHAPEFILE", "ESRI Shapefile"), (Named("gTIFF"), "GTiff"),
                                       (type("Shown", (str,), {"__str__": lambda s: "GTiff"})("x"), "GTiff")])
def test_name_lookup_ignores_letter_case_and_converts_with_str(stats, key, name):
    # A str subclass is not exactly a str: its str() form is the key.
    assert stats[key] is stats._drivers[all_driver_names().index(name)]


@pytest.mark.parametrize("key, text", [
    ("NoSuchFormat", "NoSuchFormat"), ("", ""), (slice(1, 3), "slice(1, 3, None)"), (1.0, "1.0"),
    (np.int64(1), "1"), (np.float32(2.5), "2.5"), (Named("NoSuchFormat"), "NoSuchFormat"), ((0,), "(0,)"),
    (None, "None"), (type("B", (), {"__str__": lambda s: "NoSuchFormat", "__format__": lambda s, f: "As" + f})(), "As"),
], ids=["str", "empty", "slice", "float", "np.int64", "np.float32", "__str__", "tuple", "None", "__format__"])
def test_unknown_name_raises_format_error_with_callers_text(drv, stats, key, text):
    with pytest.raises(drv.error.FormatError) as caught:
        stats[key]
    assert str(caught.value) == f'"{text}" is not a driver!'
    assert "vek._algos.geo.driver.DriveStatistics.__getitem__" in tb_names(caught.value)


def test_iteration_and_membership_use_the_sequence_protocol(drv, stats):
    assert "__iter__" not in vars(drv.DriveStatistics) and "__contains__" not in vars(drv.DriveStatistics)
    items = list(stats)
    assert len(items) == len(stats) and all(a is b for a, b in zip(items, stats._drivers))
    assert stats._drivers[-1] in stats and stats["GTiff"] in stats and object() not in stats


@pytest.mark.parametrize("prop, key", FLAG_LISTS)
def test_filtered_list_matches_gdal_metadata_and_is_new_at_each_read(stats, prop, key):
    first, second = getattr(stats, prop), getattr(stats, prop)
    assert type(first) is list and first is not second and first == second
    assert [d.name for d in first] == find_drivers(**{key: True})
    assert all(any(d is s for s in stats._drivers) for d in first)
    stored = list(stats._drivers)
    first.clear()
    assert getattr(stats, prop) == second and stats._drivers == stored


def test_both_kind_drivers_are_in_rasters_and_vectors(stats):
    both = find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)
    assert both, "GDAL registers drivers such as GPKG that handle both kinds"
    rasters, vectors = stats.rasters, stats.vectors
    for name in both:
        d = stats[name]
        assert d.category == "Raster/Vector" and any(r is d for r in rasters) and any(v is d for v in vectors)
    neither = find_drivers(DCAP_RASTER=False, DCAP_VECTOR=False)
    assert len(rasters) + len(vectors) == len(stats) + len(both) - len(neither)


def test_empty_registry_gives_empty_object_and_lists(drv, fake_gdal):
    ds = drv.DriveStatistics()
    assert len(ds) == 0 and ds._drivers == [] and list(ds) == [] and fake_gdal.calls == [("GetDriverCount",)]
    assert all(getattr(ds, prop) == [] for prop, _ in FLAG_LISTS)
    with pytest.raises(IndexError):
        ds[0]
    with pytest.raises(drv.error.FormatError, match='^"GTiff" is not a driver!$'):
        ds["GTiff"]


def test_filtered_lists_follow_fake_metadata(drv, fake_gdal):
    fake_gdal.add("R", DCAP_RASTER="yes", DCAP_CREATE="YES")
    fake_gdal.add("V", DCAP_VECTOR="Yes", DCAP_UPDATE="yes")
    fake_gdal.add("RV", DCAP_RASTER="YES", DCAP_VECTOR="YES", DCAP_VIRTUALIO="YES")
    fake_gdal.add("None", DCAP_RASTER="NO", DCAP_CREATE="no")
    ds = drv.DriveStatistics()
    assert {prop: [d.name for d in getattr(ds, prop)] for prop, _ in FLAG_LISTS} == {
        "creatables": ["R"], "updatables": ["V"], "virtualios": ["RV"], "rasters": ["R", "RV"], "vectors": ["V", "RV"]}


def test_construction_order_and_lookups(drv, fake_gdal):
    for name in "ABC":
        fake_gdal.add(name)
    events, count = [], fake_gdal.GetDriverCount
    fake_gdal.GetDriverCount = lambda: events.append("count") or count()

    class Recorded(drv.DriveStatistics):
        def __setattr__(self, name, value):
            events.append(("set", name, list(value)))
            super().__setattr__(name, value)

        def __getattribute__(self, name):
            events.append(name)
            return super().__getattribute__(name)

    def first(i):
        drv.Driver = lambda i: events.append(("second", i)) or i  # looked up again at each step
        return events.append(("first", i)) or i

    drv.Driver = first
    ds = Recorded()
    assert events[:2] == [("set", "_drivers", []), "count"]  # the list is bound first
    steps = [e for e in events[2:] if e in ("_drivers", "append") or type(e) is tuple]
    assert [set(steps[k:k + 2]) for k in (0, 2, 4)] == [{("first", 0), "_drivers"}, {("second", 1), "_drivers"},
                                                        {("second", 2), "_drivers"}]
    assert ds._drivers == [0, 1, 2]


def Index(value):
    return type("Index", (), {"__index__": lambda self: value})()


@pytest.mark.parametrize("count", ["2", 2.0, None, [2], Index("2"), Index(2), np.int64(2), True, -3, 0])
def test_driver_count_is_used_as_range_uses_it(drv, fake_gdal, count):
    for name in "ABC":
        fake_gdal.add(name)
    fake_gdal.GetDriverCount = lambda: count
    try:
        expected = ["A", "B", "C"][: len(range(count))]
    except Exception as exc:
        with pytest.raises(type(exc)) as caught:
            drv.DriveStatistics()
        assert str(caught.value) == str(exc)
    else:
        assert [d.name for d in drv.DriveStatistics()] == expected


def test_failures_propagate_unchanged(drv, fake_gdal):
    fake_gdal.add("A", DCAP_RASTER="YES")
    bad = fake_gdal.add("B", DCAP_RASTER="YES")
    ds, boom = drv.DriveStatistics(), KeyError("metadata gone")
    fail_for(fake_gdal, bad, boom)
    for prop in [p for p, _ in FLAG_LISTS] + ["nothing"]:
        with pytest.raises(KeyError) as caught:
            ds[prop] if prop == "nothing" else getattr(ds, prop)
        assert caught.value is boom
    assert ds["a"] is ds._drivers[0]
    with pytest.raises(ZeroDivisionError):  # a key whose str() fails
        ds[type("Broken", (), {"__str__": lambda self: 1 / 0})()]

    def failing(i=1):  # as Driver: fails for index 1; as GetDriverCount: fails
        if i == 1:
            raise boom
        return i

    real, drv.Driver = drv.Driver, failing
    for _ in range(2):
        with pytest.raises(KeyError) as caught:
            drv.DriveStatistics()
        assert caught.value is boom and "vek._algos.geo.driver.DriveStatistics.__init__" in tb_names(boom)
        drv.Driver, fake_gdal.GetDriverCount = real, failing
    fake_gdal.GetDriverCount = lambda: 3  # GDAL gives no driver for index 2
    with pytest.raises(drv.error.FormatError, match=r"^Driver\(None\) is incorrect!$"):
        drv.DriveStatistics()


def test_name_lookup_returns_first_match_and_stops(drv, fake_gdal):
    handles = [fake_gdal.add(n) for n in ["x", "Dup", "DUP", "y"]]
    ds = drv.DriveStatistics()
    fake_gdal.calls.clear()
    assert ds["dUp"] is ds._drivers[1]
    assert fake_gdal.calls == [("Driver_ShortName_get", h) for h in handles[:2]]

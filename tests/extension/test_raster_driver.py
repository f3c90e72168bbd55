"""RasterDriver (with VectorDriver side by side): the kind checks, the fixed
categories, the kind-specific catalogues, and the raster capabilities."""

import types

import pytest
from osgeo import _gdal

from conftest import all_driver_names, find_drivers
from fakes import FakeFormatError, bind_format_error, keys_read

# class: (default name, its category, a driver of the other kind, the other category, word of the message)
KINDS = {"RasterDriver": ("GTiff", "Raster", "ESRI Shapefile", "Vector", "raster"),
         "VectorDriver": ("ESRI Shapefile", "Vector", "GTiff", "Raster", "vector")}
BOTH_KIND = dict(DCAP_RASTER="YES", DCAP_VECTOR="YES",
                 DMD_CREATIONOPTIONLIST="<L><Option name='R1'/><Option name='R2'/></L>",
                 DS_LAYER_CREATIONOPTIONLIST="<L><Option name='L1'/><Option name='L2'/></L>",
                 DMD_OPENOPTIONLIST="<L><Option name='O1'/><Option name='O2'/></L>")


def read(fake, obj, prop):
    """The property's value and the metadata keys its read asked for."""
    before = len(fake.calls)
    return getattr(obj, prop), keys_read(fake, before)


@pytest.mark.parametrize("cls", list(KINDS))
@pytest.mark.parametrize("call", [lambda c, n: c(), lambda c, n: c(n), lambda c, n: c(name=n)])
def test_default_name(drv, cls, call):
    name, category = KINDS[cls][:2]
    d = call(getattr(drv, cls), name)
    assert d.name == name and str(d) == repr(d) == f"{name} - {category}"
    assert list(vars(d)) == ["_driver", "_open_opts", "_creation_opts"]


@pytest.mark.parametrize("cls", list(KINDS))
@pytest.mark.parametrize("make_name, text", [
    (lambda drv, other, cat: other, lambda name, cat: name),
    (lambda drv, other, cat: all_driver_names().index(other), lambda name, cat: str(name)),
    (lambda drv, other, cat: drv.Driver(other), lambda name, cat: f"{name.name} - {cat}"),
    (lambda drv, other, cat: getattr(drv, cat + "Driver")(other), lambda name, cat: f"{name.name} - {cat}"),
    (lambda drv, other, cat: _gdal.GetDriverByName(other), lambda name, cat: format(name, "")),
], ids=["short-name", "index", "driver", "kind-driver", "handle"])
def test_not_of_the_kind_message(drv, cls, make_name, text):
    _, _, other, other_category, word = KINDS[cls]
    name = make_name(drv, other, other_category)
    recorder = bind_format_error(drv)
    with pytest.raises(FakeFormatError):
        getattr(drv, cls)(name)
    assert recorder.calls == [(('"' + text(name, other_category) + f'" is not a {word} driver!',), {})]


@pytest.mark.parametrize("cls", list(KINDS))
def test_real_kind_check(drv, cls):
    _, category, other, _, word = KINDS[cls]
    with pytest.raises(drv.error.FormatError, match=f'^"{other}" is not a {word} driver!$'):
        getattr(drv, cls)(other)
    for name in find_drivers(DCAP_RASTER=category == "Vector", DCAP_VECTOR=category == "Raster"):
        with pytest.raises(drv.error.FormatError, match=f"is not a {word} driver!$"):
            getattr(drv, cls)(name)
    for name in find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True):
        assert str(getattr(drv, cls)(name)) == f"{name} - {category}"


@pytest.mark.parametrize("cls", list(KINDS))
@pytest.mark.parametrize("name", ["NoSuchDriver", 10**6, 1.5, None])
def test_unknown_name_fails_in_base(drv, cls, name):
    with pytest.raises(Exception) as base:
        drv.Driver(name)
    with pytest.raises(type(base.value)) as info:
        getattr(drv, cls)(name)
    assert str(info.value) == str(base.value) and "driver!" not in str(info.value)


@pytest.mark.parametrize("cls", list(KINDS))
@pytest.mark.parametrize("flag, accepted", [("YES", True), ("yes", True), (" YES ", False), (None, False)])
def test_kind_check_reads_the_flag_and_category_reads_nothing(drv, fake_gdal, cls, flag, accepted):
    category, word = KINDS[cls][1], KINDS[cls][4]
    fake_gdal.add("N", **{"DCAP_RASTER": "YES", "DCAP_VECTOR": "YES", "DCAP_" + word.upper(): flag})
    if not accepted:
        with pytest.raises(drv.error.FormatError, match=f'^"N" is not a {word} driver!$'):
            getattr(drv, cls)("N")
        return
    d = getattr(drv, cls)("N")
    assert read(fake_gdal, d, "category") == (category, []) and str(d) == f"N - {category}"


@pytest.mark.parametrize("cls, raster", [("RasterDriver", True), ("VectorDriver", False)])
def test_catalogues_ask_for_their_kind(drv, cls, raster):
    log = []

    def recording(name):
        def builder(self, *args, **kwargs):
            log.append((name, args, kwargs))
            return getattr(drv.Driver, name)(self, *args, **kwargs)
        return builder

    Recording = type("Recording", (getattr(drv, cls),), {n: recording(n) for n in (
        "_set_creation_options_info_", "_set_open_options_info_")})
    d = Recording()
    assert d.creation_options_info is d._creation_opts and d.open_options_info is d._open_opts
    assert log == [("_set_creation_options_info_", (raster,), {}), ("_set_open_options_info_", (raster,), {})]
    assert log[0][1][0] is raster and log[1][1][0] is raster


@pytest.mark.parametrize("cls, creation, values, other_cls, shared", [
    ("RasterDriver", ["R1", "R2"], ({"R2": "raster-default"}, {"O1": 1}), "VectorDriver", ["L1", "L2"]),
    ("VectorDriver", ["L1", "L2"], ({"L2": "vector-default"}, {"O2": 2}), "RasterDriver", ["R1", "R2"]),
])
def test_both_kind_driver_gets_the_catalogues_of_the_class(drv, fake_gdal, cls, creation, values, other_cls, shared):
    handle = fake_gdal.add("RV", **BOTH_KIND)
    drv.env = types.SimpleNamespace(
        RasterConfig={"creation.options": {"RV": {"R2": "raster-default", "O2": 0}}, "open.options": {"RV": {"O1": 1}}},
        VectorConfig={"creation.options": {"RV": {"L2": "vector-default", "O1": 0}}, "open.options": {"RV": {"O2": 2}}},
    )
    d = getattr(drv, cls)("RV")
    assert list(d.creation_options_info) == creation and list(d.open_options_info) == ["O1", "O2"]
    assert (d.creation_options, d.open_options) == values
    source = getattr(drv, other_cls)(handle)  # a catalogue shared with the source is returned whatever its kind
    catalogue = source.creation_options_info
    assert list(catalogue) == shared and getattr(drv, cls)(source).creation_options_info is catalogue


@pytest.mark.parametrize("prop, key", [("coordinate_epoch", "DCAP_COORDINATE_EPOCH"),
                                       ("copyable", "DCAP_CREATECOPY"), ("sub_datasets", "DMD_SUBDATASETS")])
@pytest.mark.parametrize("value, expected", [("YES", True), ("yes", True), ("Yes", True), (None, False),
                                             ("", False), (" YES ", False), ("NO", False), ("TRUE", False)])
def test_flag_properties(drv, fake_gdal, prop, key, value, expected):
    fake_gdal.add("R", DCAP_RASTER="YES", **{key: value})
    got, keys = read(fake_gdal, drv.RasterDriver("R"), prop)
    assert got is expected and keys == [key]


DTYPES = ["Byte", "UInt16", "Float32"]


@pytest.mark.parametrize("value, expected", [(None, []), ("", []), ("Byte UInt16 Float32", DTYPES),
                                             (" Byte\tUInt16 \n Float32 ", DTYPES)])
def test_creation_dtypes(drv, fake_gdal, value, expected):
    fake_gdal.add("R", DCAP_RASTER="YES", DMD_CREATIONDATATYPES=value)
    d = drv.RasterDriver("R")
    got, keys = read(fake_gdal, d, "creation_dtypes")
    assert got == expected and keys == ["DMD_CREATIONDATATYPES"] and d.creation_dtypes is not got


@pytest.mark.parametrize("copy, create, expected", [("YES", "YES", True), ("YES", None, True), (None, "YES", True),
                                                    (None, None, False), ("no", "yes", True)])
def test_transformable_reads_copy_then_create(drv, fake_gdal, copy, create, expected):
    fake_gdal.add("R", DCAP_RASTER="YES", DCAP_CREATECOPY=copy, DCAP_CREATE=create)
    assert read(fake_gdal, drv.RasterDriver("R"), "transformable") == (expected, ["DCAP_CREATECOPY", "DCAP_CREATE"])


def test_compress_modes_is_the_kept_list(drv):
    d = drv.RasterDriver("GTiff")
    modes = d.compress_modes
    assert "NONE" in modes and "LZW" in modes
    assert modes is d.creation_options_info["COMPRESS"]["value"] is d.compress_modes
    modes.append("MY-CODEC")
    assert d.creation_options_info["COMPRESS"]["value"][-1] == "MY-CODEC"


@pytest.mark.parametrize("option_list, expected", [
    (None, []),
    ("<L><Option name='TILED' type='boolean'/></L>", []),
    ("<L><Option name='COMPRESS' type='string'/></L>", []),
    ("<L><Option name='COMPRESS'><Value>ZSTD</Value><Value>NONE</Value><Value>LZW</Value></Option></L>",
     ["ZSTD", "NONE", "LZW"]),
], ids=["no-list", "no-compress", "compress-without-values", "option-list-order"])
def test_compress_modes(drv, fake_gdal, option_list, expected):
    fake_gdal.add("R", DCAP_RASTER="YES", DMD_CREATIONOPTIONLIST=option_list)
    d = drv.RasterDriver("R")
    first = d.compress_modes
    assert first == expected
    first.append("X")  # an empty list is new at each read
    assert (d.compress_modes == []) == (expected == [])

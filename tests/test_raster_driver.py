"""RasterDriver: the raster kind check, raster capabilities and catalogues."""

import inspect
import types
import xml.etree.ElementTree as ET

import pytest
from osgeo import _gdal

from conftest import all_driver_names, find_drivers, metadata


def keys_read(fake, since=0):
    """Metadata keys the module asked the fake binding for, in order."""
    return [c[2] for c in fake.calls[since:] if c[0] == "MajorObject_GetMetadataItem"]


def option_names(xml_text):
    return [item.get("name") for item in ET.fromstring(xml_text)] if xml_text else []


def option_values(xml_text, name):
    for item in ET.fromstring(xml_text):
        if item.get("name") == name:
            return [child.text for child in item]
    return []


class RecordingFormatError(Exception):
    """Stands in for error.FormatError and keeps how it was called."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args)
        self.call = (args, kwargs)


@pytest.fixture
def recording_error(drv):
    drv.error = types.SimpleNamespace(FormatError=RecordingFormatError)
    return RecordingFormatError


def vector_only_index():
    name = find_drivers(DCAP_RASTER=False, DCAP_VECTOR=True)[0]
    return all_driver_names().index(name)


# ---- construction and identity -------------------------------------------------


def test_class_shape(drv):
    cls = drv.RasterDriver
    assert cls.__bases__ == (drv.Driver,)
    assert cls.__doc__ == "Raster driver object."
    assert cls.__init__.__defaults__ == ("GTiff",)
    assert str(inspect.signature(cls.__init__)) == "(self, name='GTiff')"
    assert [k for k in vars(cls) if k not in ("__module__", "__doc__")] == [
        "__init__", "_create_", "category", "compress_modes", "coordinate_epoch", "copyable",
        "create", "creation_dtypes", "creation_options_info", "open_options_info",
        "sub_datasets", "transformable",
    ]


@pytest.mark.parametrize(
    "prop, doc",
    [
        ("category", "Driver category. --> str"),
        ("compress_modes", "The compression methods supported by the raster driver.--> list"),
        ("coordinate_epoch", "Whether the raster driver supports georeferencing. --> bool"),
        ("copyable", "Whether the target drive supports copy. --> bool"),
        ("creation_dtypes", "Supported data storage types.--> list"),
        ("creation_options_info", "creation options. --> list"),
        ("open_options_info", "open options. --> list"),
        ("sub_datasets", "Whether the raster driver supports sub dataset. --> bool"),
        ("transformable", "Whether the raster driver supports transformable. --> bool"),
    ],
)
def test_properties_are_read_only(drv, prop, doc):
    p = vars(drv.RasterDriver)[prop]
    assert isinstance(p, property)
    assert (p.fset, p.fdel) == (None, None)
    assert p.__doc__ == doc
    with pytest.raises(AttributeError):
        setattr(drv.RasterDriver(), prop, 1)


@pytest.mark.parametrize("call", [lambda c: c(), lambda c: c("GTiff"), lambda c: c(name="GTiff")])
def test_default_is_gtiff(drv, call):
    d = call(drv.RasterDriver)
    assert d.name == "GTiff"
    assert str(d) == repr(d) == "GTiff - Raster"
    assert set(vars(d)) == {"_driver", "_open_opts", "_creation_opts"}


@pytest.mark.parametrize(
    "make_name, text",
    [
        (lambda drv: "ESRI Shapefile", lambda name: "ESRI Shapefile"),
        (lambda drv: vector_only_index(), lambda name: str(name)),
        (lambda drv: drv.Driver("ESRI Shapefile"), lambda name: "ESRI Shapefile - Vector"),
        (lambda drv: drv.VectorDriver("ESRI Shapefile"), lambda name: "ESRI Shapefile - Vector"),
        (lambda drv: _gdal.GetDriverByName("ESRI Shapefile"), lambda name: format(name, "")),
    ],
    ids=["short-name", "index", "driver", "vector-driver", "handle"],
)
def test_not_raster_message(drv, recording_error, make_name, text):
    name = make_name(drv)
    with pytest.raises(RecordingFormatError) as info:
        drv.RasterDriver(name)
    message = '"' + text(name) + '"' + " is not a raster driver!"
    assert info.value.call == ((message,), {})


def test_not_raster_with_real_error_class(drv):
    with pytest.raises(drv.error.FormatError, match='^"ESRI Shapefile" is not a raster driver!$'):
        drv.RasterDriver("ESRI Shapefile")


def test_every_vector_only_driver_is_refused(drv):
    for name in find_drivers(DCAP_RASTER=False, DCAP_VECTOR=True):
        with pytest.raises(drv.error.FormatError, match="is not a raster driver!$"):
            drv.RasterDriver(name)


@pytest.mark.parametrize("name", ["NoSuchDriver", 10**6, 1.5, None])
def test_unknown_name_fails_in_base(drv, name):
    with pytest.raises(Exception) as base:
        drv.Driver(name)
    with pytest.raises(type(base.value)) as info:
        drv.RasterDriver(name)
    assert str(info.value) == str(base.value)
    assert "raster driver" not in str(info.value)


def test_fake_kind_check_reads_dcap_raster(drv, fake_gdal):
    fake_gdal.add("R", DCAP_RASTER="yes")
    fake_gdal.add("V", DCAP_VECTOR="YES", DCAP_RASTER=" YES ")
    assert drv.RasterDriver("R").name == "R"
    with pytest.raises(drv.error.FormatError, match='^"V" is not a raster driver!$'):
        drv.RasterDriver("V")


# ---- category ------------------------------------------------------------------------


@pytest.mark.parametrize("name", find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)[:3] or ["GTiff"])
def test_category_of_both_kind_driver_is_raster(drv, name):
    d = drv.RasterDriver(name)
    assert d.category == "Raster"
    assert str(d) == repr(d) == name + " - Raster"


def test_category_reads_nothing(drv, fake_gdal):
    fake_gdal.add("RV", DCAP_RASTER="YES", DCAP_VECTOR="YES")
    d = drv.RasterDriver("RV")
    assert drv.Driver("RV").category == "Raster/Vector"
    before = len(fake_gdal.calls)
    assert d.category == "Raster"
    assert fake_gdal.calls[before:] == []


# ---- flags and lists --------------------------------------------------------------------


@pytest.mark.parametrize(
    "prop, key",
    [("coordinate_epoch", "DCAP_COORDINATE_EPOCH"), ("copyable", "DCAP_CREATECOPY"), ("sub_datasets", "DMD_SUBDATASETS")],
)
@pytest.mark.parametrize(
    "value, expected",
    [("YES", True), ("yes", True), ("Yes", True), (None, False), ("", False), (" YES ", False), ("NO", False), ("TRUE", False)],
)
def test_flag_properties(drv, fake_gdal, prop, key, value, expected):
    meta = {"DCAP_RASTER": "YES"}
    if value is not None:
        meta[key] = value
    fake_gdal.add("R", **meta)
    d = drv.RasterDriver("R")
    before = len(fake_gdal.calls)
    assert getattr(d, prop) is expected
    assert keys_read(fake_gdal, before) == [key]


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, []),
        ("", []),
        ("Byte UInt16 Float32", ["Byte", "UInt16", "Float32"]),
        ("  Byte\tUInt16 \n Float32  ", ["Byte", "UInt16", "Float32"]),
    ],
)
def test_creation_dtypes(drv, fake_gdal, value, expected):
    meta = {"DCAP_RASTER": "YES"}
    if value is not None:
        meta["DMD_CREATIONDATATYPES"] = value
    fake_gdal.add("R", **meta)
    d = drv.RasterDriver("R")
    before = len(fake_gdal.calls)
    first = d.creation_dtypes
    assert first == expected
    assert keys_read(fake_gdal, before) == ["DMD_CREATIONDATATYPES"]
    assert d.creation_dtypes is not first


def test_real_flags_and_dtypes_follow_metadata(drv):
    for name in find_drivers(DCAP_RASTER=True):
        d = drv.RasterDriver(name)
        assert d.coordinate_epoch is (metadata(name, "DCAP_COORDINATE_EPOCH").upper() == "YES")
        assert d.copyable is (metadata(name, "DCAP_CREATECOPY").upper() == "YES")
        assert d.sub_datasets is (metadata(name, "DMD_SUBDATASETS").upper() == "YES")
        assert d.creation_dtypes == metadata(name, "DMD_CREATIONDATATYPES").split()
        assert d.transformable is (d.copyable or d.creatable)


@pytest.mark.parametrize(
    "copy, create, expected",
    [("YES", "YES", True), ("YES", None, True), (None, "YES", True), (None, None, False), ("no", "yes", True)],
)
def test_transformable_reads_copy_then_create(drv, fake_gdal, copy, create, expected):
    meta = {"DCAP_RASTER": "YES"}
    if copy is not None:
        meta["DCAP_CREATECOPY"] = copy
    if create is not None:
        meta["DCAP_CREATE"] = create
    fake_gdal.add("R", **meta)
    d = drv.RasterDriver("R")
    before = len(fake_gdal.calls)
    assert d.transformable is expected
    assert keys_read(fake_gdal, before) == ["DCAP_CREATECOPY", "DCAP_CREATE"]


# ---- compress_modes ---------------------------------------------------------------------------


def test_compress_modes_of_gtiff_follow_option_list(drv):
    xml_text = metadata("GTiff", "DMD_CREATIONOPTIONLIST")
    expected = option_values(xml_text, "COMPRESS")
    assert expected, "GTiff publishes its compression methods"
    d = drv.RasterDriver("GTiff")
    assert d.compress_modes == expected


def test_compress_modes_is_the_kept_list(drv):
    d = drv.RasterDriver("GTiff")
    modes = d.compress_modes
    assert modes is d.creation_options_info["COMPRESS"]["value"]
    modes.append("MY-CODEC")
    assert d.creation_options_info["COMPRESS"]["value"][-1] == "MY-CODEC"
    assert d.compress_modes is modes


def test_compress_modes_of_driver_without_compress(drv):
    names = [
        n for n in find_drivers(DCAP_RASTER=True)
        if "COMPRESS" not in option_names(metadata(n, "DMD_CREATIONOPTIONLIST"))
    ]
    assert names
    for name in names:
        assert drv.RasterDriver(name).compress_modes == []


@pytest.mark.parametrize(
    "option_list",
    [
        None,
        "<CreationOptionList><Option name='TILED' type='boolean'/></CreationOptionList>",
        "<CreationOptionList><Option name='COMPRESS' type='string'/></CreationOptionList>",
    ],
    ids=["no-list", "no-compress", "compress-without-values"],
)
def test_compress_modes_empty_is_new_each_read(drv, fake_gdal, option_list):
    meta = {"DCAP_RASTER": "YES"}
    if option_list:
        meta["DMD_CREATIONOPTIONLIST"] = option_list
    fake_gdal.add("R", **meta)
    d = drv.RasterDriver("R")
    first = d.compress_modes
    assert first == []
    first.append("X")
    assert d.compress_modes == []


def test_compress_modes_in_option_list_order(drv, fake_gdal):
    fake_gdal.add(
        "R",
        DCAP_RASTER="YES",
        DMD_CREATIONOPTIONLIST="<CreationOptionList><Option name='COMPRESS' type='string-select'>"
        "<Value>ZSTD</Value><Value>NONE</Value><Value>LZW</Value></Option></CreationOptionList>",
    )
    assert drv.RasterDriver("R").compress_modes == ["ZSTD", "NONE", "LZW"]


# ---- catalogues -----------------------------------------------------------------------------------

BOTH_KIND = dict(
    DCAP_RASTER="YES",
    DCAP_VECTOR="YES",
    DMD_CREATIONOPTIONLIST="<CreationOptionList><Option name='R1'/><Option name='R2'/></CreationOptionList>",
    DS_LAYER_CREATIONOPTIONLIST="<LayerCreationOptionList><Option name='L1'/></LayerCreationOptionList>",
    DMD_OPENOPTIONLIST="<OpenOptionList><Option name='O1'/><Option name='O2'/></OpenOptionList>",
)


@pytest.fixture
def recording_raster(drv):
    class Recording(drv.RasterDriver):
        def __init__(self, name="GTiff"):
            self.log = []
            super().__init__(name)

        def _set_creation_options_info_(self, *args, **kwargs):
            self.log.append(("creation", args, kwargs))
            return super()._set_creation_options_info_(*args, **kwargs)

        def _set_open_options_info_(self, *args, **kwargs):
            self.log.append(("open", args, kwargs))
            return super()._set_open_options_info_(*args, **kwargs)

    return Recording


def test_catalogues_ask_for_raster_kind(recording_raster):
    d = recording_raster("GTiff")
    creation = d.creation_options_info
    opened = d.open_options_info
    assert d.log == [("creation", (True,), {}), ("open", (True,), {})]
    assert d.log[0][1][0] is True and d.log[1][1][0] is True
    assert creation is d._creation_opts and opened is d._open_opts
    assert list(creation) == option_names(metadata("GTiff", "DMD_CREATIONOPTIONLIST"))


def test_both_kind_driver_gets_raster_catalogues(drv, fake_gdal):
    fake_gdal.add("RV", **BOTH_KIND)
    drv.env = types.SimpleNamespace(
        RasterConfig={"creation.options": {"RV": {"R2": "raster-default", "O1": 1}}},
        VectorConfig={"creation.options": {"RV": {"L1": "vector-default", "O2": 2}}},
    )
    d = drv.RasterDriver("RV")
    assert list(d.creation_options_info) == ["R1", "R2"]
    assert d.creation_options == {"R2": "raster-default"}
    assert list(d.open_options_info) == ["O1", "O2"]
    assert d.open_options == {"O1": 1}


def test_real_both_kind_driver_gets_raster_creation_list(drv):
    names = [
        n for n in find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)
        if option_names(metadata(n, "DMD_CREATIONOPTIONLIST"))
        and option_names(metadata(n, "DMD_CREATIONOPTIONLIST")) != option_names(metadata(n, "DS_LAYER_CREATIONOPTIONLIST"))
    ]
    if not names:
        pytest.skip("no driver with distinct raster and layer creation lists")
    for name in names:
        got = list(drv.RasterDriver(name).creation_options_info)
        assert got == list(dict.fromkeys(option_names(metadata(name, "DMD_CREATIONOPTIONLIST"))))


def test_shared_catalogue_is_returned_whatever_its_kind(drv, fake_gdal):
    fake_gdal.add("RV", **BOTH_KIND)
    source = drv.VectorDriver("RV")
    layer_catalogue = source.creation_options_info
    assert list(layer_catalogue) == ["L1"]
    d = drv.RasterDriver(source)
    assert d.creation_options_info is layer_catalogue
    assert d.compress_modes == []


def test_catalogue_rebuilt_while_empty(drv, fake_gdal):
    handle = fake_gdal.add("R", DCAP_RASTER="YES")
    d = drv.RasterDriver("R")
    assert d.creation_options_info == {}
    fake_gdal.meta[handle]["DMD_CREATIONOPTIONLIST"] = BOTH_KIND["DMD_CREATIONOPTIONLIST"]
    assert list(d.creation_options_info) == ["R1", "R2"]

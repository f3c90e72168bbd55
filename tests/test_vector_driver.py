"""VectorDriver: the vector kind check, vector capabilities and catalogues."""

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
    return list(dict.fromkeys(item.get("name") for item in ET.fromstring(xml_text))) if xml_text else []


class RecordingFormatError(Exception):
    def __init__(self, *args, **kwargs):
        super().__init__(*args)
        self.call = (args, kwargs)


@pytest.fixture
def vector(drv, fake_gdal):
    """A fake vector driver "V" with the given metadata, and the reads it makes."""

    def make(**meta):
        fake_gdal.add("V", DCAP_VECTOR="YES", **meta)
        return drv.VectorDriver("V")

    return make


def read(fake, obj, prop):
    before = len(fake.calls)
    value = getattr(obj, prop)
    return value, keys_read(fake, before)


# ---- construction and identity -------------------------------------------------


def test_class_shape(drv):
    cls = drv.VectorDriver
    assert cls.__bases__ == (drv.Driver,)
    assert cls.__doc__ == "Vector driver object."
    assert cls.__init__.__defaults__ == ("ESRI Shapefile",)
    assert str(inspect.signature(cls.__init__)) == "(self, name='ESRI Shapefile')"
    assert [k for k in vars(cls) if k not in ("__module__", "__doc__")] == [
        "__init__", "_create_", "category", "create", "creation_ftypes", "creation_options_info",
        "dimension", "multi_layers", "open_options_info", "sql_dialects", "transformable",
    ]


@pytest.mark.parametrize(
    "prop, doc",
    [
        ("category", "Driver category. --> str"),
        ("creation_ftypes", "Supported field storage types.--> list"),
        ("creation_options_info", "creation options. --> list"),
        ("dimension", "Get the dimension vector driver. --> str"),
        ("multi_layers", "Whether the vector driver supports multi layers. --> bool"),
        ("open_options_info", "open options. --> list"),
        ("sql_dialects", "The vector driver support's sql dialects. --> list"),
        ("transformable", "Whether the vector driver supports transformable. --> bool"),
    ],
)
def test_properties_are_read_only(drv, prop, doc):
    p = vars(drv.VectorDriver)[prop]
    assert isinstance(p, property)
    assert (p.fset, p.fdel) == (None, None)
    assert p.__doc__ == doc
    with pytest.raises(AttributeError):
        setattr(drv.VectorDriver(), prop, 1)


@pytest.mark.parametrize("call", [lambda c: c(), lambda c: c("ESRI Shapefile"), lambda c: c(name="ESRI Shapefile")])
def test_default_is_shapefile(drv, call):
    d = call(drv.VectorDriver)
    assert d.name == "ESRI Shapefile"
    assert str(d) == repr(d) == "ESRI Shapefile - Vector"
    assert set(vars(d)) == {"_driver", "_open_opts", "_creation_opts"}


def raster_only_index():
    return all_driver_names().index(find_drivers(DCAP_RASTER=True, DCAP_VECTOR=False)[0])


@pytest.mark.parametrize(
    "make_name, text",
    [
        (lambda drv: "GTiff", lambda name: "GTiff"),
        (lambda drv: raster_only_index(), lambda name: str(name)),
        (lambda drv: drv.RasterDriver("GTiff"), lambda name: "GTiff - Raster"),
        (lambda drv: _gdal.GetDriverByName("GTiff"), lambda name: format(name, "")),
    ],
    ids=["short-name", "index", "driver", "handle"],
)
def test_not_vector_message(drv, make_name, text):
    drv.error = types.SimpleNamespace(FormatError=RecordingFormatError)
    name = make_name(drv)
    with pytest.raises(RecordingFormatError) as info:
        drv.VectorDriver(name)
    assert info.value.call == (('"' + text(name) + '" is not a vector driver!',), {})


def test_not_vector_with_real_error_class(drv):
    with pytest.raises(drv.error.FormatError, match='^"GTiff" is not a vector driver!$'):
        drv.VectorDriver("GTiff")
    for name in find_drivers(DCAP_RASTER=True, DCAP_VECTOR=False):
        with pytest.raises(drv.error.FormatError, match="is not a vector driver!$"):
            drv.VectorDriver(name)


@pytest.mark.parametrize("name", ["NoSuchDriver", 10**6, 1.5, None])
def test_unknown_name_fails_in_base(drv, name):
    with pytest.raises(Exception) as base:
        drv.Driver(name)
    with pytest.raises(type(base.value)) as info:
        drv.VectorDriver(name)
    assert str(info.value) == str(base.value)
    assert "vector driver" not in str(info.value)


@pytest.mark.parametrize("flag, accepted", [("YES", True), ("yes", True), (" YES ", False), (None, False)])
def test_kind_check_reads_dcap_vector(drv, fake_gdal, flag, accepted):
    fake_gdal.add("V", **({} if flag is None else {"DCAP_VECTOR": flag}))
    if accepted:
        assert drv.VectorDriver("V").name == "V"
    else:
        with pytest.raises(drv.error.FormatError, match='^"V" is not a vector driver!$'):
            drv.VectorDriver("V")


# ---- category -------------------------------------------------------------------------


def test_category_of_both_kind_driver_is_vector(drv, fake_gdal):
    fake_gdal.add("RV", DCAP_RASTER="YES", DCAP_VECTOR="YES")
    d = drv.VectorDriver("RV")
    assert read(fake_gdal, d, "category") == ("Vector", [])
    assert str(d) == repr(d) == "RV - Vector"


@pytest.mark.parametrize("name", find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)[:3] or ["GPKG"])
def test_real_both_kind_driver(drv, name):
    d = drv.VectorDriver(name)
    assert d.category == "Vector"
    assert str(d) == name + " - Vector"


# ---- flags and lists -------------------------------------------------------------------


@pytest.mark.parametrize(
    "z, m, expected",
    [
        (None, None, "XY"),
        ("YES", None, "XYZ"),
        (None, "YES", "XYM"),
        ("YES", "YES", "XYZM"),
        ("yes", "Yes", "XYZM"),
        (" YES ", "NO", "XY"),
        ("NO", "yes", "XYM"),
    ],
)
def test_dimension(vector, fake_gdal, z, m, expected):
    meta = {}
    if z is not None:
        meta["DCAP_Z_GEOMETRIES"] = z
    if m is not None:
        meta["DCAP_MEASURED_GEOMETRIES"] = m
    d = vector(**meta)
    assert read(fake_gdal, d, "dimension") == (expected, ["DCAP_Z_GEOMETRIES", "DCAP_MEASURED_GEOMETRIES"])


@pytest.mark.parametrize(
    "value, expected", [("YES", True), ("yes", True), (None, False), (" YES ", False), ("NO", False)]
)
def test_multi_layers(vector, fake_gdal, value, expected):
    d = vector(**({} if value is None else {"DCAP_MULTIPLE_VECTOR_LAYERS": value}))
    got, keys = read(fake_gdal, d, "multi_layers")
    assert got is expected
    assert keys == ["DCAP_MULTIPLE_VECTOR_LAYERS"]


@pytest.mark.parametrize(
    "value, expected",
    [(None, []), ("", []), ("Integer Real String", ["Integer", "Real", "String"]), (" Integer\tDate \n", ["Integer", "Date"])],
)
def test_creation_ftypes(vector, fake_gdal, value, expected):
    d = vector(**({} if value is None else {"DMD_CREATIONFIELDDATATYPES": value}))
    got, keys = read(fake_gdal, d, "creation_ftypes")
    assert got == expected
    assert keys == ["DMD_CREATIONFIELDDATATYPES"]
    assert d.creation_ftypes is not got


@pytest.mark.parametrize(
    "meta, expected, keys",
    [
        ({}, [], ["DMD_SUPPORTED_SQL_DIALECTS", "SQL_DIALECTS"]),
        ({"DMD_SUPPORTED_SQL_DIALECTS": "NATIVE OGRSQL SQLITE"}, ["NATIVE", "OGRSQL", "SQLITE"],
         ["DMD_SUPPORTED_SQL_DIALECTS"]),
        ({"SQL_DIALECTS": " OGRSQL\tSQLITE "}, ["OGRSQL", "SQLITE"], ["DMD_SUPPORTED_SQL_DIALECTS", "SQL_DIALECTS"]),
        ({"DMD_SUPPORTED_SQL_DIALECTS": "  SQLITE  OGRSQL", "SQL_DIALECTS": "OTHER"}, ["SQLITE", "OGRSQL"],
         ["DMD_SUPPORTED_SQL_DIALECTS"]),
    ],
    ids=["neither", "published", "old-key-only", "published-wins"],
)
def test_sql_dialects(vector, fake_gdal, meta, expected, keys):
    d = vector(**meta)
    assert read(fake_gdal, d, "sql_dialects") == (expected, keys)
    assert d.sql_dialects is not d.sql_dialects


def test_real_sql_dialects_as_gdal_publishes_them(drv):
    for name in ("ESRI Shapefile", "GPKG"):
        dialects = drv.VectorDriver(name).sql_dialects
        assert dialects == metadata(name, "DMD_SUPPORTED_SQL_DIALECTS").split()
        assert "OGRSQL" in dialects
    for name in find_drivers(DCAP_VECTOR=True):
        published = metadata(name, "DMD_SUPPORTED_SQL_DIALECTS") or metadata(name, "SQL_DIALECTS")
        assert drv.VectorDriver(name).sql_dialects == published.split()


def test_real_flags_and_lists_follow_metadata(drv):
    for name in find_drivers(DCAP_VECTOR=True):
        d = drv.VectorDriver(name)
        z = metadata(name, "DCAP_Z_GEOMETRIES").upper() == "YES"
        m = metadata(name, "DCAP_MEASURED_GEOMETRIES").upper() == "YES"
        assert d.dimension == "XY" + "Z" * z + "M" * m
        assert d.multi_layers is (metadata(name, "DCAP_MULTIPLE_VECTOR_LAYERS").upper() == "YES")
        assert d.creation_ftypes == metadata(name, "DMD_CREATIONFIELDDATATYPES").split()
        assert d.transformable is d.creatable


@pytest.mark.parametrize(
    "meta, expected",
    [
        ({"DCAP_CREATE": "YES"}, True),
        ({"DCAP_CREATECOPY": "YES"}, False),
        ({"DCAP_CREATE": "yes", "DCAP_CREATECOPY": "YES"}, True),
        ({}, False),
    ],
)
def test_transformable_is_creatable(vector, fake_gdal, meta, expected):
    d = vector(**meta)
    got, keys = read(fake_gdal, d, "transformable")
    assert got is expected
    assert keys == ["DCAP_CREATE"]


# ---- catalogues ---------------------------------------------------------------------------

BOTH_KIND = dict(
    DCAP_RASTER="YES",
    DCAP_VECTOR="YES",
    DMD_CREATIONOPTIONLIST="<CreationOptionList><Option name='R1'/><Option name='R2'/></CreationOptionList>",
    DS_LAYER_CREATIONOPTIONLIST="<LayerCreationOptionList><Option name='L1'/><Option name='L2'/></LayerCreationOptionList>",
    DMD_OPENOPTIONLIST="<OpenOptionList><Option name='O1'/><Option name='O2'/></OpenOptionList>",
)


def test_catalogues_ask_for_vector_kind(drv):
    class Recording(drv.VectorDriver):
        def __init__(self, name):
            self.log = []
            super().__init__(name)

        def _set_creation_options_info_(self, *args, **kwargs):
            self.log.append(("creation", args, kwargs))
            return super()._set_creation_options_info_(*args, **kwargs)

        def _set_open_options_info_(self, *args, **kwargs):
            self.log.append(("open", args, kwargs))
            return super()._set_open_options_info_(*args, **kwargs)

    d = Recording("ESRI Shapefile")
    creation = d.creation_options_info
    opened = d.open_options_info
    assert d.log == [("creation", (False,), {}), ("open", (False,), {})]
    assert d.log[0][1][0] is False and d.log[1][1][0] is False
    assert creation is d._creation_opts and opened is d._open_opts
    assert list(creation) == option_names(metadata("ESRI Shapefile", "DS_LAYER_CREATIONOPTIONLIST"))
    assert list(opened) == option_names(metadata("ESRI Shapefile", "DMD_OPENOPTIONLIST"))


def test_both_kind_driver_gets_layer_catalogues(drv, fake_gdal):
    fake_gdal.add("RV", **BOTH_KIND)
    drv.env = types.SimpleNamespace(
        RasterConfig={"creation.options": {"RV": {"R1": "raster-default", "O1": 1}}},
        VectorConfig={"creation.options": {"RV": {"L2": "vector-default", "O2": 2}}},
    )
    d = drv.VectorDriver("RV")
    assert list(d.creation_options_info) == ["L1", "L2"]
    assert d.creation_options == {"L2": "vector-default"}
    assert list(d.open_options_info) == ["O1", "O2"]
    assert d.open_options == {"O2": 2}


def test_real_both_kind_driver_gets_layer_creation_list(drv):
    names = [
        n for n in find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)
        if option_names(metadata(n, "DS_LAYER_CREATIONOPTIONLIST"))
        and option_names(metadata(n, "DS_LAYER_CREATIONOPTIONLIST")) != option_names(metadata(n, "DMD_CREATIONOPTIONLIST"))
    ]
    if not names:
        pytest.skip("no driver with distinct raster and layer creation lists")
    for name in names:
        assert list(drv.VectorDriver(name).creation_options_info) == option_names(
            metadata(name, "DS_LAYER_CREATIONOPTIONLIST")
        )


def test_shared_catalogue_is_returned_whatever_its_kind(drv, fake_gdal):
    fake_gdal.add("RV", **BOTH_KIND)
    source = drv.RasterDriver("RV")
    raster_catalogue = source.creation_options_info
    assert list(raster_catalogue) == ["R1", "R2"]
    d = drv.VectorDriver(source)
    assert d.creation_options_info is raster_catalogue

"""Driver capability properties: read from GDAL driver metadata at every
read, through the instance's metadata gateway."""

import pytest
from osgeo import _gdal

from conftest import all_driver_names, metadata

FLAGS = {
    "creatable": "DCAP_CREATE",
    "is_raster": "DCAP_RASTER",
    "is_vector": "DCAP_VECTOR",
    "updatable": "DCAP_UPDATE",
    "virtualio": "DCAP_VIRTUALIO",
}

DOCS = {
    "category": "Driver category. --> str",
    "creatable": "Whether the target drive supports creation. --> bool",
    "extension": "Driver extension. --> str",
    "extensions": "Driver extensions. --> list",
    "is_raster": "Is a raster driver. --> bool",
    "is_vector": "Is a vector driver. --> bool",
    "long_name": "Driver long name. --> str",
    "name": "Driver name. --> str",
    "updatable": "Whether the target driver can be modified/updated. --> bool",
    "virtualio": "Whether the raster driver supports virtual dataset. --> bool",
}


def expected_from_metadata(name):
    """What every property should read for a real driver, from GDAL's own
    metadata."""
    flags = {prop: metadata(name, key).upper() == "YES" for prop, key in FLAGS.items()}
    extensions = metadata(name, "DMD_EXTENSIONS").split()
    kinds = [k for k, on in (("Raster", flags["is_raster"]), ("Vector", flags["is_vector"])) if on]
    return dict(
        flags,
        name=name,
        long_name=metadata(name, "DMD_LONGNAME"),
        extensions=extensions,
        extension=metadata(name, "DMD_EXTENSION") or (extensions[0] if extensions else ""),
        category="/".join(kinds),
    )


def test_every_registered_driver_matches_its_metadata(drv):
    for name in all_driver_names():
        d = drv.Driver(name)
        got = {prop: getattr(d, prop) for prop in DOCS}
        assert got == expected_from_metadata(name), name
        for prop in FLAGS:
            assert type(got[prop]) is bool


def test_gtiff_and_shapefile(drv):
    tif = drv.Driver("GTiff")
    assert (tif.name, tif.category, tif.creatable) == ("GTiff", "Raster", True)
    assert tif.extension == "tif" and tif.extensions[:2] == ["tif", "tiff"]
    shp = drv.Driver("ESRI Shapefile")
    assert (shp.name, shp.category, shp.extension) == ("ESRI Shapefile", "Vector", "shp")


# ---- fakes: metadata no real driver has ---------------------------------------


@pytest.mark.parametrize("prop", list(FLAGS))
@pytest.mark.parametrize(
    "value, expected",
    [
        ("YES", True),
        ("yes", True),
        ("yEs", True),
        ("NO", False),
        ("", False),
        (None, False),
        ("TRUE", False),
        (" YES", False),
        ("YES ", False),
    ],
)
def test_flags(drv, fake_gdal, prop, value, expected):
    d = drv.Driver(fake_gdal.add("N", **{FLAGS[prop]: value}))
    assert getattr(d, prop) is expected


@pytest.mark.parametrize("prop", list(FLAGS))
def test_absent_flag_is_false(drv, fake_gdal, prop):
    d = drv.Driver(fake_gdal.add("N"))
    assert getattr(d, prop) is False


@pytest.mark.parametrize(
    "meta, category",
    [
        ({"DCAP_RASTER": "YES"}, "Raster"),
        ({"DCAP_RASTER": "YES", "DCAP_VECTOR": "NO"}, "Raster"),
        ({"DCAP_VECTOR": "yes"}, "Vector"),
        ({"DCAP_RASTER": "Yes", "DCAP_VECTOR": "YES"}, "Raster/Vector"),
        ({}, ""),
        ({"DCAP_RASTER": "NO", "DCAP_VECTOR": "no"}, ""),
    ],
)
def test_category(drv, fake_gdal, meta, category):
    d = drv.Driver(fake_gdal.add("N", **meta))
    assert d.category == category


@pytest.mark.parametrize(
    "meta, extension, extensions",
    [
        ({"DMD_EXTENSIONS": "jpg jpeg"}, "jpg", ["jpg", "jpeg"]),
        ({"DMD_EXTENSIONS": "  JPG\tjpeg \n"}, "JPG", ["JPG", "jpeg"]),
        ({"DMD_EXTENSION": "tif", "DMD_EXTENSIONS": "tiff tif"}, "tif", ["tiff", "tif"]),
        ({"DMD_EXTENSION": "x"}, "x", []),
        ({}, "", []),
        ({"DMD_EXTENSION": "", "DMD_EXTENSIONS": "   "}, "", []),
    ],
)
def test_extension_rules(drv, fake_gdal, meta, extension, extensions):
    d = drv.Driver(fake_gdal.add("N", **meta))
    assert d.extension == extension
    assert d.extensions == extensions
    assert d.extensions is not d.extensions


def test_long_name_unchanged_and_empty_when_absent(drv, fake_gdal):
    assert drv.Driver(fake_gdal.add("A", DMD_LONGNAME=" Long  Name ")).long_name == " Long  Name "
    assert drv.Driver(fake_gdal.add("B")).long_name == ""


def test_name_asks_the_binding_with_the_handle(drv, fake_gdal):
    handle = fake_gdal.add("N")
    handle.name = short = object()  # whatever the binding returns is handed out
    d = drv.Driver(handle)
    assert d.name is short
    assert fake_gdal.calls == [("Driver_ShortName_get", handle)]


def test_values_are_read_afresh(drv, fake_gdal):
    handle = fake_gdal.add("N", DCAP_RASTER="YES", DMD_EXTENSION="a")
    d = drv.Driver(handle)
    assert (d.category, d.is_raster, d.extension) == ("Raster", True, "a")
    fake_gdal.meta[handle] = {"DCAP_VECTOR": "YES", "DMD_EXTENSIONS": "b c"}
    assert (d.category, d.is_raster, d.extension) == ("Vector", False, "b")


# ---- the metadata gateway is looked up on the instance ----------------------------


def test_every_metadata_property_reads_through_the_instance_gateway(drv):
    answers = {
        "DCAP_CREATE": "no",
        "DCAP_RASTER": "no",
        "DCAP_VECTOR": "Yes",
        "DCAP_UPDATE": "yes",
        "DCAP_VIRTUALIO": "YES",
        "DMD_EXTENSION": "",
        "DMD_EXTENSIONS": "one two",
        "DMD_LONGNAME": "Overridden",
    }
    asked = []

    class Custom(drv.Driver):
        def _get_metadata_item_(self, psz):
            asked.append(psz)
            return answers.get(psz, "")

    d = Custom("GTiff")
    got = {prop: getattr(d, prop) for prop in DOCS}
    assert got == {
        "category": "Vector",
        "creatable": False,
        "extension": "one",
        "extensions": ["one", "two"],
        "is_raster": False,
        "is_vector": True,
        "long_name": "Overridden",
        "name": "GTiff",
        "updatable": True,
        "virtualio": True,
    }
    assert set(asked) == set(answers)


@pytest.mark.parametrize(
    "prop, keys",
    [
        ("category", ["DCAP_RASTER", "DCAP_VECTOR"]),
        ("extension", ["DMD_EXTENSION", "DMD_EXTENSIONS"]),
        ("extensions", ["DMD_EXTENSIONS"]),
        ("long_name", ["DMD_LONGNAME"]),
    ]
    + [(prop, [key]) for prop, key in FLAGS.items()],
)
def test_items_read_by_each_property(drv, fake_gdal, prop, keys):
    handle = fake_gdal.add("N")
    getattr(drv.Driver(handle), prop)
    assert fake_gdal.calls == [("MajorObject_GetMetadataItem", handle, key) for key in keys]


def test_extension_reads_extensions_on_the_instance(drv, fake_gdal):
    class Custom(drv.Driver):
        extensions = property(lambda self: ["from", "override"])

    d = Custom(fake_gdal.add("N", DMD_EXTENSIONS="meta data"))
    assert d.extension == "from"


def test_category_reads_kind_flags_on_the_instance(drv, fake_gdal):
    class Custom(drv.Driver):
        is_raster = property(lambda self: 1)
        is_vector = property(lambda self: [0])

    assert Custom(fake_gdal.add("N")).category == "Raster/Vector"


def test_binding_errors_propagate(drv, fake_gdal):
    d = drv.Driver(fake_gdal.add("N"))

    def broken(handle, key):
        raise RuntimeError("metadata unavailable")

    fake_gdal.MajorObject_GetMetadataItem = broken
    with pytest.raises(RuntimeError, match="metadata unavailable"):
        d.is_raster


# ---- read-only ---------------------------------------------------------------------


@pytest.mark.parametrize("prop", list(DOCS))
def test_getter_only_with_documentation(drv, prop):
    attr = vars(drv.Driver)[prop]
    assert type(attr) is property
    assert attr.fset is None and attr.fdel is None
    assert attr.__doc__ == DOCS[prop]
    d = drv.Driver("GTiff")
    with pytest.raises(AttributeError):
        setattr(d, prop, "x")
    with pytest.raises(AttributeError):
        delattr(d, prop)
    assert prop not in vars(d)


def test_name_is_the_handles_short_name(drv):
    handle = _gdal.GetDriverByName("ESRI Shapefile")
    assert drv.Driver(handle).name == _gdal.Driver_ShortName_get(handle)

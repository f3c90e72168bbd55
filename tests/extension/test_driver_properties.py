"""Driver capability properties: read from GDAL driver metadata at every
read, through the instance's metadata gateway."""

import pytest

FLAGS = {
    "creatable": "DCAP_CREATE",
    "is_raster": "DCAP_RASTER",
    "is_vector": "DCAP_VECTOR",
    "updatable": "DCAP_UPDATE",
    "virtualio": "DCAP_VIRTUALIO",
}


def test_gtiff_and_shapefile(drv):
    tif = drv.Driver("GTiff")
    assert (tif.name, tif.long_name, tif.category, tif.creatable, tif.is_vector) == (
        "GTiff", "GeoTIFF", "Raster", True, False)
    assert tif.extension == "tif" and tif.extensions[:2] == ["tif", "tiff"]
    shp = drv.Driver("ESRI Shapefile")
    assert (shp.name, shp.category, shp.extension, shp.is_raster) == ("ESRI Shapefile", "Vector", "shp", False)


@pytest.mark.parametrize("prop", list(FLAGS))
@pytest.mark.parametrize("value, expected", [
    ("YES", True), ("yes", True), ("yEs", True), ("NO", False), ("", False), (None, False), ("TRUE", False),
    (" YES", False), ("YES ", False), ("ＹＥＳ", False),
])
def test_flags(drv, fake_gdal, prop, value, expected):
    d = drv.Driver(fake_gdal.add("N", **{FLAGS[prop]: value}))
    assert getattr(d, prop) is expected


@pytest.mark.parametrize("meta, category", [
    ({"DCAP_RASTER": "YES"}, "Raster"),
    ({"DCAP_RASTER": "YES", "DCAP_VECTOR": "NO"}, "Raster"),
    ({"DCAP_VECTOR": "yes"}, "Vector"),
    ({"DCAP_RASTER": "Yes", "DCAP_VECTOR": "YES"}, "Raster/Vector"),
    ({"DCAP_RASTER": "NO", "DCAP_VECTOR": "no"}, ""),
])
def test_category_and_printed_form(drv, fake_gdal, meta, category):
    d = drv.Driver(fake_gdal.add("N", **meta))
    assert d.category == category and str(d) == repr(d) == "N - " + category  # "N - " for neither kind


@pytest.mark.parametrize("meta, extension, extensions", [
    ({"DMD_EXTENSIONS": "jpg jpeg"}, "jpg", ["jpg", "jpeg"]),
    ({"DMD_EXTENSIONS": "  JPG\tjpeg \n"}, "JPG", ["JPG", "jpeg"]),
    ({"DMD_EXTENSION": "tif", "DMD_EXTENSIONS": "tiff tif"}, "tif", ["tiff", "tif"]),
    ({"DMD_EXTENSION": "x"}, "x", []),
    ({}, "", []),
    ({"DMD_EXTENSION": "", "DMD_EXTENSIONS": "   "}, "", []),
])
def test_extension_rules(drv, fake_gdal, meta, extension, extensions):
    d = drv.Driver(fake_gdal.add("N", **meta))
    assert d.extension == extension and d.extensions == extensions
    assert d.extensions is not d.extensions


def test_long_name_and_name(drv, fake_gdal):
    assert drv.Driver(fake_gdal.add("A", DMD_LONGNAME=" Long  Name ")).long_name == " Long  Name "
    assert drv.Driver(fake_gdal.add("B")).long_name == ""
    handle = fake_gdal.add("N")
    handle.name = short = object()  # whatever the binding returns is handed out
    fake_gdal.calls.clear()
    assert drv.Driver(handle).name is short
    assert fake_gdal.calls == [("Driver_ShortName_get", handle)]


def test_values_are_read_afresh(drv, fake_gdal):
    handle = fake_gdal.add("N", DCAP_RASTER="YES", DMD_EXTENSION="a")
    d = drv.Driver(handle)
    assert (d.category, d.is_raster, d.extension) == ("Raster", True, "a")
    handle.meta = {"DCAP_VECTOR": "YES", "DMD_EXTENSIONS": "b c"}
    assert (d.category, d.is_raster, d.extension) == ("Vector", False, "b")


@pytest.mark.parametrize("prop, keys", [
    ("category", ["DCAP_RASTER", "DCAP_VECTOR"]),
    ("extension", ["DMD_EXTENSION", "DMD_EXTENSIONS"]),
    ("extensions", ["DMD_EXTENSIONS"]),
    ("long_name", ["DMD_LONGNAME"]),
] + [(prop, [key]) for prop, key in FLAGS.items()])
def test_items_read_by_each_property(drv, fake_gdal, prop, keys):
    handle = fake_gdal.add("N")
    getattr(drv.Driver(handle), prop)
    assert fake_gdal.calls == [("MajorObject_GetMetadataItem", handle, key) for key in keys]


def test_properties_read_through_the_instance(drv, fake_gdal):
    answers = {"DCAP_CREATE": "no", "DCAP_RASTER": "no", "DCAP_VECTOR": "Yes", "DCAP_UPDATE": "yes",
               "DCAP_VIRTUALIO": "YES", "DMD_EXTENSION": "", "DMD_EXTENSIONS": "one two", "DMD_LONGNAME": "Over"}
    d = type("C", (drv.Driver,), {"_get_metadata_item_": lambda self, key: answers.get(key, "")})(fake_gdal.add("N"))
    got = {prop: getattr(d, prop) for prop in list(FLAGS) + ["category", "extension", "extensions", "long_name"]}
    assert got == {"creatable": False, "is_raster": False, "is_vector": True, "updatable": True, "virtualio": True,
                   "category": "Vector", "extension": "one", "extensions": ["one", "two"], "long_name": "Over"}
    d = type("Overridden", (drv.Driver,), {
        "extensions": property(lambda self: ["from", "override"]), "is_raster": property(lambda self: 1),
        "is_vector": property(lambda self: [0])})(fake_gdal.add("N", DMD_EXTENSIONS="meta data"))
    assert (d.extension, d.category) == ("from", "Raster/Vector")



"""VectorDriver: the vector capabilities (its kind check and catalogues are checked beside RasterDriver's)."""

import pytest

from conftest import find_drivers, metadata
from fakes import keys_read


@pytest.fixture
def vector(drv, fake_gdal):
    """vector(prop, **meta): the property of a fake vector driver and the metadata keys its read asked for."""

    def read(prop, **meta):
        d = drv.VectorDriver(fake_gdal.add("V", DCAP_VECTOR="YES", **meta))
        before = len(fake_gdal.calls)
        value = getattr(d, prop)
        keys = keys_read(fake_gdal, before)
        if type(value) is list:
            assert getattr(d, prop) is not value  # new at each read
        return value, keys

    return read


@pytest.mark.parametrize("z, m, expected", [
    (None, None, "XY"), ("YES", None, "XYZ"), (None, "YES", "XYM"), ("YES", "YES", "XYZM"),
    ("yes", "Yes", "XYZM"), (" YES ", "NO", "XY"), ("NO", "yes", "XYM"),
])
def test_dimension(vector, z, m, expected):
    got = vector("dimension", DCAP_Z_GEOMETRIES=z, DCAP_MEASURED_GEOMETRIES=m)
    assert got == (expected, ["DCAP_Z_GEOMETRIES", "DCAP_MEASURED_GEOMETRIES"])


@pytest.mark.parametrize("value, expected", [("YES", True), ("yes", True), (None, False), (" YES ", False),
                                             ("NO", False)])
def test_multi_layers(vector, value, expected):
    got, keys = vector("multi_layers", DCAP_MULTIPLE_VECTOR_LAYERS=value)
    assert got is expected and keys == ["DCAP_MULTIPLE_VECTOR_LAYERS"]


@pytest.mark.parametrize("value, expected", [(None, []), ("", []), ("Integer Real", ["Integer", "Real"]),
                                             (" Integer\tDate \n", ["Integer", "Date"])])
def test_creation_ftypes(vector, value, expected):
    assert vector("creation_ftypes", DMD_CREATIONFIELDDATATYPES=value) == (expected, ["DMD_CREATIONFIELDDATATYPES"])


@pytest.mark.parametrize("meta, expected, keys", [
    ({}, [], ["DMD_SUPPORTED_SQL_DIALECTS", "SQL_DIALECTS"]),
    ({"DMD_SUPPORTED_SQL_DIALECTS": "NATIVE OGRSQL SQLITE"}, ["NATIVE", "OGRSQL", "SQLITE"],
     ["DMD_SUPPORTED_SQL_DIALECTS"]),
    ({"SQL_DIALECTS": " OGRSQL\tSQLITE "}, ["OGRSQL", "SQLITE"], ["DMD_SUPPORTED_SQL_DIALECTS", "SQL_DIALECTS"]),
    ({"DMD_SUPPORTED_SQL_DIALECTS": "  SQLITE  OGRSQL", "SQL_DIALECTS": "OTHER"}, ["SQLITE", "OGRSQL"],
     ["DMD_SUPPORTED_SQL_DIALECTS"]),
], ids=["neither", "published", "old-key-only", "published-wins"])
def test_sql_dialects(vector, meta, expected, keys):
    assert vector("sql_dialects", **meta) == (expected, keys)


def test_real_sql_dialects_as_gdal_publishes_them(drv):
    for name in ("ESRI Shapefile", "GPKG"):
        assert "OGRSQL" in drv.VectorDriver(name).sql_dialects
    for name in find_drivers(DCAP_VECTOR=True):
        published = metadata(name, "DMD_SUPPORTED_SQL_DIALECTS") or metadata(name, "SQL_DIALECTS")
        assert drv.VectorDriver(name).sql_dialects == published.split()


@pytest.mark.parametrize("meta, expected", [({"DCAP_CREATE": "YES"}, True), ({"DCAP_CREATECOPY": "YES"}, False),
                                            ({"DCAP_CREATE": "yes", "DCAP_CREATECOPY": "YES"}, True), ({}, False)])
def test_transformable_is_creatable(vector, meta, expected):
    got, keys = vector("transformable", **meta)
    assert got is expected and keys == ["DCAP_CREATE"]

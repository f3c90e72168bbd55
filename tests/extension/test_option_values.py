"""Option values: keyword names checked against the catalogue, values kept
as the records' "current" entries and read back in catalogue order."""

import copy
import types

import pytest

from conftest import all_driver_names, metadata
from fakes import FakeEnv, FakeFormatError, bind_format_error


@pytest.fixture(autouse=True)
def no_config(drv):
    drv.env = FakeEnv()


def test_values_read_back_in_catalogue_order(drv):
    d = drv.Driver("GTiff")
    d.set_creation_options(TILED="YES", COMPRESS="LZW")
    listed = list(drv.read_xml_to_dict(metadata("GTiff", "DMD_CREATIONOPTIONLIST")))
    got = d.creation_options
    assert got == {"TILED": "YES", "COMPRESS": "LZW"}
    assert list(got) == sorted(got, key=listed.index)
    assert d._creation_opts["COMPRESS"]["current"] == "LZW"
    got["COMPRESS"] = "changed"  # a new dict at each read
    assert d.creation_options == {"TILED": "YES", "COMPRESS": "LZW"} and d.open_options is not d.open_options


@pytest.mark.parametrize("value", [True, None, 0, 12.5, ["a"], object()])
def test_values_are_stored_unchanged_and_replace_defaults(drv, value):
    drv.env = FakeEnv(raster={"GTiff": {"COMPRESS": "DEFLATE"}})
    d = drv.Driver("GTiff")
    assert d.creation_options == {"COMPRESS": "DEFLATE"}
    d.set_creation_options(COMPRESS="LZW")
    d.set_creation_options(COMPRESS=value)
    assert d.creation_options["COMPRESS"] is value and d.creation_options_info["COMPRESS"]["current"] is value


def test_no_keyword_builds_catalogue_and_stores_nothing(drv, fake_gdal):
    d = drv.Driver(fake_gdal.add("N", DCAP_RASTER="YES", DMD_CREATIONOPTIONLIST="<L><Option name='A'/></L>"))
    assert d.set_creation_options() is None and d.set_open_options() is None
    assert d._creation_opts == {"A": {}} and d.creation_options == {} == d.open_options


def test_open_values_kept_apart_and_shared_between_drivers_built_from_one_another(drv):
    d = drv.Driver("GTiff")
    d.creation_options_info, d.open_options_info
    twin = drv.Driver(d)
    raster = drv.RasterDriver(twin)
    twin.set_creation_options(COMPRESS="LZW")
    open_name = next(iter(d.open_options_info))
    raster.set_open_options(**{open_name: "1"})
    for each in (d, twin, raster):
        assert each.creation_options == {"COMPRESS": "LZW"} and each.open_options == {open_name: "1"}
    shp = drv.Driver("ESRI Shapefile")
    shp.set_open_options(**{next(iter(shp.open_options_info)): "x"})
    assert shp.creation_options == {}


@pytest.mark.parametrize("kwargs, errors", [
    ({"compress": "LZW"}, ["compress"]),
    ({"COMPRESS": "LZW", "NOSUCH": 1}, ["NOSUCH"]),
    ({"NOSUCH2": 1, "COMPRESS": "LZW", "NOSUCH1": 2}, ["NOSUCH2", "NOSUCH1"]),
])
def test_unlisted_name_rejects_the_whole_call(drv, kwargs, errors):
    recorder = bind_format_error(drv)
    d = drv.Driver("GTiff")
    d.set_creation_options(TILED="YES")
    catalogue = d.creation_options_info
    before = copy.deepcopy(catalogue)
    with pytest.raises(FakeFormatError):
        d.set_creation_options(**kwargs)
    ((args, kw),) = recorder.calls
    assert args == () and list(kw) == ["errors", "all_sels"]
    assert kw["errors"] == errors and type(kw["errors"]) is list and kw["all_sels"] is catalogue
    assert catalogue == before and d.creation_options == {"TILED": "YES"}


def test_rejection_with_the_package_error_class(drv):
    d = drv.Driver("GTiff")
    with pytest.raises(drv.error.FormatError) as info:
        d.set_creation_options(compress="LZW")
    assert info.value.errors == ["compress"] and info.value.all_sels is d.creation_options_info
    assert "compress" in str(info.value)
    drv.error = types.SimpleNamespace(FormatError=lambda **kw: KeyError)  # raised as `raise cls` would
    with pytest.raises(KeyError):
        d.set_creation_options(NOSUCH=1)


def test_driver_without_open_options_rejects_every_name(drv):
    recorder = bind_format_error(drv)
    d = drv.Driver(next(n for n in all_driver_names() if not metadata(n, "DMD_OPENOPTIONLIST")))
    with pytest.raises(FakeFormatError):
        d.set_open_options(X=1)
    assert recorder.calls == [((), {"errors": ["X"], "all_sels": {}})] and d.open_options == {}


@pytest.mark.parametrize("setter", ["set_creation_options", "set_open_options"])
def test_positional_arguments_are_refused_before_anything_is_read(drv, fake_gdal, setter):
    d = drv.Driver(fake_gdal.add("N", DMD_OPENOPTIONLIST="<L><Option name='A'/></L>"))
    fake_gdal.calls.clear()
    with pytest.raises(TypeError):
        getattr(d, setter)({"A": 1})
    assert fake_gdal.calls == [] and d._creation_opts == {} and d._open_opts == {}


def test_setters_and_readers_go_through_the_instance(drv):
    seen = []
    creation, opening = {"B": {"current": 1}, "A": {}, "C": {"current": None}}, {"O": {"current": "o"}}
    d = type("Custom", (drv.Driver,), {
        "creation_options_info": property(lambda self: creation), "open_options_info": property(lambda self: opening),
        "_set_opts_": lambda self, *args, **kwargs: seen.append((args, kwargs)) or "ignored"})("GTiff")
    assert d.set_creation_options(B=1, A=2) is None and d.set_open_options(Z=3) is None
    assert seen == [((creation,), {"B": 1, "A": 2}), ((opening,), {"Z": 3})]
    assert list(seen[0][1]) == ["B", "A"] and seen[0][0][0] is creation and seen[1][0][0] is opening
    assert list(d.creation_options.items()) == [("B", 1), ("C", None)] and d.open_options == {"O": "o"}


def test_setters_call_a_callable_of_the_instance_with_the_keywords(drv):
    seen = []
    d = drv.Driver("GTiff")
    d._set_opts_ = type("Setter", (), {"__call__": lambda self, opts, **kw: seen.append((opts, kw))})()
    assert d.set_creation_options(TILED="YES", COMPRESS="LZW") is None and d.creation_options == {}
    assert seen == [(d.creation_options_info, {"TILED": "YES", "COMPRESS": "LZW"})]
    assert list(seen[0][1]) == ["TILED", "COMPRESS"]


def test_readers_use_each_records_lookup_and_refuse_a_catalogue_changed_meanwhile(drv):
    record = type("Record", (dict,), {"__contains__": lambda s, k: k == "current", "__getitem__": lambda s, k: "seen"})
    growing = type("Growing", (dict,), {"__contains__": lambda s, k: catalogue.update(new={})})
    catalogue = {"A": record(), "B": {"current": 1}, "C": {}}
    d = type("Custom", (drv.Driver,), {"creation_options_info": property(lambda self: catalogue)})("GTiff")
    assert list(d.creation_options.items()) == [("A", "seen"), ("B", 1)]
    catalogue = {"A": {"current": 1}, "B": growing()}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        d.creation_options


def test_set_opts_on_hand_made_catalogues(drv):
    d = drv.Driver("GTiff")
    opts = {"A": {}, "B": {"current": 0}}
    assert d._set_opts_(opts, B=2, A=1) is None
    assert opts == {"A": {"current": 1}, "B": {"current": 2}}
    d._set_opts_(opts={"X": opts["A"]}, X="by keyword")
    assert opts["A"] == {"current": "by keyword"}
    opts = {"A": {}, "B": (), "C": {}}  # a record refusing assignment fails after the earlier names
    with pytest.raises(TypeError):
        d._set_opts_(opts, A=1, B=2, C=3)
    assert opts == {"A": {"current": 1}, "B": (), "C": {}}


def test_set_opts_uses_the_catalogues_membership_test(drv):
    recorder = bind_format_error(drv)

    class Catalogue(dict):
        def __contains__(self, key):
            return key.startswith("OK")

        def __missing__(self, key):
            record = self[key] = {}
            return record

    opts = Catalogue()
    d = drv.Driver("GTiff")
    d._set_opts_(opts, OK_1="a")
    assert opts == {"OK_1": {"current": "a"}}
    with pytest.raises(FakeFormatError):
        d._set_opts_(opts, OK_2="b", NO="c")
    assert recorder.calls[0][1]["errors"] == ["NO"] and recorder.calls[0][1]["all_sels"] is opts

"""Option values: keyword names checked against the catalogue, values kept
as the records' "current" entries and read back in catalogue order."""

import copy
import inspect
import types

import pytest

from conftest import all_driver_names, metadata
from fakes import FakeEnv, FakeFormatError, RecordingFormatError


@pytest.fixture(autouse=True)
def no_config(drv):
    drv.env = FakeEnv()


@pytest.fixture
def format_error(drv):
    recorder = RecordingFormatError()
    drv.error = types.SimpleNamespace(FormatError=recorder)
    return recorder


def gtiff_option_order(drv, *names):
    """The names in the order in which GTiff's creation option list gives
    them."""
    listed = list(drv.read_xml_to_dict(metadata("GTiff", "DMD_CREATIONOPTIONLIST")))
    return sorted(names, key=listed.index)


def without_open_list():
    for name in all_driver_names():
        if not metadata(name, "DMD_OPENOPTIONLIST"):
            return name
    pytest.skip("every driver publishes an open option list")


# ---- storing and reading --------------------------------------------------------


def test_values_read_back_in_catalogue_order(drv):
    d = drv.Driver("GTiff")
    d.set_creation_options(TILED="YES", COMPRESS="LZW")
    got = d.creation_options
    assert got == {"TILED": "YES", "COMPRESS": "LZW"}
    assert list(got) == gtiff_option_order(drv, "TILED", "COMPRESS")
    assert d._creation_opts["COMPRESS"]["current"] == "LZW"


@pytest.mark.parametrize("value", [True, None, 0, 12.5, ["a"], object()])
def test_values_are_stored_unchanged(drv, value):
    d = drv.Driver("GTiff")
    d.set_creation_options(TILED=value)
    assert d.creation_options["TILED"] is value
    assert d.creation_options_info["TILED"]["current"] is value


def test_setting_again_replaces_the_value_and_the_configured_default(drv):
    drv.env = FakeEnv(raster={"GTiff": {"COMPRESS": "DEFLATE"}})
    d = drv.Driver("GTiff")
    assert d.creation_options == {"COMPRESS": "DEFLATE"}
    d.set_creation_options(COMPRESS="LZW")
    d.set_creation_options(COMPRESS=None)
    assert d.creation_options == {"COMPRESS": None}


def test_no_keyword_builds_catalogue_and_stores_nothing(drv, fake_gdal):
    handle = fake_gdal.add(
        "N", DCAP_RASTER="YES", DMD_CREATIONOPTIONLIST="<L><Option name='A'/></L>"
    )
    d = drv.Driver(handle)
    assert d.set_creation_options() is None
    assert d._creation_opts == {"A": {}}
    assert d.set_open_options() is None
    assert d.creation_options == {} and d.open_options == {}


def test_read_gives_a_new_dict_each_time(drv):
    d = drv.Driver("GTiff")
    d.set_creation_options(COMPRESS="LZW")
    first = d.creation_options
    first["TILED"] = "YES"
    first["COMPRESS"] = "changed"
    assert d.creation_options == {"COMPRESS": "LZW"}
    assert d.creation_options is not d.creation_options
    assert d.open_options is not d.open_options


def test_open_options_are_kept_apart_from_creation_options(drv):
    d = drv.Driver("ESRI Shapefile")
    opened = list(d.open_options_info)
    assert opened, "ESRI Shapefile publishes open options"
    d.set_open_options(**{opened[0]: "x"})
    assert d.open_options == {opened[0]: "x"}
    assert d.creation_options == {}


def test_values_shared_between_drivers_built_from_one_another(drv):
    d = drv.Driver("GTiff")
    d.creation_options_info
    d.open_options_info
    twin = drv.Driver(d)
    raster = drv.RasterDriver(twin)
    twin.set_creation_options(COMPRESS="LZW")
    open_name = next(iter(d.open_options_info))
    raster.set_open_options(**{open_name: "1"})
    for each in (d, twin, raster):
        assert each.creation_options == {"COMPRESS": "LZW"}
        assert each.open_options == {open_name: "1"}


# ---- rejecting ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, errors",
    [
        ({"compress": "LZW"}, ["compress"]),
        ({"COMPRESS": "LZW", "NOSUCH": 1}, ["NOSUCH"]),
        ({"NOSUCH2": 1, "COMPRESS": "LZW", "NOSUCH1": 2}, ["NOSUCH2", "NOSUCH1"]),
    ],
)
def test_unlisted_name_rejects_the_whole_call(drv, format_error, kwargs, errors):
    d = drv.Driver("GTiff")
    d.set_creation_options(TILED="YES")
    catalogue = d.creation_options_info
    before = copy.deepcopy(catalogue)
    with pytest.raises(FakeFormatError):
        d.set_creation_options(**kwargs)
    assert len(format_error.calls) == 1
    args, kw = format_error.calls[0]
    assert args == ()
    assert list(kw) == ["errors", "all_sels"]
    assert kw["errors"] == errors and type(kw["errors"]) is list
    assert kw["all_sels"] is catalogue
    assert catalogue == before
    assert d.creation_options == {"TILED": "YES"}


def test_rejection_with_the_package_error_class(drv):
    d = drv.Driver("GTiff")
    with pytest.raises(drv.error.FormatError) as info:
        d.set_creation_options(compress="LZW")
    assert info.value.errors == ["compress"]
    assert info.value.all_sels is d.creation_options_info
    assert "compress" in str(info.value)


def test_driver_without_open_options_rejects_every_name(drv, format_error):
    d = drv.Driver(without_open_list())
    with pytest.raises(FakeFormatError):
        d.set_open_options(X=1)
    (args, kw), = format_error.calls
    assert kw == {"errors": ["X"], "all_sels": {}}
    assert d.open_options == {}


def test_error_class_is_looked_up_at_each_rejection(drv, format_error):
    d = drv.Driver("GTiff")
    with pytest.raises(FakeFormatError):
        d.set_creation_options(NOSUCH=1)
    later = RecordingFormatError()
    drv.error = types.SimpleNamespace(FormatError=later)
    with pytest.raises(FakeFormatError):
        d.set_creation_options(NOSUCH=1)
    assert len(format_error.calls) == 1 and len(later.calls) == 1


def test_format_error_result_is_raised_as_python_raises(drv):
    drv.error = types.SimpleNamespace(FormatError=lambda **kw: KeyError)
    with pytest.raises(KeyError):
        drv.Driver("GTiff").set_creation_options(NOSUCH=1)
    drv.error = types.SimpleNamespace(FormatError=lambda **kw: "not an exception")
    with pytest.raises(TypeError):
        drv.Driver("GTiff").set_creation_options(NOSUCH=1)


# ---- calling conventions ----------------------------------------------------------------


@pytest.mark.parametrize("setter", ["set_creation_options", "set_open_options"])
def test_positional_arguments_are_refused_before_anything_is_read(drv, fake_gdal, setter):
    d = drv.Driver(fake_gdal.add("N", DMD_OPENOPTIONLIST="<L><Option name='A'/></L>"))
    fake_gdal.calls.clear()
    with pytest.raises(TypeError):
        getattr(d, setter)({"A": 1})
    assert fake_gdal.calls == []
    assert d._creation_opts == {} and d._open_opts == {}


def test_setters_go_through_the_instance(drv):
    seen = []
    creation, opening = {"C": {}}, {"O": {}}

    class Custom(drv.Driver):
        creation_options_info = property(lambda self: creation)
        open_options_info = property(lambda self: opening)

        def _set_opts_(self, *args, **kwargs):
            seen.append((args, kwargs))
            return "ignored"

    d = Custom("GTiff")
    assert d.set_creation_options(B=1, A=2) is None
    assert d.set_open_options(Z=3) is None
    assert seen == [((creation,), {"B": 1, "A": 2}), ((opening,), {"Z": 3})]
    assert list(seen[0][1]) == ["B", "A"]
    assert seen[0][0][0] is creation and seen[1][0][0] is opening


def test_readers_go_through_the_instance(drv):
    class Custom(drv.Driver):
        creation_options_info = property(lambda self: {"B": {"current": 1}, "A": {}, "C": {"current": None}})
        open_options_info = property(lambda self: {"O": {"current": "o"}})

    d = Custom("GTiff")
    assert list(d.creation_options.items()) == [("B", 1), ("C", None)]
    assert d.open_options == {"O": "o"}


def test_set_opts_on_a_hand_made_catalogue(drv):
    d = drv.Driver("GTiff")
    opts = {"A": {}, "B": {"current": 0}}
    assert d._set_opts_(opts, B=2, A=1) is None
    assert opts == {"A": {"current": 1}, "B": {"current": 2}}
    d._set_opts_(opts={"X": opts["A"]}, X="by keyword")
    assert opts["A"] == {"current": "by keyword"}
    assert str(inspect.signature(drv.Driver._set_opts_)) == "(self, opts, **kwargs)"


def test_set_opts_uses_the_catalogues_membership_test(drv, format_error):
    class Catalogue(dict):
        def __contains__(self, key):
            return key.startswith("OK")

        def __missing__(self, key):
            record = self[key] = {}
            return record

    d = drv.Driver("GTiff")
    opts = Catalogue()
    d._set_opts_(opts, OK_1="a")
    assert opts == {"OK_1": {"current": "a"}}
    with pytest.raises(FakeFormatError):
        d._set_opts_(opts, OK_2="b", NO="c")
    assert format_error.calls[0][1]["errors"] == ["NO"]
    assert format_error.calls[0][1]["all_sels"] is opts


def test_record_refusing_assignment_fails_after_earlier_names(drv):
    opts = {"A": {}, "B": (), "C": {}}
    with pytest.raises(TypeError):
        drv.Driver("GTiff")._set_opts_(opts, A=1, B=2, C=3)
    assert opts == {"A": {"current": 1}, "B": (), "C": {}}


def test_documentation_texts(drv):
    assert drv.Driver.set_creation_options.__doc__ == "Set create options! For more, see ~.creation_options_info!"
    assert drv.Driver.set_open_options.__doc__ == "Set open options! For more, see ~.creation_options_info!"
    assert drv.Driver.creation_options.__doc__ == "Creation options. --> dict"
    assert drv.Driver.open_options.__doc__ == "Open options. --> dict"
    for prop in ("creation_options", "open_options"):
        with pytest.raises(AttributeError):
            setattr(drv.Driver("GTiff"), prop, {})

"""The HTML view of a driver: what is handed to the details builder, in
which order, and what the package's builder makes of it."""

import types

import pytest

from conftest import all_driver_names, find_drivers, metadata
from fakes import FakeEnv, RecordingDetails


@pytest.fixture(autouse=True)
def no_config(drv):
    drv.env = FakeEnv()


def bind_builder(drv, log):
    """Binds a recording details builder that logs into `log`."""
    cls = RecordingDetails.bound_to(log)
    drv.gdata = types.SimpleNamespace(VEKHTMLDetails=cls)
    return log


@pytest.fixture
def builder_log(drv):
    return bind_builder(drv, [])


@pytest.fixture
def fake_log(drv, fake_gdal):
    """Builder calls and fake metadata reads in one order."""
    return bind_builder(drv, fake_gdal.calls)


def short(entry):
    if entry[0] == "MajorObject_GetMetadataItem":
        return entry[2]
    if entry[0] == "Driver_ShortName_get":
        return "name"
    return entry[0]


OPEN_XML = "<L><Option name='O' type='int'/></L>"
CREATE_XML = "<L><Option name='C'/></L>"


def test_builder_calls_in_order(drv, fake_gdal, fake_log):
    handle = fake_gdal.add(
        "N",
        DCAP_RASTER="YES",
        DCAP_CREATE="YES",
        DMD_EXTENSIONS="e1 e2",
        DMD_CREATIONOPTIONLIST=CREATE_XML,
        DMD_OPENOPTIONLIST=OPEN_XML,
    )
    d = drv.Driver(handle)
    assert d._repr_html_() == "<html 1>"
    log = fake_log
    assert [short(e) for e in log] == [
        "VEKHTMLDetails",
        "name",  # summary: name, category, creatable, extension
        "DCAP_RASTER",
        "DCAP_VECTOR",
        "DCAP_CREATE",
        "DMD_EXTENSION",
        "DMD_EXTENSIONS",
        "set_base_info",
        "DCAP_RASTER",  # creation catalogue (raster kind)
        "DMD_CREATIONOPTIONLIST",
        "DMD_OPENOPTIONLIST",  # open catalogue
        "DCAP_RASTER",
        "name",
        "add_details",
        "to_html",
    ]
    calls = {e[0]: e for e in log if e[0] in ("VEKHTMLDetails", "set_base_info", "add_details", "to_html")}
    for name in ("VEKHTMLDetails", "to_html"):
        assert calls[name][2:] == ((), {})
    base_args, base_kw = calls["set_base_info"][2:]
    assert base_kw == {} and len(base_args) == 1
    assert list(base_args[0].items()) == [
        ("Name", "N"),
        ("Category", "Raster"),
        ("Creatable", True),
        ("Extension", "e1"),
    ]
    details_args, details_kw = calls["add_details"][2:]
    assert details_kw == {} and len(details_args) == 1
    details = details_args[0]
    assert list(details) == ["Creation Options", "Open Options"]
    assert details["Creation Options"] is d._creation_opts == {"C": {}}
    assert details["Open Options"] is d._open_opts == {"O": {"type": "int"}}


def test_kept_catalogues_with_current_values_are_handed_over(drv, builder_log):
    d = drv.Driver("GTiff")
    d.set_creation_options(COMPRESS="LZW")
    creation, opening = d.creation_options_info, d.open_options_info
    d._repr_html_()
    details = next(e for e in builder_log if e[0] == "add_details")[2][0]
    assert details["Creation Options"] is creation
    assert details["Open Options"] is opening
    assert creation["COMPRESS"]["current"] == "LZW"


def test_driver_without_option_lists_hands_over_empty_catalogues(drv, fake_gdal, fake_log):
    d = drv.Driver(fake_gdal.add("N"))
    d._repr_html_()
    base = next(e for e in fake_log if e[0] == "set_base_info")[2][0]
    details = next(e for e in fake_log if e[0] == "add_details")[2][0]
    assert base == {"Name": "N", "Category": "", "Creatable": False, "Extension": ""}
    assert details == {"Creation Options": {}, "Open Options": {}}


def test_raster_driver_of_both_kinds_shows_raster(drv, builder_log):
    both = find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)
    if not both:
        pytest.skip("no driver of both kinds")
    drv.RasterDriver(both[0])._repr_html_()
    drv.Driver(both[0])._repr_html_()
    bases = [e[2][0] for e in builder_log if e[0] == "set_base_info"]
    assert [b["Category"] for b in bases] == ["Raster", "Raster/Vector"]
    assert bases[0]["Name"] == both[0]


def test_each_call_makes_a_new_builder_and_new_dicts(drv, builder_log):
    d = drv.Driver("GTiff")
    assert d._repr_html_() == "<html 1>"
    assert d._repr_html_() == "<html 2>"
    log = builder_log
    builders = [e[1] for e in log if e[0] == "VEKHTMLDetails"]
    assert len(builders) == 2 and builders[0] is not builders[1]
    for method in ("set_base_info", "add_details", "to_html"):
        assert [e[1] for e in log if e[0] == method] == builders
    bases = [e[2][0] for e in log if e[0] == "set_base_info"]
    details = [e[2][0] for e in log if e[0] == "add_details"]
    assert bases[0] is not bases[1] and bases[0] == bases[1]
    assert details[0] is not details[1]
    assert details[0]["Creation Options"] is details[1]["Creation Options"]
    assert list(vars(d)) == ["_driver", "_open_opts", "_creation_opts"]


def test_builder_is_looked_up_at_every_call(drv):
    class First(RecordingDetails.bound_to([])):
        def to_html(self):
            return "first"

    class Second(RecordingDetails.bound_to([])):
        def to_html(self):
            return "second"

    d = drv.Driver("GTiff")
    drv.gdata = types.SimpleNamespace(VEKHTMLDetails=First)
    assert d._repr_html_() == "first"
    drv.gdata = types.SimpleNamespace(VEKHTMLDetails=Second)
    assert d._repr_html_() == "second"


def test_missing_builder_fails_before_any_metadata_read(drv, fake_gdal):
    d = drv.Driver(fake_gdal.add("N", DCAP_RASTER="YES"))
    fake_gdal.calls.clear()
    drv.gdata = types.SimpleNamespace()
    with pytest.raises(AttributeError):
        d._repr_html_()
    del drv.gdata
    with pytest.raises(NameError):
        d._repr_html_()
    assert fake_gdal.calls == []


def test_failing_catalogue_build_fails_after_the_summary(drv, fake_gdal, fake_log):
    d = drv.Driver(fake_gdal.add("N", DCAP_RASTER="YES", DMD_CREATIONOPTIONLIST="<broken"))
    with pytest.raises(Exception) as info:
        d._repr_html_()
    assert "ParseError" in type(info.value).__name__
    steps = [e[0] for e in fake_log if not e[0].startswith(("MajorObject", "Driver_"))]
    assert steps == ["VEKHTMLDetails", "set_base_info"]


# ---- the package's own builder -----------------------------------------------------------


def test_real_builder_shows_summary_and_current_values(drv):
    d = drv.Driver("GTiff")
    first = next(iter(d.creation_options_info))
    d.set_creation_options(**{first: "vek-current-marker"})
    html = d._repr_html_()
    assert isinstance(html, str)
    for text in ("GTiff", "Raster", "Creation Options", "Open Options", first, "vek-current-marker"):
        assert text in html


def test_real_builder_for_every_registered_driver(drv):
    names = all_driver_names()
    bare = [n for n in names if not metadata(n, "DMD_CREATIONOPTIONLIST") and not metadata(n, "DMD_OPENOPTIONLIST")]
    for name in [names[0], names[-1]] + bare[:1]:
        html = drv.Driver(name)._repr_html_()
        assert "Creation Options" in html and "Open Options" in html

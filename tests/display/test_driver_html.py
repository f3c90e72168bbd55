"""The HTML view of a driver: what is handed to the details builder, in
which order, and what the package's builder makes of it."""

import types

import pytest

from conftest import all_driver_names, find_drivers
from fakes import FakeEnv, RecordingDetails, short_calls

BUILDER_CALLS = ("VEKHTMLDetails", "set_base_info", "add_details", "to_html")


@pytest.fixture(autouse=True)
def no_config(drv):
    drv.env = FakeEnv()


def bind_builder(drv, log):
    drv.gdata = types.SimpleNamespace(VEKHTMLDetails=RecordingDetails.bound_to(log))
    return log


def handed(log, method):
    """The one-argument payloads handed to builder `method`, in order."""
    return [e[2][0] for e in log if e[0] == method]


def test_builder_calls_in_order(drv, fake_gdal):
    log = bind_builder(drv, fake_gdal.calls)
    d = drv.Driver(fake_gdal.add("N", DCAP_RASTER="YES", DCAP_CREATE="YES", DMD_EXTENSIONS="e1 e2",
                                 DMD_CREATIONOPTIONLIST="<L><Option name='C'/></L>",
                                 DMD_OPENOPTIONLIST="<L><Option name='O' type='int'/></L>"))
    assert d._repr_html_() == "<html 1>"
    assert short_calls(log) == [
        "VEKHTMLDetails",
        "name", "DCAP_RASTER", "DCAP_VECTOR", "DCAP_CREATE", "DMD_EXTENSION", "DMD_EXTENSIONS",  # the summary
        "set_base_info",
        "DCAP_RASTER", "DMD_CREATIONOPTIONLIST",  # creation catalogue (raster kind)
        "DMD_OPENOPTIONLIST", "DCAP_RASTER", "name",  # open catalogue
        "add_details", "to_html",
    ]
    calls = {e[0]: e[2:] for e in log if e[0] in BUILDER_CALLS}
    assert calls["VEKHTMLDetails"] == calls["to_html"] == ((), {})
    assert calls["set_base_info"][1] == calls["add_details"][1] == {}
    (base,), (details,) = calls["set_base_info"][0], calls["add_details"][0]
    assert list(base.items()) == [("Name", "N"), ("Category", "Raster"), ("Creatable", True), ("Extension", "e1")]
    assert list(details) == ["Creation Options", "Open Options"]
    assert details["Creation Options"] is d._creation_opts == {"C": {}}
    assert details["Open Options"] is d._open_opts == {"O": {"type": "int"}}


def test_driver_without_option_lists_hands_over_empty_catalogues(drv, fake_gdal):
    log = bind_builder(drv, [])
    drv.Driver(fake_gdal.add("N"))._repr_html_()
    assert handed(log, "set_base_info") == [{"Name": "N", "Category": "", "Creatable": False, "Extension": ""}]
    assert handed(log, "add_details") == [{"Creation Options": {}, "Open Options": {}}]


def test_each_call_makes_a_new_builder_and_hands_over_the_kept_catalogues(drv):
    log = bind_builder(drv, [])
    d = drv.Driver("GTiff")
    d.set_creation_options(COMPRESS="LZW")
    creation, opening = d.creation_options_info, d.open_options_info
    assert (d._repr_html_(), d._repr_html_()) == ("<html 1>", "<html 2>")
    builders = [e[1] for e in log if e[0] == "VEKHTMLDetails"]
    assert len(builders) == 2 and builders[0] is not builders[1]
    for method in BUILDER_CALLS[1:]:
        assert [e[1] for e in log if e[0] == method] == builders
    bases, details = handed(log, "set_base_info"), handed(log, "add_details")
    assert bases[0] is not bases[1] and bases[0] == bases[1] and details[0] is not details[1]
    for each in details:
        assert each["Creation Options"] is creation and each["Open Options"] is opening
    assert creation["COMPRESS"]["current"] == "LZW"
    assert list(vars(d)) == ["_driver", "_open_opts", "_creation_opts"]


def test_raster_driver_of_both_kinds_shows_raster(drv):
    both = find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True)
    if not both:
        pytest.skip("no driver of both kinds")
    log = bind_builder(drv, [])
    drv.RasterDriver(both[0])._repr_html_()
    drv.Driver(both[0])._repr_html_()
    assert [(b["Name"], b["Category"]) for b in handed(log, "set_base_info")] == [
        (both[0], "Raster"), (both[0], "Raster/Vector")]


def test_builder_lookup_and_failures(drv, fake_gdal):
    d = drv.Driver(fake_gdal.add("N", DCAP_RASTER="YES", DMD_CREATIONOPTIONLIST="<broken"))
    fake_gdal.calls.clear()
    drv.gdata = types.SimpleNamespace()
    with pytest.raises(AttributeError):
        d._repr_html_()
    del drv.gdata
    with pytest.raises(NameError):
        d._repr_html_()
    assert fake_gdal.calls == []  # a missing builder fails before any metadata read
    log = bind_builder(drv, fake_gdal.calls)
    with pytest.raises(Exception) as info:  # a failing catalogue build fails after the summary
        d._repr_html_()
    assert "ParseError" in type(info.value).__name__
    assert [e[0] for e in log if e[0] in BUILDER_CALLS] == ["VEKHTMLDetails", "set_base_info"]


def test_real_builder(drv):
    d = drv.Driver("GTiff")
    first = next(iter(d.creation_options_info))
    d.set_creation_options(**{first: "vek-current-marker"})
    html = d._repr_html_()
    assert all(t in html for t in ("GTiff", "Raster", "Creation Options", "Open Options", first, "vek-current-marker"))
    for name in all_driver_names()[:: max(1, len(all_driver_names()) // 8)]:
        assert "Open Options" in drv.Driver(name)._repr_html_()

"""Option catalogues: which option list and which configuration a driver
reads, in which order, what it keeps, and what a failed build leaves."""

import pytest

from conftest import metadata
from fakes import FakeEnv, short_calls

CREATE, LAYER, OPEN = "DMD_CREATIONOPTIONLIST", "DS_LAYER_CREATIONOPTIONLIST", "DMD_OPENOPTIONLIST"
LISTS = {
    CREATE: "<CreationOptionList><Option name='A' type='string'/>"
            "<Option name='B' type='int'><Value>1</Value><Value>2</Value></Option></CreationOptionList>",
    LAYER: "<LayerCreationOptionList><Option name='L' type='boolean'/></LayerCreationOptionList>",
    OPEN: "<OpenOptionList><Option name='O'/><Option name='A'/></OpenOptionList>",
}
# Per-driver defaults of the fake driver "N" in each configuration.
TABLES = {"Raster": {"N": {"A": "raster A", "O": "raster O"}},
          "Vector": {"N": {"O": "vector O", "L": "vector L", "A": "vector A"}}}
# ... and under "open.options": never mixed with the creation defaults.
OPEN_TABLES = {"Raster": {"N": {"O": "raster open O", "B": "raster open B"}},
               "Vector": {"N": {"A": "vector open A"}}}

R, V = {"DCAP_RASTER": "YES"}, {"DCAP_VECTOR": "YES"}
RV, NEITHER = {"DCAP_RASTER": "yes", "DCAP_VECTOR": "YES"}, {}


def currents(catalogue):
    return {name: rec["current"] for name, rec in catalogue.items() if "current" in rec}


@pytest.fixture
def env(drv, fake_gdal):
    """Configured defaults for the fake driver "N", logged with the binding calls."""
    drv.env = FakeEnv(raster=TABLES["Raster"], vector=TABLES["Vector"], log=fake_gdal.calls,
                      raster_open=OPEN_TABLES["Raster"], vector_open=OPEN_TABLES["Vector"])
    return drv.env


@pytest.fixture
def no_config(drv):
    drv.env = FakeEnv()


def fake_driver(drv, fake_gdal, flags, lists=LISTS, cls=None):
    d = (cls or drv.Driver)(fake_gdal.add("N", **flags, **lists))
    fake_gdal.calls.clear()
    return d


# raster argument, driver flags, kind flags read (in order), configuration
# chosen (None: a new empty table), creation-option item read.
SELECTION = [
    pytest.param(None, R, ["DCAP_RASTER"], "Raster", CREATE, id="row1-raster"),
    pytest.param(None, RV, ["DCAP_RASTER"], "Raster", CREATE, id="row1-both"),
    pytest.param(None, V, ["DCAP_RASTER"], "Vector", LAYER, id="row2-vector"),
    pytest.param(None, NEITHER, ["DCAP_RASTER"], "Vector", LAYER, id="row2-neither"),
    pytest.param(True, R, ["DCAP_RASTER"], "Raster", CREATE, id="row3-raster"),
    pytest.param(1, RV, ["DCAP_RASTER"], "Raster", CREATE, id="row3-both-int"),
    pytest.param(False, V, ["DCAP_VECTOR"], "Vector", LAYER, id="row4-vector"),
    pytest.param(0, RV, ["DCAP_VECTOR"], "Vector", LAYER, id="row4-both-int"),
    pytest.param(True, V, ["DCAP_RASTER"], None, CREATE, id="row5-true-vector"),
    pytest.param("x", NEITHER, ["DCAP_RASTER"], None, CREATE, id="row5-truthy-neither"),
    pytest.param(False, R, ["DCAP_VECTOR"], None, CREATE, id="row5-false-raster"),
    pytest.param("", NEITHER, ["DCAP_VECTOR"], None, CREATE, id="row5-falsy-neither"),
]


@pytest.mark.parametrize("builder", ["_set_creation_options_info_", "_set_open_options_info_"])
@pytest.mark.parametrize("raster, flags, kind_reads, config, item", SELECTION)
def test_builder_selection(drv, fake_gdal, env, builder, raster, flags, kind_reads, config, item):
    d = fake_driver(drv, fake_gdal, flags)
    cat = getattr(d, builder)(raster)
    got = short_calls(fake_gdal.calls)
    if builder == "_set_creation_options_info_":
        # The kind chooses the list, so it is decided before the list is read.
        expected = kind_reads + ([(config + "Config", "creation.options", {}), item, "name",
                                  (config + "Table", "N", {})] if config else [item])
        kept, other, listed = d._creation_opts, d._open_opts, list(drv.read_xml_to_dict(LISTS[item]))
    else:
        # The list is read and kept first; the per-driver get runs even on an empty table.
        expected = [OPEN] + kind_reads + ([(config + "Config", "open.options", {}), "name",
                                           (config + "OpenTable", "N", {})] if config else ["name"])
        kept, other, listed = d._open_opts, d._creation_opts, ["O", "A"]
    assert got == expected
    gets = [e for e in fake_gdal.calls if e[0].endswith(("Config", "Table"))]
    assert all(kwargs == {} and type(args[-1]) is dict and args[-1] == {} for _, args, kwargs in gets)
    assert len({id(args[-1]) for _, args, _ in gets}) == len(gets)  # a new empty dict for each get
    assert cat is kept and list(cat) == listed and other == {}
    tables = TABLES if builder == "_set_creation_options_info_" else OPEN_TABLES
    table = tables.get(config, {}).get("N", {})
    assert currents(cat) == {k: v for k, v in table.items() if k in cat}


class Truth:
    """A `raster` argument that counts its truth tests."""

    def __init__(self, value):
        self.value, self.tests = value, 0

    def __bool__(self):
        self.tests += 1
        return self.value


@pytest.mark.parametrize("value, flags, tests", [(True, R, 1), (True, V, 2), (False, V, 2), (False, R, 2)])
@pytest.mark.parametrize("builder", ["_set_creation_options_info_", "_set_open_options_info_"])
def test_truth_of_raster_is_taken_per_row(drv, fake_gdal, env, builder, value, flags, tests):
    raster = Truth(value)
    getattr(fake_driver(drv, fake_gdal, flags), builder)(raster)
    assert raster.tests == tests


def test_kind_flags_and_builders_are_looked_up_on_the_instance(drv, fake_gdal, env):
    reads, calls, kept = [], [], {"K": {}}
    d = type("Custom", (drv.Driver,), {"is_raster": property(lambda self: reads.append("is_raster") or False),
                                       "is_vector": property(lambda self: reads.append("is_vector") or True),
                                       })(fake_gdal.add("N", **R, **LISTS))
    assert list(d._set_creation_options_info_(False)) == ["L"] and reads == ["is_vector"]
    def builder(self, *args, **kwargs):
        return calls.append((args, kwargs)) or kept

    d = type("Custom", (drv.Driver,), {"_set_creation_options_info_": builder,
                                       "_set_open_options_info_": builder})(fake_gdal.add("M"))
    assert d.creation_options_info is kept and d.open_options_info is kept
    assert calls == [((None,), {}), ((None,), {})]


class NoTruth:
    def __bool__(self):
        raise AssertionError("a kept catalogue must not look at the argument")


@pytest.mark.parametrize("builder, attr", [("_set_creation_options_info_", "_creation_opts"),
                                           ("_set_open_options_info_", "_open_opts")])
def test_non_empty_catalogue_is_kept_and_empty_one_rebuilt(drv, fake_gdal, env, builder, attr):
    d = fake_driver(drv, fake_gdal, R)
    first = getattr(d, builder)(True)
    fake_gdal.calls.clear()
    assert getattr(d, builder)(NoTruth()) is first and getattr(d, builder)(False) is first
    assert getattr(d, builder)() is first and getattr(d, attr) is first
    assert fake_gdal.calls == []
    d = fake_driver(drv, fake_gdal, R, lists={})
    first, log = getattr(d, builder)(None), short_calls(fake_gdal.calls)
    fake_gdal.calls.clear()
    second = getattr(d, builder)(None)
    assert first == second == {} and first is not second
    assert short_calls(fake_gdal.calls) == log and log.count("name") == 1  # every step runs again


def test_first_build_decides_the_kind(drv, fake_gdal, env):
    d = fake_driver(drv, fake_gdal, RV)
    kept = d._set_creation_options_info_(True)
    assert list(kept) == ["A", "B"] and d._set_creation_options_info_(False) is kept
    other = fake_driver(drv, fake_gdal, RV)
    assert list(other._set_creation_options_info_(False)) == ["L"] == list(other.creation_options_info)


def test_build_replaces_the_attribute_with_the_readers_result(drv, fake_gdal, env):
    text = LISTS[CREATE] + ""  # the very object the binding returns
    d = drv.Driver(fake_gdal.add("N", **R, DMD_CREATIONOPTIONLIST=text))
    before, made, seen = d._creation_opts, {"A": {}}, []
    drv.read_xml_to_dict = lambda xlm_str: seen.append(xlm_str) or made
    assert d.creation_options_info is made and d._creation_opts is made and before == {}
    assert len(seen) == 1 and seen[0] is text
    assert made["A"]["current"] == "raster A"


def test_empty_defaults_table_skips_the_per_driver_lookup_when_creating(drv, fake_gdal):
    d = fake_driver(drv, fake_gdal, R)
    drv.env = FakeEnv(raster={}, log=fake_gdal.calls, raster_open={})
    d.creation_options_info
    assert short_calls(fake_gdal.calls) == ["DCAP_RASTER", ("RasterConfig", "creation.options", {}), CREATE]
    fake_gdal.calls.clear()
    d.open_options_info
    assert short_calls(fake_gdal.calls) == [OPEN, "DCAP_RASTER", ("RasterConfig", "open.options", {}), "name",
                                            ("RasterOpenTable", "N", {})]


@pytest.mark.parametrize("value", [None, object(), ["a", "list"], 0, False, True, 2.5, "LZW"])
def test_defaults_are_stored_unchanged(drv, fake_gdal, value):
    drv.env = FakeEnv(raster={"N": {"A": value}}, raster_open={"N": {"O": value}})
    d = fake_driver(drv, fake_gdal, R)
    assert d.creation_options_info["A"]["current"] is value and d.open_options_info["O"]["current"] is value


def test_defaults_entry_is_iterated_with_items_and_unlisted_names_skipped(drv, fake_gdal):
    class Entry:
        def items(self):
            return iter([("B", "from items"), ("NOPE", 1), ("O", 3)])

    table = {"N": Entry(), "Other": {"A": 4}}
    drv.env = FakeEnv(raster=table)
    d = fake_driver(drv, fake_gdal, R)
    cat = d.creation_options_info
    assert list(cat) == ["A", "B"] and currents(cat) == {"B": "from items"}
    assert cat["B"] == {"type": "int", "value": ["1", "2"], "current": "from items"}
    table["N"] = {"B": "changed"}  # configuration changes do not reach a kept catalogue
    assert currents(d.creation_options_info) == {"B": "from items"}


def test_gtiff_catalogues(drv, no_config):
    d = drv.Driver("GTiff")
    cat = d.creation_options_info
    assert cat == drv.read_xml_to_dict(metadata("GTiff", CREATE)) and "COMPRESS" in cat and currents(cat) == {}
    assert d.creation_options_info is cat is d._creation_opts
    assert d.open_options_info == drv.read_xml_to_dict(metadata("GTiff", OPEN))
    cat["COMPRESS"]["current"] = "seen"  # handed out without copy
    assert d.creation_options_info["COMPRESS"]["current"] == "seen"


def test_real_configured_defaults(drv):
    created = drv.read_xml_to_dict(metadata("GTiff", CREATE))
    common = {name: "2" for name in drv.read_xml_to_dict(metadata("GTiff", OPEN)) if name in created}
    layer = next(iter(drv.read_xml_to_dict(metadata("ESRI Shapefile", LAYER))))
    opened = {name: "3" for name in drv.read_xml_to_dict(metadata("GTiff", OPEN))}
    drv.env = FakeEnv(raster={"GTiff": {"COMPRESS": "DEFLATE", "NO_SUCH_OPTION": "x", **common},
                              "ESRI Shapefile": {layer: "raster"}}, vector={"ESRI Shapefile": {layer: "vector"}},
                      raster_open={"GTiff": {**opened, "COMPRESS": "open"}})
    d = drv.Driver("GTiff")
    assert common and currents(d.creation_options_info) == {"COMPRESS": "DEFLATE", **common}
    # Creation defaults never reach open options, even for a name both lists share.
    assert currents(d.open_options_info) == opened
    # A vector driver read through the base class takes the layer list and the vector configuration.
    assert currents(drv.Driver("ESRI Shapefile").creation_options_info) == {layer: "vector"}


def test_shared_catalogues_until_one_side_builds(drv, no_config):
    d = drv.Driver("GTiff")
    copy = drv.Driver(d)
    cat = d.creation_options_info  # d rebinds; the copy still holds the old empty dict
    assert copy._creation_opts == {} and copy._creation_opts is not cat
    again = drv.Driver(d)
    assert again.creation_options_info is cat


class FailingItems:
    """A defaults entry whose iteration fails after its first pair."""

    def items(self):
        yield "A", "applied before the failure"
        raise RuntimeError("defaults broke midway")


class FailingKind:
    def __init__(self):
        self.fail = True

    def __get__(self, obj, cls):
        if self.fail:
            raise RuntimeError("kind unknown")
        return True


class BrokenEnv:
    @property
    def RasterConfig(self):
        raise LookupError("no raster configuration")


PROPS = [("creation_options_info", "_creation_opts"), ("open_options_info", "_open_opts")]


@pytest.mark.parametrize("case, error", [("entry-None", "AttributeError"), ("items-raises", "RuntimeError"),
                                         ("kind", "RuntimeError"), ("config", "LookupError"),
                                         ("malformed", "ParseError"), ("nameless", "KeyError")])
def test_failed_build_propagates_and_keeps_nothing(drv, fake_gdal, env, case, error):
    lists, kind = dict(LISTS), FailingKind()
    if case in ("malformed", "nameless"):
        lists[CREATE] = lists[OPEN] = {"malformed": "<L><Option name='A'>", "nameless": "<L><Option/></L>"}[case]
    d = fake_driver(drv, fake_gdal, R, lists, type("C", (drv.Driver,), {"is_raster": kind} if case == "kind" else {}))
    drv.env = {"entry-None": FakeEnv(raster={"N": None}, raster_open={"N": None}),
               "items-raises": FakeEnv(raster={"N": FailingItems()}, raster_open={"N": FailingItems()}),
               "config": BrokenEnv()}.get(case, env)
    copy = drv.Driver(d)
    for prop, attr in PROPS:
        before = getattr(d, attr)
        for _ in range(2):  # fails again the same way: nothing half-built was kept
            with pytest.raises(Exception) as info:
                getattr(d, prop)
            assert type(info.value).__name__ == error
            assert getattr(d, attr) == {} and getattr(d, attr) is before is getattr(copy, attr)
    if case not in ("malformed", "nameless"):
        kind.fail, drv.env = False, FakeEnv(raster={"N": {"A": "fixed"}}, raster_open={"N": {"A": "fixed"}})
        for prop, attr in PROPS:
            cat = getattr(d, prop)
            assert cat is getattr(d, attr) and cat["A"]["current"] == "fixed" and getattr(copy, attr) == {}

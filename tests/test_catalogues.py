"""Option catalogues: which option list and which configuration a driver
reads, in which order, what it keeps, and what a failed build leaves."""

import pytest

from conftest import all_driver_names, find_drivers, metadata
from fakes import FakeEnv, RecordingConfig

CREATE = "DMD_CREATIONOPTIONLIST"
LAYER = "DS_LAYER_CREATIONOPTIONLIST"
OPEN = "DMD_OPENOPTIONLIST"

CREATE_XML = (
    "<CreationOptionList><Option name='A' type='string'/>"
    "<Option name='B' type='int'><Value>1</Value><Value>2</Value></Option></CreationOptionList>"
)
LAYER_XML = "<LayerCreationOptionList><Option name='L' type='boolean'/></LayerCreationOptionList>"
OPEN_XML = "<OpenOptionList><Option name='O'/><Option name='A'/></OpenOptionList>"

LISTS = {CREATE: CREATE_XML, LAYER: LAYER_XML, OPEN: OPEN_XML}

# Per-driver defaults of the fake driver "N" in each configuration.
RASTER_TABLE = {"N": {"A": "raster A", "O": "raster O"}}
VECTOR_TABLE = {"N": {"O": "vector O", "L": "vector L", "A": "vector A"}}


def events(log):
    """The recorded log in short form: metadata keys, "name" for a short-name
    read, and (label, *args) for a configuration get."""
    out = []
    for entry in log:
        if entry[0] == "MajorObject_GetMetadataItem":
            out.append(entry[2])
        elif entry[0] == "Driver_ShortName_get":
            out.append("name")
        else:
            label, args, kwargs = entry
            assert kwargs == {}, entry
            out.append((label,) + args)
    return out


def currents(catalogue):
    return {name: rec["current"] for name, rec in catalogue.items() if "current" in rec}


@pytest.fixture
def env(drv, fake_gdal):
    """Configured defaults for the fake driver "N", logged into the same list
    as the binding calls."""
    drv.env = FakeEnv(raster=RASTER_TABLE, vector=VECTOR_TABLE, log=fake_gdal.calls)
    return drv.env


@pytest.fixture
def no_config(drv):
    drv.env = FakeEnv()
    return drv.env


def fake_driver(drv, fake_gdal, flags, lists=LISTS):
    handle = fake_gdal.add("N", **flags, **lists)
    d = drv.Driver(handle)
    fake_gdal.calls.clear()
    return d


R = {"DCAP_RASTER": "YES"}
V = {"DCAP_VECTOR": "YES"}
RV = {"DCAP_RASTER": "yes", "DCAP_VECTOR": "YES"}
NEITHER = {}

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


def config_defaults_are_new_empty_dicts(log):
    """Every configuration get got a default of its own: a new empty dict."""
    defaults = [entry[1][-1] for entry in log if entry[0].endswith(("Config", "Table"))]
    for value in defaults:
        assert type(value) is dict and value == {}
    assert len({id(v) for v in defaults}) == len(defaults)


@pytest.mark.parametrize("raster, flags, kind_reads, config, item", SELECTION)
def test_creation_builder_selection(drv, fake_gdal, env, raster, flags, kind_reads, config, item):
    d = fake_driver(drv, fake_gdal, flags)
    cat = d._set_creation_options_info_(raster)
    expected = list(kind_reads)
    if config:
        expected += [(config + "Config", "creation.options", {}), item, "name", (config + "Table", "N", {})]
    else:
        expected += [item]
    assert events(fake_gdal.calls) == expected
    config_defaults_are_new_empty_dicts(fake_gdal.calls)

    assert cat is d._creation_opts
    assert list(cat) == list(drv.read_xml_to_dict(LISTS[item]))
    table = {"Raster": RASTER_TABLE, "Vector": VECTOR_TABLE}.get(config, {}).get("N", {})
    assert currents(cat) == {k: v for k, v in table.items() if k in cat}
    assert d._open_opts == {}


@pytest.mark.parametrize("raster, flags, kind_reads, config, item", SELECTION)
def test_open_builder_selection(drv, fake_gdal, env, raster, flags, kind_reads, config, item):
    d = fake_driver(drv, fake_gdal, flags)
    cat = d._set_open_options_info_(raster)
    # The list is read and kept first; the kind only chooses the defaults,
    # and the per-driver get runs even on an empty table.
    expected = [OPEN] + list(kind_reads)
    if config:
        expected += [(config + "Config", "creation.options", {}), "name", (config + "Table", "N", {})]
    else:
        expected += ["name"]
    assert events(fake_gdal.calls) == expected
    config_defaults_are_new_empty_dicts(fake_gdal.calls)

    assert cat is d._open_opts
    assert list(cat) == ["O", "A"]
    table = {"Raster": RASTER_TABLE, "Vector": VECTOR_TABLE}.get(config, {}).get("N", {})
    assert currents(cat) == {k: table[k] for k in ("O", "A") if k in table}
    assert d._creation_opts == {}


class Truth:
    """A `raster` argument that counts its truth tests."""

    def __init__(self, value):
        self.value = value
        self.tests = 0

    def __bool__(self):
        self.tests += 1
        return self.value


@pytest.mark.parametrize(
    "value, flags, tests",
    [(True, R, 1), (True, V, 2), (False, V, 2), (False, R, 2)],
)
@pytest.mark.parametrize("builder", ["_set_creation_options_info_", "_set_open_options_info_"])
def test_truth_of_raster_is_taken_per_row(drv, fake_gdal, env, builder, value, flags, tests):
    d = fake_driver(drv, fake_gdal, flags)
    raster = Truth(value)
    getattr(d, builder)(raster)
    assert raster.tests == tests


def test_kind_flags_are_read_as_properties_of_the_instance(drv, fake_gdal, env):
    reads = []

    class Custom(drv.Driver):
        @property
        def is_raster(self):
            reads.append("is_raster")
            return False

        @property
        def is_vector(self):
            reads.append("is_vector")
            return True

    d = Custom(fake_gdal.add("N", **R, **LISTS))
    assert list(d._set_creation_options_info_(False)) == ["L"]
    assert reads == ["is_vector"]
    reads.clear()
    assert list(d.creation_options_info) == ["L"]
    assert reads == []


@pytest.mark.parametrize(
    "prop, builder",
    [
        ("creation_options_info", "_set_creation_options_info_"),
        ("open_options_info", "_set_open_options_info_"),
    ],
)
def test_properties_call_the_builder_of_the_instance_with_none(drv, prop, builder):
    calls = []
    kept = {"K": {}}

    def fake_builder(self, *args, **kwargs):
        calls.append((args, kwargs))
        return kept

    Custom = type("Custom", (drv.Driver,), {builder: fake_builder})
    assert getattr(Custom("GTiff"), prop) is kept
    assert calls == [((None,), {})]


def test_builder_signature_and_docs(drv):
    import inspect

    for builder, doc in [
        ("_set_creation_options_info_", "creation options. --> list"),
        ("_set_open_options_info_", "open options. --> list"),
    ]:
        fn = getattr(drv.Driver, builder)
        assert str(inspect.signature(fn)) == "(self, raster=None)"
        assert fn.__doc__ == doc
    assert drv.Driver.creation_options_info.__doc__ == "Creation options info. --> list"
    assert drv.Driver.open_options_info.__doc__ == "Open options info. --> list"
    for prop in ("creation_options_info", "open_options_info"):
        with pytest.raises(AttributeError):
            setattr(drv.Driver("GTiff"), prop, {})


# ---- keeping ---------------------------------------------------------------------


class NoTruth:
    def __bool__(self):
        raise AssertionError("a kept catalogue must not look at the argument")


@pytest.mark.parametrize(
    "builder, attr",
    [("_set_creation_options_info_", "_creation_opts"), ("_set_open_options_info_", "_open_opts")],
)
def test_non_empty_catalogue_is_kept(drv, fake_gdal, env, builder, attr):
    d = fake_driver(drv, fake_gdal, R)
    first = getattr(d, builder)(True)
    fake_gdal.calls.clear()
    assert getattr(d, builder)(NoTruth()) is first
    assert getattr(d, builder)(False) is first
    assert getattr(d, builder)() is first
    assert getattr(d, attr) is first
    assert fake_gdal.calls == []


def test_first_build_decides_the_kind(drv, fake_gdal, env):
    d = fake_driver(drv, fake_gdal, RV)
    kept = d._set_creation_options_info_(True)
    assert list(kept) == ["A", "B"]
    assert d._set_creation_options_info_(False) is kept
    other = fake_driver(drv, fake_gdal, RV)
    assert list(other._set_creation_options_info_(False)) == ["L"]
    assert list(other.creation_options_info) == ["L"]


def test_kept_catalogue_is_handed_out_without_copy(drv, no_config):
    d = drv.Driver("GTiff")
    cat = d.creation_options_info
    assert cat is d.creation_options_info is d._creation_opts
    cat["COMPRESS"]["current"] = "seen"
    assert d.creation_options_info["COMPRESS"]["current"] == "seen"


@pytest.mark.parametrize("builder", ["_set_creation_options_info_", "_set_open_options_info_"])
def test_empty_catalogue_is_rebuilt_every_time(drv, fake_gdal, env, builder):
    d = fake_driver(drv, fake_gdal, R, lists={})
    first = getattr(d, builder)(None)
    log = events(fake_gdal.calls)
    fake_gdal.calls.clear()
    second = getattr(d, builder)(None)
    assert first == second == {}
    assert first is not second
    assert events(fake_gdal.calls) == log
    assert log.count("name") == 1  # the per-driver lookup runs each time


def test_build_replaces_the_attribute_with_the_readers_result(drv, fake_gdal, env):
    text = CREATE_XML + ""  # the very object the binding returns
    d = drv.Driver(fake_gdal.add("N", **R, DMD_CREATIONOPTIONLIST=text))
    before = d._creation_opts
    made = {"A": {}}
    seen = []

    def reader(xlm_str):
        seen.append(xlm_str)
        return made

    drv.read_xml_to_dict = reader
    assert d.creation_options_info is made
    assert d._creation_opts is made and before == {}
    assert len(seen) == 1 and seen[0] is text
    assert made["A"]["current"] == "raster A"


def test_configuration_is_looked_up_at_every_build(drv, fake_gdal):
    d = fake_driver(drv, fake_gdal, R, lists={})
    drv.env = first = FakeEnv(raster={})
    d.creation_options_info
    drv.env = second = FakeEnv(raster={})
    d.creation_options_info
    assert len(first.log) == 1 and len(second.log) == 1

    class Env:
        @property
        def RasterConfig(self):
            raise LookupError("no raster configuration")

    drv.env = Env()
    with pytest.raises(LookupError, match="no raster configuration"):
        d.creation_options_info
    del drv.env
    with pytest.raises(NameError):
        d.creation_options_info


def test_empty_defaults_table_skips_the_per_driver_lookup_when_creating(drv, fake_gdal):
    d = fake_driver(drv, fake_gdal, R)
    drv.env = FakeEnv(raster={}, log=fake_gdal.calls)
    d.creation_options_info
    assert events(fake_gdal.calls) == ["DCAP_RASTER", ("RasterConfig", "creation.options", {}), CREATE]
    fake_gdal.calls.clear()
    d.open_options_info
    assert events(fake_gdal.calls) == [
        OPEN,
        "DCAP_RASTER",
        ("RasterConfig", "creation.options", {}),
        "name",
        ("RasterTable", "N", {}),
    ]


# ---- configured defaults -------------------------------------------------------------


@pytest.mark.parametrize("value", [None, object(), ["a", "list"], 0, False, True, 2.5, "LZW"])
def test_defaults_are_stored_unchanged(drv, fake_gdal, value):
    drv.env = FakeEnv(raster={"N": {"A": value, "O": value}})
    d = fake_driver(drv, fake_gdal, R)
    assert d.creation_options_info["A"]["current"] is value
    assert d.open_options_info["O"]["current"] is value


def test_unlisted_defaults_are_skipped(drv, fake_gdal):
    drv.env = FakeEnv(raster={"N": {"NOPE": 1, "B": 2, "O": 3}, "Other": {"A": 4}})
    d = fake_driver(drv, fake_gdal, R)
    cat = d.creation_options_info
    assert list(cat) == ["A", "B"] and currents(cat) == {"B": 2}
    assert cat["B"]["value"] == ["1", "2"] and cat["B"]["type"] == "int"


def test_mapping_defaults_entry_is_iterated_with_items(drv, fake_gdal):
    class Entry:
        def items(self):
            return iter([("B", "from items"), ("A", "also")])

    drv.env = FakeEnv(raster={"N": Entry()})
    d = fake_driver(drv, fake_gdal, R)
    assert currents(d.creation_options_info) == {"A": "also", "B": "from items"}


def test_configuration_changes_do_not_reach_a_kept_catalogue(drv, fake_gdal):
    table = {"N": {"A": "first"}}
    drv.env = FakeEnv(raster=table)
    d = fake_driver(drv, fake_gdal, R)
    assert d.creation_options_info["A"]["current"] == "first"
    table["N"]["A"] = "second"
    assert d.creation_options_info["A"]["current"] == "first"


# ---- real drivers ------------------------------------------------------------------------


def test_gtiff_catalogue_without_configuration(drv, no_config):
    d = drv.Driver("GTiff")
    cat = d.creation_options_info
    assert cat == drv.read_xml_to_dict(metadata("GTiff", CREATE))
    assert "COMPRESS" in cat and currents(cat) == {}
    assert d.creation_options_info is cat
    assert d.open_options_info == drv.read_xml_to_dict(metadata("GTiff", OPEN))


def test_gtiff_configured_default(drv):
    drv.env = FakeEnv(raster={"GTiff": {"COMPRESS": "DEFLATE", "NO_SUCH_OPTION": "x"}})
    cat = drv.Driver("GTiff").creation_options_info
    assert currents(cat) == {"COMPRESS": "DEFLATE"}


def test_default_named_in_both_lists_reaches_both_catalogues(drv):
    created = drv.read_xml_to_dict(metadata("GTiff", CREATE))
    opened = drv.read_xml_to_dict(metadata("GTiff", OPEN))
    common = [name for name in created if name in opened]
    if not common:
        pytest.skip("GTiff names no option in both lists")
    drv.env = FakeEnv(raster={"GTiff": {common[0]: "2"}})
    d = drv.Driver("GTiff")
    assert currents(d.creation_options_info) == {common[0]: "2"}
    assert currents(d.open_options_info) == {common[0]: "2"}


def test_vector_driver_through_base_class_uses_layer_list_and_vector_config(drv):
    layer = drv.read_xml_to_dict(metadata("ESRI Shapefile", LAYER))
    assert layer, "ESRI Shapefile publishes layer creation options"
    first = next(iter(layer))
    drv.env = FakeEnv(raster={"ESRI Shapefile": {first: "raster"}}, vector={"ESRI Shapefile": {first: "vector"}})
    cat = drv.Driver("ESRI Shapefile").creation_options_info
    assert list(cat) == list(layer)
    assert currents(cat) == {first: "vector"}


@pytest.mark.parametrize("name, raster", [("ESRI Shapefile", True), ("GTiff", False)])
def test_asked_kind_the_driver_lacks_gives_raster_item_and_no_defaults(drv, name, raster):
    env = drv.env = FakeEnv(raster={name: {}}, vector={name: {}})
    cat = drv.Driver(name)._set_creation_options_info_(raster)
    assert cat == drv.read_xml_to_dict(metadata(name, CREATE))
    assert env.log == []


def both_with_two_lists():
    for name in find_drivers(DCAP_RASTER=True, DCAP_VECTOR=True):
        if metadata(name, CREATE) and metadata(name, LAYER):
            return name
    pytest.skip("no driver of both kinds with both creation lists")


def test_both_kinds_driver_keeps_raster_list_through_base_class(drv, no_config):
    name = both_with_two_lists()
    raster_list = drv.read_xml_to_dict(metadata(name, CREATE))
    layer_list = drv.read_xml_to_dict(metadata(name, LAYER))
    d = drv.Driver(name)
    kept = d.creation_options_info
    assert kept == raster_list
    assert d._set_creation_options_info_(False) is kept
    assert drv.Driver(name)._set_creation_options_info_(False) == layer_list


def test_driver_without_lists_gives_new_empty_catalogues(drv, no_config):
    names = [n for n in all_driver_names() if not any(metadata(n, k) for k in (CREATE, LAYER, OPEN))]
    if not names:
        pytest.skip("every driver publishes an option list")
    d = drv.Driver(names[0])
    for prop in ("creation_options_info", "open_options_info"):
        first, second = getattr(d, prop), getattr(d, prop)
        assert first == second == {} and first is not second


def test_shared_catalogues_until_one_side_builds(drv, no_config):
    d = drv.Driver("GTiff")
    copy = drv.Driver(d)
    cat = d.creation_options_info  # d rebinds; the copy still holds the old empty dict
    assert copy._creation_opts == {} and copy._creation_opts is not cat
    built = drv.Driver("GTiff")
    built.creation_options_info
    again = drv.Driver(built)
    assert again.creation_options_info is built.creation_options_info


# ---- failures: a failed build keeps nothing -----------------------------------------------


class FailingItems:
    """A defaults entry whose iteration fails after its first pair."""

    def items(self):
        yield "A", "applied before the failure"
        raise RuntimeError("defaults broke midway")


@pytest.mark.parametrize(
    "entry, error, match",
    [(None, AttributeError, "items"), (FailingItems(), RuntimeError, "midway")],
    ids=["entry-None", "items-raises"],
)
@pytest.mark.parametrize(
    "builder, attr",
    [("creation_options_info", "_creation_opts"), ("open_options_info", "_open_opts")],
)
def test_failed_defaults_keep_nothing(drv, fake_gdal, builder, attr, entry, error, match):
    drv.env = FakeEnv(raster={"N": entry})
    d = fake_driver(drv, fake_gdal, R)
    before = getattr(d, attr)
    copy = drv.Driver(d)
    for _ in range(2):
        with pytest.raises(error, match=match):
            getattr(d, builder)
        assert getattr(d, attr) == {}
        assert getattr(d, attr) is before is getattr(copy, attr)
    drv.env = FakeEnv(raster={"N": {"A": "fixed"}})
    cat = getattr(d, builder)
    assert cat is getattr(d, attr) and cat["A"]["current"] == "fixed"
    assert getattr(copy, attr) == {}


def test_failed_kind_read_in_open_builder_keeps_nothing(drv, fake_gdal, env):
    fail = [True]

    class Custom(drv.Driver):
        @property
        def is_raster(self):
            if fail[0]:
                raise RuntimeError("kind unknown")
            return True

    d = Custom(fake_gdal.add("N", **LISTS))
    for _ in range(2):
        with pytest.raises(RuntimeError, match="kind unknown"):
            d.open_options_info
        assert d._open_opts == {}
    fail[0] = False
    assert currents(d.open_options_info) == {"O": "raster O", "A": "raster A"}


def test_failed_configuration_lookup_in_open_builder_keeps_nothing(drv, fake_gdal):
    class Env:
        RasterConfig = RecordingConfig("RasterConfig")

        @property
        def VectorConfig(self):
            raise KeyError("VectorConfig")

    drv.env = Env()
    d = fake_driver(drv, fake_gdal, V)
    with pytest.raises(KeyError):
        d.open_options_info
    assert d._open_opts == {}


def test_malformed_option_list_propagates_and_keeps_nothing(drv, fake_gdal, env):
    d = fake_driver(drv, fake_gdal, R, lists={CREATE: "<CreationOptionList><Option name='A'>"})
    for _ in range(2):
        with pytest.raises(Exception) as info:
            d.creation_options_info
        assert "ParseError" in type(info.value).__name__
        assert d._creation_opts == {}


def test_option_without_name_propagates_key_error(drv, fake_gdal, env):
    d = fake_driver(drv, fake_gdal, R, lists={OPEN: "<OpenOptionList><Option type='x'/></OpenOptionList>"})
    with pytest.raises(KeyError):
        d.open_options_info
    assert d._open_opts == {}

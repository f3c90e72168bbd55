"""read_xml_to_dict: GDAL's option-list XML turned into the option catalogue."""

import builtins
import types
import xml.etree.ElementTree as ET

import pytest

from conftest import all_driver_names, metadata

OPTION_LISTS = ["DMD_CREATIONOPTIONLIST", "DMD_OPENOPTIONLIST", "DS_LAYER_CREATIONOPTIONLIST"]


def reference(text):
    """The catalogue as Python code would build it with the standard parser."""
    if not text:
        return {}
    catalogue = {}
    for option in ET.fromstring(text):
        record = dict(option.attrib)
        key = record.pop("name")
        values = [child.text for child in option]
        if values:
            record["value"] = values
        catalogue[key] = record
    return catalogue


def ordered(catalogue):
    """Entries and record items with their order made visible to ==."""
    return [(key, list(record.items())) for key, record in catalogue.items()]


class RecordingXet:
    """An xet that parses with the standard parser and keeps what it saw."""

    def __init__(self):
        self.texts = []
        self.roots = []

    def fromstring(self, text):
        self.texts.append(text)
        root = ET.fromstring(text)
        self.roots.append(root)
        return root


@pytest.fixture
def xet(drv):
    fake = RecordingXet()
    drv.xet = fake
    return fake


# ---- GDAL's own option lists ----------------------------------------------------------------------


def gdal_option_lists():
    found = []
    for name in all_driver_names():
        for key in OPTION_LISTS:
            if metadata(name, key):
                found.append((name, key))
    return found


GDAL_LISTS = gdal_option_lists()


def test_gdal_publishes_option_lists():
    assert {key for _, key in GDAL_LISTS} == set(OPTION_LISTS)
    assert len(GDAL_LISTS) > len(all_driver_names()) // 2


@pytest.mark.parametrize("name,key", GDAL_LISTS, ids=[f"{n}-{k}" for n, k in GDAL_LISTS])
def test_every_gdal_option_list(drv, name, key):
    text = metadata(name, key)
    result = drv.read_xml_to_dict(text)
    expected = reference(text)
    assert ordered(result) == ordered(expected)
    assert all(type(record) is dict for record in result.values())


def test_gtiff_compress_values_come_from_gdal(drv):
    text = metadata("GTiff", "DMD_CREATIONOPTIONLIST")
    compress = drv.read_xml_to_dict(text)["COMPRESS"]
    option = next(o for o in ET.fromstring(text) if o.get("name") == "COMPRESS")
    assert compress["value"] == [v.text for v in option]
    assert "NONE" in compress["value"] and compress["type"] == "string-select"


# ---- the rules, with the module's own parser --------------------------------------------------------


def test_example_catalogue(drv):
    text = (
        "<CreationOptionList>"
        "<Option name='COMPRESS' type='string-select' default='NONE'><Value>NONE</Value><Value>LZW</Value></Option>"
        "<Option name='TILED' type='boolean'/>"
        "</CreationOptionList>"
    )
    result = drv.read_xml_to_dict(text)
    assert ordered(result) == [
        ("COMPRESS", [("type", "string-select"), ("default", "NONE"), ("value", ["NONE", "LZW"])]),
        ("TILED", [("type", "boolean")]),
    ]


@pytest.mark.parametrize("empty", [None, "", b"", 0, [], False])
def test_false_input_gives_a_new_empty_dict_without_parsing(drv, xet, empty):
    first = drv.read_xml_to_dict(empty)
    second = drv.read_xml_to_dict(empty)
    assert first == {} and second == {} and type(first) is dict
    assert first is not second
    first["x"] = 1
    assert drv.read_xml_to_dict(empty) == {}
    assert xet.texts == []


@pytest.mark.parametrize("text", ["<Root/>", "<OpenOptionList></OpenOptionList>", "<a>  text only  </a>"])
def test_root_without_children(drv, text):
    assert drv.read_xml_to_dict(text) == {}


def test_document_order_is_kept(drv):
    names = ["Z", "a", "M", "b", "0"]
    text = "<r>" + "".join(f"<Option name='{n}'/>" for n in names) + "</r>"
    assert list(drv.read_xml_to_dict(text)) == names


def test_duplicate_name_keeps_first_position_with_later_record(drv):
    text = "<r><o name='A' first='1'/><o name='B'/><o name='A' later='2'><v>x</v></o><o name='C'/></r>"
    assert ordered(drv.read_xml_to_dict(text)) == [
        ("A", [("later", "2"), ("value", ["x"])]),
        ("B", []),
        ("C", []),
    ]


@pytest.mark.parametrize(
    "children,values",
    [
        ("<Value/>", [None]),
        ("<Value></Value>", [None]),
        ("<Value>a</Value><Value/><Value>c</Value>", ["a", None, "c"]),
        ("<Value> spaced </Value>", [" spaced "]),
        ("<Value>\n</Value>", ["\n"]),
        ("<Value>&lt;&amp;&gt;</Value>", ["<&>"]),
        ("<Item>x</Item><Other>y</Other>", ["x", "y"]),  # any tag
        ("<Value alias='A' name='ignored'>x</Value>", ["x"]),  # child attributes are not read
        ("<Value>a<sub>b</sub>c</Value>", ["a"]),  # the text before the first grandchild
        ("<Value><sub>b</sub></Value>", [None]),
        ("<Value>a</Value>tail<Value>b</Value>", ["a", "b"]),  # tails are not read
        ("<Value>NONE</Value><Value>NONE</Value>", ["NONE", "NONE"]),
    ],
)
def test_value_children(drv, children, values):
    result = drv.read_xml_to_dict(f"<r><Option name='K' type='string-select'>own text{children}</Option></r>")
    assert ordered(result) == [("K", [("type", "string-select"), ("value", values)])]


def test_value_attribute(drv):
    text = (
        "<r>"
        "<o name='kept' value='v' type='t'/>"
        "<o name='replaced' value='v' type='t'><Value>a</Value></o>"
        "<o name='added' type='t'><Value>a</Value></o>"
        "</r>"
    )
    assert ordered(drv.read_xml_to_dict(text)) == [
        ("kept", [("value", "v"), ("type", "t")]),
        ("replaced", [("value", ["a"]), ("type", "t")]),  # replaced where it stood
        ("added", [("type", "t"), ("value", ["a"])]),
    ]


def test_keys_are_taken_character_for_character(drv):
    names = ["compress", "COMPRESS", "Compress", " COMPRESS", "COMPRESS ", "", "ÄÖ", "a=b"]
    text = "<r>" + "".join(f'<o name="{n}" i="{i}"/>' for i, n in enumerate(names)) + "</r>"
    result = drv.read_xml_to_dict(text)
    assert list(result) == names
    assert [r["i"] for r in result.values()] == [str(i) for i in range(len(names))]


def test_attributes_are_kept_in_parser_order(drv):
    text = "<r><o z='1' name='K' a='2' description='d' default='x'/></r>"
    assert ordered(drv.read_xml_to_dict(text)) == [("K", [("z", "1"), ("a", "2"), ("description", "d"), ("default", "x")])]


def test_root_and_option_tags_are_not_examined(drv):
    text = "<anything><Option name='a'/><Whatever name='b'/><x:y xmlns:x='urn:x' name='c'/></anything>"
    assert list(drv.read_xml_to_dict(text)) == ["a", "b", "c"]


@pytest.mark.parametrize(
    "text",
    [
        "<r><o/></r>",
        "<r><o name='a'/><o Name='b'/></r>",
        "<r><o NAME='a'/></r>",
        "<r><o name='a'/><o type='x'><Value>v</Value></o></r>",
    ],
)
def test_option_without_name(drv, text):
    with pytest.raises(KeyError) as info:
        drv.read_xml_to_dict(text)
    assert info.value.args == ("name",)


@pytest.mark.parametrize(
    "text",
    [
        "<r>",
        "not xml",
        "<r><o name='a'></r>",
        "<r/><r/>",
        "<r><o name='a' name='b'/></r>",
        "<r><o name='a'>&undefined;</o></r>",
        " ",
        "<?xml version='1.0'?>",
    ],
)
def test_malformed_xml_raises_the_parsers_error(drv, text):
    with pytest.raises(Exception) as parser:
        drv.xet.fromstring(text)
    with pytest.raises(type(parser.value)) as info:
        drv.read_xml_to_dict(text)
    assert str(info.value) == str(parser.value)
    assert isinstance(info.value, ET.ParseError)


# ---- the parser is the module global xet ------------------------------------------------------------


def test_records_are_the_parsed_attribute_mappings(drv, xet):
    text = "<r><o name='A' t='1'><Value>v</Value></o><o name='B'/></r>"
    result = drv.read_xml_to_dict(text)
    assert xet.texts == [text] and xet.texts[0] is text
    root = xet.roots[0]
    assert result["A"] is root[0].attrib and result["B"] is root[1].attrib
    assert "name" not in root[0].attrib  # taken out of the element's own mapping
    assert root[0].attrib["value"] == ["v"]


def test_text_is_handed_over_unchanged(drv, xet):
    data = b"<r><o name='a'/></r>"
    assert drv.read_xml_to_dict(data) == {"a": {}}
    assert xet.texts[0] is data

    class Text(str):
        pass

    text = Text("<r/>")
    drv.read_xml_to_dict(xlm_str=text)
    assert xet.texts[1] is text


def test_xet_is_looked_up_at_each_call(drv, monkeypatch):
    first, second = RecordingXet(), RecordingXet()
    drv.xet = first
    drv.read_xml_to_dict("<a/>")
    drv.xet = second
    drv.read_xml_to_dict("<b/>")
    assert (first.texts, second.texts) == (["<a/>"], ["<b/>"])

    del drv.xet
    with pytest.raises(NameError, match="^name 'xet' is not defined$"):
        drv.read_xml_to_dict("<c/>")
    assert drv.read_xml_to_dict("") == {}  # no lookup without text
    monkeypatch.setattr(builtins, "xet", first, raising=False)
    drv.read_xml_to_dict("<d/>")
    assert first.texts[-1] == "<d/>"


class Attrib(dict):
    """An attribute mapping that records how it is used."""

    def __init__(self, log, *args):
        super().__init__(*args)
        self.log = log

    def pop(self, *args):
        self.log.append(("pop",) + args)
        return super().pop(*args)

    def __setitem__(self, key, value):
        self.log.append(("set", key, value))
        super().__setitem__(key, value)


class Element:
    def __init__(self, log, attrib=None, text=None, children=()):
        self.attrib = Attrib(log, attrib or {})
        self.text = text
        self.children = list(children)

    def __iter__(self):
        return iter(self.children)


def test_reader_uses_only_the_element_interface(drv):
    log = []
    root = Element(
        log,
        children=[
            Element(log, {"name": "A", "value": "old"}, children=[Element(log, text="1"), Element(log)]),
            Element(log, {"name": "B"}),
        ],
    )
    drv.xet = types.SimpleNamespace(fromstring=lambda text: root)
    result = drv.read_xml_to_dict("ignored")
    assert log == [("pop", "name"), ("set", "value", ["1", None]), ("pop", "name")]
    assert result == {"A": {"value": ["1", None]}, "B": {}}
    assert result["A"] is root.children[0].attrib


def test_parser_errors_propagate_unchanged(drv):
    exc = ValueError("refused")

    def fromstring(text):
        raise exc

    drv.xet = types.SimpleNamespace(fromstring=fromstring)
    with pytest.raises(ValueError) as info:
        drv.read_xml_to_dict("<r/>")
    assert info.value is exc


def test_failure_midway_returns_nothing(drv):
    log = []
    good = Element(log, {"name": "A"})

    class Broken:
        attrib = {"name": "B"}
        text = None

        def __iter__(self):
            raise RuntimeError("children unreadable")

    root = Element(log, children=[good, Broken()])
    drv.xet = types.SimpleNamespace(fromstring=lambda text: root)
    with pytest.raises(RuntimeError, match="children unreadable"):
        drv.read_xml_to_dict("x")
    assert "name" not in good.attrib  # it was read before the failure

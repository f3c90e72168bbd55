"""read_xml_to_dict: GDAL's option-list XML turned into the option catalogue."""

import builtins
import types
import xml.etree.ElementTree as ET

import pytest

from conftest import all_driver_names, metadata
from fakes import raiser, tb_names

OPTION_LISTS = ["DMD_CREATIONOPTIONLIST", "DMD_OPENOPTIONLIST", "DS_LAYER_CREATIONOPTIONLIST"]


def ordered(catalogue):
    """Entries and record items with their order made visible to ==."""
    return [(key, list(record.items())) for key, record in catalogue.items()]


class RecordingXet:
    """An xet that parses with the standard parser and keeps what it saw."""

    def __init__(self):
        self.texts, self.roots = [], []

    def fromstring(self, text):
        self.texts.append(text)
        self.roots.append(ET.fromstring(text))
        return self.roots[-1]


@pytest.fixture
def xet(drv):
    drv.xet = RecordingXet()
    return drv.xet


def test_every_gdal_option_list_is_read(drv):
    seen = set()
    for name in all_driver_names():
        for key in OPTION_LISTS:
            text = metadata(name, key)
            if text:
                seen.add(key)
                names = [option.get("name") for option in ET.fromstring(text)]
                assert list(drv.read_xml_to_dict(text)) == list(dict.fromkeys(names)), (name, key)
    assert seen == set(OPTION_LISTS)
    compress = drv.read_xml_to_dict(metadata("GTiff", "DMD_CREATIONOPTIONLIST"))["COMPRESS"]
    assert compress["type"] == "string-select" and "NONE" in compress["value"] and "LZW" in compress["value"]


@pytest.mark.parametrize("text,expected", [
    pytest.param(
        "<CreationOptionList><Option name='COMPRESS' type='string-select' default='NONE'><Value>NONE</Value>"
        "<Value>LZW</Value></Option><Option name='TILED' type='boolean'/></CreationOptionList>",
        [("COMPRESS", [("type", "string-select"), ("default", "NONE"), ("value", ["NONE", "LZW"])]),
         ("TILED", [("type", "boolean")])], id="example"),
    pytest.param("<Root/>", [], id="no-children"),
    pytest.param("<a>  text only  </a>", [], id="text-only"),
    pytest.param("<r><o name='Z'/><o name='a'/><o name='M'/><o name='0'/></r>",
                 [("Z", []), ("a", []), ("M", []), ("0", [])], id="document-order"),
    pytest.param("<r><o name='A' first='1'/><o name='B'/><o name='A' later='2'><v>x</v></o></r>",
                 [("A", [("later", "2"), ("value", ["x"])]), ("B", [])], id="duplicate-keeps-first-position"),
    pytest.param("<r><o name='kept' value='v' type='t'/><o name='replaced' value='v' type='t'><V>a</V></o></r>",
                 [("kept", [("value", "v"), ("type", "t")]), ("replaced", [("value", ["a"]), ("type", "t")])],
                 id="value-attribute"),
    pytest.param("<r><o z='1' name='K' a='2' description='d'/></r>", [("K", [("z", "1"), ("a", "2"),
                 ("description", "d")])], id="attribute-order"),
    pytest.param("<anything><Option name='a'/><x:y xmlns:x='urn:x' name='b'/></anything>", [("a", []), ("b", [])],
                 id="tags-not-examined"),
])
def test_catalogue(drv, text, expected):
    assert ordered(drv.read_xml_to_dict(text)) == expected


@pytest.mark.parametrize("children,values", [
    ("<Value/>", [None]),
    ("<Value>a</Value><Value></Value><Value>c</Value>", ["a", None, "c"]),
    ("<Value> spaced </Value><Value>\n</Value>", [" spaced ", "\n"]),
    ("<Value>&lt;&amp;&gt;</Value>", ["<&>"]),
    ("<Item>x</Item><Other alias='A' name='ignored'>y</Other>", ["x", "y"]),  # any tag; attributes not read
    ("<Value>a<sub>b</sub>c</Value><Value><sub>b</sub></Value>", ["a", None]),  # text before a grandchild
    ("<Value>a</Value>tail<Value>a</Value>", ["a", "a"]),  # tails not read, repeats kept
])
def test_value_children(drv, children, values):
    result = drv.read_xml_to_dict(f"<r><Option name='K' type='string-select'>own text{children}</Option></r>")
    assert ordered(result) == [("K", [("type", "string-select"), ("value", values)])]


def test_keys_are_taken_character_for_character(drv):
    names = ["compress", "COMPRESS", "Compress", " COMPRESS", "COMPRESS ", "", "ÄÖ", "a=b"]
    text = "<r>" + "".join(f'<o name="{n}" i="{i}"/>' for i, n in enumerate(names)) + "</r>"
    result = drv.read_xml_to_dict(text)
    assert list(result) == names and [r["i"] for r in result.values()] == [str(i) for i in range(len(names))]


@pytest.mark.parametrize("empty", [None, "", b"", 0, [], False])
def test_false_input_gives_a_new_empty_dict_without_parsing(drv, xet, empty):
    first, second = drv.read_xml_to_dict(empty), drv.read_xml_to_dict(empty)
    assert first == second == {} and type(first) is dict and first is not second
    assert xet.texts == []


@pytest.mark.parametrize("text", ["<r><o/></r>", "<r><o name='a'/><o Name='b'/></r>", "<r><o NAME='a'/></r>",
                                  "<r><o name='a'/><o type='x'><Value>v</Value></o></r>"])
def test_option_without_name(drv, text):
    with pytest.raises(KeyError) as info:
        drv.read_xml_to_dict(text)
    assert info.value.args == ("name",)


@pytest.mark.parametrize("text", ["<r>", "not xml", "<r><o name='a'></r>", "<r/><r/>", "<r><o name='a' name='b'/></r>",
                                  "<r><o name='a'>&undefined;</o></r>", " ", "<?xml version='1.0'?>"])
def test_malformed_xml_raises_the_parsers_error(drv, text):
    with pytest.raises(ET.ParseError) as parser:
        drv.xet.fromstring(text)
    with pytest.raises(type(parser.value)) as info:
        drv.read_xml_to_dict(text)
    assert str(info.value) == str(parser.value)


def test_records_are_the_parsed_attribute_mappings(drv, xet):
    text = "<r><o name='A' t='1'><Value>v</Value></o><o name='B'/></r>"
    result = drv.read_xml_to_dict(text)
    assert xet.texts[0] is text
    root = xet.roots[0]
    assert result["A"] is root[0].attrib and result["B"] is root[1].attrib
    assert root[0].attrib == {"t": "1", "value": ["v"]}  # name taken out of the element's own mapping
    data = b"<r><o name='a'/></r>"  # handed over unchanged, whatever it is
    assert drv.read_xml_to_dict(xlm_str=data) == {"a": {}} and xet.texts[1] is data


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
    monkeypatch.setattr(builtins, "xet", first, raising=False)
    drv.read_xml_to_dict("<d/>")
    assert first.texts[-1] == "<d/>"


def test_parser_errors_propagate_unchanged(drv):
    exc = ValueError("refused")
    drv.xet = types.SimpleNamespace(fromstring=raiser(exc))
    with pytest.raises(ValueError) as info:
        drv.read_xml_to_dict("<r/>")
    assert info.value is exc and exc.__context__ is None and exc.__cause__ is None
    assert tb_names(exc)[-2:] == ["vek._algos.geo.driver.read_xml_to_dict", "fail"]


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


class Element(list):
    """Iterates its children; carries attrib and text."""

    def __init__(self, log, attrib=None, text=None, children=()):
        super().__init__(children)
        self.attrib, self.text = Attrib(log, attrib or {}), text


def test_reader_uses_only_the_element_interface(drv):
    log = []
    root = Element(log, children=[
        Element(log, {"name": "A", "value": "old"}, children=[Element(log, text="1"), Element(log)]),
        Element(log, {"name": "B"}),
    ])
    drv.xet = types.SimpleNamespace(fromstring=lambda text: root)
    result = drv.read_xml_to_dict("ignored")
    assert log == [("pop", "name"), ("set", "value", ["1", None]), ("pop", "name")]
    assert result == {"A": {"value": ["1", None]}, "B": {}} and result["A"] is root[0].attrib

"""ElementTree front end that refuses entity declarations.

GDAL hands its metadata (option lists and the like) over as XML text.  This
module parses such text into standard :class:`xml.etree.ElementTree.Element`
trees, driving expat directly so that it can refuse what has no place in
that text:

* a document type declaration with an internal subset or an external
  identifier: that is where entities (``<!ENTITY ...>``: "billion laughs",
  quadratic blow-up) and attribute defaults (``<!ATTLIST ...>``, copied
  into every element that lacks the attribute) are declared.  GDAL's
  option lists never carry one; ``<!DOCTYPE name>`` alone is accepted;
* any entity declaration or reference to an external entity, wherever
  expat reports one; nothing is ever fetched.

Text without a document type declaration cannot declare entities; such
text, as an exact ``str`` (a subclass is copied first, so that none of its
methods can lie about the content), goes to ElementTree's C parser
directly.

A refused document raises :class:`ForbiddenEntityError`, a subclass of
:class:`xml.etree.ElementTree.ParseError`; malformed XML raises plain
``ParseError``, and so do a ``str`` that UTF-8 cannot encode (a lone
surrogate) and bytes that declare an encoding Python does not know.

Functions: ``fromstring(text)`` (alias ``XML``), ``fromstringlist(seq)``,
``parse(source)``.  Other ElementTree names (``Element``, ``SubElement``,
``tostring``, ``ElementTree``, ``iselement``, ``indent``, ...) are passed
through from :mod:`xml.etree.ElementTree`; its own parsers
(``XMLParser``, ``XMLPullParser``, ``iterparse``) are not offered.

``xml.etree`` is imported on first use only.
"""

__all__ = [
    "fromstring",
    "XML",
    "fromstringlist",
    "parse",
    "ParseError",
    "ForbiddenEntityError",
]

_PASS_THROUGH = frozenset(
    {
        "Element",
        "SubElement",
        "ElementTree",
        "Comment",
        "ProcessingInstruction",
        "PI",
        "QName",
        "TreeBuilder",
        "tostring",
        "tostringlist",
        "iselement",
        "dump",
        "indent",
        "canonicalize",
        "register_namespace",
        "VERSION",
    }
)
_REFUSED = frozenset({"XMLParser", "XMLPullParser", "iterparse"})


def _et():
    import xml.etree.ElementTree as ET

    return ET


def _make_forbidden_error():
    ET = _et()

    class ForbiddenEntityError(ET.ParseError):
        """The XML declares or references entities, or has a document type
        declaration beyond a bare name, which are refused."""

    ForbiddenEntityError.__module__ = __name__
    return ForbiddenEntityError


def __getattr__(name):
    if name == "ParseError":
        value = _et().ParseError
    elif name == "ForbiddenEntityError":
        value = _make_forbidden_error()
    elif name in _PASS_THROUGH:
        value = getattr(_et(), name)
    elif name in _REFUSED:
        raise AttributeError(
            f"{__name__} does not offer {name}; use fromstring() or parse()"
        )
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__) | _PASS_THROUGH)


def _forbidden_cls():
    cls = globals().get("ForbiddenEntityError")
    return cls if cls is not None else __getattr__("ForbiddenEntityError")


def _forbidden(parser, what: str):
    err = _forbidden_cls()(
        f"{what} are not allowed (line {parser.CurrentLineNumber}, "
        f"column {parser.CurrentColumnNumber})"
    )
    err.code = 0
    err.position = (parser.CurrentLineNumber, parser.CurrentColumnNumber)
    return err


def _fixname(name: str) -> str:
    # expat reports "uri}local" with the "}" separator; ElementTree
    # spells it "{uri}local".
    return "{" + name if "}" in name else name


def _exact(data):
    """``data`` as an exact ``str`` or ``bytes``: a subclass's methods (a
    ``__contains__`` that lies) must not decide what the parser sees."""
    if type(data) is str or type(data) is bytes:
        return data
    if isinstance(data, str):
        return str.__str__(data)
    if isinstance(data, bytes):
        return bytes.__bytes__(data)
    if isinstance(data, bytearray):
        return bytes(bytearray.copy(data))
    return bytes(data)  # a memoryview: no subclasses


def _parse_error(message: str):
    err = _et().ParseError(message)
    err.code = 0
    err.position = (1, 0)
    return err


def _parse(data):
    if not isinstance(data, (str, bytes, bytearray, memoryview)):
        raise TypeError(f"XML text must be str or bytes, not {type(data).__name__}")
    data = _exact(data)
    try:
        return _parse_exact(data)
    except UnicodeEncodeError as exc:
        raise _parse_error(f"text UTF-8 cannot encode: {exc.reason} at index {exc.start}") from None
    except LookupError as exc:  # an encoding declaration naming no known codec
        text = str(exc)
        raise _parse_error(text if text.startswith("unknown encoding") else f"unknown encoding: {text}") from None


def _parse_exact(data):
    ET = _et()
    if isinstance(data, str) and "<!DOCTYPE" not in data:
        # Entities can only be declared in a document type declaration, so
        # without one the C parser has nothing to refuse (twice as fast as
        # driving expat from Python). GDAL hands its metadata over as str.
        return ET.fromstring(data)
    from xml.parsers import expat

    target = ET.TreeBuilder()
    parser = expat.ParserCreate(None, "}")
    parser.buffer_text = True
    parser.ordered_attributes = True
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)

    def start(tag, attrs):
        attrib = {_fixname(attrs[i]): attrs[i + 1] for i in range(0, len(attrs), 2)}
        target.start(_fixname(tag), attrib)

    def end(tag):
        target.end(_fixname(tag))

    def doctype(_name, system_id, public_id, has_internal_subset):
        # Called before the subset is read: nothing declared in it is ever
        # expanded.
        if has_internal_subset or system_id is not None or public_id is not None:
            raise _forbidden(
                parser,
                "document type declarations with an internal subset or an external "
                "identifier (entities, attribute defaults)",
            )

    def entity_decl(*_args):
        raise _forbidden(parser, "entity declarations")

    def unparsed_entity_decl(*_args):
        raise _forbidden(parser, "unparsed entity declarations")

    def external_entity_ref(*_args):
        raise _forbidden(parser, "external entity references")

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = target.data
    parser.StartDoctypeDeclHandler = doctype
    parser.EntityDeclHandler = entity_decl
    parser.UnparsedEntityDeclHandler = unparsed_entity_decl
    parser.ExternalEntityRefHandler = external_entity_ref
    try:
        parser.Parse(data, True)
    except expat.ExpatError as exc:
        err = ET.ParseError(f"{expat.ErrorString(exc.code)}: line {exc.lineno}, column {exc.offset}")
        err.code = exc.code
        err.position = (exc.lineno, exc.offset)
        raise err from None
    return target.close()


def fromstring(text):
    """Parse XML ``text`` (str or bytes) and return its root Element."""
    return _parse(text)


XML = fromstring


def fromstringlist(sequence):
    """Parse XML given as a sequence of str or bytes pieces."""
    pieces = list(sequence)
    if pieces and all(isinstance(p, str) for p in pieces):
        return _parse("".join(pieces))
    return _parse(b"".join(p.encode("utf-8") if isinstance(p, str) else bytes(p) for p in pieces))


def parse(source):
    """Parse an XML file (path or binary file object) into an ElementTree."""
    if hasattr(source, "read"):
        data = source.read()
    else:
        with open(source, "rb") as fh:
            data = fh.read()
    return _et().ElementTree(_parse(data))

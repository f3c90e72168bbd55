"""The module's two functions, `_to_driver_shadow_` and `read_xml_to_dict`,
and its import: failing and retried (in a process of its own), repeated,
reloaded.
"""

import importlib
import sys
import types

from .hostile import BoolRaises, FormatRaises, ReprNotStr, ReprRaises, ThisRaises, format_error_raising, format_error_returning
from .support import DELETE, calls, case, patched, raises, rotate
from .world import BASE_NAMES, LAYER_XML, MODULE, OPEN_XML, RASTER_XML


# ---- _to_driver_shadow_ and read_xml_to_dict ---------------------------------------------------

@case("module._to_driver_shadow_: handles, drivers, proxies", covers=["module._to_driver_shadow_"])
def shadow_of_handles_drivers_and_proxies(w):
    from osgeo import _gdal

    f = w.drv._to_driver_shadow_
    real = w.watch(_gdal.GetDriverByName("GTiff"))
    d = w.watch_driver(w.drv.Driver("GTiff"))
    proxy = w.watch(types.SimpleNamespace(this=real))
    plain = w.watch(object())
    return rotate([calls(f, real), calls(f, d), calls(f, proxy), calls(f, plain), calls(f, None, allow_error=True)])


@case("module._to_driver_shadow_: errors", covers=["module._to_driver_shadow_"], failure=True)
def shadow_of_bad_and_raising_values(w):
    f = w.drv._to_driver_shadow_
    E = w.error.FormatError
    odd = w.watch(ReprRaises(), ReprNotStr(), ThisRaises(), types.SimpleNamespace(this=BoolRaises()), FormatRaises("x"))
    return rotate(
        [
            raises(E, f, None, False),
            raises(E, f, 2.5, allow_error=False),
            raises(ValueError, f, odd[0]),
            raises(TypeError, f, odd[1]),
            raises(KeyError, f, odd[2]),
            raises(ZeroDivisionError, f, odd[3]),
            raises(ZeroDivisionError, f, 1, BoolRaises()),
            raises(LookupError, f, odd[4], False),
            raises(TypeError, f),
            raises(TypeError, f, 1, 2, 3),
            raises(TypeError, f, 1, nope=2),
        ]
    )


@case("module._to_driver_shadow_: FormatError fakes, junk globals", covers=["module._to_driver_shadow_"], failure=True)
def shadow_with_odd_format_error_and_globals(w):
    f = w.drv._to_driver_shadow_
    not_exc = w.watch(object())
    variants = [
        ({"error": format_error_returning(lambda: not_exc)}, TypeError),
        ({"error": format_error_returning(lambda: KeyError("fake"))}, KeyError),
        ({"error": format_error_returning(lambda: LookupError)}, LookupError),
        ({"error": format_error_raising()}, OSError),
        ({"error": DELETE}, NameError),
        ({"error": 42}, AttributeError),
        ({"Driver": 42}, TypeError),
        ({"Driver": DELETE}, NameError),
    ]
    for changes, _exc in variants:
        w.watch(*changes.values())
    return rotate([patched(w.ns, changes, raises(exc, f, None, False)) for changes, exc in variants])


@case("module.read_xml_to_dict: option lists", covers=["module.read_xml_to_dict"])
def xml_reader_on_option_lists(w):
    f = w.drv.read_xml_to_dict
    texts = [RASTER_XML, OPEN_XML, LAYER_XML.encode(), None, "", '<a><o name="X" value="v"><v/></o><o name="X"/></a>']
    return rotate([calls(f, t) for t in texts])


@case("module.read_xml_to_dict: bad XML", covers=["module.read_xml_to_dict"], failure=True)
def xml_reader_on_bad_xml(w):
    f = w.drv.read_xml_to_dict
    ParseError = w.drv.xet.ParseError
    return rotate(
        [
            raises(ParseError, f, "<a><b></a>"),
            raises(ParseError, f, '<!DOCTYPE a [<!ENTITY e "x">]><a><o name="&e;"/></a>'),
            raises(ParseError, f, '<!DOCTYPE a [<!ENTITY e SYSTEM "file:///etc/passwd">]><a>&e;</a>'),
            raises(KeyError, f, '<a><o name="A"/><o/></a>'),
            raises(TypeError, f, 12),
            raises(TypeError, f),
        ]
    )


@case("module.read_xml_to_dict: failing xet", covers=["module.read_xml_to_dict"], failure=True)
def xml_reader_with_failing_parser(w):
    f = w.drv.read_xml_to_dict

    class Elem:
        def __init__(self, attrib=None, children=()):
            self.attrib = attrib if attrib is not None else {}
            self.children = children
            self.text = None

        def __iter__(self):
            if self.children is None:
                raise BufferError("iter")
            return iter(self.children)

    class NoPop(dict):
        def pop(self, key):
            raise EOFError("pop")

    # Trees made anew at each call: the reader pops "name" from them.
    makers = [
        (lambda: Elem(children=None), BufferError),
        (lambda: Elem(children=[Elem({"name": "A"}, children=None)]), BufferError),
        (lambda: Elem(children=[Elem(NoPop(name="A"))]), EOFError),
        (lambda: Elem(children=[Elem(types.MappingProxyType({"name": "A"}))]), AttributeError),
        (lambda: Elem(children=[Elem({"name": "A"}, children=[object()])]), AttributeError),
        (lambda: Elem(children=[Elem({"name": ["unhashable"]})]), TypeError),
    ]
    variants = []
    for make, exc in makers:
        xet = w.watch(types.SimpleNamespace(fromstring=lambda text, m=make: m()))
        variants.append(patched(w.ns, {"xet": xet}, raises(exc, f, "<x/>")))
    variants.append(patched(w.ns, {"xet": DELETE}, raises(NameError, f, "<x/>")))
    return rotate(variants)


# ---- the import --------------------------------------------------------------------------------

@case("module.import: failure and retry", covers=["module.import"], failure=True, fresh=True, scale=1.0, cost=20)
def import_fails_then_is_retried(w):
    if MODULE in sys.modules:
        raise RuntimeError("the module was imported before this case")
    real_base = importlib.import_module("vek._algos.geo.base")
    base_name = real_base.__name__
    values = {n: getattr(real_base, n) for n in BASE_NAMES}
    w.watch(real_base, *values.values())

    lacking = types.ModuleType(base_name)  # no _gdal: fails after seven names are bound
    for n in BASE_NAMES[:-1]:
        setattr(lacking, n, values[n])

    raising = types.ModuleType(base_name)  # the sibling raises while a name is fetched

    def __getattr__(name):
        if name == "env":
            raise ConnectionError("env")
        if name not in values:
            raise AttributeError(name)
        return values[name]

    raising.__getattr__ = __getattr__
    w.watch(lacking, raising)

    def fails(fake, exc):
        def run():
            sys.modules[base_name] = fake
            try:
                importlib.import_module(MODULE)
            except exc:
                pass
            else:
                raise AssertionError("the import did not fail")
            if MODULE in sys.modules:
                raise AssertionError("a failed import left its module in sys.modules")

        return run

    def finish():
        sys.modules[base_name] = real_base
        module = importlib.import_module(MODULE)
        if module.Driver("GTiff").name != "GTiff":
            raise AssertionError("the retried import does not work")

    w.finish = finish
    return rotate([fails(lacking, ImportError), fails(raising, ConnectionError)])


# Importing again after `del sys.modules[...]`: the create step hands back
# the module made first; CPython's PyModule_FromDefAndSpec2 then sets that
# module's md_state to NULL and PyModule_ExecDef allocates a new one
# (PyMem_Malloc(0)), so each such import lost one small block until the
# create step freed the old one first. This case keeps it that way.
@case("module.import: repeated import and reload", covers=["module.import"], cost=20)
def import_repeated_and_reloaded(w):
    module = w.drv
    ns_before = list(vars(module))
    w.skip_import_attrs = True

    def again():
        del sys.modules[MODULE]
        if importlib.import_module(MODULE) is not module:
            raise AssertionError("a second module object")

    def reload():
        importlib.reload(module)
        if list(vars(module)) != ns_before:
            raise AssertionError("the namespace changed")

    return rotate([again, reload])

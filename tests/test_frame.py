"""The module's classes and function objects: namespace content, member tables,
documentation texts, defaults, function attributes, binding, signatures,
help(), argument errors, traceback entries and garbage collection."""

import copy
import inspect
import pickle
import pydoc
import subprocess
import sys
import textwrap
import traceback
import types
import weakref

import pytest

from fakes import FakeGDAL

MODULE = "vek._algos.geo.driver"

BASE_NAMES = ["error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path", "_gdal"]

D1 = (
    "\n        Create a Dataset object!\n\n        Parameters\n        ----------\n        name: str.\n"
    "            A driver name.\n\n        "
)
D2 = (
    "\n        Open a raster file of this driver as a Dataset.\n\n        Parameters\n        ----------\n"
    "        in_src: str\n            name of the file to open\n\n        **Optional\n        ----------\n"
    "        sibling_files: list, default = None.\n"
    "            A list of filenames that are auxiliary to the main filename.\n\n        Returns\n"
    "        -------\n        Dataset\n\n        "
)
D3 = (
    "\n        Create a raster driver object.\n\n        **Optional\n        ----------\n"
    "        name = str. Default 'GTiff'.\n            A raster driver name.\n        "
)
D4 = (
    "\n        Create a new Dataset with this driver.\n\n        Parameters\n        ----------\n"
    "        out_dst: str.\n            Path of the dataset to create. None for memory.\n\n"
    "        xsize: int.\n            Width of created raster in pixels. \n\n"
    "        ysize: int.\n            Height of created raster in pixels. \n\n"
    "        bands: int.\n            Number of bands. \n\n        **Optional\n        ----------\n"
    "        dtype: int. str or RaterDataType, default = 'Float32'.\n"
    "            Raster data type. Set to `dtypes.RaterDataType` for raster datasets.\n\n"
    "        Returns\n        -------\n        Dataset    \n\n        "
)
D5 = (
    "\n        Create a vector driver object.\n\n        **Optional\n        ----------\n"
    "        name = str. Default 'ESRI Shapefile'.\n            A vector driver.\n        "
)
D6 = (
    "\n        Create a new Dataset with this driver.\n\n        Parameters\n        ----------\n"
    "        out_dst: str.\n            Path of the dataset to create. None for memory.\n\n"
    "        Returns\n        -------\n        Dataset    \n\n        "
)

# The size parameters of RasterDriver.create: named after what they mean, in
# the order of its documentation (width, height, band count).
CREATE_SIZES = ["xsize", "ysize", "bands"]


def M(name, params="", doc=None):
    """A method: parameters after self as Python would write them."""
    return (name, "method", [p for p in params.split(", ") if p], doc)


def P(name, doc):
    return (name, "property", None, doc)


CLASSES = {
    "Driver": (
        (),
        "A vek Driver object.",
        [
            M("__init__", "name", D1),
            M("__repr__"),
            M("__str__"),
            M("_get_metadata_item_", "psz"),
            M("_repr_html_"),
            M("_set_creation_options_info_", "raster=None", "creation options. --> list"),
            M("_set_open_options_info_", "raster=None", "open options. --> list"),
            M("_set_opts_", "opts, **kwargs"),
            P("category", "Driver category. --> str"),
            P("creatable", "Whether the target drive supports creation. --> bool"),
            P("creation_options", "Creation options. --> dict"),
            P("creation_options_info", "Creation options info. --> list"),
            P("extension", "Driver extension. --> str"),
            P("extensions", "Driver extensions. --> list"),
            P("is_raster", "Is a raster driver. --> bool"),
            P("is_vector", "Is a vector driver. --> bool"),
            P("long_name", "Driver long name. --> str"),
            P("name", "Driver name. --> str"),
            M("open", "in_src, sibling_files=[]", D2),
            P("open_options", "Open options. --> dict"),
            P("open_options_info", "Open options info. --> list"),
            M("set_creation_options", "**kwargs", "Set create options! For more, see ~.creation_options_info!"),
            M("set_open_options", "**kwargs", "Set open options! For more, see ~.creation_options_info!"),
            P("updatable", "Whether the target driver can be modified/updated. --> bool"),
            P("virtualio", "Whether the raster driver supports virtual dataset. --> bool"),
        ],
    ),
    "RasterDriver": (
        ("Driver",),
        "Raster driver object.",
        [
            M("__init__", "name='GTiff'", D3),
            M("_create_", "out_dst, bands, ysize, xsize, dtype='Float32'"),
            P("category", "Driver category. --> str"),
            P("compress_modes", "The compression methods supported by the raster driver.--> list"),
            P("coordinate_epoch", "Whether the raster driver supports georeferencing. --> bool"),
            P("copyable", "Whether the target drive supports copy. --> bool"),
            M("create", ", ".join(["out_dst"] + CREATE_SIZES + ["dtype='Float32'"]), D4),
            P("creation_dtypes", "Supported data storage types.--> list"),
            P("creation_options_info", "creation options. --> list"),
            P("open_options_info", "open options. --> list"),
            P("sub_datasets", "Whether the raster driver supports sub dataset. --> bool"),
            P("transformable", "Whether the raster driver supports transformable. --> bool"),
        ],
    ),
    "VectorDriver": (
        ("Driver",),
        "Vector driver object.",
        [
            M("__init__", "name='ESRI Shapefile'", D5),
            M("_create_", "out_dst"),
            P("category", "Driver category. --> str"),
            M("create", "out_dst", D6),
            P("creation_ftypes", "Supported field storage types.--> list"),
            P("creation_options_info", "creation options. --> list"),
            P("dimension", "Get the dimension vector driver. --> str"),
            P("multi_layers", "Whether the vector driver supports multi layers. --> bool"),
            P("open_options_info", "open options. --> list"),
            P("sql_dialects", "The vector driver support's sql dialects. --> list"),
            P("transformable", "Whether the vector driver supports transformable. --> bool"),
        ],
    ),
    "DriveStatistics": (
        (),
        "Drive statistics object.",
        [
            M("__init__"),
            M("__getitem__", "indices"),
            M("__len__"),
            M("_repr_html_", "", "HTML style for Jupyter NoteBook."),
            P("creatables", "List of supported drivers that can be created. --> list"),
            P("rasters", "List of supported drivers that can be raster. --> list"),
            P("updatables", "List of supported drivers that can be updatables. --> list"),
            P("vectors", "List of supported drivers that can be vector. --> list"),
            P("virtualios", "List of supported drivers that can be virtualios. --> list"),
        ],
    ),
}

MODULE_FUNCTIONS = {"_to_driver_shadow_": ["data", "allow_error=True"], "read_xml_to_dict": ["xlm_str"]}

DEFAULTS = {
    "_to_driver_shadow_": (True,),
    "read_xml_to_dict": None,
    "Driver._set_creation_options_info_": (None,),
    "Driver._set_open_options_info_": (None,),
    "Driver.open": ([],),
    "RasterDriver.__init__": ("GTiff",),
    "RasterDriver._create_": ("Float32",),
    "RasterDriver.create": ("Float32",),
    "VectorDriver.__init__": ("ESRI Shapefile",),
}

METHODS = [(cls, m[0], m[2], m[3]) for cls, (_, _, ms) in CLASSES.items() for m in ms if m[1] == "method"]
PROPERTIES = [(cls, m[0], m[3]) for cls, (_, _, ms) in CLASSES.items() for m in ms if m[1] == "property"]


def every_function(drv):
    """(qualified name, function object, parameters) of every function."""
    out = [(name, getattr(drv, name), params) for name, params in MODULE_FUNCTIONS.items()]
    for cls, name, params, _ in METHODS:
        out.append((f"{cls}.{name}", vars(getattr(drv, cls))[name], ["self"] + params))
    for cls, name, _ in PROPERTIES:
        out.append((f"{cls}.{name}", vars(getattr(drv, cls))[name].fget, ["self"]))
    return out


def mirror_function(qualname, params, doc=None, defaults_from=None):
    """The same function written in Python: name, parameters, defaults, doc."""
    name = qualname.rpartition(".")[2]
    ns = {}
    exec(f"def {name}({', '.join(params)}): pass", ns)
    fn = ns[name]
    fn.__qualname__ = qualname
    fn.__module__ = MODULE
    fn.__doc__ = doc
    if defaults_from is not None:
        fn.__defaults__ = defaults_from.__defaults__  # the very default objects
    return fn


def mirror_classes(drv):
    """The four classes written in Python from the member tables."""
    made = {}
    for cls, (bases, doc, members) in CLASSES.items():
        real = vars(getattr(drv, cls))
        ns = {"__module__": MODULE, "__qualname__": cls, "__doc__": doc}
        for name, kind, params, mdoc in members:
            if kind == "property":
                ns[name] = property(mirror_function(f"{cls}.{name}", ["self"], mdoc))
            else:
                ns[name] = mirror_function(f"{cls}.{name}", ["self"] + params, mdoc, real[name])
        made[cls] = type(cls, tuple(made[b] for b in bases), ns)
    return made


def run_child(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def tb_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


@pytest.fixture
def function_type(drv):
    return type(drv.read_xml_to_dict)


@pytest.fixture
def restore_attrs(drv):
    """Put back the naming attributes and __dict__ of every function."""
    attrs = ["__name__", "__qualname__", "__module__", "__doc__", "__defaults__"]
    saved = [(fn, {a: getattr(fn, a) for a in attrs}, dict(fn.__dict__)) for _, fn, _ in every_function(drv)]
    yield
    for fn, values, dct in saved:
        for a, v in values.items():
            setattr(fn, a, v)
        fn.__dict__ = dct


# ---- namespace and classes ----------------------------------------------------------------


def test_namespace_in_binding_order():
    out = run_child(
        """
        import vek._algos.geo.driver as d
        print(list(vars(d)))
        """
    )
    names = eval(out)
    assert names[names.index("__builtins__") + 1 :] == BASE_NAMES + [
        "_to_driver_shadow_",
        "read_xml_to_dict",
        "Driver",
        "RasterDriver",
        "VectorDriver",
        "DriveStatistics",
        "__test__",
    ]


def test_module_functions_have_no_documentation(drv):
    for name in MODULE_FUNCTIONS:
        fn = getattr(drv, name)
        assert (fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__) == (name, name, MODULE, None)


@pytest.mark.parametrize("cls_name", list(CLASSES))
def test_class_object(drv, cls_name):
    bases, doc, members = CLASSES[cls_name]
    cls = getattr(drv, cls_name)
    assert type(cls) is type
    assert cls.__bases__ == (tuple(getattr(drv, b) for b in bases) or (object,))
    assert cls.__name__ == cls.__qualname__ == cls_name
    assert cls.__module__ == MODULE
    assert cls.__doc__ == doc
    keys = list(vars(cls))
    assert keys[:2] == ["__module__", "__doc__"]
    own = [k for k in keys[2:] if k not in ("__dict__", "__weakref__")]
    assert own == [m[0] for m in members]


@pytest.mark.parametrize("cls_name,name,params,doc", METHODS, ids=[f"{c}.{n}" for c, n, _, _ in METHODS])
def test_method(drv, function_type, cls_name, name, params, doc):
    fn = vars(getattr(drv, cls_name))[name]
    assert type(fn) is function_type
    assert fn.__name__ == name
    assert fn.__qualname__ == f"{cls_name}.{name}"
    assert fn.__module__ == MODULE
    assert fn.__doc__ == doc
    assert fn.__defaults__ == DEFAULTS.get(f"{cls_name}.{name}")
    assert fn.__kwdefaults__ is None
    assert str(inspect.signature(fn)) == "(" + ", ".join(["self"] + params) + ")"
    kinds = {p.name: p.kind for p in inspect.signature(fn).parameters.values()}
    for p in params:
        want = inspect.Parameter.VAR_KEYWORD if p.startswith("**") else inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert kinds[p.lstrip("*").split("=")[0]] == want


@pytest.mark.parametrize("cls_name,name,doc", PROPERTIES, ids=[f"{c}.{n}" for c, n, _ in PROPERTIES])
def test_property_is_getter_only(drv, function_type, cls_name, name, doc):
    cls = getattr(drv, cls_name)
    prop = vars(cls)[name]
    assert type(prop) is property
    assert prop.fset is None and prop.fdel is None
    assert prop.__doc__ == doc
    getter = prop.fget
    assert type(getter) is function_type
    assert (getter.__name__, getter.__qualname__, getter.__doc__) == (name, f"{cls_name}.{name}", doc)
    assert str(inspect.signature(getter)) == "(self)"
    obj = cls.__new__(cls)
    with pytest.raises(AttributeError, match="has no setter"):
        setattr(obj, name, 1)
    with pytest.raises(AttributeError, match="has no deleter"):
        delattr(obj, name)
    assert name not in vars(obj)


def test_assigning_a_property_of_a_real_driver(drv):
    d = drv.Driver("GTiff")
    for name in ("name", "category"):
        with pytest.raises(AttributeError):
            setattr(d, name, "x")
    assert d.name == "GTiff"


def test_defaults_of_every_function(drv):
    found = {q: fn.__defaults__ for q, fn, _ in every_function(drv) if fn.__defaults__ is not None}
    assert found == {q: d for q, d in DEFAULTS.items() if d is not None}
    assert drv.read_xml_to_dict.__defaults__ is None


def test_create_sizes_follow_the_documented_order(drv):
    # The documentation lists width, height, band count; so must the names.
    params = list(inspect.signature(drv.RasterDriver.create).parameters)
    assert params == ["self", "out_dst"] + CREATE_SIZES + ["dtype"]
    assert D4.index("xsize") < D4.index("ysize") < D4.index("bands")


def test_class_signatures(drv):
    sigs = {name: str(inspect.signature(getattr(drv, name))) for name in CLASSES}
    assert sigs == {
        "Driver": "(name)",
        "RasterDriver": "(name='GTiff')",
        "VectorDriver": "(name='ESRI Shapefile')",
        "DriveStatistics": "()",
    }


# ---- help() ------------------------------------------------------------------------------------------


@pytest.mark.parametrize("cls_name", list(CLASSES))
def test_help_on_class_matches_python_class(drv, cls_name):
    mirror = mirror_classes(drv)[cls_name]
    real = pydoc.render_doc(getattr(drv, cls_name), renderer=pydoc.plaintext)
    assert real == pydoc.render_doc(mirror, renderer=pydoc.plaintext)


def test_help_on_functions_matches_python_functions(drv):
    for qualname, fn, params in every_function(drv):
        mirror = mirror_function(qualname, params, fn.__doc__, fn)
        real_text = pydoc.plain(pydoc.TextDoc().document(fn))
        mirror_text = pydoc.plain(pydoc.TextDoc().document(mirror))
        assert real_text == mirror_text, qualname


def test_help_on_module_lists_read_xml_to_dict(drv):
    text = pydoc.render_doc(drv, renderer=pydoc.plaintext)
    assert "\n    read_xml_to_dict(xlm_str)\n" in text
    assert "open(self, in_src, sibling_files=[])" in text


def test_help_on_bound_method(drv):
    d = drv.Driver.__new__(drv.Driver)
    assert str(inspect.signature(d.open)) == "(in_src, sibling_files=[])"
    text = pydoc.plain(pydoc.TextDoc().document(d.open))
    assert text.startswith("open(in_src, sibling_files=[]) method of vek._algos.geo.driver.Driver instance")


# ---- argument errors --------------------------------------------------------------------------------

BAD_CALLS = [
    lambda n: ((), {}),
    lambda n: (tuple(range(n + 1)), {}),
    lambda n: (tuple(range(n + 3)), {}),
    lambda n: (tuple(range(n)), {"zzz": 1}),
    lambda n: ((0,), {"zzz": 1}),
    lambda n: (tuple(range(n + 1)), {"zzz": 1}),  # the keyword is checked first
    lambda n: (tuple(range(max(n, 1))), {"__first__": 1}),
    lambda n: (tuple(range(n + 1)), {"__first__": 1}),
    lambda n: ((), {"__last__": 1}),
    lambda n: ((), {"__first__": 1, "__first2__": 2}),
]


def outcome(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as exc:
        return str(exc)
    return None


def bad_calls(params):
    names = [p.split("=")[0] for p in params if not p.startswith("**")]
    for make in BAD_CALLS:
        args, kwargs = make(len(names))
        renamed = {}
        for key, value in kwargs.items():
            if key == "__first__":
                key = names[0] if names else "zzz"
            elif key == "__first2__":
                key = names[1] if len(names) > 1 else "yyy"
            elif key == "__last__":
                key = names[-1] if names else "zzz"
            renamed[key] = value
        yield args, renamed


def test_argument_errors_match_python(drv, restore_attrs):
    compared = 0
    for qualname, fn, params in every_function(drv):
        mirror = mirror_function(qualname, params, None, fn)
        for args, kwargs in bad_calls(params):
            expected = outcome(mirror, args, kwargs)
            if expected is None:
                continue  # a valid call; the body would run
            with pytest.raises(TypeError) as info:
                fn(*args, **kwargs)
            assert str(info.value) == expected, (qualname, args, kwargs)
            # The call was refused before the body ran: no entry of the function.
            assert f"{MODULE}.{qualname}" not in tb_names(info.value)
            compared += 1
    assert compared > 100


def test_argument_errors_through_bound_methods(drv):
    d = drv.Driver.__new__(drv.Driver)
    mirror_cls = mirror_classes(drv)["Driver"]
    mirror = mirror_cls.__new__(mirror_cls)
    for name in ("open", "_get_metadata_item_", "_set_opts_", "set_creation_options", "__repr__"):
        for args, kwargs in [((), {}), ((1, 2, 3), {}), ((), {"self": 1}), ((), {"zzz": 1})]:
            expected = outcome(getattr(mirror, name), args, kwargs)
            if expected is None:
                continue
            with pytest.raises(TypeError) as info:
                getattr(d, name)(*args, **kwargs)
            assert str(info.value) == expected


def test_argument_errors_follow_changed_attributes(drv, restore_attrs):
    fn = drv._to_driver_shadow_
    mirror = mirror_function("_to_driver_shadow_", ["data", "allow_error=True"], None, fn)
    for new in [None, (), (1, 2, 3), (False,)]:
        fn.__defaults__ = mirror.__defaults__ = new
        fn.__qualname__ = mirror.__qualname__ = "Renamed.fn"
        for args in [(), (1,), (1, 2, 3)]:
            expected = outcome(mirror, args, {})
            if expected is not None:
                assert outcome(fn, args, {}) == expected, (new, args)


def test_defaults_align_with_the_last_parameters(drv, restore_attrs):
    # A longer tuple than the parameter list: its last items are used.
    drv.read_xml_to_dict.__defaults__ = ("", "<r><o name='a'/></r>")
    assert drv.read_xml_to_dict() == {"a": {}}
    handle = FakeGDAL().add("X")
    drv._to_driver_shadow_.__defaults__ = (None, handle, False)
    assert drv._to_driver_shadow_() is handle
    del drv._to_driver_shadow_.__defaults__
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'allow_error'$"):
        drv._to_driver_shadow_(handle)


# ---- function attributes (get, set, del) like CPython's functions ---------------------------------


def attr_outcome(fn, op, attr, value=None):
    try:
        if op == "set":
            setattr(fn, attr, value)
        elif op == "del":
            delattr(fn, attr)
        return ("ok", getattr(fn, attr, "<missing>"))
    except (TypeError, AttributeError) as exc:
        msg = str(exc) if isinstance(exc, TypeError) else None  # AttributeError names the type
        return (type(exc).__name__, msg)


ATTR_OPS = [
    ("set", "__name__", "renamed"),
    ("set", "__name__", 1),
    ("set", "__name__", None),
    ("del", "__name__", None),
    ("set", "__qualname__", "A.b"),
    ("set", "__qualname__", b"x"),
    ("del", "__qualname__", None),
    ("set", "__doc__", "text"),
    ("set", "__doc__", 42),
    ("del", "__doc__", None),
    ("set", "__module__", "elsewhere"),
    ("set", "__module__", 3),
    ("del", "__module__", None),
    ("set", "__defaults__", (1, 2)),
    ("set", "__defaults__", None),
    ("set", "__defaults__", [1]),
    ("set", "__defaults__", ()),
    ("del", "__defaults__", None),
    ("set", "__dict__", {"a": 1}),
    ("set", "__dict__", 1),
    ("del", "__dict__", None),
    ("set", "custom", [1]),
    ("del", "custom", None),
    ("del", "nonexistent", None),
]


@pytest.mark.parametrize("op,attr,value", ATTR_OPS, ids=[f"{o}-{a}-{v!r}" for o, a, v in ATTR_OPS])
def test_function_attributes_like_python(drv, restore_attrs, op, attr, value):
    for qualname, fn, params in [every_function(drv)[i] for i in (0, 1)] + [
        ("Driver.open", drv.Driver.open, ["self", "in_src", "sibling_files=[]"])
    ]:
        mirror = mirror_function(qualname, params, fn.__doc__, fn)
        if attr == "custom" and op == "del":
            fn.custom = mirror.custom = 0
        assert attr_outcome(fn, op, attr, value) == attr_outcome(mirror, op, attr, value)


def test_function_dict_and_attributes(drv, restore_attrs):
    fn = drv.Driver.open
    assert fn.__dict__ == {}
    fn.note = "x"
    assert fn.__dict__ == {"note": "x"}
    d = drv.Driver.__new__(drv.Driver)
    assert d.open.note == "x"  # a bound method reads its function's attributes
    with pytest.raises(AttributeError):
        d.open.note = "y"
    new = {"other": 1}
    fn.__dict__ = new
    assert fn.__dict__ is new and fn.other == 1 and not hasattr(fn, "note")


def test_renamed_function_keeps_working(drv, restore_attrs):
    fn = drv.read_xml_to_dict
    fn.__name__ = "other"
    fn.__qualname__ = "Some.other"
    assert repr(fn).startswith("<function Some.other at 0x")
    assert fn("<r><o name='k'/></r>") == {"k": {}}
    assert str(inspect.signature(fn)) == "(xlm_str)"


def test_code_describes_the_parameters(drv):
    code = drv.Driver.open.__code__
    assert isinstance(code, types.CodeType)
    assert code.co_argcount == 3 and code.co_varnames[:3] == ("self", "in_src", "sibling_files")
    assert code.co_kwonlyargcount == 0 and code.co_posonlyargcount == 0
    assert code.co_name == "open" and code.co_qualname == "Driver.open"
    kw = vars(drv.Driver)["set_creation_options"].__code__
    assert kw.co_argcount == 1 and kw.co_flags & inspect.CO_VARKEYWORDS and not kw.co_flags & inspect.CO_VARARGS
    assert drv.Driver.open.__code__ is code


def test_functions_cannot_be_instantiated(function_type):
    with pytest.raises(TypeError):
        function_type()


# ---- binding to instances ----------------------------------------------------------------------------


def test_binding_like_python_functions(drv, monkeypatch):
    received = []
    monkeypatch.setattr(drv, "xet", types.SimpleNamespace(fromstring=lambda text: received.append(text) or []))
    fn = drv.read_xml_to_dict

    class Holder:
        plain = fn
        static = staticmethod(fn)
        klass = classmethod(fn)

        def __bool__(self):
            return True

    h = Holder()
    assert Holder.plain is fn
    assert fn.__get__(None, Holder) is fn
    bound = h.plain
    assert type(bound) is types.MethodType
    assert bound.__func__ is fn and bound.__self__ is h
    assert bound == h.plain and hash(bound) == hash(h.plain)
    assert (bound.__name__, bound.__qualname__, bound.__module__) == ("read_xml_to_dict", "read_xml_to_dict", MODULE)
    assert str(inspect.signature(bound)) == "()"
    assert bound() == {}
    assert h.static("<r/>") == {}
    assert h.klass() == {}
    assert received == [h, "<r/>", Holder]
    with pytest.raises(TypeError, match=r"^read_xml_to_dict\(\) takes 1 positional argument but 2 were given$"):
        bound("x")


def test_methods_bind_to_instances_of_subclasses(drv):
    class Sub(drv.RasterDriver):
        pass

    s = Sub.__new__(Sub)
    m = s._get_metadata_item_
    assert m.__func__ is vars(drv.Driver)["_get_metadata_item_"]
    assert m.__self__ is s
    assert Sub._get_metadata_item_ is vars(drv.Driver)["_get_metadata_item_"]
    assert drv.Driver.__dict__["open"].__get__(s, Sub).__self__ is s


def test_super_cell_binds_the_class_made(drv, fake_gdal):
    fake_gdal.add("R", DCAP_RASTER="YES")
    original = drv.RasterDriver

    class Decoy:
        pass

    # Rebinding the global does not change what zero-argument super() sees.
    drv.RasterDriver = Decoy
    r = original("R")
    assert type(r) is original and r.name == "R"
    with pytest.raises(TypeError, match="super"):
        original.__init__(drv.Driver.__new__(drv.Driver), "R")


# ---- the shared default list of Driver.open ----------------------------------------------------------


def test_open_shares_one_default_list(drv, monkeypatch):
    calls = []
    geodatabase = types.ModuleType("vek._algos.geo.geodatabase")
    geodatabase.open_file = lambda *args: calls.append(args) or "dataset"
    monkeypatch.setitem(sys.modules, "vek._algos.geo.geodatabase", geodatabase)

    class Plain(drv.Driver):
        name = "X"
        category = "Raster"
        creatable = False
        open_options = {}

    default = drv.Driver.open.__defaults__[0]
    assert drv.Driver.open.__defaults__[0] is default and default == []
    d = Plain.__new__(Plain)
    assert d.open("a") == "dataset"
    d.open(in_src="b")
    d.open("c", sibling_files=None)
    assert [c[4] for c in calls[:2]] == [default, default]
    assert calls[0][4] is default and calls[1][4] is default
    assert calls[2][4] is None
    assert inspect.signature(drv.Driver.open).parameters["sibling_files"].default is default


# ---- traceback entries ------------------------------------------------------------------------------


class Boom(Exception):
    pass


def test_traceback_entry_of_a_module_function(drv):
    class Bad:
        def __repr__(self):
            raise Boom

    with pytest.raises(Boom) as info:
        drv._to_driver_shadow_(Bad())
    assert tb_names(info.value)[-2:] == [f"{MODULE}._to_driver_shadow_", "__repr__"]


def test_traceback_entry_of_read_xml_to_dict(drv):
    def fromstring(text):
        raise Boom

    drv.xet = types.SimpleNamespace(fromstring=fromstring)
    with pytest.raises(Boom) as info:
        drv.read_xml_to_dict("<r/>")
    assert tb_names(info.value)[-2:] == [f"{MODULE}.read_xml_to_dict", "fromstring"]


def test_traceback_entries_of_nested_methods(drv):
    class Failing(FakeGDAL):
        def GetDriverByName(self, name):
            raise Boom

    drv._gdal = Failing()
    with pytest.raises(Boom) as info:
        drv.RasterDriver("X")
    names = tb_names(info.value)
    assert names[1:] == [f"{MODULE}.RasterDriver.__init__", f"{MODULE}.Driver.__init__", "GetDriverByName"]


def test_traceback_entry_of_a_property(drv):
    class Sub(drv.Driver):
        def _get_metadata_item_(self, psz):
            raise Boom

    with pytest.raises(Boom) as info:
        Sub.__new__(Sub).long_name
    assert tb_names(info.value)[-2:] == [f"{MODULE}.Driver.long_name", "_get_metadata_item_"]
    entry = traceback.extract_tb(info.value.__traceback__)[-2]
    assert entry.filename == drv.__file__


def test_traceback_entries_of_inner_functions(drv, fake_gdal):
    fake_gdal.add("A")

    class Row:
        def __init__(self, i):
            pass

        category = "Raster"

        @property
        def name(self):
            raise Boom

    class Table:
        def __init__(self, *args):
            pass

        def __getattr__(self, name):
            return lambda *args: None

    drv.Driver = Row
    drv.gdata = types.SimpleNamespace(VEKHTMLTable=Table)
    drv.env = types.SimpleNamespace(JupyterShowMaxShape=(10, 10))
    stats = drv.DriveStatistics()
    with pytest.raises(Boom) as info:
        stats._repr_html_()
    prefix = f"{MODULE}.DriveStatistics._repr_html_"
    assert tb_names(info.value)[1:] == [
        prefix,
        prefix + ".<locals>.set_items",
        prefix + ".<locals>.get_fields",
        "name",
    ]


def test_exception_passes_unchanged(drv):
    exc = Boom("the very one")

    def fromstring(text):
        raise exc

    drv.xet = types.SimpleNamespace(fromstring=fromstring)
    with pytest.raises(Boom) as info:
        drv.read_xml_to_dict("<r/>")
    assert info.value is exc
    assert info.value.__context__ is None and info.value.__cause__ is None


# ---- garbage collection -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make_cycle",
    [
        "f.me = f",
        "f.__dict__ = {'me': [f]}",
        "f.__defaults__ = ([f],)",
        "f.__doc__ = [f]",
        "f.__module__ = [f]",
        "f.__name__ = Name('read_xml_to_dict'); f.__name__.owner = f",
        "f.__qualname__ = Name('read_xml_to_dict'); f.__qualname__.owner = f",
    ],
)
def test_cycles_through_a_function_are_collected(make_cycle):
    out = run_child(
        f"""
        import gc, weakref
        import vek._algos.geo.driver as d
        class Name(str):
            pass
        f = d.read_xml_to_dict
        died = []
        r = weakref.ref(f, died.append)
        {make_cycle}
        del d.read_xml_to_dict, f
        gc.collect()
        print(r() is None, len(died))
        """
    )
    assert out.split() == ["True", "1"]


def test_class_and_its_super_cell_are_collected():
    out = run_child(
        """
        import gc, weakref
        import vek._algos.geo.driver as d
        cls = d.VectorDriver
        r_cls = weakref.ref(cls)
        r_init = weakref.ref(vars(cls)["__init__"])
        del d.VectorDriver, cls
        gc.collect()
        print(r_cls() is None, r_init() is None)
        """
    )
    assert out.split() == ["True", "True"]


def test_weak_references_to_functions(drv):
    fn = drv.Driver.open
    ref = weakref.ref(fn)
    assert ref() is fn
    assert weakref.ref(fn) is ref
    proxy = weakref.proxy(fn)
    assert proxy.__qualname__ == "Driver.open"


# ---- copies and pickles go by reference, as for Python functions -------------------------------------


def test_copy_and_pickle_by_reference(drv):
    for qualname, fn, _ in every_function(drv):
        assert copy.copy(fn) is fn and copy.deepcopy([fn])[0] is fn, qualname
    for fn in (drv.read_xml_to_dict, drv._to_driver_shadow_, drv.Driver.open, drv.RasterDriver.__init__):
        assert pickle.loads(pickle.dumps(fn)) is fn
    getter = drv.Driver.name.fget  # not reachable under its name, as for Python code
    with pytest.raises(pickle.PicklingError, match="not the same object"):
        pickle.dumps(getter)

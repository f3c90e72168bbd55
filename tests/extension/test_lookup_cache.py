"""The lookup shortcuts (version-tag guards, reused argument tuples): each is
really taken, and every lookup rule stays observable around it, whether the
class changes before or after the first use.

The counts come from ``type(f)._cache_counts()`` on the module's function
type; a shortcut whose guard never holds leaves its count at zero and still
passes every behaviour test, which is why the counts are checked at all.
Only a build for tests counts (VEK_COUNTERS=ON: the development install and
the ASan build); elsewhere the count tests are skipped. A build without the
shortcuts (VEK_FASTPATH=OFF) has no counters either: the behaviour tests
then check the generic path they must equal."""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest


def counts(drv):
    return type(drv.Driver.__init__)._cache_counts()


def has_shortcuts(drv):
    return type(drv.Driver.__init__)._shortcuts()


def has_counters(drv):
    return hasattr(type(drv.Driver.__init__), "_cache_counts")


def test_shortcuts_are_built_where_the_layout_is_proven(drv):
    # The build turns them off by itself where CPython's layout is not the
    # one they read (free-threaded, after 3.14), and must not lose them on a
    # 3.13 or 3.14 with the GIL.
    proven = sys.version_info[:2] in ((3, 13), (3, 14)) and not sysconfig.get_config_var("Py_GIL_DISABLED")
    expected = proven and not os.environ.get("VEK_GENERIC_SITE")
    assert has_shortcuts(drv) is expected


# statement (d is Driver("GTiff")), shortcut, taken at least this often per run
TAKEN = [
    ("d.name", "attr_reads", 1),                       # self._driver
    ("d.is_raster", "method_calls", 1),                # self._get_metadata_item_(...)
    ("d.is_raster", "tuple_reuses", 1),                # MajorObject_GetMetadataItem(handle, key)
    ("d.category", "property_reads", 2),               # self.is_raster, self.is_vector
    ("drv.Driver('GTiff')", "attr_stores", 3),         # _driver, _open_opts, _creation_opts
    ("drv.RasterDriver('GTiff')", "method_calls", 1),  # __init__ called without a tuple
    ("repr(d)", "method_calls", 1),                    # self.__str__()
]


@pytest.mark.parametrize("stmt, counter, least", TAKEN, ids=[f"{s}-{c}" for s, c, _ in TAKEN])
def test_shortcut_is_taken(drv, stmt, counter, least):
    if not has_shortcuts(drv):
        pytest.skip("built without the shortcuts (VEK_FASTPATH=OFF)")
    if not has_counters(drv):
        pytest.skip("built without the shortcut counters (VEK_COUNTERS=OFF; make setup turns them on)")
    d = drv.Driver("GTiff")
    env = {"drv": drv, "d": d}
    eval(stmt, env)  # entries are made on the first use
    before = counts(drv)[counter]
    for _ in range(10):
        eval(stmt, env)
    assert counts(drv)[counter] - before >= 10 * least


def other_handle(gdal):
    return gdal.GetDriverByName("MEM")


class TakesAll:
    """A data descriptor that answers every read and ignores stores."""

    def __init__(self, value):
        self.value = value

    def __get__(self, obj, cls=None):
        return self.value

    def __set__(self, obj, value):
        pass


# Each change: (applied to a subclass S of Driver and an instance s of it,
# what s.name or s.category must then give). Every change is tried before
# the first use and after it.
def shadow_method(S, s, gdal):
    s._get_metadata_item_ = lambda key: "YES"
    return "category", "Raster/Vector"


def shadow_method_by_equal_name(S, s, gdal):
    # object.__setattr__ keeps the name it is given: an equal str, not the interned one
    object.__setattr__(s, "".join(["_get_metadata", "_item_"]), lambda key: "YES")
    return "category", "Raster/Vector"


def rebind_method(S, s, gdal):
    S._get_metadata_item_ = lambda self, key: "YES" if key == "DCAP_VECTOR" else ""
    return "category", "Vector"


def data_descriptor_for_handle(S, s, gdal):
    S._driver = TakesAll(other_handle(gdal))
    return "name", "MEM"


def getattribute_on_class(S, s, gdal):
    def lookup(self, name):
        if name == "_driver":
            return other_handle(gdal)
        return object.__getattribute__(self, name)

    S.__getattribute__ = lookup
    return "name", "MEM"


def getattribute_on_base(S, s, gdal):
    # a class between Driver and the instance's class, changed later
    base = S.__bases__[0]
    base.__getattribute__ = lambda self, name: (other_handle(gdal) if name == "_driver"
                                                 else object.__getattribute__(self, name))
    return "name", "MEM"


def replace_property(S, s, gdal):
    S.is_raster = property(lambda self: False)
    return "category", ""


def reinit_property(S, s, gdal):
    S.is_vector.__init__(lambda self: True)
    return "category", "Raster/Vector"


def instance_value_for_handle(S, s, gdal):
    s.__dict__["_driver"] = other_handle(gdal)
    return "name", "MEM"


def new_instance_dict(S, s, gdal):
    s.__dict__ = {"_driver": other_handle(gdal), "_open_opts": {}, "_creation_opts": {}}
    return "name", "MEM"


def detached_dict(S, s, gdal):
    d = vars(s)
    d[0] = None  # no shared-key table takes it: the values move to a dict of their own
    d["_driver"] = other_handle(gdal)
    return "name", "MEM"


def class_assignment(S, s, gdal):
    s.__class__ = type("T", (S,), {"_driver": TakesAll(other_handle(gdal))})
    return "name", "MEM"


def own_str_on_class(S, s, gdal):
    S.__str__ = lambda self: "own str"
    return "__repr__", "own str"


CHANGES = [shadow_method, shadow_method_by_equal_name, rebind_method, data_descriptor_for_handle, getattribute_on_class, getattribute_on_base,
           replace_property, reinit_property, instance_value_for_handle, new_instance_dict, detached_dict,
           class_assignment, own_str_on_class]


@pytest.mark.parametrize("change", CHANGES, ids=[c.__name__ for c in CHANGES])
@pytest.mark.parametrize("used_first", [False, True], ids=["before-use", "after-use"])
def test_every_rule_seen_by_the_next_read(drv, gdal, change, used_first):
    Middle = type("Middle", (drv.Driver,), {})
    S = type("S", (Middle,), {"is_vector": property(drv.Driver.is_vector.fget)})
    s = S("GTiff")
    if used_first:
        for _ in range(3):
            assert (s.name, s.category, repr(s)) == ("GTiff", "Raster", "GTiff - Raster")
    attr, expected = change(S, s, gdal)
    got = s.__repr__() if attr == "__repr__" else getattr(s, attr)
    assert got == expected
    # the plain Driver class is untouched
    assert (drv.Driver("GTiff").name, drv.Driver("GTiff").category) == ("GTiff", "Raster")


def test_store_honours_a_data_descriptor_added_after_use(drv, gdal):
    S = type("S", (drv.Driver,), {})
    S("GTiff")
    seen = []

    class Recording:
        def __get__(self, obj, cls=None):
            return seen[-1]

        def __set__(self, obj, value):
            seen.append(value)

    S._open_opts = Recording()
    s = S("GTiff")
    assert seen == [{}] and "_open_opts" not in vars(s) and s.open_options_info is seen[-1]


def test_kept_argument_tuple_holds_nothing_between_calls(drv):
    import gc
    import weakref

    class Key(str):
        pass

    key = Key("DCAP_RASTER")
    ref = weakref.ref(key)
    assert drv.Driver("GTiff")._get_metadata_item_(key) == "YES"
    del key
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("shape", [
    "class R(drv.RasterDriver): __str__ = drv.RasterDriver.__repr__\nstr(R())",
    "class R(drv.Driver): is_raster = drv.Driver.category\nR('GTiff').category",
], ids=["method", "property"])
def test_direct_calls_that_recurse_end_in_recursion_error(shape):
    code = ("import vek._algos.geo.driver as drv\ndef run():\n    try:\n" + textwrap.indent(shape, "        ")
            + "\n    except RecursionError:\n        print('RecursionError')\n")
    if os.environ.get("VEK_ASAN_SITE"):
        # ASan's frames are several times larger: 3.13's count of C calls
        # needs a larger stack than the main thread's under it. 3.14 bounds
        # them by the stack itself, which must then stay under the 64 MB
        # beyond which ASan no longer clears the frames a C++ throw leaves
        # (false stack-buffer-overflow reports).
        mb = 48 if sys.version_info >= (3, 14) else 512
        code += f"import threading\nthreading.stack_size({mb} << 20)\nt = threading.Thread(target=run)\nt.start(); t.join()\n"
    else:
        code += "run()\n"
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert res.returncode == 0 and res.stdout.strip() == "RecursionError", res.stderr[-2000:]


def test_stores_after_the_dict_was_made_go_through_it(drv):
    s = object.__new__(drv.Driver)
    d = vars(s)  # made before __init__ stores: it shares the inline values
    drv.Driver.__init__(s, "GTiff")
    assert len(d) == 3 and list(d) == ["_driver", "_open_opts", "_creation_opts"] and s.name == "GTiff"


# How the object a class attribute holds becomes a data descriptor after
# the first use, without any change to the class that holds it (whose
# version tag therefore stands).
def get_and_set_on_its_class(D, found, E):
    D.__get__, D.__set__ = E.__get__, E.__set__


def get_and_set_on_a_base_of_its_class(D, found, E):
    D.__bases__[0].__get__, D.__bases__[0].__set__ = E.__get__, E.__set__


def its_class_replaced(D, found, E):
    found.__class__ = E


TURNS = [get_and_set_on_its_class, get_and_set_on_a_base_of_its_class, its_class_replaced]


@pytest.mark.parametrize("storage", ["inline", "dict"])
@pytest.mark.parametrize("turn", TURNS, ids=[t.__name__ for t in TURNS])
def test_class_attribute_that_becomes_a_data_descriptor(drv, gdal, turn, storage):
    mem, stored = other_handle(gdal), []

    class Base:
        pass

    class D(Base):
        pass

    class E:
        def __get__(self, obj, cls=None):
            return mem

        def __set__(self, obj, value):
            stored.append(value)

    A = type("A", (drv.Driver,), {"_driver": D()})

    def make():
        if storage == "inline":
            return A("GTiff")
        a = object.__new__(A)
        a.__dict__ = {}  # the attributes live in a dict of their own
        drv.Driver.__init__(a, "GTiff")
        return a

    a = make()
    assert a.name == "GTiff"  # a plain class value: the instance's own wins
    turn(D, A.__dict__["_driver"], E)
    assert a.name == "MEM"  # a data descriptor wins over the instance's own
    b = make()
    assert "_driver" not in vars(b) and len(stored) == 1 and b.name == "MEM"


def test_class_without_init_refuses_arguments_as_python_does():
    code = textwrap.dedent("""
        import vek._algos.geo.driver as drv
        del drv.Driver.__init__
        for call in (lambda: drv.Driver("GTiff"), lambda: drv.Driver(name="GTiff")):
            try:
                call()
            except TypeError as e:
                print(e)
        print(type(drv.Driver()).__name__)
    """)
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert res.stdout.splitlines() == ["Driver() takes no arguments"] * 2 + ["Driver"], res.stderr[-2000:]

"""Import-time rules, each checked in a fresh interpreter: one body run per
process, reload, the module object, the create step, failed imports and their
retry, the one-interpreter and one-initialisation rules."""

import json

import pytest

from fakes import run_child

MODULE = "vek._algos.geo.driver"
BASE_NAMES = ["error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path", "_gdal"]
ONE_INTERPRETER = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# A stand-in for `base`: the real values through a module __getattr__ that records each name asked for.
FAKE_BASE = """
import sys, types
import vek._algos.geo.base as real_base
asked = []
def make_fake_base(missing=()):
    fake = types.ModuleType("vek._algos.geo.base")
    def __getattr__(name):
        if not name.startswith("__"):  # the import system probes __path__ and the like
            asked.append(name)
        if name in missing:
            raise AttributeError(name)
        return getattr(real_base, name)
    fake.__getattr__ = __getattr__
    sys.modules["vek._algos.geo.base"] = fake
"""


def child_json(code, prelude=""):
    return json.loads(run_child(code, prelude).strip().splitlines()[-1])


def test_module_object_and_a_second_import_or_reload_without_rerunning_the_body():
    result = child_json("""
        import builtins, importlib, json, sys
        make_fake_base()
        import vek._algos.geo.driver as first
        d = first
        module = [d.__name__, d.__doc__, d.__builtins__ is builtins, type(d.__test__).__name__, dict(d.__test__),
                  d.__file__ == d.__spec__.origin, d.__loader__ is d.__spec__.loader, d.__package__,
                  hasattr(d, "__path__"), sys.modules["vek._algos.geo"].driver is d]
        first.__test__["marker"] = 1
        saved = dict(vars(first))
        import vek._algos.geo.driver as again
        del sys.modules["vek._algos.geo.driver"]
        third = importlib.import_module("vek._algos.geo.driver")
        reloaded = importlib.reload(third)
        # Names bound by the body must be the very same objects; the import
        # system's own attributes are set again with equal values.
        ns = vars(third)
        machinery = {"__name__", "__spec__", "__loader__", "__package__", "__file__", "__cached__"}
        changed = [k for k, v in saved.items() if not (ns[k] == v if k in machinery else ns[k] is v)]
        print(json.dumps({
            "same": first is again is third is reloaded is sys.modules["vek._algos.geo.driver"],
            "order": list(ns) == list(saved), "changed": changed, "test": third.__test__, "asked": asked,
            "module": module, "names": list(ns)[list(ns).index("__builtins__") + 1:],
        }))
        """, FAKE_BASE)
    assert result == {"same": True, "order": True, "changed": [], "test": {"marker": 1}, "asked": BASE_NAMES,
                      "module": [MODULE, None, True, "dict", {}, True, True, "vek._algos.geo", False, True],
                      "names": BASE_NAMES + ["_to_driver_shadow_", "read_xml_to_dict", "Driver", "RasterDriver",
                                             "VectorDriver", "DriveStatistics", "__test__"]}


def test_create_step_copies_the_spec_attributes():
    result = child_json("""
        import importlib.util, json, types
        real = importlib.util.find_spec("vek._algos.geo.driver")
        create = real.loader.create_module
        class ModuleDescription:
            name, origin, loader, parent = "other.driver", real.origin, "the loader", "other"
            submodule_search_locations = ["/nowhere"]
        full = create(ModuleDescription)
        minimal = create(types.SimpleNamespace(name="x.driver", origin=real.origin))
        no_path = create(types.SimpleNamespace(name="y.driver", origin=real.origin, submodule_search_locations=None))
        class Broken(ModuleDescription):
            @property
            def parent(self):
                raise ValueError("no parent")
        try:
            create(Broken())
            broken = None
        except ValueError as exc:
            broken = str(exc)
        print(json.dumps({
            "full": [full.__name__, full.__file__ == real.origin, full.__loader__, full.__package__, full.__path__],
            "minimal": [minimal.__name__, minimal.__file__ == real.origin, minimal.__loader__,
                        minimal.__package__, hasattr(minimal, "__path__")],
            "none_path": hasattr(no_path, "__path__"), "fresh": full is not minimal, "broken": broken,
        }))
        """)
    assert result == {
        "full": ["other.driver", True, "the loader", "other", ["/nowhere"]],
        "minimal": ["x.driver", True, None, None, False],
        "none_path": False, "fresh": True, "broken": "no parent",
    }


def test_base_without_mem_temp_path_fails_then_a_retry_succeeds():
    result = child_json("""
        import json, sys, traceback, types
        make_fake_base(missing={"mem_temp_path"})
        try:
            import vek._algos.geo.driver
        except BaseException as exc:
            error = exc
        last = error.__traceback__
        while last.tb_next is not None:
            last = last.tb_next
        discarded = last.tb_frame.f_globals
        first = [type(error).__name__, str(error), traceback.extract_tb(error.__traceback__)[-1].name, list(asked),
                 [k for k in discarded if not k.startswith("__")], "vek._algos.geo.driver" in sys.modules]
        del asked[:]
        # Retried with the name offered as a loaded module of that dotted name instead.
        sub = sys.modules["vek._algos.geo.base.mem_temp_path"] = types.ModuleType("vek._algos.geo.base.mem_temp_path")
        import vek._algos.geo.driver as d
        print(json.dumps({
            "first": first, "asked": asked, "fresh": vars(d) is not discarded, "sub": d.mem_temp_path is sub,
            "defined": [k for k in vars(d) if not k.startswith("__")], "gdal": d._gdal.__name__,
            "works": d._to_driver_shadow_(None) is None and d.read_xml_to_dict("<r/>") == {},
        }))
        """, FAKE_BASE)
    assert result == {
        "first": ["ImportError", "cannot import name mem_temp_path", "init vek._algos.geo.driver", BASE_NAMES[:7],
                  BASE_NAMES[:6], False],
        "asked": BASE_NAMES, "fresh": True, "sub": True, "works": True, "gdal": "osgeo._gdal",
        "defined": BASE_NAMES + ["_to_driver_shadow_", "read_xml_to_dict", "Driver", "RasterDriver", "VectorDriver",
                                 "DriveStatistics"],
    }


@pytest.mark.parametrize("breakage,expected_type,expected_message", [
    ('sys.modules["vek._algos.geo.base"] = None', "ModuleNotFoundError", None),
    ("make_fake_base(missing={'error'})", "ImportError", "cannot import name error"),
    ("make_fake_base(missing={'_gdal'})", "ImportError", "cannot import name _gdal"),
    ("del builtins.range", "NameError", "name 'range' is not defined"),
])
def test_failed_import_carries_the_init_entry(breakage, expected_type, expected_message):
    result = child_json(f"""
        import builtins, json, sys, traceback
        saved = dict(vars(builtins))
        {breakage}
        try:
            import vek._algos.geo.driver
        except BaseException as exc:
            error = exc
        vars(builtins).update(saved)
        print(json.dumps([type(error).__name__, str(error), traceback.extract_tb(error.__traceback__)[-1].name,
                          "vek._algos.geo.driver" in sys.modules]))
        """, FAKE_BASE)
    assert result[0] == expected_type and result[2:] == ["init vek._algos.geo.driver", False]
    assert expected_message is None or result[1] == expected_message


def test_builtins_are_taken_when_the_body_starts():
    result = child_json("""
        import builtins, json
        original = builtins.property
        class Recording(property):
            pass
        builtins.property = Recording
        import vek._algos.geo.driver as d
        builtins.property = original
        builtins.super = None  # the body keeps the super it found
        print(json.dumps([type(vars(d.Driver)["name"]) is Recording, d.RasterDriver("GTiff").name]))
        """)
    assert result == [True, "GTiff"]


def test_second_interpreter_is_refused():
    pytest.importorskip("_interpreters")
    result = child_json("""
        import json, os, tempfile, _interpreters
        import vek._algos.geo.driver as d
        path = os.path.join(tempfile.mkdtemp(), "out")
        iid = _interpreters.create("legacy")
        _interpreters.run_string(iid, "try:\\n    import vek._algos.geo.driver\\n    out = 'imported'\\n"
                                      "except ImportError as exc:\\n    out = str(exc)\\n"
                                      f"open({path!r}, 'w').write(out)\\n")
        _interpreters.destroy(iid)
        print(json.dumps([open(path).read(), d.Driver.__name__]))
        """)
    assert result == [ONE_INTERPRETER, "Driver"]


def test_interpreter_that_imports_first_keeps_the_module():
    pytest.importorskip("_interpreters")
    result = child_json("""
        import json, os, _interpreters
        iid = _interpreters.create("legacy")
        failure = _interpreters.run_string(iid, "import vek._algos.geo.driver")
        try:
            import vek._algos.geo.driver
            main = "imported"
        except ImportError as exc:
            main = str(exc)
        print(json.dumps([failure is None, main]), flush=True)
        os._exit(0)  # the module belongs to the other interpreter; leave it alone
        """)
    assert result == [True, ONE_INTERPRETER]


def test_exec_step_on_another_module_is_refused():
    # Only the module that was initialised may pass the exec step again (and then nothing re-runs).
    result = child_json("""
        import ctypes, json, types
        import vek._algos.geo.driver as d
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(d)
        driver_cls = d.Driver
        same = api.PyModule_ExecDef(d, definition)
        try:
            api.PyModule_ExecDef(types.ModuleType("other"), definition)
            other = None
        except RuntimeError as exc:
            other = str(exc)
        print(json.dumps([same, d.Driver is driver_cls, other]))
        """)
    assert result == [0, True, "Module 'driver' has already been imported. Re-initialisation is not supported."]

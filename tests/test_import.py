"""Import-time rules of the module, each checked in a fresh interpreter process:
one body run per process, reload, failed imports and their retry, the
one-interpreter rule, the one-initialisation rule and the module object."""

import json
import subprocess
import sys
import textwrap

import pytest

MODULE = "vek._algos.geo.driver"
BASE_NAMES = ["error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path", "_gdal"]

# A stand-in for the sibling module `base`: the real module's values, handed
# out through a module __getattr__ that records each name asked for. The
# names listed in MISSING are not offered.
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
    return fake
"""


# Compares a module namespace with an earlier copy: the names the body binds
# must be the very same objects; the import system's own attributes, which
# it sets again on every import and reload, must hold equal values.
COMPARE = """
IMPORT_SYSTEM = {"__spec__", "__loader__", "__package__", "__file__", "__cached__"}

def changed(module, saved):
    ns = vars(module)
    out = [] if list(ns) == list(saved) else ["<order>"]
    for key, value in saved.items():
        if key == "__spec__":
            same = (ns[key].name, ns[key].origin) == (value.name, value.origin)
        elif key == "__loader__":
            same = (type(ns[key]), ns[key].path) == (type(value), value.path)
        elif key in IMPORT_SYSTEM:
            same = ns[key] == value
        else:
            same = ns[key] is value
        if not same:
            out.append(key)
    return out
"""


def run_child(code, prelude=""):
    """Runs `code` in a new interpreter and returns what it printed as JSON."""
    source = textwrap.dedent(prelude) + textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_second_import_gives_the_same_module_and_runs_the_body_once():
    result = run_child(
        """
        import importlib, json, sys
        make_fake_base()
        import vek._algos.geo.driver as first
        first.__test__["marker"] = 1
        ns = dict(vars(first))
        import vek._algos.geo.driver as again
        del sys.modules["vek._algos.geo.driver"]
        third = importlib.import_module("vek._algos.geo.driver")
        print(json.dumps({
            "same": first is again is third is sys.modules["vek._algos.geo.driver"],
            "changed": changed(third, ns),
            "test": third.__test__,
            "asked": asked,
        }))
        """,
        FAKE_BASE + COMPARE,
    )
    assert result == {"same": True, "changed": [], "test": {"marker": 1}, "asked": BASE_NAMES}


def test_reload_succeeds_and_changes_nothing():
    result = run_child(
        """
        import importlib, json
        make_fake_base()
        import vek._algos.geo.driver as d
        d.__test__["marker"] = 1
        ns = dict(vars(d))
        again = importlib.reload(d)
        print(json.dumps({
            "same": again is d,
            "changed": changed(d, ns),
            "test": d.__test__,
            "asked": asked,
        }))
        """,
        FAKE_BASE + COMPARE,
    )
    assert result == {"same": True, "changed": [], "test": {"marker": 1}, "asked": BASE_NAMES}


def test_module_object():
    result = run_child(
        """
        import builtins, json, sys
        import vek._algos.geo.driver as d
        spec = d.__spec__
        print(json.dumps({
            "name": d.__name__,
            "doc": d.__doc__,
            "builtins": d.__builtins__ is builtins,
            "test": [type(d.__test__).__name__, d.__test__],
            "file": d.__file__ == spec.origin,
            "loader": d.__loader__ is spec.loader,
            "package": d.__package__,
            "path": hasattr(d, "__path__"),
            "in_sys_modules": sys.modules["vek._algos.geo.driver"] is d,
            "package_attr": sys.modules["vek._algos.geo"].driver is d,
        }))
        """
    )
    assert result == {
        "name": MODULE,
        "doc": None,
        "builtins": True,
        "test": ["dict", {}],
        "file": True,
        "loader": True,
        "package": "vek._algos.geo",
        "path": False,
        "in_sys_modules": True,
        "package_attr": True,
    }


def test_create_step_copies_the_spec_attributes():
    # The create step alone, run by the extension loader with specs of our own.
    result = run_child(
        """
        import importlib.util, json, types
        real = importlib.util.find_spec("vek._algos.geo.driver")
        class ModuleDescription:
            name = "other.driver"
            origin = real.origin
            loader = "the loader"
            parent = "other"
            submodule_search_locations = ["/nowhere"]
        full = real.loader.create_module(ModuleDescription)
        bare = types.SimpleNamespace(name="x.driver", origin=real.origin)
        minimal = real.loader.create_module(bare)
        class Broken(ModuleDescription):
            @property
            def parent(self):
                raise ValueError("no parent")
        try:
            real.loader.create_module(Broken())
            broken = None
        except ValueError as exc:
            broken = str(exc)
        print(json.dumps({
            "full": [full.__name__, full.__file__ == real.origin, full.__loader__, full.__package__, full.__path__],
            "none_path": hasattr(real.loader.create_module(types.SimpleNamespace(
                name="y.driver", origin=real.origin, submodule_search_locations=None)), "__path__"),
            "minimal": [minimal.__name__, minimal.__file__ == real.origin, minimal.__loader__,
                        minimal.__package__, hasattr(minimal, "__path__")],
            "fresh": full is not minimal,
            "broken": broken,
        }))
        """
    )
    assert result == {
        "full": ["other.driver", True, "the loader", "other", ["/nowhere"]],
        "none_path": False,
        "minimal": ["x.driver", True, None, None, False],
        "fresh": True,
        "broken": "no parent",
    }


def test_base_without_mem_temp_path_fails_then_a_retry_succeeds():
    result = run_child(
        """
        import json, sys, traceback
        make_fake_base(missing={"mem_temp_path"})
        try:
            import vek._algos.geo.driver
        except BaseException as exc:
            error = exc
        tb = traceback.extract_tb(error.__traceback__)
        last = error.__traceback__
        while last.tb_next is not None:
            last = last.tb_next
        discarded = last.tb_frame.f_globals
        first_try = {
            "type": type(error).__name__,
            "message": str(error),
            "entry": tb[-1].name,
            "asked": list(asked),
            "bound": [k for k in discarded if not k.startswith("__")],
            "in_sys_modules": "vek._algos.geo.driver" in sys.modules,
        }
        # Fixed: base now offers every name.
        del asked[:]
        make_fake_base()
        import vek._algos.geo.driver as d
        print(json.dumps({
            "first": first_try,
            "asked": list(asked),
            "fresh": vars(d) is not discarded,
            "defined": [k for k in vars(d) if not k.startswith("__")],
            "works": d._to_driver_shadow_(None) is None and d.read_xml_to_dict("<r/>") == {},
            "mem_temp_path": d.mem_temp_path is sys.modules["vek._algos.geo.base"].__getattr__("mem_temp_path"),
        }))
        """,
        FAKE_BASE,
    )
    assert result["first"] == {
        "type": "ImportError",
        "message": "cannot import name mem_temp_path",
        "entry": "init vek._algos.geo.driver",
        "asked": BASE_NAMES[:7],
        "bound": BASE_NAMES[:6],
        "in_sys_modules": False,
    }
    assert result["asked"] == BASE_NAMES
    assert result["fresh"] and result["works"] and result["mem_temp_path"]
    assert result["defined"] == BASE_NAMES + [
        "_to_driver_shadow_",
        "read_xml_to_dict",
        "Driver",
        "RasterDriver",
        "VectorDriver",
        "DriveStatistics",
    ]


def test_missing_name_taken_from_a_loaded_submodule():
    result = run_child(
        """
        import json, sys, types
        make_fake_base(missing={"mem_temp_path"})
        sub = types.ModuleType("vek._algos.geo.base.mem_temp_path")
        sys.modules["vek._algos.geo.base.mem_temp_path"] = sub
        import vek._algos.geo.driver as d
        print(json.dumps({"bound": d.mem_temp_path is sub, "gdal": d._gdal.__name__}))
        """,
        FAKE_BASE,
    )
    assert result == {"bound": True, "gdal": "osgeo._gdal"}


@pytest.mark.parametrize(
    "breakage,expected_type,expected_message",
    [
        ('sys.modules["vek._algos.geo.base"] = None', "ModuleNotFoundError", None),
        ("make_fake_base(missing={'error'})", "ImportError", "cannot import name error"),
        ("make_fake_base(missing={'_gdal'})", "ImportError", "cannot import name _gdal"),
        ("del builtins.range", "NameError", "name 'range' is not defined"),
    ],
)
def test_failed_import_carries_the_init_entry(breakage, expected_type, expected_message):
    result = run_child(
        f"""
        import builtins, json, sys, traceback
        saved = dict(vars(builtins))
        {breakage}
        try:
            import vek._algos.geo.driver
        except BaseException as exc:
            error = exc
        vars(builtins).update(saved)
        print(json.dumps({{
            "type": type(error).__name__,
            "message": str(error),
            "entry": traceback.extract_tb(error.__traceback__)[-1].name,
            "in_sys_modules": "vek._algos.geo.driver" in sys.modules,
        }}))
        """,
        FAKE_BASE,
    )
    assert result["type"] == expected_type
    if expected_message is not None:
        assert result["message"] == expected_message
    assert result["entry"] == "init vek._algos.geo.driver"
    assert result["in_sys_modules"] is False


def test_builtins_are_taken_when_the_body_starts():
    result = run_child(
        """
        import builtins, json
        original = builtins.property
        class Recording(property):
            pass
        builtins.property = Recording
        import vek._algos.geo.driver as d
        builtins.property = original
        builtins.super = None  # the body keeps the super it found
        from osgeo import _gdal
        r = d.RasterDriver("GTiff")
        print(json.dumps({
            "property": type(vars(d.Driver)["name"]) is Recording,
            "raster": r.name,
        }))
        """
    )
    assert result == {"property": True, "raster": "GTiff"}


def test_second_interpreter_is_refused():
    result = run_child(
        """
        import json
        import vek._algos.geo.driver as d
        code = (
            "import json\\n"
            "try:\\n"
            "    import vek._algos.geo.driver\\n"
            "    out = 'imported'\\n"
            "except ImportError as exc:\\n"
            "    out = str(exc)\\n"
            "open(PATH, 'w').write(out)\\n"
        )
        import os, tempfile
        path = os.path.join(tempfile.mkdtemp(), "out")
        code = code.replace("PATH", repr(path))
        try:
            import _interpreters
        except ImportError:
            _interpreters = None
        if _interpreters is not None:
            iid = _interpreters.create("legacy")
            _interpreters.run_string(iid, code)
            _interpreters.destroy(iid)
            how = "_interpreters"
        else:
            try:
                import _testcapi
            except ImportError:
                print(json.dumps({"how": None}))
                raise SystemExit
            _testcapi.run_in_subinterp(code)
            how = "_testcapi"
        print(json.dumps({"how": how, "message": open(path).read(), "main_still": d.Driver.__name__}))
        """
    )
    if result["how"] is None:
        pytest.skip("neither _interpreters nor _testcapi can make a second interpreter")
    assert result["message"] == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )
    assert result["main_still"] == "Driver"


def test_interpreter_that_imports_first_keeps_the_module():
    pytest.importorskip("_interpreters")
    result = run_child(
        """
        import json, os, _interpreters
        iid = _interpreters.create("legacy")
        failure = _interpreters.run_string(iid, "import vek._algos.geo.driver")
        try:
            import vek._algos.geo.driver
            main = "imported"
        except ImportError as exc:
            main = str(exc)
        print(json.dumps({"sub": failure is None, "main": main}), flush=True)
        os._exit(0)  # the module belongs to the other interpreter; leave it alone
        """
    )
    assert result == {
        "sub": True,
        "main": "Interpreter change detected - this module can only be loaded into one interpreter per process.",
    }


def test_exec_step_on_another_module_is_refused():
    # The exec step, run through the C API for a second module object: only
    # the module that was initialised may pass it (and then nothing re-runs).
    result = run_child(
        """
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
        print(json.dumps({"same": same, "unchanged": d.Driver is driver_cls, "other": other}))
        """
    )
    assert result == {
        "same": 0,
        "unchanged": True,
        "other": "Module 'driver' has already been imported. Re-initialisation is not supported.",
    }

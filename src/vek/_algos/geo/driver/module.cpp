// The module frame: multi-phase initialisation, the namespace, driver handle
// coercion (_to_driver_shadow_) and the option-list reader (read_xml_to_dict).
#include "driver.hpp"
#include "names.hpp"
#include "statistics.hpp"

#include <iterator>
#include <utility>

namespace vek {

namespace {

// ---- process-wide state ----------------------------------------------------------------
// The module keeps its state in its namespace and in these two values, each
// written once per process by the create and exec steps.

int64_t first_interpreter = -1;
PyObject* initialised_module = nullptr;  // strong, once the body has started

const Str k_marker{"GDALDriverShadow *"};
const Str k_this{"this"};
const Str k_repr{"__repr__"};
const Str k_driver_open{"Driver("};
const Str k_is_incorrect{") is incorrect!"};
const Str k_xet{"xet"};
const Str k_fromstring{"fromstring"};
const Str k_attrib{"attrib"};
const Str k_text{"text"};
const Str k_pop{"pop"};
const Str k_test{"__test__"};
const Str k_builtins_attr{"__builtins__"};
const Str k_init_entry{"init vek._algos.geo.driver"};
const Str k_RasterDriver{"RasterDriver"};
const Str k_VectorDriver{"VectorDriver"};
const Str k_DriveStatistics{"DriveStatistics"};

// The names taken from the sibling module `base`, in binding order.
const Str* const base_names[] = {&k_error, &k_gdata, &k_dtypes,        &k_call_gdal_fun,
                                 &k_xet,   &k_env,   &k_mem_temp_path, &k_gdal};

// ---- _to_driver_shadow_ ------------------------------------------------------------------

// Whether `obj.__repr__()` contains the handle marker.
bool prints_as_handle(PyObject* obj) {
    Ref text = fast::repr(obj);
    if (!text) text = call_method(obj, k_repr);
    return contains(text.get(), *k_marker);
}

Ref to_driver_shadow(Function*, PyObject* const* args) {
    Ref data = Ref::borrow(args[0]);
    PyObject* allow_error = args[1];
    Ref driver_cls = global(k_Driver);
    if (is_instance(data.get(), driver_cls.get())) data = getattr(data.get(), k_driver);
    if (prints_as_handle(data.get())) return data;
    PyObject* raw = nullptr;
    check(PyObject_GetOptionalAttr(data.get(), *k_this, &raw));
    Ref this_ = Ref::steal_or_null(raw);
    if (this_ && truth(this_.get()) && prints_as_handle(this_.get())) return this_;
    if (truth(allow_error)) return Ref::borrow(Py_None);
    Ref text = format_text(data.get());
    raise_format_error(concat({*k_driver_open, text.get(), *k_is_incorrect}).get());
}

// ---- read_xml_to_dict ------------------------------------------------------------------------

Ref child_texts(PyObject* item) {
    Ref texts = new_list();
    Ref children = Ref::steal(PyObject_GetIter(item));
    while (Ref child = Ref::steal_or_null(PyIter_Next(children.get()))) {
        list_append(texts.get(), getattr(child.get(), k_text).get());
    }
    if (PyErr_Occurred()) throw_error();
    return texts;
}

Ref read_xml_to_dict(Function*, PyObject* const* args) {
    PyObject* xml = args[0];
    Ref result = new_dict();
    if (!truth(xml)) return result;
    Ref xet = global(k_xet);
    Ref root = call_method(xet.get(), k_fromstring, {xml});
    Ref items = Ref::steal(PyObject_GetIter(root.get()));
    while (Ref item = Ref::steal_or_null(PyIter_Next(items.get()))) {
        Ref attrib = getattr(item.get(), k_attrib);
        Ref key = call_method(attrib.get(), k_pop, {*k_name});
        Ref values = child_texts(item.get());
        if (PyList_GET_SIZE(values.get()) > 0) check(PyObject_SetItem(attrib.get(), *k_value, values.get()));
        dict_set(result.get(), key.get(), attrib.get());
    }
    if (PyErr_Occurred()) throw_error();
    return result;
}

Ref default_true() { return new_tuple({Py_True}); }

// ---- the module body ------------------------------------------------------------------------

void bind_builtins() {
    Ref module = Ref::steal(PyImport_ImportModule("builtins"));
    PyObject* ns = PyModule_GetDict(module.get());
    if (!set_namespace(PyModule_GetDict(initialised_module), ns)) throw_error();
    setattr(initialised_module, k_builtins_attr, module.get());
    struct Wanted {
        const char* name;
        PyObject** slot;
    };
    for (Wanted w :
         {Wanted{"property", &builtins.property}, Wanted{"super", &builtins.super}, Wanted{"range", &builtins.range}}) {
        PyObject* value = nullptr;
        if (check(PyDict_GetItemStringRef(ns, w.name, &value)) == 0) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", w.name);
            throw_error();
        }
        Py_XSETREF(*w.slot, value);
    }
}

// from .base import error, gdata, dtypes, call_gdal_fun, xet, env, mem_temp_path, _gdal
void import_base_names() {
    Ref fromlist = Ref::steal(PyTuple_New(std::size(base_names)));
    for (size_t i = 0; i < std::size(base_names); ++i)
        PyTuple_SET_ITEM(fromlist.get(), i, Py_NewRef(base_names[i]->get()));
    Ref base = Ref::steal(PyImport_ImportModuleLevelObject(*k_base, module_globals(), nullptr, fromlist.get(), 1));
    for (const Str* name : base_names) {
        PyObject* value = nullptr;
        if (check(PyObject_GetOptionalAttr(base.get(), name->get(), &value)) == 0) {
            Ref full = concat({getattr(base.get(), k_dunder_name).get(), *k_dot, name->get()});
            if (check(PyDict_GetItemRef(PyImport_GetModuleDict(), full.get(), &value)) == 0) {
                PyErr_Format(PyExc_ImportError, "cannot import name %U", name->get());
                throw_error();
            }
        }
        set_global(*name, Ref::steal(value).get());
    }
}

// Fixed by the interface (docs/contract.md): the names, parameters and defaults of the two functions.
void define_functions() {
    static const FunctionDef to_driver_shadow_def{"_to_driver_shadow_", "data allow_error", to_driver_shadow};
    static const FunctionDef read_xml_def{"read_xml_to_dict", "xlm_str", read_xml_to_dict};
    Ref defaults = default_true();
    set_global(k_to_driver_shadow, make_function(to_driver_shadow_def, nullptr, defaults.get(), nullptr).get());
    set_global(k_read_xml_to_dict, make_function(read_xml_def, nullptr, nullptr, nullptr).get());
}

void define_classes() {
    Ref no_bases = Ref::steal(PyTuple_New(0));
    set_global(k_Driver, make_class(driver_class, no_bases.get()).get());
    for (auto [def, name] :
         {std::pair{&raster_driver_class, &k_RasterDriver}, std::pair{&vector_driver_class, &k_VectorDriver}}) {
        Ref driver = global(k_Driver);
        Ref bases = new_tuple({driver.get()});
        set_global(*name, make_class(*def, bases.get()).get());
    }
    set_global(k_DriveStatistics, make_class(drive_statistics_class, no_bases.get()).get());
}

void run_body(PyObject* module) {
    if (!Str::intern_all() || !ready_function_type() || !fast::ready()) throw_error();
    initialised_module = Py_NewRef(module);
    bind_builtins();
    Ref name = Ref::steal(PyUnicode_FromString("vek._algos.geo.driver"));
    check(PyDict_SetDefaultRef(PyImport_GetModuleDict(), name.get(), module, nullptr));
    import_base_names();
    define_functions();
    define_classes();
    set_global(k_test, new_dict().get());
}

// ---- create and exec slots -------------------------------------------------------------------

// Copies an attribute of the import machinery's module description to the
// module; a missing one is skipped.
void copy_from_import_spec(PyObject* import_spec, const char* attr, PyObject* module, const char* target,
                           bool skip_none) {
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttrString(import_spec, attr, &value)) == 0) return;
    Ref owned = Ref::steal(value);
    if (skip_none && value == Py_None) return;
    check(PyObject_SetAttrString(module, target, value));
}

PyObject* module_create(PyObject* import_spec, PyModuleDef*) noexcept {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (first_interpreter == -1) first_interpreter = id;
    if (first_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (initialised_module != nullptr) {
        // CPython resets the state pointer of a module handed back here and
        // the exec step allocates a new (empty) block: free the old one now,
        // or every import after `del sys.modules[...]` leaks it.
        PyMem_Free(PyModule_GetState(initialised_module));
        return Py_NewRef(initialised_module);
    }
    try {
        Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
        Ref module = Ref::steal(PyModule_NewObject(name.get()));
        copy_from_import_spec(import_spec, "loader", module.get(), "__loader__", false);
        copy_from_import_spec(import_spec, "origin", module.get(), "__file__", false);
        copy_from_import_spec(import_spec, "parent", module.get(), "__package__", false);
        copy_from_import_spec(import_spec, "submodule_search_locations", module.get(), "__path__", true);
        return module.release();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

int module_exec(PyObject* module) noexcept {
    if (initialised_module != nullptr) {
        if (initialised_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'driver' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    try {
        run_body(module);
        return 0;
    } catch (...) {
        translate_exception();
    }
    add_traceback_entry(*k_init_entry);
    Py_CLEAR(initialised_module);  // a later import runs the body again
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "driver", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vek

PyMODINIT_FUNC PyInit_driver(void) noexcept { return PyModuleDef_Init(&vek::module_def); }

// Process-wide runtime: interned texts, name lookup, calls and raising.
#include "runtime.hpp"

#include "names.hpp"

#include <frameobject.h>

namespace vek {

// ---- interned texts -------------------------------------------------------------

namespace {
Str* str_head = nullptr;  // zero-initialised before any constructor runs
}  // namespace

Str::Str(const char* text) noexcept : text_(text), next_(str_head) { str_head = this; }

bool Str::intern_all() noexcept {
    for (Str* s = str_head; s != nullptr; s = s->next_) {
        if (s->obj_ != nullptr) continue;  // a failed earlier import made it already
        s->obj_ = PyUnicode_InternFromString(s->text_);
        if (s->obj_ == nullptr) return false;
    }
    return true;
}

// ---- the module namespace ---------------------------------------------------------

namespace {
PyObject* globals_dict = nullptr;
PyObject* builtins_dict = nullptr;

}  // namespace

Builtins builtins;

PyObject* module_globals() noexcept { return globals_dict; }

bool set_namespace(PyObject* globals, PyObject* builtins_namespace) noexcept {
    if (!fast::watch_namespace(globals, builtins_namespace)) return false;
    // Strong: functions of a module whose body failed may outlive it.
    Py_XSETREF(globals_dict, Py_NewRef(globals));
    Py_XSETREF(builtins_dict, Py_NewRef(builtins_namespace));
    return true;
}

Ref lookup_global(const Str& name) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(globals_dict, *name, &value)) == 0 &&
        check(PyDict_GetItemRef(builtins_dict, *name, &value)) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", *name);
        throw_error();
    }
    fast::remember_global(name.cache(), value);
    return Ref::steal(value);
}

void set_global(const Str& name, PyObject* value) { check(PyDict_SetItem(globals_dict, *name, value)); }

Ref import_from(PyObject* module_name, PyObject* name) {
    Ref fromlist = new_tuple({name});
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, globals_dict, nullptr, fromlist.get(), 1));
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttr(module.get(), name, &value)) > 0) return Ref::steal(value);
    // A submodule of that name that is loaded but not bound as an attribute.
    Ref full = concat({getattr(module.get(), k_dunder_name).get(), *k_dot, name});
    if (check(PyDict_GetItemRef(PyImport_GetModuleDict(), full.get(), &value)) > 0) return Ref::steal(value);
    PyErr_Format(PyExc_ImportError, "cannot import name %U", name);
    throw_error();
}

Ref import_sibling(const Str& module, const Str& name) { return import_from(*module, *name); }

// ---- calls ---------------------------------------------------------------------------

Ref call(PyObject* callable, PyObject* const* args, std::size_t nargs) {
    if (Ref result = fast::call(callable, args, nargs)) return result;
    // Nothing to lay out (and GCC 16 takes the untouched stack below for a
    // read of uninitialised memory once the shortcut is compiled out).
    if (nargs == 0) return Ref::steal(PyObject_CallNoArgs(callable));
    // One free slot in front lets the callee prepend `self` without copying.
    PyObject* stack[max_call_args + 1];
    for (std::size_t i = 0; i < nargs; ++i) stack[1 + i] = args[i];
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace {

// Apart from call_method, so that the shortcut's answer needs no room for
// the stack below.
[[gnu::noinline]] Ref vectorcall_method(PyObject* obj, const Str& name, std::initializer_list<PyObject*> args) {
    PyObject* stack[max_call_args + 1];
    size_t n = 0;
    stack[n++] = obj;
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_VectorcallMethod(*name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace

Ref call_method(PyObject* obj, const Str& name, std::initializer_list<PyObject*> args) {
    if (Ref result = fast::call_method(obj, *name, name.cache(), args.begin(), args.size())) return result;
    return vectorcall_method(obj, name, args);
}

bool is_instance(PyObject* obj, PyObject* cls) {
    int known = fast::is_instance(obj, cls);
    if (known >= 0) return known != 0;
    return check(PyObject_IsInstance(obj, cls)) != 0;
}

Ref format_text(PyObject* value) { return Ref::steal(PyObject_Format(value, *k_empty)); }

Ref concat(std::initializer_list<PyObject*> parts) {
    Ref result = Ref::borrow(*k_empty);
    for (PyObject* part : parts) result = Ref::steal(PyUnicode_Concat(result.get(), part));
    return result;
}

void unpack(PyObject* seq, Ref* out, Py_ssize_t count) {
    if (PyTuple_CheckExact(seq) && PyTuple_GET_SIZE(seq) == count) {
        for (Py_ssize_t i = 0; i < count; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(seq, i));
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = Ref::steal_or_null(PyIter_Next(it.get()));
        if (out[i]) continue;
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", count, i);
        throw_error();
    }
    Ref extra = Ref::steal_or_null(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
        throw_error();
    }
    if (PyErr_Occurred()) throw_error();
}

Ref new_tuple(std::initializer_list<PyObject*> items) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item));
    return tuple;
}

// ---- raising ---------------------------------------------------------------------------

void raise_object(PyObject* obj) {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    } else if (PyExceptionClass_Check(obj)) {
        Ref instance = call(obj);
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", obj,
                         Py_TYPE(instance.get())->tp_name);
            throw_error();
        }
        PyErr_SetObject(obj, instance.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    throw_error();
}

void raise_format_error(PyObject* message) {
    Ref error = global(k_error);
    Ref cls = getattr(error.get(), k_FormatError);
    Ref exc = call(cls.get(), {message});
    raise_object(exc.get());
}

void add_traceback_entry(PyObject* name) noexcept {
    if (name == nullptr || globals_dict == nullptr) return;
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    // The entry shows the module file with no line, as for other compiled code.
    PyObject* file = nullptr;
    const char* filename = "<vek._algos.geo.driver>";
    if (globals_dict != nullptr && PyDict_GetItemRef(globals_dict, *k_module_file, &file) > 0 &&
        PyUnicode_Check(file)) {
        const char* text = PyUnicode_AsUTF8(file);
        if (text != nullptr) filename = text;
    }
    PyErr_Clear();
    const char* funcname = PyUnicode_AsUTF8(name);
    PyCodeObject* code = funcname != nullptr ? PyCode_NewEmpty(filename, funcname, 0) : nullptr;
    Py_XDECREF(file);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, globals_dict, nullptr);
    PyErr_Clear();  // the entry is a courtesy: never replace the real error
    PyErr_SetRaisedException(exc);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

}  // namespace vek

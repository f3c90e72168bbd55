// Process-wide runtime: interned texts, name lookup, calls and raising.
#include "runtime.hpp"

#include <frameobject.h>

#include <vector>

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

const Str k_empty{""};
const Str k_module_file{"__file__"};
const Str k_name{"__name__"};
const Str k_dot{"."};
const Str k_error{"error"};
const Str k_format_error{"FormatError"};
}  // namespace

Builtins builtins;

PyObject* module_globals() noexcept { return globals_dict; }


// Bumped whenever a watched namespace changes; 0 is never current.
std::uint64_t namespace_epoch = 1;
static int namespace_watcher = -1;

static int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++namespace_epoch;  // called before the change: no stale value is ever used
    return 0;
}

bool set_namespace(PyObject* globals, PyObject* builtins_namespace) noexcept {
    if (namespace_watcher < 0 && (namespace_watcher = PyDict_AddWatcher(on_namespace_change)) < 0) return false;
    if (globals_dict != nullptr && PyDict_Unwatch(namespace_watcher, globals_dict) < 0) return false;
    if (builtins_dict != nullptr && PyDict_Unwatch(namespace_watcher, builtins_dict) < 0) return false;
    // Strong: functions of a module whose body failed may outlive it.
    Py_XSETREF(globals_dict, Py_NewRef(globals));
    Py_XSETREF(builtins_dict, Py_NewRef(builtins_namespace));
    ++namespace_epoch;
    return PyDict_Watch(namespace_watcher, globals_dict) == 0 && PyDict_Watch(namespace_watcher, builtins_dict) == 0;
}

Ref global_lookup(const Str& name) {
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(globals_dict, *name, &value)) == 0 &&
        check(PyDict_GetItemRef(builtins_dict, *name, &value)) == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", *name);
        throw_error();
    }
    name.global_ = value;
    name.global_epoch_ = namespace_epoch;
    return Ref::steal(value);
}

// Keyed on the module, which the cache keeps alive: a module's dict is its
// own for the module's whole life.
Ref module_attr_lookup(PyObject* module, const Str& name) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(dict, *name, &value)) == 0) return Ref();
    Ref found = Ref::steal(value);
    // Watching is idempotent; a freed dict is reported too, so a new dict
    // at the same address never meets a stale entry.
    check(PyDict_Watch(namespace_watcher, dict));
    Py_XSETREF(name.attr_module_, Py_NewRef(module));
    name.attr_ = value;
    name.attr_epoch_ = namespace_epoch;
    return found;
}

void set_global(const Str& name, PyObject* value) { check(PyDict_SetItem(globals_dict, *name, value)); }

Ref import_from(PyObject* module_name, PyObject* name) {
    Ref fromlist = new_tuple({name});
    Ref module = Ref::steal(PyImport_ImportModuleLevelObject(module_name, globals_dict, nullptr, fromlist.get(), 1));
    PyObject* value = nullptr;
    if (check(PyObject_GetOptionalAttr(module.get(), name, &value)) > 0) return Ref::steal(value);
    // A submodule of that name that is loaded but not bound as an attribute.
    Ref full = concat({getattr(module.get(), k_name).get(), *k_dot, name});
    if (check(PyDict_GetItemRef(PyImport_GetModuleDict(), full.get(), &value)) > 0) return Ref::steal(value);
    PyErr_Format(PyExc_ImportError, "cannot import name %U", name);
    throw_error();
}

Ref import_sibling(const Str& module, const Str& name) { return import_from(*module, *name); }

// ---- calls ---------------------------------------------------------------------------

// What the interpreter checks after every C function: a result and an
// error never come together, and no result comes without one.
static PyObject* checked_result(PyThreadState* tstate, PyObject* fn, PyObject* result) {
    bool failed = result == nullptr;
    if (failed == (tstate->current_exception != nullptr)) return result;
    Py_XDECREF(result);
    PyObject* cause = PyErr_GetRaisedException();  // NULL when none was set
    PyErr_Format(PyExc_SystemError,
                 failed ? "%R returned NULL without setting an exception" : "%R returned a result with an exception set",
                 fn);
    if (cause != nullptr) {
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetContext(exc, Py_NewRef(cause));
        PyException_SetCause(exc, cause);
        PyErr_SetRaisedException(exc);
    }
    return nullptr;
}

// A built-in function of the binding (METH_O or METH_VARARGS) called as
// its own vectorcall would call it, without the dispatch in between. False
// when it takes its arguments some other way. The depth check is the
// interpreter's own, read from the thread state as CALL_BUILTIN_O does;
// the last level goes through Py_EnterRecursiveCall for its error.
static bool call_builtin(PyObject* fn, std::initializer_list<PyObject*> args, Ref& out) {
    int flags = PyCFunction_GET_FLAGS(fn);
    bool one = flags == METH_O && args.size() == 1;
    if (!one && flags != METH_VARARGS) return false;
    PyCFunction meth = PyCFunction_GET_FUNCTION(fn);
    PyObject* self = PyCFunction_GET_SELF(fn);
    PyObject* tuple = one ? nullptr : args_tuple(args);
    PyThreadState* tstate = PyThreadState_Get();
    if (tstate->c_recursion_remaining <= 1) {
        if (Py_EnterRecursiveCall(" while calling a Python object")) {
            if (tuple != nullptr) release_args(tuple);
            throw_error();
        }
        Py_LeaveRecursiveCall();
    }
    --tstate->c_recursion_remaining;
    PyObject* result = meth(self, one ? *args.begin() : tuple);
    ++tstate->c_recursion_remaining;
    if (tuple != nullptr) release_args(tuple);
    out = Ref::steal(checked_result(tstate, fn, result));
    return true;
}

// callable(*args) through its vectorcall. Kept out of line, like the other
// general paths below, so that the common paths stay short.
[[gnu::noinline]] static Ref call_general(PyObject* callable, std::initializer_list<PyObject*> args) {
    // One free slot in front lets the callee prepend `self` without copying.
    PyObject* stack[max_call_args + 1];
    size_t n = 0;
    for (PyObject* a : args) stack[1 + n++] = a;
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    Ref result;
    if (PyCFunction_CheckExact(callable) && call_builtin(callable, args, result)) return result;
    return call_general(callable, args);
}

[[gnu::noinline]] static Ref call_method_general(PyObject* obj, const Str& name,
                                                 std::initializer_list<PyObject*> args) {
    Ref result;
    if (call_own_method(obj, name, args.begin(), args.size(), result)) return result;
    PyObject* stack[max_call_args + 1];
    size_t n = 0;
    stack[n++] = obj;
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_VectorcallMethod(*name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method(PyObject* obj, const Str& name, std::initializer_list<PyObject*> args) {
    // A function of a plain module (the GDAL binding): the attribute lookup
    // ends in the module's dict, so go there directly. Anything else, a
    // missing name included, takes the general path.
    if (PyModule_CheckExact(obj)) {
        if (Ref fn = module_attr(obj, name)) return call(fn.get(), args);
    }
    return call_method_general(obj, name, args);
}

bool is_instance(PyObject* obj, PyObject* cls) {
    // For a class whose metaclass is `type` (no __instancecheck__),
    // isinstance() consults obj.__class__ only when type(obj) is no
    // subclass; skip that lookup where it can only give type(obj).
    if (PyType_CheckExact(cls) && class_is_own_type(obj))
        return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(cls));
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
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s", obj,
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
    Ref cls = getattr(error.get(), k_format_error);
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

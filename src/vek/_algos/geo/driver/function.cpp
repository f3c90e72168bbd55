// The module's function objects (modelled on CPython's Objects/funcobject.c).
#include "function.hpp"

#include "names.hpp"
#include "runtime.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#ifdef __GLIBC__
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <unistd.h>

// glibc 2.32 and 2.34 gave these two a new symbol version when libpthread
// moved into libc. Linked against their first version, which every glibc
// still exports (the loader matches a version by name, in whichever library
// defines it), the wheel keeps the manylinux tag of the rest, older than
// GDAL's own wheel. Weak: where the running glibc resolves neither
// (libpthread not loaded, before 2.34), the stack check is skipped, not the
// import.
#if defined(__x86_64__)
#define VEK_PTHREAD_OLD "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define VEK_PTHREAD_OLD "GLIBC_2.17"
#endif
#ifdef VEK_PTHREAD_OLD
__asm__(".symver pthread_getattr_np,pthread_getattr_np@" VEK_PTHREAD_OLD);
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@" VEK_PTHREAD_OLD);
#pragma weak pthread_getattr_np
#pragma weak pthread_attr_getstack
#endif
#endif

namespace vek {

namespace {

const Str k_module_prefix{"vek._algos.geo.driver."};
const Str k_replace{"replace"};

// A static type, so that type(f).__module__ comes from its dotted name; the
// slots are filled in by ready_function_type().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// ---- binding arguments --------------------------------------------------------------

// Python's own wording for a call that names too many positionals.
void too_many_positionals(Function* fn, Py_ssize_t given) noexcept {
    // Like CPython, the whole __defaults__ counts, even when it is longer
    // than the parameter list ("takes from -1 to 1 ...").
    Py_ssize_t ndefaults = fn->defaults != nullptr ? PyTuple_GET_SIZE(fn->defaults) : 0;
    const char* verb = given == 1 ? "was" : "were";
    if (ndefaults > 0) {
        PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %d positional arguments but %zd %s given", fn->qualname,
                     fn->nparams - ndefaults, fn->nparams, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given", fn->qualname, fn->nparams,
                     fn->nparams == 1 ? "" : "s", given, verb);
    }
}

// "missing 2 required positional arguments: 'a' and 'b'"
void missing_arguments(Function* fn, PyObject* const* bound) noexcept try {
    std::string names;
    int count = 0;
    for (int i = 0; i < fn->nparams; ++i) count += bound[i] == nullptr;
    int seen = 0;
    for (int i = 0; i < fn->nparams; ++i) {
        if (bound[i] != nullptr) continue;
        ++seen;
        if (seen > 1) names += count == 2 ? " and " : (seen == count ? ", and " : ", ");
        names += '\'';
        names += PyUnicode_AsUTF8(fn->params[i]);
        names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %d required positional argument%s: %s", fn->qualname, count,
                 count == 1 ? "" : "s", names.c_str());
} catch (...) {
    translate_exception();
}

int find_param(Function* fn, PyObject* keyword) noexcept {
    for (int i = 0; i < fn->nparams; ++i)  // interned names: identity first
        if (fn->params[i] == keyword) return i;
    for (int i = 0; i < fn->nparams; ++i)
        if (PyUnicode_Compare(fn->params[i], keyword) == 0) return i;
    return -1;
}

// Fills `bound` (nparams slots, plus the kwargs dict when declared). Returns
// false with TypeError set on a call Python would refuse. The checks come in
// CPython's order: keywords, then the positional count, then missing values.
bool bind(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* defaults,
          PyObject** bound, Ref& kwargs) noexcept {
    for (int i = 0; i < fn->nparams; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    if (fn->varkw) {
        kwargs = Ref::steal_or_null(PyDict_New());
        if (!kwargs) return false;
        bound[fn->nparams] = kwargs.get();
    }
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        int i = find_param(fn, keyword);
        if (i >= 0 && bound[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", fn->qualname, keyword);
            return false;
        }
        if (i >= 0) {
            bound[i] = value;
        } else if (fn->varkw) {
            if (PyDict_SetItem(kwargs.get(), keyword, value) < 0) return false;
        } else {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", fn->qualname, keyword);
            return false;
        }
    }
    if (nargs > fn->nparams) {
        too_many_positionals(fn, nargs);
        return false;
    }
    // The defaults belong to the last parameters; a longer tuple than the
    // parameter list gives its last items, as in CPython.
    Py_ssize_t ndefaults = defaults != nullptr ? PyTuple_GET_SIZE(defaults) : 0;
    Py_ssize_t first = fn->nparams - ndefaults;
    for (Py_ssize_t i = first > 0 ? first : 0; i < fn->nparams; ++i)
        if (bound[i] == nullptr) bound[i] = PyTuple_GET_ITEM(defaults, i - first);
    for (int i = 0; i < fn->nparams; ++i) {
        if (bound[i] == nullptr) {
            missing_arguments(fn, bound);
            return false;
        }
    }
    return true;
}

// ---- calling -----------------------------------------------------------------------------

void add_entry(Function* fn) noexcept {
    if (fn->traceback_name == nullptr) {
        PyObject* exc = PyErr_GetRaisedException();
        fn->traceback_name = PyUnicode_Concat(*k_module_prefix, fn->qualname);
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        if (fn->traceback_name == nullptr) return;
    }
    add_traceback_entry(fn->traceback_name);
}

// Runs the body: where the C++ errors of every function become Python ones.
PyObject* run_body(Function* fn, PyObject* const* args) noexcept {
    try {
        return fn->impl(fn, args).release();
    } catch (...) {
        translate_exception();
    }
    add_entry(fn);
    return nullptr;
}

#ifdef __GLIBC__
// The main thread's stack, where `here` lies on it: it ends at the page
// holding the program's file name (AT_EXECFN, the first string the kernel
// copies to its top) and may grow RLIMIT_STACK below that end. glibc's
// pthread_getattr_np finds the same lowest address by reading
// /proc/self/maps, about 0.7 ms once GDAL's libraries are mapped.
bool main_stack(std::uintptr_t here, std::uintptr_t& low, std::size_t& size) noexcept {
    auto name = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
    rlimit limit{};
    if (name == nullptr || getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
    auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(name) + std::strlen(name) + page) & ~(page - 1);
    if (limit.rlim_cur >= end || here >= end || here < end - limit.rlim_cur) return false;
    low = end - limit.rlim_cur;
    size = limit.rlim_cur;
    return true;
}

// Any other thread's stack, from the thread's own record.
bool thread_stack(std::uintptr_t& low, std::size_t& size) noexcept {
#ifdef VEK_PTHREAD_OLD
    if (&pthread_getattr_np == nullptr || &pthread_attr_getstack == nullptr) return false;
#endif
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    void* start = nullptr;
    bool found = pthread_attr_getstack(&attr, &start, &size) == 0 && start != nullptr;
    pthread_attr_destroy(&attr);
    low = reinterpret_cast<std::uintptr_t>(start);
    return found;
}
#endif

// The lowest stack address this thread lets the module's calls reach: a
// margin above the end of its stack, for the GDAL and Python code a call
// may still run. 1 when unknown (no check).
std::uintptr_t stack_floor(std::uintptr_t here) noexcept {
#ifdef __GLIBC__
    std::uintptr_t low = 0;
    std::size_t size = 0;
    if (main_stack(here, low, size) || thread_stack(low, size)) {
        std::size_t margin = size / 4 < (std::size_t{1} << 20) ? size / 4 : (std::size_t{1} << 20);
        return low + margin;
    }
#endif
    (void)here;
    return 1;
}

// Whether this call would go below the stack floor. The interpreter's
// count alone is not enough: it allows a fixed number of C levels, and a
// sanitizer build's frames are several times larger.
bool stack_nearly_full() noexcept {
    thread_local std::uintptr_t floor = 0;
    auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (floor == 0) floor = stack_floor(here);
    return here < floor;
}

// Every call of a function object enters here. A loop made only of the
// module's functions (a __str__ bound to __repr__, a property reading
// itself through a subclass) never passes the interpreter's own depth
// check, so each call counts against it: RecursionError, not a stack
// overflow.
PyObject* invoke(Function* fn, PyObject* const* args) noexcept {
    if (stack_nearly_full()) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
        add_entry(fn);
        return nullptr;
    }
    fast::CallLevel level;
    if (!level.enter()) {
        add_entry(fn);
        return nullptr;
    }
    PyObject* result = run_body(fn, args);
    level.leave();
    return result;
}

// A call that names keywords, leaves defaults to fill in or has **kwargs.
[[gnu::noinline]] PyObject* bind_and_invoke(Function* fn, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) noexcept {
    PyObject* bound[max_params + 1];
    Ref kwargs;
    // __defaults__ may be rebound by the body itself: hold the tuple.
    Ref defaults = Ref::borrow(fn->defaults);
    if (!bind(fn, args, nargs, kwnames, defaults.get(), bound, kwargs)) return nullptr;
    return invoke(fn, bound);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The common call: every parameter given by position, nothing to bind
    // (kept apart from the binding, so that it needs no frame of its own).
    if (kwnames == nullptr && !fn->varkw && nargs == fn->nparams) return invoke(fn, args);
    return bind_and_invoke(fn, args, nargs, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    auto* fn = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

// ---- life cycle ---------------------------------------------------------------------------

// __name__ and __qualname__ may be str subclasses with a __dict__ of their
// own, so they can close a cycle too (CPython visits them as well).
int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->closure);
    Py_VISIT(fn->code);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    auto* fn = reinterpret_cast<Function*>(self);
    // The names are never NULL: they become "" as in CPython's func_clear.
    if (fn->name != nullptr) Py_SETREF(fn->name, Py_NewRef(*k_empty));
    if (fn->qualname != nullptr) Py_SETREF(fn->qualname, Py_NewRef(*k_empty));
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->closure);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    auto* fn = reinterpret_cast<Function*>(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    for (int i = 0; i < fn->nparams; ++i) Py_CLEAR(fn->params[i]);
    Py_CLEAR(fn->varkw_name);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->traceback_name);
    PyObject_GC_Del(self);
}

// ---- attributes ---------------------------------------------------------------------------

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

int set_str_field(PyObject** field, PyObject* value, const char* what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_str_field(&as_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    auto* fn = as_function(self);
    if (set_str_field(&fn->qualname, value, "__qualname__") < 0) return -1;
    Py_CLEAR(fn->traceback_name);
    return 0;
}

PyObject* get_optional(PyObject* field) noexcept { return Py_NewRef(field != nullptr ? field : Py_None); }

PyObject* get_module(PyObject* self, void*) noexcept { return get_optional(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->module, Py_XNewRef(value));
    return 0;
}

PyObject* get_doc(PyObject* self, void*) noexcept { return get_optional(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept { return get_optional(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// A code object that describes the parameters, so that inspect.signature()
// and help() read this function as they read one written in Python.
PyObject* make_code(Function* fn) noexcept {
    try {
        PyObject* file = nullptr;
        check(PyDict_GetItemRef(module_globals(), *k_module_file, &file));
        Ref filename = file != nullptr ? Ref::steal(file) : Ref::steal(PyUnicode_FromString("<vek>"));
        const char* file_text = PyUnicode_Check(filename.get()) ? PyUnicode_AsUTF8(filename.get()) : "<vek>";
        if (file_text == nullptr) throw_error();
        // __name__ may have been set to a str that has no UTF-8 form.
        const char* name_text = PyUnicode_AsUTF8(fn->name);
        if (name_text == nullptr) throw_error();
        Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_text, name_text, 0)));
        int nvars = fn->nparams + (fn->varkw ? 1 : 0);
        Ref varnames = Ref::steal(PyTuple_New(nvars));
        for (int i = 0; i < fn->nparams; ++i) PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(fn->params[i]));
        if (fn->varkw) PyTuple_SET_ITEM(varnames.get(), fn->nparams, Py_NewRef(fn->varkw_name));
        int flags = CO_OPTIMIZED | CO_NEWLOCALS | (fn->varkw ? CO_VARKEYWORDS : 0);
        Ref kwargs = new_dict();
        Ref argcount = new_int(fn->nparams);
        Ref nlocals = new_int(nvars);
        Ref co_flags = new_int(flags);
        check(PyDict_SetItemString(kwargs.get(), "co_argcount", argcount.get()));
        check(PyDict_SetItemString(kwargs.get(), "co_nlocals", nlocals.get()));
        check(PyDict_SetItemString(kwargs.get(), "co_varnames", varnames.get()));
        check(PyDict_SetItemString(kwargs.get(), "co_flags", co_flags.get()));
        check(PyDict_SetItemString(kwargs.get(), "co_qualname", fn->qualname));
        Ref replace = getattr(empty.get(), k_replace);
        Ref noargs = Ref::steal(PyTuple_New(0));
        return Ref::steal(PyObject_Call(replace.get(), noargs.get(), kwargs.get())).release();
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

PyObject* get_code(PyObject* self, void*) noexcept {
    auto* fn = as_function(self);
    if (fn->code == nullptr) {
        fn->code = make_code(fn);
        if (fn->code == nullptr) return nullptr;
    }
    return Py_NewRef(fn->code);
}

// Pickled, copied and deep-copied by reference, as Python functions are:
// the qualified name, looked up in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_function(self)->qualname); }

// type(f)._shortcuts(): whether this build has the shortcuts (fastpath.hpp),
// for the tests, which run against builds with and without them.
PyObject* shortcuts_built(PyObject*, PyObject*) noexcept { return Py_NewRef(VEK_FASTPATH ? Py_True : Py_False); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {"_shortcuts", shortcuts_built, METH_NOARGS | METH_STATIC, nullptr},
#if VEK_FASTPATH && VEK_COUNTERS
    {"_cache_counts", fast::cache_counts, METH_NOARGS | METH_STATIC, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// ---- construction --------------------------------------------------------------------------

bool is_function(PyObject* obj) noexcept { return Py_IS_TYPE(obj, &function_type); }

bool ready_function_type() noexcept {
    if (function_type.tp_flags & Py_TPFLAGS_READY) return true;
    PyTypeObject& t = function_type;
    t.tp_name = "vek._algos.geo.driver.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_doc = "A function of the vek._algos.geo.driver module.";
    t.tp_dealloc = function_dealloc;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_descr_get = function_descr_get;
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    t.tp_dictoffset = offsetof(Function, dict);
    t.tp_weaklistoffset = offsetof(Function, weakreflist);
    return PyType_Ready(&t) == 0;
}

Ref make_function(const FunctionDef& def, PyObject* qualname, PyObject* defaults, PyObject* closure) {
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref doc = def.doc != nullptr ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref();
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, &function_type)));
    auto* fn = reinterpret_cast<Function*>(self.get());
    // Every field is set before anything can fail, so dealloc sees a whole object.
    fn->impl = def.impl;
    fn->nparams = 0;
    fn->varkw = false;
    fn->vectorcall = function_vectorcall;
    fn->varkw_name = nullptr;
    fn->name = name.release();
    fn->qualname = Py_NewRef(qualname != nullptr ? qualname : fn->name);
    fn->module = Py_NewRef(*k_module_name);
    fn->doc = doc.release();
    fn->defaults = Py_XNewRef(defaults);
    fn->closure = Py_XNewRef(closure);
    fn->code = nullptr;
    fn->traceback_name = nullptr;
    fn->dict = nullptr;
    fn->weakreflist = nullptr;
    PyObject_GC_Track(self.get());

    for (const char* p = def.params; *p != '\0';) {
        while (*p == ' ') ++p;
        const char* end = p;
        while (*end != '\0' && *end != ' ') ++end;
        if (end == p) break;
        bool kw = end - p > 2 && std::strncmp(p, "**", 2) == 0;
        const char* start = kw ? p + 2 : p;
        PyObject* param = PyUnicode_InternFromString(std::string(start, end).c_str());
        if (param == nullptr) throw_error();
        if (kw) {
            fn->varkw = true;
            fn->varkw_name = param;
        } else if (fn->nparams < max_params) {
            fn->params[fn->nparams++] = param;
        } else {
            Py_DECREF(param);
            PyErr_Format(PyExc_SystemError, "%s: too many parameters", def.name);
            throw_error();
        }
        p = end;
    }
    return self;
}

}  // namespace vek

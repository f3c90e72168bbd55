// Process-wide runtime of the module: interned texts, the module namespace,
// name lookup at call time, calls, and the error conventions of the package.
#pragma once

#include "fastpath.hpp"
#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace vek {

// An interned str made once, when the module body starts. Declare them only
// at namespace scope (`const Str k_name{"name"};` in an unnamed namespace):
// a function-local one would be constructed after the texts were interned.
class Str {
  public:
    explicit Str(const char* text) noexcept;
    Str(const Str&) = delete;
    Str& operator=(const Str&) = delete;

    PyObject* get() const noexcept { return obj_; }
    PyObject* operator*() const noexcept { return obj_; }
    const char* text() const noexcept { return text_; }
    // What the shortcuts keep for this name (fastpath.hpp).
    fast::NameCache& cache() const noexcept { return cache_; }

    // Interns every declared text; false with an error set on failure.
    static bool intern_all() noexcept;

  private:
    const char* text_;
    PyObject* obj_ = nullptr;
    Str* next_;
    mutable fast::NameCache cache_;
};

// ---- the module namespace -------------------------------------------------

// The module's dictionary and the builtins' dictionary, kept for the rest of
// the process once the body has started.
PyObject* module_globals() noexcept;
bool set_namespace(PyObject* globals, PyObject* builtins) noexcept;

// The builtins fixed when the body started.
struct Builtins {
    PyObject* property = nullptr;
    PyObject* super = nullptr;
    PyObject* range = nullptr;
};
extern Builtins builtins;

// A module global looked up now: the namespace, then the builtins; a missing
// name raises NameError like Python code does.
Ref lookup_global(const Str& name);
inline Ref global(const Str& name) {
    if (PyObject* known = fast::known_global(name.cache())) return Ref::borrow(known);
    return lookup_global(name);
}

// Binds a name in the module namespace.
void set_global(const Str& name, PyObject* value);

// `from .<module> import <name>`, resolved against the module namespace.
Ref import_from(PyObject* module, PyObject* name);
Ref import_sibling(const Str& module, const Str& name);

// ---- calls and attributes ---------------------------------------------------

// Each operation below has its plain meaning, and asks the matching
// shortcut first (fastpath.hpp), which answers only where it gives the
// same.

// obj.name
inline Ref getattr(PyObject* obj, const Str& name) {
    if (Ref found = fast::getattr(obj, *name, name.cache())) return found;
    return Ref::steal(PyObject_GetAttr(obj, *name));
}

// obj.name = value
inline void setattr(PyObject* obj, const Str& name, PyObject* value) {
    if (fast::setattr(obj, *name, name.cache(), value)) return;
    check(PyObject_SetAttr(obj, *name, value));
}

constexpr std::size_t max_call_args = 12;

// callable(*args), at most max_call_args of them
Ref call(PyObject* callable, PyObject* const* args, std::size_t nargs);
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
    return call(callable, args.begin(), args.size());
}

// obj.name(*args), looked up on the object as Python does.
Ref call_method(PyObject* obj, const Str& name, std::initializer_list<PyObject*> args = {});

// bool(obj)
inline bool truth(PyObject* obj) {
    if (int known = fast::truth(obj); known >= 0) return known != 0;
    return check(PyObject_IsTrue(obj)) != 0;
}

// isinstance(obj, cls)
bool is_instance(PyObject* obj, PyObject* cls);

// format(value, "")
Ref format_text(PyObject* value);

// The str made by joining the parts (each must be a str).
Ref concat(std::initializer_list<PyObject*> parts);

// `a, b, ... = seq` with Python's messages for a wrong count.
void unpack(PyObject* seq, Ref* out, Py_ssize_t count);

// `key in container`
inline bool contains(PyObject* container, PyObject* key) { return check(PySequence_Contains(container, key)) != 0; }

// value == other, as a Python truth value
inline bool equals(PyObject* value, PyObject* other) {
    Ref result = Ref::steal(PyObject_RichCompare(value, other, Py_EQ));
    return truth(result.get());
}

inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_list(Py_ssize_t size = 0) { return Ref::steal(PyList_New(size)); }
inline Ref new_int(long value) { return Ref::steal(PyLong_FromLong(value)); }
Ref new_tuple(std::initializer_list<PyObject*> items);
inline void list_append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }
inline void dict_set(PyObject* dict, PyObject* key, PyObject* value) { check(PyDict_SetItem(dict, key, value)); }

// ---- raising -------------------------------------------------------------------

// `raise obj`, with Python's rules for instances, classes and other objects.
[[noreturn]] void raise_object(PyObject* obj);

// `raise error.FormatError(message)`.
[[noreturn]] void raise_format_error(PyObject* message);

// Adds a traceback entry named `name` (a str) to the exception being raised.
void add_traceback_entry(PyObject* name) noexcept;

}  // namespace vek

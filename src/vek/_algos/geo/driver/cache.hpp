// Attribute reads, stores and method calls that skip the generic lookup
// when the type's version tag proves what the generic lookup would find,
// and the reused argument tuples of binding calls. The invariants are
// written down in cache.cpp.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace vek {

class Str;

// What the MRO of one type (known by its version tag) gives under a name;
// see cache.cpp for what each field proves.
struct AttrEntry {
    unsigned int tag = 0;  // 0: empty, never a valid tag
    std::uint8_t kind = 0;
    bool has_dict = false;
    bool inline_values = false;
    PyObject* found = nullptr;
    Py_ssize_t slot = -1;
    void* keys = nullptr;
    Py_ssize_t searched = -1;
};

// The entries of one name, for the last few types it was looked up on.
struct AttrWays {
    static constexpr int count = 4;
    AttrEntry way[count];
    std::uint8_t next = 0;  // the way to fill next
};

// obj.name, with every rule of the generic lookup.
Ref cached_getattr(PyObject* obj, const Str& name);

// obj.name = value, with every rule of the generic store.
void cached_setattr(PyObject* obj, const Str& name, PyObject* value);

// obj.name(*args) for the module's own methods, called directly when the
// class gives one and the instance does not shadow it. False, with nothing
// done, when the generic path must run.
bool call_own_method(PyObject* obj, const Str& name, PyObject* const* args, std::size_t nargs, Ref& out);

// The module's own function that the class of `obj` gives under `name`
// when the instance cannot shadow it (a borrowed pointer, valid until
// Python code runs), else NULL.
PyObject* own_class_function(PyTypeObject* type, const Str& name);

// Whether obj.__class__ is bound to give type(obj): the lookup is the
// generic one and ends in object's own __class__ descriptor.
bool class_is_own_type(PyObject* obj);

// Argument tuples for METH_VARARGS calls (see cache.cpp): one kept per
// size from 1 to kept_arg_sizes - 1, empty between calls.
constexpr std::size_t kept_arg_sizes = 4;
extern PyObject* kept_args[kept_arg_sizes];
PyObject* new_args_tuple(std::initializer_list<PyObject*> args);
void let_go_of_args(PyObject* tuple) noexcept;

// How often each shortcut was taken (read by the tests).
struct CacheCounts {
    std::uint64_t attr_reads = 0;
    std::uint64_t attr_stores = 0;
    std::uint64_t method_calls = 0;
    std::uint64_t property_reads = 0;
    std::uint64_t tuple_reuses = 0;
};
extern CacheCounts cache_counts;

// The tuple of `args` (a new reference): the kept one of that size when no
// one else holds it any more, else a new one.
inline PyObject* args_tuple(std::initializer_list<PyObject*> args) {
    std::size_t n = args.size();
    PyObject* kept = n < kept_arg_sizes ? kept_args[n] : nullptr;
    if (kept == nullptr || Py_REFCNT(kept) != 1) return new_args_tuple(args);
    ++cache_counts.tuple_reuses;
    Py_ssize_t i = 0;
    for (PyObject* item : args) PyTuple_SET_ITEM(kept, i++, Py_NewRef(item));
    return Py_NewRef(kept);
}

// Done with a tuple from args_tuple(): a kept one is emptied, so that it
// keeps nothing alive, unless the callee kept it too.
inline void release_args(PyObject* tuple) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    if (static_cast<std::size_t>(n) >= kept_arg_sizes || kept_args[n] != tuple) {
        Py_DECREF(tuple);
        return;
    }
    if (Py_REFCNT(tuple) != 2) return let_go_of_args(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        PyTuple_SET_ITEM(tuple, i, nullptr);
        Py_DECREF(item);
    }
    Py_DECREF(tuple);  // back to the kept reference alone
}

// Finds where property objects keep their getter; false with an error set
// when the running interpreter's property type cannot be read that way.
bool ready_caches() noexcept;

}  // namespace vek

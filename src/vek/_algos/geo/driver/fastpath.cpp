// The shortcuts, each proven equal to the generic path it skips.
//
// What each saves (docs/performance.md: callgrind instructions on CPython
// 3.13) and what it reads of CPython beyond the public C API:
// - globals and binding functions remembered until a watched dict changes:
//   one or two dict lookups per use; reads nothing private (dict watchers).
// - instance attributes read from the inline values: the generic
//   PyObject_GetAttr, about 222 instructions for `self._driver`; reads
//   PyDictValues and PyDictKeysObject (pycore_dict.h, mirrored in layout.hpp).
// - stores into the inline values: the generic store of `__init__`'s three
//   attributes; reads and writes the same, plus the insertion order.
// - the depth of calls counted by hand on 3.13 (CallLevel, fastpath.hpp),
//   at every call of the module's functions and every binding call made
//   here: Py_EnterRecursiveCall and Py_LeaveRecursiveCall, about 45
//   instructions a level; reads and writes
//   PyThreadState.c_recursion_remaining and reads current_exception.
// - the module's own methods called directly: the generic method lookup,
//   about 275 instructions.
// - property getters called directly: the generic attribute path of a
//   built-in property, about 185 instructions before the getter runs; reads
//   property's `fget` slot, found through its public member table.
// - built-in binding functions called without the vectorcall dispatch,
//   with one kept argument tuple per size: a tuple per METH_VARARGS call;
//   the same depth count (CallLevel).
// - the module's classes called without type.__call__'s tuple and dict:
//   one tuple (and a dict for keywords) per Driver("GTiff"); calls
//   _PyStack_AsDict (cpython/abstract.h) where it must make the dict.
// - isinstance() without the obj.__class__ lookup; reads nothing private.
// - bool() of True, False, None and exact str without PyObject_IsTrue's
//   slot lookups; reads the str's length (cpython/unicodeobject.h).
// - a metadata flag told from an ASCII str's characters: the upper() call
//   and its copy; reads the characters (PyUnicode_DATA).
// - the repr of the binding's handles through their type's repr slot: the
//   __repr__ lookup and the wrapper's call; reads the type's slots.
//
// The generic attribute lookup of an instance walks the MRO of its type for
// the name (through CPython's type cache), asks whether what it found is a
// data descriptor, then looks in the instance's dict. The outcome of the
// MRO walk depends only on the type's MRO and the class dicts along it, and
// CPython gives a type a new version tag whenever either may have changed
// (PyType_Modified, which also reaches every subclass). So:
//
// 1. An entry (tag, name) -> (kind, found) records what the MRO of the type
//    that carried `tag` gives under `name`; each name keeps its entries for
//    the last few types it was looked up on (its NameCache). A tag is valid
//    when it is not 0 (3.13 no longer sets Py_TPFLAGS_VALID_VERSION_TAG);
//    tags come from one process-wide counter and are never handed out
//    twice, so an entry can only ever match the unchanged type it was made
//    for. `found` is borrowed from the class dict that holds it: while the
//    tag is current that dict still holds it. It is taken as a strong
//    reference before anything that might run Python code.
// 2. An entry is stored only if the tag is still the same after the walk
//    (the walk compares keys, which may run Python code).
// 2a. The kind of what was found depends on its type too (a __set__ given
//    to that type or a base of it, or its __class__ assigned, leaves the
//    class's tag as it is), so the entry also keeps type(found)'s version
//    tag and is made again when type(found) no longer carries it. Without
//    a tag for type(found) the kind is taken as "data": the generic path.
// 3. A shortcut is taken only while the type's getattro (setattro for
//    stores) is the generic one: a __getattribute__, __getattr__ or
//    __setattr__ anywhere in the MRO replaces the slot. It is checked at
//    every use, not recorded.
// 4. What each kind allows:
//    - absent, plain (no __set__) and the module's own functions (which are
//      non-data descriptors): the instance's dict comes first, as in the
//      generic lookup; a read found there is done, a store goes there. A
//      method is called directly only when the instance's dict does not
//      hold the name.
//    - property (exactly the built-in type): a data descriptor, so the
//      instance's dict never matters; its getter is read from the property
//      at every use (property.__init__ may be called again) and called
//      with the instance, which is all property.__get__ does.
//    - any other data descriptor: the generic path, always.
//    Whatever is not proven (a missing name, a class value) falls back to
//    the generic lookup, which then produces the value or the error.
// 5. Instances whose class keeps their attributes inline (3.13's
//    Py_TPFLAGS_INLINE_VALUES; layout.hpp) are read and written the way the
//    interpreter's own specialised LOAD_ATTR/STORE_ATTR do. While the
//    inline values are valid, the instance's attributes are exactly the
//    class's shared keys whose value is set (any other key makes the
//    values invalid and moves them to a dict). A name's slot is its
//    position among the shared keys, which only ever grow: a slot once
//    found stays, and a name not found is searched again only when the
//    keys have grown. A store goes inline only while no dict has been made
//    for the instance (as STORE_ATTR_INSTANCE_VALUE requires); otherwise
//    the generic store runs.
// 6. The module's functions are called through their own vectorcall, the
//    entry point every other call uses, so its checks apply unchanged, the
//    depth count included: one level per call, as through
//    PyObject_VectorcallMethod or property.__get__, which count none.
// 7. A global or module attribute is kept (borrowed) with the epoch it was
//    read at; every change of a watched dict moves the epoch before the
//    change is made, so no stale value is ever used.
//
// Argument tuples for METH_VARARGS binding calls: one tuple per size is
// kept, untracked by the garbage collector and empty between calls. It is
// reused only when the kept reference is the last one; when the callee
// kept it (its reference count is higher after the call) it is let go,
// tracked again, and the next call makes a new one.
#include "fastpath.hpp"

// Built without the shortcuts, this unit is empty (fastpath.hpp declines
// every request).
#if VEK_FASTPATH

#include "function.hpp"
#include "layout.hpp"

#include <structmember.h>

#include <cstring>
#include <utility>

namespace vek::fast {

namespace {

// The names the shortcuts look up themselves, interned by ready(), each
// with what the shortcuts keep for it.
struct OwnName {
    PyObject* name = nullptr;  // strong, for the rest of the process
    NameCache cache;
};
OwnName dunder_class, dunder_init;

// Self and the arguments of a call the shortcuts lay out; a longer call
// takes the generic path.
constexpr std::size_t max_stack = 13;

#if VEK_COUNTERS
// How often each shortcut was taken, for the tests that prove the guards
// hold; only in a build for tests (CMake option VEK_COUNTERS), since users'
// calls have no use for them.
struct Counts {
    std::uint64_t attr_reads = 0;
    std::uint64_t attr_stores = 0;
    std::uint64_t method_calls = 0;
    std::uint64_t property_reads = 0;
    std::uint64_t tuple_reuses = 0;
} counts;
#define VEK_TAKEN(counter) (++counts.counter)
#else
#define VEK_TAKEN(counter) ((void)0)
#endif

}  // namespace

// ==== globals and module attributes ===============================================

std::uint64_t namespace_epoch = 1;

namespace {

int namespace_watcher = -1;
PyObject* watched[2] = {nullptr, nullptr};  // strong: the namespace's dicts

int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++namespace_epoch;  // called before the change: no stale value is ever used
    return 0;
}

// `module.name` for an exact module whose dict holds the name, else a null
// Ref with no error set. Keyed on the module, which the cache keeps alive:
// a module's dict is its own for the module's whole life.
Ref module_attr_lookup(PyObject* module, PyObject* name, NameCache& cache) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* value = nullptr;
    if (check(PyDict_GetItemRef(dict, name, &value)) == 0) return Ref();
    Ref found = Ref::steal(value);
    // Watching is idempotent; a freed dict is reported too, so a new dict
    // at the same address never meets a stale entry.
    check(PyDict_Watch(namespace_watcher, dict));
    Py_XSETREF(cache.attr_module, Py_NewRef(module));
    cache.attr = value;
    cache.attr_epoch = namespace_epoch;
    return found;
}

inline Ref module_attr(PyObject* module, PyObject* name, NameCache& cache) {
    if (cache.attr_epoch == namespace_epoch && cache.attr_module == module) return Ref::borrow(cache.attr);
    return module_attr_lookup(module, name, cache);
}

}  // namespace

bool watch_namespace(PyObject* globals, PyObject* builtins) noexcept {
    if (namespace_watcher < 0 && (namespace_watcher = PyDict_AddWatcher(on_namespace_change)) < 0) return false;
    for (PyObject*& dict : watched) {
        if (dict != nullptr && PyDict_Unwatch(namespace_watcher, dict) < 0) return false;
        Py_CLEAR(dict);
    }
    ++namespace_epoch;
    watched[0] = Py_NewRef(globals);
    watched[1] = Py_NewRef(builtins);
    return PyDict_Watch(namespace_watcher, globals) == 0 && PyDict_Watch(namespace_watcher, builtins) == 0;
}

// ==== attribute entries ==============================================================

namespace {

enum class AttrKind : std::uint8_t { absent, plain, function, property, data };

using Entry = AttrEntry;

AttrKind kind(const Entry& e) { return static_cast<AttrKind>(e.kind); }

// Where a property keeps its getter, read from property's own member table
// (the "fget" member); -1 when not found, which turns the shortcut off.
Py_ssize_t property_fget_offset = -1;

// object.__class__, the descriptor that gives type(obj).
PyObject* object_class = nullptr;

// Whether layout.hpp matched a live object at import.
bool inline_layout_ok = false;

bool has_inline_values(PyTypeObject* type) {
    return inline_layout_ok && (type->tp_flags & Py_TPFLAGS_INLINE_VALUES) != 0 &&
           (type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 && type->tp_basicsize == sizeof(PyObject);
}

// The slot of the entry's name among the inline values of `type`, searched
// for again once the shared keys have grown since the last search.
Py_ssize_t slot_of_name(Entry& e, PyTypeObject* type, PyObject* name) {
    if (e.slot >= 0) return e.slot;
    auto* keys = reinterpret_cast<layout::Keys*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (keys == nullptr || keys->dk_kind != layout::keys_split) return -1;
    if (keys == static_cast<layout::Keys*>(e.keys) && keys->dk_nentries == e.searched) return -1;
    e.keys = keys;
    e.searched = keys->dk_nentries;
    // Keys are exact str; object.__setattr__ stores its name as given, so a
    // key may be an equal str that is not the interned one.
    const layout::UnicodeEntry* entries = layout::entries(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        PyObject* key = entries[i].me_key;
        if (key == name || (key != nullptr && PyUnicode_Compare(key, name) == 0)) return e.slot = i;
    }
    return -1;
}

// What the MRO of `type` gives under `name`: a new reference or NULL; -1
// with an error set when a comparison failed.
int find_in_mro(PyTypeObject* type, PyObject* name, PyObject** found) {
    PyObject* mro = type->tp_mro;
    *found = nullptr;
    if (mro == nullptr || !PyTuple_Check(mro)) return -1;
    Ref keep = Ref::borrow(mro);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = Ref::steal_or_null(PyType_GetDict(base));
        if (!dict) return -1;
        int status = PyDict_GetItemRef(dict.get(), name, found);
        if (status != 0) return status;
    }
    return 0;
}

AttrKind kind_of(PyObject* found) {
    if (found == nullptr) return AttrKind::absent;
    if (is_function(found)) return AttrKind::function;
    if (Py_IS_TYPE(found, &PyProperty_Type) && property_fget_offset > 0) return AttrKind::property;
    return Py_TYPE(found)->tp_descr_set != nullptr ? AttrKind::data : AttrKind::plain;
}

// The entry for (type, name), made now; NULL when nothing can be proven (no
// tag to be had, or the lookup failed: the generic path will meet the same
// failure and report it).
Entry* fill_entry(PyTypeObject* type, PyObject* name, NameCache& cache) {
    if (!PyUnstable_Type_AssignVersionTag(type)) return nullptr;
    unsigned int tag = type->tp_version_tag;
    PyObject* found = nullptr;
    if (find_in_mro(type, name, &found) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref hold = Ref::steal_or_null(found);
    if (type->tp_version_tag != tag || tag == 0) return nullptr;
    Entry& e = cache.way[cache.next];
    cache.next = static_cast<std::uint8_t>((cache.next + 1) % NameCache::ways);
    e = Entry{};
    e.tag = tag;
    e.found = found;  // held by the class dict while the tag stands
    AttrKind k = kind_of(found);
    if (found != nullptr) {
        // The kind depends on type(found), which `tag` does not cover.
        if (!PyUnstable_Type_AssignVersionTag(Py_TYPE(found))) k = AttrKind::data;
        e.found_tag = Py_TYPE(found)->tp_version_tag;
    }
    e.kind = static_cast<std::uint8_t>(k);
    e.has_dict = (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || type->tp_dictoffset != 0;
    e.inline_values = has_inline_values(type);
    return &e;
}

inline Entry* entry_for(PyTypeObject* type, PyObject* name, NameCache& cache) {
    unsigned int tag = type->tp_version_tag;
    if (tag != 0) {
        for (Entry& e : cache.way) {
            if (e.tag != tag) continue;
            if (e.found == nullptr || Py_TYPE(e.found)->tp_version_tag == e.found_tag) return &e;
            e.tag = 0;  // type(found) changed (a __set__ added, __class__ assigned): read its kind again
            break;
        }
    }
    return fill_entry(type, name, cache);
}

// obj.__dict__[name]: 1 with a new reference, 0 when absent, -1 on error.
[[gnu::always_inline]] inline int instance_value(Entry& e, PyObject* obj, PyObject* name, PyObject** value) {
    *value = nullptr;
    if (!e.has_dict) return 0;
    if (e.inline_values) {
        layout::Values* values = layout::inline_values(obj);
        if (values->valid) {
            Py_ssize_t slot = slot_of_name(e, Py_TYPE(obj), name);
            if (slot < 0 || slot >= values->capacity || values->values[slot] == nullptr) return 0;
            *value = Py_NewRef(values->values[slot]);
            return 1;
        }
    }
    Ref dict = Ref::steal_or_null(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) return -1;
    return PyDict_GetItemRef(dict.get(), name, value);
}

// obj.name = value into the inline values, as STORE_ATTR_INSTANCE_VALUE
// does; false when the values are not the instance's storage any more, or
// the name has no slot yet.
bool store_inline(Entry& e, PyObject* obj, PyObject* name, PyObject* value) {
    if (!e.inline_values || layout::managed_dict(obj) != nullptr) return false;
    layout::Values* values = layout::inline_values(obj);
    if (!values->valid) return false;
    Py_ssize_t slot = slot_of_name(e, Py_TYPE(obj), name);
    if (slot < 0 || slot >= values->capacity) return false;
    PyObject* old = values->values[slot];
    values->values[slot] = Py_NewRef(value);
    if (old == nullptr)
        layout::add_to_order(values, slot);
    else
        Py_DECREF(old);  // last: its destructor may run Python code
    return true;
}

// A direct call of one of the module's functions, through their own
// vectorcall: it counts the level (methods that call each other,
// `__str__ = __repr__`, end in RecursionError), as it does when the generic
// PyObject_VectorcallMethod or property.__get__ reaches it, which count
// none of their own.
PyObject* call_function(PyObject* fn, PyObject* const* args, std::size_t nargs) {
    return reinterpret_cast<Function*>(fn)->vectorcall(fn, args, nargs, nullptr);
}

// property.__get__(obj): the getter called with the instance.
Ref read_property(PyObject* prop, PyObject* obj) {
    PyObject* fget = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(prop) + property_fget_offset);
    if (fget == nullptr) return {};  // the generic path raises the error
    Ref hold = Ref::borrow(fget);
    VEK_TAKEN(property_reads);
    return Ref::steal(is_function(fget) ? call_function(fget, &obj, 1) : PyObject_CallOneArg(fget, obj));
}

// Everything but the common read (see getattr).
[[gnu::noinline]] Ref getattr_general(PyObject* obj, PyObject* name, Entry* e) {
    if (e == nullptr || kind(*e) == AttrKind::data) return {};
    AttrKind k = kind(*e);
    Ref found = Ref::borrow(e->found);
    if (k == AttrKind::property) return read_property(found.get(), obj);
    PyObject* value = nullptr;
    if (check(instance_value(*e, obj, name, &value)) > 0) {
        VEK_TAKEN(attr_reads);
        return Ref::steal(value);
    }
    if (k == AttrKind::function) {
        VEK_TAKEN(attr_reads);
        return Ref::steal(PyMethod_New(found.get(), obj));
    }
    return {};
}

// The module's own function that the class `type` gives under `name` when
// the instance cannot shadow it (borrowed, valid until Python code runs),
// else NULL.
PyObject* own_class_function(PyTypeObject* type, PyObject* name, NameCache& cache) {
    const Entry* e = entry_for(type, name, cache);
    return e != nullptr && kind(*e) == AttrKind::function ? e->found : nullptr;
}

// obj.name(*args) for the module's own methods, called directly when the
// class gives one and the instance does not shadow it.
Ref call_own_method(PyObject* obj, PyObject* name, NameCache& cache, PyObject* const* args, std::size_t nargs) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || nargs + 1 > max_stack) return {};
    Entry* e = entry_for(type, name, cache);
    if (e == nullptr || kind(*e) != AttrKind::function) return {};
    Ref fn = Ref::borrow(e->found);
    PyObject* shadow = nullptr;
    int status = check(instance_value(*e, obj, name, &shadow));
    Py_XDECREF(shadow);
    if (status > 0) return {};  // the instance's own value wins
    PyObject* stack[max_stack];
    stack[0] = obj;
    // Item by item: a call of memcpy costs more than the one or two
    // arguments these calls pass.
    for (std::size_t i = 0; i < nargs; ++i) {
        stack[i + 1] = args[i];
        __asm__("" ::: "memory");
    }
    VEK_TAKEN(method_calls);
    return Ref::steal(call_function(fn.get(), stack, nargs + 1));
}

}  // namespace

// ==== reads, stores, method calls and isinstance ========================================

Ref getattr(PyObject* obj, PyObject* name, NameCache& cache) {
    PyTypeObject* type = Py_TYPE(obj);
    Entry* e = type->tp_getattro == PyObject_GenericGetAttr ? entry_for(type, name, cache) : nullptr;
    // The common read: an attribute kept inline, its slot known.
    if (e != nullptr && e->inline_values && e->slot >= 0 && kind(*e) != AttrKind::data &&
        kind(*e) != AttrKind::property) {
        layout::Values* values = layout::inline_values(obj);
        if (values->valid && e->slot < values->capacity && values->values[e->slot] != nullptr) {
            VEK_TAKEN(attr_reads);
            return Ref::borrow(values->values[e->slot]);
        }
    }
    return getattr_general(obj, name, e);
}

bool setattr(PyObject* obj, PyObject* name, NameCache& cache, PyObject* value) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_setattro != PyObject_GenericSetAttr) return false;
    Entry* e = entry_for(type, name, cache);
    if (e != nullptr && kind(*e) != AttrKind::data && kind(*e) != AttrKind::property &&
        store_inline(*e, obj, name, value)) {
        VEK_TAKEN(attr_stores);
        return true;
    }
    // The name is interned already, which is all PyObject_SetAttr adds.
    check(PyObject_GenericSetAttr(obj, name, value));
    return true;
}

Ref call_method(PyObject* obj, PyObject* name, NameCache& cache, PyObject* const* args, std::size_t nargs) {
    // A function of a plain module (the GDAL binding): the attribute lookup
    // ends in the module's dict, so go there directly. Anything else, a
    // missing name included, takes the general path.
    if (PyModule_CheckExact(obj)) {
        Ref fn = module_attr(obj, name, cache);
        if (!fn) return {};
        if (Ref result = call(fn.get(), args, nargs)) return result;             // a built-in, called here
        return Ref::steal(PyObject_Vectorcall(fn.get(), args, nargs, nullptr));  // any other
    }
    return call_own_method(obj, name, cache, args, nargs);
}

int is_instance(PyObject* obj, PyObject* cls) {
    // For a class whose metaclass is `type` (no __instancecheck__),
    // isinstance() consults obj.__class__ only when type(obj) is no
    // subclass; skip that lookup where it can only give type(obj).
    PyTypeObject* type = Py_TYPE(obj);
    if (!PyType_CheckExact(cls) || type->tp_getattro != PyObject_GenericGetAttr || object_class == nullptr) return -1;
    const Entry* e = entry_for(type, dunder_class.name, dunder_class.cache);
    if (e == nullptr || e->found != object_class) return -1;
    return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(cls)) ? 1 : 0;
}

// ==== repr of the binding's handles ========================================================

Ref repr(PyObject* obj) {
    // A static type without instance attributes or a getattro of its own
    // cannot be changed from Python: obj.__repr__() finds the wrapper of
    // its repr slot, which calls the slot.
    PyTypeObject* type = Py_TYPE(obj);
    bool plain = !(type->tp_flags & Py_TPFLAGS_HEAPTYPE) && type->tp_dictoffset == 0 &&
                 type->tp_getattro == PyObject_GenericGetAttr && type->tp_repr != nullptr;
    if (!plain) return {};
    return Ref::steal(type->tp_repr(obj));
}

// ==== built-in binding functions ==========================================================

namespace {

// Argument tuples for METH_VARARGS calls: one kept per size from 1 to
// kept_arg_sizes - 1, empty between calls.
constexpr std::size_t kept_arg_sizes = 4;
PyObject* kept_args[kept_arg_sizes];

PyObject* new_args_tuple(PyObject* const* args, std::size_t n) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) throw_error();
    if (n > 0 && n < kept_arg_sizes && kept_args[n] == nullptr) {
        PyObject_GC_UnTrack(tuple);
        kept_args[n] = Py_NewRef(tuple);
    }
    for (std::size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
    return tuple;
}

// The tuple of `args` (a new reference): the kept one of that size when no
// one else holds it any more, else a new one.
inline PyObject* args_tuple(PyObject* const* args, std::size_t n) {
    PyObject* kept = n < kept_arg_sizes ? kept_args[n] : nullptr;
    if (kept == nullptr || Py_REFCNT(kept) != 1) return new_args_tuple(args, n);
    VEK_TAKEN(tuple_reuses);
    for (std::size_t i = 0; i < n; ++i) PyTuple_SET_ITEM(kept, i, Py_NewRef(args[i]));
    return Py_NewRef(kept);
}

void let_go_of_args(PyObject* tuple) noexcept {
    // The callee kept the tuple: it is theirs now, an ordinary tracked
    // tuple. Both the kept reference and the caller's go.
    kept_args[PyTuple_GET_SIZE(tuple)] = nullptr;
    if (!PyObject_GC_IsTracked(tuple)) PyObject_GC_Track(tuple);
    Py_DECREF(tuple);
    Py_DECREF(tuple);
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

// What the interpreter checks after every C function: a result and an
// error never come together, and no result comes without one.
PyObject* checked_result(PyObject* fn, PyObject* result, const CallLevel& level) {
    bool failed = result == nullptr;
    if (failed == level.error_set()) return result;
    Py_XDECREF(result);
    PyObject* cause = PyErr_GetRaisedException();  // NULL when none was set
    PyErr_Format(
        PyExc_SystemError,
        failed ? "%R returned NULL without setting an exception" : "%R returned a result with an exception set", fn);
    if (cause != nullptr) {
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetContext(exc, Py_NewRef(cause));
        PyException_SetCause(exc, cause);
        PyErr_SetRaisedException(exc);
    }
    return nullptr;
}

}  // namespace

// A built-in function of the binding (METH_O or METH_VARARGS) called as its
// own vectorcall would call it, without the dispatch in between; declined
// when it takes its arguments some other way. The depth check is the one
// CALL_BUILTIN_O makes.
Ref call(PyObject* fn, PyObject* const* args, std::size_t nargs) {
    if (!PyCFunction_CheckExact(fn)) return {};
    int flags = PyCFunction_GET_FLAGS(fn);
    bool one = flags == METH_O && nargs == 1;
    if (!one && flags != METH_VARARGS) return {};
    PyCFunction meth = PyCFunction_GET_FUNCTION(fn);
    PyObject* self = PyCFunction_GET_SELF(fn);
    PyObject* tuple = one ? nullptr : args_tuple(args, nargs);
    CallLevel level;
    if (!level.enter()) {
        if (tuple != nullptr) release_args(tuple);
        throw_error();
    }
    PyObject* result = meth(self, one ? args[0] : tuple);
    level.leave();
    if (tuple != nullptr) release_args(tuple);
    return Ref::steal(checked_result(fn, result, level));
}

// ==== calls of the module's classes ==========================================================

namespace {

// What the interpreter does for a type without a vectorcall of its own:
// pack the arguments into a tuple and a dict and call the metaclass's slot
// (or, with `init`, the class's __init__ slot on `obj`).
PyObject* call_with_tuple(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject* obj = nullptr) noexcept {
    Ref tuple = Ref::steal_or_null(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        kwargs = Ref::steal_or_null(_PyStack_AsDict(args + nargs, kwnames));
        if (!kwargs) return nullptr;
    }
    if (obj != nullptr) {
        int status = Py_TYPE(obj)->tp_init(obj, tuple.get(), kwargs.get());
        return status < 0 ? nullptr : Py_NewRef(obj);
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = Py_TYPE(callable)->tp_call(callable, tuple.get(), kwargs.get());
    Py_LeaveRecursiveCall();
    return result;
}

// obj.__init__(*args) for an __init__ of the module's own: the arguments
// stay where the caller put them, with `obj` in front.
PyObject* call_init(PyObject* init, PyObject* obj, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    Ref result;
    if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        // The caller lent us the slot in front of its arguments.
        auto** stack = const_cast<PyObject**>(args) - 1;
        PyObject* saved = stack[0];
        stack[0] = obj;
        result = Ref::steal_or_null(PyObject_Vectorcall(init, stack, (nargs + 1), kwnames));
        stack[0] = saved;
    } else {
        PyObject* stack[max_params + 2];
        if (total > max_params) return call_with_tuple(nullptr, args, nargs, kwnames, obj);
        stack[0] = obj;
        for (Py_ssize_t i = 0; i < total; ++i) stack[i + 1] = args[i];
        result = Ref::steal_or_null(PyObject_Vectorcall(init, stack, (nargs + 1), kwnames));
    }
    if (!result) return nullptr;
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return Py_NewRef(obj);
}

// type.__call__ for the module's classes. While a class is still plain
// (metaclass `type`, object.__new__) and its __init__ is the module's own,
// this takes the steps type.__call__ takes: object.__new__, then that
// __init__ called with the object in front, but with the caller's argument
// array as it is, with no tuple or dict made.
PyObject* class_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* cls = reinterpret_cast<PyTypeObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Only an __init__ of the module's own is called here; any other (or
    // none: object.__new__ then refuses arguments) takes type.__call__.
    PyObject* own_init = Py_IS_TYPE(callable, &PyType_Type) && cls->tp_new == PyBaseObject_Type.tp_new
                             ? own_class_function(cls, dunder_init.name, dunder_init.cache)
                             : nullptr;
    if (own_init == nullptr) return call_with_tuple(callable, args, nargs, kwnames);
    Ref init = Ref::borrow(own_init);
    // object.__new__ ignores the arguments of a class that defines __init__
    // and checks the rest (abstract methods) as usual.
    Ref empty = Ref::steal_or_null(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref obj = Ref::steal_or_null(cls->tp_new(cls, empty.get(), nullptr));
    if (!obj) return nullptr;
    return call_init(init.get(), obj.get(), args, nargsf, kwnames);
}

}  // namespace

// Never inherited: subclasses made elsewhere keep type.__call__.
void speed_up_class(PyObject* cls) noexcept { reinterpret_cast<PyTypeObject*>(cls)->tp_vectorcall = class_vectorcall; }

// ==== counters and set-up ====================================================================

#if VEK_COUNTERS
PyObject* cache_counts(PyObject*, PyObject*) noexcept {
    const Counts& c = counts;
    return Py_BuildValue("{sKsKsKsKsK}", "attr_reads", c.attr_reads, "attr_stores", c.attr_stores, "method_calls",
                         c.method_calls, "property_reads", c.property_reads, "tuple_reuses", c.tuple_reuses);
}
#endif

namespace {

// Whether a fresh instance of a plain class keeps two attributes where
// layout.hpp says, in the order they were stored. -1 with an error set.
int inline_layout_matches() noexcept {
    try {
        Ref cls =
            Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N", "probe", PyDict_New()));
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        if (!has_inline_values(type)) return 0;
        Ref obj = Ref::steal(PyObject_CallNoArgs(cls.get()));
        Ref name_a = Ref::steal(PyUnicode_InternFromString("a"));
        Ref name_b = Ref::steal(PyUnicode_InternFromString("b"));
        Ref a = Ref::steal(PyList_New(0)), b = Ref::steal(PyList_New(0));
        check(PyObject_GenericSetAttr(obj.get(), name_a.get(), a.get()));
        check(PyObject_GenericSetAttr(obj.get(), name_b.get(), b.get()));
        layout::Values* values = layout::inline_values(obj.get());
        Entry ea, eb;
        auto* order = reinterpret_cast<std::uint8_t*>(&values->values[values->capacity]);
        bool same = layout::managed_dict(obj.get()) == nullptr && values->valid == 1 && values->embedded == 1 &&
                    values->size == 2 && values->capacity >= 2 && slot_of_name(ea, type, name_a.get()) == 0 &&
                    slot_of_name(eb, type, name_b.get()) == 1 && values->values[0] == a.get() &&
                    values->values[1] == b.get() && order[0] == 0 && order[1] == 1;
        return same ? 1 : 0;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

}  // namespace

bool ready() noexcept {
    for (auto [own, text] : {std::pair{&dunder_class, "__class__"}, std::pair{&dunder_init, "__init__"}}) {
        if (own->name == nullptr) own->name = PyUnicode_InternFromString(text);
        if (own->name == nullptr) return false;
    }
    for (PyMemberDef* m = PyProperty_Type.tp_members; m != nullptr && m->name != nullptr; ++m) {
        if (std::strcmp(m->name, "fget") == 0 && (m->type == T_OBJECT || m->type == Py_T_OBJECT_EX) &&
            m->offset >= static_cast<Py_ssize_t>(sizeof(PyObject)) &&
            m->offset + static_cast<Py_ssize_t>(sizeof(PyObject*)) <= PyProperty_Type.tp_basicsize)
            property_fget_offset = m->offset;
    }
    if (object_class == nullptr) {
        Ref dict = Ref::steal_or_null(PyType_GetDict(&PyBaseObject_Type));
        if (!dict || PyDict_GetItemRef(dict.get(), dunder_class.name, &object_class) < 0) return false;
    }
    if (!inline_layout_ok) {
        inline_layout_ok = true;  // for the probe's own reads
        int status = inline_layout_matches();
        if (status < 0) return false;
        inline_layout_ok = status > 0;
    }
    return true;
}

}  // namespace vek::fast

#endif  // VEK_FASTPATH

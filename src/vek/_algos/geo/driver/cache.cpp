// Lookups proven by type version tags, and reused argument tuples.
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
//    the last few types it was looked up on (AttrWays, in its Str). A tag is valid when it is not 0
//    (3.13 no longer sets Py_TPFLAGS_VALID_VERSION_TAG); tags come from one
//    process-wide counter and are never handed out twice, so an entry can
//    only ever match the unchanged type it was made for. `found` is
//    borrowed from the class dict that holds it: while the tag is current
//    that dict still holds it. It is taken as a strong reference before
//    anything that might run Python code.
// 2. An entry is stored only if the tag is still the same after the walk
//    (the walk compares keys, which may run Python code).
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
//    entry point every other call uses, so its checks apply unchanged; the
//    shortcut adds the depth check a call through the interpreter makes.
//
// Argument tuples for METH_VARARGS binding calls: one tuple per size is
// kept, untracked by the garbage collector and empty between calls. It is
// reused only when the kept reference is the last one; when the callee
// kept it (its reference count is higher after the call) it is let go,
// tracked again, and the next call makes a new one.
#include "cache.hpp"

#include "function.hpp"
#include "layout.hpp"
#include "runtime.hpp"

#include <structmember.h>

#include <cstring>

namespace vek {

CacheCounts cache_counts;

namespace {

const Str k_class{"__class__"};

enum class Kind : std::uint8_t { absent, plain, function, property, data };

using Entry = AttrEntry;

Kind kind(const Entry& e) { return static_cast<Kind>(e.kind); }

// Where a property keeps its getter, read from property's own member table
// (the "fget" member); -1 when not found, which turns the shortcut off.
Py_ssize_t property_fget_offset = -1;

// object.__class__, the descriptor that gives type(obj).
PyObject* object_class = nullptr;

// Whether layout.hpp matched a live object at import.
bool inline_layout_ok = false;

bool has_inline_values(PyTypeObject* type) {
    return layout::available && inline_layout_ok && (type->tp_flags & Py_TPFLAGS_INLINE_VALUES) != 0 &&
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

Kind kind_of(PyObject* found) {
    if (found == nullptr) return Kind::absent;
    if (is_function(found)) return Kind::function;
    if (Py_IS_TYPE(found, &PyProperty_Type) && property_fget_offset > 0) return Kind::property;
    return Py_TYPE(found)->tp_descr_set != nullptr ? Kind::data : Kind::plain;
}

// The entry for (type, name), made now; NULL when nothing can be proven (no tag to be had, or the lookup failed: the generic path
// will meet the same failure and report it).
Entry* fill_entry(PyTypeObject* type, const Str& name) {
    AttrWays& ways = name.attr_ways();
    if (!PyUnstable_Type_AssignVersionTag(type)) return nullptr;
    unsigned int tag = type->tp_version_tag;
    PyObject* found = nullptr;
    if (find_in_mro(type, *name, &found) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    Ref hold = Ref::steal_or_null(found);
    if (type->tp_version_tag != tag || tag == 0) return nullptr;
    Entry& e = ways.way[ways.next];
    ways.next = static_cast<std::uint8_t>((ways.next + 1) % AttrWays::count);
    e = Entry{};
    e.tag = tag;
    e.found = found;  // held by the class dict while the tag stands
    e.kind = static_cast<std::uint8_t>(kind_of(found));
    e.has_dict = (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || type->tp_dictoffset != 0;
    e.inline_values = has_inline_values(type);
    return &e;
}

inline Entry* entry_for(PyTypeObject* type, const Str& name) {
    unsigned int tag = type->tp_version_tag;
    if (tag != 0) {
        for (Entry& e : name.attr_ways().way)
            if (e.tag == tag) return &e;
    }
    return fill_entry(type, name);
}

// obj.__dict__[name]: 1 with a new reference, 0 when absent, -1 on error.
int instance_value(Entry& e, PyObject* obj, PyObject* name, PyObject** value) {
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

// A direct call of one of the module's functions: the interpreter checks
// the depth of calls made through it, so this entry checks it too (methods
// that call each other, `__str__ = __repr__`, must end in RecursionError).
// The depth is the interpreter's own count, read from the thread state as
// its specialised calls do; the last level goes through
// Py_EnterRecursiveCall for its error.
PyObject* call_function(PyObject* fn, PyObject* const* args, std::size_t nargs) {
    PyThreadState* tstate = PyThreadState_Get();
    if (tstate->c_recursion_remaining <= 1) {
        if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
        Py_LeaveRecursiveCall();
    }
    --tstate->c_recursion_remaining;
    PyObject* result = reinterpret_cast<Function*>(fn)->vectorcall(fn, args, nargs, nullptr);
    ++tstate->c_recursion_remaining;
    return result;
}

// property.__get__(obj): the getter called with the instance.
bool read_property(PyObject* prop, PyObject* obj, Ref& out) {
    PyObject* fget = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(prop) + property_fget_offset);
    if (fget == nullptr) return false;  // the generic path raises the error
    Ref hold = Ref::borrow(fget);
    ++cache_counts.property_reads;
    out = Ref::steal(is_function(fget) ? call_function(fget, &obj, 1) : PyObject_CallOneArg(fget, obj));
    return true;
}

}  // namespace

// Everything but the common read (see cached_getattr).
[[gnu::noinline]] Ref getattr_general(PyObject* obj, const Str& name, Entry* e) {
    if (e == nullptr || kind(*e) == Kind::data) return Ref::steal(PyObject_GetAttr(obj, *name));
    Kind k = kind(*e);
    Ref found = Ref::borrow(e->found);
    if (k == Kind::property) {
        Ref value;
        if (read_property(found.get(), obj, value)) return value;
    } else {
        PyObject* value = nullptr;
        if (check(instance_value(*e, obj, *name, &value)) > 0) {
            ++cache_counts.attr_reads;
            return Ref::steal(value);
        }
        if (k == Kind::function) {
            ++cache_counts.attr_reads;
            return Ref::steal(PyMethod_New(found.get(), obj));
        }
    }
    return Ref::steal(PyObject_GetAttr(obj, *name));
}

Ref cached_getattr(PyObject* obj, const Str& name) {
    PyTypeObject* type = Py_TYPE(obj);
    Entry* e = type->tp_getattro == PyObject_GenericGetAttr ? entry_for(type, name) : nullptr;
    // The common read: an attribute kept inline, its slot known.
    if (e != nullptr && e->inline_values && e->slot >= 0 && kind(*e) != Kind::data && kind(*e) != Kind::property) {
        layout::Values* values = layout::inline_values(obj);
        if (values->valid && e->slot < values->capacity && values->values[e->slot] != nullptr) {
            ++cache_counts.attr_reads;
            return Ref::borrow(values->values[e->slot]);
        }
    }
    return getattr_general(obj, name, e);
}

void cached_setattr(PyObject* obj, const Str& name, PyObject* value) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_setattro == PyObject_GenericSetAttr) {
        Entry* e = entry_for(type, name);
        if (e != nullptr && kind(*e) != Kind::data && kind(*e) != Kind::property && store_inline(*e, obj, *name, value)) {
            ++cache_counts.attr_stores;
            return;
        }
        // The name is interned already, which is all PyObject_SetAttr adds.
        check(PyObject_GenericSetAttr(obj, *name, value));
        return;
    }
    check(PyObject_SetAttr(obj, *name, value));
}

PyObject* own_class_function(PyTypeObject* type, const Str& name) {
    const Entry* e = entry_for(type, name);
    return e != nullptr && kind(*e) == Kind::function ? e->found : nullptr;
}

bool call_own_method(PyObject* obj, const Str& name, PyObject* const* args, std::size_t nargs, Ref& out) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || nargs + 1 > max_call_args + 1) return false;
    Entry* e = entry_for(type, name);
    if (e == nullptr || kind(*e) != Kind::function) return false;
    Ref fn = Ref::borrow(e->found);
    PyObject* shadow = nullptr;
    int status = check(instance_value(*e, obj, *name, &shadow));
    Py_XDECREF(shadow);
    if (status > 0) return false;  // the instance's own value wins
    PyObject* stack[max_call_args + 1];
    stack[0] = obj;
    for (std::size_t i = 0; i < nargs; ++i) stack[i + 1] = args[i];
    ++cache_counts.method_calls;
    out = Ref::steal(call_function(fn.get(), stack, nargs + 1));
    return true;
}

bool class_is_own_type(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || object_class == nullptr) return false;
    const Entry* e = entry_for(type, k_class);
    return e != nullptr && e->found == object_class;
}

// ---- argument tuples -----------------------------------------------------------------

PyObject* kept_args[kept_arg_sizes];

PyObject* new_args_tuple(std::initializer_list<PyObject*> args) {
    std::size_t n = args.size();
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple == nullptr) throw_error();
    if (n > 0 && n < kept_arg_sizes && kept_args[n] == nullptr) {
        PyObject_GC_UnTrack(tuple);
        kept_args[n] = Py_NewRef(tuple);
    }
    Py_ssize_t i = 0;
    for (PyObject* item : args) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(item));
    return tuple;
}

void let_go_of_args(PyObject* tuple) noexcept {
    // The callee kept the tuple: it is theirs now, an ordinary tracked
    // tuple. Both the kept reference and the caller's go.
    kept_args[PyTuple_GET_SIZE(tuple)] = nullptr;
    if (!PyObject_GC_IsTracked(tuple)) PyObject_GC_Track(tuple);
    Py_DECREF(tuple);
    Py_DECREF(tuple);
}

// ---- set-up --------------------------------------------------------------------------

namespace {

const Str k_probe_a{"a"};
const Str k_probe_b{"b"};

// Whether a fresh instance of a plain class keeps two attributes where
// layout.hpp says, in the order they were stored. -1 with an error set.
int inline_layout_matches() {
    try {
        Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N", "probe",
                                                   PyDict_New()));
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        if (!has_inline_values(type)) return 0;
        Ref obj = Ref::steal(PyObject_CallNoArgs(cls.get()));
        Ref a = Ref::steal(PyList_New(0)), b = Ref::steal(PyList_New(0));
        check(PyObject_GenericSetAttr(obj.get(), *k_probe_a, a.get()));
        check(PyObject_GenericSetAttr(obj.get(), *k_probe_b, b.get()));
        layout::Values* values = layout::inline_values(obj.get());
        Entry ea, eb;
        auto* order = reinterpret_cast<std::uint8_t*>(&values->values[values->capacity]);
        bool same = layout::managed_dict(obj.get()) == nullptr && values->valid == 1 && values->embedded == 1 &&
                    values->size == 2 && values->capacity >= 2 && slot_of_name(ea, type, *k_probe_a) == 0 &&
                    slot_of_name(eb, type, *k_probe_b) == 1 && values->values[0] == a.get() && values->values[1] == b.get() &&
                    order[0] == 0 && order[1] == 1;
        return same ? 1 : 0;
    } catch (const error_already_set&) {
        return -1;
    }
}

}  // namespace

bool ready_caches() noexcept {
    for (PyMemberDef* m = PyProperty_Type.tp_members; m != nullptr && m->name != nullptr; ++m) {
        if (std::strcmp(m->name, "fget") == 0 && (m->type == T_OBJECT || m->type == Py_T_OBJECT_EX) &&
            m->offset >= static_cast<Py_ssize_t>(sizeof(PyObject)) &&
            m->offset + static_cast<Py_ssize_t>(sizeof(PyObject*)) <= PyProperty_Type.tp_basicsize)
            property_fget_offset = m->offset;
    }
    if (object_class == nullptr) {
        Ref dict = Ref::steal_or_null(PyType_GetDict(&PyBaseObject_Type));
        if (!dict || PyDict_GetItemRef(dict.get(), *k_class, &object_class) < 0) return false;
    }
    if (!inline_layout_ok) {
        inline_layout_ok = true;  // for the probe's own reads
        int status = inline_layout_matches();
        if (status < 0) return false;
        inline_layout_ok = status > 0;
    }
    return true;
}

}  // namespace vek

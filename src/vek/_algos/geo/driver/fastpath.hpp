// The shortcuts: the one place where the module skips a generic CPython
// path because a guard proves what that path would give. runtime.* keeps
// the plain meaning of every operation and asks here first; an answer
// here is always the plain one, and a declined request (a null Ref,
// false) runs the plain path. What each shortcut saves, what it reads of
// CPython, and the invariants that make it equal to the plain path are
// written at the top of fastpath.cpp.
// This unit sits below runtime.*: it takes nothing from it (its own few
// names are interned by ready()): the units depend on each other one way.
//
// Built with VEK_FASTPATH=0 (the CMake option VEK_FASTPATH=OFF, or a
// CPython whose private layout fails layout_check.cpp) every request is
// declined at compile time: the module is then the reference the shortcuts
// are tested against.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>

#ifndef VEK_FASTPATH
#define VEK_FASTPATH 0
#endif
// Counting how often each shortcut is taken: a build for tests only.
#ifndef VEK_COUNTERS
#define VEK_COUNTERS 0
#endif

namespace vek::fast {

#if VEK_FASTPATH

// What the MRO of one type (known by its version tag) gives under a name;
// see fastpath.cpp for what each field proves.
struct AttrEntry {
    unsigned int tag = 0;        // 0: empty, never a valid tag
    unsigned int found_tag = 0;  // the version tag of type(found) when the kind was read
    std::uint8_t kind = 0;
    bool has_dict = false;
    bool inline_values = false;
    PyObject* found = nullptr;
    Py_ssize_t slot = -1;
    void* keys = nullptr;
    Py_ssize_t searched = -1;
};

// What the shortcuts keep for one interned name (a member of every Str).
struct NameCache {
    // The module global of this name as last looked up (borrowed), valid
    // while no watched dict has changed since.
    PyObject* global = nullptr;
    std::uint64_t global_epoch = 0;
    // The same for an attribute of a plain module.
    PyObject* attr_module = nullptr;  // strong
    PyObject* attr = nullptr;
    std::uint64_t attr_epoch = 0;
    // What the last few types looked up give under this name.
    static constexpr int ways = 4;
    AttrEntry way[ways];
    std::uint8_t next = 0;  // the way to fill next
};

// Moved by every change of a watched dict; 0 is never current.
extern std::uint64_t namespace_epoch;

// The global this name gave at its last lookup, or NULL when it must be
// looked up again.
inline PyObject* known_global(const NameCache& cache) noexcept {
    return cache.global_epoch == namespace_epoch ? cache.global : nullptr;
}
// Keeps what a lookup found (borrowed: the watched dict holds it).
inline void remember_global(NameCache& cache, PyObject* value) noexcept {
    cache.global = value;
    cache.global_epoch = namespace_epoch;
}

// Watches the namespace's two dicts in place of the ones watched before;
// false with an error set.
bool watch_namespace(PyObject* globals, PyObject* builtins) noexcept;

// One level of C calls, counted as Py_EnterRecursiveCall counts it:
// enter() is false with RecursionError set at the limit. Every call of the
// module's functions counts one (function.cpp), and so does every binding
// call made here. 3.13 keeps the count in the thread state, kept here by
// hand as the interpreter's specialised calls keep it
// (Py_EnterRecursiveCall and Py_LeaveRecursiveCall, two calls into
// libpython, cost about 45 instructions a level there by callgrind); the
// last level goes through Py_EnterRecursiveCall for its error. 3.14 checks
// the machine stack instead: its public calls are the cheap way there
// (leaving is empty).
class CallLevel {
  public:
#if PY_VERSION_HEX < 0x030E0000
    bool enter() noexcept {
        if (tstate_->c_recursion_remaining <= 1) {
            if (Py_EnterRecursiveCall(" while calling a Python object")) return false;
            Py_LeaveRecursiveCall();
        }
        --tstate_->c_recursion_remaining;
        return true;
    }
    void leave() noexcept { ++tstate_->c_recursion_remaining; }
    // PyErr_Occurred(), from the thread state already at hand.
    bool error_set() const noexcept { return tstate_->current_exception != nullptr; }

  private:
    PyThreadState* tstate_ = PyThreadState_Get();
#else
    bool enter() noexcept { return Py_EnterRecursiveCall(" while calling a Python object") == 0; }
    void leave() noexcept { Py_LeaveRecursiveCall(); }
    bool error_set() const noexcept { return PyErr_Occurred() != nullptr; }
#endif
};

// obj.name; a null Ref when not proven.
Ref getattr(PyObject* obj, PyObject* name, NameCache& cache);
// obj.name = value; false when not proven (nothing done).
bool setattr(PyObject* obj, PyObject* name, NameCache& cache, PyObject* value);
// obj.name(*args) for a function of a plain module or a method of the
// module's own; a null Ref when not proven (nothing done).
Ref call_method(PyObject* obj, PyObject* name, NameCache& cache, PyObject* const* args, std::size_t nargs);
// callable(*args) for a built-in function of the binding.
Ref call(PyObject* callable, PyObject* const* args, std::size_t nargs);
// isinstance(obj, cls), 1 or 0; -1 when not proven.
int is_instance(PyObject* obj, PyObject* cls);

// bool(obj) for True, False, None and an exact str, without the slot
// lookups of PyObject_IsTrue: 1 or 0; -1 when not proven.
inline int truth(PyObject* obj) noexcept {
    if (obj == Py_True) return 1;
    if (obj == Py_False || obj == Py_None) return 0;
    if (PyUnicode_CheckExact(obj)) return PyUnicode_GET_LENGTH(obj) != 0;
    return -1;
}

// text.upper() == "YES" for an exact ASCII str, read from its characters
// without making the upper-case copy: 1 or 0; -1 when not proven.
inline int reads_yes(PyObject* text) noexcept {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return -1;
    if (PyUnicode_GET_LENGTH(text) != 3) return 0;
    const auto* c = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    return (c[0] | 0x20) == 'y' && (c[1] | 0x20) == 'e' && (c[2] | 0x20) == 's';
}

// obj.__repr__() through the type's repr slot, for an object whose type
// leaves nothing in between (the binding's handles); a null Ref when not
// proven.
Ref repr(PyObject* obj);

// Gives a class made by the module the class-call shortcut.
void speed_up_class(PyObject* cls) noexcept;

#if VEK_COUNTERS
// type(f)._cache_counts() on the function type: how often each shortcut
// was taken, for the tests that prove the shortcuts are in use.
PyObject* cache_counts(PyObject*, PyObject*) noexcept;
#endif

// Reads what the shortcuts need of the running interpreter; false with an
// error set.
bool ready() noexcept;

#else  // every request declined

struct NameCache {};

class CallLevel {
  public:
    bool enter() noexcept { return Py_EnterRecursiveCall(" while calling a Python object") == 0; }
    void leave() noexcept { Py_LeaveRecursiveCall(); }
};

inline PyObject* known_global(const NameCache&) noexcept { return nullptr; }
inline void remember_global(NameCache&, PyObject*) noexcept {}
inline bool watch_namespace(PyObject*, PyObject*) noexcept { return true; }
inline Ref getattr(PyObject*, PyObject*, NameCache&) { return {}; }
inline bool setattr(PyObject*, PyObject*, NameCache&, PyObject*) { return false; }
inline Ref call_method(PyObject*, PyObject*, NameCache&, PyObject* const*, std::size_t) { return {}; }
inline Ref call(PyObject*, PyObject* const*, std::size_t) { return {}; }
inline int is_instance(PyObject*, PyObject*) { return -1; }
inline int truth(PyObject*) noexcept { return -1; }
inline int reads_yes(PyObject*) noexcept { return -1; }
inline Ref repr(PyObject*) { return {}; }
inline void speed_up_class(PyObject*) noexcept {}
inline bool ready() noexcept { return true; }

#endif

}  // namespace vek::fast

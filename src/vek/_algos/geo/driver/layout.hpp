// What the shortcuts (fastpath.cpp) read of CPython's private object
// layout: instances' inline attribute values and the shared keys of their
// class, as CPython 3.13 and 3.14 lay them out. layout_check.cpp compares
// every field with CPython's own definitions when the module is configured
// (the build turns VEK_FASTPATH off when they differ), and fast::ready()
// checks the placement on a live object at import (the inline reads and
// stores stay off when it differs).
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace vek::layout {

// Only the GIL build's layout is mirrored here; layout_check.cpp fails
// without the GIL, which builds the module without the shortcuts.
#ifdef Py_GIL_DISABLED
#error "layout.hpp mirrors the GIL build of CPython only"
#endif

// pycore_dict.h: struct _dictvalues (PyDictValues)
struct Values {
    std::uint8_t capacity;
    std::uint8_t size;
    std::uint8_t embedded;
    std::uint8_t valid;
    PyObject* values[1];
};

// pycore_dict.h: struct _dictkeysobject (PyDictKeysObject), GIL build
struct Keys {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    char dk_indices[1];
};

// pycore_dict.h: PyDictUnicodeEntry
struct UnicodeEntry {
    PyObject* me_key;
    PyObject* me_value;
};

constexpr std::uint8_t keys_split = 2;                                                       // DICT_KEYS_SPLIT
constexpr Py_ssize_t managed_dict_offset = -3 * static_cast<Py_ssize_t>(sizeof(PyObject*));  // MANAGED_DICT_OFFSET

// _PyObject_InlineValues(): right after the object header.
inline Values* inline_values(PyObject* obj) {
    return reinterpret_cast<Values*>(reinterpret_cast<char*>(obj) + sizeof(PyObject));
}

// _PyObject_GetManagedDict(): the instance's dict once it has been made.
inline PyObject* managed_dict(PyObject* obj) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + managed_dict_offset);
}

// DK_UNICODE_ENTRIES()
inline UnicodeEntry* entries(Keys* keys) {
    return reinterpret_cast<UnicodeEntry*>(keys->dk_indices + (std::size_t{1} << keys->dk_log2_index_bytes));
}

// _PyDictValues_AddToInsertionOrder()
inline void add_to_order(Values* values, Py_ssize_t index) {
    auto* order = reinterpret_cast<std::uint8_t*>(&values->values[values->capacity]);
    order[values->size] = static_cast<std::uint8_t>(index);
    values->size = static_cast<std::uint8_t>(values->size + 1);
}

}  // namespace vek::layout

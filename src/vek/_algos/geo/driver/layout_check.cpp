// Build-time check of what the shortcuts (fastpath.cpp) read of CPython:
// layout.hpp against CPython's own private definitions (the same on 3.13
// and 3.14), and on 3.13 the thread state's C recursion count. CMake
// compiles this unit alone, before the module, and builds the module
// without the shortcuts when it fails; it is no part of the module (this
// unit alone reads the internal headers).
#define Py_BUILD_CORE 1
#include <Python.h>

// A CPython after 3.14 may change what no field shows (how its calls count
// depth, when inline values stay valid). Without the GIL nothing makes the
// shortcuts' unlocked reads of caches, dicts and the thread state safe, and
// objects are laid out otherwise. Failing here is what turns the shortcuts
// off (CMakeLists.txt).
#if PY_VERSION_HEX >= 0x030F0000
#error "CPython newer than 3.14: what the shortcuts read is proven for 3.13 and 3.14 only"
#elif defined(Py_GIL_DISABLED)
#error "free-threaded CPython (Py_GIL_DISABLED): the shortcuts read private state unlocked, so they need the GIL build"
#else

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <internal/pycore_dict.h>
#include <internal/pycore_object.h>
#pragma GCC diagnostic pop

#include "layout.hpp"

#include <cstddef>

namespace vek::layout {

#define VEK_SAME_FIELD(mirror, real, field)                                                                         \
    static_assert(offsetof(mirror, field) == offsetof(real, field) && sizeof(mirror::field) == sizeof(real::field), \
                  #real "." #field " moved")

VEK_SAME_FIELD(Values, PyDictValues, capacity);
VEK_SAME_FIELD(Values, PyDictValues, size);
VEK_SAME_FIELD(Values, PyDictValues, embedded);
VEK_SAME_FIELD(Values, PyDictValues, valid);
static_assert(offsetof(Values, values) == offsetof(PyDictValues, values), "PyDictValues.values moved");

VEK_SAME_FIELD(Keys, PyDictKeysObject, dk_refcnt);
VEK_SAME_FIELD(Keys, PyDictKeysObject, dk_log2_size);
VEK_SAME_FIELD(Keys, PyDictKeysObject, dk_log2_index_bytes);
VEK_SAME_FIELD(Keys, PyDictKeysObject, dk_kind);
VEK_SAME_FIELD(Keys, PyDictKeysObject, dk_version);
VEK_SAME_FIELD(Keys, PyDictKeysObject, dk_usable);
VEK_SAME_FIELD(Keys, PyDictKeysObject, dk_nentries);
static_assert(offsetof(Keys, dk_indices) == offsetof(PyDictKeysObject, dk_indices), "dk_indices moved");

VEK_SAME_FIELD(UnicodeEntry, PyDictUnicodeEntry, me_key);
VEK_SAME_FIELD(UnicodeEntry, PyDictUnicodeEntry, me_value);
static_assert(sizeof(UnicodeEntry) == sizeof(PyDictUnicodeEntry), "PyDictUnicodeEntry resized");

static_assert(keys_split == DICT_KEYS_SPLIT, "DICT_KEYS_SPLIT changed");
static_assert(managed_dict_offset == MANAGED_DICT_OFFSET, "MANAGED_DICT_OFFSET changed");
static_assert(sizeof(PyManagedDictPointer) == sizeof(PyObject*), "PyManagedDictPointer changed");

// The depth count (fastpath.hpp, CallLevel) on 3.13; 3.14 checks the
// machine stack instead and is asked through the public calls.
#if PY_VERSION_HEX < 0x030E0000
static_assert(sizeof(PyThreadState::c_recursion_remaining) == sizeof(int), "c_recursion_remaining changed");
static_assert(sizeof(PyThreadState::current_exception) == sizeof(PyObject*), "current_exception changed");
#endif

}  // namespace vek::layout

#endif  // a proven CPython

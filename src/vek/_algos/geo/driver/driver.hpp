// The driver class family: Driver, RasterDriver and VectorDriver, and the
// metadata readers they share.
#pragma once

#include "classdef.hpp"
#include "runtime.hpp"

namespace vek {

extern const ClassDef driver_class;         // Driver (driver.cpp)
extern const ClassDef raster_driver_class;  // RasterDriver (raster.cpp)
extern const ClassDef vector_driver_class;  // VectorDriver (vector.cpp)

// self._get_metadata_item_(key), looked up on the instance.
Ref metadata_item(PyObject* self, const Str& key);

// A capability flag: the item upper-cased equals "YES" (a bool, or whatever
// the comparison gives for odd metadata).
Ref metadata_flag(PyObject* self, const Str& key);

// A list item: the text split at runs of whitespace.
Ref metadata_list(PyObject* self, const Str& key);

// Raises error.FormatError('"' + format(name, "") + '"' + tail).
[[noreturn]] void raise_kind_error(PyObject* name, const Str& tail);

}  // namespace vek

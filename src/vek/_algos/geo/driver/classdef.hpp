// Classes of the module are plain Python classes, made by calling `type`
// with a namespace of function objects and getter-only properties.
#pragma once

#include "function.hpp"

#include <cstddef>

namespace vek {

enum class Kind { method, property };

struct MemberDef {
    Kind kind;
    FunctionDef fn;
    Ref (*defaults)() = nullptr;  // called once, when the class is made
    bool class_cell = false;      // the body uses zero-argument super()
};

struct ClassDef {
    const char* name;
    const char* doc;
    const MemberDef* members;
    std::size_t count;
};

template <std::size_t N>
constexpr ClassDef class_def(const char* name, const char* doc, const MemberDef (&members)[N]) {
    return ClassDef{name, doc, members, N};
}

// type(name, bases, namespace); `bases` is a tuple. Members that use the
// class cell find the new class in their `closure` (a cell) once type()
// has returned.
Ref make_class(const ClassDef& def, PyObject* bases);

// The class held by a method's class cell (zero-argument super()).
PyObject* class_of(Function* fn);

}  // namespace vek

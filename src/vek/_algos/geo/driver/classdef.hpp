// Classes of the module are plain Python classes, made by calling `type`
// with a namespace of function objects and getter-only properties.
#pragma once

#include "function.hpp"

#include <cstddef>

namespace vek {

// What a class member is made as: a function, or a getter-only property.
enum class MemberKind { method, property };

struct MemberDef {
    MemberKind kind;
    FunctionDef fn;
    Ref (*defaults)() = nullptr;  // called once, when the class is made
    bool class_cell = false;      // the body uses zero-argument super()
};

// Every member table is written with these three.
constexpr MemberDef method(const char* name, const char* params, Impl impl, const char* doc = nullptr,
                           Ref (*defaults)() = nullptr) {
    return MemberDef{MemberKind::method, FunctionDef{name, params, impl, doc}, defaults};
}

// A method whose body uses zero-argument super().
constexpr MemberDef method_with_class_cell(const char* name, const char* params, Impl impl, const char* doc,
                                           Ref (*defaults)()) {
    return MemberDef{MemberKind::method, FunctionDef{name, params, impl, doc}, defaults, true};
}

constexpr MemberDef property(const char* name, Impl impl, const char* doc) {
    return MemberDef{MemberKind::property, FunctionDef{name, "self", impl, doc}};
}

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

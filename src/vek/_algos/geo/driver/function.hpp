// Function objects that behave like functions written in Python: they bind
// to instances as methods, take positional-or-keyword arguments (and
// `**kwargs` where declared), and carry __name__, __qualname__, __module__,
// __doc__, __defaults__ and a __code__ that inspect.signature() reads.
#pragma once

#include "ref.hpp"

namespace vek {

struct Function;

// The body of a function. `args` holds one borrowed value per parameter, in
// declaration order, defaults already filled in; a `**kwargs` parameter comes
// last as a dict. Returns a new reference or throws error_already_set.
using Impl = Ref (*)(Function* fn, PyObject* const* args);

constexpr int max_params = 8;

struct Function {
    PyObject_HEAD
    Impl impl;
    int nparams;  // named parameters, without **kwargs
    bool varkw;   // has **kwargs
    vectorcallfunc vectorcall;
    PyObject* params[max_params];  // interned parameter names
    PyObject* varkw_name;          // name of **kwargs, or NULL
    PyObject* name;                // __name__
    PyObject* qualname;            // __qualname__
    PyObject* module;              // __module__
    PyObject* doc;                 // __doc__
    PyObject* defaults;            // __defaults__: tuple or NULL
    PyObject* closure;             // state of the body (a cell, a tuple...) or NULL
    PyObject* code;                // __code__, made on first use
    PyObject* traceback_name;      // module name + "." + qualname, made on first error
    PyObject* dict;                // __dict__
    PyObject* weakreflist;
};

// What a function is made from. `params` lists the parameter names separated
// by blanks; a last name written "**name" declares `**kwargs`.
struct FunctionDef {
    const char* name;
    const char* params;
    Impl impl;
    const char* doc = nullptr;
};

// Makes a function. `qualname` NULL means the bare name; `defaults` and
// `closure` may be NULL.
Ref make_function(const FunctionDef& def, PyObject* qualname, PyObject* defaults, PyObject* closure);

// The type of the module's function objects, readied when the body starts.
bool ready_function_type() noexcept;

// Whether `obj` is one of the module's function objects.
bool is_function(PyObject* obj) noexcept;

}  // namespace vek

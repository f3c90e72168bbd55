// Building the module's classes.
#include "classdef.hpp"

#include "runtime.hpp"

namespace vek {

namespace {
const Str k_module{"__module__"};
const Str k_qualname{"__qualname__"};
const Str k_doc{"__doc__"};
const Str k_classcell{"__classcell__"};
const Str k_module_name{"vek._algos.geo.driver"};
const Str k_dot{"."};
const Str k_init{"__init__"};

// ---- calling a class ------------------------------------------------------------

// What the interpreter does for a type without a vectorcall of its own:
// pack the arguments into a tuple and a dict and call the metaclass's slot
// (or, with `init`, the class's __init__ slot on `obj`).
PyObject* call_with_tuple(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          PyObject* obj = nullptr) {
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
PyObject* call_init(PyObject* init, PyObject* obj, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
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
// (metaclass `type`, object.__new__) this takes the steps type.__call__
// takes: object.__new__, then __init__ looked up on the new object's class
// and called with the object in front; but an __init__ of the module's own
// gets the caller's argument array as it is, with no tuple or dict made.
PyObject* class_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* cls = reinterpret_cast<PyTypeObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!Py_IS_TYPE(callable, &PyType_Type) || cls->tp_new != PyBaseObject_Type.tp_new)
        return call_with_tuple(callable, args, nargs, kwnames);
    // object.__new__ ignores the arguments of a class that defines __init__
    // and checks the rest (abstract methods) as usual.
    Ref empty = Ref::steal_or_null(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref obj = Ref::steal_or_null(cls->tp_new(cls, empty.get(), nullptr));
    if (!obj) return nullptr;
    PyTypeObject* type = Py_TYPE(obj.get());
    if (type->tp_init == nullptr) return obj.release();
    Ref init = Ref::borrow(own_class_function(type, k_init));
    if (init) return call_init(init.get(), obj.get(), args, nargsf, kwnames);
    return call_with_tuple(callable, args, nargs, kwnames, obj.get());
}

}  // namespace

Ref make_class(const ClassDef& def, PyObject* bases) {
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    Ref doc = Ref::steal(PyUnicode_FromString(def.doc));
    Ref ns = new_dict();
    dict_set(ns.get(), *k_module, *k_module_name);
    dict_set(ns.get(), *k_qualname, name.get());
    dict_set(ns.get(), *k_doc, doc.get());
    Ref cell;
    for (std::size_t i = 0; i < def.count; ++i) {
        const MemberDef& m = def.members[i];
        Ref member_name = Ref::steal(PyUnicode_InternFromString(m.fn.name));
        Ref qualname = concat({name.get(), *k_dot, member_name.get()});
        Ref defaults = m.defaults != nullptr ? m.defaults() : Ref();
        if (m.class_cell && !cell) cell = Ref::steal(PyCell_New(nullptr));
        Ref fn = make_function(m.fn, qualname.get(), defaults.get(), m.class_cell ? cell.get() : nullptr);
        Ref member = m.kind == Kind::property ? call(builtins.property, {fn.get()}) : fn;
        dict_set(ns.get(), member_name.get(), member.get());
    }
    if (cell) dict_set(ns.get(), *k_classcell, cell.get());  // type() fills the cell
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases, ns.get()});
    // Never inherited: subclasses made elsewhere keep type.__call__.
    reinterpret_cast<PyTypeObject*>(cls.get())->tp_vectorcall = class_vectorcall;
    return cls;
}

PyObject* class_of(Function* fn) {
    PyObject* cls = fn->closure != nullptr && PyCell_Check(fn->closure) ? PyCell_GET(fn->closure) : nullptr;
    if (cls == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        throw_error();
    }
    return cls;
}

}  // namespace vek

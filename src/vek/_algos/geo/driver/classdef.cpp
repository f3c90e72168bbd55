// Building the module's classes.
#include "classdef.hpp"

#include "names.hpp"
#include "runtime.hpp"

namespace vek {

namespace {
const Str k_module{"__module__"};
const Str k_qualname{"__qualname__"};
const Str k_doc{"__doc__"};
const Str k_classcell{"__classcell__"};
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
        Ref member = m.kind == MemberKind::property ? call(builtins.property, {fn.get()}) : fn;
        dict_set(ns.get(), member_name.get(), member.get());
    }
    if (cell) dict_set(ns.get(), *k_classcell, cell.get());  // type() fills the cell
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases, ns.get()});
    fast::speed_up_class(cls.get());
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

// DriveStatistics: the registry snapshot, lookup, classification and the
// HTML table.
#include "statistics.hpp"

#include "names.hpp"
#include "runtime.hpp"

#include <iterator>

namespace vek {

namespace {

const Str k_GetDriverCount{"GetDriverCount"};
const Str k_drivers{"_drivers"};
const Str k_append{"append"};
const Str k_lower{"lower"};
const Str k_updatable{"updatable"};
const Str k_virtualio{"virtualio"};
const Str k_not_a_driver{" is not a driver!"};
const Str k_get_sel{"get_sel"};
const Str k_JupyterShowMaxShape{"JupyterShowMaxShape"};
const Str k_VEKHTMLTable{"VEKHTMLTable"};
const Str k_add_row{"add_row"};
const Str k_add_head{"add_head"};
const Str k_rasters{"rasters"};
const Str k_vectors{"vectors"};
const Str k_Rasters{"Rasters"};
const Str k_Vectors{"Vectors"};
const Str k_Total{"Total"};
const Str k_ellipsis{"..."};
const Str k_get_fields_qualname{"DriveStatistics._repr_html_.<locals>.get_fields"};
const Str k_set_items_qualname{"DriveStatistics._repr_html_.<locals>.set_items"};

// The six fields of a table row, in column order.
const Str* const field_names[] = {&k_name, &k_category, &k_extension, &k_creatable, &k_updatable, &k_virtualio};

// ==== snapshot and lookup ============================================================

// DriveStatistics.__init__(self): one base-class Driver per registry index.
Ref statistics_init(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    setattr(self, k_drivers, new_list().get());
    Ref gdal = global(k_gdal);
    Ref count = call_method(gdal.get(), k_GetDriverCount);
    Ref indexes = Ref::steal(PyObject_GetIter(call(builtins.range, {count.get()}).get()));
    while (Ref i = Ref::steal_or_null(PyIter_Next(indexes.get()))) {
        Ref driver_cls = global(k_Driver);
        Ref driver = call(driver_cls.get(), {i.get()});
        Ref drivers = getattr(self, k_drivers);
        if (PyList_CheckExact(drivers.get()))
            list_append(drivers.get(), driver.get());
        else
            call_method(drivers.get(), k_append, {driver.get()});
    }
    if (PyErr_Occurred()) throw_error();
    return Ref::borrow(Py_None);
}

// ds[indices]: by position for an int, else by short name in any letter case.
Ref statistics_getitem(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* indices = args[1];
    Ref drivers = getattr(self, k_drivers);
    if (PyLong_Check(indices)) return Ref::steal(PyObject_GetItem(drivers.get(), indices));
    Ref key = PyUnicode_CheckExact(indices) ? Ref::borrow(indices) : Ref::steal(PyObject_Str(indices));
    key = call_method(key.get(), k_lower);
    Ref it = Ref::steal(PyObject_GetIter(drivers.get()));
    while (Ref driver = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref name = call_method(getattr(driver.get(), k_name).get(), k_lower);
        if (equals(name.get(), key.get())) return driver;
    }
    if (PyErr_Occurred()) throw_error();
    Ref text = format_text(indices);
    raise_format_error(concat({*k_quote, text.get(), *k_quote, *k_not_a_driver}).get());
}

Ref statistics_len(Function*, PyObject* const* args) {
    Ref drivers = getattr(args[0], k_drivers);
    return Ref::steal(PyLong_FromSsize_t(check_size(PyObject_Size(drivers.get()))));
}

// ==== filtered lists =====================================================================

// A new list of the drivers that `keep` selects, in registry order.
template <typename Keep>
Ref select_drivers(PyObject* self, Keep keep) {
    Ref drivers = getattr(self, k_drivers);
    Ref selected = new_list();
    Ref it = Ref::steal(PyObject_GetIter(drivers.get()));
    while (Ref driver = Ref::steal_or_null(PyIter_Next(it.get()))) {
        if (keep(driver.get())) list_append(selected.get(), driver.get());
    }
    if (PyErr_Occurred()) throw_error();
    return selected;
}

Ref with_flag(PyObject* self, const Str& flag) {
    return select_drivers(self, [&flag](PyObject* dr) { return truth(getattr(dr, flag).get()); });
}

Ref with_category(PyObject* self, const Str& word) {
    return select_drivers(self, [&word](PyObject* dr) { return contains(getattr(dr, k_category).get(), *word); });
}

Ref statistics_creatables(Function*, PyObject* const* args) { return with_flag(args[0], k_creatable); }
Ref statistics_updatables(Function*, PyObject* const* args) { return with_flag(args[0], k_updatable); }
Ref statistics_virtualios(Function*, PyObject* const* args) { return with_flag(args[0], k_virtualio); }
Ref statistics_rasters(Function*, PyObject* const* args) { return with_category(args[0], k_raster); }
Ref statistics_vectors(Function*, PyObject* const* args) { return with_category(args[0], k_vector); }

// ==== HTML table ============================================================================

// _repr_html_.<locals>.get_fields(i, sel_fields_range); closure: (self,)
Ref get_fields(Function* fn, PyObject* const* args) {
    PyObject* self = PyTuple_GET_ITEM(fn->closure, 0);
    PyObject* i = args[0];
    Ref dr = Ref::steal(PyObject_GetItem(self, i));
    Ref row = new_list();
    list_append(row.get(), i);
    for (const Str* field : field_names) list_append(row.get(), getattr(dr.get(), *field).get());
    return row;
}

// table.add_row(get_fields(i, sel_fields_range)) for i in range(*run)
void add_rows(PyObject* table, PyObject* get_fields_fn, PyObject* run, PyObject* sel_fields_range) {
    Ref range_args = Ref::steal(PySequence_Tuple(run));
    Ref indexes =
        Ref::steal(PyObject_GetIter(Ref::steal(PyObject_Call(builtins.range, range_args.get(), nullptr)).get()));
    while (Ref i = Ref::steal_or_null(PyIter_Next(indexes.get()))) {
        Ref row = call(get_fields_fn, {i.get(), sel_fields_range});
        call_method(table, k_add_row, {row.get()});
    }
    if (PyErr_Occurred()) throw_error();
}

// _repr_html_.<locals>.set_items(sel_fid_range, sel_fields_range);
// closure: (table, get_fields, l_fields, l_info)
Ref set_items(Function* fn, PyObject* const* args) {
    PyObject* table = PyTuple_GET_ITEM(fn->closure, 0);
    PyObject* get_fields_fn = PyTuple_GET_ITEM(fn->closure, 1);
    PyObject* l_fields = PyTuple_GET_ITEM(fn->closure, 2);
    PyObject* l_info = PyTuple_GET_ITEM(fn->closure, 3);
    PyObject* sel_fid_range = args[0];
    PyObject* sel_fields_range = args[1];
    // Subscripted like sel_fid_range[0]: any object with __getitem__ will do.
    Ref zero = new_int(0);
    Ref head_run = Ref::steal(PyObject_GetItem(sel_fid_range, zero.get()));
    add_rows(table, get_fields_fn, head_run.get(), sel_fields_range);
    Ref one_index = new_int(1);
    Ref tail_run = Ref::steal(PyObject_GetItem(sel_fid_range, one_index.get()));
    Ref no_run = new_tuple({zero.get(), zero.get()});
    Ref differs = Ref::steal(PyObject_RichCompare(tail_run.get(), no_run.get(), Py_NE));
    if (truth(differs.get())) {
        Ref width = Ref::steal(PyNumber_Add(l_info, l_fields));
        Ref one = new_list();
        list_append(one.get(), *k_ellipsis);
        Ref filler = Ref::steal(PyNumber_Multiply(one.get(), width.get()));
        call_method(table, k_add_row, {filler.get()});
        add_rows(table, get_fields_fn, tail_run.get(), sel_fields_range);
    }
    return Ref::borrow(Py_None);
}

// Two results of get_sel(count, limit).
void select(PyObject* get_sel, PyObject* count, PyObject* limit, Ref* out) {
    Ref result = call(get_sel, {count, limit});
    unpack(result.get(), out, 2);
}

Ref list_length(PyObject* self, const Str& list) {
    Ref value = getattr(self, list);
    return Ref::steal(PyLong_FromSsize_t(check_size(PyObject_Size(value.get()))));
}

// DriveStatistics._repr_html_(self)
Ref statistics_repr_html(Function*, PyObject* const* args) {
    static const FunctionDef get_fields_def{"get_fields", "i sel_fields_range", get_fields};
    static const FunctionDef set_items_def{"set_items", "sel_fid_range sel_fields_range", set_items};
    PyObject* self = args[0];
    Ref get_sel = import_sibling(k_base, k_get_sel);
    Ref ft_count = Ref::steal(PyLong_FromSsize_t(check_size(PyObject_Size(self))));
    Ref names = new_list();
    for (const Str* field : field_names) list_append(names.get(), field->get());
    Ref field_count = new_int(static_cast<long>(std::size(field_names)));
    Ref env = global(k_env);
    Ref limits[2];
    unpack(getattr(env.get(), k_JupyterShowMaxShape).get(), limits, 2);
    Ref rows[2];
    select(get_sel.get(), ft_count.get(), limits[0].get(), rows);
    Ref columns[2];
    select(get_sel.get(), field_count.get(), limits[1].get(), columns);
    PyObject* l_fields = columns[1].get();
    Ref l_info = new_int(1);
    Ref gdata = global(k_gdata);
    Ref table_cls = getattr(gdata.get(), k_VEKHTMLTable);
    Ref zero = new_int(0);
    Ref table = call(table_cls.get(), {l_fields, l_info.get(), zero.get(), Py_False});

    Ref base_infos = new_dict();
    dict_set(base_infos.get(), *k_Rasters, list_length(self, k_rasters).get());
    dict_set(base_infos.get(), *k_Vectors, list_length(self, k_vectors).get());
    Ref total = Ref::steal(PyLong_FromSsize_t(check_size(PyObject_Size(self))));
    dict_set(base_infos.get(), *k_Total, total.get());
    call_method(table.get(), k_set_base_info, {base_infos.get()});

    Ref get_fields_fn = make_function(get_fields_def, *k_get_fields_qualname, nullptr, new_tuple({self}).get());
    Ref set_items_closure = new_tuple({table.get(), get_fields_fn.get(), l_fields, l_info.get()});
    Ref set_items_fn = make_function(set_items_def, *k_set_items_qualname, nullptr, set_items_closure.get());
    call(set_items_fn.get(), {rows[0].get(), columns[0].get()});

    Ref head = new_list();
    list_append(head.get(), *k_empty);
    Ref full_head = Ref::steal(PySequence_Concat(head.get(), names.get()));
    call_method(table.get(), k_add_head, {full_head.get()});
    return call_method(table.get(), k_to_html);
}

// ==== the class ==================================================================================

// Fixed by the interface (docs/contract.md): the names, order, parameters, texts and defaults of these members.
const MemberDef statistics_members[] = {
    method("__init__", "self", statistics_init),
    method("__getitem__", "self indices", statistics_getitem),
    method("__len__", "self", statistics_len),
    method("_repr_html_", "self", statistics_repr_html, "HTML style for Jupyter NoteBook."),
    property("creatables", statistics_creatables, "List of supported drivers that can be created. --> list"),
    property("rasters", statistics_rasters, "List of supported drivers that can be raster. --> list"),
    property("updatables", statistics_updatables, "List of supported drivers that can be updatables. --> list"),
    property("vectors", statistics_vectors, "List of supported drivers that can be vector. --> list"),
    property("virtualios", statistics_virtualios, "List of supported drivers that can be virtualios. --> list"),
};

}  // namespace

const ClassDef drive_statistics_class = class_def("DriveStatistics", "Drive statistics object.", statistics_members);

}  // namespace vek

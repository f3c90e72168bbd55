// VectorDriver: the vector kind check, vector capabilities and vector
// dataset creation.
#include "driver.hpp"

#include "names.hpp"

namespace vek {

namespace {

const Str k_not_vector{" is not a vector driver!"};
const Str k_XY{"XY"};
const Str k_Z{"Z"};
const Str k_M{"M"};
const Str k_DMD_CREATIONFIELDDATATYPES{"DMD_CREATIONFIELDDATATYPES"};
const Str k_DCAP_MULTIPLE_VECTOR_LAYERS{"DCAP_MULTIPLE_VECTOR_LAYERS"};
const Str k_DCAP_Z_GEOMETRIES{"DCAP_Z_GEOMETRIES"};
const Str k_DCAP_MEASURED_GEOMETRIES{"DCAP_MEASURED_GEOMETRIES"};
const Str k_DMD_SUPPORTED_SQL_DIALECTS{"DMD_SUPPORTED_SQL_DIALECTS"};
const Str k_SQL_DIALECTS{"SQL_DIALECTS"};

// VectorDriver.__init__(self, name='ESRI Shapefile')
Ref vector_init(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* name = args[1];
    // The class cell can be rebound from Python while super() runs.
    Ref cls = Ref::borrow(class_of(fn));
    Ref parent = call(builtins.super, {cls.get(), self});
    call_method(parent.get(), k_init, {name});
    if (!truth(getattr(self, k_is_vector).get())) raise_kind_error(name, k_not_vector);
    return Ref::borrow(Py_None);
}

Ref vector_category(Function*, PyObject* const*) { return Ref::borrow(*k_vector); }

Ref vector_creation_ftypes(Function*, PyObject* const* args) {
    return metadata_list(args[0], k_DMD_CREATIONFIELDDATATYPES);
}

Ref vector_multi_layers(Function*, PyObject* const* args) {
    return metadata_flag(args[0], k_DCAP_MULTIPLE_VECTOR_LAYERS);
}

// "XY", then "Z" and "M" for the geometry kinds the driver can store.
Ref vector_dimension(Function*, PyObject* const* args) {
    bool z = truth(metadata_flag(args[0], k_DCAP_Z_GEOMETRIES).get());
    bool m = truth(metadata_flag(args[0], k_DCAP_MEASURED_GEOMETRIES).get());
    Ref text = Ref::borrow(*k_XY);
    if (z) text = concat({text.get(), *k_Z});
    if (m) text = concat({text.get(), *k_M});
    return text;
}

// GDAL publishes the dialects as DMD_SUPPORTED_SQL_DIALECTS; SQL_DIALECTS is
// read for drivers that only have that item.
Ref vector_sql_dialects(Function*, PyObject* const* args) {
    Ref text = metadata_item(args[0], k_DMD_SUPPORTED_SQL_DIALECTS);
    if (!truth(text.get())) text = metadata_item(args[0], k_SQL_DIALECTS);
    return call_method(text.get(), k_split);
}

Ref vector_creation_options_info(Function*, PyObject* const* args) {
    return call_method(args[0], k_set_creation_options_info, {Py_False});
}

Ref vector_open_options_info(Function*, PyObject* const* args) {
    return call_method(args[0], k_set_open_options_info, {Py_False});
}

Ref vector_transformable(Function*, PyObject* const* args) { return getattr(args[0], k_creatable); }

// VectorDriver._create_(self, out_dst): an empty dataset, no sizes, no options.
Ref vector_create_dataset(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref opts = new_list();
    Ref out_dst = Ref::borrow(args[1]);
    if (out_dst.get() == Py_None) {
        Ref mem_temp_path = global(k_mem_temp_path);
        out_dst = call(mem_temp_path.get(), {getattr(self, k_extension).get()});
    }
    Ref call_gdal_fun = global(k_call_gdal_fun);
    Ref gdal = global(k_gdal);
    Ref create = getattr(gdal.get(), k_Driver_Create);
    Ref handle = getattr(self, k_driver);
    Ref zero = new_int(0);
    return call(call_gdal_fun.get(), {create.get(), handle.get(), out_dst.get(), zero.get(), zero.get(), zero.get(),
                                      zero.get(), opts.get()});
}

// VectorDriver.create(self, out_dst)
Ref vector_create(Function*, PyObject* const* args) {
    Ref handle = call_method(args[0], k_create, {args[1]});
    Ref geodatabase = import_sibling(k_geodatabase, k_GeoDatabase);
    return call(geodatabase.get(), {handle.get()});
}

Ref default_name() { return new_tuple({Ref::steal(PyUnicode_FromString("ESRI Shapefile")).get()}); }

constexpr const char* init_doc =
    "\n        Create a vector driver object.\n\n        **Optional\n        ----------\n"
    "        name = str. Default 'ESRI Shapefile'.\n            A vector driver.\n        ";
constexpr const char* create_doc =
    "\n        Create a new Dataset with this driver.\n\n        Parameters\n        ----------\n"
    "        out_dst: str.\n            Path of the dataset to create. None for memory.\n\n"
    "        Returns\n        -------\n        Dataset    \n\n        ";

// Fixed by the interface (docs/contract.md): the names, order, parameters, texts and defaults of these members.
const MemberDef vector_members[] = {
    method_with_class_cell("__init__", "self name", vector_init, init_doc, default_name),
    method("_create_", "self out_dst", vector_create_dataset),
    property("category", vector_category, "Driver category. --> str"),
    method("create", "self out_dst", vector_create, create_doc),
    property("creation_ftypes", vector_creation_ftypes, "Supported field storage types.--> list"),
    property("creation_options_info", vector_creation_options_info, "creation options. --> list"),
    property("dimension", vector_dimension, "Get the dimension vector driver. --> str"),
    property("multi_layers", vector_multi_layers, "Whether the vector driver supports multi layers. --> bool"),
    property("open_options_info", vector_open_options_info, "open options. --> list"),
    property("sql_dialects", vector_sql_dialects, "The vector driver support's sql dialects. --> list"),
    property("transformable", vector_transformable, "Whether the vector driver supports transformable. --> bool"),
};

}  // namespace

const ClassDef vector_driver_class = class_def("VectorDriver", "Vector driver object.", vector_members);

}  // namespace vek

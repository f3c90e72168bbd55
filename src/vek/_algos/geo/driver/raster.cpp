// RasterDriver: the raster kind check, raster capabilities and raster
// dataset creation.
#include "driver.hpp"

#include "names.hpp"

namespace vek {

namespace {

const Str k_not_raster{" is not a raster driver!"};
const Str k_COMPRESS{"COMPRESS"};
const Str k_creation_options{"creation_options"};
const Str k_copyable{"copyable"};
const Str k_DCAP_COORDINATE_EPOCH{"DCAP_COORDINATE_EPOCH"};
const Str k_DCAP_CREATECOPY{"DCAP_CREATECOPY"};
const Str k_DMD_CREATIONDATATYPES{"DMD_CREATIONDATATYPES"};
const Str k_DMD_SUBDATASETS{"DMD_SUBDATASETS"};
const Str k_get_raster_dtype_code{"get_raster_dtype_code"};

// RasterDriver.__init__(self, name='GTiff')
Ref raster_init(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* name = args[1];
    // The class cell can be rebound from Python while super() runs.
    Ref cls = Ref::borrow(class_of(fn));
    Ref parent = call(builtins.super, {cls.get(), self});
    call_method(parent.get(), k_init, {name});
    if (!truth(getattr(self, k_is_raster).get())) raise_kind_error(name, k_not_raster);
    return Ref::borrow(Py_None);
}

Ref raster_category(Function*, PyObject* const*) { return Ref::borrow(*k_raster); }

// The allowed values of COMPRESS: the list kept in the catalogue itself.
Ref raster_compress_modes(Function*, PyObject* const* args) {
    Ref opts = getattr(args[0], k_creation_options_info);
    Ref compress = call_method(opts.get(), k_get, {*k_COMPRESS, new_dict().get()});
    return call_method(compress.get(), k_get, {*k_value, new_list().get()});
}

Ref raster_coordinate_epoch(Function*, PyObject* const* args) {
    return metadata_flag(args[0], k_DCAP_COORDINATE_EPOCH);
}
Ref raster_copyable(Function*, PyObject* const* args) { return metadata_flag(args[0], k_DCAP_CREATECOPY); }
Ref raster_sub_datasets(Function*, PyObject* const* args) { return metadata_flag(args[0], k_DMD_SUBDATASETS); }
Ref raster_creation_dtypes(Function*, PyObject* const* args) { return metadata_list(args[0], k_DMD_CREATIONDATATYPES); }

Ref raster_creation_options_info(Function*, PyObject* const* args) {
    return call_method(args[0], k_set_creation_options_info, {Py_True});
}

Ref raster_open_options_info(Function*, PyObject* const* args) {
    return call_method(args[0], k_set_open_options_info, {Py_True});
}

Ref raster_transformable(Function*, PyObject* const* args) {
    Ref copyable = getattr(args[0], k_copyable);
    Ref creatable = getattr(args[0], k_creatable);
    return Ref::steal(PyNumber_Or(copyable.get(), creatable.get()));
}

// RasterDriver._create_(self, out_dst, bands, ysize, xsize, dtype='Float32')
Ref raster_create_dataset(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref opts = getattr(self, k_creation_options);
    Ref out_dst = Ref::borrow(args[1]);
    if (out_dst.get() == Py_None) {
        Ref mem_temp_path = global(k_mem_temp_path);
        out_dst = call(mem_temp_path.get(), {getattr(self, k_extension).get()});
    }
    Ref dtypes = global(k_dtypes);
    Ref code = call_method(dtypes.get(), k_get_raster_dtype_code, {args[5]});
    Ref call_gdal_fun = global(k_call_gdal_fun);
    Ref gdal = global(k_gdal);
    Ref create = getattr(gdal.get(), k_Driver_Create);
    Ref handle = getattr(self, k_driver);
    return call(call_gdal_fun.get(),
                {create.get(), handle.get(), out_dst.get(), args[4], args[3], args[2], code.get(), opts.get()});
}

// RasterDriver.create(self, out_dst, xsize, ysize, bands, dtype='Float32')
Ref raster_create(Function*, PyObject* const* args) {
    Ref handle = call_method(args[0], k_create, {args[1], args[4], args[3], args[2], args[5]});
    Ref geodatabase = import_sibling(k_geodatabase, k_GeoDatabase);
    return call(geodatabase.get(), {handle.get()});
}

Ref default_name() { return new_tuple({Ref::steal(PyUnicode_FromString("GTiff")).get()}); }
Ref default_dtype() { return new_tuple({Ref::steal(PyUnicode_FromString("Float32")).get()}); }

constexpr const char* init_doc =
    "\n        Create a raster driver object.\n\n        **Optional\n        ----------\n"
    "        name = str. Default 'GTiff'.\n            A raster driver name.\n        ";
constexpr const char* create_doc =
    "\n        Create a new Dataset with this driver.\n\n        Parameters\n        ----------\n"
    "        out_dst: str.\n            Path of the dataset to create. None for memory.\n\n"
    "        xsize: int.\n            Width of created raster in pixels. \n\n"
    "        ysize: int.\n            Height of created raster in pixels. \n\n"
    "        bands: int.\n            Number of bands. \n\n        **Optional\n        ----------\n"
    "        dtype: int. str or RaterDataType, default = 'Float32'.\n"
    "            Raster data type. Set to `dtypes.RaterDataType` for raster datasets.\n\n"
    "        Returns\n        -------\n        Dataset    \n\n        ";

// Fixed by the interface (docs/contract.md): the names, order, parameters, texts and defaults of these members.
const MemberDef raster_members[] = {
    method_with_class_cell("__init__", "self name", raster_init, init_doc, default_name),
    method("_create_", "self out_dst bands ysize xsize dtype", raster_create_dataset, nullptr, default_dtype),
    property("category", raster_category, "Driver category. --> str"),
    property("compress_modes", raster_compress_modes,
             "The compression methods supported by the raster driver.--> list"),
    property("coordinate_epoch", raster_coordinate_epoch,
             "Whether the raster driver supports georeferencing. --> bool"),
    property("copyable", raster_copyable, "Whether the target drive supports copy. --> bool"),
    method("create", "self out_dst xsize ysize bands dtype", raster_create, create_doc, default_dtype),
    property("creation_dtypes", raster_creation_dtypes, "Supported data storage types.--> list"),
    property("creation_options_info", raster_creation_options_info, "creation options. --> list"),
    property("open_options_info", raster_open_options_info, "open options. --> list"),
    property("sub_datasets", raster_sub_datasets, "Whether the raster driver supports sub dataset. --> bool"),
    property("transformable", raster_transformable, "Whether the raster driver supports transformable. --> bool"),
};

}  // namespace

const ClassDef raster_driver_class = class_def("RasterDriver", "Raster driver object.", raster_members);

}  // namespace vek

// Driver: construction and identity, capability properties, option
// catalogues, option values, opening datasets and the HTML view.
#include "driver.hpp"

#include "names.hpp"

#include <utility>
#include <vector>

namespace vek {

namespace {

const Str k_GetDriver{"GetDriver"};
const Str k_GetDriverByName{"GetDriverByName"};
const Str k_GetMetadataItem{"MajorObject_GetMetadataItem"};
const Str k_ShortName_get{"Driver_ShortName_get"};
const Str k_open_opts{"_open_opts"};
const Str k_creation_opts{"_creation_opts"};
const Str k_get_metadata_item{"_get_metadata_item_"};
const Str k_str{"__str__"};
const Str k_upper{"upper"};
const Str k_yes{"YES"};
const Str k_dash{" - "};
const Str k_raster_vector{"Raster/Vector"};
const Str k_extensions{"extensions"};
const Str k_DCAP_CREATE{"DCAP_CREATE"};
const Str k_DCAP_RASTER{"DCAP_RASTER"};
const Str k_DCAP_VECTOR{"DCAP_VECTOR"};
const Str k_DCAP_UPDATE{"DCAP_UPDATE"};
const Str k_DCAP_VIRTUALIO{"DCAP_VIRTUALIO"};
const Str k_DMD_EXTENSION{"DMD_EXTENSION"};
const Str k_DMD_EXTENSIONS{"DMD_EXTENSIONS"};
const Str k_DMD_LONGNAME{"DMD_LONGNAME"};
const Str k_DMD_CREATIONOPTIONLIST{"DMD_CREATIONOPTIONLIST"};
const Str k_DS_LAYER_CREATIONOPTIONLIST{"DS_LAYER_CREATIONOPTIONLIST"};
const Str k_DMD_OPENOPTIONLIST{"DMD_OPENOPTIONLIST"};
const Str k_RasterConfig{"RasterConfig"};
const Str k_VectorConfig{"VectorConfig"};
const Str k_creation_options_key{"creation.options"};
const Str k_open_options_key{"open.options"};
const Str k_items{"items"};
const Str k_current{"current"};
const Str k_alias{"alias"};
const Str k_deprecated_alias{"deprecated_alias"};
const Str k_set_opts{"_set_opts_"};
const Str k_open_options_info{"open_options_info"};
const Str k_open_options{"open_options"};
const Str k_errors{"errors"};
const Str k_all_sels{"all_sels"};
const Str k_open_file{"open_file"};
const Str k_VEKHTMLDetails{"VEKHTMLDetails"};
const Str k_add_details{"add_details"};
const Str k_Name{"Name"};
const Str k_Category{"Category"};
const Str k_Creatable{"Creatable"};
const Str k_Extension{"Extension"};
const Str k_Creation_Options{"Creation Options"};
const Str k_Open_Options{"Open Options"};

PyObject* self_of(PyObject* const* args) { return args[0]; }

// ==== construction and identity ==================================================

// Driver.__init__(self, name)
Ref driver_init(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* name = args[1];
    Ref driver_cls = global(k_Driver);
    if (is_instance(name, driver_cls.get())) {
        // Share the source's handle and both catalogues; nothing is re-read.
        setattr(self, k_driver, getattr(name, k_driver).get());
        setattr(self, k_open_opts, getattr(name, k_open_opts).get());
        setattr(self, k_creation_opts, getattr(name, k_creation_opts).get());
        return Ref::borrow(Py_None);
    }
    Ref candidate;
    if (PyLong_Check(name)) {
        Ref gdal = global(k_gdal);
        candidate = call_method(gdal.get(), k_GetDriver, {name});
    } else if (PyUnicode_Check(name)) {
        Ref gdal = global(k_gdal);
        candidate = call_method(gdal.get(), k_GetDriverByName, {name});
        if (candidate.get() == Py_None) candidate = Ref::borrow(name);
    } else {
        candidate = Ref::borrow(name);
    }
    Ref to_handle = global(k_to_driver_shadow);
    Ref handle = call(to_handle.get(), {candidate.get(), Py_False});
    setattr(self, k_driver, handle.get());
    setattr(self, k_open_opts, new_dict().get());
    setattr(self, k_creation_opts, new_dict().get());
    return Ref::borrow(Py_None);
}

// Driver.__repr__(self): the printed form, through the instance's __str__.
Ref driver_repr(Function*, PyObject* const* args) { return call_method(self_of(args), k_str); }

// Driver.__str__(self): name - category
Ref driver_str(Function*, PyObject* const* args) {
    PyObject* self = self_of(args);
    Ref name = format_text(getattr(self, k_name).get());
    Ref category = format_text(getattr(self, k_category).get());
    return concat({name.get(), *k_dash, category.get()});
}

// Driver._get_metadata_item_(self, psz): the item's text, "" when absent.
Ref driver_get_metadata_item(Function*, PyObject* const* args) {
    Ref gdal = global(k_gdal);
    Ref handle = getattr(args[0], k_driver);
    Ref value = call_method(gdal.get(), k_GetMetadataItem, {handle.get(), args[1]});
    if (truth(value.get())) return value;
    return Ref::borrow(*k_empty);
}

// ==== capability properties =============================================================

Ref driver_category(Function*, PyObject* const* args) {
    PyObject* self = self_of(args);
    bool raster = truth(getattr(self, k_is_raster).get());
    bool vector = truth(getattr(self, k_is_vector).get());
    const Str& text = raster ? (vector ? k_raster_vector : k_raster) : (vector ? k_vector : k_empty);
    return Ref::borrow(*text);
}

Ref driver_creatable(Function*, PyObject* const* args) { return metadata_flag(self_of(args), k_DCAP_CREATE); }
Ref driver_is_raster(Function*, PyObject* const* args) { return metadata_flag(self_of(args), k_DCAP_RASTER); }
Ref driver_is_vector(Function*, PyObject* const* args) { return metadata_flag(self_of(args), k_DCAP_VECTOR); }
Ref driver_updatable(Function*, PyObject* const* args) { return metadata_flag(self_of(args), k_DCAP_UPDATE); }
Ref driver_virtualio(Function*, PyObject* const* args) { return metadata_flag(self_of(args), k_DCAP_VIRTUALIO); }
Ref driver_extensions(Function*, PyObject* const* args) { return metadata_list(self_of(args), k_DMD_EXTENSIONS); }
Ref driver_long_name(Function*, PyObject* const* args) { return metadata_item(self_of(args), k_DMD_LONGNAME); }

Ref driver_extension(Function*, PyObject* const* args) {
    PyObject* self = self_of(args);
    Ref text = metadata_item(self, k_DMD_EXTENSION);
    if (truth(text.get())) return text;
    Ref all = getattr(self, k_extensions);
    if (!truth(all.get())) return Ref::borrow(*k_empty);
    return Ref::steal(PySequence_GetItem(all.get(), 0));
}

Ref driver_name(Function*, PyObject* const* args) {
    Ref gdal = global(k_gdal);
    Ref handle = getattr(self_of(args), k_driver);
    return call_method(gdal.get(), k_ShortName_get, {handle.get()});
}

// ==== option catalogues =====================================================================

struct Selection {
    Ref defaults_table;   // the configured-defaults table of the chosen kind
    const Str* metadata;  // the creation-option list item of that kind
};

// The configured-defaults table kept under `key` ("creation.options" or
// "open.options") of env.<config>.
Ref configured_defaults(const Str& config, const Str& key) {
    Ref env = global(k_env);
    Ref table = getattr(env.get(), config);
    return call_method(table.get(), k_get, {*key, new_dict().get()});
}

// Chooses the kind: `raster` None lets the driver decide (raster first);
// otherwise the driver must have the asked kind. Reads is_raster/is_vector
// only as far as the decision needs. `key` names the defaults table: the
// open-option builder takes its own, so creation defaults never reach open.
Selection select_kind(PyObject* self, PyObject* raster, const Str& key = k_creation_options_key) {
    auto reads = [self](const Str& flag) { return truth(getattr(self, flag).get()); };
    if (raster == Py_None) {
        if (reads(k_is_raster)) return {configured_defaults(k_RasterConfig, key), &k_DMD_CREATIONOPTIONLIST};
        return {configured_defaults(k_VectorConfig, key), &k_DS_LAYER_CREATIONOPTIONLIST};
    }
    if (truth(raster) && reads(k_is_raster))
        return {configured_defaults(k_RasterConfig, key), &k_DMD_CREATIONOPTIONLIST};
    if (!truth(raster) && reads(k_is_vector))
        return {configured_defaults(k_VectorConfig, key), &k_DS_LAYER_CREATIONOPTIONLIST};
    return {new_dict(), &k_DMD_CREATIONOPTIONLIST};
}

// Stores this driver's configured defaults as "current" values of the
// catalogue kept in `attr`; names the catalogue does not list are skipped.
void apply_defaults(PyObject* self, const Str& attr, PyObject* table) {
    Ref name = getattr(self, k_name);
    Ref def_opts = call_method(table, k_get, {name.get(), new_dict().get()});
    Ref items = call_method(def_opts.get(), k_items);
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref pair[2];
        unpack(item.get(), pair, 2);
        Ref catalogue = getattr(self, attr);
        if (!contains(catalogue.get(), pair[0].get())) continue;
        Ref record = Ref::steal(PyObject_GetItem(catalogue.get(), pair[0].get()));
        check(PyObject_SetItem(record.get(), *k_current, pair[1].get()));
    }
    if (PyErr_Occurred()) throw_error();
}

// Parses `opt_str` into the catalogue kept in `attr`, then runs `finish`.
// The catalogue is kept only once it is complete: when `finish` fails, the
// attribute gets its earlier (empty) value back, so the next request builds
// it again instead of handing out a catalogue without its defaults.
template <typename Finish>
Ref keep_catalogue(PyObject* self, const Str& attr, PyObject* earlier, PyObject* opt_str, Finish finish) {
    Ref reader = global(k_read_xml_to_dict);
    setattr(self, attr, call(reader.get(), {opt_str}).get());
    try {
        finish();
    } catch (...) {
        PyObject* exc = PyErr_GetRaisedException();  // NULL for a C++ error
        if (PyObject_SetAttr(self, *attr, earlier) < 0) PyErr_Clear();
        PyErr_SetRaisedException(exc);
        throw;
    }
    return getattr(self, attr);
}

// Driver._set_creation_options_info_(self, raster=None)
Ref driver_set_creation_options_info(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref kept = getattr(self, k_creation_opts);
    if (truth(kept.get())) return kept;
    Selection kind = select_kind(self, args[1]);
    Ref opt_str = metadata_item(self, *kind.metadata);
    return keep_catalogue(self, k_creation_opts, kept.get(), opt_str.get(), [&] {
        if (truth(kind.defaults_table.get())) apply_defaults(self, k_creation_opts, kind.defaults_table.get());
    });
}

// Driver._set_open_options_info_(self, raster=None)
Ref driver_set_open_options_info(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref kept = getattr(self, k_open_opts);
    if (truth(kept.get())) return kept;
    Ref opt_str = metadata_item(self, k_DMD_OPENOPTIONLIST);
    return keep_catalogue(self, k_open_opts, kept.get(), opt_str.get(), [&] {
        Selection kind = select_kind(self, args[1], k_open_options_key);
        apply_defaults(self, k_open_opts, kind.defaults_table.get());
    });
}

Ref driver_creation_options_info(Function*, PyObject* const* args) {
    return call_method(self_of(args), k_set_creation_options_info, {Py_None});
}

Ref driver_open_options_info(Function*, PyObject* const* args) {
    return call_method(self_of(args), k_set_open_options_info, {Py_None});
}

// ==== option values ===========================================================================

// The text attribute `attr` of a dict record, or a null Ref.
Ref record_text(PyObject* record, const Str& attr) {
    if (!PyDict_Check(record)) return {};
    PyObject* found = nullptr;
    check(PyDict_GetItemRef(record, *attr, &found));
    Ref text = Ref::steal_or_null(found);
    return text && PyUnicode_Check(text.get()) ? text : Ref{};
}

// Whether the catalogue key `key` is a pattern that `name` matches, by
// GDAL's rule: a trailing '*' matches names that start with the rest, a
// leading '*' names longer than the pattern that end with the rest.
bool pattern_matches(PyObject* key, PyObject* name) {
    if (!PyUnicode_Check(key)) return false;
    Py_ssize_t len = PyUnicode_GetLength(key);
    if (len == 0) return false;
    if (PyUnicode_ReadChar(key, len - 1) == '*') {
        Ref prefix = Ref::steal(PyUnicode_Substring(key, 0, len - 1));
        if (check_size(PyUnicode_Tailmatch(name, prefix.get(), 0, PY_SSIZE_T_MAX, -1)) == 1) return true;
    }
    if (PyUnicode_ReadChar(key, 0) == '*' && PyUnicode_GetLength(name) > len) {
        Ref suffix = Ref::steal(PyUnicode_Substring(key, 1, len));
        return check_size(PyUnicode_Tailmatch(name, suffix.get(), 0, PY_SSIZE_T_MAX, 1)) == 1;
    }
    return false;
}

// The option a keyword name that is not a key of the catalogue still names,
// as GDAL accepts it: the key of the first record, in catalogue order, whose
// alias (its "alias" attribute, else its "deprecated_alias") is the name, or
// that is a pattern the name matches (`*pattern` set). A null Ref for none.
// Names are compared case-sensitively, as keys are.
Ref named_option(PyObject* opts, PyObject* name, bool* pattern) {
    if (!PyUnicode_Check(name)) return {};
    PyObject* items_fn = nullptr;
    check(PyObject_GetOptionalAttr(opts, *k_items, &items_fn));
    if (items_fn == nullptr) return {};  // a catalogue without items(): keys alone
    Ref items = call(Ref::steal(items_fn).get());
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref pair[2];
        unpack(item.get(), pair, 2);
        Ref alias = record_text(pair[1].get(), k_alias);
        if (!alias) alias = record_text(pair[1].get(), k_deprecated_alias);
        if (alias && PyUnicode_Compare(alias.get(), name) == 0) {
            *pattern = false;
            return pair[0];
        }
        if (pattern_matches(pair[0].get(), name)) {
            *pattern = true;
            return pair[0];
        }
    }
    if (PyErr_Occurred()) throw_error();
    return {};
}

// Stores `value` as the "current" entry of the record it belongs to: the
// record of the key itself, of the option an alias names, or for a name a
// pattern matches a record of its own, a copy of the pattern's.
void store_value(PyObject* opts, PyObject* name, PyObject* value, const Ref& named, bool pattern) {
    if (named && pattern) {
        Ref source = Ref::steal(PyObject_GetItem(opts, named.get()));
        Ref record = call(reinterpret_cast<PyObject*>(&PyDict_Type), {source.get()});
        check(PyObject_SetItem(record.get(), *k_current, value));
        check(PyObject_SetItem(opts, name, record.get()));
        return;
    }
    Ref record = Ref::steal(PyObject_GetItem(opts, named ? named.get() : name));
    check(PyObject_SetItem(record.get(), *k_current, value));
}

// The (key, value) pairs of a **kwargs dict, flat in one new tuple, read
// with PyDict_Next, which runs no Python code.
Ref keyword_pairs(PyObject* kwargs) {
    Ref pairs = Ref::steal(PyTuple_New(2 * PyDict_GET_SIZE(kwargs)));
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(pairs.get(), i++, Py_NewRef(key));
        PyTuple_SET_ITEM(pairs.get(), i++, Py_NewRef(value));
    }
    return pairs;
}

// Driver._set_opts_(self, opts, **kwargs): one unlisted name rejects the
// whole call before anything is stored. A name is listed when it is a key,
// or an alias or pattern match of one (named_option).
Ref driver_set_opts(Function*, PyObject* const* args) {
    PyObject* opts = args[1];
    // The catalogue's __contains__ and __getitem__ may be Python code that
    // reaches `kwargs` and changes or clears it: walk a tuple of owned
    // pairs taken once, never the dict itself.
    Ref pairs = keyword_pairs(args[2]);
    Py_ssize_t count = PyTuple_GET_SIZE(pairs.get()) / 2;
    Ref error_keys;
    std::vector<std::pair<Ref, bool>> named;
    named.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* key = PyTuple_GET_ITEM(pairs.get(), 2 * i);
        bool pattern = false;
        Ref option;
        if (!contains(opts, key)) {
            option = named_option(opts, key, &pattern);
            if (!option) {
                if (!error_keys) error_keys = new_list();
                list_append(error_keys.get(), key);
            }
        }
        named.emplace_back(std::move(option), pattern);
    }
    if (error_keys) {
        Ref error = global(k_error);
        Ref cls = getattr(error.get(), k_FormatError);
        Ref kwnames = new_tuple({*k_errors, *k_all_sels});
        PyObject* stack[] = {nullptr, error_keys.get(), opts};
        Ref exc = Ref::steal(PyObject_Vectorcall(cls.get(), stack + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
        raise_object(exc.get());
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const auto& [option, pattern] = named[static_cast<std::size_t>(i)];
        store_value(opts, PyTuple_GET_ITEM(pairs.get(), 2 * i), PyTuple_GET_ITEM(pairs.get(), 2 * i + 1), option,
                    pattern);
    }
    return Ref::borrow(Py_None);
}

// self._set_opts_(self.<catalogue>, **kwargs), passed on as keywords: the
// callee binds a dict of its own, as `**kwargs` in Python would. One tuple
// holds the call's arguments (self, the catalogue, the values) while the
// callee runs.
Ref set_options(PyObject* self, const Str& catalogue, PyObject* kwargs) {
    Ref opts = getattr(self, catalogue);
    Py_ssize_t count = PyDict_GET_SIZE(kwargs);
    Ref args = Ref::steal(PyTuple_New(count + 2));
    Ref kwnames = Ref::steal(PyTuple_New(count));
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(self));
    PyTuple_SET_ITEM(args.get(), 1, Py_NewRef(opts.get()));
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
        PyTuple_SET_ITEM(args.get(), 2 + i++, Py_NewRef(value));
    }
    PyObject* const* stack = reinterpret_cast<PyTupleObject*>(args.get())->ob_item;
    Ref::steal(PyObject_VectorcallMethod(*k_set_opts, stack, 2, kwnames.get()));
    return Ref::borrow(Py_None);
}

Ref driver_set_creation_options(Function*, PyObject* const* args) {
    return set_options(args[0], k_creation_options_info, args[1]);
}

Ref driver_set_open_options(Function*, PyObject* const* args) {
    return set_options(args[0], k_open_options_info, args[1]);
}

// record["current"] when `"current" in record`, else a null Ref; one
// lookup for a plain dict.
inline Ref current_of(PyObject* record) {
    if (PyDict_CheckExact(record)) {
        PyObject* found = nullptr;
        check(PyDict_GetItemRef(record, *k_current, &found));
        return Ref::steal_or_null(found);
    }
    if (!contains(record, *k_current)) return {};
    return Ref::steal(PyObject_GetItem(record, *k_current));
}

// The "current" values of a plain dict of records, read in place. A
// record's lookup may still run code that changes the catalogue: that
// raises as the loop over its items would.
Ref current_values_of_dict(PyObject* opts) {
    Ref values = new_dict();
    Py_ssize_t size = PyDict_GET_SIZE(opts);
    Py_ssize_t pos = 0;
    PyObject *key, *record;
    while (PyDict_Next(opts, &pos, &key, &record)) {
        Ref held_key = Ref::borrow(key), held_record = Ref::borrow(record);
        Ref current = current_of(record);
        if (PyDict_GET_SIZE(opts) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw_error();
        }
        if (current) dict_set(values.get(), held_key.get(), current.get());
    }
    return values;
}

// The "current" values of a catalogue, as a new dict in catalogue order.
Ref current_values(PyObject* self, const Str& catalogue) {
    Ref opts = getattr(self, catalogue);
    if (PyDict_CheckExact(opts.get())) return current_values_of_dict(opts.get());
    Ref values = new_dict();
    Ref items = call_method(opts.get(), k_items);
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) {
        Ref pair[2];
        unpack(item.get(), pair, 2);
        if (Ref current = current_of(pair[1].get())) dict_set(values.get(), pair[0].get(), current.get());
    }
    if (PyErr_Occurred()) throw_error();
    return values;
}

Ref driver_creation_options(Function*, PyObject* const* args) {
    return current_values(self_of(args), k_creation_options_info);
}

Ref driver_open_options(Function*, PyObject* const* args) { return current_values(self_of(args), k_open_options_info); }

// ==== opening datasets ===========================================================================

// GDAL's open flags, named as in geodatabase.py.
constexpr long OF_UPDATE = 0x01;
constexpr long OF_RASTER = 0x02;
constexpr long OF_VECTOR = 0x04;
constexpr long OF_GNM = 0x08;
constexpr long OF_MULTIDIM = 0x10;

// Raster (with the network model and multidimensional kinds), or vector, or
// every kind; plus update for a driver that can create.
long open_flags(PyObject* self) {
    long flags = 0;
    if (equals(getattr(self, k_category).get(), *k_raster))
        flags = OF_RASTER | OF_GNM | OF_MULTIDIM;
    else if (equals(getattr(self, k_category).get(), *k_vector))
        flags = OF_VECTOR;
    if (truth(getattr(self, k_creatable).get())) flags |= OF_UPDATE;
    return flags;
}

// Driver.open(self, in_src, sibling_files=[])
Ref driver_open(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref open_ops = getattr(self, k_open_options);
    Ref flags = new_int(open_flags(self));
    Ref open_file = import_sibling(k_geodatabase, k_open_file);
    Ref drivers = new_list();
    list_append(drivers.get(), getattr(self, k_name).get());
    return call(open_file.get(), {args[1], flags.get(), drivers.get(), open_ops.get(), args[2]});
}

Ref default_sibling_files() { return new_tuple({new_list().get()}); }
Ref default_none() { return new_tuple({Py_None}); }

// ==== HTML view ====================================================================================

Ref driver_repr_html(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref gdata = global(k_gdata);
    Ref builder_cls = getattr(gdata.get(), k_VEKHTMLDetails);
    Ref builder = call(builder_cls.get());
    Ref base_info = new_dict();
    dict_set(base_info.get(), *k_Name, getattr(self, k_name).get());
    dict_set(base_info.get(), *k_Category, getattr(self, k_category).get());
    dict_set(base_info.get(), *k_Creatable, getattr(self, k_creatable).get());
    dict_set(base_info.get(), *k_Extension, getattr(self, k_extension).get());
    call_method(builder.get(), k_set_base_info, {base_info.get()});
    Ref details = new_dict();
    dict_set(details.get(), *k_Creation_Options, getattr(self, k_creation_options_info).get());
    dict_set(details.get(), *k_Open_Options, getattr(self, k_open_options_info).get());
    call_method(builder.get(), k_add_details, {details.get()});
    return call_method(builder.get(), k_to_html);
}

// ==== the class ======================================================================================

constexpr const char* init_doc =
    "\n        Create a Dataset object!\n\n        Parameters\n        ----------\n        name: str.\n"
    "            A driver name.\n\n        ";
constexpr const char* open_doc =
    "\n        Open a raster file of this driver as a Dataset.\n\n        Parameters\n        ----------\n"
    "        in_src: str\n            name of the file to open\n\n        **Optional\n        ----------\n"
    "        sibling_files: list, default = None.\n"
    "            A list of filenames that are auxiliary to the main filename.\n\n        Returns\n"
    "        -------\n        Dataset\n\n        ";

// Fixed by the interface (docs/contract.md): the names, order, parameters, texts and defaults of these members.
const MemberDef driver_members[] = {
    method("__init__", "self name", driver_init, init_doc),
    method("__repr__", "self", driver_repr),
    method("__str__", "self", driver_str),
    method("_get_metadata_item_", "self psz", driver_get_metadata_item),
    method("_repr_html_", "self", driver_repr_html),
    method("_set_creation_options_info_", "self raster", driver_set_creation_options_info, "creation options. --> list",
           default_none),
    method("_set_open_options_info_", "self raster", driver_set_open_options_info, "open options. --> list",
           default_none),
    method("_set_opts_", "self opts **kwargs", driver_set_opts),
    property("category", driver_category, "Driver category. --> str"),
    property("creatable", driver_creatable, "Whether the target drive supports creation. --> bool"),
    property("creation_options", driver_creation_options, "Creation options. --> dict"),
    property("creation_options_info", driver_creation_options_info, "Creation options info. --> list"),
    property("extension", driver_extension, "Driver extension. --> str"),
    property("extensions", driver_extensions, "Driver extensions. --> list"),
    property("is_raster", driver_is_raster, "Is a raster driver. --> bool"),
    property("is_vector", driver_is_vector, "Is a vector driver. --> bool"),
    property("long_name", driver_long_name, "Driver long name. --> str"),
    property("name", driver_name, "Driver name. --> str"),
    method("open", "self in_src sibling_files", driver_open, open_doc, default_sibling_files),
    property("open_options", driver_open_options, "Open options. --> dict"),
    property("open_options_info", driver_open_options_info, "Open options info. --> list"),
    method("set_creation_options", "self **kwargs", driver_set_creation_options,
           "Set create options! For more, see ~.creation_options_info!"),
    method("set_open_options", "self **kwargs", driver_set_open_options,
           "Set open options! For more, see ~.creation_options_info!"),
    property("updatable", driver_updatable, "Whether the target driver can be modified/updated. --> bool"),
    property("virtualio", driver_virtualio, "Whether the raster driver supports virtual dataset. --> bool"),
};

}  // namespace

const ClassDef driver_class = class_def("Driver", "A vek Driver object.", driver_members);

// ==== metadata readers shared by the family ===============================================================

Ref metadata_item(PyObject* self, const Str& key) { return call_method(self, k_get_metadata_item, {*key}); }

// item.upper() == "YES"
Ref metadata_flag(PyObject* self, const Str& key) {
    Ref text = metadata_item(self, key);
    if (int yes = fast::reads_yes(text.get()); yes >= 0) return Ref::borrow(yes ? Py_True : Py_False);
    Ref upper = call_method(text.get(), k_upper);
    return Ref::steal(PyObject_RichCompare(upper.get(), *k_yes, Py_EQ));
}

Ref metadata_list(PyObject* self, const Str& key) {
    Ref text = metadata_item(self, key);
    return call_method(text.get(), k_split);
}

void raise_kind_error(PyObject* name, const Str& tail) {
    Ref text = format_text(name);
    raise_format_error(concat({*k_quote, text.get(), *k_quote, *tail}).get());
}

}  // namespace vek

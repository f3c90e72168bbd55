"""A pure-Python twin of ``vek._algos.geo.driver`` for the benchmarks.

Not a product module: it exists so that ``run.py`` and ``callgrind.py`` can
put the compiled module beside the same classes written in Python, under
the same lookup rules.  Module globals are looked up at each use (as any
Python code does); ``get_sel``, ``open_file`` and ``GeoDatabase`` are
imported at every call of the method that uses them; methods, properties
and attributes are read on the instance, so subclasses, instance values and
data descriptors are honoured.  It imports the same names of the same
sibling module.  Only what the benchmarks reach is written out (no
VectorDriver); the behaviour of each member is the compiled module's.
"""

from vek._algos.geo.base import _gdal, call_gdal_fun, dtypes, env, error, gdata, mem_temp_path, xet  # noqa: F401


def _to_driver_shadow_(data, allow_error=True):
    if isinstance(data, Driver):
        data = data._driver
    if "GDALDriverShadow *" in data.__repr__():
        return data
    this = getattr(data, "this", None)
    if this and "GDALDriverShadow *" in this.__repr__():
        return this
    if allow_error:
        return None
    raise error.FormatError("Driver(" + format(data, "") + ") is incorrect!")


def read_xml_to_dict(xlm_str):
    result = {}
    if not xlm_str:
        return result
    for item in xet.fromstring(xlm_str):
        attrib = item.attrib
        key = attrib.pop("name")
        values = [child.text for child in item]
        if values:
            attrib["value"] = values
        result[key] = attrib
    return result


class Driver:
    """A vek Driver object."""

    def __init__(self, name):
        if isinstance(name, Driver):
            self._driver = name._driver
            self._open_opts = name._open_opts
            self._creation_opts = name._creation_opts
            return
        if isinstance(name, int):
            candidate = _gdal.GetDriver(name)
        elif isinstance(name, str):
            candidate = _gdal.GetDriverByName(name)
            if candidate is None:
                candidate = name
        else:
            candidate = name
        self._driver = _to_driver_shadow_(candidate, False)
        self._open_opts = {}
        self._creation_opts = {}

    def __repr__(self):
        return self.__str__()

    def __str__(self):
        return format(self.name, "") + " - " + format(self.category, "")

    def _get_metadata_item_(self, psz):
        value = _gdal.MajorObject_GetMetadataItem(self._driver, psz)
        return value if value else ""

    def _repr_html_(self):
        dl = gdata.VEKHTMLDetails()
        dl.set_base_info({
            "Name": self.name,
            "Category": self.category,
            "Creatable": self.creatable,
            "Extension": self.extension,
        })
        dl.add_details({"Creation Options": self.creation_options_info, "Open Options": self.open_options_info})
        return dl.to_html()

    def _select_kind(self, raster):
        if raster is None:
            if self.is_raster:
                return env.RasterConfig.get("creation.options", {}), "DMD_CREATIONOPTIONLIST"
            return env.VectorConfig.get("creation.options", {}), "DS_LAYER_CREATIONOPTIONLIST"
        if raster and self.is_raster:
            return env.RasterConfig.get("creation.options", {}), "DMD_CREATIONOPTIONLIST"
        if not raster and self.is_vector:
            return env.VectorConfig.get("creation.options", {}), "DS_LAYER_CREATIONOPTIONLIST"
        return {}, "DMD_CREATIONOPTIONLIST"

    def _apply_defaults(self, attr, table):
        for key, value in table.get(self.name, {}).items():
            catalogue = getattr(self, attr)
            if key in catalogue:
                catalogue[key]["current"] = value

    def _set_creation_options_info_(self, raster=None):
        """creation options. --> list"""
        kept = self._creation_opts
        if kept:
            return kept
        table, item = self._select_kind(raster)
        self._creation_opts = read_xml_to_dict(self._get_metadata_item_(item))
        try:
            if table:
                self._apply_defaults("_creation_opts", table)
        except BaseException:
            self._creation_opts = kept
            raise
        return self._creation_opts

    def _set_open_options_info_(self, raster=None):
        """open options. --> list"""
        kept = self._open_opts
        if kept:
            return kept
        self._open_opts = read_xml_to_dict(self._get_metadata_item_("DMD_OPENOPTIONLIST"))
        try:
            self._apply_defaults("_open_opts", self._select_kind(raster)[0])
        except BaseException:
            self._open_opts = kept
            raise
        return self._open_opts

    def _set_opts_(self, opts, **kwargs):
        error_keys = [key for key in kwargs if key not in opts]
        if error_keys:
            raise error.FormatError(errors=error_keys, all_sels=opts)
        for key, value in kwargs.items():
            opts[key]["current"] = value

    @property
    def category(self):
        """Driver category. --> str"""
        raster, vector = self.is_raster, self.is_vector
        return ("Raster/Vector" if vector else "Raster") if raster else ("Vector" if vector else "")

    @property
    def creatable(self):
        """Whether the target drive supports creation. --> bool"""
        return self._get_metadata_item_("DCAP_CREATE").upper() == "YES"

    @property
    def creation_options(self):
        """Creation options. --> dict"""
        return {k: r["current"] for k, r in self.creation_options_info.items() if "current" in r}

    @property
    def creation_options_info(self):
        """Creation options info. --> list"""
        return self._set_creation_options_info_(None)

    @property
    def extension(self):
        """Driver extension. --> str"""
        text = self._get_metadata_item_("DMD_EXTENSION")
        if text:
            return text
        exts = self.extensions
        return exts[0] if exts else ""

    @property
    def extensions(self):
        """Driver extensions. --> list"""
        return self._get_metadata_item_("DMD_EXTENSIONS").split()

    @property
    def is_raster(self):
        """Is a raster driver. --> bool"""
        return self._get_metadata_item_("DCAP_RASTER").upper() == "YES"

    @property
    def is_vector(self):
        """Is a vector driver. --> bool"""
        return self._get_metadata_item_("DCAP_VECTOR").upper() == "YES"

    @property
    def long_name(self):
        """Driver long name. --> str"""
        return self._get_metadata_item_("DMD_LONGNAME")

    @property
    def name(self):
        """Driver name. --> str"""
        return _gdal.Driver_ShortName_get(self._driver)

    def open(self, in_src, sibling_files=[]):  # noqa: B006 (the compiled module's default)
        from vek._algos.geo.geodatabase import open_file

        flags = 26 if self.category == "Raster" else 4 if self.category == "Vector" else 0
        flags += 1 if self.creatable else 0
        return open_file(in_src, flags, [self.name], self.open_options, sibling_files)

    @property
    def open_options(self):
        """Open options. --> dict"""
        return {k: r["current"] for k, r in self.open_options_info.items() if "current" in r}

    @property
    def open_options_info(self):
        """Open options info. --> list"""
        return self._set_open_options_info_(None)

    def set_creation_options(self, **kwargs):
        self._set_opts_(self.creation_options_info, **kwargs)

    def set_open_options(self, **kwargs):
        self._set_opts_(self.open_options_info, **kwargs)

    @property
    def updatable(self):
        """Whether the target driver can be modified/updated. --> bool"""
        return self._get_metadata_item_("DCAP_UPDATE").upper() == "YES"

    @property
    def virtualio(self):
        """Whether the raster driver supports virtual dataset. --> bool"""
        return self._get_metadata_item_("DCAP_VIRTUALIO").upper() == "YES"


class RasterDriver(Driver):
    """Raster driver object."""

    def __init__(self, name="GTiff"):
        super().__init__(name)
        if not self.is_raster:
            raise error.FormatError('"' + format(name, "") + '" is not a raster driver!')

    def _create_(self, out_dst, bands, ysize, xsize, dtype="Float32"):
        opts = self.creation_options
        if out_dst is None:
            out_dst = mem_temp_path(self.extension)
        code = dtypes.get_raster_dtype_code(dtype)
        return call_gdal_fun(_gdal.Driver_Create, self._driver, out_dst, xsize, ysize, bands, code, opts)

    @property
    def category(self):
        """Driver category. --> str"""
        return "Raster"

    def create(self, out_dst, xsize, ysize, bands, dtype="Float32"):
        handle = self._create_(out_dst, bands, ysize, xsize, dtype)
        from vek._algos.geo.geodatabase import GeoDatabase

        return GeoDatabase(handle)

    @property
    def creation_options_info(self):
        """creation options. --> list"""
        return self._set_creation_options_info_(True)

    @property
    def open_options_info(self):
        """open options. --> list"""
        return self._set_open_options_info_(True)


class DriveStatistics:
    """Drive statistics object."""

    def __init__(self):
        self._drivers = []
        for i in range(_gdal.GetDriverCount()):
            self._drivers.append(Driver(i))

    def __getitem__(self, indices):
        if isinstance(indices, int):
            return self._drivers[indices]
        key = str(indices).lower()
        for driver in self._drivers:
            if driver.name.lower() == key:
                return driver
        raise error.FormatError('"' + format(indices, "") + '" is not a driver!')

    def __len__(self):
        return len(self._drivers)

    def _repr_html_(self):
        from vek._algos.geo.base import get_sel

        fields = ["name", "category", "extension", "creatable", "updatable", "virtualio"]
        max_rows, max_cols = env.JupyterShowMaxShape
        sel_fid_range, _shown = get_sel(len(self), max_rows)
        sel_fields_range, l_fields = get_sel(len(fields), max_cols)
        l_info = 1
        table = gdata.VEKHTMLTable(l_fields, l_info, 0, False)
        table.set_base_info({"Rasters": len(self.rasters), "Vectors": len(self.vectors), "Total": len(self)})

        def get_fields(i, sel_fields_range):
            dr = self[i]
            return [i, dr.name, dr.category, dr.extension, dr.creatable, dr.updatable, dr.virtualio]

        def set_items(sel_fid_range, sel_fields_range):
            for i in range(*sel_fid_range[0]):
                table.add_row(get_fields(i, sel_fields_range))
            if sel_fid_range[1] != (0, 0):
                table.add_row(["..."] * (l_info + l_fields))
                for i in range(*sel_fid_range[1]):
                    table.add_row(get_fields(i, sel_fields_range))

        set_items(sel_fid_range, sel_fields_range)
        table.add_head([""] + fields)
        return table.to_html()

    @property
    def creatables(self):
        """List of supported drivers that can be created. --> list"""
        return [dr for dr in self._drivers if dr.creatable]

    @property
    def rasters(self):
        """List of supported drivers that can be raster. --> list"""
        return [dr for dr in self._drivers if "Raster" in dr.category]

    @property
    def updatables(self):
        """List of supported drivers that can be updatables. --> list"""
        return [dr for dr in self._drivers if dr.updatable]

    @property
    def vectors(self):
        """List of supported drivers that can be vector. --> list"""
        return [dr for dr in self._drivers if "Vector" in dr.category]

    @property
    def virtualios(self):
        """List of supported drivers that can be virtualios. --> list"""
        return [dr for dr in self._drivers if dr.virtualio]

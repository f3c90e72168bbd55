"""RasterDriver and VectorDriver: their own properties, construction,
creation (on the fake binding and as real in-memory datasets), and
subclasses whose properties raise.
"""

from .driver import property_cases
from .support import DELETE, calls, case, patched, raises, rotate


# ---- properties, on fake and on real drivers ---------------------------------------------------

RASTER_PROPERTIES = (
    "category compress_modes coordinate_epoch copyable creation_dtypes creation_options_info open_options_info "
    "sub_datasets transformable"
).split()
VECTOR_PROPERTIES = (
    "category creation_ftypes creation_options_info dimension multi_layers open_options_info sql_dialects "
    "transformable"
).split()


for _p in RASTER_PROPERTIES:
    property_cases("RasterDriver", _p, ["FAKE_R", "FAKE_RV"], ["GTiff", "MEM"])
for _p in VECTOR_PROPERTIES:
    property_cases("VectorDriver", _p, ["FAKE_V", "FAKE_RV"], ["ESRI Shapefile", "GPKG"])


# ---- subclasses --------------------------------------------------------------------------------

@case(
    "RasterDriver / VectorDriver subclasses: properties overridden to raise",
    covers=[
        "RasterDriver.__init__",
        "VectorDriver.__init__",
        "Driver.__str__",
        "RasterDriver.transformable",
        "RasterDriver.creation_options_info",
        "VectorDriver.transformable",
        "Driver._repr_html_",
        "RasterDriver.create",
        "Driver.open",
    ],
    failure=True,
)
def subclasses_overriding_properties(w):
    drv = w.drv
    w.fake_gdal()

    def raising(exc):
        def get(self):
            raise exc("overridden")

        return property(get)

    Sub = type("Sub", (drv.RasterDriver,), {p: raising(IndexError) for p in ("is_raster", "name", "extension", "copyable")})
    SubV = type("SubV", (drv.VectorDriver,), {p: raising(IndexError) for p in ("is_vector", "creatable")})
    d = w.watch_driver(drv.Driver("FAKE_RV"))
    sub = w.watch_driver(Sub.__new__(Sub))
    sub._driver, sub._open_opts, sub._creation_opts = d._driver, {}, {}
    subv = w.watch_driver(SubV.__new__(SubV))
    subv._driver, subv._open_opts, subv._creation_opts = d._driver, {}, {}
    w.watch(Sub, SubV)
    return rotate(
        [
            raises(IndexError, Sub, "FAKE_R"),
            raises(IndexError, SubV, "FAKE_V"),
            raises(IndexError, str, sub),
            raises(IndexError, getattr, sub, "transformable"),
            raises(IndexError, getattr, sub, "creation_options_info"),
            raises(IndexError, getattr, subv, "transformable"),
            raises(IndexError, sub._repr_html_),
            raises(IndexError, sub.create, None, 1, 1, 1),
            raises(IndexError, subv.open, "x"),
        ]
    )


# ---- construction and creation -----------------------------------------------------------------

@case("RasterDriver.__init__ / VectorDriver.__init__: real GDAL", covers=["RasterDriver.__init__", "VectorDriver.__init__"])
def init_on_real_gdal(w):
    drv = w.drv
    R, V = drv.RasterDriver, drv.VectorDriver
    src_r = w.watch_driver(drv.Driver("GTiff"))
    src_v = w.watch_driver(drv.Driver("ESRI Shapefile"))
    return rotate([calls(R), calls(R, "MEM"), calls(R, src_r), calls(R, name="GPKG"), calls(V), calls(V, "GPKG"), calls(V, src_v)])


@case(
    "RasterDriver.__init__ / VectorDriver.__init__: errors",
    covers=["RasterDriver.__init__", "VectorDriver.__init__"],
    failure=True,
)
def init_errors(w):
    drv = w.drv
    R, V = drv.RasterDriver, drv.VectorDriver
    E = w.error.FormatError
    src_v = w.watch_driver(drv.Driver("ESRI Shapefile"))
    src_r = w.watch_driver(drv.Driver("GTiff"))
    return rotate(
        [
            raises(E, R, "ESRI Shapefile"),
            raises(E, R, src_v),
            raises(E, R, "NoSuchFormat"),
            raises(E, V, "GTiff"),
            raises(E, V, src_r),
            raises(E, V, 3.5),
            raises(TypeError, R, "GTiff", 2),
            raises(TypeError, V, bad=1),
            raises(TypeError, R.__init__, object(), "GTiff"),
            patched(w.ns, {"error": DELETE}, raises(NameError, R, "ESRI Shapefile")),
        ]
    )


@case(
    "RasterDriver.create / VectorDriver.create: fake binding",
    covers=["RasterDriver._create_", "RasterDriver.create", "VectorDriver._create_", "VectorDriver.create"],
)
def create_on_fake_binding(w):
    drv = w.drv
    w.fake_gdal()
    w.fake_creation()
    r = w.watch_driver(drv.RasterDriver("FAKE_R"))
    r.set_creation_options(TILED=True)
    v = w.watch_driver(drv.VectorDriver("FAKE_V"))
    return rotate(
        [
            calls(r._create_, None, 1, 2, 3),
            calls(r._create_, "", 1, 2, 3, "Byte"),
            calls(r.create, None, 3, 2, 1),
            calls(r.create, out_dst="x.tif", xsize=1, ysize=1, bands=1, dtype=1),
            calls(v._create_, None),
            calls(v.create, "x.shp"),
        ]
    )


@case(
    "RasterDriver.create / VectorDriver.create: real in-memory datasets",
    covers=["RasterDriver.create", "VectorDriver.create", "RasterDriver._create_", "VectorDriver._create_"],
    scale=0.1,
    cost=25,
)
def create_real_in_memory_datasets(w):
    from osgeo import _gdal

    drv = w.drv
    w.real_env()
    r = w.watch_driver(drv.RasterDriver("GTiff"))
    r.set_creation_options(COMPRESS="DEFLATE", TILED=True)
    m = w.watch_driver(drv.RasterDriver("MEM"))
    v = w.watch_driver(drv.VectorDriver("ESRI Shapefile"))

    def raw():
        path = drv.mem_temp_path("tif")
        _gdal.delete_Dataset(r._create_(path, 1, 2, 2))
        _gdal.Unlink(path)

    return rotate(
        [lambda: r.create(None, 4, 3, 2, "Byte").close(), lambda: m.create(None, 2, 2, 1).close(), lambda: v.create(None).close(), raw]
    )


@case(
    "RasterDriver.create / VectorDriver.create: errors",
    covers=["RasterDriver.create", "VectorDriver.create", "RasterDriver._create_", "VectorDriver._create_"],
    failure=True,
    cost=3,
)
def create_errors(w):
    drv = w.drv
    w.real_env()
    r = w.watch_driver(drv.RasterDriver("GTiff"))
    v = w.watch_driver(drv.VectorDriver("ESRI Shapefile"))
    gpkg = w.watch_driver(drv.VectorDriver("GPKG"))  # writes at once, so a bad path fails
    gdal_error = w.error.GDALError

    def failing_path(ext):
        raise FileExistsError(ext)

    return rotate(
        [
            raises(gdal_error, r.create, "/vsimem/leakcheck/empty.tif", 0, 0, 1),
            raises(ValueError, r.create, "/vsimem/leakcheck/x.tif", 1, 1, 1, "NoSuchType"),
            raises(TypeError, r.create, None, 1, 1),
            raises(TypeError, r._create_, None, 1, 1, 1, "Byte", 5),
            raises(TypeError, v.create),
            raises(TypeError, v._create_, None, 1),
            raises(gdal_error, gpkg.create, "/proc/vek-leakcheck/x.gpkg"),
            patched(w.ns, {"mem_temp_path": failing_path}, raises(FileExistsError, r.create, None, 1, 1, 1)),
            patched(w.ns, {"mem_temp_path": failing_path}, raises(FileExistsError, v._create_, None)),
        ]
    )


@case(
    "RasterDriver.create: failing in-memory creation",
    covers=["RasterDriver.create", "RasterDriver._create_"],
    failure=True,
    cost=3,
)
def create_failing_in_memory(w):
    # The in-memory path is made before GDAL refuses (or the data type is
    # found unknown); nothing about it may stay behind.
    w.real_env()
    r = w.watch_driver(w.drv.RasterDriver("GTiff"))
    return rotate([raises(w.error.GDALError, r.create, None, 0, 0, 1), raises(ValueError, r.create, None, 1, 1, 1, "NoSuchType")])


@case(
    "RasterDriver.create / VectorDriver.create: failing globals, dataset class",
    covers=["RasterDriver.create", "VectorDriver.create", "RasterDriver._create_", "VectorDriver._create_"],
    failure=True,
)
def create_with_failing_globals(w):
    drv = w.drv
    gdb = w.geodatabase
    real_class = gdb.GeoDatabase
    w.fake_gdal()
    w.fake_creation()
    r = w.watch_driver(drv.RasterDriver("FAKE_R"))
    v = w.watch_driver(drv.VectorDriver("FAKE_V"))

    def call_fails(fun, *args):
        raise NotADirectoryError("call_gdal_fun")

    variants = []
    for make in (calls(r.create, None, 1, 1, 1), calls(v.create, None)):
        variants += [
            patched(gdb, {"GeoDatabase": real_class}, raises(TypeError, make)),  # the fake's result is no dataset
            patched(gdb, {"GeoDatabase": DELETE}, raises(ImportError, make)),
            patched(w.ns, {"call_gdal_fun": call_fails}, raises(NotADirectoryError, make)),
            patched(w.ns, {"_gdal": DELETE}, raises(NameError, make)),
            patched(w.ns, {"call_gdal_fun": DELETE}, raises(NameError, make)),
        ]
    variants.append(patched(w.ns, {"dtypes": DELETE}, raises(NameError, r._create_, None, 1, 1, 1)))
    return rotate(variants)

"""The cases of the leak check: each one calls one entry point, on success
paths or on failure paths. One module per class of the driver module
(driver, raster_vector, statistics) and one for the module's own functions
and its import; canaries, the deliberately faulty cases, apart. A case's
name says what it calls and on what: "Driver.open: fake binding",
"RasterDriver.copyable: real GDAL", "DriveStatistics.rasters: failing
binding".

A case is a function `setup(w)` that prepares the world (fakes bound as
module globals, drivers made) and returns `step`, the callable run in the
loop; a step makes one call of the entry point (`rotate` takes the next of
several variants at each step). Failure variants catch the exception they
expect, so an exception of another type stops the case and is reported.
`w.watch(...)` adds objects whose reference counts must come back; the
module namespace, the classes, their functions and defaults, and the
sibling modules' objects are watched anyway.

`covers` names the entry points a case calls ("Driver.open",
"module._to_driver_shadow_", "module.import"); test_leaks.py checks that
every public entry point has a success case and a failure case. Success
cases run the full call count; failure cases, whose every call raises
through several functions of the module, run a quarter of it.
"""

# Registered in this order, which is the order of the report.
from . import module, driver, raster_vector, statistics, canaries  # noqa: F401
from .support import registry
from .world import BASE_NAMES, CLASSES, MODULE, FreshWorld, World

__all__ = ["BASE_NAMES", "CLASSES", "MODULE", "FreshWorld", "World", "registry"]

# The public face of vek: each name re-exported from the private module that
# defines it (vek/__init__.py loads them on first use).
from ._algos.geo.registry.describe import describe as describe
from ._algos.geo.registry.describe import snapshot as snapshot
from ._algos.geo._error import ConfigError as ConfigError
from ._algos.geo._error import ConfigWarning as ConfigWarning
from ._algos.geo._error import FormatError as FormatError
from ._algos.geo._error import GDALError as GDALError
from ._algos.geo._error import GDALFileNotFoundError as GDALFileNotFoundError
from ._algos.geo._error import GDALWarning as GDALWarning
from ._algos.geo._error import OptionValueWarning as OptionValueWarning
from ._algos.geo._error import WriteMismatch as WriteMismatch
from ._algos.geo._error import WriteMismatchWarning as WriteMismatchWarning
from ._algos.geo.registry.identify import drivers_for_path as drivers_for_path
from ._algos.geo.registry.identify import identify as identify
from ._algos.geo.driver import DriveStatistics as DriveStatistics
from ._algos.geo.driver import Driver as Driver
from ._algos.geo.driver import RasterDriver as RasterDriver
from ._algos.geo.driver import VectorDriver as VectorDriver
from ._algos.geo.geodatabase import GeoDatabase as GeoDatabase
from ._algos.geo.geodatabase import create_vector as create_vector
from ._algos.geo.geodatabase import open_file as open_file
from ._algos.geo.writing.rasters import write_raster as write_raster
from ._algos.geo.writing.vectors import write_vector as write_vector
from .optioncheck import OptionValueError as OptionValueError

__version__: str
__all__ = [
    "__version__",
    "Driver",
    "RasterDriver",
    "VectorDriver",
    "DriveStatistics",
    "GeoDatabase",
    "open_file",
    "create_vector",
    "identify",
    "drivers_for_path",
    "describe",
    "snapshot",
    "FormatError",
    "GDALError",
    "GDALFileNotFoundError",
    "ConfigError",
    "ConfigWarning",
    "GDALWarning",
    "OptionValueWarning",
    "OptionValueError",
    "WriteMismatch",
    "WriteMismatchWarning",
    "write_raster",
    "write_vector",
]

def __dir__() -> list[str]: ...

"""What the writing calls settle before GDAL writes: the driver (a short
name or a driver object) and whether it writes at all, the options a driver
object carries, the refusal to copy a dataset onto its own file, and the
progress function GDAL calls during a copy."""

import os

from osgeo import _gdal

from . import _error as error
from ._capabilities import metadata_flag, metadata_list, write_modes
from ._creation import dataset_files
from ._paths import same_file

__all__ = ["driver_handle", "own_creation_options", "writing_driver", "creating_driver",
           "refuse_own_file", "progress_callback", "STOPPED", "driver_ftypes"]


def driver_ftypes(handle) -> list[str]:
    return metadata_list(_gdal.Dataset_GetDriver(handle), "DMD_CREATIONFIELDDATATYPES")


def driver_handle(driver):
    if isinstance(driver, str):
        handle = _gdal.GetDriverByName(driver)
        if handle is None:
            raise error.FormatError(f'"{driver}" is not a driver!')
        return handle
    from .driver import _to_driver_shadow_

    return _to_driver_shadow_(getattr(driver, "_driver", driver))


def own_creation_options(driver) -> dict:
    """The dataset creation options a driver object carries; a name
    carries none."""
    from .driver import Driver, VectorDriver

    if isinstance(driver, Driver) and not isinstance(driver, VectorDriver):
        return driver.creation_options
    return {}


def _abilities(handle) -> str:
    items = {"DCAP_OPEN": "open", "DCAP_UPDATE": "update"}
    found = [word for key, word in items.items() if metadata_flag(handle, key)]
    return " and ".join(found) or "nothing of the kind"


def writing_driver(driver):
    """The handle of a driver that writes datasets by Create or CreateCopy."""
    handle = driver_handle(driver)
    if not write_modes(handle):
        name = _gdal.Driver_ShortName_get(handle)
        raise error.FormatError(
            f"{name} can write datasets neither by Create nor by CreateCopy; "
            f"it can {_abilities(handle)} datasets"
        )
    return handle


def creating_driver(driver):
    """The handle of a driver that creates datasets by Create."""
    handle = driver_handle(driver)
    if "create" not in write_modes(handle):
        name = _gdal.Driver_ShortName_get(handle)
        raise error.FormatError(f"{name} cannot create datasets; it can {_abilities(handle)} datasets")
    return handle


def refuse_own_file(handle, path: str, cwd=None) -> None:
    """Refuse to copy a dataset onto one of its own files, as GDAL's own
    tools do: the driver truncates or deletes its target, and with it the
    data being copied (a failed or stopped copy leaves nothing of either).
    The dataset's relative names are taken from ``cwd``, the working folder
    when it was opened (GDAL resolved them there), and ``path`` from
    today's, as GDAL will resolve it."""
    own = dataset_files(handle) or [_gdal.MajorObject_GetDescription(handle)]
    if cwd is not None:
        own = [os.path.join(cwd, name) if _is_relative(name) else name for name in own]
    if any(same_file(name, path) for name in own):
        raise ValueError(f"cannot copy the dataset onto its own file {path!r}: "
                         "source and destination must be different")


def _is_relative(name) -> bool:
    return isinstance(name, str) and bool(name) and not name.startswith("/") and ":" not in name


def progress_callback(progress):
    """GDAL's progress function around ``progress(fraction)``, and the list
    that receives an exception it raised, or ``STOPPED`` once it answered
    ``False`` (some drivers go on to the end regardless)."""
    failure: list = []
    if progress is None:
        return None, failure
    if not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")

    def callback(fraction, _message, _data):
        try:
            if progress(fraction) is False:
                failure.append(STOPPED)
                return 0
            return 1
        except BaseException as exc:  # handed back to the caller of copy_to
            failure.append(exc)
            return 0

    return callback, failure


STOPPED = "stopped"

"""What the writing calls settle before GDAL writes: the driver (a short
name or a driver object) and whether it writes at all, the options a driver
object carries, the refusal to copy a dataset onto its own file, the layers
a copy writes, and the progress function GDAL calls during a copy."""

import os

from osgeo import _gdal, _ogr

from .. import _error as error
from ..binding.capabilities import metadata_flag, metadata_list, write_modes
from ..binding.extension import driver_module
from ..binding.paths import same_file
from .creation import dataset_files

__all__ = ["driver_handle", "own_creation_options", "writing_driver", "creating_driver",
           "refuse_own_file", "layers_to_copy", "progress_callback", "STOPPED", "driver_ftypes",
           "configured_layer_options", "interruptible", "InterruptsRecorded"]


def driver_ftypes(handle) -> list[str]:
    return metadata_list(_gdal.Dataset_GetDriver(handle), "DMD_CREATIONFIELDDATATYPES")


def driver_handle(driver):
    if isinstance(driver, str):
        handle = _gdal.GetDriverByName(driver)
        if handle is None:
            raise error.FormatError(f'"{driver}" is not a driver!')
        return handle
    return driver_module()._to_driver_shadow_(getattr(driver, "_driver", driver))


def own_creation_options(driver) -> dict:
    """The dataset creation options a driver object carries; a name
    carries none."""
    classes = driver_module()
    if isinstance(driver, classes.Driver) and not isinstance(driver, classes.VectorDriver):
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


def _layer_names(handle) -> list[str]:
    return [_ogr.Layer_GetName(_gdal.Dataset_GetLayerByIndex(handle, i))
            for i in range(_gdal.Dataset_GetLayerCount(handle))]


def _quoted(names) -> str:
    return ", ".join(repr(n) for n in names)


def _picked(layers) -> list[str]:
    """``layers=`` as a list of names: one name, or an iterable of them."""
    picked = [layers] if isinstance(layers, str) else layers
    try:
        picked = list(picked)
    except TypeError:
        raise TypeError(f"layers must be a layer name or a list of them, not {type(layers).__name__}") from None
    for name in picked:
        if not isinstance(name, str):
            raise TypeError(f"layers must be layer names (str), found {name!r}")
    if not picked:
        raise ValueError("layers= names no layer; give the name of at least one")
    doubled = sorted({n for n in picked if picked.count(n) > 1})
    if doubled:
        raise ValueError(f"layers= names {_quoted(doubled)} more than once")
    return picked


def layers_to_copy(handle, target, layers):
    """The layer names a copy of the dataset ``handle`` with the driver
    ``target`` writes: ``None`` when it copies the whole dataset (no
    ``layers=``), else the names picked, checked before anything is written.

    A driver whose format holds one vector layer (GDAL's
    ``DCAP_MULTIPLE_VECTOR_LAYERS`` is not YES) kept the first layer of a
    whole copy and dropped the others without a word, or wrote them as
    files beside the target (CSV, Shapefile): such a copy of several layers
    is refused, naming the layers it would lose, as GDAL's ``ogr2ogr``
    refuses it, unless ``layers=`` picks the one to write.
    """
    names = _layer_names(handle)
    tname = _gdal.Driver_ShortName_get(target)
    vector = metadata_flag(target, "DCAP_VECTOR")
    one_layer = vector and not metadata_flag(target, "DCAP_MULTIPLE_VECTOR_LAYERS")
    if layers is None:
        if one_layer and len(names) > 1:
            raise ValueError(
                f"{tname} holds one layer per dataset, and {_gdal.MajorObject_GetDescription(handle)!r} "
                f"has {len(names)} ({_quoted(names)}): the copy would lose {_quoted(names[1:])}; "
                "pick the layer to copy with layers="
            )
        return None
    picked = _picked(layers)
    unknown = [n for n in picked if n not in names]
    if unknown:
        raise ValueError(f"no layer {_quoted(unknown)} in {_gdal.MajorObject_GetDescription(handle)!r}; "
                         f"its layers: {_quoted(names) or 'none'}")
    if not vector:
        raise ValueError(f"{tname} writes no vector layers; layers= picks the layers of a vector copy")
    if one_layer and len(picked) > 1:
        raise ValueError(f"{tname} holds one layer per dataset; layers= may pick one of {_quoted(picked)}")
    bands = _gdal.Dataset_RasterCount_get(handle)
    if bands:
        raise ValueError(f"layers= copies vector layers alone, and this dataset also has {bands} raster "
                         f"band{'s' if bands != 1 else ''}, which the copy would lose")
    return picked


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

# frames of this package: Ctrl-C there is recorded, never raised (GDAL's
# binding would print and swallow it, and fail with "User terminated")
_PACKAGE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def _interrupted(failure) -> bool:
    return bool(failure) and isinstance(failure[0], KeyboardInterrupt)


def interruptible(callback, failure):
    """The progress function GDAL is handed: ``callback``, stopping the
    copy once Ctrl-C is recorded in ``failure``; an exception ``callback``
    lets out (the binding would print it and stop) goes there too."""

    def progress(fraction, message, data):
        if failure and _interrupted(failure):
            return 0
        try:
            answer = callback(fraction, message, data)
        except BaseException as exc:
            failure.insert(0, exc)
            return 0
        return 0 if failure and _interrupted(failure) else answer

    return progress


class InterruptsRecorded:
    """``with InterruptsRecorded(failure):`` Ctrl-C while GDAL copies is put
    first in ``failure`` (for :func:`interruptible` to stop the copy with,
    and the caller to raise once what the copy made is removed), where
    Python's own handler would raise it inside the frame GDAL's binding
    calls. In code outside the package (the user's progress) it is raised
    as usual. Only in the main thread, and only over Python's own handler."""

    __slots__ = ("failure", "saved")

    def __init__(self, failure):
        self.failure, self.saved = failure, None

    def _handler(self, signum, frame):
        interrupt = KeyboardInterrupt()
        if not _interrupted(self.failure):
            self.failure.insert(0, interrupt)
        if frame is not None and not frame.f_code.co_filename.startswith(_PACKAGE + os.sep):
            raise interrupt

    def __enter__(self):
        import signal
        import threading

        if threading.current_thread() is threading.main_thread() \
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            self.saved = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc_info):
        if self.saved is not None:
            import signal

            signal.signal(signal.SIGINT, self.saved)
        return False


def configured_layer_options(driver_name: str) -> dict:
    """The configured layer-creation defaults of a vector driver (none for
    a driver without the vector capability), as its catalogue takes them."""
    if not driver_name or _gdal.GetDriverByName(driver_name) is None:
        return {}
    try:
        view = driver_module().VectorDriver(driver_name)
    except error.FormatError:  # not a vector driver: it has no layer defaults
        return {}
    return view.creation_options

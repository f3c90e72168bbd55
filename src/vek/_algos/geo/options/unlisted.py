"""Option names GDAL takes though the driver's option list lacks them.

GDAL's core reads a few options of its own and keeps them from the
validator (``APPEND_SUBDATASET`` for any creation, ``QUIET_DELETE_ON_CREATE_COPY``
for a copy, ``ARRAY:`` options for a multidimensional copy, ``OVERVIEW_LEVEL``
when opening, ...); which ones differs from one GDAL to the next. So they
are not listed here: GDAL is asked. :func:`taken_unlisted` makes the same
kind of call in memory with a probe driver (MEM, VRT for opening), with the
names in question and a sentinel name that no list has, and reads the
validator's warnings: a name it does not warn about is one GDAL's core
takes. When the sentinel draws no warning either (validation is off, or
the probe driver is missing), nothing is known and no name is taken.
"""

import _thread

from osgeo import _gdal

from ..binding.capabilities import metadata_flag, metadata_item
from ..binding.messages import gdal_messages
from ..binding.optionlists import OPTION_LISTS
from .text import gdal_key

__all__ = ["CALLS", "taken_unlisted"]

_SENTINEL = "VEK_UNLISTED_PROBE_SENTINEL"
_LAYER_LIST = "<LayerCreationOptionList><Option name='VEK_PROBE' type='string'/></LayerCreationOptionList>"
_VRT = "<VRTDataset rasterXSize='1' rasterYSize='1'></VRTDataset>"
_OF_RASTER = 0x02
_known: dict[tuple[str, str], bool] = {}  # (call, ASCII-folded name) -> taken by GDAL's core
_KNOWN_SIZE = 1024
_lock = _thread.allocate_lock()


def _driver(name, capability="DCAP_RASTER"):
    handle = _gdal.GetDriverByName(name)
    if handle is None or not metadata_flag(handle, capability):
        return None
    return handle


def _drop(handle) -> None:
    if handle is not None:
        _gdal.delete_Dataset(handle)


def _create(options):
    mem = _driver("MEM")
    if mem is not None:
        _drop(_gdal.Driver_Create(mem, "", 1, 1, 1, 1, options))


def _copy(options, multidim=False):
    mem = _driver("MEM")
    if mem is None:
        return
    if multidim:
        source = _gdal.Driver_CreateMultiDimensional(mem, "", [], [])
    else:
        source = _gdal.Driver_Create(mem, "", 1, 1, 1, 1, [])
    try:
        _drop(_gdal.Driver_CreateCopy(mem, "", source, 0, options, None))
    finally:
        _drop(source)


def _multidim(options):
    mem = _driver("MEM", "DCAP_MULTIDIM_RASTER")
    if mem is not None:
        _drop(_gdal.Driver_CreateMultiDimensional(mem, "", [], options))


def _layer(options):
    # the vector in-memory driver: "Memory" before GDAL 3.11, "MEM" from then on
    mem = _driver("Memory", "DCAP_VECTOR") or _driver("MEM", "DCAP_VECTOR")
    if mem is None:
        return
    dataset = _gdal.Driver_Create(mem, "", 0, 0, 0, 0, [])
    try:
        _gdal.MajorObject_SetMetadataItem(dataset, OPTION_LISTS["layer"], _LAYER_LIST, "")
        _gdal.Dataset_CreateLayer(dataset, "probe", None, 0, options)
    finally:
        _drop(dataset)


def _open(options):
    if _driver("VRT") is not None:
        _drop(_gdal.OpenEx(_VRT, _OF_RASTER, ["VRT"], options, []))


def _item(name, kind, capability="DCAP_RASTER"):
    def read():
        handle = _driver(name, capability)
        return metadata_item(handle, OPTION_LISTS[kind]) if handle is not None else ""

    return read


# the call whose validation is probed -> (how to make such a call in memory,
# the option list that call is validated against)
CALLS = {
    "create": (_create, _item("MEM", "creation")),
    "copy": (_copy, _item("MEM", "creation")),
    "copy-multidim": (lambda options: _copy(options, multidim=True), _item("MEM", "creation")),
    "multidim": (_multidim, _item("MEM", "multidim", "DCAP_MULTIDIM_RASTER")),
    "layer": (_layer, lambda: _LAYER_LIST),
    "open": (_open, _item("VRT", "open")),
}


def _refused(message: str, key: str) -> bool:
    return " does not support " in message and message.endswith(" " + key)


def _probe(call: str, name: str):
    """Whether GDAL's core takes the option ``name`` in a call of kind
    ``call``, from one probing call; ``None`` when it tells nothing."""
    with gdal_messages() as messages:
        try:
            CALLS[call][0]([f"{name}=", f"{_SENTINEL}=1"])
        except Exception:  # GDAL exceptions enabled: the call may fail once validated
            pass
    said = [message for _no, message in messages.warnings]
    if not any(_refused(message, _SENTINEL) for message in said):
        return None
    return not any(_refused(message, gdal_key(name)) for message in said)


def taken_unlisted(call: str, names, fold, listed) -> set[str]:
    """The option names of ``names`` (each as given, up to its ``=``: GDAL
    tells some apart by more than the name it reads, ``ARRAY:...``) that
    GDAL's core takes in a call of kind ``call`` (a key of ``CALLS``)
    although the option list does not name them. ``fold`` is the ASCII case
    folding GDAL compares names with, ``listed(xml_text, key)`` whether an
    option list names a key: a name the probe driver's own list names
    tells nothing and is not taken. Answers are kept for the process."""
    if call not in CALLS:
        return set()
    taken = set()
    with _lock:
        probe_list = CALLS[call][1]()
        for name in names:
            if listed(probe_list, gdal_key(name)):
                continue
            if (call, fold(name)) not in _known:
                answer = _probe(call, name)
                if answer is None:
                    continue  # nothing learnt: asked again next time
                if len(_known) >= _KNOWN_SIZE:
                    _known.clear()
                _known[(call, fold(name))] = answer
            if _known[(call, fold(name))]:
                taken.add(name)
    return taken

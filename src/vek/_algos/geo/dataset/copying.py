"""``GeoDatabase.copy_to``: a dataset written with another driver (GDAL's
CreateCopy, or Create and CopyLayer for picked vector layers), and a
vector copy read back so that what is returned reports what was written.

A vector copy's ``options`` are checked against the dataset and the layer
creation lists: GDAL's CreateCopy hands them to Create alone, so a name
only the layer list knows goes to the layers, with ``layer_options``,
through Create and CopyLayer. Ctrl-C during the copy stops it and is
raised as ``KeyboardInterrupt`` once what it made is removed.

The owner hands down what the copy needs of it: the way to its handle
under its lock (every GDAL call on the source takes it), the folder its
relative names are relative to, and the way to own the new dataset."""

import os

from osgeo import _gdal, _ogr

from .. import _error as error
from ..binding.capabilities import main_extension, metadata_flag, metadata_item, write_modes
from ..binding.optionlists import OPTION_LISTS
from ..binding.paths import gdal_path, mem_temp_path
from ..options.check import check_options, split_vector_copy
from .closing import close_handle, closing_error
from .creation import dataset_files, release_dataset, remove_created
from .gdalcall import OF_UPDATE, call_creating, open_raw
from .precheck import (
    STOPPED, InterruptsRecorded, creating_driver, interruptible, layers_to_copy, own_creation_options,
    progress_callback, refuse_own_file, writing_driver,
)
from .shutdown import calls, stop_at_exit, until_stopped
from .staging import Stage, stages
from ..verify.compare import checked_verify, differences, pixel_differences, settle, with_reasons
from ..verify.facts import dataset_facts

__all__ = ["Check", "copy_dataset", "publish_written", "stage_for"]


def copy_dataset(using, cwd, path, driver, options, progress, layers, adopt, layer_options=None,
                 verify="warn"):
    """What ``copy_to(path, driver, ...)`` of a dataset returns: the copy,
    owned by ``adopt(handle, creation, update=...)``. ``using()`` gives the
    source's handle under its lock, ``cwd`` is the working folder it was
    opened in; ``verify`` says what a difference between the source and the
    copy read back does (see :mod:`..verify.compare`)."""
    verify = checked_verify(verify)
    with calls:  # all of it: a daemon thread must not be inside GDAL at exit
        target = writing_driver(driver)
        if options is None:
            options = own_creation_options(driver)
        fresh = path is None  # a new name: nothing there to keep
        if fresh:
            path = mem_temp_path(main_extension(target))
        elif not isinstance(path, str):
            path = os.fsdecode(os.fspath(path))
        callback, failure = progress_callback(progress)
        callback = _watched(callback, failure)
        try:
            with using() as handle:
                refuse_own_file(handle, path, cwd)
                picked = layers_to_copy(handle, target, layers)
                copied = len(picked) if picked is not None else _gdal.Dataset_GetLayerCount(handle)
                options, for_layers = _vector_options(handle, target, options, layer_options)
                if picked is None and (for_layers or _layer_by_layer(handle, target, copied)):
                    picked = [_ogr.Layer_GetName(_gdal.Dataset_GetLayerByIndex(handle, i)) for i in range(copied)]
                asked = _asked(handle, target, picked, verify)
                heard: list = []  # GDAL's warnings: the reasons of what the copy changes
                stage = None if fresh else stage_for(path, target)
                try:
                    with calls.copying(path, stage), InterruptsRecorded(failure):
                        new, made = _write(target, driver, stage.path if stage else path, handle, picked,
                                           options, callback, for_layers, heard)
                except BaseException:
                    if stage is not None:
                        stage.discard()
                    raise
        except error.GDALError:
            if failure and failure[0] is not STOPPED:
                raise failure[0] from None
            raise
        if failure:  # the driver went on to the end: stopped all the same
            files = dataset_files(new)
            release_dataset(new)
            if stage is not None:
                stage.discard()
            else:
                remove_created(made, files)
            if failure[0] is not STOPPED:
                raise failure[0]
            raise error.GDALError(f"copying to {path!r} was stopped by progress; nothing was kept",
                                  function="Driver_CreateCopy", path=path)
        check = Check(asked, verify, path, using, target, heard)
        if stage is not None:
            return _publish(new, stage, target, path, copied, adopt, check)
        if copied and metadata_flag(target, "DCAP_VECTOR"):
            db = _read_back(new, made, target, path, copied, adopt)
        else:
            db = adopt(new, made)  # GDAL may hand it back read-only or for update
        found = check.differences(db.handle)  # the copy's only owner yet
        if found and verify != "warn":
            files = db.files
            db.close()
            remove_created(made, files)
        check.settle(found)
        return db


def _watched(callback, failure):
    """GDAL's progress function for a copy: ``callback`` (or none), stopped
    by Ctrl-C and at exit."""
    full = interruptible(stop_at_exit(callback, failure), failure)
    return full if callback is not None else until_stopped(full, failure)


def _layer_by_layer(handle, target, copied) -> bool:
    """Whether a copy of vector data only goes Create, then each layer: a
    driver's own CreateCopy may write rasters only (GPKG's refuses a
    dataset without bands), where GDAL's default copy, and ogr2ogr, go so."""
    return bool(copied) and not _gdal.Dataset_RasterCount_get(handle) and "create" in write_modes(target)


def _asked(handle, target, picked, verify):
    """What the copy must hold, read from the source before it is written:
    ``None`` with ``verify="off"``."""
    if verify == "off":
        return None
    raster = bool(_gdal.Dataset_RasterCount_get(handle)) and metadata_flag(target, "DCAP_RASTER")
    vector = metadata_flag(target, "DCAP_VECTOR")
    return dataset_facts(handle, raster=raster, layers=picked if vector else [])


class Check:
    """The comparison of what was written to ``target`` with what was asked
    (``asked``: :func:`~..verify.facts.dataset_facts` of it, ``None`` to
    compare nothing); ``using()``, where given, is the source's handle under
    its lock, for ``verify="pixels"``."""

    __slots__ = ("asked", "verify", "path", "using", "names", "heard")

    def __init__(self, asked, verify, path, using, target, heard=()):
        self.asked, self.verify, self.path, self.using = asked, verify, path, using
        self.names = metadata_flag(target, "DCAP_MULTIPLE_VECTOR_LAYERS")
        self.heard = heard  # GDAL's warnings while writing

    def differences(self, handle) -> list:
        if self.asked is None:
            return []
        found = differences(self.asked, dataset_facts(handle, raster="raster" in self.asked,
                                                      layers=None if "vector" in self.asked else []), self.names)
        if self.verify == "pixels" and not found and "raster" in self.asked and self.using is not None:
            with self.using() as source:
                found = pixel_differences(source, handle)
        return found

    def settle(self, found) -> None:
        settle(with_reasons(found, self.heard), self.verify, self.path)


def _vector_options(handle, target, options, layer_options):
    """``(dataset options, layer options)`` of a copy, checked before
    anything is written; the layer options are ``{}`` unless a vector copy
    gets some (``layer_options`` on another copy raises ValueError)."""
    vector = metadata_flag(target, "DCAP_VECTOR") and _gdal.Dataset_GetLayerCount(handle) > 0 \
        and not _gdal.Dataset_RasterCount_get(handle)
    name = _gdal.Driver_ShortName_get(target)
    if not vector:
        if layer_options is not None:
            raise ValueError(f"layer_options= apply to the layers of a vector copy, and this copy to {name} "
                             "writes no vector layers; give creation options in options=")
        return options, {}
    layer_xml = metadata_item(target, OPTION_LISTS["layer"])
    options, moved = split_vector_copy(options, metadata_item(target, OPTION_LISTS["creation"]), layer_xml,
                                       container=f"driver {name}")
    given = dict(layer_options or {})
    folded = {str(k).upper(): k for k in given}
    twice = [k for k in moved if str(k).upper() in folded]
    if twice:
        raise ValueError(f"layer creation option {twice[0]!r} is given in both options= and layer_options=")
    merged = {**moved, **given}
    checked = check_options(merged, layer_xml, kind="layer", container=f"driver {name}")
    return options, {k: v for k, v in checked.items() if v is not None}


def stage_for(path, target):
    """The stage a copy to ``path`` is written into, ``None`` to write in
    place: where it may not stage, or where no stage can be made (a folder
    that does not exist or is not writable: GDAL then says why)."""
    if not stages(path, target):
        return None
    try:
        return Stage(path)
    except OSError:
        return None


def _write(target, driver, path, handle, picked, options, callback, for_layers, heard):
    """The copy's GDAL call: CreateCopy, or Create and CopyLayer for the
    picked layers (with ``for_layers``, their creation options);
    ``(new handle, record of what it made)``."""
    if picked is None:
        return call_creating(_gdal.Driver_CreateCopy, target, path, handle, 0, options, callback, heard=heard)
    from .layers import copy_layers

    return copy_layers(creating_driver(driver), path, handle, picked, options, callback, for_layers)


def _publish(new, stage, target, path, copied, adopt, check):
    """The copy written aside, closed, moved into place and opened there:
    the dataset returned is the published one. A copy GDAL cannot finish,
    publish or read back, one that holds fewer layers than were copied, or
    one that differs from its source where differences count (``check``,
    read back before it is published), leaves the target's folder as it
    was."""
    try:
        problem, messages = close_handle(new, stage.path, False)
        if problem is not None:
            raise closing_error(path, problem, messages)
        messages.emit()
    except BaseException:
        stage.discard()
        raise
    return publish_written(stage, target, path, copied, adopt, check)


def publish_written(stage, target, path, copied, adopt, check):
    """What was written and closed in ``stage``, compared where differences
    count, moved into place and opened there (see :func:`_publish`)."""
    try:
        if check.verify != "warn":
            _check_aside(stage, target, check)
        written = stage.publish()
    except OSError as exc:
        stage.discard()
        raise error.GDALError(f"copying to {path!r}: the copy could not be moved into place ({exc}); "
                              "nothing there was changed", function="Driver_CreateCopy", path=path) from exc
    except BaseException:
        stage.discard()
        raise
    try:
        # what GDAL would look for beside it is what was moved in: it need
        # not read the whole folder, which may hold any number of files
        handle, update = _reopen(path, target, written)
        db = adopt(handle, None, update=update)
        if copied and metadata_flag(target, "DCAP_VECTOR"):
            _check_layers(db, copied, target, path)
    except BaseException:
        stage.undo()
        raise
    stage.finish()  # the displaced files of the old dataset go
    if check.verify == "warn":
        check.settle(check.differences(db.handle))  # the copy's only owner yet
    return db


def _check_aside(stage, target, check) -> None:
    """The comparison of the copy where it was written, before anything is
    published: one open of it."""
    if check.asked is None:
        return
    handle, _update = _reopen(stage.path, target, stage.fs.listdir(stage.place), flags=(0,))
    try:
        found = check.differences(handle)
    finally:
        release_dataset(handle)
    check.settle(found)


def _check_layers(db, copied, target, path) -> None:
    held = db.layer_count
    if held < copied:
        db.close()
        name = _gdal.Driver_ShortName_get(target)
        raise error.GDALError(
            f"{name} wrote {held} of the {copied} layers copied to {path!r}; the others were lost",
            function="Driver_CreateCopy", path=path,
        )


def _reopen(path, target, siblings=(), flags=(OF_UPDATE, 0)):
    """The written copy opened again, for update where the driver updates
    (the first of ``flags`` that opens it): by its own driver, or by any
    where it reads nothing (COG's are GTiff files): ``(handle, update)``,
    else ``GDALError``."""
    err = messages = None
    drivers = [_gdal.Driver_ShortName_get(target)] if metadata_flag(target, "DCAP_OPEN") else []
    for flag in flags:
        handle, err, messages = open_raw(gdal_path(path), flag, drivers, [], list(siblings))
        if handle is not None:
            try:
                messages.emit()
            except BaseException:  # a warning turned into an error: no reader kept
                release_dataset(handle)
                raise
            return handle, bool(flag)
    raise error.GDALError(
        f"GDAL wrote {path!r} but cannot read it back: {err[2] or 'no reason given'}{messages.text()}",
        function="OpenEx", gdal_message=err[2], error_no=err[1], path=path, warnings=messages.warnings,
    )


def _read_back(new, creation, target, path, copied, adopt):
    """The owner of a vector copy that reports what was written.

    Many drivers write at close (GeoJSON, KML, GML, FlatGeobuf) and the
    dataset CreateCopy returns answers 0 features or none at all, so a copy
    that lives in files is closed and opened again, owning what the
    creation made (in-memory files, a failed close).  A copy that holds
    fewer layers than were copied lost some (a driver whose CreateLayer
    refused one, which CreateCopy passes over) and is removed.
    """
    files = dataset_files(new)
    if not files or not metadata_flag(target, "DCAP_OPEN"):
        handle, update = new, None
    else:
        problem, messages = close_handle(new, path, False, creation)
        if problem is not None:
            raise closing_error(path, problem, messages)
        try:
            messages.emit()
            handle, update = _reopen(path, target)
        except BaseException:
            if creation is not None:
                remove_created(creation, files)
            raise
    db = adopt(handle, creation, update=update)
    try:
        _check_layers(db, copied, target, path)
    except error.GDALError:
        if creation is not None:
            remove_created(creation, files)
        raise
    return db

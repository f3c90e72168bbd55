"""The owner of an open dataset.

``GeoDatabase(handle)`` owns a dataset handle (what ``_gdal.OpenEx`` or
``_gdal.Driver_Create`` return) and closes it deterministically: on
:meth:`GeoDatabase.close`, at the end of a ``with`` block, or, as a last
resort, when the object is garbage collected or the interpreter exits.
Without that the low-level binding would never close the dataset (a bare
handle has no destructor attached), and nothing would be flushed.
"""

import atexit
import os
import threading
import time
import types
import weakref

from . import base
from ._creation import dataset_files, existing_before, note_creation, remove_created, take_creation
from ._writing import (
    STOPPED, creating_driver, driver_ftypes, layers_to_copy, own_creation_options, progress_callback,
    refuse_own_file, writing_driver,
)
from ._capabilities import main_extension, metadata_flag
from ._paths import gdal_path
from .base import _gdal, error

__all__ = ["GeoDatabase"]


def _mem_leftovers(path: str) -> list[str]:
    """Every in-memory file or directory belonging to a ``mem_temp_path``.

    Such paths are ``<dir>/<32 hex digits>[.ext]``; everything in ``<dir>``
    whose name starts with those digits belongs to that dataset (sidecars
    such as ``.shx``/``.dbf`` or ``.aux.xml``, or a directory's content).
    """
    folder, name = path.rsplit("/", 1)
    stem = name.split(".", 1)[0]
    try:
        entries = _gdal.ReadDirRecursive(folder + "/") or []
    except Exception:
        entries = []
    found = [f"{folder}/{e.rstrip('/')}" for e in entries if e.startswith(stem)]
    # deepest first, so that directories are emptied before they go
    found.sort(key=len, reverse=True)
    if path not in found:
        found.append(path)
    return found


def _configured_layer_options(driver_name: str) -> dict:
    """The configured layer-creation defaults of a vector driver (none for
    a driver without the vector capability), as its catalogue takes them."""
    from .driver import VectorDriver

    if not driver_name or _gdal.GetDriverByName(driver_name) is None:
        return {}
    try:
        view = VectorDriver(driver_name)
    except error.FormatError:  # not a vector driver: it has no layer defaults
        return {}
    return view.creation_options


def _close(handle, path, is_mem, creation=None):
    """Close ``handle`` and remove its in-memory files; never raises.

    ``creation`` is the record of what existed before the call that
    created the dataset (see :func:`~._creation.take_creation`): when
    closing fails, what that call made is removed, as for a failed
    creation, and nothing that existed before it.  Returns ``(problem, messages)``: ``(error_type, message)``
    of a failure GDAL reported while closing, or ``None``, and the collected
    GDAL messages (its warnings, which ``close`` re-emits; a collected
    object is closed silently).
    """
    problem = None
    messages = base.gdal_messages()
    try:
        with messages:
            try:
                _gdal.delete_Dataset(handle)
            except RuntimeError as exc:  # GDAL exceptions enabled
                problem = (base.CE_FAILURE, str(exc))
            err_type, _no, msg = base.last_gdal_error()
            if problem is None and err_type in (base.CE_FAILURE, base.CE_FATAL):
                problem = (err_type, msg)
        if is_mem:
            with base.quiet_gdal():
                for name in _mem_leftovers(path):
                    base.remove_path(name)
        if problem is not None and creation is not None:
            remove_created(creation)
    except Exception as exc:  # pragma: no cover - defensive
        problem = problem or (base.CE_FAILURE, str(exc))
    return problem, messages


def _release(handle, cell, lock, path, is_mem, creation=None):
    """The finalizer of a ``GeoDatabase``: :func:`_close` under the object's
    lock, after marking it closed in ``cell`` (its one-item handle list).

    :meth:`GeoDatabase.close` holds the lock already, and an object that is
    collected has no call running; only at interpreter exit may a call in
    another thread hold it.  Then it is waited for as long as the exit
    allows (:data:`EXIT_WAIT` in all), and past that the dataset is left
    to the operating system (see :func:`_leave`): closing it would free
    what GDAL in that thread still reads.
    """
    if not lock.acquire(timeout=_calls.time_left()):
        _leave(path, is_mem, creation)
        return None, base.gdal_messages()
    try:
        cell[0] = None
        return _close(handle, path, is_mem, creation)
    finally:
        lock.release()


def _leave(path, is_mem, creation) -> None:
    """A dataset left open at exit is never flushed, so what its own
    creation made is not whole: that is removed, as a failed creation is
    (the main file; in-memory files go with the process).  One that was
    opened keeps what was flushed to it before."""
    if creation is None or is_mem or path.startswith("/vsi"):
        return
    try:
        with base.quiet_gdal():
            remove_created(creation)
    except Exception:  # pragma: no cover - defensive, at exit
        pass


# --------------------------------------------------------------------------
# interpreter exit

#: Seconds the exit waits, in all, for dataset calls running in other
#: threads before it closes the datasets still open.
EXIT_WAIT = 10.0


class _Calls:
    """The threads inside a dataset call (``with _calls:``), and the exit.

    At interpreter exit only daemon threads are left (the others were
    joined before the exit handlers run).  :meth:`begin_exit` waits for
    their running calls, up to :data:`EXIT_WAIT` seconds; a thread that
    starts a call after that, or whose call ends after that, is parked
    for good.  So no call of this module
    is inside GDAL when the interpreter finalizes: a daemon thread coming
    back from GDAL then is ended within GDAL's C++ frames, which aborts
    the process, and a dataset closed under it is a use after free.
    """

    def __init__(self):
        self._cond = threading.Condition(threading.Lock())
        self._depth = threading.local()
        self._running = 0
        self._exit_thread = None
        self._deadline = None
        self._copies = {}  # running copies: token -> what their target held before

    @property
    def exiting(self) -> bool:
        return self._exit_thread is not None

    def time_left(self) -> float:
        if self._deadline is None:
            return EXIT_WAIT
        return max(0.0, self._deadline - time.monotonic())

    def __enter__(self):
        depth = getattr(self._depth, "n", 0)
        if depth == 0:
            with self._cond:
                while self._exit_thread not in (None, threading.get_ident()):
                    self._cond.wait()  # parked: the interpreter is exiting
                self._running += 1
        self._depth.n = depth + 1

    def __exit__(self, *exc_info):
        self._depth.n -= 1
        if self._depth.n == 0:
            with self._cond:
                self._running -= 1
                self._cond.notify_all()
                # A thread whose call ends once the exit has begun stays here:
                # back in its own code it would write to a closing stderr or
                # call GDAL in a finalized interpreter, and either aborts.
                while self._exit_thread not in (None, threading.get_ident()):
                    self._cond.wait()
        return False

    def begin_exit(self) -> None:
        own = 1 if getattr(self._depth, "n", 0) else 0
        with self._cond:
            self._exit_thread = threading.get_ident()
            self._deadline = time.monotonic() + EXIT_WAIT
            self._cond.wait_for(lambda: self._running <= own, self.time_left())

    class _Copy:
        __slots__ = ("calls", "token")

        def __init__(self, calls, path):
            self.calls, self.token = calls, object()
            before = None if path.startswith("/vsi") else existing_before(path)
            calls._copies[self.token] = before

        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            self.calls._copies.pop(self.token, None)
            return False

    def copying(self, path):
        """``with _calls.copying(path):`` a copy to ``path`` is running."""
        return _Calls._Copy(self, path)

    def abandon_copies(self) -> None:
        """At exit, past the wait: the targets of copies still running are
        not whole; remove what they made (not in memory: that goes with
        the process)."""
        for before in list(self._copies.values()):
            try:
                with base.quiet_gdal():
                    remove_created(before)
            except Exception:  # pragma: no cover - defensive, at exit
                pass


_calls = _Calls()


def _at_exit() -> None:
    """Runs before ``weakref.finalize``'s own exit handler (registered after
    it): waits for the running calls, closes the datasets still open, each
    under its lock, and gives up on what still runs."""
    _calls.begin_exit()
    for owner in reversed(list(_owners.values())):  # the newest first, as weakref does
        try:
            if owner._proxy is not None and _proxy_closed(owner._proxy):
                owner._closed_through_proxy()  # GDAL freed it already
            else:
                owner._finalizer()
        except Exception:  # pragma: no cover - defensive, at exit
            pass
    _calls.abandon_copies()


_exit_registered = False


def _register_exit() -> None:
    global _exit_registered
    if not _exit_registered:  # the GIL makes this one step
        _exit_registered = True
        atexit.register(_at_exit)


def _stop_at_exit(callback, failure):
    """GDAL's progress function for a copy: ``callback`` (or none), and a
    stop once the interpreter exits (GDAL then ends the copy, and what it
    made is removed, as for any stopped copy)."""

    def progress(fraction, message, data):
        if _calls.exiting:
            if not failure:
                failure.append(RuntimeError("copy_to was stopped: the interpreter is exiting"))
            return 0
        return 1 if callback is None else callback(fraction, message, data)

    return progress


def _cwd():
    try:
        return os.getcwd()
    except OSError:  # the working folder was removed
        return None


def _address(handle) -> int:
    """The dataset's C pointer: what tells two handles of one dataset."""
    return int(getattr(handle, "this", handle))


# Live owners by dataset address (an entry goes with its owner), and the
# lock that makes looking an owner up and becoming one a single step.
_owners: "weakref.WeakValueDictionary[int, GeoDatabase]" = weakref.WeakValueDictionary()


_owners_lock = threading.Lock()


class GeoDatabase:
    """An open GDAL dataset (raster, vector or both).

    ``GeoDatabase(handle, *, update=None)`` takes ownership of ``handle``,
    a dataset handle as returned by the low-level binding; ``None`` or
    anything that is not a dataset raises ``TypeError``.  ``update`` tells
    whether the dataset was opened for writing, when known.

    Attributes: ``path`` (the dataset description, usually its path),
    ``driver_name`` (driver short name), ``xsize``, ``ysize``,
    ``band_count``, ``layer_count``, ``layers``, ``files``, ``handle``
    (``None`` once closed), ``dataset`` (an ``osgeo.gdal.Dataset``),
    ``closed``, ``update``.  ``path`` and ``driver_name`` stay readable
    after closing; the others then raise ``ValueError``.

    :meth:`copy_to` writes the dataset with another driver (GDAL's
    CreateCopy); :meth:`create_layer` adds a vector layer.

    A dataset has one owner.  Wrapping a handle whose dataset another
    live ``GeoDatabase`` owns raises ``ValueError``; copying, deep-copying
    and pickling raise ``TypeError``.  Every use of the dataset takes a
    lock of the object, so :meth:`close` never runs in the middle of a
    GDAL call: from another thread it waits until the call returns, and
    from the thread running it (a ``progress`` callback of
    :meth:`copy_to`, or code of a value the call reads, such as a layer
    name's ``__str__``) it raises ``ValueError``; so does ``Close()``
    through ``.dataset``.

    :meth:`close` flushes and closes the dataset; it is idempotent.  After
    it, everything reached through the object that would touch the
    dataset raises ``ValueError``.  A raw handle the caller kept (from
    ``handle``, or the one passed in) points to freed memory then: it must
    not be used, nor wrapped again.

    The ``GeoDatabase`` wrapping the result of the package's own creating
    call (``create``) owns what that creation made: when the dataset lives
    at a path handed out by :func:`~vek._algos.geo.base.mem_temp_path`,
    closing removes every in-memory file of it (one that merely opened the
    path leaves them alone), and when closing fails (GDAL could not finish
    writing it) what that creation made is removed, as for a failed
    creation, sidecars included, and no file that existed before it (a
    VRT's sources stay).  An instance that is garbage collected (or still
    alive at interpreter exit) is closed and cleaned up the same way,
    silently.  At exit, calls still running in other (daemon) threads are
    waited for, up to ``EXIT_WAIT`` seconds in all, and a dataset whose call
    outlives that is left open to the operating system (never flushed: what
    its own creation made is removed, and so is what a copy still running
    made).
    """

    def __init__(self, handle, *, update=None):
        if handle is None:
            raise TypeError("GeoDatabase needs a GDAL dataset handle, got None")
        try:
            _gdal.Dataset_RasterCount_get(handle)
            address = _address(handle)
        except Exception:
            raise TypeError(
                f"GeoDatabase needs a GDAL dataset handle, got {type(handle).__name__}"
            ) from None
        self._lock = threading.RLock()
        self._cell = [None]  # the handle while open, shared with the finalizer
        self._busy = 0  # GDAL calls on the dataset running (in the lock's thread)
        self._proxy = None  # the osgeo.gdal.Dataset handed out by .dataset
        self.update = update
        description = _gdal.MajorObject_GetDescription(handle) or ""
        self._path = os.fsdecode(description) if isinstance(description, bytes) else description
        driver = _gdal.Dataset_GetDriver(handle)
        self._driver_name = _gdal.Driver_ShortName_get(driver) if driver is not None else ""
        creation = take_creation(handle)
        self._cwd = _cwd()  # what the dataset's relative names are relative to
        self._is_mem = creation is not None and base.is_mem_temp_path(self._path)
        with _owners_lock:
            owner = _owners.get(address)
            if owner is not None and owner._handle is not None:
                raise ValueError(
                    f"the dataset {self._path!r} is owned by another GeoDatabase; "
                    "a dataset has one owner"
                )
            self._handle = handle
            self._address = address
            _owners[address] = self
        self._finalizer = weakref.finalize(
            self, _release, handle, self._cell, self._lock, self._path, self._is_mem, creation
        )
        _register_exit()  # after weakref's own exit handler, so that it runs first

    # -- state

    @property
    def _handle(self):
        return self._cell[0]

    @_handle.setter
    def _handle(self, value):
        self._cell[0] = value

    @property
    def handle(self):
        """The raw dataset handle, ``None`` once closed."""
        return self._handle

    @property
    def closed(self) -> bool:
        return self._handle is None or (self._proxy is not None and _proxy_closed(self._proxy))

    def _live(self):
        """The handle of the open dataset, else ``ValueError``; a GDAL call
        on it goes through :meth:`_using`, which holds the lock."""
        h = self._handle
        if h is None:
            raise ValueError(f"GeoDatabase {self._path!r} is closed")
        if self._proxy is not None and _proxy_closed(self._proxy):
            self._closed_through_proxy()
            raise ValueError(f"GeoDatabase {self._path!r} was closed through its osgeo.gdal.Dataset")
        return h

    class _Using:
        """``with ds._using() as handle:`` the live handle, held under the
        object's lock so that :meth:`close` in another thread waits and in
        this one (a callback of the call) is refused; ``ValueError`` once
        closed.  Every GDAL call on the dataset goes through it."""

        __slots__ = ("ds",)

        def __init__(self, ds):
            self.ds = ds

        def __enter__(self):
            _calls.__enter__()
            self.ds._lock.acquire()
            try:
                handle = self.ds._live()
            except BaseException:
                self.ds._lock.release()
                _calls.__exit__()
                raise
            self.ds._busy += 1
            return handle

        def __exit__(self, *exc_info):
            self.ds._busy -= 1
            self.ds._lock.release()
            _calls.__exit__()
            return False

    def _using(self):
        return GeoDatabase._Using(self)

    # -- one owner

    def __copy__(self):
        raise TypeError(f"{type(self).__name__} cannot be copied: it is the one owner of its dataset")

    def __deepcopy__(self, memo):
        self.__copy__()

    def __reduce_ex__(self, protocol):
        raise TypeError(f"cannot pickle {type(self).__name__}: it owns an open GDAL dataset")

    # -- facts

    @property
    def path(self) -> str:
        return self._path

    @property
    def driver_name(self) -> str:
        return self._driver_name

    @property
    def xsize(self) -> int:
        with self._using() as h:
            return _gdal.Dataset_RasterXSize_get(h)

    @property
    def ysize(self) -> int:
        with self._using() as h:
            return _gdal.Dataset_RasterYSize_get(h)

    @property
    def band_count(self) -> int:
        with self._using() as h:
            return _gdal.Dataset_RasterCount_get(h)

    @property
    def layer_count(self) -> int:
        with self._using() as h:
            return _gdal.Dataset_GetLayerCount(h)

    @property
    def files(self) -> list[str]:
        """The files making up the dataset, as GDAL lists them."""
        with self._using() as h:
            with base.gdal_messages() as messages:
                files = [os.fsdecode(n) if isinstance(n, bytes) else n
                         for n in _gdal.Dataset_GetFileList(h) or []]
        messages.emit()
        return files

    # -- where a raster lies

    def georeference(self, srs=None, *, bounds=None, transform=None, nodata=None):
        """Set the raster's spatial reference, geotransform and nodata value;
        a part left ``None`` stays as it is.

        ``srs``
            Anything GDAL's ``SetFromUserInput`` takes ("EPSG:4326", WKT,
            PROJ text, ...).
        ``bounds``
            ``(xmin, ymin, xmax, ymax)``, the outer edges of the raster
            (north up): the geotransform follows from the size.
        ``transform``
            GDAL's six geotransform numbers instead of ``bounds``.
        ``nodata``
            The nodata value of every band: a number, or a text of one
            ("-9999", "nan"), that the bands' data type holds.

        Everything is checked before anything is set: bad input raises
        ``ValueError`` (a spatial reference GDAL cannot read or holding a
        NUL, bounds with xmin >= xmax, both bounds and transform, a nodata
        value that is no number or that the bands cannot hold).  Then the
        spatial reference is set first and the geotransform next, the order
        a GeoPackage needs (it must have its geotransform before it is first
        closed); GDAL's refusal raises ``GDALError`` with its message, and
        what was set before it stays.
        """
        from ._georef import apply_georeferencing, band_types, checked_georeferencing

        with self._using() as handle:
            size = (_gdal.Dataset_RasterXSize_get(handle), _gdal.Dataset_RasterYSize_get(handle))
            if not _gdal.Dataset_RasterCount_get(handle) and size == (0, 0):
                raise ValueError(f"{self._path!r} holds no raster to georeference")
            geo = checked_georeferencing(srs, bounds, transform, nodata, size=size,
                                         type_names=band_types(handle))
            apply_georeferencing(handle, geo)

    # -- layers

    @property
    def layers(self) -> list[tuple[str, str, int]]:
        """The dataset's layers: ``(name, geometry type, feature count)``
        each, the geometry type as OGR names it ("Point", "Line String",
        "Unknown (any)", ...)."""
        from ._layers import layer_facts

        with self._using() as handle:
            return layer_facts(handle)

    def create_layer(self, name, geometry="Unknown", *, srs=None, fields=None, options=None):
        """Create the vector layer ``name`` and return its
        ``(name, geometry type, feature count)``.

        ``geometry``
            An OGR geometry type name: "Unknown", "Point", "LineString",
            "Polygon", "MultiPolygon", "GeometryCollection", "None" (no
            geometry), with Z, M or ZM for the 3-D and measured types
            ("PointZ", "LineStringM", ...), in any case.
        ``srs``
            The spatial reference, as anything GDAL's
            ``SetFromUserInput`` takes ("EPSG:4326", WKT, PROJ text, ...).
        ``fields``
            A mapping of field name to OGR field type name ("String",
            "Integer", "Integer64", "Real", "Date", "DateTime", ...; the
            subtypes "Boolean", "Int16", "Float32", "JSON", "UUID" too),
            limited to the types the driver creates (``creation_ftypes``).
        ``options``
            Layer-creation options, a dict (names in any ASCII case; each
            is checked against the layer-creation list). ``None`` (the
            default) takes the configured layer defaults of the dataset's
            driver (``[vector.creation_options.<driver>]``), ``{}`` none;
            ``driver.creation_options`` of a ``VectorDriver`` holds the
            values set on it.

        An unknown geometry or field type raises ``ValueError`` listing the
        accepted ones, before anything is created; so does a name or
        ``srs`` holding a NUL or text that is not UTF-8. GDAL's failures
        raise ``GDALError``.
        """
        from ._layers import make_layer, new_layer_facts

        if options is None:
            options = _configured_layer_options(self._driver_name)
        with self._using() as handle:
            layer = make_layer(handle, name, geometry, srs, fields, options,
                               driver_ftypes(handle))
            return new_layer_facts(layer)  # the layer is owned by the dataset

    # -- writing with another driver

    def copy_to(self, path, driver, *, options=None, progress=None, layers=None):
        """Write this dataset with ``driver`` (a short name or a driver
        object) to ``path`` through GDAL's CreateCopy, and return the new
        dataset as a ``GeoDatabase``.

        This is how formats that GDAL writes by copy only (PNG, JPEG, COG,
        ...) are produced.  ``path=None`` writes to memory.  ``options``
        are the driver's creation options, a dict; when they are not given,
        a driver object other than a ``VectorDriver`` (whose creation
        options are layer options) gives its own ``creation_options``, as
        set on it or configured.  ``progress``, when
        given, is called with GDAL's progress fraction (0.0 to 1.0) as the
        copy goes on; it may return ``False`` to stop the copy (``GDALError``,
        also when the driver wrote on to the end), and an exception it raises
        stops the copy and is raised again here.  A
        driver that can write neither by Create nor by CreateCopy raises
        ``FormatError``, and a ``path`` that is one of this dataset's own
        files ``ValueError``; on any failure nothing the copy made is left
        (sidecars included), and no file that existed before it is touched.

        ``layers`` (a layer name or a list of them) copies just those
        vector layers, through the steps CreateCopy takes for vector data
        (Create, then CopyLayer for each); it needs a driver that creates
        datasets.  A copy of several layers to a format that holds one
        (GDAL's ``DCAP_MULTIPLE_VECTOR_LAYERS`` not YES: GeoJSON,
        FlatGeobuf, CSV, Shapefile, ...) raises ``ValueError`` naming the
        layers it would lose, before anything is written; so do unknown
        names, and more than one name for such a format.  A vector copy is
        read back through GDAL once written, so that the dataset returned
        reports what the file holds; one that holds fewer layers than were
        copied raises ``GDALError`` and is removed.
        """
        with _calls:  # all of it: a daemon thread must not be inside GDAL at exit
            target = writing_driver(driver)
            if options is None:
                options = own_creation_options(driver)
            if path is None:
                path = base.mem_temp_path(main_extension(target))
            elif not isinstance(path, str):
                path = os.fsdecode(os.fspath(path))
            callback, failure = progress_callback(progress)
            callback = _stop_at_exit(callback, failure)
            try:
                with self._using() as handle:
                    refuse_own_file(handle, path, self._cwd)
                    picked = layers_to_copy(handle, target, layers)
                    copied = len(picked) if picked is not None else _gdal.Dataset_GetLayerCount(handle)
                    with _calls.copying(path):
                        if picked is None:
                            new = base.call_gdal_fun(_gdal.Driver_CreateCopy, target, path, handle, 0,
                                                     options, callback)
                        else:
                            from ._layers import copy_layers

                            new = copy_layers(creating_driver(driver), path, handle, picked, options, callback)
            except error.GDALError:
                if failure and failure[0] is not STOPPED:
                    raise failure[0] from None
                raise
            if failure:  # the driver went on to the end: stopped all the same
                made = take_creation(new)
                base.release_dataset(new)
                remove_created(made)
                if failure[0] is not STOPPED:
                    raise failure[0]
                raise error.GDALError(f"copying to {path!r} was stopped by progress; nothing was kept",
                                      function="Driver_CreateCopy", path=path)
            if copied and metadata_flag(target, "DCAP_VECTOR"):
                return _read_back(new, target, path, copied)
            return GeoDatabase(new)  # GDAL may hand it back read-only or for update

    # -- GDAL's own API

    @property
    def dataset(self):
        """The dataset as an ``osgeo.gdal.Dataset``, for GDAL's own API
        (``GetRasterBand(1).WriteArray``, ``GetLayer(0).CreateFeature``,
        ...); always that class, whatever was imported before.

        It stays owned by this ``GeoDatabase``: do not ``Close()`` it
        (close the ``GeoDatabase``; one that was closed through it anyway
        is taken as closed, and ``Close()`` inside a GDAL call on the
        dataset raises ``ValueError``, as :meth:`close` does).  The same object is returned while it is in
        use.  After :meth:`close` it no longer refers to the dataset (its
        methods raise), and reading ``.dataset`` raises ``ValueError``.
        Band and layer objects taken from it belong to the dataset too:
        with GDAL's bindings from 3.8 on they are invalidated when it
        closes (their methods then raise); with older bindings they must
        not be used after :meth:`close`.
        """
        with self._using() as handle:
            if self._proxy is None:
                self._proxy = _as_gdal_dataset(handle, self)
            return self._proxy

    def _closed_through_proxy(self) -> None:
        """The dataset was closed through ``.dataset``: forget the handle
        and remove in-memory files, without closing it a second time."""
        self._handle = None
        self._disown()
        self._finalizer.detach()
        if self._is_mem:
            for name in _mem_leftovers(self._path):
                base.remove_path(name)

    def _refuse_if_busy(self, what: str) -> None:
        """Under the lock: ``ValueError`` when a GDAL call on the dataset is
        running in this thread (a progress callback or a value's own code
        reached from inside it), which closing would pull the dataset from
        under.  A call in another thread holds the lock: the caller waited."""
        if self._busy:
            raise ValueError(
                f"GeoDatabase {self._path!r} cannot be {what} while a GDAL call on it runs "
                "(from a progress callback, say); close it once that call has returned"
            )

    def _disown(self) -> None:
        with _owners_lock:
            if _owners.get(self._address) is self:
                del _owners[self._address]

    # -- closing

    def close(self) -> None:
        """Flush and close the dataset (idempotent).

        Raises ``ValueError`` when called from inside a GDAL call on this
        dataset (a ``progress`` callback of :meth:`copy_to`); from another
        thread it waits until that call returns.

        Raises :class:`~vek._algos.geo._error.GDALError` when GDAL reports a
        failure while closing (e.g. the data could not be written); the
        dataset is closed all the same, and what this object's own creation
        made is removed (never a file that existed before it). GDAL's warnings while
        closing are emitted as ``GDALWarning``.
        """
        with _calls, self._lock:
            if self._handle is None:
                return
            self._refuse_if_busy("closed")
            if self._proxy is not None and _proxy_closed(self._proxy):
                self._closed_through_proxy()
                return
            self._disown()
            problem, messages = self._finalizer() or (None, base.gdal_messages())
            _invalidate(self._proxy)
        if problem is not None:
            err_type, msg = problem
            raise error.GDALError(
                f"closing {self._path!r} failed: {msg}{messages.text()}",
                function="close",
                gdal_message=msg,
                error_type=err_type,
                path=self._path,
                warnings=messages.warnings,
            )
        messages.emit()

    def __enter__(self):
        self._live()
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __repr__(self) -> str:
        with _calls, self._lock:
            return self._describe()

    def _describe(self) -> str:
        name = type(self).__name__
        if self.closed:
            return f"<{name} {self._path!r} ({self._driver_name}) closed>"
        parts = []
        bands = self.band_count
        if bands:
            parts.append(f"{self.xsize}x{self.ysize}, {bands} band{'s' if bands != 1 else ''}")
        layers = self.layer_count
        if layers or not parts:
            parts.append(f"{layers} layer{'s' if layers != 1 else ''}")
        return f"<{name} {self._path!r} ({self._driver_name}) {', '.join(parts)}>"


# --------------------------------------------------------------------------
# a vector copy, read back


def _closing_error(path, problem, messages) -> error.GDALError:
    err_type, msg = problem
    return error.GDALError(
        f"closing {path!r} failed: {msg}{messages.text()}",
        function="close", gdal_message=msg, error_type=err_type, path=path,
        warnings=messages.warnings,
    )


def _reopen(path, name):
    """The written copy opened again by its own driver, for update where
    the driver updates: ``(handle, update)``, else ``GDALError``."""
    from ._openex import OF_UPDATE, open_raw

    err = messages = None
    for flags in (OF_UPDATE, 0):
        handle, err, messages = open_raw(gdal_path(path), flags, [name], [], [])
        if handle is not None:
            try:
                messages.emit()
            except BaseException:  # a warning turned into an error: no reader kept
                base.release_dataset(handle)
                raise
            return handle, bool(flags)
    raise error.GDALError(
        f"GDAL wrote {path!r} but cannot read it back: {err[2] or 'no reason given'}{messages.text()}",
        function="OpenEx", gdal_message=err[2], error_no=err[1], path=path, warnings=messages.warnings,
    )


def _read_back(new, target, path, copied):
    """The ``GeoDatabase`` of a vector copy that reports what was written.

    Many drivers write at close (GeoJSON, KML, GML, FlatGeobuf) and the
    dataset CreateCopy returns answers 0 features or none at all, so a copy
    that lives in files is closed and opened again, owning what the
    creation made (in-memory files, a failed close).  A copy that holds
    fewer layers than were copied lost some (a driver whose CreateLayer
    refused one, which CreateCopy passes over) and is removed.
    """
    name = _gdal.Driver_ShortName_get(target)
    files = dataset_files(new)
    creation = take_creation(new)
    if not files or not metadata_flag(target, "DCAP_OPEN"):
        if creation is not None:
            note_creation(new, creation)
        handle, update = new, None
    else:
        problem, messages = _close(new, path, False, creation)
        if problem is not None:
            raise _closing_error(path, problem, messages)
        try:
            messages.emit()
            handle, update = _reopen(path, name)
        except BaseException:
            if creation is not None:
                remove_created(creation)
            raise
        if creation is not None:
            note_creation(handle, creation)
    db = GeoDatabase(handle, update=update)
    held = db.layer_count
    if held < copied:
        db.close()
        if creation is not None:
            remove_created(creation)
        raise error.GDALError(
            f"{name} wrote {held} of the {copied} layers copied to {path!r}; the others were lost",
            function="Driver_CreateCopy", path=path,
        )
    return db


# --------------------------------------------------------------------------
# the osgeo.gdal.Dataset handed out by .dataset


def _proxy_closed(proxy) -> bool:
    return getattr(proxy, "this", None) is None


def _invalidate(proxy) -> None:
    """Make the handed-out ``osgeo.gdal.Dataset`` (and, where the binding
    tracks them, its bands and layers) refer to nothing."""
    if proxy is None:
        return
    children = getattr(proxy, "_invalidate_children", None)
    if children is not None:
        children()
    object.__setattr__(proxy, "this", None)


def _as_gdal_dataset(handle, owner):
    """An ``osgeo.gdal.Dataset`` around the same GDAL dataset, owning
    nothing: the binding's own proxy creation, without a second owner."""
    from osgeo import gdal

    raw = getattr(handle, "this", handle)  # a proxy already, or the bare object
    proxy = gdal.Dataset.__new__(gdal.Dataset)
    object.__setattr__(proxy, "this", raw)
    raw.own(False)  # closing stays with the GeoDatabase
    # keeps the GeoDatabase (and so the dataset) alive while it is used
    object.__setattr__(proxy, "_vek_owner", owner)
    if hasattr(gdal.Dataset, "Close"):  # GDAL's bindings from 3.8 on
        object.__setattr__(proxy, "Close", types.MethodType(_proxy_close, proxy))
    return proxy


def _proxy_close(proxy, *args):
    """``Close()`` of the handed-out dataset (``with``, ``Destroy()`` and
    ``Release()`` call it too), under its owner's lock: it waits for a call
    running in another thread and is refused (``ValueError``) inside one
    running in this thread.  GDAL frees the dataset even when closing
    fails, so the owner takes it as closed either way."""
    owner = proxy._vek_owner
    with _calls, owner._lock:
        if owner._handle is not None:
            owner._refuse_if_busy("closed through its osgeo.gdal.Dataset")
        try:
            return type(proxy).Close(proxy, *args)
        finally:
            if owner._handle is not None:
                object.__setattr__(proxy, "this", None)
                owner._closed_through_proxy()

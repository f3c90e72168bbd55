"""The owner of an open dataset.

``GeoDatabase(handle)`` owns a dataset handle (what ``_gdal.OpenEx`` or
``_gdal.Driver_Create`` return) and closes it deterministically: on
:meth:`GeoDatabase.close`, at the end of a ``with`` block, or, as a last
resort, when the object is garbage collected or the interpreter exits.
Without that the low-level binding would never close the dataset (a bare
handle has no destructor attached), and nothing would be flushed.
"""

import os
import threading
import weakref

from . import base
from ._creation import remove_created, take_creation
from ._writing import (
    STOPPED, driver_ftypes, own_creation_options, progress_callback, refuse_own_file, writing_driver,
)
from ._capabilities import main_extension
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


def _release(handle, path, is_mem, creation=None):
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
    GDAL call made from another thread.

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
    VRT's sources stay).  An instance that is garbage collected (or still alive at
    interpreter exit) is closed and cleaned up the same way, silently.
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
        self._handle = None
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
            self, _release, handle, self._path, self._is_mem, creation
        )

    # -- state

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
        object's lock so that :meth:`close` waits; ``ValueError`` once
        closed.  Every GDAL call on the dataset goes through it."""

        __slots__ = ("ds",)

        def __init__(self, ds):
            self.ds = ds

        def __enter__(self):
            self.ds._lock.acquire()
            try:
                return self.ds._live()
            except BaseException:
                self.ds._lock.release()
                raise

        def __exit__(self, *exc_info):
            self.ds._lock.release()
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
            Layer-creation options, a dict: ``driver.creation_options`` of
            a ``VectorDriver`` holds the values set on it.

        An unknown geometry or field type raises ``ValueError`` listing the
        accepted ones, before anything is created; so does a name or
        ``srs`` holding a NUL or text that is not UTF-8. GDAL's failures
        raise ``GDALError``.
        """
        from ._layers import make_layer, new_layer_facts

        with self._using() as handle:
            layer = make_layer(handle, name, geometry, srs, fields, options,
                               driver_ftypes(handle))
            return new_layer_facts(layer)  # the layer is owned by the dataset

    # -- writing with another driver

    def copy_to(self, path, driver, *, options=None, progress=None):
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
        """
        target = writing_driver(driver)
        if options is None:
            options = own_creation_options(driver)
        if path is None:
            path = base.mem_temp_path(main_extension(target))
        elif not isinstance(path, str):
            path = os.fsdecode(os.fspath(path))
        callback, failure = progress_callback(progress)
        try:
            with self._using() as handle:
                refuse_own_file(handle, path, self._cwd)
                new = base.call_gdal_fun(_gdal.Driver_CreateCopy, target, path, handle, 0, options, callback)
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
        return GeoDatabase(new)  # GDAL may hand it back read-only or for update

    # -- GDAL's own API

    @property
    def dataset(self):
        """The dataset as an ``osgeo.gdal.Dataset``, for GDAL's own API
        (``GetRasterBand(1).WriteArray``, ``GetLayer(0).CreateFeature``,
        ...); always that class, whatever was imported before.

        It stays owned by this ``GeoDatabase``: do not ``Close()`` it
        (close the ``GeoDatabase``; one that was closed through it anyway
        is taken as closed).  The same object is returned while it is in
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

    def _disown(self) -> None:
        with _owners_lock:
            if _owners.get(self._address) is self:
                del _owners[self._address]

    # -- closing

    def close(self) -> None:
        """Flush and close the dataset (idempotent).

        Raises :class:`~vek._algos.geo._error.GDALError` when GDAL reports a
        failure while closing (e.g. the data could not be written); the
        dataset is closed all the same, and what this object's own creation
        made is removed (never a file that existed before it). GDAL's warnings while
        closing are emitted as ``GDALWarning``.
        """
        with self._lock:
            if self._handle is None:
                return
            if self._proxy is not None and _proxy_closed(self._proxy):
                self._closed_through_proxy()
                return
            self._handle = None
            self._disown()
            problem, messages = self._finalizer()
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
        with self._lock:
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
    return proxy

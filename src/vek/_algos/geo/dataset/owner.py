"""The owner of an open dataset.

``GeoDatabase(handle)`` owns a dataset handle (what ``_gdal.OpenEx`` or ``_gdal.Driver_Create``
return) and closes it deterministically: on :meth:`GeoDatabase.close`, at the end of a ``with``
block, or, as a last resort, when the object is garbage collected or the interpreter exits. Without
that the low-level binding would never close the dataset (a bare handle has no destructor attached),
and nothing would be flushed.
"""

import os
import threading
import weakref

from osgeo import _gdal

from ..binding.messages import gdal_messages
from ..binding.paths import is_mem_temp_path, remove_path, working_folder
from .closing import closing_error, leave_at_exit, mem_leftovers, release
from .copying import copy_dataset
from .creation import take_creation
from .precheck import configured_layer_options, driver_ftypes
from .proxy import as_gdal_dataset, forget, invalidate, proxy_closed
from .shutdown import bindings_busy, calls, register

__all__ = ["GeoDatabase", "adopt"]


def _at_exit() -> None:
    """Runs before ``weakref.finalize``'s own exit handler: waits for the
    running calls, closes the datasets still open, each under its lock, and
    gives up on what still runs."""
    calls.begin_exit()
    owners = list(_owners.values())[::-1]  # the newest first, as weakref does
    busy = bindings_busy()
    for owner in owners:
        try:
            if owner._proxy is not None and proxy_closed(owner._proxy):
                owner._closed_through_proxy()  # GDAL freed it already
            elif owner._proxy is not None and busy:  # a call through .dataset may be on it
                leave_at_exit(*owner._finalizer.detach()[2][3:])
            else:
                owner._finalizer()
        except Exception:  # pragma: no cover - defensive, at exit
            pass
    calls.abandon_copies()


def _address(handle) -> int:
    """The dataset's C pointer: what tells two handles of one dataset."""
    return int(getattr(handle, "this", handle))


# Live owners by dataset address (an entry goes with its owner), and the
# lock that makes looking an owner up and becoming one a single step.
_owners: "weakref.WeakValueDictionary[int, GeoDatabase]" = weakref.WeakValueDictionary()
_owners_lock = threading.Lock()
_FROM_THREAD = object()  # the creation record this thread's last creating call kept


class GeoDatabase:
    """An open GDAL dataset (raster, vector or both).

    ``GeoDatabase(handle, *, update=None)`` takes ownership of ``handle``, a dataset handle as
    returned by the low-level binding; ``None`` or anything that is not a dataset raises
    ``TypeError``.  ``update`` tells whether the dataset was opened for writing, when known.

    Attributes: ``path`` (the dataset description, usually its path), ``driver_name`` (driver short
    name), ``xsize``, ``ysize``, ``band_count``, ``layer_count``, ``layers``, ``files``, ``handle``
    (``None`` once closed), ``dataset`` (an ``osgeo.gdal.Dataset``), ``closed``, ``update``.
    ``path`` and ``driver_name`` stay readable after closing; the others then raise ``ValueError``.

    A dataset has one owner.  Wrapping a handle whose dataset another live ``GeoDatabase`` owns
    raises ``ValueError``; copying, deep-copying and pickling raise ``TypeError``.  Every use of the
    dataset takes a lock of the object, so :meth:`close` never runs in the middle of a GDAL call:
    from another thread it waits until the call returns, and from the thread running it (a
    ``progress`` callback of :meth:`copy_to`, or code of a value the call reads, such as a layer
    name's ``__str__``) it raises ``ValueError``; so does ``Close()`` through ``.dataset``.

    :meth:`close` flushes and closes the dataset; it is idempotent.  After it, everything reached
    through the object that would touch the dataset raises ``ValueError``.  A raw handle the caller
    kept (from ``handle``, or the one passed in) points to freed memory then: it must not be used,
    nor wrapped again.

    The ``GeoDatabase`` wrapping the result of the package's own creating call (``create``) owns
    what that creation made: when the dataset lives at a path handed out by
    :func:`~vek._algos.geo.binding.paths.mem_temp_path`, closing removes every in-memory file of it
    (one that merely opened the path leaves them alone), and when closing fails (GDAL could not
    finish writing it) what that creation made is removed, as for a failed creation, sidecars
    included, and no file that existed before it (a VRT's sources stay).  An instance that is
    garbage collected (or still alive at interpreter exit) is closed and cleaned up the same way,
    silently.  At exit, calls still running in other (daemon) threads are waited for, up to
    ``EXIT_WAIT`` seconds in all, and a dataset whose call outlives that is left open to the
    operating system (never flushed: what its own creation made is removed, and so is what a copy
    still running made).
    """

    def __init__(self, handle, *, update=None):
        self._own(handle, update, _FROM_THREAD)

    def _own(self, handle, update, creation):
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
        if creation is _FROM_THREAD:
            creation = take_creation(handle)
        self._cwd = working_folder()  # what the dataset's relative names are relative to
        self._is_mem = creation is not None and is_mem_temp_path(self._path)
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
            self, release, handle, self._cell, self._lock, self._path, self._is_mem, creation
        )
        register(_at_exit)  # after weakref's own exit handler, so that it runs first

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
        return self._handle is None or (self._proxy is not None and proxy_closed(self._proxy))

    def _live(self):
        """The handle of the open dataset, else ``ValueError``; a GDAL call
        on it goes through :meth:`_using`, which holds the lock."""
        h = self._handle
        if h is None:
            raise ValueError(f"GeoDatabase {self._path!r} is closed")
        if self._proxy is not None and proxy_closed(self._proxy):
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
            calls.__enter__()
            self.ds._lock.acquire()
            try:
                handle = self.ds._live()
            except BaseException:
                self.ds._lock.release()
                calls.__exit__()
                raise
            self.ds._busy += 1
            return handle

        def __exit__(self, *exc_info):
            self.ds._busy -= 1
            self.ds._lock.release()
            calls.__exit__()
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
            with gdal_messages() as messages:
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
        from .georef import apply_georeferencing, band_types, checked_georeferencing, raster_size

        with self._using() as handle:
            geo = checked_georeferencing(srs, bounds, transform, nodata, size=raster_size(handle, self._path, nodata),
                                         type_names=band_types(handle))
            apply_georeferencing(handle, geo)

    # -- layers

    @property
    def layers(self) -> list[tuple[str, str, int]]:
        """The dataset's layers: ``(name, geometry type, feature count)``
        each, the geometry type as OGR names it ("Point", "Line String",
        "Unknown (any)", ...)."""
        from .layers import layer_facts

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
        from .layers import make_layer, new_layer_facts

        if options is None:
            options = configured_layer_options(self._driver_name)
        with self._using() as handle:
            layer = make_layer(handle, name, geometry, srs, fields, options,
                               driver_ftypes(handle))
            return new_layer_facts(layer)  # the layer is owned by the dataset

    # -- writing with another driver

    def copy_to(self, path, driver, *, options=None, progress=None, layers=None, layer_options=None,
                verify="warn"):
        """Write this dataset with ``driver`` (a short name or a driver object) to ``path`` through
        GDAL's CreateCopy, and return the new dataset as a ``GeoDatabase``.

        This is how formats that GDAL writes by copy only (PNG, JPEG, COG, ...) are produced.
        ``path=None`` writes to memory.  ``options`` are the driver's creation options, a dict; when
        they are not given, a driver object other than a ``VectorDriver`` (whose creation options are
        layer options) gives its own ``creation_options``, as set on it or configured.  A vector
        copy checks their names against the dataset and the layer creation lists, and hands those
        only the layer list knows to the layers.  ``layer_options`` (a dict, checked against the layer
        creation list) go to every layer a vector copy writes; on another copy they raise
        ``ValueError``.  ``progress``, when given, is called with GDAL's progress fraction (0.0 to
        1.0) as the copy goes on; it may return ``False`` to stop the copy (``GDALError``, also when
        the driver wrote on to the end), and an exception it raises stops the copy and is raised
        again here; so is Ctrl-C, as ``KeyboardInterrupt``.  A driver that can write neither by
        Create nor by CreateCopy raises ``FormatError``, and a ``path`` that is one of this dataset's
        own files ``ValueError``.  The copy is written aside and moved into place once GDAL closed it
        without error (an old dataset there is replaced only then); the dataset returned is the one
        published.  On any failure nothing the copy made is left (sidecars included), and no file
        that existed before it is touched.

        ``layers`` (a layer name or a list of them) copies just those vector layers, through the
        steps CreateCopy takes for vector data (Create, then CopyLayer for each; layer options take
        that road too); it needs a driver that creates datasets.  A copy of several layers to a
        format that holds one (GDAL's ``DCAP_MULTIPLE_VECTOR_LAYERS`` not YES: GeoJSON, FlatGeobuf,
        CSV, Shapefile, ...) raises ``ValueError`` naming the layers it would lose, before anything
        is written; so do unknown names, and more than one name for such a format.  A vector copy is
        read back once written, so that the dataset returned reports what the file holds; one that
        holds fewer layers than were copied raises ``GDALError`` and is removed.

        The copy read back is compared with this dataset (size, bands, data types, spatial
        reference, geotransform, nodata; layers, feature counts, fields, geometry types): each
        difference warns (``verify="warn"``, a ``WriteMismatchWarning``), or raises ``WriteMismatch``
        and keeps nothing (``"error"``; ``"pixels"`` also compares every value); ``"off"`` skips it.
        """
        return copy_dataset(self._using, self._cwd, path, driver, options, progress, layers, adopt,
                            layer_options, verify)

    # -- GDAL's own API

    @property
    def dataset(self):
        """The dataset as an ``osgeo.gdal.Dataset``, for GDAL's own API
        (``GetRasterBand(1).WriteArray``, ``GetLayer(0).CreateFeature``, ...); always that class,
        whatever was imported before.

        It stays owned by this ``GeoDatabase``: do not ``Close()`` it (close the ``GeoDatabase``;
        one that was closed through it anyway is taken as closed, and ``Close()`` inside a GDAL call
        on the dataset raises ``ValueError``, as :meth:`close` does).  The same object is returned
        while it is in use.  After :meth:`close` it no longer refers to the dataset (its methods
        raise), and reading ``.dataset`` raises ``ValueError``. Band and layer objects taken from it
        belong to the dataset too: with GDAL's bindings from 3.8 on they are invalidated when it
        closes (their methods then raise); with older bindings they must not be used after
        :meth:`close`.
        """
        with self._using() as handle:
            if self._proxy is None:
                self._proxy = as_gdal_dataset(handle, self, self._close_through)
            return self._proxy

    def _close_through(self, close):
        """``Close()`` of the handed-out dataset, under the lock: it waits for a call running in
        another thread and is refused (``ValueError``) inside one running in this thread.  GDAL
        frees the dataset even when closing fails, so it is taken as closed either way."""
        with calls, self._lock:
            if self._handle is not None:
                self._refuse_if_busy("closed through its osgeo.gdal.Dataset")
            try:
                return close()
            finally:
                if self._handle is not None:
                    forget(self._proxy)
                    self._closed_through_proxy()

    def _closed_through_proxy(self) -> None:
        """The dataset was closed through ``.dataset``: forget the handle
        and remove in-memory files, without closing it a second time."""
        self._handle = None
        self._disown()
        self._finalizer.detach()
        if self._is_mem:
            for name in mem_leftovers(self._path):
                remove_path(name)

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
        with calls, self._lock:
            if self._handle is None:
                return
            self._refuse_if_busy("closed")
            if self._proxy is not None and proxy_closed(self._proxy):
                self._closed_through_proxy()
                return
            self._disown()
            problem, messages = self._finalizer() or (None, gdal_messages())
            invalidate(self._proxy)
        if problem is not None:
            raise closing_error(self._path, problem, messages)
        messages.emit()

    def __enter__(self):
        self._live()
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __repr__(self) -> str:
        with calls, self._lock:
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


def adopt(handle, creation, *, update=None) -> GeoDatabase:
    """The ``GeoDatabase`` of a handle the package's own creating call made, owning what it made
    (``creation``: the record :func:`~.gdalcall.call_creating` handed back, or ``None``)."""
    db = GeoDatabase.__new__(GeoDatabase)
    db._own(handle, update, creation)
    return db


"""The ``osgeo.gdal.Dataset`` a ``GeoDatabase`` hands out as ``.dataset``:
GDAL's own API on the same dataset, owning nothing.

A part of ``GeoDatabase`` kept in its own module: closing through the
proxy works on the owner's own lock and state (``_lock``, ``_handle``,
``_refuse_if_busy``, ``_closed_through_proxy``)."""

import types

from ._exit import calls

__all__ = ["as_gdal_dataset", "invalidate", "proxy_closed"]


def proxy_closed(proxy) -> bool:
    """Whether the dataset was closed through the proxy."""
    return getattr(proxy, "this", None) is None


def invalidate(proxy) -> None:
    """Make the handed-out ``osgeo.gdal.Dataset`` (and, where the binding
    tracks them, its bands and layers) refer to nothing."""
    if proxy is None:
        return
    children = getattr(proxy, "_invalidate_children", None)
    if children is not None:
        children()
    object.__setattr__(proxy, "this", None)


def as_gdal_dataset(handle, owner):
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
    with calls, owner._lock:
        if owner._handle is not None:
            owner._refuse_if_busy("closed through its osgeo.gdal.Dataset")
        try:
            return type(proxy).Close(proxy, *args)
        finally:
            if owner._handle is not None:
                object.__setattr__(proxy, "this", None)
                owner._closed_through_proxy()

"""The ``osgeo.gdal.Dataset`` a ``GeoDatabase`` hands out as ``.dataset``:
GDAL's own API on the same dataset, owning nothing.

Closing through it goes through the guard its owner hands over, which
holds the owner's lock and takes the dataset as closed afterwards."""

import types

__all__ = ["as_gdal_dataset", "invalidate", "forget", "proxy_closed"]


def proxy_closed(proxy) -> bool:
    """Whether the dataset was closed through the proxy."""
    return getattr(proxy, "this", None) is None


def forget(proxy) -> None:
    """Make the proxy refer to nothing (GDAL freed the dataset)."""
    object.__setattr__(proxy, "this", None)


def invalidate(proxy) -> None:
    """Make the handed-out ``osgeo.gdal.Dataset`` (and, where the binding
    tracks them, its bands and layers) refer to nothing."""
    if proxy is None:
        return
    children = getattr(proxy, "_invalidate_children", None)
    if children is not None:
        children()
    forget(proxy)


def as_gdal_dataset(handle, owner, guard):
    """An ``osgeo.gdal.Dataset`` around the same GDAL dataset, owning
    nothing: the binding's own proxy creation, without a second owner.
    ``guard(close)`` is the owner's: it runs ``close()`` (GDAL's own
    ``Close``) as closing the owner allows."""
    from osgeo import gdal

    raw = getattr(handle, "this", handle)  # a proxy already, or the bare object
    proxy = gdal.Dataset.__new__(gdal.Dataset)
    object.__setattr__(proxy, "this", raw)
    raw.own(False)  # closing stays with the GeoDatabase
    # keeps the GeoDatabase (and so the dataset) alive while it is used
    object.__setattr__(proxy, "_vek_owner", owner)
    if hasattr(gdal.Dataset, "Close"):  # GDAL's bindings from 3.8 on
        object.__setattr__(proxy, "_vek_guard", guard)
        object.__setattr__(proxy, "Close", types.MethodType(_proxy_close, proxy))
    return proxy


def _proxy_close(proxy, *args):
    """``Close()`` of the handed-out dataset (``with``, ``Destroy()`` and
    ``Release()`` call it too), through the owner's guard."""
    return proxy._vek_guard(lambda: type(proxy).Close(proxy, *args))

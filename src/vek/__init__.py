"""vek: object views of GDAL format drivers."""

_PUBLIC = {"identify": "vek._algos.geo._identify", "drivers_for_path": "vek._algos.geo._identify"}


def __getattr__(name):
    # loaded on first use, so that importing vek stays cheap
    if name in _PUBLIC:
        import importlib

        return getattr(importlib.import_module(_PUBLIC[name]), name)
    raise AttributeError(f"module 'vek' has no attribute {name!r}")

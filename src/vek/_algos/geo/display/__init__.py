"""HTML builders for notebook display: ``VEKHTMLDetails``, ``VEKHTMLTable``.

The builders live in :mod:`vek._algos.geo.display.html`, which is only imported
when one of them is first asked for.
"""

__all__ = ["VEKHTMLDetails", "VEKHTMLTable"]


def __getattr__(name):
    if name in __all__:
        from . import html as _html

        value = getattr(_html, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))

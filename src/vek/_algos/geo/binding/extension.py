"""The extension module's classes, for the parts below it that need them.

Imports run down, from the faces to the parts; this is the one way back
up. The extension imports ``base`` and through it most of the package, so
a part that needs ``Driver`` or its kinds at a call asks here, at that
call, never at import.
"""

__all__ = ["driver_module"]


def driver_module():
    """``vek._algos.geo.driver``, imported on first use."""
    from .. import driver

    return driver

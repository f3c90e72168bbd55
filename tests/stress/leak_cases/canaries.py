"""Deliberately faulty steps that the checker must flag, each for its reason
(run with --canaries only).
"""

from .support import case


@case("canary: reference leak", canary=True)
def leaks_a_reference(w):
    import ctypes

    obj = w.watch(object())
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    return lambda: incref(obj)


@case("canary: memory leak", canary=True)
def leaks_memory(w):
    kept = []
    return lambda: kept.append({"n": len(kept)})


@case("canary: crash", canary=True)
def crashes(w):
    import ctypes

    return lambda: ctypes.string_at(0)

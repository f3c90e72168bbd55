"""The registry of cases and the pieces a step is made of."""

import itertools


FAILURE_SCALE = 0.25


class Case:
    def __init__(self, name, setup, covers, failure, scale, cost, fresh, canary, known_leak):
        self.name = name
        self.setup = setup
        self.covers = covers
        self.failure = failure
        self.scale = scale
        self.cost = cost
        self.fresh = fresh
        self.canary = canary
        self.known_leak = known_leak


_CASES = {}


def case(name, covers=(), failure=False, scale=None, cost=1.0, fresh=False, canary=False, known_leak=()):
    """Registers `setup` under `name`. `scale` multiplies the call count
    (default 1, or FAILURE_SCALE for a failure case); `cost` is a rough
    relative cost per call, used to spread cases over processes.
    `known_leak` names the measures in which a known, reported leak shows:
    the case then passes only while that leak is there and nothing else
    leaks, so that the mark goes when the leak is fixed."""
    if scale is None:
        scale = FAILURE_SCALE if failure else 1.0

    def register(setup):
        assert name not in _CASES, name
        _CASES[name] = Case(name, setup, tuple(covers) or (name,), failure, scale, cost, fresh, canary, tuple(known_leak))
        return setup

    return register


def registry():
    return dict(_CASES)


# ---- steps ------------------------------------------------------------------------------------

DELETE = object()


def rotate(variants):
    """A step that runs the next of `variants` at each call."""
    following = itertools.cycle(list(variants)).__next__
    return lambda: following()()


def raises(exc, fn, *args, **kwargs):
    """A variant calling fn(*args, **kwargs), which must raise `exc`."""

    def run():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{getattr(fn, '__qualname__', fn)} did not raise {exc}")

    return run


def calls(fn, *args, **kwargs):
    return lambda: fn(*args, **kwargs)


def reads(obj, attr):
    return lambda: getattr(obj, attr)


def patched(target, changes, run):
    """A variant running `run` with names of `target` (a module or a
    namespace dict) rebound, or deleted for DELETE, and put back after."""
    ns = target if isinstance(target, dict) else vars(target)

    def variant():
        saved = {k: ns[k] for k in changes if k in ns}
        for k, v in changes.items():
            if v is DELETE:
                del ns[k]
            else:
                ns[k] = v
        try:
            run()
        finally:
            for k in changes:
                ns.pop(k, None)
            ns.update(saved)

    return variant

"""Dataset calls and the interpreter's exit.

Every call of the data layer that may be inside GDAL runs ``with calls:``.
At exit the handler registered by :func:`register` runs first (before
``weakref.finalize``'s own): it waits for the calls of other threads,
closes the datasets still open and gives up on what still runs, so that no
call of this package is inside GDAL when the interpreter finalizes.
"""

import atexit
import threading
import time

from ..binding.messages import quiet_gdal
from .creation import Before, existing_before, remove_created

__all__ = ["EXIT_WAIT", "calls", "register", "stop_at_exit", "bindings_busy"]

#: Seconds the exit waits, in all, for dataset calls running in other
#: threads before it closes the datasets still open.
EXIT_WAIT = 10.0


class _Calls:
    """The threads inside a dataset call (``with calls:``), and the exit.

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

    def park_if_given_up(self) -> None:
        """Past the exit's wait, a thread other than the exit's stays here
        for good: back in GDAL, and from there in CPython's thread state, in
        a finalizing interpreter, it would abort the process."""
        if self._exit_thread in (None, threading.get_ident()) or self.time_left() > 0:
            return
        with self._cond:
            while True:
                self._cond.wait()

    def begin_exit(self) -> None:
        own = 1 if getattr(self._depth, "n", 0) else 0
        with self._cond:
            self._exit_thread = threading.get_ident()
            self._deadline = time.monotonic() + EXIT_WAIT
            try:
                self._cond.wait_for(lambda: self._running <= own, self.time_left())
            except KeyboardInterrupt:  # Ctrl-C ends the wait: what still runs is given up on
                self._deadline = time.monotonic()

    class _Copy:
        __slots__ = ("calls", "token")

        def __init__(self, calls, path, stage):
            self.calls, self.token = calls, object()
            if stage is None:
                stage = None if path.startswith("/vsi") else existing_before(path)
            calls._copies[self.token] = stage

        def __enter__(self):
            return self

        def __exit__(self, *exc_info):
            self.calls._copies.pop(self.token, None)
            return False

    def copying(self, path, stage=None):
        """``with calls.copying(path, stage):`` a copy to ``path`` is
        running, written aside into ``stage`` (a ``Stage``) or in place."""
        return _Calls._Copy(self, path, stage)

    def abandon_copies(self) -> None:
        """At exit, past the wait: the targets of copies still running are
        not whole; remove what they made (not in memory: that goes with
        the process)."""
        for made in list(self._copies.values()):
            try:
                with quiet_gdal():
                    if isinstance(made, Before):
                        remove_created(made)
                    elif made is not None:
                        made.discard()
            except Exception:  # pragma: no cover - defensive, at exit
                pass


calls = _Calls()

_registered = False


def register(handler) -> None:
    """Register the exit ``handler`` once; registered after ``weakref``'s
    own exit handler (which the first ``weakref.finalize`` registers), it
    runs before it."""
    global _registered
    if not _registered:  # the GIL makes this one step
        _registered = True
        atexit.register(handler)


def stop_at_exit(callback, failure):
    """GDAL's progress function for a copy: ``callback`` (or none), and a
    stop once the interpreter exits (GDAL then ends the copy, and what it
    made is removed, as for any stopped copy)."""

    # GDAL calls this once a block or a line: the common case (no exit,
    # no callback of the caller's) is kept to one attribute read
    def progress(fraction, message, data):
        if calls._exit_thread is not None:
            calls.park_if_given_up()
            if not failure:
                failure.append(RuntimeError("copy_to was stopped: the interpreter is exiting"))
            return 0
        if callback is None:
            return 1
        answer = callback(fraction, message, data)
        if calls._exit_thread is not None:
            calls.park_if_given_up()  # the exit gave up on this copy while the callback ran
        return answer

    return progress


def until_stopped(progress, failure):
    """``progress`` for a copy without a callback of the caller's, called
    only once a stop is recorded in ``failure`` or the exit began: GDAL
    calls it once a block or a line, and until then there is nothing to do."""

    def quiet(fraction, message, data):
        if failure or calls._exit_thread is not None:
            return progress(fraction, message, data)
        return 1

    return quiet


def bindings_busy() -> bool:
    """Whether a thread other than this one is inside a call of GDAL's own
    Python API (its innermost frame lies in ``osgeo``: ``gdal``, ``ogr``,
    ``osr``). Those calls are not the package's, so nothing else tells that
    one runs on a dataset handed out as ``.dataset``."""
    import os
    import sys

    where = getattr(sys.modules.get("osgeo"), "__file__", None)
    if not where:
        return False  # not imported: no call of it runs
    bindings = os.path.dirname(os.path.abspath(where)) + os.sep
    me = threading.get_ident()
    return any(tid != me and frame.f_code.co_filename.startswith(bindings)
               for tid, frame in sys._current_frames().items())

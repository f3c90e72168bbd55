"""Threads and lifetime: many threads on shared and separate drivers at
once; objects that outlive their creators; reference cycles through
drivers, catalogues and function objects, collected by the garbage
collector."""

import gc
import inspect
import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

from osgeo import _gdal

THREADS = 16
ROUNDS = int(os.environ.get("VEK_THREAD_ROUNDS", "40"))


def run_threads(work, count=THREADS):
    """Runs work(i) in `count` threads started together; returns their
    results in thread order and re-raises the first failure."""
    barrier = threading.Barrier(count)
    results = [None] * count
    errors = []

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch as often as possible
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=300)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads)
    if errors:
        raise errors[0]
    return results


PROPS = ["name", "category", "creatable", "extension", "extensions", "is_raster", "is_vector", "long_name",
         "updatable", "virtualio"]


def snapshot(d):
    return {p: getattr(d, p) for p in PROPS}


def test_threads_read_properties_of_shared_and_separate_drivers(drv):
    names = ["GTiff", "GPKG", "ESRI Shapefile", "MEM", "VRT", "netCDF", "HFA"]
    names = [n for n in names if _gdal.GetDriverByName(n) is not None]
    shared = {n: drv.Driver(n) for n in names}
    want = {n: snapshot(d) for n, d in shared.items()}

    def work(i):
        for r in range(ROUNDS):
            name = names[(i + r) % len(names)]
            assert snapshot(shared[name]) == want[name]
            own = drv.Driver(name)
            assert snapshot(own) == want[name]
            assert str(own) == str(shared[name])
        return True

    assert all(run_threads(work))


def test_threads_build_catalogues_on_shared_and_separate_drivers(drv):
    """Building races on a shared driver may bind either thread's catalogue,
    but each thread sees a whole one, equal to the reference, and once
    built the kept one is handed to everybody."""
    want = dict(drv.Driver("GTiff").creation_options_info)
    want_open = dict(drv.Driver("GTiff").open_options_info)
    shared = drv.RasterDriver("GTiff")

    def work(i):
        seen = set()
        for _ in range(max(2, ROUNDS // 8)):
            own = drv.RasterDriver("GTiff")
            assert own.creation_options_info == want
            assert own.open_options_info == want_open
            cat = shared.creation_options_info
            assert list(cat) == list(want)
            seen.add(id(cat))
            assert shared.compress_modes == want["COMPRESS"]["value"]
        return seen

    run_threads(work)
    kept = shared.creation_options_info
    assert all(shared.creation_options_info is kept for _ in range(3))


def test_threads_set_values_on_one_shared_catalogue(drv):
    d = drv.RasterDriver("GTiff")
    names = list(d.creation_options_info)[:THREADS]
    assert len(names) == THREADS

    def work(i):
        for r in range(ROUNDS):
            d.set_creation_options(**{names[i]: (i, r)})
            assert d.creation_options[names[i]] == (i, r)  # only thread i writes this name
        return d.creation_options

    run_threads(work)
    final = d.creation_options
    assert list(final) == [n for n in d.creation_options_info if n in final]
    assert all(isinstance(v, tuple) for v in final.values())


def test_threads_use_statistics_html_and_lookups(drv):
    stats = drv.DriveStatistics()
    names = [d.name for d in stats._drivers]
    count = len(stats)

    def work(i):
        for r in range(max(2, ROUNDS // 10)):
            name = names[(i * 7 + r) % count]
            assert stats[name.upper()] is stats[names.index(name)]
            assert len(drv.DriveStatistics()) == count
            if r % 2 == 0:
                assert "<table" in stats._repr_html_()
            else:
                assert isinstance(drv.Driver(name)._repr_html_(), str)
        return len(stats.rasters) + len(stats.vectors)

    results = run_threads(work)
    assert len(set(results)) == 1


def test_threads_create_and_open_datasets(drv):
    path = "/vsimem/vek-threads/shared.tif"
    r = drv.RasterDriver("GTiff")
    r.create(path, 4, 4, 1).close()

    def work(i):
        own = drv.RasterDriver("GTiff" if i % 2 else "MEM")
        for _ in range(max(2, ROUNDS // 4)):
            with own.create(None, 3, 2, 1) as ds:
                assert (ds.xsize, ds.ysize) == (3, 2)
            with drv.Driver("GTiff").open(path) as ds:
                assert ds.xsize == 4
            with drv.VectorDriver("ESRI Shapefile").create(None) as ds:
                assert ds.layer_count == 0
        return True

    try:
        assert all(run_threads(work))
    finally:
        _gdal.Unlink(path)


def test_threads_ask_for_signatures_of_the_same_functions(drv):
    """__code__ is made on first use; threads asking at once all get a
    working signature."""
    functions = [drv.Driver.open, drv.RasterDriver.create, drv.read_xml_to_dict, drv.DriveStatistics.__getitem__]
    want = [str(inspect.signature(f)) for f in functions]

    def work(i):
        return [str(inspect.signature(f)) for f in functions]

    assert all(r == want for r in run_threads(work))


# ---- objects kept alive past their creators ------------------------------------------------------


def test_catalogues_and_lists_outlive_their_driver(drv):
    d = drv.RasterDriver("GTiff")
    d.set_creation_options(COMPRESS="LZW")
    catalogue, modes, opts = d.creation_options_info, d.compress_modes, d.creation_options
    handle = d._driver
    ref = weakref.ref(d)
    del d
    gc.collect()
    assert ref() is None
    assert catalogue["COMPRESS"]["current"] == "LZW"
    assert modes is catalogue["COMPRESS"]["value"]
    assert opts == {"COMPRESS": "LZW"}
    assert _gdal.Driver_ShortName_get(handle) == "GTiff"


def test_driver_built_from_a_driver_outlives_it(drv):
    source = drv.RasterDriver("GTiff")
    source.set_creation_options(TILED="YES")
    copy = drv.Driver(source)
    del source
    gc.collect()
    assert copy.creation_options == {"TILED": "YES"}
    assert copy.name == "GTiff"


def test_drivers_outlive_their_statistics(drv):
    stats = drv.DriveStatistics()
    kept = stats["GTiff"]
    rasters = stats.rasters
    ref = weakref.ref(stats)
    del stats
    gc.collect()
    assert ref() is None
    assert kept.name == "GTiff" and kept in rasters


def test_bound_methods_outlive_their_driver(drv):
    set_opts = drv.RasterDriver("GTiff").set_creation_options
    html = drv.Driver("GPKG")._repr_html_
    gc.collect()
    set_opts(COMPRESS="DEFLATE")
    assert set_opts.__self__.creation_options == {"COMPRESS": "DEFLATE"}
    assert "GPKG" in html()


def test_default_list_of_open_outlives_everything(drv):
    default = drv.Driver.open.__defaults__[0]
    refs = sys.getrefcount(default)
    for _ in range(100):
        drv.Driver.open.__defaults__
    assert sys.getrefcount(default) == refs
    assert drv.Driver.open.__defaults__[0] is default == []


class CapturingTable:
    """A table builder that, when asked for its HTML, fetches the inner
    functions of the _repr_html_ call that made it (through the garbage
    collector's referrers), so that they outlive that call."""

    captured = {}

    def __init__(self, *args):
        self.rows = []

    def set_base_info(self, info):
        pass

    def add_row(self, row):
        self.rows.append(row)

    def add_head(self, head):
        pass

    def to_html(self):
        for holder in gc.get_referrers(self):
            if isinstance(holder, tuple):
                for fn in gc.get_referrers(holder):
                    if getattr(fn, "__name__", None) == "set_items":
                        CapturingTable.captured["set_items"] = fn
                        CapturingTable.captured["get_fields"] = holder[1]
        return "<table>"


def capture_inner_functions(drv):
    drv.gdata = type("gdata", (), {"VEKHTMLTable": CapturingTable})
    CapturingTable.captured.clear()
    stats = drv.DriveStatistics()
    stats._repr_html_()
    return CapturingTable.captured, weakref.ref(stats)


def test_inner_functions_outlive_the_call_that_made_them(drv):
    captured, stats_ref = capture_inner_functions(drv)
    set_items, get_fields = captured["set_items"], captured["get_fields"]
    assert get_fields.__qualname__ == "DriveStatistics._repr_html_.<locals>.get_fields"
    gc.collect()
    assert stats_ref() is not None  # get_fields keeps the statistics alive
    row = get_fields(0, None)
    assert row[0] == 0 and row[1] == _gdal.Driver_ShortName_get(_gdal.GetDriver(0))
    assert set_items(((0, 2), (0, 0)), None) is None
    with pytest.raises(IndexError):
        get_fields(10**6, None)
    del set_items, get_fields, captured
    CapturingTable.captured.clear()
    gc.collect()
    assert stats_ref() is None


# ---- reference cycles ------------------------------------------------------------------------------


def collected(make_cycle):
    """Makes a cycle, drops it and collects: the weakref callbacks of its
    members must have fired."""
    fired = []
    members = make_cycle()
    refs = [weakref.ref(m, lambda r, i=i: fired.append(i)) for i, m in enumerate(members)]
    del members
    gc.collect()
    return len(fired) == len(refs) and all(r() is None for r in refs)


def test_catalogue_record_holding_its_driver(drv):
    def cycle():
        d = drv.RasterDriver("GTiff")
        d.creation_options_info["COMPRESS"]["driver"] = d
        return [d]

    assert collected(cycle)


def test_option_value_holding_its_driver(drv):
    def cycle():
        d = drv.Driver("GTiff")
        d.set_creation_options(COMPRESS=d)
        d.set_open_options(**{next(iter(d.open_options_info)): [d]})
        return [d]

    assert collected(cycle)


def test_drivers_sharing_catalogues_in_a_cycle(drv):
    def cycle():
        a = drv.RasterDriver("GTiff")
        b = drv.Driver(a)
        a.partner, b.partner = b, a
        a.creation_options_info["TILED"]["both"] = (a, b)
        return [a, b]

    assert collected(cycle)


def test_driver_subclass_instance_and_class_in_cycles(drv):
    def cycle():
        Sub = type("Sub", (drv.RasterDriver,), {"note": property(lambda self: self)})
        s = Sub("GTiff")
        s.me = s
        Sub.instance = s
        return [s, Sub]

    assert collected(cycle)


def test_statistics_holding_itself(drv):
    def cycle():
        s = drv.DriveStatistics()
        s._drivers.append(s)
        s._drivers[0].stats = s
        return [s, s._drivers[0]]

    assert collected(cycle)


def test_exception_traceback_holding_drivers(drv):
    def cycle():
        d = drv.Driver("ESRI Shapefile")
        try:
            drv.RasterDriver(d)
        except drv.error.FormatError as exc:
            d.error = exc  # exc -> traceback -> frame -> d -> exc
        return [d]

    assert collected(cycle)


def test_inner_function_holding_itself(drv):
    def cycle():
        captured, _ref = capture_inner_functions(drv)
        set_items = captured["set_items"]
        CapturingTable.captured.clear()
        set_items.me = set_items
        set_items.__dict__["table"] = set_items
        return [set_items]

    assert collected(cycle)


def test_module_function_dict_holding_itself_is_kept_with_the_class(drv):
    fn = drv.Driver.open
    fn.__dict__["me"] = fn
    try:
        gc.collect()
        assert drv.Driver.open is fn and fn.me is fn
        assert fn.__name__ == "open"
    finally:
        del fn.__dict__["me"]


def test_classes_of_a_module_in_a_child_process_are_collected_at_exit():
    """Cycles through the module's own classes and functions, left for the
    interpreter's shutdown: it must end cleanly."""
    code = textwrap.dedent(
        """
        import gc, sys
        import vek._algos.geo.driver as drv
        d = drv.RasterDriver("GTiff")
        d.creation_options_info["COMPRESS"]["cls"] = drv.RasterDriver
        drv.RasterDriver.__init__.__dict__["keep"] = (d, drv)
        drv.Driver.open.__dict__["me"] = drv.Driver.open
        s = drv.DriveStatistics()
        s._drivers.append(s)
        del sys.modules["vek._algos.geo.driver"]
        del drv
        gc.collect()
        print("ok")
        """
    )
    proc = subprocess.run([sys.executable, "-X", "dev", "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


# ---- interpreter exit while a daemon thread is inside GDAL -----------------------------------------

EXIT_ROUNDS = max(3, ROUNDS // 10)  # child processes per case (40 under `make stress`)

# What the daemon thread runs when the main thread calls sys.exit: copies that
# end within the exit's wait, and one whose progress never returns.
EXIT_WORK = {
    "copies in memory": "started.set()\nwhile True:\n    src.copy_to(None, 'GTiff').close()",
    "copies to files": "started.set()\nfor i in range(10**6):\n    src.copy_to(f'{tmp}/out{i}.tif', 'GTiff').close()",
    "a copy outliving the wait":
        "src.copy_to(f'{tmp}/out0.tif', 'GTiff', progress=lambda f: started.set() or threading.Event().wait())",
    # the callback came back into GDAL in a finalizing interpreter: an abort
    "a callback returning after the wait":
        "src.copy_to(f'{tmp}/out0.tif', 'GTiff', progress=lambda f: started.set() or time.sleep(1.5))",
    # closed at exit under the daemon's long call through osgeo.gdal: a segfault
    "statistics through .dataset":
        "from vek._algos.geo.geodatabase import open_file\n"
        "big = open_file(\"<VRTDataset rasterXSize='100000' rasterYSize='100000'>\"\n"
        "                \"<VRTRasterBand dataType='Byte' band='1'/></VRTDataset>\")\n"
        "band = big.dataset.GetRasterBand(1)\nstarted.set()\nband.ComputeStatistics(False)",
}
LEFT_UNCLOSED = ("Event().wait", "time.sleep")  # the source is never flushed: its creation is undone


def checksum(path):
    handle = _gdal.OpenEx(path, 0)
    try:
        band = _gdal.Dataset_GetRasterBand(handle, 1)
        return _gdal.Band_Checksum(band, 0, 0, 1500, 1500)
    finally:
        _gdal.delete_Dataset(handle)


@pytest.mark.parametrize("work", EXIT_WORK.values(), ids=EXIT_WORK)
def test_interpreter_exit_while_a_daemon_thread_copies(tmp_path, work):
    """The at-exit close freed the source GDAL was copying in the daemon
    thread (a segfault), and a daemon thread coming back from GDAL after
    the interpreter finalized was ended inside GDAL's C++ frames (an
    abort). The exit waits for the running call, or leaves its datasets to
    the operating system; no file that looks complete is left half-made."""
    from gdalmode import run_python

    code = f"""if True:
        import sys, threading, time
        from osgeo import _gdal
        from vek._algos.geo.dataset import shutdown as _exit
        from vek._algos.geo.driver import RasterDriver
        _exit.EXIT_WAIT = 1.0
        tmp = {str(tmp_path)!r}
        src = RasterDriver("GTiff").create(f"{{tmp}}/src.tif", 1500, 1500, 1)
        _gdal.Band_Fill(_gdal.Dataset_GetRasterBand(src.handle, 1), 7.0)
        want = _gdal.Band_Checksum(_gdal.Dataset_GetRasterBand(src.handle, 1), 0, 0, 1500, 1500)
        print(want, flush=True)
        started = threading.Event()
        def run():
{textwrap.indent(work, " " * 12)}
        threading.Thread(target=run, daemon=True).start()
        started.wait()
        sys.exit(0)
    """
    for _ in range(EXIT_ROUNDS):
        for f in tmp_path.iterdir():
            f.unlink()
        proc = run_python(code)
        # GDAL's own clean-up at process exit may abort under the running
        # call (plain osgeo.gdal does the same); a close under it was a
        # segfault, a use after free
        gdals_exit = ".dataset" in work and proc.returncode == -6 and "terminate called" in proc.stderr
        assert proc.returncode == 0 or gdals_exit, proc.stderr[-3000:]
        want = int(proc.stdout.split()[0])
        left = sorted(f.name for f in tmp_path.iterdir())
        # every copy left is whole: GDAL reads the source's pixels from it
        assert all(checksum(str(tmp_path / name)) == want for name in left if name.startswith("out")), left
        if any(word in work for word in LEFT_UNCLOSED):  # neither the copy nor the source it read is kept
            assert left == []
        else:
            assert "src.tif" in left and checksum(str(tmp_path / "src.tif")) == want


def test_ctrl_c_during_the_exit_wait_leaves_no_half_written_copy(tmp_path):
    """Ctrl-C ended the exit's handler and the copy it waited for was left on disk."""
    import signal

    code = f"""if True:
        import signal, sys, threading
        signal.signal(signal.SIGINT, signal.default_int_handler)  # ignored when started in the background
        from vek._algos.geo.dataset import shutdown
        from vek._algos.geo.driver import RasterDriver
        shutdown.EXIT_WAIT = 60.0
        src = RasterDriver("MEM").create(None, 500, 500, 1)
        started = threading.Event()
        threading.Thread(daemon=True, target=lambda: src.copy_to({str(tmp_path / "out.tif")!r}, "GTiff",
                         progress=lambda f: started.set() or threading.Event().wait())).start()
        started.wait()
        print("exiting", flush=True)
        sys.exit(0)
    """
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.stdout.readline() == "exiting\n"
    time.sleep(0.5)  # in the exit's wait
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 0, err[-3000:]
    assert list(tmp_path.iterdir()) == []

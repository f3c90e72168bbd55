"""One driver described as plain data, the registry as a snapshot, two
snapshots compared (the kept ones of other GDAL builds too), and the kind
filter of drivers_for_path and ``detect``."""

import itertools
import json
import math
import os
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest
from osgeo import _gdal

import vek
from conftest import all_driver_names, find_drivers, metadata
from fakes import run_child
from vek import cli
from vek._algos.geo.binding.capabilities import CAPABILITIES
from vek._algos.geo.config import settings as env
from vek._cli.diff import MAX_SIZE

SNAPSHOTS = Path(__file__).parent.parent / "data" / "snapshots"
KEPT = sorted(SNAPSHOTS.glob("*.json"))
BASE = SNAPSHOTS / "debian12.json"


def run(capsys, *argv):
    try:
        code = cli.main([str(a) for a in argv])
    except SystemExit as exc:
        code = exc.code
    out, err = capsys.readouterr()
    return code, out, err


def need(name):
    if name not in all_driver_names():
        pytest.skip(f"this GDAL has no {name} driver")


def option_names(name, key, scope=None):
    """The option list's names, read with ElementTree, of one scope (options naming none count)."""
    text = metadata(name, key)
    elements = ET.fromstring(text) if text else []
    return [e.get("name") for e in elements
            if scope is None or not e.get("scope") or scope in e.get("scope").replace(",", " ").split()]


def flag(name, key):
    return metadata(name, key).upper() == "YES"


def test_every_driver_is_described_as_gdal_publishes_it():
    names = all_driver_names()
    published = {c: any(metadata(n, item) for n in names) for c, item in CAPABILITIES.items()}
    for name in names:
        d = vek.describe(name)
        assert json.loads(json.dumps(d)) == d, name
        assert (d["name"], d["long_name"]) == (name, metadata(name, "DMD_LONGNAME"))
        assert set(metadata(name, "DMD_EXTENSIONS").split()) <= set(d["extensions"])
        assert d["kinds"] == [k for k, item in (("raster", "DCAP_RASTER"), ("multidimensional", "DCAP_MULTIDIM_RASTER"),
                                                ("vector", "DCAP_VECTOR")) if flag(name, item)]
        assert d["capabilities"] == {c: flag(name, item) if published[c] else None for c, item in CAPABILITIES.items()}
        assert d["writes"] == [w for w, item in (("create", "DCAP_CREATE"), ("copy", "DCAP_CREATECOPY"),
                                                 ("translate", "DCAP_VECTOR_TRANSLATE_FROM")) if flag(name, item)]
        topic = metadata(name, "DMD_HELPTOPIC")
        if topic:  # GDAL publishes it relative to its documentation's root
            assert d["help_url"] in (f"https://gdal.org/{topic}", topic)
        else:
            assert d["help_url"] is None
        assert d["connection_prefix"] == (metadata(name, "DMD_CONNECTION_PREFIX") or None)
        options = d["options"]
        assert list(options["open"]) == list(dict.fromkeys(option_names(name, "DMD_OPENOPTIONLIST")))
        if "vector" in d["kinds"]:
            assert list(options["layer_creation"]) == list(dict.fromkeys(option_names(name, "DS_LAYER_CREATIONOPTIONLIST")))
        for key, scope in (("creation", "raster"), ("dataset_creation", "vector")):
            if scope in d["kinds"]:
                assert list(options[key]) == list(dict.fromkeys(option_names(name, "DMD_CREATIONOPTIONLIST", scope)))


def test_what_the_issue_asks_of_gpkg_gtiff_and_png():
    for name in ("GPKG", "GTiff", "PNG"):
        need(name)
    gpkg = vek.describe("GPKG")["options"]
    assert "VERSION" in gpkg["dataset_creation"] and "GEOMETRY_NAME" in gpkg["layer_creation"]
    assert "RASTER_TABLE" in gpkg["creation"] and "RASTER_TABLE" not in gpkg["dataset_creation"]
    published = any(metadata(n, "DCAP_UPDATE") for n in all_driver_names())  # from GDAL 3.11
    assert vek.describe("GTiff")["capabilities"]["updatable"] is (True if published else None)
    assert vek.describe("PNG")["writes"] == ["copy"]


def test_a_driver_objects_own_values_show_and_stay_its_own(tmp_path):
    need("GTiff")
    gtiff = vek.RasterDriver("GTiff")
    gtiff.set_creation_options(COMPRESS="LZW", TILED=True, BLOCKXSIZE=tmp_path)  # not JSON by itself
    d = vek.describe(gtiff)
    creation = d["options"]["creation"]
    assert (creation["COMPRESS"]["current"], creation["TILED"]["current"]) == ("LZW", True)
    assert json.loads(json.dumps(d))["options"]["creation"]["BLOCKXSIZE"]["current"] == str(tmp_path)
    creation["COMPRESS"]["value"].clear()  # a copy: the driver's catalogue is untouched
    assert gtiff.compress_modes and "current" not in vek.describe("GTiff")["options"]["creation"]["COMPRESS"]


@pytest.mark.parametrize("topic, url", [("drivers/raster/x.html", "https://gdal.org/drivers/raster/x.html"),
                                        ("/drivers/raster/x.html", "https://gdal.org/drivers/raster/x.html"),
                                        ("https://gdal.org/en/latest/x.html", "https://gdal.org/en/latest/x.html"),
                                        ("../x.html", "https://gdal.org/x.html"), ("a/./b.html", "https://gdal.org/a/b.html"),
                                        ("//host/x.html", "https://host/x.html"), ("x.html#y", "https://gdal.org/x.html#y"),
                                        ("", None)])
def test_help_url_is_absolute_on_gdal_org(fake_gdal, topic, url):
    fake_gdal.add("X", DCAP_RASTER="YES", DMD_HELPTOPIC=topic)
    assert vek.describe("X")["help_url"] == url


@pytest.mark.parametrize("published", [False, True])
def test_capability_no_driver_publishes_is_none(fake_gdal, published):
    fake_gdal.add("A", DCAP_RASTER="YES", **({"DCAP_UPDATE": "NO"} if published else {}))
    fake_gdal.add("B", DCAP_VECTOR="YES", DCAP_VECTOR_TRANSLATE_FROM="YES")
    b = vek.describe("B")
    assert b["capabilities"]["updatable"] is (False if published else None)
    assert (b["writes"], b["kinds"]) == (["translate"], ["vector"])


# ---------------------------------------------------------------- snapshot and diff


def test_snapshot_of_this_gdal_agrees_with_itself(capsys, tmp_path):
    path = tmp_path / "here.json"
    assert run(capsys, "snapshot", "-o", path)[0] == 0
    data = json.loads(path.read_text())
    assert list(data["drivers"]) == all_driver_names()
    assert data["gdal"] == _gdal.VersionInfo("RELEASE_NAME")
    records = [r for d in data["drivers"].values() for c in d["options"].values() for r in c.values()]
    assert not any("current" in r or "description" in r for r in records)  # configuration, prose: not the build's
    code, out, err = run(capsys, "snapshot", "-o", path)
    assert code == 1 and "--overwrite" in err
    assert run(capsys, "diff", path, path)[:2] == (0, f"A: {path} (GDAL {data['gdal']}, {len(data['drivers'])} drivers)\n"
                                                      f"B: {path} (GDAL {data['gdal']}, {len(data['drivers'])} drivers)\n"
                                                      "\nThe snapshots agree.\n")


@pytest.mark.parametrize("a, b", [(a, b) for a, b in itertools.product(KEPT, KEPT) if a == b or a == BASE],
                         ids=lambda p: p.stem)
def test_kept_snapshots_compare(capsys, a, b):
    da, db = (json.loads(p.read_text())["drivers"] for p in (a, b))
    code, out, _ = run(capsys, "diff", a, b, "--json")
    result = json.loads(out)
    assert code == (0 if da == db else 1) and result["agree"] is (da == db)
    assert result["only_in_a"] == [n for n in da if n not in db] and result["only_in_b"] == [n for n in db if n not in da]
    assert set(result["differ"]) <= {n for n in da if n in db and da[n] != db[n]}
    text = run(capsys, "diff", a, b)[1]
    assert all(name in text for name in result["only_in_a"])  # the drivers B lacks are named


def test_diff_reports_each_kind_of_change(capsys, tmp_path):
    need("GTiff")
    a = vek.snapshot()
    b = json.loads(json.dumps(a))
    gone = next(n for n in b["drivers"] if n != "GTiff")
    del b["drivers"][gone]
    g = b["drivers"]["GTiff"]
    g["capabilities"]["virtualio"] = not g["capabilities"]["virtualio"]
    opts = g["options"]["creation"]
    removed, changed = list(opts)[:2]
    del opts[removed]
    opts[changed]["default"] = "CHANGED"
    opts[changed].setdefault("value", []).append("NEW")
    paths = [tmp_path / "a.json", tmp_path / "b.json"]
    for p, data in zip(paths, (a, b)):
        p.write_text(json.dumps(data))
    code, out, _ = run(capsys, "diff", *paths, "--json")
    result = json.loads(out)
    assert (code, result["only_in_a"], result["only_in_b"], list(result["differ"])) == (1, [gone], [], ["GTiff"])
    change = result["differ"]["GTiff"]
    assert change["capabilities"] == {"virtualio": [a["drivers"]["GTiff"]["capabilities"]["virtualio"],
                                                    g["capabilities"]["virtualio"]]}
    creation = change["options"]["creation"]
    assert creation["only_in_a"] == [removed] and creation["changed"][changed]["values"] == {"only_in_b": ["NEW"]}
    assert creation["changed"][changed]["default"][1] == "CHANGED"
    text = run(capsys, "diff", *paths)[1]
    assert f"creation options only in A: {removed}" in text and "values only in B: NEW" in text


@pytest.mark.parametrize("content, words", [(None, ["No such file"]), ("{not json", ["not JSON"]),
                                            ('{"drivers": []}', ["not a snapshot"]),
                                            ('{"drivers": {"X": {"options": {"open": [1]}}}}', ["not a snapshot"])])
def test_diff_trouble_exits_2(capsys, tmp_path, content, words):
    path = tmp_path / "bad.json"
    if content is not None:
        path.write_text(content)
    code, out, err = run(capsys, "diff", path, BASE)
    assert (code, out) == (2, "") and err.startswith("vek-drivers: error: ") and all(w in err for w in words)


def _sparse(path):
    with open(path, "wb") as f:
        f.truncate(MAX_SIZE + 1)


@pytest.mark.parametrize("make, words", [
    ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
    ('{"drivers": {"X": {"options": {"open": {"A": {"value": [["a"]]}}}}}}', "not a snapshot"),
    ('{"drivers": {"X": {"options": {"open": {"A": {"default": [1]}}}}}}', "not a snapshot"),
    ('{"drivers": {"X": {"capabilities": {"raster": [[true]]}}}}', "not a snapshot"),
    (os.mkfifo, "not a regular file"), (_sparse, "larger than"), ("/dev/zero", "not a regular file"),
], ids=["deep", "nested values", "nested default", "nested capability", "fifo", "huge", "device"])
def test_diff_refuses_what_no_snapshot_holds(capsys, tmp_path, make, words):
    path = tmp_path / "bad.json"
    if make == "/dev/zero":
        path = Path(make)  # read whole, it would exhaust memory
    elif callable(make):
        make(path)
    else:
        path.write_text(make)
    code, out, err = run(capsys, "diff", BASE, path)
    assert (code, out) == (2, "") and words in err, err


def test_a_snapshot_holding_nan_agrees_with_itself(capsys, tmp_path):
    data = json.loads(BASE.read_text())
    record = next(r for d in data["drivers"].values() for c in d["options"].values() for r in c.values())
    record.update(default=math.nan, value=[math.nan, "x"])
    next(iter(data["drivers"].values()))["capabilities"]["raster"] = math.nan
    path = tmp_path / "nan.json"
    path.write_text(json.dumps(data))
    assert run(capsys, "diff", path, path)[0] == 0


# ---------------------------------------------------------------- show, kind filter


def test_show_lists_dataset_creation_options():
    for name, option in (("GPKG", "VERSION"), ("SQLite", "SPATIALITE")):
        if name not in all_driver_names() or f"'{option}'" not in vek.Driver(name)._get_metadata_item_(
                "DMD_CREATIONOPTIONLIST"):
            continue  # not in this build (GDAL's wheel has SQLite without SpatiaLite)
        text = cli.show_text(vek.Driver(name))
        section = text[text.index("Vector dataset creation options"):text.index("Vector layer creation options")]
        assert option in section.split()
        data = cli.show_data(vek.Driver(name))
        assert option in data["options"]["dataset_creation"] and data["help_url"].startswith("https://gdal.org/")


@pytest.mark.parametrize("kind, key", [("raster", "DCAP_RASTER"), ("vector", "DCAP_VECTOR")])
@pytest.mark.parametrize("path", ["y.kml", "y.gpkg", "y.tif", "y.nc", "y.json"])
def test_drivers_for_path_of_one_kind(capsys, kind, key, path):
    every = [d.name for d in vek.drivers_for_path(path)]
    found = vek.drivers_for_path(path, kind=kind)
    assert [d.name for d in found] == [n for n in every if flag(n, key)]
    assert all(d.category == kind.capitalize() for d in found)
    code, out, _ = run(capsys, "detect", path, f"--{kind}", "--json")
    assert [d["name"] for d in json.loads(out)["drivers"]] == [d.name for d in found] if found else code == 1


def test_kml_for_vectors_holds_no_raster_only_driver():
    raster_only = set(find_drivers(DCAP_RASTER=True, DCAP_VECTOR=False))
    assert not raster_only & {d.name for d in vek.drivers_for_path("y.kml", kind="vector")}
    with pytest.raises(ValueError, match="kind"):
        vek.drivers_for_path("y.kml", kind="Raster")


# ---------------------------------------------------------------- read at once, kept per registry


def test_metadata_read_at_once_says_what_each_item_read_says():
    from vek._algos.geo.registry import describe as _describe

    for name in all_driver_names():
        items = _describe._reader(vek.Driver(name))
        assert {k: items._get_metadata_item_(k) for k in _describe._READ} == \
               {k: metadata(name, k) for k in _describe._READ}, name


def test_drivers_deregistered_and_registered_again_are_seen():
    names = all_driver_names()
    publishers = {c: [n for n in names if metadata(n, item)] for c, item in CAPABILITIES.items()}
    capability = min((c for c in publishers if publishers[c]), key=lambda c: len(publishers[c]))
    others = [n for n in names if n not in publishers[capability]]
    if not others:
        pytest.skip(f"every driver of this GDAL publishes {CAPABILITIES[capability]}")
    # in a child: the registry's order changes for good, and the kept answer must follow it
    result = json.loads(run_child(f"""
        import json, vek
        from osgeo import _gdal
        def seen():
            return vek.describe({others[0]!r})["capabilities"][{capability!r}]
        handles = [_gdal.GetDriverByName(n) for n in {publishers[capability]!r}]
        def snapshot():
            return list(vek.snapshot()["drivers"])
        answers, snapshots = [seen()], [snapshot()]
        for handle in handles:
            _gdal.Driver_Deregister(handle)
        answers.append(seen())
        snapshots.append(snapshot())
        for handle in handles:
            _gdal.Driver_Register(handle)
        answers.append(seen())
        snapshots.append(snapshot())
        print(json.dumps([answers, snapshots]))
        """).splitlines()[-1])
    moved = [n for n in names if n not in publishers[capability]]
    assert result == [[False, None, False], [names, moved, moved + publishers[capability]]]


def test_a_drivers_changed_metadata_is_seen():
    need("GTiff")
    result = json.loads(run_child("""
        import json, vek
        from osgeo import _gdal
        seen = [vek.describe("GTiff")["long_name"], vek.snapshot()["drivers"]["GTiff"]["long_name"]]
        _gdal.MajorObject_SetMetadataItem(_gdal.GetDriverByName("GTiff"), "DMD_LONGNAME", "changed", "")
        seen += [vek.describe("GTiff")["long_name"], vek.snapshot()["drivers"]["GTiff"]["long_name"]]
        print(json.dumps(seen))
        """).splitlines()[-1])
    assert result[2:] == ["changed", "changed"] != result[:2]


def test_described_values_follow_the_configuration_and_are_new_each_time(tmp_path, monkeypatch):
    need("GTiff")
    path = tmp_path / "config.toml"
    monkeypatch.setenv("VEK_CONFIG", str(path))
    seen = []
    try:
        for value in ("LZW", "DEFLATE"):
            path.write_text(f'[raster.creation_options.GTiff]\nCOMPRESS = "{value}"\n')
            env.reload()
            for _ in range(2):
                creation = vek.describe("GTiff")["options"]["creation"]
                seen.append(creation["COMPRESS"].get("current"))
                creation["COMPRESS"].clear()  # the next result is a new copy
    finally:
        monkeypatch.delenv("VEK_CONFIG")
        env.reload()
    first = vek.snapshot()
    first["drivers"]["GTiff"]["options"].clear()
    assert seen == ["LZW", "LZW", "DEFLATE", "DEFLATE"]
    assert vek.snapshot()["drivers"]["GTiff"]["options"]

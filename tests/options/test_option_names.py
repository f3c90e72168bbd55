"""Option names as GDAL reads them: unknown names refused before anything is
written (GDAL itself only warns and writes its defaults), names in any ASCII
case handed on in the list's spelling, configured names a driver lacks
warned about, configured layer defaults, and one verdict on a value whether
it is asked of the public checker or of a creating call. GDAL's own
validator is the oracle wherever it has a word."""

import json
import re
import os
import warnings

import pytest
from osgeo import _gdal, _ogr

from gdalmode import gdal_mode  # noqa: F401
from vek import cli
from vek._algos.geo import base, geodatabase
from vek._algos.geo.config import settings as _env
from vek._algos.geo.options import check as _optcheck
from vek._algos.geo.base import env, error
from vek._algos.geo.driver import RasterDriver, read_xml_to_dict
from vek.optioncheck import OptionValueError, check_option_value
from vek._algos.geo.binding.optionlists import CHECKED, OPTION_LISTS
from vek._algos.geo.binding.messages import gdal_messages
from vek._algos.geo.dataset.creation import release_dataset


@pytest.fixture
def config(monkeypatch, tmp_path):
    """``config(text)`` makes ``text`` the configuration (none at first), read afresh."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "xdg"))
    monkeypatch.delenv("VEK_CONFIG", raising=False)
    monkeypatch.setattr(_env, "_warned", set(), raising=False)

    def use(text):
        (tmp_path / "c.toml").write_text(text)
        monkeypatch.setenv("VEK_CONFIG", str(tmp_path / "c.toml"))
        env.reload()

    env.reload()
    yield use
    env.reload()


def need(name):
    if _gdal.GetDriverByName(name) is None:
        pytest.skip(f"no {name} driver in this GDAL")


def listed(name, item):
    return _gdal.MajorObject_GetMetadataItem(_gdal.GetDriverByName(name), item, "") or ""


def typo(name, item, option):
    """``option`` of the list with its last letter dropped, and the real name."""
    assert _optcheck.find_entry(_optcheck.option_entries(listed(name, item)), option[:-1]) is None
    return option[:-1], option


def _copy(tmp_path, options):
    src = RasterDriver("GTiff").create(None, 4, 4, 1, "Byte")
    with src:
        src.copy_to(str(tmp_path / "t.tif"), "GTiff", options=options).close()


def _vector(tmp_path, options):
    geodatabase.create_vector("GPKG", str(tmp_path / "t.gpkg"), options=options).close()


def _layer(tmp_path, options):
    with geodatabase.create_vector("GPKG", None) as ds:
        ds.create_layer("l", "Point", options=options)


def _open(tmp_path, options):
    path = str(tmp_path / "o.gpkg")
    with geodatabase.create_vector("GPKG", path) as ds:
        ds.create_layer("l", "Point", options={})
    geodatabase.open_file(path, 4, ["GPKG"], options).close()


CALLS = [(_copy, "GTiff", "DMD_CREATIONOPTIONLIST", "COMPRESS"),
         (_vector, "GPKG", "DMD_CREATIONOPTIONLIST", "VERSION"),
         (_layer, "GPKG", "DS_LAYER_CREATIONOPTIONLIST", "GEOMETRY_NAME"),
         (_open, "GPKG", "DMD_OPENOPTIONLIST", "LIST_ALL_TABLES")]


@pytest.mark.parametrize("check", ["error", "warn", "off"])
@pytest.mark.parametrize("make, name, item, option", CALLS, ids=[c[0].__name__ for c in CALLS])
def test_unknown_names_are_refused_before_anything_is_written(config, tmp_path, check, make, name, item, option):
    need(name)
    config(f'[options]\ncheck = "{check}"\n')
    wrong, right = typo(name, item, option)
    before = sorted(os.listdir(tmp_path))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if check == "error":
            with pytest.raises(error.FormatError, match=f"'{wrong}' \\(did you mean '{right}'\\?\\)"):
                make(tmp_path, {wrong: "1"})
            assert set(os.listdir(tmp_path)) - set(before) <= {"o.gpkg"} and caught == []  # opened's own
            return
        make(tmp_path, {wrong: "1"})
    said = list(dict.fromkeys((w.category, wrong in str(w.message)) for w in caught))
    assert said == ([(error.OptionValueWarning, True)] if check == "warn" else []) + [(error.GDALWarning, True)]


def _gdal_refuses(candidates, run):
    """The names GDAL's validator does not know in the call ``run(options)``."""
    with gdal_messages() as messages:
        try:
            run([f"{n}=1" for n in candidates] + ["VEK_TEST_SENTINEL=1"])
        except RuntimeError:  # GDAL exceptions: the call fails once validated
            pass
    said = [m for _no, m in messages.warnings if " does not support " in m]

    def mentions(n):  # GDAL 3.13 may go on: "option Version, but a creation option of that name exists."
        return lambda m: re.search(rf" {re.escape(n)}(,|$)", m) is not None

    assert any(map(mentions("VEK_TEST_SENTINEL"), said)), "GDAL's validator did not run"
    return {n for n in candidates if any(map(mentions(n), said))}


def _registry_names(item):
    return {name for i in range(_gdal.GetDriverCount())
            for name, _r in _optcheck.option_entries(_gdal.MajorObject_GetMetadataItem(_gdal.GetDriver(i), item, ""))
            if name and "*" not in name and "=" not in name and ":" not in name}


@pytest.mark.parametrize("call", ["create", "copy", "layer", "open"])
def test_vek_refuses_exactly_the_names_gdal_does_not_know(config, tmp_path, gdal_mode, call):
    """Every option name of the registry's lists (what other drivers read,
    GDAL's own APPEND_SUBDATASET among them) given to one call: vek refuses
    the names GDAL's validator warns about there, and only those."""
    gtiff, path = _gdal.GetDriverByName("GTiff"), str(tmp_path / "missing" / "x.tif")
    if call == "layer":
        need("GPKG")
        xml, item = listed("GPKG", "DS_LAYER_CREATIONOPTIONLIST"), "DS_LAYER_CREATIONOPTIONLIST"
        mem = _gdal.Driver_Create(_gdal.GetDriverByName("GPKG"), base.mem_temp_path("gpkg"), 0, 0, 0, 0, [])
        run = lambda o: _gdal.Dataset_CreateLayer(mem, "l", None, 0, o)  # noqa: E731
    elif call == "open":
        item, xml = "DMD_OPENOPTIONLIST", listed("GTiff", "DMD_OPENOPTIONLIST")
        RasterDriver("GTiff").create(str(tmp_path / "o.tif"), 1, 1, 1, "Byte").close()
        run = lambda o: _gdal.delete_Dataset(_gdal.OpenEx(str(tmp_path / "o.tif"), 2, ["GTiff"], o))  # noqa: E731
    else:
        item, xml = "DMD_CREATIONOPTIONLIST", listed("GTiff", "DMD_CREATIONOPTIONLIST")
        src = _gdal.Driver_Create(_gdal.GetDriverByName("MEM"), "", 1, 1, 1, 1, [])
        run = (lambda o: _gdal.Driver_Create(gtiff, path, 1, 1, 1, 1, o)) if call == "create" else \
            (lambda o: _gdal.Driver_CreateCopy(gtiff, path, src, 0, o, None))
    names = sorted(_registry_names(item))
    refused = _gdal_refuses(names, run)
    if call == "layer":
        release_dataset(mem)  # closed here: at collection a failing close would be unraisable
    elif call != "open":
        release_dataset(src)  # else SWIG reports the handle as a leak wherever it is collected
    try:
        _optcheck.check_options({n: "1" for n in names}, xml, kind="open" if call == "open" else "creation",
                                call=call)
        vek = set()
    except error.FormatError as exc:
        vek = set(exc.errors)
    assert refused and vek == refused
    assert not os.path.exists(tmp_path / "missing")


def test_names_in_any_case_reach_gdal_in_the_lists_spelling(config, tmp_path, capsys):
    need("GPKG")
    xml = listed("GTiff", "DMD_CREATIONOPTIONLIST")
    assert _optcheck.check_options({"compress": "deflate", "Tiled": True}, xml) == {"COMPRESS": "DEFLATE",
                                                                                  "TILED": "YES"}
    assert _optcheck.check_options(["compress=lzw"], xml) == ["COMPRESS=LZW"]
    with pytest.raises(ValueError, match="give it once"):  # GDAL would read the first only
        _optcheck.check_options({"compress": "LZW", "COMPRESS": "DEFLATE"}, xml)
    with geodatabase.create_vector("GPKG", None) as ds:
        ds.create_layer("l", "Point", options={"geometry_name": "shape"})
        assert _ogr.Layer_GetGeometryColumn(_gdal.Dataset_GetLayerByIndex(ds.handle, 0)) == "shape"
    path = str(tmp_path / "c.tif")
    assert cli.main(["create", "GTiff", path, "--size", "4", "4", "-co", "compress=deflate"]) == 0
    assert "compression  DEFLATE" in capsys.readouterr().out


def test_a_configured_name_the_driver_lacks_warns_once(config):
    wrong, right = typo("GTiff", "DMD_CREATIONOPTIONLIST", "COMPRESS")
    config(f'[raster.creation_options.GTiff]\n{wrong} = "DEFLATE"\nTILED = true\n')
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        first, second = RasterDriver("GTiff").creation_options, RasterDriver("GTiff").creation_options
    assert first == second == {"TILED": True}  # still left out of the catalogue
    assert [(w.category, w.filename) for w in caught] == [(error.ConfigWarning, __file__)]
    assert f"{wrong} is not a creation option of GTiff (did you mean '{right}'?)" in str(caught[0].message)


def test_create_layer_without_options_takes_the_configured_layer_defaults(config):
    need("GPKG")
    config('[vector.creation_options.GPKG]\nGEOMETRY_NAME = "shape"\n')
    with geodatabase.create_vector("GPKG", None) as ds:
        ds.create_layer("configured", "Point")
        ds.create_layer("none", "Point", options={})
        columns = [_ogr.Layer_GetGeometryColumn(_gdal.Dataset_GetLayerByIndex(ds.handle, i)) for i in (0, 1)]
    assert columns[0] == "shape" != columns[1]


def _valued_lists():
    for i in range(_gdal.GetDriverCount()):
        handle = _gdal.GetDriver(i)
        for kind in CHECKED:
            xml = _gdal.MajorObject_GetMetadataItem(handle, OPTION_LISTS[kind], "") or ""
            if "<Value" in xml:
                yield _gdal.Driver_ShortName_get(handle), kind, xml


def test_the_public_checker_and_creating_give_one_verdict(config):
    """Over the running registry: each listed value, its aliases, case and
    blank variants and junk, checked against the catalogue record (what
    ``creation_options_info`` holds) and by the creating path's check."""
    disagreements, aliases = [], 0
    for driver, kind, xml in _valued_lists():
        entries, catalogue = _optcheck.option_entries(xml), read_xml_to_dict(xml)
        for name, record in entries:
            if "value" not in record or name not in catalogue or _optcheck.find_entry(entries, name)[1] is not record \
                    or [n for n, _r in entries].count(name) > 1:
                continue
            choices = record["value"] + record.get("value_aliases", [])
            aliases += len(record.get("value_aliases", []))
            for value in {v for c in choices for v in (c, c.lower(), f" {c}")} | {"vek-no-such-value"}:
                verdicts = []
                for check in (lambda: check_option_value(name, value, catalogue[name]),
                              lambda: _optcheck.check_options({name: value}, xml, kind=kind)[name]):
                    try:
                        verdicts.append(check())
                    except OptionValueError:
                        verdicts.append("refused")
                # GDAL reads a value without its leading blanks and compares
                # listed values ignoring case: the same verdict, either spelling
                verdicts = [v if v == "refused" else v.lstrip(" \t").upper() for v in verdicts]
                if verdicts[0] != verdicts[1]:
                    disagreements.append(f"{driver} {kind} {name}={value!r}: {verdicts}")
    assert disagreements == []
    if not aliases:
        pytest.skip("no option list of this GDAL gives value aliases")


def _points(srs="EPSG:3857"):
    db = geodatabase.create_vector("GPKG", None)
    db.create_layer("pts", "Point", srs=srs)
    return db


@pytest.mark.parametrize("name, ext, option", [("GeoJSON", "geojson", "COORDINATE_PRECISION"),
                                               ("FlatGeobuf", "fgb", "SPATIAL_INDEX")])
def test_a_vector_copy_refuses_a_name_neither_list_knows(config, tmp_path, name, ext, option):
    """GeoJSON's creation list names no option (it was taken for no list) and FlatGeobuf has none:
    both wrote the file, GDAL's warning (GeoJSON) or nothing (FlatGeobuf) the only word."""
    need(name)
    wrong, right = typo(name, "DS_LAYER_CREATIONOPTIONLIST", option)
    with _points() as src, pytest.raises(error.FormatError, match=f"'{wrong}' \\(did you mean '{right}'\\?\\)"):
        src.copy_to(tmp_path / f"t.{ext}", name, options={wrong: "3"})
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("given", [{"layer_options": {"RFC7946": "YES"}}, {"options": {"rfc7946": "yes"}}])
def test_layer_options_reach_the_layers_of_a_vector_copy(config, tmp_path, given):
    need("GeoJSON")
    with _points() as src:
        src.copy_to(tmp_path / "t.geojson", "GeoJSON", **given).close()
    assert "crs" not in json.loads((tmp_path / "t.geojson").read_text())
    with RasterDriver("GTiff").create(None, 1, 1, 1, "Byte") as raster, pytest.raises(ValueError, match="vector"):
        raster.copy_to(tmp_path / "r.tif", "GTiff", layer_options={"RFC7946": "YES"})


@pytest.mark.parametrize("options", [{"COMPRESS:FOO": "DEFLATE"}, {"COMPRESS": "LZW", "compress:": "DEFLATE"}])
def test_names_gdal_would_read_in_part_are_refused(config, tmp_path, options):
    """GDAL read COMPRESS=FOO=DEFLATE and wrote the file uncompressed; the second pair was no duplicate."""
    with pytest.raises(ValueError, match="up to the first ':'"):
        _copy(tmp_path, options)
    assert os.listdir(tmp_path) == []

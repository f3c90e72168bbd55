"""The public ``vek`` package: the names users import, the same objects as at
their old paths, loaded only when asked for."""

import importlib
import subprocess
import sys

import pytest

import vek

OLD_PATHS = {
    "vek._algos.geo.driver": ["Driver", "RasterDriver", "VectorDriver", "DriveStatistics"],
    "vek._algos.geo.geodatabase": ["GeoDatabase", "open_file"],
    "vek._algos.geo._identify": ["identify", "drivers_for_path"],
    "vek._algos.geo._error": ["FormatError", "GDALError", "GDALFileNotFoundError", "ConfigError",
                              "ConfigWarning", "GDALWarning", "OptionValueWarning"],
    "vek.optioncheck": ["OptionValueError"],
}
PUBLIC = [(module, name) for module, names in OLD_PATHS.items() for name in names]


def test_import_vek_imports_nothing_else():
    code = "import sys; before = set(sys.modules); import vek; print(' '.join(sorted(set(sys.modules) - before)))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["vek"]


@pytest.mark.parametrize("module, name", PUBLIC, ids=[n for _, n in PUBLIC])
def test_public_names_are_the_objects_at_their_old_paths(module, name):
    try:
        old = getattr(importlib.import_module(module), name)
    except (ImportError, AttributeError):
        pytest.skip(f"{module}.{name} is not on this branch yet")
    assert getattr(vek, name) is old and name in vek.__all__ and name in dir(vek)


def test_the_face_is_complete_and_strict():
    assert sorted(vek.__all__) == sorted(["__version__", *(n for _, n in PUBLIC)])
    assert isinstance(vek.__version__, str) and vek.__version__[0].isdigit()
    with pytest.raises(AttributeError, match="no attribute 'NoSuchName'"):
        vek.NoSuchName
    assert issubclass(vek.ConfigWarning, UserWarning) and issubclass(vek.GDALFileNotFoundError, vek.GDALError)

"""The public ``vek`` package: loaded lazily, and the same objects as at the
old private paths."""

import importlib
import subprocess
import sys

import pytest

import vek


def test_import_vek_imports_nothing_else():
    code = "import sys; before = set(sys.modules); import vek; print(*sorted(set(sys.modules) - before))"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True).stdout.split() == ["vek"]


@pytest.mark.parametrize("name", [n for n in vek.__all__ if n != "__version__"])
def test_public_names_are_the_objects_at_their_old_paths(name):
    old = getattr(importlib.import_module(vek._WHERE[name]), name)
    assert getattr(vek, name) is old and name in dir(vek)
    with pytest.raises(AttributeError, match="no attribute 'NoSuchName'"):
        vek.NoSuchName

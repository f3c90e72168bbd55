"""vek as a Python user gets it: the wheel built from the checkout, installed
into a fresh virtual environment, first without GDAL's Python bindings (one
clear message; --version and --help still work), then with them (the
README's first example and ``vek-drivers list``)."""

import os
import pathlib
import re
import subprocess
import sys
import venv
import zipfile

import osgeo
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
FIX = "pip install GDAL==$(gdal-config --version)"
ERRORS = ["FormatError", "GDALError", "GDALFileNotFoundError", "OptionValueError", "ConfigError", "ConfigWarning",
          "GDALWarning", "OptionValueWarning"]


# A user's environment: no search path of ours (the sanitizer run puts its
# build first on PYTHONPATH, where pip would find vek already installed).
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}


def sh(*argv, cwd, check=True):
    done = subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=600, cwd=cwd,
                          env=ENV)
    assert not check or done.returncode == 0, done.stdout + done.stderr
    return done


@pytest.fixture(scope="module")
def fresh(tmp_path_factory):
    """(venv python, the wheel, a folder that holds only the bindings)."""
    tmp = tmp_path_factory.mktemp("package")
    # The persistent build tree keeps this quick; what is judged is the wheel.
    sh(sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "-q",
       "-C", f"build-dir={ROOT / 'build' / '{wheel_tag}'}", "-w", tmp / "dist", ROOT, cwd=tmp)
    wheel, = (tmp / "dist").glob("vek-*.whl")
    venv.create(tmp / "venv", with_pip=False)
    python = tmp / "venv" / "bin" / "python"
    sh(sys.executable, "-m", "pip", "--python", python, "install", "-q", "--no-deps", "--no-index", wheel,
       cwd=tmp)
    bindings = tmp / "bindings"  # GDAL's bindings as built by the set-up, and nothing else of .venv
    bindings.mkdir()
    (bindings / "osgeo").symlink_to(pathlib.Path(osgeo.__file__).parent)
    return python, wheel, bindings


def test_without_the_bindings_one_clear_message(fresh, tmp_path):
    python, _, _ = fresh
    script = python.with_name("vek-drivers")
    assert "vek 0.1.0" in sh(script, "--version", cwd=tmp_path).stdout
    assert sh(script, "--help", cwd=tmp_path).stdout.startswith("usage: vek-drivers")
    for argv in ([script, "list"], [python, "-m", "vek", "show", "GTiff"]):
        done = sh(*argv, cwd=tmp_path, check=False)
        assert done.returncode == 1 and "Traceback" not in done.stderr, done.stderr
        assert done.stderr.count("\n") == 1 and FIX in done.stderr and "pip install gdal-wheel" in done.stderr
    # the errors and warnings can be named and caught; a driver needs the bindings
    named = "".join(f"vek.{n}; " for n in ERRORS)
    done = sh(python, "-c", f"import vek; {named}print(vek.__version__)\n"
              "try:\n    raise vek.FormatError('x')\nexcept ValueError:\n    vek.RasterDriver",
              cwd=tmp_path, check=False)
    assert done.stdout == "0.1.0\n" and done.stderr.strip().splitlines()[-1].startswith("ModuleNotFoundError: vek")


def test_with_the_bindings_the_readme_and_the_command_line_work(fresh, tmp_path):
    python, wheel, bindings = fresh
    names = zipfile.ZipFile(wheel).namelist()  # the stubs and the license, not the C++ sources
    assert {"vek/py.typed", "vek/_algos/geo/driver.pyi", "vek/__init__.pyi"} <= set(names)
    assert [n for n in names if n.endswith("/LICENSE")] and not [n for n in names if n.endswith(".cpp")]
    assert [n for n in names if n.startswith("vek/_algos/geo/registry/keeps-data/format-keeps-")]  # for describe
    site = sh(python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))", cwd=tmp_path).stdout
    (pathlib.Path(site.strip()) / "gdal-bindings.pth").write_text(f"{bindings}\n")
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    first = re.search(r"^```pycon\n(.*?)^```$", readme, re.M | re.S)[1]
    (tmp_path / "first.txt").write_text(first, encoding="utf-8")
    where = sh(python, "-c", "import vek, osgeo; print(vek.__file__, osgeo.__file__)", cwd=tmp_path).stdout
    assert where.startswith(str(python.parent.parent)) and str(bindings) in where  # nothing else of .venv
    sh(python, "-m", "doctest", "-o", "ELLIPSIS", "-o", "NORMALIZE_WHITESPACE", "first.txt", cwd=tmp_path)
    listed = sh(python.with_name("vek-drivers"), "list", cwd=tmp_path).stdout
    assert re.search(r"^\s*\d+\s+GTiff\s", listed, re.M) and listed.rstrip().endswith("drivers")


@pytest.fixture(scope="module")
def with_gdal_wheel(fresh, tmp_path_factory):
    """The venv python of the wheel installed with its extra `gdal` (GDAL's binary wheel and numpy)."""
    _, wheel, _ = fresh
    tmp = tmp_path_factory.mktemp("gdal-wheel")
    probe = sh(sys.executable, "-m", "pip", "index", "versions", "gdal-wheel", cwd=tmp, check=False)
    if probe.returncode != 0:
        pytest.skip(f"the package index cannot be reached: {(probe.stderr.strip().splitlines() or ['?'])[-1]}")
    venv.create(tmp / "venv", with_pip=False)
    python = tmp / "venv" / "bin" / "python"
    sh(sys.executable, "-m", "pip", "--python", python, "install", "-q", f"{wheel}[gdal]", cwd=tmp)
    return python


def test_with_gdal_wheel_the_tour_and_the_command_line_work(with_gdal_wheel, tmp_path):
    python = with_gdal_wheel
    owner = sh(python, "-c", "import importlib.metadata as m; from osgeo import gdal_array; "
               "print(m.packages_distributions()['osgeo'])", cwd=tmp_path).stdout
    assert owner.strip() == "['gdal-wheel']"
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    tour = readme[readme.index("## A tour of the API"):readme.index("## The command line")]
    (tmp_path / "tour.txt").write_text("\n".join(re.findall(r"^```pycon\n(.*?)^```$", tour, re.M | re.S)),
                                       encoding="utf-8")
    sh(python, "-m", "doctest", "-o", "ELLIPSIS", "-o", "NORMALIZE_WHITESPACE", "tour.txt", cwd=tmp_path)
    listed = sh(python.with_name("vek-drivers"), "list", cwd=tmp_path).stdout
    assert re.search(r"^\s*\d+\s+GTiff\s", listed, re.M) and listed.rstrip().endswith("drivers")

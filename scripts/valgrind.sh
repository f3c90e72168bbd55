#!/usr/bin/env bash
# make valgrind: valgrind's memcheck over tests/stress/smoke.py (every entry
# point of the driver module, on success and failure paths) with the build
# installed in .venv, then scripts/valgrind_check.py, which fails on invalid
# reads/writes and other memory errors whose stack enters the module.
# PYTHONMALLOC=malloc puts every Python allocation under memcheck's eye.
# VEK_VALGRIND_ROUNDS sets how often each case runs (3).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VPY="$ROOT/.venv/bin/python"
OUT="$ROOT/build/valgrind"
if ! command -v valgrind >/dev/null; then
    SUDO=()
    (( EUID == 0 )) || SUDO=(sudo)
    command -v apt-get >/dev/null || { echo "valgrind: not installed, and no apt-get to install it" >&2; exit 1; }
    echo "valgrind: apt-get install valgrind"
    "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends valgrind >/dev/null \
        || { "${SUDO[@]}" apt-get update >/dev/null && "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
             apt-get install -y --no-install-recommends valgrind >/dev/null; }
fi
mkdir -p "$OUT"
so="$("$VPY" -c 'import vek._algos.geo.driver as d; print(d.__file__)')"
echo "valgrind: memcheck over tests/stress/smoke.py with $so"
supp=()
[[ -f tests/stress/valgrind.supp ]] && supp=(--suppressions=tests/stress/valgrind.supp)
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=no --show-leak-kinds=none --error-limit=no \
    --num-callers=50 "${supp[@]}" --xml=yes --xml-file="$OUT/memcheck.xml" \
    "$VPY" tests/stress/smoke.py "${VEK_VALGRIND_ROUNDS:-3}"
"$VPY" scripts/valgrind_check.py "$OUT/memcheck.xml" "$so"

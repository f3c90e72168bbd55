#!/usr/bin/env bash
# Build the extension with VEK_SANITIZE=ON (AddressSanitizer + UBSan) in
# build/asan, stage it in build/asan-site, and run the whole test suite
# against it. Expects scripts/setup.sh to have run (make test-asan does).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VPY="$ROOT/.venv/bin/python"
SITE="$ROOT/build/asan-site"
LOG="$ROOT/build/asan-install.log"

mkdir -p build
rm -rf "$SITE"
echo "test-asan: building sanitized extension (build/asan)"
if ! "$VPY" -m pip install --no-build-isolation --no-deps --target "$SITE" \
        -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo \
        -C cmake.define.VEK_SANITIZE=ON -C cmake.define.VEK_COUNTERS=ON . >"$LOG" 2>&1; then
    cat "$LOG" >&2
    echo "test-asan: build failed" >&2
    exit 1
fi

so="$(ls "$SITE"/vek/_algos/geo/driver.cpython-*.so)"
if ! readelf -d "$so" | grep -q 'NEEDED.*libasan'; then
    echo "test-asan: $so is not linked against libasan" >&2
    exit 1
fi

CXX_BIN="${CXX:-g++}"
preload="$("$CXX_BIN" -print-file-name=libasan.so)"
[[ -f "$preload" ]] || { echo "test-asan: libasan.so not found via $CXX_BIN" >&2; exit 1; }

# libstdc++ is preloaded too: the sanitizer's __cxa_throw interceptor needs
# the real one resolved at start-up, or the first C++ exception aborts.
cxxlib="$("$CXX_BIN" -print-file-name=libstdc++.so)"
export LD_PRELOAD="$preload:$cxxlib${LD_PRELOAD:+:$LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$SITE:$ROOT/scripts${PYTHONPATH:+:$PYTHONPATH}"
export VEK_ASAN_SITE="$SITE"

# The plugin prints the imported .so in pytest's header and stops the run
# if it is not the sanitized one.
"$VPY" -m pytest -p asan_check tests -q "$@"

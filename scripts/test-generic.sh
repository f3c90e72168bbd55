#!/usr/bin/env bash
# Build the extension with VEK_FASTPATH=OFF (every operation takes the
# generic CPython path) in build/generic, stage it in build/generic-site,
# and run the whole test suite against it: the reference every shortcut
# must equal. The normal install in .venv keeps the shortcuts. Expects
# scripts/setup.sh to have run (make test-generic does).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VPY="$ROOT/.venv/bin/python"
SITE="$ROOT/build/generic-site"
LOG="$ROOT/build/generic-install.log"

mkdir -p build
rm -rf "$SITE"
echo "test-generic: building the extension without shortcuts (build/generic)"
if ! "$VPY" -m pip install --no-build-isolation --no-deps --target "$SITE" \
        -C build-dir=build/generic -C cmake.define.VEK_FASTPATH=OFF . >"$LOG" 2>&1; then
    cat "$LOG" >&2
    echo "test-generic: build failed" >&2
    exit 1
fi

export PYTHONPATH="$SITE:$ROOT/scripts${PYTHONPATH:+:$PYTHONPATH}"
export VEK_GENERIC_SITE="$SITE"

# The plugin prints the imported .so in pytest's header and stops the run
# unless it is the staged build without shortcuts.
"$VPY" -m pytest -p generic_check -q "${@:-tests}"

#!/usr/bin/env bash
# vek on GDAL's binary wheel: build vek's wheel from the checkout, install it
# with `gdal-wheel` (GDAL's bindings with their own libgdal) and the test
# tools into a fresh venv that sees neither .venv nor the system's bindings,
# then run the whole suite there from the checkout. Needs the package index;
# not part of `make test` or .ci/run. The last line printed sums it up:
#
#   check-wheel: GDAL 3.13.3 (gdal-wheel 3.13.3), Python 3.13.0, 1490 passed 30 skipped 0 failed, 250 s
#
# Environment:
#   VEK_PYTHON        the CPython 3.13 or 3.14 for the venv (default: the one of .venv)
#   VEK_GDAL_WHEEL    the requirement to install (default: gdal-wheel)
#   VEK_CHECK_SUMMARY a file the summary line is appended to as well
# Arguments are passed to pytest (default: tests -q).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
WORK="$ROOT/build/check-wheel"   # this script's own scratch space
LOG="$WORK/pytest.log"

say() { printf 'check-wheel: %s\n' "$*"; }
die() { printf 'check-wheel: error: %s\n' "$*" >&2; exit 1; }
quiet() {  # the output only when the command fails
    local log="$WORK/last.log"
    "$@" >"$log" 2>&1 || { cat "$log" >&2; die "command failed: $*"; }
}

start=$(date +%s)
PY="${VEK_PYTHON:-}"
if [[ -z $PY ]]; then
    [[ -x .venv/bin/python ]] || die "no .venv: run make setup, or set VEK_PYTHON"
    PY="$(.venv/bin/python -c 'import sys; print(sys._base_executable)')"
fi
"$PY" -c 'import sys; sys.exit(sys.version_info[:2] not in ((3, 13), (3, 14)))' \
    || die "$PY is not CPython 3.13 or 3.14"

rm -rf "$WORK"
mkdir -p "$WORK/dist"
quiet "$PY" -m venv "$WORK/venv"
VPY="$WORK/venv/bin/python"
say "building vek's wheel"
# An isolated build: the wheel is what a user's `pip wheel .` makes. The
# venv's pip builds it (a distribution's python3.14 may have none of its
# own); the build's tools go to a temporary environment, not the venv.
quiet "$VPY" -m pip wheel --no-deps -w "$WORK/dist" "$ROOT"
wheel=("$WORK"/dist/vek-*.whl)
say "fresh venv with ${VEK_GDAL_WHEEL:-gdal-wheel}, $(basename "${wheel[0]}") and the test tools"
quiet "$VPY" -m pip install "${VEK_GDAL_WHEEL:-gdal-wheel}" "${wheel[0]}" -r requirements-dev.txt
# The venv must hold gdal-wheel's bindings, not the system's.
versions="$("$VPY" - <<'PY'
import importlib.metadata as md, sys
from osgeo import gdal
owner = md.packages_distributions().get("osgeo", ["?"])[0]
if owner != "gdal-wheel":
    sys.exit(f"osgeo comes from {owner!r}, not gdal-wheel")
print(f"GDAL {gdal.__version__} (gdal-wheel {md.version('gdal-wheel')}), Python {sys.version.split()[0]}")
PY
)" || die "the venv's bindings are not gdal-wheel's"

say "pytest ${*:-tests -q} with $versions"
rc=0
# From the checkout (tests read README.md), importing the installed vek.
"$VPY" -m pytest "${@:-tests}" -q -rs 2>&1 | tee "$LOG" || rc=$?
line="$(grep -E '^=* *[0-9]+ (passed|failed|skipped|errors?)' "$LOG" | tail -1 || true)"
count() { local n; n="$(grep -oE "[0-9]+ $1" <<<"$line" | cut -d' ' -f1 | head -1)"; echo "${n:-0}"; }
took=$(( $(date +%s) - start ))
if [[ -n $line ]]; then
    summary="check-wheel: $versions, $(count passed) passed $(count skipped) skipped"
    summary+=" $(( $(count failed) + $(count 'errors?') )) failed, $took s"
else
    summary="check-wheel: $versions, pytest gave no tally (exit $rc), $took s"
fi
echo "$summary"
if [[ -n "${VEK_CHECK_SUMMARY:-}" ]]; then echo "$summary" >>"$VEK_CHECK_SUMMARY"; fi
exit "$rc"

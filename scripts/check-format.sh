#!/usr/bin/env bash
# Fails, listing the lines, when a C++ file of the extension differs from
# what clang-format makes of it with .clang-format. The clang-format used is
# the one pinned in requirements-dev.txt (installed into .venv by
# scripts/setup.sh), so every platform formats alike. --fix rewrites the
# files instead.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
CF="$ROOT/.venv/bin/clang-format"
[[ -x "$CF" ]] || { echo "check-format: $CF not found: run make setup" >&2; exit 1; }

mapfile -t files < <(git ls-files 'src/vek/_algos/geo/driver/*.cpp' 'src/vek/_algos/geo/driver/*.hpp')
(( ${#files[@]} )) || { echo "check-format: no C++ files found" >&2; exit 1; }
if [[ "${1:-}" == --fix ]]; then
    "$CF" -i "${files[@]}"
    exit 0
fi
if ! "$CF" --dry-run --Werror "${files[@]}"; then
    echo "check-format: run scripts/check-format.sh --fix ($("$CF" --version))" >&2
    exit 1
fi
echo "check-format: ${#files[@]} C++ files formatted as .clang-format says"

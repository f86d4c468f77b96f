#!/usr/bin/env bash
# The check for use before every commit, a couple of minutes on a warm ccache:
#   1. the formatting of the C++ files changed since this branch left main (committed,
#      staged, unstaged or untracked) against .clang-format;
#   2. a Release build of the unit-test binaries in build/ (through ccache when present);
#   3. the unit-labelled tests, the layer check among them.
# The end-to-end and reliability tests are left to scripts/test.sh and CI.
#   scripts/check.sh              everything above
#   scripts/check.sh -R Table     arguments go to ctest
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null 2>&1; then
  echo "check: clang-format is missing (scripts/deps.sh installs it)" >&2
  exit 1
fi
base=$(git merge-base main HEAD 2>/dev/null || git rev-parse HEAD)
mapfile -t changed < <({ git diff --name-only "$base" --; git ls-files --others --exclude-standard; } |
  grep -E '\.(h|cpp)$' | sort -u)
files=()
for f in "${changed[@]}"; do [ -f "$f" ] && files+=("$f"); done
if [ ${#files[@]} -gt 0 ]; then
  echo "=== formatting of ${#files[@]} changed files"
  clang-format --dry-run -Werror "${files[@]}"
fi

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
echo "=== build (Release, build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
cmake --build build -j2 --target dovrel_unit_tests
echo "=== unit tests and the layer check"
ctest --test-dir build -L unit -j2 --output-on-failure "$@"

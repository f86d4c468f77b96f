#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh               Release build in build/
#   DOVREL_SANITIZE=ON scripts/test.sh   AddressSanitizer + UBSan build in build-sanitize/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
if [ "${DOVREL_SANITIZE:-OFF}" = ON ]; then
  dir=build-sanitize
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DDOVREL_SANITIZE=ON -DDOVREL_BENCH=OFF
else
  dir=build
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$dir" -j2
ctest --test-dir "$dir" --output-on-failure -j2

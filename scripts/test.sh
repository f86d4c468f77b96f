#!/usr/bin/env bash
# Builds everything and runs every test.
#   scripts/test.sh                        Release build in build/
#   DOVREL_SANITIZE=ON scripts/test.sh     AddressSanitizer + UBSan build in build-sanitize/
#   DOVREL_TSAN=ON scripts/test.sh         ThreadSanitizer build in build-tsan/
#   DOVREL_WERROR=ON scripts/test.sh       any of them with compiler warnings as errors (CI)
# Arguments go to ctest, e.g. `DOVREL_TSAN=ON scripts/test.sh -R 'Server|Load'`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
werror="-DDOVREL_WERROR=${DOVREL_WERROR:-OFF}"
if [ "${DOVREL_SANITIZE:-OFF}" = ON ]; then
  dir=build-sanitize
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DDOVREL_SANITIZE=ON -DDOVREL_BENCH=OFF "$werror"
elif [ "${DOVREL_TSAN:-OFF}" = ON ]; then
  dir=build-tsan
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DDOVREL_TSAN=ON -DDOVREL_BENCH=OFF "$werror"
else
  dir=build
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$werror"
fi
cmake --build "$dir" -j2
ctest --test-dir "$dir" --output-on-failure -j2 "$@"

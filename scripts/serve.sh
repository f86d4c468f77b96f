#!/usr/bin/env bash
# Builds the server and serves the demo instance ./demo in the foreground, creating the
# instance first when there is none (administrator "admin", password "admin"; it lets in
# local clients only, and the server listens on loopback only unless an -address: argument
# is given). Extra arguments go to the server, e.g. scripts/serve.sh -port:9000, or
# scripts/serve.sh -address:0.0.0.0 for every interface. Ctrl-C stops it as a halt does.
# A new build directory gets only the three programs: no tests, no benchmarks, so neither
# GoogleTest nor Google Benchmark is needed.
#
# For tests: DOVREL_BUILD_DIR (default build), DOVREL_DEMO_DIR (default demo) and
# DOVREL_NO_BUILD=1 (use the binaries already in DOVREL_BUILD_DIR/bin as they are).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${DOVREL_BUILD_DIR:-build}"
demo="${DOVREL_DEMO_DIR:-demo}"

if [ "${DOVREL_NO_BUILD:-0}" != 1 ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    scripts/deps.sh serve
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDOVREL_TESTS=OFF -DDOVREL_BENCH=OFF \
      >/dev/null
  fi
  cmake --build "$build" -j2 --target dovrel dovrel-client secmigrate
fi

if [ ! -e "$demo" ]; then
  scripts/init-instance.sh "$demo" --admin admin --password admin --bin-dir "$build/bin"
fi
[ -x "$demo/dovrel" ] || {
  echo "serve: $demo exists but holds no server link ($demo/dovrel); move it away" >&2
  exit 1
}
address=(-address:127.0.0.1)
for argument in "$@"; do
  case "$argument" in -address:* | --help) address=() ;; esac
done
exec "$demo/dovrel" "${address[@]}" "$@"

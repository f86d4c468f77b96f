#!/usr/bin/env bash
# Builds the server and serves the demo instance in ./demo (created on first use) in the
# foreground. Extra arguments go to the server, e.g. scripts/serve.sh -port:9000
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target dovrel dovrel-client
mkdir -p demo/DATA demo/LOGS
ln -sf ../build/bin/dovrel demo/dovrel
exec demo/dovrel "$@"

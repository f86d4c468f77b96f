#!/usr/bin/env bash
# Builds the server and serves the demo instance in ./demo (created on first use) in the
# foreground. Extra arguments go to the server, e.g. scripts/serve.sh -port:9000
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target dovrel dovrel-client secmigrate
mkdir -p demo/DATA demo/LOGS
ln -sf ../build/bin/dovrel demo/dovrel
# A new demo instance lets in local clients only and has one administrator, "admin" with
# the password "admin" (converted from a one-line user list by secmigrate).
[ -f demo/network_permissions.txt ] || printf '127.0.0.1\r\n' > demo/network_permissions.txt
if [ ! -f demo/security.txt ]; then
  printf 'User: admin\nPassword: admin\nLevel: 4\n' > demo/users.txt
  (cd demo && ../build/bin/secmigrate)
fi
exec demo/dovrel "$@"

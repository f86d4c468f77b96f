#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing (needs root or sudo).
#   scripts/deps.sh        the g++ build, its tests (also under the sanitizers) and benchmarks
#   scripts/deps.sh fuzz   and clang 16 with its libFuzzer runtime, for scripts/fuzz.sh
set -euo pipefail
pkgs=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libgcrypt20-dev)
pkgs+=(libsqlite3-dev)  # bench/load_bench measures SQLite beside dovrel
pkgs+=(zlib1g-dev)      # bench/foundation_bench measures zlib's crc32 beside ours
# clang 14 (Debian's default clang) crashes on the message literals, so the fuzz build
# names clang 16; its libFuzzer and sanitizer runtimes are in libclang-rt-16-dev.
[ "${1:-}" = fuzz ] && pkgs+=(clang-16 libclang-rt-16-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"

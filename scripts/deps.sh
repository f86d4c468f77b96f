#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing (needs root or sudo;
# without either it prints the one apt-get line to run as root and fails).
#   scripts/deps.sh        the g++ build, its tests (also under the sanitizers), benchmarks and
#                          the formatting check
#   scripts/deps.sh serve  only what the three programs need (scripts/serve.sh)
#   scripts/deps.sh fuzz   and clang 16 with its libFuzzer runtime, for scripts/fuzz.sh
set -euo pipefail
pkgs=(cmake g++ make pkg-config libgcrypt20-dev)
pkgs+=(libedit-dev) # dovrel-client's line editing and history
pkgs+=(nlohmann-json3-dev) # dovrel-client's --import and --export read and write JSON lines
if [ "${1:-}" != serve ]; then
  pkgs+=(libgtest-dev libgmock-dev libbenchmark-dev)
  pkgs+=(libsqlite3-dev) # bench/load_bench measures SQLite beside dovrel
  pkgs+=(zlib1g-dev)     # bench/foundation_bench measures zlib's crc32 beside ours
  pkgs+=(python3 python3-pip python3-venv) # the Python client's tests, its offline installs
  pkgs+=(clang-format) # the formatting checks of scripts/check.sh and CI (.clang-format)
fi
# clang 14 (Debian's default clang) crashes on the message literals, so the fuzz build
# names clang 16; its libFuzzer and sanitizer runtimes are in libclang-rt-16-dev.
[ "${1:-}" = fuzz ] && pkgs+=(clang-16 libclang-rt-16-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "deps: missing packages: ${missing[*]}" >&2
    echo "deps: run this as root (after apt-get update), then start again:" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  sudo="sudo"
fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"

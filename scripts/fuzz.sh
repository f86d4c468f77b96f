#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz/ with clang in build-fuzz/ and runs each one
# for SECONDS (default 60) from its seeds in tests/fuzz/corpus/<target>/, printing the
# executions. What a run discovers is kept in build-fuzz/corpus/<target>/ (the seeds in the
# repository are never written); a crash leaves its input in build-fuzz/artifacts/<target>/
# and makes the script fail after every target has run.
#   scripts/fuzz.sh [SECONDS] [TARGET ...]
#   DOVREL_FUZZ_CXX=clang++-16 scripts/fuzz.sh 300 parser
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(scanner header permissions structure document security securitylog parser)

# clang 14 cannot compile the message literals (it crashes on them); 16 can.
scripts/deps.sh fuzz
cxx=${DOVREL_FUZZ_CXX:-clang++-16}
command -v "$cxx" >/dev/null || { echo "fuzz.sh: $cxx not found (scripts/deps.sh installs it)"; exit 1; }

dir=build-fuzz
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
  -DDOVREL_FUZZ=ON -DDOVREL_BENCH=OFF >/dev/null
cmake --build "$dir" -j2 --target "${targets[@]/%/_fuzz}"

failed=()
total=0
for t in "${targets[@]}"; do
  mkdir -p "$dir/corpus/$t" "$dir/artifacts/$t"
  log="$dir/artifacts/$t/last-run.log"
  options=(-max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048
           -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="$dir/artifacts/$t/")
  [ -f "tests/fuzz/$t.dict" ] && options+=(-dict="tests/fuzz/$t.dict")
  status=0
  "$dir/fuzz/${t}_fuzz" "${options[@]}" "$dir/corpus/$t" "tests/fuzz/corpus/$t" >"$log" 2>&1 ||
    status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  units=$(find "$dir/corpus/$t" -type f | wc -l)
  total=$((total + ${runs:-0}))
  if [ $status -eq 0 ]; then
    printf '%-12s %10s executions in %s s, corpus %s inputs\n' "$t" "${runs:-?}" "${time:-?}" "$units"
  else
    printf '%-12s FAILED after %s executions (status %s); input in %s\n' "$t" "${runs:-?}" \
      "$status" "$dir/artifacts/$t/"
    grep -E -A20 '^==[0-9]+==ERROR|fuzz target:|fatal assertion|Assertion failed|deadly signal|uncaught' \
      "$log" | head -40 || true
    failed+=("$t")
  fi
done
echo "fuzz total: $total executions"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}"
  exit 1
fi

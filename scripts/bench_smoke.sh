#!/usr/bin/env bash
# Runs the first listed case of every benchmark family once (its smallest, by the convention that
# the smallest argument is registered first), so that every benchmark program keeps working.
# STATION_BENCH_SMOKE=1 tells benchmarks with large fixtures to shrink them.
# Usage: bench_smoke.sh <build folder>
set -euo pipefail
dir=${1:-build}
shopt -s nullglob
for bench in "$dir"/bench/*_bench; do
  [ -x "$bench" ] || continue
  # One case per family: the family is the name up to the first '/'.
  mapfile -t cases < <("$bench" --benchmark_list_tests | awk -F/ '!seen[$1]++')
  for c in "${cases[@]}"; do
    filter="^$(printf '%s' "$c" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$"
    echo "bench smoke: $(basename "$bench") $c"
    if ! STATION_BENCH_SMOKE=1 "$bench" --benchmark_filter="$filter" --benchmark_min_time=0 \
        --benchmark_repetitions=1 >"$dir/bench-smoke.log" 2>&1; then
      cat "$dir/bench-smoke.log"
      exit 1
    fi
    if ! grep -qF "$c" "$dir/bench-smoke.log"; then
      echo "bench smoke: $c did not run"; exit 1
    fi
  done
done
echo "bench smoke: done"

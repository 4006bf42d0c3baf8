#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz/ with clang in build-fuzz/, writes their seeds
# (tests/fuzz/make_seeds.py; the run target records its own from emulated devices) and runs
# each target on its seeds and its corpus (build-fuzz/corpus/<target>/, which grows from run
# to run):
#   scripts/fuzz.sh                      every target for 10 seconds (scripts/test.sh: 8 seconds)
#   scripts/fuzz.sh 600 run_fuzz drive_fuzz   the named targets for 600 seconds each
#   FUZZ_KEEP_GOING=1 scripts/fuzz.sh 600     going on after a crash (libFuzzer's fork mode)
#   FUZZ_SEED=1 scripts/fuzz.sh               the same random choices each time (as CI runs it)
# A crashing input is kept in build-fuzz/crashes/<target>/; replay it with
#   build-fuzz/tests/fuzz/<target> <file>
# Without FUZZ_KEEP_GOING a crash stops its target; the script fails once every target ran.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
[ $# -gt 0 ] && shift
dir=${FUZZ_BUILD_DIR:-$PWD/build-fuzz}
jobs=${JOBS:-$(nproc)}

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-O1 -DCMAKE_CXX_COMPILER=clang++ \
  -DSTATION_FUZZ=ON -DSTATION_TESTS=OFF -DSTATION_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$jobs" --target fuzz_targets

rm -rf "$dir/seeds"
python3 tests/fuzz/make_seeds.py "$dir/seeds"
STATION_FUZZ_RECORD="$dir/seeds/run" "$dir/tests/fuzz/run_fuzz" >/dev/null

targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=($(cd "$dir/tests/fuzz" && ls -- *_fuzz))
options=(-max_total_time="$seconds" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 -seed="${FUZZ_SEED:-0}")
[ -n "${FUZZ_KEEP_GOING:-}" ] && options+=(-fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1)
failed=()
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  log=$dir/logs/$name.log
  mkdir -p "$dir/corpus/$name" "$dir/crashes/$name" "$dir/logs"
  if "$dir/tests/fuzz/$target" "${options[@]}" -artifact_prefix="$dir/crashes/$name/" \
      "$dir/corpus/$name" "$dir/seeds/$name" 2>"$log"; then
    echo "fuzz: $target ${seconds}s: $(grep -E '^stat::number_of_executed_units' "$log" | tr -s ' ' | cut -d' ' -f2) runs"
  else
    grep -E 'rule broken|ERROR: |^ +#[0-9]+ 0x|SUMMARY|Test unit written' "$log" |
      grep -vE 'fuzzer::|libc\.so|/stdlib/|/signal/|/nptl/|__sanitizer|/compiler-rt/' | head -25
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: crashed: ${failed[*]} (inputs in $dir/crashes/, logs in $dir/logs/)"
  exit 1
fi

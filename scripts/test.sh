#!/usr/bin/env bash
# Installs what is missing, builds the station and runs every test:
#   1. an optimised build of the libraries, programs and benchmarks; each benchmark runs its
#      smallest case once, so none of them can rot;
#   2. an AddressSanitizer + UndefinedBehaviorSanitizer build that runs the whole test suite;
#   3. a ThreadSanitizer build of the libraries and the concurrency tests, which it runs;
#   4. the fuzz targets of tests/fuzz (clang, in build-fuzz/), each run on its seeds for a few
#      seconds (scripts/fuzz.sh, which also runs them for longer).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh

jobs=$(nproc)
configure() {  # configure <dir> <cmake options...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}

configure build -DCMAKE_BUILD_TYPE=Release -DSTATION_TESTS=OFF
cmake --build build -j "$jobs"
./scripts/bench_smoke.sh build

configure build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1" -DSTATION_SANITIZE=ON \
  -DSTATION_BENCH=OFF
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure -j "$jobs")

configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1" -DSTATION_TSAN=ON \
  -DSTATION_BENCH=OFF -DSTATION_CONCURRENCY_TESTS_ONLY=ON
cmake --build build-tsan -j "$jobs" --target station_tests
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j "$jobs" -R Concurrency --no-tests=ignore)

FUZZ_SEED=1 ./scripts/fuzz.sh 8

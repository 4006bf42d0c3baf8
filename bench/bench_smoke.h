// Benchmarks whose fixtures take long to build read this: CI runs every benchmark's smallest case
// once with STATION_BENCH_SMOKE=1, only to prove it still works, and then fixtures are shrunk.
#pragma once

#include <cstdlib>

inline bool BenchSmoke() {
  const char* value = std::getenv("STATION_BENCH_SMOKE");
  return value != nullptr && *value != 0 && *value != '0';
}

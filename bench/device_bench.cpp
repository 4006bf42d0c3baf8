// Cost of the command path itself: wrapper, request block, handle table and
// target dispatch, against a target that answers at once.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "device/commands.h"

namespace {

class InstantTarget : public platform::ScsiTarget {
 public:
  bool Execute(const platform::ScsiRequest& request) override {
    if (request.direction == platform::ScsiDirection::In && request.length > 0) {
      std::memset(request.data, 0xFF, request.length);
      request.data[0] = 0x01;
    }
    return true;
  }
};

void BM_BlockTest(benchmark::State& state) {
  platform::HANDLE h = platform::OpenTargetHandle(std::make_shared<InstantTarget>());
  std::uint8_t results[1024];
  const auto count = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(device::cmd_bBlockTest(h, 100, count, 0x1234, 1, 2, 0, 8, results, 0, 0));
    benchmark::ClobberMemory();
  }
  platform::CloseHandle(h);
}
BENCHMARK(BM_BlockTest)->Arg(1)->Arg(256);

void BM_GetFlashId(benchmark::State& state) {
  platform::HANDLE h = platform::OpenTargetHandle(std::make_shared<InstantTarget>());
  std::uint8_t id[5];
  for (auto _ : state) {
    benchmark::DoNotOptimize(device::cmd_bGetFlashId(h, id));
    benchmark::ClobberMemory();
  }
  platform::CloseHandle(h);
}
BENCHMARK(BM_GetFlashId);

}  // namespace

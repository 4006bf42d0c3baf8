// A block test of every block of a 65536-block emulated device through the
// full command path: wrapper, request block, handle table, volume lookup and
// the device model.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "device/commands.h"
#include "emulator/emulated_device.h"
#include "platform/volumes/volumes.h"

namespace {

std::filesystem::path BenchFolder(const char* name) {
  return std::filesystem::temp_directory_path() / ("emulator-bench-" + std::to_string(::getpid()) + "-" + name);
}

// The FSM download of device arrival (the flash commands need it): 4 KiB of 0x5A.
bool LoadFsm(platform::HANDLE h) {
  std::vector<std::uint8_t> fsm(4096, 0x5A);
  return device::cmd_bDownloadStart(h, 4096) && device::cmd_bDownloadData(h, fsm.data(), 2048) &&
         device::cmd_bDownloadData(h, fsm.data() + 2048, 2048) && device::cmd_bDownloadData(h, fsm.data(), 0) &&
         device::cmd_bDownloadSum(h, (4096 * 0x5A) & 0xFFFF);
}

void BM_BlockTestEveryBlock(benchmark::State& state) {
  const auto folder = BenchFolder("scan");
  auto device = emulator::EmulatedDevice::Create(emulator::profiles::Large(), folder);
  const char letter = device->Plug(0);
  const std::uint32_t blocks = device->Profile().TotalBlocks();
  const bool perPage = state.range(0) != 0;
  const std::uint32_t pages = device->Profile().geometry.pagesPerBlock;
  std::uint8_t results[1024];
  std::size_t bad = 0;
  const std::string path = std::string(device::kVolumePathPrefix) + letter + ":";
  auto open = [&] {
    return platform::CreateFileA(path.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr,
                                 platform::OPEN_EXISTING, 0, nullptr);
  };
  platform::HANDLE arrival = open();
  const bool ready = LoadFsm(arrival);
  platform::CloseHandle(arrival);
  if (!ready) state.SkipWithError("FSM download failed");
  for (auto _ : state) {
    platform::HANDLE h = open();
    bad = 0;
    bool failed = false;
    for (std::uint32_t b = 0; b < blocks && !failed; ++b) {
      failed = !device::cmd_bBlockTest(h, b, 1, b & 0x7FFF, 1, 3, 0, 4, results, perPage ? 1 : 0, pages);
      bad += results[0] != 255;
    }
    platform::CloseHandle(h);
    if (failed) {
      state.SkipWithError("block test failed");
      break;
    }
    state.PauseTiming();
    device->ClearTrace();  // keep the trace from growing across iterations
    state.ResumeTiming();
  }
  state.counters["blocks"] = blocks;
  state.counters["bad"] = static_cast<double>(bad);
  state.counters["per_block"] =
      benchmark::Counter(static_cast<double>(blocks) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  device->Unplug();
  device.reset();
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_BlockTestEveryBlock)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

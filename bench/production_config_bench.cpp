// A whole configuration sequence on the large flash (65536 blocks): chip
// count and flash ID, the flash-table search among the shipped tables, the
// table upload and loading, the device's bad-block map, and the
// configuration block written to the first two good blocks. Waits are
// scaled to 0. Measured twice: against the emulated device (the station and
// the model together) and against a target that answers at once (the
// station's own cost). Counters: device commands per sequence and the time
// per command, to set beside the milliseconds a real device takes for one.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "device/commands.h"
#include "emulator/emulated_device.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/volumes/volumes.h"
#include "production/product_thread.h"
#include "support/fake_main_window.h"
#include "support/temp_dir.h"

namespace {

using production::ProductThread;

// Answers every request at once: success, 0xFF data, the large flash's ID
// and one chip. Counts the requests.
class InstantTarget : public platform::ScsiTarget {
 public:
  bool Execute(const platform::ScsiRequest& request) override {
    ++requests;
    if (request.direction == platform::ScsiDirection::In && request.length > 0) {
      std::memset(request.data, 0xFF, request.length);
      const std::uint8_t sub = request.cdb[1];
      if (sub == 0x70) {
        static const std::uint8_t id[5] = {0xEC, 0xDC, 0x10, 0x95, 0x54};
        std::memcpy(request.data, id, request.length < 5 ? request.length : 5);
      } else if (sub != 0x98) {
        request.data[0] = 0x01;
      }
    }
    return true;
  }
  std::uint64_t requests = 0;
};

struct Station {
  testing_support::TempDir home{"config-bench"};
  testing_support::FakeMainWindow window;
  platform::ScopedClock clock{std::make_shared<platform::ManualClock>(), 0.0};

  Station() {
    platform::SetProgramFolder(home.path);
    platform::SetRegistryFile(home / "registry.ini");
    std::filesystem::copy(std::string(STATION_SOURCE_DIR) + "/support/flash", home / "flash");
    window.settings.AllowErrorRate = 2;
    window.SetSlot(0, 'E');
  }
  ~Station() {
    platform::Volumes().Clear();
    platform::SetProgramFolder("");
    platform::SetRegistryFile("");
  }

  // One configuration sequence; false when a step failed.
  bool Configure() {
    auto p = window.SlotControls(0);
    ProductThread w(window, 'E', 0, p.statusText, p.gauge, p.image, "", p.textF, p.textP);
    const std::string volume = std::string(device::kVolumePathPrefix) + "E:";
    w.hDevice = platform::CreateFileA(volume.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
                                      platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr,
                                      platform::OPEN_EXISTING, 0, nullptr);
    bool ok = w.hDevice != platform::INVALID_HANDLE_VALUE;
    w.ChipCount = device::cmd_GetChipCount(w.hDevice);
    std::uint8_t id[5] = {};
    ok = ok && device::cmd_bGetFlashId(w.hDevice, id);
    w.FlashIdHigh = id[4];
    w.FlashIdLow = (std::uint32_t{id[3]} << 24) | (std::uint32_t{id[2]} << 16) | (std::uint32_t{id[1]} << 8) | id[0];
    const std::string name = w.FindFlashType(w.FlashIdLow, w.FlashIdHigh, w.ChipCount);
    const std::string path = home / ("flash/" + name);
    ok = ok && name != "0" && production::SendFlashTableFile(w.hDevice, path) && w.LoadCfgFile(path);
    w.BlockSize = w.PageSize * w.PagesPerBlock;
    w.BlockStatus.assign(static_cast<std::size_t>(w.ChipCount) * w.BlocksPerChip, 255);
    int percent = 0;
    ok = ok && w.ReadBadBlockBitmap(percent) && w.WriteCfgBlock(true);
    if (w.hDevice != platform::INVALID_HANDLE_VALUE) platform::CloseHandle(w.hDevice);
    return ok;
  }
};

void Report(benchmark::State& state, std::uint64_t commands) {
  const double perSequence = static_cast<double>(commands) / static_cast<double>(state.iterations());
  state.counters["commands"] = perSequence;
  state.counters["per_command"] = benchmark::Counter(
      static_cast<double>(commands), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ConfigSequence_Emulated(benchmark::State& state) {
  Station station;
  auto dev = emulator::EmulatedDevice::Create(emulator::profiles::Large(), station.home / "large");
  dev->Plug('E');
  // The FSM goes to the device at its arrival, before any worker starts.
  const std::string fsm = std::string(STATION_SOURCE_DIR) + "/support/misc/FSM.bin";
  if (!production::DownloadFsmFile('E', static_cast<std::int32_t>(std::filesystem::file_size(fsm)), fsm))
    state.SkipWithError("FSM download failed");
  std::uint64_t commands = 0;
  for (auto _ : state) {
    dev->ClearTrace();
    if (!station.Configure()) state.SkipWithError("configuration failed");
    commands += dev->Trace().size();
  }
  Report(state, commands);
  dev->Unplug();
}
BENCHMARK(BM_ConfigSequence_Emulated)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ConfigSequence_StationOnly(benchmark::State& state) {
  Station station;
  auto target = std::make_shared<InstantTarget>();
  platform::Volumes().Mount('E', target, "");
  for (auto _ : state)
    if (!station.Configure()) state.SkipWithError("configuration failed");
  Report(state, target->requests);
}
BENCHMARK(BM_ConfigSequence_StationOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

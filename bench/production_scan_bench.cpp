// The blanking check and the erase scan on the large emulated flash (65536
// blocks of 64 pages) with waits scaled to 0: the wall time of each scan
// level in block form and as a page scan, the device commands it sends per
// block, and, as the peer, the bare loop of one block test per block through
// the same command path. The station's own cost per command is the scan's
// time per command less the bare loop's.
//
// The progress hand-over (a Synchronize on every fifth block) is measured
// with the scan on the UI thread itself (the hand-over runs inline) and on a
// worker thread while the UI thread drains the Synchronize calls.
#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.h"
#include "emulator/emulated_device.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/scsi/scsi.h"
#include "platform/ui/ui.h"
#include "platform/volumes/volumes.h"
#include "production/product_thread.h"
#include "support/fake_main_window.h"
#include "support/temp_dir.h"

namespace {

using production::ProductThread;

// One large device with its FSM loaded and a worker on it, as the run
// leaves them before the bad-block stage.
struct ScanSetup {
  testing_support::TempDir home{"scan-bench"};
  testing_support::FakeMainWindow window;
  platform::ui::ScopedApplication app;
  platform::ScopedClock clock{std::make_shared<platform::ManualClock>(), 0.0};
  std::shared_ptr<emulator::EmulatedDevice> device;
  std::unique_ptr<ProductThread> worker;
  std::uint32_t blocks = 0;

  ScanSetup() {
    platform::Volumes().Clear();
    platform::SetProgramFolder(home.path);
    device = emulator::EmulatedDevice::Create(emulator::profiles::Large(), home / "device");
    device->Plug('E');
    const std::string fsm = home / "FSM.bin";
    std::ofstream(fsm, std::ios::binary) << std::string(4096, '\x5A');
    production::DownloadFsmFile('E', 4096, fsm);
    window.uiTexts["RealBlankingCheckStr"] = "Blanking Check";
    window.SetSlot(0, 'E');
    auto p = window.SlotControls(0);
    worker = std::make_unique<ProductThread>(window, 'E', 0, p.statusText, p.gauge, p.image, "LABEL", p.textF,
                                             p.textP);
    const auto& profile = device->Profile();
    worker->ChipCount = profile.chipCount;
    worker->BlocksPerChip = static_cast<int>(profile.geometry.blocksPerChip);
    worker->PagesPerBlock = static_cast<int>(profile.geometry.pagesPerBlock);
    worker->EccThreshold = 4;
    worker->hDevice = Open();
    p.gauge->SetMaxValue(400);
    blocks = profile.TotalBlocks();
  }
  ~ScanSetup() {
    platform::CloseHandle(worker->hDevice);
    worker.reset();
    device->Unplug();
    device.reset();
    platform::Volumes().Clear();
    platform::SetProgramFolder("");
  }

  static platform::HANDLE Open() {
    return platform::CreateFileA("\\\\.\\E:", platform::GENERIC_READ | platform::GENERIC_WRITE,
                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr,
                                 platform::OPEN_EXISTING, 0, nullptr);
  }

  std::size_t Commands() const {
    return device->CountVendor(device::SUB_SCSI_OP_BLOCK_TEST) + device->CountVendor(device::SUB_SCSI_OP_ERASE_BLOCK) +
           device->CountVendor(device::SUB_SCSI_OP_SET_PAGE_TABLE);
  }

  // Between iterations: a fresh table and trace (outside the timing).
  void Reset() {
    worker->BlockStatus.assign(blocks, 0);
    device->ClearTrace();
  }
};

void Report(benchmark::State& state, const ScanSetup& s, std::size_t commands) {
  state.counters["commands_per_block"] = static_cast<double>(commands) / s.blocks;
  state.counters["per_command"] =
      benchmark::Counter(static_cast<double>(commands) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Times `scan` on a fresh table and trace per iteration.
template <class Scan>
void Measure(benchmark::State& state, ScanSetup& s, Scan scan) {
  std::size_t commands = 0;
  for (auto _ : state) {
    state.PauseTiming();
    s.Reset();
    state.ResumeTiming();
    if (!scan()) state.SkipWithError(s.worker->StatusText->Caption().c_str());
    state.PauseTiming();
    commands = s.Commands();
    state.ResumeTiming();
  }
  Report(state, s, commands);
}

// Arguments: scan level, page scan (mode 2, even pages).
void BM_BlankingCheck(benchmark::State& state) {
  ScanSetup s;
  s.window.settings.iScanLevel = static_cast<int>(state.range(0));
  s.window.settings.PageMode = state.range(1) != 0;
  s.window.settings.PageModeSel = 2;
  Measure(state, s, [&] { return s.worker->FlashBlockScan(5, 305); });
}
BENCHMARK(BM_BlankingCheck)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6}, {0, 1}})
    ->ArgNames({"level", "page"})
    ->Unit(benchmark::kMillisecond);

void BM_EraseScan(benchmark::State& state) {
  ScanSetup s;
  Measure(state, s, [&] { return s.worker->EraseScan(5, 305); });
}
BENCHMARK(BM_EraseScan)->Unit(benchmark::kMillisecond);

// The peer: one block test per block in a bare loop, block form or page form.
void BM_BareBlockTests(benchmark::State& state) {
  ScanSetup s;
  const bool perPage = state.range(0) != 0;
  std::vector<std::uint8_t> results(1024);
  for (auto _ : state) {
    state.PauseTiming();
    s.Reset();
    state.ResumeTiming();
    for (std::uint32_t b = 0; b < s.blocks; ++b)
      if (!device::cmd_bBlockTest(s.worker->hDevice, b, 1, b & 0x7FFF, 1, 3, 0, 4, results.data(), perPage ? 1 : 0,
                                  64)) {
        state.SkipWithError("block test failed");
        break;
      }
  }
  Report(state, s, s.blocks);
}
BENCHMARK(BM_BareBlockTests)->ArgName("page")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Level 0 on a worker thread while this (the UI) thread drains the
// Synchronize calls of the progress hand-over.
void BM_Level0WithUiThread(benchmark::State& state) {
  ScanSetup s;
  s.window.settings.iScanLevel = 0;
  Measure(state, s, [&] {
    std::atomic<bool> done{false}, ok{false};
    std::thread scan([&] {
      ok = s.worker->FlashBlockScan(5, 305);
      done = true;
      platform::ui::Application->Post([] {});  // wakes the loop below
    });
    while (!done) platform::ui::Application->HandleMessage();
    scan.join();
    return ok.load();
  });
}
BENCHMARK(BM_Level0WithUiThread)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// Whole production runs on emulated devices with the waits scaled to nothing:
// a level-0 blanking check of the standard device, program, prefer and ISO
// images of 1, 8 and 64 MiB, the format and a copy of 100 files of 1 MiB.
// One run, and eight such runs at once on eight devices. Reported per run:
// the wall time split by stage (from the gauge values that end each stage),
// and the peak resident memory.
#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

#include "support/scenario_station.h"

namespace {

using Clock = std::chrono::steady_clock;

long PeakResidentKiB() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// The station of the bench: its clock never blocks, so the run's waits cost
// nothing; the bench times the run with the steady clock.
struct BenchStation : scenario::Station {
  BenchStation() {
    window.chkBlankCheck.SetChecked(true);
    window.chkISOupgrade.SetChecked(true);
    window.settings.iScanLevel = 0;
    AddFile("program.bin", 1 << 20, 1);
    AddFile("prefer.dat", 8 << 20, 2);
    AddFile("image.iso", 64 << 20, 3);
    for (int i = 0; i < 100; ++i)
      scenario::WriteFile(home / ("files/music/track" + std::to_string(i) + ".mp3"), scenario::Pattern(1 << 20, i));
    AddListEntry(home / "files/music");
  }
};

// When each gauge value was first shown on slot 0, relative to the start.
struct StageClock {
  std::mutex m;
  std::map<int, double> firstSeenMs;
  Clock::time_point start = Clock::now();
  void Seen(int value) {
    std::lock_guard lock(m);
    firstSeenMs.emplace(value, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  double At(int value) {
    std::lock_guard lock(m);
    auto it = firstSeenMs.find(value);
    return it == firstSeenMs.end() ? 0 : it->second;
  }
};

void RunStations(benchmark::State& state, int devices) {
  std::map<std::string, double> stages;
  long peak = 0;
  int passed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    BenchStation station;
    StageClock stageClock;
    for (int slot = 0; slot < devices; ++slot)
      station.Plug(emulator::profiles::Standard(), static_cast<char>('E' + slot));
    // A look queued right behind what a worker queued sees it done.
    platform::ui::TApplication* application = &station.app.app();
    station.app->SetWakeHook([&, application] {
      thread_local bool looking = false;
      if (looking) return;
      looking = true;
      application->Post([&] { stageClock.Seen(station.window.panels[0].gauge.Progress()); });
      looking = false;
    });
    state.ResumeTiming();
    stageClock.start = Clock::now();
    for (int slot = 0; slot < devices; ++slot) station.Arrive(static_cast<char>('E' + slot), slot);
    station.WaitForRuns();
    const double total = std::chrono::duration<double, std::milli>(Clock::now() - stageClock.start).count();
    state.PauseTiming();
    station.app->SetWakeHook({});
    for (int slot = 0; slot < devices; ++slot) passed += station.Status(slot).starts_with("successful");
    // B = 300: the scan ends at 305, the images at 350, the disk starts at
    // 375, the format ends at 380 and the copy at 385.
    stages["scan_ms"] += stageClock.At(305) - stageClock.At(5);
    stages["images_ms"] += stageClock.At(350) - stageClock.At(305);
    stages["startdisk_ms"] += stageClock.At(375) - stageClock.At(350);
    stages["format_ms"] += stageClock.At(380) - stageClock.At(375);
    stages["copy_ms"] += stageClock.At(385) - stageClock.At(380);
    stages["total_ms"] += total;
    peak = std::max(peak, PeakResidentKiB());
    state.ResumeTiming();
  }
  for (auto& [name, ms] : stages) state.counters[name] = ms / static_cast<double>(state.iterations());
  state.counters["peak_rss_MiB"] = static_cast<double>(peak) / 1024;
  state.counters["passed"] = static_cast<double>(passed) / static_cast<double>(state.iterations());
}

void BM_OneNandRun(benchmark::State& state) { RunStations(state, 1); }
void BM_EightNandRunsAtOnce(benchmark::State& state) { RunStations(state, 8); }

BENCHMARK(BM_OneNandRun)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(3);
BENCHMARK(BM_EightNandRunsAtOnce)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(3);

}  // namespace

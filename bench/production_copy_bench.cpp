// The run's file copy onto an emulated 1 GiB disk, against `mcopy -s` of the
// same tree onto a fresh mkfs.fat image and against `dd` of the same bytes;
// and the format of an emulated 8 GiB disk.
//
// Trees (made once per run in a temporary folder):
//   big    200 files of 4 MiB
//   small  1000 small files in 20 folders
//   long   one folder of 3000 files whose long names share their first eight characters
// Each copy starts on a freshly formatted disk (formatting is not timed).
// mcopy of the long-name tree is stopped after 60 s (counter timed_out).
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/commands.h"
#include "emulator/emulated_device.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/process/process.h"
#include "platform/volumes/volumes.h"
#include "production/product_thread.h"
#include "support/fat_oracle.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using testing_support::WritePattern;

namespace {

bool Run(std::vector<std::string> argv, int limitSeconds = 600, bool* timedOut = nullptr) {
  platform::ProcessOptions options;
  options.argv = std::move(argv);
  options.outputFile = "/dev/null";
  options.environment = {"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null"};
  const platform::ProcessResult r = platform::RunProcess(options, platform::PollPolicy{10, limitSeconds * 100, {}});
  if (timedOut) *timedOut = r.status == platform::ProcessStatus::TimedOut;
  return r.status == platform::ProcessStatus::Exited && r.exitCode == 0;
}

std::uint64_t AllocatedBytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
}

struct World {
  testing_support::TempDir tmp{"copy-bench"};
  std::string trees[3];
  std::string concatenated;  // the big tree's bytes in one file, for dd
  std::uint64_t treeBytes[3] = {};
  std::shared_ptr<emulator::EmulatedDevice> disk1G, disk8G;
  std::string theirs;  // the image mcopy and dd write to

  World() {
    platform::SetTimeScale(0);
    platform::SetProgramFolder(tmp.path);
    WritePattern(tmp / "misc/response.txt", 2, 0);
    const std::string names[3] = {"big", "small", "long"};
    for (int t = 0; t < 3; ++t) trees[t] = tmp / names[t];
    {
      std::ofstream all(tmp / "big.all", std::ios::binary);
      for (int i = 0; i < 200; ++i) {
        const fs::path f = fs::path(trees[0]) / ("track" + std::to_string(i) + ".mp3");
        WritePattern(f, 4u << 20, i);
        all << std::ifstream(f, std::ios::binary).rdbuf();
      }
    }
    concatenated = tmp / "big.all";
    for (int d = 0; d < 20; ++d)
      for (int i = 0; i < 50; ++i)
        WritePattern(fs::path(trees[1]) / ("folder" + std::to_string(d)) / ("song" + std::to_string(i) + ".mp3"),
                   1000 + 97 * i, i);
    for (int i = 0; i < 3000; ++i)
      WritePattern(fs::path(trees[2]) / ("SharedPrefix recording number " + std::to_string(i) + ".wma"), 300, i);
    for (int t = 0; t < 3; ++t)
      for (auto& e : fs::recursive_directory_iterator(trees[t]))
        if (e.is_regular_file()) treeBytes[t] += e.file_size();

    disk1G = Started(emulator::DeviceProfile().Named("1g").WithGeometry(2048, 64, 8192), 'E');
    disk8G = Started(emulator::profiles::Large(), 'F');
    theirs = tmp / "theirs.img";
  }

  std::shared_ptr<emulator::EmulatedDevice> Started(emulator::DeviceProfile p, char letter) {
    auto d = emulator::EmulatedDevice::Create(p.WithPreloadedConfig(emulator::FlashTableFor(p)),
                                              fs::path(tmp.path) / std::string(1, letter));
    d->Plug(letter);
    const std::string fsm = std::string(STATION_SOURCE_DIR) + "/support/misc/FSM.bin";
    production::DownloadFsmFile(letter, static_cast<std::int32_t>(fs::file_size(fsm)), fsm);
    const std::string volume = std::string(device::kVolumePathPrefix) + letter + ":";
    platform::HANDLE h = platform::CreateFileA(volume.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
                                               platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr,
                                               platform::OPEN_EXISTING, 0, nullptr);
    const std::string program = tmp / "program.bin";
    WritePattern(program, 4096, 1);
    production::WriteSetup(h, program);
    production::WriteImageData(h, program, 0);
    production::WriteEnd(h);
    production::StartDisk(h);
    platform::CloseHandle(h);
    return d;
  }

  // A fresh FAT volume of the emulated disk's size for mcopy and dd.
  void FreshTheirs() {
    std::ofstream(theirs, std::ios::trunc).close();
    fs::resize_file(theirs, fs::file_size(disk1G->VisibleDiskPath()));
    Run({"mkfs.fat", "-F", "32", theirs});
  }
};

World& W() {
  static World world;
  return world;
}

void Report(benchmark::State& state, int tree) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * W().treeBytes[tree]));
}

// The run's file copy stage (the tree as one list entry) onto the emulated disk.
void BM_CopyStage(benchmark::State& state) {
  const int tree = static_cast<int>(state.range(0));
  W();  // the trees and the emulated disks, made once
  for (auto _ : state) {
    state.PauseTiming();
    const bool formatted = production::FormatDrive('E', true, production::GetFatFlag('E'), "");
    state.ResumeTiming();
    if (!formatted) {
      state.SkipWithError("format failed");
      break;
    }
    if (!production::CopyFileListToDrive('E', {W().trees[tree]}, {}, true)) {
      state.SkipWithError(production::LastCopyError().c_str());
      break;
    }
  }
  Report(state, tree);
}

void BM_Mcopy(benchmark::State& state) {
  const int tree = static_cast<int>(state.range(0));
  bool timedOut = false;
  for (auto _ : state) {
    state.PauseTiming();
    W().FreshTheirs();
    state.ResumeTiming();
    if (!Run({"mcopy", "-s", "-i", W().theirs, W().trees[tree], "::/"}, 60, &timedOut) && !timedOut)
      state.SkipWithError("mcopy failed");
  }
  state.counters["timed_out"] = timedOut ? 1 : 0;
  Report(state, tree);
}

// The big tree's bytes written with dd in one stream: the floor for (a).
void BM_DdSameBytes(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    W().FreshTheirs();
    state.ResumeTiming();
    if (!Run({"dd", "if=" + W().concatenated, "of=" + W().theirs, "bs=4M", "seek=4", "conv=notrunc"}))
      state.SkipWithError("dd failed");
  }
  Report(state, 0);
}

void BM_Format8GiB(benchmark::State& state) {
  W();
  for (auto _ : state)
    if (!production::FormatDrive('F', true, production::GetFatFlag('F'), "")) state.SkipWithError("format failed");
  state.counters["allocated_MiB"] = static_cast<double>(AllocatedBytes(W().disk8G->VisibleDiskPath())) / (1 << 20);
  state.counters["fat_flag"] = production::GetFatFlag('F');
}

}  // namespace

BENCHMARK(BM_CopyStage)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_Mcopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_Mcopy)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(1);
BENCHMARK(BM_DdSameBytes)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);
BENCHMARK(BM_Format8GiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1)->Repetitions(3);

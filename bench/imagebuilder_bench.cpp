// The image builder against mkfs.fat + mcopy on the same seeded tree.
//
// The tree (made once per run in a temporary folder): two large files, 20
// folders of 1000 small files, and one folder of 3000 files whose long names
// share their first eight characters. Our build writes both slots (512- and
// 1024-byte sectors) of one container; the comparison runs `mkfs.fat -C` of
// the same geometry followed by `mcopy -s` of the same tree, once per slot.
// Reported: wall time, peak resident memory (ours: the process's high-water
// mark during the build; theirs: the largest child), and the data written.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_smoke.h"
#include "imagebuilder/image_builder.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kVolumeMiB = 256;

struct Tree {
  std::string root;
  std::uint64_t dataBytes = 0;
  std::uint64_t longNameBytes = 0;
  Tree() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/imagebuilder-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    std::mt19937 random(20240611);
    auto write = [&](const std::string& path, std::size_t size) {
      fs::create_directories(fs::path(path).parent_path());
      std::string bytes(size, '\0');
      for (std::size_t i = 0; i < size; i += 4) {
        const std::uint32_t v = random();
        std::memcpy(bytes.data() + i, &v, std::min<std::size_t>(4, size - i));
      }
      std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
      dataBytes += size;
    };
    // A smoke run (CI) only proves the benchmark works: a tree of a few files.
    const bool smoke = BenchSmoke();
    write(root + "/tree/large/Concert recording side A.wav", smoke ? 1u << 20 : 24u << 20);
    write(root + "/tree/large/Concert recording side B.wav", smoke ? 1u << 20 : 24u << 20);
    std::uniform_int_distribution<std::size_t> small(1, 4096);
    const int folders = smoke ? 2 : 20, filesPerFolder = smoke ? 10 : 1000, longNames = smoke ? 30 : 3000;
    for (int d = 1; d <= folders; ++d) {
      char folder[64];
      std::snprintf(folder, sizeof folder, "/tree/small/Album %02d", d);
      for (int f = 0; f < filesPerFolder; ++f) {
        char name[96];
        std::snprintf(name, sizeof name, "/Track %04d - short clip.mp3", f);
        write(root + folder + name, small(random));
      }
    }
    std::uniform_int_distribution<std::size_t> tiny(0, 512);
    const std::uint64_t before = dataBytes;
    for (int f = 0; f < longNames; ++f) {
      char name[128];
      std::snprintf(name, sizeof name, "/tree/longnames/Playlist entry with a long name number %04d.txt", f);
      write(root + name, tiny(random));
    }
    longNameBytes = dataBytes - before;
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::vector<std::string> Entries() const {
    return {root + "/tree/large", root + "/tree/small", root + "/tree/longnames"};
  }
};

const Tree& TheTree() {
  static Tree tree;
  return tree;
}

// Resets the process's peak resident size so that VmHWM covers only what follows.
void ResetPeakRss() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY);
  if (fd >= 0) {
    (void)!::write(fd, "5", 1);
    ::close(fd);
  }
}

double PeakRssMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  return 0;
}

// mcopy takes minutes for folders of many similar names; each command gets
// this many seconds (IMAGEBUILDER_BENCH_LIMIT_S, default 120) and is then
// stopped, its time counting as a lower bound.
double CommandLimitSeconds() {
  const char* text = std::getenv("IMAGEBUILDER_BENCH_LIMIT_S");
  const double limit = text != nullptr ? std::atof(text) : 0;
  return limit > 0 ? limit : 120;
}

// Runs a command line without a shell; its exit code and peak resident size.
struct ChildRun {
  int exitCode = -1;
  double peakMiB = 0;
  bool stopped = false;  // over the time limit
};
ChildRun RunChild(const std::vector<std::string>& argv) {
  ChildRun run;
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open("/dev/null", O_WRONLY);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  if (pid < 0) return run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(CommandLimitSeconds());
  int status = 0;
  struct rusage usage {};
  for (;;) {
    const pid_t done = ::wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0) return run;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);  // our own child only
      ::wait4(pid, &status, 0, &usage);
      run.stopped = true;
      break;
    }
    ::usleep(20000);
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  return run;
}

void OurBuild(benchmark::State& state, bool longNamesOnly) {
  const Tree& tree = TheTree();
  const std::string out = tree.root + "/ours.IMG";
  imagebuilder::ImageBuildRequest request;
  request.entries = longNamesOnly ? std::vector<std::string>{tree.root + "/tree/longnames"} : tree.Entries();
  request.sizeMiB = kVolumeMiB;
  request.label = "BENCH";
  request.outputPath = out;
  double peak = 0;
  for (auto _ : state) {
    imagebuilder::ImageBuilder builder;
    ResetPeakRss();
    const double before = PeakRssMiB();
    const imagebuilder::ImageBuildResult result = builder.ImageBuildFile(request);
    peak = PeakRssMiB();
    if (!result.ok) state.SkipWithError(result.message.c_str());
    state.counters["rss_before_MiB"] = before;
  }
  state.counters["peak_rss_MiB"] = peak;
  state.counters["data_MiB"] = static_cast<double>(longNamesOnly ? tree.longNameBytes : tree.dataBytes) / (1 << 20);
  state.counters["container_MiB"] = static_cast<double>(fs::file_size(out)) / (1 << 20);
  fs::remove(out);
}

void TheirBuild(benchmark::State& state, bool longNamesOnly) {
  const Tree& tree = TheTree();
  double peak = 0;
  int stopped = 0;
  for (auto _ : state) {
    for (const std::uint32_t sectorSize : {512u, 1024u}) {
      const std::string volume = tree.root + "/theirs" + std::to_string(sectorSize) + ".img";
      fs::remove(volume);
      // The geometry our writer gives this size.
      const auto layout = imagebuilder::FatComputeLayout(sectorSize, (std::uint64_t{kVolumeMiB} << 20) / sectorSize);
      const ChildRun mkfs = RunChild({"mkfs.fat", "-C", "-a", "-F", layout->fatType == imagebuilder::kFat32 ? "32" : "16",
                                      "-S", std::to_string(sectorSize), "-s", std::to_string(layout->sectorsPerCluster),
                                      "-f", "2", "-R", std::to_string(layout->reservedSectors), "-n", "BENCH", volume,
                                      std::to_string(kVolumeMiB * 1024)});
      std::vector<std::string> copy = {"mcopy", "-s", "-i", volume};
      for (const std::string& e : longNamesOnly ? std::vector<std::string>{tree.root + "/tree/longnames"}
                                                : tree.Entries())
        copy.push_back(e);
      copy.push_back("::/");
      const ChildRun mcopy = RunChild(copy);
      stopped += mkfs.stopped + mcopy.stopped;
      if (mkfs.exitCode != 0 || (!mcopy.stopped && mcopy.exitCode != 0)) state.SkipWithError("mkfs.fat or mcopy failed");
      peak = std::max({peak, mkfs.peakMiB, mcopy.peakMiB});
    }
  }
  state.counters["peak_rss_MiB"] = peak;
  state.counters["stopped_at_limit"] = stopped;  // > 0: the time shown is a lower bound
  for (const std::uint32_t sectorSize : {512u, 1024u})
    fs::remove(tree.root + "/theirs" + std::to_string(sectorSize) + ".img");
}

void BM_OursTwoSlots(benchmark::State& state) { OurBuild(state, false); }
void BM_MkfsMcopyTwoVolumes(benchmark::State& state) { TheirBuild(state, false); }
void BM_OursLongNameFolderTwoSlots(benchmark::State& state) { OurBuild(state, true); }
void BM_MkfsMcopyLongNameFolderTwoVolumes(benchmark::State& state) { TheirBuild(state, true); }

BENCHMARK(BM_OursTwoSlots)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
// mcopy needs minutes for folders of many similar names: one repetition.
BENCHMARK(BM_MkfsMcopyTwoVolumes)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OursLongNameFolderTwoSlots)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MkfsMcopyLongNameFolderTwoVolumes)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

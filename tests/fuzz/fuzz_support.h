// What the fuzz targets share: the input read as a stream, a program folder on
// a RAM disk, a device whose every answer comes from the input, and the
// command line's paths made absolute before the station moves the current
// folder to its program folder.
//
// Device answers in the input, one per request, in request order:
//   a control byte: the request is carried out unless its two top bits are set;
//   for a request that reads (data in): a count n below 255, then n bytes,
//   repeated over the whole data area (n = 0 leaves zeros); or 255, a 16-bit
//   little-endian count, then that many bytes, taken the same way.
// Past the end of the input every request fails.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "console/main_window.h"
#include "console/startup.h"
#include "console/ui_strings.h"
#include "platform/instance/instance.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/scsi/scsi.h"
#include "production/product_thread.h"
#include "support/fake_main_window.h"

namespace fuzz {

namespace fs = std::filesystem;

// A rule the target checks; broken, it ends the process as a crash, so that
// libFuzzer keeps the input.
#define FUZZ_REQUIRE(rule) ((rule) ? void() : fuzz::Broken(#rule, __FILE__, __LINE__))
[[noreturn]] inline void Broken(const char* rule, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: rule broken: %s\n", file, line, rule);
  std::abort();
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
  std::uint32_t Le32() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t{Byte()} << (8 * i);
    return v;
  }
  std::string Bytes(std::size_t n) {
    n = std::min(n, size_ - std::min(at_, size_));
    std::string s(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return s;
  }
  std::string Rest() { return Bytes(size_); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The program folder of this process (with a trailing '/'), made once: a copy
// of support/ (misc/, flash/, samples/), log/, the registry store. On /dev/shm,
// where settings files cost no disk flush; folders that processes no longer
// alive left there (after a crash) are removed first.
inline const std::string& Home() {
  static const std::string home = [] {
    const fs::path base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    const std::string prefix = "station-fuzz-";
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(base, ec)) {
      const std::string name = e.path().filename().string();
      if (name.rfind(prefix, 0) == 0 && ::kill(std::atoi(name.c_str() + prefix.size()), 0) != 0)
        fs::remove_all(e.path(), ec);
    }
    const fs::path dir = base / (prefix + std::to_string(::getpid()));
    fs::remove_all(dir, ec);
    fs::create_directories(dir / "log");
    fs::copy(fs::path(STATION_SOURCE_DIR) / "support", dir, fs::copy_options::recursive);
    platform::SetProgramFolder(dir.string());
    platform::SetRegistryFile((dir / "registry.ini").string());
    std::atexit([] { fs::remove_all(platform::ProgramFolder()); });
    return platform::ProgramFolder();
  }();
  return home;
}

// The station's five windows, made once in the program folder (which becomes
// the current folder, as the main window's showing makes it), on this thread
// as the UI thread; message boxes answered with their defaults.
inline console::TForm1& Station() {
  static platform::ui::ScopedApplication* app = nullptr;
  if (!app) {
    platform::SetInstanceLockFolder(Home());
    platform::SetCurrentDir(Home());
    console::InitUiStrings();
    app = new platform::ui::ScopedApplication;
    console::CreateForms();
  }
  app->dialogs().Clear();
  return *console::Form1;
}

// The production engine's side: a stand-in main window on this thread as the
// UI thread, and a worker of its slot 0 (drive E) whose device is `target`.
// The worker runs its stages on this thread when called; Run runs all.
inline testing_support::FakeMainWindow& Window() {
  static platform::ui::ScopedApplication* app = (Home(), new platform::ui::ScopedApplication);
  static platform::ScopedClock clock{std::make_shared<platform::ManualClock>(), 0.0};  // waits take no time
  static testing_support::FakeMainWindow window;
  app->dialogs().Clear();
  if (window.SlotDriveLetter(0) != 'E') window.SetSlot(0, 'E');
  return window;
}
struct Worker : production::ProductThread {
  explicit Worker(std::shared_ptr<platform::ScsiTarget> target,
                  production::SlotPanel p = fuzz::Window().SlotControls(0))
      : ProductThread(fuzz::Window(), 'E', 0, p.statusText, p.gauge, p.image, "", p.textF, p.textP) {
    if (target) hDevice = platform::OpenTargetHandle(std::move(target));
  }
  ~Worker() override { CloseDeviceHandle(); }
  void Run() { Execute(); }
};

// Answers from the input. What the device took part in is kept: the data of
// every request carried out, sent (data out) or answered (data in), up to
// 16 MiB (a scan of a large flash reads far more).
class InputTarget : public platform::ScsiTarget {
 public:
  explicit InputTarget(Input& input) : input_(input) {}
  bool Execute(const platform::ScsiRequest& request) override {
    if (input_.Empty()) return false;
    const bool carriedOut = (input_.Byte() & 0xC0) != 0xC0;
    if (request.direction == platform::ScsiDirection::In && request.data) {
      std::size_t n = input_.Byte();
      if (n == 255) n = input_.Byte() | input_.Byte() << 8;
      const std::string bytes = input_.Bytes(n);
      for (std::uint32_t i = 0; i < request.length; ++i)
        request.data[i] = bytes.empty() ? 0 : static_cast<std::uint8_t>(bytes[i % bytes.size()]);
    }
    if (carriedOut && request.data && (kept_ += request.length) <= (16u << 20))
      (request.direction == platform::ScsiDirection::In ? answered : sent)
          .emplace_back(reinterpret_cast<const char*>(request.data), request.length);
    return carriedOut;
  }
  std::vector<std::string> answered;
  std::vector<std::string> sent;

 private:
  Input& input_;
  std::size_t kept_ = 0;
};

// Run once before the first input, for a target that prepares more than the
// shared fixtures do: `const fuzz::AtStart start([] { ... });` in the target.
inline std::function<void()>& StartHook() {
  static std::function<void()> hook;
  return hook;
}
struct AtStart {
  explicit AtStart(std::function<void()> hook) { StartHook() = std::move(hook); }
};

// The station makes its program folder the current folder (as its main window
// does), so libFuzzer would look for relative inputs, and write its crash
// files, there. Every path on the command line is made absolute first, and
// crash files go to the folder the target was started in unless a prefix is
// given.
inline void AbsolutePaths(int* argc, char*** argv) {
  static std::vector<std::string> args;
  static std::vector<char*> pointers;
  const std::string here = fs::current_path().string() + "/";
  auto absolute = [&](std::string_view path) {
    return path.empty() || path.front() == '/' ? std::string(path) : here + std::string(path);
  };
  static constexpr std::string_view kPathFlags[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict=",
                                                    "-features_dir=", "-merge_control_file=", "-data_flow_trace="};
  bool prefixed = false;
  args.assign(*argv, *argv + *argc);
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::string& arg = args[i];
    if (arg.empty() || arg.front() != '-') {
      arg = absolute(arg);
      continue;
    }
    for (std::string_view flag : kPathFlags)
      if (arg.starts_with(flag)) arg = std::string(flag) + absolute(std::string_view(arg).substr(flag.size()));
    prefixed = prefixed || arg.starts_with("-artifact_prefix=");
  }
  if (!prefixed) args.push_back("-artifact_prefix=" + here);
  pointers.clear();
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  *argc = static_cast<int>(args.size());
  *argv = pointers.data();
}

}  // namespace fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  fuzz::AbsolutePaths(argc, argv);
  if (fuzz::StartHook()) fuzz::StartHook()();
  return 0;
}

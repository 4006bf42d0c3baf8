#include "console/station_run.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "console/main_window.h"
#include "console/startup.h"
#include "console/ui_strings.h"
#include "platform/clock/clock.h"
#include "platform/devices/device_events.h"
#include "platform/devices/udev_monitor.h"
#include "platform/paths/paths.h"
#include "platform/ui/ui.h"

namespace console {

using platform::ui::TColor;

const std::vector<std::string>& DefaultEmulatedProfiles() {
  static const std::vector<std::string> profiles = {"standard", "two-chip", "small-disk", "weak-pages"};
  return profiles;
}

namespace {

// A count: digits only (a large one is capped above the limit).
bool ParseCount(const std::string& text, int& count) {
  if (text.empty()) return false;
  count = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    count = std::min(count * 10 + (c - '0'), 1000);
  }
  return true;
}

bool ParseScale(const std::string& text, double& scale) {
  char* end = nullptr;
  scale = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == '\0' && scale >= 0 && scale <= 1000;
}

}  // namespace

bool ParseStationOptions(int argc, const char* const* argv, StationOptions& options, std::string& error) {
  // Devices the bus can give letters to: D..Z.
  constexpr int kMostDevices = 23;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name, std::string& out) {
      const std::string prefix = std::string(name) + "=";
      if (arg.rfind(prefix, 0) == 0) {
        out = arg.substr(prefix.size());
        return true;
      }
      if (i + 1 >= argc) {
        error = std::string(name) + " needs a value after it";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto is = [&](const char* name) { return arg == name || arg.rfind(std::string(name) + "=", 0) == 0; };
    std::string text;
    if (is("--home")) {
      if (arg == "--home") ++i;  // checked and applied with the program folder
    } else if (is("--emulate")) {
      if (!value("--emulate", text)) return false;
      options.emulate.clear();
      int count = 0;
      if (ParseCount(text, count)) {
        if (count < 1) {
          error = "--emulate: at least one device";
          return false;
        }
        if (count > kMostDevices) {
          error = "--emulate: at most " + std::to_string(kMostDevices) + " devices";
          return false;
        }
        const auto& cycle = DefaultEmulatedProfiles();
        for (int n = 0; n < count; ++n) options.emulate.push_back(cycle[static_cast<std::size_t>(n) % cycle.size()]);
      } else {
        std::size_t start = 0;
        while (start <= text.size()) {
          const std::size_t comma = text.find(',', start);
          const std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
          if (name.empty()) {
            error = "--emulate: \"" + text + "\" is no count and no list of profiles";
            return false;
          }
          options.emulate.push_back(name);
          if (comma == std::string::npos) break;
          start = comma + 1;
        }
        if (static_cast<int>(options.emulate.size()) > kMostDevices) {
          error = "--emulate: at most " + std::to_string(kMostDevices) + " devices";
          return false;
        }
      }
    } else if (is("--time-scale")) {
      if (!value("--time-scale", text)) return false;
      double scale = 0;
      if (!ParseScale(text, scale)) {
        error = "--time-scale: \"" + text + "\" is not a factor from 0 to 1000";
        return false;
      }
      options.timeScale = scale;
    } else if (arg == "--exit-when-done") {
      options.exitWhenDone = true;
    } else if (arg == "--check-options") {
      options.checkOnly = true;
    } else {
      error = "unknown option \"" + arg + "\"";
      return false;
    }
  }
  return true;
}

std::string ColourName(TColor colour) {
  switch (colour) {
    case platform::ui::clWindowText: return "normal";
    case platform::ui::clRed: return "red";
    case platform::ui::clBlue: return "blue";
    default: {
      char text[16];
      std::snprintf(text, sizeof text, "0x%06X", static_cast<unsigned>(colour));
      return text;
    }
  }
}

std::string StatusLine(int slot, const std::string& time, const std::string& text, TColor colour) {
  return "Dev " + std::to_string(slot) + " " + time + "  " + text + "  (" + ColourName(colour) + ")";
}

// ---- headless output ----

namespace {

std::string WallTime() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms));
  return text;
}

void PrintLine(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

SlotStatusPrinter::SlotStatusPrinter(std::function<void(const std::string&)> print) : print_(std::move(print)) {}

SlotStatusPrinter::~SlotStatusPrinter() { Stop(); }

void SlotStatusPrinter::Start() {
  Poll();  // the texts as the window starts out are no change
  stop_ = false;
  thread_ = std::thread([this] {
    while (!stop_) {
      Poll();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
}

void SlotStatusPrinter::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  Poll();  // the last texts
}

void SlotStatusPrinter::Poll() {
  if (!Form1) return;
  for (int k = 0; k < kSlotCount; ++k) {
    TStaticText* status = Form1->SlotControls(k).statusText;
    if (!status) continue;
    Seen& seen = seen_[k];
    const std::uint64_t revision = status->Revision();
    if (revision == seen.revision) continue;
    const bool first = seen.revision == ~std::uint64_t{0};
    seen.revision = revision;
    std::string text = status->Caption();
    const TColor colour = status->FontColor();
    if (text == seen.text && colour == seen.colour) continue;
    seen.text = text;
    seen.colour = colour;
    if (!first && !text.empty()) print_(StatusLine(k + 1, WallTime(), text, colour));
  }
}

// ---- the program ----

namespace {

// SIGINT, SIGTERM and SIGHUP (the terminal closed) are taken from every
// thread (the workers started later inherit the mask) and waited for by a
// thread of their own, which asks the UI thread to close the main window.
// SIGUSR1 to that thread ends it. Output that nobody reads any more (a pipe
// whose reader went with the terminal) must not end the station either:
// SIGPIPE is ignored, and the write fails instead.
class CloseOnSignals {
 public:
  CloseOnSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    sigaddset(&set_, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    thread_ = std::thread([this] { Wait(); });
  }
  ~CloseOnSignals() {
    done_ = true;
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  CloseOnSignals(const CloseOnSignals&) = delete;
  CloseOnSignals& operator=(const CloseOnSignals&) = delete;

  // From now on a signal ends the process at once with `status`: for a
  // station that saves nothing and holds no device, whose only window is a
  // box waiting for the operator.
  void EndAtOnceWith(int status) { endStatus_ = status; }

 private:
  void Wait() {
    for (;;) {
      int signal = 0;
      if (sigwait(&set_, &signal) != 0) continue;
      if (done_) return;
      if (signal == SIGUSR1) continue;
      PrintLine("Closing the station (signal " + std::to_string(signal) + ")");
      if (endStatus_ >= 0) std::_Exit(endStatus_);
      Application->Post([] {
        if (Form1) Form1->Close();
      });
    }
  }

  sigset_t set_;
  sigset_t previous_;
  std::atomic<bool> done_{false};
  std::atomic<int> endStatus_{-1};
  std::thread thread_;
};

// Closes the main window once the bus has plugged every device and no run is
// left. The test runs on the UI thread, behind the device messages queued
// before it; it must pass twice in a row, the second time queued after the
// first ran, so that a device message that a re-enumeration queued during the
// first one is handled before the station is called done.
class CloseWhenDone {
 public:
  explicit CloseWhenDone(const DeviceBus& bus) : bus_(bus) {
    thread_ = std::thread([this] { Watch(); });
  }
  ~CloseWhenDone() {
    stop_ = true;
    thread_.join();
  }
  CloseWhenDone(const CloseWhenDone&) = delete;
  CloseWhenDone& operator=(const CloseWhenDone&) = delete;

 private:
  void Watch() {
    int passes = 0;
    while (!stop_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (!bus_.Settled()) {
        passes = 0;
        continue;
      }
      auto verdict = std::make_shared<std::atomic<int>>(-1);
      const DeviceBus* bus = &bus_;
      Application->Post([verdict, bus] { *verdict = bus->Settled() && Application->LiveThreadCount() == 0 ? 1 : 0; });
      while (*verdict < 0 && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      passes = *verdict == 1 ? passes + 1 : 0;
      if (passes == 2) {
        PrintLine("Every device handled; closing the station");
        Application->Post([] {
          if (Form1) Form1->Close();
        });
        return;
      }
    }
  }

  const DeviceBus& bus_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

int StationMain(int argc, const char* const* argv, const DeviceBusFactory& makeBus) {
  std::string error;
  StationOptions options;
  if (!ParseStationOptions(argc, argv, options, error) ||
      platform::ApplyHomeOption(argc, argv, error) == platform::HomeOption::Invalid) {
    std::fprintf(stderr, "station: %s\n", error.c_str());
    return 2;
  }
  platform::SetTimeScale(options.timeScale.value_or(options.emulate.empty() ? 1.0 : 0.05));
  std::unique_ptr<DeviceBus> bus;
  if (!options.emulate.empty()) {
    if (makeBus) bus = makeBus(options.emulate, error);
    if (!bus) {
      std::fprintf(stderr, "station: --emulate: %s\n", error.empty() ? "no emulated bus" : error.c_str());
      return 2;
    }
  }
  if (options.checkOnly) return 0;

  CloseOnSignals signals;
  platform::VolumeEventForwarder deviceEvents([](platform::TMessage& message) {
    if (Form1) Form1->Dispatch(message);
  });
  // Real USB disks when no emulated bus is asked for. One that cannot be used
  // is told in a message box (headless: on standard error).
  platform::UdevMonitor usbDisks([](const std::string& text) {
    Application->Post([text] {
      const std::string caption = Form1 ? Form1->MessageText("Warning", Form1->LanguageIndex.load()) : "Warning";
      Application->MessageBox(text, caption, MB_OK | MB_ICONWARNING);
    });
  });
  std::string usbNote;
  if (!bus && !usbDisks.Start(&usbNote)) usbNote = "USB disks are not watched: " + usbNote;
  SlotStatusPrinter printer(PrintLine);
  std::unique_ptr<CloseWhenDone> closer;
  bool ready = false;  // the loop ran

  int exitCode = 0;
  WindowHooks hooks;
  hooks.created = [&] {
    // A second station tells the operator and ends: it makes no devices,
    // prints nothing more and saves nothing.
    if (Form1->EarlierStation) {
      exitCode = kExitAnotherStation;
      signals.EndAtOnceWith(kExitAnotherStation);
      TellEarlierStation(*Form1->EarlierStation);
      return;
    }
    if (bus && !bus->Prepare(error)) {
      std::fprintf(stderr, "station: --emulate: %s\n", error.c_str());
      exitCode = 2;
      Application->Terminate();
      return;
    }
    // Runs once the loop has shown the main window.
    Application->Post([&] {
      ready = true;
      PrintLine("Station ready: program folder " + platform::ProgramFolder() + "; waiting for devices");
      if (!usbNote.empty()) PrintLine(usbNote);
      printer.Start();
      if (bus) {
        bus->Start();
        if (options.exitWhenDone) closer = std::make_unique<CloseWhenDone>(*bus);
      }
    });
  };
  hooks.ended = [&] {
    closer.reset();
    printer.Stop();
    if (!ready) return;
    const RunCounters c = Form1->Counters();
    PrintLine(TotalMsg + ": " + std::to_string(c.total) + "  " + SuccessMsg + ": " + std::to_string(c.passed) +
              "  " + FailMsg + ": " + std::to_string(c.failed));
  };
  WinMain(hooks);
  if (exitCode == 0 && CloseLeftUnsaved()) {
    std::fprintf(stderr, "station: the close could not save every setting and list (each failure was shown)\n");
    exitCode = 1;
  }
  return exitCode;
}

}  // namespace console

// A station for whole production runs as an operator meets them: a program folder of its own
// (misc/, flash/, log/ with the shipped content), the main-window stand-in with
// the English texts, this test's thread as the UI thread running the
// application loop, emulated devices plugged at drive letters and taken into a
// slot the way the device-arrival handling does it (FSM download, then a
// worker constructed suspended and resumed), and readers for what the run
// leaves behind: the slot's panel, the counters, log/1.txt, the device's
// flash, configuration block and disks. Waits run on a clock that never
// blocks and records every wait.
#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "device/commands.h"
#include "emulator/emulated_device.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/scsi/scsi.h"
#include "platform/volumes/volumes.h"
#include "production/product_thread.h"
#include "support/fake_main_window.h"
#include "support/fat_oracle.h"
#include "support/temp_dir.h"

namespace scenario {

using emulator::Bytes;
using emulator::DeviceProfile;
using emulator::EmulatedDevice;
using platform::ui::TColor;

// A clock that never blocks and keeps every wait with the thread that made it.
// A hook, when set, runs at the start of every wait on the waiting thread.
class RecordingClock : public platform::ManualClock {
 public:
  using ManualClock::ManualClock;
  void Sleep(std::uint32_t ms) override {
    std::function<void(std::uint32_t)> hook;
    {
      std::lock_guard lock(m_);
      waits_[std::this_thread::get_id()].push_back(ms);
      hook = hook_;
    }
    if (hook) hook(ms);
    ManualClock::Sleep(ms);
  }
  void SetWaitHook(std::function<void(std::uint32_t ms)> hook) {
    std::lock_guard lock(m_);
    hook_ = std::move(hook);
  }
  // The waits of one thread, in order.
  std::vector<std::uint32_t> WaitsOf(std::thread::id thread) const {
    std::lock_guard lock(m_);
    auto it = waits_.find(thread);
    return it == waits_.end() ? std::vector<std::uint32_t>{} : it->second;
  }

 private:
  mutable std::mutex m_;
  std::map<std::thread::id, std::vector<std::uint32_t>> waits_;
  std::function<void(std::uint32_t)> hook_;
};

// Forwards a device's requests and, at the first request that 'trigger'
// picks, runs 'action' before it (the device is pulled at that moment).
class TriggerTarget : public platform::ScsiTarget {
 public:
  TriggerTarget(std::shared_ptr<platform::ScsiTarget> inner, std::function<bool(const platform::ScsiRequest&)> trigger,
                std::function<void()> action)
      : inner_(std::move(inner)), trigger_(std::move(trigger)), action_(std::move(action)) {}
  bool Execute(const platform::ScsiRequest& request) override {
    bool fire = false;
    {
      std::lock_guard lock(m_);
      if (fired_) ++after_;
      if (!fired_ && trigger_(request)) fire = fired_ = true;
    }
    if (fire) action_();
    return inner_->Execute(request);
  }
  bool Fired() const {
    std::lock_guard lock(m_);
    return fired_;
  }
  // Requests that reached the device after the one that fired.
  int RequestsAfter() const {
    std::lock_guard lock(m_);
    return after_;
  }

 private:
  std::shared_ptr<platform::ScsiTarget> inner_;
  std::function<bool(const platform::ScsiRequest&)> trigger_;
  std::function<void()> action_;
  mutable std::mutex m_;
  bool fired_ = false;
  int after_ = 0;
};

// Picks a vendor request by its sub-opcode, or a standard one by its opcode.
inline std::function<bool(const platform::ScsiRequest&)> Vendor(std::uint8_t sub) {
  return [sub](const platform::ScsiRequest& r) { return (r.cdb[0] == 0xEF || r.cdb[0] == 0xEE) && r.cdb[1] == sub; };
}

// The English texts of the strings the run shows.
inline std::map<std::string, std::string, std::less<>> EnglishTexts() {
  return {{"FormatStr", "Format"},
          {"FILEWriteStr", "FILE Writing"},
          {"BadBlockStr", "Bad Block Check"},
          {"RealBlankingCheckStr", "Blanking Check"},
          {"ProgramWriteSetupStr", "Program Write Setup"},
          {"ProgramWriteEndStr", "Program Write End"},
          {"ProgramWriteStr", "Program Writing"},
          {"ProgramWriteRetryStr", "Program Writing Retry"},
          {"PreferWriteRetryStr", "Prefer Writing Retry"},
          {"PreferWriteSetupStr", "Prefer Write Setup"},
          {"PreferWriteEndStr", "Prefer Write End"},
          {"PreferWriteStr", "Prefer Writing"},
          {"TelbookWriteSetupStr", "Telbook Write Setup"},
          {"TelbookWriteEndStr", "Telbook Write End"},
          {"TelbookWriteStr", "Telbook Writing"},
          {"ISOWriteSetupStr", "ISO Write Setup"},
          {"ISOWriteEndStr", "ISO Write End"},
          {"ISOWriteStr", "ISO Writing"},
          {"PassWriteSetupStr", "PASS Write Setup"},
          {"PassWriteEndStr", "PASS Write End"},
          {"PassWriteStr", "PASS Write Setup"},
          {"SuccessMsg", "successful"},
          {"FailMsg", "fail"},
          {"WaitDeviceMsg", "Waiting device..."},
          {"CopyFileMsg", "Copy Files"},
          {"FSMWrite", "FSM Writing"},
          {"SystemAreaSizeStr", "System Area Size"},
          {"SetLabelStr", "Set Volume Label"},
          {"FlashCheckStr", "Flash Check"},
          {"FwParityCheckStr", "FW Parity Check"},
          {"SDKBidErrorStr", "SDK bonding ID check fail"},
          {"ChipBidErrorStr", "Chip bonding ID check fail"},
          {"SDKBidNoMatchStr", "SDK bonding ID not match"},
          {"BadBlockWarningStr", "Please do blanking check"},
          {"ChangeDiskStr", "Change to Hidden disk"},
          {"HiddenDiskStr", "Hidden disk"}};
}

// The standard device without its random bad blocks and noisy pages, so that
// every run of a test sees the same flash.
inline DeviceProfile CleanStandard() {
  DeviceProfile p = emulator::profiles::Standard();
  p.factoryBadRate = 0;
  p.noisyPageRate = 0;
  return p;
}

// Bytes of a test file: a pattern that differs from file to file.
inline std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return bytes;
}

// The result line of a pass: "<bad>/<blocks>, <size>MB, <seconds>Sec" after a
// scan, else "<size>MB, <seconds>Sec" (bad and blocks stay -1).
struct ResultLine {
  long long bad = -1, blocks = -1, mb = -1, seconds = -1;
};
inline std::optional<ResultLine> ParseResultLine(const std::string& line) {
  ResultLine r;
  char unit[16] = {};
  int end = 0;
  const int size = static_cast<int>(line.size());
  if (std::sscanf(line.c_str(), "%lld/%lld, %lldMB, %lld%15[^ ]%n", &r.bad, &r.blocks, &r.mb, &r.seconds, unit,
                  &end) == 5 &&
      end == size && std::string(unit) == "Sec")
    return r;
  r = {};
  end = 0;
  if (std::sscanf(line.c_str(), "%lldMB, %lld%15[^ ]%n", &r.mb, &r.seconds, unit, &end) == 3 && end == size &&
      std::string(unit) == "Sec")
    return r;
  return std::nullopt;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

class Station {
 public:
  testing_support::TempDir home{"scenario"};
  testing_support::FakeMainWindow window;
  platform::ui::ScopedApplication app;
  std::shared_ptr<RecordingClock> clock = std::make_shared<RecordingClock>();
  platform::ScopedClock scopedClock{clock, 0.0};
  std::vector<std::shared_ptr<EmulatedDevice>> devices;
  std::atomic<int> running{0};
  std::atomic<int> finished{0};
  std::map<int, std::thread::id> workerThreads;  // slot -> the thread of its last worker
  std::size_t handlesAtStart = platform::OpenHandleCount();

  Station() {
    ::setenv("MTOOLS_SKIP_CHECK", "1", 1);
    platform::Volumes().Clear();
    platform::SetProgramFolder(home.path);
    platform::SetRegistryFile(home / "registry.ini");
    std::filesystem::copy(std::string(STATION_BINARY_DIR) + "/station-home", home.path,
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    std::filesystem::create_directories(home / "log");
    if (!std::filesystem::exists(home / "misc/success.bmp")) WriteFile(home / "misc/success.bmp", "BMsuccess");
    if (!std::filesystem::exists(home / "misc/fail.bmp")) WriteFile(home / "misc/fail.bmp", "BMfail");
    window.uiTexts = EnglishTexts();
    window.settings.AllowErrorRate = 2;
    window.settings.iEccLevel = 2;
    window.settings.iBadThreshold = 100;
    window.inspection.FirmwareId = 0xFF;
    window.chkFwUpgrade.SetChecked(true);
    window.LabelEdit.SetText("STATION");
    for (auto& p : window.panels) p.status.SetCaption("Waiting device...");
    // Something was queued for the UI thread (a worker's progress, say): a
    // sample queued right behind it reads the panels once it has run, before
    // the same worker can queue anything else.
    platform::ui::TApplication* application = &app.app();
    app->SetWakeHook([this, application] {
      thread_local bool sampling = false;
      if (sampling) return;
      std::lock_guard lock(samplingMutex_);
      if (!sampling_) return;
      sampling = true;
      application->Post([this] { RecordGauges(); });
      sampling = false;
    });
  }

  ~Station() {
    WaitForRuns();
    clock->SetWaitHook({});
    {
      std::lock_guard lock(samplingMutex_);
      sampling_ = false;  // a thread's last wake-up may still come in
    }
    devices.clear();
    platform::Volumes().Clear();
    platform::SetProgramFolder("");
    platform::SetRegistryFile("");
  }

  // ---- the operator's files ----

  // Writes a file of the pre-copy list (or a folder's file when `name`
  // holds a '/') under files/ and adds it to the list, classified by name.
  std::string AddFile(const std::string& name, std::size_t size, unsigned seed = 1) {
    const std::string path = home / ("files/" + name);
    WriteFile(path, Pattern(size, seed));
    AddListEntry(path);
    return path;
  }
  void AddListEntry(const std::string& path) {
    const int index = window.TntSelectFileList2.Items.Count();
    window.TntSelectFileList2.Items.Add(path);
    const std::string name = std::filesystem::path(path).filename().string();
    const int size = std::filesystem::is_regular_file(path) ? static_cast<int>(std::filesystem::file_size(path)) : 0;
    auto& in = window.inspection;
    if (name == "prefer.dat") {
      in.iPreferIndex = index, in.iPreferSize = size;
    } else if (name == "telbook.dat") {
      in.iTelbookIndex = index, in.iTelbookSize = size;
    } else if (name == "image.iso") {
      in.iIsoIndex = index, in.iIsoSize = size;
    } else if (name.ends_with("_new.bin")) {
      in.iNewProgramIndex = index;
    } else if (name.ends_with(".bin") && in.iProgramIndex < 0) {
      in.iProgramIndex = index, in.iProgramSize = size;
    }
  }
  // The usual firmware: a program image and the prefer data.
  void StandardFirmware(std::size_t programSize = 100000) {
    AddFile("program.bin", programSize, 1);
    AddFile("prefer.dat", 8192, 2);
  }

  // ---- devices ----

  std::shared_ptr<EmulatedDevice> Plug(const DeviceProfile& profile, char letter) {
    auto d = EmulatedDevice::Create(profile, home / ("dev-" + std::string(1, letter)));
    if (d->Plug(letter) != letter) throw std::runtime_error("the emulated device could not be plugged");
    devices.push_back(d);
    return d;
  }

  // Arrival of `letter` into `slot` (UI thread): the slot takes the letter,
  // the FSM goes to the device, the worker is made and started.
  bool Arrive(char letter, int slot, bool takeSlot = true) {
    if (takeSlot) window.SetSlot(slot, letter);
    auto& p = window.panels[slot];
    p.gauge.SetVisible(true);
    p.status.SetFontColor(platform::ui::clWindowText);
    p.status.SetCaption("FSM Writing");
    const std::string fsm = home / "misc/FSM.bin";
    if (!production::DownloadFsmFile(letter, static_cast<std::int32_t>(std::filesystem::file_size(fsm)), fsm)) {
      p.status.SetFontColor(platform::ui::clRed);
      p.status.SetCaption("FSM Loadfail");
      return false;
    }
    StartWorker(letter, slot);
    return true;
  }
  // A worker for the slot, started as the arrival handling starts it.
  void StartWorker(char letter, int slot) {
    auto& p = window.panels[slot];
    auto* worker = new production::ProductThread(window, letter, slot, &p.status, &p.gauge, &p.image,
                                                 window.LabelEdit.Text().c_str(), &p.textF, &p.textP);
    worker->OnTerminate = [this, slot, worker](platform::ui::TObject*) {
      workerThreads[slot] = worker->ThreadID();
      --running;
      ++finished;
    };
    ++running;
    worker->Resume();
  }

  std::shared_ptr<EmulatedDevice> Start(const DeviceProfile& profile, char letter = 'E', int slot = 0) {
    auto d = Plug(profile, letter);
    if (!Arrive(letter, slot)) throw std::runtime_error("the FSM download failed");
    return d;
  }

  // Runs the application loop until every started run has ended.
  void WaitForRuns() {
    while (running.load() > 0) app->HandleMessage();
    app->WaitForThreads();
  }

  std::shared_ptr<EmulatedDevice> Run(const DeviceProfile& profile, char letter = 'E', int slot = 0) {
    auto d = Start(profile, letter, slot);
    WaitForRuns();
    return d;
  }

  // Runs `action` (on the worker's thread) right before the first request to
  // the device that `trigger` picks.
  std::shared_ptr<TriggerTarget> AtRequest(const std::shared_ptr<EmulatedDevice>& device,
                                           std::function<bool(const platform::ScsiRequest&)> trigger,
                                           std::function<void()> action) {
    const char letter = device->Letter();
    auto volume = platform::Volumes().Lookup(letter);
    auto target = std::make_shared<TriggerTarget>(volume->target, std::move(trigger), std::move(action));
    platform::Volumes().Unmount(letter);
    platform::Volumes().Mount(letter, target, volume->node);
    return target;
  }

  // From the first request that `trigger` picks on, the device at `letter`
  // behaves as pulled out: it leaves the bus, the slot is freed, then
  // `after` runs (on the worker's thread).
  std::shared_ptr<TriggerTarget> PullAt(const std::shared_ptr<EmulatedDevice>& device, int slot,
                                        std::function<bool(const platform::ScsiRequest&)> trigger,
                                        std::function<void()> after = {}) {
    const char letter = device->Letter();
    return AtRequest(device, std::move(trigger), [=, this] {
      device->Unplug();
      platform::Volumes().Unmount(letter);
      window.SetSlot(slot, 0);
      if (after) after();
    });
  }

  // Calls `action` at every wait of a run that a thread other than this one
  // (the UI thread) makes, with the number of such waits before it. Waits of
  // the lengths a run looks at a helper program with (200 ms the hub-port
  // program, 500 ms the disk tools) are not counted, the run's own waits of
  // those lengths with them: how many looks there are depends on how long the
  // program takes in real time.
  void AtWorkerWaits(std::function<void(int)> action) {
    const std::uint32_t diskTools = production::CurrentDiskToolTiming().intervalMs;
    clock->SetWaitHook([ui = std::this_thread::get_id(), seen = std::make_shared<std::atomic<int>>(0), diskTools,
                        action = std::move(action)](std::uint32_t ms) {
      if (std::this_thread::get_id() != ui && ms != diskTools && ms != 200) action((*seen)++);
    });
  }

  // The device at `letter` is pulled out (as PullAt does it) at the start of
  // the `nth` wait (from 0) of a worker.
  void PullAtWait(const std::shared_ptr<EmulatedDevice>& device, int slot, int nth) {
    const char letter = device->Letter();
    AtWorkerWaits([=, this](int seen) {
      if (seen != nth) return;
      device->Unplug();
      platform::Volumes().Unmount(letter);
      window.SetSlot(slot, 0);
    });
  }

  // ---- what the run left ----

  std::string Status(int slot = 0) { return window.panels[slot].status.Caption(); }
  TColor StatusColor(int slot = 0) { return window.panels[slot].status.FontColor(); }
  std::string FlashLine(int slot = 0) { return window.panels[slot].textF.Caption(); }
  std::string PicturePath(int slot = 0) {
    auto& image = window.panels[slot].image;
    return image.Visible() ? image.PicturePath() : "";
  }
  int Progress(int slot = 0) { return window.panels[slot].gauge.Progress(); }
  std::vector<int> GaugeHistory(int slot = 0) {
    RecordGauges();
    std::lock_guard lock(gaugeMutex_);
    return gaugeHistory_[slot];
  }
  std::vector<std::uint32_t> Waits(int slot = 0) { return clock->WaitsOf(workerThreads[slot]); }

  std::vector<std::string> LogLines() {
    std::ifstream in(home / "log/1.txt", std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }
  bool Logged(const std::string& line) {
    const auto lines = LogLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  // The user (or hidden) disk of a device as the host sees it.
  std::map<std::string, std::string> DiskFiles(const std::filesystem::path& image) {
    return testing_support::VolumeTree(image.string(), home / "readback");
  }
  std::string DiskLabel(const std::filesystem::path& image) {
    const std::string out = home / "label.txt";
    testing_support::Shell("fatlabel " + testing_support::Quote(image.string()), out);
    std::string label = testing_support::ReadFile(out);
    while (!label.empty() && (label.back() == '\n' || label.back() == ' ')) label.pop_back();
    return label;
  }

  // Whether the device holds a configuration block written by the station.
  static bool HasStationConfig(const EmulatedDevice& d) {
    const Bytes cfg = d.StoredConfig();
    return cfg.size() >= 4 && (std::equal(cfg.begin(), cfg.begin() + 4, "Q471") ||
                               std::equal(cfg.begin(), cfg.begin() + 4, "QX71"));
  }

 private:
  void RecordGauges() {
    std::lock_guard lock(gaugeMutex_);
    for (int s = 0; s < 8; ++s) {
      const int v = window.panels[s].gauge.Progress();
      auto& h = gaugeHistory_[s];
      if (h.empty() || h.back() != v) h.push_back(v);
      const std::string text = window.panels[s].status.Caption();
      auto& t = statusHistory_[s];
      if (t.empty() || t.back() != text) t.push_back(text);
    }
  }
  std::map<int, std::vector<std::string>> statusHistory_;

 public:
  // The slot's status texts as the run showed them (sampled whenever the
  // worker hands something to the UI thread).
  std::vector<std::string> StatusHistory(int slot = 0) {
    RecordGauges();
    std::lock_guard lock(gaugeMutex_);
    return statusHistory_[slot];
  }

 private:
  std::mutex gaugeMutex_;
  std::mutex samplingMutex_;
  bool sampling_ = true;
  std::map<int, std::vector<int>> gaugeHistory_;
};

}  // namespace scenario

// A whole production run whose every device answer comes from the input: the
// FSM download at arrival, then the worker's run on this thread. Input: two
// bytes of settings (below), then the device's answers (fuzz_support.h). The
// disks are a small FAT volume; the format and check tools are stand-ins that
// succeed, so every stage after them can be reached.
// What must hold: no exception leaves the run; it ends counted once, with its
// handle closed, the running count back at 0, and its result shown and logged
// alike; a pass fills the gauge and, with the firmware upgrade, took the
// firmware and prefer data whole.
//
// With STATION_FUZZ_RECORD=DIR set the program instead writes seeds into DIR:
// passing runs against emulated devices (with the real disk tools), their
// answers recorded; each must replay as a pass. Then it exits.
#include <cstdlib>

#include "emulator/emulated_device.h"
#include "fuzz/fuzz_support.h"
#include "platform/drive/drive.h"
#include "platform/volumes/volumes.h"

namespace {

std::string Path(const char* name) { return fuzz::Home() + name; }

// The input that makes an InputTarget give the answers `inner` gives (read
// answers as their shortest period). Used to record seeds from a model.
class RecordingTarget : public platform::ScsiTarget {
 public:
  explicit RecordingTarget(std::shared_ptr<platform::ScsiTarget> inner) : inner_(std::move(inner)) {}
  bool Execute(const platform::ScsiRequest& request) override {
    const bool ok = inner_->Execute(request);
    recorded.push_back(ok ? 0 : 0xFF);
    if (request.direction == platform::ScsiDirection::In && request.data) {
      const std::uint32_t length = std::min<std::uint32_t>(request.length, 65535);
      std::uint32_t n = length;
      for (std::uint32_t p = 1; p < length && p < 1024; ++p)
        if (std::equal(request.data + p, request.data + length, request.data)) {
          n = p;
          break;
        }
      if (std::all_of(request.data, request.data + length, [](std::uint8_t b) { return b == 0; })) n = 0;
      if (n >= 255) recorded += {'\xFF', static_cast<char>(n & 0xFF), static_cast<char>(n >> 8)};
      else recorded.push_back(static_cast<char>(n));
      recorded.append(reinterpret_cast<const char*>(request.data), n);
    }
    return ok;
  }
  std::string recorded;

 private:
  std::shared_ptr<platform::ScsiTarget> inner_;
};

// Settings byte 0: firmware upgrade, blanking check, clear flash, format, parity
// check, NOR check (bits 0-5), disk split 0-2 (bits 6-7). Byte 1: scan level and
// hidden-disk share (bits 0-2; 7: the whole disk), page mode, capacity rule
// (bits 4-5), no file system, image file.
void ApplySettings(std::uint8_t a, std::uint8_t b) {
  testing_support::FakeMainWindow& w = fuzz::Window();
  w.chkFwUpgrade.SetChecked(a & 1);
  w.chkBlankCheck.SetChecked(a & 2);
  w.chkClearFlash.SetChecked((a & 4) && !(a & 2));  // the window lets only one of the two be on
  w.chkFormat.SetChecked(a & 8);
  w.chkParityCheck.SetChecked(a & 16);
  w.chknor.SetChecked(a & 32);
  w.settings = {};
  w.settings.eDeviceFeature = static_cast<std::uint8_t>((a >> 6) % 3);
  w.settings.iHideDiskRatio = (b & 7) == 7 ? 100 : 10 + (b & 7);
  w.settings.iScanLevel = b & 7;
  w.settings.PageMode = b & 8;
  w.settings.PageModeSel = 7;
  w.settings.DealCapError = static_cast<std::uint8_t>((b >> 4 & 3) % 3);
  w.settings.bNonFS = b & 64;
  w.settings.bUseImgFile = b & 128;
  w.settings.ImageFile = Path("volume.img");
  w.settings.AllowErrorRate = 2;
  w.settings.iEccLevel = 2;
  w.settings.iBadThreshold = 20;
  w.settings.sHideDiskLabel = "HIDDEN";
}

void Prepare() {
  static const bool ready = [] {
    // Small images, so that a run's answers (an SPI device reads them back) stay short.
    fuzz::WriteFile(Path("program.bin"), fuzz::ReadFile(Path("samples/player.bin")).substr(0, 8192));
    fuzz::WriteFile(Path("prefer.dat"), fuzz::ReadFile(Path("samples/prefer.dat")).substr(0, 4096));
    fuzz::WriteFile(Path("misc/PASS.IMG"), std::string(4096, 'p'));
    fuzz::WriteFile(Path("notes.txt"), std::string(1500, 'n'));
    if (std::system(("mkfs.fat -C " + Path("volume.img") + " 1024 >/dev/null").c_str()) != 0) std::abort();
    testing_support::FakeMainWindow& w = fuzz::Window();
    w.uiTexts = {{"FailMsg", "fail"}, {"SuccessMsg", "successful"}, {"WaitDeviceMsg", "Waiting device..."}};
    w.TntSelectFileList2.Items.Assign({Path("program.bin"), Path("prefer.dat"), Path("notes.txt")});
    w.inspection.iProgramIndex = 0;
    w.inspection.iPreferIndex = 1;
    w.inspection.iProgramSize = 8192;
    w.inspection.iPreferSize = 4096;
    w.inspection.FirmwareId = 0xFF;
    w.hideFiles = w.spiFiles = {Path("notes.txt")};
    w.LabelEdit.SetText("STATION");
    return true;
  }();
  (void)ready;
}

// Arrival and run of the device at E (answering from the input when `device`
// is given); whether the run passed (false too when the FSM download failed).
bool Produce(const fuzz::InputTarget* device) {
  testing_support::FakeMainWindow& w = fuzz::Window();
  const std::size_t handles = platform::OpenHandleCount();
  const production::CounterValues before = w.Counts();
  std::remove(Path("log/1.txt").c_str());
  const std::string fsm = Path("misc/FSM.bin");
  if (!production::DownloadFsmFile('E', static_cast<std::int32_t>(fuzz::fs::file_size(fsm)), fsm)) return false;
  fuzz::Worker worker(nullptr);
  worker.Run();
  const production::CounterValues after = w.Counts();
  FUZZ_REQUIRE(platform::OpenHandleCount() == handles && w.RunningCount() == 0 && after.total == before.total + 1);
  const bool passed = after.passed == before.passed + 1;
  FUZZ_REQUIRE(w.panels[0].status.FontColor() == (passed ? platform::ui::clBlue : platform::ui::clRed));
  FUZZ_REQUIRE(!passed || w.panels[0].gauge.Progress() == w.panels[0].gauge.MaxValue());
  std::string log = fuzz::ReadFile(Path("log/1.txt"));
  FUZZ_REQUIRE(log.size() >= 2 && log.ends_with("\r\n"));
  log.resize(log.size() - 2);
  FUZZ_REQUIRE(log.substr(log.find_last_of('\n') + 1) == (passed ? "E success!" : "E fail!"));
  // A pass with the firmware upgrade took the firmware and the prefer data whole.
  if (device && passed && w.chkFwUpgrade.Checked()) {
    std::string taken;
    for (const std::string& piece : device->sent) taken += piece;
    for (const char* image : {"program.bin", "prefer.dat"})
      FUZZ_REQUIRE(taken.find(fuzz::ReadFile(Path(image))) != std::string::npos);
  }
  return passed;
}

// A run answered by the input: two bytes of settings, then the device's answers.
bool Replay(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t a = input.Byte(), b = input.Byte();
  ApplySettings(a, b);
  fuzz::fs::copy_file(Path("volume.img"), Path("disk.img"), fuzz::fs::copy_options::overwrite_existing);
  platform::Volumes().Unmount('E');
  auto device = std::make_shared<fuzz::InputTarget>(input);
  platform::Volumes().Mount('E', device, Path("disk.img"));
  return Produce(device.get());
}

// The format and check tools of a replay: stand-ins that succeed on the small volume.
void StandInDiskTools() {
  platform::DiskTools& tools = platform::CurrentDiskTools();
  tools.format = tools.check = "true";
}

void RecordSeeds(const std::string& folder) {
  using emulator::profiles::SmallDisk;
  using emulator::profiles::SpiOnlyDevice;
  using emulator::profiles::Standard;
  struct Seed {
    const char* name;
    emulator::DeviceProfile profile;
    std::uint8_t a, b;
  };
  const Seed seeds[] = {
      {"device-map", Standard(), 0x09, 0x00},     {"configuration-only", Standard(), 0x00, 0x00},
      {"blanking-check", SmallDisk(), 0x0B, 0x00}, {"clear-flash", SmallDisk(), 0x0D, 0x00},
      {"spi-only", SpiOnlyDevice(), 0x21, 0x00},  {"hidden-disk", Standard(), 0x89, 0x00},
      {"hidden-image", Standard(), 0x89, 0x80},   {"encrypted-parity", Standard(), 0x59, 0x00},
      {"whole-disk-image", Standard(), 0x89, 0x87},
  };
  fuzz::fs::create_directories(folder);
  for (const Seed& s : seeds) {
    auto device = emulator::EmulatedDevice::Create(s.profile, Path("emulated/") + s.name);
    device->Plug('E');
    const platform::Volume volume = *platform::Volumes().Lookup('E');
    auto recorder = std::make_shared<RecordingTarget>(volume.target);
    platform::Volumes().Unmount('E');
    platform::Volumes().Mount('E', recorder, volume.node);
    ApplySettings(s.a, s.b);
    FUZZ_REQUIRE(Produce(nullptr));
    const std::string settings{static_cast<char>(s.a), static_cast<char>(s.b)};
    fuzz::WriteFile(folder + "/" + s.name, settings + recorder->recorded);
    device->Unplug();
    platform::Volumes().Unmount('E');
  }
  // The seeds stay whole runs as the code changes: each, replayed, passes as the device did.
  StandInDiskTools();
  for (const Seed& s : seeds) {
    const std::string bytes = fuzz::ReadFile(folder + "/" + s.name);
    FUZZ_REQUIRE(Replay(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
}

const fuzz::AtStart start([] {
  Prepare();
  if (const char* folder = std::getenv("STATION_FUZZ_RECORD")) {
    RecordSeeds(folder);
    std::exit(0);
  }
  StandInDiskTools();
});

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Replay(data, size);
  return 0;
}

// The station program. Options: see console/station_run.h. The emulated bus
// lives here, with the program, so that the console itself never depends on
// the emulator.
#include <filesystem>
#include <fstream>
#include <thread>

#include "console/station_run.h"
#include "emulator/emulated_device.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"

namespace {

namespace fs = std::filesystem;

// Emulated devices, each with its disk images in <home>/emulated/<n>-<profile>/
// (kept after the station ends, for a look at the disks), plugged one after
// another a second apart (scaled). Their hub ports are published in
// misc/usbport.map for the port program.
class EmulatedBus : public console::DeviceBus {
 public:
  static std::unique_ptr<EmulatedBus> Make(const std::vector<std::string>& names, std::string& error) {
    auto bus = std::unique_ptr<EmulatedBus>(new EmulatedBus);
    const fs::path root = fs::path(platform::ProgramFolder()) / "emulated";
    std::error_code ec;
    fs::remove_all(root, ec);
    std::ofstream map(fs::path(platform::ProgramFolder()) / "misc" / "usbport.map", std::ios::trunc);
    map << "# serial number, port code of each emulated device\n";
    for (std::size_t n = 0; n < names.size(); ++n) {
      std::optional<emulator::DeviceProfile> profile = emulator::profiles::ByName(names[n]);
      if (!profile) {
        error = "no device profile \"" + names[n] + "\"";
        return nullptr;
      }
      const auto serial = static_cast<std::uint8_t>(0x21 + n);
      profile->WithSerialNumber(serial);
      const int code = 100 + 10 * static_cast<int>(1 + n / 9) + static_cast<int>(n % 9 + 1);
      map << static_cast<int>(serial % 128) << ' ' << code << '\n';
      try {
        bus->devices_.push_back(
            emulator::EmulatedDevice::Create(*profile, root / (std::to_string(n + 1) + "-" + names[n])));
      } catch (const std::exception& e) {
        error = names[n] + ": " + e.what();
        return nullptr;
      }
    }
    if (!map) {
      error = "cannot write the port map misc/usbport.map";
      return nullptr;
    }
    return bus;
  }

  ~EmulatedBus() override {
    stop_ = true;
    if (plugger_.joinable()) plugger_.join();
    for (auto& device : devices_) device->Unplug();
  }

  void Start() override {
    plugger_ = std::thread([this] {
      for (std::size_t n = 0; n < devices_.size() && !stop_; ++n) {
        if (n > 0) platform::Sleep(1000);
        devices_[n]->Plug();
      }
      plugged_ = true;
    });
  }

  bool Settled() const override {
    if (!plugged_) return false;
    for (const auto& device : devices_)
      if (!device->Plugged()) return false;
    return true;
  }

 private:
  EmulatedBus() = default;
  std::vector<std::shared_ptr<emulator::EmulatedDevice>> devices_;
  std::thread plugger_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> plugged_{false};
};

}  // namespace

int main(int argc, char** argv) {
  return console::StationMain(argc, argv, [](const std::vector<std::string>& names, std::string& error) {
    return std::unique_ptr<console::DeviceBus>(EmulatedBus::Make(names, error));
  });
}

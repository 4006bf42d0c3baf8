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
#include "production/hub_port.h"

namespace {

namespace fs = std::filesystem;

// Emulated devices, each with its disk images in <home>/emulated/<n>-<profile>/
// (kept after the station ends, for a look at the disks), plugged one after
// another a second apart (scaled). Their hub ports are in the port map
// <home>/emulated/usbport.map, handed only to this station's port programs
// and removed when the station closes.
class EmulatedBus : public console::DeviceBus {
 public:
  // Checks every name; touches nothing.
  static std::unique_ptr<EmulatedBus> Make(const std::vector<std::string>& names, std::string& error) {
    auto bus = std::unique_ptr<EmulatedBus>(new EmulatedBus);
    for (const std::string& name : names) {
      std::optional<emulator::DeviceProfile> profile = emulator::profiles::ByName(name);
      if (!profile) {
        error = "no device profile \"" + name + "\"";
        return nullptr;
      }
      bus->profiles_.emplace_back(name, *profile);
    }
    return bus;
  }

  // Replaces the previous run's disks with new devices and publishes their ports.
  bool Prepare(std::string& error) override {
    const fs::path root = fs::path(platform::ProgramFolder()) / "emulated";
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::create_directories(root, ec);
    map_ = root / "usbport.map";
    std::ofstream map(map_, std::ios::trunc);
    map << "# serial number, port code of each emulated device\n";
    for (std::size_t n = 0; n < profiles_.size(); ++n) {
      auto& [name, profile] = profiles_[n];
      const auto serial = static_cast<std::uint8_t>(0x21 + n);
      profile.WithSerialNumber(serial);
      const int code = 100 + 10 * static_cast<int>(1 + n / 9) + static_cast<int>(n % 9 + 1);
      map << static_cast<int>(serial % 128) << ' ' << code << '\n';
      try {
        devices_.push_back(emulator::EmulatedDevice::Create(profile, root / (std::to_string(n + 1) + "-" + name)));
      } catch (const std::exception& e) {
        error = name + ": " + e.what();
        return false;
      }
    }
    map.close();
    if (!map) {
      error = "cannot write the port map " + map_.string();
      return false;
    }
    production::SetUsbPortMap(map_.string());
    return true;
  }

  ~EmulatedBus() override {
    stop_ = true;
    if (plugger_.joinable()) plugger_.join();
    for (auto& device : devices_) device->Unplug();
    production::SetUsbPortMap("");
    std::error_code ec;
    if (!map_.empty()) fs::remove(map_, ec);
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
  std::vector<std::pair<std::string, emulator::DeviceProfile>> profiles_;
  fs::path map_;
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

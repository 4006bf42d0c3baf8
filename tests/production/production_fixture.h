// Shared set-up of the production tests: a program folder of its own (flash
// tables, log, registry), a fresh application object, the fake main window,
// emulated devices plugged at drive letters, and workers bound to slots.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
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
#include "support/temp_dir.h"

namespace production_test {

using emulator::Bytes;
using emulator::DeviceProfile;
using emulator::EmulatedDevice;
using production::ProductThread;

inline platform::HANDLE OpenVolume(char letter) {
  const std::string path = std::string(device::kVolumePathPrefix) + letter + ":";
  return platform::CreateFileA(path.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
                               platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr,
                               platform::OPEN_EXISTING, 0, nullptr);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

// The data lengths of the device's vendor requests with sub-opcode `sub`.
inline std::vector<std::uint32_t> Pieces(const EmulatedDevice& dev, std::uint8_t sub) {
  std::vector<std::uint32_t> lengths;
  for (const auto& t : dev.Trace())
    if (t.IsVendor(sub)) lengths.push_back(t.length);
  return lengths;
}

struct ProductionTest : ::testing::Test {
  testing_support::TempDir home{"production"};
  testing_support::FakeMainWindow window;
  platform::ui::ScopedApplication app;
  platform::ScopedClock clock{std::make_shared<platform::ManualClock>(), 0.0};
  std::vector<std::shared_ptr<EmulatedDevice>> devices;
  std::vector<std::unique_ptr<ProductThread>> workers;
  std::size_t handlesAtStart = 0;

  void SetUp() override {
    platform::Volumes().Clear();
    platform::SetProgramFolder(home.path);
    platform::SetRegistryFile(home / "registry.ini");
    handlesAtStart = platform::OpenHandleCount();
    window.settings.AllowErrorRate = 2;
    window.settings.iEccLevel = 2;
  }
  void TearDown() override {
    for (auto& w : workers) {
      if (w->hDevice != platform::INVALID_HANDLE_VALUE) platform::CloseHandle(w->hDevice);
      w->hDevice = platform::INVALID_HANDLE_VALUE;
    }
    workers.clear();
    devices.clear();
    platform::Volumes().Clear();
    platform::SetProgramFolder("");
    platform::SetRegistryFile("");
  }

  // A device made and plugged at `letter`; with `fsm` its FSM is loaded, as
  // the station does at arrival before any worker starts.
  std::shared_ptr<EmulatedDevice> Plug(const DeviceProfile& p, char letter = 'E', bool fsm = true) {
    auto d = EmulatedDevice::Create(p, std::filesystem::path(home.path) / ("dev-" + std::string(1, letter)));
    EXPECT_EQ(d->Plug(letter), letter);
    devices.push_back(d);
    if (fsm) LoadFsm(letter);
    return d;
  }

  // Unplugs and plugs the device again (a new power-up) and loads its FSM.
  void Replug(EmulatedDevice& d, char letter = 'E') {
    d.Unplug();
    EXPECT_EQ(d.Plug(letter), letter);
    LoadFsm(letter);
  }

  void LoadFsm(char letter) {
    const std::string fsm = std::string(STATION_SOURCE_DIR) + "/support/misc/FSM.bin";
    EXPECT_TRUE(production::DownloadFsmFile(letter, static_cast<std::int32_t>(std::filesystem::file_size(fsm)), fsm));
  }

  // A worker for the device at `letter`, owning slot `slot`, with the
  // volume opened as the run opens it.
  ProductThread& Worker(char letter = 'E', int slot = 0, bool open = true) {
    window.SetSlot(slot, letter);
    auto p = window.SlotControls(slot);
    workers.push_back(std::make_unique<ProductThread>(window, letter, slot, p.statusText, p.gauge, p.image,
                                                      "LABEL", p.textF, p.textP));
    ProductThread& w = *workers.back();
    if (open) w.hDevice = OpenVolume(letter);
    return w;
  }

  // Closes the worker's handle the way the run does at its end.
  void CloseWorker(ProductThread& w) {
    if (w.hDevice != platform::INVALID_HANDLE_VALUE) platform::CloseHandle(w.hDevice);
    w.hDevice = platform::INVALID_HANDLE_VALUE;
  }

  std::size_t OpenHandles() const { return platform::OpenHandleCount() - handlesAtStart; }

  // The shipped flash tables and flash.ini in this program folder.
  void ShipFlashTables() {
    std::filesystem::copy(std::string(STATION_SOURCE_DIR) + "/support/flash", home / "flash",
                          std::filesystem::copy_options::recursive);
  }

  // A worker after identification: chip count and ID from the device, its
  // table found, sent and loaded, the block status table sized as the run
  // sizes it (every block good).
  ProductThread& Identified(const DeviceProfile& p, char letter = 'E', int slot = 0) {
    ProductThread& w = Worker(letter, slot);
    w.ChipCount = device::cmd_GetChipCount(w.hDevice);
    std::uint8_t id[5] = {};
    EXPECT_TRUE(device::cmd_bGetFlashId(w.hDevice, id));
    // The command layer gives the ID bytes last first: id[4] is the maker.
    w.FlashIdHigh = id[4];
    w.FlashIdLow = (std::uint32_t{id[3]} << 24) | (std::uint32_t{id[2]} << 16) | (std::uint32_t{id[1]} << 8) | id[0];
    const std::string name = w.FindFlashType(w.FlashIdLow, w.FlashIdHigh, w.ChipCount);
    EXPECT_NE(name, "0") << p.name;
    const std::string path = home / ("flash/" + name);
    EXPECT_TRUE(production::SendFlashTableFile(w.hDevice, path));
    EXPECT_TRUE(w.LoadCfgFile(path));
    w.BlockSize = w.PageSize * w.PagesPerBlock;
    w.BlockStatus.assign(static_cast<std::size_t>(w.ChipCount) * w.BlocksPerChip, 255);
    return w;
  }
};

}  // namespace production_test

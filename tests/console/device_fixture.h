// A station with emulated devices: the program folder holds the shipped FSM
// file and flash tables and the port program, which answers from the port map
// the station hands it; volume events reach the main window as
// WM_DEVICECHANGE through the UI queue, which the test drains with Pump().
// Waits are scaled to nothing.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emulator/emulated_device.h"
#include "platform/clock/clock.h"
#include "platform/devices/device_events.h"
#include "platform/volumes/volumes.h"
#include "production/hub_port.h"
#include "station_fixture.h"

namespace console::testing {

class DeviceStationTest : public StationTest {
 protected:
  void SetUp() override {
    StationTest::SetUp();
    platform::SetTimeScale(0);
    platform::Volumes().Clear();
    const fs::path support = fs::path(STATION_SOURCE_DIR) / "support";
    fs::copy(support / "misc", misc(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    fs::copy(support / "flash", home_ / "flash", fs::copy_options::recursive);
    fs::copy_file(USBDOS_PROGRAM, misc() / "usbdos");
    production::SetUsbPortMap((root_ / "usbport.map").string());
    // Settings of a short run with no hub ports; a test turns options on.
    WriteBytes(misc() / "prefer.ini", "[MP_Setting]\r\nFixUsbIO=0\r\nClearFlash=0\r\nBlanking check=0\r\n");
  }

  void TearDown() override {
    Application->WaitForThreads();
    events_.reset();
    for (auto& d : devices_) d->Unplug();
    devices_.clear();
    platform::Volumes().Clear();
    production::SetUsbPortMap("");
    StationTest::TearDown();
    platform::SetTimeScale(1);
  }

  // Shows the station and starts forwarding volume events to it.
  void StartStation() {
    Start();
    events_ = std::make_unique<platform::VolumeEventForwarder>([](platform::TMessage& m) {
      if (Form1) Form1->Dispatch(m);
    });
  }

  // A device of `profile` with serial number `serial` (its hub port in the
  // port map is `portCode` when given), plugged at `letter` (0: first free).
  std::shared_ptr<emulator::EmulatedDevice> Plug(emulator::DeviceProfile profile, char letter = 0,
                                                 int portCode = 0) {
    const auto serial = static_cast<std::uint8_t>(0x21 + devices_.size());
    profile.WithSerialNumber(serial);
    if (portCode) {
      std::ofstream map(root_ / "usbport.map", std::ios::app);
      map << int(serial) << ' ' << portCode << '\n';
    }
    auto device = emulator::EmulatedDevice::Create(profile, root_ / ("dev" + std::to_string(devices_.size())));
    devices_.push_back(device);
    device->Plug(letter);
    return device;
  }

  // Runs what the UI queue holds (the device messages).
  void Pump() { Application->ProcessMessages(); }

  // A WM_DEVICECHANGE for the letters of `mask`, handled at once.
  static void Send(std::uintptr_t event, std::uint32_t mask) {
    platform::DeliverVolumeChange(event, mask, [](platform::TMessage& m) { Form1->Dispatch(m); });
  }

  std::string Log() const { return ReadBytes(home_ / "log/1.txt"); }
  std::string Status(int k) const { return Form1->Slots[k].statusText->Caption(); }

  void CheckBox(TCheckBox& box, bool on) {
    if (box.Checked() != on) box.SetChecked(on);
  }

  std::vector<std::shared_ptr<emulator::EmulatedDevice>> devices_;
  std::unique_ptr<platform::VolumeEventForwarder> events_;
};

}  // namespace console::testing

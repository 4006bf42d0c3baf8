// Emulated devices that show their user disk (configuration preloaded, disk
// started), for the stages that work on the drive's file system.
#pragma once

#include "production_fixture.h"
#include "support/fat_oracle.h"

namespace production_test {

struct DriveTest : ProductionTest {
  // Starts the disk as the run does: a program image first, then START DISK.
  void StartDisk(platform::HANDLE h) {
    const std::string program = home / "program.bin";
    WriteFile(program, std::string(4096, 'p'));
    EXPECT_TRUE(production::WriteSetup(h, program));
    EXPECT_TRUE(production::WriteImageData(h, program, 0));
    EXPECT_TRUE(production::WriteEnd(h));
    EXPECT_TRUE(production::StartDisk(h));
  }
  // Plugs the device at `letter` and starts its disk; the disk's image file.
  std::string PlugWithDisk(DeviceProfile p, char letter = 'E') {
    auto d = Plug(p.WithPreloadedConfig(emulator::FlashTableFor(p)), letter);
    platform::HANDLE h = OpenVolume(letter);
    StartDisk(h);
    platform::CloseHandle(h);
    return d->VisibleDiskPath().string();
  }
  void Format(char letter = 'E') {
    ASSERT_TRUE(production::FormatDrive(letter, true, production::GetFatFlag(letter), ""));
  }
};

// 1024 blocks of 64 x 2 KiB pages: a disk of about 123 MiB in 512-byte sectors.
inline DeviceProfile SmallDevice() { return DeviceProfile().Named("small").WithGeometry(2048, 64, 1024); }

}  // namespace production_test

// Shared set-up of the emulator tests: a scratch folder, a clean volume table,
// and helpers that drive a device through the command layer.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/commands.h"
#include "emulator/emulated_device.h"
#include "platform/volumes/volumes.h"

namespace emulator_test {

using emulator::Bytes;
using emulator::DeviceProfile;
using emulator::EmulatedDevice;

// An open volume handle, closed at the end of its scope.
class Handle {
 public:
  explicit Handle(char letter) {
    const std::string path = std::string(device::kVolumePathPrefix) + letter + ":";
    h_ = platform::CreateFileA(path.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
                               platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr, platform::OPEN_EXISTING,
                               0, nullptr);
  }
  ~Handle() {
    if (h_ != platform::INVALID_HANDLE_VALUE) platform::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  operator platform::HANDLE() const { return h_; }
  bool Valid() const { return h_ != platform::INVALID_HANDLE_VALUE; }

 private:
  platform::HANDLE h_;
};

// 1024 blocks of 64 x 2 KiB pages (128 MiB) with three factory-bad blocks.
inline DeviceProfile Small() {
  DeviceProfile p;
  p.Named("small").WithGeometry(2048, 64, 1024).WithBadBlocks({3, 100, 513});
  return p;
}

struct EmulatorTest : ::testing::Test {
  std::filesystem::path dir;

  void SetUp() override {
    platform::Volumes().Clear();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = std::filesystem::temp_directory_path() /
          ("emulator-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(dir);
  }
  void TearDown() override {
    devices.clear();
    platform::Volumes().Clear();
    std::filesystem::remove_all(dir);
  }

  std::shared_ptr<EmulatedDevice> Make(const DeviceProfile& p, char letter = 'E') {
    auto d = EmulatedDevice::Create(p, dir / (p.name + "-" + letter));
    EXPECT_EQ(d->Plug(letter), letter);
    devices.push_back(d);
    return d;
  }

  std::vector<std::shared_ptr<EmulatedDevice>> devices;
};

// Writes a configuration block the way a production run does: the block
// (with system area units and hidden share filled in) on the first page of
// each of the first two good blocks, the good-block bitmap on the pages after it.
inline void StoreConfig(platform::HANDLE h, const DeviceProfile& p, Bytes cfg, const Bytes& bitmap) {
  const std::uint32_t n = p.TotalBlocks();
  std::vector<std::uint32_t> good;
  for (std::uint32_t b = 0; b < n && good.size() < 2; ++b)
    if (bitmap[b / 8] & (0x80 >> (b % 8))) good.push_back(b);
  cfg.resize(p.geometry.pageSize, 0);
  for (auto b : good) {
    const std::uint32_t first = b * p.geometry.pagesPerBlock;
    ASSERT_TRUE(device::cmd_bEraseBlock(h, b, 1));
    ASSERT_TRUE(device::cmd_bWritePages(h, first, 1, cfg.data(), p.geometry.pageSize, p.geometry.eccMode));
    for (std::uint32_t k = 0; k * p.geometry.pageSize < bitmap.size(); ++k) {
      Bytes page(p.geometry.pageSize, 0);
      std::memcpy(page.data(), bitmap.data() + k * p.geometry.pageSize,
                  std::min<std::size_t>(p.geometry.pageSize, bitmap.size() - k * p.geometry.pageSize));
      ASSERT_TRUE(device::cmd_bWritePages(h, first + 1 + k, 1, page.data(), p.geometry.pageSize, p.geometry.eccMode));
    }
  }
}

inline Bytes ReadBitmap(platform::HANDLE h, const DeviceProfile& p) {
  Bytes map(p.TotalBlocks() / 8);
  EXPECT_TRUE(device::cmd_bReadBadBlockMap(h, map.data(), static_cast<std::uint32_t>(map.size())));
  return map;
}

}  // namespace emulator_test

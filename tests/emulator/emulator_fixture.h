// Shared set-up of the emulator tests: a scratch folder, a clean volume table,
// time scaled to 0, and helpers that drive a device through the command layer
// as the station does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "device/commands.h"
#include "emulator/emulated_device.h"
#include "platform/clock/clock.h"
#include "platform/volumes/volumes.h"
#include "support/temp_dir.h"

namespace emulator_test {

using emulator::Bytes;
using emulator::DeviceProfile;
using emulator::EmulatedDevice;

// An open volume handle, closed at the end of its scope.
class Handle {
 public:
  explicit Handle(char letter)
      : h_(platform::CreateFileA((std::string(device::kVolumePathPrefix) + letter + ":").c_str(),
                                 platform::GENERIC_READ | platform::GENERIC_WRITE,
                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr,
                                 platform::OPEN_EXISTING, 0, nullptr)) {}
  ~Handle() {
    if (h_ != platform::INVALID_HANDLE_VALUE) platform::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  operator platform::HANDLE() const { return h_; }

 private:
  platform::HANDLE h_;
};

// 1024 blocks of 64 x 2 KiB pages (128 MiB) with three factory-bad blocks.
inline DeviceProfile Small() {
  return DeviceProfile().Named("small").WithGeometry(2048, 64, 1024).WithBadBlocks({3, 100, 513});
}

// Good-block bitmaps: bit set = good, most significant bit first.
inline bool Good(const Bytes& bitmap, std::uint32_t b) { return (bitmap[b / 8] >> (7 - b % 8)) & 1; }

inline Bytes Pattern(std::size_t n, std::uint8_t salt) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((i * 7 + salt + i / 251) & 0xFF);
  return b;
}

// Sends data in 2048-byte pieces, with the trailing empty piece when the size is a multiple of 2048.
template <typename Send>
void Pieces(Bytes data, Send send) {
  for (std::size_t at = 0, n = 2048; n == 2048; at += n) {
    n = std::min<std::size_t>(2048, data.size() - at);
    ASSERT_TRUE(send(data.data() + at, static_cast<std::uint32_t>(n)));
  }
}

// The FSM download of device arrival; true when the device took it.
inline bool LoadFsm(platform::HANDLE h, const Bytes& fsm = Pattern(4096, 3)) {
  std::uint16_t sum = 0;
  for (auto v : fsm) sum = static_cast<std::uint16_t>(sum + v);
  if (!device::cmd_bDownloadStart(h, static_cast<std::uint32_t>(fsm.size()))) return false;
  Pieces(fsm, [&](std::uint8_t* p, std::uint32_t n) { return device::cmd_bDownloadData(h, p, n); });
  return device::cmd_bDownloadSum(h, sum);
}

// One image download: setup, pieces, end.
inline void Download(platform::HANDLE h, const Bytes& image) {
  ASSERT_TRUE(device::cmd_bWriteSetup(h, static_cast<std::uint32_t>(image.size())));
  Pieces(image, [&](std::uint8_t* p, std::uint32_t n) { return device::cmd_bWriteData(h, p, n); });
  ASSERT_TRUE(device::cmd_bWriteEnd(h));
}

struct EmulatorTest : ::testing::Test {
  platform::ScopedClock clock{std::make_shared<platform::ManualClock>(), 0.0};
  testing_support::TempDir tmp{"emulator"};
  std::filesystem::path dir = tmp.path;
  std::vector<std::shared_ptr<EmulatedDevice>> devices;

  void SetUp() override { platform::Volumes().Clear(); }
  void TearDown() override {
    devices.clear();
    platform::Volumes().Clear();
  }

  std::shared_ptr<EmulatedDevice> Make(const DeviceProfile& p, char letter = 'E') {
    auto d = EmulatedDevice::Create(p, dir / (p.name + "-" + letter));
    EXPECT_EQ(d->Plug(letter), letter);
    devices.push_back(d);
    return d;
  }

  // A device made, plugged at 'letter', opened there and, as arrival leaves it, with its FSM.
  struct Opened {
    std::shared_ptr<EmulatedDevice> device;
    Handle handle;
  };
  Opened Open(const DeviceProfile& p, char letter = 'E', bool fsm = true) {
    auto d = Make(p, letter);
    if (fsm) {
      Handle load(letter);
      EXPECT_TRUE(LoadFsm(load));
    }
    return {d, Handle(letter)};
  }
};

// Tests where the device is used from several threads (also run under ThreadSanitizer).
struct EmulatorConcurrency : EmulatorTest {};

// Writes a configuration block the way a production run does: the block on the
// first page of each of the first two good blocks at or after 'from', the
// good-block bitmap on the pages after it.
inline void StoreConfig(platform::HANDLE h, const DeviceProfile& p, Bytes cfg, const Bytes& bitmap,
                        std::uint32_t from = 0) {
  const std::uint32_t size = p.geometry.pageSize, ppb = p.geometry.pagesPerBlock;
  Bytes map = bitmap;
  map.resize((map.size() + size - 1) / size * size, 0);
  cfg.resize(size, 0);
  for (std::uint32_t b = from, copies = 0; b < p.TotalBlocks() && copies < 2; ++b) {
    if (!Good(bitmap, b)) continue;
    ++copies;
    ASSERT_TRUE(device::cmd_bEraseBlock(h, b, 1));
    ASSERT_TRUE(device::cmd_bWritePages(h, b * ppb, 1, cfg.data(), size, p.geometry.eccMode));
    for (std::uint32_t k = 0; k * size < map.size(); ++k)
      ASSERT_TRUE(device::cmd_bWritePages(h, b * ppb + 1 + k, 1, map.data() + k * size, size, p.geometry.eccMode));
  }
}

inline Bytes ReadBitmap(platform::HANDLE h, const DeviceProfile& p) {
  Bytes map(p.TotalBlocks() / 8);
  EXPECT_TRUE(device::cmd_bReadBadBlockMap(h, map.data(), static_cast<std::uint32_t>(map.size())));
  return map;
}

}  // namespace emulator_test

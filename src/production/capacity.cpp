// The device's own bad-block map, the usable-capacity rules (accept, refuse
// or degrade a device with many bad blocks) and the size of the disk the
// device finally shows.
#include <string>

#include "device/commands.h"
#include "device/device_handle.h"
#include "production/product_thread.h"

namespace production {

bool ProductThread::ReadBadBlockBitmap(int& badPercent) {
  const std::uint32_t n = static_cast<std::uint32_t>(BlockStatus.size());
  if (n == 0 || n > kAreaSize * 8) return false;
  const std::uint32_t bytes = (n + 7) / 8;
  if (!device::cmd_bReadBadBlockMap(hDevice, BlockBitmap.data(), bytes)) return false;
  std::uint32_t bad = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    BlockStatus[i] = TestBitmapBit(BlockBitmap.data(), i);
    if (BlockStatus[i] == 0) ++bad;
  }
  badPercent = static_cast<int>(std::uint64_t{bad} * 100 / n);
  return true;
}

bool ProductThread::CheckUsableCapacity() {
  const std::int64_t total = static_cast<std::int64_t>(BlockStatus.size());
  const std::int64_t groups = total / 1024;
  DegradeFlag = false;

  int usablePages = PagesPerBlock;
  if (PageTableMode) {
    usablePages = 0;
    for (int p = 0; p < PagesPerBlock && p < static_cast<int>(kAreaSize); ++p)
      if (PageUsable[p] == 255) ++usablePages;
  }
  if (usablePages < PagesPerBlock) DegradeFlag = true;

  std::int64_t good = 0;
  for (std::uint8_t s : BlockStatus)
    if (s == 255) ++good;

  const ProductionSettings settings = Window.CurrentSettings();
  if (settings.DealCapError == 2) return true;

  std::int64_t target = total;
  while (target > 0 && (100 - settings.AllowErrorRate) * target / 100 > good) target /= 2;
  if (target == total) return true;

  if (settings.DealCapError == 1) {
    ShowStatus(Msg("Bad Block no Exceed"));
    return false;
  }

  // In each group of 1024 blocks the first seven good blocks are not counted
  // and every earlier group is charged seven; once the counted good blocks
  // pass what is left of the target, this and every later block is unusable.
  std::int64_t counted = 0;
  for (std::int64_t g = 0; g < groups; ++g) {
    int goodInGroup = 0;
    for (std::int64_t j = 0; j < 1024; ++j) {
      const std::size_t b = static_cast<std::size_t>(g * 1024 + j);
      if (BlockStatus[b] == 255 && ++goodInGroup >= 8) ++counted;
      if (target - 7 * g < counted) BlockStatus[b] = 0;
    }
  }
  DegradeFlag = true;
  return true;
}

std::int64_t bGetDiskSizeMB(char driveLetter, TStaticText* sizeLabel) {
  std::uint32_t lastLba = 0, blockLength = 0;
  {
    const device::ScopedDeviceHandle h = device::OpenDeviceVolume(driveLetter);
    if (!h.IsOpen() || !device::cmd_bReadCapacity(h.Get(), &lastLba, &blockLength)) return 0;
  }
  if (lastLba == 0 || blockLength == 0) return 0;
  // The last block address, not the block count, enters the product.
  const std::int64_t size = static_cast<std::int64_t>(blockLength / 512) * lastLba / 2048;
  if (sizeLabel) sizeLabel->SetCaption(std::to_string(size) + "MB");
  return size;
}

}  // namespace production

// The 512-byte configuration block: reading the device's own, building the
// final block with the good-block bitmap and the page table, and writing it
// to the first two good blocks of the flash.
#include <cstdio>
#include <cstring>

#include "device/commands.h"
#include "production/file_send.h"
#include "production/product_thread.h"

namespace production {

namespace {

void Put16(std::uint8_t* p, unsigned v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}

bool SignatureAccepted(const std::uint8_t* block) {
  return std::memcmp(block, "Q4X1", 4) == 0 || std::memcmp(block, "Q471", 4) == 0;
}

std::string SlotFileName(const char* format, int slot) {
  char name[64];
  std::snprintf(name, sizeof name, format, slot);
  return name;
}

}  // namespace

void SetBit(std::uint8_t* bitmap, std::uint32_t index, bool value) {
  const std::uint8_t mask = static_cast<std::uint8_t>(0x80u >> (index % 8));
  if (value)
    bitmap[index / 8] |= mask;
  else
    bitmap[index / 8] &= static_cast<std::uint8_t>(~mask);
}

std::uint8_t TestBitmapBit(const std::uint8_t* bitmap, std::uint32_t index) {
  return (bitmap[index / 8] & (0x80u >> (index % 8))) ? 255 : 0;
}

bool ProductThread::IsPageUsable(int page) const {
  return page >= 0 && page < static_cast<int>(kAreaSize) && PageUsable[page] == 255;
}

bool ProductThread::NextUsablePage(int& page) const {
  for (int p = page + 1; p < PagesPerBlock && p < static_cast<int>(kAreaSize); ++p)
    if (PageUsable[p] == 255) {
      page = p;
      return true;
    }
  return false;
}

void ProductThread::ExpandPageBitmap(const std::uint8_t* bitmap) {
  for (int p = 0; p < PagesPerBlock && p < 1024; ++p) PageUsable[p] = TestBitmapBit(bitmap, p) ? 0 : 255;
}

bool ProductThread::ReadDeviceCfg() {
  DeviceCfgValid = false;
  DevicePageTable = false;
  std::uint8_t block[kCfgBlockSize] = {};
  if (!device::cmd_bReadCfg(hDevice, block)) return false;
  if (!SignatureAccepted(block)) return false;
  const int pageShift = block[84];
  const int blockShift = block[85];
  if (pageShift < 9 || pageShift > 13 || blockShift < pageShift + 5 || blockShift > pageShift + 8) return false;
  DeviceCfgValid = true;
  DeviceEccMode = block[96];
  if (block[132] != 0) {
    DevicePageTable = true;
    ExpandPageBitmap(block + 256);
  }
  std::memcpy(DeviceCfgCopy.data(), block, sizeof block);
  return true;
}

void ProductThread::PrepareCfgBlock(bool fwUpgrade) {
  std::uint8_t* c = CfgArea.data();
  c[82] = static_cast<std::uint8_t>(ChipCount);
  if (!fwUpgrade)
    for (int g = 0; g < 16; ++g) c[4 * g + 1] = 'X';

  BlockBitmap.fill(0);
  int listed = 0;
  const std::uint32_t total = static_cast<std::uint32_t>(BlockStatus.size());
  for (std::uint32_t b = 0; b < total; ++b) {
    if (BlockStatus[b] != 255) continue;
    SetBit(BlockBitmap.data(), b, true);
    if (listed < 4) Put16(c + 118 + 2 * listed++, b);
  }

  if (PageTableMode) {
    c[132] = 1;
    std::memset(c + 256, 0xFF, 128);
    for (int p = 0; p < PagesPerBlock && p < 1024; ++p)
      if (PageUsable[p] == 255) SetBit(c + 256, p, false);
  } else {
    c[132] = 0;
    std::memset(c + 256, 0, 128);
  }

  const ProductionSettings s = Window.CurrentSettings();
  c[133] = static_cast<std::uint8_t>(SystemAreaUnits);
  std::uint8_t share = 0;
  if (s.eDeviceFeature == 1 || s.eDeviceFeature == 2) {
    const int ratio = s.iHideDiskRatio < 0 ? 0 : s.iHideDiskRatio;
    share = ratio >= 100 ? 0xFF : static_cast<std::uint8_t>(ratio * 256 / 100);
  }
  c[134] = share;
  std::memcpy(c + 135, "0000", 4);
  std::memset(c + 139, 0, 5);

  unsigned sum = 0;
  for (int i = 82; i <= 254; ++i) sum += c[i];
  Put16(c + 80, sum & 0xFFFF);
  std::memset(c + 480, 0, 32);
}

void ProductThread::CountBadBlocksAndLog() {
  int bad = 0;
  for (std::uint8_t s : BlockStatus)
    if (s != 255) ++bad;
  BadBlockCount = bad;
  if (LogBiTable && DegradeFlag) WriteBadBlockLog(SlotFileName("%d_bi_tab_cfg.txt", SlotIndex));
}

bool ProductThread::WriteCfgBlock(bool fwUpgrade) {
  if (!CheckUsableCapacity()) return false;
  static const Area kZeros{};
  Area zeros = kZeros;  // the command layer takes a writable buffer
  const std::uint32_t total = static_cast<std::uint32_t>(BlockStatus.size());
  const std::uint32_t ppb = static_cast<std::uint32_t>(PagesPerBlock);
  const std::uint32_t bitmapPages = (total / 8 + PageSize - 1) / PageSize;
  const std::uint8_t ecc = CfgArea[96];
  // One page of the block; the device must take it (a refusal is logged).
  const auto WritePage = [&](std::uint32_t at, std::uint8_t* data) {
    return SendKept(hDevice, "configuration page",
                    [&](device::Refusal* r) { return device::cmd_bWritePages(hDevice, at, 1, data, PageSize, ecc, r); });
  };

  for (int attempt = 0;;) {
    if (attempt > 0) ShowStatus(Msg("Write CFG") + std::to_string(attempt));
    PrepareCfgBlock(fwUpgrade);
    enum { None, EraseFailed, WriteFailed } failure = None;
    std::uint32_t failedBlock = 0;
    int copies = 0;
    for (std::uint32_t b = 0; b < total && copies < 2 && failure == None; ++b) {
      if (BlockStatus[b] != 255) continue;
      failedBlock = b;
      const std::uint32_t first = b * ppb;
      if (!device::cmd_bEraseBlock(hDevice, b, 1)) {
        failure = EraseFailed;
        break;
      }
      int page = 0;
      if (!IsPageUsable(0) && !NextUsablePage(page)) {
        ShowStatus(Msg("No good page") + Ui("FailMsg"));
        return false;
      }
      if (!WritePage(first + page, CfgArea.data())) {
        failure = WriteFailed;
        break;
      }
      for (std::uint32_t k = 0; k < bitmapPages && failure == None; ++k) {
        if (!NextUsablePage(page)) {
          ShowStatus(Msg("No good page") + Ui("FailMsg"));
          return false;
        }
        if (!WritePage(first + page, BlockBitmap.data() + k * PageSize))
          failure = WriteFailed;
      }
      while (failure == None && NextUsablePage(page))
        if (!WritePage(first + page, zeros.data())) failure = WriteFailed;
      if (failure == None) ++copies;
    }
    if (failure == None) {
      if (copies < 2) {
        ShowFailure(Msg("No Good block"));
        return false;
      }
      break;
    }
    if (++attempt > 1) {
      ShowStatus(Msg("Write CFG") + Ui("FailMsg"));
      return false;
    }
    BlockStatus[failedBlock] = 0;
    if (failure == WriteFailed) device::cmd_bEraseBlock(hDevice, failedBlock, 1);
  }
  CountBadBlocksAndLog();
  return true;
}

bool ProductThread::BuildCfgInfo(bool fwUpgrade) {
  if (!CheckUsableCapacity()) return false;
  PrepareCfgBlock(fwUpgrade);
  int good = 0;
  for (std::uint32_t b = 0; b < BlockStatus.size() && good < 4; ++b) {
    if (BlockStatus[b] != 255) continue;
    if (++good >= 3) device::cmd_bEraseBlock(hDevice, b, 1);
  }
  CountBadBlocksAndLog();
  if (good < 4) {
    ShowFailure(Msg("No Good block"));
    return false;
  }
  return true;
}

}  // namespace production

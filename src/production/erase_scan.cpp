// The erase scan ("Clear FLASH"): erases every block and takes the blocks
// whose erase fails as bad, with no test pattern.
#include <algorithm>
#include <string>

#include "device/commands.h"
#include "platform/ui/ui.h"
#include "production/product_thread.h"
#include "production/scan_frame.h"

namespace production {

bool ProductThread::EraseScan(int progressStart, int progressEnd) {
  const std::uint32_t blocks =
      static_cast<std::uint32_t>(std::max(ChipCount, 0)) * static_cast<std::uint32_t>(std::max(BlocksPerChip, 0));
  const std::uint32_t pages = static_cast<std::uint32_t>(std::max(PagesPerBlock, 0));
  if (BlockStatus.size() != blocks) BlockStatus.resize(blocks, 0);
  SyncGaugeProgress(progressStart);
  int bad = 0;
  bool goodSeen = false;
  for (std::uint32_t b = 0; b < blocks; ++b) {
    BlockStatus[b] = 255;
    if (device::cmd_bEraseBlock(hDevice, b, 1)) {
      goodSeen = true;
    } else {
      BlockStatus[b] = 0;
      ++bad;
      // A device that has gone fails every erase: the scan ends rather than
      // calling the rest of the flash bad.
      // (the slot is no longer this worker's, so there is no text to show).
      if (!OwnsSlot()) return false;
    }
    if (!BlocksPerChipOverride && !goodSeen && std::uint64_t{b} * pages > BlankingScan::kLevel0Limit) {
      ShowFailure(Msg("Too many bad block"));
      return false;
    }
    if (b % 5 == 0) {
      const std::int64_t step = std::int64_t{progressEnd - progressStart} * b / blocks;
      MoveGaugeTo(*this, progressStart + static_cast<int>(step));
      ShowBlinkingText(*this, Ui("RealBlankingCheckStr") + " " + std::to_string(b) + "/" + std::to_string(blocks) +
                                  " " + Msg("Bad") + ": " + std::to_string(bad));
    }
    platform::ui::Application->ProcessMessages();
  }
  BadCount = bad;
  return true;
}

}  // namespace production

// The seven scan levels of the blanking check: which block tests each pass
// sends (mode pair and seed), which answers it judges, where the fast region
// and the limit on leading bad blocks apply.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "device/commands.h"
#include "platform/ui/ui.h"
#include "production/scan_frame.h"

namespace production {

namespace {
constexpr std::uint32_t kSeedAA55 = 0xAA55;
constexpr std::uint32_t kSeed55AA = 0x55AA;
}  // namespace

std::vector<BlankingScan::SeedEntry> BlankingScan::SeedTable() {
  std::vector<SeedEntry> table(blocks_);
  for (std::uint32_t i = 0; i < blocks_; ++i) table[i] = {i, static_cast<std::uint32_t>(w_.Random.Next())};
  for (std::uint32_t i = 0; i < blocks_; ++i)
    std::swap(table[i], table[static_cast<std::uint32_t>(w_.Random.Next()) % blocks_]);
  return table;
}

bool BlankingScan::JudgedBlockStep(std::uint32_t b, std::uint32_t seed, std::uint8_t modeA, std::uint8_t modeB,
                                   Failure failure, std::uint32_t limit) {
  if (InFastRegion(b)) {
    if (!EraseInstead(b)) return false;
  } else {
    if (!TestBlock(b, seed, modeA, modeB, failure)) return false;
    Judge(b);
  }
  return !TooManyLeadingBad(b, limit);
}

// One pass; a new random seed for every block.
bool BlankingScan::Level0() {
  w_.SeedRandomFromClock();
  bad_ = 0;
  BeginPass(1);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    const std::uint32_t seed = static_cast<std::uint32_t>(w_.Random.Next() % 65535);
    if (pageMode_) {
      if (InFastRegion(b)) {
        FillRow(b);
      } else {
        if (!TestPages(b, seed, 1, 3)) return false;
        if (mode_ != kPageModeAll) JudgePages(b);
      }
    } else if (!JudgedBlockStep(b, seed, 1, 3, Failure::Message, kLevel0Limit)) {
      return false;
    }
    Progress(b, " ");
    platform::ui::Application->ProcessMessages();
  }
  w_.BadCount = bad_;
  return true;
}

// Levels 1 and 3: a first pass marks the blocks that fail it; the second
// pass re-tests the others (every block in a page scan).
bool BlankingScan::Level1or3(int level) {
  w_.SeedRandomFromClock();
  std::vector<SeedEntry> seeds;
  if (level == 3) seeds = SeedTable();
  auto seedOf = [&](std::uint32_t b) { return level == 3 ? seeds[b].seed : kSeedAA55; };
  const std::uint8_t modeA = level == 3 ? 1 : 2;
  bad_ = 0;
  std::vector<bool> failedFirst(blocks_, false);

  BeginPass(2);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    if (InFastRegion(b)) {
      if (!EraseInstead(b)) return false;
    } else {
      if (!TestBlock(b, seedOf(b), modeA, 2, Failure::Silent)) return false;
      if (w_.BlockStatus[b] != 255) {
        failedFirst[b] = true;
        w_.BlockStatus[b] = 0;
        ++bad_;
      }
    }
    Progress(b, "(1) ");
  }

  BeginPass(2);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    if (pageMode_) {
      if (!TestPages(b, seedOf(b), modeA, 1)) return false;
      JudgePages(b);
    } else {
      if (failedFirst[b]) continue;
      if (!InFastRegion(b)) {
        if (!TestBlock(b, seedOf(b), modeA, 1, Failure::Silent)) return false;
        Judge(b);
      }
      if (TooManyLeadingBad(b, kLimit)) return false;
    }
    Progress(b, "(2)");
  }
  return true;
}

// Shuffled first pass, a judged second pass, then (block form) the erase of
// the failed blocks and a third test pass that counts only new failures.
bool BlankingScan::Level2() {
  w_.SeedRandomFromClock();
  bad_ = 0;
  const std::vector<SeedEntry> seeds = SeedTable();
  const int passes = pageMode_ ? 2 : 4;

  BeginPass(passes);
  for (std::uint32_t i = 0; i < blocks_; ++i) {
    if (!(fast_ && i >= kFastFrom) && !TestBlock(seeds[i].block, seeds[i].seed, 1, 2, Failure::Silent)) return false;
    Progress(i, "(1) ");
  }

  BeginPass(passes);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    if (pageMode_) {
      if (InFastRegion(b)) {
        FillRow(b);
      } else {
        if (!TestPages(b, seeds[b].seed, 1, 1)) return false;
        JudgePages(b);
      }
    } else if (!JudgedBlockStep(b, seeds[b].seed, 1, 1, Failure::Silent, kLimit)) {
      return false;
    }
    Progress(b, "(2)");
  }
  if (pageMode_) return true;

  BeginPass(passes);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    if (b % 3 == 0) ToggleColour(w_);
    if (w_.BlockStatus[b] != 255) device::cmd_bEraseBlock(w_.hDevice, b, 1);
    ProgressCount(b, "(3)");
  }

  goodSeen_ = false;
  BeginPass(passes);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    const std::uint8_t before = w_.BlockStatus[b];
    // The fast region is not tested again: a block whose erase failed in
    // the second pass stays bad, the others stay good.
    if (!InFastRegion(b) && !TestBlock(b, seeds[b].seed, 1, 1, Failure::Silent)) return false;
    if (before == 255 && w_.BlockStatus[b] != 255) ++bad_;
    if (w_.BlockStatus[b] == 255) goodSeen_ = true;
    if (TooManyLeadingBad(b, kLimit)) return false;
    ProgressCount(b, "(4)");
  }
  return true;
}

// One pass; in a page scan a block that passes is tested a second time
// with the complementary seed.
bool BlankingScan::Level4() {
  bad_ = 0;
  BeginPass(1);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    if (pageMode_) {
      if (InFastRegion(b)) {
        FillRow(b);
      } else {
        if (!TestPages(b, kSeed55AA, 2, 3)) return false;
        if (!PagesPass(b)) {
          ++bad_;
        } else {
          if (!TestPages(b, kSeedAA55, 2, 3)) return false;
          JudgePages(b);
        }
      }
    } else if (!JudgedBlockStep(b, kSeed55AA, 2, 3, Failure::Message, kLimit)) {
      return false;
    }
    Progress(b, " ");
  }
  return true;
}

// Patterns from the settings: R = 1..3 runs R verifying rounds; any other R
// runs a pattern pass with its complement and a conditioning pass, and R = 0
// then a verifying pass as well.
bool BlankingScan::Level5() {
  // Read now, as the level starts; a value from a settings file may lie
  // outside what the settings dialog offers, and is taken as it stands.
  const int readTimes = w_.Window.CurrentSettings().iReadTimes;
  const std::uint32_t p = static_cast<std::uint32_t>(settings_.Pattern) & 0xFFFF;
  const std::uint32_t notP = ~p & 0xFFFF;
  bad_ = 0;

  // A verifying pass: judged, with the limit in the block form.
  auto verify = [&](std::uint32_t blockSeed, std::uint8_t modeA, std::uint32_t pageSeed, const std::string& marker) {
    BeginPass(readTimes >= 1 && readTimes <= 3 ? readTimes : 3);
    bad_ = 0;
    for (std::uint32_t b = 0; b < blocks_; ++b) {
      if (pageMode_) {
        if (!TestPages(b, pageSeed, 2, 1)) return false;
        JudgePages(b);
      } else {
        if (!TestBlock(b, blockSeed, modeA, 1, Failure::Silent)) return false;
        Judge(b);
        if (TooManyLeadingBad(b, kLimit)) return false;
      }
      Progress(b, marker);
    }
    return true;
  };

  if (readTimes >= 1 && readTimes <= 3) {
    std::string marker = "(0)";
    marker[1] = static_cast<char>('0' + readTimes);
    for (int r = 0; r < readTimes; ++r)
      if (!verify(p, readTimes == 3 ? 2 : 1, notP, marker)) return false;
    return true;
  }

  BeginPass(3);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    if (!TestBlock(b, p, 2, 3, Failure::Silent)) return false;
    if (w_.BlockStatus[b] != 255) {
      ++bad_;
    } else {
      if (!TestBlock(b, notP, 2, 3, Failure::Message)) return false;
      Judge(b);
    }
    Progress(b, "");
  }
  BeginPass(3);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    if (!TestBlock(b, 0, 2, 2, Failure::Silent)) return false;
    Progress(b, "");
  }
  if (readTimes != 0) return true;
  return verify(0, 2, 0, "");
}

// Two passes with one seed; the fast check keeps only the first 256 blocks.
bool BlankingScan::Level6() {
  w_.SeedRandomFromClock();
  bad_ = 0;
  BeginPass(2);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    if (InFastRegion(b))
      w_.BlockStatus[b] = 0;
    else if (!TestBlock(b, kSeedAA55, 4, 2, Failure::Silent))
      return false;
    Progress(b, "(1) ");
  }
  BeginPass(2);
  for (std::uint32_t b = 0; b < blocks_; ++b) {
    if (pageMode_) {
      if (!TestPages(b, kSeedAA55, 4, 1)) return false;
      JudgePages(b);
    } else if (InFastRegion(b)) {
      w_.BlockStatus[b] = 0;
      ++bad_;
    } else {
      if (!TestBlock(b, kSeedAA55, 4, 1, Failure::Silent)) return false;
      Judge(b);
    }
    Progress(b, "(2)");
  }
  return true;
}

}  // namespace production

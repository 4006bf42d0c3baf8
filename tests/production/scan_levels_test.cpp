// The blanking check level by level against emulated flashes with known bad,
// grown bad, failing and weak blocks: the verdict block by block, the device
// commands each level sends, the texts, the limit on leading bad blocks and
// the fast blanking check.
#include <gtest/gtest.h>

#include "scan_fixture.h"

namespace production_test {
namespace {

using emulator::BlockFailure;
using emulator::BlockTestOverride;
using emulator::FailMode;
using emulator::FlashOp;

// 512 blocks of 64 pages: factory bad 3, 17, 300, grown bad 40, block 55
// fails its erase, block 60 its program, block 70 has a page with 8 bit
// errors (above the worker's threshold of 4, within the ECC).
DeviceProfile Flawed() {
  return DeviceProfile()
      .Named("flawed")
      .WithGeometry(2048, 64, 512)
      .WithEccMode(2)
      .WithBadBlocks({3, 17, 300})
      .WithGrownBadBlocks({40})
      .WithBlockFailure({55, FlashOp::Erase, FailMode::Permanent, 0})
      .WithBlockFailure({60, FlashOp::Program, FailMode::Permanent, 0})
      .WithPageErrors(70, 5, 8);
}
const std::set<std::uint32_t> kFlawedBad = {3, 17, 40, 55, 60, 70, 300};

DeviceProfile Clean(std::uint32_t blocks, std::uint32_t pages = 64) {
  return DeviceProfile().Named("clean").WithGeometry(2048, pages, blocks).WithEccMode(2);
}

struct LevelCase {
  int level;
  std::size_t testsPerGood, testsPerBad, erasesPerBad;
  const char* lastText;  // the text at block 510
};

class ScanLevels : public ScanTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(ScanLevels, BlockFormMatchesTheFlashAndSendsTheLevelsCommands) {
  const LevelCase c = GetParam();
  window.settings.iScanLevel = c.level;
  window.settings.iPageSkip = 0x1A7;
  window.settings.Pattern = 0x1234;
  ProductThread& w = Scanner(Flawed());
  w.BadCount = -5;

  ASSERT_TRUE(w.FlashBlockScan(5, 305)) << Status(w);
  EXPECT_EQ(BadIn(w), kFlawedBad);
  const std::size_t bad = kFlawedBad.size(), good = 512 - bad;
  EXPECT_EQ(Tests(), good * c.testsPerGood + bad * c.testsPerBad);
  EXPECT_EQ(Erases(), bad * c.erasesPerBad);
  EXPECT_EQ(Status(w), c.lastText);
  EXPECT_EQ(w.Gauge->Progress(), 305);
  EXPECT_EQ(w.BadCount, c.level == 0 ? 7 : -5);  // only level 0 keeps its count
  for (const auto& t : dev->BlockTests()) {
    ASSERT_EQ(t.setting, 0xA7);
    ASSERT_EQ(t.eccThreshold, 4);
    ASSERT_FALSE(t.perPage);
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllLevels, ScanLevels,
    ::testing::Values(LevelCase{0, 1, 1, 0, "Blanking Check 510/512 Bad: 7"},
                      LevelCase{1, 2, 1, 0, "Blanking Check(2)510/512 Bad: 7"},
                      LevelCase{2, 3, 3, 1, "Blanking Check(4)7/512"},
                      LevelCase{3, 2, 1, 0, "Blanking Check(2)510/512 Bad: 7"},
                      LevelCase{4, 1, 1, 0, "Blanking Check 510/512 Bad: 7"},
                      LevelCase{5, 4, 3, 0, "Blanking Check510/512 Bad: 7"},
                      LevelCase{6, 2, 2, 0, "Blanking Check(2)510/512 Bad: 7"}));

// 512 blocks of 64 pages whose page 3 shows 6 bit errors in every block;
// blocks 5 and 100 are bad, block 200 has 8 errors on page 10.
DeviceProfile OddWeak() {
  return Clean(512).WithWeakPage(3, 6).WithBadBlocks({5, 100}).WithPageErrors(200, 10, 8);
}

struct PageLevelCase {
  int level;
  const char* lastText;
  int language = 0;  // of the worker: the mode's name and "Bad" in it
};

class PageScanLevels : public ScanTest, public ::testing::WithParamInterface<PageLevelCase> {};

TEST_P(PageScanLevels, EvenPagesKeepTheBlocksWhoseEvenPagesPass) {
  window.settings.iScanLevel = GetParam().level;
  window.settings.PageMode = true;
  window.settings.PageModeSel = 2;  // even pages: page 3 does not count
  window.languageIndex = GetParam().language;
  ProductThread& w = Scanner(OddWeak());
  ASSERT_TRUE(w.FlashBlockScan(5, 305)) << Status(w);
  EXPECT_EQ(BadIn(w), (std::set<std::uint32_t>{5, 100, 200}));
  Bytes even(64, 0);
  for (int p = 0; p < 64; p += 2) even[p] = 0xFF;
  EXPECT_EQ(dev->PageTable(), even);
  EXPECT_TRUE(std::equal(even.begin(), even.end(), w.PageUsable.begin()));
  EXPECT_EQ(Status(w), GetParam().lastText);
}

// Levels 1 and 3 count a block that fails both passes twice; levels whose
// first pass is not judged, once.
INSTANTIATE_TEST_SUITE_P(AllLevels, PageScanLevels,
                         ::testing::Values(PageLevelCase{0, "Even Pages 510/512 Bad: 3"},
                                           PageLevelCase{1, "Even Pages 510/512 Bad: 6"},
                                           PageLevelCase{2, "Even Pages 510/512 Bad: 3"},
                                           PageLevelCase{3, "Even Pages 510/512 Bad: 6"},
                                           PageLevelCase{4, "Even Pages 510/512 Bad: 3"},
                                           PageLevelCase{5, "Even Pages 510/512 Bad: 3"},
                                           PageLevelCase{6, "Even Pages 510/512 Bad: 3"},
                                           PageLevelCase{0, "偶數頁 510/512 壞塊: 3", 1},
                                           PageLevelCase{3, "偶数页 510/512 坏块: 6", 2}));

TEST_F(ScanTest, PageModeAllShowsNoCountAndTakesTheVerdictFromTheBestPages) {
  window.settings.iScanLevel = 0;
  window.settings.PageMode = true;
  window.settings.PageModeSel = 6;
  ProductThread& w = Scanner(Clean(512).WithBadBlocks({5}).WithPageErrors(200, 10, 8));
  ASSERT_TRUE(w.FlashBlockScan(0, 300));
  EXPECT_EQ(Status(w), "All Pages 510/512 Bad: ?");
  // 64 pages: every page is chosen, so the page with 8 errors fails block 200.
  EXPECT_EQ(BadIn(w), (std::set<std::uint32_t>{5, 200}));
  EXPECT_TRUE(std::all_of(w.PageUsable.begin(), w.PageUsable.begin() + 64, [](auto u) { return u == 0xFF; }));
}

TEST_F(ScanTest, PageScanOfALevelOutsideTheRangeTestsNothingAndCallsEveryBlockBad) {
  window.settings.iScanLevel = 7;
  window.settings.PageMode = true;
  window.settings.PageModeSel = 2;
  ProductThread& w = Scanner(Clean(64));
  ASSERT_TRUE(w.FlashBlockScan(5, 305));
  EXPECT_EQ(Tests(), 0u);
  EXPECT_EQ(BadIn(w).size(), 64u);
}

TEST_F(ScanTest, ScansThatCannotFillTheTableAreRefusedBeforeAnyCommand) {
  struct Case {
    int level;
    bool pageMode;
    std::uint32_t pages;
  };
  // A block scan of an unknown level; a page scan of more pages than the page map holds.
  for (const Case c : {Case{7, false, 64}, Case{-1, false, 64}, Case{0, true, 512}}) {
    window.settings.iScanLevel = c.level;
    window.settings.PageMode = c.pageMode;
    window.settings.PageModeSel = 2;
    ProductThread& w = Scanner(Clean(64, c.pages));
    EXPECT_FALSE(w.FlashBlockScan(5, 305));
    EXPECT_EQ(Status(w), "Blanking Checkfail");
    EXPECT_EQ(dev->Trace().size(), 0u);
    EXPECT_TRUE(w.PageResults.empty());
    devices.clear();
    platform::Volumes().Clear();
  }
}

struct LimitCase {
  std::uint32_t firstGood;
  int level;
  bool overrideFlag;
  bool passes;
};

class LeadingBadBlocks : public ScanTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(LeadingBadBlocks, AGoodBlockMustComeEarlyEnough) {
  const LimitCase c = GetParam();
  std::vector<std::uint32_t> bad;
  for (std::uint32_t b = 0; b < c.firstGood; ++b) bad.push_back(b);
  window.settings.iScanLevel = c.level;
  ProductThread& w = Scanner(Clean(1024, 128).WithBadBlocks(bad));
  w.BlocksPerChipOverride = c.overrideFlag;
  EXPECT_EQ(w.FlashBlockScan(5, 305), c.passes);
  if (!c.passes) {
    EXPECT_EQ(Status(w), "Too many bad block");
    EXPECT_EQ(w.StatusText->FontColor(), platform::ui::clRed);
    EXPECT_EQ(Tests(), c.firstGood);  // the scan ends right after the last block it may judge
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, LeadingBadBlocks,
                         ::testing::Values(LimitCase{127, 4, false, false}, LimitCase{127, 0, false, true},
                                           LimitCase{126, 4, false, true}, LimitCase{126, 0, false, true},
                                           LimitCase{127, 4, true, true}, LimitCase{385, 0, false, false},
                                           LimitCase{385, 0, true, true}));

TEST_F(ScanTest, FastCheckErasesTheBlocksFrom256OnButLevel6DiscardsThem) {
  window.settings.iScanLevel = 0;
  window.settings.bFastBlkChk = true;
  ProductThread& w = Scanner(Flawed());
  ASSERT_TRUE(w.FlashBlockScan(5, 305));
  EXPECT_EQ(BadIn(w), kFlawedBad);  // block 300's erase fails
  EXPECT_EQ(std::pair(Tests(), Erases()), (std::pair<std::size_t, std::size_t>(256, 256)));

  devices.clear();
  platform::Volumes().Clear();
  window.settings.iScanLevel = 6;
  ProductThread& six = Scanner(Clean(1024).WithBadBlocks({7}));
  ASSERT_TRUE(six.FlashBlockScan(5, 305));
  std::set<std::uint32_t> expected{7};
  for (std::uint32_t b = 256; b < 1024; ++b) expected.insert(b);
  EXPECT_EQ(BadIn(six), expected);
  EXPECT_EQ(std::pair(Tests(), Erases()), (std::pair<std::size_t, std::size_t>(512, 0)));
  EXPECT_EQ(Status(six), "Blanking Check(2)1020/1024 Bad: 766");  // 1 + the 765 from 256 to 1020
}

TEST_F(ScanTest, Level2CountsAFailureOnceAndErasesTheFailedBlocks) {
  window.settings.iScanLevel = 2;
  ProductThread& w = Scanner(Clean(512)
                                 .WithBlockTestOverride({20, {}, {}, {}, 2, emulator::kTestOverThreshold, {}})
                                 .WithBlockTestOverride({30, {}, {}, {}, 3, emulator::kTestOverThreshold, {}})
                                 .WithBlockTestOverride({40, {}, {}, {}, 2, emulator::kTestOverThreshold, {}})
                                 .WithBlockTestOverride({40, {}, {}, {}, 3, emulator::kTestOverThreshold, {}}));
  ASSERT_TRUE(w.FlashBlockScan(5, 305));
  // 20 failed the second pass and passed the fourth: good, but counted.
  EXPECT_EQ(BadIn(w), (std::set<std::uint32_t>{30, 40}));
  EXPECT_EQ(Status(w), "Blanking Check(4)3/512");
  EXPECT_EQ(Erases(), 2u);
}

TEST_F(ScanTest, Level2FastRegionKeepsABlockBadOnceItsEraseFailed) {
  window.settings.iScanLevel = 2;
  window.settings.bFastBlkChk = true;
  ProductThread& w = Scanner(Clean(512).WithBlockFailure({400, FlashOp::Erase, FailMode::Permanent, 0}));
  ASSERT_TRUE(w.FlashBlockScan(5, 305));
  EXPECT_EQ(BadIn(w), std::set<std::uint32_t>{400});
}

TEST_F(ScanTest, Level4PageScanTestsAFailingBlockOnce) {
  window.settings.iScanLevel = 4;
  window.settings.PageMode = true;
  window.settings.PageModeSel = 2;
  ProductThread& w = Scanner(Clean(64).WithBlockTestOverride({33, {}, {}, 0x55AA, {}, 0, Bytes{255, 255, 200}}));
  ASSERT_TRUE(w.FlashBlockScan(5, 305));
  EXPECT_EQ(TestsOf(33), 1u);
  EXPECT_EQ(TestsOf(34), 2u);
  EXPECT_EQ(BadIn(w), std::set<std::uint32_t>{33});
  auto tests = dev->BlockTests();
  EXPECT_EQ(tests[0].seed, 0x55AA);
  EXPECT_EQ(tests[1].seed, 0xAA55);
}

struct RoundsCase {
  int readTimes;
  std::size_t testsPerGood;
  const char* lastText;
  bool block9Good;  // block 9 fails only its first test
};

class Level5Rounds : public ScanTest, public ::testing::WithParamInterface<RoundsCase> {};

TEST_P(Level5Rounds, ReadTimesChooseThePasses) {
  const RoundsCase c = GetParam();
  window.settings.iScanLevel = 5;
  window.settings.iReadTimes = c.readTimes;
  window.settings.Pattern = 0x71234;
  ProductThread& w = Scanner(
      Clean(512).WithBadBlocks({7}).WithBlockTestOverride({9, {}, {}, {}, 1, emulator::kTestOverThreshold, {}}));
  ASSERT_TRUE(w.FlashBlockScan(5, 305));
  EXPECT_EQ(Status(w), c.lastText);
  EXPECT_EQ(w.BlockStatus[9] == 255, c.block9Good);
  EXPECT_EQ(TestsOf(0), c.testsPerGood);
  auto tests = dev->BlockTests();
  if (c.readTimes < 1 || c.readTimes > 3) {
    EXPECT_EQ(tests[0].seed, 0x1234);
    EXPECT_EQ(tests[1].seed, 0xEDCB);
  } else {
    EXPECT_EQ(tests.back().seed, 0x1234);
    EXPECT_EQ(tests.back().modeA, c.readTimes >= 3 ? 2 : 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Rounds, Level5Rounds,
                         ::testing::Values(RoundsCase{0, 4, "Blanking Check510/512 Bad: 1", true},
                                           RoundsCase{-2, 3, "Blanking Check510/512 Bad: 2", true},
                                           RoundsCase{1, 1, "Blanking Check(1)510/512 Bad: 2", false},
                                           RoundsCase{2, 2, "Blanking Check(2)510/512 Bad: 1", true},
                                           RoundsCase{3, 3, "Blanking Check(3)510/512 Bad: 1", true},
                                           RoundsCase{9, 3, "Blanking Check510/512 Bad: 2", true}));

TEST_F(ScanTest, Levels1And3MarkBlocksBeyond8192) {
  for (int level : {1, 3}) {
    window.settings.iScanLevel = level;
    ProductThread& w = Scanner(DeviceProfile().WithGeometry(512, 16, 16384).WithBadBlocks({10000}));
    ASSERT_TRUE(w.FlashBlockScan(5, 305));
    EXPECT_EQ(BadIn(w), std::set<std::uint32_t>{10000});
    EXPECT_EQ(TestsOf(10000), 1u);
    EXPECT_EQ(Tests(), 2u * 16384 - 1);
    devices.clear();
    platform::Volumes().Clear();
  }
}

struct RemovalCase {
  int level;
  bool fast;
  int removeAtLook;
  std::size_t commands;  // sent before the scan stops, the last one failing
};

class RemovalMidScan : public ScanTest, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(RemovalMidScan, EndsTheScanWithNoFurtherCommand) {
  const RemovalCase c = GetParam();
  RemovalWindow gone;
  window.settings.iScanLevel = c.level;
  window.settings.bFastBlkChk = c.fast;
  ProductThread& w = Scanner(Clean(512), &gone);
  gone.device = dev;
  gone.removeAtLook = c.removeAtLook;
  EXPECT_FALSE(w.FlashBlockScan(5, 305));
  const auto trace = dev->Trace();
  EXPECT_EQ(trace.size(), c.commands);
  EXPECT_TRUE(trace.back().faulted);
}

// Looks at the slot: one at set-up, then one per fifth block.
INSTANTIATE_TEST_SUITE_P(Removal, RemovalMidScan,
                         ::testing::Values(RemovalCase{0, false, 4, 12},          // after block 10
                                           RemovalCase{1, false, 4, 12},          // silent failure
                                           RemovalCase{0, true, 2 + 300 / 5, 302}));  // in the fast region

}  // namespace
}  // namespace production_test

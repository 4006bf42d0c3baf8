// The device's bad-block map, the usable-capacity rules and the disk size.
#include "production_fixture.h"
#include "support/scripted_target.h"

namespace production_test {
namespace {

struct CapacityTest : ProductionTest {};

TEST_F(CapacityTest, UsableCapacityFollowsAllowErrorRateAndDealCapError) {
  struct Case {
    const char* what;
    int total;
    int good;  // blocks 0 .. good-1 good, the rest bad
    int rate;
    std::uint8_t deal;
    bool result;
    bool degrade;
    int goodAfter;
  };
  const std::vector<Case> cases = {
      {"all good keeps the full size", 2048, 2048, 2, 0, true, false, 2048},
      {"2% bad is allowed", 2048, 2008, 2, 0, true, false, 2008},
      {"exactly the allowed share", 2048, 2007, 2, 0, true, false, 2007},  // 98% of 2048 is 2007
      // 98% of 2048 and of 1024 exceed 1000: target 512. Group 0 counts good
      // blocks from the eighth on; block 519 is the 513th counted.
      {"1000 of 2048 degrade to 512", 2048, 1000, 2, 0, true, true, 519},
      {"1000 of 2048 shown as an error", 2048, 1000, 2, 1, false, false, 1000},
      {"do not care", 2048, 10, 2, 2, true, false, 10},
      {"under one group nothing is lost", 512, 100, 2, 0, true, true, 100},
      {"a larger allowance keeps the size", 2048, 1900, 10, 0, true, false, 1900},
  };
  for (const auto& c : cases) {
    ProductThread& w = Worker('E', 0, false);
    w.PagesPerBlock = 64;
    w.BlockStatus.assign(c.total, 0);
    std::fill_n(w.BlockStatus.begin(), c.good, 255);
    window.settings.AllowErrorRate = c.rate;
    window.settings.DealCapError = c.deal;
    w.StatusText->SetCaption("");
    EXPECT_EQ(w.CheckUsableCapacity(), c.result) << c.what;
    EXPECT_EQ(w.DegradeFlag, c.degrade) << c.what;
    EXPECT_EQ(std::count(w.BlockStatus.begin(), w.BlockStatus.end(), 255), c.goodAfter) << c.what;
    EXPECT_EQ(w.StatusText->Caption(), c.result ? "" : "Bad Block no Exceed") << c.what;
  }
}

TEST_F(CapacityTest, SkippedPagesDegradeEvenWithEveryBlockGood) {
  ProductThread& w = Worker('E', 0, false);
  w.PagesPerBlock = 128;
  w.BlockStatus.assign(1024, 255);
  w.PageTableMode = true;
  w.PageUsable[5] = 0;
  w.PageUsable[77] = 0;
  EXPECT_TRUE(w.CheckUsableCapacity());
  EXPECT_TRUE(w.DegradeFlag);
  w.PageTableMode = false;  // the table is not in force: every page counts
  EXPECT_TRUE(w.CheckUsableCapacity());
  EXPECT_FALSE(w.DegradeFlag);
}

TEST_F(CapacityTest, DeviceMapGivesStatusAndPercentageReadingOnlyItsBytes) {
  auto dev = Plug(DeviceProfile().WithGeometry(2048, 64, 1024).WithBadBlocks({3, 100, 513, 1000}));
  ProductThread& w = Worker();
  struct Case {
    int blocks;
    std::uint32_t bytes;
    int percent;
  };
  for (const Case& c : {Case{1024, 128, 0}, Case{1001, 126, 0}, Case{200, 25, 1}}) {
    w.BlockStatus.assign(c.blocks, 7);
    dev->ClearTrace();
    int percent = -1;
    ASSERT_TRUE(w.ReadBadBlockBitmap(percent)) << c.blocks;
    EXPECT_EQ(percent, c.percent) << c.blocks;
    EXPECT_EQ(dev->Trace().back().length, c.bytes) << c.blocks;
    EXPECT_EQ(w.BlockStatus[3], 0);
    EXPECT_EQ(w.BlockStatus[100], 0);
    EXPECT_EQ(w.BlockStatus[4], 255);
    EXPECT_EQ(std::count(w.BlockStatus.begin(), w.BlockStatus.end(), 0), c.blocks > 1000 ? 4 : 2);
  }
  dev->InjectFault(emulator::Fault::Vendor(0x98));
  int percent = 0;
  EXPECT_FALSE(w.ReadBadBlockBitmap(percent));
}

TEST_F(CapacityTest, DiskSizeIsWorkedOutIn64Bits) {
  struct Case {
    const char* what;
    bool carriedOut;
    std::uint32_t lastLba;
    std::uint32_t blockLength;
    std::int64_t mb;
  };
  const std::vector<Case> cases = {
      {"16 TiB of 4 KiB blocks", true, 0xFFFFFFFF, 4096, 16777215},
      {"2 TiB of 512-byte blocks", true, 0xFFFFFFFF, 512, 2097151},
      {"1 GiB", true, 0x1FFFFF, 512, 1023},
      {"request failed", false, 0x1FFFFF, 512, 0},
      {"no blocks", true, 0, 512, 0},
      {"no block length", true, 100, 0, 0},
  };
  for (const auto& c : cases) {
    auto target = std::make_shared<testing_support::ScriptedTarget>();
    std::vector<std::uint8_t> answer;
    for (std::uint32_t v : {c.lastLba, c.blockLength})
      for (int s = 24; s >= 0; s -= 8) answer.push_back(static_cast<std::uint8_t>(v >> s));
    target->Queue({c.carriedOut, answer});
    platform::Volumes().Clear();
    ASSERT_TRUE(platform::Volumes().Mount('K', target, ""));
    window.lblsiosize.SetCaption("");
    EXPECT_EQ(production::bGetDiskSizeMB('K', &window.lblsiosize), c.mb) << c.what;
    EXPECT_EQ(window.lblsiosize.Caption(), c.mb ? std::to_string(c.mb) + "MB" : "") << c.what;
  }
  EXPECT_EQ(production::bGetDiskSizeMB('Q'), 0);  // nothing at that letter
  EXPECT_EQ(OpenHandles(), 0u);
}

// A device that breaks in the middle of a request: its target throws.
struct BrokenTarget : platform::ScsiTarget {
  bool Execute(const platform::ScsiRequest&) override { throw std::runtime_error("the device broke"); }
};

TEST_F(CapacityTest, WhatOpensTheDeviceByItsLetterClosesItWhenARequestThrows) {
  const std::string fsm = home / "fsm.bin";
  WriteFile(fsm, std::string(3000, 'f'));
  platform::Volumes().Clear();
  ASSERT_TRUE(platform::Volumes().Mount('K', std::make_shared<BrokenTarget>(), ""));
  struct Case {
    const char* what;
    std::function<void()> call;
  };
  const std::vector<Case> cases = {
      {"disk size", [] { production::bGetDiskSizeMB('K'); }},
      {"FAT type of the disk", [] { production::GetFatFlag('K'); }},
      {"FSM download", [&] { production::DownloadFsmFile('K', 3000, fsm); }},
      {"arrival's INQUIRY", [] { device::cmd_bInquiry('K'); }},
      {"arrival's chip model", [] { device::cmd_bCheckChipModel('K'); }},
      {"flash ID by letter", [] { std::uint8_t id[5]; device::cmd_bGetFlashIdByDrive('K', id); }},
      {"reset by letter", [] { device::cmd_bResetDevice('K'); }},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(c.call(), std::runtime_error) << c.what;
    EXPECT_EQ(OpenHandles(), 0u) << c.what;
  }
}

}  // namespace
}  // namespace production_test

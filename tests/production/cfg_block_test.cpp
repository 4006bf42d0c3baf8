// The configuration block: written to the first two good blocks, read back
// after a re-plug, placed around unusable pages and failing blocks.
#include "production_fixture.h"

namespace production_test {
namespace {

using emulator::BlockFailure;
using emulator::FailMode;
using emulator::FlashOp;

std::uint32_t Be32(const std::array<std::uint8_t, 16>& cdb, int at) {
  return (std::uint32_t{cdb[at]} << 24) | (std::uint32_t{cdb[at + 1]} << 16) | (std::uint32_t{cdb[at + 2]} << 8) |
         cdb[at + 3];
}

// A 1024-block flash of the shipped 1 Gbit type, blocks 0 and 4 bad.
DeviceProfile Small() {
  return DeviceProfile().Named("small").WithGeometry(2048, 64, 1024).WithFlashId({0xEC, 0xF1, 0x00, 0x95, 0x40})
      .WithBadBlocks({0, 4});
}

struct CfgBlockTest : ProductionTest {
  void SetUp() override {
    ProductionTest::SetUp();
    ShipFlashTables();
  }
  // A worker identified and given the device's own bad-block map.
  ProductThread& Ready(const DeviceProfile& p) {
    ProductThread& w = Identified(p);
    int percent = -1;
    EXPECT_TRUE(w.ReadBadBlockBitmap(percent));
    w.SystemAreaUnits = 3;
    return w;
  }
  // Blocks whose first page holds a written page, in order.
  std::vector<std::uint32_t> BlocksErased(EmulatedDevice& dev) const {
    std::vector<std::uint32_t> blocks;
    for (const auto& t : dev.Trace())
      if (t.IsVendor(0x94)) blocks.push_back(Be32(t.cdb, 2));
    return blocks;
  }
};

TEST_F(CfgBlockTest, WrittenBlockIsFoundAfterReplugUnlessWrittenWithUpgradeOff) {
  for (bool upgrade : {true, false}) {
    devices.clear();
    platform::Volumes().Clear();
    std::filesystem::remove_all(home / "dev-E");
    auto dev = Plug(Small());
    ProductThread& w = Ready(Small());
    ASSERT_TRUE(w.WriteCfgBlock(upgrade));
    EXPECT_EQ(w.BadBlockCount, 2);
    // Copies in blocks 1 and 2 (0 is bad): the block on page 0, the bitmap after it.
    for (std::uint32_t b : {1u, 2u}) {
      auto page0 = dev->Page(b, 0);
      ASSERT_TRUE(page0);
      EXPECT_TRUE(std::equal(page0->begin(), page0->begin() + 512, w.CfgArea.begin())) << b;
      auto page1 = dev->Page(b, 1);
      ASSERT_TRUE(page1);
      EXPECT_EQ((*page1)[0], 0x77);  // blocks 0 and 4 bad: 0111 0111
    }
    const auto& c = w.CfgArea;
    EXPECT_EQ(c[118] * 256 + c[119], 1);
    EXPECT_EQ(c[124] * 256 + c[125], 5);  // first four good: 1, 2, 3, 5
    EXPECT_EQ(c[133], 3);
    CloseWorker(w);

    Replug(*dev);
    ProductThread& again = Worker();
    again.PagesPerBlock = 64;
    EXPECT_EQ(again.ReadDeviceCfg(), upgrade) << upgrade;
    EXPECT_EQ(again.DeviceCfgValid, upgrade);
    if (upgrade) {
      EXPECT_EQ(again.DeviceEccMode, c[96]);
      EXPECT_TRUE(std::equal(c.begin(), c.begin() + 512, again.DeviceCfgCopy.begin()));
    }
    CloseWorker(again);
  }
  EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(CfgBlockTest, UnusablePagesAreSkippedAndTheirTableTravelsWithTheBlock) {
  auto dev = Plug(Small());
  ProductThread& w = Ready(Small());
  w.PageTableMode = true;
  w.PageUsable[0] = 0;
  w.PageUsable[2] = 0;
  ASSERT_TRUE(w.WriteCfgBlock(true));
  EXPECT_TRUE(w.DegradeFlag);  // page skipping
  EXPECT_FALSE(dev->Page(1, 0));
  auto cfg = dev->Page(1, 1);
  auto bitmap = dev->Page(1, 3);
  ASSERT_TRUE(cfg && bitmap);
  EXPECT_EQ((*cfg)[132], 1);
  EXPECT_EQ((*cfg)[256], 0xA0);  // pages 0 and 2 unusable
  EXPECT_EQ((*cfg)[257], 0x00);
  EXPECT_EQ((*bitmap)[0], 0x77);

  // The device's page table comes back into the usability table.
  CloseWorker(w);
  Replug(*dev);
  ProductThread& again = Worker();
  again.PagesPerBlock = 64;
  ASSERT_TRUE(again.ReadDeviceCfg());
  EXPECT_TRUE(again.DevicePageTable);
  EXPECT_EQ(again.PageUsable[0], 0);
  EXPECT_EQ(again.PageUsable[1], 255);
  EXPECT_EQ(again.PageUsable[2], 0);
}

TEST_F(CfgBlockTest, FailingBlocksAreMarkedBadOnceAndASecondFailureEndsIt) {
  struct Case {
    const char* what;
    std::vector<BlockFailure> failures;
    bool passes;
    std::vector<std::uint32_t> copies;
  };
  const std::vector<Case> cases = {
      {"erase of the first fails", {{1, FlashOp::Erase, FailMode::Permanent, 0}}, true, {2, 3}},
      {"write of the second fails", {{2, FlashOp::Program, FailMode::Permanent, 0}}, true, {1, 3}},
      {"two blocks fail", {{1, FlashOp::Erase}, {2, FlashOp::Erase}}, false, {}},
  };
  for (const auto& c : cases) {
    devices.clear();
    platform::Volumes().Clear();
    std::filesystem::remove_all(home / "dev-E");
    DeviceProfile p = Small();
    for (const auto& f : c.failures) p.WithBlockFailure(f);
    auto dev = Plug(p);
    ProductThread& w = Ready(p);
    w.StatusText->SetCaption("");
    EXPECT_EQ(w.WriteCfgBlock(true), c.passes) << c.what;
    if (c.passes) {
      for (std::uint32_t b : c.copies) EXPECT_TRUE(dev->Page(b, 0)) << c.what << " block " << b;
      EXPECT_EQ(w.BlockStatus[c.failures[0].block], 0) << c.what;
      EXPECT_EQ(w.BadBlockCount, 3) << c.what;
      EXPECT_EQ(w.StatusText->Caption(), "Write CFG1") << c.what;
    } else {
      EXPECT_EQ(w.StatusText->Caption(), "Write CFGfail") << c.what;
    }
    CloseWorker(w);
  }
}

TEST_F(CfgBlockTest, TooFewGoodBlocksAndARemovedDeviceFail) {
  auto dev = Plug(Small());
  ProductThread& w = Ready(Small());
  std::fill(w.BlockStatus.begin(), w.BlockStatus.end(), 0);
  w.BlockStatus[7] = 255;
  window.settings.DealCapError = 2;
  EXPECT_FALSE(w.WriteCfgBlock(true));
  EXPECT_EQ(w.StatusText->Caption(), "No Good block");
  EXPECT_EQ(w.StatusText->FontColor(), platform::ui::clRed);

  // Fewer than four good blocks keep the table's entries for the rest.
  w.BlockStatus[9] = 255;
  EXPECT_FALSE(w.BuildCfgInfo(true));
  const auto& c = w.CfgArea;
  EXPECT_EQ(std::vector<int>({c[119], c[121], c[123], c[125]}), std::vector<int>({7, 9, 2, 3}));

  dev->Unplug();
  std::fill(w.BlockStatus.begin(), w.BlockStatus.end(), 255);
  EXPECT_FALSE(w.WriteCfgBlock(true));
  EXPECT_FALSE(w.ReadDeviceCfg());
  int percent = 0;
  EXPECT_FALSE(w.ReadBadBlockBitmap(percent));
  CloseWorker(w);
  EXPECT_EQ(OpenHandles(), 0u);
}

TEST_F(CfgBlockTest, ARefusedCapacityShortfallWritesNothing) {
  auto dev = Plug(Small());
  ProductThread& w = Ready(Small());
  std::fill(w.BlockStatus.begin(), w.BlockStatus.begin() + 600, 0);
  window.settings.DealCapError = 1;  // a shortfall fails the device
  window.settings.AllowErrorRate = 2;
  dev->ClearTrace();
  EXPECT_FALSE(w.WriteCfgBlock(true));
  EXPECT_FALSE(w.BuildCfgInfo(true));
  EXPECT_EQ(w.StatusText->Caption(), "Bad Block no Exceed");
  EXPECT_EQ(dev->CountVendor(0x94) + dev->CountVendor(0x95), 0u) << "nothing erased or written";
}

TEST_F(CfgBlockTest, FailureEndPreparationErasesTheThirdAndFourthGoodBlocks) {
  auto dev = Plug(Small());
  ProductThread& w = Ready(Small());
  dev->ClearTrace();
  EXPECT_TRUE(w.BuildCfgInfo(false));
  EXPECT_EQ(BlocksErased(*dev), std::vector<std::uint32_t>({3, 5}));
  EXPECT_EQ(w.CfgArea[1], 'X');
  EXPECT_EQ(w.CfgArea[61], 'X');
  EXPECT_EQ(w.BadBlockCount, 2);
}

TEST_F(CfgBlockTest, DiskSplitShareGoesToByte134) {
  ProductThread& w = Worker('E', 0, false);
  w.BlockStatus.assign(64, 255);
  w.PagesPerBlock = 64;
  struct Case {
    std::uint8_t feature;
    int ratio;
    int byte;
  };
  for (const Case& c : {Case{0, 50, 0}, Case{1, 100, 0xFF}, Case{2, 10, 25}, Case{1, 50, 128}, Case{2, 99, 253}}) {
    window.settings.eDeviceFeature = c.feature;
    window.settings.iHideDiskRatio = c.ratio;
    w.PrepareCfgBlock(true);
    EXPECT_EQ(w.CfgArea[134], c.byte) << int(c.feature) << " " << c.ratio;
  }
}

}  // namespace
}  // namespace production_test

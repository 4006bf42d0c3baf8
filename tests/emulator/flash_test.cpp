// The NAND side: flash table, block tests, erase, page writes, the stored
// configuration block and the device's bad-block map.
#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;
using emulator::BlockFailure;
using emulator::BlockTestOverride;
using emulator::FailMode;
using emulator::FlashOp;

namespace {

std::uint8_t TestBlock(platform::HANDLE h, std::uint32_t block, std::uint8_t threshold = 4, std::uint8_t a = 1,
                       std::uint8_t b = 3, std::uint16_t seed = 0x1234) {
  std::uint8_t result = 0x77;
  EXPECT_TRUE(cmd_bBlockTest(h, block, 1, seed, a, b, 9, threshold, &result, 0, 64));
  return result;
}

}  // namespace

TEST_F(EmulatorTest, FlashTableSelectsTheGeometry) {
  auto d = Make(Small());
  Handle h('E');
  DeviceProfile other = Small().WithGeometry(4096, 128, 512).WithEccMode(3);
  Bytes table = emulator::FlashTableFor(other, "K9 TEST");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(table.data() + 480)), "K9 TEST");
  EXPECT_EQ(table[127], 0x98);

  // A table file of 2048 bytes and one of 0 bytes after it: one upload.
  Bytes file(2048, 0);
  std::copy(table.begin(), table.end(), file.begin());
  ASSERT_TRUE(cmd_bWriteFlashTable(h, file.data(), 2048));
  Bytes second = emulator::FlashTableFor(Small());
  ASSERT_TRUE(cmd_bWriteFlashTable(h, second.data(), 512));  // continuation piece, not a new table
  auto g = d->ActiveGeometry();
  EXPECT_EQ(g.pageSize, 4096u);
  EXPECT_EQ(g.pagesPerBlock, 128u);
  EXPECT_EQ(g.blocksPerChip, 512u);
  EXPECT_EQ(g.eccMode, 3);
  EXPECT_EQ(ReadBitmap(h, other).size(), 64u);

  // Another command ends the upload; the next piece is a new table.
  EXPECT_EQ(cmd_GetChipCount(h), 1);
  ASSERT_TRUE(cmd_bWriteFlashTable(h, second.data(), 512));
  EXPECT_EQ(d->ActiveGeometry().pagesPerBlock, 64u);
}

TEST_F(EmulatorTest, BlockFormAnswersGoodBadAndDistinctCodes) {
  auto p = Small().WithWeakPage(10, 6).WithPageErrors(40, 2, emulator::kUncorrectable);
  p.WithBlockFailure({20, FlashOp::Erase, FailMode::Permanent, 0});
  p.WithBlockFailure({21, FlashOp::Program, FailMode::Permanent, 0});
  auto d = Make(p);
  Handle h('E');
  EXPECT_EQ(TestBlock(h, 0, 6), 255);   // weak page 10 within the threshold
  EXPECT_EQ(TestBlock(h, 0, 5), emulator::kTestOverThreshold);
  EXPECT_EQ(TestBlock(h, 3, 6), emulator::kTestBadBlock);
  EXPECT_EQ(TestBlock(h, 20, 6), emulator::kTestEraseFailed);
  EXPECT_EQ(TestBlock(h, 21, 6), emulator::kTestProgramFailed);
  EXPECT_EQ(TestBlock(h, 40, 30), emulator::kTestUncorrectable);
  EXPECT_EQ(TestBlock(h, 5000, 6), emulator::kTestBadBlock);  // beyond the flash

  // A page table without page 10 makes block 0 pass the tight threshold.
  Bytes map(64, 0xFF);
  map[10] = 0;
  ASSERT_TRUE(cmd_bSetPageTable(h, map.data(), 64));
  EXPECT_EQ(TestBlock(h, 0, 5), 255);

  // Five blocks at once: status, then one byte per block.
  std::uint8_t results[5] = {};
  ASSERT_TRUE(cmd_bBlockTest(h, 1, 5, 0, 2, 2, 0, 6, results, 0, 64));
  const std::uint8_t expected[5] = {255, 255, emulator::kTestBadBlock, 255, 255};
  EXPECT_EQ(0, std::memcmp(results, expected, 5));

  // Failed erases and programs grew bad blocks: the device's map shows them.
  const Bytes bitmap = ReadBitmap(h, p);
  auto good = [&](std::uint32_t b) { return (bitmap[b / 8] >> (7 - b % 8)) & 1; };
  EXPECT_FALSE(good(3));
  EXPECT_FALSE(good(20));
  EXPECT_FALSE(good(21));
  EXPECT_TRUE(good(40));  // an uncorrectable page makes no bad block of its own
  EXPECT_TRUE(good(0));
  EXPECT_FALSE(good(100));
  EXPECT_FALSE(good(513));
}

TEST_F(EmulatorTest, PageFormAnswersErrorsPerPage) {
  auto p = Small().WithWeakPage(3, 5).WithPageErrors(7, 1, emulator::kUncorrectable);
  auto d = Make(p);
  Handle h('E');
  std::uint8_t rows[64];
  ASSERT_TRUE(cmd_bBlockTest(h, 7, 1, 0x55AA, 2, 3, 0, 4, rows, 1, 64));
  EXPECT_EQ(rows[0], 255);
  EXPECT_EQ(rows[1], 0);        // uncorrectable
  EXPECT_EQ(rows[3], 255 - 5);  // the weak page, in every block
  ASSERT_TRUE(cmd_bBlockTest(h, 8, 1, 0x55AA, 2, 3, 0, 4, rows, 1, 64));
  EXPECT_EQ(rows[1], 255);
  EXPECT_EQ(rows[3], 250);
  ASSERT_TRUE(cmd_bBlockTest(h, 100, 1, 0x55AA, 2, 3, 0, 4, rows, 1, 64));  // factory bad
  EXPECT_EQ(rows[0], 0);

  // The weak-page profile: pages 3, 7, 11 ... weaker than the rest in every block.
  Make(emulator::profiles::WeakPages(), 'F');
  Handle w('F');
  std::uint8_t page128[128];
  ASSERT_TRUE(cmd_bBlockTest(w, 12, 1, 0, 1, 3, 0, 4, page128, 1, 128));
  EXPECT_EQ(page128[0], 255);
  EXPECT_EQ(page128[3], 250);
  EXPECT_EQ(page128[127], 246);
}

TEST_F(EmulatorTest, OverridesScriptPassesAndTheSettingIsRecorded) {
  auto p = Small();
  BlockTestOverride second;
  second.block = 50;
  second.nth = 2;
  second.blockResult = 0x3C;
  p.WithBlockTestOverride(second);
  BlockTestOverride bySeed;
  bySeed.block = 60;
  bySeed.modeA = 2;
  bySeed.modeB = 1;
  bySeed.seed = 0xAA55;
  bySeed.blockResult = 0x11;
  bySeed.pageResults = {200, 201};
  p.WithBlockTestOverride(bySeed);
  auto d = Make(p);
  Handle h('E');
  EXPECT_EQ(TestBlock(h, 50), 255);   // first pass
  EXPECT_EQ(TestBlock(h, 50), 0x3C);  // second pass fails
  EXPECT_EQ(TestBlock(h, 50), 255);
  EXPECT_EQ(TestBlock(h, 60, 4, 2, 2, 0xAA55), 255);
  EXPECT_EQ(TestBlock(h, 60, 4, 2, 1, 0xAA54), 255);
  EXPECT_EQ(TestBlock(h, 60, 4, 2, 1, 0xAA55), 0x11);
  std::uint8_t rows[64];
  ASSERT_TRUE(cmd_bBlockTest(h, 60, 1, 0xAA55, 2, 1, 0, 4, rows, 1, 64));
  EXPECT_EQ(rows[0], 200);
  EXPECT_EQ(rows[1], 201);
  EXPECT_EQ(rows[2], 255);

  const auto tests = d->BlockTests();
  ASSERT_EQ(tests.size(), 7u);
  EXPECT_EQ(tests[1].nth, 2u);
  EXPECT_EQ(tests[1].setting, 9);
  EXPECT_EQ(tests[1].modeA, 1);
  EXPECT_EQ(tests[1].modeB, 3);
  EXPECT_EQ(tests[1].seed, 0x1234);
  EXPECT_TRUE(tests[6].perPage);
}

TEST_F(EmulatorTest, EraseFailuresOnceAndAfterOperations) {
  auto p = Small();
  p.WithBlockFailure({30, FlashOp::Erase, FailMode::Once, 1});             // the second erase fails
  p.WithBlockFailure({31, FlashOp::Erase, FailMode::AfterOperations, 2});  // the third and later fail
  auto d = Make(p);
  Handle h('E');
  EXPECT_TRUE(cmd_bEraseBlock(h, 30, 1));
  EXPECT_FALSE(cmd_bEraseBlock(h, 30, 1));
  EXPECT_TRUE(cmd_bEraseBlock(h, 30, 1));
  EXPECT_FALSE(d->IsBadBlock(30));
  EXPECT_TRUE(cmd_bEraseBlock(h, 31, 1));
  EXPECT_TRUE(cmd_bEraseBlock(h, 31, 1));
  EXPECT_FALSE(cmd_bEraseBlock(h, 31, 1));
  EXPECT_TRUE(d->IsBadBlock(31));
  EXPECT_FALSE(cmd_bEraseBlock(h, 31, 1));
  EXPECT_FALSE(cmd_bEraseBlock(h, 3, 1));  // factory bad
  EXPECT_FALSE(cmd_bEraseBlock(h, 2, 2));  // a range holding a bad block

  d->AddBlockFailure({32, FlashOp::Program, FailMode::Permanent, 0});
  Bytes page(2048, 0x5A);
  EXPECT_FALSE(cmd_bWritePages(h, 32 * 64, 1, page.data(), 2048, 0));
  EXPECT_TRUE(cmd_bWritePages(h, 33 * 64 + 5, 1, page.data(), 2048, 0));
  Bytes back(2 * 2048);
  ASSERT_TRUE(cmd_bReadPages(h, 33 * 64 + 5, 2, back.data(), 4096, 0));
  EXPECT_EQ(back[0], 0x5A);
  EXPECT_EQ(back[2048], 0xFF);  // never written
  ASSERT_TRUE(cmd_bEraseBlock(h, 33, 1));
  EXPECT_FALSE(d->Page(33, 5));
}

TEST_F(EmulatorTest, ConfigurationBlockPersistsAcrossReplug) {
  const auto p = Small();
  auto d = Make(p);
  Bytes blank(512);
  {
    Handle h('E');
    ASSERT_TRUE(cmd_bReadCfg(h, blank.data()));
    EXPECT_EQ(blank, Bytes(512, 0xFF));  // nothing stored yet

    Bytes cfg = emulator::FlashTableFor(p, "T");
    cfg[1] = 'X';  // any signature is kept as written
    Bytes bitmap = ReadBitmap(h, p);
    bitmap[0] &= 0x7F;  // block 0 not used: the copies go to blocks 1 and 2
    StoreConfig(h, p, cfg, bitmap);
    Bytes read(512);
    ASSERT_TRUE(cmd_bReadCfg(h, read.data()));
    EXPECT_EQ(read, Bytes(cfg.begin(), cfg.begin() + 512));
    EXPECT_TRUE(d->Page(1, 0));
    EXPECT_TRUE(d->Page(2, 1));
  }
  const Bytes stored = d->StoredConfig();
  d->Unplug();
  EXPECT_FALSE(platform::Volumes().Lookup('E'));
  ASSERT_EQ(d->Plug('E'), 'E');
  Handle h('E');
  Bytes again(512);
  ASSERT_TRUE(cmd_bReadCfg(h, again.data()));
  EXPECT_EQ(again, stored);
  EXPECT_EQ(again[1], 'X');

  // A preloaded block is there from the start.
  auto pre = Make(Small().Named("pre").WithPreloadedConfig(emulator::FlashTableFor(p)), 'F');
  Handle hp('F');
  ASSERT_TRUE(cmd_bReadCfg(hp, again.data()));
  EXPECT_EQ(0, std::memcmp(again.data(), "Q471", 4));
}

TEST_F(EmulatorTest, SeededBadBlocksAreRepeatableAndSpareBlockZero) {
  auto a = EmulatedDevice::Create(emulator::profiles::Standard(), dir / "a");
  auto b = EmulatedDevice::Create(emulator::profiles::Standard(), dir / "b");
  EXPECT_EQ(a->BadBlockMap(), b->BadBlockMap());
  EXPECT_FALSE(a->IsBadBlock(0));
  std::uint32_t bad = 0;
  for (std::uint32_t i = 0; i < 4096; ++i) bad += a->IsBadBlock(i);
  EXPECT_GT(bad, 3u);
  EXPECT_LT(bad, 60u);
  auto c = EmulatedDevice::Create(emulator::profiles::Standard().WithBadBlockRate(0.004, 8), dir / "c");
  EXPECT_NE(a->BadBlockMap(), c->BadBlockMap());
}

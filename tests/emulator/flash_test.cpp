// The NAND side: flash table, block tests, erase, page writes, the stored
// configuration block and the device's bad-block map.
#include <tuple>

#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;
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
  auto [d, h] = Open(Small());
  Bytes table = emulator::FlashTableFor(Small().WithGeometry(4096, 128, 512).WithEccMode(3));

  // A table file of 2048 bytes and one of 0 bytes after it: one upload.
  table.resize(2048, 0);
  ASSERT_TRUE(cmd_bWriteFlashTable(h, table.data(), 2048));
  Bytes second = emulator::FlashTableFor(Small());
  ASSERT_TRUE(cmd_bWriteFlashTable(h, second.data(), 512));  // continuation piece, not a new table
  const auto g = d->ActiveGeometry();
  EXPECT_EQ(std::tuple(g.pageSize, g.pagesPerBlock, g.blocksPerChip, g.eccMode), std::tuple(4096u, 128u, 512u, 3));

  // Another command ends the upload; the next piece is a new table.
  EXPECT_EQ(cmd_GetChipCount(h), 1);
  ASSERT_TRUE(cmd_bWriteFlashTable(h, second.data(), 512));
  EXPECT_EQ(d->ActiveGeometry().pagesPerBlock, 64u);
}

TEST_F(EmulatorTest, BlockTestFormsAnswerCodesAndErrorsPerPage) {
  auto p = Small().WithWeakPage(10, 6).WithPageErrors(40, 2, emulator::kUncorrectable);
  p.WithBlockFailure({20, FlashOp::Erase, FailMode::Permanent, 0});
  p.WithBlockFailure({21, FlashOp::Program, FailMode::Permanent, 0});
  auto [d, h] = Open(p);
  EXPECT_EQ(TestBlock(h, 0, 6), 255);  // weak page 10 within the threshold
  EXPECT_EQ(TestBlock(h, 0, 5), emulator::kTestOverThreshold);
  EXPECT_EQ(TestBlock(h, 3, 6), emulator::kTestBadBlock);
  EXPECT_EQ(TestBlock(h, 20, 6), emulator::kTestEraseFailed);
  EXPECT_EQ(TestBlock(h, 21, 6), emulator::kTestProgramFailed);
  EXPECT_EQ(TestBlock(h, 40, 30), emulator::kTestUncorrectable);

  // Page form: 255 - errors per page, 0 for an uncorrectable page or a bad block.
  std::uint8_t rows[64];
  ASSERT_TRUE(cmd_bBlockTest(h, 40, 1, 0x55AA, 2, 3, 0, 4, rows, 1, 64));
  EXPECT_EQ(std::tuple(rows[0], rows[2], rows[10]), std::tuple(255, 0, 249));
  ASSERT_TRUE(cmd_bBlockTest(h, 41, 1, 0x55AA, 2, 3, 0, 4, rows, 1, 64));
  EXPECT_EQ(std::tuple(rows[2], rows[10]), std::tuple(255, 249));  // the weak page is weak in every block
  ASSERT_TRUE(cmd_bBlockTest(h, 100, 1, 0x55AA, 2, 3, 0, 4, rows, 1, 64));
  EXPECT_EQ(rows[0], 0);

  // A page table without page 10 makes block 0 pass the tight threshold.
  Bytes map(64, 0xFF);
  map[10] = 0;
  ASSERT_TRUE(cmd_bSetPageTable(h, map.data(), 64));
  EXPECT_EQ(TestBlock(h, 0, 5), 255);

  // Five blocks at once: status, then one byte per block.
  std::uint8_t results[5] = {};
  ASSERT_TRUE(cmd_bBlockTest(h, 1, 5, 0, 2, 2, 0, 6, results, 0, 64));
  EXPECT_EQ(Bytes(results, results + 5), (Bytes{255, 255, emulator::kTestBadBlock, 255, 255}));

  // Failed erases and programs grew bad blocks; an uncorrectable page makes no bad block of its own.
  const Bytes bitmap = ReadBitmap(h, p);
  for (std::uint32_t b : {0u, 40u}) EXPECT_TRUE(Good(bitmap, b)) << b;
  for (std::uint32_t b : {3u, 20u, 21u, 100u, 513u}) EXPECT_FALSE(Good(bitmap, b)) << b;
}

TEST_F(EmulatorTest, OverridesScriptPassesAndTheSettingIsRecorded) {
  // Block 50 fails its second test; block 60 fails when tested with modes 2/1 and seed AA55.
  auto [d, h] = Open(Small()
                    .WithBlockTestOverride({50, std::nullopt, std::nullopt, std::nullopt, 2, 0x3C, {}})
                    .WithBlockTestOverride({60, 2, 1, 0xAA55, std::nullopt, 0x11, {200, 201}}));
  EXPECT_EQ(TestBlock(h, 50), 255);   // first pass
  EXPECT_EQ(TestBlock(h, 50), 0x3C);  // second pass fails
  EXPECT_EQ(TestBlock(h, 50), 255);
  EXPECT_EQ(TestBlock(h, 60, 4, 2, 2, 0xAA55), 255);
  EXPECT_EQ(TestBlock(h, 60, 4, 2, 1, 0xAA54), 255);
  EXPECT_EQ(TestBlock(h, 60, 4, 2, 1, 0xAA55), 0x11);
  std::uint8_t rows[64];
  ASSERT_TRUE(cmd_bBlockTest(h, 60, 1, 0xAA55, 2, 1, 0, 4, rows, 1, 64));
  EXPECT_EQ(Bytes(rows, rows + 3), (Bytes{200, 201, 255}));

  const auto tests = d->BlockTests();
  ASSERT_EQ(tests.size(), 7u);
  const auto& t = tests[1];
  EXPECT_EQ(std::tuple(t.nth, t.setting, t.modeA, t.modeB, t.seed), std::tuple(2u, 9, 1, 3, 0x1234));
  EXPECT_TRUE(tests[6].perPage);
}

TEST_F(EmulatorTest, EraseFailuresOnceAndAfterOperations) {
  auto p = Small();
  p.WithBlockFailure({30, FlashOp::Erase, FailMode::Once, 1});             // the second erase fails
  p.WithBlockFailure({31, FlashOp::Erase, FailMode::AfterOperations, 2});  // the third and later fail
  auto [d, h] = Open(p);
  for (bool expected : {true, false, true}) EXPECT_EQ(bool(cmd_bEraseBlock(h, 30, 1)), expected);
  EXPECT_FALSE(d->IsBadBlock(30));
  for (bool expected : {true, true, false, false}) EXPECT_EQ(bool(cmd_bEraseBlock(h, 31, 1)), expected);
  EXPECT_TRUE(d->IsBadBlock(31));
  EXPECT_FALSE(cmd_bEraseBlock(h, 3, 1));  // factory bad
  EXPECT_FALSE(cmd_bEraseBlock(h, 2, 2));  // a range holding a bad block

  d->AddBlockFailure({32, FlashOp::Program, FailMode::Permanent, 0});
  Bytes page(2048, 0x5A);
  EXPECT_FALSE(cmd_bWritePages(h, 32 * 64, 1, page.data(), 2048, 0));
  EXPECT_TRUE(cmd_bWritePages(h, 33 * 64 + 5, 1, page.data(), 2048, 0));
  EXPECT_EQ(d->Page(33, 5), page);
  ASSERT_TRUE(cmd_bEraseBlock(h, 33, 1));
  EXPECT_FALSE(d->Page(33, 5));
  // A page write whose data is not one page per page in the CDB is refused.
  device::Refusal refusal;
  EXPECT_FALSE(cmd_bWritePages(h, 33 * 64, 1, page.data(), 1024, 0, &refusal));
  EXPECT_TRUE(d->Trace().back().checkCondition);
  EXPECT_EQ(device::DescribeRefusal(refusal), "CHECK CONDITION, sense key 5 (ILLEGAL REQUEST), ASC/ASCQ 24/00");
  EXPECT_FALSE(d->Page(33, 0));
}

TEST_F(EmulatorTest, BlockRangesNeverWrapOrRunPastTheFlash) {
  auto [d, h] = Open(Small());
  Bytes page(2048, 0x11), two(4096, 0x22);
  ASSERT_TRUE(cmd_bWritePages(h, 0, 1, page.data(), 2048, 0));
  std::uint8_t r[64] = {7};
  EXPECT_FALSE(cmd_bEraseBlock(h, 0xFFFFFFFF, 2));
  EXPECT_FALSE(cmd_bBlockTest(h, 0xFFFFFFFF, 2, 0, 1, 3, 0, 4, r, 0, 64));
  EXPECT_FALSE(cmd_bEraseBlock(h, 1023, 2));
  EXPECT_FALSE(cmd_bBlockTest(h, 1023, 2, 0, 1, 3, 0, 4, r, 0, 64));
  EXPECT_FALSE(cmd_bBlockTest(h, 1024, 1, 0, 1, 3, 0, 4, r, 1, 64));
  EXPECT_FALSE(cmd_bWritePages(h, 0xFFFFFFFF, 2, two.data(), 4096, 0));
  EXPECT_EQ(r[0], 7);
  EXPECT_EQ(d->Page(0, 0), page) << "block 0 is never reached by a wrapped range";
  EXPECT_TRUE(d->BlockTests().empty());
  EXPECT_FALSE(d->IsBadBlock(1023));
}

TEST_F(EmulatorTest, ConfigurationBlockPersistsAcrossReplug) {
  const auto p = Small();
  auto [d, h] = Open(p);
  Bytes cfg = emulator::FlashTableFor(p, "T"), read(512);
  cfg[1] = 'X';  // any signature is kept as written
  ASSERT_TRUE(cmd_bReadCfg(h, read.data()));
  EXPECT_EQ(read, Bytes(512, 0xFF));  // nothing stored yet
  Bytes bitmap = ReadBitmap(h, p);
  bitmap[0] &= 0x7F;  // block 0 not used: the copies go to blocks 1 and 2
  StoreConfig(h, p, cfg, bitmap);
  ASSERT_TRUE(cmd_bReadCfg(h, read.data()));
  EXPECT_EQ(read, cfg);
  EXPECT_TRUE(d->Page(1, 0));
  EXPECT_TRUE(d->Page(2, 1));

  d->Unplug();
  ASSERT_EQ(d->Plug('E'), 'E');
  Handle again('E');
  ASSERT_TRUE(LoadFsm(again));
  ASSERT_TRUE(cmd_bReadCfg(again, read.data()));
  EXPECT_EQ(read, cfg);
  EXPECT_EQ(d->StoredConfig(), cfg);

  // A re-run whose erase of block 1 fails moves the copies on; the newest one counts.
  d->AddBlockFailure({1, FlashOp::Erase, FailMode::Once, 1});
  EXPECT_FALSE(cmd_bEraseBlock(again, 1, 1));
  Bytes newer = emulator::FlashTableFor(p, "NEWER");
  bitmap[0] &= 0xBF;  // block 1 marked bad by the station
  StoreConfig(again, p, newer, bitmap);
  EXPECT_TRUE(d->Page(1, 0)) << "the old copy is still there";
  ASSERT_TRUE(cmd_bReadCfg(again, read.data()));
  EXPECT_EQ(read, newer);

  // A preloaded block is there from the start.
  auto pre = Open(Small().Named("pre").WithPreloadedConfig(emulator::FlashTableFor(p)), 'F');
  ASSERT_TRUE(cmd_bReadCfg(pre.handle, read.data()));
  EXPECT_EQ(0, std::memcmp(read.data(), "Q471", 4));
}

TEST_F(EmulatorTest, SeededBadBlocksAreRepeatableAndSpareBlockZero) {
  auto a = EmulatedDevice::Create(emulator::profiles::Standard(), dir / "a");
  auto b = EmulatedDevice::Create(emulator::profiles::Standard(), dir / "b");
  EXPECT_EQ(a->BadBlockMap(), b->BadBlockMap());
  EXPECT_FALSE(a->IsBadBlock(0));
  std::uint32_t bad = 0;
  for (std::uint32_t i = 0; i < 4096; ++i) bad += a->IsBadBlock(i);
  EXPECT_TRUE(bad > 3 && bad < 60) << bad;
}

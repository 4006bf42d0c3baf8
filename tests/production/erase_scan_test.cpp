// The erase scan against emulated flashes whose bad blocks and failing
// erases are known: the verdict block by block, the limit on leading bad
// blocks, and a device that leaves during the scan.
#include <gtest/gtest.h>

#include "scan_fixture.h"

namespace production_test {
namespace {

using emulator::BlockFailure;
using emulator::FailMode;
using emulator::FlashOp;

DeviceProfile Flash(std::uint32_t blocks, std::vector<std::uint32_t> bad = {}) {
  return DeviceProfile().Named("erase").WithGeometry(2048, 128, blocks).WithBadBlocks(std::move(bad));
}

std::vector<std::uint32_t> Range(std::uint32_t from, std::uint32_t to) {
  std::vector<std::uint32_t> r;
  for (std::uint32_t b = from; b <= to; ++b) r.push_back(b);
  return r;
}

TEST_F(ScanTest, EraseScanTakesTheBlocksThatDoNotEraseAsBad) {
  ProductThread& w = Scanner(Flash(512, {3, 300})
                                 .WithGrownBadBlocks({41})
                                 .WithBlockFailure({77, FlashOp::Erase, FailMode::Permanent, 0})
                                 .WithBlockFailure({78, FlashOp::Erase, FailMode::Once, 0})
                                 .WithBlockFailure({79, FlashOp::Program, FailMode::Permanent, 0}));
  ASSERT_TRUE(w.EraseScan(5, 305));
  EXPECT_EQ(BadIn(w), (std::set<std::uint32_t>{3, 41, 77, 78, 300}));  // a program fault shows no erase failure
  EXPECT_EQ(w.BadCount, 5);
  EXPECT_EQ(Erases(), 512u);
  EXPECT_EQ(dev->Trace().size(), 512u);
  EXPECT_EQ(Status(w), "Blanking Check 510/512 Bad: 5");
  EXPECT_EQ(w.Gauge->Progress(), 5 + 300 * 510 / 512);  // the run moves it to the end
}

struct EraseLimitCase {
  std::vector<std::uint32_t> bad;
  bool overrideFlag;
  bool passes;
  std::size_t erases;
};

class EraseScanLimit : public ScanTest, public ::testing::WithParamInterface<EraseLimitCase> {};

TEST_P(EraseScanLimit, OneErasedBlockAmongTheFirst385IsEnough) {
  const EraseLimitCase c = GetParam();
  ProductThread& w = Scanner(Flash(1024, c.bad));
  w.BlocksPerChipOverride = c.overrideFlag;
  std::fill(w.BlockStatus.begin(), w.BlockStatus.end(), 0x5A);
  EXPECT_EQ(w.EraseScan(5, 305), c.passes);
  EXPECT_EQ(Erases(), c.erases);
  if (c.passes) {
    EXPECT_EQ(w.BadCount, static_cast<int>(c.bad.size()));
  } else {
    EXPECT_EQ(Status(w), "Too many bad block");
    EXPECT_EQ(w.StatusText->FontColor(), platform::ui::clRed);
    EXPECT_EQ(w.BlockStatus[384], 0);
    EXPECT_EQ(w.BlockStatus[385], 0x5A);  // not reached
  }
}

std::vector<std::uint32_t> AllBut(std::vector<std::uint32_t> blocks, std::uint32_t good) {
  blocks.erase(std::find(blocks.begin(), blocks.end(), good));
  return blocks;
}

INSTANTIATE_TEST_SUITE_P(Limits, EraseScanLimit,
                         ::testing::Values(EraseLimitCase{Range(0, 384), false, false, 385},
                                           EraseLimitCase{AllBut(Range(0, 900), 200), false, true, 1024},
                                           EraseLimitCase{Range(0, 383), false, true, 1024},
                                           EraseLimitCase{Range(0, 1023), true, true, 1024}));

TEST_F(ScanTest, EraseScanOfNoBlocksSendsNothing) {
  ProductThread& w = Scanner(Flash(16));
  w.ChipCount = 0;
  w.BadCount = 9;
  EXPECT_TRUE(w.EraseScan(5, 305));
  EXPECT_EQ(w.BadCount, 0);
  EXPECT_EQ(dev->Trace().size(), 0u);
}

TEST_F(ScanTest, EraseScanEndsWhenTheDeviceLeaves) {
  RemovalWindow gone;
  ProductThread& w = Scanner(Flash(512), &gone);
  gone.device = dev;
  gone.removeAtLook = 3;  // at block 10
  w.BadCount = 9;
  EXPECT_FALSE(w.EraseScan(5, 305));
  const auto trace = dev->Trace();
  ASSERT_EQ(trace.size(), 12u);
  EXPECT_TRUE(trace.back().faulted);
  EXPECT_EQ(w.BadCount, 9);
}

}  // namespace
}  // namespace production_test

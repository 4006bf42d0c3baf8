// Page maps, the analysis of per-page results and the page-mode detection
// against emulated flashes with weak pages.
#include <gtest/gtest.h>

#include <sstream>

#include "production/scan_page.h"
#include "scan_fixture.h"

namespace production_test {
namespace {

using production::CheckPageResults;
using production::CMyPage;
using production::PageMapForMode;

std::vector<int> Pages(const std::uint8_t* map, int n) {
  std::vector<int> pages;
  for (int p = 0; p < n; ++p)
    if (map[p] == 0xFF) pages.push_back(p);
  return pages;
}

TEST(PageMap, ModesSelectTheirPages) {
  struct Case {
    int mode, pages;
    std::vector<int> expected;
  };
  const Case cases[] = {
      {0, 8, {0, 1, 2, 3}},       {1, 8, {0, 1, 4, 5}},       {2, 8, {0, 2, 4, 6}}, {3, 8, {1, 3, 5, 7}},
      {4, 8, {0, 1, 2, 3}},       {5, 8, {0, 4, 5, 6}},       {6, 8, {0, 1, 2, 3, 4, 5, 6, 7}},
      {0, 4, {0, 1}},             {5, 5, {0, 2, 3}},          {0, 1, {}},
      {0, 16, {0, 1, 2, 3, 6, 7, 10, 11}},
  };
  for (const Case& c : cases) {
    std::uint8_t map[16];
    std::fill(std::begin(map), std::end(map), 0x77);
    EXPECT_TRUE(PageMapForMode(map, c.mode, c.pages));
    EXPECT_EQ(Pages(map, c.pages), c.expected) << "mode " << c.mode << ", " << c.pages << " pages";
  }
  for (int mode : {7, 8, -1}) {
    std::uint8_t map[8];
    std::fill(std::begin(map), std::end(map), 0x77);
    EXPECT_FALSE(PageMapForMode(map, mode, 8));
    EXPECT_TRUE(std::all_of(std::begin(map), std::end(map), [](auto b) { return b == 0; }));
  }
}

struct PageAnalysisTest : ProductionTest {
  std::string PageLog() { return ReadFile(home / "log/page_and_size.txt"); }
};

TEST_F(PageAnalysisTest, BestPagesLeaveOutThePagesThatFailMost) {
  // 128 pages, 2 rows: page 0 fails in both rows, pages 100..107 in one.
  std::vector<std::uint8_t> results(2 * 128, 255);
  results[0] = results[128] = 0;
  for (int p = 100; p < 108; ++p) results[p] = 240;
  CMyPage page(2, 128, 4, results.data());
  std::uint8_t mask[128];
  page.SelectBestPages(mask);
  // Every set with page 0 fails both rows; the list that starts with page 1
  // wins with 112 pages on both rows, and gives its first 120 pages.
  EXPECT_EQ(mask[0], 0);
  EXPECT_EQ(std::count(std::begin(mask), std::end(mask), 0xFF), 120);
  std::istringstream log(PageLog());
  std::vector<std::string> lines;
  for (std::string line; std::getline(log, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 1u + 32 + 3);  // header, 32 sets, a blank line before sets 8, 16 and 24
  EXPECT_EQ(lines[0], "=========pages:size:which_page_info========");
  EXPECT_EQ(lines[1], "128:0:0");
  EXPECT_EQ(lines[2], "128:0:1");
  EXPECT_EQ(lines[5], "112:0:0");
  EXPECT_EQ(lines[6], "112:224:1");
  EXPECT_EQ(lines[9], "");
}

TEST_F(PageAnalysisTest, FewOrNoPagesStayWithinTheBlock) {
  const std::uint8_t results[8] = {255, 255, 255, 255, 255, 255, 255, 255};
  std::uint8_t mask[4] = {0x77, 0x77, 0x77, 0x77};
  CMyPage(2, 4, 4, results).SelectBestPages(mask);  // no candidate set: list B, all 4 pages
  EXPECT_TRUE(std::all_of(std::begin(mask), std::end(mask), [](auto b) { return b == 0xFF; }));
  CMyPage(2, 0, 4, results).SelectBestPages(mask);  // nothing to choose, nothing written
  EXPECT_EQ(mask[0], 0xFF);
}

DeviceProfile Clean(std::uint32_t blocks) { return DeviceProfile().WithGeometry(2048, 64, blocks); }

// 256 blocks of 128 pages; every page 3, 7, 11 ... shows 5 bit errors, so
// "Specific mode 2" and "Even Pages" pass every sample.
DeviceProfile QuarterWeak() {
  DeviceProfile p = DeviceProfile().Named("quarter-weak").WithGeometry(2048, 128, 256).WithEccMode(2);
  for (std::uint32_t page = 3; page < 128; page += 4) p.WithWeakPage(page, 5);
  return p;
}

TEST_F(ScanTest, DetectionPicksTheLowerOfEqualModes) {
  ProductThread& w = Scanner(QuarterWeak());
  w.LogBiTable = true;
  EXPECT_EQ(w.DetectPageMode(), 1);
  EXPECT_EQ(dev->CountVendor(device::SUB_SCSI_OP_SET_PAGE_TABLE), 7u);
  const auto tests = dev->BlockTests();
  ASSERT_EQ(tests.size(), 7u * 16);
  for (std::size_t i = 0; i < tests.size(); ++i) {
    EXPECT_EQ(tests[i].block / 16, i % 16);  // sample s lies in the s-th sixteenth
    EXPECT_EQ(tests[i].block, tests[i % 16].block);
    EXPECT_TRUE(tests[i].perPage);
    EXPECT_EQ(tests[i].modeA, 1);
    EXPECT_EQ(tests[i].modeB, 3);
  }
  std::uint8_t mode5[128];
  PageMapForMode(mode5, 5, 128);
  EXPECT_EQ(dev->PageTable(), Bytes(mode5, mode5 + 128));
  const std::string log = ReadFile(home / "log/0_ModeEcc.txt");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 7 * 2 + 7 * 16);  // a heading per mode, a line per sample
  EXPECT_FALSE(ReadFile(home / "log/page_and_size.txt").empty());
}

TEST_F(ScanTest, DetectionFailingUnderEveryModeEndsTheScan) {
  window.settings.PageMode = true;
  window.settings.PageModeSel = 7;
  ProductThread& w = Scanner(QuarterWeak().WithWeakPage(0, 6).WithWeakPage(1, 6));
  EXPECT_FALSE(w.FlashBlockScan(5, 305));
  EXPECT_EQ(Status(w), "Mode Detectionfail");
  EXPECT_EQ(dev->CountVendor(device::SUB_SCSI_OP_SET_PAGE_TABLE), 7u);  // detection's own, none after
  EXPECT_EQ(Tests(), 7u * 16);
}

struct SetUpFailure {
  int pageModeSel;
  std::uint8_t faultySub;
  std::uint32_t onCall;
  const char* text;
  std::size_t tests;
};

class PageSetUpFailures : public ScanTest, public ::testing::WithParamInterface<SetUpFailure> {};

TEST_P(PageSetUpFailures, EndTheScanWithTheirText) {
  const SetUpFailure c = GetParam();
  window.settings.PageMode = true;
  window.settings.PageModeSel = c.pageModeSel;
  ProductThread& w = Scanner(QuarterWeak());
  dev->InjectFault(emulator::Fault::Vendor(c.faultySub).OnCall(c.onCall));
  EXPECT_FALSE(w.FlashBlockScan(5, 305));
  EXPECT_EQ(Status(w), c.text);
  EXPECT_EQ(Tests(), c.tests);
  EXPECT_TRUE(w.PageResults.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PageSetUpFailures,
    ::testing::Values(SetUpFailure{2, device::SUB_SCSI_OP_SET_PAGE_TABLE, 1, "Send Pagetable fail", 0},
                      SetUpFailure{2, device::SUB_SCSI_OP_BLOCK_TEST, 9, "Blanking Checkfail", 9},
                      SetUpFailure{7, device::SUB_SCSI_OP_BLOCK_TEST, 20, "Mode Detectionfail", 20},
                      SetUpFailure{7, device::SUB_SCSI_OP_SET_PAGE_TABLE, 3, "Mode Detectionfail", 32}));

TEST_F(ScanTest, DetectionNeedsSixteenBlocks) {
  ProductThread& w = Scanner(Clean(8));
  EXPECT_EQ(w.DetectPageMode(), -1);
  EXPECT_EQ(dev->Trace().size(), 0u);
}

}  // namespace
}  // namespace production_test

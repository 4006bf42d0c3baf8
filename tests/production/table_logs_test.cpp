// The engineers' tables in the log folder, byte for byte.
#include "production_fixture.h"

namespace production_test {
namespace {

struct TableLogsTest : ProductionTest {
  std::string Log(const std::string& name) { return ReadFile(home / ("log/" + name)); }
};

const std::string kRule69(69, '=');

TEST_F(TableLogsTest, BadBlockListBreaksAfterEveryEighthEntry) {
  ProductThread& w = Worker('E', 2, false);
  w.FlashTypeName = "T2K64-4G";
  w.ChipCount = 1;
  w.BlocksPerChip = 16;
  const std::string head =
      "======================Flash Type: T2K64-4G========================\n"
      "==================bad block list ecc detail==========================\n";
  struct Case {
    std::vector<int> bad;
    std::string list;
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{0, 1, 2, 3, 4, 5, 6, 7, 15},
       "0000(0)  0001(0)  0002(0)  0003(0)  0004(0)  0005(0)  0006(0)  0007(0)  \n0015(3)  "},
  };
  for (const auto& c : cases) {
    w.BlockStatus.assign(16, 255);
    for (int b : c.bad) w.BlockStatus[b] = b == 15 ? 3 : 0;
    ASSERT_TRUE(w.WriteBadBlockLog("2_bi_tab.txt"));
    EXPECT_EQ(Log("2_bi_tab.txt"), head + c.list + "\n\n" + kRule69 + "\nTotal blocks: 16 \nTotal bad bind blocks: " +
                                       std::to_string(c.bad.size()) + " \n");
    EXPECT_EQ(w.BadCount, static_cast<int>(c.bad.size()));
  }
}

TEST_F(TableLogsTest, ATableThatCannotBeWrittenIsSkipped) {
  WriteFile(home / "log", "a file where the folder should be");
  ProductThread& w = Worker('E', 2, false);
  w.BlockStatus.assign(16, 0);
  w.BadCount = 7;
  EXPECT_FALSE(w.WriteBadBlockLog("2_bi_tab.txt"));
  EXPECT_EQ(w.BadCount, 7);
}

TEST_F(TableLogsTest, PageAndEccTables) {
  ProductThread& w = Worker('E', 1, false);
  w.FlashTypeName = "X";
  w.PagesPerBlock = 10;
  w.BlocksPerChip = 2;
  w.PageUsable[3] = 0x10;
  w.WritePageTableLog("1_page_tab.txt");
  EXPECT_EQ(Log("1_page_tab.txt"),
            "====Flash Type: X==========================\n=========page table ========\n"
            "0xFF 0xFF 0xFF 0x10 0xFF 0xFF 0xFF 0xFF \n0xFF 0xFF \nValid Page  9");

  w.PageResults.assign(20, 0xFF);
  w.PageResults[12] = 0xFA;
  w.WriteEccTableLog("1_Ecc_Tab.txt");
  EXPECT_EQ(Log("1_Ecc_Tab.txt"),
            "====Flash Type: X==========================\n=========page ECC table ========\n"
            "0000: FF FF FF FF FF FF FF FF FF FF \n0001: FF FF FA FF FF FF FF FF FF FF \n");
}

TEST_F(TableLogsTest, ModeLogWritesAHeaderOnlyWhenTheModeChanges) {
  ProductThread& w = Worker('E', 4, false);
  const std::uint8_t r[3] = {0xFF, 0xFE, 0x00};
  const std::string rule44(44, '=');
  ASSERT_TRUE(w.WriteModeEccLog(true, 4, 2, 7, r, 3));
  ASSERT_TRUE(w.WriteModeEccLog(false, 4, 2, 12, r, 2));
  ASSERT_TRUE(w.WriteModeEccLog(false, 4, 6, 1, r, 1));
  EXPECT_EQ(Log("4_ModeEcc.txt"), "Mode Even Pages\n" + rule44 + "\n0007: FF FE 00\n0012: FF FE\nMode All Pages\n" +
                                       rule44 + "\n0001: FF\n");
  // "first" rewrites the file; the mode is unchanged, so no header.
  ASSERT_TRUE(w.WriteModeEccLog(true, 4, 6, 9, r, 1));
  EXPECT_EQ(Log("4_ModeEcc.txt"), "0009: FF\n");
}

// The header names the mode as the settings dialog lists it, in the language
// the worker was made in.
TEST_F(TableLogsTest, ModeLogNamesTheModeInTheWorkersLanguage) {
  const std::uint8_t r[1] = {0xFF};
  struct Case {
    int language;
    int mode;
    const char* name;
  };
  const std::vector<Case> cases = {{0, 7, "Auto Detection"}, {1, 7, "自動偵測"}, {2, 7, "自动侦测"},
                                   {1, 0, "特殊頁一"},       {2, 5, "后半数页"}, {1, 6, "全部頁"}};
  for (const auto& c : cases) {
    window.languageIndex = c.language;
    ProductThread& w = Worker('F', 5, false);
    window.languageIndex = 0;  // the worker keeps the language it was made in
    ASSERT_TRUE(w.WriteModeEccLog(true, 5, c.mode, 0, r, 1));
    EXPECT_EQ(Log("5_ModeEcc.txt"), "Mode " + std::string(c.name) + "\n" + std::string(44, '=') + "\n0000: FF\n")
        << c.language << " " << c.mode;
  }
}

}  // namespace
}  // namespace production_test

// The station's texts: the named strings and the three-language message table.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "console/message_table.h"
#include "console/ui_strings.h"
#include "platform/codepage/codepage.h"

namespace console {
namespace {

// A text survives the trip into the code page and back only when every one
// of its characters has a place there (a missing one comes back as '?').
std::string ThroughCodePage(const char* text, unsigned codePage) {
  return platform::CodePageToUtf8(platform::Utf8ToCodePage(text, codePage), codePage);
}

TEST(MessageTable, HasNinetyNineRowsOfThreeTextsWithPlainEnglish) {
  EXPECT_EQ(sizeof(MessageTable) / sizeof(MessageTable[0]), 99u);
  for (int r = 0; r < kMessageRows; ++r) {
    for (int c = 0; c < kLanguageColumns; ++c) {
      ASSERT_NE(MessageTable[r][c], nullptr) << r << "/" << c;
      EXPECT_GT(std::strlen(MessageTable[r][c]), 0u) << r << "/" << c;
    }
    for (const char* p = MessageTable[r][0]; *p; ++p) EXPECT_LT(static_cast<unsigned char>(*p), 0x80) << "row " << r;
  }
}

TEST(MessageTable, BlanksAndLineFeedsStayWhereTheyAre) {
  EXPECT_STREQ(MessageTable[79][0], "SPI hidden files write ");
  for (int r : {92, 93}) EXPECT_STREQ(MessageTable[r][0], "Check Data ");
  for (int c = 0; c < kLanguageColumns; ++c) {
    EXPECT_EQ(MessageTable[36][c][0], ' ') << c;
    EXPECT_EQ(MessageTable[37][c][0], ' ') << c;
    EXPECT_EQ(std::string(MessageTable[79][c]).back(), ' ') << c;
  }
  EXPECT_STRNE(MessageTable[92][1], MessageTable[93][1]);
  EXPECT_STRNE(MessageTable[92][2], MessageTable[93][2]);
  // Line feeds only where the text has two lines.
  EXPECT_EQ(std::string(MessageTable[86][0]),
            "Fast Blanking Check cannot guarantee the stablity of data access.\n"
            "Still want to select this tiem?and must use good flash");
  EXPECT_STREQ(MessageTable[86][1], "僅低格系統區不能保證資料區的穩定性！\n仍然要勾選此選項？且需使用正品");
  EXPECT_STREQ(MessageTable[86][2], "仅低格系统区不能保证资料区的稳定性！\n仍然要勾选此选项？且需使用正品");
  EXPECT_STREQ(MessageTable[10][0], "Bad block rate threshold");
  EXPECT_STREQ(MessageTable[10][1], "要求低格\n當壞塊率大於");
  EXPECT_STREQ(MessageTable[10][2], "要求低格\n当坏块率大于");
  for (int r = 0; r < kMessageRows; ++r)
    for (int c = 0; c < kLanguageColumns && r != 10 && r != 86; ++c)
      EXPECT_EQ(std::strchr(MessageTable[r][c], '\n'), nullptr) << r << "/" << c;
}

TEST(MessageTable, EveryChineseTextHasItsCodePage) {
  for (int r = 0; r < kMessageRows; ++r) {
    EXPECT_EQ(ThroughCodePage(MessageTable[r][1], platform::CP_BIG5), MessageTable[r][1]) << "row " << r;
    EXPECT_EQ(ThroughCodePage(MessageTable[r][2], platform::CP_GBK), MessageTable[r][2]) << "row " << r;
  }
  EXPECT_EQ(platform::Utf8ToCodePage(MessageTable[71][1], platform::CP_BIG5), "\xA5\xA2\xB1\xD1");  // 失敗
  EXPECT_EQ(platform::Utf8ToCodePage(MessageTable[71][2], platform::CP_GBK), "\xCA\xA7\xB0\xDC");   // 失败
}

TEST(MessageTable, OutOfRangeReadsAreHarmless) {
  EXPECT_STREQ(MessageText(27, 1), "警告");
  EXPECT_STREQ(MessageText(27, 7), "Warning");
  EXPECT_STREQ(MessageText(-1, 0), "");
  EXPECT_STREQ(MessageText(99, 0), "");
}

TEST(UiStrings, BlankingCheckSetupIsRebuiltFromTwoStrings) {
  InitUiStrings();
  EXPECT_EQ(BlankingCheckSetupStr.Get(), "Blanking Check Setup");
  DeriveBlankingCheckSetupStr();
  EXPECT_EQ(BlankingCheckSetupStr.Get(), "Blanking CheckSetting");
  BlankingCheckStr = "低格";
  SettingMsg = "設定";
  DeriveBlankingCheckSetupStr();
  EXPECT_EQ(BlankingCheckSetupStr.Get(), "低格設定");
  EXPECT_EQ(RealBlankingCheckStr.Get(), "Blanking Check");  // translated on its own
  InitUiStrings();
}

TEST(UiStrings, AHeldTextSurvivesReplacement) {
  auto held = SuccessMsg.Share();
  SuccessMsg = "成功";
  EXPECT_EQ(*held, "successful");
  EXPECT_EQ(SuccessMsg.Get(), "成功");
  InitUiStrings();
}

// Workers read the strings while the UI thread switches languages: each read
// must be one whole text, never a mix or a freed buffer.
TEST(UiStringsConcurrency, ReadersSeeWholeTextsWhileTheLanguageChanges) {
  InitUiStrings();
  const std::string english = "Waiting device...";
  const std::string chinese = "等待裝置中，請插入裝置……";
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        std::string s = WaitDeviceMsg.Get();
        std::string joined = FSMWrite + WaitDeviceMsg;
        if (s != english && s != chinese) bad.fetch_add(1);
        if (joined != "FSM Writing" + english && joined != "FSM Writing" + chinese) bad.fetch_add(1);
      }
    });
  for (int i = 0; i < 2000; ++i) WaitDeviceMsg = (i % 2) ? english : chinese;
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
  InitUiStrings();
}

}  // namespace
}  // namespace console

// The three languages: the shipped language file read back through its code
// pages, and the language build as the operator chooses it.
#include <gtest/gtest.h>

#include "console/languages.h"
#include "console/message_table.h"
#include "console/settings_dialog.h"
#include "platform/codepage/codepage.h"
#include "platform/ini/ini.h"
#include "platform/locale/locale.h"
#include "station_fixture.h"

namespace console::testing {
namespace {

using namespace platform::ui;
using Languages = StationTest;

const fs::path kShippedLangIni = fs::path(STATION_SOURCE_DIR) / "support/misc/lang.ini";

TEST(LanguageFile, EverySectionHoldsEveryKeyAndConvertsWithoutLoss) {
  const platform::TIniFile ini(kShippedLangIni.string());
  for (const LanguageSection& section : {kEnglishSection, kTaiwanSection, kPrcSection}) {
    EXPECT_EQ(ini.ReadSection(section.name).size(), static_cast<std::size_t>(kLanguageKeyCount)) << section.name;
    for (const char* key : kLanguageKeys) {
      ASSERT_TRUE(ini.ValueExists(section.name, key)) << section.name << " " << key;
      const std::string bytes = ini.ReadString(section.name, key, "");
      ASSERT_FALSE(bytes.empty()) << section.name << " " << key;
      if (section.codePage == 0) {
        EXPECT_EQ(bytes, FindUiString(key)->EnglishDefault()) << key;
        continue;
      }
      const std::string text = platform::CodePageToUtf8(bytes, section.codePage);
      EXPECT_EQ(text.find("\xEF\xBF\xBD"), std::string::npos) << section.name << " " << key;
      EXPECT_EQ(platform::Utf8ToCodePage(text, section.codePage), bytes) << section.name << " " << key;
      EXPECT_NE(text, FindUiString(key)->EnglishDefault()) << section.name << " " << key << " is translated";
    }
  }
}

class LanguageBuild : public StationTest {
 protected:
  void SetUp() override {
    StationTest::SetUp();
    fs::copy_file(kShippedLangIni, misc() / "lang.ini");
  }
  void TearDown() override {
    platform::SetSystemDefaultLangIDOverride(std::nullopt);
    StationTest::TearDown();
  }
};

struct LanguageCase {
  const char* what;
  TTntRadioButton TForm1::*radio;
  std::optional<platform::LANGID> system;
  int languageId;     // stored choice
  int languageIndex;  // message-table column
  const char* waiting;
  const char* device1;
  const char* blankCheck;
};

// Each button, and Auto under the systems' languages: the index, the stored
// choice, the slot texts and captions of that language.
TEST_F(LanguageBuild, EachChoiceBuildsItsLanguage) {
  const LanguageCase cases[] = {
      {"Eng. on a Taiwan system", &TForm1::TntRdoLangEng, 0x0404, 1, 0, "Waiting device...", "Device 1: ",
       "Blanking Check"},
      {"simplified", &TForm1::TntRdoLangSC, std::nullopt, 2, 2, "等待设备...", "设备 1: ", "低格检查 Flash"},
      {"traditional", &TForm1::TntRdoLangTC, std::nullopt, 3, 1, "等待裝置...", "裝置 1: ", "低格檢查 Flash"},
      {"auto zh_TW", &TForm1::TntRdoLangAuto, platform::LangIdFromLocaleName("zh_TW.UTF-8"), 0, 1, "等待裝置...",
       "裝置 1: ", "低格檢查 Flash"},
      {"auto zh_CN", &TForm1::TntRdoLangAuto, platform::LangIdFromLocaleName("zh_CN.UTF-8"), 0, 2, "等待设备...",
       "设备 1: ", "低格检查 Flash"},
      {"auto en", &TForm1::TntRdoLangAuto, platform::LangIdFromLocaleName("en_US.UTF-8"), 0, 0,
       "Waiting device...", "Device 1: ", "Blanking Check"},
      {"auto Hong Kong", &TForm1::TntRdoLangAuto, platform::LANG_CHINESE_HONGKONG, 0, 0, "Waiting device...",
       "Device 1: ", "Blanking Check"},
  };
  for (const LanguageCase& c : cases) {
    platform::SetSystemDefaultLangIDOverride(c.system);
    InitUiStrings();
    Start();
    const std::string upgrade = Form1->Upgradebtn.Caption();
    Form1->Slots[3].statusText->SetCaption("Copy Files...");
    // Away from the choice first, so that checking it is a change.
    if (c.radio == &TForm1::TntRdoLangEng)
      Form1->TntRdoLangTC.UserClick();
    else
      Form1->TntRdoLangEng.UserClick();
    ASSERT_TRUE((Form1->*(c.radio)).UserClick()) << c.what;
    EXPECT_EQ(Form1->LanguageIndex, c.languageIndex) << c.what;
    EXPECT_EQ(RegReadInteger(kStationKey, "LanguageID", -1), c.languageId) << c.what;
    for (int k = 0; k < kSlotCount; ++k) EXPECT_EQ(Form1->Slots[k].statusText->Caption(), c.waiting) << c.what;
    EXPECT_EQ(Form1->StaticText1.Caption(), c.device1) << c.what;
    EXPECT_EQ(Form1->chkBlankCheck.Caption(), c.blankCheck) << c.what;
    EXPECT_EQ(Application->Title(), TitleStr.Get()) << c.what;
    EXPECT_EQ(Form1->Caption().substr(0, 7 + TitleStr.Get().size()), std::string(7, ' ') + TitleStr.Get());
    EXPECT_EQ(frmSetting->Caption(), AdvanceStr + SettingMsg) << c.what;
    EXPECT_EQ(Form1->Upgradebtn.Caption(), upgrade) << "set at show only";
    DestroyForms();
  }
}

// A key missing from the new section keeps the previous language's text;
// English captions join without blanks; a stored choice out of range is
// stored back as Auto at show; a missing file leaves the defaults.
TEST_F(LanguageBuild, MissingKeysKeepTheirTextAndOddChoicesFallBack) {
  std::string ini = ReadBytes(misc() / "lang.ini");
  const std::size_t title = ini.find("TitleStr=MP3 Mass Production Tool\r\n");
  ASSERT_NE(title, std::string::npos);
  ini.erase(title, std::string("TitleStr=MP3 Mass Production Tool\r\n").size());
  WriteBytes(misc() / "lang.ini", ini);
  ASSERT_TRUE(RegWriteInteger(kStationKey, "LanguageID", 7));
  platform::SetSystemDefaultLangIDOverride(platform::LANG_CHINESE_PRC);
  Start();
  EXPECT_TRUE(Form1->TntRdoLangAuto.Checked());
  EXPECT_EQ(RegReadInteger(kStationKey, "LanguageID", -1), 0);
  EXPECT_EQ(TitleStr.Get(), "MP3 量产工具");
  Form1->TntRdoLangEng.UserClick();
  EXPECT_EQ(TitleStr.Get(), "MP3 量产工具") << "no English title in the file";
  EXPECT_EQ(FailMsg.Get(), "fail");
  EXPECT_EQ(Form1->btnSetup.Caption(), "AdvanceSetting...");
  EXPECT_EQ(BlankingCheckSetupStr.Get(), "Blanking CheckSetting");
  Form1->eDeviceFeature = kHiddenDisk;
  Form1->iHideDiskRatio = 10;
  Form1->TntRdoLangTC.UserClick();
  EXPECT_EQ(Form1->labDiskFeature.Caption(), std::string(MessageText(17, 1)) + "10%");
  EXPECT_EQ(BlankingCheckSetupStr.Get(), "低格檢查設定");
  DestroyForms();

  fs::remove(misc() / "lang.ini");
  InitUiStrings();
  Start();
  Form1->TntRdoLangSC.UserClick();
  EXPECT_EQ(Form1->LanguageIndex, 2);
  EXPECT_EQ(WaitDeviceMsg.Get(), "Waiting device...");
}

}  // namespace
}  // namespace console::testing

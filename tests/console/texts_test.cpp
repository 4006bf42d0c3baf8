// The station's texts: the named strings and the three-language message table.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <tuple>
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

// The texts as the station ships them, spelling slips included ("Menual",
// "couse", "tiem"): operators' language files and habits know them so. Strings:
// name, English text, where the language build takes it from.
constexpr UiStringSource L = UiStringSource::LangIni, D = UiStringSource::Derived, F = UiStringSource::Fixed;
const std::tuple<const char*, const char*, UiStringSource> kStrings[] = {
    {"TitleStr", "MP3 Mass Production Tool", L}, {"PageStr", "Mass Production", L}, {"DeviceStr", "Device", L},
    {"LabelStr", "Label", L}, {"SysPreCopyStr", "System files and Pre-copy files:", L}, {"FormatStr", "Format", L},
    {"FSMWrite", "FSM Writing", L}, {"FSMLoad", "FSM Load", F}, {"SettingMsg", "Setting", L},
    {"FILEWriteStr", "FILE Writing", L}, {"BadBlockStr", "Bad Block Check", L},
    {"BlankingCheckStr", "Blanking Check", L}, {"BlankingCheckSetupStr", "Blanking Check Setup", D},
    {"RealBlankingCheckStr", "Blanking Check", L}, {"ProgramWriteSetupStr", "Program Write Setup", L},
    {"ProgramWriteEndStr", "Program Write End", L}, {"ProgramWriteStr", "Program Writing", L},
    {"ProgramWriteRetryStr", "Program Writing Retry", F}, {"PreferWriteRetryStr", "Prefer Writing Retry", F},
    {"PreferWriteSetupStr", "Prefer Write Setup", L}, {"PreferWriteEndStr", "Prefer Write End", L},
    {"PreferWriteStr", "Prefer Writing", L}, {"TelbookWriteSetupStr", "Telbook Write Setup", F},
    {"TelbookWriteEndStr", "Telbook Write End", F}, {"TelbookWriteStr", "Telbook Writing", F},
    {"ISOWriteSetupStr", "ISO Write Setup", L}, {"ISOWriteEndStr", "ISO Write End", L},
    {"ISOWriteStr", "ISO Writing", L}, {"PassWriteSetupStr", "PASS Write Setup", L},
    {"PassWriteEndStr", "PASS Write End", L}, {"PassWriteStr", "PASS Write Setup", L},
    {"AddFileStr", "Add files", L}, {"RemoveStr", "Remove", L}, {"LogStr", "Log", L},
    {"SelectFileStr", "Select files", L}, {"StatusMsg", "Status", L}, {"SuccessMsg", "successful", L},
    {"FailMsg", "fail", L}, {"ExceedLimitMsg", "Exceed the device limit!", L}, {"TotalMsg", "Total", L},
    {"WaitDeviceMsg", "Waiting device...", L}, {"CopyFileMsg", "Copy Files", L}, {"ChkdskMsg", "Check Disk", L},
    {"StringReset", "Reset", L}, {"VirtualCDROMStr", "Virtual CDROM", L}, {"FlashBrandStr", "Flash Brand", L},
    {"FlashSerialStr", "Flash Serial", L}, {"FlashEraseStr", "Erase Flash", L},
    {"MenuUpgradeStr", "Menual Upgrade Mode", L}, {"MenuUpgradeStartStr", "Start Upgrade", L},
    {"DevicePluginStr", "device plugin", L}, {"BarFixedStr", "Bar Fixed", L},
    {"SystemAreaSizeStr", "System Area Size", L}, {"FixSystemAreaSizeStr", "Fix System Area Size", L},
    {"FixUsbIOPortStr", "Fix Usb IO", L}, {"SetLabelStr", "Set Volume Label", L},
    {"FlashCheckStr", "Flash Check", L}, {"FwParityCheckStr", "FW Parity Check", L},
    {"FwUpgradeStr", "Firmware Upgrade", L}, {"HubPortExeccdStr", "Exceed USB Port limitation", L},
    {"UnresetMsg", "Unresetted device", L}, {"SDKBidErrorStr", "SDK bonding ID check fail", L},
    {"ChipBidErrorStr", "Chip bonding ID check fail", L}, {"SDKBidNoMatchStr", "SDK bonding ID not match", L},
    {"ApplyStr", "Apply", L}, {"CancelStr", "Cancel", L}, {"FactorSetStr", "Factory Setting", L},
    {"ModuleNoStr", "Flash Module No", L}, {"AdvanceStr", "Advance", L},
    {"ProcessStatusStr", "Processing Status", L}, {"BadBlockWarningStr", "Please do blanking check", L},
    {"ChangeDiskStr", "Change to Hidden disk", L}, {"HiddenDiskStr", "Hidden disk", L},
};

const char* const kEnglish[kMessageRows] = {
    /*  0 */ "Blank Check", "Scan Level", "Page Skip", "Read Times", "Permit ECC",
    /*  5 */ "Apply", "Cancel", "Factory Setting", "Flash Setting", "Flash Module No",
    /* 10 */ "Bad block rate threshold", "Save", "Load", "Device Setting", "Disk split",
    /* 15 */ "Normal", "Encrypted disk", "Hidden disk", "Hidden or Encrypt Disk", "Disk ratio",
    /* 20 */ "Hidden Files", "Add Files", "Add Dir", "Remove", "Disk Label",
    /* 25 */ "nonlegal mulitplier", "Firmware file not found", "Warning", "Skip page mode may couse flash unstable!",
    /* 29 */ "Disk Size Error",
    /* 30 */ "Get BadRate Error", "Sec", "Start Disk", "Write CFG", "Readback CFG",
    /* 35 */ "Compare CFG", " Setup", " End", "Check Disk", "Default",
    /* 40 */ "Read CFG", "Parse CFG", "No Support the Flash Pls build Config table",
    /* 43 */ "Length of Filepath exceeds 128!", "Too many bad block",
    /* 45 */ "8 devices", "16 devices", "Cannot find", "Capacity Rule", "Allow Capacity Error",
    /* 50 */ "Deal With unsatisfying", "Degrade", "Show Error", "Do not care", "Bad Block no Exceed",
    /* 55 */ "Valid Size too small", "Special Scan", "FSM init", "Mode Detection", "Create config",
    /* 60 */ "Page mode error", "Invalid IMG file", "Image File", "Manual add files", "Use Image File",
    /* 65 */ "Image file not exists. Please reassign it.", "Map Image file", "Image Disk Size:", "Create Image",
    /* 69 */ "Create",
    /* 70 */ "Success", "Fail", "Init Image Disk", "Image write file", "Image output",
    /* 75 */ "GetShortPath name fail!", "Hidden disk too small!", "IMG file error!", "Hidden Files in Nor Flash",
    /* 79 */ "SPI hidden files write ",
    /* 80 */ "flash size error!", "SPI read error!", "Nor Flash Setting", "Save Flash Image", "Bad",
    /* 85 */ "Fast Blanking Check",
    /* 86 */ "Fast Blanking Check cannot guarantee the stablity of data access.\n"
    "Still want to select this tiem?and must use good flash",
    /* 87 */ "SDK Ver and NAND Flash no match", "Pls input Password", "Password Setting",
    /* 90 */ "Input", "Program write", "Check Data ", "Check Data ", "Nor Read Check",
    /* 95 */ "Fix Usb IO", "Clear FLASH", "Please insert the required fixed USB IO port", "Fix Usb IO Port",
};

TEST(UiStrings, EveryNamedStringHasItsEnglishTextAndSource) {
  InitUiStrings();
  const auto all = AllUiStrings();
  ASSERT_EQ(all.size(), std::size(kStrings));
  int fromLangIni = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto& [name, english, source] = kStrings[i];
    EXPECT_STREQ(all[i]->Name(), name) << i;
    EXPECT_EQ(all[i]->Get(), english) << name;
    EXPECT_EQ(all[i]->Source(), source) << name;
    EXPECT_EQ(FindUiString(name), all[i]) << name;
    fromLangIni += source == UiStringSource::LangIni;
  }
  EXPECT_EQ(fromLangIni, 66);
}

TEST(MessageTable, EnglishColumnAsShipped) {
  for (int r = 0; r < kMessageRows; ++r) EXPECT_STREQ(MessageTable[r][0], kEnglish[r]) << "row " << r;
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
  for (int c = 1; c < kLanguageColumns; ++c) {
    EXPECT_EQ(MessageTable[36][c][0], ' ') << c;
    EXPECT_EQ(MessageTable[37][c][0], ' ') << c;
    EXPECT_EQ(std::string(MessageTable[79][c]).back(), ' ') << c;
  }
  EXPECT_STRNE(MessageTable[92][1], MessageTable[93][1]);
  EXPECT_STRNE(MessageTable[92][2], MessageTable[93][2]);
  // Line feeds only where the text has two lines.
  EXPECT_STREQ(MessageTable[86][1], "僅低格系統區不能保證資料區的穩定性！\n仍然要勾選此選項？且需使用正品");
  EXPECT_STREQ(MessageTable[86][2], "仅低格系统区不能保证资料区的稳定性！\n仍然要勾选此选项？且需使用正品");
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

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
// "couse", "tiem"): other programs and operators' language files know them so.
// name, English text, where the language build takes it from
const std::tuple<const char*, const char*, UiStringSource> kStrings[] = {
    {"TitleStr", "MP3 Mass Production Tool", UiStringSource::LangIni},
    {"PageStr", "Mass Production", UiStringSource::LangIni},
    {"DeviceStr", "Device", UiStringSource::LangIni},
    {"LabelStr", "Label", UiStringSource::LangIni},
    {"SysPreCopyStr", "System files and Pre-copy files:", UiStringSource::LangIni},
    {"FormatStr", "Format", UiStringSource::LangIni},
    {"FSMWrite", "FSM Writing", UiStringSource::LangIni},
    {"FSMLoad", "FSM Load", UiStringSource::Fixed},
    {"SettingMsg", "Setting", UiStringSource::LangIni},
    {"FILEWriteStr", "FILE Writing", UiStringSource::LangIni},
    {"BadBlockStr", "Bad Block Check", UiStringSource::LangIni},
    {"BlankingCheckStr", "Blanking Check", UiStringSource::LangIni},
    {"BlankingCheckSetupStr", "Blanking Check Setup", UiStringSource::Derived},
    {"RealBlankingCheckStr", "Blanking Check", UiStringSource::LangIni},
    {"ProgramWriteSetupStr", "Program Write Setup", UiStringSource::LangIni},
    {"ProgramWriteEndStr", "Program Write End", UiStringSource::LangIni},
    {"ProgramWriteStr", "Program Writing", UiStringSource::LangIni},
    {"ProgramWriteRetryStr", "Program Writing Retry", UiStringSource::Fixed},
    {"PreferWriteRetryStr", "Prefer Writing Retry", UiStringSource::Fixed},
    {"PreferWriteSetupStr", "Prefer Write Setup", UiStringSource::LangIni},
    {"PreferWriteEndStr", "Prefer Write End", UiStringSource::LangIni},
    {"PreferWriteStr", "Prefer Writing", UiStringSource::LangIni},
    {"TelbookWriteSetupStr", "Telbook Write Setup", UiStringSource::Fixed},
    {"TelbookWriteEndStr", "Telbook Write End", UiStringSource::Fixed},
    {"TelbookWriteStr", "Telbook Writing", UiStringSource::Fixed},
    {"ISOWriteSetupStr", "ISO Write Setup", UiStringSource::LangIni},
    {"ISOWriteEndStr", "ISO Write End", UiStringSource::LangIni},
    {"ISOWriteStr", "ISO Writing", UiStringSource::LangIni},
    {"PassWriteSetupStr", "PASS Write Setup", UiStringSource::LangIni},
    {"PassWriteEndStr", "PASS Write End", UiStringSource::LangIni},
    {"PassWriteStr", "PASS Write Setup", UiStringSource::LangIni},
    {"AddFileStr", "Add files", UiStringSource::LangIni},
    {"RemoveStr", "Remove", UiStringSource::LangIni},
    {"LogStr", "Log", UiStringSource::LangIni},
    {"SelectFileStr", "Select files", UiStringSource::LangIni},
    {"StatusMsg", "Status", UiStringSource::LangIni},
    {"SuccessMsg", "successful", UiStringSource::LangIni},
    {"FailMsg", "fail", UiStringSource::LangIni},
    {"ExceedLimitMsg", "Exceed the device limit!", UiStringSource::LangIni},
    {"TotalMsg", "Total", UiStringSource::LangIni},
    {"WaitDeviceMsg", "Waiting device...", UiStringSource::LangIni},
    {"CopyFileMsg", "Copy Files", UiStringSource::LangIni},
    {"ChkdskMsg", "Check Disk", UiStringSource::LangIni},
    {"StringReset", "Reset", UiStringSource::LangIni},
    {"VirtualCDROMStr", "Virtual CDROM", UiStringSource::LangIni},
    {"FlashBrandStr", "Flash Brand", UiStringSource::LangIni},
    {"FlashSerialStr", "Flash Serial", UiStringSource::LangIni},
    {"FlashEraseStr", "Erase Flash", UiStringSource::LangIni},
    {"MenuUpgradeStr", "Menual Upgrade Mode", UiStringSource::LangIni},
    {"MenuUpgradeStartStr", "Start Upgrade", UiStringSource::LangIni},
    {"DevicePluginStr", "device plugin", UiStringSource::LangIni},
    {"BarFixedStr", "Bar Fixed", UiStringSource::LangIni},
    {"SystemAreaSizeStr", "System Area Size", UiStringSource::LangIni},
    {"FixSystemAreaSizeStr", "Fix System Area Size", UiStringSource::LangIni},
    {"FixUsbIOPortStr", "Fix Usb IO", UiStringSource::LangIni},
    {"SetLabelStr", "Set Volume Label", UiStringSource::LangIni},
    {"FlashCheckStr", "Flash Check", UiStringSource::LangIni},
    {"FwParityCheckStr", "FW Parity Check", UiStringSource::LangIni},
    {"FwUpgradeStr", "Firmware Upgrade", UiStringSource::LangIni},
    {"HubPortExeccdStr", "Exceed USB Port limitation", UiStringSource::LangIni},
    {"UnresetMsg", "Unresetted device", UiStringSource::LangIni},
    {"SDKBidErrorStr", "SDK bonding ID check fail", UiStringSource::LangIni},
    {"ChipBidErrorStr", "Chip bonding ID check fail", UiStringSource::LangIni},
    {"SDKBidNoMatchStr", "SDK bonding ID not match", UiStringSource::LangIni},
    {"ApplyStr", "Apply", UiStringSource::LangIni},
    {"CancelStr", "Cancel", UiStringSource::LangIni},
    {"FactorSetStr", "Factory Setting", UiStringSource::LangIni},
    {"ModuleNoStr", "Flash Module No", UiStringSource::LangIni},
    {"AdvanceStr", "Advance", UiStringSource::LangIni},
    {"ProcessStatusStr", "Processing Status", UiStringSource::LangIni},
    {"BadBlockWarningStr", "Please do blanking check", UiStringSource::LangIni},
    {"ChangeDiskStr", "Change to Hidden disk", UiStringSource::LangIni},
    {"HiddenDiskStr", "Hidden disk", UiStringSource::LangIni},
};

const char* const kEnglish[kMessageRows] = {
    "Blank Check",  // 0
    "Scan Level",  // 1
    "Page Skip",  // 2
    "Read Times",  // 3
    "Permit ECC",  // 4
    "Apply",  // 5
    "Cancel",  // 6
    "Factory Setting",  // 7
    "Flash Setting",  // 8
    "Flash Module No",  // 9
    "Bad block rate threshold",  // 10
    "Save",  // 11
    "Load",  // 12
    "Device Setting",  // 13
    "Disk split",  // 14
    "Normal",  // 15
    "Encrypted disk",  // 16
    "Hidden disk",  // 17
    "Hidden or Encrypt Disk",  // 18
    "Disk ratio",  // 19
    "Hidden Files",  // 20
    "Add Files",  // 21
    "Add Dir",  // 22
    "Remove",  // 23
    "Disk Label",  // 24
    "nonlegal mulitplier",  // 25
    "Firmware file not found",  // 26
    "Warning",  // 27
    "Skip page mode may couse flash unstable!",  // 28
    "Disk Size Error",  // 29
    "Get BadRate Error",  // 30
    "Sec",  // 31
    "Start Disk",  // 32
    "Write CFG",  // 33
    "Readback CFG",  // 34
    "Compare CFG",  // 35
    " Setup",  // 36
    " End",  // 37
    "Check Disk",  // 38
    "Default",  // 39
    "Read CFG",  // 40
    "Parse CFG",  // 41
    "No Support the Flash Pls build Config table",  // 42
    "Length of Filepath exceeds 128!",  // 43
    "Too many bad block",  // 44
    "8 devices",  // 45
    "16 devices",  // 46
    "Cannot find",  // 47
    "Capacity Rule",  // 48
    "Allow Capacity Error",  // 49
    "Deal With unsatisfying",  // 50
    "Degrade",  // 51
    "Show Error",  // 52
    "Do not care",  // 53
    "Bad Block no Exceed",  // 54
    "Valid Size too small",  // 55
    "Special Scan",  // 56
    "FSM init",  // 57
    "Mode Detection",  // 58
    "Create config",  // 59
    "Page mode error",  // 60
    "Invalid IMG file",  // 61
    "Image File",  // 62
    "Manual add files",  // 63
    "Use Image File",  // 64
    "Image file not exists. Please reassign it.",  // 65
    "Map Image file",  // 66
    "Image Disk Size:",  // 67
    "Create Image",  // 68
    "Create",  // 69
    "Success",  // 70
    "Fail",  // 71
    "Init Image Disk",  // 72
    "Image write file",  // 73
    "Image output",  // 74
    "GetShortPath name fail!",  // 75
    "Hidden disk too small!",  // 76
    "IMG file error!",  // 77
    "Hidden Files in Nor Flash",  // 78
    "SPI hidden files write ",  // 79
    "flash size error!",  // 80
    "SPI read error!",  // 81
    "Nor Flash Setting",  // 82
    "Save Flash Image",  // 83
    "Bad",  // 84
    "Fast Blanking Check",  // 85
    "Fast Blanking Check cannot guarantee the stablity of data access.\n"
    "Still want to select this tiem?and must use good flash",  // 86
    "SDK Ver and NAND Flash no match",  // 87
    "Pls input Password",  // 88
    "Password Setting",  // 89
    "Input",  // 90
    "Program write",  // 91
    "Check Data ",  // 92
    "Check Data ",  // 93
    "Nor Read Check",  // 94
    "Fix Usb IO",  // 95
    "Clear FLASH",  // 96
    "Please insert the required fixed USB IO port",  // 97
    "Fix Usb IO Port",  // 98
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

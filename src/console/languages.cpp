#include "console/languages.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "console/firmware_files.h"
#include "console/main_window.h"
#include "console/message_table.h"
#include "console/settings_dialog.h"
#include "console/ui_strings.h"
#include "platform/codepage/codepage.h"
#include "platform/ini/ini.h"
#include "platform/locale/locale.h"
#include "platform/paths/paths.h"

namespace console {

const std::array<const char*, kLanguageKeyCount> kLanguageKeys = {
    "TitleStr",          "PageStr",           "DeviceStr",           "LabelStr",
    "SysPreCopyStr",     "FormatStr",         "AddFileStr",          "RemoveStr",
    "LogStr",            "SelectFileStr",     "StatusMsg",           "SuccessMsg",
    "FailMsg",           "ExceedLimitMsg",    "BadBlockStr",         "TotalMsg",
    "WaitDeviceMsg",     "CopyFileMsg",       "ChkdskMsg",           "SettingMsg",
    "FILEWriteStr",      "BlankingCheckStr",  "RealBlankingCheckStr", "ProgramWriteStr",
    "ProgramWriteEndStr", "ProgramWriteSetupStr", "PreferWriteStr",  "PreferWriteEndStr",
    "PreferWriteSetupStr", "ISOWriteStr",     "ISOWriteEndStr",      "ISOWriteSetupStr",
    "PassWriteStr",      "PassWriteEndStr",   "PassWriteSetupStr",   "StringReset",
    "FSMWrite",          "VirtualCDROMStr",   "FlashBrandStr",       "FlashSerialStr",
    "FlashEraseStr",     "MenuUpgradeStr",    "MenuUpgradeStartStr", "DevicePluginStr",
    "BarFixedStr",       "SystemAreaSizeStr", "SetLabelStr",         "FlashCheckStr",
    "FwParityCheckStr",  "FwUpgradeStr",      "FixSystemAreaSizeStr", "FixUsbIOPortStr",
    "UnresetMsg",        "HubPortExeccdStr",  "SDKBidErrorStr",      "ChipBidErrorStr",
    "SDKBidNoMatchStr",  "ApplyStr",          "CancelStr",           "FactorSetStr",
    "ModuleNoStr",       "AdvanceStr",        "ProcessStatusStr",    "BadBlockWarningStr",
    "ChangeDiskStr",     "HiddenDiskStr",
};

const LanguageSection& SectionOfLangId(unsigned langId) {
  if (langId == platform::LANG_CHINESE_PRC) return kPrcSection;
  if (langId == platform::LANG_CHINESE_TAIWAN) return kTaiwanSection;
  return kEnglishSection;
}

const LanguageSection& SectionOfChoice(int languageId) {
  switch (languageId) {
    case 1: return kEnglishSection;
    case 2: return kPrcSection;
    case 3: return kTaiwanSection;
    default: return SectionOfLangId(platform::GetSystemDefaultLangID());
  }
}

namespace {

const LanguageSection& ChosenSection(const TForm1& form) {
  if (form.TntRdoLangAuto.Checked()) return SectionOfLangId(platform::GetSystemDefaultLangID());
  if (form.TntRdoLangSC.Checked()) return kPrcSection;
  if (form.TntRdoLangTC.Checked()) return kTaiwanSection;
  return kEnglishSection;
}

// Each string takes the key's text of the section, decoded from the
// section's code page; a missing key leaves the string as it is.
void ReadStrings(const LanguageSection& section) {
  const platform::TIniFile ini(platform::ToNativePath("misc\\lang.ini"));
  for (const char* key : kLanguageKeys) {
    UiString* text = FindUiString(key);
    if (!text) continue;
    if (!ini.ValueExists(section.name, key)) continue;
    const std::string bytes = ini.ReadString(section.name, key, "");
    text->Set(section.codePage ? platform::CodePageToUtf8(bytes, section.codePage) : bytes);
  }
  // Its two parts are read before it in the key order; no later key touches them.
  DeriveBlankingCheckSetupStr();
}

// Turns a slot text of the previous language into the new one. The text must
// be made, from end to end, of the previous language's strings and
// message-table texts (the longest that fits is taken at each place) and of
// digits, blanks and signs; anything else (a file name, a text of a third
// language) leaves it as it is.
class SlotTextTranslator {
 public:
  // `before`: every named string's text, in order, before the build.
  SlotTextTranslator(const std::vector<std::string>& before, int fromLanguage, int toLanguage) {
    const auto strings = AllUiStrings();
    for (std::size_t i = 0; i < strings.size() && i < before.size(); ++i) Add(before[i], strings[i]->Get());
    for (int row = 0; row < kMessageRows; ++row)
      Add(MessageText(row, fromLanguage), MessageText(row, toLanguage));
    std::stable_sort(pieces_.begin(), pieces_.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  }

  std::optional<std::string> operator()(const std::string& text) const {
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
      const auto piece = std::find_if(pieces_.begin(), pieces_.end(),
                                      [&](const auto& p) { return text.compare(at, p.first.size(), p.first) == 0; });
      if (piece != pieces_.end()) {
        out += piece->second;
        at += piece->first.size();
        continue;
      }
      const unsigned char c = static_cast<unsigned char>(text[at]);
      if (c >= 0x80 || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')) return std::nullopt;
      out += text[at++];
    }
    return out;
  }

 private:
  void Add(std::string from, std::string to) {
    if (!from.empty()) pieces_.emplace_back(std::move(from), std::move(to));
  }
  std::vector<std::pair<std::string, std::string>> pieces_;
};

}  // namespace

void BuildLanguage(TForm1& form) {
  const LanguageSection& section = ChosenSection(form);
  const int previousLanguage = form.LanguageIndex;
  std::vector<std::string> previousStrings;
  for (const UiString* text : AllUiStrings()) previousStrings.push_back(text->Get());
  form.LanguageIndex = section.languageIndex;
  ReadStrings(section);

  // What each slot holds stays; it is shown in the new language.
  form.ShowSlotsInLanguage(SlotTextTranslator(previousStrings, previousLanguage, section.languageIndex));

  const int lang = section.languageIndex;
  std::string feature;
  if (DiskFeatureText(form.eDeviceFeature, form.iHideDiskRatio, lang, &feature)) form.labDiskFeature.SetCaption(feature);
  form.btnSetup.SetCaption(AdvanceStr + SettingMsg + "...");
  const std::string title = TitleStr + std::string(19, ' ') + std::string(16, ' ') + std::string(4, ' ') +
                            GetFsmVersionLabel(form);
  form.SetCaption(std::string(7, ' ') + title);
  Application->SetTitle(TitleStr);
  form.TabSheet4.SetCaption(PageStr);
  form.LabelStatic.SetCaption(LabelStr + ":");
  form.AddFilesBtn.SetCaption(AddFileStr + "...");
  form.RemoveBtn.SetCaption(RemoveStr);
  form.GroupBox16.SetCaption(LogStr);
  form.chkFormat.SetCaption(FormatStr);
  form.chkParityCheck.SetCaption(FwParityCheckStr);
  form.chknor.SetCaption(MessageText(94, lang));
  form.grpFileList.SetCaption(SysPreCopyStr);
  form.chkISOupgrade.SetCaption(VirtualCDROMStr);
  form.CheckManuupgrade.SetCaption(MenuUpgradeStr);
  form.chkBlankCheck.SetCaption(lang != 0 ? BlankingCheckStr + " Flash" : BlankingCheckStr.Get());
  form.SystemAreachk.SetCaption(FixSystemAreaSizeStr);
  form.chkUsbPort.SetCaption(MessageText(95, lang));
  form.chkClearFlash.SetCaption(MessageText(96, lang));
  form.labSystemArea.SetCaption(SystemAreaSizeStr);
  form.labType.SetCaption(std::string(MessageText(14, lang)) + ":");
  TStaticText* labels[kSlotCount] = {&form.StaticText1, &form.StaticText3, &form.StaticText4, &form.StaticText5,
                                     &form.StaticText6, &form.StaticText7, &form.StaticText8, &form.StaticText9};
  for (int k = 0; k < kSlotCount; ++k) labels[k]->SetCaption(DeviceStr + " " + std::to_string(k + 1) + ": ");
  form.StaticText10.SetCaption(TotalMsg + ":");
  form.StaticText11.SetCaption(SuccessMsg + ":");
  form.StaticText12.SetCaption(FailMsg + ":");
  form.chkFwUpgrade.SetCaption(FwUpgradeStr);
  form.grpProcessStatus.SetCaption(ProcessStatusStr);
  form.btnAddDir.SetCaption(MessageText(22, lang));
  if (frmSetting) frmSetting->SetCaption(AdvanceStr + SettingMsg);
}

void TForm1::TntRdoLangAutoClick(TObject*) {
  int choice = 0;
  if (TntRdoLangEng.Checked())
    choice = 1;
  else if (TntRdoLangSC.Checked())
    choice = 2;
  else if (TntRdoLangTC.Checked())
    choice = 3;
  RegWriteInteger(kStationKey, "LanguageID", choice);
  BuildLanguage(*this);
}

}  // namespace console

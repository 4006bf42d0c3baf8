#include "console/languages.h"

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

}  // namespace

void BuildLanguage(TForm1& form) {
  const LanguageSection& section = ChosenSection(form);
  form.LanguageIndex = section.languageIndex;
  ReadStrings(section);

  for (int k = 0; k < kSlotCount; ++k) {
    const production::SlotPanel panel = form.SlotControls(k);
    if (panel.statusText) panel.statusText->SetCaption(WaitDeviceMsg);
    if (panel.gauge) panel.gauge->SetProgress(0);
  }

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

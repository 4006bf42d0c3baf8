// The named user-interface strings and their English texts.
#include "console/ui_strings.h"

#include <algorithm>
#include <array>

namespace console {

UiString::UiString(const char* name, const char* englishDefault, UiStringSource source)
    : name_(name),
      englishDefault_(englishDefault),
      source_(source),
      text_(std::make_shared<const std::string>(englishDefault)) {}

std::string UiString::Get() const {
  std::shared_ptr<const std::string> text = Share();
  return text ? *text : std::string();
}

std::shared_ptr<const std::string> UiString::Share() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

void UiString::Set(std::string text) {
  auto fresh = std::make_shared<const std::string>(std::move(text));
  std::shared_ptr<const std::string> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old.swap(text_);
    text_ = std::move(fresh);
  }
  // `old` is released here, outside the lock; readers holding it keep it alive.
}

std::string operator+(const UiString& a, std::string_view b) { return a.Get().append(b); }
std::string operator+(std::string_view a, const UiString& b) { return std::string(a).append(b.Get()); }
std::string operator+(const UiString& a, const UiString& b) { return a.Get().append(b.Get()); }
std::string operator+(const std::string& a, const UiString& b) { return a + b.Get(); }
std::string operator+(const char* a, const UiString& b) { return std::string(a).append(b.Get()); }
bool operator==(const UiString& a, std::string_view b) { return *a.Share() == b; }

UiString TitleStr("TitleStr", "MP3 Mass Production Tool", UiStringSource::LangIni);
UiString PageStr("PageStr", "Mass Production", UiStringSource::LangIni);
UiString DeviceStr("DeviceStr", "Device", UiStringSource::LangIni);
UiString LabelStr("LabelStr", "Label", UiStringSource::LangIni);
UiString SysPreCopyStr("SysPreCopyStr", "System files and Pre-copy files:", UiStringSource::LangIni);
UiString FormatStr("FormatStr", "Format", UiStringSource::LangIni);
UiString FSMWrite("FSMWrite", "FSM Writing", UiStringSource::LangIni);
UiString FSMLoad("FSMLoad", "FSM Load", UiStringSource::Fixed);
UiString SettingMsg("SettingMsg", "Setting", UiStringSource::LangIni);
UiString FILEWriteStr("FILEWriteStr", "FILE Writing", UiStringSource::LangIni);
UiString BadBlockStr("BadBlockStr", "Bad Block Check", UiStringSource::LangIni);
UiString BlankingCheckStr("BlankingCheckStr", "Blanking Check", UiStringSource::LangIni);
UiString BlankingCheckSetupStr("BlankingCheckSetupStr", "Blanking Check Setup", UiStringSource::Derived);
UiString RealBlankingCheckStr("RealBlankingCheckStr", "Blanking Check", UiStringSource::LangIni);
UiString ProgramWriteSetupStr("ProgramWriteSetupStr", "Program Write Setup", UiStringSource::LangIni);
UiString ProgramWriteEndStr("ProgramWriteEndStr", "Program Write End", UiStringSource::LangIni);
UiString ProgramWriteStr("ProgramWriteStr", "Program Writing", UiStringSource::LangIni);
UiString ProgramWriteRetryStr("ProgramWriteRetryStr", "Program Writing Retry", UiStringSource::Fixed);
UiString PreferWriteRetryStr("PreferWriteRetryStr", "Prefer Writing Retry", UiStringSource::Fixed);
UiString PreferWriteSetupStr("PreferWriteSetupStr", "Prefer Write Setup", UiStringSource::LangIni);
UiString PreferWriteEndStr("PreferWriteEndStr", "Prefer Write End", UiStringSource::LangIni);
UiString PreferWriteStr("PreferWriteStr", "Prefer Writing", UiStringSource::LangIni);
UiString TelbookWriteSetupStr("TelbookWriteSetupStr", "Telbook Write Setup", UiStringSource::Fixed);
UiString TelbookWriteEndStr("TelbookWriteEndStr", "Telbook Write End", UiStringSource::Fixed);
UiString TelbookWriteStr("TelbookWriteStr", "Telbook Writing", UiStringSource::Fixed);
UiString ISOWriteSetupStr("ISOWriteSetupStr", "ISO Write Setup", UiStringSource::LangIni);
UiString ISOWriteEndStr("ISOWriteEndStr", "ISO Write End", UiStringSource::LangIni);
UiString ISOWriteStr("ISOWriteStr", "ISO Writing", UiStringSource::LangIni);
UiString PassWriteSetupStr("PassWriteSetupStr", "PASS Write Setup", UiStringSource::LangIni);
UiString PassWriteEndStr("PassWriteEndStr", "PASS Write End", UiStringSource::LangIni);
UiString PassWriteStr("PassWriteStr", "PASS Write Setup", UiStringSource::LangIni);
UiString AddFileStr("AddFileStr", "Add files", UiStringSource::LangIni);
UiString RemoveStr("RemoveStr", "Remove", UiStringSource::LangIni);
UiString LogStr("LogStr", "Log", UiStringSource::LangIni);
UiString SelectFileStr("SelectFileStr", "Select files", UiStringSource::LangIni);
UiString StatusMsg("StatusMsg", "Status", UiStringSource::LangIni);
UiString SuccessMsg("SuccessMsg", "successful", UiStringSource::LangIni);
UiString FailMsg("FailMsg", "fail", UiStringSource::LangIni);
UiString ExceedLimitMsg("ExceedLimitMsg", "Exceed the device limit!", UiStringSource::LangIni);
UiString TotalMsg("TotalMsg", "Total", UiStringSource::LangIni);
UiString WaitDeviceMsg("WaitDeviceMsg", "Waiting device...", UiStringSource::LangIni);
UiString CopyFileMsg("CopyFileMsg", "Copy Files", UiStringSource::LangIni);
UiString ChkdskMsg("ChkdskMsg", "Check Disk", UiStringSource::LangIni);
UiString StringReset("StringReset", "Reset", UiStringSource::LangIni);
UiString VirtualCDROMStr("VirtualCDROMStr", "Virtual CDROM", UiStringSource::LangIni);
UiString FlashBrandStr("FlashBrandStr", "Flash Brand", UiStringSource::LangIni);
UiString FlashSerialStr("FlashSerialStr", "Flash Serial", UiStringSource::LangIni);
UiString FlashEraseStr("FlashEraseStr", "Erase Flash", UiStringSource::LangIni);
UiString MenuUpgradeStr("MenuUpgradeStr", "Menual Upgrade Mode", UiStringSource::LangIni);
UiString MenuUpgradeStartStr("MenuUpgradeStartStr", "Start Upgrade", UiStringSource::LangIni);
UiString DevicePluginStr("DevicePluginStr", "device plugin", UiStringSource::LangIni);
UiString BarFixedStr("BarFixedStr", "Bar Fixed", UiStringSource::LangIni);
UiString SystemAreaSizeStr("SystemAreaSizeStr", "System Area Size", UiStringSource::LangIni);
UiString FixSystemAreaSizeStr("FixSystemAreaSizeStr", "Fix System Area Size", UiStringSource::LangIni);
UiString FixUsbIOPortStr("FixUsbIOPortStr", "Fix Usb IO", UiStringSource::LangIni);
UiString SetLabelStr("SetLabelStr", "Set Volume Label", UiStringSource::LangIni);
UiString FlashCheckStr("FlashCheckStr", "Flash Check", UiStringSource::LangIni);
UiString FwParityCheckStr("FwParityCheckStr", "FW Parity Check", UiStringSource::LangIni);
UiString FwUpgradeStr("FwUpgradeStr", "Firmware Upgrade", UiStringSource::LangIni);
UiString HubPortExeccdStr("HubPortExeccdStr", "Exceed USB Port limitation", UiStringSource::LangIni);
UiString UnresetMsg("UnresetMsg", "Unresetted device", UiStringSource::LangIni);
UiString SDKBidErrorStr("SDKBidErrorStr", "SDK bonding ID check fail", UiStringSource::LangIni);
UiString ChipBidErrorStr("ChipBidErrorStr", "Chip bonding ID check fail", UiStringSource::LangIni);
UiString SDKBidNoMatchStr("SDKBidNoMatchStr", "SDK bonding ID not match", UiStringSource::LangIni);
UiString ApplyStr("ApplyStr", "Apply", UiStringSource::LangIni);
UiString CancelStr("CancelStr", "Cancel", UiStringSource::LangIni);
UiString FactorSetStr("FactorSetStr", "Factory Setting", UiStringSource::LangIni);
UiString ModuleNoStr("ModuleNoStr", "Flash Module No", UiStringSource::LangIni);
UiString AdvanceStr("AdvanceStr", "Advance", UiStringSource::LangIni);
UiString ProcessStatusStr("ProcessStatusStr", "Processing Status", UiStringSource::LangIni);
UiString BadBlockWarningStr("BadBlockWarningStr", "Please do blanking check", UiStringSource::LangIni);
UiString ChangeDiskStr("ChangeDiskStr", "Change to Hidden disk", UiStringSource::LangIni);
UiString HiddenDiskStr("HiddenDiskStr", "Hidden disk", UiStringSource::LangIni);

UiString PortLogPath("PortLogPath", "", UiStringSource::Fixed);

namespace {

const std::array<UiString*, kUiStringCount> kAll = {
    &TitleStr,
    &PageStr,
    &DeviceStr,
    &LabelStr,
    &SysPreCopyStr,
    &FormatStr,
    &FSMWrite,
    &FSMLoad,
    &SettingMsg,
    &FILEWriteStr,
    &BadBlockStr,
    &BlankingCheckStr,
    &BlankingCheckSetupStr,
    &RealBlankingCheckStr,
    &ProgramWriteSetupStr,
    &ProgramWriteEndStr,
    &ProgramWriteStr,
    &ProgramWriteRetryStr,
    &PreferWriteRetryStr,
    &PreferWriteSetupStr,
    &PreferWriteEndStr,
    &PreferWriteStr,
    &TelbookWriteSetupStr,
    &TelbookWriteEndStr,
    &TelbookWriteStr,
    &ISOWriteSetupStr,
    &ISOWriteEndStr,
    &ISOWriteStr,
    &PassWriteSetupStr,
    &PassWriteEndStr,
    &PassWriteStr,
    &AddFileStr,
    &RemoveStr,
    &LogStr,
    &SelectFileStr,
    &StatusMsg,
    &SuccessMsg,
    &FailMsg,
    &ExceedLimitMsg,
    &TotalMsg,
    &WaitDeviceMsg,
    &CopyFileMsg,
    &ChkdskMsg,
    &StringReset,
    &VirtualCDROMStr,
    &FlashBrandStr,
    &FlashSerialStr,
    &FlashEraseStr,
    &MenuUpgradeStr,
    &MenuUpgradeStartStr,
    &DevicePluginStr,
    &BarFixedStr,
    &SystemAreaSizeStr,
    &FixSystemAreaSizeStr,
    &FixUsbIOPortStr,
    &SetLabelStr,
    &FlashCheckStr,
    &FwParityCheckStr,
    &FwUpgradeStr,
    &HubPortExeccdStr,
    &UnresetMsg,
    &SDKBidErrorStr,
    &ChipBidErrorStr,
    &SDKBidNoMatchStr,
    &ApplyStr,
    &CancelStr,
    &FactorSetStr,
    &ModuleNoStr,
    &AdvanceStr,
    &ProcessStatusStr,
    &BadBlockWarningStr,
    &ChangeDiskStr,
    &HiddenDiskStr,
};

}  // namespace

std::span<UiString* const> AllUiStrings() { return kAll; }

UiString* FindUiString(std::string_view name) {
  auto it = std::find_if(kAll.begin(), kAll.end(), [&](UiString* s) { return name == s->Name(); });
  return it == kAll.end() ? nullptr : *it;
}

void InitUiStrings() {
  for (UiString* s : kAll) s->Set(s->EnglishDefault());
  PortLogPath.Set(std::string());
}

void FreeUiStrings() {
  PortLogPath.Set(std::string());
  for (auto it = kAll.rbegin(); it != kAll.rend(); ++it) (*it)->Set(std::string());
}

void DeriveBlankingCheckSetupStr() { BlankingCheckSetupStr.Set(BlankingCheckStr + SettingMsg); }

}  // namespace console

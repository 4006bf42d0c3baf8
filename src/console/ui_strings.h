// The station's named user-interface strings: captions, slot texts, result
// words and stage texts. Each starts with its English text and is replaced
// from the language file when the language is built.
//
// A string may be replaced on the UI thread while workers read it. A reader
// always gets one whole text, old or new: the text lives in an immutable
// shared buffer, and replacing it swaps the buffer under a short lock.
#pragma once

#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace console {

// Where a string's text comes from when the language is built.
enum class UiStringSource {
  LangIni,  // read from the language file under the string's own name
  Derived,  // rebuilt from two other strings (BlankingCheckSetupStr)
  Fixed,    // keeps its English text in every language
};

class UiString {
 public:
  UiString(const char* name, const char* englishDefault, UiStringSource source);
  UiString(const UiString&) = delete;
  UiString& operator=(const UiString&) = delete;

  // A copy of the whole current text (UTF-8).
  std::string Get() const;
  operator std::string() const { return Get(); }
  // The current text buffer itself; it never changes once handed out.
  std::shared_ptr<const std::string> Share() const;

  // Replaces the text as a whole.
  void Set(std::string text);
  UiString& operator=(std::string text) {
    Set(std::move(text));
    return *this;
  }

  const char* Name() const { return name_; }
  const char* EnglishDefault() const { return englishDefault_; }
  UiStringSource Source() const { return source_; }

 private:
  const char* name_;
  const char* englishDefault_;
  UiStringSource source_;
  mutable std::mutex mutex_;
  std::shared_ptr<const std::string> text_;
};

std::string operator+(const UiString& a, std::string_view b);
std::string operator+(std::string_view a, const UiString& b);
std::string operator+(const UiString& a, const UiString& b);
std::string operator+(const std::string& a, const UiString& b);
std::string operator+(const char* a, const UiString& b);
bool operator==(const UiString& a, std::string_view b);

extern UiString TitleStr;
extern UiString PageStr;
extern UiString DeviceStr;
extern UiString LabelStr;
extern UiString SysPreCopyStr;
extern UiString FormatStr;
extern UiString FSMWrite;
extern UiString FSMLoad;
extern UiString SettingMsg;
extern UiString FILEWriteStr;
extern UiString BadBlockStr;
extern UiString BlankingCheckStr;
extern UiString BlankingCheckSetupStr;
extern UiString RealBlankingCheckStr;
extern UiString ProgramWriteSetupStr;
extern UiString ProgramWriteEndStr;
extern UiString ProgramWriteStr;
extern UiString ProgramWriteRetryStr;
extern UiString PreferWriteRetryStr;
extern UiString PreferWriteSetupStr;
extern UiString PreferWriteEndStr;
extern UiString PreferWriteStr;
extern UiString TelbookWriteSetupStr;
extern UiString TelbookWriteEndStr;
extern UiString TelbookWriteStr;
extern UiString ISOWriteSetupStr;
extern UiString ISOWriteEndStr;
extern UiString ISOWriteStr;
extern UiString PassWriteSetupStr;
extern UiString PassWriteEndStr;
extern UiString PassWriteStr;
extern UiString AddFileStr;
extern UiString RemoveStr;
extern UiString LogStr;
extern UiString SelectFileStr;
extern UiString StatusMsg;
extern UiString SuccessMsg;
extern UiString FailMsg;
extern UiString ExceedLimitMsg;
extern UiString TotalMsg;
extern UiString WaitDeviceMsg;
extern UiString CopyFileMsg;
extern UiString ChkdskMsg;
extern UiString StringReset;
extern UiString VirtualCDROMStr;
extern UiString FlashBrandStr;
extern UiString FlashSerialStr;
extern UiString FlashEraseStr;
extern UiString MenuUpgradeStr;
extern UiString MenuUpgradeStartStr;
extern UiString DevicePluginStr;
extern UiString BarFixedStr;
extern UiString SystemAreaSizeStr;
extern UiString FixSystemAreaSizeStr;
extern UiString FixUsbIOPortStr;
extern UiString SetLabelStr;
extern UiString FlashCheckStr;
extern UiString FwParityCheckStr;
extern UiString FwUpgradeStr;
extern UiString HubPortExeccdStr;
extern UiString UnresetMsg;
extern UiString SDKBidErrorStr;
extern UiString ChipBidErrorStr;
extern UiString SDKBidNoMatchStr;
extern UiString ApplyStr;
extern UiString CancelStr;
extern UiString FactorSetStr;
extern UiString ModuleNoStr;
extern UiString AdvanceStr;
extern UiString ProcessStatusStr;
extern UiString BadBlockWarningStr;
extern UiString ChangeDiskStr;
extern UiString HiddenDiskStr;

// Full path of the port log; empty until the main window is created.
extern UiString PortLogPath;

inline constexpr int kUiStringCount = 73;

// Every named string, in its order of definition.
std::span<UiString* const> AllUiStrings();
// The named string called `name` (exact name), or nullptr.
UiString* FindUiString(std::string_view name);

// Gives every named string its English default and empties the port-log path.
void InitUiStrings();
// Releases the texts at exit (the port-log path first, then the strings in
// reverse order). The strings read as empty afterwards.
void FreeUiStrings();

// BlankingCheckSetupStr := BlankingCheckStr followed directly by SettingMsg.
void DeriveBlankingCheckSetupStr();

}  // namespace console

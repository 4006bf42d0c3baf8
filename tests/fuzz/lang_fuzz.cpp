// The language file: misc/lang.ini built into the texts and captions in one
// of the three languages, and its Chinese texts through their code pages.
// What must hold: texts decoded from a code page are valid UTF-8, and what a
// code page decodes it encodes again to the same text.
#include "console/languages.h"
#include "fuzz/fuzz_support.h"
#include "platform/codepage/codepage.h"
#include "platform/ini/ini.h"

namespace {

void CheckCodePage(const std::string& bytes, unsigned codePage) {
  const std::string text = platform::CodePageToUtf8(bytes, codePage);
  FUZZ_REQUIRE(platform::IsValidUtf8(text));
  if (text.find("\xEF\xBF\xBD") == std::string::npos)
    FUZZ_REQUIRE(platform::CodePageToUtf8(platform::Utf8ToCodePage(text, codePage), codePage) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  console::TForm1& form = fuzz::Station();
  fuzz::WriteFile(fuzz::Home() + "misc/lang.ini", bytes);
  CheckCodePage(bytes, platform::CP_BIG5);
  CheckCodePage(bytes, platform::CP_GBK);
  const platform::TMemIniFile ini(fuzz::Home() + "misc/lang.ini");
  for (const console::LanguageSection& s : {console::kTaiwanSection, console::kPrcSection})
    for (const std::string& key : ini.ReadSection(s.name)) CheckCodePage(ini.ReadString(s.name, key, ""), s.codePage);

  // One language per input (a build reads the file key by key, which is slow).
  console::InitUiStrings();
  platform::ui::TTntRadioButton* choices[] = {&form.TntRdoLangTC, &form.TntRdoLangSC, &form.TntRdoLangEng};
  platform::ui::TTntRadioButton* choice = choices[size % 3];
  if (choice->Checked())
    console::BuildLanguage(form);
  else
    choice->SetChecked(true);  // its click builds the language
  if (size % 3 != 2)
    for (const console::UiString* text : console::AllUiStrings()) FUZZ_REQUIRE(platform::IsValidUtf8(text->Get()));
  return 0;
}

// The language build: the chosen language's texts into the user-interface
// strings and the main window's captions.
#pragma once

#include <array>
#include <string>

namespace console {

class TForm1;

// The language file's sections and their code pages.
struct LanguageSection {
  const char* name;
  unsigned codePage;  // 0: the text is taken as it stands (English)
  int languageIndex;
};
inline constexpr LanguageSection kEnglishSection{"English", 0, 0};
inline constexpr LanguageSection kTaiwanSection{"Chinese (Taiwan)", 950, 1};
inline constexpr LanguageSection kPrcSection{"Chinese (PRC)", 936, 2};

inline constexpr int kLanguageKeyCount = 66;
// The keys read from the language file, in their order; BlankingCheckSetupStr
// is rebuilt after UnresetMsg.
extern const std::array<const char*, kLanguageKeyCount> kLanguageKeys;

// The section for a language identifier: 2052 the PRC one, 1028 the Taiwan
// one, anything else English.
const LanguageSection& SectionOfLangId(unsigned langId);

// The section a stored language choice (the registry's "LanguageID": 1
// English, 2 Simplified, 3 Traditional Chinese, anything else automatic)
// gives, as the language build would take it.
const LanguageSection& SectionOfChoice(int languageId);

// Reads misc\lang.ini (relative to the current folder) into the strings,
// sets LanguageIndex, shows what each slot holds in the new language, and
// sets the captions that depend on the language.
void BuildLanguage(TForm1& form);

}  // namespace console

#include "platform/locale/locale.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "platform/convert/convert.h"

namespace platform {

namespace {

// Holds the override plus one (0: none), so a plain atomic serves all threads.
std::atomic<std::uint32_t> g_override{0};

}  // namespace

LANGID LangIdFromLocaleName(std::string_view name) {
  // language[_territory][.codeset][@modifier]; '-' accepted for '_'.
  const std::size_t end = name.find_first_of(".@");
  std::string base = LowerCase(name.substr(0, end));
  for (char& c : base)
    if (c == '-') c = '_';
  if (base != "zh" && base.rfind("zh_", 0) != 0) return LANG_ENGLISH_US;
  const std::string rest = base.size() > 3 ? base.substr(3) : std::string();
  if (rest == "tw") return LANG_CHINESE_TAIWAN;
  if (rest == "cn") return LANG_CHINESE_PRC;
  if (rest == "hk") return LANG_CHINESE_HONGKONG;
  if (rest == "sg") return LANG_CHINESE_SINGAPORE;
  if (rest == "mo") return LANG_CHINESE_MACAO;
  if (rest.rfind("hant", 0) == 0) return LANG_CHINESE_TAIWAN;
  return LANG_CHINESE_PRC;
}

LANGID GetSystemDefaultLangID() {
  if (const std::uint32_t o = g_override.load()) return static_cast<LANGID>(o - 1);
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(var);
    if (value && *value) return LangIdFromLocaleName(value);
  }
  return LANG_ENGLISH_US;
}

void SetSystemDefaultLangIDOverride(std::optional<LANGID> id) { g_override.store(id ? *id + 1u : 0u); }

unsigned CodePageOfLangId(LANGID id) {
  switch (id) {
    case LANG_CHINESE_TAIWAN:
    case LANG_CHINESE_HONGKONG:
    case LANG_CHINESE_MACAO: return 950;
    case LANG_CHINESE_PRC:
    case LANG_CHINESE_SINGAPORE: return 936;
    default: return 1252;
  }
}

unsigned GetACP() { return CodePageOfLangId(GetSystemDefaultLangID()); }

}  // namespace platform

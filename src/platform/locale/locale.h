// The system's language identifier and ANSI code page, taken from the locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

using LANGID = std::uint16_t;

constexpr LANGID LANG_ENGLISH_US = 0x0409;
constexpr LANGID LANG_CHINESE_TAIWAN = 0x0404;     // 1028
constexpr LANGID LANG_CHINESE_PRC = 0x0804;        // 2052
constexpr LANGID LANG_CHINESE_HONGKONG = 0x0C04;   // 3076
constexpr LANGID LANG_CHINESE_SINGAPORE = 0x1004;  // 4100
constexpr LANGID LANG_CHINESE_MACAO = 0x1404;      // 5124

// The identifier of a locale name such as "zh_TW.UTF-8" or "zh_CN.GBK@x":
// zh_TW 0x0404, zh_CN 0x0804, zh_HK 0x0C04, zh_SG 0x1004, zh_MO 0x1404; other
// Chinese locales by script ("zh_Hant" 0x0404, "zh"/"zh_Hans" 0x0804); every
// other name, empty, "C" and "POSIX" 0x0409.
LANGID LangIdFromLocaleName(std::string_view name);

// The system's default language identifier: the override when one is set,
// else from the first non-empty of LC_ALL, LC_MESSAGES and LANG.
LANGID GetSystemDefaultLangID();

// Makes GetSystemDefaultLangID answer 'id' (nothing: back to the locale).
void SetSystemDefaultLangIDOverride(std::optional<LANGID> id);

// The ANSI code page of the system language: 950 for the Traditional Chinese
// identifiers (Taiwan, Hong Kong, Macao), 936 for the Simplified ones (PRC,
// Singapore), else 1252.
unsigned CodePageOfLangId(LANGID id);
unsigned GetACP();

}  // namespace platform

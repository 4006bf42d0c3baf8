#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>

#include "platform/locale/locale.h"

using namespace platform;

TEST(LangId, FromLocaleNames) {
  const std::map<std::string, LANGID> cases = {
      {"zh_TW.UTF-8", 0x0404}, {"zh_TW", 0x0404},        {"zh_tw.big5", 0x0404},  {"zh_CN.UTF-8", 0x0804},
      {"zh_CN.GBK", 0x0804},   {"zh_SG", 0x1004},        {"zh_HK.UTF-8", 0x0C04}, {"zh_MO", 0x1404},
      {"zh", 0x0804},          {"zh_Hant_TW", 0x0404},   {"zh-TW", 0x0404},       {"en_US.UTF-8", 0x0409},
      {"de_DE@euro", 0x0409},  {"C", 0x0409},            {"POSIX", 0x0409},       {"", 0x0409},
      {"zhx_TW", 0x0409},      {"ja_JP.UTF-8", 0x0409},
  };
  for (const auto& [name, id] : cases) EXPECT_EQ(LangIdFromLocaleName(name), id) << name;
}

TEST(LangId, FromTheEnvironmentOrTheOverride) {
  const char* vars[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i) {
    if (const char* value = std::getenv(vars[i])) saved[i] = value;
    unsetenv(vars[i]);
  }
  EXPECT_EQ(GetSystemDefaultLangID(), LANG_ENGLISH_US);
  setenv("LANG", "zh_TW.UTF-8", 1);
  EXPECT_EQ(GetSystemDefaultLangID(), LANG_CHINESE_TAIWAN);
  setenv("LC_ALL", "zh_CN.UTF-8", 1);
  EXPECT_EQ(GetSystemDefaultLangID(), LANG_CHINESE_PRC) << "LC_ALL wins";
  EXPECT_EQ(GetACP(), 936u);
  SetSystemDefaultLangIDOverride(LANG_CHINESE_HONGKONG);
  EXPECT_EQ(GetSystemDefaultLangID(), 3076);
  EXPECT_EQ(GetACP(), 950u);
  SetSystemDefaultLangIDOverride(0);
  EXPECT_EQ(GetSystemDefaultLangID(), 0) << "any value can be injected";
  SetSystemDefaultLangIDOverride(std::nullopt);
  EXPECT_EQ(GetSystemDefaultLangID(), LANG_CHINESE_PRC);
  for (int i = 0; i < 3; ++i) saved[i] ? (void)setenv(vars[i], saved[i]->c_str(), 1) : (void)unsetenv(vars[i]);
}

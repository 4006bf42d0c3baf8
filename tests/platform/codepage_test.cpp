#include <gtest/gtest.h>

#include "platform/codepage/codepage.h"
#include "platform/locale/locale.h"

using namespace platform;

namespace {
// 繁體中文 / 简体中文 / a sentence with ASCII between.
const std::string kTraditional = "\xE7\xB9\x81\xE9\xAB\x94\xE4\xB8\xAD\xE6\x96\x87";
const std::string kSimplified = "\xE7\xAE\x80\xE4\xBD\x93\xE4\xB8\xAD\xE6\x96\x87";
const std::string kMixed = "Blanking Check \xE6\xB8\xAC\xE8\xA9\xA6 OK: 100%";  // 測試
}  // namespace

TEST(CodePage, ChineseRoundTripsThroughGbkAndBig5) {
  EXPECT_EQ(Utf8ToCodePage("\xE4\xB8\xAD\xE6\x96\x87", CP_GBK), "\xD6\xD0\xCE\xC4");
  EXPECT_EQ(Utf8ToCodePage("\xE4\xB8\xAD\xE6\x96\x87", CP_BIG5), "\xA4\xA4\xA4\xE5");
  for (const std::string& text : {kSimplified, kMixed, std::string("plain ascii")})
    EXPECT_EQ(CodePageToUtf8(Utf8ToCodePage(text, CP_GBK), CP_GBK), text);
  for (const std::string& text : {kTraditional, kMixed})
    EXPECT_EQ(CodePageToUtf8(Utf8ToCodePage(text, CP_BIG5), CP_BIG5), text);
  // Big5 trail bytes may be '\' (0x5C): "許" is B3 5C.
  EXPECT_EQ(CodePageToUtf8("\xB3\x5C", CP_BIG5), "\xE8\xA8\xB1");
  SetSystemDefaultLangIDOverride(LANG_CHINESE_PRC);  // the system code page is the language's
  EXPECT_EQ(Utf8ToCodePage(kSimplified, CP_ACP), Utf8ToCodePage(kSimplified, CP_GBK));
  SetSystemDefaultLangIDOverride(std::nullopt);
}

TEST(CodePage, WhatCannotBeConvertedIsReplacedNotFatal) {
  EXPECT_EQ(Utf8ToCodePage("a\xF0\x9F\x98\x80" "b", CP_BIG5), "a?b") << "a character Big5 lacks";
  EXPECT_EQ(Utf8ToCodePage("a\xFF\xC3" "b", CP_GBK), "a??b") << "malformed UTF-8, byte by byte";
  EXPECT_EQ(Utf8ToCodePage("a\xE4\xB8", CP_GBK), "a??") << "cut-off sequence at the end";
  EXPECT_EQ(CodePageToUtf8("a\xD6", CP_GBK), "a\xEF\xBF\xBD") << "lead byte without trail";
  EXPECT_EQ(CodePageToUtf8("\xFF\xFF" "b", CP_BIG5), "\xEF\xBF\xBD\xEF\xBF\xBD" "b");
  EXPECT_EQ(CodePageToUtf8("x", 12345), "") << "unknown code page";
  EXPECT_FALSE(IsCodePageSupported(12345));
  EXPECT_FALSE(CodePageToUtf8(std::string(100000, '\xB3'), CP_BIG5).empty()) << "long input, pairs valid or not";
}

TEST(Unicode, Utf16RoundTripAndRepairs) {
  const std::string text = kTraditional + "\xF0\x9F\x98\x80" + "x";
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide.size(), 4u + 2u + 1u);
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD") << "overlong form";
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD") << "encoded surrogate";
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
  EXPECT_TRUE(IsValidUtf8(text));
  EXPECT_FALSE(IsValidUtf8("\xD6\xD0"));
}

#include <gtest/gtest.h>

#include <utility>

#include "platform/convert/convert.h"

using namespace platform;

TEST(StrToInt, AcceptsBlanksSignAndBothHexForms) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"0", 0},      {"123", 123},     {"   42", 42},        {"\t7", 7},          {"+5", 5},
      {"-5", -5},    {"$1f", 31},      {"0x1F", 31},        {"0XaB", 171},       {"-$10", -16},
      {" -0x10", -16}, {"007", 7},     {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
      {"$FFFFFFFF", -1},  // hexadecimal uses all 32 bits
      {"0x80000000", INT32_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(StrToInt(text), value) << text;
  EXPECT_EQ(StrToIntDef("yes", 20), 20);
  EXPECT_EQ(StrToIntDef("0x10", 20), 16);
  EXPECT_EQ(IntToHex(0x1F, 4), "001F");
}

TEST(StrToInt, RejectsEverythingElseWithTheErrorText) {
  for (const char* bad : {"", " ", "-", "+", "$", "0x", "12 ", "1a", "abc", "--1", "+-1", "1.5", "2147483648",
                          "-2147483649", "$100000000", "x10", "0x-1", "$ 1", "- 1", "１２"}) {
    EXPECT_FALSE(TryStrToInt(bad).has_value()) << bad;
    try {
      StrToInt(bad);
      ADD_FAILURE() << "no error for '" << bad << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid integer value");
      EXPECT_STREQ(e.what(), e.Message().c_str());
    }
  }
  EXPECT_THROW(StrToInt("yes"), Exception) << "part of the family the error display shows";
}

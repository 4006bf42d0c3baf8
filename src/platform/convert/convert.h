// Integer text conversion with the rules the station's code relies on:
// leading blanks, an optional sign, and "$" or "0x"/"0X" for hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/convert/exception.h"

namespace platform {

// The value of the text, or nothing when the text does not read as a 32-bit
// integer. Decimal values must lie in the signed 32-bit range; hexadecimal
// values may use all 32 bits and wrap ("$FFFFFFFF" is -1), a sign applying
// after that.
std::optional<std::int32_t> TryStrToInt(std::string_view text);

// As TryStrToInt; text that does not read throws EConvertError with
// "'<text>' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);

// As TryStrToInt with 'fallback' for text that does not read.
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);

// Decimal text of a value ("%d").
std::string IntToStr(std::int64_t value);

// Upper-case hexadecimal text of at least 'digits' digits.
std::string IntToHex(std::uint64_t value, int digits);

// The text with its ASCII letters in lower case; other bytes (UTF-8 too) unchanged.
std::string LowerCase(std::string_view text);

}  // namespace platform

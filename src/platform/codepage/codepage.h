// Text encodings. All text inside the program is UTF-8; files and devices that
// carry code-page text (Big5, GBK) or UTF-16 are converted at the edge.
#pragma once

#include <string>
#include <string_view>

namespace platform {

constexpr unsigned CP_ACP = 0;       // the system's ANSI code page (GetACP)
constexpr unsigned CP_GBK = 936;     // Simplified Chinese
constexpr unsigned CP_BIG5 = 950;    // Traditional Chinese
constexpr unsigned CP_LATIN1 = 1252; // Western European
constexpr unsigned CP_UTF8 = 65001;

// Bytes in 'codePage' to UTF-8. A byte sequence that is not valid in the code
// page (or cut off at the end) becomes U+FFFD, one per offending byte, and the
// conversion goes on. An unknown code page converts nothing and gives "".
std::string CodePageToUtf8(std::string_view bytes, unsigned codePage);

// UTF-8 to bytes in 'codePage'. A character the code page lacks, and every byte
// of malformed UTF-8, becomes '?' (the system's default character).
std::string Utf8ToCodePage(std::string_view utf8, unsigned codePage);

// Whether the code page can be converted here.
bool IsCodePageSupported(unsigned codePage);

// True when the bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view bytes);

// UTF-8 <-> UTF-16. Malformed UTF-8 bytes and unpaired surrogates become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

}  // namespace platform

#include "platform/codepage/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/locale/locale.h"

namespace platform {

namespace {

const char* IconvName(unsigned codePage) {
  switch (codePage) {
    case CP_GBK: return "CP936";
    case CP_BIG5: return "CP950";
    case CP_LATIN1: return "CP1252";
    case CP_UTF8: return "UTF-8";
    default: return nullptr;
  }
}

unsigned Resolve(unsigned codePage) { return codePage == CP_ACP ? GetACP() : codePage; }

constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

// Decodes one UTF-8 sequence at 'p'; returns its length, 0 when malformed.
std::size_t DecodeUtf8(std::string_view s, std::size_t p, char32_t& out) {
  const auto b0 = static_cast<unsigned char>(s[p]);
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  std::size_t len;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) { len = 2; cp = b0 & 0x1F; min = 0x80; }
  else if (b0 >= 0xE0 && b0 <= 0xEF) { len = 3; cp = b0 & 0x0F; min = 0x800; }
  else if (b0 >= 0xF0 && b0 <= 0xF4) { len = 4; cp = b0 & 0x07; min = 0x10000; }
  else return 0;
  if (p + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[p + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  out = cp;
  return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// One iconv pass with a substitute for what cannot be converted. 'skip' tells
// how many input bytes an unconvertible position spans.
template <typename Skip>
std::string Convert(const char* to, const char* from, std::string_view in, std::string_view substitute, Skip skip) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string out;
  out.reserve(in.size() * 3 / 2 + 16);
  char buffer[4096];
  char* src = const_cast<char*>(in.data());
  std::size_t left = in.size();
  while (left > 0) {
    char* dst = buffer;
    std::size_t room = sizeof buffer;
    const std::size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (r != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    // EILSEQ (invalid or unconvertible) or EINVAL (cut off at the end).
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out += substitute;
    const std::size_t n = std::min(left, skip(std::string_view(src, left)));
    src += n;
    left -= n;
  }
  char* dst = buffer;
  std::size_t room = sizeof buffer;
  iconv(cd, nullptr, nullptr, &dst, &room);
  out.append(buffer, static_cast<std::size_t>(dst - buffer));
  iconv_close(cd);
  return out;
}

}  // namespace

bool IsCodePageSupported(unsigned codePage) { return IconvName(Resolve(codePage)) != nullptr; }

bool IsValidUtf8(std::string_view bytes) {
  char32_t cp;
  for (std::size_t p = 0; p < bytes.size();) {
    const std::size_t n = DecodeUtf8(bytes, p, cp);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

std::string CodePageToUtf8(std::string_view bytes, unsigned codePage) {
  codePage = Resolve(codePage);
  if (codePage == CP_UTF8) return Utf16ToUtf8(Utf8ToUtf16(bytes));
  const char* name = IconvName(codePage);
  if (!name) return {};
  return Convert("UTF-8", name, bytes, kReplacementUtf8, [](std::string_view) { return std::size_t{1}; });
}

std::string Utf8ToCodePage(std::string_view utf8, unsigned codePage) {
  codePage = Resolve(codePage);
  const char* name = IconvName(codePage);
  if (!name) return {};
  if (codePage == CP_UTF8) return Utf16ToUtf8(Utf8ToUtf16(utf8));
  return Convert(name, "UTF-8", utf8, "?", [](std::string_view rest) {
    char32_t cp;
    const std::size_t n = DecodeUtf8(rest, 0, cp);
    return n == 0 ? std::size_t{1} : n;
  });
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (std::size_t p = 0; p < utf8.size();) {
    char32_t cp;
    std::size_t n = DecodeUtf8(utf8, p, cp);
    if (n == 0) {
      cp = 0xFFFD;
      n = 1;
    }
    p += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 3 / 2);
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

}  // namespace platform

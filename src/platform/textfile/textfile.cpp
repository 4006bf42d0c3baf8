#include "platform/textfile/textfile.h"

#include "platform/codepage/codepage.h"
#include "platform/paths/paths.h"

namespace platform {

namespace {

constexpr char16_t kLineSeparator = 0x2028;

std::vector<std::string> SplitLines(std::u16string_view text) {
  std::vector<std::string> lines;
  const std::size_t nul = text.find(u'\0');
  if (nul != std::u16string_view::npos) text = text.substr(0, nul);
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char16_t c = text[i];
    if (c != u'\r' && c != u'\n' && c != kLineSeparator) {
      ++i;
      continue;
    }
    lines.push_back(Utf16ToUtf8(text.substr(start, i - start)));
    ++i;
    if (c == u'\r' && i < text.size() && text[i] == u'\n') ++i;
    if (c != kLineSeparator && i < text.size() && text[i] == kLineSeparator) ++i;
    start = i;
  }
  if (start < text.size()) lines.push_back(Utf16ToUtf8(text.substr(start)));
  return lines;
}

std::u16string FromUtf16Bytes(std::string_view bytes, bool bigEndian) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    out += static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
  }
  return out;
}

}  // namespace

std::string EncodeListText(const std::vector<std::string>& lines) {
  std::string out = "\xFF\xFE";
  auto put = [&out](char16_t c) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  };
  for (const std::string& line : lines) {
    for (char16_t c : Utf8ToUtf16(line)) put(c);
    put(u'\r');
    put(u'\n');
  }
  return out;
}

std::vector<std::string> DecodeListText(std::string_view bytes) {
  if (bytes.substr(0, 2) == "\xFF\xFE") return SplitLines(FromUtf16Bytes(bytes.substr(2), false));
  if (bytes.substr(0, 2) == "\xFE\xFF") return SplitLines(FromUtf16Bytes(bytes.substr(2), true));
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return SplitLines(Utf8ToUtf16(bytes.substr(3)));
  // No mark: cut at the first NUL byte first, then decode.
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  if (IsValidUtf8(bytes)) return SplitLines(Utf8ToUtf16(bytes));
  return SplitLines(Utf8ToUtf16(CodePageToUtf8(bytes, CP_ACP)));
}

bool LoadListFile(const std::string& path, std::vector<std::string>& lines, std::string* error) {
  std::string bytes;
  if (!ReadWholeFile(path, bytes, error)) return false;
  lines = DecodeListText(bytes);
  return true;
}

void SaveListFile(const std::string& path, const std::vector<std::string>& lines) {
  std::string reason;
  if (!WriteFileAtomically(path, EncodeListText(lines), &reason))
    throw EFCreateError("Cannot create file \"" + path + "\". " + reason);
}

}  // namespace platform

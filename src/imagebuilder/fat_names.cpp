#include "imagebuilder/fat_names.h"

#include <algorithm>

#include "platform/codepage/codepage.h"
#include "platform/fswalk/fswalk.h"

namespace imagebuilder {

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
  out.clear();
  if (!platform::IsValidUtf8(in)) return false;
  out = platform::Utf8ToUtf16(in);
  return true;
}

std::string Utf16ToUtf8(std::u16string_view in) { return platform::Utf16ToUtf8(in); }

std::u16string FoldName(std::u16string_view name) { return platform::CaseFoldUtf16(name); }

bool IsReservedDeviceName(std::u16string_view name) {
  // The part before the first dot, blanks at its end ignored, compared without regard to case.
  std::u16string_view base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  if (base.size() != 3 && base.size() != 4) return false;
  char16_t upper[4] = {};
  for (std::size_t i = 0; i < base.size(); ++i)
    upper[i] = base[i] >= u'a' && base[i] <= u'z' ? static_cast<char16_t>(base[i] - 0x20) : base[i];
  const std::u16string_view b(upper, base.size());
  if (b == u"CON" || b == u"PRN" || b == u"AUX" || b == u"NUL") return true;
  return b.size() == 4 && (b.starts_with(u"COM") || b.starts_with(u"LPT")) && b[3] >= u'1' && b[3] <= u'9';
}

std::string LongNameProblem(std::u16string_view name) {
  if (name.empty()) return "empty name";
  if (name.size() > 255) return "name longer than 255 characters";
  if (name == u"." || name == u"..") return "reserved name";
  for (char16_t c : name) {
    if (c >= 0x80) continue;
    if (c < 0x20 || c == 0x7F) return "control character in name";
    switch (c) {
      case u'\\': case u'/': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
        return "character not allowed in a FAT name";
      default:
        break;
    }
  }
  if (name.back() == u' ' || name.back() == u'.') return "name ends with a blank or a dot";
  if (IsReservedDeviceName(name)) return "name of a device on the hosts that read the volume";
  return {};
}

namespace {

bool IsShortNameChar(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')) return true;
  return std::u16string_view(u"$%'-_@~`!(){}^#&").find(c) != std::u16string_view::npos;
}

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c; }

void AppendMapped(std::string& out, std::u16string_view part) {
  for (std::size_t i = 0; i < part.size(); ++i) {
    const char16_t c = Upper(part[i]);
    if (IsShortNameChar(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('_');
      // One replacement per character, not per half of a surrogate pair.
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < part.size()) ++i;
    }
  }
}

}  // namespace

ShortNameBasis MakeShortNameBasis(std::u16string_view longName) {
  ShortNameBasis basis;
  const std::size_t dot = longName.rfind(u'.');
  const bool oneDot = dot == std::u16string_view::npos || longName.find(u'.') == dot;
  const std::u16string_view base0 = longName.substr(0, dot == std::u16string_view::npos ? longName.size() : dot);
  const std::u16string_view ext0 = dot == std::u16string_view::npos ? std::u16string_view{} : longName.substr(dot + 1);
  const bool allValid = std::all_of(longName.begin(), longName.end(),
                                    [](char16_t c) { return c == u'.' || IsShortNameChar(Upper(c)); });
  if (oneDot && allValid && !base0.empty() && base0.size() <= 8 && ext0.size() <= 3) {
    AppendMapped(basis.base, base0);
    AppendMapped(basis.ext, ext0);
    basis.exact = true;
    return basis;
  }
  // Lossy: drop blanks and leading dots, split at the last dot, drop inner dots.
  std::u16string s;
  for (char16_t c : longName)
    if (c != u' ') s.push_back(c);
  const std::size_t lead = s.find_first_not_of(u'.');
  s.erase(0, lead == std::u16string::npos ? s.size() : lead);
  const std::size_t last = s.rfind(u'.');
  std::u16string base = s.substr(0, last == std::u16string::npos ? s.size() : last);
  std::erase(base, u'.');
  AppendMapped(basis.base, base);
  if (last != std::u16string::npos) AppendMapped(basis.ext, std::u16string_view(s).substr(last + 1));
  if (basis.base.empty()) basis.base.push_back('_');
  if (basis.base.size() > 8) basis.base.resize(8);
  if (basis.ext.size() > 3) basis.ext.resize(3);
  return basis;
}

ShortName ShortNameOf(std::string_view base, std::string_view ext) {
  ShortName name;
  name.fill(' ');
  for (std::size_t i = 0; i < base.size() && i < 8; ++i) name[i] = static_cast<std::uint8_t>(base[i]);
  for (std::size_t i = 0; i < ext.size() && i < 3; ++i) name[8 + i] = static_cast<std::uint8_t>(ext[i]);
  return name;
}

ShortName ShortNameWithTail(const ShortNameBasis& basis, std::uint32_t n) {
  std::string tail(1, '~');
  tail += std::to_string(n);
  const std::size_t keep = std::min<std::size_t>({basis.base.size(), 6, 8 - std::min<std::size_t>(tail.size(), 8)});
  return ShortNameOf(basis.base.substr(0, keep) + tail, basis.ext);
}

std::string ShortNameText(const ShortName& shortName) {
  std::string base(shortName.begin(), shortName.begin() + 8);
  std::string ext(shortName.begin() + 8, shortName.end());
  base.erase(base.find_last_not_of(' ') + 1);
  ext.erase(ext.find_last_not_of(' ') + 1);
  return ext.empty() ? base : base + "." + ext;
}

bool FatMakeShortName(std::string_view ansiName, ShortName& shortName) {
  const std::size_t dot = ansiName.find('.');
  const std::string_view base = ansiName.substr(0, dot);
  const std::string_view ext = dot == std::string_view::npos ? std::string_view{} : ansiName.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  auto upper = [](std::string_view part) {
    std::string s(part);
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    return s;
  };
  shortName = ShortNameOf(upper(base), upper(ext));
  return true;
}

std::uint8_t FatLfnChecksum(const ShortName& shortName) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : shortName) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + b);
  return sum;
}

std::size_t FindPathSeparator(std::string_view path) {
  const std::size_t at = path.find('\\');
  return at == std::string_view::npos ? 0 : at + 1;
}

std::size_t FindPathSeparatorW(std::u16string_view path) {
  const std::size_t at = path.find(u'\\');
  return at == std::u16string_view::npos ? 0 : at + 1;
}

std::string FirstPathComponent(std::string_view path) {
  if (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  return std::string(path.substr(0, path.find('\\')));
}

std::u16string FirstPathComponentW(std::u16string_view path) {
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  return std::u16string(path.substr(0, path.find(u'\\')));
}

}  // namespace imagebuilder

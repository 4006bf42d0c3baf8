#include "platform/fatnames/fat_names.h"

#include <algorithm>
#include <iterator>

#include "platform/codepage/codepage.h"
#include "platform/locale/locale.h"

namespace platform::fatnames {
namespace {

struct FoldRun {
  char32_t first, last;
  std::int32_t delta, step;
};
constexpr FoldRun kFoldRuns[] = {
#include "platform/fatnames/casefold_table.inc"
};

constexpr const char* kNotUtf8 = "the name is not UTF-8 text";
constexpr const char* kFolderSeparator = "the name holds \"\\\", which separates folders on the volume";

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

// The characters a short name holds besides A-Z and 0-9.
constexpr std::u16string_view kShortNameSigns = u"$%'-_@~`!(){}^#&";

bool IsShortNameChar(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || kShortNameSigns.find(c) != std::u16string_view::npos;
}

// Appends a part of a long name as short-name characters: upper-cased, '_'
// for what a short name cannot hold (one per character, a surrogate pair included).
void AppendMapped(std::string& out, std::u16string_view part) {
  for (std::size_t i = 0; i < part.size(); ++i) {
    const char16_t c = AsciiUpper(part[i]);
    if (IsShortNameChar(c)) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    out.push_back('_');
    if (IsHighSurrogate(c) && i + 1 < part.size() && IsLowSurrogate(part[i + 1])) ++i;
  }
}

// The case flag a part of an exact 8.3 name needs: 0 upper (or no letters),
// `flag` lower, nothing when it mixes both.
std::optional<std::uint8_t> PartCase(std::u16string_view part, std::uint8_t flag) {
  bool upper = false, lower = false;
  for (char16_t c : part) {
    upper = upper || (c >= u'A' && c <= u'Z');
    lower = lower || (c >= u'a' && c <= u'z');
  }
  if (upper && lower) return std::nullopt;
  return lower ? flag : std::uint8_t{0};
}

}  // namespace

// ---------------------------------------------------------------- case

char32_t CaseFold(char32_t c) {
  if (c < 0x80) return c >= U'A' && c <= U'Z' ? c + 0x20 : c;  // most names are ASCII
  const FoldRun* run = std::upper_bound(std::begin(kFoldRuns), std::end(kFoldRuns), c,
                                        [](char32_t v, const FoldRun& r) { return v < r.first; });
  if (run == std::begin(kFoldRuns)) return c;
  --run;
  if (c > run->last || (c - run->first) % static_cast<char32_t>(run->step) != 0) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + run->delta);
}

std::u16string FoldName(std::u16string_view name) {
  std::u16string out(name);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const char32_t c = out[i];
    if (IsHighSurrogate(c) && i + 1 < out.size() && IsLowSurrogate(out[i + 1])) {
      const char32_t folded = CaseFold(0x10000 + ((c - 0xD800) << 10) + (out[i + 1] - 0xDC00u)) - 0x10000;
      out[i] = static_cast<char16_t>(0xD800 + (folded >> 10));
      out[i + 1] = static_cast<char16_t>(0xDC00 + (folded & 0x3FF));
      ++i;
    } else if (!IsHighSurrogate(c) && !IsLowSurrogate(c)) {
      // Simple case folding keeps every character of the 16-bit range inside it.
      out[i] = static_cast<char16_t>(CaseFold(c));
    }
  }
  return out;
}

// ---------------------------------------------------------------- long names

bool IsReservedDeviceName(std::u16string_view name) {
  // The part before the first dot, blanks at its end ignored.
  std::u16string_view base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  if (base.size() != 3 && base.size() != 4) return false;
  char16_t upper[4] = {};
  for (std::size_t i = 0; i < base.size(); ++i) upper[i] = AsciiUpper(base[i]);
  const std::u16string_view b(upper, base.size());
  if (b == u"CON" || b == u"PRN" || b == u"AUX" || b == u"NUL") return true;
  return b.size() == 4 && (b.starts_with(u"COM") || b.starts_with(u"LPT")) && b[3] >= u'1' && b[3] <= u'9';
}

std::string LongNameProblem(std::u16string_view name) {
  if (name.empty()) return "empty name";
  if (name.size() > 255) return "name longer than 255 characters";
  if (name == u"." || name == u"..") return "reserved name";
  for (char16_t c : name) {
    if (c < 0x20 || c == 0x7F) return "control character in name";
    if (c == u'\\') return kFolderSeparator;
    if (std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos)
      return "character not allowed in a FAT name";
  }
  if (name.back() == u' ' || name.back() == u'.') return "name ends with a blank or a dot";
  if (IsReservedDeviceName(name)) return "name of a device on the hosts that read the volume";
  return {};
}

std::string LongNameProblem(std::string_view utf8, std::u16string& name16) {
  name16.clear();
  if (!IsValidUtf8(utf8)) return kNotUtf8;
  name16 = Utf8ToUtf16(utf8);
  return LongNameProblem(name16);
}

std::string HostNameProblem(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) return kNotUtf8;
  if (utf8.find('\\') != std::string_view::npos) return kFolderSeparator;
  return {};
}

// ---------------------------------------------------------------- short names

ShortNameBasis MakeShortNameBasis(std::u16string_view longName) {
  ShortNameBasis basis;
  const std::size_t dot = longName.rfind(u'.');
  const bool oneDot = dot == std::u16string_view::npos || longName.find(u'.') == dot;
  const std::u16string_view base0 = longName.substr(0, dot == std::u16string_view::npos ? longName.size() : dot);
  const std::u16string_view ext0 =
      dot == std::u16string_view::npos ? std::u16string_view{} : longName.substr(dot + 1);
  const bool allValid = std::all_of(longName.begin(), longName.end(),
                                    [](char16_t c) { return c == u'.' || IsShortNameChar(AsciiUpper(c)); });
  if (oneDot && allValid && !base0.empty() && base0.size() <= 8 && ext0.size() <= 3 &&
      (dot == std::u16string_view::npos || !ext0.empty())) {
    AppendMapped(basis.base, base0);
    AppendMapped(basis.ext, ext0);
    basis.exact = true;
    const auto baseCase = PartCase(base0, kLowerCaseBase), extCase = PartCase(ext0, kLowerCaseExtension);
    basis.caseKept = baseCase && extCase;
    if (basis.caseKept) basis.caseFlags = static_cast<std::uint8_t>(*baseCase | *extCase);
    return basis;
  }
  // Lossy: blanks and leading dots dropped, split at the last dot, inner dots dropped.
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

std::u16string ShortNameAsName(const ShortName& shortName) {
  const std::string text = ShortNameText(shortName);
  std::u16string name(text.begin(), text.end());
  for (char16_t& c : name) c = static_cast<std::uint8_t>(c);  // bytes, not signed chars
  return name;
}

std::uint8_t LfnChecksum(const ShortName& shortName) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : shortName) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + b);
  return sum;
}

std::optional<ShortName> ShortNameAllocator::Choose(std::u16string_view longName,
                                                    const std::function<bool(const ShortName&)>& taken) {
  const ShortNameBasis basis = MakeShortNameBasis(longName);
  if (basis.exact) {
    const ShortName exact = ShortNameOf(basis.base, basis.ext);
    if (!taken(exact)) return exact;
  }
  // Names that share the first six characters share the counter, so a long
  // run of similar names does not try the same tails again and again.
  std::uint32_t& next = nextTail_.try_emplace(basis.base.substr(0, 6) + "." + basis.ext, 1).first->second;
  for (; next <= 999999; ++next) {
    const ShortName candidate = ShortNameWithTail(basis, next);
    if (!taken(candidate)) {
      ++next;
      return candidate;
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- volume label

std::optional<std::string> VolumeLabelBytes(std::string_view label, unsigned codePage, std::size_t maxBytes,
                                            LabelLength longer, std::string* why) {
  auto refuse = [&](const std::string& text) -> std::optional<std::string> {
    if (why) *why = text;
    return std::nullopt;
  };
  if (!IsValidUtf8(label)) return refuse("the volume label is not UTF-8 text");
  while (!label.empty() && label.back() == ' ') label.remove_suffix(1);
  if (!label.empty() && label.front() == ' ') return refuse("a volume label cannot begin with a blank");
  const std::u16string text = Utf8ToUtf16(label);
  std::string bytes;
  bool full = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t units = IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]) ? 2 : 1;
    const std::string character = Utf16ToUtf8(std::u16string_view(text).substr(i, units));
    i += units - 1;
    std::string encoded;
    if (text[i] < 0x80) {
      const char c = static_cast<char>(AsciiUpper(text[i]));
      if (c < 0x20 || c == 0x7F) return refuse("a volume label cannot hold control characters");
      if (std::string_view("*?.,;:/\\|+=<>[]\"").find(c) != std::string_view::npos)
        return refuse("a volume label may not contain '" + character + "'");
      encoded.assign(1, c);
    } else {
      encoded = Utf8ToCodePage(character, codePage);
      if (encoded.empty() || CodePageToUtf8(encoded, codePage) != character)
        return refuse("the volume label's '" + character + "' cannot be written in code page " +
                      std::to_string(codePage == CP_ACP ? GetACP() : codePage));
    }
    // The rest of the label is still checked: a refused character anywhere refuses it.
    full = full || bytes.size() + encoded.size() > maxBytes;
    if (!full) bytes += encoded;
  }
  if (full && longer == LabelLength::kRefuse)
    return refuse("a volume label holds at most " + std::to_string(maxBytes) + " bytes");
  return bytes;
}

ShortName VolumeLabelField(std::string_view bytes) {
  ShortName field;
  field.fill(' ');
  std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), field.size()), field.begin());
  return field;
}

std::string VolumeLabelText(const std::uint8_t* field, unsigned codePage) {
  std::string bytes(reinterpret_cast<const char*>(field), 11);
  while (!bytes.empty() && (bytes.back() == ' ' || bytes.back() == '\0')) bytes.pop_back();
  if (!bytes.empty() && static_cast<std::uint8_t>(bytes[0]) == 0x05) bytes[0] = static_cast<char>(0xE5);
  const bool ascii =
      std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<std::uint8_t>(c) < 0x80; });
  return ascii ? bytes : CodePageToUtf8(bytes, codePage);
}

// ---------------------------------------------------------------- clashes

std::string NameClashText(const std::string& later, const std::string& earlier) {
  return later + " and " + earlier +
         " would have the same name on the volume (names are compared without regard to case, and a long name "
         "also answers to its short name)";
}

}  // namespace platform::fatnames

#include "platform/ini/ini_document.h"

#include <initializer_list>

#include "platform/codepage/codepage.h"

namespace platform {

namespace {

constexpr std::size_t npos = std::string::npos;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Line breaks inside a name or value would split the line: they become blanks.
// Joins pieces with append (g++ 12 warns falsely on chains of operator+).
std::string Join(std::initializer_list<std::string_view> pieces) {
  std::string out;
  for (std::string_view p : pieces) out.append(p);
  return out;
}

std::string OneLine(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '\r' || c == '\n') c = ' ';
  return out;
}

}  // namespace

bool IniDocument::SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

IniDocument::Line IniDocument::Parse(std::string text) {
  Line line;
  const std::string_view t = Trim(text);
  if (!t.empty() && t.front() == '[') {
    const std::size_t close = t.rfind(']');
    if (close != npos) {
      line.kind = Kind::Section;
      line.name = std::string(Trim(t.substr(1, close - 1)));
    }
  } else if (!t.empty() && t.front() != ';') {
    line.kind = Kind::Key;
    const std::size_t eq = t.find('=');
    line.name = std::string(Trim(t.substr(0, eq)));
    if (eq != npos) line.value = std::string(Trim(t.substr(eq + 1)));
  }
  line.text = std::move(text);
  return line;
}

IniDocument::IniDocument(std::string_view raw) {
  std::string decoded;
  std::string_view bytes = raw;
  if (raw.substr(0, 2) == "\xFF\xFE") {
    utf16_ = true;
    std::u16string wide;
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2)
      wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw[i]) |
                                           (static_cast<unsigned char>(raw[i + 1]) << 8)));
    decoded = Utf16ToUtf8(wide);
    bytes = decoded;
  } else if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    bom_ = true;
    bytes.remove_prefix(3);
  }
  std::size_t start = 0;
  while (start < bytes.size()) {
    const std::size_t end = bytes.find_first_of("\r\n", start);
    if (end == npos) {
      lines_.push_back(Parse(std::string(bytes.substr(start))));
      break;
    }
    lines_.push_back(Parse(std::string(bytes.substr(start, end - start))));
    start = end + 1;
    if (bytes[end] == '\r' && start < bytes.size() && bytes[start] == '\n') ++start;
  }
}

std::string IniDocument::Serialize() const {
  std::string out;
  if (bom_) out = "\xEF\xBB\xBF";
  for (const Line& line : lines_) {
    out += line.text;
    out += "\r\n";
  }
  if (!utf16_) return out;
  std::string wide = "\xFF\xFE";
  for (char16_t c : Utf8ToUtf16(out)) {
    wide.push_back(static_cast<char>(c & 0xFF));
    wide.push_back(static_cast<char>(c >> 8));
  }
  return wide;
}

std::size_t IniDocument::FindSection(std::string_view section) const {
  for (std::size_t i = 0; i < lines_.size(); ++i)
    if (lines_[i].kind == Kind::Section && SameName(lines_[i].name, section)) return i;
  return npos;
}

std::size_t IniDocument::SectionEnd(std::size_t h) const {
  std::size_t i = h + 1;
  while (i < lines_.size() && lines_[i].kind != Kind::Section) ++i;
  return i;
}

std::size_t IniDocument::FindKey(std::size_t h, std::string_view key) const {
  const std::size_t end = SectionEnd(h);
  for (std::size_t i = h + 1; i < end; ++i)
    if (lines_[i].kind == Kind::Key && SameName(lines_[i].name, key)) return i;
  return npos;
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
  const std::size_t h = FindSection(section);
  if (h == npos) return std::nullopt;
  const std::size_t k = FindKey(h, key);
  if (k == npos) return std::nullopt;
  return lines_[k].value;
}

bool IniDocument::HasSection(std::string_view section) const { return FindSection(section) != npos; }

std::vector<std::string> IniDocument::Keys(std::string_view section) const {
  std::vector<std::string> keys;
  const std::size_t h = FindSection(section);
  if (h == npos) return keys;
  const std::size_t end = SectionEnd(h);
  for (std::size_t i = h + 1; i < end; ++i) {
    if (lines_[i].kind != Kind::Key) continue;
    bool seen = false;
    for (const std::string& k : keys) seen = seen || SameName(k, lines_[i].name);
    if (!seen) keys.push_back(lines_[i].name);
  }
  return keys;
}

std::vector<std::string> IniDocument::Sections() const {
  std::vector<std::string> names;
  for (const Line& line : lines_) {
    if (line.kind != Kind::Section) continue;
    bool seen = false;
    for (const std::string& n : names) seen = seen || SameName(n, line.name);
    if (!seen) names.push_back(line.name);
  }
  return names;
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  const std::string k(Trim(OneLine(key)));
  const std::string v = OneLine(value);
  std::size_t h = FindSection(section);
  if (h == npos) {
    AddSection(section);
    h = lines_.size() - 1;
  }
  const std::size_t at = FindKey(h, k);
  if (at != npos) {
    std::string text = Join({lines_[at].name, "=", v});
    if (text == lines_[at].text) return false;
    lines_[at] = Parse(std::move(text));
    return true;
  }
  std::size_t insert = SectionEnd(h);
  while (insert > h + 1 && Trim(lines_[insert - 1].text).empty()) --insert;
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert), Parse(Join({k, "=", v})));
  return true;
}

bool IniDocument::AddSection(std::string_view section) {
  if (FindSection(section) != npos) return false;
  lines_.push_back(Parse(Join({"[", OneLine(section), "]"})));
  return true;
}

bool IniDocument::EraseSection(std::string_view section) {
  bool changed = false;
  for (std::size_t h = FindSection(section); h != npos; h = FindSection(section)) {
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(h),
                 lines_.begin() + static_cast<std::ptrdiff_t>(SectionEnd(h)));
    changed = true;
  }
  return changed;
}

bool IniDocument::DeleteKey(std::string_view section, std::string_view key) {
  const std::size_t h = FindSection(section);
  if (h == npos) return false;
  const std::size_t k = FindKey(h, key);
  if (k == npos) return false;
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(k));
  return true;
}

}  // namespace platform

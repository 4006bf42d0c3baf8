#include "platform/ini/ini_document.h"

#include <algorithm>
#include <initializer_list>
#include <unordered_set>

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

std::string IniDocument::Fold(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
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

void IniDocument::Block::Index() {
  keys.clear();
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].kind == Kind::Key) keys.emplace(Fold(lines[i].name), i);
}

// Adds a line at the end of the text: a section line opens a new block.
void IniDocument::Append(Line line) {
  if (line.kind == Kind::Section) {
    sections_.emplace(Fold(line.name), blocks_.size());  // the first block of a name stays
    Block block;
    block.header = std::move(line);
    blocks_.push_back(std::move(block));
    return;
  }
  Block& block = blocks_.back();
  if (line.kind == Kind::Key) block.keys.emplace(Fold(line.name), block.lines.size());
  block.lines.push_back(std::move(line));
}

void IniDocument::IndexSections() {
  sections_.clear();
  for (std::size_t b = 1; b < blocks_.size(); ++b) sections_.emplace(Fold(blocks_[b].header->name), b);
}

IniDocument::IniDocument() : blocks_(1) {}

IniDocument::IniDocument(std::string_view raw) : blocks_(1) {
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
      Append(Parse(std::string(bytes.substr(start))));
      break;
    }
    Append(Parse(std::string(bytes.substr(start, end - start))));
    start = end + 1;
    if (bytes[end] == '\r' && start < bytes.size() && bytes[start] == '\n') ++start;
  }
}

std::string IniDocument::Serialize() const {
  std::string out;
  if (bom_) out = "\xEF\xBB\xBF";
  for (const Block& block : blocks_) {
    if (block.header) out.append(block.header->text).append("\r\n");
    for (const Line& line : block.lines) out.append(line.text).append("\r\n");
  }
  if (!utf16_) return out;
  std::string wide = "\xFF\xFE";
  for (char16_t c : Utf8ToUtf16(out)) {
    wide.push_back(static_cast<char>(c & 0xFF));
    wide.push_back(static_cast<char>(c >> 8));
  }
  return wide;
}

const IniDocument::Block* IniDocument::FindSection(std::string_view section) const {
  const auto it = sections_.find(Fold(section));
  return it == sections_.end() ? nullptr : &blocks_[it->second];
}

IniDocument::Block* IniDocument::FindSection(std::string_view section) {
  const auto it = sections_.find(Fold(section));
  return it == sections_.end() ? nullptr : &blocks_[it->second];
}

std::optional<std::string> IniDocument::Get(std::string_view section, std::string_view key) const {
  const Block* block = FindSection(section);
  if (!block) return std::nullopt;
  const auto it = block->keys.find(Fold(key));
  if (it == block->keys.end()) return std::nullopt;
  return block->lines[it->second].value;
}

bool IniDocument::HasSection(std::string_view section) const { return FindSection(section) != nullptr; }

std::vector<std::string> IniDocument::Keys(std::string_view section, NameCase names) const {
  std::vector<std::string> keys;
  const Block* block = FindSection(section);
  if (!block) return keys;
  std::unordered_set<std::string> seen;
  for (const Line& line : block->lines)
    if (line.kind == Kind::Key && seen.insert(names == NameCase::Exact ? line.name : Fold(line.name)).second)
      keys.push_back(line.name);
  return keys;
}

std::vector<std::string> IniDocument::Sections() const {
  std::vector<std::string> names;
  std::unordered_set<std::string> seen;
  for (const Block& block : blocks_)
    if (block.header && seen.insert(Fold(block.header->name)).second) names.push_back(block.header->name);
  return names;
}

// A new key whose line reads as a section header (a name such as "[a]")
// changes the text's structure: the blocks are built afresh from the lines,
// exactly as a fresh read of the written text would build them.
void IniDocument::Rebuild() {
  std::vector<Block> old;
  old.swap(blocks_);
  blocks_.resize(1);
  sections_.clear();
  for (Block& block : old) {
    if (block.header) Append(std::move(*block.header));
    for (Line& line : block.lines) Append(std::move(line));
  }
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
  const std::string k(Trim(OneLine(key)));
  const std::string v = OneLine(value);
  Block* block = FindSection(section);
  if (!block) {
    AddSection(section);
    block = &blocks_.back();
  }
  const auto found = block->keys.find(Fold(k));
  if (found != block->keys.end()) {
    Line& line = block->lines[found->second];
    std::string text = Join({line.name, "=", v});
    if (text == line.text) return false;
    line = Parse(std::move(text));  // the name comes first, so it still reads as this key
    return true;
  }
  // After the last non-blank line: only blank lines follow, so no indexed key moves.
  std::size_t insert = block->lines.size();
  while (insert > 0 && Trim(block->lines[insert - 1].text).empty()) --insert;
  Line line = Parse(Join({k, "=", v}));
  const Kind kind = line.kind;
  if (kind == Kind::Key) block->keys.emplace(Fold(line.name), insert);
  block->lines.insert(block->lines.begin() + static_cast<std::ptrdiff_t>(insert), std::move(line));
  if (kind == Kind::Section) Rebuild();
  return true;
}

bool IniDocument::AddSection(std::string_view section) {
  if (FindSection(section)) return false;
  Append(Parse(Join({"[", OneLine(section), "]"})));
  return true;
}

bool IniDocument::EraseSection(std::string_view section) {
  const std::size_t before = blocks_.size();
  std::erase_if(blocks_, [&](const Block& block) { return block.header && SameName(block.header->name, section); });
  if (blocks_.size() == before) return false;
  IndexSections();
  return true;
}

bool IniDocument::DeleteKey(std::string_view section, std::string_view key) {
  Block* block = FindSection(section);
  if (!block) return false;
  const auto found = block->keys.find(Fold(key));
  if (found == block->keys.end()) return false;
  block->lines.erase(block->lines.begin() + static_cast<std::ptrdiff_t>(found->second));
  block->Index();
  return true;
}

bool IniDocument::ReplaceSectionKeys(std::string_view section, const std::vector<std::string>& keys) {
  bool changed = EraseSection(section);
  if (keys.empty()) return changed;
  Append(Parse(Join({"[", OneLine(section), "]"})));
  // A name that would read as a section header cannot sit among the keys
  // without cutting the section short: such lines go after them.
  std::vector<Line> headers;
  std::unordered_set<std::string> written;
  for (const std::string& key : keys) {
    std::string k(Trim(OneLine(key)));
    if (!written.insert(k).second) continue;
    Line line = Parse(Join({k, "="}));
    if (line.kind == Kind::Section)
      headers.push_back(std::move(line));
    else
      Append(std::move(line));
  }
  for (Line& line : headers) Append(std::move(line));
  return true;
}

}  // namespace platform

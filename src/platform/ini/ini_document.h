// The text of a profile (INI) file as lines, with the lookups and edits of the
// private-profile rules. Used by the settings files and the registry store.
//
// Parsing: lines end at CR LF, LF or CR; a UTF-8 byte-order mark at the start
// is kept but not part of the first line. A line whose first non-blank is '['
// and that holds a ']' opens a section named by the text up to the last ']'.
// A line whose first non-blank is ';' is a comment. Any other non-blank line inside a
// section is a key: the name is the text before the first '=' (the whole line
// when there is none), the value the text after it, both without surrounding
// blanks and tabs. Names compare without regard to ASCII case; where a section
// or key appears twice, the first one counts. Bytes are kept as they stand.
// A text that begins with the UTF-16LE mark FF FE is UTF-16 little-endian:
// it is read as such (UTF-8 inside) and written back in UTF-16LE with the mark.
//
// Writing: every line ends with CR LF; lines that are not edited keep their
// text. A changed key keeps its place and its name's spelling; a new key goes
// after the last non-blank line of its section; a new section goes at the end.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class IniDocument {
 public:
  IniDocument() = default;
  explicit IniDocument(std::string_view bytes);

  std::string Serialize() const;
  bool Utf16() const { return utf16_; }

  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  bool HasSection(std::string_view section) const;
  std::vector<std::string> Keys(std::string_view section) const;  // in file order, first spellings
  std::vector<std::string> Sections() const;                     // in file order, each once

  // Edits; each returns true when the text changed.
  bool Set(std::string_view section, std::string_view key, std::string_view value);
  bool AddSection(std::string_view section);  // an empty section at the end when missing
  bool EraseSection(std::string_view section);  // every section of that name, with its lines
  bool DeleteKey(std::string_view section, std::string_view key);

  static bool SameName(std::string_view a, std::string_view b);

 private:
  enum class Kind { Other, Section, Key };
  struct Line {
    std::string text;
    Kind kind = Kind::Other;
    std::string name;  // section or key name, trimmed
    std::string value;  // key value, trimmed
  };
  static Line Parse(std::string text);
  // Index of the first header line of the section, or npos.
  std::size_t FindSection(std::string_view section) const;
  // One past the last line of the section starting at header 'h'.
  std::size_t SectionEnd(std::size_t h) const;
  std::size_t FindKey(std::size_t h, std::string_view key) const;

  bool bom_ = false;
  bool utf16_ = false;
  std::vector<Line> lines_;
};

}  // namespace platform

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
//
// Sections and keys are found through indexes, so reading or writing a file
// of n keys costs time in step with n, however many keys one section holds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

// How key names are told apart where a section lists names (file paths kept
// as keys): without regard to ASCII case, as the profile rules do, or exactly,
// as this host's file names are.
enum class NameCase { Ignore, Exact };

class IniDocument {
 public:
  IniDocument();
  explicit IniDocument(std::string_view bytes);

  std::string Serialize() const;
  bool Utf16() const { return utf16_; }

  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  bool HasSection(std::string_view section) const;
  // The key names of the first section of that name, in file order, each
  // once (its first spelling when names are compared without case).
  std::vector<std::string> Keys(std::string_view section, NameCase names = NameCase::Ignore) const;
  std::vector<std::string> Sections() const;  // in file order, each once

  // Edits; each returns true when the text changed.
  bool Set(std::string_view section, std::string_view key, std::string_view value);
  bool AddSection(std::string_view section);  // an empty section at the end when missing
  bool EraseSection(std::string_view section);  // every section of that name, with its lines
  bool DeleteKey(std::string_view section, std::string_view key);
  // Erases every section of that name and puts one at the end that lists each
  // of `keys` once (compared exactly), in order, each with an empty value. An
  // empty list leaves no section.
  bool ReplaceSectionKeys(std::string_view section, const std::vector<std::string>& keys);

  static bool SameName(std::string_view a, std::string_view b);

 private:
  enum class Kind { Other, Section, Key };
  struct Line {
    std::string text;
    Kind kind = Kind::Other;
    std::string name;  // section or key name, trimmed
    std::string value;  // key value, trimmed
  };
  // A section header and the lines up to the next one. The first block has
  // no header: the lines before the first section, which belong to none.
  struct Block {
    std::optional<Line> header;
    std::vector<Line> lines;
    // Folded key name -> the line of its first occurrence.
    std::unordered_map<std::string, std::size_t> keys;
    void Index();
  };
  static Line Parse(std::string text);
  static std::string Fold(std::string_view name);
  void Append(Line line);
  void IndexSections();
  void Rebuild();
  // The first block of the section, or nullptr.
  const Block* FindSection(std::string_view section) const;
  Block* FindSection(std::string_view section);

  bool bom_ = false;
  bool utf16_ = false;
  std::vector<Block> blocks_;
  // Folded section name -> its first block.
  std::unordered_map<std::string, std::size_t> sections_;
};

}  // namespace platform

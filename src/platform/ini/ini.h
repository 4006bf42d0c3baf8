// Settings files of the private-profile kind (see ini_document.h for the text
// rules). Two kinds of object over them:
// - TIniFile: every write reaches the file at once and replaces it whole
//   through a temporary file, so a file is never left half-written; reads see
//   the file as it is at that moment.
// - TMemIniFile: the file is read once; reads and writes work on the copy in
//   memory, and UpdateFile writes it back whole (temporary file + rename) in
//   one step, so a thousand writes cost one file write.
// Values are bytes as they stand (no code-page change; a UTF-16 file is UTF-8
// inside). A value read back loses one matched pair of double quotes around
// it ("\"a b\"" reads as "a b"), as with the profile functions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/convert/exception.h"
#include "platform/ini/ini_document.h"

namespace platform {

// What both kinds share: the reads and writes over one document, which the
// kind supplies (the file as it is now, or the copy in memory).
class TCustomIniFile {
 public:
  explicit TCustomIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  virtual ~TCustomIniFile() = default;

  const std::string& FileName() const { return fileName_; }

  // Missing file, section or key: the default.
  std::string ReadString(const std::string& section, const std::string& ident, const std::string& fallback) const;
  // The value read as a decimal integer, or hexadecimal after "0x"; missing
  // or not a number: the default.
  std::int32_t ReadInteger(const std::string& section, const std::string& ident, std::int32_t fallback) const;
  // An integer value that is not 0; missing or not a number: the default.
  bool ReadBool(const std::string& section, const std::string& ident, bool fallback) const;

  void WriteString(const std::string& section, const std::string& ident, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& ident, std::int32_t value);  // decimal
  void WriteBool(const std::string& section, const std::string& ident, bool value);             // "1" / "0"

  // The key names of a section in file order (empty when it is missing),
  // each once: names that differ only in case are one name unless `names`
  // is NameCase::Exact.
  void ReadSection(const std::string& section, std::vector<std::string>& idents) const;
  std::vector<std::string> ReadSection(const std::string& section, NameCase names = NameCase::Ignore) const;
  // The section names in file order.
  void ReadSections(std::vector<std::string>& sections) const;

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& ident) const;

  // Removes the section (every occurrence) with its keys; a missing section
  // changes nothing.
  void EraseSection(const std::string& section);
  // Replaces the section (every occurrence) by one at the end of the file that
  // lists each name once with an empty value. Names are compared exactly, so
  // names that differ only in case (file paths of this host) are all kept.
  void WriteSectionKeys(const std::string& section, const std::vector<std::string>& idents);
  void DeleteKey(const std::string& section, const std::string& ident);

 protected:
  // The document to read: 'scratch' filled from the file, or a kept copy.
  virtual const IniDocument& Document(IniDocument& scratch) const = 0;
  // Applies an edit (true when it changed the text). 'valueWrite' marks a
  // value write, which reports a file that would refuse it even when the
  // text stays the same.
  virtual void Edit(const std::function<bool(IniDocument&)>& edit, bool valueWrite) = 0;
  [[noreturn]] void ThrowWriteError() const;

 private:
  std::string fileName_;
};

// Every write reaches the file at once. Each write throws EIniFileException
// "Unable to write to <file name>" when the file cannot be written; the file
// then stays as it was.
class TIniFile : public TCustomIniFile {
 public:
  // Only stores the name; nothing is opened until a value is read or written.
  explicit TIniFile(std::string fileName) : TCustomIniFile(std::move(fileName)) {}

  // Nothing is buffered: present for callers that flush.
  void UpdateFile() {}

 protected:
  const IniDocument& Document(IniDocument& scratch) const override;
  void Edit(const std::function<bool(IniDocument&)>& edit, bool valueWrite) override;
};

// The file read once into memory; writes stay there until UpdateFile.
class TMemIniFile : public TCustomIniFile {
 public:
  // Reads the file when it exists. A file that exists but cannot be read
  // gives an empty copy, and UpdateFile then refuses to replace it.
  explicit TMemIniFile(std::string fileName);

  bool Modified() const { return modified_; }
  // False when the file existed but could not be read.
  bool Loaded() const { return loaded_; }

  // Writes the copy back whole (temporary file + rename). Nothing is written
  // when nothing changed since the load or the last update. Throws
  // EIniFileException "Unable to write to <file name>" when the file cannot
  // be replaced, or was not readable at the load; the file then stays as it was.
  void UpdateFile();

 protected:
  const IniDocument& Document(IniDocument&) const override { return doc_; }
  void Edit(const std::function<bool(IniDocument&)>& edit, bool) override { modified_ = edit(doc_) || modified_; }

 private:
  IniDocument doc_;
  bool loaded_ = true;
  bool modified_ = false;
};

// The profile functions over the same files. The read gives 'fallback' for a
// missing file, section or key; the write gives false when the file cannot
// be written (nothing changes then).
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& fallback, const std::string& fileName);
bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName);

}  // namespace platform

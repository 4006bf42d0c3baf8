#include "platform/ini/ini.h"

#include <functional>
#include <mutex>
#include <optional>

#include "platform/convert/convert.h"
#include "platform/ini/ini_document.h"
#include "platform/paths/paths.h"

namespace platform {

namespace {

// One read-modify-write at a time in this process, so that two threads that
// write the same file do not lose each other's values.
std::mutex& WriteMutex() {
  static std::mutex mutex;
  return mutex;
}

IniDocument Load(const std::string& fileName) {
  std::string bytes;
  if (!ReadWholeFile(fileName, bytes)) return IniDocument();
  return IniDocument(bytes);
}

// Loads, edits and writes back when the edit changed the text. An edit that
// changes nothing writes nothing; a value write ('mustWrite') then still
// reports a file that would refuse the write.
bool Modify(const std::string& fileName, bool mustWrite, const std::function<bool(IniDocument&)>& edit) {
  std::lock_guard lock(WriteMutex());
  IniDocument doc = Load(fileName);
  if (edit(doc)) return WriteFileAtomically(fileName, doc.Serialize());
  return !mustWrite || CanReplaceFile(fileName);
}


// A settings value read as an integer: decimal (with an optional sign), or
// hexadecimal when it has more than two characters and begins with "0x" or
// "0X". Anything else gives the fallback.
std::int32_t IniValueToInt(const std::string& text, std::int32_t fallback) {
  if (text.empty()) return fallback;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text.size() > 10) return fallback;
    std::uint32_t value = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
      const char c = text[i];
      int digit;
      if (c >= '0' && c <= '9') digit = c - '0';
      else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      else return fallback;
      value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::int32_t>(value);
  }
  std::size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return fallback;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return fallback;
    value = value * 10 + (text[i] - '0');
    if (value > 0x80000000LL) return fallback;
  }
  if (text[0] == '-') value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return fallback;
  return static_cast<std::int32_t>(value);
}

// One matched pair of double quotes around a value is not part of it.
std::optional<std::string> ValueOf(const IniDocument& doc, const std::string& section, const std::string& ident) {
  std::optional<std::string> value = doc.Get(section, ident);
  if (!value) return value;
  std::string& text = *value;
  const std::size_t n = text.size();
  if (n >= 2 && text[0] == '"' && text[n - 1] == '"') {
    text.pop_back();
    text.erase(0, 1);
  }
  return value;
}

std::string StringOf(const IniDocument& doc, const std::string& section, const std::string& ident,
                     const std::string& fallback) {
  return ValueOf(doc, section, ident).value_or(fallback);
}

std::int32_t IntegerOf(const IniDocument& doc, const std::string& section, const std::string& ident,
                       std::int32_t fallback) {
  const auto value = ValueOf(doc, section, ident);
  return value ? IniValueToInt(*value, fallback) : fallback;
}

}  // namespace

// ---- the reads and writes both kinds share ----

std::string TCustomIniFile::ReadString(const std::string& section, const std::string& ident,
                                       const std::string& fallback) const {
  IniDocument scratch;
  return StringOf(Document(scratch), section, ident, fallback);
}

std::int32_t TCustomIniFile::ReadInteger(const std::string& section, const std::string& ident,
                                         std::int32_t fallback) const {
  IniDocument scratch;
  return IntegerOf(Document(scratch), section, ident, fallback);
}

bool TCustomIniFile::ReadBool(const std::string& section, const std::string& ident, bool fallback) const {
  return ReadInteger(section, ident, fallback ? 1 : 0) != 0;
}

void TCustomIniFile::WriteString(const std::string& section, const std::string& ident, const std::string& value) {
  Edit([&](IniDocument& doc) { return doc.Set(section, ident, value); }, true);
}

void TCustomIniFile::WriteInteger(const std::string& section, const std::string& ident, std::int32_t value) {
  WriteString(section, ident, IntToStr(value));
}

void TCustomIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
  WriteString(section, ident, value ? "1" : "0");
}

void TCustomIniFile::ReadSection(const std::string& section, std::vector<std::string>& idents) const {
  idents = ReadSection(section);
}

std::vector<std::string> TCustomIniFile::ReadSection(const std::string& section, NameCase names) const {
  IniDocument scratch;
  return Document(scratch).Keys(section, names);
}

void TCustomIniFile::ReadSections(std::vector<std::string>& sections) const {
  IniDocument scratch;
  sections = Document(scratch).Sections();
}

bool TCustomIniFile::SectionExists(const std::string& section) const {
  IniDocument scratch;
  return Document(scratch).HasSection(section);
}

bool TCustomIniFile::ValueExists(const std::string& section, const std::string& ident) const {
  IniDocument scratch;
  return Document(scratch).Get(section, ident).has_value();
}

void TCustomIniFile::EraseSection(const std::string& section) {
  Edit([&](IniDocument& doc) { return doc.EraseSection(section); }, false);
}

void TCustomIniFile::WriteSectionKeys(const std::string& section, const std::vector<std::string>& idents) {
  Edit([&](IniDocument& doc) { return doc.ReplaceSectionKeys(section, idents); }, true);
}

void TCustomIniFile::DeleteKey(const std::string& section, const std::string& ident) {
  Edit([&](IniDocument& doc) { return doc.DeleteKey(section, ident); }, false);
}

void TCustomIniFile::ThrowWriteError() const { throw EIniFileException("Unable to write to " + FileName()); }

// ---- TIniFile: the file itself ----

const IniDocument& TIniFile::Document(IniDocument& scratch) const {
  scratch = Load(FileName());
  return scratch;
}

void TIniFile::Edit(const std::function<bool(IniDocument&)>& edit, bool valueWrite) {
  if (!Modify(FileName(), valueWrite, edit)) ThrowWriteError();
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& fallback, const std::string& fileName) {
  return StringOf(Load(fileName), section, key, fallback);
}

// ---- TMemIniFile: a copy in memory ----

TMemIniFile::TMemIniFile(std::string fileName) : TCustomIniFile(std::move(fileName)) {
  std::string bytes;
  if (ReadWholeFile(FileName(), bytes)) {
    doc_ = IniDocument(bytes);
    return;
  }
  // Missing is an empty file; present but unreadable must not be replaced
  // by what little this object will hold.
  loaded_ = !FileExists(FileName()) && !DirectoryExists(FileName());
}

void TMemIniFile::UpdateFile() {
  if (!loaded_) ThrowWriteError();
  if (!modified_) {
    // Nothing to write; a file that would refuse the write is still reported.
    if (!CanReplaceFile(FileName())) ThrowWriteError();
    return;
  }
  std::lock_guard lock(WriteMutex());
  if (!WriteFileAtomically(FileName(), doc_.Serialize())) ThrowWriteError();
  modified_ = false;
}

bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName) {
  return Modify(fileName, true, [&](IniDocument& doc) { return doc.Set(section, key, value); });
}

}  // namespace platform

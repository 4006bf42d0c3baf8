#include "platform/ini/ini.h"

#include <functional>
#include <mutex>

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

[[noreturn]] void ThrowWriteError(const std::string& fileName) {
  throw EIniFileException("Unable to write to " + fileName);
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::string TIniFile::ReadString(const std::string& section, const std::string& ident,
                                 const std::string& fallback) const {
  return Load(fileName_).Get(section, ident).value_or(fallback);
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& ident,
                                   std::int32_t fallback) const {
  const auto value = Load(fileName_).Get(section, ident);
  return value ? StrToIntDef(*value, fallback) : fallback;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& ident, bool fallback) const {
  return ReadInteger(section, ident, fallback ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& ident, const std::string& value) {
  if (!WritePrivateProfileString(section, ident, value, fileName_)) ThrowWriteError(fileName_);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& ident, std::int32_t value) {
  WriteString(section, ident, IntToStr(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& ident, bool value) {
  WriteString(section, ident, value ? "1" : "0");
}

void TIniFile::ReadSection(const std::string& section, std::vector<std::string>& idents) const {
  idents = Load(fileName_).Keys(section);
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
  return Load(fileName_).Keys(section);
}

void TIniFile::ReadSections(std::vector<std::string>& sections) const { sections = Load(fileName_).Sections(); }

bool TIniFile::SectionExists(const std::string& section) const { return Load(fileName_).HasSection(section); }

bool TIniFile::ValueExists(const std::string& section, const std::string& ident) const {
  return Load(fileName_).Get(section, ident).has_value();
}

void TIniFile::EraseSection(const std::string& section) {
  if (!Modify(fileName_, false, [&](IniDocument& doc) { return doc.EraseSection(section); })) ThrowWriteError(fileName_);
}

void TIniFile::DeleteKey(const std::string& section, const std::string& ident) {
  if (!Modify(fileName_, false, [&](IniDocument& doc) { return doc.DeleteKey(section, ident); }))
    ThrowWriteError(fileName_);
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& fallback, const std::string& fileName) {
  return Load(fileName).Get(section, key).value_or(fallback);
}

bool WritePrivateProfileString(const std::string& section, const std::string& key, const std::string& value,
                               const std::string& fileName) {
  return Modify(fileName, true, [&](IniDocument& doc) { return doc.Set(section, key, value); });
}

}  // namespace platform

#include "platform/registry/registry.h"

#include <mutex>
#include <optional>
#include <vector>

#include "platform/convert/convert.h"
#include "platform/ini/ini_document.h"
#include "platform/paths/paths.h"

namespace platform {

namespace {

std::mutex g_fileMutex;  // the store's file name and every read-modify-write
std::string g_file;

constexpr std::string_view kInteger = "integer:";
constexpr std::string_view kString = "string:";

std::string FileName() {
  std::lock_guard lock(g_fileMutex);
  return g_file.empty() ? ProgramFolder() + "registry.ini" : g_file;
}

IniDocument Load(const std::string& file) {
  std::string bytes;
  return ReadWholeFile(file, bytes) ? IniDocument(bytes) : IniDocument();
}

// One read-modify-write of the store at a time within the process.
std::mutex& EditMutex() {
  static std::mutex mutex;
  return mutex;
}

template <typename Edit>
bool Modify(Edit edit) {
  std::lock_guard lock(EditMutex());
  const std::string file = FileName();
  IniDocument doc = Load(file);
  if (!edit(doc)) return true;
  return WriteFileAtomically(file, doc.Serialize());
}

const char* RootName(HKEY root) {
  switch (root) {
    case HKEY_CLASSES_ROOT: return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS: return "HKEY_USERS";
    default: return nullptr;
  }
}

// "a\\b\c\" -> "a\b\c"; relative paths are joined to 'base'.
std::string NormalizeKey(const std::string& base, const std::string& key) {
  std::string joined = (!key.empty() && key[0] == '\\') ? key : base + "\\" + key;
  std::string out;
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t end = joined.find('\\', start);
    if (end == std::string::npos) end = joined.size();
    if (end > start) {
      if (!out.empty()) out += '\\';
      out.append(joined, start, end - start);
    }
    start = end + 1;
  }
  return out;
}

bool StorableName(const std::string& name) {
  if (name.find_first_of("=\r\n") != std::string::npos) return false;
  if (!name.empty() && (name[0] == '[' || name[0] == ';')) return false;
  if (!name.empty() && (name.front() == ' ' || name.front() == '\t' || name.back() == ' ' || name.back() == '\t'))
    return false;
  return true;
}

std::string EncodeString(const std::string& value) {
  std::string out(kString);
  out += '"';
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  out += '"';
  return out;
}

std::optional<std::string> DecodeString(std::string_view stored) {
  if (stored.substr(0, kString.size()) != kString) return std::nullopt;
  stored.remove_prefix(kString.size());
  if (stored.size() < 2 || stored.front() != '"' || stored.back() != '"') return std::nullopt;
  stored = stored.substr(1, stored.size() - 2);
  std::string out;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '\\' && i + 1 < stored.size()) {
      const char n = stored[++i];
      out += n == 'r' ? '\r' : n == 'n' ? '\n' : n;
    } else {
      out += stored[i];
    }
  }
  return out;
}

std::optional<std::int32_t> DecodeInteger(std::string_view stored) {
  if (stored.substr(0, kInteger.size()) != kInteger) return std::nullopt;
  return TryStrToInt(stored.substr(kInteger.size()));
}

}  // namespace

void SetRegistryFile(const std::string& path) {
  std::lock_guard lock(g_fileMutex);
  g_file = path;
}

std::string RegistryFile() { return FileName(); }

TRegistry::TRegistry() = default;

void TRegistry::SetRootKey(HKEY root) {
  root_ = root;
  path_.clear();
}

std::string TRegistry::Section(const std::string& path) const {
  const char* root = RootName(root_);
  return root ? std::string(root) + "\\" + path : std::string();
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  const std::string path = NormalizeKey(path_, key);
  const std::string section = Section(path);
  if (path.empty() || section.empty()) return false;
  bool ok;
  if (canCreate)
    ok = Modify([&](IniDocument& doc) { return doc.AddSection(section); });
  else
    ok = Load(FileName()).HasSection(section);
  if (ok) path_ = path;
  return ok;
}

void TRegistry::CloseKey() { path_.clear(); }

bool TRegistry::KeyExists(const std::string& key) const {
  const std::string path = NormalizeKey(path_, key);
  return !path.empty() && RootName(root_) && Load(FileName()).HasSection(Section(path));
}

bool TRegistry::ValueExists(const std::string& name) const {
  return !path_.empty() && Load(FileName()).Get(Section(path_), name).has_value();
}

TRegDataType TRegistry::GetDataType(const std::string& name) const {
  if (path_.empty()) return TRegDataType::rdUnknown;
  const auto stored = Load(FileName()).Get(Section(path_), name);
  if (!stored) return TRegDataType::rdUnknown;
  if (DecodeInteger(*stored)) return TRegDataType::rdInteger;
  if (DecodeString(*stored)) return TRegDataType::rdString;
  return TRegDataType::rdUnknown;
}

std::string TRegistry::ReadString(const std::string& name, const std::string& fallback) const {
  if (path_.empty()) return fallback;
  const auto stored = Load(FileName()).Get(Section(path_), name);
  if (!stored) return fallback;
  return DecodeString(*stored).value_or(fallback);
}

std::int32_t TRegistry::ReadInteger(const std::string& name, std::int32_t fallback) const {
  if (path_.empty()) return fallback;
  const auto stored = Load(FileName()).Get(Section(path_), name);
  if (!stored) return fallback;
  return DecodeInteger(*stored).value_or(fallback);
}

bool TRegistry::Write(const std::string& name, const std::string& encoded) {
  if (path_.empty() || !StorableName(name)) return false;
  const std::string section = Section(path_);
  return Modify([&](IniDocument& doc) { return doc.Set(section, name, encoded); });
}

bool TRegistry::WriteString(const std::string& name, const std::string& value) {
  return Write(name, EncodeString(value));
}

bool TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
  return Write(name, std::string(kInteger) + IntToStr(value));
}

bool TRegistry::DeleteValue(const std::string& name) {
  if (path_.empty()) return false;
  const std::string section = Section(path_);
  bool found = false;
  const bool written = Modify([&](IniDocument& doc) { return found = doc.DeleteKey(section, name); });
  return found && written;
}

}  // namespace platform

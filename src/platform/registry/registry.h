// The registry stand-in: typed values (strings and 32-bit integers) under key
// paths, kept in one INI-style file. Each key path is a section named by the
// root and the path ("HKEY_LOCAL_MACHINE\SoftWare\Maker\Product"); each value
// a line "Name=integer:42" or "Name=string:"text"" (in the string, '\' is
// written "\\", CR "\r" and LF "\n"). Key paths and value names compare without
// regard to case, as in the system registry.
//
// Every write replaces the file whole through a temporary file. Several
// threads may use the store at once; each call reads the file afresh.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

using HKEY = std::uint32_t;
constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr HKEY HKEY_USERS = 0x80000003u;

// The store's file. Empty (the start value) means "registry.ini" in the
// program folder.
void SetRegistryFile(const std::string& path);
std::string RegistryFile();

enum class TRegDataType { rdUnknown, rdString, rdInteger };

class TRegistry {
 public:
  TRegistry();  // root HKEY_CURRENT_USER, no key open

  HKEY RootKey() const { return root_; }
  void SetRootKey(HKEY root);  // closes the open key

  // Opens a key path ('\' separated; empty parts ignored). A path without a
  // leading '\' is taken relative to the key already open. With 'canCreate'
  // a missing key is created in the file at once. False when the key is
  // missing and may not be created, or when the file cannot be written.
  bool OpenKey(const std::string& key, bool canCreate);
  void CloseKey();
  const std::string& CurrentPath() const { return path_; }  // empty: no key open
  bool KeyExists(const std::string& key) const;

  // Reads of the open key. A missing key, a missing value or a value of the
  // other type gives the default.
  bool ValueExists(const std::string& name) const;
  TRegDataType GetDataType(const std::string& name) const;
  std::string ReadString(const std::string& name, const std::string& fallback = std::string()) const;
  std::int32_t ReadInteger(const std::string& name, std::int32_t fallback = 0) const;

  // Writes to the open key; false when no key is open, the name is not
  // storable (it holds '=' or a line break, begins with '[' or ';' or has
  // blanks at either end) or the file cannot be written.
  bool WriteString(const std::string& name, const std::string& value);
  bool WriteInteger(const std::string& name, std::int32_t value);
  bool DeleteValue(const std::string& name);

 private:
  std::string Section(const std::string& path) const;
  bool Write(const std::string& name, const std::string& encoded);

  HKEY root_ = HKEY_CURRENT_USER;
  std::string path_;
};

}  // namespace platform

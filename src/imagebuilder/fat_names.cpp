#include "imagebuilder/fat_names.h"

namespace imagebuilder {

bool FatMakeShortName(std::string_view ansiName, ShortName& shortName) {
  const std::size_t dot = ansiName.find('.');
  const std::string_view base = ansiName.substr(0, dot);
  const std::string_view ext = dot == std::string_view::npos ? std::string_view{} : ansiName.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  auto upper = [](std::string_view part) {
    std::string s(part);
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    return s;
  };
  shortName = ShortNameOf(upper(base), upper(ext));
  return true;
}

std::size_t FindPathSeparator(std::string_view path) {
  const std::size_t at = path.find('\\');
  return at == std::string_view::npos ? 0 : at + 1;
}

std::size_t FindPathSeparatorW(std::u16string_view path) {
  const std::size_t at = path.find(u'\\');
  return at == std::u16string_view::npos ? 0 : at + 1;
}

std::string FirstPathComponent(std::string_view path) {
  if (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  return std::string(path.substr(0, path.find('\\')));
}

std::u16string FirstPathComponentW(std::u16string_view path) {
  if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  return std::u16string(path.substr(0, path.find(u'\\')));
}

}  // namespace imagebuilder

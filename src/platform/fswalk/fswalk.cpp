#include "platform/fswalk/fswalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <system_error>

#include "platform/codepage/codepage.h"
#include "platform/fatnames/fat_names.h"

namespace platform {
namespace {

std::string Join(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path += name;
  return path;
}

EntryKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryKind::kFile;
  if (S_ISDIR(mode)) return EntryKind::kFolder;
  if (S_ISLNK(mode)) return EntryKind::kLink;
  return EntryKind::kOther;
}

void Fill(FolderEntry& entry, const struct stat& st) {
  entry.kind = KindOf(st.st_mode);
  entry.size = entry.kind == EntryKind::kFile ? static_cast<std::uint64_t>(st.st_size) : 0;
  entry.hidden = !entry.name.empty() && entry.name.front() == '.';
  entry.device = static_cast<std::uint64_t>(st.st_dev);
  entry.inode = static_cast<std::uint64_t>(st.st_ino);
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

bool Failed(WalkError& error, std::string path, int code) {
  error.path = std::move(path);
  error.code = code;
  return false;
}

WalkStatus Walk(const std::string& folder, int depth, const WalkOptions& options,
                const std::function<WalkStep(const FolderEntry&, int)>& visit, WalkError& error) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder, entries, error)) return WalkStatus::kFailed;
  if (!options.includeHidden) std::erase_if(entries, [](const FolderEntry& e) { return e.hidden; });
  if (options.filesFirst)
    std::stable_partition(entries.begin(), entries.end(),
                          [](const FolderEntry& e) { return e.kind != EntryKind::kFolder; });
  for (const FolderEntry& entry : entries) {
    const WalkStep step = visit(entry, depth);
    if (step == WalkStep::kStop) return WalkStatus::kStopped;
    if (step == WalkStep::kSkip || entry.kind != EntryKind::kFolder) continue;
    const WalkStatus inner = Walk(entry.path, depth + 1, options, visit, error);
    if (inner != WalkStatus::kDone) return inner;
  }
  return WalkStatus::kDone;
}

}  // namespace

std::string CaseFoldUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return Utf16ToUtf8(fatnames::FoldName(Utf8ToUtf16(text)));
  // Not UTF-8: only the ASCII letters are known for what they are.
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
  return out;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) { return CaseFoldUtf8(a) == CaseFoldUtf8(b); }

bool NameLess(std::string_view a, std::string_view b) {
  const std::string fa = CaseFoldUtf8(a), fb = CaseFoldUtf8(b);
  return fa != fb ? fa < fb : a < b;
}

std::string WalkError::Text() const {
  // The category's message, unlike strerror, is safe from several threads.
  return "cannot read " + path + ": " + (code != 0 ? std::generic_category().message(code) : "unknown error");
}

bool StatEntry(const std::string& path, FolderEntry& entry, WalkError& error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return Failed(error, path, errno);
  std::string_view name = path;
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  const std::size_t slash = name.rfind('/');
  entry.name = std::string(slash == std::string_view::npos || name.size() == 1 ? name : name.substr(slash + 1));
  entry.path = path;
  Fill(entry, st);
  return true;
}

bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries, WalkError& error) {
  entries.clear();
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
  if (!dir) return Failed(error, folder, errno);
  std::vector<std::pair<std::string, FolderEntry>> keyed;  // folded name first, for one fold per entry
  for (;;) {
    errno = 0;
    const dirent* d = ::readdir(dir.get());
    if (d == nullptr) {
      if (errno != 0) return Failed(error, folder, errno);
      break;
    }
    const std::string_view name = d->d_name;
    if (name == "." || name == "..") continue;
    FolderEntry entry;
    entry.name = std::string(name);
    entry.path = Join(folder, name);
    struct stat st {};
    if (::fstatat(::dirfd(dir.get()), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      return Failed(error, entry.path, errno);
    Fill(entry, st);
    keyed.emplace_back(CaseFoldUtf8(name), std::move(entry));
  }
  std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second.name < b.second.name;
  });
  entries.reserve(keyed.size());
  for (auto& [key, entry] : keyed) entries.push_back(std::move(entry));
  return true;
}

WalkStatus WalkFolderTree(const std::string& root, const WalkOptions& options,
                          const std::function<WalkStep(const FolderEntry& entry, int depth)>& visit,
                          WalkError& error) {
  return Walk(root, 1, options, visit, error);
}

std::optional<std::string> FindIgnoringCase(const std::string& folder, std::string_view name, WalkError* error) {
  WalkError local;
  WalkError& e = error != nullptr ? *error : local;
  e = WalkError{};
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder, entries, e)) return std::nullopt;
  const std::string folded = CaseFoldUtf8(name);
  const FolderEntry* found = nullptr;
  for (const FolderEntry& entry : entries) {
    if (entry.name == name) return entry.path;
    if (found == nullptr && CaseFoldUtf8(entry.name) == folded) found = &entry;
  }
  if (found == nullptr) return std::nullopt;
  return found->path;
}

std::optional<std::string> ResolveIgnoringCase(const std::string& base, std::string_view relative, WalkError* error) {
  std::string path = base.empty() ? std::string(".") : base;
  while (!relative.empty()) {
    const std::size_t cut = relative.find_first_of("/\\");
    const std::string_view part = relative.substr(0, cut);
    relative.remove_prefix(cut == std::string_view::npos ? relative.size() : cut + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      path = Join(path, part);
      continue;
    }
    std::optional<std::string> next = FindIgnoringCase(path, part, error);
    if (!next) return std::nullopt;
    path = std::move(*next);
  }
  return path;
}

}  // namespace platform

#include "platform/fswalk/fswalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool Failed(WalkError& error, std::string path, int code, std::string reason = {}) {
  error.path = std::move(path);
  error.code = code;
  error.reason = std::move(reason);
  return false;
}

// What a link holds, quoted for a message.
std::string LinkText(const std::string& link) {
  std::string target(4096, '\0');
  const ssize_t n = ::readlink(link.c_str(), target.data(), target.size());
  target.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return "\"" + target + "\"";
}

// A folder the walk is in: its identity, and the link it was entered by.
struct Inside {
  std::pair<std::uint64_t, std::uint64_t> identity;  // device, inode
  std::string link;
};

// Whether entering `entry` would go round a loop; `error` then names the link
// that leads back: the entry itself, or the last link taken since the folder
// met again was entered.
bool IsLoop(const FolderEntry& entry, const std::vector<Inside>& inside, WalkError& error) {
  const auto again = std::find_if(inside.begin(), inside.end(), [&](const Inside& f) {
    return f.identity == std::pair(entry.device, entry.inode);
  });
  if (again == inside.end()) return false;
  std::string link = entry.viaLink ? entry.path : std::string();
  for (auto it = inside.rbegin(); link.empty() && it.base() != again + 1; ++it) link = it->link;
  if (link.empty()) link = entry.path;  // a folder mounted inside itself
  Failed(error, link, ELOOP, "a symbolic link to " + LinkText(link) + ", a folder that holds it");
  return true;
}

// `inside`: the folders the walk is in, `folder` last (only when following links).
WalkStatus Walk(const std::string& folder, int depth, const WalkOptions& options,
                const std::function<WalkStep(const FolderEntry&, int)>& visit, WalkError& error,
                std::vector<Inside>& inside) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder, entries, error)) return WalkStatus::kFailed;
  if (!options.includeHidden) std::erase_if(entries, [](const FolderEntry& e) { return e.hidden; });
  if (options.followLinks)
    for (FolderEntry& entry : entries)
      if (!FollowLink(entry, error)) return WalkStatus::kFailed;
  if (options.filesFirst)
    std::stable_partition(entries.begin(), entries.end(),
                          [](const FolderEntry& e) { return e.kind != EntryKind::kFolder; });
  for (const FolderEntry& entry : entries) {
    const bool folderEntry = entry.kind == EntryKind::kFolder;
    if (options.followLinks && folderEntry && IsLoop(entry, inside, error)) return WalkStatus::kFailed;
    const WalkStep step = visit(entry, depth);
    if (step == WalkStep::kStop) return WalkStatus::kStopped;
    if (step == WalkStep::kSkip || !folderEntry) continue;
    if (options.followLinks) inside.push_back({{entry.device, entry.inode}, entry.viaLink ? entry.path : ""});
    const WalkStatus inner = Walk(entry.path, depth + 1, options, visit, error, inside);
    if (options.followLinks) inside.pop_back();
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
  if (!reason.empty()) return path + ": " + reason;
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

bool FollowLink(FolderEntry& entry, WalkError& error) {
  if (entry.kind != EntryKind::kLink) return true;
  struct stat st {};
  if (::stat(entry.path.c_str(), &st) != 0) {
    const int code = errno;
    if (code == ENOENT)
      return Failed(error, entry.path, code, "a symbolic link to " + LinkText(entry.path) + ", which does not exist");
    if (code == ELOOP) return Failed(error, entry.path, code, "a symbolic link in a loop of symbolic links");
    return Failed(error, entry.path, code);
  }
  FolderEntry target = entry;
  Fill(target, st);
  if (target.kind != EntryKind::kFile && target.kind != EntryKind::kFolder)
    return Failed(error, entry.path, 0,
                  "a symbolic link to " + LinkText(entry.path) + ", which is neither a file nor a folder");
  target.viaLink = true;
  entry = std::move(target);
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
  std::vector<Inside> inside;
  if (options.followLinks) {
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0) {
      Failed(error, root, errno);
      return WalkStatus::kFailed;
    }
    inside.push_back({{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)}, ""});
  }
  return Walk(root, 1, options, visit, error, inside);
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

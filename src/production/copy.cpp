// Copying the operator's files and folders onto the device's drive. One drive
// session (FAT in memory) serves a whole tree or list: one copy, in which no
// source replaces a file another source of it wrote (the drive refuses it,
// naming both; a file that was on the disk before is replaced). Every write is
// checked; the first failure ends the copy and names the file, in the log and
// in LastCopyError, and what was copied before it stays. A name that is not
// UTF-8 text is refused. Entries whose names begin with a dot count as hidden and are
// skipped; symbolic links, pipes, sockets and devices inside the operator's
// folders are never followed (skipped with a log line).
#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/convert/convert.h"
#include "platform/drive/drive.h"
#include "production/product_thread.h"

namespace production {

namespace fs = std::filesystem;

namespace {

thread_local std::string lastCopyError;

bool CopyFailed(char letter, const std::string& what, const std::string& why) {
  // A clash names its two sources itself.
  lastCopyError = why.starts_with(what + " and ") ? why : what + ": " + why;
  AppendLogLine(std::string(1, letter) + ": copy failed: " + lastCopyError);
  return false;
}

// The order of a sorted name list: letter case aside, then byte order.
bool NameLess(const std::string& a, const std::string& b) {
  const std::string la = platform::LowerCase(a), lb = platform::LowerCase(b);
  return la != lb ? la < lb : a < b;
}

// A folder's own name, also for "dir/" and "dir/.".
std::string OwnName(const fs::path& folder) {
  fs::path p = folder.lexically_normal();
  if (p.filename().empty()) p = p.parent_path();
  return p.filename().string();
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// Copies the host folder `source` into the drive folder `target` (a path
// inside the volume, "" for the root) as target/<its own name>.
bool CopyTree(platform::DriveSession& drive, char letter, const fs::path& source, const std::string& target) {
  const std::string dest = Join(target, OwnName(source));
  if (!drive.FolderExists(dest) && !drive.MakeFolder(dest, source.string()))
    return CopyFailed(letter, source.string(), drive.Error());

  std::vector<std::string> files, folders;
  std::error_code ec;
  for (fs::directory_iterator it(source, ec), end; !ec && it != end; it.increment(ec)) {
    platform::ui::Application->ProcessMessages();
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.') continue;  // hidden, "." and ".."
    const fs::file_status status = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_directory(status)) {
      folders.push_back(name);
    } else if (fs::is_regular_file(status)) {
      files.push_back(name);
    } else {
      AppendLogLine(std::string(1, letter) + ": not copied (" +
                    (fs::is_symlink(status) ? "symbolic link" : "not a regular file") + "): " + it->path().string());
    }
  }
  if (ec) return CopyFailed(letter, source.string(), "the folder cannot be read: " + ec.message());

  std::sort(files.begin(), files.end(), NameLess);
  for (const std::string& f : files)
    if (!drive.CopyFile((source / f).string(), Join(dest, f), false))
      return CopyFailed(letter, (source / f).string(), drive.Error());
  std::sort(folders.begin(), folders.end(), NameLess);
  for (const std::string& d : folders)
    if (!CopyTree(drive, letter, source / d, dest)) return false;
  return true;
}

// Opens the drive of `target`; false (with the reason recorded) when it is no
// drive path or holds no file system.
bool OpenDrive(platform::DriveSession& drive, const std::string& target, platform::DrivePath& where) {
  const auto parsed = platform::ParseDrivePath(target);
  if (!parsed) return CopyFailed('?', target, "not a path on a drive");
  where = *parsed;
  return drive.Open(where.letter) || CopyFailed(where.letter, target, drive.Error());
}

bool Finish(platform::DriveSession& drive, char letter, bool ok) {
  if (!drive.Close() && ok) return CopyFailed(letter, std::string(1, letter) + ":", drive.Error());
  if (ok) lastCopyError.clear();
  return ok;
}

}  // namespace

std::string LastCopyError() { return lastCopyError; }

bool CopyDirTree(const std::string& sourceFolder, const std::string& targetFolder) {
  platform::DriveSession drive;
  platform::DrivePath where;
  if (!OpenDrive(drive, targetFolder, where)) return false;
  bool ok = fs::is_directory(sourceFolder) ? CopyTree(drive, where.letter, sourceFolder, where.path)
                                           : CopyFailed(where.letter, sourceFolder, "no such folder");
  return Finish(drive, where.letter, ok);
}

bool WideCopyFile(const std::string& source, const std::string& target, bool failIfExists) {
  platform::DriveSession drive;
  platform::DrivePath where;
  if (!OpenDrive(drive, target, where)) return false;
  const bool ok = !where.path.empty() && drive.CopyFile(source, where.path, failIfExists);
  if (!ok) CopyFailed(where.letter, source, where.path.empty() ? "no file name given" : drive.Error());
  return Finish(drive, where.letter, ok);
}

bool CopyFileListToDrive(char driveLetter, const std::vector<std::string>& entries, const std::vector<int>& skip,
                         bool skipBin, const std::function<void()>& beforeEach) {
  platform::DriveSession drive;
  platform::DrivePath where;
  bool opened = false;  // the drive is opened for the first entry that is copied
  bool ok = true;
  for (std::size_t i = 0; ok && i < entries.size(); ++i) {
    if (std::find(skip.begin(), skip.end(), static_cast<int>(i)) != skip.end()) continue;
    const fs::path entry(entries[i]);
    const std::string name = entry.filename().string();
    if (skipBin && platform::LowerCase(name).find(".bin") != std::string::npos) continue;
    if (beforeEach) beforeEach();
    if (!opened && !OpenDrive(drive, std::string(1, driveLetter) + ":\\", where)) return false;
    opened = true;
    if (fs::is_directory(entry)) {
      ok = CopyTree(drive, driveLetter, entry, "");
    } else if (!drive.CopyFile(entries[i], name, false)) {
      ok = CopyFailed(driveLetter, entries[i], drive.Error());
    }
  }
  if (!opened) {  // nothing to copy
    lastCopyError.clear();
    return true;
  }
  return Finish(drive, driveLetter, ok);
}

}  // namespace production

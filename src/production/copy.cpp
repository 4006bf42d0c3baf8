// Copying the operator's files and folders onto the device's drive. One drive
// session (FAT in memory) serves a whole tree or list: one copy, in which no
// source replaces a file another source of it wrote (the drive refuses it,
// naming both; a file that was on the disk before is replaced). Every write is
// checked; the first failure ends the copy and names the file, in the log and
// in LastCopyError, and what was copied before it stays. A name that is not
// UTF-8 text is refused. Entries whose names begin with a dot count as hidden and are
// skipped. A symbolic link is copied as what it names, under the link's name,
// as a copy that follows links does; one that leads nowhere, to something that
// is neither a file nor a folder, or back into a folder the copy is inside
// fails the copy naming it. Pipes, sockets and devices inside the operator's
// folders are skipped with a log line.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/convert/convert.h"
#include "platform/drive/drive.h"
#include "platform/fswalk/fswalk.h"
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
// inside the volume, "" for the root) as target/<its own name>: each folder's
// files in name order, then its subfolders in name order, each with its
// content.
bool CopyTree(platform::DriveSession& drive, char letter, const fs::path& source, const std::string& target) {
  const std::string dest = Join(target, OwnName(source));
  if (!drive.FolderExists(dest) && !drive.MakeFolder(dest, source.string()))
    return CopyFailed(letter, source.string(), drive.Error());

  std::vector<std::string> folderAt{dest};  // the drive folder of each depth's entries
  bool copied = true;
  platform::WalkOptions options;
  options.filesFirst = true;
  options.followLinks = true;
  platform::WalkError error;
  const auto copy = [&](const platform::FolderEntry& e, int depth) {
    platform::ui::Application->ProcessMessages();
    folderAt.resize(static_cast<std::size_t>(depth));
    const std::string to = Join(folderAt.back(), e.name);
    if (e.kind == platform::EntryKind::kFolder) {
      if (!drive.FolderExists(to) && !drive.MakeFolder(to, e.path)) copied = CopyFailed(letter, e.path, drive.Error());
      folderAt.push_back(to);
    } else if (e.kind == platform::EntryKind::kFile) {
      if (!drive.CopyFile(e.path, to, false)) copied = CopyFailed(letter, e.path, drive.Error());
    } else {
      AppendLogLine(std::string(1, letter) + ": not copied (not a regular file): " + e.path);
    }
    return copied ? platform::WalkStep::kContinue : platform::WalkStep::kStop;
  };
  if (platform::WalkFolderTree(source.string(), options, copy, error) == platform::WalkStatus::kFailed)
    return CopyFailed(letter, error.path,
                      error.reason.empty() ? "cannot be read: " + std::generic_category().message(error.code)
                                           : error.reason);
  return copied;
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

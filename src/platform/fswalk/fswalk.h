// Walking host folders, one way for every part of the station that reads a
// folder: entries sorted by name, hidden meaning a leading dot, symbolic links
// reported as links or, where the caller asks, followed to what they name, and
// every failure naming the path it met.
// Also name comparison that ignores case, so that a shipped file is found as
// "FLASH.INI" or "flash.ini" alike.
//
// Names and paths are UTF-8 bytes as the host stores them; names that are not
// UTF-8 are kept byte for byte (they compare by their bytes).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// ---------------------------------------------------------------- case

// Names compare as the FAT volumes the station writes compare them (Unicode
// simple case folding, platform/fatnames). Text that is not UTF-8 has only
// its ASCII letters folded, every other byte stays.
std::string CaseFoldUtf8(std::string_view text);
bool EqualIgnoringCase(std::string_view a, std::string_view b);
// The walk's order: by folded name, the exact bytes breaking ties, so the
// order is the same on every run and every host.
bool NameLess(std::string_view a, std::string_view b);

// ---------------------------------------------------------------- folders

enum class EntryKind { kFile, kFolder, kLink, kOther };  // other: device, pipe, socket

struct FolderEntry {
  std::string name;
  std::string path;  // the folder's path, '/', the name
  EntryKind kind = EntryKind::kOther;
  std::uint64_t size = 0;  // bytes of a file; 0 for the other kinds
  bool hidden = false;     // the name begins with '.'
  // The entry itself (a link's own identity, not its target's): two entries
  // with the same device and inode are the same file.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  // Set when a symbolic link was followed: `path` and `name` are the link's,
  // kind, size and identity those of what it names.
  bool viaLink = false;
};

struct WalkError {
  std::string path;  // the folder or entry that could not be read
  int code = 0;      // errno
  std::string reason;  // why, when it is no system error (a link that leads nowhere)
  // "cannot read <path>: <errno text>", or "<path>: <reason>"
  std::string Text() const;
};

// What one path is, without following a link; false with `error` set when it
// cannot be read (a missing path too).
bool StatEntry(const std::string& path, FolderEntry& entry, WalkError& error);

// Every entry of one folder but "." and "..", hidden ones included, sorted
// with NameLess. False with `error` set when the folder or one of its entries
// cannot be read; `entries` then holds nothing.
bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries, WalkError& error);

// Takes what the symbolic link `entry` (from StatEntry or ListFolder) names:
// its kind, size and identity, with viaLink set; any other entry stays as it
// is. False, with `error` naming the link, when the link leads nowhere (its
// target is missing, or links loop) or to something that is neither a file
// nor a folder.
bool FollowLink(FolderEntry& entry, WalkError& error);

struct WalkOptions {
  bool includeHidden = false;
  // Each folder gives its other entries first and then its sub-folders (each
  // followed at once by its content); otherwise everything in name order.
  bool filesFirst = false;
  // Symbolic links are followed (FollowLink): visited as what they name, a
  // folder entered. One that fails FollowLink, or names a folder the walk is
  // inside (a loop), fails the walk naming it.
  bool followLinks = false;
};
enum class WalkStep { kContinue, kSkip, kStop };  // kSkip: do not go into this folder
enum class WalkStatus { kDone, kStopped, kFailed };

// Walks the tree below `root`, depth first, calling visit(entry, depth) for
// every entry (depth 1: the root's own entries); a folder is visited before
// its content. Links are visited as links and never entered, unless the
// options follow them. kFailed, with `error` set, when a folder cannot be read
// (or a followed link fails); kStopped when visit said so.
WalkStatus WalkFolderTree(const std::string& root, const WalkOptions& options,
                          const std::function<WalkStep(const FolderEntry& entry, int depth)>& visit,
                          WalkError& error);

// ---------------------------------------------------------------- lookup

// The path of the entry of `folder` whose name equals `name` ignoring case:
// the exact name when it is there, else the first match in NameLess order.
// Empty when there is none or the folder cannot be read (`error` tells which
// when given: its path is empty when nothing failed).
std::optional<std::string> FindIgnoringCase(const std::string& folder, std::string_view name,
                                            WalkError* error = nullptr);
// Resolves a relative path ("flash\flash.ini" or "flash/flash.ini") below
// `base` one component at a time, ignoring case; the actual path, or empty
// when a component is missing.
std::optional<std::string> ResolveIgnoringCase(const std::string& base, std::string_view relative,
                                               WalkError* error = nullptr);

}  // namespace platform

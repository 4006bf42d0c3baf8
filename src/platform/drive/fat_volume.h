// A FAT12/16/32 volume that already exists on a block node or an image file,
// opened for adding folders and files and setting the label: the boot sector
// is read on open and trusted only when every region it describes lies on the
// node (nothing is written past the node's end either); the FAT is loaded
// once and written back (changed sectors only, to every FAT copy) by Flush,
// directories are parsed once and kept with hashed name indexes, so that
// thousands of files in one folder cost no more than a few.
//
// A file is written in this order: clusters taken in memory, data written,
// then its directory entry; a failure before the entry frees the clusters
// again, so the volume never shows a part of a file. Used from one thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/fatnames/fat_names.h"

namespace platform {

struct FatBootInfo {
  int fatBits = 0;  // 12, 16 or 32
  std::uint32_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatCount = 0;
  std::uint32_t fatSectors = 0;  // sectors per FAT
  std::uint32_t rootEntries = 0;  // FAT12/16 fixed root
  std::uint64_t totalSectors = 0;
  std::uint32_t clusterCount = 0;  // data clusters (numbered from 2)
  std::uint32_t rootCluster = 0;   // FAT32
  std::uint32_t fsInfoSector = 0;  // FAT32; 0 when none
  std::uint32_t backupBootSector = 0;  // FAT32; 0 when none
  std::uint64_t firstRootSector = 0;
  std::uint64_t firstDataSector = 0;
  std::string bootLabel;  // the boot sector's label field, blanks trimmed
  std::uint32_t serialNumber = 0;
};

// Reads a FAT boot sector of a disk of `diskBytes` bytes; empty (with the
// reason) when the bytes hold none, or one whose regions do not fit the disk.
std::optional<FatBootInfo> ParseFatBootSector(const std::uint8_t* sector, std::size_t size, std::string* why = nullptr,
                                              std::uint64_t diskBytes = UINT64_MAX);

class FatVolume {
 public:
  // Opens the volume on 'node' (read and write; read only when 'readOnly').
  static std::unique_ptr<FatVolume> Open(const std::string& node, bool readOnly, std::string* why);
  ~FatVolume();
  FatVolume(const FatVolume&) = delete;
  FatVolume& operator=(const FatVolume&) = delete;

  const FatBootInfo& Boot() const { return boot_; }
  // Free data clusters (loads the FAT).
  std::optional<std::uint32_t> FreeClusters();
  // The label of the root folder's label entry, else the boot sector's ("" for
  // none), as UTF-8 from the station's ANSI code page.
  std::optional<std::string> Label();

  // Paths are relative to the root, '/' between folders, UTF-8; "" is the root.
  // Each part is a host name: one holding "\\" is refused.
  bool IsFolder(std::string_view path);
  // Creates the folder (its parents must exist) for the host folder `origin`;
  // true when a folder of that name exists already (the two merge).
  bool MakeFolder(std::string_view path, const std::string& origin = {});
  // Copies the host file 'source' to 'path' on the volume; an existing file is
  // replaced unless 'failIfExists'. What this object wrote from another
  // source is never replaced: the copy fails naming both sources.
  bool CopyFile(const std::string& source, std::string_view path, bool failIfExists);
  // Sets the volume label (the root folder's label entry and the boot
  // sector's field) to the label's bytes; empty bytes remove it.
  bool SetLabel(std::string_view bytes);
  // Writes the changed FAT sectors and the FAT32 free-cluster count.
  bool Flush();
  // Why the last operation failed.
  const std::string& Error() const { return error_; }

 private:
  struct Entry {
    std::uint32_t slot = 0;       // index of the short entry
    std::uint32_t firstSlot = 0;  // first long-name slot (== slot when none)
  };
  // The host file or folder an entry written through this object came from.
  struct Origin {
    std::string source;
    std::uint64_t device = 0, inode = 0;
  };
  struct Directory {
    std::uint32_t cluster = 0;             // first cluster; 0 = the fixed root
    std::vector<std::uint32_t> clusters;   // its chain (empty for the fixed root)
    std::vector<std::uint8_t> bytes;       // every entry, in order
    std::uint32_t end = 0;                 // first slot of the free tail
    std::unordered_map<std::u16string, Entry> names;  // folded long and short names
    std::unordered_set<std::string> shortNames;       // 11-byte short names in use (0xE5 as 0xE5)
    fatnames::ShortNameAllocator allocator;
  };

  FatVolume(int fd, FatBootInfo boot, bool readOnly, std::uint64_t diskBytes);
  bool Fail(std::string why);
  bool BadName(const std::string& problem);
  bool ReadAt(std::uint64_t offset, void* data, std::size_t size);
  bool WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  bool LoadFat();
  std::uint32_t Next(std::uint32_t cluster) const;
  void SetNext(std::uint32_t cluster, std::uint32_t value);
  bool IsEnd(std::uint32_t value) const;
  std::uint32_t EndMark() const;
  std::uint64_t ClusterOffset(std::uint32_t cluster) const;
  std::uint32_t ClusterBytes() const { return boot_.bytesPerSector * boot_.sectorsPerCluster; }
  bool Chain(std::uint32_t first, std::vector<std::uint32_t>& out);
  bool Allocate(std::uint32_t count, std::vector<std::uint32_t>& out);
  void Release(std::uint32_t first);
  void Release(const std::vector<std::uint32_t>& clusters);
  Directory* Dir(std::uint32_t cluster);
  bool Resolve(std::string_view path, Directory*& parent, std::u16string& leaf);
  Directory* FolderAt(std::string_view path);
  bool WriteSlots(Directory& dir, std::uint32_t first, std::uint32_t count);
  bool AddEntry(Directory& dir, const std::u16string& name, std::uint8_t attributes, std::uint32_t cluster,
                std::uint32_t size, Entry& made);
  bool GrowDirectory(Directory& dir);
  // The first of `need` free slots in a row, growing the folder when it can.
  std::optional<std::uint32_t> FreeSlots(Directory& dir, std::uint32_t need);
  static std::uint64_t EntryKey(const Directory& dir, std::uint32_t slot) {
    return std::uint64_t{dir.cluster} << 32 | slot;
  }

  int fd_ = -1;
  FatBootInfo boot_;
  bool readOnly_ = false;
  std::uint64_t diskBytes_ = 0;  // what the node holds: nothing is written past it
  std::vector<std::uint8_t> fat_;
  std::vector<bool> dirtyFatSectors_;
  bool fatLoaded_ = false;
  std::uint32_t freeCount_ = 0;
  std::uint32_t nextFree_ = 2;
  std::map<std::uint32_t, std::unique_ptr<Directory>> dirs_;
  std::unordered_map<std::uint64_t, Origin> written_;  // by EntryKey
  std::string error_;
};

}  // namespace platform

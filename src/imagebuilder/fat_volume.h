// The FAT16/FAT32 writer of the image builder: formats and mounts a volume on
// the sector store, and creates folders, files (long and short names) and the
// volume label on it. One volume and one sector buffer per FatVolume; used
// from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "imagebuilder/fat_names.h"
#include "imagebuilder/ramdisk.h"

namespace imagebuilder {

enum FatType : std::uint8_t { kFatNotMounted = 0, kFat16 = 2, kFat32 = 3 };

// The volume's error code: set by a failing operation, cleared by format and mount.
enum FatError : std::uint8_t {
  kFatErrNone = 0,
  kFatErrSectorAccess = 1,   // a sector could not be read or stored (sector store full, no memory)
  kFatErrNotMounted = 2,     // no volume, or an operation on a closed handle
  kFatErrBadVolume = 3,      // no acceptable boot sector, or a geometry FAT cannot have
  kFatErrChainIntoFree = 19, // a cluster chain runs into a free or out-of-range cluster
  kFatErrDiskFull = 21,      // no free cluster
  kFatErrRootEnd = 23,       // the FAT16 root directory has no room left
  kFatErrDirectoryFull = 24, // a directory would exceed 65536 entries
  kFatErrBadName = 25,       // a name FAT cannot store
  kFatErrNameClash = 26,     // a file where a folder is expected, or the reverse
  kFatErrFileTooLarge = 28,  // beyond 4 GiB - 1 bytes, or data after a short last piece
  kFatErrBadPath = 29,       // a relative path with folders
};

// Entry classification (FatClassifyEntry).
enum FatEntryType : std::uint8_t {
  kEntryFile = 0,
  kEntryDotDot = 1,
  kEntryDot = 2,
  kEntryDirectory = 3,
  kEntryDeleted = 4,
  kEntryEnd = 5,
  kEntryLongName = 6,
  kEntryLabel = 7,
  kEntryDirectoryWithSize = 8,
};

constexpr std::uint32_t kFatEntrySize = 32;
constexpr std::uint32_t kFatMaxDirectoryEntries = 65536;
constexpr std::uint32_t kFatMaxFileSize = 0xFFFFFFFFu;
constexpr std::uint16_t kFatFixedDate = 0x3221;  // 1 January 2005, written into every entry

// The layout FatFormat gives a volume of this size; computed without writing.
struct FatLayout {
  FatType fatType = kFatNotMounted;
  std::uint32_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatCount = 2;
  std::uint32_t fatSize = 0;      // sectors per FAT
  std::uint32_t rootEntries = 0;  // FAT16 fixed root; 0 on FAT32
  std::uint32_t totalSectors = 0;
  std::uint32_t firstDataSector = 0;
  std::uint32_t clusterCount = 0;
};
// Empty (with the reason in *why) when no FAT16/FAT32 volume of this size exists.
std::optional<FatLayout> FatComputeLayout(std::uint32_t sectorSize, std::uint64_t totalSectors,
                                          std::string* why = nullptr);

// The mounted volume's geometry.
struct FatGeometry {
  std::uint32_t volumeStart = 0;  // LBA of the boot sector
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorShift = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint8_t clusterShift = 0;
  std::uint32_t fatStart = 0;
  std::uint8_t fatCount = 0;
  std::uint32_t fatSize = 0;
  std::uint16_t rootEntries = 0;
  std::uint32_t rootCluster = 0;
  std::uint16_t fsInfoSector = 0;
  std::uint32_t totalSectors = 0;
  std::uint32_t firstDataSector = 0;
  std::uint32_t dataSectors = 0;
  std::uint32_t clusterCount = 0;  // clusters 2 .. clusterCount + 1 exist
  FatType fatType = kFatNotMounted;
};

// The working record of one directory entry.
struct FatEntryRecord {
  ShortName shortName{' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  std::uint32_t firstCluster = 0;
  std::uint32_t size = 0;
  std::uint64_t entryAddress = 0;  // byte address of the 32-byte short entry
  std::uint8_t type = kEntryEnd;
  std::u16string longName;
};

struct FatFileHandle {
  FatEntryRecord record;
  std::uint32_t directory = 0;       // first cluster of the folder holding the entry; 0 = root
  std::uint32_t currentCluster = 0;  // last cluster of the data written so far
  std::uint64_t bytesWritten = 0;
  std::uint8_t mode = 2;             // 2 = open for writing, 0 = closed
  bool lastPieceWritten = false;     // a piece shorter than a sector ends the data
};

class FatVolume {
 public:
  explicit FatVolume(RamDisk& store) : store_(store) {}

  // --- format and mount ---
  // Lays out an empty volume of totalSectors sectors on the store (which must
  // use sectorSize): boot sector, both FATs, the root directory and, on
  // FAT32, the FSInfo sector and the backup boot sector.
  bool FatFormat(std::uint32_t sectorSize, std::uint64_t totalSectors);
  // Mounts the boot sector at LBA 0, else the first acceptable one named by
  // the partition table.
  bool FatMount();
  bool FatParseBootSector(std::uint32_t lba);
  bool FatReadPartitionEntry(int index, std::uint32_t& lba);
  // Forgets the mounted volume (its store was discarded).
  void Unmount();
  // Writes the FAT32 FSInfo sector and its backup with the current free
  // cluster count; nothing to do on FAT16.
  bool FatUpdateInfoSector();

  bool FatReadSector(std::uint64_t lba, std::uint8_t* buffer);
  bool FatWriteSector(std::uint64_t lba, const std::uint8_t* buffer);

  // --- address arithmetic (64-bit: volumes may exceed 4 GiB) ---
  std::uint64_t FatRootDirAddress() const;
  std::uint64_t FatClusterAddress(std::uint32_t cluster) const;
  std::uint64_t FatClusterToLba(std::uint32_t cluster) const;
  std::uint32_t FatSectorInCluster(std::uint64_t bytePosition) const;
  static std::uint8_t Log2(std::uint32_t x);

  // --- the FAT (every change goes to all FAT copies) ---
  // 0 next cluster stored in `cluster`; 1 the entry is free; 2 end of chain;
  // 3 read failure, no volume, or a value outside the volume.
  int FatNextCluster(std::uint32_t& cluster);
  bool FatSetEntry(std::uint32_t cluster, std::uint32_t value);
  bool FatAllocCluster(std::uint32_t& cluster);
  bool FatFreeChain(std::uint32_t cluster);
  bool FatZeroCluster(std::uint32_t cluster);
  std::uint32_t FreeClusterCount() const { return freeClusters_; }
  std::uint32_t ClusterBytes() const {
    return std::uint32_t{geometry_.bytesPerSector} << geometry_.clusterShift;
  }

  // --- entries ---
  static FatEntryType FatClassifyEntry(const std::uint8_t* entry);
  static std::uint32_t FatEntryFirstCluster(const std::uint8_t* entry);
  static std::uint32_t FatEntrySize(const std::uint8_t* entry);
  bool FatWriteShortEntry(const FatEntryRecord& record);
  // Writes long-name slot `ordinal` (1-based) of the record's long name at entryAddress.
  bool FatWriteLfnEntry(const FatEntryRecord& record, std::uint8_t checksum, std::uint8_t ordinal, bool isLast,
                        std::uint64_t entryAddress);
  // Look a name up in the current directory (long names compare without
  // regard to case). True and the record filled when found; false with type
  // kEntryEnd when not found, false with the error code set on a failure.
  bool FatFindByLongName(FatEntryRecord& record);
  bool FatFindByShortName(FatEntryRecord& record);
  // Creates an entry with long-name slots in the given directory (0 = root):
  // a unique short name is generated from the long name; a folder (type 3)
  // gets a zeroed first cluster, a file none until data is written.
  bool FatCreateEntry(FatEntryRecord& record, std::uint32_t directoryCluster);
  // Creates a short entry only, under record.shortName.
  bool FatCreateEntryNoLfn(FatEntryRecord& record, std::uint32_t directoryCluster);
  // Frees the entry's chain and marks it and its long-name slots deleted.
  bool FatDeleteEntry(const FatEntryRecord& record);
  bool FatWriteDotEntry(const FatEntryRecord& directory);
  bool FatWriteDotDotEntry(const FatEntryRecord& directory, std::uint32_t parentCluster);

  // --- files and label ---
  // Opens a new file for writing at a UTF-8 path with "\" between components,
  // relative to the root; folders along the path are created as needed. A
  // file of the same name (compared without regard to case) is replaced.
  std::unique_ptr<FatFileHandle> FatCreateFile(std::string_view longPath);
  // Writes one sector's worth (n <= sector size; only the file's last piece
  // may be shorter, and the rest of that sector is zeroed). n, or 0 on failure.
  std::uint32_t FatWriteFileData(const std::uint8_t* buffer, std::uint32_t n, FatFileHandle& handle);
  // Writes the entry's first cluster and size (the bytes written). The handle is closed either way.
  bool FatCloseFile(FatFileHandle& handle);
  // Replaces the root's volume label; an empty (or blank) label removes it.
  // The label is written in the station's ANSI code page, up to 8 bytes (a
  // longer one is cut at a character boundary); what its readers or the disk
  // check refuse is refused (platform::fatnames::VolumeLabelBytes).
  bool FatSetVolumeLabel(std::string_view label);

  // --- state ---
  const FatGeometry& Geometry() const { return geometry_; }
  FatType Type() const { return geometry_.fatType; }
  std::uint32_t CurrentDirectory() const { return currentDirectory_; }
  void SetCurrentDirectory(std::uint32_t cluster) { currentDirectory_ = cluster; }
  std::uint8_t ErrorCode() const { return errorCode_; }
  const std::string& ErrorText() const { return errorText_; }
  void SetProgressCallback(ProgressCallback callback) { progress_ = std::move(callback); }

 private:
  // What the writer knows about one directory, built by one walk over it and
  // kept up to date by every change this writer makes: names for lookups,
  // short names for uniqueness, where free entries begin, its clusters.
  struct DirIndex {
    bool fixedRoot = false;               // the FAT16 root region
    std::vector<std::uint32_t> clusters;  // the chain of a cluster directory
    std::uint32_t capacity = 0;           // entries without growing
    std::uint32_t end = 0;                // first entry after the last one in use
    struct Name {
      std::uint32_t shortIndex;  // entry index of the short entry
      std::uint32_t nameSlots;      // long-name slots directly before it
    };
    std::unordered_map<std::u16string, Name> names;        // folded long name (or short text)
    std::unordered_map<std::string, std::uint32_t> shorts;  // 11 stored bytes -> entry index
    platform::fatnames::ShortNameAllocator shortNames;
    std::int64_t labelIndex = -1;
  };

  bool Fail(FatError code, std::string text);
  bool WriteBootLabel(const ShortName& label);
  bool SectorFail(std::uint64_t lba, bool write);
  bool Mounted();
  DirIndex* Directory(std::uint32_t cluster);
  bool BuildIndex(std::uint32_t cluster, DirIndex& index);
  std::uint64_t EntryAddress(const DirIndex& index, std::uint32_t entry) const;
  bool EntryIndexOf(const DirIndex& index, std::uint64_t address, std::uint32_t& entry) const;
  bool ReadEntry(std::uint64_t address, std::uint8_t* entry);
  bool WriteEntry(std::uint64_t address, const std::uint8_t* entry);
  // Takes `count` consecutive free entries at the directory's end (so a
  // name's slots and its short entry stay adjacent), growing a cluster
  // directory by zeroed clusters; the FAT16 root cannot grow.
  bool FatFindFreeSlot(DirIndex& index, std::uint32_t count, std::uint32_t& first);
  void FillRecord(FatEntryRecord& record, const std::uint8_t* entry, std::uint64_t address);
  bool MakeDirectory(const std::u16string& name, std::uint32_t parent, std::uint32_t& cluster);
  bool ReplaceFile(FatEntryRecord& record, DirIndex& index, const std::u16string& longName);
  std::uint32_t FatEntryBytes() const { return geometry_.fatType == kFat16 ? 2 : 4; }
  void Progress() const {
    if (progress_) progress_();
  }

  RamDisk& store_;
  FatGeometry geometry_;
  std::uint32_t freeHint_ = 2;
  std::uint32_t freeClusters_ = 0;
  std::uint32_t currentDirectory_ = 0;
  std::uint8_t errorCode_ = kFatErrNone;
  std::string errorText_;
  std::uint8_t sector_[4096] = {};  // the one sector buffer every operation shares
  std::unordered_map<std::uint32_t, DirIndex> directories_;
  ProgressCallback progress_;
};

}  // namespace imagebuilder

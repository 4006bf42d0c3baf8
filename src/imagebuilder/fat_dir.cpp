// Directories, entries, long names, files and the volume label.
#include <cstdio>
#include <cstring>
#include <vector>

#include "imagebuilder/fat_volume.h"
#include "imagebuilder/le_bytes.h"
#include "platform/codepage/codepage.h"

namespace imagebuilder {
namespace {

constexpr std::uint8_t kAttrLabel = 0x08;
constexpr std::uint8_t kAttrDirectory = 0x10;
constexpr std::uint8_t kAttrLongName = 0x0F;
constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::uint8_t kE5Stored = 0x05;  // a name whose first byte really is 0xE5
constexpr std::uint32_t kCharsPerSlot = 13;
constexpr int kSlotCharOffsets[kCharsPerSlot] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

std::string Key(const ShortName& name) { return std::string(name.begin(), name.end()); }

std::uint32_t SlotsFor(std::size_t length) {
  return static_cast<std::uint32_t>((length + kCharsPerSlot - 1) / kCharsPerSlot);
}

// The 32-byte short entry of a record; the first name byte 0xE5 is stored as 0x05.
void EncodeShortEntry(const FatEntryRecord& record, std::uint8_t* e) {
  std::memset(e, 0, kFatEntrySize);
  std::memcpy(e, record.shortName.data(), 11);
  if (e[0] == kDeletedMark) e[0] = kE5Stored;
  switch (record.type) {
    case kEntryDotDot:
    case kEntryDot:
    case kEntryDirectory:
      e[11] = kAttrDirectory;
      break;
    case kEntryLabel:
      e[11] = kAttrLabel;
      break;
    default:
      e[11] = 0;
  }
  Put16(e + 16, kFatFixedDate);
  Put16(e + 18, kFatFixedDate);
  Put16(e + 20, record.firstCluster >> 16);
  Put16(e + 24, kFatFixedDate);
  Put16(e + 26, record.firstCluster & 0xFFFF);
  Put32(e + 28, record.type == kEntryFile ? record.size : 0);
}

ShortName StoredName(const std::uint8_t* e) {
  ShortName name;
  std::memcpy(name.data(), e, 11);
  if (name[0] == kE5Stored) name[0] = kDeletedMark;
  return name;
}

}  // namespace

// ---------------------------------------------------------------- entries

FatEntryType FatVolume::FatClassifyEntry(const std::uint8_t* e) {
  if (e[0] == 0) return kEntryEnd;
  if (e[0] == kDeletedMark) return kEntryDeleted;
  const std::uint8_t attr = e[11];
  if ((attr & 0x3F) == kAttrLongName) return kEntryLongName;
  if ((attr & kAttrDirectory) == 0) return (attr & kAttrLabel) != 0 ? kEntryLabel : kEntryFile;
  if (Get32(e + 28) != 0) return kEntryDirectoryWithSize;
  if (std::memcmp(e, "..         ", 11) == 0) return kEntryDotDot;
  if (std::memcmp(e, ".          ", 11) == 0) return kEntryDot;
  return kEntryDirectory;
}

std::uint32_t FatVolume::FatEntryFirstCluster(const std::uint8_t* e) { return (Get16(e + 20) << 16) | Get16(e + 26); }

std::uint32_t FatVolume::FatEntrySize(const std::uint8_t* e) { return Get32(e + 28); }

bool FatVolume::ReadEntry(std::uint64_t address, std::uint8_t* entry) {
  if (!FatReadSector(address >> geometry_.sectorShift, sector_)) return false;
  std::memcpy(entry, sector_ + (address & (geometry_.bytesPerSector - 1u)), kFatEntrySize);
  return true;
}

bool FatVolume::WriteEntry(std::uint64_t address, const std::uint8_t* entry) {
  const std::uint64_t lba = address >> geometry_.sectorShift;
  if (!FatReadSector(lba, sector_)) return false;
  std::memcpy(sector_ + (address & (geometry_.bytesPerSector - 1u)), entry, kFatEntrySize);
  return FatWriteSector(lba, sector_);
}

bool FatVolume::FatWriteShortEntry(const FatEntryRecord& record) {
  if (!Mounted()) return false;
  std::uint8_t e[kFatEntrySize];
  EncodeShortEntry(record, e);
  return WriteEntry(record.entryAddress, e);
}

bool FatVolume::FatWriteLfnEntry(const FatEntryRecord& record, std::uint8_t checksum, std::uint8_t ordinal,
                                 bool isLast, std::uint64_t entryAddress) {
  if (!Mounted()) return false;
  std::uint8_t e[kFatEntrySize] = {};
  e[0] = static_cast<std::uint8_t>(ordinal | (isLast ? 0x40 : 0));
  e[11] = kAttrLongName;
  e[13] = checksum;
  const std::size_t length = record.longName.size();
  for (std::uint32_t k = 0; k < kCharsPerSlot; ++k) {
    const std::size_t at = (ordinal - 1u) * std::size_t{kCharsPerSlot} + k;
    const std::uint32_t c = at < length ? record.longName[at] : at == length ? 0x0000 : 0xFFFF;
    Put16(e + kSlotCharOffsets[k], c);
  }
  return WriteEntry(entryAddress, e);
}

void FatVolume::FillRecord(FatEntryRecord& record, const std::uint8_t* e, std::uint64_t address) {
  record.type = FatClassifyEntry(e);
  record.shortName = StoredName(e);
  record.firstCluster = FatEntryFirstCluster(e);
  record.size = FatEntrySize(e);
  record.entryAddress = address;
}

// ---------------------------------------------------------------- directory index

std::uint64_t FatVolume::EntryAddress(const DirIndex& index, std::uint32_t entry) const {
  if (index.fixedRoot) return FatRootDirAddress() + std::uint64_t{entry} * kFatEntrySize;
  const std::uint32_t perCluster = ClusterBytes() / kFatEntrySize;
  return FatClusterAddress(index.clusters[entry / perCluster]) + std::uint64_t{entry % perCluster} * kFatEntrySize;
}

bool FatVolume::EntryIndexOf(const DirIndex& index, std::uint64_t address, std::uint32_t& entry) const {
  if (index.fixedRoot) {
    const std::uint64_t root = FatRootDirAddress();
    if (address < root || (address - root) / kFatEntrySize >= index.capacity) return false;
    entry = static_cast<std::uint32_t>((address - root) / kFatEntrySize);
    return true;
  }
  const std::uint32_t perCluster = ClusterBytes() / kFatEntrySize;
  for (std::size_t i = 0; i < index.clusters.size(); ++i) {
    const std::uint64_t start = FatClusterAddress(index.clusters[i]);
    if (address >= start && address < start + ClusterBytes()) {
      entry = static_cast<std::uint32_t>(i * perCluster + (address - start) / kFatEntrySize);
      return true;
    }
  }
  return false;
}

FatVolume::DirIndex* FatVolume::Directory(std::uint32_t cluster) {
  if (!Mounted()) return nullptr;
  if (geometry_.fatType == kFat32 && cluster == geometry_.rootCluster) cluster = 0;  // one index for the root
  auto it = directories_.find(cluster);
  if (it != directories_.end()) return &it->second;
  DirIndex index;
  if (!BuildIndex(cluster, index)) return nullptr;
  return &directories_.emplace(cluster, std::move(index)).first->second;
}

// One walk over a directory: its chain, names, short names, label and end.
bool FatVolume::BuildIndex(std::uint32_t cluster, DirIndex& index) {
  if (cluster == 0 && geometry_.fatType == kFat16) {
    index.fixedRoot = true;
    index.capacity = geometry_.rootEntries;
  } else {
    std::uint32_t c = cluster == 0 ? geometry_.rootCluster : cluster;
    const std::uint32_t maxClusters = kFatMaxDirectoryEntries * kFatEntrySize / ClusterBytes() + 1;
    for (;;) {
      index.clusters.push_back(c);
      if (index.clusters.size() > maxClusters)
        return Fail(kFatErrChainIntoFree, "directory chain at cluster " + std::to_string(cluster) + " is too long");
      const int state = FatNextCluster(c);
      if (state == 2) break;
      if (state == 1)
        return Fail(kFatErrChainIntoFree, "directory chain runs into a free cluster");
      if (state == 3) return false;
    }
    index.capacity = static_cast<std::uint32_t>(index.clusters.size() * (ClusterBytes() / kFatEntrySize));
  }

  std::u16string collected;  // characters of the slots seen so far, highest ordinal first
  std::uint32_t expected = 0, slots = 0;
  std::uint8_t checksum = 0;
  index.end = index.capacity;
  const std::uint32_t perSector = geometry_.bytesPerSector / kFatEntrySize;
  for (std::uint32_t i = 0; i < index.capacity; ++i) {
    const std::uint64_t address = EntryAddress(index, i);
    if (i % perSector == 0 && !FatReadSector(address >> geometry_.sectorShift, sector_)) return false;
    const std::uint8_t* e = sector_ + (address & (geometry_.bytesPerSector - 1u));
    const FatEntryType type = FatClassifyEntry(e);
    if (type == kEntryEnd) {
      index.end = i;
      break;
    }
    if (type == kEntryDeleted) {
      expected = 0;
      slots = 0;
      collected.clear();
      continue;
    }
    if (type == kEntryLongName) {
      const std::uint32_t ordinal = e[0] & 0x3F;
      if (ordinal == 0 || ordinal > 20) {
        expected = 0;
        slots = 0;
        collected.clear();
        continue;
      }
      if ((e[0] & 0x40) != 0) {
        collected.clear();
        expected = ordinal;
        slots = 0;
        checksum = e[13];
      } else if (expected == 0 || ordinal != expected || e[13] != checksum) {
        expected = 0;
        slots = 0;
        collected.clear();
        continue;
      }
      std::u16string part;
      for (int offset : kSlotCharOffsets) part.push_back(static_cast<char16_t>(Get16(e + offset)));
      collected = part + collected;
      ++slots;
      expected = ordinal - 1;
      continue;
    }
    const ShortName shortName = StoredName(e);
    ShortName raw;  // the checksum covers the bytes as stored
    std::memcpy(raw.data(), e, raw.size());
    const bool named = expected == 0 && slots > 0 && FatLfnChecksum(raw) == checksum;
    if (type == kEntryLabel || type == kEntryDot || type == kEntryDotDot) {
      if (type == kEntryLabel) index.labelIndex = i;
      expected = 0;
      slots = 0;
      collected.clear();
      continue;
    }
    index.shorts[Key(shortName)] = i;
    std::u16string name;
    if (named) {
      const std::size_t stop = collected.find(u'\0');
      name = collected.substr(0, stop);
    } else {
      slots = 0;
      name = ShortNameAsName(shortName);
    }
    index.names[FoldName(name)] = {i, slots};
    collected.clear();
    slots = 0;
    expected = 0;
  }
  return true;
}

bool FatVolume::FatFindFreeSlot(DirIndex& index, std::uint32_t count, std::uint32_t& first) {
  if (std::uint64_t{index.end} + count > index.capacity) {
    if (index.fixedRoot) return Fail(kFatErrRootEnd, "the root directory is full");
    if (std::uint64_t{index.end} + count > kFatMaxDirectoryEntries)
      return Fail(kFatErrDirectoryFull, "a directory cannot hold more than 65536 entries");
    const std::uint32_t perCluster = ClusterBytes() / kFatEntrySize;
    while (std::uint64_t{index.end} + count > index.capacity) {
      std::uint32_t added = 0;
      if (!FatAllocCluster(added) || !FatZeroCluster(added) || !FatSetEntry(index.clusters.back(), added))
        return false;
      index.clusters.push_back(added);
      index.capacity += perCluster;
    }
  }
  first = index.end;
  index.end += count;
  return true;
}

// ---------------------------------------------------------------- lookups and creation

bool FatVolume::FatFindByLongName(FatEntryRecord& record) {
  DirIndex* index = Directory(currentDirectory_);
  if (index == nullptr) return false;
  const auto it = index->names.find(FoldName(record.longName));
  if (it == index->names.end()) {
    record.type = kEntryEnd;
    return false;
  }
  std::uint8_t e[kFatEntrySize];
  const std::uint64_t address = EntryAddress(*index, it->second.shortIndex);
  if (!ReadEntry(address, e)) return false;
  FillRecord(record, e, address);
  return true;
}

bool FatVolume::FatFindByShortName(FatEntryRecord& record) {
  DirIndex* index = Directory(currentDirectory_);
  if (index == nullptr) return false;
  std::uint8_t e[kFatEntrySize];
  std::int64_t entry = -1;
  const auto it = index->shorts.find(Key(record.shortName));
  if (it != index->shorts.end()) {
    entry = it->second;
  } else if (index->labelIndex >= 0) {
    if (!ReadEntry(EntryAddress(*index, static_cast<std::uint32_t>(index->labelIndex)), e)) return false;
    if (StoredName(e) == record.shortName) entry = index->labelIndex;
  }
  if (entry < 0) {
    record.type = kEntryEnd;
    return false;
  }
  const std::uint64_t address = EntryAddress(*index, static_cast<std::uint32_t>(entry));
  if (!ReadEntry(address, e)) return false;
  FillRecord(record, e, address);
  return true;
}

bool FatVolume::FatCreateEntry(FatEntryRecord& record, std::uint32_t directoryCluster) {
  DirIndex* index = Directory(directoryCluster);
  if (index == nullptr) return false;
  const std::string problem = LongNameProblem(record.longName);
  if (!problem.empty()) return Fail(kFatErrBadName, platform::Utf16ToUtf8(record.longName) + ": " + problem);
  const std::u16string folded = FoldName(record.longName);
  if (index->names.contains(folded))
    return Fail(kFatErrNameClash, platform::Utf16ToUtf8(record.longName) + " already exists");
  // A long name also answers to its short name: one that is another entry's
  // short name would make the two one name to the volume's readers.
  const platform::fatnames::ShortNameBasis basis = platform::fatnames::MakeShortNameBasis(record.longName);
  if (basis.exact && index->shorts.contains(Key(ShortNameOf(basis.base, basis.ext))))
    return Fail(kFatErrNameClash, platform::Utf16ToUtf8(record.longName) + " is the short name of another entry");
  const auto shortName = index->shortNames.Choose(
      record.longName, [&](const ShortName& candidate) { return index->shorts.contains(Key(candidate)); });
  if (!shortName) return Fail(kFatErrNameClash, platform::Utf16ToUtf8(record.longName) + ": no short name left");

  const std::uint32_t slots = SlotsFor(record.longName.size());
  record.firstCluster = 0;
  record.size = 0;
  if (record.type == kEntryDirectory) {
    if (!FatAllocCluster(record.firstCluster) || !FatZeroCluster(record.firstCluster)) return false;
  }
  std::uint32_t first = 0;
  if (!FatFindFreeSlot(*index, slots + 1, first)) {
    if (record.firstCluster != 0) {
      const std::uint8_t code = errorCode_;
      const std::string text = errorText_;
      FatFreeChain(record.firstCluster);
      Fail(static_cast<FatError>(code), text);
    }
    return false;
  }
  record.shortName = *shortName;

  std::uint8_t stored[kFatEntrySize];
  EncodeShortEntry(record, stored);
  ShortName storedName;
  std::memcpy(storedName.data(), stored, 11);
  const std::uint8_t checksum = FatLfnChecksum(storedName);
  for (std::uint32_t k = 0; k < slots; ++k) {
    const auto ordinal = static_cast<std::uint8_t>(slots - k);
    if (!FatWriteLfnEntry(record, checksum, ordinal, k == 0, EntryAddress(*index, first + k))) return false;
  }
  record.entryAddress = EntryAddress(*index, first + slots);
  if (!WriteEntry(record.entryAddress, stored)) return false;
  index->names[folded] = {first + slots, slots};
  index->shorts[Key(record.shortName)] = first + slots;
  return true;
}

bool FatVolume::FatCreateEntryNoLfn(FatEntryRecord& record, std::uint32_t directoryCluster) {
  DirIndex* index = Directory(directoryCluster);
  if (index == nullptr) return false;
  const bool label = record.type == kEntryLabel;
  if (!label && index->shorts.contains(Key(record.shortName)))
    return Fail(kFatErrNameClash, ShortNameText(record.shortName) + " already exists");
  record.firstCluster = 0;
  record.size = 0;
  if (record.type == kEntryDirectory) {
    if (!FatAllocCluster(record.firstCluster) || !FatZeroCluster(record.firstCluster)) return false;
  }
  std::uint32_t entry = 0;
  if (!FatFindFreeSlot(*index, 1, entry)) return false;
  record.entryAddress = EntryAddress(*index, entry);
  if (!FatWriteShortEntry(record)) return false;
  if (label) {
    index->labelIndex = entry;
  } else {
    index->shorts[Key(record.shortName)] = entry;
    index->names[FoldName(ShortNameAsName(record.shortName))] = {entry, 0};
  }
  return true;
}

bool FatVolume::FatDeleteEntry(const FatEntryRecord& record) {
  DirIndex* index = Directory(currentDirectory_);
  if (index == nullptr) return false;
  std::uint32_t entry = 0;
  if (!EntryIndexOf(*index, record.entryAddress, entry))
    return Fail(kFatErrBadPath, "the entry is not in the current directory");
  std::uint8_t e[kFatEntrySize];
  if (!ReadEntry(record.entryAddress, e)) return false;
  const FatEntryType type = FatClassifyEntry(e);
  if (type != kEntryLabel && !FatFreeChain(FatEntryFirstCluster(e)) && errorCode_ != kFatErrChainIntoFree)
    return false;
  e[0] = kDeletedMark;
  if (!WriteEntry(record.entryAddress, e)) return false;
  // The long-name slots directly before it go too.
  for (std::uint32_t i = entry; i > 0; --i) {
    const std::uint64_t address = EntryAddress(*index, i - 1);
    if (!ReadEntry(address, e)) return false;
    if (FatClassifyEntry(e) != kEntryLongName) break;
    e[0] = kDeletedMark;
    if (!WriteEntry(address, e)) return false;
  }
  if (type == kEntryLabel) {
    index->labelIndex = -1;
    return true;
  }
  std::erase_if(index->names, [&](const auto& kv) { return kv.second.shortIndex == entry; });
  std::erase_if(index->shorts, [&](const auto& kv) { return kv.second == entry; });
  return true;
}

bool FatVolume::FatWriteDotEntry(const FatEntryRecord& directory) {
  FatEntryRecord dot;
  dot.shortName = ShortNameOf(".", "");
  dot.type = kEntryDot;
  dot.firstCluster = directory.firstCluster;
  dot.entryAddress = FatClusterAddress(directory.firstCluster);
  return FatWriteShortEntry(dot);
}

bool FatVolume::FatWriteDotDotEntry(const FatEntryRecord& directory, std::uint32_t parentCluster) {
  FatEntryRecord dotdot;
  dotdot.shortName = ShortNameOf("..", "");
  dotdot.type = kEntryDotDot;
  // The root is cluster 0 here, also on FAT32.
  dotdot.firstCluster = parentCluster == geometry_.rootCluster && geometry_.fatType == kFat32 ? 0 : parentCluster;
  dotdot.entryAddress = FatClusterAddress(directory.firstCluster) + kFatEntrySize;
  return FatWriteShortEntry(dotdot);
}

bool FatVolume::MakeDirectory(const std::u16string& name, std::uint32_t parent, std::uint32_t& cluster) {
  FatEntryRecord record;
  record.longName = name;
  record.type = kEntryDirectory;
  if (!FatCreateEntry(record, parent) || !FatWriteDotEntry(record) || !FatWriteDotDotEntry(record, parent))
    return false;
  cluster = record.firstCluster;
  // A new directory holds only its dot entries: no walk needed to know it.
  DirIndex index;
  index.clusters.push_back(cluster);
  index.capacity = ClusterBytes() / kFatEntrySize;
  index.end = 2;
  directories_[cluster] = std::move(index);
  return true;
}

// Reuses the entry of an existing file of the same name: its clusters are
// freed and the entry is rewritten, in place when the slot count allows.
bool FatVolume::ReplaceFile(FatEntryRecord& record, DirIndex& index, const std::u16string& longName) {
  const auto it = index.names.find(FoldName(longName));
  const std::uint32_t slots = SlotsFor(longName.size());
  if (it->second.nameSlots != slots) {
    if (!FatDeleteEntry(record)) return false;
    record = FatEntryRecord{};
    record.longName = longName;
    record.type = kEntryFile;
    return FatCreateEntry(record, currentDirectory_);
  }
  if (!FatFreeChain(record.firstCluster)) return false;
  record.longName = longName;
  record.type = kEntryFile;
  record.firstCluster = 0;
  record.size = 0;
  std::uint8_t stored[kFatEntrySize];
  EncodeShortEntry(record, stored);
  ShortName storedName;
  std::memcpy(storedName.data(), stored, 11);
  const std::uint8_t checksum = FatLfnChecksum(storedName);
  const std::uint32_t first = it->second.shortIndex - slots;
  for (std::uint32_t k = 0; k < slots; ++k) {
    const auto ordinal = static_cast<std::uint8_t>(slots - k);
    if (!FatWriteLfnEntry(record, checksum, ordinal, k == 0, EntryAddress(index, first + k))) return false;
  }
  return WriteEntry(record.entryAddress, stored);
}

// ---------------------------------------------------------------- files

std::unique_ptr<FatFileHandle> FatVolume::FatCreateFile(std::string_view longPath) {
  if (!Mounted()) return nullptr;
  currentDirectory_ = 0;
  std::string_view rest = longPath;
  if (!rest.empty() && rest.front() == '\\') {
    rest.remove_prefix(1);
  } else if (FindPathSeparator(rest) != 0) {
    std::printf("Illegal file path %.*s\n", static_cast<int>(longPath.size()), longPath.data());
    Fail(kFatErrBadPath, "illegal file path " + std::string(longPath));
    return nullptr;
  }
  // Every component is checked before anything is created.
  std::vector<std::u16string> names;
  for (;;) {
    const std::size_t separator = FindPathSeparator(rest);
    const std::string_view component = separator == 0 ? rest : rest.substr(0, separator - 1);
    std::u16string name;
    const std::string problem = LongNameProblem(component, name);
    if (!problem.empty()) {
      Fail(kFatErrBadName, std::string(longPath) + ": " + problem);
      return nullptr;
    }
    names.push_back(std::move(name));
    if (separator == 0) break;
    rest.remove_prefix(separator);
  }
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    // A folder on the way.
    FatEntryRecord record;
    record.longName = names[i];
    const bool found = FatFindByLongName(record);
    if (!found && record.type != kEntryEnd) return nullptr;  // the lookup failed
    if (found && record.type != kEntryDirectory) {
      Fail(kFatErrNameClash, std::string(longPath) + ": " + platform::Utf16ToUtf8(names[i]) + " is not a folder");
      return nullptr;
    }
    std::uint32_t cluster = record.firstCluster;
    if (!found && !MakeDirectory(names[i], currentDirectory_, cluster)) return nullptr;
    currentDirectory_ = cluster;
  }
  // The file.
  FatEntryRecord record;
  record.longName = names.back();
  const bool found = FatFindByLongName(record);
  if (!found && record.type != kEntryEnd) return nullptr;
  if (found) {
    if (record.type != kEntryFile) {
      Fail(kFatErrNameClash, std::string(longPath) + " is a folder");
      return nullptr;
    }
    if (!ReplaceFile(record, *Directory(currentDirectory_), names.back())) return nullptr;
  } else {
    record.type = kEntryFile;
    if (!FatCreateEntry(record, currentDirectory_)) return nullptr;
  }
  auto handle = std::make_unique<FatFileHandle>();
  handle->record = std::move(record);
  handle->directory = currentDirectory_;
  return handle;
}

std::uint32_t FatVolume::FatWriteFileData(const std::uint8_t* buffer, std::uint32_t n, FatFileHandle& handle) {
  if (handle.mode != 2 || !Mounted()) {
    Fail(kFatErrNotMounted, "the file is not open");
    return 0;
  }
  if (n == 0) return 0;
  const std::uint32_t sectorSize = geometry_.bytesPerSector;
  if (n > sectorSize || handle.lastPieceWritten) {
    Fail(kFatErrFileTooLarge, "file data must come in whole sectors up to its last piece");
    return 0;
  }
  if (handle.bytesWritten + n > kFatMaxFileSize) {
    Fail(kFatErrFileTooLarge, "a FAT file cannot exceed 4 GiB - 1 bytes");
    return 0;
  }
  Progress();
  const std::uint32_t index = FatSectorInCluster(handle.bytesWritten);
  if (handle.bytesWritten == 0) {
    std::uint32_t cluster = 0;
    if (!FatAllocCluster(cluster)) return 0;
    handle.record.firstCluster = cluster;
    handle.currentCluster = cluster;
  } else if (index == 0) {
    std::uint32_t cluster = 0;
    if (!FatAllocCluster(cluster) || !FatSetEntry(handle.currentCluster, cluster)) return 0;
    handle.currentCluster = cluster;
  }
  std::memcpy(sector_, buffer, n);
  std::memset(sector_ + n, 0, sectorSize - n);
  if (!FatWriteSector(FatClusterToLba(handle.currentCluster) + index, sector_)) return 0;
  handle.bytesWritten += n;
  if (n < sectorSize) handle.lastPieceWritten = true;
  return n;
}

bool FatVolume::FatCloseFile(FatFileHandle& handle) {
  if (handle.mode != 2) return Fail(kFatErrNotMounted, "the file is not open");
  handle.mode = 0;
  if (!Mounted()) return false;
  handle.record.size = static_cast<std::uint32_t>(handle.bytesWritten);
  return FatWriteShortEntry(handle.record);
}

bool FatVolume::FatSetVolumeLabel(std::string_view label) {
  if (!Mounted()) return false;
  // The label's bytes in the station's ANSI code page, as many as the label
  // field's name part holds.
  namespace names = platform::fatnames;
  std::string why;
  const std::optional<std::string> bytes =
      names::VolumeLabelBytes(label, platform::CP_ACP, 8, names::LabelLength::kCut, &why);
  if (!bytes) return Fail(kFatErrBadName, why);

  const std::uint32_t saved = currentDirectory_;
  currentDirectory_ = 0;
  DirIndex* root = Directory(0);
  bool ok = root != nullptr;
  if (ok && root->labelIndex >= 0) {
    FatEntryRecord old;
    old.entryAddress = EntryAddress(*root, static_cast<std::uint32_t>(root->labelIndex));
    ok = FatDeleteEntry(old);
  }
  if (ok && !bytes->empty()) {
    FatEntryRecord record;
    record.shortName = names::VolumeLabelField(*bytes);
    record.type = kEntryLabel;
    ok = FatCreateEntryNoLfn(record, 0) && WriteBootLabel(record.shortName);
  } else if (ok) {
    ok = WriteBootLabel(ShortNameOf("NO NAME", ""));
  }
  currentDirectory_ = saved;
  return ok;
}

}  // namespace imagebuilder

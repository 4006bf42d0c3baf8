// Volume layout, format, mount and the file allocation table.
#include <cstdio>
#include <cstring>
#include <vector>

#include "imagebuilder/fat_volume.h"
#include "imagebuilder/le_bytes.h"

namespace imagebuilder {
namespace {

constexpr std::uint32_t kFat16MinClusters = 4085;   // fewer is FAT12
constexpr std::uint32_t kFat16MaxClusters = 65524;  // more is FAT32
constexpr std::uint32_t kFat32MaxClusters = 0x0FFFFFF5;
constexpr std::uint32_t kFat16Eoc = 0xFFF8;
constexpr std::uint32_t kFat32Eoc = 0x0FFFFFF8;
constexpr std::uint32_t kFsInfoSector = 1;
constexpr std::uint32_t kBackupBootSector = 6;
constexpr std::size_t kFat16Extended = 36;  // drive number; signature at +2, serial at +3, label at +7
constexpr std::size_t kFat32Extended = 64;
constexpr char kNoLabel[12] = "NO NAME    ";

// The FAT32 FSInfo sector: free cluster count and where to look for the next free one.
void BuildFsInfo(std::uint8_t* b, std::uint32_t size, std::uint32_t freeClusters, std::uint32_t nextFree) {
  std::memset(b, 0, size);
  Put32(b, 0x41615252);
  Put32(b + 484, 0x61417272);
  Put32(b + 488, freeClusters);
  Put32(b + 492, nextFree);
  Put32(b + 508, 0xAA550000);
}

bool Fail(std::string* why, std::string text) {
  if (why != nullptr) *why = std::move(text);
  return false;
}

}  // namespace

std::optional<FatLayout> FatComputeLayout(std::uint32_t sectorSize, std::uint64_t totalSectors, std::string* why) {
  if (sectorSize != 512 && sectorSize != 1024 && sectorSize != 2048 && sectorSize != 4096) {
    Fail(why, "sector size " + std::to_string(sectorSize) + " is not 512, 1024, 2048 or 4096");
    return std::nullopt;
  }
  if (totalSectors > 0xFFFFFFFFu) {
    Fail(why, "more sectors than a FAT volume can count");
    return std::nullopt;
  }
  const std::uint64_t B = sectorSize;
  const std::uint64_t T = totalSectors;
  const std::uint32_t shift = FatVolume::Log2(sectorSize);
  const std::uint64_t sectorsPerMiB = std::uint64_t{1} << (20 - shift);
  const std::uint64_t sizeMiB = (T + sectorsPerMiB - 1) / sectorsPerMiB;
  const std::uint32_t unitsPerSector = sectorSize / 512;

  FatLayout layout;
  layout.bytesPerSector = sectorSize;
  layout.totalSectors = static_cast<std::uint32_t>(T);
  layout.fatCount = 2;
  bool fat32 = sizeMiB > 2048;
  if (!fat32) {
    const std::uint32_t units = sizeMiB < 16 ? 2 : sizeMiB < 128 ? 4 : sizeMiB < 256 ? 8 : sizeMiB < 512 ? 16
                                : sizeMiB < 1024                  ? 32
                                                                  : 64;
    const std::uint64_t S = units > unitsPerSector ? units / unitsPerSector : 1;
    const std::uint64_t rootSectors = 16384 / B;
    if (T < 1 + rootSectors + 64) {
      Fail(why, "volume too small for FAT16");
      return std::nullopt;
    }
    const std::uint64_t fatBytes = (((T - 1 - rootSectors) * B + 8) / (S * B + 4) + 2) * 2;
    const std::uint64_t fatSize = (fatBytes + B - 1) / B;
    const std::uint64_t firstData = 1 + 2 * fatSize + rootSectors;
    const std::uint64_t clusters = T > firstData ? (T - firstData) / S : 0;
    if (clusters > kFat16MaxClusters) {
      // FAT16 cannot count that many clusters: such a volume has to be FAT32.
      fat32 = true;
    } else if (clusters < kFat16MinClusters) {
      Fail(why, "volume too small for FAT16 (" + std::to_string(clusters) + " clusters)");
      return std::nullopt;
    } else {
      layout.fatType = kFat16;
      layout.sectorsPerCluster = static_cast<std::uint32_t>(S);
      layout.reservedSectors = 1;
      layout.fatSize = static_cast<std::uint32_t>(fatSize);
      layout.rootEntries = 512;
      layout.firstDataSector = static_cast<std::uint32_t>(firstData);
      layout.clusterCount = static_cast<std::uint32_t>(clusters);
    }
  }
  if (fat32) {
    const std::uint32_t units = 32;
    const std::uint64_t S = units > unitsPerSector ? units / unitsPerSector : 1;
    const std::uint64_t fatBytes = (((T - 32) * B + 16) / (S * B + 8) + 2) * 4;
    const std::uint64_t fatSize = (fatBytes + B - 1) / B;
    const std::uint64_t firstData = 32 + 2 * fatSize;
    const std::uint64_t clusters = T > firstData ? (T - firstData) / S : 0;
    if (clusters < kFat16MaxClusters + 1 || clusters > kFat32MaxClusters) {
      Fail(why, "no FAT32 layout for " + std::to_string(clusters) + " clusters");
      return std::nullopt;
    }
    layout.fatType = kFat32;
    layout.sectorsPerCluster = static_cast<std::uint32_t>(S);
    layout.reservedSectors = 32;
    layout.fatSize = static_cast<std::uint32_t>(fatSize);
    layout.rootEntries = 0;
    layout.firstDataSector = static_cast<std::uint32_t>(firstData);
    layout.clusterCount = static_cast<std::uint32_t>(clusters);
  }
  return layout;
}

std::uint8_t FatVolume::Log2(std::uint32_t x) {
  if (x == 0) return 0;
  std::uint8_t n = 0;
  while ((x & 1) == 0) {
    x >>= 1;
    ++n;
  }
  return n;
}

bool FatVolume::Fail(FatError code, std::string text) {
  errorCode_ = code;
  errorText_ = std::move(text);
  return false;
}

bool FatVolume::SectorFail(std::uint64_t lba, bool write) {
  const std::string why = store_.LastError();
  return Fail(kFatErrSectorAccess, std::string("cannot ") + (write ? "write" : "read") + " sector " +
                                       std::to_string(lba) + (why.empty() ? "" : ": " + why));
}

bool FatVolume::Mounted() {
  if (geometry_.fatType != kFatNotMounted) return true;
  return Fail(kFatErrNotMounted, "no volume is mounted");
}

bool FatVolume::FatReadSector(std::uint64_t lba, std::uint8_t* buffer) {
  if (lba > 0xFFFFFFFEu || !store_.RamDiskRead(static_cast<std::uint32_t>(lba), 1, buffer))
    return SectorFail(lba, false);
  return true;
}

bool FatVolume::FatWriteSector(std::uint64_t lba, const std::uint8_t* buffer) {
  if (lba > 0xFFFFFFFEu || !store_.RamDiskWrite(static_cast<std::uint32_t>(lba), 1, buffer))
    return SectorFail(lba, true);
  return true;
}

std::uint64_t FatVolume::FatRootDirAddress() const {
  const std::uint64_t lba = std::uint64_t{geometry_.fatCount} * geometry_.fatSize + geometry_.fatStart;
  return lba << geometry_.sectorShift;
}

std::uint64_t FatVolume::FatClusterAddress(std::uint32_t cluster) const {
  return FatClusterToLba(cluster) << geometry_.sectorShift;
}

std::uint64_t FatVolume::FatClusterToLba(std::uint32_t cluster) const {
  return (std::uint64_t{cluster - 2} << geometry_.clusterShift) + geometry_.firstDataSector;
}

std::uint32_t FatVolume::FatSectorInCluster(std::uint64_t bytePosition) const {
  return static_cast<std::uint32_t>(bytePosition >> geometry_.sectorShift) & (geometry_.sectorsPerCluster - 1u);
}

bool FatVolume::FatFormat(std::uint32_t sectorSize, std::uint64_t totalSectors) {
  errorCode_ = kFatErrNone;
  errorText_.clear();
  geometry_ = FatGeometry{};
  directories_.clear();
  std::string why;
  const auto layout = FatComputeLayout(sectorSize, totalSectors, &why);
  if (!layout) return Fail(kFatErrBadVolume, why);
  if (store_.SectorSize() != sectorSize)
    return Fail(kFatErrBadVolume, "the sector store does not use " + std::to_string(sectorSize) + "-byte sectors");
  const bool fat32 = layout->fatType == kFat32;

  store_.RamDiskLock();
  struct Unlock {
    RamDisk& store;
    ~Unlock() { store.RamDiskUnlock(); }
  } unlock{store_};

  std::uint8_t* b = sector_;
  std::memset(b, 0, sectorSize);
  b[0] = 0xEB;
  b[1] = 0x00;
  b[2] = 0x90;
  std::memcpy(b + 3, "ZOQQ4x1", 8);
  Put16(b + 11, sectorSize);
  b[13] = static_cast<std::uint8_t>(layout->sectorsPerCluster);
  Put16(b + 14, layout->reservedSectors);
  b[16] = static_cast<std::uint8_t>(layout->fatCount);
  Put16(b + 17, layout->rootEntries);
  b[21] = 0xF8;
  Put32(b + 32, layout->totalSectors);
  // The extended fields (drive number, signature 0x29, serial number 0 and
  // the label) let checkers compare the boot sector's label with the root's.
  const std::size_t extended = fat32 ? kFat32Extended : kFat16Extended;
  b[extended] = 0x80;
  b[extended + 2] = 0x29;
  std::memcpy(b + extended + 7, kNoLabel, 11);
  if (fat32) {
    Put32(b + 36, layout->fatSize);
    Put32(b + 44, 2);
    Put16(b + 48, kFsInfoSector);
    Put16(b + 50, kBackupBootSector);
    std::memcpy(b + 82, "FAT32   ", 8);
  } else {
    Put16(b + 22, layout->fatSize);
    std::memcpy(b + 54, "FAT16   ", 8);
  }
  std::memset(b + 90, 0xFF, 420);
  b[510] = 0x55;
  b[511] = 0xAA;
  if (!FatWriteSector(0, b)) return false;
  if (fat32 && !FatWriteSector(kBackupBootSector, b)) return false;

  // Both FATs and the root directory start out as zeros.
  std::vector<std::uint8_t> zeros(std::size_t{sectorSize} * 64, 0);
  auto zeroRange = [&](std::uint64_t lba, std::uint64_t count) {
    while (count > 0) {
      const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, 64));
      if (!store_.RamDiskWrite(static_cast<std::uint32_t>(lba), n, zeros.data())) return SectorFail(lba, true);
      lba += n;
      count -= n;
    }
    return true;
  };
  const std::uint64_t fatLba = layout->reservedSectors;
  if (!zeroRange(fatLba, std::uint64_t{layout->fatCount} * layout->fatSize)) return false;
  const std::uint64_t rootLba = fatLba + std::uint64_t{layout->fatCount} * layout->fatSize;
  if (!zeroRange(rootLba, fat32 ? layout->sectorsPerCluster : 16384 / sectorSize)) return false;

  std::memset(b, 0, sectorSize);
  if (fat32) {
    Put32(b, kFat32Eoc);
    Put32(b + 4, 0xFFFFFFFF);
    Put32(b + 8, kFat32Eoc);  // cluster 2, the root, is a one-cluster chain
  } else {
    Put16(b, kFat16Eoc);
    Put16(b + 2, 0xFFFF);
  }
  for (std::uint32_t copy = 0; copy < layout->fatCount; ++copy)
    if (!FatWriteSector(fatLba + std::uint64_t{copy} * layout->fatSize, b)) return false;

  if (fat32) {
    BuildFsInfo(b, sectorSize, layout->clusterCount - 1, 2);
    if (!FatWriteSector(kFsInfoSector, b) || !FatWriteSector(kBackupBootSector + kFsInfoSector, b)) return false;
  }
  return true;
}

bool FatVolume::FatUpdateInfoSector() {
  if (!Mounted()) return false;
  if (geometry_.fatType != kFat32) return true;
  BuildFsInfo(sector_, geometry_.bytesPerSector, freeClusters_, freeHint_);
  const std::uint64_t lba = std::uint64_t{geometry_.volumeStart} + geometry_.fsInfoSector;
  return FatWriteSector(lba, sector_) && FatWriteSector(lba + kBackupBootSector, sector_);
}

bool FatVolume::WriteBootLabel(const ShortName& label) {
  const std::size_t extended = geometry_.fatType == kFat32 ? kFat32Extended : kFat16Extended;
  if (!FatReadSector(geometry_.volumeStart, sector_)) return false;
  if (sector_[extended + 2] != 0x29) return true;  // a boot sector without the label field
  std::memcpy(sector_ + extended + 7, label.data(), label.size());
  if (!FatWriteSector(geometry_.volumeStart, sector_)) return false;
  // The backup boot sector stays a copy of the boot sector.
  return geometry_.fatType != kFat32 || FatWriteSector(std::uint64_t{geometry_.volumeStart} + kBackupBootSector, sector_);
}

void FatVolume::Unmount() {
  geometry_ = FatGeometry{};
  directories_.clear();
  currentDirectory_ = 0;
  freeClusters_ = 0;
  freeHint_ = 2;
}

bool FatVolume::FatMount() {
  errorCode_ = kFatErrNone;
  errorText_.clear();
  Unmount();
  if (FatParseBootSector(0)) return true;
  for (int i = 0; i < 4; ++i) {
    std::uint32_t lba = 0;
    if (!FatReadPartitionEntry(i, lba)) break;
    if (FatParseBootSector(lba)) return true;
  }
  geometry_ = FatGeometry{};
  return Fail(kFatErrBadVolume, "no FAT16 or FAT32 volume found");
}

bool FatVolume::FatReadPartitionEntry(int index, std::uint32_t& lba) {
  if (index < 0 || index > 3 || !FatReadSector(0, sector_)) return false;
  if (sector_[510] != 0x55 || sector_[511] != 0xAA) return false;
  const std::uint8_t* entry = sector_ + 446 + 16 * index;
  if (entry[0] != 0x80 && entry[0] != 0) return false;
  lba = Get32(entry + 8);
  std::fputs("bPTinfo\n", stdout);
  return true;
}

bool FatVolume::FatParseBootSector(std::uint32_t lba) {
  geometry_ = FatGeometry{};
  freeHint_ = 2;
  if (store_.SectorSize() < 512 || !FatReadSector(lba, sector_)) return false;
  const std::uint8_t* b = sector_;
  if (!(b[0] == 0xE9 || (b[0] == 0xEB && b[2] == 0x90))) return false;
  if (b[510] != 0x55 || b[511] != 0xAA) return false;
  const std::uint32_t bytesPerSector = Get16(b + 11);
  if ((bytesPerSector & 0xFF) != 0) return false;
  const std::uint32_t high = bytesPerSector >> 8;
  if (high != 2 && high != 4 && high != 8 && high != 16) return false;
  // The writer addresses the volume in store sectors: they must be the same size.
  if (bytesPerSector != store_.SectorSize()) return false;
  const std::uint32_t spc = b[13];
  if (spc == 0 || (spc & (spc - 1)) != 0) return false;

  FatGeometry g;
  g.volumeStart = lba;
  g.bytesPerSector = static_cast<std::uint16_t>(bytesPerSector);
  g.sectorShift = Log2(bytesPerSector);
  g.sectorsPerCluster = static_cast<std::uint8_t>(spc);
  g.clusterShift = Log2(spc);
  const std::uint32_t reserved = Get16(b + 14);
  g.fatCount = b[16];
  g.rootEntries = static_cast<std::uint16_t>(Get16(b + 17));
  g.totalSectors = Get16(b + 19) != 0 ? Get16(b + 19) : Get32(b + 32);
  g.fatSize = Get16(b + 22) != 0 ? Get16(b + 22) : Get32(b + 36);
  g.rootCluster = Get32(b + 44);
  g.fsInfoSector = static_cast<std::uint16_t>(Get16(b + 48));
  if (reserved == 0 || g.fatCount == 0 || g.fatSize == 0) return false;
  const std::uint64_t fatStart = std::uint64_t{lba} + reserved;
  const std::uint64_t rootSectors = (std::uint64_t{g.rootEntries} * 32 + bytesPerSector - 1) / bytesPerSector;
  const std::uint64_t firstData = fatStart + std::uint64_t{g.fatCount} * g.fatSize + rootSectors;
  const std::uint64_t end = std::uint64_t{lba} + g.totalSectors;
  if (firstData >= end || end > 0xFFFFFFFFu) return false;
  g.fatStart = static_cast<std::uint32_t>(fatStart);
  g.firstDataSector = static_cast<std::uint32_t>(firstData);
  g.dataSectors = static_cast<std::uint32_t>(end - firstData);
  g.clusterCount = g.dataSectors >> g.clusterShift;
  if (g.clusterCount < kFat16MinClusters) return false;  // FAT12 is not written here
  g.fatType = g.clusterCount > kFat16MaxClusters ? kFat32 : kFat16;
  // Clusters beyond what the FAT can describe do not exist.
  const std::uint64_t fatEntries = std::uint64_t{g.fatSize} * bytesPerSector / (g.fatType == kFat16 ? 2 : 4);
  if (fatEntries < 3) return false;
  if (g.clusterCount > fatEntries - 2) g.clusterCount = static_cast<std::uint32_t>(fatEntries - 2);
  if (g.fatType == kFat16 && g.rootEntries == 0) return false;
  if (g.fatType == kFat32 && (g.rootCluster < 2 || g.rootCluster > g.clusterCount + 1)) return false;
  geometry_ = g;
  currentDirectory_ = 0;

  // Count the free clusters (for the FSInfo sector and the room checks).
  freeClusters_ = 0;
  const std::uint32_t perSector = bytesPerSector / FatEntryBytes();
  std::uint64_t loaded = ~std::uint64_t{0};
  for (std::uint32_t c = 2; c <= g.clusterCount + 1; ++c) {
    const std::uint64_t sector = g.fatStart + c / perSector;
    if (sector != loaded) {
      if (!FatReadSector(sector, sector_)) {
        geometry_ = FatGeometry{};
        return false;
      }
      loaded = sector;
    }
    const std::uint8_t* p = sector_ + (c % perSector) * FatEntryBytes();
    const std::uint32_t v = g.fatType == kFat16 ? Get16(p) : (Get32(p) & 0x0FFFFFFF);
    if (v == 0) ++freeClusters_;
  }
  return true;
}

int FatVolume::FatNextCluster(std::uint32_t& cluster) {
  if (geometry_.fatType == kFatNotMounted) return 3;
  if (cluster < 2 || cluster > geometry_.clusterCount + 1) {
    Fail(kFatErrChainIntoFree, "cluster " + std::to_string(cluster) + " lies outside the volume");
    return 3;
  }
  const std::uint64_t offset = std::uint64_t{cluster} * FatEntryBytes();
  if (!FatReadSector(geometry_.fatStart + (offset >> geometry_.sectorShift), sector_)) return 3;
  const std::uint8_t* p = sector_ + (offset & (geometry_.bytesPerSector - 1u));
  std::uint32_t value = 0;
  if (geometry_.fatType == kFat16) {
    value = Get16(p);
    if (value == 0) return 1;
    if (value >= kFat16Eoc) return 2;
  } else {
    value = Get32(p) & 0x0FFFFFFF;
    if (value == 0) return 1;
    if (value >= kFat32Eoc) return 2;
  }
  if (value < 2 || value > geometry_.clusterCount + 1) {
    Fail(kFatErrChainIntoFree, "cluster " + std::to_string(cluster) + " links outside the volume");
    return 3;
  }
  cluster = value;
  return 0;
}

bool FatVolume::FatSetEntry(std::uint32_t cluster, std::uint32_t value) {
  if (!Mounted()) return false;
  if (cluster > geometry_.clusterCount + 1)
    return Fail(kFatErrChainIntoFree, "cluster " + std::to_string(cluster) + " lies outside the volume");
  const std::uint64_t offset = std::uint64_t{cluster} * FatEntryBytes();
  const std::uint64_t sector = offset >> geometry_.sectorShift;
  if (!FatReadSector(geometry_.fatStart + sector, sector_)) return false;
  std::uint8_t* p = sector_ + (offset & (geometry_.bytesPerSector - 1u));
  if (geometry_.fatType == kFat16)
    Put16(p, value);
  else
    Put32(p, value);
  // Every FAT copy stays identical.
  for (std::uint32_t copy = 0; copy < geometry_.fatCount; ++copy)
    if (!FatWriteSector(geometry_.fatStart + std::uint64_t{copy} * geometry_.fatSize + sector, sector_)) return false;
  return true;
}

bool FatVolume::FatAllocCluster(std::uint32_t& cluster) {
  if (!Mounted()) return false;
  const std::uint32_t last = geometry_.clusterCount + 1;
  if (freeHint_ < 2) freeHint_ = 2;
  const std::uint32_t perSector = geometry_.bytesPerSector / FatEntryBytes();
  std::uint64_t loaded = ~std::uint64_t{0};
  for (; freeHint_ <= last; ++freeHint_) {
    const std::uint64_t sector = freeHint_ / perSector;
    if (sector != loaded) {
      if (!FatReadSector(geometry_.fatStart + sector, sector_)) return false;
      loaded = sector;
    }
    const std::uint8_t* p = sector_ + (freeHint_ % perSector) * FatEntryBytes();
    const std::uint32_t v = geometry_.fatType == kFat16 ? Get16(p) : (Get32(p) & 0x0FFFFFFF);
    if (v != 0) continue;
    if (!FatSetEntry(freeHint_, geometry_.fatType == kFat16 ? kFat16Eoc : kFat32Eoc)) return false;
    cluster = freeHint_;
    if (freeClusters_ > 0) --freeClusters_;
    return true;
  }
  return Fail(kFatErrDiskFull, "the volume is full");
}

bool FatVolume::FatFreeChain(std::uint32_t cluster) {
  if (cluster < 2) return true;
  if (!Mounted()) return false;
  const std::uint32_t last = geometry_.clusterCount + 1;
  for (std::uint32_t steps = 0; steps <= geometry_.clusterCount; ++steps) {
    if (cluster > last) return Fail(kFatErrChainIntoFree, "cluster chain runs outside the volume");
    std::uint32_t next = cluster;
    const int state = FatNextCluster(next);
    if (state == 3) return false;
    if (state == 1) return true;  // already free: the chain ends here
    if (!FatSetEntry(cluster, 0)) return false;
    ++freeClusters_;
    if (cluster < freeHint_) freeHint_ = cluster;
    if (state != 0) return true;  // end of chain, or a free entry
    cluster = next;
  }
  return Fail(kFatErrChainIntoFree, "cluster chain loops");
}

bool FatVolume::FatZeroCluster(std::uint32_t cluster) {
  if (!Mounted()) return false;
  if (cluster < 2 || cluster > geometry_.clusterCount + 1)
    return Fail(kFatErrChainIntoFree, "cluster " + std::to_string(cluster) + " lies outside the volume");
  std::memset(sector_, 0, geometry_.bytesPerSector);
  const std::uint64_t lba = FatClusterToLba(cluster);
  for (std::uint32_t i = 0; i < geometry_.sectorsPerCluster; ++i)
    if (!FatWriteSector(lba + i, sector_)) return false;
  return true;
}

}  // namespace imagebuilder

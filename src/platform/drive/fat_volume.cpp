#include "platform/drive/fat_volume.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock/clock.h"
#include "platform/codepage/codepage.h"
#include "platform/locale/locale.h"

namespace platform {

namespace {

constexpr std::uint32_t kEntry = 32;
constexpr std::uint32_t kMaxDirectorySlots = 65536;
constexpr std::uint8_t kAttrReadOnly = 0x01, kAttrLabel = 0x08, kAttrDirectory = 0x10, kAttrArchive = 0x20;
constexpr std::uint8_t kAttrLongName = 0x0F;
constexpr std::uint8_t kDeleted = 0xE5;
constexpr std::size_t kCopyBuffer = 4u << 20;

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

std::string Trimmed(const std::uint8_t* p, std::size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// Long-name characters of one entry: offsets of its 13 UTF-16 units.
constexpr int kLongOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// The short name of a stored entry, as the writers handle it.
fatnames::ShortName StoredShortName(const std::uint8_t* e) {
  fatnames::ShortName name;
  for (std::size_t i = 0; i < name.size(); ++i) name[i] = e[i] == 0 ? ' ' : e[i];
  if (name[0] == 0x05) name[0] = kDeleted;
  return name;
}

// What the short name of a stored entry answers to in lookups.
std::u16string ShortText(const std::uint8_t* e) { return fatnames::ShortNameAsName(StoredShortName(e)); }

// Puts a short name into an entry; a first byte 0xE5 is stored as 0x05.
void PutShortName(std::uint8_t* e, const fatnames::ShortName& name) {
  std::memcpy(e, name.data(), name.size());
  if (e[0] == kDeleted) e[0] = 0x05;
}

std::string ShortKey(const fatnames::ShortName& name) { return std::string(name.begin(), name.end()); }

// The checksum of a stored entry's short name: over its bytes as stored.
std::uint8_t LfnChecksum(const std::uint8_t* e) {
  fatnames::ShortName stored;
  std::memcpy(stored.data(), e, stored.size());
  return fatnames::LfnChecksum(stored);
}

void Stamp(std::uint8_t* e, bool created) {
  const LocalDateTime t = LocalTime();
  const int year = std::clamp(t.year, 1980, 2107);
  const std::uint32_t date = static_cast<std::uint32_t>((year - 1980) << 9 | t.month << 5 | t.day);
  const std::uint32_t time = static_cast<std::uint32_t>(t.hour << 11 | t.minute << 5 | t.second / 2);
  Put16(e + 22, time);
  Put16(e + 24, date);
  Put16(e + 18, date);
  if (created) {
    Put16(e + 14, time);
    Put16(e + 16, date);
  }
}

void SetStart(std::uint8_t* e, std::uint32_t cluster) {
  Put16(e + 20, cluster >> 16);
  Put16(e + 26, cluster & 0xFFFF);
}

std::uint32_t StartOf(const std::uint8_t* e, int fatBits) {
  return (fatBits == 32 ? std::uint32_t{Le16(e + 20)} << 16 : 0u) | Le16(e + 26);
}

// Bytes of FAT that hold the entries of clusters 0 to clusterCount + 1.
std::uint64_t FatEntryBytes(const FatBootInfo& b) {
  return ((std::uint64_t{b.clusterCount} + 2) * static_cast<std::uint64_t>(b.fatBits) + 7) / 8;
}

}  // namespace

std::optional<FatBootInfo> ParseFatBootSector(const std::uint8_t* s, std::size_t size, std::string* why,
                                              std::uint64_t diskBytes) {
  auto fail = [&](const char* text) -> std::optional<FatBootInfo> {
    if (why) *why = text;
    return std::nullopt;
  };
  if (size < 512) return fail("the boot sector cannot be read");
  if (s[510] != 0x55 || s[511] != 0xAA) return fail("no FAT file system (boot sector signature missing)");
  FatBootInfo b;
  b.bytesPerSector = Le16(s + 11);
  b.sectorsPerCluster = s[13];
  b.reservedSectors = Le16(s + 14);
  b.fatCount = s[16];
  b.rootEntries = Le16(s + 17);
  b.totalSectors = Le16(s + 19) ? Le16(s + 19) : Le32(s + 32);
  b.fatSectors = Le16(s + 22) ? Le16(s + 22) : Le32(s + 36);
  const std::uint32_t bps = b.bytesPerSector, spc = b.sectorsPerCluster;
  if (bps < 512 || bps > 4096 || (bps & (bps - 1)) != 0) return fail("no FAT file system (sector size)");
  if (spc == 0 || (spc & (spc - 1)) != 0 || bps * spc > 65536) return fail("no FAT file system (cluster size)");
  if (b.reservedSectors == 0 || b.fatCount == 0 || b.fatCount > 4 || b.fatSectors == 0 || b.totalSectors == 0)
    return fail("no FAT file system (layout)");
  // Every region below lies inside the sectors the boot sector claims; those
  // must be on the disk, or reads fail and writes land past its end.
  if (b.totalSectors > diskBytes / bps) return fail("no FAT file system (it claims more sectors than the disk holds)");
  const std::uint64_t rootSectors = (std::uint64_t{b.rootEntries} * kEntry + bps - 1) / bps;
  b.firstRootSector = b.reservedSectors + std::uint64_t{b.fatCount} * b.fatSectors;
  b.firstDataSector = b.firstRootSector + rootSectors;
  if (b.firstDataSector >= b.totalSectors) return fail("no FAT file system (no data area)");
  const std::uint64_t clusters = (b.totalSectors - b.firstDataSector) / spc;
  if (clusters == 0 || clusters > 0x0FFFFFF5) return fail("no FAT file system (cluster count)");
  b.clusterCount = static_cast<std::uint32_t>(clusters);
  b.fatBits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
  if (b.fatBits == 32) {
    if (b.rootEntries != 0) return fail("no FAT file system (FAT32 with a fixed root)");
    b.rootCluster = Le32(s + 44);
    b.fsInfoSector = Le16(s + 48);
    b.backupBootSector = Le16(s + 50);
    if (b.rootCluster < 2 || b.rootCluster >= b.clusterCount + 2) return fail("no FAT file system (root cluster)");
    if (s[66] == 0x29) {  // the extended fields are there
      b.bootLabel = Trimmed(s + 71, 11);
      b.serialNumber = Le32(s + 67);
    }
  } else {
    if (b.rootEntries == 0) return fail("no FAT file system (no root folder)");
    if (s[38] == 0x29) {
      b.bootLabel = Trimmed(s + 43, 11);
      b.serialNumber = Le32(s + 39);
    }
  }
  if (std::uint64_t{b.fatSectors} * bps < FatEntryBytes(b)) return fail("no FAT file system (FAT too small)");
  if (b.bootLabel == "NO NAME") b.bootLabel.clear();
  return b;
}

FatVolume::FatVolume(int fd, FatBootInfo boot, bool readOnly, std::uint64_t diskBytes)
    : fd_(fd), boot_(std::move(boot)), readOnly_(readOnly), diskBytes_(diskBytes) {}

FatVolume::~FatVolume() {
  if (fd_ >= 0) {
    if (!readOnly_) Flush();
    ::close(fd_);
  }
}

std::unique_ptr<FatVolume> FatVolume::Open(const std::string& node, bool readOnly, std::string* why) {
  const int fd = ::open(node.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (fd < 0) {
    if (why) *why = node + ": " + std::strerror(errno);
    return nullptr;
  }
  std::uint64_t diskBytes = 0;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    diskBytes = static_cast<std::uint64_t>(st.st_size);
  } else if (S_ISBLK(st.st_mode) && ::ioctl(fd, BLKGETSIZE64, &diskBytes) != 0) {
    diskBytes = 0;
  }
  std::uint8_t sector[4096];
  const ssize_t got = ::pread(fd, sector, sizeof sector, 0);
  auto boot = ParseFatBootSector(sector, got > 0 ? static_cast<std::size_t>(got) : 0, why, diskBytes);
  if (!boot) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<FatVolume>(new FatVolume(fd, std::move(*boot), readOnly, diskBytes));
}

bool FatVolume::Fail(std::string why) {
  error_ = std::move(why);
  return false;
}

bool FatVolume::BadName(const std::string& problem) {
  return Fail("the name cannot be held by the FAT file system: " + problem);
}

bool FatVolume::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
  auto* p = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd_, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(std::string("the disk cannot be read: ") + (n < 0 ? std::strerror(errno) : "end of disk"));
    p += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FatVolume::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  if (readOnly_) return Fail("the volume is open for reading only");
  if (offset > diskBytes_ || size > diskBytes_ - offset) return Fail("the disk cannot be written: past its end");
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(std::string("the disk cannot be written: ") + (n < 0 ? std::strerror(errno) : "no room"));
    p += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FatVolume::LoadFat() {
  if (fatLoaded_) return true;
  // Only the sectors that hold the clusters' entries: a FAT may be larger.
  const std::uint32_t bps = boot_.bytesPerSector;
  const std::uint64_t entryBytes = FatEntryBytes(boot_);
  const auto sectors =
      static_cast<std::uint32_t>(std::min<std::uint64_t>((entryBytes + bps - 1) / bps, boot_.fatSectors));
  fat_.resize(std::size_t{sectors} * bps);
  if (!ReadAt(std::uint64_t{boot_.reservedSectors} * bps, fat_.data(), fat_.size())) return false;
  dirtyFatSectors_.assign(sectors, false);
  freeCount_ = 0;
  for (std::uint32_t c = 2; c < boot_.clusterCount + 2; ++c)
    if (Next(c) == 0) ++freeCount_;
  fatLoaded_ = true;
  return true;
}

std::uint32_t FatVolume::Next(std::uint32_t c) const {
  switch (boot_.fatBits) {
    case 12: {
      const std::size_t at = c + c / 2;
      const std::uint32_t v = Le16(&fat_[at]);
      return (c & 1) ? v >> 4 : v & 0xFFF;
    }
    case 16:
      return Le16(&fat_[std::size_t{c} * 2]);
    default:
      return Le32(&fat_[std::size_t{c} * 4]) & 0x0FFFFFFF;
  }
}

void FatVolume::SetNext(std::uint32_t c, std::uint32_t v) {
  std::size_t at = 0, width = 0;
  switch (boot_.fatBits) {
    case 12: {
      at = c + c / 2;
      width = 2;
      std::uint32_t old = Le16(&fat_[at]);
      old = (c & 1) ? (old & 0x000F) | (v & 0xFFF) << 4 : (old & 0xF000) | (v & 0xFFF);
      Put16(&fat_[at], old);
      break;
    }
    case 16:
      at = std::size_t{c} * 2;
      width = 2;
      Put16(&fat_[at], v);
      break;
    default:
      at = std::size_t{c} * 4;
      width = 4;
      Put32(&fat_[at], (Le32(&fat_[at]) & 0xF0000000u) | (v & 0x0FFFFFFF));
  }
  dirtyFatSectors_[at / boot_.bytesPerSector] = true;
  dirtyFatSectors_[(at + width - 1) / boot_.bytesPerSector] = true;
}

std::uint32_t FatVolume::EndMark() const {
  return boot_.fatBits == 12 ? 0xFFF : boot_.fatBits == 16 ? 0xFFFF : 0x0FFFFFFF;
}

bool FatVolume::IsEnd(std::uint32_t v) const {
  return v >= (boot_.fatBits == 12 ? 0xFF8u : boot_.fatBits == 16 ? 0xFFF8u : 0x0FFFFFF8u);
}

std::uint64_t FatVolume::ClusterOffset(std::uint32_t c) const {
  return (boot_.firstDataSector + std::uint64_t{c - 2} * boot_.sectorsPerCluster) * boot_.bytesPerSector;
}

bool FatVolume::Chain(std::uint32_t first, std::vector<std::uint32_t>& out) {
  out.clear();
  if (!LoadFat()) return false;
  for (std::uint32_t c = first;;) {
    if (c < 2 || c >= boot_.clusterCount + 2 || out.size() > boot_.clusterCount)
      return Fail("the file system is damaged (broken cluster chain); check the disk");
    out.push_back(c);
    const std::uint32_t next = Next(c);
    if (IsEnd(next)) return true;
    c = next;
  }
}

std::optional<std::uint32_t> FatVolume::FreeClusters() {
  if (!LoadFat()) return std::nullopt;
  return freeCount_;
}

bool FatVolume::Allocate(std::uint32_t count, std::vector<std::uint32_t>& out) {
  out.clear();
  if (!LoadFat()) return false;
  if (count > freeCount_) return Fail("the disk is full");
  const std::uint32_t last = boot_.clusterCount + 2;
  std::uint32_t c = nextFree_ >= 2 && nextFree_ < last ? nextFree_ : 2;
  for (std::uint32_t looked = 0; out.size() < count && looked < boot_.clusterCount; ++looked) {
    if (Next(c) == 0) out.push_back(c);
    if (++c == last) c = 2;
  }
  if (out.size() < count) {
    out.clear();
    return Fail("the disk is full");
  }
  for (std::size_t i = 0; i < out.size(); ++i) SetNext(out[i], i + 1 < out.size() ? out[i + 1] : EndMark());
  freeCount_ -= count;
  nextFree_ = c;
  return true;
}

void FatVolume::Release(const std::vector<std::uint32_t>& clusters) {
  for (std::uint32_t c : clusters) {
    SetNext(c, 0);
    ++freeCount_;
  }
}

void FatVolume::Release(std::uint32_t first) {
  std::vector<std::uint32_t> chain;
  if (first != 0 && Chain(first, chain)) Release(chain);
}

FatVolume::Directory* FatVolume::Dir(std::uint32_t cluster) {
  if (auto it = dirs_.find(cluster); it != dirs_.end()) return it->second.get();
  auto dir = std::make_unique<Directory>();
  dir->cluster = cluster;
  if (cluster == 0) {
    dir->bytes.resize(std::size_t{boot_.rootEntries} * kEntry);
    if (!ReadAt(boot_.firstRootSector * boot_.bytesPerSector, dir->bytes.data(), dir->bytes.size())) return nullptr;
  } else {
    if (!Chain(cluster, dir->clusters)) return nullptr;
    if (dir->clusters.size() * ClusterBytes() > kMaxDirectorySlots * kEntry)
      return Fail("the file system is damaged (folder too large); check the disk"), nullptr;
    dir->bytes.resize(dir->clusters.size() * ClusterBytes());
    for (std::size_t i = 0; i < dir->clusters.size(); ++i)
      if (!ReadAt(ClusterOffset(dir->clusters[i]), &dir->bytes[i * ClusterBytes()], ClusterBytes())) return nullptr;
  }
  const auto slots = static_cast<std::uint32_t>(dir->bytes.size() / kEntry);
  std::u16string longName;
  int expect = 0;
  std::uint8_t sum = 0;
  std::uint32_t longStart = 0;
  dir->end = slots;
  for (std::uint32_t i = 0; i < slots; ++i) {
    const std::uint8_t* e = &dir->bytes[std::size_t{i} * kEntry];
    if (e[0] == 0) {
      dir->end = i;
      break;
    }
    if (e[0] == kDeleted) {
      expect = 0;
      continue;
    }
    if (e[11] == kAttrLongName) {
      const int order = e[0] & 0x3F;
      if (e[0] & 0x40) {
        longName.assign(std::size_t(order) * 13, u'\0');
        expect = order;
        sum = e[13];
        longStart = i;
      }
      if (order == 0 || order != expect || e[13] != sum) {
        expect = 0;
        continue;
      }
      for (int k = 0; k < 13; ++k) longName[std::size_t(order - 1) * 13 + k] = static_cast<char16_t>(Le16(e + kLongOffsets[k]));
      --expect;
      if (expect == 0) expect = -1;  // complete: the short entry follows
      continue;
    }
    dir->shortNames.insert(ShortKey(StoredShortName(e)));
    if (e[11] & kAttrLabel) {
      expect = 0;
      continue;
    }
    Entry entry{i, i};
    const std::u16string shortText = ShortText(e);
    if (expect == -1 && LfnChecksum(e) == sum) {
      entry.firstSlot = longStart;
      std::u16string name = longName.substr(0, longName.find(u'\0'));
      dir->names[fatnames::FoldName(name)] = entry;
    }
    dir->names.emplace(fatnames::FoldName(shortText), entry);
    expect = 0;
  }
  Directory* raw = dir.get();
  dirs_[cluster] = std::move(dir);
  return raw;
}

bool FatVolume::Resolve(std::string_view path, Directory*& parent, std::u16string& leaf) {
  // Only '/' separates: every part is a name the host gave, and a "\\" in one
  // (legal there) is refused rather than taken for a folder.
  std::vector<std::u16string> parts;
  for (std::size_t at = 0; at <= path.size();) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view part = path.substr(at, slash - at);
    if (const std::string problem = fatnames::HostNameProblem(part); !problem.empty()) return BadName(problem);
    if (!part.empty()) parts.push_back(Utf8ToUtf16(part));
    at = slash + 1;
  }
  if (parts.empty()) return Fail("no name given");
  if (!LoadFat()) return false;
  Directory* dir = Dir(boot_.fatBits == 32 ? boot_.rootCluster : 0);
  for (std::size_t i = 0; dir && i + 1 < parts.size(); ++i) {
    auto it = dir->names.find(fatnames::FoldName(parts[i]));
    const std::uint8_t* e = it == dir->names.end() ? nullptr : &dir->bytes[std::size_t{it->second.slot} * kEntry];
    if (!e || !(e[11] & kAttrDirectory)) return Fail("folder \"" + Utf16ToUtf8(parts[i]) + "\" not found on the disk");
    const std::uint32_t c = StartOf(e, boot_.fatBits);
    dir = Dir(c == 0 ? (boot_.fatBits == 32 ? boot_.rootCluster : 0) : c);
  }
  if (!dir) return false;
  parent = dir;
  leaf = parts.back();
  return true;
}

FatVolume::Directory* FatVolume::FolderAt(std::string_view path) {
  if (path.find_first_not_of('/') == std::string_view::npos) {
    if (!LoadFat()) return nullptr;
    return Dir(boot_.fatBits == 32 ? boot_.rootCluster : 0);
  }
  Directory* parent = nullptr;
  std::u16string leaf;
  if (!Resolve(path, parent, leaf)) return nullptr;
  auto it = parent->names.find(fatnames::FoldName(leaf));
  if (it == parent->names.end()) return Fail("folder not found on the disk"), nullptr;
  const std::uint8_t* e = &parent->bytes[std::size_t{it->second.slot} * kEntry];
  if (!(e[11] & kAttrDirectory)) return Fail("a file has the folder's name"), nullptr;
  const std::uint32_t c = StartOf(e, boot_.fatBits);
  return Dir(c == 0 ? (boot_.fatBits == 32 ? boot_.rootCluster : 0) : c);
}

bool FatVolume::IsFolder(std::string_view path) { return FolderAt(path) != nullptr; }

std::optional<std::string> FatVolume::Label() {
  if (!LoadFat()) return std::nullopt;
  Directory* root = Dir(boot_.fatBits == 32 ? boot_.rootCluster : 0);
  if (!root) return std::nullopt;
  for (std::uint32_t i = 0; i < root->end; ++i) {
    const std::uint8_t* e = &root->bytes[std::size_t{i} * kEntry];
    if (e[0] != kDeleted && e[11] != kAttrLongName && (e[11] & kAttrLabel))
      return fatnames::VolumeLabelText(e, CP_ACP);
  }
  if (boot_.bootLabel.empty()) return std::string();
  return fatnames::VolumeLabelText(fatnames::VolumeLabelField(boot_.bootLabel).data(), CP_ACP);
}

bool FatVolume::SetLabel(std::string_view bytes) {
  if (!LoadFat()) return false;
  Directory* root = Dir(boot_.fatBits == 32 ? boot_.rootCluster : 0);
  if (!root) return false;
  const fatnames::ShortName field = fatnames::VolumeLabelField(bytes);
  const auto isLabel = [&](std::uint32_t i) {
    const std::uint8_t* e = &root->bytes[std::size_t{i} * kEntry];
    return e[0] != kDeleted && e[11] != kAttrLongName && (e[11] & kAttrLabel);
  };
  // A new label entry's place is found first: a full root leaves the label as it was.
  std::optional<std::uint32_t> at;
  std::uint32_t first = 0;
  while (first < root->end && !isLabel(first)) ++first;
  if (!bytes.empty() && first == root->end && !(at = FreeSlots(*root, 1))) return false;
  // The boot sector keeps a copy where it has the field (extended signature
  // 0x29), as does the FAT32 backup boot sector: the disk check compares them.
  const std::uint32_t bps = boot_.bytesPerSector;
  const std::size_t signature = boot_.fatBits == 32 ? 66 : 38;
  std::vector<std::uint8_t> sector(bps);
  std::vector<std::uint64_t> boots{0};
  if (boot_.fatBits == 32 && boot_.backupBootSector != 0 && boot_.backupBootSector < boot_.reservedSectors)
    boots.push_back(boot_.backupBootSector);
  for (const std::uint64_t lba : boots) {
    if (!ReadAt(lba * bps, sector.data(), bps)) return false;
    if (sector[signature] != 0x29 || sector[510] != 0x55 || sector[511] != 0xAA) continue;
    const fatnames::ShortName bootField = bytes.empty() ? fatnames::VolumeLabelField("NO NAME") : field;
    std::memcpy(&sector[signature + 5], bootField.data(), bootField.size());
    if (!WriteAt(lba * bps + signature + 5, &sector[signature + 5], bootField.size())) return false;
  }
  boot_.bootLabel = bytes;
  // One label entry in the root: the first is rewritten, any other removed.
  for (std::uint32_t i = first; i < root->end; ++i) {
    if (!isLabel(i)) continue;
    std::uint8_t* e = &root->bytes[std::size_t{i} * kEntry];
    if (i != first || bytes.empty()) {
      e[0] = kDeleted;
    } else {
      PutShortName(e, field);
      Stamp(e, false);
    }
    if (!WriteSlots(*root, i, 1)) return false;
  }
  if (!at) return true;
  std::uint8_t* e = &root->bytes[std::size_t{*at} * kEntry];
  std::memset(e, 0, kEntry);
  PutShortName(e, field);
  e[11] = kAttrLabel;
  Stamp(e, true);
  if (!WriteSlots(*root, *at, 1)) return false;
  if (*at == root->end) ++root->end;
  return true;
}

bool FatVolume::WriteSlots(Directory& dir, std::uint32_t first, std::uint32_t count) {
  std::uint64_t from = std::uint64_t{first} * kEntry;
  const std::uint64_t to = from + std::uint64_t{count} * kEntry;
  if (to > dir.bytes.size()) return Fail("entries past the end of their folder");
  while (from < to) {
    std::uint64_t disk = 0, room = 0;
    if (dir.cluster == 0) {
      disk = boot_.firstRootSector * boot_.bytesPerSector + from;
      room = to - from;
    } else {
      disk = ClusterOffset(dir.clusters[from / ClusterBytes()]) + from % ClusterBytes();
      room = ClusterBytes() - from % ClusterBytes();
    }
    const std::uint64_t n = std::min(room, to - from);
    if (!WriteAt(disk, &dir.bytes[from], n)) return false;
    from += n;
  }
  return true;
}

bool FatVolume::GrowDirectory(Directory& dir) {
  if (dir.cluster == 0) return Fail("the root folder is full");
  if ((dir.clusters.size() + 1) * ClusterBytes() > kMaxDirectorySlots * kEntry) return Fail("the folder is full");
  std::vector<std::uint32_t> added;
  if (!Allocate(1, added)) return false;
  const std::vector<std::uint8_t> zero(ClusterBytes(), 0);
  if (!WriteAt(ClusterOffset(added[0]), zero.data(), zero.size())) {
    Release(added);
    return false;
  }
  SetNext(dir.clusters.back(), added[0]);
  dir.clusters.push_back(added[0]);
  dir.bytes.resize(dir.bytes.size() + ClusterBytes(), 0);
  return true;
}

std::optional<std::uint32_t> FatVolume::FreeSlots(Directory& dir, std::uint32_t need) {
  const auto slots = [&] { return static_cast<std::uint32_t>(dir.bytes.size() / kEntry); };
  for (;;) {
    if (dir.end + need <= slots()) return dir.end;
    if (dir.cluster == 0 || (slots() + ClusterBytes() / kEntry) > kMaxDirectorySlots) {
      // No room at the end: a run of deleted entries will do.
      for (std::uint32_t i = 0, run = 0; i < dir.end; ++i) {
        run = dir.bytes[std::size_t{i} * kEntry] == kDeleted ? run + 1 : 0;
        if (run == need) return i + 1 - need;
      }
      Fail(dir.cluster == 0 ? "the root folder is full" : "the folder is full");
      return std::nullopt;
    }
    if (!GrowDirectory(dir)) return std::nullopt;
  }
}

bool FatVolume::AddEntry(Directory& dir, const std::u16string& name, std::uint8_t attributes, std::uint32_t cluster,
                         std::uint32_t size, Entry& made) {
  if (const std::string problem = fatnames::LongNameProblem(name); !problem.empty()) return BadName(problem);
  // Its short name: the name itself when it is a free 8.3 name, else a tail.
  // A free one must also not be what another entry's name answers to.
  const auto taken = [&](const fatnames::ShortName& candidate) {
    return dir.shortNames.contains(ShortKey(candidate)) ||
           dir.names.contains(fatnames::FoldName(fatnames::ShortNameAsName(candidate)));
  };
  const auto shortName = dir.allocator.Choose(name, taken);
  if (!shortName) return Fail("no short name left for the name");
  const fatnames::ShortNameBasis basis = fatnames::MakeShortNameBasis(name);
  const bool exact = basis.exact && *shortName == fatnames::ShortNameOf(basis.base, basis.ext);
  struct {
    bool needsLong;
    std::uint8_t caseFlags;
  } sn{!(exact && basis.caseKept), exact && basis.caseKept ? basis.caseFlags : std::uint8_t{0}};
  const auto longSlots = sn.needsLong ? static_cast<std::uint32_t>((name.size() + 12) / 13) : 0u;
  const std::uint32_t need = longSlots + 1;
  const std::optional<std::uint32_t> at = FreeSlots(dir, need);
  if (!at) return false;
  std::uint8_t* e = &dir.bytes[std::size_t{*at + longSlots} * kEntry];
  std::memset(e, 0, kEntry);
  PutShortName(e, *shortName);
  e[11] = attributes;
  e[12] = sn.caseFlags;
  SetStart(e, cluster);
  Put32(e + 28, size);
  Stamp(e, true);
  const std::uint8_t sum = LfnChecksum(e);
  for (std::uint32_t k = 0; k < longSlots; ++k) {
    const std::uint32_t order = longSlots - k;  // the last piece comes first
    std::uint8_t* l = &dir.bytes[std::size_t{*at + k} * kEntry];
    std::memset(l, 0, kEntry);
    l[0] = static_cast<std::uint8_t>(order | (k == 0 ? 0x40 : 0));
    l[11] = kAttrLongName;
    l[13] = sum;
    for (int j = 0; j < 13; ++j) {
      const std::size_t idx = std::size_t(order - 1) * 13 + j;
      const std::uint32_t unit = idx < name.size() ? name[idx] : idx == name.size() ? 0u : 0xFFFFu;
      Put16(l + kLongOffsets[j], unit);
    }
  }
  if (!WriteSlots(dir, *at, need)) return false;
  if (*at == dir.end) dir.end += need;
  dir.shortNames.insert(ShortKey(*shortName));
  made = Entry{*at + longSlots, *at};
  dir.names[fatnames::FoldName(name)] = made;
  dir.names.emplace(fatnames::FoldName(ShortText(e)), made);
  return true;
}

bool FatVolume::MakeFolder(std::string_view path, const std::string& origin) {
  Directory* parent = nullptr;
  std::u16string leaf;
  if (!Resolve(path, parent, leaf)) return false;
  if (auto it = parent->names.find(fatnames::FoldName(leaf)); it != parent->names.end()) {
    // Folders of one name merge; their files are checked one by one.
    if (parent->bytes[std::size_t{it->second.slot} * kEntry + 11] & kAttrDirectory) return true;
    if (auto w = written_.find(EntryKey(*parent, it->second.slot)); w != written_.end())
      return Fail(fatnames::NameClashText(origin, w->second.source));
    return Fail("a file has the folder's name");
  }
  std::vector<std::uint32_t> cluster;
  if (!Allocate(1, cluster)) return false;
  std::vector<std::uint8_t> bytes(ClusterBytes(), 0);
  const std::uint32_t parentCluster = parent->cluster == (boot_.fatBits == 32 ? boot_.rootCluster : 0) ? 0 : parent->cluster;
  for (int k = 0; k < 2; ++k) {
    std::uint8_t* e = &bytes[k * kEntry];
    std::memset(e, ' ', 11);
    e[0] = '.';
    if (k == 1) e[1] = '.';
    e[11] = kAttrDirectory;
    SetStart(e, k == 0 ? cluster[0] : parentCluster);
    Stamp(e, true);
  }
  Entry made;
  if (!WriteAt(ClusterOffset(cluster[0]), bytes.data(), bytes.size()) ||
      !AddEntry(*parent, leaf, kAttrDirectory, cluster[0], 0, made)) {
    Release(cluster);
    return false;
  }
  written_[EntryKey(*parent, made.slot)] = Origin{origin, 0, 0};
  return true;
}

bool FatVolume::CopyFile(const std::string& source, std::string_view path, bool failIfExists) {
  Directory* parent = nullptr;
  std::u16string leaf;
  if (!Resolve(path, parent, leaf)) return false;
  if (const std::string problem = fatnames::LongNameProblem(leaf); !problem.empty()) return BadName(problem);
  // Non-blocking, so that a pipe given as a file is refused instead of waited on.
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return Fail(std::string("the file cannot be read: ") + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{in};
  struct stat st {};
  if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) return Fail("not a regular file");
  if (static_cast<std::uint64_t>(st.st_size) > 0xFFFFFFFFull) return Fail("the file is larger than FAT allows (4 GiB)");
  const auto size = static_cast<std::uint32_t>(st.st_size);

  const Origin origin{source, static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};

  std::optional<Entry> existing;
  if (auto it = parent->names.find(fatnames::FoldName(leaf)); it != parent->names.end()) {
    const std::uint8_t* e = &parent->bytes[std::size_t{it->second.slot} * kEntry];
    // What this object wrote from another source stays: the later source fails.
    const auto w = written_.find(EntryKey(*parent, it->second.slot));
    const bool sameFile = w != written_.end() && w->second.device == origin.device && w->second.inode == origin.inode &&
                          origin.inode != 0;
    if (w != written_.end() && !sameFile) return Fail(fatnames::NameClashText(source, w->second.source));
    if (e[11] & kAttrDirectory) return Fail("a folder has the file's name");
    if (failIfExists) return Fail("the file exists already");
    if (e[11] & kAttrReadOnly) return Fail("the file on the disk is read-only");
    existing = it->second;
  }
  const std::uint32_t need = static_cast<std::uint32_t>((std::uint64_t{size} + ClusterBytes() - 1) / ClusterBytes());
  std::uint32_t reusable = 0;
  std::vector<std::uint32_t> oldChain;
  if (existing) {
    const std::uint32_t start = StartOf(&parent->bytes[std::size_t{existing->slot} * kEntry], boot_.fatBits);
    if (start != 0 && !Chain(start, oldChain)) return false;
    reusable = static_cast<std::uint32_t>(oldChain.size());
  }
  if (!LoadFat()) return false;
  if (need > freeCount_ + reusable) return Fail("the disk is full");

  // The old content goes first (its room may be needed); from here on a failure
  // leaves the old entry removed rather than pointing at freed clusters.
  auto dropOld = [&] {
    if (!existing) return;
    for (std::uint32_t s = existing->firstSlot; s <= existing->slot; ++s) parent->bytes[std::size_t{s} * kEntry] = kDeleted;
    WriteSlots(*parent, existing->firstSlot, existing->slot - existing->firstSlot + 1);
    for (auto it = parent->names.begin(); it != parent->names.end();)
      it = it->second.slot == existing->slot ? parent->names.erase(it) : std::next(it);
    written_.erase(EntryKey(*parent, existing->slot));
  };
  Release(oldChain);
  std::vector<std::uint32_t> clusters;
  if (!Allocate(need, clusters)) {
    dropOld();
    return false;
  }
  auto failData = [&](std::string why) {
    Release(clusters);
    dropOld();
    return Fail(std::move(why));
  };
  std::vector<std::uint8_t> buffer(std::min<std::size_t>(kCopyBuffer, std::max<std::size_t>(size, 1)));
  std::uint64_t done = 0;
  for (std::size_t i = 0; i < clusters.size();) {
    std::size_t j = i + 1;  // a run of consecutive clusters is written in big pieces
    while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1) ++j;
    std::uint64_t disk = ClusterOffset(clusters[i]);
    std::uint64_t left = std::min<std::uint64_t>(std::uint64_t{j - i} * ClusterBytes(), size - done);
    while (left > 0) {
      const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
      std::size_t got = 0;
      while (got < chunk) {
        const ssize_t n = ::read(in, buffer.data() + got, chunk - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failData(std::string("the file cannot be read: ") + std::strerror(errno));
        if (n == 0) return failData("the file cannot be read: it became shorter while it was copied");
        got += static_cast<std::size_t>(n);
      }
      if (!WriteAt(disk, buffer.data(), chunk)) return failData(error_);
      disk += chunk;
      left -= chunk;
      done += chunk;
    }
    i = j;
  }
  const std::uint32_t start = clusters.empty() ? 0 : clusters[0];
  if (existing) {
    std::uint8_t* e = &parent->bytes[std::size_t{existing->slot} * kEntry];
    SetStart(e, start);
    Put32(e + 28, size);
    e[11] = static_cast<std::uint8_t>(e[11] | kAttrArchive);
    Stamp(e, false);
    if (!WriteSlots(*parent, existing->slot, 1)) return failData(error_);
    written_[EntryKey(*parent, existing->slot)] = origin;
    return true;
  }
  Entry made;
  if (!AddEntry(*parent, leaf, kAttrArchive, start, size, made)) {
    const std::string why = error_;
    Release(clusters);
    return Fail(why);
  }
  written_[EntryKey(*parent, made.slot)] = origin;
  return true;
}

bool FatVolume::Flush() {
  if (!fatLoaded_ || readOnly_) return true;
  const std::uint32_t bps = boot_.bytesPerSector;
  bool ok = true, changed = false;
  for (std::uint32_t s = 0; s < dirtyFatSectors_.size(); ++s) {
    if (!dirtyFatSectors_[s]) continue;
    for (std::uint32_t k = 0; k < boot_.fatCount; ++k)
      ok = WriteAt((std::uint64_t{boot_.reservedSectors} + std::uint64_t{k} * boot_.fatSectors + s) * bps,
                   &fat_[std::size_t{s} * bps], bps) && ok;
    dirtyFatSectors_[s] = false;
    changed = true;
  }
  // The free count follows the FAT's changes; a volume only looked at is left as it was.
  if (changed && boot_.fatBits == 32 && boot_.fsInfoSector != 0 && boot_.fsInfoSector < boot_.reservedSectors) {
    std::vector<std::uint8_t> info(bps);
    if (ReadAt(std::uint64_t{boot_.fsInfoSector} * bps, info.data(), bps) && Le32(&info[0]) == 0x41615252 &&
        Le32(&info[484]) == 0x61417272) {
      Put32(&info[488], freeCount_);
      Put32(&info[492], nextFree_);
      ok = WriteAt(std::uint64_t{boot_.fsInfoSector} * bps, info.data(), bps) && ok;
    }
  }
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISBLK(st.st_mode)) ok = ::fdatasync(fd_) == 0 && ok;
  return ok;
}

}  // namespace platform

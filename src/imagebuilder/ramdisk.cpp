#include "imagebuilder/ramdisk.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

namespace imagebuilder {

RamDisk::~RamDisk() { RamDiskFree(); }

bool RamDisk::Fail(std::string text) {
  error_ = std::move(text);
  return false;
}

bool RamDisk::RamDiskInit(std::uint32_t sectorSize) {
  if (initialised_) return true;
  if (sectorSize == 0 || kRamDiskChunkBytes % sectorSize != 0)
    return Fail("sector size " + std::to_string(sectorSize) + " does not divide the chunk size");
  // Chunks kept after a save were sized for the previous sector size.
  RamDiskFree();
  error_.clear();
  sectorSize_ = sectorSize;
  sectorsPerChunk_ = kRamDiskChunkBytes / sectorSize;
  slabSectors_ = sectorSize >= kSlabBytes ? 1 : kSlabBytes / sectorSize;
  initialised_ = true;
  RamDiskAddChunk(0);
  return true;
}

int RamDisk::RamDiskAddChunk(std::uint32_t lba) {
  if (sectorsPerChunk_ == 0) {
    Fail("the sector store is not initialised");
    return -1;
  }
  if (count_ >= kRamDiskMaxChunks) {
    Fail("the sector store is full (" + std::to_string(kRamDiskMaxChunks) + " chunks)");
    return -1;
  }
  if (lba == kNoLba) {
    Fail("sector address out of range");
    return -1;
  }
  auto* sectors = static_cast<std::uint32_t*>(std::calloc(sectorsPerChunk_, sizeof(std::uint32_t)));
  auto* dirty = static_cast<std::uint8_t*>(std::calloc(sectorsPerChunk_, 1));
  if (sectors == nullptr || dirty == nullptr) {
    std::free(sectors);
    std::free(dirty);
    Fail("out of memory for the sector store");
    return -1;
  }
  RamDiskChunk& chunk = chunks_[count_];
  chunk.sectors = sectors;
  chunk.dirty = dirty;
  chunk.firstLba = lba;
  const std::uint64_t last = std::uint64_t{lba} + sectorsPerChunk_ - 1;
  chunk.lastLba = static_cast<std::uint32_t>(last >= kNoLba ? kNoLba - 1 : last);
  // lba itself lies in no chunk, so every chunk the new range runs into starts
  // above lba: end just before the nearest of them.
  for (std::uint32_t i = 0; i < count_; ++i) {
    const RamDiskChunk& other = chunks_[i];
    if (other.firstLba > lba && other.firstLba <= chunk.lastLba) chunk.lastLba = other.firstLba - 1;
  }
  return static_cast<int>(count_++);
}

bool RamDisk::RamDiskLookup(std::uint32_t lba, RamDiskChunk*& chunk, std::uint32_t& index) {
  if (lastHit_ < count_) {
    RamDiskChunk& hit = chunks_[lastHit_];
    if (lba >= hit.firstLba && lba <= hit.lastLba) {
      chunk = &hit;
      index = lba - hit.firstLba;
      return true;
    }
  }
  for (std::uint32_t i = 0; i < count_; ++i) {
    RamDiskChunk& c = chunks_[i];
    if (lba >= c.firstLba && lba <= c.lastLba) {
      lastHit_ = i;
      chunk = &c;
      index = lba - c.firstLba;
      return true;
    }
  }
  const int added = RamDiskAddChunk(lba);
  if (added < 0) return false;
  lastHit_ = static_cast<std::uint32_t>(added);
  chunk = &chunks_[lastHit_];
  index = 0;
  return true;
}

std::uint8_t* RamDisk::SectorStorage(RamDiskChunk& chunk, std::uint32_t index) {
  if (chunk.sectors[index] != 0) {
    const std::uint32_t slot = chunk.sectors[index] - 1;
    return slabs_[slot / slabSectors_] + std::size_t{slot % slabSectors_} * sectorSize_;
  }
  const std::uint32_t perSlab = slabSectors_;
  if (stored_ == 0xFFFFFFFEu) {
    Fail("the sector store is full");
    return nullptr;
  }
  if (stored_ / perSlab >= slabs_.size()) {
    // Mapped directly so that a discarded volume's memory goes back at once.
    void* mapped = ::mmap(nullptr, std::size_t{slabSectors_} * sectorSize_, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    auto* slab = mapped == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(mapped);
    if (slab == nullptr) {
      Fail("out of memory for the sector store");
      return nullptr;
    }
    slabs_.push_back(slab);
  }
  const std::uint32_t slot = stored_++;
  chunk.sectors[index] = slot + 1;
  return slabs_[slot / perSlab] + std::size_t{slot % perSlab} * sectorSize_;
}

const std::uint8_t* RamDisk::SectorData(const RamDiskChunk& chunk, std::uint32_t index) const {
  if (chunk.sectors == nullptr || chunk.sectors[index] == 0) return nullptr;
  const std::uint32_t slot = chunk.sectors[index] - 1;
  return slabs_[slot / slabSectors_] + std::size_t{slot % slabSectors_} * sectorSize_;
}

bool RamDisk::RangeIsValid(std::uint32_t lba, std::uint32_t count) {
  if (std::uint64_t{lba} + count > kNoLba) return Fail("sector address out of range");
  return true;
}

std::uint8_t* RamDisk::SectorAt(std::uint32_t lba, RamDiskChunk*& chunk, std::uint32_t& index) {
  chunk = nullptr;
  index = 0;
  if (!RamDiskLookup(lba, chunk, index)) return nullptr;
  return SectorStorage(*chunk, index);
}

bool RamDisk::RamDiskWrite(std::uint32_t lba, std::uint32_t count, const std::uint8_t* buffer) {
  if (count == 0) return true;
  if (!RangeIsValid(lba, count)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    RamDiskChunk* chunk;
    std::uint32_t index;
    std::uint8_t* sector = SectorAt(lba + i, chunk, index);
    if (sector == nullptr) return false;
    std::memcpy(sector, buffer + std::size_t{i} * sectorSize_, sectorSize_);
    chunk->dirty[index] = 1;
  }
  return true;
}

bool RamDisk::RamDiskRead(std::uint32_t lba, std::uint32_t count, std::uint8_t* buffer) {
  if (count == 0) return true;
  if (!RangeIsValid(lba, count)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    RamDiskChunk* chunk;
    std::uint32_t index;
    std::uint8_t* sector = SectorAt(lba + i, chunk, index);
    if (sector == nullptr) return false;
    if (chunk->dirty[index] == 0) {
      // A sector that is read becomes part of the volume, as zeros (it may hold
      // content of an earlier save that is no longer marked).
      std::memset(sector, 0, sectorSize_);
      chunk->dirty[index] = 1;
    }
    std::memcpy(buffer + std::size_t{i} * sectorSize_, sector, sectorSize_);
  }
  return true;
}

void RamDisk::RamDiskFree() {
  for (RamDiskChunk& chunk : chunks_) {
    std::free(chunk.sectors);
    std::free(chunk.dirty);
    chunk = RamDiskChunk{};
  }
  for (std::uint8_t* slab : slabs_) ::munmap(slab, std::size_t{slabSectors_} * sectorSize_);
  slabs_.clear();
  stored_ = 0;
  count_ = 0;
  lastHit_ = 0;
}

std::uint64_t RamDisk::DirtySectorCount() const {
  std::uint64_t n = 0;
  for (std::uint32_t i = 0; i < count_; ++i) {
    const RamDiskChunk& c = chunks_[i];
    const std::uint64_t sectors = std::uint64_t{c.lastLba} - c.firstLba + 1;
    for (std::uint64_t s = 0; s < sectors; ++s) n += c.dirty[s];
  }
  return n;
}

}  // namespace imagebuilder

#include "imagebuilder/ramdisk.h"

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
  // calloc leaves large blocks to the kernel's zero pages: memory is taken only
  // as sectors are written.
  auto* data = static_cast<std::uint8_t*>(std::calloc(kRamDiskChunkBytes, 1));
  auto* dirty = static_cast<std::uint8_t*>(std::calloc(sectorsPerChunk_, 1));
  if (data == nullptr || dirty == nullptr) {
    std::free(data);
    std::free(dirty);
    Fail("out of memory for the sector store");
    return -1;
  }
  RamDiskChunk& chunk = chunks_[count_];
  chunk.data = data;
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

bool RamDisk::RamDiskWrite(std::uint32_t lba, std::uint32_t count, const std::uint8_t* buffer) {
  if (count == 0) return true;
  if (std::uint64_t{lba} + count > kNoLba) return Fail("sector address out of range");
  for (std::uint32_t i = 0; i < count; ++i) {
    RamDiskChunk* chunk = nullptr;
    std::uint32_t index = 0;
    if (!RamDiskLookup(lba + i, chunk, index)) return false;
    std::memcpy(chunk->data + std::size_t{index} * sectorSize_, buffer + std::size_t{i} * sectorSize_, sectorSize_);
    chunk->dirty[index] = 1;
  }
  return true;
}

bool RamDisk::RamDiskRead(std::uint32_t lba, std::uint32_t count, std::uint8_t* buffer) {
  if (count == 0) return true;
  if (std::uint64_t{lba} + count > kNoLba) return Fail("sector address out of range");
  for (std::uint32_t i = 0; i < count; ++i) {
    RamDiskChunk* chunk = nullptr;
    std::uint32_t index = 0;
    if (!RamDiskLookup(lba + i, chunk, index)) return false;
    std::uint8_t* sector = chunk->data + std::size_t{index} * sectorSize_;
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
    std::free(chunk.data);
    std::free(chunk.dirty);
    chunk = RamDiskChunk{};
  }
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

// The image builder's sector store: a sparse in-memory disk that takes memory
// in 8 MiB chunks only where sectors are touched and remembers which sectors
// belong to the volume, plus the writer of the "Q4X1 IMG" container file that
// holds those sectors, one slot per sector size.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace imagebuilder {

// Called during long loops (per sector saved, per sector of file data, per
// host entry) so that a window can keep itself responsive or animate progress.
using ProgressCallback = std::function<void()>;

constexpr std::uint32_t kRamDiskChunkBytes = 8u << 20;  // 8 MiB of sectors per chunk
constexpr std::uint32_t kRamDiskMaxChunks = 1024;       // so at most 8 GiB of sectors
constexpr std::uint32_t kNoLba = 0xFFFFFFFFu;           // first/last LBA of a freed chunk

// A chunk covers up to 8 MiB of sectors. Sector contents live packed in the
// store's slabs, taken as sectors are first written (or read), so memory
// follows the sectors touched rather than the address range covered.
struct RamDiskChunk {
  std::uint32_t* sectors = nullptr;  // per sector: 0 = no content yet, else 1 + slab slot
  std::uint8_t* dirty = nullptr;     // per sector: 1 = part of the volume's content
  std::uint32_t firstLba = kNoLba;
  std::uint32_t lastLba = kNoLba;  // inclusive
};

// Container file: a 512-byte header, then per slot `records` of {LBA, sector}.
// All integers are unsigned 32-bit little-endian.
constexpr char kImageMagic[9] = "Q4X1 IMG";  // eight characters and a NUL at offset 0
constexpr std::uint32_t kImageHeaderSize = 512;
constexpr std::uint32_t kImageSizeMiBOffset = 12;
constexpr std::uint32_t kImageSlotCount = 2;
// Slot descriptor at 16 + 16 x slot: sector size, data offset, record count.
constexpr std::uint32_t ImageSlotDescriptorOffset(std::uint32_t slot) { return 16 + 16 * slot; }

// A temporary name beside `path` for assembling a container: hidden, and
// unique within the process.
std::string ImageTemporaryName(const std::string& path);

class RamDisk {
 public:
  RamDisk() = default;
  ~RamDisk();
  RamDisk(const RamDisk&) = delete;
  RamDisk& operator=(const RamDisk&) = delete;

  // While initialised this changes nothing (not even the sector size) and
  // returns true. Otherwise it drops whatever a previous volume left (so no
  // structure sized for another sector size is reused), takes the sector size
  // and creates chunk 0 at LBA 0. False for a size that does not divide 8 MiB.
  bool RamDiskInit(std::uint32_t sectorSize);
  // Creates a chunk starting at lba, clipped to end before the next chunk
  // above it; the new chunk's table index, or -1 (table full, no memory).
  int RamDiskAddChunk(std::uint32_t lba);
  // The chunk holding lba and the sector's index in it, adding a chunk that
  // starts at lba when none holds it. False when that fails.
  bool RamDiskLookup(std::uint32_t lba, RamDiskChunk*& chunk, std::uint32_t& index);
  // Sector-by-sector copies; false at the first sector that cannot be stored
  // (earlier sectors stay written). Reading an untouched sector makes it a
  // zero sector of the volume.
  bool RamDiskWrite(std::uint32_t lba, std::uint32_t count, const std::uint8_t* buffer);
  bool RamDiskRead(std::uint32_t lba, std::uint32_t count, std::uint8_t* buffer);
  // Frees every chunk; the initialised flag is left as it is.
  void RamDiskFree();
  // Bracket the format; nothing to lock in a single-threaded store.
  void RamDiskLock() {}
  void RamDiskUnlock() {}

  // Writes the marked sectors as slot `slot` (0 or 1) of the container at
  // `path`: slot 0 makes a new file (header with sizeMiB), slot 1 appends to an
  // existing container. The file is assembled under a temporary name beside
  // `path` and renamed over it only when every write succeeded, so a failure
  // leaves the earlier file untouched. On success every dirty byte is cleared.
  bool ImageSaveSlot(const std::string& path, std::uint32_t slot, std::uint32_t sizeMiB);
  // Writes the marked sectors as slot `slot` into the open container file
  // `fd` (`name` for messages): slot 0 starts the file with its header, a
  // later slot is appended. On success every dirty byte is cleared.
  bool ImageWriteSlot(int fd, const std::string& name, std::uint32_t slot, std::uint32_t sizeMiB);
  // Closes the finished temporary file and renames it over `path`; on
  // failure the temporary file is removed and `path` is left as it was.
  bool ImageCommit(int fd, const std::string& temp, const std::string& path);
  // Lets the next RamDiskInit take a new sector size; the chunks stay.
  void ClearInitialised() { initialised_ = false; }

  bool Initialised() const { return initialised_; }
  std::uint32_t SectorSize() const { return sectorSize_; }
  std::uint32_t SectorsPerChunk() const { return sectorsPerChunk_; }
  std::uint32_t ChunkCount() const { return count_; }
  const RamDiskChunk& Chunk(std::uint32_t index) const { return chunks_[index]; }
  // Number of sectors currently marked as the volume's content.
  std::uint64_t DirtySectorCount() const;
  // The stored content of a chunk's sector; null when it has none.
  const std::uint8_t* SectorData(const RamDiskChunk& chunk, std::uint32_t index) const;
  // Bytes of sector content held (what the store costs beyond its maps).
  std::uint64_t StoredBytes() const { return std::uint64_t{stored_} * sectorSize_; }

  void SetProgressCallback(ProgressCallback callback) { progress_ = std::move(callback); }
  // What the last failed operation ran into (empty when nothing failed).
  const std::string& LastError() const { return error_; }

 private:
  bool Fail(std::string text);
  // The content of a chunk's sector, taking a slab slot for it first when it has none.
  std::uint8_t* SectorStorage(RamDiskChunk& chunk, std::uint32_t index);
  // The storage of one sector by address, with its chunk and index; null on failure.
  std::uint8_t* SectorAt(std::uint32_t lba, RamDiskChunk*& chunk, std::uint32_t& index);
  // Whether count sectors from lba lie inside the address range (records a failure when not).
  bool RangeIsValid(std::uint32_t lba, std::uint32_t count);
  void Progress() const {
    if (progress_) progress_();
  }

  std::array<RamDiskChunk, kRamDiskMaxChunks> chunks_{};
  std::uint32_t count_ = 0;
  std::uint32_t sectorSize_ = 0;
  std::uint32_t sectorsPerChunk_ = 0;
  bool initialised_ = false;
  std::uint32_t lastHit_ = 0;  // chunk of the last lookup, tried first (chunks never overlap)
  static constexpr std::uint32_t kSlabBytes = 1u << 20;
  std::vector<std::uint8_t*> slabs_;  // slabSectors_ sectors each
  std::uint32_t slabSectors_ = 0;
  std::uint32_t stored_ = 0;  // slab slots in use
  ProgressCallback progress_;
  std::string error_;
};

}  // namespace imagebuilder

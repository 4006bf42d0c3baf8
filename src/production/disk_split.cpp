// The disk split: switching the device to its second disk, packing the
// hidden-file list into the raw hidden-file area, and writing a disk image
// file (raw FAT volume or the image tool's container) onto the hidden disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#include "device/commands.h"
#include "platform/files/open_file.h"
#include "production/file_send.h"
#include "production/product_thread.h"

namespace production {

namespace {

constexpr std::uint32_t kPieceBytes = 32768;
constexpr std::uint32_t kHiddenRows = 31;
// No disk's block is longer than one piece of the image write; a longer
// answer is refused before it sizes a buffer.
constexpr std::uint32_t kMaxBlockLength = kPieceBytes;

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A regular file opened read-only (a FIFO is refused, never waited on),
// closed with its scope.
struct ReadOnlyFile {
  explicit ReadOnlyFile(const std::string& path) : fd(platform::OpenRegularFile(path, O_RDONLY)) {}
  ~ReadOnlyFile() {
    if (fd >= 0) ::close(fd);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  // Size of a regular file; empty for anything else.
  std::optional<std::uint64_t> Size() const {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
  }
  // Reads up to n bytes at offset; the count read, or -1.
  long long ReadAt(std::uint64_t offset, void* data, std::size_t n) const {
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::pread(fd, static_cast<char*>(data) + got, n - got, static_cast<off_t>(offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return -1;
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    return static_cast<long long>(got);
  }
  int fd;
};

struct Capacity {
  std::uint64_t sectors = 0;
  std::uint32_t blockLength = 0;
};
std::optional<Capacity> ReadCapacity(HANDLE h) {
  std::uint32_t lastLba = 0, blockLength = 0;
  if (h == INVALID_HANDLE_VALUE || !device::cmd_bReadCapacity(h, &lastLba, &blockLength) || lastLba == 0 ||
      blockLength < 512 || blockLength > kMaxBlockLength)
    return std::nullopt;
  return Capacity{std::uint64_t{lastLba} + 1, blockLength};
}

}  // namespace

bool ChangeToHiddenDisk(HANDLE h) { return device::cmd_bChangeToHiddenDisk(h) != 0; }

bool StopDeviceUnit(HANDLE h) { return device::cmd_bStopUnit(h) != 0; }

bool ProductThread::WriteHiddenFiles(int /*gaugeStart*/, int /*gaugeEnd*/) {
  const auto capacity = ReadCapacity(hDevice);
  if (!capacity) return false;
  const std::uint32_t sector = capacity->blockLength;
  std::vector<std::uint8_t> header(sector, 0);
  std::memcpy(header.data(), "ZOQQ471K5206", 12);
  std::vector<std::uint8_t> buffer(sector);
  // One sector of the area; the device must take it (a refusal is logged).
  const auto WriteSector = [&](std::uint8_t* data, std::uint64_t at) {
    return SendKept(hDevice, "hidden-file area", [&](device::Refusal* r) {
      return device::cmd_bWrite10(hDevice, data, sector, static_cast<std::uint32_t>(at), 1, r);
    });
  };

  const std::vector<std::string> files = Window.HiddenDiskFiles();
  std::uint64_t next = 1;
  for (std::uint32_t i = 0; i < files.size() && i < kHiddenRows; ++i) {
    // A missing entry (or a folder) gets no sectors and its row stays zero;
    // a file that is there but cannot be read fails the area.
    struct stat st {};
    if (::stat(files[i].c_str(), &st) != 0 ? errno == ENOENT || errno == ENOTDIR : S_ISDIR(st.st_mode)) continue;
    ReadOnlyFile file(files[i]);
    const auto size = file.Size();
    if (!size) return false;
    const std::uint64_t sectors = (*size + sector - 1) / sector;
    if (*size > std::numeric_limits<std::uint32_t>::max() || next + sectors > capacity->sectors) return false;
    std::uint8_t* row = &header[16 + 16 * i];
    Put32(row, i);
    Put32(row + 4, static_cast<std::uint32_t>(next));
    Put32(row + 8, static_cast<std::uint32_t>(*size));
    for (std::uint64_t done = 0; done < *size; done += sector, ++next) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sector, *size - done));
      std::fill(buffer.begin(), buffer.end(), 0);
      if (file.ReadAt(done, buffer.data(), want) != static_cast<long long>(want)) return false;
      if (!WriteSector(buffer.data(), next)) return false;
    }
  }
  return WriteSector(header.data(), 0);
}

std::uint64_t ProductThread::GetImageFileSize(const std::string& imagePath) {
  const auto size = ReadOnlyFile(imagePath).Size();
  ImageSize = size ? *size : std::numeric_limits<std::uint64_t>::max();
  return ImageSize;
}

bool ProductThread::WriteImageFile(char /*driveLetter*/, const std::string& imagePath, int gaugeStart,
                                   int gaugeEnd) {
  if (Gauge) Gauge->SetProgress(gaugeStart);
  ReadOnlyFile file(imagePath);
  const auto fileSize = file.Size();
  if (!fileSize) return false;
  auto imageError = [this] {
    ShowFailure(Msg("IMG file error!"));
    return false;
  };
  if (*fileSize == 0) return imageError();
  // The image must be made for the sector unit of the configuration (byte 64),
  // which is also the block length WRITE(10) addresses: a device answering
  // another block length would put every sector at the wrong place.
  const auto capacity = ReadCapacity(hDevice);
  const auto unit = static_cast<std::uint32_t>(SectorUnit);
  if (!capacity || (unit != 512 && unit != 1024) || capacity->blockLength != unit) return false;
  std::uint8_t head[512] = {};
  if (file.ReadAt(0, head, sizeof head) < 16) return imageError();

  std::vector<std::uint8_t> buffer(kPieceBytes);
  // After write k: its number in the status, the gauge at done / total of the way.
  auto progress = [&](std::uint64_t k, std::uint64_t done, std::uint64_t total) {
    ShowStatus("iSectorUsed:" + std::to_string(k), platform::ui::clRed);
    if (Gauge) Gauge->SetProgress(gaugeStart + static_cast<int>((gaugeEnd - gaugeStart) * static_cast<long long>(done) / static_cast<long long>(total)));
  };

  if (*fileSize >= sizeof head && std::memcmp(head, "Q4X1 IMG", 9) == 0) {
    // The image tool's container: the records of the slot made for this sector size.
    int slot = -1;
    for (int s = 0; s < 2; ++s)
      if (Le32(head + 16 + 16 * s) == unit) slot = s;
    if (slot < 0) return imageError();
    const std::uint64_t offset = Le32(head + 20 + 16 * slot), count = Le32(head + 24 + 16 * slot);
    const std::uint64_t record = 4 + std::uint64_t{unit};
    ImageSize = std::uint64_t{Le32(head + 12)} << 20;
    if (ImageSize == 0 || offset < sizeof head || offset + count * record > *fileSize) return imageError();
    if (ImageSize / unit > capacity->sectors) return false;
    // Records with consecutive addresses go out together, up to one piece.
    const std::uint32_t perPiece = std::max<std::uint32_t>(1, kPieceBytes / unit);
    buffer.resize(std::size_t{perPiece} * unit);
    std::uint64_t k = 0;
    for (std::uint64_t r = 0; r < count;) {
      std::uint32_t first = 0, n = 0;
      for (; r < count && n < perPiece; ++r, ++n) {
        std::uint8_t lba[4];
        if (file.ReadAt(offset + r * record, lba, 4) != 4) return imageError();
        if (n > 0 && Le32(lba) != first + n) break;
        if (n == 0) first = Le32(lba);
        if (std::uint64_t{first} + n >= capacity->sectors) return false;
        if (file.ReadAt(offset + r * record + 4, &buffer[std::size_t{n} * unit], unit) != unit) return imageError();
      }
      if (!device::cmd_bWrite10(hDevice, buffer.data(), unit, first, n)) return false;
      progress(k++, r, count);
    }
    return true;
  }

  // A raw volume: its boot sector names the sector size.
  const std::uint32_t sectorSize = head[11] | head[12] << 8;
  if ((sectorSize != 512 && sectorSize != 1024) || sectorSize != unit) return false;
  const std::uint64_t imageSectors = (*fileSize + sectorSize - 1) / sectorSize;
  if (imageSectors > capacity->sectors) return false;
  const std::uint32_t perPiece = kPieceBytes / sectorSize;
  const std::uint64_t pieces = (*fileSize + kPieceBytes - 1) / kPieceBytes;
  for (std::uint64_t k = 0; k < pieces; ++k) {
    std::fill(buffer.begin(), buffer.end(), 0);
    if (file.ReadAt(k * kPieceBytes, buffer.data(), kPieceBytes) < 0) return false;
    // The last piece is zero-padded, as far as the disk reaches.
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(perPiece, capacity->sectors - k * perPiece));
    if (!device::cmd_bWrite10(hDevice, buffer.data(), sectorSize, static_cast<std::uint32_t>(k * perPiece), count))
      return false;
    progress(k, k + 1, pieces);
  }
  return true;
}

}  // namespace production

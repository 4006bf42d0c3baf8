// Saving the sector store as one slot of a "Q4X1 IMG" container file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "imagebuilder/ramdisk.h"

namespace imagebuilder {
namespace {

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::string ErrnoText() { return std::strerror(errno); }

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool PwriteAll(int fd, const std::uint8_t* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool ReadAll(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies the whole of `from` (already at offset 0) to `to`.
bool CopyAll(int from, int to, off_t size) {
  std::vector<std::uint8_t> buffer(1 << 20);
  for (off_t done = 0; done < size;) {
    const std::size_t want = static_cast<std::size_t>(std::min<off_t>(size - done, static_cast<off_t>(buffer.size())));
    if (!ReadAll(from, buffer.data(), want) || !WriteAll(to, buffer.data(), want)) return false;
    done += static_cast<off_t>(want);
  }
  return true;
}

}  // namespace

std::string ImageTemporaryName(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  // Hidden (leading dot), so that a walk of a folder holding the output passes it over.
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return folder + "." + name + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

bool RamDisk::ImageWriteSlot(int fd, const std::string& name, std::uint32_t slot, std::uint32_t sizeMiB) {
  if (slot >= kImageSlotCount) return Fail("slot " + std::to_string(slot) + " does not exist in an image file");
  if (sectorSize_ == 0) return Fail("nothing to save: the sector store holds no volume");
  std::uint64_t dataOffset = kImageHeaderSize;
  if (slot == 0) {
    std::uint8_t header[kImageHeaderSize] = {};
    std::memcpy(header, kImageMagic, sizeof kImageMagic);
    PutLe32(header + kImageSizeMiBOffset, sizeMiB);
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0 || !WriteAll(fd, header, sizeof header))
      return Fail("cannot write " + name + ": " + ErrnoText());
  } else {
    // A later slot is appended to what the earlier slots wrote.
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < static_cast<off_t>(kImageHeaderSize)) return Fail(name + " holds no earlier slot");
    dataOffset = static_cast<std::uint64_t>(end);
  }
  if (dataOffset > 0xFFFFFFFFu) return Fail(name + " is too large for another slot (4 GiB offset limit)");

  // Records in chunk creation order, ascending LBA within a chunk.
  const std::size_t recordSize = 4 + std::size_t{sectorSize_};
  std::vector<std::uint8_t> out;
  out.reserve(std::max<std::size_t>(recordSize, 4u << 20));
  std::uint64_t records = 0;
  for (std::uint32_t c = 0; c < count_; ++c) {
    const RamDiskChunk& chunk = chunks_[c];
    const std::uint32_t sectors = chunk.lastLba - chunk.firstLba + 1;
    for (std::uint32_t i = 0; i < sectors; ++i) {
      Progress();
      if (chunk.dirty[i] == 0) continue;
      if (out.size() + recordSize > out.capacity()) {
        if (!WriteAll(fd, out.data(), out.size())) return Fail("cannot write " + name + ": " + ErrnoText());
        out.clear();
      }
      const std::size_t at = out.size();
      out.resize(at + recordSize);
      PutLe32(out.data() + at, chunk.firstLba + i);
      std::memcpy(out.data() + at + 4, SectorData(chunk, i), sectorSize_);
      ++records;
    }
  }
  if (!out.empty() && !WriteAll(fd, out.data(), out.size())) return Fail("cannot write " + name + ": " + ErrnoText());
  if (records > 0xFFFFFFFFu) return Fail("too many sectors for one slot");

  std::uint8_t descriptor[12];
  PutLe32(descriptor, sectorSize_);
  PutLe32(descriptor + 4, static_cast<std::uint32_t>(dataOffset));
  PutLe32(descriptor + 8, static_cast<std::uint32_t>(records));
  if (!PwriteAll(fd, descriptor, sizeof descriptor, ImageSlotDescriptorOffset(slot)))
    return Fail("cannot write " + name + ": " + ErrnoText());
  for (std::uint32_t c = 0; c < count_; ++c)
    std::memset(chunks_[c].dirty, 0, chunks_[c].lastLba - chunks_[c].firstLba + 1);
  error_.clear();
  return true;
}

bool RamDisk::ImageSaveSlot(const std::string& path, std::uint32_t slot, std::uint32_t sizeMiB) {
  if (slot >= kImageSlotCount) return Fail("slot " + std::to_string(slot) + " does not exist in an image file");
  if (sectorSize_ == 0) return Fail("nothing to save: the sector store holds no volume");

  const std::string temp = ImageTemporaryName(path);
  const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return Fail("cannot create " + temp + ": " + ErrnoText());
  auto abandon = [&](std::string text) {
    ::close(fd);
    ::unlink(temp.c_str());
    return Fail(std::move(text));
  };
  if (slot != 0) {
    // A later slot is appended to a copy of the container an earlier save made.
    const int existing = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (existing < 0) return abandon("cannot open " + path + ": " + ErrnoText());
    struct stat st {};
    std::uint8_t header[kImageHeaderSize] = {};
    const bool valid = ::fstat(existing, &st) == 0 && st.st_size >= static_cast<off_t>(kImageHeaderSize) &&
                       ReadAll(existing, header, sizeof header) &&
                       std::memcmp(header, kImageMagic, sizeof kImageMagic) == 0;
    const bool copied = valid && ::lseek(existing, 0, SEEK_SET) == 0 && CopyAll(existing, fd, st.st_size);
    ::close(existing);
    if (!valid) return abandon(path + " is not an image file");
    if (!copied) return abandon("cannot copy " + path + " to " + temp + ": " + ErrnoText());
  }
  if (!ImageWriteSlot(fd, temp, slot, sizeMiB)) return abandon(error_);
  return ImageCommit(fd, temp, path);
}

bool RamDisk::ImageCommit(int fd, const std::string& temp, const std::string& path) {
  if (::close(fd) != 0) {
    const std::string text = "cannot write " + temp + ": " + ErrnoText();
    ::unlink(temp.c_str());
    return Fail(text);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string text = "cannot rename " + temp + " to " + path + ": " + ErrnoText();
    ::unlink(temp.c_str());
    return Fail(text);
  }
  error_.clear();
  return true;
}

}  // namespace imagebuilder

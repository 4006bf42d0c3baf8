#include "imagebuilder/image_builder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace imagebuilder {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

// "a/b/c/" -> "c"
std::string BaseName(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JoinHost(const std::string& dir, const std::string& name) {
  return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Case-insensitive order with the exact bytes breaking ties: the same order on every run.
bool NameLess(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto fold = [](unsigned char c) { return (c >= 'a' && c <= 'z') ? c - 0x20 : c; };
    const int ca = fold(static_cast<unsigned char>(a[i]));
    const int cb = fold(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Reads until `size` bytes are in or the file ends; the count read, or -1.
ssize_t ReadFull(int fd, std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

ImageBuilder& TheImageBuilder() {
  static ImageBuilder builder;
  return builder;
}

void ImageBuilder::SetProgressCallback(ProgressCallback callback) {
  progress_ = callback;
  store_.SetProgressCallback(callback);
  volume_.SetProgressCallback(std::move(callback));
}

bool ImageBuilder::Fail(std::string text) {
  error_ = std::move(text);
  return false;
}

bool ImageBuilder::FailVolume(const std::string& context) {
  const std::string& why = volume_.ErrorText();
  return Fail(context + ": " + (why.empty() ? "volume error " + std::to_string(volume_.ErrorCode()) : why));
}

// ---------------------------------------------------------------- store and volume

bool ImageBuilder::ImageCreateVolume(std::uint64_t totalSectors, std::uint32_t sectorSize) {
  error_.clear();
  ImageDiscard();
  if (!store_.RamDiskInit(sectorSize)) return Fail(store_.LastError());
  volume_.SetCurrentDirectory(0);
  if (!volume_.FatFormat(sectorSize, totalSectors)) return FailVolume("cannot format the volume");
  return ImageMount();
}

bool ImageBuilder::ImageMount() {
  if (!volume_.FatMount()) return FailVolume("cannot mount the volume");
  return true;
}

bool ImageBuilder::ImageSave(const std::string& path, std::uint32_t slot, std::uint32_t sizeMiB) {
  bool ok = true;
  if (volume_.Type() != kFatNotMounted && !volume_.FatUpdateInfoSector()) ok = FailVolume("cannot update the volume");
  if (ok && !store_.ImageSaveSlot(path, slot, sizeMiB)) ok = Fail(store_.LastError());
  store_.ClearInitialised();
  return ok;
}

void ImageBuilder::ImageDiscard() {
  store_.RamDiskFree();
  store_.ClearInitialised();
  volume_.Unmount();
}

bool ImageBuilder::ImageReadSectors(std::uint32_t lba, std::uint32_t count, std::uint8_t* buffer) {
  return store_.RamDiskRead(lba, count, buffer);
}

bool ImageBuilder::ImageWriteSectors(std::uint32_t lba, std::uint32_t count, const std::uint8_t* buffer) {
  return store_.RamDiskWrite(lba, count, buffer);
}

// ---------------------------------------------------------------- host input

bool ImageBuilder::AddListToImage(const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    Progress();
    struct stat st {};
    if (::lstat(entry.c_str(), &st) != 0) return Fail("cannot read " + entry + ": " + ErrnoText(errno));
    if (S_ISDIR(st.st_mode)) {
      if (!AddDirToImage(entry, "\\")) return false;
    } else if (S_ISREG(st.st_mode)) {
      std::string imagePath(1, '\\');
      imagePath += BaseName(entry);
      if (!AddFileToImage(entry, imagePath)) return false;
    } else {
      return Fail(entry + " is neither a regular file nor a folder");
    }
  }
  return true;
}

bool ImageBuilder::AddDirToImage(const std::string& hostDir, const std::string& imageParent) {
  const std::string name = BaseName(hostDir);
  std::u16string name16;
  if (name.empty() || name == "/" || !Utf8ToUtf16(name, name16) || !LongNameProblem(name16).empty())
    return Fail(hostDir + ": the folder's name cannot be used on the volume");
  std::string imagePath = imageParent;
  if (imagePath.empty() || imagePath.back() != '\\') imagePath += '\\';
  imagePath += name;

  std::unique_ptr<DIR, DirCloser> dir(::opendir(hostDir.c_str()));
  if (!dir) return Fail("cannot read folder " + hostDir + ": " + ErrnoText(errno));
  std::vector<std::string> files, folders;
  for (;;) {
    errno = 0;
    const dirent* d = ::readdir(dir.get());
    if (d == nullptr) {
      if (errno != 0) return Fail("cannot read folder " + hostDir + ": " + ErrnoText(errno));
      break;
    }
    const std::string entry = d->d_name;
    if (entry == "." || entry == "..") continue;
    if (entry.front() == '.') continue;  // hidden
    Progress();
    unsigned char type = d->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (::fstatat(::dirfd(dir.get()), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail("cannot read " + JoinHost(hostDir, entry) + ": " + ErrnoText(errno));
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    if (type == DT_DIR) {
      folders.push_back(entry);
    } else if (type == DT_REG) {
      files.push_back(entry);
    } else {
      // Symbolic links are not followed; devices, pipes and sockets hold no file data.
      std::printf("Not copied (not a regular file or folder): %s\n", JoinHost(hostDir, entry).c_str());
    }
  }
  dir.reset();
  std::sort(files.begin(), files.end(), NameLess);
  std::sort(folders.begin(), folders.end(), NameLess);
  for (const std::string& file : files)
    if (!AddFileToImage(JoinHost(hostDir, file), imagePath + "\\" + file)) return false;
  for (const std::string& folder : folders)
    if (!AddDirToImage(JoinHost(hostDir, folder), imagePath)) return false;
  return true;
}

bool ImageBuilder::AddFileToImage(const std::string& hostFile, const std::string& imagePath) {
  // Each component was a host name: a "\" inside one would read as a folder.
  const std::string name = imagePath.substr(imagePath.rfind('\\') + 1);
  std::u16string name16;
  if (name.empty() || !Utf8ToUtf16(name, name16) || !LongNameProblem(name16).empty())
    return Fail(hostFile + ": the file's name cannot be used on the volume");

  Fd in;
  in.fd = ::open(hostFile.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in.fd < 0) return Fail("cannot read " + hostFile + ": " + ErrnoText(errno));
  struct stat st {};
  if (::fstat(in.fd, &st) != 0) return Fail("cannot read " + hostFile + ": " + ErrnoText(errno));
  if (!S_ISREG(st.st_mode)) return Fail(hostFile + " is not a regular file");
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > kFatMaxFileSize) return Fail(hostFile + " is larger than a FAT file can be (4 GiB - 1 bytes)");
  const std::uint64_t clusterBytes = volume_.ClusterBytes();
  const std::uint64_t clusters = (size + clusterBytes - 1) / clusterBytes;
  if (clusters > volume_.FreeClusterCount())
    return Fail(hostFile + " does not fit on the volume: " + std::to_string(size) + " bytes, " +
                std::to_string(std::uint64_t{volume_.FreeClusterCount()} * clusterBytes) + " bytes free");

  std::unique_ptr<FatFileHandle> handle = volume_.FatCreateFile(imagePath);
  if (!handle) return FailVolume(hostFile);
  const std::uint32_t sectorSize = volume_.Geometry().bytesPerSector;
  if (readBuffer_.empty()) readBuffer_.resize(kReadSize);  // a multiple of every sector size
  std::uint64_t copied = 0;
  for (;;) {
    const ssize_t got = ReadFull(in.fd, readBuffer_.data(), readBuffer_.size());
    if (got < 0) return Fail("cannot read " + hostFile + ": " + ErrnoText(errno));
    if (got == 0) break;
    if (copied + static_cast<std::uint64_t>(got) > size) return Fail(hostFile + " grew while it was copied");
    for (std::size_t at = 0; at < static_cast<std::size_t>(got); at += sectorSize) {
      const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(sectorSize, static_cast<std::size_t>(got) - at));
      if (volume_.FatWriteFileData(readBuffer_.data() + at, piece, *handle) != piece) return FailVolume(hostFile);
    }
    copied += static_cast<std::uint64_t>(got);
  }
  if (copied != size) return Fail(hostFile + " shrank while it was copied");
  if (!volume_.FatCloseFile(*handle)) return FailVolume(hostFile);
  return true;
}

// ---------------------------------------------------------------- passes

ImageBuildResult ImageBuilder::ImageBuildPass(const ImageBuildRequest& request, std::uint32_t sectorSize,
                                              std::uint32_t slot) {
  auto failed = [&](ImageBuildStage stage) {
    ImageBuildResult result{false, stage, error_};
    ImageDiscard();
    return result;
  };
  const std::uint64_t totalSectors = (std::uint64_t{request.sizeMiB} << 20) / (sectorSize == 0 ? 1 : sectorSize);
  if (!ImageCreateVolume(totalSectors, sectorSize)) return failed(ImageBuildStage::kInitVolume);
  if (!volume_.FatSetVolumeLabel(request.label)) {
    FailVolume("volume label \"" + request.label + "\"");
    return failed(ImageBuildStage::kInitVolume);
  }
  Progress();
  if (!AddListToImage(request.entries)) return failed(ImageBuildStage::kAddFiles);
  if (!ImageSave(request.outputPath, slot, request.sizeMiB)) return failed(ImageBuildStage::kOutput);
  ImageDiscard();
  return {};
}

ImageBuildResult ImageBuilder::ImageBuildFile(const ImageBuildRequest& request) {
  ImageBuildResult result = ImageBuildPass(request, 512, 0);
  if (!result.ok) return result;
  return ImageBuildPass(request, 1024, 1);
}

}  // namespace imagebuilder

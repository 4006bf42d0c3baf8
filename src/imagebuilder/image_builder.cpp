#include "imagebuilder/image_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/codepage/codepage.h"
#include "platform/fswalk/fswalk.h"

namespace imagebuilder {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

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

// ---------------------------------------------------------------- planning

namespace {

// A volume folder being planned: where it is on the volume and which host folder gave it.
struct FolderRef {
  std::string imagePath;  // "" for the root, else "\A\B"
  std::u16string key;     // the folded image path
  std::u16string name;    // its own long name
  std::string host;
};

std::u16string ChildKey(const std::u16string& parent, const std::u16string& name) {
  return parent + u"\\" + FoldName(name);
}

std::uint32_t SlotCount(std::uint32_t units) { return (units + 12) / 13; }

}  // namespace

namespace {

// The host name checked on its own, before it is joined into a volume path.
bool CheckHostName(const std::string& hostPath, const std::string& name, std::u16string& name16,
                          std::string& error) {
  const std::string problem = name.empty() || name == "/" ? "no name" : LongNameProblem(name, name16);
  if (problem.empty()) return true;
  error = hostPath + ": the name cannot be used on the volume (" + problem + ")";
  return false;
}

}  // namespace

void ImageBuilder::ExcludeOutput(const std::string& outputPath) {
  output_.reset();
  struct stat st {};
  if (!outputPath.empty() && ::stat(outputPath.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    output_.emplace(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
}

namespace {

// A new entry of a planned folder, with the short name the volume will give
// it (the same rule in the same order). A long name that is an earlier
// entry's short name would answer for both entries.
bool AddPlannedEntry(ImagePlan::Folder& folder, const std::u16string& name, const std::string& host,
                     std::string& error) {
  const platform::fatnames::ShortNameBasis basis = platform::fatnames::MakeShortNameBasis(name);
  auto key = [](const ShortName& s) { return std::string(s.begin(), s.end()); };
  if (basis.exact) {
    const auto earlier = folder.shorts.find(key(ShortNameOf(basis.base, basis.ext)));
    if (earlier != folder.shorts.end()) {
      error = platform::fatnames::NameClashText(host, earlier->second);
      return false;
    }
  }
  const auto shortName = folder.shortNames.Choose(
      name, [&](const ShortName& candidate) { return folder.shorts.contains(key(candidate)); });
  if (!shortName) {
    error = host + ": no short name left for it on the volume";
    return false;
  }
  folder.shorts.emplace(key(*shortName), host);
  folder.entries[FoldName(name)] = static_cast<std::uint32_t>(name.size());
  return true;
}

// Registers a folder (and makes it an entry of its parent) the first time a
// file below it is planned. Folders of one name from different host folders
// merge, as their files do not collide.
bool RegisterFolder(ImagePlan& plan, const FolderRef& parent, const FolderRef& folder, std::string& error) {
  const auto file = plan.fileIndex.find(folder.key);
  if (file != plan.fileIndex.end()) {
    error = platform::fatnames::NameClashText(folder.host, plan.files[file->second].host);
    return false;
  }
  if (plan.folders.contains(folder.key)) return true;
  if (!AddPlannedEntry(plan.folders[parent.key], folder.name, folder.host, error)) return false;
  plan.folders[folder.key].host = folder.host;
  return true;
}

bool RegisterFile(ImagePlan& plan, const FolderRef& parent, const std::u16string& name, PlannedFile file,
                  std::string& error) {
  const std::u16string key = ChildKey(parent.key, name);
  const auto folder = plan.folders.find(key);
  if (folder != plan.folders.end()) {
    error = platform::fatnames::NameClashText(file.host, folder->second.host);
    return false;
  }
  const auto [it, added] = plan.fileIndex.try_emplace(key, plan.files.size());
  if (!added) {
    const PlannedFile& earlier = plan.files[it->second];
    if (earlier.device == file.device && earlier.inode == file.inode) return true;  // the same file again
    error = platform::fatnames::NameClashText(file.host, earlier.host);
    return false;
  }
  if (!AddPlannedEntry(plan.folders[parent.key], name, file.host, error)) {
    plan.fileIndex.erase(it);
    return false;
  }
  plan.files.push_back(std::move(file));
  return true;
}

FolderRef RootOf(const std::string& imageParent) {
  FolderRef ref;
  ref.imagePath = imageParent;
  while (!ref.imagePath.empty() && ref.imagePath.back() == '\\') ref.imagePath.pop_back();
  if (!ref.imagePath.empty() && ref.imagePath.front() != '\\') ref.imagePath.insert(ref.imagePath.begin(), '\\');
  ref.key = FoldName(platform::Utf8ToUtf16(ref.imagePath));
  return ref;
}

}  // namespace

bool ImageBuilder::PlanList(const std::vector<std::string>& entries, ImagePlan& plan) {
  const FolderRef root = RootOf("\\");
  plan.folders.try_emplace(root.key);
  for (const std::string& host : entries) {
    Progress();
    platform::FolderEntry entry;
    platform::WalkError walkError;
    if (!platform::StatEntry(host, entry, walkError) || !platform::FollowLink(entry, walkError))
      return Fail(walkError.Text());
    if (entry.kind == platform::EntryKind::kFolder) {
      if (!PlanDir(host, "\\", plan)) return false;
      continue;
    }
    if (entry.kind != platform::EntryKind::kFile) return Fail(host + " is neither a regular file nor a folder");
    if (IsOutput(entry.device, entry.inode)) return Fail(host + " is the image file being built");
    std::u16string name16;
    std::string error;
    if (!CheckHostName(host, entry.name, name16, error)) return Fail(error);
    if (!RegisterFile(plan, root, name16, {host, "\\" + entry.name, entry.size, entry.device, entry.inode}, error))
      return Fail(error);
  }
  return true;
}

bool ImageBuilder::PlanDir(const std::string& hostDir, const std::string& imageParent, ImagePlan& plan) {
  const FolderRef parent = RootOf(imageParent);
  plan.folders.try_emplace(parent.key);
  platform::FolderEntry self;
  platform::WalkError walkError;
  std::string error;
  if (!platform::StatEntry(hostDir, self, walkError)) return Fail(walkError.Text());
  FolderRef top{parent.imagePath + "\\" + self.name, {}, {}, hostDir};
  if (!CheckHostName(hostDir, self.name, top.name, error)) return Fail(error);
  top.key = ChildKey(parent.key, top.name);

  // stack[d] is the folder whose entries are visited at depth d + 1; stack[0]'s parent is `parent`.
  std::vector<FolderRef> stack{top};
  std::size_t registered = 0;  // folders of the stack known to the plan
  auto registerStack = [&]() {
    for (; registered < stack.size(); ++registered)
      if (!RegisterFolder(plan, registered == 0 ? parent : stack[registered - 1], stack[registered], error))
        return false;
    return true;
  };
  const platform::WalkStatus status = platform::WalkFolderTree(
      hostDir, {.includeHidden = false, .filesFirst = true, .followLinks = true},
      [&](const platform::FolderEntry& entry, int depth) {
        Progress();
        stack.resize(static_cast<std::size_t>(depth));
        registered = std::min(registered, stack.size());
        const FolderRef& folder = stack.back();
        if (entry.kind == platform::EntryKind::kFolder) {
          FolderRef child{folder.imagePath + "\\" + entry.name, {}, {}, entry.path};
          if (!CheckHostName(entry.path, entry.name, child.name, error)) return platform::WalkStep::kStop;
          child.key = ChildKey(folder.key, child.name);
          stack.push_back(std::move(child));
          return platform::WalkStep::kContinue;
        }
        if (entry.kind != platform::EntryKind::kFile) {
          // Devices, pipes and sockets hold no file data (links were followed to what they name).
          std::printf("Not copied (not a regular file or folder): %s\n", entry.path.c_str());
          return platform::WalkStep::kContinue;
        }
        if (IsOutput(entry.device, entry.inode)) return platform::WalkStep::kContinue;  // the image being built
        std::u16string name16;
        if (!CheckHostName(entry.path, entry.name, name16, error) || !registerStack() ||
            !RegisterFile(plan, folder, name16,
                          {entry.path, folder.imagePath + "\\" + entry.name, entry.size, entry.device, entry.inode},
                          error))
          return platform::WalkStep::kStop;
        return platform::WalkStep::kContinue;
      },
      walkError);
  if (status == platform::WalkStatus::kFailed) return Fail(walkError.Text());
  if (status == platform::WalkStatus::kStopped) return Fail(error);
  return true;
}

bool ImageBuilder::CheckRoom(const ImagePlan& plan, const std::string& label, std::uint32_t sizeMiB,
                             std::uint32_t sectorSize, bool laterSlotFollows, std::uint64_t* records) {
  std::string why;
  const auto layout = FatComputeLayout(sectorSize, (std::uint64_t{sizeMiB} << 20) / sectorSize, &why);
  if (!layout) return Fail("no volume of " + std::to_string(sizeMiB) + " MiB: " + why);
  const std::string volume =
      "the " + std::to_string(sizeMiB) + " MiB volume with " + std::to_string(sectorSize) + "-byte sectors";
  const std::uint64_t B = sectorSize, S = layout->sectorsPerCluster, clusterBytes = B * S;
  const bool fat32 = layout->fatType == kFat32;

  // What the format writes: boot sector, both FATs, the root (and on FAT32
  // the FSInfo sector and the backup boot sector with its FSInfo copy).
  std::uint64_t sectors = fat32 ? 4 + 2 * std::uint64_t{layout->fatSize} + S
                                : 1 + 2 * std::uint64_t{layout->fatSize} + 16384 / B;
  std::uint64_t clusters = fat32 ? 1 : 0;  // the FAT32 root's first cluster
  std::string blank = label;
  blank.erase(blank.find_last_not_of(' ') + 1);
  for (const auto& [key, folder] : plan.folders) {
    const bool root = key.empty();
    std::uint64_t entries = root ? (blank.empty() ? 0 : 1) : 2;  // the label, or "." and ".."
    for (const auto& [name, units] : folder.entries) entries += SlotCount(units) + 1;
    if (entries > kFatMaxDirectoryEntries)
      return Fail((root ? std::string("the volume's root") : folder.host) + " holds more entries than a folder can (" +
                  std::to_string(entries) + " of " + std::to_string(kFatMaxDirectoryEntries) + ")");
    if (root && !fat32) {
      if (entries > layout->rootEntries)
        return Fail("the root of " + volume + " holds " + std::to_string(layout->rootEntries) + " entries; the list needs " +
                    std::to_string(entries) + " (long names take more than one)");
      continue;
    }
    const std::uint64_t used = std::max<std::uint64_t>(1, (entries * kFatEntrySize + clusterBytes - 1) / clusterBytes);
    clusters += root ? used - 1 : used;
    sectors += (root ? used - 1 : used) * S;
  }
  if (clusters > layout->clusterCount) return Fail("the folders alone do not fit in " + volume);
  const std::uint64_t limit = 0xFFFFFFFFu;
  for (const PlannedFile& file : plan.files) {
    if (file.size > kFatMaxFileSize) return Fail(file.host + " is larger than a FAT file can be (4 GiB - 1 bytes)");
    clusters += (file.size + clusterBytes - 1) / clusterBytes;
    sectors += (file.size + B - 1) / B;
    if (clusters > layout->clusterCount)
      return Fail(file.host + " does not fit in " + volume + ": with the files before it the list needs " +
                  std::to_string(clusters) + " clusters of " + std::to_string(clusterBytes) + " bytes, the volume has " +
                  std::to_string(layout->clusterCount));
    if (laterSlotFollows && kImageHeaderSize + sectors * (4 + B) > limit)
      return Fail(file.host + ": with the files before it the slot for " + std::to_string(sectorSize) +
                  "-byte sectors passes 4 GiB, where the next slot of the image file could no longer be found");
  }
  if (laterSlotFollows && kImageHeaderSize + sectors * (4 + B) > limit)
    return Fail("the slot for " + std::to_string(sectorSize) + "-byte sectors passes 4 GiB");
  if (records != nullptr) *records = sectors;
  return true;
}

bool ImageBuilder::CopyPlan(const ImagePlan& plan) {
  for (const PlannedFile& file : plan.files) {
    Progress();
    if (!AddFileToImage(file.host, file.imagePath)) return false;
  }
  return true;
}

bool ImageBuilder::AddListToImage(const std::vector<std::string>& entries) {
  ImagePlan plan;
  return PlanList(entries, plan) && CopyPlan(plan);
}

bool ImageBuilder::AddDirToImage(const std::string& hostDir, const std::string& imageParent) {
  ImagePlan plan;
  return PlanDir(hostDir, imageParent, plan) && CopyPlan(plan);
}

bool ImageBuilder::AddFileToImage(const std::string& hostFile, const std::string& imagePath) {
  // Each component was a host name: a "\" inside one would read as a folder.
  const std::string name = imagePath.substr(imagePath.rfind('\\') + 1);
  std::u16string name16;
  std::string error;
  if (!CheckHostName(hostFile, name, name16, error)) return Fail(error);

  Fd in;
  // A symbolic link gives what it names, as the walk that planned it saw it.
  in.fd = ::open(hostFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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

ImageBuildResult ImageBuilder::Failed(ImageBuildStage stage) {
  ImageBuildResult result{false, stage, error_};
  ImageDiscard();
  return result;
}

ImageBuildStage ImageBuilder::BuildVolume(const ImagePlan& plan, const ImageBuildRequest& request,
                                          std::uint32_t sectorSize) {
  const std::uint64_t totalSectors = (std::uint64_t{request.sizeMiB} << 20) / (sectorSize == 0 ? 1 : sectorSize);
  if (!ImageCreateVolume(totalSectors, sectorSize)) return ImageBuildStage::kInitVolume;
  if (!volume_.FatSetVolumeLabel(request.label)) {
    FailVolume("volume label \"" + request.label + "\"");
    return ImageBuildStage::kInitVolume;
  }
  Progress();
  if (!CopyPlan(plan)) return ImageBuildStage::kAddFiles;
  return ImageBuildStage::kNone;
}

ImageBuildResult ImageBuilder::ImageBuildPass(const ImageBuildRequest& request, std::uint32_t sectorSize,
                                              std::uint32_t slot) {
  error_.clear();
  ExcludeOutput(request.outputPath);
  ImagePlan plan;
  if (!PlanList(request.entries, plan)) return Failed(ImageBuildStage::kAddFiles);
  const ImageBuildStage stage = BuildVolume(plan, request, sectorSize);
  if (stage != ImageBuildStage::kNone) return Failed(stage);
  if (!ImageSave(request.outputPath, slot, request.sizeMiB)) return Failed(ImageBuildStage::kOutput);
  ImageDiscard();
  return {};
}

int ImageBuilder::WhileReporting(const std::function<int()>& call) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  int result = 0, error = 0;
  std::unique_lock lock(m);
  std::jthread worker([&] {
    const int r = call();
    const int e = errno;
    std::lock_guard finished(m);
    result = r;
    error = e;
    done = true;
    cv.notify_one();
  });
  while (!done) {
    lock.unlock();
    Progress();
    lock.lock();
    cv.wait_for(lock, kReportEvery, [&] { return done; });
  }
  errno = error;
  return result;
}

bool ImageBuilder::SyncOutput(int fd, const std::string& name) {
  if (WhileReporting([fd] { return ::fdatasync(fd); }) != 0)
    return Fail("cannot write " + name + ": " + ErrnoText(errno));
  return true;
}

void ImageBuilder::ReleaseStore() {
  WhileReporting([this] {
    store_.RamDiskFree();
    return 0;
  });
  ImageDiscard();
}

void ImageBuilder::ReleaseFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  // Only a file no other name shares is cut down; anything else only loses this name.
  if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
    const auto piece = static_cast<off_t>(kReleasePiece);
    for (off_t size = st.st_size; size > 0;) {
      size = size > piece ? size - piece : 0;
      Progress();
      if (::ftruncate(fd, size) != 0) break;
    }
  }
  if (fd >= 0) ::close(fd);
  ::unlink(path.c_str());
  Progress();
}

ImageBuildResult ImageBuilder::ImageBuildFile(const ImageBuildRequest& request) {
  static constexpr std::uint32_t kSlotSectorSizes[kImageSlotCount] = {512, 1024};
  error_.clear();
  ImageDiscard();
  ExcludeOutput(request.outputPath);
  ImagePlan plan;
  if (!PlanList(request.entries, plan)) return Failed(ImageBuildStage::kAddFiles);
  for (std::uint32_t slot = 0; slot < kImageSlotCount; ++slot) {
    std::string why;
    const std::uint32_t sectorSize = kSlotSectorSizes[slot];
    if (!FatComputeLayout(sectorSize, (std::uint64_t{request.sizeMiB} << 20) / sectorSize, &why)) {
      Fail("no volume of " + std::to_string(request.sizeMiB) + " MiB with " + std::to_string(sectorSize) +
           "-byte sectors: " + why);
      return Failed(ImageBuildStage::kInitVolume);
    }
    if (!CheckRoom(plan, request.label, request.sizeMiB, sectorSize, slot + 1 < kImageSlotCount))
      return Failed(ImageBuildStage::kAddFiles);
  }

  const std::string temp = ImageTemporaryName(request.outputPath);
  const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    Fail("cannot create " + temp + ": " + ErrnoText(errno));
    return Failed(ImageBuildStage::kOutput);
  }
  auto abandon = [&](ImageBuildStage stage) {
    ::close(fd);
    ::unlink(temp.c_str());
    return Failed(stage);
  };
  for (std::uint32_t slot = 0; slot < kImageSlotCount; ++slot) {
    const ImageBuildStage stage = BuildVolume(plan, request, kSlotSectorSizes[slot]);
    if (stage != ImageBuildStage::kNone) return abandon(stage);
    if (!volume_.FatUpdateInfoSector()) {
      FailVolume("cannot update the volume");
      return abandon(ImageBuildStage::kOutput);
    }
    if (!store_.ImageWriteSlot(fd, temp, slot, request.sizeMiB)) {
      Fail(store_.LastError());
      return abandon(ImageBuildStage::kOutput);
    }
    ReleaseStore();
  }
  if (!SyncOutput(fd, temp)) return abandon(ImageBuildStage::kOutput);
  // The earlier output keeps a second name while the new file replaces it,
  // and is released afterwards a piece at a time.
  const std::string aside = ImageTemporaryName(request.outputPath);
  const bool keptAside = ::link(request.outputPath.c_str(), aside.c_str()) == 0;
  if (!store_.ImageCommit(fd, temp, request.outputPath)) {
    if (keptAside) ::unlink(aside.c_str());
    Fail(store_.LastError());
    return Failed(ImageBuildStage::kOutput);
  }
  if (keptAside) ReleaseFile(aside);
  return {};
}

}  // namespace imagebuilder

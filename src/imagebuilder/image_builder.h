// The disk image builder: builds one FAT volume from host files and folders
// in the sector store and saves it as a slot of a "Q4X1 IMG" container, once
// for 512-byte and once for 1024-byte sectors.
//
// State: an ImageBuilder owns one sector store, one mounted volume and its
// sector buffer; it is used from one thread (the image tool's window thread).
// The image tool uses the process-wide instance TheImageBuilder(); tests make
// their own. Operations return bool; a failure leaves a text in LastError()
// (and the volume's error code in Volume().ErrorCode()). Diagnostics go to
// standard output.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "imagebuilder/fat_volume.h"
#include "imagebuilder/ramdisk.h"

namespace imagebuilder {

// What the image tool asks for: the list's host paths in order, the volume
// size in MiB, the label and the output file.
struct ImageBuildRequest {
  std::vector<std::string> entries;
  std::uint32_t sizeMiB = 256;
  std::string label;
  std::string outputPath;
};

// One host file as a build copies it.
struct PlannedFile {
  std::string host;
  std::string imagePath;  // UTF-8, "\" between components, from the root
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// What a build copies, settled by one walk over the host entries before
// anything is written: every host name checked before it joins a volume
// path, and no two host files under names the volume's readers take for one.
// Both slots are built from the same plan.
struct ImagePlan {
  struct Folder {
    std::string host;  // the host folder that first gave it
    // The entries it will hold: folded long name -> length in UTF-16 units.
    std::unordered_map<std::u16string, std::uint32_t> entries;
    // Their short names as the volume gives them: 11 bytes -> host path.
    platform::fatnames::ShortNameAllocator shortNames;
    std::unordered_map<std::string, std::string> shorts;
  };
  std::vector<PlannedFile> files;                    // in copy order
  std::map<std::u16string, Folder> folders;          // folded image path ("" = root)
  std::unordered_map<std::u16string, std::size_t> fileIndex;  // folded image path -> index in files
};

// Which step of a pass failed, so the window can pick its message.
enum class ImageBuildStage {
  kNone,        // success
  kInitVolume,  // the volume could not be created, or the label is not valid
  kAddFiles,    // a host file or folder could not be copied
  kOutput,      // the image file could not be written
};

struct ImageBuildResult {
  bool ok = true;
  ImageBuildStage stage = ImageBuildStage::kNone;
  std::string message;  // what went wrong, naming the host path where there is one
};

class ImageBuilder {
 public:
  ImageBuilder() : volume_(store_) {}
  ImageBuilder(const ImageBuilder&) = delete;
  ImageBuilder& operator=(const ImageBuilder&) = delete;

  // Called once per host entry, per sector of file data and per sector saved.
  void SetProgressCallback(ProgressCallback callback);

  // One pass: create the volume at this sector size, set the label, copy the
  // entries, save as `slot` of the request's output file, discard the store.
  ImageBuildResult ImageBuildPass(const ImageBuildRequest& request, std::uint32_t sectorSize, std::uint32_t slot);
  // Both passes: 512-byte sectors into slot 0, then 1024-byte sectors into
  // slot 1. The host entries are walked once and checked, and the content is
  // checked to fit both slots, before anything is written; both slots go into
  // one temporary file that replaces the output only when it is complete and
  // on the disk, so a failure at any stage leaves an earlier output file as
  // it was. The progress callback keeps coming throughout, per sector and
  // beside the flush and the memory release, which run on a thread of their
  // own; only the listing of one host folder and single reads and writes of
  // at most a few MiB come between two calls.
  ImageBuildResult ImageBuildFile(const ImageBuildRequest& request);

  // Formats a fresh store of totalSectors sectors and mounts it. Whatever an
  // earlier volume left in the store is dropped first.
  bool ImageCreateVolume(std::uint64_t totalSectors, std::uint32_t sectorSize);
  bool ImageMount();
  // Brings the FSInfo sector up to date and saves the store as a slot; the
  // store then takes a new sector size at its next initialisation.
  bool ImageSave(const std::string& path, std::uint32_t slot, std::uint32_t sizeMiB);
  // Frees the store and forgets the volume.
  void ImageDiscard();
  bool ImageReadSectors(std::uint32_t lba, std::uint32_t count, std::uint8_t* buffer);
  bool ImageWriteSectors(std::uint32_t lba, std::uint32_t count, const std::uint8_t* buffer);

  // Copies the host entries into the volume's root: a folder becomes a root
  // folder of its name, a file a root file of its name.
  bool AddListToImage(const std::vector<std::string>& entries);
  // Copies a host folder as folder `name of hostDir` inside imageParent ("\"
  // for the root): its files (sorted) first, then its sub-folders (sorted).
  // Hidden entries (names starting with ".") and special files inside it are
  // not copied. A symbolic link is copied as what it names, under the link's
  // name; one that leads nowhere, to neither a file nor a folder, or into a
  // folder that holds it fails the build naming it. A folder that holds no
  // file at any depth leaves nothing on the volume.
  bool AddDirToImage(const std::string& hostDir, const std::string& imageParent);
  // Copies one regular host file to imagePath ("\" separated, from the root).
  bool AddFileToImage(const std::string& hostFile, const std::string& imagePath);

  // Adds the host entries to a plan (as AddListToImage would copy them).
  // Fails, naming the host path, on a name the volume cannot hold or that
  // Windows cannot open, and on two different host files (or a file and a
  // folder) whose volume paths are equal without regard to case, or where a
  // long name is the short name an earlier entry of its folder gets; the same
  // host file met twice is planned once. The output file is left out.
  bool PlanList(const std::vector<std::string>& entries, ImagePlan& plan);
  bool PlanDir(const std::string& hostDir, const std::string& imageParent, ImagePlan& plan);
  bool CopyPlan(const ImagePlan& plan);
  // Whether the planned files, the label and their folders fit a volume of
  // sizeMiB with this sector size. With laterSlotFollows, also whether this
  // slot, saved first, leaves the next slot's data offset below 4 GiB.
  // *records (when given) receives the sectors the slot will save.
  bool CheckRoom(const ImagePlan& plan, const std::string& label, std::uint32_t sizeMiB, std::uint32_t sectorSize,
                 bool laterSlotFollows, std::uint64_t* records = nullptr);

  RamDisk& Store() { return store_; }
  FatVolume& Volume() { return volume_; }
  const std::string& LastError() const { return error_; }

 private:
  bool Fail(std::string text);
  bool FailVolume(const std::string& context);
  // Forgets (or, from an existing output, sets) the file a walk passes over.
  void ExcludeOutput(const std::string& outputPath);
  bool IsOutput(std::uint64_t device, std::uint64_t inode) const {
    return output_ && output_->first == device && output_->second == inode;
  }
  // Volume, label and planned files at one sector size; the failed stage, or kNone.
  ImageBuildStage BuildVolume(const ImagePlan& plan, const ImageBuildRequest& request, std::uint32_t sectorSize);
  ImageBuildResult Failed(ImageBuildStage stage);
  // Runs a call that may block for long (a flush to the disk) on a thread of
  // its own and reports progress from this thread until it returns; its
  // result, with errno as the call left it.
  int WhileReporting(const std::function<int()>& call);
  // Flushes the finished container to the disk before it replaces the old
  // one, so the new file survives a power cut once it is in place.
  bool SyncOutput(int fd, const std::string& name);
  // ImageDiscard for a volume just saved: giving a large volume's memory back
  // takes a while, so it is done beside the progress reports. The progress
  // callback must not use the builder (nothing here is re-entrant).
  void ReleaseStore();
  // Removes a replaced output. Freeing a large file's blocks in one step can
  // take the file system a long moment, so a file no other name shares is
  // cut down a piece at a time, with progress reported between the pieces.
  void ReleaseFile(const std::string& path);
  void Progress() const {
    if (progress_) progress_();
  }

  static constexpr std::size_t kReadSize = 256 * 1024;
  static constexpr std::chrono::milliseconds kReportEvery{20};  // while a blocking call runs
  static constexpr std::int64_t kReleasePiece = 4 << 20;  // bytes freed between progress reports

  RamDisk store_;
  FatVolume volume_;
  std::vector<std::uint8_t> readBuffer_;
  ProgressCallback progress_;
  std::string error_;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> output_;  // device and inode of the output file
};

// The instance the image tool uses.
ImageBuilder& TheImageBuilder();

}  // namespace imagebuilder

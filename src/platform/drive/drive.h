// The device's file system as the station sees it: "X:\" and the paths under
// it resolve, through the volume table, to the visible disk's block node or
// image file. Queries read the volume themselves (boot sector, FAT, root
// folder); folders, files and the label are written by our own FAT writer
// (FatVolume); formatting and the disk check run dosfstools on the node.
// The same code serves real disks and emulated ones.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/drive/fat_volume.h"
#include "platform/scsi/scsi.h"

namespace platform {

// "E:\", "E:\music\a.mp3", "e:/music": the letter (upper case) and the path
// inside the volume with '/' between folders and no leading '/'.
struct DrivePath {
  char letter = 0;
  std::string path;
};
std::optional<DrivePath> ParseDrivePath(std::string_view text);
// The node behind a drive letter; empty when the letter is not bound.
std::string DriveNode(char letter);

// The Windows calls, on drive roots ("X:\"). False when the letter is not
// bound or the disk holds no FAT file system.
BOOL GetDiskFreeSpaceA(const char* root, DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                       DWORD* totalClusters);
BOOL GetVolumeInformationA(const char* root, char* nameBuffer, DWORD nameSize, DWORD* serialNumber,
                           DWORD* maxComponentLength, DWORD* fileSystemFlags, char* fileSystemName,
                           DWORD fileSystemNameSize);
// Sets (or, for an empty or null label, removes) the label: its bytes in the
// station's ANSI code page (platform::fatnames::VolumeLabelBytes, up to 11).
BOOL SetVolumeLabelA(const char* root, const char* label);

// Several folder and file operations on one drive with the FAT held in memory
// between them; everything is on the disk after Close (or the destructor).
// One session is one copy: a file one source wrote is never replaced by
// another source in the same session. No call throws.
class DriveSession {
 public:
  // False (see Error) when the letter is not bound or holds no FAT volume.
  bool Open(char letter);
  bool IsOpen() const { return volume_ != nullptr; }
  // Paths inside the volume ("music/pop"), '/' between folders: each part is
  // a host name, and one that holds "\\" is refused, never split.
  bool FolderExists(std::string_view path);
  // `origin`: the host folder it is made for (named when a copy clashes).
  bool MakeFolder(std::string_view path, const std::string& origin = {});
  bool CopyFile(const std::string& source, std::string_view path, bool failIfExists);
  bool Close();
  const std::string& Error() const { return error_; }

 private:
  bool Fail(const std::string& why);
  std::unique_ptr<FatVolume> volume_;
  std::string error_;
};

// Copies one host file to a drive path ("E:\a.mp3"); the reason of a failure
// goes to 'error' when given.
bool CopyFileToDrive(const std::string& source, const std::string& target, bool failIfExists,
                     std::string* error = nullptr);

// The programs that format and check a drive's node; tests put stand-ins here.
struct DiskTools {
  std::string format = "mkfs.fat";
  std::string check = "fsck.fat";
};
DiskTools& CurrentDiskTools();

// Format command for the node: FAT type by flag (0 FAT16, 1 FAT32, 255 the
// tool's choice with 8192-byte clusters), the disk's sector size, a surface
// check unless quick.
std::vector<std::string> FormatCommand(const std::string& node, int fatFlag, bool quick, std::uint32_t sectorSize);
// Disk check command: checks and repairs what it safely can.
std::vector<std::string> CheckCommand(const std::string& node);

}  // namespace platform

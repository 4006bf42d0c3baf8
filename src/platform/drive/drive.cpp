#include "platform/drive/drive.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage/codepage.h"
#include "platform/fatnames/fat_names.h"
#include "platform/volumes/volumes.h"

namespace platform {

namespace {

// Copies a text into a caller's buffer of 'size' bytes, cut to fit with its terminator.
void CopyOut(const std::string& text, char* buffer, DWORD size) {
  if (!buffer || size == 0) return;
  const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

// Runs one of the service's calls; whatever it throws (memory, above all) is
// a failed answer, never the caller's crash.
template <typename Call>
auto Guarded(Call call, decltype(call()) failed, std::string* why = nullptr) noexcept -> decltype(call()) {
  try {
    return call();
  } catch (const std::exception& e) {
    if (why) *why = std::string("the disk cannot be handled: ") + e.what();
  } catch (...) {
    if (why) *why = "the disk cannot be handled";
  }
  return failed;
}

std::unique_ptr<FatVolume> OpenRoot(const char* root, bool readOnly, std::string* why = nullptr) {
  const auto drive = root ? ParseDrivePath(root) : std::nullopt;
  if (!drive) return nullptr;
  const std::string node = DriveNode(drive->letter);
  if (node.empty()) return nullptr;
  return FatVolume::Open(node, readOnly, why);
}

}  // namespace

std::optional<DrivePath> ParseDrivePath(std::string_view text) {
  if (text.size() < 2 || text[1] != ':') return std::nullopt;
  char letter = text[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return std::nullopt;
  DrivePath out{letter, {}};
  std::string_view rest = text.substr(2);
  for (std::size_t at = 0; at <= rest.size();) {
    std::size_t sep = rest.find_first_of("\\/", at);
    if (sep == std::string_view::npos) sep = rest.size();
    if (sep > at) {
      if (!out.path.empty()) out.path += '/';
      out.path.append(rest.substr(at, sep - at));
    }
    at = sep + 1;
  }
  return out;
}

std::string DriveNode(char letter) {
  const auto volume = Volumes().Lookup(letter);
  return volume ? volume->node : std::string{};
}

BOOL GetDiskFreeSpaceA(const char* root, DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                       DWORD* totalClusters) {
  return Guarded([&]() -> BOOL {
    auto volume = OpenRoot(root, true);
    if (!volume) return 0;
    const auto free = volume->FreeClusters();
    if (!free) return 0;
    if (sectorsPerCluster) *sectorsPerCluster = volume->Boot().sectorsPerCluster;
    if (bytesPerSector) *bytesPerSector = volume->Boot().bytesPerSector;
    if (freeClusters) *freeClusters = *free;
    if (totalClusters) *totalClusters = volume->Boot().clusterCount;
    return 1;
  }, 0);
}

BOOL GetVolumeInformationA(const char* root, char* nameBuffer, DWORD nameSize, DWORD* serialNumber,
                           DWORD* maxComponentLength, DWORD* fileSystemFlags, char* fileSystemName,
                           DWORD fileSystemNameSize) {
  return Guarded([&]() -> BOOL {
    auto volume = OpenRoot(root, true);
    if (!volume) return 0;
    const auto label = volume->Label();
    if (!label) return 0;
    CopyOut(*label, nameBuffer, nameSize);
    if (serialNumber) *serialNumber = volume->Boot().serialNumber;
    if (maxComponentLength) *maxComponentLength = 255;
    if (fileSystemFlags) *fileSystemFlags = 0;
    CopyOut(volume->Boot().fatBits == 32 ? "FAT32" : volume->Boot().fatBits == 16 ? "FAT16" : "FAT", fileSystemName,
            fileSystemNameSize);
    return 1;
  }, 0);
}

BOOL SetVolumeLabelA(const char* root, const char* label) {
  return Guarded([&]() -> BOOL {
    const auto drive = root ? ParseDrivePath(root) : std::nullopt;
    if (!drive || !drive->path.empty()) return 0;
    // The label's bytes in the station's ANSI code page, up to the 11 of the field.
    const auto bytes = fatnames::VolumeLabelBytes(label ? label : "", CP_ACP, 11, fatnames::LabelLength::kRefuse);
    if (!bytes) return 0;
    auto volume = OpenRoot(root, false);
    return volume && volume->SetLabel(*bytes) && volume->Flush() ? 1 : 0;
  }, 0);
}

bool DriveSession::Fail(const std::string& why) {
  error_ = why;
  return false;
}

bool DriveSession::Open(char letter) {
  volume_.reset();
  const std::string node = DriveNode(letter);
  if (node.empty()) return Fail(std::string("drive ") + letter + ": is not there");
  std::string why;
  volume_ = Guarded([&] { return FatVolume::Open(node, false, &why); }, nullptr, &why);
  return volume_ ? true : Fail(why);
}

bool DriveSession::FolderExists(std::string_view path) {
  return volume_ && Guarded([&] { return volume_->IsFolder(path); }, false);
}

bool DriveSession::MakeFolder(std::string_view path, const std::string& origin) {
  if (!volume_) return Fail("the drive is not open");
  std::string why;
  const bool ok = Guarded([&] { return volume_->MakeFolder(path, origin); }, false, &why);
  return ok || Fail(why.empty() ? volume_->Error() : why);
}

bool DriveSession::CopyFile(const std::string& source, std::string_view path, bool failIfExists) {
  if (!volume_) return Fail("the drive is not open");
  std::string why;
  const bool ok = Guarded([&] { return volume_->CopyFile(source, path, failIfExists); }, false, &why);
  return ok || Fail(why.empty() ? volume_->Error() : why);
}

bool DriveSession::Close() {
  if (!volume_) return true;
  std::string why;
  const bool ok = Guarded([&] { return volume_->Flush(); }, false, &why);
  if (!ok) Fail(why.empty() ? volume_->Error() : why);
  volume_.reset();
  return ok;
}

bool CopyFileToDrive(const std::string& source, const std::string& target, bool failIfExists, std::string* error) {
  const auto drive = Guarded([&] { return ParseDrivePath(target); }, std::nullopt);
  DriveSession session;
  bool ok = drive && !drive->path.empty() && session.Open(drive->letter) &&
            session.CopyFile(source, drive->path, failIfExists);
  ok = session.Close() && ok;
  if (!ok && error) *error = drive && !drive->path.empty() ? session.Error() : "not a file path on a drive";
  return ok;
}

DiskTools& CurrentDiskTools() {
  static DiskTools tools;
  return tools;
}

std::vector<std::string> FormatCommand(const std::string& node, int fatFlag, bool quick, std::uint32_t sectorSize) {
  if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0) sectorSize = 512;
  std::vector<std::string> argv = {CurrentDiskTools().format, "-I", "-S", std::to_string(sectorSize)};
  if (fatFlag == 255) {
    argv.insert(argv.end(), {"-s", std::to_string(std::max<std::uint32_t>(1, 8192 / sectorSize))});
  } else {
    argv.insert(argv.end(), {"-F", fatFlag == 1 ? "32" : "16"});
  }
  if (!quick) argv.push_back("-c");
  argv.push_back(node);
  return argv;
}

std::vector<std::string> CheckCommand(const std::string& node) { return {CurrentDiskTools().check, "-a", "-w", node}; }

}  // namespace platform

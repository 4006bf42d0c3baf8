#include "console/firmware_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "console/main_window.h"
#include "console/message_table.h"
#include "console/ui_strings.h"
#include "platform/convert/convert.h"
#include "platform/files/open_file.h"

namespace console {

namespace {

std::string LastPart(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// An open file, closed when it goes out of scope. Only a regular file opens,
// and a FIFO named like a firmware file never makes the open wait.
class File {
 public:
  File(const std::string& path, int flags) : fd_(platform::OpenRegularFile(path, flags)) {}
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  // A regular file only: a folder or device named like an image is no image.
  bool Regular(struct stat* st) const { return ::fstat(fd_, st) == 0 && S_ISREG(st->st_mode); }
  // Reads exactly `count` bytes at `offset`; false for a shorter file.
  bool ReadAt(std::int64_t offset, void* data, std::size_t count) const {
    return ReadSome(offset, data, count) == count;
  }
  // Reads up to `count` bytes at `offset`; the number read.
  std::size_t ReadSome(std::int64_t offset, void* data, std::size_t count) const {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = ::pread(fd_, static_cast<char*>(data) + done, count - done, offset + done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }
  bool WriteAt(std::int64_t offset, const void* data, std::size_t count) const {
    return ::pwrite(fd_, data, count, offset) == static_cast<ssize_t>(count);
  }

 private:
  int fd_;
};

constexpr std::array<std::uint8_t, 2> kMarker = {0x55, 0xAA};

std::vector<std::string> PreCopyList(TForm1& form) { return form.TntSelectFileList2.Items.ToVector(); }

constexpr std::int64_t RoundUp(std::int64_t value, std::int64_t unit) { return (value + unit - 1) / unit * unit; }

}  // namespace

bool FileNameHolds(const std::string& path, const char* pattern) {
  return platform::LowerCase(LastPart(path)).find(pattern) != std::string::npos;
}

bool HasBinExtension(const std::string& path) {
  const std::string name = LastPart(path);
  const std::size_t dot = name.find_last_of('.');
  return dot != std::string::npos && platform::LowerCase(name.substr(dot)) == ".bin";
}

void RefreshFileList(TForm1& form) {
  form.iProgramIndex = form.iNewProgramIndex = form.iPreferIndex = form.iIsoIndex = form.iTelbookIndex = -1;
  form.iProgramSize = form.iPreferSize = form.iIsoSize = form.iTelbookSize = 0;
  form.iSdkType = 0;

  const std::vector<std::string> entries = PreCopyList(form);
  int lastPlain = -1, lastOld = -1;
  for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
    const std::string& entry = entries[static_cast<std::size_t>(i)];
    const bool old = FileNameHolds(entry, "_old.bin");
    const bool fresh = FileNameHolds(entry, "_new.bin");
    if (old) form.iProgramIndex = lastOld = i;
    if (fresh) form.iNewProgramIndex = i;
    if (!old && !fresh && FileNameHolds(entry, ".bin")) form.iProgramIndex = lastPlain = i;
    if (FileNameHolds(entry, "prefer.dat")) form.iPreferIndex = i;
    if (FileNameHolds(entry, "image.iso")) form.iIsoIndex = i;
    if (FileNameHolds(entry, "telbook.dat")) form.iTelbookIndex = i;
  }

  // The firmware header: the new variant wins over the old one, the old one
  // over a plain one. An entry that cannot be read leaves the size and SDK
  // type at their start values, so nothing of another file is taken for it.
  auto readHeader = [&](int index) {
    form.iProgramSize = 0;
    form.iSdkType = 0;
    File file(entries[static_cast<std::size_t>(index)], O_RDONLY);
    struct stat st {};
    if (!file.IsOpen() || !file.Regular(&st)) return;
    form.iProgramSize = st.st_size;
    std::uint8_t sdk = 0;
    if (file.ReadAt(kSdkTypeOffset, &sdk, 1)) form.iSdkType = sdk;
  };
  if (lastPlain >= 0) readHeader(form.iProgramIndex);
  if (lastOld >= 0) readHeader(lastOld);
  if (form.iNewProgramIndex >= 0) readHeader(form.iNewProgramIndex);

  auto sizeOf = [&](int index) -> std::int64_t {
    if (index < 0) return 0;
    File file(entries[static_cast<std::size_t>(index)], O_RDONLY);
    struct stat st {};
    return file.IsOpen() && file.Regular(&st) ? st.st_size : 0;
  };
  form.iPreferSize = sizeOf(form.iPreferIndex);
  form.iIsoSize = sizeOf(form.iIsoIndex);
  form.iTelbookSize = sizeOf(form.iTelbookIndex);

  constexpr std::int64_t kHalfMiB = 524288, kMiB = 1048576, k4MiB = 4194304;
  std::int64_t bytes = kMiB + RoundUp(form.iProgramSize, kHalfMiB) + RoundUp(form.iPreferSize, kHalfMiB);
  if (form.chkISOupgrade.Checked()) bytes += RoundUp(form.iIsoSize, kHalfMiB);
  const std::int64_t area = RoundUp(bytes * 2, k4MiB);
  form.labSystemArea.SetCaption(SystemAreaSizeStr + ": " + std::to_string(area / kMiB) + "MB");
}

std::uint8_t GetFirmwareId(TForm1& form) {
  for (const std::string& entry : PreCopyList(form)) {
    if (!FileNameHolds(entry, ".bin")) continue;
    File file(entry, O_RDONLY);
    if (!file.IsOpen()) return 0;
    std::uint8_t field[4] = {};
    if (file.ReadAt(kFirmwareIdOffset, field, sizeof field) && field[0] == 'I' && field[1] == 'D') return field[3];
  }
  return 0;
}

std::string GetFsmVersionLabel(TForm1& form) {
  File file(form.FsmPath, O_RDONLY);
  struct stat st {};
  if (!file.IsOpen() || !file.Regular(&st)) return kNoFsmVersion;
  form.iFsmFileSize = static_cast<int>(std::min<std::int64_t>(st.st_size, INT_MAX));
  char field[kFsmVersionField] = {};
  const std::size_t got = file.ReadSome(kFsmVersionOffset, field, sizeof field);
  if (got < 3 || std::memcmp(field, "FSM", 3) != 0) return kNoFsmVersion;
  // The text ends at its first NUL or at the end of its field, whichever comes first.
  return std::string(field, strnlen(field, got));
}

void ReadCapacityMultiplier(TForm1& form) {
  const std::vector<std::string> entries = PreCopyList(form);
  const auto firmware = std::find_if(entries.begin(), entries.end(), HasBinExtension);
  if (firmware == entries.end()) return;
  File file(*firmware, O_RDONLY);
  std::uint8_t marker[3] = {};
  if (!file.IsOpen() || !file.ReadAt(kFlashModuleMarkerOffset, marker, sizeof marker)) return;
  if (marker[0] == kMarker[0] && marker[1] == kMarker[1]) form.iFlashModuleNo = marker[2];
}

namespace {

// Writes the module number into the first firmware entry that opens for
// writing and carries the signature. A file without a whole marker (wrong
// bytes, or too short to hold one) is left exactly as it is. A file the
// operator made read-only counts as not writable, also for an administrator.
void WriteMarker(TForm1& form, std::uint8_t value) {
  for (const std::string& entry : PreCopyList(form)) {
    if (!HasBinExtension(entry)) continue;
    File file(entry, O_RDWR);
    struct stat st {};
    if (!file.IsOpen() || !file.Regular(&st) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) continue;
    char signature[4] = {};
    if (!file.ReadAt(0, signature, sizeof signature) || std::memcmp(signature, kFirmwareSignature, 4) != 0) continue;
    std::uint8_t marker[3] = {};
    if (file.ReadAt(kFlashModuleMarkerOffset, marker, sizeof marker) && marker[0] == kMarker[0] &&
        marker[1] == kMarker[1]) {
      const std::uint8_t written[3] = {kMarker[0], kMarker[1], value};
      file.WriteAt(kFlashModuleMarkerOffset, written, sizeof written);
    }
    return;
  }
  const int lang = form.LanguageIndex;
  Application->MessageBox(MessageText(26, lang), "DU Vadi", MB_ICONERROR);
}

}  // namespace

void WriteCapacityMultiplier(TForm1& form, int value) {
  if (value < 0) {
    Application->MessageBox(MessageText(25, form.LanguageIndex), "DU Vadi", MB_ICONERROR);
    return;
  }
  WriteMarker(form, static_cast<std::uint8_t>(value));
}

void WriteCapacityMultiplierOnSave(TForm1& form, std::uint8_t value) { WriteMarker(form, value); }

}  // namespace console

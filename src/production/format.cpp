// Formatting, volume label and disk check of the device's visible disk: the
// FAT type from the disk's size, mkfs.fat and fsck.fat on the process runner
// with the run's polling intervals and limits, and the label through the
// drive service.
#include <string>

#include "device/commands.h"
#include "platform/drive/drive.h"
#include "platform/paths/paths.h"
#include "platform/process/process.h"
#include "device/device_handle.h"
#include "production/product_thread.h"

namespace production {

namespace {

// READ CAPACITY on a handle of its own; false when the device cannot be
// opened or does not answer.
bool ReadCapacity(char driveLetter, std::uint32_t& lastLba, std::uint32_t& blockLength) {
  const device::ScopedDeviceHandle h = device::OpenDeviceVolume(driveLetter);
  if (!h.IsOpen()) return false;
  lastLba = blockLength = 0;
  return device::cmd_bReadCapacity(h.Get(), &lastLba, &blockLength) != 0;
}

std::string Root(char driveLetter) { return std::string(1, driveLetter) + ":\\"; }

platform::PollPolicy Polling(int maxWaits) {
  platform::PollPolicy policy;
  policy.intervalMs = CurrentDiskToolTiming().intervalMs;
  policy.maxWaits = maxWaits;
  policy.onWait = [] { platform::ui::Application->ProcessMessages(); };
  return policy;
}

}  // namespace

DiskToolTiming& CurrentDiskToolTiming() {
  static DiskToolTiming timing;
  return timing;
}

int GetFatFlag(char driveLetter) {
  std::uint32_t lastLba = 0, blockLength = 0;
  if (!ReadCapacity(driveLetter, lastLba, blockLength) || lastLba == 0 || blockLength == 0) return 0;
  const std::uint64_t sizeMB = std::uint64_t{lastLba} * blockLength / (1u << 20);
  if (sizeMB > 0 && sizeMB < 128 && blockLength >= 2048) return 255;
  return sizeMB < 513 ? 0 : 1;
}

bool FormatDrive(char driveLetter, bool quick, int fatFlag, const std::string& /*label: set afterwards*/) {
  const std::string node = platform::DriveNode(driveLetter);
  if (node.empty()) return false;
  std::uint32_t lastLba = 0, blockLength = 512;
  if (!ReadCapacity(driveLetter, lastLba, blockLength) || blockLength == 0) blockLength = 512;

  platform::ProcessOptions options;
  options.argv = platform::FormatCommand(node, fatFlag, quick, blockLength);
  options.stdinFile = platform::ProgramPath("misc\\response.txt");
  const platform::ProcessResult r = platform::RunProcess(options, Polling(CurrentDiskToolTiming().formatWaits));
  switch (r.status) {
    case platform::ProcessStatus::Exited:
      return r.exitCode == 0;
    case platform::ProcessStatus::TimedOut:  // killed and reaped by the runner
      platform::ui::Application->MessageBox("Error timeout", "Error", platform::ui::MB_OK);
      return false;
    case platform::ProcessStatus::WaitFailed:
      platform::ui::Application->MessageBox("Error Format", "Error", platform::ui::MB_OK);
      return false;
    case platform::ProcessStatus::FailedToStart:
      break;
  }
  return false;
}

bool SetDriveLabel(char driveLetter, const std::string& label) {
  return platform::SetVolumeLabelA(Root(driveLetter).c_str(), label.c_str()) != 0;
}

std::string GetDriveLabel(char driveLetter) {
  char name[255] = {};
  if (!platform::GetVolumeInformationA(Root(driveLetter).c_str(), name, sizeof name, nullptr, nullptr, nullptr,
                                       nullptr, 0))
    return {};
  return name;
}

bool CheckDiskDrive(char driveLetter) {
  const std::string node = platform::DriveNode(driveLetter);
  if (node.empty()) return false;
  platform::ProcessOptions options;
  options.argv = platform::CheckCommand(node);
  // An overrun check is killed and reaped by the runner: only our own child,
  // never the checks other workers run.
  const platform::ProcessResult r = platform::RunProcess(options, Polling(CurrentDiskToolTiming().checkWaits));
  return r.status == platform::ProcessStatus::Exited && r.exitCode == 0;
}

}  // namespace production

// Image downloads into the controller's system area (setup, data in pieces,
// end), the start of the disk, and the FSM download at device arrival.
#include <cstdio>
#include <limits>

#include "device/commands.h"
#include "platform/files/open_file.h"
#include "device/device_handle.h"
#include "production/file_send.h"
#include "production/product_thread.h"

namespace production {

bool WriteSetup(HANDLE h, const std::string& path) {
  // The size is a 32-bit parameter: a missing file or one of 4 GiB or more
  // cannot be announced.
  const auto size = FileSize(path);
  if (!size || *size > std::numeric_limits<std::uint32_t>::max()) return false;
  return device::cmd_bWriteSetup(h, static_cast<std::uint32_t>(*size)) != 0;
}

bool WriteImageData(HANDLE h, const std::string& path, int /*newFirmware: same bytes either way*/) {
  return SendFileInPieces(path, [h](std::uint8_t* piece, std::uint32_t n) {
    return SendKept(h, "image data", [&](device::Refusal* r) { return device::cmd_bWriteData(h, piece, n, r); });
  });
}

bool WritePreferData(HANDLE h, const std::string& path) { return WriteImageData(h, path, 0); }

bool WriteEnd(HANDLE h) { return device::cmd_bWriteEnd(h) != 0; }

bool CheckSpiFlash(HANDLE h) { return device::cmd_bCheckSpiFlash(h) != 0; }

bool StartDisk(HANDLE h) { return device::cmd_bStartDisk(h) != 0; }

bool SendDownloadFile(HANDLE h, const std::string& path) {
  return SendFileInPieces(path, [h](std::uint8_t* piece, std::uint32_t n) {
    return SendKept(h, "FSM data", [&](device::Refusal* r) { return device::cmd_bDownloadData(h, piece, n, r); });
  });
}

bool SendFileSum(HANDLE h, const std::string& path) {
  const auto length = FileSize(path);
  if (!length) return false;
  std::FILE* f = platform::OpenRegularStream(path, "rb");
  if (!f) return false;
  std::uint16_t sum = 0;
  std::uint8_t buffer[4096];
  std::uint64_t left = *length;
  while (left > 0) {
    const std::size_t n = std::fread(buffer, 1, left < sizeof buffer ? left : sizeof buffer, f);
    if (n == 0) break;
    for (std::size_t i = 0; i < n; ++i) sum = static_cast<std::uint16_t>(sum + buffer[i]);
    left -= n;
  }
  std::fclose(f);
  if (left > 0) return false;  // the file shrank since it was sized: no sum to trust
  return device::cmd_bDownloadSum(h, sum) != 0;
}

bool DownloadFsmFile(char driveLetter, std::int32_t parameter, const std::string& path) {
  const device::ScopedDeviceHandle h = device::OpenDeviceVolume(driveLetter);
  if (!h.IsOpen()) return false;
  return device::cmd_bDownloadStart(h.Get(), static_cast<std::uint32_t>(parameter)) &&
         SendDownloadFile(h.Get(), path) && SendFileSum(h.Get(), path);
}

}  // namespace production

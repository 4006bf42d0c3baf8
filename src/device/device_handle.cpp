#include "device/device_handle.h"

#include <string>

#include "device/commands.h"

namespace device {

ScopedDeviceHandle OpenDeviceVolume(char driveLetter) {
  std::string path(kVolumePathPrefix);
  path.push_back(driveLetter);
  path.push_back(':');
  return ScopedDeviceHandle(platform::CreateFileA(path.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
                                                  platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, nullptr,
                                                  platform::OPEN_EXISTING, 0, nullptr));
}

}  // namespace device

// A device handle of the pass-through layer that closes itself: whatever way
// its owner leaves (a return on any road, an exception thrown by a command or
// by the target behind it), the handle it opened is closed exactly once.
#pragma once

#include <utility>

#include "platform/scsi/scsi.h"

namespace device {

class ScopedDeviceHandle {
 public:
  explicit ScopedDeviceHandle(platform::HANDLE h = platform::INVALID_HANDLE_VALUE) noexcept : h_(h) {}
  ~ScopedDeviceHandle() { Close(); }
  ScopedDeviceHandle(ScopedDeviceHandle&& other) noexcept : h_(other.Release()) {}
  ScopedDeviceHandle(const ScopedDeviceHandle&) = delete;
  ScopedDeviceHandle& operator=(const ScopedDeviceHandle&) = delete;

  platform::HANDLE Get() const noexcept { return h_; }
  bool IsOpen() const noexcept { return h_ != platform::INVALID_HANDLE_VALUE; }
  // Hands the handle over to a caller that closes it itself.
  platform::HANDLE Release() noexcept { return std::exchange(h_, platform::INVALID_HANDLE_VALUE); }
  void Close() noexcept {
    if (IsOpen()) platform::CloseHandle(Release());
  }

 private:
  platform::HANDLE h_;
};

// Opens the device's volume path ("\\.\" + letter + ":") for reading and
// writing, shared for both, existing only: the one way the station reaches a
// device by its letter (the commands that take a letter, the run, the disk-size
// and capacity queries, the FSM download and the port lookup at arrival).
ScopedDeviceHandle OpenDeviceVolume(char driveLetter);

}  // namespace device

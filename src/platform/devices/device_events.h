// Device notifications as the station's main window receives them: the
// WM_DEVICECHANGE message with a volume broadcast whose unit mask names the
// drive letters (bit n = 'A' + n), queued to the UI thread.
//
// Sources: the volume table (platform::Volumes()), whose arrivals and
// removals are forwarded here, covers the emulated bus and the real disks
// that the udev monitor binds (platform/devices/udev_monitor.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

inline constexpr unsigned WM_DEVICECHANGE = 0x0219;
inline constexpr std::uintptr_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr std::uintptr_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t DBT_DEVTYP_VOLUME = 2;

struct DEV_BROADCAST_HDR {
  std::uint32_t dbch_size = 0;
  std::uint32_t dbch_devicetype = 0;
  std::uint32_t dbch_reserved = 0;
};

struct DEV_BROADCAST_VOLUME {
  std::uint32_t dbcv_size = sizeof(DEV_BROADCAST_VOLUME);
  std::uint32_t dbcv_devicetype = DBT_DEVTYP_VOLUME;
  std::uint32_t dbcv_reserved = 0;
  std::uint32_t dbcv_unitmask = 0;
  std::uint16_t dbcv_flags = 0;
};

// A window message: its number, its two parameters and the handler's result.
struct TMessage {
  unsigned Msg = 0;
  std::uintptr_t WParam = 0;
  std::intptr_t LParam = 0;
  std::intptr_t Result = 0;
};

// The unit-mask bit of a drive letter, 0 for anything but 'A'..'Z'.
inline std::uint32_t UnitMaskOf(char letter) {
  return letter >= 'A' && letter <= 'Z' ? std::uint32_t{1} << (letter - 'A') : 0;
}

// Delivers a volume event as WM_DEVICECHANGE: builds the broadcast and the
// message and hands both to `deliver` (the broadcast lives for the call).
void DeliverVolumeChange(std::uintptr_t event, std::uint32_t unitMask,
                         const std::function<void(TMessage&)>& deliver);

// Forwards every arrival and removal of the volume table, one message per
// event, to the UI thread's queue (Application->Post), where `deliver` runs
// with the message. Stops at destruction: events already queued still run
// only while the forwarder lives.
class VolumeEventForwarder {
 public:
  explicit VolumeEventForwarder(std::function<void(TMessage&)> deliver);
  ~VolumeEventForwarder();
  VolumeEventForwarder(const VolumeEventForwarder&) = delete;
  VolumeEventForwarder& operator=(const VolumeEventForwarder&) = delete;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  int watch_ = -1;
};

}  // namespace platform

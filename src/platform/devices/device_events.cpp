#include "platform/devices/device_events.h"

#include <mutex>

#include "platform/ui/application.h"
#include "platform/volumes/volumes.h"

namespace platform {

void DeliverVolumeChange(std::uintptr_t event, std::uint32_t unitMask,
                         const std::function<void(TMessage&)>& deliver) {
  DEV_BROADCAST_VOLUME volume;
  volume.dbcv_unitmask = unitMask;
  TMessage message;
  message.Msg = WM_DEVICECHANGE;
  message.WParam = event;
  message.LParam = reinterpret_cast<std::intptr_t>(&volume);
  deliver(message);
}

struct VolumeEventForwarder::Shared {
  std::mutex m;
  bool alive = true;
  std::function<void(TMessage&)> deliver;
};

VolumeEventForwarder::VolumeEventForwarder(std::function<void(TMessage&)> deliver)
    : shared_(std::make_shared<Shared>()) {
  shared_->deliver = std::move(deliver);
  // The watcher only queues: the message runs later on the UI thread, never
  // inside the table's notification.
  watch_ = Volumes().Watch([shared = shared_](VolumeEvent event, char letter) {
    const std::uintptr_t kind = event == VolumeEvent::Arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    const std::uint32_t mask = UnitMaskOf(letter);
    if (mask == 0) return;
    ui::Application->Post([shared, kind, mask] {
      std::function<void(TMessage&)> deliver;
      {
        std::lock_guard lock(shared->m);
        if (!shared->alive) return;
        deliver = shared->deliver;
      }
      DeliverVolumeChange(kind, mask, deliver);
    });
  });
}

VolumeEventForwarder::~VolumeEventForwarder() {
  Volumes().Unwatch(watch_);
  std::lock_guard lock(shared_->m);
  shared_->alive = false;
}

}  // namespace platform

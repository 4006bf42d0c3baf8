#include "platform/devices/udev_monitor.h"

#include <atomic>

#ifdef STATION_HAVE_LIBUDEV
#include <libudev.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef STATION_HAVE_LIBUDEV

namespace {

UdevProperties PropertiesOf(udev_device* device) {
  UdevProperties p;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device)) {
    const char* name = udev_list_entry_get_name(entry);
    const char* value = udev_list_entry_get_value(entry);
    if (name) p[name] = value ? value : "";
  }
  return p;
}

}  // namespace

struct UdevMonitor::Impl {
  explicit Impl(UsbDiskBinder::Notice notice) : binder(Volumes(), {}, {}, std::move(notice)) {}
  UsbDiskBinder binder;
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
  int stopPipe[2] = {-1, -1};
  std::thread thread;

  ~Impl() {
    if (monitor) udev_monitor_unref(monitor);
    if (context) udev_unref(context);
    for (int fd : stopPipe)
      if (fd >= 0) ::close(fd);
  }

  // The disks already there count as arrivals.
  void ScanPresent() {
    udev_enumerate* scan = udev_enumerate_new(context);
    if (!scan) return;
    udev_enumerate_add_match_subsystem(scan, "block");
    udev_enumerate_add_match_property(scan, "DEVTYPE", "disk");
    udev_enumerate_scan_devices(scan);
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan)) {
      udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
      if (!device) continue;
      UdevProperties p = PropertiesOf(device);
      p["ACTION"] = "add";
      binder.Handle(p);
      udev_device_unref(device);
    }
    udev_enumerate_unref(scan);
  }

  void Run() {
    ScanPresent();
    pollfd fds[2] = {{udev_monitor_get_fd(monitor), POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      if (!(fds[0].revents & POLLIN)) continue;
      if (udev_device* device = udev_monitor_receive_device(monitor)) {
        binder.Handle(PropertiesOf(device));
        udev_device_unref(device);
      }
    }
  }
};

UdevMonitor::UdevMonitor(UsbDiskBinder::Notice notice) : notice_(std::move(notice)) {}
UdevMonitor::~UdevMonitor() { Stop(); }

bool UdevMonitor::Start(std::string* error) {
  if (impl_) return true;
  auto impl = std::make_unique<Impl>(notice_);
  auto fail = [error](const char* why) {
    if (error) *error = why;
    return false;
  };
  impl->context = udev_new();
  if (!impl->context) return fail("udev is not available");
  impl->monitor = udev_monitor_new_from_netlink(impl->context, "udev");
  if (!impl->monitor) return fail("udev events cannot be received");
  udev_monitor_filter_add_match_subsystem_devtype(impl->monitor, "block", "disk");
  if (udev_monitor_enable_receiving(impl->monitor) < 0) return fail("udev events cannot be received");
  if (::pipe2(impl->stopPipe, O_CLOEXEC) != 0) return fail("no pipe for the udev monitor");
  Impl* raw = impl.get();
  impl->thread = std::thread([raw] { raw->Run(); });
  impl_ = std::move(impl);
  return true;
}

void UdevMonitor::Stop() {
  if (!impl_) return;
  const char stop = 1;
  (void)!::write(impl_->stopPipe[1], &stop, 1);
  impl_->thread.join();
  impl_.reset();
}

#else  // built without libudev

struct UdevMonitor::Impl {};
UdevMonitor::UdevMonitor(UsbDiskBinder::Notice notice) : notice_(std::move(notice)) {}
UdevMonitor::~UdevMonitor() = default;

bool UdevMonitor::Start(std::string* error) {
  if (error) *error = "built without libudev";
  return false;
}

void UdevMonitor::Stop() {}

#endif

}  // namespace platform

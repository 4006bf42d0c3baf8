// Real USB disks on the volume table: a udev monitor gives every USB
// mass-storage disk a drive letter when it appears (binding the SCSI generic
// node of the same device for pass-through and the block node for its disk)
// and takes the letter back when it goes. The volume table's watchers (the
// station's device events) hear both. Disks that are not on the USB bus, and
// partitions, are never given a letter.
//
// The event-to-letter logic (UsbDiskBinder) works on the properties udev
// reports for an event, so that it can be fed recorded events.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/scsi/scsi.h"
#include "platform/volumes/volumes.h"

namespace platform {

// The properties of one udev event (ACTION, SUBSYSTEM, DEVTYPE, DEVNAME,
// DEVPATH, ID_BUS, ID_TYPE ...).
using UdevProperties = std::map<std::string, std::string>;

// The SCSI generic node ("/dev/sgN") of the disk at a sysfs device path
// (DEVPATH, "/devices/..."), read from <sysRoot><DEVPATH>/device/scsi_generic/;
// "" when it has none.
std::string ScsiGenericNodeOf(const std::string& devpath, const std::string& sysRoot = "/sys");

class UsbDiskBinder {
 public:
  using NodeLookup = std::function<std::string(const std::string& devpath)>;
  using TargetMaker = std::function<std::shared_ptr<ScsiTarget>(const std::string& sgNode)>;

  // Defaults: the sysfs lookup and an SG_IO target on the node.
  explicit UsbDiskBinder(VolumeTable& table, NodeLookup sgNodeOf = {}, TargetMaker makeTarget = {});

  // One event: "add" of a USB disk binds the first free letter from D and
  // returns it; "remove" of a disk it bound unbinds and returns its letter.
  // Every other event, a disk not on USB, one without a SCSI generic node or
  // no free letter: 0, nothing changes.
  char Handle(const UdevProperties& event);

 private:
  VolumeTable& table_;
  NodeLookup sgNodeOf_;
  TargetMaker makeTarget_;
  std::mutex m_;
  std::map<std::string, char> letters_;  // DEVNAME -> letter
};

// Watches udev for block disks (the ones present at start count as added)
// and hands every event to a UsbDiskBinder on the process's volume table.
class UdevMonitor {
 public:
  UdevMonitor();
  ~UdevMonitor();
  UdevMonitor(const UdevMonitor&) = delete;
  UdevMonitor& operator=(const UdevMonitor&) = delete;

  // False with the reason when udev cannot be watched (no libudev in the
  // build, no netlink access).
  bool Start(std::string* error = nullptr);
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform

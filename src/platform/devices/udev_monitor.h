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
#include <set>
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

// What is known about a SCSI generic node that could not be opened.
struct NodeAccess {
  int error = 0;          // errno of the open
  bool known = false;     // the node could be looked at: owner, group, mode
  unsigned mode = 0;      // permission bits
  std::string owner;      // user and group names (numbers when they have none)
  std::string group;
  std::string user;       // the station's user
};

// Looks at `node` for the station's user, after an open that failed with `error`.
NodeAccess ProbeNodeAccess(const std::string& node, int error);

// Why `node` cannot be opened, and what opening it takes, as the operator
// reads it.
std::string NodeRefusalText(const std::string& node, const NodeAccess& access);

// Why a USB disk without a SCSI generic node cannot be used, and what it takes.
std::string NoNodeText();

class UsbDiskBinder {
 public:
  using NodeLookup = std::function<std::string(const std::string& devpath)>;
  // Null, with the reason in `whyNot`, when the node cannot be opened.
  using TargetMaker = std::function<std::shared_ptr<ScsiTarget>(const std::string& sgNode, std::string& whyNot)>;
  // Tells the operator about a USB disk that is left out.
  using Notice = std::function<void(const std::string& text)>;

  // Defaults: the sysfs lookup and an SG_IO target on the node.
  explicit UsbDiskBinder(VolumeTable& table, NodeLookup sgNodeOf = {}, TargetMaker makeTarget = {},
                         Notice notice = {});

  // One event: "add" of a USB disk binds the first free letter from D and
  // returns it; "remove" of a disk it bound unbinds and returns its letter.
  // Every other event, a disk not on USB, one without a SCSI generic node or
  // no free letter: 0, nothing changes. A disk whose node cannot be opened is
  // told to `notice`, once for each node until it opens; a disk with no node
  // at all (the sg driver not loaded), once for each disk until it binds.
  char Handle(const UdevProperties& event);

 private:
  VolumeTable& table_;
  NodeLookup sgNodeOf_;
  TargetMaker makeTarget_;
  Notice notice_;
  std::mutex m_;
  std::map<std::string, char> letters_;  // DEVNAME -> letter
  std::set<std::string> refused_;        // nodes told as refused
  std::set<std::string> nodeless_;       // disks (DEVNAME) told as having no node
};

// Watches udev for block disks (the ones present at start count as added)
// and hands every event to a UsbDiskBinder on the process's volume table.
class UdevMonitor {
 public:
  explicit UdevMonitor(UsbDiskBinder::Notice notice = {});
  ~UdevMonitor();
  UdevMonitor(const UdevMonitor&) = delete;
  UdevMonitor& operator=(const UdevMonitor&) = delete;

  // False with the reason when udev cannot be watched (no libudev in the
  // build, no netlink access).
  bool Start(std::string* error = nullptr);
  void Stop();

 private:
  struct Impl;
  UsbDiskBinder::Notice notice_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform

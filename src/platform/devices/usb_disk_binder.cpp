#include <filesystem>

#include "platform/devices/udev_monitor.h"
#include "platform/scsi/sg_io_target.h"

namespace platform {

namespace fs = std::filesystem;

std::string ScsiGenericNodeOf(const std::string& devpath, const std::string& sysRoot) {
  if (devpath.empty() || devpath.find("..") != std::string::npos) return "";
  std::error_code ec;
  const fs::path folder = fs::path(sysRoot + devpath) / "device" / "scsi_generic";
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("sg", 0) == 0) return "/dev/" + name;
  }
  return "";
}

UsbDiskBinder::UsbDiskBinder(VolumeTable& table, NodeLookup sgNodeOf, TargetMaker makeTarget)
    : table_(table), sgNodeOf_(std::move(sgNodeOf)), makeTarget_(std::move(makeTarget)) {
  if (!sgNodeOf_) sgNodeOf_ = [](const std::string& devpath) { return ScsiGenericNodeOf(devpath); };
  if (!makeTarget_) {
    makeTarget_ = [](const std::string& node) -> std::shared_ptr<ScsiTarget> {
      auto target = std::make_shared<SgIoTarget>(node);
      return target->IsOpen() ? target : nullptr;
    };
  }
}

namespace {

std::string Get(const UdevProperties& p, const char* key) {
  auto it = p.find(key);
  return it == p.end() ? std::string() : it->second;
}

// A whole disk that udev places on the USB bus; optical drives and
// partitions are not.
bool IsUsbDisk(const UdevProperties& p) {
  const std::string type = Get(p, "ID_TYPE");
  return Get(p, "SUBSYSTEM") == "block" && Get(p, "DEVTYPE") == "disk" && Get(p, "ID_BUS") == "usb" &&
         (type.empty() || type == "disk") && Get(p, "DEVPATH").find("/usb") != std::string::npos &&
         !Get(p, "DEVNAME").empty();
}

}  // namespace

char UsbDiskBinder::Handle(const UdevProperties& event) {
  const std::string action = Get(event, "ACTION");
  const std::string devname = Get(event, "DEVNAME");
  if (action == "remove") {
    char letter = 0;
    {
      std::lock_guard lock(m_);
      auto it = letters_.find(devname);
      if (it == letters_.end()) return 0;
      letter = it->second;
      letters_.erase(it);
    }
    table_.Unmount(letter);  // the watchers hear the removal outside our lock
    return letter;
  }
  if (action != "add" || !IsUsbDisk(event)) return 0;
  {
    std::lock_guard lock(m_);
    if (letters_.count(devname)) return 0;  // already bound (start-up scan and event both seen)
  }
  const std::string sg = sgNodeOf_(Get(event, "DEVPATH"));
  if (sg.empty()) return 0;
  std::shared_ptr<ScsiTarget> target = makeTarget_(sg);
  if (!target) return 0;
  // The letter is recorded before the table tells its watchers, so that a
  // removal right after the arrival finds it.
  std::lock_guard lock(m_);
  const char letter = table_.Assign(std::move(target), devname);
  if (letter) letters_[devname] = letter;
  return letter;
}

}  // namespace platform

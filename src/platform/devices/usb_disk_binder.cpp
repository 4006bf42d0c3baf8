#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/devices/udev_monitor.h"
#include "platform/scsi/sg_io_target.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

std::string UserName(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->gr_name;
  return std::to_string(gid);
}

std::string ModeText(unsigned mode) {
  std::string text = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit)
    if (!(mode & (0400u >> bit))) text[static_cast<std::size_t>(bit)] = '-';
  return text;
}

}  // namespace

NodeAccess ProbeNodeAccess(const std::string& node, int error) {
  NodeAccess access;
  access.error = error;
  access.user = UserName(::geteuid());
  struct stat st {};
  if (::stat(node.c_str(), &st) != 0) return access;
  access.known = true;
  access.mode = st.st_mode & 0777;
  access.owner = UserName(st.st_uid);
  access.group = GroupName(st.st_gid);
  return access;
}

std::string NodeRefusalText(const std::string& node, const NodeAccess& a) {
  std::string text = "its SCSI generic node " + node + " cannot be opened for reading and writing (" +
                     std::strerror(a.error) + ")";
  if (!a.known || (a.error != EACCES && a.error != EPERM)) return text + ".";
  text += "; it belongs to user " + a.owner + " and group " + a.group + " (" + ModeText(a.mode) + ")";
  // Refused in spite of the group's rights: the station's user is not in it
  // (or was added since it logged in).
  if ((a.mode & 060) == 060)
    return text + " and may be opened by root and by the members of group " + a.group +
           ": run the station as root, or add user " + a.user + " to group " + a.group + " and log in again.";
  if ((a.mode & 0600) == 0600 && a.owner != "root")
    return text + " and may be opened by root and by user " + a.owner + ": run the station as root or as " + a.owner +
           ".";
  return text + " and may be opened by root only: run the station as root.";
}

std::string NoNodeText() {
  return "it has no SCSI generic node (/dev/sgN), through which the station talks to it: the sg driver is not "
         "loaded. Load it (as root: modprobe sg; to load it at every start, add sg to /etc/modules-load.d/), then "
         "plug the disk in again.";
}

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

UsbDiskBinder::UsbDiskBinder(VolumeTable& table, NodeLookup sgNodeOf, TargetMaker makeTarget, Notice notice)
    : table_(table), sgNodeOf_(std::move(sgNodeOf)), makeTarget_(std::move(makeTarget)), notice_(std::move(notice)) {
  if (!sgNodeOf_) sgNodeOf_ = [](const std::string& devpath) { return ScsiGenericNodeOf(devpath); };
  if (!makeTarget_) {
    makeTarget_ = [](const std::string& node, std::string& whyNot) -> std::shared_ptr<ScsiTarget> {
      auto target = std::make_shared<SgIoTarget>(node);
      if (target->IsOpen()) return target;
      const int error = errno;  // the open's: nothing after it in the constructor sets errno
      whyNot = NodeRefusalText(node, ProbeNodeAccess(node, error));
      return nullptr;
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
  // A disk left out is told once per node (or per disk without one), not at
  // both the start-up scan and its event.
  auto leaveOut = [this, &devname](std::set<std::string>& told, const std::string& key,
                                   const std::string& why) -> char {
    bool tell = false;
    {
      std::lock_guard lock(m_);
      tell = told.insert(key).second;
    }
    if (tell && notice_) notice_("USB disk " + devname + " is left out: " + why);
    return 0;
  };
  const std::string sg = sgNodeOf_(Get(event, "DEVPATH"));
  if (sg.empty()) return leaveOut(nodeless_, devname, NoNodeText());
  std::string whyNot;
  std::shared_ptr<ScsiTarget> target = makeTarget_(sg, whyNot);
  if (!target) return leaveOut(refused_, sg, whyNot);
  // The letter is recorded before the table tells its watchers, so that a
  // removal right after the arrival finds it.
  std::lock_guard lock(m_);
  refused_.erase(sg);
  nodeless_.erase(devname);
  const char letter = table_.Assign(std::move(target), devname);
  if (letter) letters_[devname] = letter;
  return letter;
}

}  // namespace platform

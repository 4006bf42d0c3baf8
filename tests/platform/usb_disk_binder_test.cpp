// USB disks from udev events: recorded event properties go through the
// binder; the sysfs lookup of the SCSI generic node runs on a folder tree
// shaped like /sys; a node the station may not open is a file it may not open.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/devices/udev_monitor.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace platform {
namespace {

// Answers nothing; the binder only needs a target to bind.
struct NullTarget : ScsiTarget {
  bool Execute(const ScsiRequest&) override { return false; }
};

const char kUsbPath[] = "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
const char kUsbPath2[] = "/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/host7/target7:0:0/7:0:0:0/block/sdc";
const char kSataPath[] = "/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";

UdevProperties Event(const char* action, const char* devname, const char* devpath, const char* bus,
                     const char* devtype = "disk", const char* type = "disk") {
  return {{"ACTION", action}, {"SUBSYSTEM", "block"}, {"DEVTYPE", devtype}, {"DEVNAME", devname},
          {"DEVPATH", devpath}, {"ID_BUS", bus},       {"ID_TYPE", type}};
}

TEST(UsbDiskBinder, UsbDisksTakeLettersAndGiveThemBack) {
  VolumeTable table;
  std::vector<std::pair<VolumeEvent, char>> heard;
  table.Watch([&](VolumeEvent e, char letter) { heard.emplace_back(e, letter); });
  std::vector<std::string> opened;
  UsbDiskBinder binder(
      table,
      [](const std::string& devpath) {
        if (devpath == kUsbPath) return std::string("/dev/sg2");
        if (devpath == kUsbPath2) return std::string("/dev/sg3");
        return std::string();  // no generic node
      },
      [&](const std::string& node, std::string&) {
        opened.push_back(node);
        return std::make_shared<NullTarget>();
      });

  struct Step {
    UdevProperties event;
    char letter;
  };
  const Step steps[] = {
      {Event("add", "/dev/sda", kSataPath, "ata"), 0},                          // not on USB
      {Event("add", "/dev/sdb1", kUsbPath, "usb", "partition"), 0},             // a partition
      {Event("add", "/dev/sr0", kUsbPath, "usb", "disk", "cd"), 0},             // an optical drive
      {Event("add", "/dev/sdb", kUsbPath, "usb"), 'D'},
      {Event("add", "/dev/sdb", kUsbPath, "usb"), 0},                           // seen twice
      {Event("change", "/dev/sdb", kUsbPath, "usb"), 0},                        // media change
      {Event("add", "/dev/sdd", "/devices/x/usb2/2-1/block/sdd", "usb"), 0},    // no generic node
      {Event("add", "/dev/sdc", kUsbPath2, "usb"), 'E'},
      {Event("remove", "/dev/sdb", kUsbPath, ""), 'D'},
      {Event("remove", "/dev/sda", kSataPath, "ata"), 0},
      {Event("add", "/dev/sdb", kUsbPath, "usb"), 'D'},                         // back at the free letter
  };
  for (const Step& s : steps)
    EXPECT_EQ(binder.Handle(s.event), s.letter) << s.event.at("ACTION") << " " << s.event.at("DEVNAME");

  EXPECT_EQ(opened, (std::vector<std::string>{"/dev/sg2", "/dev/sg3", "/dev/sg2"}));
  ASSERT_TRUE(table.Lookup('D'));
  EXPECT_EQ(table.Lookup('D')->node, "/dev/sdb");
  EXPECT_EQ(table.Lookup('E')->node, "/dev/sdc");
  const std::vector<std::pair<VolumeEvent, char>> expected = {{VolumeEvent::Arrival, 'D'},
                                                              {VolumeEvent::Arrival, 'E'},
                                                              {VolumeEvent::Removal, 'D'},
                                                              {VolumeEvent::Arrival, 'D'}};
  EXPECT_EQ(heard, expected);
}

// A node the station's user may not open binds nothing and is told once (the
// start-up scan and the event both report the disk), naming the node and
// what opening it takes.
TEST(UsbDiskBinder, AGenericNodeThatCannotBeOpenedIsToldOnce) {
  testing_support::TempDir dir;
  ::chmod(dir.path.c_str(), 0755);
  const std::string node = dir / "sg9";
  std::ofstream(node) << "";
  ASSERT_EQ(::chown(node.c_str(), 0, 0), 0);
  ::chmod(node.c_str(), 0660);
  VolumeTable table;
  std::vector<std::string> told;
  UsbDiskBinder binder(
      table, [&](const std::string&) { return node; }, {}, [&](const std::string& text) { told.push_back(text); });
  testing_support::RunUnprivileged([&] {
    EXPECT_EQ(binder.Handle(Event("add", "/dev/sdb", kUsbPath, "usb")), 0);
    EXPECT_EQ(binder.Handle(Event("add", "/dev/sdb", kUsbPath, "usb")), 0);
  });
  EXPECT_FALSE(table.Lookup('D'));
  EXPECT_EQ(binder.Handle(Event("remove", "/dev/sdb", kUsbPath, "usb")), 0);
  const std::vector<std::string> once = {
      "USB disk /dev/sdb is left out: its SCSI generic node " + node +
      " cannot be opened for reading and writing (Permission denied); it belongs to user root and group root "
      "(rw-rw----) and may be opened by root and by the members of group root: run the station as root, or add "
      "user nobody to group root and log in again."};
  EXPECT_EQ(told, once);
  // Once it opens, a later refusal is told again.
  EXPECT_EQ(binder.Handle(Event("add", "/dev/sdb", kUsbPath, "usb")), 'D');
  EXPECT_EQ(binder.Handle(Event("remove", "/dev/sdb", kUsbPath, "usb")), 'D');
  testing_support::RunUnprivileged([&] { binder.Handle(Event("add", "/dev/sdb", kUsbPath, "usb")); });
  EXPECT_EQ(told.size(), 2u);
}

// A USB disk with no generic node at all (the sg driver not loaded) binds
// nothing and is told once, with what it takes; other disks are not held up,
// and once the driver is there the disk binds and is told again when it next
// has no node.
TEST(UsbDiskBinder, ADiskWithoutAGenericNodeIsToldOnce) {
  VolumeTable table;
  std::vector<std::string> told;
  bool driver = false;
  UsbDiskBinder binder(
      table, [&](const std::string& devpath) { return driver || devpath == kUsbPath2 ? "/dev/sg2" : ""; },
      [](const std::string&, std::string&) { return std::make_shared<NullTarget>(); },
      [&](const std::string& text) { told.push_back(text); });
  EXPECT_EQ(binder.Handle(Event("add", "/dev/sdb", kUsbPath, "usb")), 0);
  EXPECT_EQ(binder.Handle(Event("add", "/dev/sdb", kUsbPath, "usb")), 0);  // the start-up scan and the event
  EXPECT_EQ(binder.Handle(Event("add", "/dev/sdc", kUsbPath2, "usb")), 'D');
  EXPECT_EQ(binder.Handle(Event("add", "/dev/sda", kSataPath, "ata")), 0);  // no USB disk: nothing to tell
  const std::vector<std::string> once = {"USB disk /dev/sdb is left out: " + NoNodeText()};
  EXPECT_EQ(told, once);
  EXPECT_NE(NoNodeText().find("modprobe sg"), std::string::npos);
  driver = true;
  EXPECT_EQ(binder.Handle(Event("add", "/dev/sdb", kUsbPath, "usb")), 'E');
  EXPECT_EQ(binder.Handle(Event("remove", "/dev/sdb", kUsbPath, "usb")), 'E');
  driver = false;
  EXPECT_EQ(binder.Handle(Event("add", "/dev/sdb", kUsbPath, "usb")), 0);
  EXPECT_EQ(told.size(), 2u);
}

// (The group's case is the one above.)
TEST(UsbDiskBinder, ARefusalSaysWhatOpeningTheNodeTakes) {
  struct Case {
    NodeAccess access;
    std::string tail;  // after "... cannot be opened for reading and writing "
  };
  const Case cases[] = {
      {{EACCES, true, 0600, "line", "disk", "op"},
       "(Permission denied); it belongs to user line and group disk (rw-------) and may be opened by root and by user "
       "line: run the station as root or as line."},
      {{EACCES, true, 0640, "root", "disk", "op"},
       "(Permission denied); it belongs to user root and group disk (rw-r-----) and may be opened by root only: run "
       "the station as root."},
      {{ENOENT, false, 0, "", "", "op"}, "(No such file or directory)."},
      {{EBUSY, true, 0660, "root", "disk", "op"}, "(Device or resource busy)."},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NodeRefusalText("/dev/sg2", c.access),
              "its SCSI generic node /dev/sg2 cannot be opened for reading and writing " + c.tail);
}

TEST(UsbDiskBinder, TheGenericNodeIsReadFromSysfs) {
  testing_support::TempDir sys;
  std::filesystem::create_directories(sys.path + kUsbPath + "/device/scsi_generic/sg4");
  EXPECT_EQ(ScsiGenericNodeOf(kUsbPath, sys.path), "/dev/sg4");
  EXPECT_EQ(ScsiGenericNodeOf(kUsbPath2, sys.path), "");
  EXPECT_EQ(ScsiGenericNodeOf("/devices/../../etc", sys.path), "");
}

}  // namespace
}  // namespace platform

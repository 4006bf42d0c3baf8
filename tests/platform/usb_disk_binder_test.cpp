// USB disks from udev events: recorded event properties go through the
// binder; the sysfs lookup of the SCSI generic node runs on a folder tree
// shaped like /sys.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/devices/udev_monitor.h"
#include "support/temp_dir.h"

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
      [&](const std::string& node) {
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

TEST(UsbDiskBinder, AGenericNodeThatCannotBeOpenedBindsNothing) {
  VolumeTable table;
  UsbDiskBinder binder(
      table, [](const std::string&) { return std::string("/dev/sg9"); },
      [](const std::string&) { return std::shared_ptr<ScsiTarget>(); });
  EXPECT_EQ(binder.Handle(Event("add", "/dev/sdb", kUsbPath, "usb")), 0);
  EXPECT_FALSE(table.Lookup('D'));
  EXPECT_EQ(binder.Handle(Event("remove", "/dev/sdb", kUsbPath, "usb")), 0);
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

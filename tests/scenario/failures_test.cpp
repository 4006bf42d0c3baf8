// How runs fail where no single device command fails (the sweep fails each
// command in turn): refusals of the flash, the settings and the files, with
// their texts and whether they prepared the configuration information (late)
// or left the device's configuration alone (early); ten failed program tries;
// the file checks, the bonding check, tries of the format, the running count
// and the elapsed time.
#include <ctime>

#include "platform/drive/drive.h"
#include "support/scenario.h"

namespace scenario {
namespace {

using emulator::Fault;
using platform::ui::clRed;
using platform::ui::clWindowText;

struct FailureCase {
  const char* name;
  std::function<void(ScenarioTest&, DeviceProfile&)> arrange;            // before the device is made
  std::function<void(EmulatedDevice&)> inject;                           // after it is plugged
  const char* status;
  bool late;  // after the configuration block: the configuration info is prepared
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

struct FailureTest : ScenarioTest, ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, ShowsItsTextAndPreparesTheConfigurationOnlyWhenLate) {
  const FailureCase& c = GetParam();
  StandardFirmware();
  DeviceProfile profile = CleanStandard();
  if (c.arrange) c.arrange(*this, profile);
  auto dev = Plug(profile, 'E');
  if (c.inject) c.inject(*dev);
  ASSERT_TRUE(Arrive('E', 0));
  WaitForRuns();

  EXPECT_EQ(Status(), c.status);
  EXPECT_EQ(StatusColor(), clRed);
  EXPECT_EQ(PicturePath(), home / "misc/fail.bmp");
  EXPECT_TRUE(Logged("E fail!"));
  EXPECT_EQ(window.Counts().total, 1);
  EXPECT_EQ(window.Counts().failed, 1);
  EXPECT_EQ(window.RunningCount(), 0);
  EXPECT_TRUE(window.grpFileList.Enabled());
  // The block is written by the configuration stage; a late failure then
  // prepares the configuration information, which erases the third and
  // fourth good blocks after the two that hold the block.
  EXPECT_EQ(platform::OpenHandleCount(), handlesAtStart) << "the run's handle is closed";
  EXPECT_EQ(HasStationConfig(*dev), c.late);
  EXPECT_EQ(dev->CountVendor(device::SUB_SCSI_OP_ERASE_BLOCK), c.late ? 4u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Families, FailureTest,
    ::testing::Values(
        FailureCase{"UnknownFlash",
                    [](ScenarioTest&, DeviceProfile& p) { p.WithFlashId({0x11, 0x22, 0x33, 0x44, 0x55}); }, nullptr,
                    "No Support the Flash Pls build Config table", false},
        FailureCase{"TooManyBadBlocks", [](ScenarioTest& t, DeviceProfile& p) {
                      p.WithBadBlockRate(0.05, 3);
                      t.window.settings.iBadThreshold = 2;
                    },
                    nullptr, "Please do blanking check", false},
        FailureCase{"SystemAreaTooLarge",
                    [](ScenarioTest& t, DeviceProfile&) { t.window.inspection.iProgramSize = 600 << 20; }, nullptr,
                    "System Area Size fail", false},
        FailureCase{"ProgramTenTimes", nullptr,
                    [](EmulatedDevice& d) { d.InjectFault(Fault::Vendor(0x7B).Times(10)); }, "Program Writing fail",
                    true},
        FailureCase{"SdkVersion",
                    [](ScenarioTest& t, DeviceProfile&) { t.window.inspection.iSdkType = 1; },
                    nullptr, "SDK Ver and NAND Flash no match  fail", true},
        FailureCase{"CopyMissingFile",
                    [](ScenarioTest& t, DeviceProfile&) {
                      t.AddListEntry(t.home / "gone.txt");
                    },
                    nullptr, "Copy Filesfail", true}),
    [](const auto& info) { return std::string(info.param.name); });

// Failures before any device command but the firmware-select read.
struct FileCheckCase {
  const char* name;
  std::vector<const char*> files;
  bool iso;
  const char* status;
};
void PrintTo(const FileCheckCase& c, std::ostream* os) { *os << c.name; }

struct FileCheckTest : ScenarioTest, ::testing::WithParamInterface<FileCheckCase> {};

TEST_P(FileCheckTest, FailsBeforeAnyCommandButTheFirmwareSelectRead) {
  for (const char* f : GetParam().files) AddFile(f, 4000);
  window.chkISOupgrade.SetChecked(GetParam().iso);
  auto dev = Run(CleanStandard());
  EXPECT_EQ(Status(), GetParam().status);
  EXPECT_EQ(StatusColor(), clRed);
  for (const auto& t : dev->Trace()) {
    const bool fsm = t.IsVendor(0x77) || t.IsVendor(0x78) || t.IsVendor(0x79);
    EXPECT_TRUE(fsm || t.IsVendor(device::SUB_SCSI_OP_GET_FW_SELECT)) << std::hex << int(t.Op()) << " " << int(t.Sub());
  }
  EXPECT_EQ(window.RunningCount(), 0);
  EXPECT_TRUE(window.grpFileList.Enabled());
  EXPECT_EQ(window.Counts().failed, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FileCheckTest,
    ::testing::Values(FileCheckCase{"NoPrefer", {"program.bin"}, false, "Cannot findprefer.dat"},
                      FileCheckCase{"NoProgram", {"prefer.dat"}, false, "Cannot findprogram.bin"},
                      FileCheckCase{"NoIso", {"program.bin", "prefer.dat"}, true, "Cannot findImage.ISO"}),
    [](const auto& info) { return std::string(info.param.name); });

struct BondingCase {
  std::uint8_t firmwareId;
  std::uint8_t bondingId;
  const char* status;  // "successful" for a pass
};
void PrintTo(const BondingCase& c, std::ostream* os) {
  *os << "firmware " << int(c.firmwareId) << ", chip " << int(c.bondingId);
}

struct BondingTest : ScenarioTest, ::testing::WithParamInterface<BondingCase> {};

TEST_P(BondingTest, ComparesTheChipWithTheFirmware) {
  StandardFirmware();
  window.inspection.FirmwareId = GetParam().firmwareId;
  DeviceProfile p = CleanStandard();
  p.WithBondingId(GetParam().bondingId);
  auto dev = Run(p);
  EXPECT_EQ(Status(), GetParam().status);
  if (std::string(GetParam().status) != "successful") {
    EXPECT_FALSE(HasStationConfig(*dev)) << "an early failure";
    EXPECT_EQ(dev->CountVendor(device::SUB_SCSI_OP_READ_FLASH_ID), 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Ids, BondingTest,
                         ::testing::Values(BondingCase{0xFF, 3, "successful"}, BondingCase{5, 15, "successful"},
                                           BondingCase{3, 3, "successful"},
                                           BondingCase{0, 3, "SDK bonding ID check fail 0"},
                                           BondingCase{5, 0, "Chip bonding ID check fail0"},
                                           BondingCase{5, 16, "Chip bonding ID check fail16"},
                                           BondingCase{5, 3, "SDK bonding ID not match 5"}));

using RunFailureTest = ScenarioTest;

TEST_F(RunFailureTest, UnopenableDeviceFailsWithoutTouchingTheRunningCount) {
  window.SetSlot(0, 'Q');  // nothing behind Q:
  StartWorker('Q', 0);
  WaitForRuns();
  EXPECT_EQ(Status(), "FileHandle fail");
  EXPECT_EQ(StatusColor(), clRed);
  EXPECT_TRUE(Logged("Q fail!"));
  EXPECT_EQ(window.Counts().failed, 1);
  EXPECT_EQ(window.RunningCount(), 0);
}

TEST_F(RunFailureTest, EarlyFailureDoesNotLowerTheCountOfARunStillGoing) {
  StandardFirmware();
  auto dev = Plug(CleanStandard(), 'E');
  int countMeanwhile = -1;
  bool groupsMeanwhile = true;
  // While E waits for its disk to start, a worker for an empty letter fails.
  AtRequest(dev, Vendor(device::SUB_SCSI_OP_START_DISK), [&] {
    app->Post([this] {
      window.SetSlot(1, 'Q');
      StartWorker('Q', 1);
    });
    while (finished.load() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    countMeanwhile = window.RunningCount();
    groupsMeanwhile = window.grpFileList.Enabled();
  });
  ASSERT_TRUE(Arrive('E', 0));
  WaitForRuns();
  EXPECT_EQ(Status(1), "FileHandle fail");
  EXPECT_EQ(countMeanwhile, 1);
  EXPECT_FALSE(groupsMeanwhile);
  EXPECT_EQ(Status(0), "successful");
  EXPECT_EQ(window.RunningCount(), 0);
  EXPECT_TRUE(window.grpFileList.Enabled());
}

TEST_F(RunFailureTest, ProgramThatFailsNineTimesPassesOnTheTenthTry) {
  StandardFirmware();
  auto dev = Plug(CleanStandard(), 'E');
  dev->InjectFault(Fault::Vendor(0x7B).Times(9));
  ASSERT_TRUE(Arrive('E', 0));
  WaitForRuns();
  EXPECT_EQ(Status(), "successful");
  EXPECT_EQ(dev->CountVendor(device::SUB_SCSI_OP_WRITE_SETUP), 10u + 1u) << "ten program tries, one prefer";
  const auto shown = StatusHistory();
  EXPECT_NE(std::find(shown.begin(), shown.end(), "Program Writing Retry 9"), shown.end())
      << ::testing::PrintToString(shown);
  EXPECT_EQ(std::find(shown.begin(), shown.end(), "Program Writing Retry 10"), shown.end());
}

// The format tool answers with a failure, after `passes` calls that format.
struct FormatTriesTest : ScenarioTest {
  void SetUp() override {
    ScenarioTest::SetUp();
    saved = platform::CurrentDiskTools();
  }
  void TearDown() override {
    platform::CurrentDiskTools() = saved;
    ScenarioTest::TearDown();
  }
  void FormatToolPassing(int passes) {
    const std::string tool = home / "format.sh";
    WriteFile(tool, "#!/bin/sh\necho x >> \"$0.count\"\n[ \"$(wc -l < \"$0.count\")\" -le " + std::to_string(passes) +
                        " ] && exec mkfs.fat \"$@\"\nexit 1\n");
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    platform::CurrentDiskTools().format = tool;
  }
  int FormatCalls() {
    const std::string text = testing_support::ReadFile(home / "format.sh.count");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
  platform::DiskTools saved;
};

TEST_F(FormatTriesTest, UserDiskIsTriedFourTimes) {
  StandardFirmware();
  FormatToolPassing(0);
  auto dev = Run(CleanStandard());
  EXPECT_EQ(Status(), "Format fail");
  EXPECT_EQ(FormatCalls(), 4);
  EXPECT_TRUE(HasStationConfig(*dev));
}

TEST_F(FormatTriesTest, HiddenDiskIsTriedOnce) {
  StandardFirmware();
  window.settings.eDeviceFeature = 2;
  window.settings.iHideDiskRatio = 50;
  FormatToolPassing(1);
  Run(CleanStandard());
  EXPECT_EQ(Status(), "Format fail");
  EXPECT_EQ(FormatCalls(), 2);
}

TEST_F(RunFailureTest, ElapsedTimeIsTrueAcrossMidnight) {
  StandardFirmware();
  std::tm local{};
  local.tm_year = 126, local.tm_mon = 11, local.tm_mday = 6;
  local.tm_hour = 23, local.tm_min = 59, local.tm_sec = 58;
  local.tm_isdst = -1;
  clock->Set(std::chrono::system_clock::from_time_t(std::mktime(&local)));
  const std::uint64_t sleptBefore = clock->SleptMs();
  Run(CleanStandard());
  const auto result = ParseResultLine(FlashLine());
  ASSERT_TRUE(result.has_value()) << FlashLine();
  // The run waited more than ten seconds (the file list's pause): it ended
  // after midnight and still shows the time it took.
  EXPECT_GE(result->seconds, 10);
  EXPECT_LE(static_cast<std::uint64_t>(result->seconds), (clock->SleptMs() - sleptBefore) / 1000);
}

}  // namespace
}  // namespace scenario

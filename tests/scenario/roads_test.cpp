// Whole runs on each road: NAND with format, label and copy; SPI-only with and
// without the read-back check; configuration only, for NAND and SPI.
#include <algorithm>

#include "support/scenario.h"

namespace scenario {
namespace {

using platform::ui::clBlue;
using platform::ui::clWindowText;

struct RoadTest : ScenarioTest {
  // The pass as the operator sees it, and what it leaves in the station.
  void ExpectPassed(char letter = 'E', int slot = 0) {
    EXPECT_EQ(Status(slot), "successful");
    EXPECT_EQ(StatusColor(slot), clBlue);
    EXPECT_EQ(PicturePath(slot), home / "misc/success.bmp");
    EXPECT_EQ(Progress(slot), window.panels[slot].gauge.MaxValue());
    EXPECT_TRUE(Logged(std::string(1, letter) + " success!"));
    EXPECT_EQ(window.RunningCount(), 0);
    EXPECT_TRUE(window.grpFileList.Enabled());
    EXPECT_TRUE(window.grpMPSetting.Enabled());
    EXPECT_EQ(platform::OpenHandleCount(), handlesAtStart);
  }
};

TEST_F(RoadTest, NandRoadFormatsLabelsAndCopiesTheListButFirmwareAndBinFiles) {
  AddFile("telbook.dat", 3000, 7);  // first in the list: still written
  StandardFirmware();
  AddFile("readme.txt", 5000, 3);
  AddFile("Tool.BIN", 4096, 4);
  WriteFile(home / "files/music/a.mp3", Pattern(70000, 5));
  WriteFile(home / "files/music/live/b.mp3", Pattern(1000, 6));
  AddListEntry(home / "files/music");

  auto dev = Run(emulator::profiles::Standard());

  ExpectPassed();
  const std::vector<emulator::DownloadedImage> images = dev->Images();
  std::vector<std::size_t> sizes;
  for (const auto& i : images) sizes.push_back(i.bytes.size());
  EXPECT_EQ(sizes, (std::vector<std::size_t>{100000, 8192, 3000})) << "program, prefer, telbook";
  EXPECT_TRUE(HasStationConfig(*dev));

  // A fresh disk holds no file system, so it is formatted, labelled and filled.
  const auto disk = dev->UserDiskPath();
  EXPECT_TRUE(testing_support::FsckClean(disk.string()));
  EXPECT_EQ(DiskLabel(disk), "STATION");
  const auto files = DiskFiles(disk);
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"music/a.mp3", "music/live/b.mp3", "readme.txt"}));
  EXPECT_EQ(files.at("music/a.mp3"), Pattern(70000, 5));
  EXPECT_EQ(files.at("readme.txt"), Pattern(5000, 3));

  // "<size>MB, <seconds>Sec": the size the device reports, and at least the
  // ten seconds a run with a file list waits before its result.
  const auto result = ParseResultLine(FlashLine());
  ASSERT_TRUE(result.has_value()) << FlashLine();
  const auto layout = dev->Layout();
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(result->bad, -1);
  EXPECT_EQ(static_cast<std::uint64_t>(result->mb), (layout->userSectors - 1) * (layout->blockLength / 512) / 2048);
  EXPECT_GE(result->seconds, 10);
  EXPECT_EQ(window.lblsiosize.Caption(), std::to_string(result->mb) + "MB") << "the main window shows the size";
  const auto waits = Waits();
  EXPECT_EQ(std::count(waits.begin(), waits.end(), 10000u), 1);

  // The gauge only moves forward, from 0 to its end.
  const auto gauge = GaugeHistory();
  EXPECT_TRUE(std::is_sorted(gauge.begin(), gauge.end())) << ::testing::PrintToString(gauge);
  EXPECT_EQ(gauge.back(), 100);
  EXPECT_EQ(window.Counts().total, 1);
  EXPECT_EQ(window.Counts().passed, 1);
  EXPECT_EQ(window.TotalStr.Caption(), "1");
}

TEST_F(RoadTest, DiskWithFileSystemKeepsItsFilesAndOnlyGetsTheLabel) {
  StandardFirmware();
  auto dev = Run(emulator::profiles::Standard());
  ExpectPassed();
  // The same device again, its disk formatted by the first run, another label.
  const std::string marker = home / "marker.txt";
  WriteFile(marker, "kept");
  ASSERT_EQ(testing_support::Shell("mcopy -i " + testing_support::Quote(dev->UserDiskPath().string()) + " " +
                                   testing_support::Quote(marker) + " ::/marker.txt"),
            0);
  window.LabelEdit.SetText("SECOND");
  dev->Unplug();
  ASSERT_EQ(dev->Plug('E'), 'E');
  ASSERT_TRUE(Arrive('E', 0));
  WaitForRuns();
  ExpectPassed();
  EXPECT_EQ(DiskLabel(dev->UserDiskPath()), "SECOND");
  EXPECT_EQ(DiskFiles(dev->UserDiskPath()).count("marker.txt"), 1u);
}

// The same device produced again after its user disk lost a block: the file
// system the first run left claims more sectors than the disk now holds, so
// the second run must format instead of keeping it.
struct ShrunkDiskCase {
  const char* name;
  std::function<void(EmulatedDevice&)> shrink;  // between the runs, before the second arrival
  const char* label;
};
void PrintTo(const ShrunkDiskCase& c, std::ostream* os) { *os << c.name; }

struct ShrunkDiskTest : RoadTest, ::testing::WithParamInterface<ShrunkDiskCase> {};

TEST_P(ShrunkDiskTest, SecondRunFormatsTheSmallerDisk) {
  const ShrunkDiskCase& c = GetParam();
  StandardFirmware();
  AddFile("song.mp3", 3000, 9);
  auto dev = Run(CleanStandard());
  ExpectPassed();
  const auto first = dev->Layout();
  ASSERT_TRUE(first.has_value());

  dev->Unplug();
  c.shrink(*dev);
  window.LabelEdit.SetText(c.label);
  ASSERT_EQ(dev->Plug('E'), 'E');
  ASSERT_TRUE(Arrive('E', 0));
  WaitForRuns();

  ExpectPassed();
  const auto second = dev->Layout();
  ASSERT_TRUE(second.has_value());
  EXPECT_LT(second->userSectors, first->userSectors) << "the disk lost a block";
  const auto disk = dev->UserDiskPath().string();
  EXPECT_TRUE(testing_support::FsckClean(disk));
  EXPECT_EQ(DiskLabel(disk), c.label);
  EXPECT_EQ(DiskFiles(disk).at("song.mp3"), Pattern(3000, 9));
}

INSTANTIATE_TEST_SUITE_P(
    LostBlock, ShrunkDiskTest,
    ::testing::Values(
        ShrunkDiskCase{"GrownBad", [](EmulatedDevice& d) { d.GrowBadBlock(2000); }, "STATION"},
        ShrunkDiskCase{"GrownBadNewLabel", [](EmulatedDevice& d) { d.GrowBadBlock(2000); }, "SECOND"},
        ShrunkDiskCase{"EraseFailsOnce",
                       [](EmulatedDevice& d) { d.InjectFault(emulator::Fault::Vendor(device::SUB_SCSI_OP_ERASE_BLOCK)); },
                       "STATION"},
        ShrunkDiskCase{"PageWriteFailsOnceNewLabel",
                       [](EmulatedDevice& d) { d.InjectFault(emulator::Fault::Vendor(device::SUB_SCSI_OP_WRITE_PAGES)); },
                       "SECOND"}),
    [](const auto& info) { return std::string(info.param.name); });

// The SPI-only road: images into the SPI flash, then the read-back check.
struct SpiRoadTest : RoadTest, ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(SpiRoadTest, EndsWithTheReadBackCheckInsteadOfAFormat) {
  const auto [readBack, blankCheck] = GetParam();
  window.chknor.SetChecked(readBack);
  window.chkBlankCheck.SetChecked(blankCheck);
  StandardFirmware(100000);

  auto dev = Run(emulator::profiles::SpiOnlyDevice());

  ExpectPassed();
  EXPECT_EQ(window.panels[0].gauge.MaxValue(), blankCheck ? 400 : 100);
  const auto result = ParseResultLine(FlashLine());
  ASSERT_TRUE(result.has_value()) << FlashLine();
  EXPECT_EQ(result->bad, blankCheck ? 0 : -1);
  EXPECT_EQ(result->blocks, blankCheck ? 0 : -1);
  EXPECT_EQ(result->mb, 4);
  EXPECT_GE(result->seconds, 10);
  EXPECT_EQ(std::filesystem::exists(home / "log/0_Read_buffer.bin"), readBack);
  EXPECT_EQ(dev->Layout(), std::nullopt) << "no disk on an SPI-only device";
  EXPECT_FALSE(HasStationConfig(*dev));
  // The read-back check sets the gauge to 78 and 80 as plain numbers, also
  // when the scale starts above them.
  const auto gauge = GaugeHistory();
  const int b = blankCheck ? 300 : 0;
  std::vector<int> tail(gauge.end() - std::min<std::size_t>(gauge.size(), readBack ? 4 : 2), gauge.end());
  if (readBack)
    EXPECT_EQ(tail, (std::vector<int>{b + 75, 78, 80, b + 100}));
  else
    EXPECT_EQ(tail, (std::vector<int>{b + 75, b + 100}));
}

INSTANTIATE_TEST_SUITE_P(ReadBackAndScale, SpiRoadTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

// Without the firmware upgrade the run ends once the controller is set up.
struct ConfigurationOnlyTest : RoadTest, ::testing::WithParamInterface<bool> {};

TEST_P(ConfigurationOnlyTest, PassesWithoutImagesFormatOrCopy) {
  const bool spi = GetParam();
  window.chkFwUpgrade.SetChecked(false);
  auto dev = Run(spi ? emulator::profiles::SpiOnlyDevice() : emulator::profiles::Standard());
  ExpectPassed();
  EXPECT_TRUE(dev->Images().empty());
  EXPECT_EQ(dev->Layout(), std::nullopt) << "no start disk";
  EXPECT_EQ(dev->CountVendor(device::SUB_SCSI_OP_GET_BONDING_ID), 0u);
  // The size: the SPI flash's; a NAND device shows no disk yet, so 0.
  EXPECT_TRUE(FlashLine().starts_with(spi ? "4MB, " : "0MB, ")) << FlashLine();
  if (!spi) {
    // The block without the firmware upgrade carries 'X' in its signature.
    const Bytes cfg = dev->StoredConfig();
    EXPECT_EQ(std::string(cfg.begin(), cfg.begin() + 8), "QX71QX71");
  }
}

INSTANTIATE_TEST_SUITE_P(NandAndSpi, ConfigurationOnlyTest, ::testing::Bool());

}  // namespace
}  // namespace scenario

// Whole runs on each road: NAND with format, label and copy, from either
// firmware image; the same device again (format or label only); SPI-only with
// and without the read-back check, the saved flash image and music files;
// configuration only, for NAND and SPI.
#include <algorithm>
#include <numeric>

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
  // The configuration block the controller reads at power-up carries its
  // checksum: the 16-bit sum of bytes 82 to 254, high byte first at 80.
  static void ExpectConfigChecksum(const EmulatedDevice& d) {
    const Bytes cfg = d.StoredConfig();
    ASSERT_GE(cfg.size(), 512u);
    unsigned sum = 0;
    for (std::size_t i = 82; i <= 254; ++i) sum += cfg[i];
    EXPECT_EQ(cfg[80] * 256u + cfg[81], sum & 0xFFFF);
  }
};

// The device's firmware-select byte: 0 asks for the list's "_new.bin" image,
// any other value for the plain one; with the ISO option the list's
// image.iso follows the telbook image.
struct NandRoadTest : RoadTest, ::testing::WithParamInterface<std::tuple<std::uint8_t, bool>> {};

TEST_P(NandRoadTest, FormatsLabelsAndCopiesTheListButFirmwareAndBinFiles) {
  const auto [fwSelect, iso] = GetParam();
  AddFile("telbook.dat", 3000, 7);  // first in the list: still written
  StandardFirmware();
  const std::string newFirmware = AddFile("program_new.bin", 90000, 8);
  if (iso) AddFile("image.iso", 20000, 10);
  window.chkISOupgrade.SetChecked(iso);
  AddFile("readme.txt", 5000, 3);
  AddFile("Tool.BIN", 4096, 4);
  WriteFile(home / "files/music/a.mp3", Pattern(70000, 5));
  WriteFile(home / "files/music/live/b.mp3", Pattern(1000, 6));
  AddListEntry(home / "files/music");

  auto dev = Run(emulator::profiles::Standard().WithFwSelect(fwSelect));

  ExpectPassed();
  const std::vector<emulator::DownloadedImage> images = dev->Images();
  std::vector<std::size_t> sizes;
  for (const auto& i : images) sizes.push_back(i.bytes.size());
  const std::size_t program = fwSelect == 0 ? 90000 : 100000;
  std::vector<std::size_t> expected = {program, 8192, 3000};
  if (iso) expected.push_back(20000);
  EXPECT_EQ(sizes, expected) << "program, prefer, telbook, ISO";
  ASSERT_FALSE(images.empty());
  EXPECT_EQ(std::string(images[0].bytes.begin(), images[0].bytes.end()),
            testing_support::ReadFile(fwSelect == 0 ? newFirmware : home / "files/program.bin"));
  EXPECT_TRUE(HasStationConfig(*dev));
  ExpectConfigChecksum(*dev);

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
  if (iso) {
    for (int step : {40, 45, 50})  // the ISO image's setup, data and end
      EXPECT_EQ(std::count(gauge.begin(), gauge.end(), step), 1) << ::testing::PrintToString(gauge);
  }
  EXPECT_EQ(window.Counts().total, 1);
  EXPECT_EQ(window.Counts().passed, 1);
  EXPECT_EQ(window.TotalStr.Caption(), "1");
}

INSTANTIATE_TEST_SUITE_P(FirmwareSelect, NandRoadTest,
                         ::testing::Values(std::make_tuple(std::uint8_t{0}, true), std::make_tuple(std::uint8_t{1}, false)),
                         [](const auto& info) { return std::get<0>(info.param) == 0 ? "NewFirmwareIso" : "PlainFirmware"; });

// The same device produced again. The run keeps the file system the first
// run left and only sets the label, unless the Format option asks for a new
// one, or the disk lost a block and the file system claims more sectors than
// it now holds.
struct SecondRunCase {
  const char* name;
  std::function<void(RoadTest&, EmulatedDevice&)> between;  // before the second arrival
  const char* label;
  bool formatted;  // what the first run left on the disk is gone
  bool shrinks;    // the disk lost a block
  std::function<void(EmulatedDevice&)> flash = {};  // what else the device's flash must show
};
void PrintTo(const SecondRunCase& c, std::ostream* os) { *os << c.name; }

struct SecondRunTest : RoadTest, ::testing::WithParamInterface<SecondRunCase> {};

TEST_P(SecondRunTest, FormatsOnlyWhenAskedOrWhenTheDiskShrank) {
  const SecondRunCase& c = GetParam();
  StandardFirmware();
  AddFile("song.mp3", 3000, 9);
  auto dev = Run(CleanStandard());
  ExpectPassed();
  const auto first = dev->Layout();
  ASSERT_TRUE(first.has_value());
  const std::string marker = home / "marker.txt";
  WriteFile(marker, "left by the first run");
  ASSERT_EQ(testing_support::Shell("mcopy -i " + testing_support::Quote(dev->UserDiskPath().string()) + " " +
                                   testing_support::Quote(marker) + " ::/marker.txt"),
            0);

  dev->Unplug();
  c.between(*this, *dev);
  window.LabelEdit.SetText(c.label);
  ASSERT_EQ(dev->Plug('E'), 'E');
  ASSERT_TRUE(Arrive('E', 0));
  WaitForRuns();

  ExpectPassed();
  const auto second = dev->Layout();
  ASSERT_TRUE(second.has_value());
  if (c.shrinks)
    EXPECT_LT(second->userSectors, first->userSectors) << "the disk lost a block";
  else
    EXPECT_EQ(second->userSectors, first->userSectors);
  const auto disk = dev->UserDiskPath().string();
  EXPECT_TRUE(testing_support::FsckClean(disk));
  EXPECT_EQ(DiskLabel(disk), c.label);
  const auto files = DiskFiles(disk);
  EXPECT_EQ(files.at("song.mp3"), Pattern(3000, 9));
  EXPECT_EQ(files.count("marker.txt"), c.formatted ? 0u : 1u);
  ExpectConfigChecksum(*dev);
  // The time shown is the second run's own: at least its ten-second pause,
  // at most what it waited.
  const auto result = ParseResultLine(FlashLine());
  ASSERT_TRUE(result.has_value()) << FlashLine();
  const auto waits = Waits();
  EXPECT_GE(result->seconds, 10);
  EXPECT_LE(static_cast<std::uint64_t>(result->seconds) * 1000,
            std::accumulate(waits.begin(), waits.end(), std::uint64_t{0}));
  if (c.flash) c.flash(*dev);
}

void Nothing(RoadTest&, EmulatedDevice&) {}
void GrowBad(RoadTest&, EmulatedDevice& d) { d.GrowBadBlock(2000); }
// The n-th call of a vendor command fails once.
auto FailsOnce(std::uint8_t sub, std::uint32_t n = 1) {
  return [=](RoadTest&, EmulatedDevice& d) { d.InjectFault(emulator::Fault::Vendor(sub).OnCall(n)); };
}

INSTANTIATE_TEST_SUITE_P(
    SameDevice, SecondRunTest,
    ::testing::Values(
        SecondRunCase{"LabelOnly", Nothing, "SECOND", false, false},
        SecondRunCase{"FormatOption", [](RoadTest& t, EmulatedDevice&) { t.window.chkFormat.SetChecked(true); },
                      "STATION", true, false},
        SecondRunCase{"GrownBad", GrowBad, "STATION", true, true},
        SecondRunCase{"GrownBadNewLabel", GrowBad, "SECOND", true, true},
        SecondRunCase{"EraseFailsOnce", FailsOnce(device::SUB_SCSI_OP_ERASE_BLOCK), "STATION", true, true},
        SecondRunCase{"PageWriteFailsOnceNewLabel", FailsOnce(device::SUB_SCSI_OP_WRITE_PAGES), "SECOND", true, true},
        // The configuration page went into block 0, its bitmap page did not:
        // the block is left out and erased again, so no half copy stays on it.
        SecondRunCase{"BitmapPageWriteFailsOnce", FailsOnce(device::SUB_SCSI_OP_WRITE_PAGES, 2), "STATION", true,
                      true,
                      [](EmulatedDevice& d) {
                        EXPECT_EQ(d.Page(0, 0), std::nullopt);
                        EXPECT_NE(d.Page(1, 0), std::nullopt);
                      }}),
    [](const auto& info) { return std::string(info.param.name); });

// The SPI-only road: images and the operator's music files into the SPI
// flash, then the read-back check and the saved image of the flash.
struct SpiRoadCase {
  const char* name;
  bool readBack;
  bool blankCheck;
  bool saveImage;
  int listEntries;  // of the SPI music list
};
void PrintTo(const SpiRoadCase& c, std::ostream* os) { *os << c.name; }

struct SpiRoadTest : RoadTest, ::testing::WithParamInterface<SpiRoadCase> {
  // Music list entry i: ".mp3" or ".wma" in either case; entry 2 is no music.
  std::string MusicEntry(int i) {
    const char* ext = i == 2 ? ".txt" : i == 5 ? ".MP3" : i % 2 ? ".wma" : ".mp3";
    const std::string path = home / ("spi/song" + std::to_string(i) + ext);
    WriteFile(path, Pattern(100 + 37 * static_cast<std::size_t>(i), 40 + static_cast<unsigned>(i)));
    return path;
  }
};

TEST_P(SpiRoadTest, EndsWithTheReadBackCheckInsteadOfAFormat) {
  const SpiRoadCase& c = GetParam();
  const bool readBack = c.readBack, blankCheck = c.blankCheck;
  window.chknor.SetChecked(readBack);
  window.chkBlankCheck.SetChecked(blankCheck);
  window.settings.SaveSpiImage = c.saveImage;
  for (int i = 0; i < c.listEntries; ++i) window.spiFiles.push_back(MusicEntry(i));
  StandardFirmware(100000);

  auto dev = Run(emulator::profiles::SpiOnlyDevice());

  ExpectPassed();
  // Slot 0 saves the flash as far as the program and prefer images reach:
  // the program rounded up to 64 KiB, and 128 KiB.
  const auto saved = home / "NorImage.bin";
  EXPECT_EQ(std::filesystem::exists(saved), c.saveImage);
  if (c.saveImage) {
    const Bytes flash = dev->SpiRead(0, 131072 + 131072);
    EXPECT_EQ(testing_support::ReadFile(saved), std::string(flash.begin(), flash.end()));
  }
  // Each music file went to the device behind its 8 KiB header: "Q401", the
  // type (0x80 ".mp3", 0xC0 ".wma") with the list position + 3 in its low six
  // bits, the size big-endian.
  const auto images = dev->Images();
  std::size_t next = 2;  // after the program and the prefer image
  for (int i = 0; i < c.listEntries; ++i) {
    if (i == 2) continue;
    ASSERT_LT(next, images.size()) << "music entry " << i;
    const std::string file = testing_support::ReadFile(window.spiFiles[static_cast<std::size_t>(i)]);
    const Bytes& got = images[next++].bytes;
    ASSERT_EQ(got.size(), 8192 + file.size()) << i;
    const std::uint8_t type = static_cast<std::uint8_t>((i % 2 && i != 5 ? 0xC0 : 0x80) | ((i + 3) & 63));
    const Bytes head = {'Q', '4', '0', '1', type, 0, 0, static_cast<std::uint8_t>(file.size() >> 8),
                        static_cast<std::uint8_t>(file.size())};
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 9), head) << "music entry " << i;
    EXPECT_EQ(std::string(got.begin() + 8192, got.end()), file) << "music entry " << i;
  }
  EXPECT_EQ(images.size(), next) << "no other image";
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

// 31 music entries reach the list positions whose type bits need all six.
INSTANTIATE_TEST_SUITE_P(Spi, SpiRoadTest,
                         ::testing::Values(SpiRoadCase{"Plain", false, false, false, 0},
                                           SpiRoadCase{"ReadBackSaved", true, false, true, 0},
                                           SpiRoadCase{"ScaledMusic", false, true, true, 31},
                                           SpiRoadCase{"ReadBackScaledMusic", true, true, false, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

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
  const auto gauge = GaugeHistory();
  EXPECT_TRUE(std::is_sorted(gauge.begin(), gauge.end())) << ::testing::PrintToString(gauge);
  const auto waits = Waits();
  EXPECT_EQ(std::count(waits.begin(), waits.end(), 10000u), 0) << "no pause before the result without a file list";
  if (!spi) {
    // The block without the firmware upgrade carries 'X' in its signature.
    const Bytes cfg = dev->StoredConfig();
    EXPECT_EQ(std::string(cfg.begin(), cfg.begin() + 8), "QX71QX71");
    ExpectConfigChecksum(*dev);
  }
}

INSTANTIATE_TEST_SUITE_P(NandAndSpi, ConfigurationOnlyTest, ::testing::Bool());

}  // namespace
}  // namespace scenario

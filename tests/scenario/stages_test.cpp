// Whole runs through the three bad-block stages and the disk split roads:
// hidden disk with a file list, without a file system, with an image file;
// encrypted disk beside the user disk and taking the whole flash.
#include <sys/stat.h>

#include <cctype>
#include <set>

#include "platform/convert/exception.h"
#include "support/scenario.h"

namespace scenario {
namespace {

using platform::ui::clBlue;
using platform::ui::clRed;

DeviceProfile TwoBadBlocks() {
  DeviceProfile p = CleanStandard();
  p.factoryBadBlocks = {5, 77};
  return p;
}

enum class BadBlockStage { DeviceMap, ClearFlash, BlankCheck };

struct BadBlockStageTest : ScenarioTest, ::testing::WithParamInterface<BadBlockStage> {};

TEST_P(BadBlockStageTest, FindsTheBadBlocksAndPasses) {
  const BadBlockStage stage = GetParam();
  window.chkClearFlash.SetChecked(stage == BadBlockStage::ClearFlash);
  window.chkBlankCheck.SetChecked(stage == BadBlockStage::BlankCheck);
  ASSERT_TRUE(production::RegWriteInt("LogBiTable", 1));  // the engineers' tables wanted
  StandardFirmware();
  auto dev = Run(TwoBadBlocks());

  EXPECT_EQ(Status(), "successful");
  const bool scanned = stage != BadBlockStage::DeviceMap;
  // A scan puts its findings in the result line: bad blocks / all blocks.
  const auto result = ParseResultLine(FlashLine());
  ASSERT_TRUE(result.has_value()) << FlashLine();
  EXPECT_EQ(result->bad, scanned ? 2 : -1);
  EXPECT_EQ(result->blocks, scanned ? 4096 : -1);
  EXPECT_EQ(window.panels[0].gauge.MaxValue(), stage == BadBlockStage::BlankCheck ? 400 : 100);
  const auto gauge = GaugeHistory();
  EXPECT_TRUE(std::is_sorted(gauge.begin(), gauge.end())) << ::testing::PrintToString(gauge);
  if (stage == BadBlockStage::BlankCheck) {  // the scan's share of the gauge runs from 5 to 305
    EXPECT_NE(std::find(gauge.begin(), gauge.end(), 304), gauge.end()) << ::testing::PrintToString(gauge);
  }
  EXPECT_EQ(dev->CountVendor(device::SUB_SCSI_OP_READ_BAD_BLOCK_MAP), stage == BadBlockStage::DeviceMap ? 1u : 0u);
  EXPECT_EQ(dev->CountVendor(device::SUB_SCSI_OP_BLOCK_TEST) > 0, stage == BadBlockStage::BlankCheck);
  EXPECT_EQ(dev->CountVendor(device::SUB_SCSI_OP_ERASE_BLOCK) >= 4096, stage == BadBlockStage::ClearFlash);
  // The disk the device shows leaves the two bad blocks out.
  const auto layout = dev->Layout();
  ASSERT_TRUE(layout.has_value());
  EXPECT_TRUE(testing_support::FsckClean(dev->UserDiskPath().string()));
  // The slot's table of the bad blocks the stage found, whichever stage it was.
  const std::string table = testing_support::ReadFile(home / "log/0_bi_tab.txt");
  std::set<int> listed;  // the "%04d(" of each entry
  for (std::size_t at = table.find('('); at != std::string::npos; at = table.find('(', at + 1))
    if (at >= 4 && std::all_of(table.begin() + static_cast<std::ptrdiff_t>(at) - 4,
                               table.begin() + static_cast<std::ptrdiff_t>(at), ::isdigit))
      listed.insert(std::stoi(table.substr(at - 4, 4)));
  EXPECT_EQ(listed, (std::set<int>{5, 77})) << table;
  EXPECT_NE(table.find("Total blocks: 4096 \nTotal bad bind blocks: 2 \n"), std::string::npos) << table;
}

INSTANTIATE_TEST_SUITE_P(Stages, BadBlockStageTest,
                         ::testing::Values(BadBlockStage::DeviceMap, BadBlockStage::ClearFlash,
                                           BadBlockStage::BlankCheck));

TEST_F(ScenarioTest, AFifoAmongTheFlashTablesIsPassedOverWithoutWaiting) {
  StandardFirmware();
  ASSERT_EQ(::mkfifo((home / "flash/pipe.txt").c_str(), 0600), 0);
  DeviceProfile p = CleanStandard();
  p.flashId[4] ^= 1;  // a near match only: the search reads every table
  Run(p);
  EXPECT_EQ(Status(), "successful");
}

struct SplitTest : ScenarioTest {
  void SetUp() override {
    ScenarioTest::SetUp();
    StandardFirmware();
    window.settings.iHideDiskRatio = 50;
    window.settings.sHideDiskLabel = "HIDDEN";
  }
  // A raw FAT volume of `kib` KiB with one file in it, as an image file.
  std::string MakeImage(int kib) {
    const std::string image = home / "disk.img";
    const std::string file = home / "inside.txt";
    WriteFile(file, "inside the image");
    EXPECT_EQ(testing_support::Shell("mkfs.fat -C -S 512 " + testing_support::Quote(image) + " " + std::to_string(kib)),
              0);
    EXPECT_EQ(testing_support::Shell("mcopy -i " + testing_support::Quote(image) + " " + testing_support::Quote(file) +
                                     " ::/inside.txt"),
              0);
    return image;
  }
  // An encrypted disk taking `ratio` percent, its PASS image, one file for it.
  void Encrypted(int ratio) {
    window.settings.eDeviceFeature = 1;
    window.settings.iHideDiskRatio = ratio;
    WriteFile(home / "misc/PASS.IMG", Pattern(6000, 9));
    window.hideFiles = {AddFile("song.mp3", 3000, 4)};
  }
  std::string Head(const std::filesystem::path& path, std::size_t n) {
    std::string bytes(n, '\0');
    std::ifstream(path, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(n));
    return bytes;
  }
};

TEST_F(SplitTest, HiddenDiskGetsItsOwnFormatLabelAndFiles) {
  window.settings.eDeviceFeature = 2;
  WriteFile(home / "hide/secret.txt", "secret");
  WriteFile(home / "hide/notes/n.bin", "kept on the hidden disk");
  window.hideFiles = {home / "hide/secret.txt", home / "hide/notes"};
  auto dev = Run(TwoBadBlocks());

  EXPECT_EQ(Status(), "successful");
  EXPECT_EQ(Progress(), 100);
  const auto hidden = dev->HiddenDiskPath();
  EXPECT_TRUE(testing_support::FsckClean(hidden.string()));
  EXPECT_EQ(DiskLabel(hidden), "HIDDEN");
  const auto files = DiskFiles(hidden);
  EXPECT_EQ(files.at("secret.txt"), "secret");
  EXPECT_EQ(files.at("notes/n.bin"), "kept on the hidden disk") << "no file is skipped on the hidden disk";
  EXPECT_EQ(DiskLabel(dev->UserDiskPath()), "STATION");
}

TEST_F(SplitTest, HiddenDiskWithoutFileSystemHoldsThePackedFiles) {
  window.settings.eDeviceFeature = 2;
  window.settings.bNonFS = true;
  WriteFile(home / "hide/a", Pattern(100, 1));
  WriteFile(home / "hide/b", Pattern(512, 2));
  WriteFile(home / "hide/c", Pattern(513, 3));
  window.hideFiles = {home / "hide/a", home / "hide/b", home / "hide/c"};
  auto dev = Run(TwoBadBlocks());

  EXPECT_EQ(Status(), "successful");
  const std::string area = Head(dev->HiddenDiskPath(), 5 * 512);
  EXPECT_EQ(area.substr(0, 12), "ZOQQ471K5206");
  auto word = [&](std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(area[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(area[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(area[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(area[at + 3])) << 24;
  };
  EXPECT_EQ((std::vector<std::uint32_t>{word(32), word(36), word(40), word(48), word(52), word(56)}),
            (std::vector<std::uint32_t>{1, 2, 512, 2, 3, 513}));
  EXPECT_EQ(area.substr(512, 100), Pattern(100, 1));
  EXPECT_EQ(area.substr(3 * 512, 513), Pattern(513, 3));
}

TEST_F(SplitTest, ImageFileIsWrittenRawOntoTheHiddenDisk) {
  window.settings.eDeviceFeature = 2;
  window.settings.bUseImgFile = true;
  window.settings.ImageFile = MakeImage(2048);
  auto dev = Run(TwoBadBlocks());

  EXPECT_EQ(Status(), "successful");
  const auto result = ParseResultLine(FlashLine());
  ASSERT_TRUE(result.has_value()) << FlashLine();
  EXPECT_EQ(result->mb, 2);
  EXPECT_EQ(Head(dev->HiddenDiskPath(), 2 << 20), testing_support::ReadFile(window.settings.ImageFile));
  EXPECT_EQ(DiskFiles(dev->HiddenDiskPath()).at("inside.txt"), "inside the image");
}

// Runs that meet a refused image file or disk write, an unreadable file, a
// device without chips or an exception: each ends in its stage's failure
// text, counted and logged as failed, the device's disk without what was
// refused.
struct FailingRun {
  const char* name;
  std::function<void(SplitTest&)> setUp;
  std::function<void(SplitTest&, const std::shared_ptr<EmulatedDevice>&)> fault;
  const char* status;
  std::function<void(SplitTest&, EmulatedDevice&)> disk = {};
};
void PrintTo(const FailingRun& c, std::ostream* os) { *os << c.name; }

struct FailingRunTest : SplitTest, ::testing::WithParamInterface<FailingRun> {};

TEST_P(FailingRunTest, EndsInItsStageText) {
  const FailingRun& c = GetParam();
  c.setUp(*this);
  auto dev = Plug(TwoBadBlocks(), 'E');
  if (c.fault) c.fault(*this, dev);
  ASSERT_TRUE(Arrive('E', 0));
  WaitForRuns();

  EXPECT_EQ(Status(), c.status);
  EXPECT_EQ(StatusColor(), clRed);
  EXPECT_EQ(PicturePath(), home / "misc/fail.bmp");
  EXPECT_EQ(window.Counts().total, 1);
  EXPECT_EQ(window.Counts().failed, 1);
  EXPECT_TRUE(Logged("E fail!"));
  EXPECT_FALSE(Logged("E success!"));
  EXPECT_EQ(window.RunningCount(), 0);
  EXPECT_TRUE(window.grpMPSetting.Enabled());
  EXPECT_EQ(platform::OpenHandleCount(), handlesAtStart);
  if (c.disk) c.disk(*this, *dev);
}

void PackedArea(SplitTest& t) {
  t.window.settings.eDeviceFeature = 2;
  t.window.settings.bNonFS = true;
  for (const char* name : {"a", "b", "c"}) {
    WriteFile(t.home / ("hide/" + std::string(name)), Pattern(name[0] == 'c' ? 513 : 100, name[0]));
    t.window.hideFiles.push_back(t.home / ("hide/" + std::string(name)));
  }
}
void HiddenImage(SplitTest& t) {
  t.window.settings.eDeviceFeature = 2;
  t.window.settings.bUseImgFile = true;
  t.window.settings.ImageFile = t.MakeImage(2048);  // 64 pieces of 32 KiB, the last one marked
  std::fstream(t.window.settings.ImageFile, std::ios::in | std::ios::out | std::ios::binary).seekp((2 << 20) - 4)
      << "TAIL";
}
// An image file of these bytes.
auto ImageOf(std::string bytes) {
  return [bytes](SplitTest& t) {
    t.window.settings.eDeviceFeature = 2;
    t.window.settings.bUseImgFile = true;
    t.window.settings.ImageFile = t.home / "refused.img";
    WriteFile(t.window.settings.ImageFile, bytes);
  };
}
// The n-th WRITE(10) answered with CHECK CONDITION.
auto RefusedWrite(std::uint32_t n) {
  return [n](SplitTest&, const std::shared_ptr<EmulatedDevice>& d) {
    d->InjectFault(emulator::Fault::Opcode(device::SCSI_WRITE10).OnCall(n).AsCheckCondition());
  };
}
// The exception thrown on the worker's thread at the first request `trigger` picks.
template <typename E>
auto ThrowAt(std::function<bool(const platform::ScsiRequest&)> trigger, E error) {
  return [=](SplitTest& t, const std::shared_ptr<EmulatedDevice>& d) { t.AtRequest(d, trigger, [=] { throw error; }); };
}
void NoPackedHeader(SplitTest& t, EmulatedDevice& d) {
  EXPECT_NE(t.Head(d.HiddenDiskPath(), 12), "ZOQQ471K5206") << "the header is written last, only after every file";
}
void NotTheImage(SplitTest& t, EmulatedDevice& d) {
  EXPECT_FALSE(t.Head(d.HiddenDiskPath(), 2 << 20) == testing_support::ReadFile(t.window.settings.ImageFile));
}
void NoStationConfig(SplitTest&, EmulatedDevice& d) { EXPECT_FALSE(Station::HasStationConfig(d)); }
// A hidden disk with a file list whose label the disk cannot take (longer
// than the 11 characters of the field).
void HiddenListUnlabelled(SplitTest& t) {
  t.window.settings.eDeviceFeature = 2;
  t.window.settings.sHideDiskLabel = "LABELTOOLONG";
  WriteFile(t.home / "hide/secret.txt", "secret");
  t.window.hideFiles = {t.home / "hide/secret.txt"};
}
void NoHiddenFiles(SplitTest& t, EmulatedDevice& d) {
  EXPECT_TRUE(t.DiskFiles(d.HiddenDiskPath()).empty()) << "nothing is copied onto a disk whose label failed";
  EXPECT_EQ(t.DiskLabel(d.UserDiskPath()), "STATION");
}
// An image file of 16 MiB (a sparse FAT boot sector of 512-byte sectors)
// for a hidden disk of 1 % of the flash, a few MiB.
void ImageLargerThanTheHiddenDisk(SplitTest& t) {
  t.window.settings.eDeviceFeature = 2;
  t.window.settings.iHideDiskRatio = 1;
  t.window.settings.bUseImgFile = true;
  t.window.settings.ImageFile = t.home / "large.img";
  std::string boot(512, '\0');
  boot[11] = 0x00, boot[12] = 0x02;
  WriteFile(t.window.settings.ImageFile, boot);
  std::filesystem::resize_file(t.window.settings.ImageFile, 16 << 20);
}
// The hidden disk's size in MiB goes to the log; nothing reached the disk.
void HiddenDiskSizeLogged(SplitTest& t, EmulatedDevice& d) {
  const auto layout = d.Layout();
  ASSERT_TRUE(layout.has_value());
  const std::uint64_t mb = (layout->hiddenSectors - 1) * (layout->blockLength / 512) / 2048;
  EXPECT_GT(mb, 0u);
  EXPECT_LT(mb, 16u);
  EXPECT_TRUE(t.Logged(std::to_string(mb))) << ::testing::PrintToString(t.LogLines());
  EXPECT_EQ(t.Head(d.HiddenDiskPath(), 512), std::string(512, '\0'));
}

INSTANTIATE_TEST_SUITE_P(
    Stages, FailingRunTest,
    ::testing::Values(
        FailingRun{"NoChip", [](SplitTest&) {},
                   [](SplitTest&, const std::shared_ptr<EmulatedDevice>& d) {
                     d->InjectFault(emulator::Fault::Vendor(device::SUB_SCSI_OP_GET_CHIP_COUNT).AsEvenStatus(0));
                   },
                   "Flash Check fail", NoStationConfig},
        FailingRun{"ImageToolContainer", ImageOf("Q4X1 IMG" + std::string(65536 - 8, '\0')), {}, "Map Image filefail"},
        FailingRun{"ImageShorterThanASector", ImageOf(std::string(100, 'x')), {}, "IMG file error!"},
        FailingRun{"ImageEmpty", ImageOf(""), {}, "IMG file error!"},
        FailingRun{"PackedAreaFirstWriteRefused", PackedArea, RefusedWrite(1), "Map Image filefail", NoPackedHeader},
        FailingRun{"PackedAreaHeaderRefused", PackedArea, RefusedWrite(5), "Map Image filefail", NoPackedHeader},
        FailingRun{"PackedAreaFileUnreadable",
                   [](SplitTest& t) {
                     PackedArea(t);
                     ASSERT_EQ(::mkfifo((t.home / "hide/pipe").c_str(), 0600), 0);
                     t.window.hideFiles.insert(t.window.hideFiles.begin() + 1, t.home / "hide/pipe");
                   },
                   {}, "Map Image filefail", NoPackedHeader},
        FailingRun{"ImageFirstPieceRefused", HiddenImage, RefusedWrite(1), "Map Image filefail", NotTheImage},
        FailingRun{"ImageLastPieceRefused", HiddenImage, RefusedWrite(64), "Map Image filefail", NotTheImage},
        FailingRun{"OutOfMemory", [](SplitTest&) {}, ThrowAt(Vendor(device::SUB_SCSI_OP_WRITE_DATA), std::bad_alloc()),
                   "Program Writing fail"},
        FailingRun{"NoNumber", [](SplitTest&) {},
                   ThrowAt(Vendor(device::SUB_SCSI_OP_START_DISK),
                           platform::EConvertError("'x' is not a valid integer value")),
                   "Start Diskfail"},
        FailingRun{"HiddenDiskLabelRefused", HiddenListUnlabelled, {}, "Set Volume Label fail", NoHiddenFiles},
        FailingRun{"HiddenDiskTooSmall", ImageLargerThanTheHiddenDisk, {}, "Hidden disk too small!",
                   HiddenDiskSizeLogged},
        FailingRun{"DiskSizeQueryThrows", [](SplitTest&) {},
                   ThrowAt([](const platform::ScsiRequest& r) { return r.cdb[0] == device::SCSI_READ_CAPACITY; },
                           std::runtime_error("the device broke")),
                   "Disk Size Error"},
        FailingRun{"FileSystemError", HiddenImage,
                   ThrowAt([](const platform::ScsiRequest& r) { return r.cdb[0] == device::SCSI_WRITE10; },
                           std::filesystem::filesystem_error("image", std::make_error_code(std::errc::io_error))),
                   "Map Image filefail", NotTheImage}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SplitTest, EncryptedDiskGetsThePassImageAndItsOwnDisk) {
  Encrypted(50);
  auto dev = Run(TwoBadBlocks());

  EXPECT_EQ(Status(), "successful");
  const auto images = dev->Images();
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(std::string(images[2].bytes.begin(), images[2].bytes.end()), Pattern(6000, 9));
  EXPECT_EQ(DiskLabel(dev->HiddenDiskPath()), "HIDDEN");
  EXPECT_EQ(DiskFiles(dev->HiddenDiskPath()).count("song.mp3"), 1u);
  EXPECT_EQ(DiskFiles(dev->UserDiskPath()).count("song.mp3"), 1u);
}

TEST_F(SplitTest, EncryptedDiskTakingTheWholeFlashIsTheOnlyDisk) {
  Encrypted(100);
  auto dev = Run(TwoBadBlocks());

  EXPECT_EQ(Status(), "successful");
  const auto layout = dev->Layout();
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(layout->userSectors, 0u);
  // The user disk's stages are skipped; the size shown is the hidden disk's.
  const auto result = ParseResultLine(FlashLine());
  ASSERT_TRUE(result.has_value()) << FlashLine();
  EXPECT_EQ(static_cast<std::uint64_t>(result->mb), (layout->hiddenSectors - 1) * (layout->blockLength / 512) / 2048);
  EXPECT_TRUE(testing_support::FsckClean(dev->HiddenDiskPath().string()));
  EXPECT_EQ(DiskLabel(dev->HiddenDiskPath()), "HIDDEN");
}

}  // namespace
}  // namespace scenario

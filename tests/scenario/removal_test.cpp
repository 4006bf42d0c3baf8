// A device pulled out during its run while another one is plugged into the
// same slot: the new device keeps its own panel whatever the old run does at
// its end. Pulls spread through every road are in the sweep.
#include "support/scenario.h"

namespace scenario {
namespace {

using platform::ui::clBlue;

TEST_F(ScenarioTest, DevicePluggedIntoTheSlotDuringTheOldRunKeepsItsOwnPanel) {
  StandardFirmware();
  auto old = Plug(CleanStandard(), 'E');
  auto next = Plug(emulator::profiles::SmallDisk(), 'F');
  // E is pulled while its disk starts; F arrives into the same slot, and E's
  // run only ends once F's run is over.
  PullAt(old, 0, Vendor(device::SUB_SCSI_OP_START_DISK), [this] {
    window.SetSlot(0, 'F');
    app->Post([this] { Arrive('F', 0, false); });
    while (finished.load() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  ASSERT_TRUE(Arrive('E', 0));
  WaitForRuns();

  EXPECT_EQ(Status(), "successful");
  EXPECT_EQ(StatusColor(), clBlue);
  EXPECT_EQ(PicturePath(), home / "misc/success.bmp");
  EXPECT_TRUE(window.panels[0].gauge.Visible());
  EXPECT_EQ(Progress(), 100);
  const auto layout = next->Layout();
  ASSERT_TRUE(layout.has_value());
  const auto sizeMB = (layout->userSectors - 1) * (layout->blockLength / 512) / 2048;
  EXPECT_TRUE(FlashLine().starts_with(std::to_string(sizeMB) + "MB, ")) << FlashLine() << " is not F's";
  EXPECT_TRUE(Logged("E fail!"));
  EXPECT_TRUE(Logged("F success!"));
  EXPECT_EQ(window.Counts().total, 2);
  EXPECT_EQ(window.Counts().passed, 1);
}

// A device pulled at the very last request of its run is no pass, whichever
// road the run took and whatever that request was.
struct LastRequestCase {
  const char* name;
  std::function<void(ScenarioTest&)> setUp;
  bool spiOnly = false;
};
void PrintTo(const LastRequestCase& c, std::ostream* os) { *os << c.name; }

struct LastRequestTest : ScenarioTest, ::testing::WithParamInterface<LastRequestCase> {};

TEST_P(LastRequestTest, PulledThereTheRunIsCountedFailed) {
  GetParam().setUp(*this);
  const DeviceProfile profile = GetParam().spiOnly ? emulator::profiles::SpiOnlyDevice() : CleanStandard();
  // A clean run on the same road tells how many requests the run makes.
  const std::size_t requests = Run(profile, 'F')->Trace().size();
  ASSERT_EQ(Status(), "successful");

  auto dev = Plug(profile, 'E');
  auto seen = std::make_shared<std::size_t>(0);
  auto target = PullAt(dev, 0, [seen, requests](const platform::ScsiRequest&) { return ++*seen == requests; });
  ASSERT_TRUE(Arrive('E', 0));
  WaitForRuns();

  ASSERT_TRUE(target->Fired());
  EXPECT_EQ(target->RequestsAfter(), 0);
  EXPECT_EQ(Status(), "Waiting device...");
  EXPECT_EQ(StatusColor(), clWindowText);
  EXPECT_FALSE(window.panels[0].image.Visible());
  EXPECT_EQ(window.Counts().passed, 1) << "only the clean run";
  EXPECT_EQ(window.Counts().failed, 1);
  EXPECT_TRUE(Logged("E fail!"));
  EXPECT_FALSE(Logged("E success!"));
}

void Firmware(ScenarioTest& t) { t.StandardFirmware(); }
void ConfigurationOnly(ScenarioTest& t) { t.window.chkFwUpgrade.SetChecked(false); }

INSTANTIATE_TEST_SUITE_P(
    Roads, LastRequestTest,
    ::testing::Values(LastRequestCase{"UserDisk", Firmware},
                      LastRequestCase{"ConfigurationOnlyNand", ConfigurationOnly},
                      LastRequestCase{"ConfigurationOnlySpi", ConfigurationOnly, true},
                      LastRequestCase{"Spi", Firmware, true},
                      LastRequestCase{"HiddenDiskWithoutFileSystem",
                                      [](ScenarioTest& t) {
                                        t.StandardFirmware();
                                        t.window.settings.eDeviceFeature = 2;
                                        t.window.settings.iHideDiskRatio = 50;
                                        t.window.settings.bNonFS = true;
                                        t.window.hideFiles = {t.AddFile("song.mp3", 3000, 4)};
                                      }},
                      LastRequestCase{"HiddenDiskImage",
                                      [](ScenarioTest& t) {
                                        t.StandardFirmware();
                                        t.window.settings.eDeviceFeature = 2;
                                        t.window.settings.iHideDiskRatio = 50;
                                        t.window.settings.bUseImgFile = true;
                                        t.window.settings.ImageFile = t.home / "disk.img";
                                        ASSERT_EQ(testing_support::Shell("mkfs.fat -C -S 512 " +
                                                                         testing_support::Quote(t.home / "disk.img") +
                                                                         " 1024"),
                                                  0);
                                      }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace scenario

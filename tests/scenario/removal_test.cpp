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

}  // namespace
}  // namespace scenario

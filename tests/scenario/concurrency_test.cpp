// Eight runs at once on devices of mixed kinds, one of them failing: the
// counters add up, every log line is whole, every slot shows its own result.
#include "support/scenario.h"

namespace scenario {
namespace {

using platform::ui::clBlue;
using platform::ui::clRed;

using RunConcurrencyTest = ScenarioTest;

TEST_F(RunConcurrencyTest, EightDevicesRunSideBySide) {
  StandardFirmware();
  AddFile("readme.txt", 20000, 3);
  const std::vector<DeviceProfile> kinds = {
      emulator::profiles::Standard(),  emulator::profiles::TwoChip(),   emulator::profiles::SpiOnlyDevice(),
      emulator::profiles::SmallDisk(), emulator::profiles::WeakPages(), emulator::profiles::Standard(),
      emulator::profiles::SmallDisk(), emulator::profiles::SpiOnlyDevice()};
  constexpr int kFailing = 3;
  std::vector<std::shared_ptr<EmulatedDevice>> devs;
  for (int slot = 0; slot < 8; ++slot) {
    devs.push_back(Plug(kinds[slot], static_cast<char>('E' + slot)));
    if (slot == kFailing) devs.back()->InjectFault(emulator::Fault::Vendor(device::SUB_SCSI_OP_START_DISK));
  }
  for (int slot = 0; slot < 8; ++slot) ASSERT_TRUE(Arrive(static_cast<char>('E' + slot), slot));
  WaitForRuns();

  EXPECT_EQ(window.Counts().total, 8);
  EXPECT_EQ(window.Counts().passed, 7);
  EXPECT_EQ(window.Counts().failed, 1);
  EXPECT_EQ(window.TotalStr.Caption(), "8");
  EXPECT_EQ(window.SuccessStr.Caption(), "7");
  EXPECT_EQ(window.FailStr.Caption(), "1");
  EXPECT_EQ(window.RunningCount(), 0);
  EXPECT_TRUE(window.grpFileList.Enabled());

  // Each result line is whole and names one device once.
  std::map<char, std::string> results;
  for (const std::string& line : LogLines()) {
    if (!line.ends_with("success!") && !line.ends_with("fail!")) continue;
    const std::string verdict = line.size() > 2 ? line.substr(2) : "";
    ASSERT_TRUE(line.size() > 2 && line[0] >= 'E' && line[0] <= 'L' && line[1] == ' ' &&
                (verdict == "success!" || verdict == "fail!"))
        << line;
    EXPECT_TRUE(results.emplace(line[0], line.substr(2)).second) << line;
  }
  ASSERT_EQ(results.size(), 8u);

  for (int slot = 0; slot < 8; ++slot) {
    const char letter = static_cast<char>('E' + slot);
    const bool spi = kinds[slot].IsSpiOnly();
    if (slot == kFailing) {
      EXPECT_EQ(results[letter], "fail!");
      EXPECT_EQ(Status(slot), "Start Diskfail");
      EXPECT_EQ(StatusColor(slot), clRed);
      continue;
    }
    EXPECT_EQ(results[letter], "success!") << letter;
    EXPECT_EQ(Status(slot), "successful") << letter;
    EXPECT_EQ(StatusColor(slot), clBlue);
    // The size in the result line is this slot's device's own.
    const auto result = ParseResultLine(FlashLine(slot));
    ASSERT_TRUE(result.has_value()) << FlashLine(slot);
    if (spi) {
      EXPECT_EQ(result->mb, 4);
    } else {
      const auto layout = devs[slot]->Layout();
      ASSERT_TRUE(layout.has_value());
      EXPECT_EQ(static_cast<std::uint64_t>(result->mb), (layout->userSectors - 1) * (layout->blockLength / 512) / 2048)
          << letter;
      EXPECT_EQ(DiskFiles(devs[slot]->UserDiskPath()).at("readme.txt"), Pattern(20000, 3)) << letter;
    }
  }
}

}  // namespace
}  // namespace scenario

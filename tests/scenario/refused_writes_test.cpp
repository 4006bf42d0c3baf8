// Whole runs on devices that refuse data they are to keep: the device carries
// the write out but answers CHECK CONDITION. The run must not count such a
// write as done: it ends with its stage's failure text (or tries again where
// the stage does), the device is counted as failed, and log/1.txt tells what
// the device refused and its sense key.
#include <gtest/gtest.h>

#include "support/scenario_station.h"

namespace scenario {
namespace {

using emulator::Fault;
using emulator::Sense;
using platform::ui::clBlue;
using platform::ui::clRed;

constexpr Sense kMediumError{0x03, 0x0C, 0x00};
constexpr Sense kDataProtect{0x07, 0x27, 0x00};

void Music(Station& st) {
  st.StandardFirmware();
  WriteFile(st.home / "music/a.mp3", Pattern(20000, 21));
  WriteFile(st.home / "music/b.wma", Pattern(9000, 22));
  st.window.spiFiles = {st.home / "music/a.mp3", st.home / "music/b.wma"};
}

void HiddenArea(Station& st) {
  st.StandardFirmware();
  auto& s = st.window.settings;
  s.eDeviceFeature = 2;
  s.iHideDiskRatio = 50;
  s.bNonFS = true;
  WriteFile(st.home / "hide/a", Pattern(1500, 13));
  st.window.hideFiles = {st.home / "hide/a"};
}

struct RefusalCase {
  const char* name;
  bool spi;
  std::function<void(Station&)> arrange;
  // The fault, given the number of calls the refused command makes in a clean run.
  std::function<Fault(std::size_t cleanCalls)> fault;
  std::uint8_t refused;     // the key the fault counts: vendor sub-opcode, or the opcode for WRITE(10)
  const char* status;       // how the run ends
  std::string logged;       // the log line of the refusal
  bool holdsConfig;         // the device holds the station's configuration block afterwards
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

std::string Line(const char* what, Sense s) {
  char answer[96];
  const char* key = s.key == 3 ? "MEDIUM ERROR" : "DATA PROTECT";
  std::snprintf(answer, sizeof answer, "CHECK CONDITION, sense key %X (%s), ASC/ASCQ %02X/%02X", s.key, key, s.asc,
                s.ascq);
  return std::string("E: ") + what + " refused by the device: " + answer;
}

std::size_t Calls(const EmulatedDevice& d, std::uint8_t key) {
  return key == 0x2A ? d.CountRequests(0x2A) : d.CountVendor(key);
}

class RefusedWrite : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(RefusedWrite, EndsInItsStageTextAndLogsTheSenseKey) {
  const RefusalCase& c = GetParam();
  const DeviceProfile profile = c.spi ? emulator::profiles::SpiOnlyDevice() : CleanStandard();
  std::size_t cleanCalls = 0;
  {
    Station st;
    c.arrange(st);
    auto dev = st.Run(profile);
    ASSERT_EQ(st.Status().substr(0, 10), "successful");
    cleanCalls = Calls(*dev, c.refused);
    ASSERT_GT(cleanCalls, 0u);
  }
  Station st;
  c.arrange(st);
  auto dev = st.Plug(profile, 'E');
  dev->InjectFault(c.fault(cleanCalls));
  const bool arrived = st.Arrive('E', 0);
  st.WaitForRuns();
  EXPECT_EQ(st.Status(), c.status);
  EXPECT_EQ(st.StatusColor(), clRed);
  EXPECT_TRUE(st.Logged(c.logged)) << "the log tells what the device refused";
  if (arrived) {
    EXPECT_TRUE(st.Logged("E fail!"));
    EXPECT_EQ(st.window.Counts().failed, 1);
    EXPECT_EQ(st.window.Counts().passed, 0);
  }
  if (!c.spi) {
    EXPECT_EQ(Station::HasStationConfig(*dev), c.holdsConfig);
  }
  EXPECT_EQ(platform::OpenHandleCount(), st.handlesAtStart);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedWrite,
    ::testing::Values(
        // The music image would come out short, yet its Write End would pass:
        // the announced size is below what is sent.
        RefusalCase{"LastMusicPiece", true, Music,
                    [](std::size_t n) { return Fault::Vendor(0x7B).OnCall(static_cast<std::uint32_t>(n)).AsCheckCondition(kMediumError); },
                    0x7B, "SPI hidden files write fail", Line("SPI music data", kMediumError), false},
        // With the firmware upgrade off, nothing after the block would notice.
        RefusalCase{"EveryConfigurationPage", false,
                    [](Station& st) { st.window.chkFwUpgrade.SetChecked(false); },
                    [](std::size_t) { return Fault::Vendor(0x95).Always().AsCheckCondition(kMediumError); }, 0x95,
                    "Write CFGfail", Line("configuration page", kMediumError), false},
        RefusalCase{"EveryProgramPiece", false, [](Station& st) { st.StandardFirmware(); },
                    [](std::size_t) { return Fault::Vendor(0x7B).Always().AsCheckCondition(kMediumError); }, 0x7B,
                    "Program Writing fail", Line("image data", kMediumError), true},
        RefusalCase{"AnFsmPiece", false, [](Station& st) { st.StandardFirmware(); },
                    [](std::size_t) { return Fault::Vendor(0x78).OnCall(2).AsCheckCondition(kMediumError); }, 0x78,
                    "FSM Loadfail", Line("FSM data", kMediumError), false},
        RefusalCase{"TheHiddenFileArea", false, HiddenArea,
                    [](std::size_t n) {
                      return Fault::Opcode(0x2A).OnCall(static_cast<std::uint32_t>(n)).AsCheckCondition(kDataProtect);
                    },
                    0x2A, "Map Image filefail", Line("hidden-file area", kDataProtect), true}),
    [](const auto& info) { return std::string(info.param.name); });

// One refused page: the block goes to the next good blocks and the run passes
// with the block on the device, as after a page write that failed outright.
TEST(RefusedPage, OneRefusedConfigurationPageIsWrittenAgainElsewhere) {
  Station st;
  st.window.chkFwUpgrade.SetChecked(false);
  auto dev = st.Plug(CleanStandard(), 'E');
  dev->InjectFault(Fault::Vendor(0x95).OnCall(1).AsCheckCondition(kMediumError));
  ASSERT_TRUE(st.Arrive('E', 0));
  st.WaitForRuns();
  EXPECT_EQ(st.Status().substr(0, 10), "successful");
  EXPECT_EQ(st.StatusColor(), clBlue);
  EXPECT_TRUE(Station::HasStationConfig(*dev));
  EXPECT_FALSE(dev->Page(0, 0)) << "the refused page was not written";
  EXPECT_TRUE(st.Logged(Line("configuration page", kMediumError)));
}

}  // namespace
}  // namespace scenario

// What the arrival handler sees: the identity checks, and the reset that takes
// a device off the bus and brings it back in its normal mode.
#include <mutex>
#include <utility>

#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;
namespace profiles = emulator::profiles;
using platform::VolumeEvent;

namespace {

// Records the volume table's arrivals and removals while it lives.
struct BusLog {
  std::mutex mutex;
  std::vector<std::pair<VolumeEvent, char>> events;
  int id = platform::Volumes().Watch([this](VolumeEvent e, char letter) {
    std::lock_guard lock(mutex);
    events.emplace_back(e, letter);
  });
  ~BusLog() { platform::Volumes().Unwatch(id); }
  std::vector<std::pair<VolumeEvent, char>> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(events, {});
  }
};

}  // namespace

TEST_F(EmulatorTest, EveryNamedProfilePassesOrFailsTheArrivalChecks) {
  auto all = profiles::All();
  all.push_back(Small().Named("inquiry-71.1").WithInquiry(emulator::Inquiry711()));
  all.push_back(Small().Named("inquiry-71.2").WithInquiry(emulator::Inquiry712()));
  char letter = 'D';
  for (const auto& p : all) {
    SCOPED_TRACE(p.name);
    Make(p, letter);
    std::uint8_t id[5] = {};
    EXPECT_TRUE(cmd_bGetFlashIdByDrive(letter, id));
    EXPECT_EQ(id[4], p.flashId[0]);
    EXPECT_EQ(bool(cmd_bInquiry(letter)), p.name != "foreign");
    EXPECT_EQ(bool(cmd_bCheckChipModel(letter++)), p.name == "player-mode");  // only it needs the reset
  }
  EXPECT_FALSE(profiles::ByName("no such"));
  EXPECT_THROW(EmulatedDevice::Create(Small().WithGeometry(3000, 64, 1024), dir / "bad"), std::invalid_argument);
}

TEST_F(EmulatorConcurrency, ResetTakesTheDeviceOffTheBusAndBringsItBackInNormalMode) {
  BusLog bus;
  auto [d, h] = Open(profiles::PlayerMode());
  ASSERT_EQ(bus.Take(), (std::vector<std::pair<VolumeEvent, char>>{{VolumeEvent::Arrival, 'E'}}));
  int handlerCalls = 0;
  d->OnReset([&](EmulatedDevice& dev) {
    ++handlerCalls;
    EXPECT_FALSE(dev.Plugged()) << "the device has left the bus when the handler runs";
  });

  ASSERT_TRUE(cmd_bCheckChipModel('E'));
  EXPECT_TRUE(cmd_bResetDevice('E')) << "the device answers before it leaves";
  ASSERT_TRUE(d->AwaitReenumeration());
  EXPECT_EQ(bus.Take(), (std::vector<std::pair<VolumeEvent, char>>{{VolumeEvent::Removal, 'E'},
                                                                    {VolumeEvent::Arrival, 'E'}}));
  EXPECT_EQ(handlerCalls, 1);
  EXPECT_EQ(d->ResetCount(), 1u);

  // A handle from before the reset is dead; the device came back fresh, without its FSM.
  std::uint8_t id[5];
  EXPECT_FALSE(cmd_bGetFlashId(h, id));
  Handle fresh('E');
  EXPECT_TRUE(cmd_bGetFlashId(fresh, id));
  EXPECT_FALSE(d->FsmLoaded());
  EXPECT_FALSE(cmd_bCheckChipModel('E')) << "normal mode: the arrival checks go on";
  EXPECT_TRUE(cmd_bInquiry('E'));

  // Its letter taken meanwhile, it arrives at the first free one.
  const int squatter = platform::Volumes().Watch([&](VolumeEvent e, char letter) {
    if (e == VolumeEvent::Removal && letter == 'E') Make(Small().Named("other"), 'E');
  });
  EXPECT_TRUE(cmd_bResetDevice('E'));
  platform::Volumes().Unwatch(squatter);
  ASSERT_TRUE(d->AwaitReenumeration());
  EXPECT_EQ(d->Letter(), 'D');
}

TEST_F(EmulatorConcurrency, RemovalCancelsAPendingReArrival) {
  platform::SetTimeScale(1.0);  // an hour's delay: only the cancel can end the wait
  auto d = Make(Small().WithReenumerationDelay(3600 * 1000));
  EXPECT_TRUE(cmd_bResetDevice('E'));
  EXPECT_FALSE(platform::Volumes().Lookup('E'));
  d->Unplug();
  EXPECT_FALSE(d->AwaitReenumeration());
  EXPECT_FALSE(platform::Volumes().Lookup('E'));

  // Plugging by hand ends the wait too, and so does destroying the device.
  ASSERT_EQ(d->Plug('E'), 'E');
  EXPECT_TRUE(cmd_bResetDevice('E'));
  devices.clear();
  d.reset();  // a hang here is the failure
}

// Device arrival and removal as the operator meets them: emulated devices
// plugged into the bus, their volume events handled by the main window.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "console/file_lists.h"
#include "console/message_table.h"
#include "device_fixture.h"

namespace console::testing {
namespace {

using namespace platform::ui;
using emulator::Fault;
namespace profiles = emulator::profiles;
using DeviceSlots = DeviceStationTest;
// Workers run beside the UI thread: these also run under ThreadSanitizer.
using DeviceSlotsConcurrency = DeviceStationTest;

std::uint32_t Mask(std::initializer_list<char> letters) {
  std::uint32_t mask = 0;
  for (char c : letters) mask |= platform::UnitMaskOf(c);
  return mask;
}

// Several letters in one message are taken from A to Z in one pass; a letter
// that already holds a slot only logs; in normal mode nothing writes the
// flash ID at arrival.
TEST_F(DeviceSlots, OneMessageForSeveralLettersTakesThemFromAToZ) {
  Start();  // no forwarding: the test sends the message itself
  CheckBox(Form1->CheckManuupgrade, true);
  auto g = Plug(profiles::Standard(), 'G');
  auto e = Plug(profiles::Standard(), 'E');
  auto k = Plug(profiles::SmallDisk(), 'K');
  Send(platform::DBT_DEVICEARRIVAL, Mask({'K', 'E', 'G'}));

  const char expected[] = {'E', 'G', 'K'};
  for (int s = 0; s < 3; ++s) {
    EXPECT_EQ(Form1->Slots[s].driveLetter, expected[s]);
    EXPECT_EQ(Status(s), "device plugin");
    EXPECT_TRUE(Form1->Slots[s].gauge->Visible());
    EXPECT_EQ(Form1->Slots[s].textF->Caption(), "");
  }
  for (auto& d : {e, g, k}) EXPECT_TRUE(d->FsmLoaded());
  EXPECT_EQ(Form1->iDeviceCount, 3);
  EXPECT_FALSE(Form1->CheckManuupgrade.Enabled());
  EXPECT_EQ(Log(), "E:<--\r\nE:0\r\nG:<--\r\nG:1\r\nK:<--\r\nK:2\r\n");

  Send(platform::DBT_DEVICEARRIVAL, Mask({'G'}));
  EXPECT_EQ(Log().substr(Log().size() - 27), "G:<--\r\nG: exists continue\r\n");
  EXPECT_EQ(Form1->iDeviceCount, 3);
  EXPECT_EQ(Form1->Slots[1].driveLetter, 'G');

  // Events of other kinds or device types change nothing.
  const std::string before = Log();
  Send(0x8001, Mask({'H'}));
  platform::DEV_BROADCAST_HDR port{sizeof(platform::DEV_BROADCAST_HDR), 3, 0};
  platform::TMessage m{platform::WM_DEVICECHANGE, platform::DBT_DEVICEARRIVAL,
                       reinterpret_cast<std::intptr_t>(&port), 0};
  Form1->Dispatch(m);
  EXPECT_EQ(Log(), before);
}

// Refused volumes: a disk with a foreign INQUIRY, a player that answers the
// controller's model (reset, and handled afresh when it comes back), and a
// ninth device with every slot taken.
TEST_F(DeviceSlots, RefusedVolumesTakeNoSlot) {
  StartStation();
  CheckBox(Form1->CheckManuupgrade, true);
  Plug(profiles::Foreign());
  Pump();
  EXPECT_NE(Log().find("D:cmd_bInquiry fail continue\r\n"), std::string::npos);
  EXPECT_EQ(Form1->FindSlotOfDrive('D'), kSlotCount);

  auto player = Plug(profiles::PlayerMode());
  Pump();  // reset: it leaves and comes back in its normal mode
  EXPECT_NE(Log().find("E:-> reset\r\n"), std::string::npos);
  ASSERT_TRUE(player->AwaitReenumeration());
  Pump();
  EXPECT_EQ(Form1->Slots[0].driveLetter, player->Letter());

  for (int n = 1; n < kSlotCount; ++n) Plug(profiles::SmallDisk());
  Pump();
  EXPECT_EQ(Form1->FindFreeSlot(), kSlotCount);
  EXPECT_EQ(Form1->iDeviceCount, 8);
  auto ninth = Plug(profiles::SmallDisk());
  Pump();
  const auto boxes = dialogs().Records(DialogKind::MessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].request.text, "Exceed the device limit!");
  EXPECT_EQ(boxes[0].request.caption, "Status");
  EXPECT_EQ(Form1->iDeviceCount, 8);
  EXPECT_FALSE(Form1->SlotHasDrive(ninth->Letter()));
  EXPECT_FALSE(ninth->FsmLoaded());
}

// Removal resets the panel; the last one hides every picture and flash text
// and gives the manual-upgrade box back; a letter with no slot only logs.
TEST_F(DeviceSlots, RemovalResetsThePanelAndTheLastOneClearsThemAll) {
  StartStation();
  CheckBox(Form1->CheckManuupgrade, true);
  auto a = Plug(profiles::Standard());
  auto b = Plug(profiles::Standard());
  Pump();
  for (int s = 0; s < 2; ++s) {
    Form1->Slots[s].image->SetVisible(true);
    Form1->Slots[s].textF->SetCaption("ID:98D7943276");
    Form1->Slots[s].textP->SetCaption(" Port:1-1-1");
    Form1->Slots[s].gauge->SetProgress(40);
  }
  Form1->Slots[7].image->SetVisible(true);
  Form1->Slots[7].textF->SetCaption("left from before");

  a->Unplug();
  Pump();
  EXPECT_EQ(Status(0), "Waiting device...");
  EXPECT_FALSE(Form1->Slots[0].gauge->Visible());
  EXPECT_EQ(Form1->Slots[0].gauge->Progress(), 0);
  EXPECT_FALSE(Form1->Slots[0].image->Visible());
  EXPECT_EQ(Form1->Slots[0].textP->Caption() + Form1->Slots[0].textF->Caption(), "");
  EXPECT_EQ(Form1->Slots[0].driveLetter, 0);
  EXPECT_TRUE(Form1->Slots[1].image->Visible()) << "another device is still there";
  EXPECT_FALSE(Form1->CheckManuupgrade.Enabled()) << "slot 2 does not wait";
  EXPECT_EQ(Form1->iDeviceCount, 1);

  Send(platform::DBT_DEVICEREMOVECOMPLETE, Mask({'Q'}));
  EXPECT_EQ(Log().substr(Log().size() - 8), "Q: -->\r\n");
  EXPECT_EQ(Form1->iDeviceCount, 1);

  b->Unplug();
  Pump();
  EXPECT_EQ(Form1->iDeviceCount, 0);
  EXPECT_TRUE(Form1->CheckManuupgrade.Enabled());
  EXPECT_FALSE(Form1->Slots[7].image->Visible());
  EXPECT_EQ(Form1->Slots[7].textF->Caption(), "");
}

// Fixed-USB-port mode: the first device takes slot 0, a new port the lowest
// unbound slot from 1 up, a known port its own slot again; the flash ID is
// shown at arrival. The FSM failure there takes the slot, so its removal
// resets the panel and counts the device out.
TEST_F(DeviceSlots, FixedPortsBindSlotsAndAFailedFsmStillHoldsItsSlot) {
  StartStation();
  CheckBox(Form1->CheckManuupgrade, true);
  CheckBox(Form1->chkUsbPort, true);
  auto first = Plug(profiles::Standard(), 0, 111);
  auto second = Plug(profiles::Standard(), 0, 112);
  Pump();
  EXPECT_EQ(Form1->Slots[0].driveLetter, first->Letter());
  EXPECT_EQ(Form1->Slots[1].driveLetter, second->Letter());
  EXPECT_EQ(Form1->PortStr[0], " Port:1-1-1");
  EXPECT_EQ(Form1->PortStr[1], " Port:1-1-2");
  EXPECT_EQ(Form1->Slots[0].textF->Caption(), "ID:763294D798") << "the bytes as the command gives them";
  EXPECT_EQ(Status(0), "device plugin");

  first->Unplug();
  Pump();
  EXPECT_EQ(Status(0), "Waiting device...");
  auto third = Plug(profiles::Standard(), 0, 125);
  Pump();
  EXPECT_EQ(Form1->Slots[2].driveLetter, third->Letter()) << "slot 0 stays bound to its port";
  first->Plug();
  Pump();
  EXPECT_EQ(Form1->Slots[0].driveLetter, first->Letter());
  EXPECT_EQ(Form1->iDeviceCount, 3);

  auto failing = Plug(profiles::Standard(), 0, 131);
  failing->InjectFault(Fault::Vendor(0x77).Always());
  Pump();
  const int s = Form1->FindSlotOfDrive(failing->Letter());
  ASSERT_EQ(s, 3) << "the first free slot";
  EXPECT_EQ(Status(s), "FSM Loadfail");
  EXPECT_EQ(Form1->Slots[s].statusText->FontColor(), clRed);
  EXPECT_EQ(Form1->iDeviceCount, 4);
  failing->Unplug();
  Pump();
  EXPECT_EQ(Status(s), "Waiting device...");
  EXPECT_EQ(Form1->iDeviceCount, 3);

  // A port the port program cannot tell: the first free slot, no binding.
  auto unknown = Plug(profiles::Standard());
  Pump();
  EXPECT_EQ(Form1->Slots[3].driveLetter, unknown->Letter());
  EXPECT_EQ(Form1->PortUsed[3], 0);
  EXPECT_EQ(Status(3), "device plugin");
}

// All eight slots bound to ports: a device on a ninth port is told "Over 8
// device!" and takes the first free slot without binding it; the port whose
// slot that is gets it back once it is free again.
TEST_F(DeviceSlots, ANinthPortTakesTheFirstFreeSlotUnbound) {
  StartStation();
  CheckBox(Form1->CheckManuupgrade, true);
  CheckBox(Form1->chkUsbPort, true);
  std::vector<std::shared_ptr<emulator::EmulatedDevice>> bound;
  for (int n = 0; n < kSlotCount; ++n) bound.push_back(Plug(profiles::SmallDisk(), 0, 111 + n));
  Pump();
  for (int k = 0; k < kSlotCount; ++k) ASSERT_EQ(Form1->Slots[k].driveLetter, bound[k]->Letter()) << k;
  bound[5]->Unplug();
  Pump();
  EXPECT_EQ(dialogs().Count(), 0u);
  auto ninth = Plug(profiles::SmallDisk(), 0, 191);
  Pump();
  ASSERT_EQ(dialogs().Count(DialogKind::ShowMessage), 1u);
  EXPECT_EQ(dialogs().Last().request.text, "Over 8 device!");
  EXPECT_EQ(Form1->FindSlotOfDrive(ninth->Letter()), 5);
  EXPECT_EQ(Form1->PortStr[5], " Port:1-1-6");
  EXPECT_EQ(Form1->PortLetter[5], 0);
  ninth->Unplug();
  bound[5]->Plug();
  Pump();
  EXPECT_EQ(Form1->FindSlotOfDrive(bound[5]->Letter()), 5);
  EXPECT_EQ(Form1->iDeviceCount, kSlotCount);
}

// Waits of every thread but the test's own (the UI thread) stop here until
// the gate opens: runs started at arrival are still under way while later
// devices arrive and leave.
class GateClock : public platform::Clock {
 public:
  platform::SystemTime Now() override { return base_.Now(); }
  std::uint64_t MonotonicMs() override { return base_.MonotonicMs(); }
  void Sleep(std::uint32_t) override {
    if (std::this_thread::get_id() == ui_) return;
    std::unique_lock lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }

 private:
  platform::SystemClock base_;
  const std::thread::id ui_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

// Fixed-USB-port mode with whole runs: devices whose port cannot be told,
// new ports, known ports and two devices reporting one port arrive and leave
// in several orders. No device that holds a slot (plugged, waiting or
// running) is ever moved out of it, every run is counted once and as it
// ended, and the device count follows arrivals and removals.
struct SlotStep {
  char action;    // 'P' plug device n on port code `port` (0: no answer) into `slot`; 'U' unplug; 'R' runs end
  int device;
  int port = 0;
  int slot = -1;
};
struct FixedPortCase {
  const char* name;
  bool manual;  // devices wait for Upgrade, pressed at each 'R'
  std::vector<SlotStep> steps;
  int total;
  int passed;
};

void PrintTo(const FixedPortCase& c, std::ostream* os) { *os << c.name; }

class FixedPortSlotsConcurrency : public DeviceStationTest, public ::testing::WithParamInterface<FixedPortCase> {};

TEST_P(FixedPortSlotsConcurrency, NoDeviceLosesItsSlotAndEveryCountHolds) {
  const FixedPortCase& c = GetParam();
  const fs::path samples = fs::path(STATION_SOURCE_DIR) / "support/samples";
  SaveFileList((misc() / "seting.ini").string(),
               {(samples / "player.bin").string(), (samples / "prefer.dat").string(), (samples / "files").string()});
  auto gate = std::make_shared<GateClock>();
  platform::ScopedClock clock(gate);
  StartStation();
  CheckBox(Form1->CheckManuupgrade, c.manual);
  CheckBox(Form1->chkUsbPort, true);
  std::vector<std::shared_ptr<emulator::EmulatedDevice>> devices;
  std::vector<int> slotOf;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const SlotStep& step = c.steps[i];
    const auto n = static_cast<std::size_t>(step.device);
    if (step.action == 'P' && n == devices.size()) {
      devices.push_back(Plug(profiles::Standard(), 0, step.port));
      slotOf.push_back(-1);
    } else if (step.action == 'P') {
      devices[n]->Plug();
    } else if (step.action == 'U') {
      devices[n]->Unplug();
      slotOf[n] = -1;
    } else {
      if (c.manual) Form1->Upgradebtn.UserClick();
      gate->Open();
      Application->WaitForThreads();
      gate = std::make_shared<GateClock>();
      platform::SetClock(gate);
    }
    Pump();
    if (step.action == 'P') slotOf[n] = step.slot;
    int plugged = 0;
    for (std::size_t d = 0; d < devices.size(); ++d) {
      if (slotOf[d] < 0) continue;
      ++plugged;
      EXPECT_EQ(Form1->FindSlotOfDrive(devices[d]->Letter()), slotOf[d]) << "device " << d << ", step " << i;
    }
    EXPECT_EQ(Form1->iDeviceCount, plugged) << "step " << i;
    for (int k = 0; k < kSlotCount; ++k)
      EXPECT_TRUE(Form1->PortLetter[k] == 0 || Form1->PortLetter[k] == Form1->Slots[k].driveLetter) << "step " << i;
  }
  gate->Open();
  Application->WaitForThreads();
  const RunCounters counters = Form1->Counters();
  EXPECT_EQ(counters.total, c.total);
  EXPECT_EQ(counters.passed, c.passed);
  EXPECT_EQ(counters.failed, c.total - c.passed);
  EXPECT_EQ(Form1->FindFreeSlot(), 0);
  EXPECT_TRUE(Form1->CheckManuupgrade.Enabled());
}

INSTANTIATE_TEST_SUITE_P(
    FixedPorts, FixedPortSlotsConcurrency,
    ::testing::Values(
        FixedPortCase{"UnknownPortThenNewPort", false, {{'P', 0, 0, 0}, {'P', 1, 111, 1}, {'R', 0}, {'U', 0}, {'U', 1}},
                      2, 2},
        // A device removed during its run fails; back on its port it takes its slot again.
        FixedPortCase{"RemovedWhileRunningAndBack",
                      false,
                      {{'P', 0, 0, 0}, {'P', 1, 111, 1}, {'P', 2, 112, 2}, {'U', 1}, {'P', 1, 111, 1}, {'R', 0},
                       {'U', 2}, {'U', 0}, {'U', 1}},
                      4, 3},
        FixedPortCase{"KnownPortWhoseSlotAnUnknownPortHolds",
                      false,
                      {{'P', 0, 111, 0}, {'R', 0}, {'U', 0}, {'P', 1, 0, 0}, {'P', 0, 111, 1}, {'P', 2, 112, 2},
                       {'R', 0}, {'U', 0}, {'P', 0, 111, 1}, {'U', 1}, {'U', 2}, {'R', 0}, {'U', 0}},
                      5, 5},
        FixedPortCase{"TwoDevicesReportingOnePort",
                      false,
                      {{'P', 0, 111, 0}, {'P', 1, 111, 1}, {'R', 0}, {'U', 0}, {'P', 0, 111, 0}, {'U', 1}, {'R', 0},
                       {'U', 0}},
                      3, 3},
        FixedPortCase{"AWaitingDeviceKeepsItsSlot", true,
                      {{'P', 0, 0, 0}, {'P', 1, 111, 1}, {'R', 0}, {'U', 1}, {'U', 0}}, 2, 2}),
    [](const ::testing::TestParamInfo<FixedPortCase>& info) { return std::string(info.param.name); });

// Manual upgrade: devices wait in their slots; Upgrade starts one worker per
// device however often it is pressed before the workers change their texts;
// a new arrival in the slot may be started again.
TEST_F(DeviceSlotsConcurrency, UpgradeStartsOneRunPerDeviceAndArrival) {
  StartStation();
  CheckBox(Form1->chkFwUpgrade, false);  // a short run: configuration only
  CheckBox(Form1->CheckManuupgrade, true);
  ASSERT_TRUE(Form1->Upgradebtn.Enabled());
  auto a = Plug(profiles::Standard());
  auto b = Plug(profiles::SmallDisk());
  Pump();
  ASSERT_EQ(Status(0), "device plugin");
  ASSERT_EQ(Status(1), "device plugin");
  // Both presses come before any worker runs its first step.
  Form1->Slots[0].statusText->SetCaption("device plugin");
  EXPECT_TRUE(Form1->Upgradebtn.UserClick());
  Form1->Slots[0].statusText->SetCaption("device plugin");
  Form1->Slots[1].statusText->SetCaption("device plugin");
  EXPECT_TRUE(Form1->Upgradebtn.UserClick());
  Application->WaitForThreads();
  EXPECT_EQ(Form1->Counters().total, 2);

  b->Unplug();
  Pump();
  b->Plug();
  Pump();
  ASSERT_EQ(Status(1), "device plugin");
  Form1->Upgradebtn.UserClick();
  Application->WaitForThreads();
  EXPECT_EQ(Form1->Counters().total, 3);
  EXPECT_EQ(Form1->Counters().passed, 3);
}

// A language change keeps what each slot holds and shows it in the new
// language: a passed and a failed run, a device waiting for Upgrade, a failed
// FSM download and the empty slots, changed twice and back to English.
TEST_F(DeviceSlots, ALanguageChangeShowsWhatEachSlotHoldsInTheNewLanguage) {
  StartStation();
  Form1->TntRdoLangEng.UserClick();
  CheckBox(Form1->chkFwUpgrade, false);  // a short run: configuration only
  CheckBox(Form1->CheckManuupgrade, true);
  Plug(profiles::Standard());
  Plug(profiles::Standard())->InjectFault(Fault::Vendor(0x70).Always());  // no flash ID
  Plug(profiles::Standard())->InjectFault(Fault::Vendor(0x97).Always());  // no FSM start
  Pump();
  Form1->Upgradebtn.UserClick();
  Application->WaitForThreads();
  Plug(profiles::Standard());
  Plug(profiles::Standard())->InjectFault(Fault::Vendor(0x77).Always());  // no FSM
  Pump();
  std::string shown;
  for (int s = 0; s < 6; ++s) shown += Status(s) + "|";
  ASSERT_EQ(shown, "successful|Flash Check fail|FSM initfail|device plugin|FSM Loadfail|Waiting device...|");

  for (TTntRadioButton* language : {&Form1->TntRdoLangTC, &Form1->TntRdoLangSC, &Form1->TntRdoLangEng}) {
    language->UserClick();
    const int lang = Form1->LanguageIndex;
    const std::string expected[] = {SuccessMsg.Get(),      FlashCheckStr + " " + FailMsg,
                                    MessageText(57, lang) + FailMsg, DevicePluginStr.Get(),
                                    FSMLoad + FailMsg,     WaitDeviceMsg.Get()};
    for (int s = 0; s < kSlotCount; ++s) EXPECT_EQ(Status(s), expected[std::min(s, 5)]) << language->Name() << s;
    const TColor colours[] = {clBlue, clRed, clRed, clWindowText, clRed, clWindowText};
    for (int s = 0; s < 6; ++s) EXPECT_EQ(Form1->Slots[s].statusText->FontColor(), colours[s]) << s;
  }
}

// After a language change Upgrade still starts the waiting devices, removing
// one of two plugged devices leaves the mode box off, and a run that is under
// way keeps its slot's text instead of the waiting text.
TEST_F(DeviceSlotsConcurrency, AfterALanguageChangeWaitingDevicesStillWaitAndRunsGoOn) {
  StartStation();
  CheckBox(Form1->chkFwUpgrade, false);
  CheckBox(Form1->CheckManuupgrade, true);
  auto a = Plug(profiles::Standard());
  Plug(profiles::SmallDisk());
  Pump();
  Form1->TntRdoLangTC.UserClick();
  ASSERT_NE(DevicePluginStr.Get(), "device plugin");
  EXPECT_EQ(Status(0), DevicePluginStr.Get());
  a->Unplug();
  Pump();
  EXPECT_FALSE(Form1->CheckManuupgrade.Enabled()) << "slot 2 still holds a device";

  Form1->Upgradebtn.UserClick();
  Plug(profiles::Standard());
  Pump();
  Form1->Upgradebtn.UserClick();
  Form1->TntRdoLangSC.UserClick();  // before the runs can end: their texts stay theirs
  EXPECT_NE(Status(0), WaitDeviceMsg.Get());
  EXPECT_NE(Status(1), WaitDeviceMsg.Get());
  Application->WaitForThreads();
  EXPECT_EQ(Form1->Counters().passed, 2);
  EXPECT_EQ(Form1->Slots[0].statusText->FontColor(), clBlue);
  EXPECT_EQ(Form1->Slots[1].statusText->FontColor(), clBlue);
}

// A device message that comes while a message box of the handler is open
// waits until the handler is over.
TEST_F(DeviceSlots, AMessageDuringTheHandlersBoxWaitsForIt) {
  Start();
  CheckBox(Form1->CheckManuupgrade, true);
  std::string order;
  for (int n = 0; n < kSlotCount; ++n) Plug(profiles::SmallDisk());
  Send(platform::DBT_DEVICEARRIVAL, 0x03FFFFFF);
  auto ninth = Plug(profiles::SmallDisk());
  dialogs().Then(DialogKind::MessageBox, [&](const DialogRequest&) {
    Send(platform::DBT_DEVICEREMOVECOMPLETE, Mask({'D'}));
    order += Form1->SlotHasDrive('D') ? "box with D held; " : "box with D gone; ";
    DialogAnswer answer;
    answer.result = IDOK;
    return answer;
  });
  Send(platform::DBT_DEVICEARRIVAL, platform::UnitMaskOf(ninth->Letter()));
  order += Form1->SlotHasDrive('D') ? "after: D held" : "after: D gone";
  EXPECT_EQ(order, "box with D held; after: D gone");
  EXPECT_EQ(Form1->iDeviceCount, 7);
}

// With the options of a whole run, arrival starts the worker: two devices
// of different kinds run to "successful" and are counted.
TEST_F(DeviceSlotsConcurrency, ArrivalStartsWholeRuns) {
  const fs::path samples = fs::path(STATION_SOURCE_DIR) / "support/samples";
  SaveFileList((misc() / "seting.ini").string(),
               {(samples / "player.bin").string(), (samples / "prefer.dat").string(), (samples / "files").string()});
  StartStation();
  auto a = Plug(profiles::Standard());
  auto b = Plug(profiles::TwoChip());
  Pump();
  Application->WaitForThreads();
  const RunCounters c = Form1->Counters();
  EXPECT_EQ(c.total, 2);
  EXPECT_EQ(c.passed, 2);
  for (int s = 0; s < 2; ++s) {
    EXPECT_EQ(Status(s), "successful");
    EXPECT_EQ(Form1->Slots[s].statusText->FontColor(), clBlue);
  }
  EXPECT_EQ(Form1->iRunningCount, 0);
  EXPECT_TRUE(Form1->grpMPSetting.Enabled());
}

}  // namespace
}  // namespace console::testing

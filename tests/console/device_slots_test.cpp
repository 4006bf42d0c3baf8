// Device arrival and removal as the operator meets them: emulated devices
// plugged into the bus, their volume events handled by the main window.
#include <gtest/gtest.h>

#include <algorithm>

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

// The eight device slots and the handling of device arrival and removal:
// which volumes are devices to produce, which slot each takes (the first
// free one, or in fixed-USB-port mode the slot bound to its hub port), the
// FSM download at arrival and the start of the device's worker.
#include <algorithm>
#include <cstdio>

#include "console/main_window.h"
#include "console/ui_strings.h"
#include "device/commands.h"
#include "device/device_handle.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/scsi/scsi.h"
#include "production/product_thread.h"

namespace console {

using platform::DEV_BROADCAST_HDR;
using platform::DEV_BROADCAST_VOLUME;
using platform::TMessage;

namespace {

void Log(char letter, std::string_view text) {
  std::string line(1, letter);
  line.append(text);
  production::AppendLogLine(line);
}

// Resets the flag when the handling ends, also by an exception.
class Busy {
 public:
  explicit Busy(bool& flag) : flag_(flag) { flag_ = true; }
  ~Busy() { flag_ = false; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  bool& flag_;
};

}  // namespace

// ---- slot functions ----

bool TForm1::SlotHasDrive(char letter) const { return FindSlotOfDrive(letter) < kSlotCount; }

int TForm1::FindSlotOfDrive(char letter) const {
  for (int k = 0; k < kSlotCount; ++k)
    if (Slots[k].driveLetter == letter) return k;
  return kSlotCount;
}

int TForm1::FindFreeSlot() const { return FindSlotOfDrive(0); }

void TForm1::ClearSlotDrive(char letter) {
  for (DeviceSlot& slot : Slots)
    if (slot.driveLetter == letter) slot.driveLetter = 0;
}

// The generation grows before the letter changes, so that a worker of the
// slot's earlier device sees the slot as no longer its own as soon as either
// has moved.
void TForm1::TakeSlot(int k, char letter) {
  ++Slots[k].generation;
  Slots[k].driveLetter = letter;
  slotUse_[k] = SlotUse::Arriving;
}

void TForm1::StartWorker(int k) {
  DeviceSlot& slot = Slots[k];
  slotUse_[k] = SlotUse::Running;
  const std::string label = LabelEdit.Text();
  auto* worker = new production::ProductThread(*this, slot.driveLetter, k, slot.statusText, slot.gauge, slot.image,
                                               label.c_str(), slot.textF, slot.textP);
  // Runs on this thread once the run is over and the worker writes no more.
  worker->OnTerminate = [this, k, generation = slot.generation.load()](TObject*) {
    if (Slots[k].generation == generation && slotUse_[k] == SlotUse::Running) slotUse_[k] = SlotUse::Ended;
  };
  worker->Resume();  // frees itself when its run is over
}

// ---- messages ----

void TForm1::Dispatch(TMessage& Message) {
  if (Message.Msg == platform::WM_DEVICECHANGE) WMDeviceChange(Message);
  // Every other message has no handling of the window's own.
}

void TForm1::WMDeviceChange(TMessage& Message) {
  // Before the panels are bound nothing can show a device; once the window
  // is closing no new run may start while the last ones are waited for.
  if (!Slots[0].statusText || closing_) return;
  PendingDeviceChange change;
  change.event = Message.WParam;
  if (const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(Message.LParam)) {
    change.hasBroadcast = true;
    change.broadcast.dbcv_devicetype = header->dbch_devicetype;
    if (header->dbch_devicetype == platform::DBT_DEVTYP_VOLUME)
      change.broadcast = *reinterpret_cast<const DEV_BROADCAST_VOLUME*>(header);
  }
  pendingDeviceChanges_.push_back(change);
  // A message that comes while an earlier one is handled (its message box
  // keeps the queue moving) waits for the loop below.
  if (handlingDeviceChange_) return;
  Busy busy(handlingDeviceChange_);
  while (!pendingDeviceChanges_.empty()) {
    const PendingDeviceChange next = pendingDeviceChanges_.front();
    pendingDeviceChanges_.pop_front();
    const bool arrival = next.event == platform::DBT_DEVICEARRIVAL;
    const bool removal = next.event == platform::DBT_DEVICEREMOVECOMPLETE;
    if (!(arrival || removal) || !next.hasBroadcast ||
        next.broadcast.dbcv_devicetype != platform::DBT_DEVTYP_VOLUME)
      continue;
    for (int n = 0; n < 26; ++n) {
      if (!(next.broadcast.dbcv_unitmask & (std::uint32_t{1} << n))) continue;
      const char letter = static_cast<char>('A' + n);
      if (arrival)
        DeviceArrival(letter);
      else
        DeviceRemoval(letter);
    }
  }
}

// ---- arrival ----

void TForm1::DeviceArrival(char X) {
  platform::SetCurrentDir(platform::ProgramFolder());
  Log(X, ":<--");
  if (device::cmd_bCheckChipModel(X)) {
    Log(X, ":-> reset");
    platform::Sleep(200);
    device::cmd_bResetDevice(X);
    return;
  }
  if (SlotHasDrive(X)) {
    Log(X, ": exists continue");
    return;
  }
  if (!device::cmd_bInquiry(X)) {
    Log(X, ":cmd_bInquiry fail continue");
    return;
  }
  const int s = FindFreeSlot();
  std::string slotText(":");
  slotText += std::to_string(s);
  Log(X, slotText);
  if (s == kSlotCount) {
    Application->MessageBox(ExceedLimitMsg, StatusMsg, MB_OK);
    return;
  }

  const bool fixedPort = chkUsbPort.Checked();
  auto showWriting = [this](int k) {
    Slots[k].gauge->SetVisible(true);
    Slots[k].statusText->SetCaption(FSMWrite);
    Slots[k].statusText->SetFontColor(clWindowText);
  };
  if (!fixedPort) {
    TakeSlot(s, X);
    showWriting(s);
  }
  platform::Sleep(100);

  int k = s;
  if (!production::DownloadFsmFile(X, iFsmFileSize, FsmPath)) {
    // In fixed-port mode too the device holds the slot that shows its
    // failure, so that its removal resets the panel and counts it out.
    if (fixedPort) TakeSlot(s, X);
    Slots[s].statusText->SetCaption(FSMLoad + FailMsg);
    Slots[s].statusText->SetFontColor(clRed);
    slotUse_[s] = SlotUse::FsmFailed;
  } else {
    if (fixedPort) {
      k = PortSlot(X, s);
      Slots[k].statusText->SetCaption(FSMWrite);
      Slots[k].statusText->SetFontColor(clWindowText);
      TakeSlot(k, X);
      showWriting(k);
      Slots[k].statusText->SetCaption(FSMWrite + SuccessMsg);
      std::uint8_t id[5] = {};
      if (device::cmd_bGetFlashIdByDrive(X, id)) {
        char text[32];
        std::snprintf(text, sizeof text, "ID:%02X%02X%02X%02X%02X", id[0], id[1], id[2], id[3], id[4]);
        Slots[k].textF->SetCaption(text);
      }
    }
    if (!CheckManuupgrade.Checked()) {
      StartWorker(k);
    } else {
      Slots[k].statusText->SetCaption(DevicePluginStr);
      slotUse_[k] = SlotUse::Waiting;
    }
  }
  CheckManuupgrade.SetEnabled(false);
  ++iDeviceCount;
}

int TForm1::PortSlot(char X, int s) {
  std::uint8_t hub = 0, port = 0, digit = 0;
  const int found = production::FixUsbPort(device::OpenDeviceVolume(X).Get(), hub, port, digit);
  if (found < 0) return s;
  CurPortStr = " Port:" + std::to_string(hub) + "-" + std::to_string(port) + "-" + std::to_string(digit);

  // A slot that another device holds (one whose port could not be told, or
  // one reporting the same port) is never taken from it: the port's own slot
  // is then passed over for the first free one, and a new port is bound to
  // the lowest unbound slot that is free.
  auto held = [this](int i) { return Slots[i].driveLetter != 0; };
  int k = kSlotCount;
  for (int i = 0; i < kSlotCount && k == kSlotCount; ++i)
    if (PortUsed[i] == 1 && PortStr[i] == CurPortStr) k = i;
  if (k < kSlotCount) {
    if (held(k)) return s;
  } else {
    bool unbound = false;
    for (int i = 0; i < kSlotCount && k == kSlotCount; ++i) {
      if (PortUsed[i] == 1) continue;
      unbound = true;
      if (!held(i)) k = i;
    }
    if (!unbound) ShowMessage("Over 8 device!");
    if (k == kSlotCount) return s;
    PortStr[k] = CurPortStr;
    PortUsed[k] = 1;
  }
  PortLetter[k] = X;
  return k;
}

// ---- removal ----

void TForm1::DeviceRemoval(char X) {
  Log(X, ": -->");
  // The panel reset is the one of the slot the device holds: a port slot
  // records the letter only while its device sits there, and an entry left
  // from a device removed with the option off must not point at another's.
  const int k = FindSlotOfDrive(X);
  for (char& letter : PortLetter)
    if (letter == X) letter = 0;
  if (k == kSlotCount) return;
  // The slot is let go first: its worker, still ending, writes no more into
  // the panel once the letter has left it.
  ClearSlotDrive(X);
  slotUse_[k] = SlotUse::Free;
  DeviceSlot& slot = Slots[k];
  slot.statusText->SetFontColor(clWindowText);
  slot.gauge->SetVisible(false);
  slot.gauge->SetProgress(0);
  slot.image->SetVisible(false);
  slot.textP->SetCaption("");
  slot.textF->SetCaption("");
  slot.statusText->SetCaption(WaitDeviceMsg);
  // The mode may change again once every slot waits for a device: told by
  // the slots themselves, not by their texts, which a language change rewrites.
  if (std::all_of(Slots.begin(), Slots.end(), [](const DeviceSlot& other) { return other.driveLetter == 0; }))
    CheckManuupgrade.SetEnabled(true);
  if (--iDeviceCount == 0) {
    for (DeviceSlot& other : Slots) {
      other.image->SetVisible(false);
      other.textF->SetCaption("");
    }
  }
}

// ---- manual upgrade ----

void TForm1::UpgradebtnClick(TObject*) {
  for (int k = 0; k < kSlotCount; ++k)
    if (slotUse_[k] == SlotUse::Waiting && Slots[k].driveLetter != 0) StartWorker(k);
}

// ---- language change ----

void TForm1::ShowSlotsInLanguage(const std::function<std::optional<std::string>(const std::string&)>& translate) {
  for (int k = 0; k < kSlotCount; ++k) {
    DeviceSlot& slot = Slots[k];
    if (!slot.statusText) continue;
    const SlotUse use = slot.driveLetter == 0 ? SlotUse::Free : slotUse_[k];
    switch (use) {
      case SlotUse::Free:
        slot.statusText->SetCaption(WaitDeviceMsg);
        if (slot.gauge) slot.gauge->SetProgress(0);
        break;
      case SlotUse::Waiting:
        slot.statusText->SetCaption(DevicePluginStr);
        if (slot.gauge) slot.gauge->SetProgress(0);
        break;
      case SlotUse::FsmFailed: slot.statusText->SetCaption(FSMLoad + FailMsg); break;
      case SlotUse::Ended:
        if (const auto text = translate(slot.statusText->Caption())) slot.statusText->SetCaption(*text);
        break;
      case SlotUse::Running: break;   // the worker's texts and progress
      case SlotUse::Arriving: break;  // arrival is handled on this thread: never seen here
    }
  }
}

}  // namespace console

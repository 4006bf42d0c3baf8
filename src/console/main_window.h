// The station's main window: the eight device panels, the production options,
// the pre-copy file list, the counters and the language choice, and the state
// that the whole station shares (settings fields, inspection results, slots,
// counters). Created first at start-up; closing it ends the program.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console/settings.h"
#include "platform/devices/device_events.h"
#include "platform/instance/instance.h"
#include "platform/ui/ui.h"
#include "production/main_window_link.h"

namespace imagebuilder {
class TfrmIsoMain;
}  // namespace imagebuilder

namespace console {

using namespace platform::ui;

class TfrmSetting;
using imagebuilder::TfrmIsoMain;  // the image tool window
class TForm2;
class TForm3;

inline constexpr int kSlotCount = 8;

// One device slot: the drive letter of the device that holds it (0 when free)
// and the controls of its panel, bound by FormShow and never changed after.
// `generation` grows each time the slot is given to a device, so a worker can
// tell whether its slot still belongs to it.
struct DeviceSlot : production::SlotPanel {
  std::atomic<char> driveLetter{0};
  std::atomic<std::uint32_t> generation{0};
};

// The three result counters as one consistent reading.
using RunCounters = production::CounterValues;

class TForm1 : public TForm, public MpSettingFields, public production::IProductionWindow {
 public:
  // Builds the window and its state, then runs FormCreate.
  TForm1();
  ~TForm1() override;

  // ---- controls ----
  TPageControl PageControl1{this, "PageControl1"};
  TTabSheet TabSheet4{&PageControl1, "TabSheet4"};

  // Process status: the eight device panels.
  TGroupBox grpProcessStatus{&TabSheet4, "grpProcessStatus"};
  TStaticText StaticText1{&grpProcessStatus, "StaticText1"};
  TStaticText D1infoStr{&grpProcessStatus, "D1infoStr"};
  TCGauge ProgressBar1{&grpProcessStatus, "ProgressBar1"};
  TImage infoImage1{&grpProcessStatus, "infoImage1"};
  TStaticText TextP1{&grpProcessStatus, "TextP1"};
  TStaticText TextF1{&grpProcessStatus, "TextF1"};
  TStaticText StaticText3{&grpProcessStatus, "StaticText3"};
  TStaticText D2infoStr{&grpProcessStatus, "D2infoStr"};
  TCGauge ProgressBar2{&grpProcessStatus, "ProgressBar2"};
  TImage infoImage2{&grpProcessStatus, "infoImage2"};
  TStaticText TextP2{&grpProcessStatus, "TextP2"};
  TStaticText TextF2{&grpProcessStatus, "TextF2"};
  TStaticText StaticText4{&grpProcessStatus, "StaticText4"};
  TStaticText D3infoStr{&grpProcessStatus, "D3infoStr"};
  TCGauge ProgressBar3{&grpProcessStatus, "ProgressBar3"};
  TImage infoImage3{&grpProcessStatus, "infoImage3"};
  TStaticText TextP3{&grpProcessStatus, "TextP3"};
  TStaticText TextF3{&grpProcessStatus, "TextF3"};
  TStaticText StaticText5{&grpProcessStatus, "StaticText5"};
  TStaticText D4infoStr{&grpProcessStatus, "D4infoStr"};
  TCGauge ProgressBar4{&grpProcessStatus, "ProgressBar4"};
  TImage infoImage4{&grpProcessStatus, "infoImage4"};
  TStaticText TextP4{&grpProcessStatus, "TextP4"};
  TStaticText TextF4{&grpProcessStatus, "TextF4"};
  TStaticText StaticText6{&grpProcessStatus, "StaticText6"};
  TStaticText D5infoStr{&grpProcessStatus, "D5infoStr"};
  TCGauge ProgressBar5{&grpProcessStatus, "ProgressBar5"};
  TImage infoImage5{&grpProcessStatus, "infoImage5"};
  TStaticText TextP5{&grpProcessStatus, "TextP5"};
  TStaticText TextF5{&grpProcessStatus, "TextF5"};
  TStaticText StaticText7{&grpProcessStatus, "StaticText7"};
  TStaticText D6infoStr{&grpProcessStatus, "D6infoStr"};
  TCGauge ProgressBar6{&grpProcessStatus, "ProgressBar6"};
  TImage infoImage6{&grpProcessStatus, "infoImage6"};
  TStaticText TextP6{&grpProcessStatus, "TextP6"};
  TStaticText TextF6{&grpProcessStatus, "TextF6"};
  TStaticText StaticText8{&grpProcessStatus, "StaticText8"};
  TStaticText D7infoStr{&grpProcessStatus, "D7infoStr"};
  TCGauge ProgressBar7{&grpProcessStatus, "ProgressBar7"};
  TImage infoImage7{&grpProcessStatus, "infoImage7"};
  TStaticText TextP7{&grpProcessStatus, "TextP7"};
  TStaticText TextF7{&grpProcessStatus, "TextF7"};
  TStaticText StaticText9{&grpProcessStatus, "StaticText9"};
  TStaticText D8infoStr{&grpProcessStatus, "D8infoStr"};
  TCGauge ProgressBar8{&grpProcessStatus, "ProgressBar8"};
  TImage infoImage8{&grpProcessStatus, "infoImage8"};
  TStaticText TextP8{&grpProcessStatus, "TextP8"};
  TStaticText TextF8{&grpProcessStatus, "TextF8"};

  // Counters.
  TGroupBox GroupBox16{&TabSheet4, "GroupBox16"};
  TStaticText StaticText10{&GroupBox16, "StaticText10"};
  TStaticText TotalStr{&GroupBox16, "TotalStr"};
  TStaticText StaticText11{&GroupBox16, "StaticText11"};
  TStaticText SuccessStr{&GroupBox16, "SuccessStr"};
  TStaticText StaticText12{&GroupBox16, "StaticText12"};
  TStaticText FailStr{&GroupBox16, "FailStr"};
  TStaticText lblsiosize{&GroupBox16, "lblsiosize"};  // the disk size a run found last

  // Production options; disabled while any run is active.
  TGroupBox grpMPSetting{&TabSheet4, "grpMPSetting"};
  TCheckBox chkFormat{&grpMPSetting, "chkFormat"};
  TCheckBox chkBlankCheck{&grpMPSetting, "chkBlankCheck"};
  TCheckBox chkClearFlash{&grpMPSetting, "chkClearFlash"};
  TCheckBox chkFwUpgrade{&grpMPSetting, "chkFwUpgrade"};
  TCheckBox chkISOupgrade{&grpMPSetting, "chkISOupgrade"};
  TCheckBox chkParityCheck{&grpMPSetting, "chkParityCheck"};
  TCheckBox chknor{&grpMPSetting, "chknor"};
  TCheckBox chkUsbPort{&grpMPSetting, "chkUsbPort"};
  TCheckBox CheckManuupgrade{&grpMPSetting, "CheckManuupgrade"};
  TCheckBox SystemAreachk{&grpMPSetting, "SystemAreachk"};
  TComboBox SystemAreaComBo{&grpMPSetting, "SystemAreaComBo"};
  TStaticText labSystemArea{&grpMPSetting, "labSystemArea"};
  TStaticText LabelStatic{&grpMPSetting, "LabelStatic"};
  TEdit LabelEdit{&grpMPSetting, "LabelEdit"};
  TLabel labType{&grpMPSetting, "labType"};
  TLabel labDiskFeature{&grpMPSetting, "labDiskFeature"};
  TButton btnSetup{&grpMPSetting, "btnSetup"};

  // Manual upgrade start; outside the options so it stays usable during runs.
  TButton Upgradebtn{&TabSheet4, "Upgradebtn"};

  // Language choice (captions fixed, never translated).
  TTntGroupBox TntGroupBox1{&TabSheet4, "TntGroupBox1"};
  TTntRadioButton TntRdoLangAuto{&TntGroupBox1, "TntRdoLangAuto"};
  TTntRadioButton TntRdoLangSC{&TntGroupBox1, "TntRdoLangSC"};
  TTntRadioButton TntRdoLangTC{&TntGroupBox1, "TntRdoLangTC"};
  TTntRadioButton TntRdoLangEng{&TntGroupBox1, "TntRdoLangEng"};

  // The pre-copy list and the group of its buttons; disabled during runs.
  TGroupBox grpFileList{&TabSheet4, "grpFileList"};
  TBitBtn AddFilesBtn{&grpFileList, "AddFilesBtn"};
  TBitBtn RemoveBtn{&grpFileList, "RemoveBtn"};
  TBitBtn btnAddDir{&grpFileList, "btnAddDir"};
  TTntListBox TntSelectFileList2{&TabSheet4, "TntSelectFileList2"};
  TTntOpenDialog TntOpenDialog1{this, "TntOpenDialog1"};

  // ---- shared state ----
  std::atomic<int> iTotalCount{0};
  std::atomic<int> iFailCount{0};
  std::atomic<int> iPassCount{0};
  std::unique_ptr<platform::InstanceLock> hInstanceMutex;  // held while this is the first instance
  // Set at creation when an earlier station holds the guard: its program
  // folder as it recorded it ("" when that cannot be told).
  std::optional<std::string> EarlierStation;
  std::atomic<int> iRunningCount{0};
  int iDeviceCount = 0;
  std::array<DeviceSlot, kSlotCount> Slots;
  std::array<std::string, kSlotCount> PortStr;
  std::array<int, kSlotCount> PortUsed{};
  std::array<char, kSlotCount> PortLetter{};
  std::string CurPortStr;
  std::uint8_t FirmwareId = 0;
  std::vector<std::string> HideFileList;  // paths (UTF-8) for the hidden disk
  std::vector<std::string> SpiFileList;   // paths (UTF-8) for SPI flash
  std::string FsmPath;
  std::atomic<int> LanguageIndex{0};  // 0 English, 1 Traditional Chinese, 2 Simplified Chinese

  // Results of the pre-copy list inspection.
  std::atomic<int> iFsmFileSize{0};  // refreshed by every language build, read by running workers
  int iProgramIndex = -1;
  int iPreferIndex = -1;
  int iNewProgramIndex = -1;
  int iIsoIndex = -1;
  std::int64_t iProgramSize = 0;  // sizes in bytes
  std::int64_t iPreferSize = 0;
  std::int64_t iIsoSize = 0;
  int iTelbookIndex = -1;
  std::int64_t iTelbookSize = 0;
  int iSdkType = 0;

  // ---- counters, safe from any thread ----
  // One finished run: total + 1, passed + (passed ? 1 : 0), failed = total -
  // passed, all three as one step. Returns the new values.
  RunCounters CountFinishedRun(bool passed);
  RunCounters Counters() const;
  // A run starts / ends; the running count never goes below 0. Each returns
  // the count after the change.
  int CountRunStart();
  int CountRunEnd();

  // ---- event handlers ----
  void FormCreate(TObject* Sender);
  void FormShow(TObject* Sender);
  void FormPaint(TObject* Sender);
  void FormClose(TObject* Sender, TCloseAction& Action);
  // True once a close could not save every setting and list (each failure was shown).
  bool CloseLeftUnsaved() const { return closeLeftUnsaved_; }
  void AddFilesBtnClick(TObject* Sender);
  void RemoveBtnClick(TObject* Sender);
  void btnAddDirClick(TObject* Sender);
  void SystemAreachkClick(TObject* Sender);
  void SystemAreaComBoChange(TObject* Sender);
  // Mouse only: a settings load or the keyboard changes these boxes without
  // the prompt and without clearing the other box.
  void chkUsbPortMouseUp(TObject* Sender, TMouseButton Button, int X, int Y);
  void chkClearFASHMouseUp(TObject* Sender, TMouseButton Button, int X, int Y);
  void chkBlankCheckMouseUp(TObject* Sender, TMouseButton Button, int X, int Y);
  void chkISOupgradeClick(TObject* Sender);
  void CheckManuupgradeClick(TObject* Sender);
  void TntRdoLangAutoClick(TObject* Sender);
  void btnSetupClick(TObject* Sender);  // opens the settings dialog

  // ---- device slots, arrival and removal (device_slots.cpp) ----
  // Routes WM_DEVICECHANGE to WMDeviceChange; every other message goes to
  // the default handling (none). Device events are handled one at a time: a
  // device message that comes while one is being handled (a message box of
  // the handler keeps the queue moving) waits until that one is over.
  void Dispatch(platform::TMessage& Message);
  void WMDeviceChange(platform::TMessage& Message);
  void UpgradebtnClick(TObject* Sender);
  // Part of the language build: every slot shows what it holds in the new
  // language. An empty slot shows the waiting text, a plugged device waiting
  // for Upgrade the plugged text, a failed FSM download its failure; a
  // running worker's text and progress stay (its next step shows the new
  // language); an ended run's result is given to `translate`, which returns
  // it in the new language or nothing when it cannot tell every part of it.
  void ShowSlotsInLanguage(const std::function<std::optional<std::string>(const std::string&)>& translate);
  bool SlotHasDrive(char letter) const;
  int FindSlotOfDrive(char letter) const;  // kSlotCount when none
  int FindFreeSlot() const;                // kSlotCount when none
  void ClearSlotDrive(char letter);

  // ---- what the production worker sees of the window (production_link.cpp) ----
  const production::ProductionControls& WorkerControls() override;
  production::ProductionSettings CurrentSettings() const override;
  production::FileListInspection CurrentInspection() const override;
  std::vector<std::string> HiddenDiskFiles() const override;
  std::vector<std::string> SpiFlashFiles() const override;
  int CurrentLanguageIndex() const override;
  production::SlotPanel SlotControls(int slot) override;
  char SlotDriveLetter(int slot) const override;
  std::uint32_t SlotGeneration(int slot) const override;
  production::CounterValues RecordFinishedRun(bool passed) override;
  int RecordRunStart() override;
  int RecordRunEnd() override;
  std::string UiText(std::string_view name) const override;
  std::string MessageText(std::string_view english, int languageIndex) const override;
  std::string PageModeText(int mode, int languageIndex) const override;

  // Whether the first paint has been handled.
  bool FirstPaintDone() const { return firstPaintDone_; }

  // Waits until every worker thread has ended, keeping the queue moving and
  // showing why in the caption and on standard output. UI thread.
  void WaitForWorkers();

 private:
  void Layout();
  void BindEvents();

  mutable std::mutex countersMutex_;
  production::ProductionControls workerControls_;

  // Device slots: handing slot k to a device, starting its worker.
  void TakeSlot(int k, char letter);
  void StartWorker(int k);
  void DeviceArrival(char letter);
  void DeviceRemoval(char letter);
  // Fixed-USB-port mode: the slot bound to the device's hub port (binding a
  // new port to the lowest unbound slot that is free); `fallback`, the first
  // free slot, when the port is unknown, all eight are bound to others, or
  // the port's slot is held by another device.
  int PortSlot(char letter, int fallback);
  // What each slot holds, kept on the UI thread beside the slot's text, which
  // a language change rewrites: Upgrade starts the slots that wait, and a
  // second press cannot start a second worker before the first one has
  // changed the slot's text.
  enum class SlotUse {
    Free,
    Arriving,   // the FSM file is being sent
    FsmFailed,  // the FSM download failed; no worker
    Waiting,    // plugged in manual-upgrade mode, waiting for Upgrade
    Running,    // its worker runs and writes the slot's texts
    Ended,      // its worker has ended: the slot shows the result
  };
  std::array<SlotUse, kSlotCount> slotUse_{};
  bool handlingDeviceChange_ = false;
  struct PendingDeviceChange {
    std::uintptr_t event = 0;
    bool hasBroadcast = false;
    platform::DEV_BROADCAST_VOLUME broadcast;  // only the header is read unless it is a volume
  };
  std::deque<PendingDeviceChange> pendingDeviceChanges_;
  bool firstPaintDone_ = false;
  bool closing_ = false;
  bool closeLeftUnsaved_ = false;  // a save of the close failed (UI thread only)
  // List files that existed but could not be read at show: kept as they are.
  bool preCopyListUnread_ = false;
  bool hideListUnread_ = false;
  bool spiListUnread_ = false;
};

// The five windows, created in this order at start-up.
extern TForm1* Form1;
extern TfrmSetting* frmSetting;
extern TfrmIsoMain* frmIsoMain;
extern TForm2* Form2;
extern TForm3* Form3;

// The single-instance test run by FormCreate: true when an earlier instance
// holds the guard named by the window's caption (its program folder is then
// in EarlierStation). Otherwise the form now holds the guard itself
// (hInstanceMutex), with this station's program folder recorded in it.
bool IsSecondInstance(TForm1& form);

// Registry values under HKEY_LOCAL_MACHINE; the key is created when missing
// (also for reading). Writes give false when the key cannot be opened or the
// store refuses the value; the read gives the default then, or when the value
// is missing.
bool RegWriteString(const std::string& key, const std::string& name, const std::string& value);
bool RegWriteInteger(const std::string& key, const std::string& name, std::int32_t value);
std::int32_t RegReadInteger(const std::string& key, const std::string& name, std::int32_t fallback);

inline constexpr const char* kStationKey = "SoftWare\\ZOQQ471\\kestrune71";
inline constexpr const char* kWorkerKey = "SoftWare\\ZOQQ471\\DUVadi";

// The folder picker. Opens on `initialFolder` when it names an existing
// folder. True with the chosen folder's path and display name (its last
// part); false with both empty when the operator cancels.
bool BrowseForFolder(const std::string& initialFolder, std::string& path, std::string& displayName,
                     const std::string& title);
// The picker's start-up callback: on BFFM_INITIALIZED (1), when `data` names
// an existing folder, the picker is set to open on it. Returns 0.
constexpr unsigned BFFM_INITIALIZED = 1;
int BrowseCallbackProc(DialogRequest& picker, unsigned message, const std::string& data);

}  // namespace console

#include "console/main_window.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include "console/file_lists.h"
#include "console/firmware_files.h"
#include "console/languages.h"
#include "console/message_table.h"
#include "console/settings_dialog.h"
#include "console/ui_strings.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "production/product_thread.h"

namespace console {

TForm1* Form1 = nullptr;
TfrmSetting* frmSetting = nullptr;
TfrmIsoMain* frmIsoMain = nullptr;
TForm2* Form2 = nullptr;
TForm3* Form3 = nullptr;

TForm1::TForm1() : TForm("Form1") {
  SetCaption("test");
  Layout();
  BindEvents();
  for (DeviceSlot& slot : Slots) slot.driveLetter = 0;
  iTotalCount = 0;
  iFailCount = 0;
  iPassCount = 0;
  iRunningCount = 0;
  iProgramIndex = iPreferIndex = iNewProgramIndex = iIsoIndex = iTelbookIndex = -1;
  FormCreate(this);
}

TForm1::~TForm1() = default;

namespace {

void SlotRowLayout(TStaticText& label, TStaticText& status, TCGauge& gauge, TImage& image, TStaticText& textP,
                   TStaticText& textF, int number, int y) {
  label.SetBounds(8, y, 56, 17);
  label.SetCaption("Device " + std::to_string(number) + ": ");
  status.SetBounds(66, y, 200, 17);
  gauge.SetBounds(270, y, 130, 16);
  gauge.SetVisible(false);
  image.SetBounds(404, y, 24, 24);
  textP.SetBounds(432, y, 60, 17);
  textF.SetBounds(66, y + 18, 330, 17);
}

}  // namespace

void TForm1::Layout() {
  SetBounds(0, 0, 780, 600);
  PageControl1.SetBounds(0, 0, 780, 600);
  TabSheet4.SetCaption("Mass Production");

  grpProcessStatus.SetBounds(8, 8, 500, 330);
  grpProcessStatus.SetCaption("Processing Status");
  auto slotRow = SlotRowLayout;
  slotRow(StaticText1, D1infoStr, ProgressBar1, infoImage1, TextP1, TextF1, 1, 18);
  slotRow(StaticText3, D2infoStr, ProgressBar2, infoImage2, TextP2, TextF2, 2, 56);
  slotRow(StaticText4, D3infoStr, ProgressBar3, infoImage3, TextP3, TextF3, 3, 94);
  slotRow(StaticText5, D4infoStr, ProgressBar4, infoImage4, TextP4, TextF4, 4, 132);
  slotRow(StaticText6, D5infoStr, ProgressBar5, infoImage5, TextP5, TextF5, 5, 170);
  slotRow(StaticText7, D6infoStr, ProgressBar6, infoImage6, TextP6, TextF6, 6, 208);
  slotRow(StaticText8, D7infoStr, ProgressBar7, infoImage7, TextP7, TextF7, 7, 246);
  slotRow(StaticText9, D8infoStr, ProgressBar8, infoImage8, TextP8, TextF8, 8, 284);

  GroupBox16.SetBounds(8, 342, 500, 44);
  GroupBox16.SetCaption("Log");
  StaticText10.SetBounds(8, 18, 50, 17);
  StaticText10.SetCaption("Total:");
  TotalStr.SetBounds(60, 18, 70, 17);
  TotalStr.SetCaption("0");
  StaticText11.SetBounds(140, 18, 80, 17);
  StaticText11.SetCaption("successful:");
  SuccessStr.SetBounds(222, 18, 70, 17);
  SuccessStr.SetCaption("0");
  StaticText12.SetBounds(300, 18, 40, 17);
  StaticText12.SetCaption("fail:");
  FailStr.SetBounds(342, 18, 70, 17);
  FailStr.SetCaption("0");
  lblsiosize.SetBounds(420, 18, 72, 17);

  grpMPSetting.SetBounds(516, 8, 256, 378);
  int y = 18;
  for (TCheckBox* box : {&chkFormat, &chkBlankCheck, &chkClearFlash, &chkFwUpgrade, &chkISOupgrade, &chkParityCheck,
                         &chknor, &chkUsbPort, &CheckManuupgrade, &SystemAreachk}) {
    box->SetBounds(10, y, 236, 17);
    y += 21;
  }
  chkFormat.SetCaption("Format");
  chkBlankCheck.SetCaption("Blanking Check");
  chkClearFlash.SetCaption("Clear FLASH");
  chkFwUpgrade.SetCaption("Firmware Upgrade");
  chkISOupgrade.SetCaption("Virtual CDROM");
  chkParityCheck.SetCaption("FW Parity Check");
  chknor.SetCaption("Nor Read Check");
  chkUsbPort.SetCaption("Fix Usb IO");
  CheckManuupgrade.SetCaption("Menual Upgrade Mode");
  SystemAreachk.SetCaption("Fix System Area Size");
  SystemAreaComBo.SetBounds(28, y, 100, 21);
  SystemAreaComBo.SetStyle(csDropDownList);
  for (int mb = 4; mb <= 128; mb += 4) SystemAreaComBo.Items.Add(std::to_string(mb) + "MB");
  SystemAreaComBo.SetItemIndex(0);
  y += 26;
  labSystemArea.SetBounds(10, y, 236, 17);
  labSystemArea.SetCaption("System Area Size");
  y += 22;
  LabelStatic.SetBounds(10, y + 3, 50, 17);
  LabelStatic.SetCaption("Label:");
  LabelEdit.SetBounds(62, y, 120, 21);
  LabelEdit.SetText("my_audio");
  y += 26;
  labType.SetBounds(10, y, 80, 17);
  labType.SetCaption("Disk split:");
  labDiskFeature.SetBounds(92, y, 150, 17);
  labDiskFeature.SetCaption("Normal");
  y += 24;
  btnSetup.SetBounds(10, y, 236, 25);
  btnSetup.SetCaption("AdvanceSetting...");

  TntGroupBox1.SetBounds(516, 390, 256, 44);
  TntGroupBox1.SetCaption("Language");
  TntRdoLangAuto.SetBounds(8, 18, 56, 17);
  TntRdoLangAuto.SetCaption("Auto");
  TntRdoLangSC.SetBounds(66, 18, 56, 17);
  TntRdoLangSC.SetCaption("简中");
  TntRdoLangTC.SetBounds(124, 18, 56, 17);
  TntRdoLangTC.SetCaption("繁中");
  TntRdoLangEng.SetBounds(182, 18, 56, 17);
  TntRdoLangEng.SetCaption("Eng.");

  grpFileList.SetBounds(8, 390, 500, 44);
  grpFileList.SetCaption("System files and Pre-copy files:");
  AddFilesBtn.SetBounds(8, 16, 100, 24);
  AddFilesBtn.SetCaption("Add files...");
  RemoveBtn.SetBounds(112, 16, 100, 24);
  RemoveBtn.SetCaption("Remove");
  btnAddDir.SetBounds(216, 16, 100, 24);
  btnAddDir.SetCaption("Add Dir");
  TntSelectFileList2.SetBounds(8, 438, 620, 130);
  TntSelectFileList2.SetMultiSelect(true);

  Upgradebtn.SetBounds(636, 438, 136, 30);
  Upgradebtn.SetCaption("Start Upgrade");
  Upgradebtn.SetEnabled(false);
}

void TForm1::BindEvents() {
  OnShow = [this](TObject* s) { FormShow(s); };
  OnPaint = [this](TObject* s) { FormPaint(s); };
  OnClose = [this](TObject* s, TCloseAction& a) { FormClose(s, a); };
  AddFilesBtn.OnClick = [this](TObject* s) { AddFilesBtnClick(s); };
  RemoveBtn.OnClick = [this](TObject* s) { RemoveBtnClick(s); };
  btnAddDir.OnClick = [this](TObject* s) { btnAddDirClick(s); };
  Upgradebtn.OnClick = [this](TObject* s) { UpgradebtnClick(s); };
  SystemAreachk.OnClick = [this](TObject* s) { SystemAreachkClick(s); };
  SystemAreaComBo.OnChange = [this](TObject* s) { SystemAreaComBoChange(s); };
  chkUsbPort.OnMouseUp = [this](TObject* s, TMouseButton b, int x, int y) { chkUsbPortMouseUp(s, b, x, y); };
  chkClearFlash.OnMouseUp = [this](TObject* s, TMouseButton b, int x, int y) { chkClearFASHMouseUp(s, b, x, y); };
  chkBlankCheck.OnMouseUp = [this](TObject* s, TMouseButton b, int x, int y) { chkBlankCheckMouseUp(s, b, x, y); };
  chkISOupgrade.OnClick = [this](TObject* s) { chkISOupgradeClick(s); };
  CheckManuupgrade.OnClick = [this](TObject* s) { CheckManuupgradeClick(s); };
  btnSetup.OnClick = [this](TObject* s) { btnSetupClick(s); };
  for (TTntRadioButton* rdo : {&TntRdoLangAuto, &TntRdoLangSC, &TntRdoLangTC, &TntRdoLangEng})
    rdo->OnClick = [this](TObject* s) { TntRdoLangAutoClick(s); };
}

// ---- counters ----

RunCounters TForm1::CountFinishedRun(bool passed) {
  std::lock_guard<std::mutex> lock(countersMutex_);
  RunCounters c;
  c.total = ++iTotalCount;
  c.passed = passed ? ++iPassCount : iPassCount.load();
  c.failed = c.total - c.passed;
  iFailCount = c.failed;
  return c;
}

RunCounters TForm1::Counters() const {
  std::lock_guard<std::mutex> lock(countersMutex_);
  return RunCounters{iTotalCount.load(), iPassCount.load(), iFailCount.load()};
}

int TForm1::CountRunStart() { return ++iRunningCount; }

int TForm1::CountRunEnd() {
  int now = iRunningCount.load();
  while (now > 0 && !iRunningCount.compare_exchange_weak(now, now - 1)) {
  }
  return now > 0 ? now - 1 : 0;
}

// ---- creation, show, paint, close ----

void TForm1::FormCreate(TObject*) {
  if (IsSecondInstance(*this)) Application->Terminate();  // the creation work still runs

  PortLogPath = platform::ProgramPath("misc\\port.log");
  std::remove(PortLogPath.Get().c_str());

  for (const char* name : {"BlocksPerChip", "LogBiTable"})
    if (production::RegReadInt(name, -1) == -1) production::RegWriteInt(name, 0);

  HideFileList.clear();
  SpiFileList.clear();
  FsmPath = platform::ProgramPath("misc\\FSM.bin");
}

void TForm1::FormShow(TObject*) {
  // The files below are named relative to the program folder. When it cannot
  // be made current, that is reported and they are read from it by full name,
  // never from whatever folder the station was started in.
  const std::string folder = platform::ProgramFolder();
  const bool inFolder = platform::SetCurrentDir(folder);
  if (!inFolder) {
    const std::string reason = std::strerror(errno);
    Application->ShowException(
        platform::EFOpenError("Cannot change to the program folder \"" + folder + "\". " + reason));
  }
  auto named = [inFolder](const char* name) { return inFolder ? std::string(name) : platform::ProgramPath(name); };
  PageControl1.SetActivePageIndex(0);

  auto bind = [this](int k, TStaticText& status, TImage& image, TCGauge& gauge, TStaticText& textP,
                     TStaticText& textF) {
    DeviceSlot& slot = Slots[k];
    slot.statusText = &status;
    slot.image = &image;
    slot.gauge = &gauge;
    slot.textP = &textP;
    slot.textF = &textF;
    slot.driveLetter = 0;
  };
  bind(0, D1infoStr, infoImage1, ProgressBar1, TextP1, TextF1);
  bind(1, D2infoStr, infoImage2, ProgressBar2, TextP2, TextF2);
  bind(2, D3infoStr, infoImage3, ProgressBar3, TextP3, TextF3);
  bind(3, D4infoStr, infoImage4, ProgressBar4, TextP4, TextF4);
  bind(4, D5infoStr, infoImage5, ProgressBar5, TextP5, TextF5);
  bind(5, D6infoStr, infoImage6, ProgressBar6, TextP6, TextF6);
  bind(6, D7infoStr, infoImage7, ProgressBar7, TextP7, TextF7);
  bind(7, D8infoStr, infoImage8, ProgressBar8, TextP8, TextF8);

  switch (RegReadInteger(kStationKey, "LanguageID", 0)) {
    case 1: TntRdoLangEng.SetChecked(true); break;
    case 2: TntRdoLangSC.SetChecked(true); break;
    case 3: TntRdoLangTC.SetChecked(true); break;
    default: TntRdoLangAuto.SetChecked(true); break;
  }
  BuildLanguage(*this);

  // A list file that cannot be read is reported and left alone at close, so
  // that the operator's list is not replaced by an empty one.
  auto load = [](const std::string& name, std::vector<std::string>& entries, bool& unread) {
    try {
      LoadFileList(name, entries);
    } catch (const std::exception& e) {
      unread = true;
      Application->ShowException(e);
    }
  };
  std::vector<std::string> entries;
  load(named(".\\misc\\seting.ini"), entries, preCopyListUnread_);
  TntSelectFileList2.Items.Assign(entries);
  load(named(".\\misc\\hideseting.ini"), HideFileList, hideListUnread_);
  load(named(".\\misc\\spiseting.ini"), SpiFileList, spiListUnread_);

  FirmwareId = GetFirmwareId(*this);
  LoadMpSettings(*this, named(".\\misc\\prefer.ini"));
  ReadCapacityMultiplier(*this);
  SystemAreaComBo.SetEnabled(SystemAreachk.Checked());
  Upgradebtn.SetCaption(MenuUpgradeStartStr);
  Upgradebtn.SetEnabled(CheckManuupgrade.Checked());
  RefreshFileList(*this);
}

void TForm1::FormPaint(TObject*) {
  if (firstPaintDone_) return;
  firstPaintDone_ = true;
  if (eDeviceFeature == kNormalDisk || !bUseImgFile) return;

  std::uint64_t size = 0;
  if (platform::FileExists(ImageFile) && ProbeImageFile(ImageFile, size)) return;
  ImageFile.clear();
  const int lang = LanguageIndex;
  Application->MessageBox(console::MessageText(65, lang), console::MessageText(27, lang), MB_ICONWARNING);
  if (frmSetting) {
    frmSetting->ShowModal();
    frmSetting->pgeSetting.SetActivePage(&frmSetting->tabDeviceSetting);
  }
}

namespace {

// What the station says while its close waits for runs to end, in the window's language.
std::string ClosingNotice(int languageIndex, int live) {
  const std::string count = std::to_string(live);
  switch (languageIndex) {
    case 1: return "正在關閉：等待 " + count + " 個執行中的作業結束";
    case 2: return "正在关闭：等待 " + count + " 个运行中的作业结束";
    default: return "Closing: waiting for " + count + (live == 1 ? " run" : " runs") + " to end";
  }
}

}  // namespace

// The notice stands in the title and over the slots, where the operator
// watches the runs end, and on standard output.
void TForm1::WaitForWorkers() {
  Application->WaitForThreads([this](int live) {
    const std::string note = ClosingNotice(LanguageIndex, live);
    SetCaption(note);
    grpProcessStatus.SetCaption(note);
    std::printf("%s\n", note.c_str());
    std::fflush(stdout);
  });
}

void TForm1::FormClose(TObject*, TCloseAction& Action) {
  // A close asked for while this one waits for the workers changes nothing.
  if (closing_) {
    Action = caNone;
    return;
  }
  closing_ = true;
  // A second station (closed by a signal while it tells the operator that
  // another one runs) has loaded nothing: it must not save over the files of
  // the station that runs.
  if (EarlierStation) return;
  // The workers read the settings and write into the panels: the lists and
  // settings are saved, and the forms destroyed, only once every run is over.
  WaitForWorkers();
  // Every save is tried; a failed one is shown and the others still run.
  auto attempt = [this](const std::function<void()>& save) {
    try {
      save();
    } catch (const std::exception& e) {
      closeLeftUnsaved_ = true;
      Application->ShowException(e);
    }
  };
  if (!hideListUnread_) attempt([this] { SaveFileList(platform::ProgramPath("misc\\hideseting.ini"), HideFileList); });
  if (!spiListUnread_) attempt([this] { SaveFileList(platform::ProgramPath("misc\\spiseting.ini"), SpiFileList); });
  attempt([this] { SaveMpSettings(*this, platform::ProgramPath("misc\\prefer.ini")); });
  if (!preCopyListUnread_)
    attempt([this] { SaveFileList(platform::ProgramPath("misc\\seting.ini"), TntSelectFileList2.Items.ToVector()); });
  if (hInstanceMutex) hInstanceMutex->Release();
}

// ---- option handlers run when code changes these boxes too ----

void TForm1::SystemAreachkClick(TObject*) {
  SystemAreaComBo.SetEnabled(SystemAreachk.Checked());
  RefreshFileList(*this);
}

void TForm1::SystemAreaComBoChange(TObject*) { RefreshFileList(*this); }

void TForm1::chkISOupgradeClick(TObject*) { RefreshFileList(*this); }

void TForm1::chkUsbPortMouseUp(TObject*, TMouseButton, int, int) {
  if (!chkUsbPort.Checked()) return;
  const int lang = LanguageIndex;
  Application->MessageBox(console::MessageText(97, lang), console::MessageText(98, lang), MB_OK);
}

void TForm1::chkClearFASHMouseUp(TObject*, TMouseButton, int, int) {
  if (chkClearFlash.Checked()) chkBlankCheck.SetChecked(false);
}

void TForm1::chkBlankCheckMouseUp(TObject*, TMouseButton, int, int) {
  if (chkBlankCheck.Checked()) chkClearFlash.SetChecked(false);
}

void TForm1::CheckManuupgradeClick(TObject*) { Upgradebtn.SetEnabled(CheckManuupgrade.Checked()); }

// ---- settings dialog ----

// The dialog edits the settings fields in place; its result is not needed.
void TForm1::btnSetupClick(TObject*) {
  if (frmSetting) frmSetting->ShowModal();
}

// ---- single instance ----

bool IsSecondInstance(TForm1& form) {
  Application->SetTitle(form.Caption());
  auto guard = std::make_unique<platform::InstanceLock>(Application->Title());
  switch (guard->TryAcquire()) {
    case platform::InstanceLockState::HeldByAnother:
      // An earlier instance holds the name. Its window cannot be brought
      // forward from here; our own title is cleared as the lookup would need.
      Application->SetTitle("");
      form.EarlierStation = guard->HolderNote();
      return true;
    case platform::InstanceLockState::Unavailable:
      // No guard can be made (the lock folder is not writable): that is no
      // sign of another instance, so the station runs unguarded.
      std::fprintf(stderr, "Instance lock %s cannot be opened; running without it\n", guard->Path().c_str());
      return false;
    case platform::InstanceLockState::Acquired:
      break;
  }
  guard->WriteNote(platform::ProgramFolder());  // a later start can name where this one runs
  form.hInstanceMutex = std::move(guard);
  return false;
}

// ---- registry ----

namespace {

bool OpenStationKey(platform::TRegistry& reg, const std::string& key) {
  reg.SetRootKey(platform::HKEY_LOCAL_MACHINE);
  return reg.OpenKey(key, true);
}

}  // namespace

bool RegWriteString(const std::string& key, const std::string& name, const std::string& value) {
  platform::TRegistry reg;
  return OpenStationKey(reg, key) && reg.WriteString(name, value);
}

bool RegWriteInteger(const std::string& key, const std::string& name, std::int32_t value) {
  platform::TRegistry reg;
  return OpenStationKey(reg, key) && reg.WriteInteger(name, value);
}

std::int32_t RegReadInteger(const std::string& key, const std::string& name, std::int32_t fallback) {
  platform::TRegistry reg;
  if (!OpenStationKey(reg, key)) return fallback;
  if (!reg.ValueExists(name)) return fallback;
  return reg.ReadInteger(name, fallback);
}

// ---- folder picker ----

int BrowseCallbackProc(DialogRequest& picker, unsigned message, const std::string& data) {
  if (message == BFFM_INITIALIZED && !data.empty() && platform::DirectoryExists(data)) picker.initialDir = data;
  return 0;
}

bool BrowseForFolder(const std::string& initialFolder, std::string& path, std::string& displayName,
                     const std::string& title) {
  path.clear();
  displayName.clear();
  DialogRequest request;
  request.kind = DialogKind::Folder;
  request.caption = title;
  BrowseCallbackProc(request, BFFM_INITIALIZED, initialFolder);
  std::optional<std::string> chosen = SelectFolder(title, request.initialDir);
  if (!chosen || chosen->empty()) return false;
  path = *chosen;
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  std::size_t slash = trimmed.find_last_of('/');
  displayName = slash == std::string::npos || trimmed == "/" ? trimmed : trimmed.substr(slash + 1);
  return true;
}

}  // namespace console

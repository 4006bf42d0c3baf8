// The production run: one call carries one device from identification to a
// pass or fail result. The stages run in a fixed order; the main window's
// options switch them on and off and choose between three roads: the NAND
// road, the SPI-only road, and the configuration-only road (no firmware
// upgrade). Every failure leaves the stage sequence at once for the failure
// end; both ends meet in the common end.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>

#include "device/commands.h"
#include "platform/clock/clock.h"
#include "platform/drive/drive.h"
#include "platform/paths/paths.h"
#include "device/device_handle.h"
#include "production/file_send.h"
#include "production/product_thread.h"

namespace production {

namespace {

using platform::ui::clBlue;
using platform::ui::clRed;
using platform::ui::clWindowText;

constexpr int kImageTries = 10;   // program and prefer images
constexpr int kFormatTries = 4;   // the user disk; the hidden disk is formatted once
constexpr int kBlankCheckBase = 300;

// The running count and the two groups it guards change together, so that a
// run ending while another begins never leaves the groups enabled under it.
std::mutex& RunningCountMutex() {
  static std::mutex m;
  return m;
}

bool Checked(TCheckBox* box) { return box && box->Checked(); }

bool InList(int index, int count) { return index >= 0 && index < count; }

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Formatted(const char* format, int value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

void Wait(std::uint32_t ms) { platform::Sleep(ms); }

void ProcessMessages() { platform::ui::Application->ProcessMessages(); }

std::string DriveRoot(const std::string& letter) { return letter + ":\\"; }

bool DriveHasFileSystem(const std::string& letter) {
  platform::DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  return platform::GetDiskFreeSpaceA(DriveRoot(letter).c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                     &totalClusters) != 0;
}

}  // namespace

// One image of the download stage: its texts, the progress after each step
// (-1: none), the waits after each step and how its data goes out.
struct ProductThread::ImageDownload {
  const char* setupText;
  const char* writeText;
  const char* endText;
  const char* retryText;  // null: a single try
  int progress[3];
  std::uint32_t waits[3];
  std::uint32_t waitBeforeTry;
  std::string path;
  std::function<bool()> writeData;
};

bool ProductThread::OpenDeviceHandle() {
  CloseDeviceHandle();
  hDevice = device::OpenDeviceVolume(DriveLetter[0]).Release();
  return hDevice != INVALID_HANDLE_VALUE;
}

void ProductThread::CloseDeviceHandle() {
  if (hDevice == INVALID_HANDLE_VALUE) return;
  platform::CloseHandle(hDevice);
  hDevice = INVALID_HANDLE_VALUE;
}

// ---- small services of the stages ----

ProductThread::RunStep ProductThread::Fail(RunState& run, const std::string& text, bool early) {
  ShowFailure(text);
  SuccessFlag = 0;
  if (early) run.earlyFailure = true;
  return RunStep::Failure;
}

void ProductThread::ShowProgress(int value) {
  if (OwnsSlot()) SyncGaugeProgress(value);
}

void ProductThread::Passed(int progress) {
  ShowProgress(progress);
  SuccessFlag = 1;
}

void ProductThread::ShowRunning(const std::string& text) { ShowStatus(text + "..."); }

void ProductThread::SetPanelText(TStaticText* control, const std::string& text) {
  if (control && OwnsSlot()) control->SetCaption(text);
}

void ProductThread::ShowPicture(const char* fileName) {
  const std::string path = platform::ProgramFolder() + "misc/" + fileName;
  if (!Picture || !FileExists(path)) return;
  try {
    Picture->LoadPictureFromFile(path);
    Picture->SetVisible(true);
  } catch (const std::exception&) {
    // A picture that cannot be read leaves the panel without one.
  }
}

// ---- the run ----

void ProductThread::Execute() {
  RunState run;
  RunStep step = RunStep::Failure;
  try {
    step = RunStages(run);
    if (step == RunStep::Success) step = SucceedRun(run);
  } catch (...) {
    // Whatever a stage meets (memory running out, a file system error, a text
    // that is no number) ends the run in its failure end with the stage's text.
    step = Fail(run);
  }
  if (step == RunStep::Failure) FailRun(run);
  EndRun(run);
}

ProductThread::RunStep ProductThread::RunStages(RunState& run) {
  // Start.
  if (Picture && OwnsSlot()) Picture->SetVisible(false);
  PassPath = platform::ProgramFolder() + "misc/PASS.IMG";
  LogBiTable = RegReadInt("LogBiTable", 0) != 0;

  // Between two parts: a device removed meanwhile gets no further command.
  auto next = [&](RunStep step) {
    if (step == RunStep::Next && !OwnsSlot()) return Fail(run, "", true);
    return step;
  };
  RunStep step = next(OpenAndCheckFiles(run));
  if (step != RunStep::Next) return step;
  BeginRun(run);
  if ((step = next(IdentifyDevice(run))) != RunStep::Next) return step;
  if (!run.spiOnly) {
    if ((step = next(PrepareFlash(run))) != RunStep::Next) return step;
    if ((step = next(ConfigureController(run))) != RunStep::Next) return step;
  }

  // Configuration only: no image, no format, no copy.
  if (!Checked(Window.WorkerControls().chkFwUpgrade)) {
    // The disk size costs one request where the device already shows a disk
    // (else 0); the SPI flash size one request as well.
    run.sizeMB = run.spiOnly ? device::cmd_GetSpiSizeMB(hDevice)
                             : bGetDiskSizeMB(DriveLetter[0], Window.WorkerControls().lblsiosize);
    ShowProgress(run.base + 100);
    SuccessFlag = 1;
    return RunStep::Success;
  }

  if ((step = next(DownloadImages(run))) != RunStep::Next) return step;
  if ((step = next(CheckAndStartDisk(run))) != RunStep::Next) return step;
  if (run.spiOnly) return FinishSpiDevice(run);
  if ((step = next(FinishUserDisk(run))) != RunStep::Next) return step;
  return SplitDisk(run);
}

ProductThread::RunStep ProductThread::OpenAndCheckFiles(RunState& run) {
  run.Stage("FileHandle " + Ui("FailMsg"), true);
  if (!OpenDeviceHandle()) return Fail(run);

  const ProductionControls& c = Window.WorkerControls();
  run.base = Checked(c.chkBlankCheck) ? kBlankCheckBase : 0;
  std::uint8_t fwSelect = 0;
  device::cmd_bGetFwSelect(hDevice, &fwSelect);  // a failed read leaves 0
  const FileListInspection files = Window.CurrentInspection();
  run.programIndex = files.iProgramIndex;
  if (fwSelect == 0 && files.iNewProgramIndex != -1) {
    run.programIndex = files.iNewProgramIndex;
    run.newFirmware = 1;
  }

  if (!Checked(c.chkFwUpgrade)) return RunStep::Next;
  const std::vector<std::string> list = c.TntSelectFileList2 ? c.TntSelectFileList2->Items.ToVector()
                                                             : std::vector<std::string>{};
  const int count = static_cast<int>(list.size());
  const bool iso = Checked(c.chkISOupgrade);
  if (!InList(run.programIndex, count)) return Fail(run, Msg("Cannot find") + "program.bin", true);
  if (!InList(files.iPreferIndex, count)) return Fail(run, Msg("Cannot find") + "prefer.dat", true);
  if (iso && !InList(files.iIsoIndex, count)) return Fail(run, Msg("Cannot find") + "Image.ISO", true);
  if (iso) IsoPath = list[files.iIsoIndex];
  ProgramPath = list[run.programIndex];
  PreferPath = list[files.iPreferIndex];
  if (InList(files.iTelbookIndex, count)) TelbookPath = list[files.iTelbookIndex];
  return RunStep::Next;
}

void ProductThread::BeginRun(RunState& run) {
  run.Stage(Ui("FILEWriteStr") + " " + Ui("FailMsg"), true);
  ShowProgress(0);
  if (Gauge && OwnsSlot()) Gauge->SetMaxValue(run.base + 100);
  run.startMs = platform::CurrentClock()->MonotonicMs();
  CfgArea.fill(0);
  BlockBitmap.fill(0);
  if (PortText && OwnsSlot()) {
    PortText->SetVisible(true);
    PortText->SetCaption("");
  }
  ShowPortCaption(DriveLetter[0], PortText);
  {
    std::lock_guard lock(RunningCountMutex());
    Window.RecordRunStart();
    run.counted = true;
    const ProductionControls& c = Window.WorkerControls();
    if (c.grpFileList) c.grpFileList->SetEnabled(false);
    if (c.grpMPSetting) c.grpMPSetting->SetEnabled(false);
  }
  if (Gauge && OwnsSlot()) Gauge->SetVisible(true);
  ShowProgress(2);
  if (Picture && OwnsSlot()) Picture->SetVisible(false);
  ShowRunning(Ui("FILEWriteStr"));
}

ProductThread::RunStep ProductThread::IdentifyDevice(RunState& run) {
  if (Checked(Window.WorkerControls().chkFwUpgrade)) {
    const int id = GetBondingID(hDevice);
    const int firmwareId = Window.CurrentInspection().FirmwareId;
    if (firmwareId != 0xFF && id != 15) {
      if (firmwareId == 0) return Fail(run, Ui("SDKBidErrorStr") + " 0", true);
      if (id == 0 || id > 15) return Fail(run, Ui("ChipBidErrorStr") + std::to_string(id), true);
      if (id != firmwareId) return Fail(run, Ui("SDKBidNoMatchStr") + " " + std::to_string(firmwareId), true);
    }
  }

  run.Stage(Ui("FlashCheckStr") + " " + Ui("FailMsg"), true);
  ChipCount = device::cmd_GetChipCount(hDevice);
  std::uint8_t id[5] = {};
  if (!device::cmd_bGetFlashId(hDevice, id)) return Fail(run);
  // The command layer gives the ID bytes last first: id[4] is the maker.
  FlashIdHigh = id[4];
  FlashIdLow = (std::uint32_t{id[3]} << 24) | (std::uint32_t{id[2]} << 16) | (std::uint32_t{id[1]} << 8) | id[0];

  if (FlashIdHigh == 0xFF && FlashIdLow == 0x00FF00FF) {
    run.spiOnly = true;
    SetPanelText(FlashText, "SPI Flash");
    ShowRunning(Ui("BadBlockStr"));
    run.Stage(Ui("BadBlockStr") + " " + Ui("FailMsg"), true);
    if (!CheckSpiFlash(hDevice)) return Fail(run);
    Passed(10);
    return RunStep::Next;
  }
  // A NAND device that reports no chip failed its flash check: no table could
  // describe it.
  if (ChipCount == 0) return Fail(run);
  return RunStep::Next;
}

ProductThread::RunStep ProductThread::PrepareFlash(RunState& run) {
  run.Stage(Ui("FILEWriteStr") + " " + Ui("FailMsg"), true);
  const std::string name = FindFlashType(FlashIdLow, FlashIdHigh, ChipCount);
  if (name == "0") return Fail(run, Msg("No Support the Flash Pls build Config table"), true);
  const std::string flashFolder = platform::ProgramFolder() + "flash/";
  const std::string typeName = ReadCfgTypeName(flashFolder + name);
  if (typeName != "DEFAULT") FlashTypeName = typeName;
  char id[32];
  std::snprintf(id, sizeof id, "ID:%02X%08X ", static_cast<unsigned>(FlashIdHigh), static_cast<unsigned>(FlashIdLow));
  SetPanelText(FlashText, id + FlashTypeName);
  run.tablePath = flashFolder + name;
  if (!SendFlashTableFile(hDevice, run.tablePath)) return Fail(run);
  Passed(5);
  run.Stage(Msg("Parse CFG") + Ui("FailMsg"), true);
  if (!LoadCfgFile(run.tablePath)) return Fail(run);

  // Geometry and system area.
  run.Stage(Ui("SystemAreaSizeStr") + " " + Ui("FailMsg"), true);
  Wait(100);
  BlockSize = PageSize * PagesPerBlock;
  SystemAreaUnits = GetSystemAreaSize();
  // An area the configuration block cannot describe (the operator was warned).
  if (SystemAreaUnits <= 0) return Fail(run);
  Wait(100);
  BlockStatus.assign(static_cast<std::size_t>(ChipCount) * static_cast<std::size_t>(BlocksPerChip), 0);

  // Bad-block stage: erase scan, blanking check or the device's own map.
  run.Stage(Ui("BadBlockStr") + " " + Ui("FailMsg"), true);
  const ProductionControls& c = Window.WorkerControls();
  const bool blankCheck = Checked(c.chkBlankCheck);
  if (Checked(c.chkClearFlash) && !blankCheck) {
    if (!EraseScan(5, run.base + 5)) return Fail(run, StatusText ? StatusText->Caption() : "", true);
  } else if (blankCheck) {
    PageTableMode = Window.CurrentSettings().PageMode;
    if (!FlashBlockScan(5, run.base + 5)) return Fail(run, StatusText ? StatusText->Caption() : "", true);
  } else {
    return DeviceMapStage(run);
  }
  if (StatusText && OwnsSlot()) StatusText->SetFontColor(clWindowText);
  Passed(run.base + 5);
  return RunStep::Next;
}

ProductThread::RunStep ProductThread::DeviceMapStage(RunState& run) {
  ShowRunning(Ui("BadBlockStr"));
  if (BlocksPerChipOverride) {
    std::fill(BlockStatus.begin(), BlockStatus.end(), 255);
  } else {
    DeviceCfgValid = ReadDeviceCfg();
    PageTableMode = DeviceCfgValid ? DevicePageTable : false;
    const bool eccDiffers = DeviceCfgValid && DeviceEccMode != EccMode;
    if (eccDiffers) {
      // The device's own block first, so that its map reads as it was made.
      std::uint8_t block[kCfgBlockSize];
      std::copy_n(DeviceCfgCopy.begin(), kCfgBlockSize, block);
      if (!SendKept(hDevice, "flash table",
                    [&](device::Refusal* r) { return device::cmd_bWriteFlashTable(hDevice, block, kCfgBlockSize, r); }))
        return Fail(run, Ui("FILEWriteStr") + " " + Ui("FailMsg"), true);
      Passed(5);
    }
    int badPercent = 0;
    if (!ReadBadBlockBitmap(badPercent)) return Fail(run, Ui("BadBlockStr") + Ui("FailMsg"), true);
    if (eccDiffers) {
      if (!SendFlashTableFile(hDevice, run.tablePath))
        return Fail(run, Ui("FILEWriteStr") + " " + Ui("FailMsg"), true);
      Passed(5);
    }
    Wait(100);
    const auto threshold = static_cast<unsigned>(Window.CurrentSettings().iBadThreshold);
    if (!DeviceCfgValid && threshold < static_cast<unsigned>(badPercent))
      return Fail(run, Ui("BadBlockWarningStr"), true);
  }
  ShowRunning(Ui("BadBlockStr"));
  Passed(run.base + 10);
  return RunStep::Next;
}

ProductThread::RunStep ProductThread::ConfigureController(RunState& run) {
  run.Stage(Msg("Write CFG") + Ui("FailMsg"), false);
  Wait(100);
  if (LogBiTable) WriteBadBlockLog(Formatted("%d_bi_tab.txt", SlotIndex));
  ShowStatus(Msg("Write CFG"));
  if (!WriteCfgBlock(Checked(Window.WorkerControls().chkFwUpgrade)))
    return Fail(run, StatusText ? StatusText->Caption() : "", false);

  ShowStatus(Msg("FSM init"));
  run.Stage(Msg("FSM init") + Ui("FailMsg"), false);
  if (!device::cmd_bFsmInit(hDevice)) return Fail(run);

  const int sdkType = Window.CurrentInspection().iSdkType;
  if ((PageSize > 512 && sdkType == 1) || (PageSize <= 512 && sdkType == 2))
    return Fail(run, Msg("SDK Ver and NAND Flash no match") + "  " + Ui("FailMsg"), false);
  return RunStep::Next;
}

// ---- image downloads ----

ProductThread::RunStep ProductThread::DownloadImage(RunState& run, const ImageDownload& image) {
  const int tries = image.retryText ? kImageTries : 1;
  std::string fail(1, ' ');
  fail += Ui("FailMsg");
  for (int n = 1;; ++n) {
    run.Stage(Ui(image.setupText) + fail, false);
    if (image.waitBeforeTry) Wait(image.waitBeforeTry);
    if (n == 1) ShowRunning(Ui(image.setupText));
    if (!WriteSetup(hDevice, image.path)) return Fail(run);
    if (image.progress[0] >= 0) Passed(image.progress[0]);
    Wait(image.waits[0]);
    if (n == 1) ShowRunning(Ui(image.writeText));
    run.Stage(Ui(image.writeText) + fail, false);
    if (image.writeData()) break;
    // A device that was pulled out is not tried again.
    if (n == tries || !OwnsSlot()) return Fail(run);
    ShowStatus(Ui(image.retryText) + " " + std::to_string(n));
  }
  if (image.progress[1] >= 0) Passed(image.progress[1]);
  if (image.waits[1]) Wait(image.waits[1]);
  ShowRunning(Ui(image.endText));
  run.Stage(Ui(image.endText) + fail, false);
  if (!WriteEnd(hDevice)) return Fail(run);
  if (image.progress[2] >= 0) Passed(image.progress[2]);
  if (image.waits[2]) Wait(image.waits[2]);
  return RunStep::Next;
}

ProductThread::RunStep ProductThread::DownloadImages(RunState& run) {
  const int b = run.base;
  const bool iso = Checked(Window.WorkerControls().chkISOupgrade);
  const int newFirmware = run.newFirmware;

  ImageDownload program{"ProgramWriteSetupStr", "ProgramWriteStr", "ProgramWriteEndStr", "ProgramWriteRetryStr",
                        {b + 17, b + 20, b + 21}, {200, 100, 0}, 0, ProgramPath,
                        [&] { return WriteImageData(hDevice, ProgramPath, newFirmware); }};
  RunStep step = DownloadImage(run, program);
  if (step != RunStep::Next) return step;

  const int p = iso ? b + 25 : b + 30;
  ImageDownload prefer{"PreferWriteSetupStr", "PreferWriteStr", "PreferWriteEndStr", "PreferWriteRetryStr",
                       {p, p + 5, p + 10}, {200, 200, 100}, 100, PreferPath,
                       [&] { return WritePreferData(hDevice, PreferPath); }};
  if ((step = DownloadImage(run, prefer)) != RunStep::Next) return step;

  run.Stage(Msg("SPI hidden files write ") + Ui("FailMsg"), false);
  if (run.spiOnly && !Window.SpiFlashFiles().empty() && !WriteSpiMusicFiles()) return Fail(run);

  if (Window.CurrentInspection().iTelbookIndex >= 0) {
    ImageDownload telbook{"TelbookWriteSetupStr", "TelbookWriteStr", "TelbookWriteEndStr", nullptr,
                          {-1, -1, -1}, {200, 200, 0}, 100, TelbookPath,
                          [&] { return WriteImageData(hDevice, TelbookPath, newFirmware); }};
    if ((step = DownloadImage(run, telbook)) != RunStep::Next) return step;
  }
  Wait(100);

  if (iso) {
    ImageDownload image{"ISOWriteSetupStr", "ISOWriteStr", "ISOWriteEndStr", nullptr,
                        {b + 40, b + 45, b + 50}, {100, 200, 200}, 0, IsoPath,
                        [&] { return WriteImageData(hDevice, IsoPath, newFirmware); }};
    if ((step = DownloadImage(run, image)) != RunStep::Next) return step;
  }
  if (Window.CurrentSettings().eDeviceFeature == 1) {
    ImageDownload pass{"PassWriteSetupStr", "PassWriteStr", "PassWriteEndStr", nullptr,
                       {b + 55, b + 65, b + 70}, {100, 200, 200}, 0, PassPath,
                       [&] { return WriteImageData(hDevice, PassPath, newFirmware); }};
    if ((step = DownloadImage(run, pass)) != RunStep::Next) return step;
  }
  return RunStep::Next;
}

ProductThread::RunStep ProductThread::CheckAndStartDisk(RunState& run) {
  if (Checked(Window.WorkerControls().chkParityCheck)) {
    ShowRunning(Ui("FwParityCheckStr"));
    run.Stage(Ui("FwParityCheckStr") + " " + Ui("FailMsg"), false);
    if (!FwParityCheck(hDevice)) return Fail(run);
    Passed(run.base + 72);
  }
  run.Stage(Msg("Start Disk") + Ui("FailMsg"), false);
  ProcessMessages();
  const int moduleNo = Window.CurrentSettings().iFlashModuleNo;
  if (moduleNo != 0) device::cmd_bSetModuleNo(hDevice, static_cast<std::uint8_t>(moduleNo));
  Wait(2000);
  ShowStatus(Msg("Start Disk"));
  if (!StartDisk(hDevice)) return Fail(run);
  Passed(run.base + 75);
  return RunStep::Next;
}

ProductThread::RunStep ProductThread::FinishSpiDevice(RunState& run) {
  if (Checked(Window.WorkerControls().chknor)) {
    ShowStatus(Msg("Check Data "));
    run.Stage(Msg("Check Data ") + Ui("FailMsg"), false);
    ShowProgress(78);
    const std::string readback = Formatted("%d_Read_buffer.bin", SlotIndex);
    if (!DumpSpiProgramPrefer(ProgramPath, readback, PreferPath)) return Fail(run);
    ShowProgress(80);
    if (!CompareSpiReadback(ProgramPath, readback, PreferPath)) return Fail(run);
  }
  if (SlotIndex == 0 && Window.CurrentSettings().SaveSpiImage) {
    ShowStatus(Msg("Save Flash Image"));
    run.Stage(Msg("Save Flash Image") + Ui("FailMsg"), false);
    if (!DumpSpiFirmware(platform::ProgramFolder() + "NorImage.bin")) return Fail(run);
  }
  run.sizeMB = device::cmd_GetSpiSizeMB(hDevice);
  SuccessFlag = 1;
  return RunStep::Success;
}

// ---- the user disk ----

ProductThread::RunStep ProductThread::FinishUserDisk(RunState& run) {
  const char letter = DriveLetter[0];
  run.Stage("FileHandle " + Ui("FailMsg"), false);
  if (!OpenDeviceHandle()) return Fail(run);
  run.Stage(Msg("Disk Size Error"), false);
  Wait(100);
  run.sizeMB = bGetDiskSizeMB(letter, Window.WorkerControls().lblsiosize);
  if (run.sizeMB <= 0) {
    AppendLogLine("bGetDiskSizeMB(drive) <= 0");
    return Fail(run);
  }
  const ProductionSettings settings = Window.CurrentSettings();
  if (settings.eDeviceFeature == 1 && settings.iHideDiskRatio == 100) return RunStep::Next;

  // Format when the disk holds no file system, when asked to, or when the
  // device's own block was made for another ECC mode.
  run.Stage(Ui("FormatStr") + " " + Ui("FailMsg"), false);
  const bool format = !DriveHasFileSystem(DriveLetter) || Checked(Window.WorkerControls().chkFormat) ||
                      (DeviceCfgValid && DeviceEccMode != EccMode);
  const std::string label = Window.WorkerControls().LabelEdit ? Window.WorkerControls().LabelEdit->Text() : "";
  RunStep step = format ? FormatUserDisk(run) : SetLabelIfNeeded(run, label);
  if (step != RunStep::Next) return step;

  run.Stage(Ui("CopyFileMsg") + Ui("FailMsg"), false);
  ShowProgress(run.base + 80);
  ProcessMessages();
  const FileListInspection files = Window.CurrentInspection();
  const ProductionControls& c = Window.WorkerControls();
  const std::vector<std::string> list = c.TntSelectFileList2 ? c.TntSelectFileList2->Items.ToVector()
                                                             : std::vector<std::string>{};
  step = CopyListedFiles(run, list, {run.programIndex, files.iPreferIndex, files.iIsoIndex, files.iTelbookIndex},
                         true);
  if (step != RunStep::Next) return step;
  ShowProgress(run.base + 85);
  ProcessMessages();
  return RunStep::Next;
}

ProductThread::RunStep ProductThread::FormatUserDisk(RunState& run) {
  const char letter = DriveLetter[0];
  Wait(100);
  const int fatFlag = GetFatFlag(letter);
  ShowStatus(Ui("FormatStr") + (fatFlag == 1 ? "FAT32..." : "FAT16..."));
  CloseDeviceHandle();
  Wait(2000);
  bool formatted = false;
  for (int n = 0; n < kFormatTries && !formatted; ++n) {
    const std::string label = Window.WorkerControls().LabelEdit ? Window.WorkerControls().LabelEdit->Text() : "";
    formatted = FormatDrive(letter, true, fatFlag, label);
  }
  if (!formatted) return Fail(run);
  run.Stage(Ui("SetLabelStr") + " " + Ui("FailMsg"), false);
  const std::string label = Window.WorkerControls().LabelEdit ? Window.WorkerControls().LabelEdit->Text() : "";
  if (!SetDriveLabel(letter, label)) {
    ProcessMessages();
    return Fail(run);
  }
  Wait(100);
  return RunStep::Next;
}

ProductThread::RunStep ProductThread::SetLabelIfNeeded(RunState& run, const std::string& label) {
  const char letter = DriveLetter[0];
  run.Stage(Ui("SetLabelStr") + " " + Ui("FailMsg"), false);
  if (GetDriveLabel(letter) == label) return RunStep::Next;
  ShowRunning(Ui("SetLabelStr"));
  if (!SetDriveLabel(letter, label)) {
    ProcessMessages();
    return Fail(run);
  }
  return RunStep::Next;
}

ProductThread::RunStep ProductThread::CopyListedFiles(RunState& run, const std::vector<std::string>& files,
                                                      const std::vector<int>& skipped, bool skipBinFiles) {
  // The pre-copy list skips the firmware files; the hidden disk's list copies everything.
  const auto showEntry = [&] {
    ShowRunning(skipBinFiles ? Ui("CopyFileMsg") : Ui("HiddenDiskStr") + Ui("CopyFileMsg"));
  };
  if (!CopyFileListToDrive(DriveLetter[0], files, skipped, skipBinFiles, showEntry)) return Fail(run);
  return RunStep::Next;
}

// ---- the second disk ----

ProductThread::RunStep ProductThread::SplitDisk(RunState& run) {
  Wait(200);
  const ProductionSettings settings = Window.CurrentSettings();
  if (settings.eDeviceFeature != 1 && settings.eDeviceFeature != 2) {
    ShowProgress(run.base + 95);
    return RunStep::Success;
  }
  ShowRunning(Ui("ChangeDiskStr"));
  // The handle was closed by the format; the switch needs one open.
  run.Stage("FileHandle " + Ui("FailMsg"), false);
  if ((settings.iHideDiskRatio != 100 || hDevice == INVALID_HANDLE_VALUE) && !OpenDeviceHandle()) return Fail(run);
  run.Stage(Ui("ChangeDiskStr") + " " + Ui("FailMsg"), false);
  if (!ChangeToHiddenDisk(hDevice)) return Fail(run);
  Wait(100);

  if (settings.eDeviceFeature == 2 && settings.bNonFS) {
    ShowStatus(Msg("Map Image file"));
    run.Stage(Msg("Map Image file") + Ui("FailMsg"), false);
    if (!WriteHiddenFiles(run.base + 90, run.base + 98)) return Fail(run);
    StopDeviceUnit(hDevice);
    return RunStep::Success;
  }
  if (settings.bUseImgFile) return WriteHiddenImage(run);

  const char letter = DriveLetter[0];
  run.Stage(Ui("FormatStr") + " " + Ui("FailMsg"), false);
  ShowProgress(run.base + 90);
  ProcessMessages();
  const int fatFlag = GetFatFlag(letter);
  ShowStatus(Ui("FormatStr") + (fatFlag == 1 ? "FAT32..." : "FAT16..."));
  CloseDeviceHandle();
  if (!FormatDrive(letter, true, fatFlag, settings.sHideDiskLabel)) return Fail(run);
  run.Stage(Ui("SetLabelStr") + " " + Ui("FailMsg"), false);
  if (!SetDriveLabel(letter, settings.sHideDiskLabel)) return Fail(run);
  ShowProgress(run.base + 95);
  ProcessMessages();
  ShowRunning(Ui("HiddenDiskStr") + Ui("CopyFileMsg"));
  run.Stage(Ui("HiddenDiskStr") + Ui("CopyFileMsg") + " " + Ui("FailMsg"), false);
  const RunStep step = CopyListedFiles(run, Window.HiddenDiskFiles(), {}, false);
  if (step != RunStep::Next) return step;
  ShowProgress(run.base + 95);
  return RunStep::Success;
}

ProductThread::RunStep ProductThread::WriteHiddenImage(RunState& run) {
  const ProductionSettings settings = Window.CurrentSettings();
  run.Stage("FileHandle " + Ui("FailMsg"), false);
  if (settings.iHideDiskRatio == 100 && !OpenDeviceHandle()) return Fail(run);
  ShowStatus(Msg("Map Image file"));
  run.Stage(Msg("Map Image file") + Ui("FailMsg"), false);
  const std::uint64_t bytes = GetImageFileSize(settings.ImageFile);
  // A file that cannot be sized, or that cannot hold one boot sector, is no
  // disk image: refused before its size is compared with the disk's.
  if (bytes == ~std::uint64_t{0} || bytes < 512) return Fail(run, Msg("IMG file error!"), false);
  const std::uint64_t imageMB = bytes / 1024 / 1024;
  run.sizeMB = static_cast<std::int64_t>(imageMB);
  const std::int64_t hiddenMB = bGetDiskSizeMB(DriveLetter[0], Window.WorkerControls().lblsiosize);
  if (hiddenMB < 0 || static_cast<std::uint64_t>(hiddenMB) < imageMB) {
    AppendLogLine(std::to_string(hiddenMB));
    return Fail(run, Msg("Hidden disk too small!"), false);
  }
  if (!WriteImageFile(DriveLetter[0], settings.ImageFile, run.base + 90, run.base + 98)) return Fail(run);
  CheckDiskDrive(DriveLetter[0]);
  StopDeviceUnit(hDevice);
  return RunStep::Success;
}

// ---- the ends ----

ProductThread::RunStep ProductThread::SucceedRun(RunState& run) {
  const ProductionControls& c = Window.WorkerControls();
  if (c.TntSelectFileList2 && c.TntSelectFileList2->Items.Count() > 0) Wait(10000);
  Wait(100);
  CloseDeviceHandle();
  if (SuccessFlag == 0) return RunStep::Failure;

  ShowProgress(run.base + 100);
  const std::uint64_t elapsed = (platform::CurrentClock()->MonotonicMs() - run.startMs) / 1000;
  const bool scanned = Checked(c.chkBlankCheck) || Checked(c.chkClearFlash);
  char line[160];
  if (scanned)
    std::snprintf(line, sizeof line, "%d/%d, %lldMB, %llu%s", BadBlockCount, ChipCount * BlocksPerChip,
                  static_cast<long long>(run.sizeMB), static_cast<unsigned long long>(elapsed), Msg("Sec").c_str());
  else
    std::snprintf(line, sizeof line, "%lldMB, %llu%s", static_cast<long long>(run.sizeMB),
                  static_cast<unsigned long long>(elapsed), Msg("Sec").c_str());
  std::string status = Ui("SuccessMsg");
  if (DegradeFlag) {
    status += '(';
    status += Msg("Degrade");
    status += ')';
  }
  // On the UI thread, where slots are given out and taken back: the run is a
  // pass only while this device still holds the slot, whichever road it took
  // and however late the device left.
  bool owned = false;
  Synchronize([&] {
    owned = OwnsSlot();
    if (!owned) return;
    if (FlashText) FlashText->SetCaption(line);
    ShowStatus(status, clBlue);
    ShowPicture("success.bmp");
  });
  if (!owned) return Fail(run);
  AppendLogLine(DriveLetter + " success!");
  return RunStep::Success;
}

void ProductThread::FailRun(RunState& run) {
  // A failure after the configuration block prepares the configuration
  // information of the blocks found so far; an SPI-only device has none, and
  // a device that was removed gets no command any more.
  CloseDeviceHandle();
  if (OwnsSlot()) {
    try {
      OpenDeviceHandle();  // the result is not needed: a failed open fails the commands
      if (!run.earlyFailure && !run.spiOnly && !BuildCfgInfo(Checked(Window.WorkerControls().chkFwUpgrade)))
        if (StatusText && OwnsSlot()) StatusText->SetFontColor(clRed);
    } catch (...) {
      // The failure's own text stays; the information is only a help.
    }
    CloseDeviceHandle();
  }
  Synchronize([&] {
    if (OwnsSlot()) ShowPicture("fail.bmp");
    // The device left and nobody took the slot: no red text stays behind.
    if (Window.SlotDriveLetter(SlotIndex) == 0 && StatusText && StatusText->FontColor() == clRed) {
      StatusText->SetFontColor(clWindowText);
      StatusText->SetCaption(Ui("WaitDeviceMsg"));
    }
  });
  AppendLogLine(DriveLetter + " fail!");
}

void ProductThread::EndRun(RunState& run) {
  CloseDeviceHandle();
  if (run.counted) {
    std::lock_guard lock(RunningCountMutex());
    if (Window.RecordRunEnd() <= 0) {
      const ProductionControls& c = Window.WorkerControls();
      if (c.grpFileList) c.grpFileList->SetEnabled(true);
      if (c.grpMPSetting) c.grpMPSetting->SetEnabled(true);
    }
  }
  UpdateCounters();
  BlockStatus.clear();
  BlockStatus.shrink_to_fit();
  Synchronize([&] {
    // The device was removed during the run and the slot is still free: the
    // panel goes back to waiting. A slot given to another device is its own.
    if (Window.SlotDriveLetter(SlotIndex) != 0) return;
    if (StatusText) StatusText->SetFontColor(clWindowText);
    if (Gauge) {
      Gauge->SetVisible(false);
      Gauge->SetProgress(0);
    }
    if (Picture) Picture->SetVisible(false);
    if (PortText) PortText->SetCaption("");
    if (FlashText) FlashText->SetCaption("");
    if (StatusText) StatusText->SetCaption(Ui("WaitDeviceMsg"));
  });
}

}  // namespace production

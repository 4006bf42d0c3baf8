// The main window as the production worker sees it: its live controls, a
// copy of the settings and of the inspection results, the slots and the
// counters, and the texts of the operator's language.
#include <cstring>

#include "console/main_window.h"
#include "console/message_table.h"
#include "console/settings_dialog.h"
#include "console/ui_strings.h"

namespace console {

const production::ProductionControls& TForm1::WorkerControls() {
  if (!workerControls_.chkFwUpgrade) {
    production::ProductionControls& c = workerControls_;
    c.chkFwUpgrade = &chkFwUpgrade;
    c.chkBlankCheck = &chkBlankCheck;
    c.chkClearFlash = &chkClearFlash;
    c.chkISOupgrade = &chkISOupgrade;
    c.chkParityCheck = &chkParityCheck;
    c.chknor = &chknor;
    c.chkFormat = &chkFormat;
    c.SystemAreachk = &SystemAreachk;
    c.SystemAreaComBo = &SystemAreaComBo;
    c.labSystemArea = &labSystemArea;
    c.LabelEdit = &LabelEdit;
    c.TntSelectFileList2 = &TntSelectFileList2;
    c.grpFileList = &grpFileList;
    c.grpMPSetting = &grpMPSetting;
    c.TotalStr = &TotalStr;
    c.SuccessStr = &SuccessStr;
    c.FailStr = &FailStr;
    c.lblsiosize = &lblsiosize;
  }
  return workerControls_;
}

production::ProductionSettings TForm1::CurrentSettings() const {
  production::ProductionSettings s;
  s.iFlashModuleNo = iFlashModuleNo;
  s.iScanLevel = iScanLevel;
  s.Pattern = Pattern;
  s.iPageSkip = iPageSkip;
  s.iEccLevel = iEccLevel;
  s.iBadThreshold = iBadThreshold;
  s.PageMode = PageMode;
  s.PageModeSel = PageModeSel;
  s.eDeviceFeature = eDeviceFeature;
  s.iHideDiskRatio = iHideDiskRatio;
  s.sHideDiskLabel = sHideDiskLabel;
  s.AllowErrorRate = AllowErrorRate;
  s.iReadTimes = iReadTimes;
  s.DealCapError = DealCapError;
  s.bUseImgFile = bUseImgFile;
  s.ImageFile = ImageFile;
  s.SaveSpiImage = SaveSpiImage;
  s.bNonFS = bNonFS;
  s.bFastBlkChk = bFastBlkChk;
  s.iMinBlocks = iMinBlocks;
  return s;
}

production::FileListInspection TForm1::CurrentInspection() const {
  production::FileListInspection f;
  f.iProgramIndex = iProgramIndex;
  f.iNewProgramIndex = iNewProgramIndex;
  f.iPreferIndex = iPreferIndex;
  f.iIsoIndex = iIsoIndex;
  f.iTelbookIndex = iTelbookIndex;
  f.iProgramSize = iProgramSize;
  f.iPreferSize = iPreferSize;
  f.iIsoSize = iIsoSize;
  f.iTelbookSize = iTelbookSize;
  f.iSdkType = iSdkType;
  f.FirmwareId = FirmwareId;
  f.iFsmFileSize = iFsmFileSize;
  return f;
}

std::vector<std::string> TForm1::HiddenDiskFiles() const { return HideFileList; }
std::vector<std::string> TForm1::SpiFlashFiles() const { return SpiFileList; }
int TForm1::CurrentLanguageIndex() const { return LanguageIndex; }

production::SlotPanel TForm1::SlotControls(int slot) {
  return Slots.at(static_cast<std::size_t>(slot));
}

char TForm1::SlotDriveLetter(int slot) const { return Slots.at(static_cast<std::size_t>(slot)).driveLetter; }

std::uint32_t TForm1::SlotGeneration(int slot) const {
  return Slots.at(static_cast<std::size_t>(slot)).generation;
}

production::CounterValues TForm1::RecordFinishedRun(bool passed) { return CountFinishedRun(passed); }

int TForm1::RecordRunStart() { return CountRunStart(); }
int TForm1::RecordRunEnd() { return CountRunEnd(); }

std::string TForm1::UiText(std::string_view name) const {
  const UiString* text = FindUiString(name);
  return text ? text->Get() : std::string(name);
}

std::string TForm1::MessageText(std::string_view english, int languageIndex) const {
  for (int row = 0; row < kMessageRows; ++row)
    if (english == MessageTable[row][0]) return console::MessageText(row, languageIndex);
  return std::string(english);
}

std::string TForm1::PageModeText(int mode, int languageIndex) const { return PageModeName(mode, languageIndex); }

}  // namespace console

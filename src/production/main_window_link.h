// What the production engine needs of the station's main window: its live
// option controls, the production settings, the results of the pre-copy list
// inspection, the device slots, the counters and the texts of the operator's
// language. The console's main window implements this; nothing in production
// includes the console. Every getter reads the window's current state at the
// moment of the call (the run reads each value when its stage needs it).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/ui.h"

namespace production {

using platform::ui::TCGauge;
using platform::ui::TCheckBox;
using platform::ui::TComboBox;
using platform::ui::TEdit;
using platform::ui::TGroupBox;
using platform::ui::TImage;
using platform::ui::TStaticText;
using platform::ui::TTntListBox;

// The main window's controls that workers read or write. Bound once by the
// window; a control the window does not have is null.
struct ProductionControls {
  TCheckBox* chkFwUpgrade = nullptr;
  TCheckBox* chkBlankCheck = nullptr;
  TCheckBox* chkClearFlash = nullptr;
  TCheckBox* chkISOupgrade = nullptr;
  TCheckBox* chkParityCheck = nullptr;
  TCheckBox* chknor = nullptr;
  TCheckBox* chkFormat = nullptr;
  TCheckBox* SystemAreachk = nullptr;
  TComboBox* SystemAreaComBo = nullptr;
  TStaticText* labSystemArea = nullptr;
  TEdit* LabelEdit = nullptr;
  TTntListBox* TntSelectFileList2 = nullptr;  // the pre-copy file list (UTF-8 paths)
  TGroupBox* grpFileList = nullptr;
  TGroupBox* grpMPSetting = nullptr;
  TStaticText* TotalStr = nullptr;
  TStaticText* SuccessStr = nullptr;
  TStaticText* FailStr = nullptr;
  TStaticText* lblsiosize = nullptr;  // disk size label; may be absent
};

// The production settings edited by the settings dialog (the plain fields of
// the main window beside its option controls).
struct ProductionSettings {
  int iFlashModuleNo = 0;
  int iScanLevel = 0;
  int Pattern = 0;
  int iPageSkip = 0;
  int iEccLevel = 0;
  int iBadThreshold = 0;
  bool PageMode = false;
  int PageModeSel = 0;
  std::uint8_t eDeviceFeature = 0;  // 0 normal, 1 encrypted, 2 hidden
  int iHideDiskRatio = 0;
  std::string sHideDiskLabel;
  int AllowErrorRate = 0;
  int iReadTimes = 0;
  std::uint8_t DealCapError = 0;  // 0 degrade, 1 show error, 2 do not care
  bool bUseImgFile = false;
  std::string ImageFile;
  bool SaveSpiImage = false;
  bool bNonFS = false;
  bool bFastBlkChk = false;
  int iMinBlocks = 0;
};

// Results of the pre-copy list inspection: list positions (-1 when absent),
// file sizes in bytes, the firmware's SDK type byte and ID, the FSM size.
struct FileListInspection {
  int iProgramIndex = -1;
  int iNewProgramIndex = -1;
  int iPreferIndex = -1;
  int iIsoIndex = -1;
  int iTelbookIndex = -1;
  std::int64_t iProgramSize = 0;
  std::int64_t iPreferSize = 0;
  std::int64_t iIsoSize = 0;
  std::int64_t iTelbookSize = 0;
  int iSdkType = 0;
  std::uint8_t FirmwareId = 0;
  int iFsmFileSize = 0;
};

// The controls of one device slot's panel.
struct SlotPanel {
  TStaticText* statusText = nullptr;  // D1infoStr..D8infoStr
  TImage* image = nullptr;            // infoImage1..infoImage8
  TCGauge* gauge = nullptr;           // ProgressBar1..ProgressBar8
  TStaticText* textP = nullptr;       // TextP1..TextP8
  TStaticText* textF = nullptr;       // TextF1..TextF8
};

// The three result counters as one consistent reading.
struct CounterValues {
  int total = 0;
  int passed = 0;
  int failed = 0;
};

class IProductionWindow {
 public:
  virtual ~IProductionWindow() = default;

  virtual const ProductionControls& WorkerControls() = 0;
  virtual ProductionSettings CurrentSettings() const = 0;
  virtual FileListInspection CurrentInspection() const = 0;
  virtual std::vector<std::string> HiddenDiskFiles() const = 0;  // HideFileList
  virtual std::vector<std::string> SpiFlashFiles() const = 0;    // SpiFileList
  virtual int CurrentLanguageIndex() const = 0;                  // LanguageIndex: 0 English, 1 Big5, 2 GBK

  // Slots 0..7: the panel, the drive letter now holding the slot (0 when
  // free) and the slot's generation (grows each time the slot is given out).
  virtual SlotPanel SlotControls(int slot) = 0;
  virtual char SlotDriveLetter(int slot) const = 0;
  virtual std::uint32_t SlotGeneration(int slot) const = 0;

  // One finished run counted as one step: total + 1, passed + (passed ? 1 : 0),
  // failed = total - passed. Returns the new values.
  virtual CounterValues RecordFinishedRun(bool passed) = 0;
  // iRunningCount + 1 / - 1 (never below 0), as one step; the new count.
  virtual int RecordRunStart() = 0;
  virtual int RecordRunEnd() = 0;

  // A named user-interface string ("FailMsg", "FILEWriteStr" ...) in the
  // current language, and a message-table row named by its English text in
  // the given language (the English text itself when there is no such row).
  virtual std::string UiText(std::string_view name) const = 0;
  virtual std::string MessageText(std::string_view english, int languageIndex) const = 0;
  // The name of page mode `mode` (0..6, 7 automatic detection) in the given
  // language, as the settings dialog lists it ("" for another number).
  virtual std::string PageModeText(int mode, int languageIndex) const = 0;
};

}  // namespace production

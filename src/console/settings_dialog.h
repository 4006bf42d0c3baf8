// The settings dialog: the editor of the production settings that are not on
// the main window (blank check, capacity rule, disk split with its hidden
// files or image file, SPI flash files, flash module number). It keeps no
// settings of its own: the show step copies the main window's fields into
// the controls, Apply writes them back, Cancel writes nothing. Created once
// at start-up; shown modally; keeps its controls' state while hidden.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ui/ui.h"

namespace console {

using namespace platform::ui;

inline constexpr int kScanLevelCount = 7;
inline constexpr int kPageModeCount = 8;
inline constexpr int kPatternScanLevel = 5;  // the scan level that takes a test pattern
inline constexpr std::int32_t kFlashModuleChoices[] = {1, 2, 4, 8, 16, 32};

// The scan-level and page-mode names in the three languages (0 English,
// 1 Traditional Chinese, 2 Simplified Chinese), as UTF-8. Built from their
// Big5 and GBK texts through the code pages when the program starts, released
// at exit. Before the build (or after the release) every entry reads "".
void InitSettingNameTables();
void FreeSettingNameTables();
const std::string& ScanLevelName(int entry, int languageIndex);
const std::string& PageModeName(int entry, int languageIndex);

class TfrmSetting : public TForm {
 public:
  TfrmSetting();
  ~TfrmSetting() override;

  // Bottom panel.
  TPanel pnlBottom{this, "pnlBottom"};
  TButton btnApply{&pnlBottom, "btnApply"};
  TButton btnCancel{&pnlBottom, "btnCancel"};
  TButton btnSaveConfig{&pnlBottom, "btnSaveConfig"};  // hidden
  TButton btnLoadConfig{&pnlBottom, "btnLoadConfig"};  // hidden

  TPageControl pgeSetting{this, "pgeSetting"};

  // Page 1: disk split.
  TTabSheet tabDeviceSetting{&pgeSetting, "tabDeviceSetting"};
  TGroupBox grpDiskSplit{&tabDeviceSetting, "grpDiskSplit"};
  TRadioButton rdoNormalDisk{&grpDiskSplit, "rdoNormalDisk"};
  TRadioButton rdoEncryptDisk{&grpDiskSplit, "rdoEncryptDisk"};
  TRadioButton rdoHideDisk{&grpDiskSplit, "rdoHideDisk"};
  TGroupBox grpHideDisk{&tabDeviceSetting, "grpHideDisk"};
  TLabel lblHideRatio{&grpHideDisk, "lblHideRatio"};
  TTrackBar tbarHideDiskRatio{&grpHideDisk, "tbarHideDiskRatio"};
  TEdit edtEncryptRatio{&grpHideDisk, "edtEncryptRatio"};
  TRadioButton rdoUseListFile{&grpHideDisk, "rdoUseListFile"};
  TRadioButton rdoUseImgFile{&grpHideDisk, "rdoUseImgFile"};
  TGroupBox grpHiddenFiles{&grpHideDisk, "grpHiddenFiles"};
  TLabel lblDiskLabel{&grpHiddenFiles, "lblDiskLabel"};
  TEdit edtDiskLabel{&grpHiddenFiles, "edtDiskLabel"};
  TCheckBox chkNonFS{&grpHiddenFiles, "chkNonFS"};
  TTntListBox TntlstHideFiles{&grpHiddenFiles, "TntlstHideFiles"};
  TButton btnAddFile{&grpHiddenFiles, "btnAddFile"};
  TButton btnAddDir{&grpHiddenFiles, "btnAddDir"};
  TButton btnRemove{&grpHiddenFiles, "btnRemove"};
  TGroupBox grpImgFile{&grpHideDisk, "grpImgFile"};
  TLabel lblImgDiskSize{&grpImgFile, "lblImgDiskSize"};
  TLabel lblImgSizeMB{&grpImgFile, "lblImgSizeMB"};
  TEdit edtImgFile{&grpImgFile, "edtImgFile"};
  TButton btnBrowseImg{&grpImgFile, "btnBrowseImg"};
  TButton btnShowImgTool{&grpImgFile, "btnShowImgTool"};

  // Page 2: blank check and capacity rule.
  TTabSheet tabFlashSetting{&pgeSetting, "tabFlashSetting"};
  TGroupBox grpBlankCheck{&tabFlashSetting, "grpBlankCheck"};
  TCheckBox chkFastBlkChk{&grpBlankCheck, "chkFastBlkChk"};
  TLabel lblScanLevel{&grpBlankCheck, "lblScanLevel"};
  TComboBox cboScanLevel{&grpBlankCheck, "cboScanLevel"};
  TLabel lblPageSkip{&grpBlankCheck, "lblPageSkip"};
  TComboBox cboPageSkip{&grpBlankCheck, "cboPageSkip"};
  TLabel lblECCLevel{&grpBlankCheck, "lblECCLevel"};
  TComboBox cboECC{&grpBlankCheck, "cboECC"};
  TLabel lblBadThreshold{&grpBlankCheck, "lblBadThreshold"};
  TEdit edtBadThreshold{&grpBlankCheck, "edtBadThreshold"};
  TUpDown UpDownBadThreshold{&grpBlankCheck, "UpDownBadThreshold"};
  TLabel lblBadPercent{&grpBlankCheck, "lblBadPercent"};
  TCheckBox chkPageScan{&grpBlankCheck, "chkPageScan"};
  TComboBox cboPageMode{&grpBlankCheck, "cboPageMode"};
  TLabel lblReadTimes{&grpBlankCheck, "lblReadTimes"};
  TComboBox cboRead{&grpBlankCheck, "cboRead"};
  TTntLabel Tntlblpattern{&grpBlankCheck, "Tntlblpattern"};
  TTntEdit edtpattern{&grpBlankCheck, "edtpattern"};
  TGroupBox grpCapacityRule{&tabFlashSetting, "grpCapacityRule"};
  TLabel lblAllowCapError{&grpCapacityRule, "lblAllowCapError"};
  TEdit edtCapError{&grpCapacityRule, "edtCapError"};
  TUpDown UpDownCapError{&grpCapacityRule, "UpDownCapError"};
  TLabel lblCapPercent{&grpCapacityRule, "lblCapPercent"};
  TGroupBox grpCapErrorDeal{&grpCapacityRule, "grpCapErrorDeal"};
  TRadioButton rdoDegrade{&grpCapErrorDeal, "rdoDegrade"};
  TRadioButton rdoCapShowFail{&grpCapErrorDeal, "rdoCapShowFail"};
  TRadioButton rdoDonotCare{&grpCapErrorDeal, "rdoDonotCare"};

  // Page 3: SPI (NOR) flash.
  TTabSheet tabSpiSetting{&pgeSetting, "tabSpiSetting"};
  TCheckBox chkSaveSpiImage{&tabSpiSetting, "chkSaveSpiImage"};
  TGroupBox grpSpiHiddenFile{&tabSpiSetting, "grpSpiHiddenFile"};
  TTntListBox TntlstSpiFiles{&grpSpiHiddenFile, "TntlstSpiFiles"};
  TButton btnAddSpiFile{&grpSpiHiddenFile, "btnAddSpiFile"};
  TButton btnRmvSpiFile{&grpSpiHiddenFile, "btnRmvSpiFile"};

  // Page 4: factory setting.
  TTabSheet tabFactorSet{&pgeSetting, "tabFactorSet"};
  TLabel lblCapMultiplier{&tabFactorSet, "lblCapMultiplier"};
  TComboBox cboFlashModuleNo{&tabFactorSet, "cboFlashModuleNo"};
  TPanel pnlFlashModuleNo{&tabFactorSet, "pnlFlashModuleNo"};

  TOpenDialog OpenImgDlg{this, "OpenImgDlg"};
  TTntOpenDialog TntfoDlg{this, "TntfoDlg"};
  TOpenDialog foDlg{this, "foDlg"};
  TSaveDialog SaveDialog1{this, "SaveDialog1"};
  TOpenDialog OpenDialog1{this, "OpenDialog1"};

  // The language of the dialog's texts, copied from the main window at every show.
  int LanguageIndex = 0;

  // ---- event handlers ----
  void SetCaptions();
  void FormShow(TObject* Sender);
  void btnApplyClick(TObject* Sender);
  void btnCancelClick(TObject* Sender);
  void btnSaveConfigClick(TObject* Sender);  // configuration files
  void btnLoadConfigClick(TObject* Sender);
  void UpDownBadThresholdClick(TObject* Sender, TUDBtnType Button);
  void UpDownCapErrorClick(TObject* Sender, TUDBtnType Button);
  void tbarHideDiskRatioChange(TObject* Sender);
  void rdoNormalDiskClick(TObject* Sender);
  void rdoHideDiskClick(TObject* Sender);
  void rdoEncryptDiskClick(TObject* Sender);
  void rdoUseListFileClick(TObject* Sender);  // the list/image rule of both buttons
  void btnAddFileClick(TObject* Sender);
  void btnAddDirClick(TObject* Sender);
  void btnRemoveClick(TObject* Sender);
  void btnAddSpiFileClick(TObject* Sender);
  void btnRmvSpiFileClick(TObject* Sender);
  void cboPageSkipClick(TObject* Sender);
  void chkPageScanClick(TObject* Sender);
  void cboScanLevelChange(TObject* Sender);
  void lblScanLevelClick(TObject* Sender);  // the pattern rule
  void chkNonFSClick(TObject* Sender);
  void btnBrowseImgClick(TObject* Sender);
  void btnShowImgToolClick(TObject* Sender);
  void chkFastBlkChkClick(TObject* Sender);

  // Sets the fast blanking box from code (the show step, the password
  // dialog): the warning and the password guard run only for the operator.
  void SetFastBlankingChecked(bool checked);

 private:
  void Layout();
  void BindEvents();
  // Checks the radio button and runs its click rule, also when it was on already.
  static void CheckAndRun(TRadioButton& button);
  // "Invalid IMG file", then the image path takes the focus.
  void ShowInvalidImage();
  int codeChangesFastBlk_ = 0;  // > 0 while code sets chkFastBlkChk
};

// Opens the file read-only and reads its size: raw disk images and the image
// tool's container files alike. False, leaving `size` untouched, when it is
// not a regular file that opens, or cannot be sized.
bool ProbeImageFile(const std::string& path, std::uint64_t& size);

}  // namespace console

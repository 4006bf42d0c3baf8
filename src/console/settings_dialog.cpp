#include "console/settings_dialog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <optional>

#include "console/firmware_files.h"
#include "console/main_window.h"
#include "console/message_table.h"
#include "console/other_forms.h"
#include "console/settings.h"
#include "platform/codepage/codepage.h"
#include "platform/convert/convert.h"
#include "platform/files/open_file.h"
#include "platform/paths/paths.h"

namespace console {

// ---- name tables ----

namespace {

// The Chinese names as stored: Big5 for Traditional, GBK for Simplified.
struct CodePageName {
  const char* english;
  const char* big5;
  const char* gbk;
};
constexpr CodePageName kPageModeSource[kPageModeCount] = {
    {"Specific mode 1", "\xaf\x53\xae\xed\xad\xb6\xa4\x40", "\xcc\xd8\xca\xe2\xd2\xb3\xd2\xbb"},
    {"Specific mode 2", "\xaf\x53\xae\xed\xad\xb6\xa4\x47", "\xcc\xd8\xca\xe2\xd2\xb3\xb6\xfe"},
    {"Even Pages", "\xb0\xb8\xbc\xc6\xad\xb6", "\xc5\xbc\xca\xfd\xd2\xb3"},
    {"Odd pages", "\xa9\x5f\xbc\xc6\xad\xb6", "\xc6\xe6\xca\xfd\xd2\xb3"},
    {"First Half", "\xab\x65\xa5\x62\xbc\xc6\xad\xb6", "\xc7\xb0\xb0\xeb\xca\xfd\xd2\xb3"},
    {"Second Half", "\xab\xe1\xa5\x62\xbc\xc6\xad\xb6", "\xba\xf3\xb0\xeb\xca\xfd\xd2\xb3"},
    {"All Pages", "\xa5\xfe\xb3\xa1\xad\xb6", "\xc8\xab\xb2\xbf\xd2\xb3"},
    {"Auto Detection", "\xa6\xdb\xb0\xca\xb0\xbb\xb4\xfa", "\xd7\xd4\xb6\xaf\xd5\xec\xb2\xe2"},
};

using NameRow = std::array<std::string, kLanguageColumns>;
std::array<NameRow, kScanLevelCount> g_scanLevelNames;
std::array<NameRow, kPageModeCount> g_pageModeNames;
const std::string kNoName;

const std::string& Entry(const auto& table, int entry, int languageIndex) {
  if (entry < 0 || entry >= static_cast<int>(table.size())) return kNoName;
  if (languageIndex < 0 || languageIndex >= kLanguageColumns) languageIndex = 0;
  return table[static_cast<std::size_t>(entry)][static_cast<std::size_t>(languageIndex)];
}

}  // namespace

void InitSettingNameTables() {
  for (int i = 0; i < kScanLevelCount; ++i) {
    const std::string name = "Level " + std::to_string(i + 1);
    g_scanLevelNames[static_cast<std::size_t>(i)] = {name, name, name};
  }
  for (int i = 0; i < kPageModeCount; ++i) {
    const CodePageName& n = kPageModeSource[i];
    g_pageModeNames[static_cast<std::size_t>(i)] = {n.english, platform::CodePageToUtf8(n.big5, platform::CP_BIG5),
                                                    platform::CodePageToUtf8(n.gbk, platform::CP_GBK)};
  }
}

void FreeSettingNameTables() {
  g_scanLevelNames = {};
  g_pageModeNames = {};
}

const std::string& ScanLevelName(int entry, int languageIndex) { return Entry(g_scanLevelNames, entry, languageIndex); }
const std::string& PageModeName(int entry, int languageIndex) { return Entry(g_pageModeNames, entry, languageIndex); }

// ---- the form ----

TfrmSetting::TfrmSetting() : TForm("frmSetting") {
  InitSettingNameTables();
  Layout();
  BindEvents();
}

TfrmSetting::~TfrmSetting() { FreeSettingNameTables(); }

void TfrmSetting::Layout() {
  SetCaption("AdvanceSetting");
  SetBounds(0, 0, 520, 460);
  pnlBottom.SetBounds(0, 410, 520, 50);
  btnApply.SetBounds(300, 12, 90, 25);
  btnCancel.SetBounds(400, 12, 90, 25);
  btnSaveConfig.SetBounds(16, 12, 90, 25);
  btnLoadConfig.SetBounds(116, 12, 90, 25);
  btnSaveConfig.SetVisible(false);
  btnLoadConfig.SetVisible(false);
  pgeSetting.SetBounds(0, 0, 520, 410);

  grpDiskSplit.SetBounds(16, 8, 480, 44);
  rdoNormalDisk.SetBounds(12, 18, 140, 17);
  rdoEncryptDisk.SetBounds(164, 18, 140, 17);
  rdoHideDisk.SetBounds(316, 18, 140, 17);
  grpHideDisk.SetBounds(16, 56, 480, 320);
  lblHideRatio.SetBounds(16, 20, 80, 17);
  tbarHideDiskRatio.SetBounds(100, 16, 260, 30);
  tbarHideDiskRatio.SetRange(1, 100);
  tbarHideDiskRatio.SetFrequency(10);
  edtEncryptRatio.SetBounds(370, 18, 40, 21);
  edtEncryptRatio.SetReadOnly(true);
  rdoUseListFile.SetBounds(16, 56, 180, 17);
  rdoUseImgFile.SetBounds(220, 56, 180, 17);
  grpHiddenFiles.SetBounds(16, 88, 448, 220);
  lblDiskLabel.SetBounds(12, 22, 70, 17);
  edtDiskLabel.SetBounds(86, 18, 100, 21);
  edtDiskLabel.SetCharCase(ecUpperCase);
  edtDiskLabel.SetMaxLength(8);
  chkNonFS.SetBounds(200, 20, 160, 17);
  chkNonFS.SetCaption("Non FileSystem");  // the same in every language
  TntlstHideFiles.SetBounds(12, 48, 330, 160);
  TntlstHideFiles.SetMultiSelect(true);
  btnAddFile.SetBounds(350, 48, 90, 25);
  btnAddDir.SetBounds(350, 80, 90, 25);
  btnRemove.SetBounds(350, 112, 90, 25);
  grpImgFile.SetBounds(16, 88, 448, 100);
  lblImgDiskSize.SetBounds(12, 22, 110, 17);
  lblImgSizeMB.SetBounds(126, 22, 100, 17);
  edtImgFile.SetBounds(12, 50, 360, 21);
  edtImgFile.SetReadOnly(true);
  btnBrowseImg.SetBounds(376, 48, 24, 25);
  btnBrowseImg.SetCaption("...");
  btnShowImgTool.SetBounds(376, 16, 64, 25);

  grpBlankCheck.SetBounds(16, 8, 480, 230);
  chkFastBlkChk.SetBounds(12, 18, 200, 17);
  lblScanLevel.SetBounds(12, 46, 110, 17);
  cboScanLevel.SetBounds(130, 42, 120, 21);
  lblPageSkip.SetBounds(12, 74, 110, 17);
  cboPageSkip.SetBounds(130, 70, 120, 21);
  lblECCLevel.SetBounds(12, 102, 110, 17);
  cboECC.SetBounds(130, 98, 120, 21);
  lblBadThreshold.SetBounds(12, 130, 110, 34);
  edtBadThreshold.SetBounds(130, 128, 40, 21);
  edtBadThreshold.SetReadOnly(true);
  UpDownBadThreshold.SetBounds(170, 128, 16, 21);
  UpDownBadThreshold.SetMin(0);
  UpDownBadThreshold.SetMax(100);
  lblBadPercent.SetBounds(190, 130, 16, 17);
  lblBadPercent.SetCaption("%");
  chkPageScan.SetBounds(270, 46, 190, 17);
  cboPageMode.SetBounds(270, 70, 190, 21);
  lblReadTimes.SetBounds(270, 102, 90, 17);
  cboRead.SetBounds(360, 98, 100, 21);
  Tntlblpattern.SetBounds(270, 130, 80, 17);
  Tntlblpattern.SetCaption("Pattern");
  edtpattern.SetBounds(360, 128, 100, 21);
  for (TComboBox* combo : {&cboScanLevel, &cboPageSkip, &cboECC, &cboPageMode, &cboRead, &cboFlashModuleNo})
    combo->SetStyle(csDropDownList);

  grpCapacityRule.SetBounds(16, 244, 480, 130);
  lblAllowCapError.SetBounds(12, 22, 140, 17);
  edtCapError.SetBounds(160, 18, 40, 21);
  edtCapError.SetReadOnly(true);
  UpDownCapError.SetBounds(200, 18, 16, 21);
  UpDownCapError.SetMin(1);
  UpDownCapError.SetMax(20);
  lblCapPercent.SetBounds(220, 22, 16, 17);
  lblCapPercent.SetCaption("%");
  grpCapErrorDeal.SetBounds(12, 50, 456, 44);
  rdoDegrade.SetBounds(12, 18, 130, 17);
  rdoCapShowFail.SetBounds(160, 18, 130, 17);
  rdoDonotCare.SetBounds(308, 18, 130, 17);

  chkSaveSpiImage.SetBounds(16, 12, 200, 17);
  grpSpiHiddenFile.SetBounds(16, 40, 480, 330);
  TntlstSpiFiles.SetBounds(12, 20, 350, 290);
  TntlstSpiFiles.SetMultiSelect(true);
  btnAddSpiFile.SetBounds(372, 20, 90, 25);
  btnRmvSpiFile.SetBounds(372, 52, 90, 25);

  lblCapMultiplier.SetBounds(24, 24, 120, 17);
  cboFlashModuleNo.SetBounds(160, 48, 80, 21);
  for (int choice : kFlashModuleChoices) cboFlashModuleNo.Items.Add(std::to_string(choice));
  pnlFlashModuleNo.SetBounds(160, 20, 120, 24);

  OpenImgDlg.DefaultExt = "IMG";
  OpenImgDlg.Filter = "Image File *.IMG|*.IMG";
  TntfoDlg.Options = ofAllowMultiSelect | ofHideReadOnly | ofEnableSizing;
  foDlg.Options = ofAllowMultiSelect | ofHideReadOnly | ofEnableSizing;
  foDlg.Filter = "All File Format(*.*)|*.*";
  SaveDialog1.DefaultExt = "mp";
  SaveDialog1.Filter = "MP file(*.mp)|*.mp";
  SaveDialog1.Options = ofHideReadOnly | ofNoChangeDir | ofEnableSizing;
  OpenDialog1.DefaultExt = "mp";
  OpenDialog1.Filter = "MP File(*.mp)|*.mp";
  OpenDialog1.Options = ofHideReadOnly | ofNoChangeDir | ofEnableSizing;

  pgeSetting.SetActivePageIndex(0);
}

void TfrmSetting::BindEvents() {
  OnShow = [this](TObject* s) { FormShow(s); };
  btnApply.OnClick = [this](TObject* s) { btnApplyClick(s); };
  btnCancel.OnClick = [this](TObject* s) { btnCancelClick(s); };
  btnSaveConfig.OnClick = [this](TObject* s) { btnSaveConfigClick(s); };
  btnLoadConfig.OnClick = [this](TObject* s) { btnLoadConfigClick(s); };
  UpDownBadThreshold.OnClick = [this](TObject* s, TUDBtnType b) { UpDownBadThresholdClick(s, b); };
  UpDownCapError.OnClick = [this](TObject* s, TUDBtnType b) { UpDownCapErrorClick(s, b); };
  tbarHideDiskRatio.OnChange = [this](TObject* s) { tbarHideDiskRatioChange(s); };
  rdoNormalDisk.OnClick = [this](TObject* s) { rdoNormalDiskClick(s); };
  rdoHideDisk.OnClick = [this](TObject* s) { rdoHideDiskClick(s); };
  rdoEncryptDisk.OnClick = [this](TObject* s) { rdoEncryptDiskClick(s); };
  rdoUseListFile.OnClick = [this](TObject* s) { rdoUseListFileClick(s); };
  rdoUseImgFile.OnClick = [this](TObject* s) { rdoUseListFileClick(s); };
  btnAddFile.OnClick = [this](TObject* s) { btnAddFileClick(s); };
  btnAddDir.OnClick = [this](TObject* s) { btnAddDirClick(s); };
  btnRemove.OnClick = [this](TObject* s) { btnRemoveClick(s); };
  btnAddSpiFile.OnClick = [this](TObject* s) { btnAddSpiFileClick(s); };
  btnRmvSpiFile.OnClick = [this](TObject* s) { btnRmvSpiFileClick(s); };
  cboPageSkip.OnClick = [this](TObject* s) { cboPageSkipClick(s); };
  chkPageScan.OnClick = [this](TObject* s) { chkPageScanClick(s); };
  cboScanLevel.OnChange = [this](TObject* s) { cboScanLevelChange(s); };
  cboRead.OnChange = [this](TObject* s) { cboScanLevelChange(s); };
  lblScanLevel.OnClick = [this](TObject* s) { lblScanLevelClick(s); };
  chkNonFS.OnClick = [this](TObject* s) { chkNonFSClick(s); };
  btnBrowseImg.OnClick = [this](TObject* s) { btnBrowseImgClick(s); };
  btnShowImgTool.OnClick = [this](TObject* s) { btnShowImgToolClick(s); };
  chkFastBlkChk.OnClick = [this](TObject* s) { chkFastBlkChkClick(s); };
}

void TfrmSetting::CheckAndRun(TRadioButton& button) {
  if (button.Checked()) {
    if (button.OnClick) button.OnClick(&button);
  } else {
    button.SetChecked(true);  // runs its click rule
  }
}

void TfrmSetting::SetFastBlankingChecked(bool checked) {
  ++codeChangesFastBlk_;
  try {
    chkFastBlkChk.SetChecked(checked);
  } catch (...) {
    --codeChangesFastBlk_;
    throw;
  }
  --codeChangesFastBlk_;
}

// ---- show ----

void TfrmSetting::SetCaptions() {
  LanguageIndex = Form1 ? Form1->LanguageIndex.load() : 0;
  const int lang = LanguageIndex;
  const std::pair<TControl*, int> captions[] = {
      {&grpBlankCheck, 0},     {&lblScanLevel, 1},     {&lblPageSkip, 2},       {&lblReadTimes, 3},
      {&lblECCLevel, 4},       {&btnApply, 5},         {&btnCancel, 6},         {&tabFactorSet, 7},
      {&tabFlashSetting, 8},   {&lblCapMultiplier, 9}, {&lblBadThreshold, 10},  {&btnSaveConfig, 11},
      {&btnLoadConfig, 12},    {&tabDeviceSetting, 13}, {&grpDiskSplit, 14},    {&rdoNormalDisk, 15},
      {&rdoEncryptDisk, 16},   {&rdoHideDisk, 17},     {&grpHideDisk, 18},      {&lblHideRatio, 19},
      {&grpHiddenFiles, 20},   {&btnAddFile, 21},      {&btnAddSpiFile, 21},    {&btnAddDir, 22},
      {&btnRemove, 23},        {&btnRmvSpiFile, 23},   {&lblDiskLabel, 24},     {&grpCapacityRule, 48},
      {&lblAllowCapError, 49}, {&grpCapErrorDeal, 50}, {&rdoDegrade, 51},       {&rdoCapShowFail, 52},
      {&rdoDonotCare, 53},     {&chkPageScan, 56},     {&grpImgFile, 62},       {&rdoUseListFile, 63},
      {&rdoUseImgFile, 64},    {&lblImgDiskSize, 67},  {&btnShowImgTool, 69},   {&grpSpiHiddenFile, 78},
      {&tabSpiSetting, 82},    {&chkSaveSpiImage, 83}, {&chkFastBlkChk, 85},
  };
  for (const auto& [control, row] : captions) control->SetCaption(MessageText(row, lang));
}

void TfrmSetting::FormShow(TObject*) {
  TForm1& f = *Form1;
  SetCaptions();
  const int lang = LanguageIndex;

  cboFlashModuleNo.SetLeft(lblCapMultiplier.Left());
  cboFlashModuleNo.SetVisible(true);
  pnlFlashModuleNo.SetVisible(false);
  cboFlashModuleNo.SetItemIndex(f.iFlashModuleNo);

  cboScanLevel.Items.Clear();
  for (int i = 0; i < kScanLevelCount; ++i) cboScanLevel.Items.Add(ScanLevelName(i, lang));
  pgeSetting.SetActivePage(&tabDeviceSetting);
  // Values of 6 and more, and negative ones, show the last level.
  cboScanLevel.SetItemIndex(static_cast<unsigned>(f.iScanLevel) < 6 ? f.iScanLevel : 6);

  cboPageSkip.Items.Clear();
  for (int i = 0; i <= 64; ++i) cboPageSkip.Items.Add(std::to_string(i));
  cboPageSkip.SetItemIndex(f.iPageSkip);

  cboRead.Items.Assign({MessageText(39, lang), "0", "1", "2"});
  cboRead.SetItemIndex(f.iReadTimes);
  cboECC.Items.Assign({MessageText(39, lang), "0", "1", "2", "3", "4", "5", "6"});
  cboECC.SetItemIndex(f.iEccLevel);

  cboPageMode.Items.Clear();
  for (int i = 0; i < kPageModeCount; ++i) cboPageMode.Items.Add(PageModeName(i, lang));
  cboPageMode.SetItemIndex(f.PageModeSel);
  // The box shows what Apply will store.
  chkPageScan.SetChecked(f.PageMode);
  const bool patternLevel = cboScanLevel.ItemIndex() == kPatternScanLevel;
  chkPageScan.SetEnabled(!patternLevel);
  cboPageMode.SetEnabled(!patternLevel && chkPageScan.Checked());
  cboRead.SetEnabled(patternLevel);

  SetFastBlankingChecked(RegReadInteger(kStationKey, "FastblkcheckID", 0) != 0 && f.bFastBlkChk);

  chkPageScanClick(&chkPageScan);
  lblScanLevelClick(&lblScanLevel);

  UpDownBadThreshold.SetPosition(f.iBadThreshold);
  edtBadThreshold.SetText(std::to_string(UpDownBadThreshold.Position()));

  rdoUseListFile.SetChecked(!f.bUseImgFile);
  rdoUseImgFile.SetChecked(f.bUseImgFile);
  rdoUseListFileClick(f.bUseImgFile ? &rdoUseImgFile : &rdoUseListFile);

  edtImgFile.SetText(f.ImageFile);
  // The maximum first, so that a stored 100 with the encrypted disk shows 100.
  tbarHideDiskRatio.SetMax(f.eDeviceFeature == kHiddenDisk ? 99 : 100);
  tbarHideDiskRatio.SetPosition(f.iHideDiskRatio);
  edtDiskLabel.SetText(f.sHideDiskLabel);

  TntlstHideFiles.Items.Clear();
  for (const std::string& path : f.HideFileList)
    if (platform::FileExists(path) || platform::DirectoryExists(path)) TntlstHideFiles.Items.Add(path);
  TntlstSpiFiles.Items.Clear();
  for (const std::string& path : f.SpiFileList)
    if (platform::FileExists(path)) TntlstSpiFiles.Items.Add(path);

  switch (f.eDeviceFeature) {
    case kHiddenDisk:
      CheckAndRun(rdoHideDisk);
      tbarHideDiskRatioChange(&tbarHideDiskRatio);
      break;
    case kEncryptedDisk: CheckAndRun(rdoEncryptDisk); break;
    default: CheckAndRun(rdoNormalDisk); break;
  }

  UpDownCapError.SetPosition(f.AllowErrorRate);
  edtCapError.SetText(std::to_string(UpDownCapError.Position()));

  switch (f.DealCapError) {
    case kCapDegrade: rdoDegrade.SetChecked(true); break;
    case kCapShowError: rdoCapShowFail.SetChecked(true); break;
    default: rdoDonotCare.SetChecked(true); break;
  }
  chkSaveSpiImage.SetChecked(f.SaveSpiImage);
  chkNonFS.SetChecked(f.bNonFS);
}

// ---- apply and cancel ----

void TfrmSetting::ShowInvalidImage() {
  Application->MessageBox(MessageText(61, LanguageIndex), "Fail", MB_OK | MB_ICONERROR);
}

void TfrmSetting::btnApplyClick(TObject*) {
  TForm1& f = *Form1;
  const bool splitDisk = rdoEncryptDisk.Checked() || rdoHideDisk.Checked();
  if (splitDisk && rdoUseImgFile.Checked()) {
    const std::string image = edtImgFile.Text();
    std::uint64_t size = 0;
    if (image.empty() || !platform::FileExists(image) || !ProbeImageFile(image, size)) {
      ShowInvalidImage();
      pgeSetting.SetActivePage(&tabDeviceSetting);
      edtImgFile.SetFocus();
      return;
    }
  }

  // Every text is read before any field is written: one that does not read
  // as a number stops Apply (its error is shown) and changes nothing.
  const int scanLevel = cboScanLevel.ItemIndex();
  std::optional<int> pattern;
  if (scanLevel == kPatternScanLevel) pattern = platform::StrToInt(edtpattern.Text());
  const int pageSkip = platform::StrToInt(cboPageSkip.Text());
  const int badThreshold = platform::StrToInt(edtBadThreshold.Text());
  const int allowErrorRate = platform::StrToInt(edtCapError.Text());

  // A list without a selection keeps its field as it was.
  auto chosen = [](const TComboBox& combo, int& field) {
    if (combo.ItemIndex() >= 0) field = combo.ItemIndex();
  };
  const int moduleNo = cboFlashModuleNo.ItemIndex();
  if (moduleNo >= 0 && moduleNo != f.iFlashModuleNo) WriteCapacityMultiplier(f, moduleNo);
  chosen(cboFlashModuleNo, f.iFlashModuleNo);
  f.bFastBlkChk = chkFastBlkChk.Checked();
  chosen(cboScanLevel, f.iScanLevel);
  if (pattern) f.Pattern = *pattern;
  f.iPageSkip = pageSkip;
  chosen(cboRead, f.iReadTimes);
  chosen(cboECC, f.iEccLevel);
  f.iBadThreshold = badThreshold;

  if (splitDisk) {
    f.eDeviceFeature = rdoHideDisk.Checked() ? kHiddenDisk : kEncryptedDisk;
    f.iHideDiskRatio = tbarHideDiskRatio.Position();
    f.sHideDiskLabel = edtDiskLabel.Text();
  } else {
    f.eDeviceFeature = kNormalDisk;
  }
  std::string feature;
  if (DiskFeatureText(f.eDeviceFeature, f.iHideDiskRatio, f.LanguageIndex, &feature))
    f.labDiskFeature.SetCaption(feature);

  f.HideFileList = TntlstHideFiles.Items.ToVector();
  f.SpiFileList = TntlstSpiFiles.Items.ToVector();
  f.bUseImgFile = rdoUseImgFile.Checked();
  f.ImageFile = edtImgFile.Text();
  f.AllowErrorRate = allowErrorRate;
  f.DealCapError = rdoCapShowFail.Checked() ? kCapShowError : rdoDegrade.Checked() ? kCapDegrade : kCapDoNotCare;
  f.PageMode = chkPageScan.Checked();
  chosen(cboPageMode, f.PageModeSel);
  f.SaveSpiImage = chkSaveSpiImage.Checked();
  f.bNonFS = chkNonFS.Checked();
  SetModalResult(mrOk);
}

void TfrmSetting::btnCancelClick(TObject*) { Close(); }

// ---- control rules ----

void TfrmSetting::UpDownBadThresholdClick(TObject*, TUDBtnType) {
  edtBadThreshold.SetText(std::to_string(UpDownBadThreshold.Position()));
}

void TfrmSetting::UpDownCapErrorClick(TObject*, TUDBtnType) {
  edtCapError.SetText(std::to_string(UpDownCapError.Position()));
}

void TfrmSetting::tbarHideDiskRatioChange(TObject*) {
  edtEncryptRatio.SetText(std::to_string(tbarHideDiskRatio.Position()));
  tbarHideDiskRatio.SetSelEnd(tbarHideDiskRatio.Position());
}

void TfrmSetting::rdoNormalDiskClick(TObject*) { grpHideDisk.SetVisible(false); }

void TfrmSetting::rdoHideDiskClick(TObject*) {
  grpHideDisk.SetVisible(true);
  tbarHideDiskRatio.SetMax(99);
  tbarHideDiskRatioChange(&tbarHideDiskRatio);
}

void TfrmSetting::rdoEncryptDiskClick(TObject*) {
  grpHideDisk.SetVisible(true);
  tbarHideDiskRatio.SetMax(100);
  tbarHideDiskRatioChange(&tbarHideDiskRatio);
}

void TfrmSetting::rdoUseListFileClick(TObject* Sender) {
  const auto* sender = dynamic_cast<const TComponent*>(Sender);
  if (sender && sender->Name() == "rdoUseListFile") {
    grpHiddenFiles.SetBounds(16, 88, grpHiddenFiles.Width(), grpHiddenFiles.Height());
    grpHiddenFiles.SetVisible(true);
    grpImgFile.SetVisible(false);
    return;
  }
  grpImgFile.SetBounds(16, 88, grpImgFile.Width(), grpImgFile.Height());
  grpImgFile.SetVisible(true);
  grpHiddenFiles.SetVisible(false);
  // The size shown is that of the stored image, until Apply stores a new one.
  const std::string stored = Form1 ? Form1->ImageFile : std::string();
  std::uint64_t size = 0;
  if (platform::FileExists(stored) && ProbeImageFile(stored, size))
    lblImgSizeMB.SetCaption(std::to_string(size / 1024 / 1024) + "MB");
}

void TfrmSetting::btnAddFileClick(TObject*) {
  if (!TntfoDlg.Execute()) return;
  for (const std::string& file : TntfoDlg.Files) TntlstHideFiles.Items.Add(file);
}

void TfrmSetting::btnAddDirClick(TObject*) {
  std::string path, displayName;
  if (BrowseForFolder("", path, displayName, "Select Directory")) TntlstHideFiles.Items.Add(path);
}

void TfrmSetting::btnRemoveClick(TObject*) { TntlstHideFiles.DeleteSelected(); }

void TfrmSetting::btnAddSpiFileClick(TObject*) {
  if (!foDlg.Execute()) return;
  for (const std::string& file : foDlg.Files) TntlstSpiFiles.Items.Add(file);
}

void TfrmSetting::btnRmvSpiFileClick(TObject*) { TntlstSpiFiles.DeleteSelected(); }

void TfrmSetting::cboPageSkipClick(TObject*) {
  if (cboPageSkip.ItemIndex() >= 1)
    Application->MessageBox(MessageText(28, LanguageIndex), MessageText(27, LanguageIndex), MB_OK | MB_ICONWARNING);
}

void TfrmSetting::chkPageScanClick(TObject*) { cboPageMode.SetEnabled(chkPageScan.Checked()); }

void TfrmSetting::cboScanLevelChange(TObject*) {
  const bool patternLevel = cboScanLevel.ItemIndex() == kPatternScanLevel;
  Tntlblpattern.SetEnabled(patternLevel);
  edtpattern.SetEnabled(patternLevel);
  cboRead.SetEnabled(patternLevel);
  chkPageScan.SetEnabled(!patternLevel);
  cboPageMode.SetEnabled(!patternLevel);
}

void TfrmSetting::lblScanLevelClick(TObject*) {
  const bool patternLevel = Form1 && Form1->iScanLevel == kPatternScanLevel;
  Tntlblpattern.SetEnabled(patternLevel);
  edtpattern.SetEnabled(patternLevel);
  if (!patternLevel) cboPageMode.SetEnabled(chkPageScan.Checked());
  const int pattern = Form1 ? Form1->Pattern : 0;
  edtpattern.SetText("0x" + platform::IntToHex(static_cast<std::uint32_t>(pattern), 4));
}

void TfrmSetting::chkNonFSClick(TObject*) {
  const bool fileSystem = !chkNonFS.Checked();
  lblDiskLabel.SetEnabled(fileSystem);
  edtDiskLabel.SetEnabled(fileSystem);
  btnAddDir.SetEnabled(fileSystem);
}

void TfrmSetting::btnBrowseImgClick(TObject*) {
  if (!OpenImgDlg.Execute()) return;
  std::uint64_t size = 0;
  if (!ProbeImageFile(OpenImgDlg.FileName, size)) {
    ShowInvalidImage();
    return;
  }
  lblImgSizeMB.SetCaption(std::to_string(size / 1024 / 1024) + "MB");
  edtImgFile.SetText(OpenImgDlg.FileName);
}

void TfrmSetting::btnShowImgToolClick(TObject*) {
  if (frmIsoMain) frmIsoMain->ShowModal();
}

// The operator's changes of the fast blanking box only: it may end checked
// only after the warning is confirmed and the password dialog has checked it.
void TfrmSetting::chkFastBlkChkClick(TObject*) {
  if (codeChangesFastBlk_ > 0 || !chkFastBlkChk.Checked()) return;
  const int answer = Application->MessageBox(MessageText(86, LanguageIndex), MessageText(27, LanguageIndex),
                                             MB_YESNO | MB_ICONWARNING);
  if (answer != IDYES || !Form2) {
    SetFastBlankingChecked(false);
    return;
  }
  SetFastBlankingChecked(false);  // until the password dialog decides
  Form2->ShowModal();
}

bool ProbeImageFile(const std::string& path, std::uint64_t& size) {
  const int fd = platform::OpenRegularFile(path, O_RDONLY);  // a FIFO is refused, never waited on
  if (fd < 0) return false;
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) size = static_cast<std::uint64_t>(st.st_size);
  ::close(fd);
  return ok;
}

}  // namespace console

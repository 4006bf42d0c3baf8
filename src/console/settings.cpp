#include "console/settings.h"

#include "console/firmware_files.h"
#include "console/main_window.h"
#include "console/message_table.h"
#include "console/settings_dialog.h"
#include "platform/convert/convert.h"
#include "platform/ini/ini.h"
#include "platform/paths/paths.h"

namespace console {

namespace {

constexpr const char* S = kMpSettingSection;
using D = MpSettingDefaults;

}  // namespace

bool DiskFeatureText(std::uint8_t deviceFeature, int hideDiskRatio, int languageIndex, std::string* text) {
  switch (deviceFeature) {
    case kNormalDisk:
      *text = MessageText(15, languageIndex);
      return true;
    case kEncryptedDisk:
      *text = MessageText(16, languageIndex) + std::to_string(hideDiskRatio) + "%";
      return true;
    case kHiddenDisk:
      *text = MessageText(17, languageIndex) + std::to_string(hideDiskRatio) + "%";
      return true;
    default:
      return false;
  }
}

void LoadMpSettings(TForm1& form, const std::string& fileName) {
  const platform::TMemIniFile ini(platform::ToNativePath(fileName));
  auto check = [&](TCheckBox& box, const char* key, int fallback) {
    box.SetChecked(ini.ReadInteger(S, key, fallback) != 0);  // runs the box's OnClick on a change
  };
  check(form.chkFormat, "Format", D::Format);
  check(form.chkBlankCheck, "Blanking check", D::BlankingCheck);
  check(form.chkFwUpgrade, "FwUpgrade", D::FwUpgrade);
  check(form.chkISOupgrade, "ISO upgrade", D::IsoUpgrade);
  check(form.CheckManuupgrade, "Manual Upgrade", D::ManualUpgrade);
  check(form.SystemAreachk, "System Area check", D::SystemAreaCheck);
  // An index outside the combo's items selects nothing.
  form.SystemAreaComBo.SetItemIndex(ini.ReadInteger(S, "System Area Size", D::SystemAreaSize));
  form.LabelEdit.SetText(ini.ReadString(S, "Label", ""));
  check(form.chkParityCheck, "FwParityCheck", D::FwParityCheck);
  check(form.chknor, "NorReadCheck", D::NorReadCheck);
  check(form.chkUsbPort, "FixUsbIO", D::FixUsbIO);
  check(form.chkClearFlash, "ClearFlash", D::ClearFlash);

  form.iFlashModuleNo = 0;  // the firmware file's marker is read afterwards
  form.iScanLevel = ini.ReadInteger(S, "iScanLevel", D::iScanLevel);
  form.iPageSkip = ini.ReadInteger(S, "iPageSkip", D::iPageSkip);
  form.iReadTimes = ini.ReadInteger(S, "iReadTimes", D::iReadTimes);
  form.iEccLevel = ini.ReadInteger(S, "iEccLevel", D::iEccLevel);
  form.iBadThreshold = ini.ReadInteger(S, "iBadThreshold", D::iBadThreshold);
  form.eDeviceFeature = static_cast<std::uint8_t>(ini.ReadInteger(S, "eDeviceFeature", D::eDeviceFeature));
  form.iHideDiskRatio = ini.ReadInteger(S, "iHideDiskRatio", D::iHideDiskRatio);
  form.sHideDiskLabel = ini.ReadString(S, "sHideDiskLabel", "");
  form.bUseImgFile = ini.ReadBool(S, "bUseImgFile", false);
  form.ImageFile = ini.ReadString(S, "ImageFile", "");
  form.SaveSpiImage = ini.ReadBool(S, "SaveSpiImage", false);

  form.bNonFS = false;
  if (frmSetting) frmSetting->chkNonFS.SetVisible(false);
  std::string feature;
  if (DiskFeatureText(form.eDeviceFeature, form.iHideDiskRatio, form.LanguageIndex, &feature))
    form.labDiskFeature.SetCaption(feature);

  form.AllowErrorRate = ini.ReadInteger(S, "AllowErrorRate", D::AllowErrorRate);
  form.DealCapError = static_cast<std::uint8_t>(ini.ReadInteger(S, "DealCapError", D::DealCapError));
  form.PageMode = ini.ReadBool(S, "PageMode", false);
  form.PageModeSel = ini.ReadInteger(S, "PageModeSel", D::PageModeSel);
  form.Pattern = ini.ReadInteger(S, "Pattern", D::Pattern);
}

void SaveMpSettings(TForm1& form, const std::string& fileName) {
  // Every key is set in a copy of the file in memory, which then replaces the
  // file in one step: the file ends up with all the new values or none.
  platform::TMemIniFile ini(fileName);
  auto integer = [&](const char* key, int value) { ini.WriteInteger(S, key, value); };
  // A value is one line of the file: anything from a line break on is dropped.
  auto text = [&](const char* key, const std::string& value) {
    ini.WriteString(S, key, value.substr(0, value.find_first_of("\r\n")));
  };
  auto flag = [&](const char* key, bool value) { ini.WriteBool(S, key, value); };
  auto box = [&](const char* key, const TCheckBox& b) { integer(key, b.Checked() ? 1 : 0); };

  box("Format", form.chkFormat);
  box("Blanking check", form.chkBlankCheck);
  box("FwUpgrade", form.chkFwUpgrade);
  box("ISO upgrade", form.chkISOupgrade);
  box("Manual Upgrade", form.CheckManuupgrade);
  box("System Area check", form.SystemAreachk);
  integer("System Area Size", form.SystemAreaComBo.ItemIndex());
  box("FwParityCheck", form.chkParityCheck);
  box("NorReadCheck", form.chknor);
  text("Label", form.LabelEdit.Text());
  box("FixUsbIO", form.chkUsbPort);
  box("ClearFlash", form.chkClearFlash);
  integer("iScanLevel", form.iScanLevel);
  integer("iPageSkip", form.iPageSkip);
  integer("iReadTimes", form.iReadTimes);
  integer("iEccLevel", form.iEccLevel);
  integer("iBadThreshold", form.iBadThreshold);
  text("eDeviceFeature", platform::IntToStr(form.eDeviceFeature));
  integer("iHideDiskRatio", form.iHideDiskRatio);
  text("sHideDiskLabel", form.sHideDiskLabel);
  flag("bUseImgFile", form.bUseImgFile);
  text("ImageFile", form.ImageFile);
  ini.EraseSection("HIDE_FILES");
  ini.EraseSection("SPI_HIDE_FILES");
  integer("AllowErrorRate", form.AllowErrorRate);
  integer("DealCapError", form.DealCapError);
  flag("SaveSpiImage", form.SaveSpiImage);
  flag("PageMode", form.PageMode);
  integer("PageModeSel", form.PageModeSel);
  integer("Pattern", form.Pattern);

  ini.UpdateFile();

  WriteCapacityMultiplierOnSave(form, 0);
}

}  // namespace console

#include "console/config_files.h"

#include "console/message_table.h"
#include "console/settings_dialog.h"
#include "platform/codepage/codepage.h"
#include "platform/convert/convert.h"
#include "platform/ini/ini.h"
#include "platform/ini/ini_document.h"
#include "platform/paths/paths.h"

namespace console {

namespace {

// Hidden-file paths are written as they stand (UTF-8); a file written on a
// station that used the system code page is read back through that page.
std::string PathFromKey(const std::string& key) {
  return platform::IsValidUtf8(key) ? key : platform::CodePageToUtf8(key, platform::CP_ACP);
}

void FailBox(const std::string& text) { Application->MessageBox(text, "Fail", MB_OK | MB_ICONERROR); }

// Whether a hidden-file path, written as a key of its section, reads back as
// itself: the file's own rules decide, as a later load will apply them.
bool KeyCarries(const std::string& path) {
  if (!platform::IsValidUtf8(path)) return false;
  platform::IniDocument written;
  written.ReplaceSectionKeys(kMpHideFilesSection, {path});
  const platform::IniDocument read(written.Serialize());
  return read.Keys(kMpHideFilesSection, platform::NameCase::Exact) == std::vector<std::string>{path};
}

}  // namespace

bool SaveConfigFile(TfrmSetting& d, const std::string& fileName, std::optional<std::string>* uncarried) {
  const int pageSkip = platform::StrToInt(d.cboPageSkip.Text());
  const std::vector<std::string> hiddenFiles = d.TntlstHideFiles.Items.ToVector();
  for (const std::string& path : hiddenFiles) {
    if (KeyCarries(path)) continue;
    if (uncarried) *uncarried = path;
    return false;
  }
  platform::TMemIniFile ini(fileName);
  if (!ini.Loaded()) return false;
  const char* flash = kMpFlashSection;
  ini.WriteInteger(flash, "iScanLevel", d.cboScanLevel.ItemIndex());
  ini.WriteInteger(flash, "iPageSkip", pageSkip);
  ini.WriteInteger(flash, "iEccLevel", d.cboECC.ItemIndex());
  ini.WriteInteger(flash, "iReadTimes", d.cboRead.ItemIndex());
  ini.WriteInteger(flash, "iBadThreshold", d.UpDownBadThreshold.Position());
  const char* device = kMpDeviceSection;
  ini.WriteBool(device, "NormalDisk", d.rdoNormalDisk.Checked());
  ini.WriteBool(device, "EncryptDisk", d.rdoEncryptDisk.Checked());
  ini.WriteBool(device, "HideDisk", d.rdoHideDisk.Checked());
  ini.WriteString(device, "DiskLabel", d.edtDiskLabel.Text());
  ini.WriteInteger(device, "HideDiskRatio", d.tbarHideDiskRatio.Position());
  // Paths that differ only in case name two files on this host: both are kept.
  ini.WriteSectionKeys(kMpHideFilesSection, hiddenFiles);
  ini.UpdateFile();
  return true;
}

bool LoadConfigFile(TfrmSetting& d, const std::string& fileName) {
  if (!platform::FileExists(fileName)) return false;
  const platform::TMemIniFile ini(fileName);
  if (!ini.Loaded()) return false;
  const char* flash = kMpFlashSection;
  d.cboScanLevel.SetItemIndex(ini.ReadInteger(flash, "iScanLevel", 0));
  d.cboPageSkip.SetItemIndex(ini.ReadInteger(flash, "iPageSkip", 0));
  d.cboECC.SetItemIndex(ini.ReadInteger(flash, "iEccLevel", 2));
  d.cboRead.SetItemIndex(ini.ReadInteger(flash, "iReadTimes", 0));
  d.UpDownBadThreshold.SetPosition(ini.ReadInteger(flash, "iBadThreshold", 10));
  d.edtBadThreshold.SetText(std::to_string(d.UpDownBadThreshold.Position()));
  // The last button set to true wins; its click rule shows or hides the
  // hidden-disk group and sets the ratio's maximum.
  const std::pair<TRadioButton*, std::pair<const char*, bool>> split[] = {
      {&d.rdoNormalDisk, {"NormalDisk", true}},
      {&d.rdoEncryptDisk, {"EncryptDisk", false}},
      {&d.rdoHideDisk, {"HideDisk", false}},
  };
  for (const auto& [button, key] : split) button->SetChecked(ini.ReadBool(kMpDeviceSection, key.first, key.second));
  d.edtDiskLabel.SetText(ini.ReadString(kMpDeviceSection, "DiskLabel", ""));
  d.tbarHideDiskRatio.SetPosition(ini.ReadInteger(kMpDeviceSection, "HideDiskRatio", 1));
  d.tbarHideDiskRatioChange(&d.tbarHideDiskRatio);
  std::vector<std::string> paths = ini.ReadSection(kMpHideFilesSection, platform::NameCase::Exact);
  for (std::string& path : paths) path = PathFromKey(path);
  d.TntlstHideFiles.Items.Assign(paths);
  return true;
}

void TfrmSetting::btnSaveConfigClick(TObject*) {
  SaveDialog1.InitialDir = platform::ProgramFolder();
  if (!SaveDialog1.Execute()) return;
  // A hidden file the format cannot keep is named, in the operator's
  // language, rather than stored as another path.
  std::optional<std::string> uncarried;
  if (SaveConfigFile(*this, SaveDialog1.FileName, &uncarried)) return;
  FailBox(uncarried ? MessageText(20, LanguageIndex) + std::string(":\n\"") + *uncarried + "\"" : "Save file fail");
}

void TfrmSetting::btnLoadConfigClick(TObject*) {
  OpenDialog1.InitialDir = platform::ProgramFolder();
  if (!OpenDialog1.Execute()) return;
  if (!LoadConfigFile(*this, OpenDialog1.FileName)) FailBox("Open file fail");
}

}  // namespace console

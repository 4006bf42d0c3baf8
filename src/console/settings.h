// The production settings: the operator's choices that govern every run.
// Twelve of them are controls of the main window (check boxes, the system
// area combo and the volume label edit); the rest are the plain fields below,
// which the main window carries and the settings dialog edits. They are kept
// in section [MP_Setting] of misc/prefer.ini, read once when the main window
// is shown and written once when it closes.
#pragma once

#include <cstdint>
#include <string>

namespace console {

class TForm1;

inline constexpr const char* kMpSettingSection = "MP_Setting";

// Values of eDeviceFeature.
enum : std::uint8_t { kNormalDisk = 0, kEncryptedDisk = 1, kHiddenDisk = 2 };
// Values of DealCapError.
enum : std::uint8_t { kCapDegrade = 0, kCapShowError = 1, kCapDoNotCare = 2 };

// Defaults taken when a key is missing or unreadable.
struct MpSettingDefaults {
  static constexpr int Format = 0;
  static constexpr int BlankingCheck = 0;
  static constexpr int FwUpgrade = 1;
  static constexpr int IsoUpgrade = 0;
  static constexpr int ManualUpgrade = 0;
  static constexpr int SystemAreaCheck = 0;
  static constexpr int SystemAreaSize = 0;
  static constexpr int FwParityCheck = 1;
  static constexpr int NorReadCheck = 1;
  static constexpr int FixUsbIO = 1;
  static constexpr int ClearFlash = 1;
  static constexpr int iScanLevel = 0;
  static constexpr int iPageSkip = 0;
  static constexpr int iReadTimes = 0;
  static constexpr int iEccLevel = 2;
  static constexpr int iBadThreshold = 20;
  static constexpr int eDeviceFeature = 0;
  static constexpr int iHideDiskRatio = 10;
  static constexpr int AllowErrorRate = 2;
  static constexpr int DealCapError = 0;
  static constexpr int PageModeSel = 0;
  static constexpr int Pattern = 0;
};

// The settings fields of the main window, in their order in the object. All
// start at zero, false or empty; the first load gives them their defaults.
// The record checks no ranges: values from the file are taken as they stand.
struct MpSettingFields {
  int iFlashModuleNo = 0;       // index 0..5 into 1, 2, 4, 8, 16, 32; kept in the firmware file
  int iScanLevel = 0;           // 0..6, "Level 1".."Level 7"
  int Pattern = 0;              // 16-bit scan test pattern
  int iPageSkip = 0;            // 0..64
  int iEccLevel = 0;            // index into "Default", "0".."6"
  int iBadThreshold = 0;        // percent
  bool PageMode = false;        // special (page) scan
  int PageModeSel = 0;          // 0..7
  std::uint8_t eDeviceFeature = 0;  // kNormalDisk, kEncryptedDisk, kHiddenDisk
  int iHideDiskRatio = 0;       // percent, 1..100
  std::string sHideDiskLabel;   // at most 8 characters, upper case
  int AllowErrorRate = 0;       // percent, 1..20
  int iReadTimes = 0;           // index into "Default", "0", "1", "2"
  std::uint8_t DealCapError = 0;  // kCapDegrade, kCapShowError, kCapDoNotCare
  bool bUseImgFile = false;     // hidden disk written from ImageFile
  std::string ImageFile;
  bool SaveSpiImage = false;
  bool bNonFS = false;          // not stored; cleared by every load
  bool bFastBlkChk = false;     // not stored; set through the settings dialog only
  int iMinBlocks = 0;           // not stored; stays 0
};

// Reads section [MP_Setting] of `fileName` into the main window's settings.
// A missing file, section or key, or a value that is not a number, gives the
// key's default. Never throws for file content.
void LoadMpSettings(TForm1& form, const std::string& fileName);

// Writes the settings into `fileName`. The file is replaced whole or not at
// all: the writes go to a temporary copy that is renamed over the file at
// the end. Throws the INI error "Unable to write to <file>" when that fails,
// leaving the file as it was.
void SaveMpSettings(TForm1& form, const std::string& fileName);

// The disk-type label text for the disk split: row "Normal", or "Encrypted
// disk"/"Hidden disk" followed directly by the ratio and "%". False (nothing
// to show) for any other disk split value.
bool DiskFeatureText(std::uint8_t deviceFeature, int hideDiskRatio, int languageIndex, std::string* text);

}  // namespace console

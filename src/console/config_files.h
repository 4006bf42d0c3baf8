// Configuration files (*.mp): named sets of the settings dialog's blank-check
// and disk-split choices and its hidden-file list. They are read into and
// written from the dialog's controls only; a loaded set reaches the
// production settings through the dialog's Apply.
//
// Layout, in the order of writing:
//   [FlashSet]  iScanLevel, iPageSkip, iEccLevel, iReadTimes, iBadThreshold
//   [DeviceSet] NormalDisk, EncryptDisk, HideDisk, DiskLabel, HideDiskRatio
//   [HideFiles] one key per hidden file, its path, with an empty value; paths
//               are told apart exactly, as this host's file names are, so
//               two that differ only in case are both kept
#pragma once

#include <optional>
#include <string>

namespace console {

class TfrmSetting;

inline constexpr const char* kMpFlashSection = "FlashSet";
inline constexpr const char* kMpDeviceSection = "DeviceSet";
inline constexpr const char* kMpHideFilesSection = "HideFiles";

// Writes the dialog's choices into `fileName`, keeping whatever else the file
// holds; the file is replaced whole in one step. False (nothing written) when
// the file exists but cannot be read, or when a hidden-file path cannot be
// kept as a key (it would come back as another path, or not at all: an "=",
// blanks at either end, a leading ";" or "[", a line break, bytes that are
// not UTF-8); the first such path is then given in `uncarried`. Throws
// EConvertError for a page skip that is no number (before anything is
// written) and EIniFileException "Unable to write to <file>" when the file
// cannot be replaced.
bool SaveConfigFile(TfrmSetting& dialog, const std::string& fileName,
                    std::optional<std::string>* uncarried = nullptr);

// Reads `fileName` into the dialog's controls. False, with no control
// changed, when the file does not exist or cannot be read.
bool LoadConfigFile(TfrmSetting& dialog, const std::string& fileName);

}  // namespace console

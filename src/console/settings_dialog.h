// The settings dialog: the editor of the production settings that are not on
// the main window. Created once at start-up; shown modally.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ui/ui.h"

namespace console {

using namespace platform::ui;

class TfrmSetting : public TForm {
 public:
  TfrmSetting();

  TPageControl pgeSetting{this, "pgeSetting"};
  TTabSheet tabDeviceSetting{&pgeSetting, "tabDeviceSetting"};
  TTabSheet tabFlashSetting{&pgeSetting, "tabFlashSetting"};
  TTabSheet tabSpiSetting{&pgeSetting, "tabSpiSetting"};
  TTabSheet tabFactorSet{&pgeSetting, "tabFactorSet"};
  TCheckBox chkNonFS{&tabDeviceSetting, "chkNonFS"};
};

// Opens the file for reading and writing (an existing file only) and reads its
// size. False, leaving `size` untouched, when it cannot be opened or sized.
bool ProbeImageFile(const std::string& path, std::uint64_t& size);

}  // namespace console

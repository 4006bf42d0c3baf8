// Not built yet: these keep their place in the start-up, file-list and close
// sequences and do nothing until the inspection is written.
#include "console/firmware_files.h"

#include "console/main_window.h"

namespace console {

void RefreshFileList(TForm1&) {}

std::uint8_t GetFirmwareId(TForm1&) { return 0; }

void ReadCapacityMultiplier(TForm1&) {}

void WriteCapacityMultiplierOnSave(TForm1&, std::uint8_t) {}

}  // namespace console

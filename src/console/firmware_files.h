// Inspection of the pre-copy list: which entries are the firmware and data
// images, their sizes and identifiers, and the flash module number kept in
// the firmware file.
#pragma once

#include <cstdint>

namespace console {

class TForm1;

// Classifies the pre-copy list and refreshes the system-area summary.
void RefreshFileList(TForm1& form);
// The firmware ID of the first firmware entry that carries one, 0 when none.
std::uint8_t GetFirmwareId(TForm1& form);
// Reads the flash module number from the firmware file's marker.
void ReadCapacityMultiplier(TForm1& form);
// Writes the flash module number into the firmware file's marker at close.
void WriteCapacityMultiplierOnSave(TForm1& form, std::uint8_t value);

}  // namespace console

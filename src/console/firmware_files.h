// Inspection of the pre-copy list: which entries are the firmware and data
// images, their sizes and identifiers, and the flash module number kept in
// the firmware file.
//
// Firmware file fields the station reads or writes (every other byte belongs
// to the controller and is left alone):
//   offset 0, 4 bytes      signature "Q471"; required before the marker is written
//   offset 5, 1 byte       SDK type
//   offset 2044, 2 bytes   "ID" when the file carries a firmware ID, which is
//   offset 2047, 1 byte    the firmware ID
//   offset 38909, 3 bytes  flash module number marker: 0x55, 0xAA, the number
#pragma once

#include <cstdint>
#include <string>

namespace console {

class TForm1;

inline constexpr char kFirmwareSignature[] = "Q471";
inline constexpr std::int64_t kSdkTypeOffset = 5;
inline constexpr std::int64_t kFirmwareIdOffset = 2044;
inline constexpr std::int64_t kFlashModuleMarkerOffset = 38909;
inline constexpr std::int64_t kFsmVersionOffset = 8192;
inline constexpr std::size_t kFsmVersionField = 255;
// The FSM version text when misc/FSM.bin has none.
inline constexpr const char* kNoFsmVersion = "       .x.x";

// Classifies the pre-copy list (list positions and sizes of the firmware,
// its old and new variants, prefer.dat, image.iso and telbook.dat; the SDK
// type byte) and shows the system-area size that follows from them.
void RefreshFileList(TForm1& form);
// The firmware ID of the first firmware entry that carries one, 0 when none.
std::uint8_t GetFirmwareId(TForm1& form);
// The version text of misc/FSM.bin for the window title; stores the file's
// size in iFsmFileSize when the file opens.
std::string GetFsmVersionLabel(TForm1& form);
// Reads the flash module number from the first ".bin" entry's marker.
void ReadCapacityMultiplier(TForm1& form);
// Writes a new flash module number into the firmware file's marker; a
// negative number is refused with the "nonlegal mulitplier" box.
void WriteCapacityMultiplier(TForm1& form, int value);
// Writes the flash module number into the firmware file's marker at close.
void WriteCapacityMultiplierOnSave(TForm1& form, std::uint8_t value);

// The entry's file name (after the last '/') holds `pattern`, ignoring case.
bool FileNameHolds(const std::string& path, const char* pattern);
// The entry's extension (from the last dot of its last part) is ".bin", ignoring case.
bool HasBinExtension(const std::string& path);

}  // namespace console

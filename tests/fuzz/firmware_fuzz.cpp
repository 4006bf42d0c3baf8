// Firmware file inspection: the input as the operator's firmware file in the
// pre-copy list (classified, its ID and module number read, a new module
// number written) and as misc/FSM.bin (its version text). What must hold: the
// module number written changes no byte but the number in a whole marker of
// a signed file, and reads back; the version text is one the title can show.
#include "console/firmware_files.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  console::TForm1& form = fuzz::Station();
  std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string firmware = fuzz::Home() + "player.bin";
  fuzz::WriteFile(firmware, bytes);
  fuzz::WriteFile(form.FsmPath, bytes);

  form.iFsmFileSize = -1;
  const std::string version = console::GetFsmVersionLabel(form);
  FUZZ_REQUIRE(form.iFsmFileSize == static_cast<int>(size));
  FUZZ_REQUIRE(version == console::kNoFsmVersion ||
               (version.rfind("FSM", 0) == 0 && version.size() <= 255 && version.find('\0') == std::string::npos));

  form.TntSelectFileList2.Items.Clear();
  form.TntSelectFileList2.Items.Add(firmware);
  console::RefreshFileList(form);
  FUZZ_REQUIRE(form.iProgramIndex == 0 && form.iProgramSize == static_cast<std::int64_t>(size));
  console::GetFirmwareId(form);

  const std::uint8_t value = static_cast<std::uint8_t>(size * 7 + 1);
  constexpr std::size_t at = console::kFlashModuleMarkerOffset;
  const bool marked =
      size >= at + 3 && bytes.compare(0, 4, "Q471") == 0 && bytes[at] == '\x55' && bytes[at + 1] == '\xAA';
  console::WriteCapacityMultiplier(form, value);
  if (marked) bytes[at + 2] = static_cast<char>(value);
  FUZZ_REQUIRE(fuzz::ReadFile(firmware) == bytes);
  form.iFlashModuleNo = -1;
  console::ReadCapacityMultiplier(form);
  FUZZ_REQUIRE(!marked || form.iFlashModuleNo == value);
  return 0;
}

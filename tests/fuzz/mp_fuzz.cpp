// Configuration files (*.mp): a file loaded into the settings dialog, saved,
// loaded and saved again. What must hold: a set the station saved loads back
// unchanged (the two saves are equal), but for a label whose own quotes or
// outer blanks the file cannot carry.
#include "console/config_files.h"
#include "console/settings_dialog.h"
#include "fuzz/fuzz_support.h"
#include "platform/convert/exception.h"

namespace {

std::string Save(console::TfrmSetting& d, const std::string& path) {
  std::remove(path.c_str());
  FUZZ_REQUIRE(console::SaveConfigFile(d, path));
  return fuzz::ReadFile(path);
}

std::string WithoutLabel(std::string text) {
  const std::size_t at = text.find("DiskLabel=");
  return at == std::string::npos ? text : text.erase(at, text.find('\n', at) - at);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Station();
  console::TfrmSetting& d = *console::frmSetting;
  static const bool shown = (d.FormShow(nullptr), true);  // fills the lists as the operator sees them
  (void)shown;
  const std::string file = fuzz::Home() + "set.mp", saved = fuzz::Home() + "saved.mp";
  fuzz::WriteFile(file, std::string(reinterpret_cast<const char*>(data), size));
  FUZZ_REQUIRE(console::LoadConfigFile(d, file));
  const std::string label = d.edtDiskLabel.Text();
  std::string first;
  try {
    first = Save(d, saved);
  } catch (const platform::EConvertError&) {
    return 0;  // a page skip outside the list has no number to save
  }
  FUZZ_REQUIRE(console::LoadConfigFile(d, saved));
  std::string second = Save(d, saved);
  const bool labelKept = label.find_first_of(" \t") != 0 && label.find_last_of(" \t") != label.size() - 1 &&
                         !(label.size() >= 2 && label.front() == '"' && label.back() == '"');
  if (!labelKept) first = WithoutLabel(first), second = WithoutLabel(second);
  FUZZ_REQUIRE(first == second);
  return 0;
}

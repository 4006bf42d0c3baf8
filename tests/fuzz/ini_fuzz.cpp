// Settings and list files: the INI text read, rewritten and edited (through the
// file and through the copy in memory), and the UTF-16 list text decoded.
// What must hold: rewriting a file loses nothing; an edit changes only what it
// edits; a list reads back as it was written.
#include "fuzz/fuzz_support.h"
#include "platform/codepage/codepage.h"
#include "platform/ini/ini.h"
#include "platform/textfile/textfile.h"

namespace {

using platform::IniDocument;

// Every value of every section, as read through `ini`.
std::vector<std::vector<std::string>> Values(const platform::TCustomIniFile& ini) {
  std::vector<std::vector<std::string>> all;
  std::vector<std::string> sections;
  ini.ReadSections(sections);
  for (const std::string& s : sections) {
    all.push_back({s});
    for (const std::string& k : ini.ReadSection(s)) {
      all.back().push_back(k + "=" + ini.ReadString(s, k, "\x01missing") + "," +
                           std::to_string(ini.ReadInteger(s, k, -7)));
    }
  }
  return all;
}

std::vector<std::vector<std::string>> Values(const IniDocument& doc) {
  std::vector<std::vector<std::string>> all;
  for (const std::string& s : doc.Sections()) {
    all.push_back({s});
    for (const std::string& k : doc.Keys(s)) all.back().push_back(k + "=" + doc.Get(s, k).value_or("\x01missing"));
  }
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string file = fuzz::Home() + "settings.ini";

  const IniDocument doc(bytes);
  FUZZ_REQUIRE(Values(IniDocument(doc.Serialize())) == Values(doc));

  fuzz::WriteFile(file, bytes);
  std::vector<std::vector<std::string>> before;
  {
    platform::TMemIniFile mem(file);
    before = Values(mem);
    if (!before.empty()) mem.EraseSection(before.front().front());
    mem.WriteInteger("Fuzz Added", "Count", static_cast<int>(size));
    mem.UpdateFile();
  }
  // Read back through the file as it is now, and through a copy in memory.
  FUZZ_REQUIRE(platform::TIniFile(file).ReadInteger("fuzz added", "COUNT", -1) == static_cast<int>(size));
  auto after = Values(platform::TMemIniFile(file));
  auto isAdded = [](const auto& s) { return IniDocument::SameName(s.front(), "Fuzz Added"); };
  const auto added = std::find_if(after.begin(), after.end(), isAdded);
  FUZZ_REQUIRE(added != after.end());
  if (std::none_of(before.begin(), before.end(), isAdded))
    FUZZ_REQUIRE(added->size() == 2 && added->at(1).rfind("Count=", 0) == 0);
  auto expected = before;
  if (!expected.empty()) expected.erase(expected.begin());
  // Sections named as the erased one are gone as well (erasing takes them all).
  std::erase_if(expected, [&](const auto& s) {
    return isAdded(s) || (!before.empty() && IniDocument::SameName(s.front(), before.front().front()));
  });
  std::erase_if(after, isAdded);
  FUZZ_REQUIRE(after == expected);

  const std::vector<std::string> lines = platform::DecodeListText(bytes);
  for (const std::string& line : lines)
    FUZZ_REQUIRE(platform::IsValidUtf8(line) && line.find_first_of("\r\n") == std::string::npos);
  FUZZ_REQUIRE(platform::DecodeListText(platform::EncodeListText(lines)) == lines);
  return 0;
}

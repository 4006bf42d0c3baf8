// Flash tables: the input's first byte chooses the chip count (bits 0-2, plus
// one) and a BlocksPerChip override (bit 3, value from bits 4-7); the second
// the page table (bit 0), the capacity rule (bits 1-2) and the upgrade flag
// (bit 3); the rest is a table file beside the shipped ones. Its NAND ID is
// searched for, the table sent and loaded, and a configuration block built
// from it written to a device that accepts everything, over block and page
// tables taken from the file's own bytes.
// What must hold: the device receives the file as it stands; a loaded
// geometry fits the tables; the block written carries its checksum and the
// good-block bitmap of the block table; a block not written says why.

#include "fuzz/fuzz_support.h"

namespace {

class Accepting : public platform::ScsiTarget {
 public:
  bool Execute(const platform::ScsiRequest& r) override {
    if (r.direction == platform::ScsiDirection::In) std::fill(r.data, r.data + r.length, 0x01);
    // Kept as their length alone where all zero (a block write sends such pages by the hundred).
    if (r.direction == platform::ScsiDirection::Out) {
      const bool zero = std::all_of(r.data, r.data + r.length, [](std::uint8_t v) { return v == 0; });
      sent.emplace_back(r.length, zero ? std::string() : std::string(reinterpret_cast<const char*>(r.data), r.length));
    }
    return true;
  }
  std::vector<std::pair<std::uint32_t, std::string>> sent;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t flags = input.Byte(), options = input.Byte();
  const std::string table = input.Rest();
  auto& settings = fuzz::Window().settings = {};
  settings.AllowErrorRate = 2;
  settings.DealCapError = (options >> 1 & 3) % 3;
  production::RegWriteInt("BlocksPerChip", flags & 8 ? (flags >> 4) * 4369 - 1 : 0);
  const std::string path = fuzz::Home() + "flash/fuzz.txt";
  fuzz::WriteFile(path, table);

  auto device = std::make_shared<Accepting>();
  fuzz::Worker w(device);
  w.ChipCount = (flags & 7) + 1;
  const std::uint64_t id = production::ReadCfgFileNandId(5, path);
  const std::string name =
      w.FindFlashType(static_cast<std::uint32_t>(id), static_cast<std::uint32_t>(id >> 32), w.ChipCount);
  FUZZ_REQUIRE(id == 0 || name != "0");
  production::ReadCfgTypeName(path);

  FUZZ_REQUIRE(production::SendFlashTableFile(w.hDevice, path));
  std::string received;
  for (const auto& [length, bytes] : device->sent) received += bytes.empty() ? std::string(length, '\0') : bytes;
  FUZZ_REQUIRE(received == table);
  device->sent.clear();

  if (!w.LoadCfgFile(path)) return 0;
  FUZZ_REQUIRE(w.PageSize >= 512 && w.PageSize <= 8192 && w.PagesPerBlock >= 32 && w.PagesPerBlock <= 256);
  const std::size_t blocks = static_cast<std::size_t>(w.ChipCount) * w.BlocksPerChip;
  FUZZ_REQUIRE(blocks >= 1 && blocks <= 65536);
  w.BlockStatus.resize(blocks);
  for (std::size_t b = 0; b < blocks; ++b) w.BlockStatus[b] = table[b % table.size()] & 1 ? 0 : 255;
  w.PageTableMode = options & 1;
  for (int p = 0; p < w.PagesPerBlock; ++p) w.PageUsable[p] = table[(p * 7) % table.size()] & 2 ? 0 : 255;
  auto& status = fuzz::Window().panels[0].status;
  status.SetCaption("");
  if (!w.WriteCfgBlock(options & 8)) {
    FUZZ_REQUIRE(!status.Caption().empty());
    return 0;
  }

  const std::uint8_t* c = w.CfgArea.data();
  unsigned sum = 0;
  for (int i = 82; i <= 254; ++i) sum += c[i];
  FUZZ_REQUIRE((c[80] << 8 | c[81]) == (sum & 0xFFFF));
  FUZZ_REQUIRE(std::all_of(c + 480, c + 512, [](std::uint8_t v) { return v == 0; }));
  const std::string cfg(reinterpret_cast<const char*>(c), w.PageSize);
  int copies = 0;
  for (std::size_t k = 0; k + 1 < device->sent.size(); ++k) {
    if (device->sent[k].second != cfg) continue;
    ++copies;
    const std::string& bitmap = device->sent[k + 1].second;  // the bitmap's first page
    for (std::size_t b = 0; b < blocks && b < bitmap.size() * 8; ++b)
      FUZZ_REQUIRE(((bitmap[b / 8] >> (7 - b % 8)) & 1) == (w.BlockStatus[b] == 255));
  }
  FUZZ_REQUIRE(copies == 2);
  return 0;
}

// What a device reports back: its configuration block and its bad-block map,
// read for a worker that loaded one of the shipped tables (input byte 0; byte
// 1: two chips, the capacity rule, the upgrade flag), then the configuration
// block written to that device and prepared as a failed run prepares it. The
// device's answers are the rest of the input.
// What must hold: a block is taken when it is signed and of a geometry the
// tables fit; the map gives every block a verdict and a share from 0 to 100;
// a block written carries its checksum and signature and went to the device
// twice; every failure is shown.
#include <cstring>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<std::string> tables = [] {
    std::vector<std::string> paths;
    for (const auto& e : fuzz::fs::directory_iterator(fuzz::Home() + "flash"))
      if (e.path().extension() == ".txt") paths.push_back(e.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
  }();
  fuzz::Input input(data, size);
  const std::string& table = tables[input.Byte() % tables.size()];
  const std::uint8_t flags = input.Byte();
  auto& settings = fuzz::Window().settings = {};
  settings.AllowErrorRate = flags >> 3 & 7;
  settings.DealCapError = (flags >> 1 & 3) % 3;
  auto device = std::make_shared<fuzz::InputTarget>(input);
  fuzz::Worker w(device);
  w.ChipCount = 1 + (flags & 1);
  if (!w.LoadCfgFile(table)) {
    FUZZ_REQUIRE(w.ChipCount > 1);  // two chips of the largest table are too many blocks
    return 0;
  }
  const std::size_t blocks = static_cast<std::size_t>(w.ChipCount) * w.BlocksPerChip;
  w.BlockStatus.assign(blocks, 255);

  // A block answered whole, signed, and of a geometry a controller has, is taken.
  const bool valid = w.ReadDeviceCfg();
  const auto* b = device->answered.size() == 1 ? reinterpret_cast<const std::uint8_t*>(device->answered[0].data())
                                                : nullptr;
  FUZZ_REQUIRE(valid == (b && (std::memcmp(b, "Q471", 4) == 0 || std::memcmp(b, "Q4X1", 4) == 0) && b[84] >= 9 &&
                         b[84] <= 13 && b[85] >= b[84] + 5 && b[85] <= b[84] + 8));
  if (valid) w.PageTableMode = w.DevicePageTable;
  int badPercent = -1;
  if (w.ReadBadBlockBitmap(badPercent)) {
    const auto bad = std::count(w.BlockStatus.begin(), w.BlockStatus.end(), 0);
    FUZZ_REQUIRE(bad + std::count(w.BlockStatus.begin(), w.BlockStatus.end(), 255) == static_cast<long>(blocks));
    FUZZ_REQUIRE(badPercent == static_cast<int>(bad * 100 / static_cast<long>(blocks)));
  }
  // Each failure is shown to the operator; a block written carries its checksum
  // and the signature the upgrade option asks for, and reached the flash twice.
  const bool upgrade = flags & 0x40;
  auto& status = fuzz::Window().panels[0].status;
  const std::string file = fuzz::ReadFile(table);
  auto signature = [&](int g) { return upgrade ? static_cast<std::uint8_t>(file[4 * g + 1]) : std::uint8_t{'X'}; };
  status.SetCaption("");
  if (w.WriteCfgBlock(upgrade)) {
    const std::uint8_t* c = w.CfgArea.data();
    unsigned sum = 0;
    for (int i = 82; i <= 254; ++i) sum += c[i];
    FUZZ_REQUIRE((c[80] << 8 | c[81]) == (sum & 0xFFFF));
    for (int g = 0; g < 16; ++g) FUZZ_REQUIRE(c[4 * g + 1] == signature(g));
    const std::string cfg(reinterpret_cast<const char*>(c), w.PageSize);
    FUZZ_REQUIRE(std::count(device->sent.begin(), device->sent.end(), cfg) >= 2);
  } else {
    FUZZ_REQUIRE(!status.Caption().empty());
  }
  status.SetCaption("");
  if (!w.BuildCfgInfo(upgrade))
    FUZZ_REQUIRE(std::count(w.BlockStatus.begin(), w.BlockStatus.end(), 255) < 4 ||
                 status.Caption() == "Bad Block no Exceed");
  return 0;
}

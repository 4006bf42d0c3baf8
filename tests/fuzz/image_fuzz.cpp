// The hidden disk's image file: probed as the settings dialog probes it, then
// written onto a disk whose size comes from the input, as a raw volume or as
// the image tool's container. Input: the disk's last block address (4 bytes),
// a byte whose bits 0-2 choose the disk's block length and bit 3 the sector
// unit of the worker's configuration (512 or 1024), then the file.
// What must hold: nothing is written past the disk's end or in pieces of
// another block length, a raw volume lands on the disk as it stands, and a
// container's slot for the sector unit puts each sector at its address.
#include <map>

#include "console/settings_dialog.h"
#include "fuzz/fuzz_support.h"

namespace {

std::uint32_t Be32(const std::uint8_t* p) { return std::uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
std::uint32_t Le32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(s[at + i]);
  return v;
}

class Disk : public platform::ScsiTarget {
 public:
  Disk(std::uint32_t lastLba, std::uint32_t blockLength) : lastLba_(lastLba), blockLength_(blockLength) {}
  bool Execute(const platform::ScsiRequest& r) override {
    if (r.cdb[0] == 0x25) {  // READ CAPACITY
      for (int i = 0; i < 4; ++i) {
        r.data[i] = static_cast<std::uint8_t>(lastLba_ >> (24 - 8 * i));
        r.data[4 + i] = static_cast<std::uint8_t>(blockLength_ >> (24 - 8 * i));
      }
      return true;
    }
    FUZZ_REQUIRE(r.cdb[0] == 0x2A);  // WRITE(10), nothing else
    const std::uint32_t lba = Be32(r.cdb + 2), count = r.cdb[7] << 8 | r.cdb[8];
    FUZZ_REQUIRE(std::uint64_t{lba} + count <= std::uint64_t{lastLba_} + 1);
    FUZZ_REQUIRE(r.length == std::uint64_t{count} * blockLength_);
    for (std::uint32_t k = 0; k < count; ++k)
      sectors[lba + k].assign(reinterpret_cast<const char*>(r.data) + k * blockLength_, blockLength_);
    return true;
  }
  std::map<std::uint32_t, std::string> sectors;

 private:
  std::uint32_t lastLba_, blockLength_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint32_t lastLba = input.Le32();
  static constexpr std::uint32_t kLengths[8] = {512, 1024, 2048, 4096, 0, 1, 520, 65536};
  const std::uint8_t choice = input.Byte();
  const std::uint32_t unit = kLengths[choice % 8];
  const int sectorUnit = choice & 8 ? 1024 : 512;
  const std::string bytes = input.Rest();
  const std::string path = fuzz::Home() + "hidden.img";
  fuzz::WriteFile(path, bytes);

  std::uint64_t probed = 0;
  FUZZ_REQUIRE(console::ProbeImageFile(path, probed) && probed == bytes.size());

  auto disk = std::make_shared<Disk>(lastLba, unit);
  fuzz::Worker worker(disk);
  worker.SectorUnit = sectorUnit;
  const bool written = worker.WriteImageFile('E', path, 0, 100);
  const bool container = bytes.size() >= 512 && bytes.compare(0, 9, std::string("Q4X1 IMG", 9)) == 0;
  if (written) FUZZ_REQUIRE(unit == static_cast<std::uint32_t>(sectorUnit));
  // The last record of each address is what the disk holds there (checked
  // where one slot alone is made for the unit: which of two would be taken is
  // not a rule).
  const bool slot0 = container && Le32(bytes, 16) == unit, slot1 = container && Le32(bytes, 32) == unit;
  if (written && container) FUZZ_REQUIRE(slot0 || slot1);
  if (written && slot0 != slot1) {
    const int slot = slot0 ? 0 : 1;
    const std::uint64_t offset = Le32(bytes, 20 + 16 * slot), count = Le32(bytes, 24 + 16 * slot);
    std::map<std::uint32_t, std::string> expected;
    for (std::uint64_t r = 0; r < count; ++r) {
      const std::size_t at = offset + r * (4 + unit);
      expected[Le32(bytes, at)] = bytes.substr(at + 4, unit);
    }
    FUZZ_REQUIRE(disk->sectors == expected);
  }
  if (written && !container) {
    for (std::uint32_t k = 0; std::uint64_t{k} * unit < bytes.size(); ++k) FUZZ_REQUIRE(disk->sectors.count(k) == 1);
    for (const auto& [lba, sector] : disk->sectors) {
      std::string expected = bytes.substr(std::min<std::size_t>(bytes.size(), std::size_t{lba} * unit), unit);
      expected.resize(unit, '\0');
      FUZZ_REQUIRE(sector == expected);
    }
  }
  return 0;
}

// The hidden disk's image file: probed as the settings dialog probes it, then
// written onto a disk whose size comes from the input, as a raw volume or as
// the image tool's container. Input: the disk's last block address (4 bytes),
// its block length (1 byte, a choice), then the file.
// What must hold: nothing is written past the disk's end or in pieces of
// another block length, and a raw volume lands on the disk as it stands.
#include <map>

#include "console/settings_dialog.h"
#include "fuzz/fuzz_support.h"

namespace {

std::uint32_t Be32(const std::uint8_t* p) { return std::uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

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
  const std::uint32_t unit = kLengths[input.Byte() % 8];
  const std::string bytes = input.Rest();
  const std::string path = fuzz::Home() + "hidden.img";
  fuzz::WriteFile(path, bytes);

  std::uint64_t probed = 0;
  FUZZ_REQUIRE(console::ProbeImageFile(path, probed) && probed == bytes.size());

  auto disk = std::make_shared<Disk>(lastLba, unit);
  const bool written = fuzz::Worker(disk).WriteImageFile('E', path, 0, 100);
  const bool container = bytes.size() >= 512 && bytes.compare(0, 9, std::string("Q4X1 IMG", 9)) == 0;
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

#include "emulator/profile.h"

#include <bit>
#include <cstring>

namespace emulator {

namespace {

Bytes Inquiry(std::uint8_t additional, const char* vendor) {
  Bytes a(36, 0);
  const std::uint8_t head[8] = {0x00, 0x80, 0x02, 0x02, additional, 0x00, 0x00, 0x00};
  std::memcpy(a.data(), head, 8);
  const std::size_t n = std::strlen(vendor);
  std::memcpy(a.data() + 8, vendor, n < 28 ? n : 28);
  return a;
}

std::uint8_t Log2(std::uint32_t v) { return static_cast<std::uint8_t>(std::countr_zero(v)); }

}  // namespace

Bytes InquiryG() { return Inquiry(0x04, "GENERIC USB DISK        1.00"); }
Bytes Inquiry711() { return Inquiry(0x07, "71.1    USB DISK        1.00"); }
Bytes Inquiry712() { return Inquiry(0x07, "71.2    USB DISK        1.00"); }
Bytes InquiryForeign() { return Inquiry(0x1F, "OTHERCO FLASH DISK      2.10"); }

DeviceProfile& DeviceProfile::WithChipModel(const char (&model)[5]) {
  for (int i = 0; i < 4; ++i) chipModel[i] = static_cast<std::uint8_t>(model[i]);
  return *this;
}

DeviceProfile& DeviceProfile::SpiOnly(std::uint8_t sizeMB) {
  flashId = {0xFF, 0x00, 0xFF, 0x00, 0xFF};
  spiSizeMB = sizeMB;
  geometry.blocksPerChip = 0;
  return *this;
}

bool DeviceProfile::IsSpiOnly() const {
  return flashId == std::array<std::uint8_t, 5>{0xFF, 0x00, 0xFF, 0x00, 0xFF};
}

Bytes FlashTableFor(const DeviceProfile& profile, const std::string& typeName) {
  Bytes c(512, 0);
  for (int i = 0; i < 16; ++i) std::memcpy(c.data() + 4 * i, "Q471", 4);
  const Geometry& g = profile.geometry;
  c[64] = profile.diskBlockLength == 1024 ? 1 : 0;
  c[82] = profile.chipCount;
  c[84] = Log2(g.pageSize);
  c[85] = static_cast<std::uint8_t>(Log2(g.pageSize) + Log2(g.pagesPerBlock));
  c[90] = g.blocksPerChip ? Log2(g.blocksPerChip) : 0;
  c[96] = g.eccMode;
  for (int i = 0; i < 5; ++i) c[127 + i] = profile.flashId[i];
  std::memcpy(c.data() + 135, "0000", 4);
  std::uint16_t sum = 0;
  for (int i = 82; i <= 254; ++i) sum = static_cast<std::uint16_t>(sum + c[i]);
  c[80] = static_cast<std::uint8_t>(sum >> 8);
  c[81] = static_cast<std::uint8_t>(sum);
  std::memcpy(c.data() + 480, typeName.data(), typeName.size() < 32 ? typeName.size() : 32);
  return c;
}

namespace profiles {

DeviceProfile Standard() {
  DeviceProfile p;
  p.Named("standard").WithGeometry(2048, 64, 4096).WithEccMode(1);
  p.WithBadBlocks({17, 1033, 2901}).WithBadBlockRate(0.004, 7).WithNoisyPages(0.01, 3, 11);
  return p;
}

DeviceProfile TwoChip() {
  DeviceProfile p;
  p.Named("two-chip").WithGeometry(4096, 128, 4096, 2).WithEccMode(3);
  p.WithFlashId({0xEC, 0xD7, 0x55, 0xB6, 0x78}).WithSerialNumber(0x42).WithBondingId(3);
  p.WithBadBlocks({5, 4100, 6000}).WithBadBlockRate(0.012, 23).WithNoisyPages(0.02, 4, 5);
  return p;
}

DeviceProfile SpiOnlyDevice() {
  DeviceProfile p;
  p.Named("spi-only").SpiOnly(4);
  return p;
}

DeviceProfile WeakPages() {
  DeviceProfile p;
  p.Named("weak-pages").WithGeometry(2048, 128, 2048).WithEccMode(2);
  p.WithFlashId({0xAD, 0xDC, 0x90, 0x95, 0x54}).WithBadBlocks({9, 700});
  for (std::uint32_t page = 3; page < 128; page += 4) p.WithWeakPage(page, 5);
  p.WithWeakPage(127, 9);
  return p;
}

DeviceProfile SmallDisk() {
  DeviceProfile p;
  p.Named("small-disk").WithGeometry(2048, 64, 512).WithDiskBlockLength(2048);
  p.WithFlashId({0x98, 0x75, 0xA5, 0xBA, 0x15}).WithBadBlocks({40});
  return p;
}

DeviceProfile Large() {
  DeviceProfile p;
  p.Named("large").WithGeometry(2048, 64, 65536).WithEccMode(1);
  p.WithFlashId({0xEC, 0xDC, 0x10, 0x95, 0x54}).WithBadBlockRate(0.002, 3);
  return p;
}

DeviceProfile PlayerMode() {
  DeviceProfile p = Standard();
  p.Named("player-mode").WithChipModel("Q471");
  p.chipModelAfterReset = std::array<std::uint8_t, 4>{0, 0, 0, 0};
  return p;
}

DeviceProfile Foreign() {
  DeviceProfile p = Standard();
  p.Named("foreign").WithInquiry(InquiryForeign());
  return p;
}

std::vector<DeviceProfile> All() {
  return {Standard(), TwoChip(), SpiOnlyDevice(), WeakPages(), SmallDisk(), Large(), PlayerMode(), Foreign()};
}

std::optional<DeviceProfile> ByName(const std::string& name) {
  for (auto& p : All())
    if (p.name == name) return p;
  return std::nullopt;
}

}  // namespace profiles

}  // namespace emulator

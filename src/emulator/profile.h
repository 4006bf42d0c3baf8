// What an emulated device is: its identity answers, its flash, the faults built
// into it. A DeviceProfile is plain data with chainable setters, so a test can
// describe one exact device in a few lines; the named profiles describe
// realistic devices for the emulated bench.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace emulator {

using Bytes = std::vector<std::uint8_t>;

// Bit-error count of a page that ECC cannot correct (the page form answers 0 for it).
constexpr std::uint8_t kUncorrectable = 0xFF;

// Status bytes the model answers: bit 0 set is success.
constexpr std::uint8_t kStatusOk = 0x01;
constexpr std::uint8_t kStatusFailed = 0x00;

// Block-form answers of the block test other than 255 (good).
constexpr std::uint8_t kTestBadBlock = 0x00;        // factory or grown bad, or beyond the flash
constexpr std::uint8_t kTestEraseFailed = 0x01;     // erase failed during the test
constexpr std::uint8_t kTestProgramFailed = 0x02;   // program failed during the test
constexpr std::uint8_t kTestOverThreshold = 0x03;   // a page of the page table above the ECC threshold
constexpr std::uint8_t kTestUncorrectable = 0x04;   // a page of the page table ECC cannot correct

// Correctable bits per ECC mode 0 to 7.
constexpr std::array<std::uint8_t, 8> kEccBits = {6, 10, 12, 13, 14, 16, 17, 24};

// NAND geometry; every figure a power of two.
struct Geometry {
  std::uint32_t pageSize = 2048;
  std::uint32_t pagesPerBlock = 64;
  std::uint32_t blocksPerChip = 4096;
  std::uint8_t eccMode = 0;
};

enum class FlashOp { Erase, Program };

// When a block's erase or program fails:
//  Permanent        every operation fails;
//  AfterOperations  the first 'after' operations succeed, every later one fails;
//  Once             operation number after + 1 fails, the others succeed.
// Permanent and AfterOperations failures turn the block into a grown bad block.
enum class FailMode { Permanent, AfterOperations, Once };

struct BlockFailure {
  std::uint32_t block = 0;
  FlashOp op = FlashOp::Erase;
  FailMode mode = FailMode::Permanent;
  std::uint32_t after = 0;
};

// A scripted block-test answer. Unset fields match anything; 'nth' counts the
// block tests of that block since the device was created, from 1.
struct BlockTestOverride {
  std::uint32_t block = 0;
  std::optional<std::uint8_t> modeA;
  std::optional<std::uint8_t> modeB;
  std::optional<std::uint16_t> seed;
  std::optional<std::uint32_t> nth;
  std::uint8_t blockResult = kTestBadBlock;  // block form answer
  Bytes pageResults;                         // page form answers; pages beyond take the model's answer
};

// INQUIRY answers (36 bytes): the three the station accepts and one it refuses.
Bytes InquiryG();
Bytes Inquiry711();
Bytes Inquiry712();
Bytes InquiryForeign();

struct DeviceProfile {
  std::string name = "device";

  // ---- identity ----
  std::array<std::uint8_t, 4> chipModel = {0, 0, 0, 0};  // "Q471" marks a device arrival resets
  std::optional<std::array<std::uint8_t, 4>> chipModelAfterReset;  // answered from the first reset on
  std::array<std::uint8_t, 4> familyModel = {'Q', '4', '0', '1'};
  Bytes inquiry = InquiryG();
  std::uint8_t serialNumber = 0x21;
  std::uint8_t bondingId = 15;
  std::uint8_t fwSelect = 1;
  std::uint8_t chipCount = 1;
  std::array<std::uint8_t, 5> flashId = {0x98, 0xD7, 0x94, 0x32, 0x76};  // device order, maker first
  std::uint8_t spiSizeMB = 0;  // 0: no SPI flash
  Bytes read99 = Bytes(512, 0);

  // ---- NAND ----
  Geometry geometry;
  std::vector<std::uint32_t> factoryBadBlocks;
  double factoryBadRate = 0;  // share of blocks from 1 on that a seeded rule makes bad
  std::uint32_t badBlockSeed = 1;
  std::vector<std::uint32_t> grownBadBlocks;
  std::uint32_t bitErrorSeed = 1;
  double noisyPageRate = 0;               // share of pages with 1..maxRandomBitErrors errors
  std::uint8_t maxRandomBitErrors = 0;
  std::map<std::uint32_t, std::uint8_t> weakPages;  // page -> errors, in every block
  std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint8_t> pageErrors;  // (block, page) -> errors
  std::vector<BlockFailure> blockFailures;
  std::vector<BlockTestOverride> blockTestOverrides;
  Bytes preloadedConfig;  // stored in the first good block at creation (with the device's bitmap)

  // ---- disks ----
  std::uint32_t diskBlockLength = 0;  // READ CAPACITY block length; 0: the configuration's sector unit

  // ---- bus ----
  std::uint32_t reenumerationMs = 1000;  // from a RESET to the re-arrival, at time scale 1

  // ---- chainable setters ----
  DeviceProfile& Named(std::string n) { name = std::move(n); return *this; }
  DeviceProfile& WithGeometry(std::uint32_t pageSize, std::uint32_t pagesPerBlock, std::uint32_t blocksPerChip,
                              std::uint8_t chips = 1) {
    geometry.pageSize = pageSize;
    geometry.pagesPerBlock = pagesPerBlock;
    geometry.blocksPerChip = blocksPerChip;
    chipCount = chips;
    return *this;
  }
  DeviceProfile& WithEccMode(std::uint8_t mode) { geometry.eccMode = mode; return *this; }
  DeviceProfile& WithFlashId(std::array<std::uint8_t, 5> id) { flashId = id; return *this; }
  DeviceProfile& WithChipModel(const char (&model)[5]);
  DeviceProfile& WithInquiry(Bytes answer) { inquiry = std::move(answer); return *this; }
  DeviceProfile& WithSerialNumber(std::uint8_t v) { serialNumber = v; return *this; }
  DeviceProfile& WithBondingId(std::uint8_t v) { bondingId = v; return *this; }
  DeviceProfile& WithFwSelect(std::uint8_t v) { fwSelect = v; return *this; }
  DeviceProfile& WithSpi(std::uint8_t sizeMB) { spiSizeMB = sizeMB; return *this; }
  // SPI flash only: the NAND ID answer FF 00 FF 00 FF and no NAND.
  DeviceProfile& SpiOnly(std::uint8_t sizeMB);
  DeviceProfile& WithBadBlocks(std::vector<std::uint32_t> blocks) { factoryBadBlocks = std::move(blocks); return *this; }
  DeviceProfile& WithBadBlockRate(double rate, std::uint32_t seed) {
    factoryBadRate = rate;
    badBlockSeed = seed;
    return *this;
  }
  DeviceProfile& WithGrownBadBlocks(std::vector<std::uint32_t> blocks) { grownBadBlocks = std::move(blocks); return *this; }
  DeviceProfile& WithNoisyPages(double rate, std::uint8_t maxErrors, std::uint32_t seed) {
    noisyPageRate = rate;
    maxRandomBitErrors = maxErrors;
    bitErrorSeed = seed;
    return *this;
  }
  DeviceProfile& WithWeakPage(std::uint32_t page, std::uint8_t errors) { weakPages[page] = errors; return *this; }
  DeviceProfile& WithPageErrors(std::uint32_t block, std::uint32_t page, std::uint8_t errors) {
    pageErrors[{block, page}] = errors;
    return *this;
  }
  DeviceProfile& WithBlockFailure(BlockFailure f) { blockFailures.push_back(f); return *this; }
  DeviceProfile& WithBlockTestOverride(BlockTestOverride o) { blockTestOverrides.push_back(std::move(o)); return *this; }
  DeviceProfile& WithPreloadedConfig(Bytes block) { preloadedConfig = std::move(block); return *this; }
  DeviceProfile& WithDiskBlockLength(std::uint32_t length) { diskBlockLength = length; return *this; }
  DeviceProfile& WithReenumerationDelay(std::uint32_t ms) { reenumerationMs = ms; return *this; }

  bool IsSpiOnly() const;
  std::uint32_t TotalBlocks() const { return std::uint32_t{chipCount} * geometry.blocksPerChip; }
};

// The 512-byte configuration block (also the flash table file) that matches a
// profile: signature "Q471" x 16, geometry shifts, ECC mode, NAND ID at 127,
// type name at 480, checksum over 82-254 at 80.
Bytes FlashTableFor(const DeviceProfile& profile, const std::string& typeName = "");

// Realistic devices for the emulated bench and for tests.
namespace profiles {
// 4096 blocks of 64 x 2 KiB pages (512 MiB), a few bad blocks, a little noise.
DeviceProfile Standard();
// Two chips of 4096 blocks of 128 x 4 KiB pages, more bad blocks.
DeviceProfile TwoChip();
// SPI flash only (4 MB).
DeviceProfile SpiOnlyDevice();
// 2048 blocks of 128 pages where pages 3, 7, 11 ... show 5 bit errors in every
// block and the last page of a block 9: page modes tell them apart.
DeviceProfile WeakPages();
// 512 blocks of 64 x 2 KiB pages (64 MiB) answering READ CAPACITY with 2048-byte blocks.
DeviceProfile SmallDisk();
// 65536 blocks of 64 x 2 KiB pages: the largest bitmap the configuration block holds.
DeviceProfile Large();
// A player that answers the chip model "Q471" until arrival resets it.
DeviceProfile PlayerMode();
// A disk whose INQUIRY is none of the accepted signatures.
DeviceProfile Foreign();

std::vector<DeviceProfile> All();
std::optional<DeviceProfile> ByName(const std::string& name);
}  // namespace profiles

}  // namespace emulator

// Start disk, capacity, the hidden-disk switch, and the image files behind the
// drive letter, checked with dosfstools.
#include <cstdlib>
#include <fstream>
#include <tuple>

#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;

namespace {

// Runs a shell command quietly; returns its exit status.
int Shell(const std::string& command) {
  const int rc = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// READ CAPACITY: last LBA and block length.
std::pair<std::uint32_t, std::uint32_t> Capacity(platform::HANDLE h) {
  std::uint32_t lastLba = 0, blockLength = 0;
  EXPECT_TRUE(cmd_bReadCapacity(h, &lastLba, &blockLength));
  return {lastLba, blockLength};
}

// Stores the profile's table with the system area size and hidden share filled
// in, and the given bitmap (default: the device's own), from block 'from' on.
void Configure(platform::HANDLE h, const DeviceProfile& p, std::uint8_t sysUnits, std::uint8_t share,
               std::optional<Bytes> bitmap = std::nullopt, std::uint32_t from = 0) {
  Bytes cfg = emulator::FlashTableFor(p);
  cfg[133] = sysUnits;
  cfg[134] = share;
  StoreConfig(h, p, cfg, bitmap ? *bitmap : ReadBitmap(h, p), from);
}

// What a run sends before START DISK: the program image.
void DownloadProgram(platform::HANDLE h) { Download(h, Pattern(5000, 1)); }

std::string NodeOf(char letter) { return platform::Volumes().Lookup(letter)->node; }

}  // namespace

TEST_F(EmulatorTest, CapacityFollowsTheStoredConfiguration) {
  const auto p = Small();  // 1021 good blocks of 128 KiB
  auto [d, h] = Open(p);
  EXPECT_EQ(Capacity(h).first, 0u);  // no disk before start disk
  DownloadProgram(h);
  EXPECT_FALSE(cmd_bStartDisk(h));  // nothing configured yet

  Configure(h, p, 1, 0);
  ASSERT_TRUE(cmd_bStartDisk(h));
  // 1021 x 128 KiB - 4 MiB system area - two configuration blocks = 252672 sectors.
  EXPECT_EQ(Capacity(h), std::make_pair(252671u, 512u));
  EXPECT_EQ(NodeOf('E'), d->UserDiskPath().string());
  EXPECT_EQ(std::filesystem::file_size(d->UserDiskPath()), 252672u * 512);
  EXPECT_FALSE(cmd_bChangeToHiddenDisk(h));  // share 0: no hidden disk

  // The stored bitmap decides: 499 more blocks left out give 124928 sectors.
  Bytes bitmap = ReadBitmap(h, p);
  for (std::uint32_t b = 500; b < 1000; ++b) bitmap[b / 8] &= static_cast<std::uint8_t>(~(0x80 >> (b % 8)));
  Configure(h, p, 1, 0, bitmap);
  ASSERT_TRUE(cmd_bStartDisk(h));
  EXPECT_EQ(Capacity(h).first, 124927u);

  // Share 0xFF: the whole disk is the hidden one, shown at once.
  Configure(h, p, 1, 0xFF);
  ASSERT_TRUE(cmd_bStartDisk(h));
  EXPECT_EQ(Capacity(h).first, 252671u);
  EXPECT_EQ(NodeOf('E'), d->HiddenDiskPath().string());

  // The newest copies count, also when they sit after the old ones: 4 MiB more system area.
  Configure(h, p, 2, 0, std::nullopt, 500);
  ASSERT_TRUE(cmd_bStartDisk(h));
  EXPECT_EQ(Capacity(h).first, 252671u - 8192);
}

TEST_F(EmulatorTest, SmallDiskAnswers2048ByteBlocks) {
  auto p = emulator::profiles::SmallDisk();
  auto [d, h] = Open(p.WithPreloadedConfig(emulator::FlashTableFor(p)));
  DownloadProgram(h);
  ASSERT_TRUE(cmd_bStartDisk(h));
  // 511 good blocks of 128 KiB less two configuration blocks, in 2048-byte blocks.
  EXPECT_EQ(Capacity(h), std::make_pair(32575u, 2048u));
  Bytes two(4096, 0x3C), back(4096);
  ASSERT_TRUE(cmd_bWrite10(h, two.data(), 2048, 7, 2));
  ASSERT_TRUE(cmd_bRead10(h, back.data(), 2048, 7, 2));
  EXPECT_EQ(back, two);

  // A data phase that disagrees with the CDB is refused whole: 32 KiB sent as
  // 64 sectors of 512 bytes (an image's unit, not the device's) writes nothing.
  Bytes piece(32768, 0xE1), old(32768);
  ASSERT_TRUE(cmd_bRead10(h, old.data(), 2048, 0, 16));
  EXPECT_FALSE(cmd_bWrite10(h, piece.data(), 512, 0, 64));
  EXPECT_TRUE(d->Trace().back().checkCondition);
  EXPECT_EQ(std::tuple(d->Trace().back().sense.key, d->Trace().back().sense.asc), std::tuple(0x05, 0x24));
  Bytes now(32768);
  ASSERT_TRUE(cmd_bRead10(h, now.data(), 2048, 0, 16));
  EXPECT_EQ(now, old);
  std::fill(now.begin(), now.end(), 0x77);
  EXPECT_FALSE(cmd_bRead10(h, now.data(), 512, 0, 64));
  EXPECT_TRUE(d->Trace().back().checkCondition);
  EXPECT_EQ(now, Bytes(32768, 0x77)) << "nothing read";
}

TEST_F(EmulatorTest, FatToolsWorkOnTheUserAndHiddenDisks) {
  const auto p = Small();
  auto [d, h] = Open(p);
  Configure(h, p, 1, 25);  // 10 %: 25/256 of the disk
  DownloadProgram(h);
  ASSERT_TRUE(cmd_bStartDisk(h));
  EXPECT_EQ(Capacity(h).first, 227996u);
  const std::string user = NodeOf('E');
  ASSERT_EQ(Shell("mkfs.fat -F 16 -n STATION '" + user + "'"), 0);
  ASSERT_EQ(Shell("fsck.fat -n '" + user + "'"), 0);
  // The boot sector the tool wrote is what READ(10) answers.
  Bytes boot(512);
  ASSERT_TRUE(cmd_bRead10(h, boot.data(), 512, 0, 1));
  EXPECT_EQ(std::tuple(boot[510], boot[511], boot[11] | (boot[12] << 8)), std::tuple(0x55, 0xAA, 512));

  ASSERT_TRUE(cmd_bChangeToHiddenDisk(h));
  EXPECT_EQ(Capacity(h).first, 24674u);
  EXPECT_EQ(NodeOf('E'), d->HiddenDiskPath().string());
  EXPECT_EQ(d->VisibleDisk(), emulator::Disk::Hidden);
  // WRITE(10) and READ(10) address the hidden disk now; past its end they are refused.
  Bytes sector(512, 0xA5), back(512, 0);
  ASSERT_TRUE(cmd_bWrite10(h, sector.data(), 512, 100, 1));
  ASSERT_TRUE(cmd_bRead10(h, back.data(), 512, 100, 1));
  EXPECT_EQ(back, sector);
  std::ifstream file(d->HiddenDiskPath(), std::ios::binary);
  file.seekg(100 * 512);
  EXPECT_EQ(file.get(), 0xA5);
  EXPECT_FALSE(cmd_bWrite10(h, sector.data(), 512, 24675, 1));
  EXPECT_TRUE(d->Trace().back().checkCondition);
  EXPECT_EQ(std::tuple(d->Trace().back().sense.key, d->Trace().back().sense.asc), std::tuple(0x05, 0x21));
  EXPECT_EQ(std::filesystem::file_size(d->HiddenDiskPath()), 24675u * 512);

  ASSERT_EQ(Shell("mkfs.fat -n HIDDEN '" + d->HiddenDiskPath().string() + "'"), 0);
  ASSERT_EQ(Shell("fsck.fat -n '" + d->HiddenDiskPath().string() + "'"), 0);
  ASSERT_EQ(Shell("fsck.fat -n '" + user + "'"), 0);  // untouched by the hidden disk

  ASSERT_TRUE(cmd_bStopUnit(h));
  EXPECT_EQ(Capacity(h).first, 0u);
  EXPECT_TRUE(d->Trace().back().checkCondition);
  EXPECT_EQ(std::tuple(d->Trace().back().sense.key, d->Trace().back().sense.asc), std::tuple(0x02, 0x3A));
}

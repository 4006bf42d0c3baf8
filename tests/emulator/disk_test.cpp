// Start disk, capacity, the hidden-disk switch, and the image files behind the
// drive letter, checked with dosfstools and mtools.
#include <cstdlib>
#include <fstream>

#include "emulator_fixture.h"

using namespace device;
using namespace emulator_test;

namespace {

// Runs a shell command quietly; returns its exit status.
int Shell(const std::string& command) {
  const int rc = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

struct Capacity {
  std::uint32_t lastLba = 0;
  std::uint32_t blockLength = 0;
};

Capacity ReadCapacity(platform::HANDLE h) {
  Capacity c;
  EXPECT_TRUE(cmd_bReadCapacity(h, &c.lastLba, &c.blockLength));
  return c;
}

// The device's own map with the system area size and hidden share filled in.
void Configure(platform::HANDLE h, const DeviceProfile& p, std::uint8_t sysUnits, std::uint8_t share,
               Bytes* bitmapOut = nullptr) {
  Bytes cfg = emulator::FlashTableFor(p);
  cfg[133] = sysUnits;
  cfg[134] = share;
  Bytes bitmap = bitmapOut ? *bitmapOut : ReadBitmap(h, p);
  StoreConfig(h, p, cfg, bitmap);
}

std::string NodeOf(char letter) { return platform::Volumes().Lookup(letter)->node; }

}  // namespace

TEST_F(EmulatorTest, CapacityFollowsTheStoredConfiguration) {
  const auto p = Small();  // 1021 good blocks of 128 KiB
  auto d = Make(p);
  Handle h('E');
  EXPECT_EQ(ReadCapacity(h).lastLba, 0u);  // no disk before start disk
  EXPECT_FALSE(cmd_bStartDisk(h));         // nothing configured yet

  Configure(h, p, 1, 0);
  ASSERT_TRUE(cmd_bStartDisk(h));
  // 1021 x 128 KiB - 4 MiB system area - two configuration blocks = 252672 sectors.
  Capacity c = ReadCapacity(h);
  EXPECT_EQ(c.lastLba, 252671u);
  EXPECT_EQ(c.blockLength, 512u);
  EXPECT_EQ(NodeOf('E'), d->UserDiskPath().string());
  EXPECT_EQ(std::filesystem::file_size(d->UserDiskPath()), 252672u * 512);
  EXPECT_FALSE(cmd_bChangeToHiddenDisk(h));  // share 0: no hidden disk

  // The stored bitmap decides: 499 more blocks left out give 124928 sectors.
  Bytes bitmap = ReadBitmap(h, p);
  for (std::uint32_t b = 500; b < 1000; ++b) bitmap[b / 8] &= static_cast<std::uint8_t>(~(0x80 >> (b % 8)));
  Configure(h, p, 1, 0, &bitmap);
  ASSERT_TRUE(cmd_bStartDisk(h));
  EXPECT_EQ(ReadCapacity(h).lastLba, 124927u);
}

TEST_F(EmulatorTest, HiddenDiskSwitchAndStopUnit) {
  const auto p = Small();
  auto d = Make(p);
  Handle h('E');
  Configure(h, p, 1, 25);  // 10 %: 25/256 of the disk
  ASSERT_TRUE(cmd_bStartDisk(h));
  EXPECT_EQ(ReadCapacity(h).lastLba, 227996u);
  ASSERT_TRUE(cmd_bChangeToHiddenDisk(h));
  EXPECT_EQ(ReadCapacity(h).lastLba, 24674u);
  EXPECT_EQ(NodeOf('E'), d->HiddenDiskPath().string());
  EXPECT_EQ(d->VisibleDisk(), emulator::Disk::Hidden);

  // WRITE(10) and READ(10) address the hidden disk now.
  Bytes sector(512, 0xA5), back(512, 0);
  ASSERT_TRUE(cmd_bWrite10(h, sector.data(), 512, 100, 1));
  ASSERT_TRUE(cmd_bRead10(h, back.data(), 512, 100, 1));
  EXPECT_EQ(back, sector);
  std::ifstream file(d->HiddenDiskPath(), std::ios::binary);
  file.seekg(100 * 512);
  EXPECT_EQ(file.get(), 0xA5);

  // Past the end: refused without touching the file.
  d->ClearTrace();
  EXPECT_TRUE(cmd_bWrite10(h, sector.data(), 512, 24675, 1));
  EXPECT_TRUE(d->Trace().back().checkCondition);
  EXPECT_EQ(std::filesystem::file_size(d->HiddenDiskPath()), 24675u * 512);

  ASSERT_TRUE(cmd_bStopUnit(h));
  EXPECT_EQ(ReadCapacity(h).lastLba, 0u);
  EXPECT_TRUE(d->Trace().back().checkCondition);
}

TEST_F(EmulatorTest, WholeDiskSecondaryShareShowsTheHiddenDiskAtStart) {
  const auto p = Small();
  auto d = Make(p);
  Handle h('E');
  Configure(h, p, 1, 0xFF);
  ASSERT_TRUE(cmd_bStartDisk(h));
  EXPECT_EQ(ReadCapacity(h).lastLba, 252671u);
  EXPECT_EQ(NodeOf('E'), d->HiddenDiskPath().string());
}

TEST_F(EmulatorTest, SmallDiskAnswers2048ByteBlocks) {
  auto p = emulator::profiles::SmallDisk();
  p.WithPreloadedConfig(emulator::FlashTableFor(p));
  auto d = Make(p);
  Handle h('E');
  ASSERT_TRUE(cmd_bStartDisk(h));
  // 511 good blocks of 128 KiB less two configuration blocks, in 2048-byte blocks.
  const Capacity c = ReadCapacity(h);
  EXPECT_EQ(c.blockLength, 2048u);
  EXPECT_EQ(c.lastLba, 32575u);
  Bytes two(4096, 0x3C), back(4096);
  ASSERT_TRUE(cmd_bWrite10(h, two.data(), 2048, 7, 2));
  ASSERT_TRUE(cmd_bRead10(h, back.data(), 2048, 7, 2));
  EXPECT_EQ(back, two);
}

TEST_F(EmulatorTest, FatToolsWorkOnTheUserAndHiddenDisks) {
  const auto p = Small();
  auto d = Make(p);
  Handle h('E');
  Configure(h, p, 1, 64);
  ASSERT_TRUE(cmd_bStartDisk(h));
  const std::string user = NodeOf('E');
  ASSERT_EQ(Shell("mkfs.fat -F 16 -n STATION '" + user + "'"), 0);
  ASSERT_EQ(Shell("fsck.fat -n '" + user + "'"), 0);
  const auto payload = dir / "hello.txt";
  std::ofstream(payload) << "hello";
  ASSERT_EQ(Shell("MTOOLS_SKIP_CHECK=1 mcopy -i '" + user + "' '" + payload.string() + "' ::HELLO.TXT"), 0);
  ASSERT_EQ(Shell("fsck.fat -n '" + user + "'"), 0);

  // The boot sector the tool wrote is what READ(10) answers.
  Bytes boot(512);
  ASSERT_TRUE(cmd_bRead10(h, boot.data(), 512, 0, 1));
  EXPECT_EQ(boot[510], 0x55);
  EXPECT_EQ(boot[511], 0xAA);
  EXPECT_EQ(boot[11] | (boot[12] << 8), 512);

  ASSERT_TRUE(cmd_bChangeToHiddenDisk(h));
  const std::string hidden = NodeOf('E');
  EXPECT_NE(hidden, user);
  ASSERT_EQ(Shell("mkfs.fat -n HIDDEN '" + hidden + "'"), 0);
  ASSERT_EQ(Shell("fsck.fat -n '" + hidden + "'"), 0);
  ASSERT_EQ(Shell("fsck.fat -n '" + user + "'"), 0);  // untouched by the hidden disk
}

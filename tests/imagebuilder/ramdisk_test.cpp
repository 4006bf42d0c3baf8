// The sector store and the container file.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "image_oracle.h"
#include "imagebuilder/ramdisk.h"

using namespace imagebuilder;
using oracle::TempDir;

namespace {

std::vector<std::uint8_t> Sector(std::uint32_t size, std::uint8_t fill) { return std::vector<std::uint8_t>(size, fill); }

TEST(RamDiskStore, ChunksStartAtTheFirstLbaTouchedAndAreClippedBeforeTheNext) {
  RamDisk store;
  ASSERT_TRUE(store.RamDiskInit(512));
  EXPECT_EQ(store.SectorsPerChunk(), 16384u);
  ASSERT_EQ(store.ChunkCount(), 1u);
  auto s = Sector(512, 1);
  ASSERT_TRUE(store.RamDiskWrite(20000, 1, s.data()));
  ASSERT_EQ(store.ChunkCount(), 2u);
  EXPECT_EQ(store.Chunk(1).firstLba, 20000u);
  EXPECT_EQ(store.Chunk(1).lastLba, 36383u);
  ASSERT_TRUE(store.RamDiskWrite(16384, 1, s.data()));
  ASSERT_EQ(store.ChunkCount(), 3u);
  EXPECT_EQ(store.Chunk(2).firstLba, 16384u);
  EXPECT_EQ(store.Chunk(2).lastLba, 19999u);
  // A run across both chunks lands in each and reads back.
  std::vector<std::uint8_t> run(4 * 512);
  for (std::size_t i = 0; i < run.size(); ++i) run[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(store.RamDiskWrite(19998, 4, run.data()));
  std::vector<std::uint8_t> back(run.size());
  ASSERT_TRUE(store.RamDiskRead(19998, 4, back.data()));
  EXPECT_EQ(back, run);
  EXPECT_EQ(store.ChunkCount(), 3u);
  EXPECT_TRUE(store.RamDiskWrite(5, 0, nullptr));
}

TEST(RamDiskStore, ReadingAnUntouchedSectorMakesItAZeroSectorOfTheVolume) {
  RamDisk store;
  ASSERT_TRUE(store.RamDiskInit(512));
  auto s = Sector(512, 0xAA);
  ASSERT_TRUE(store.RamDiskRead(100, 1, s.data()));
  EXPECT_EQ(s, Sector(512, 0));
  std::vector<std::uint8_t> two(1024);
  ASSERT_TRUE(store.RamDiskRead(101, 2, two.data()));
  EXPECT_EQ(store.DirtySectorCount(), 3u);
}

TEST(RamDiskStore, InitialisationKeepsTheSectorSizeUntilClearedAndThenStartsAfresh) {
  RamDisk store;
  ASSERT_TRUE(store.RamDiskInit(512));
  auto s = Sector(512, 3);
  ASSERT_TRUE(store.RamDiskWrite(0, 1, s.data()));
  ASSERT_TRUE(store.RamDiskInit(1024));
  EXPECT_EQ(store.SectorSize(), 512u);
  // After a save the flag is clear but the chunks stay: the next size must
  // not inherit maps sized for 512-byte sectors.
  store.ClearInitialised();
  ASSERT_TRUE(store.RamDiskInit(1024));
  EXPECT_EQ(store.SectorSize(), 1024u);
  EXPECT_EQ(store.SectorsPerChunk(), 8192u);
  EXPECT_EQ(store.DirtySectorCount(), 0u);
  auto big = Sector(1024, 9);
  for (std::uint32_t lba = 0; lba < 8192; lba += 1000) ASSERT_TRUE(store.RamDiskWrite(lba, 1, big.data()));
  store.ClearInitialised();
  EXPECT_FALSE(store.RamDiskInit(3000)) << "not a divisor of the chunk size";
}

TEST(RamDiskStore, The1025thChunkFails) {
  RamDisk store;
  ASSERT_TRUE(store.RamDiskInit(4096));
  auto s = Sector(4096, 1);
  const std::uint32_t spc = store.SectorsPerChunk();
  for (std::uint32_t i = 0; i < kRamDiskMaxChunks; ++i) ASSERT_TRUE(store.RamDiskWrite(i * spc, 1, s.data())) << i;
  EXPECT_FALSE(store.RamDiskWrite(kRamDiskMaxChunks * spc, 1, s.data()));
  EXPECT_FALSE(store.LastError().empty());
}

TEST(ImageContainer, TwoSlotsGiveTheDocumentedLayout) {
  TempDir dir;
  const std::string path = dir / "out.IMG";
  RamDisk store;
  EXPECT_FALSE(store.ImageSaveSlot(dir / "missing.IMG", 1, 8)) << "slot 1 appends to an existing file";

  ASSERT_TRUE(store.RamDiskInit(512));
  auto a = Sector(512, 0x11);
  ASSERT_TRUE(store.RamDiskWrite(20000, 1, a.data()));  // chunk 1
  ASSERT_TRUE(store.RamDiskWrite(3, 2, Sector(1024, 0x22).data()));  // chunk 0
  ASSERT_TRUE(store.ImageSaveSlot(path, 0, 128));
  EXPECT_EQ(store.DirtySectorCount(), 0u);
  const std::uint32_t n0 = 3;  // LBA 3, 4 and 20000
  store.RamDiskFree();
  store.ClearInitialised();

  ASSERT_TRUE(store.RamDiskInit(1024));
  ASSERT_TRUE(store.RamDiskWrite(7, 1, Sector(1024, 0x33).data()));
  ASSERT_TRUE(store.ImageSaveSlot(path, 1, 999));

  const auto c = oracle::ReadContainer(path);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->magic, std::string("Q4X1 IMG\0", 9));
  EXPECT_EQ(c->sizeMiB, 128u) << "the size is written with slot 0 only";
  EXPECT_EQ(c->slots[0].sectorSize, 512u);
  EXPECT_EQ(c->slots[0].dataOffset, 512u);
  EXPECT_EQ(c->slots[1].sectorSize, 1024u);
  EXPECT_EQ(c->slots[1].dataOffset, 512 + 516 * n0);
  EXPECT_EQ(c->fileSize, 512 + 516 * c->slots[0].records + 1028 * c->slots[1].records);
  // LBA 0 is only created, never touched: not part of the content.
  EXPECT_EQ(c->slots[0].records, 3u);
  EXPECT_EQ(c->slots[1].records, 1u);
  const auto* p = reinterpret_cast<const std::uint8_t*>(c->bytes.data());
  EXPECT_EQ(oracle::Le32(p + 512), 3u) << "chunk creation order: chunk 0 first";
  EXPECT_EQ(oracle::Le32(p + 512 + 516), 4u);
  EXPECT_EQ(oracle::Le32(p + 512 + 2 * 516), 20000u);
  EXPECT_EQ(p[512 + 2 * 516 + 4], 0x11);
  EXPECT_EQ(oracle::SlotRecords(*c, 1).at(7), std::string(1024, '\x33'));
  for (std::size_t i = 44; i < 512; ++i) ASSERT_EQ(p[i], 0) << i;
}

TEST(ImageContainer, AFailedSaveLeavesTheEarlierFileAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir / "out.IMG";
  oracle::WriteFile(path, "not an image file");
  RamDisk store;
  ASSERT_TRUE(store.RamDiskInit(512));
  ASSERT_TRUE(store.RamDiskWrite(1, 1, Sector(512, 5).data()));
  EXPECT_FALSE(store.ImageSaveSlot(path, 1, 8));
  EXPECT_FALSE(store.ImageSaveSlot(path, 2, 8));
  EXPECT_FALSE(store.ImageSaveSlot(dir / "no/such/folder/x.IMG", 0, 8));
  EXPECT_EQ(oracle::ReadFile(path), "not an image file");
  EXPECT_EQ(store.DirtySectorCount(), 1u) << "nothing was saved, nothing is forgotten";
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 1);
}

}  // namespace

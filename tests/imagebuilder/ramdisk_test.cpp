// The sector store and the container file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "image_oracle.h"
#include "imagebuilder/image_builder.h"
#include "imagebuilder/ramdisk.h"
#include "support/file_size_limit.h"

using namespace imagebuilder;
using oracle::TempDir;

namespace {

std::vector<std::uint8_t> Sector(std::uint32_t size, std::uint8_t fill) { return std::vector<std::uint8_t>(size, fill); }

TEST(RamDiskStore, ChunksStartAtTheFirstLbaTouchedAndAreClippedBeforeTheNext) {
  RamDisk store;
  ASSERT_TRUE(store.RamDiskInit(512));
  ASSERT_EQ(store.ChunkCount(), 1u);
  ASSERT_TRUE(store.RamDiskWrite(20000, 1, Sector(512, 1).data()));
  ASSERT_EQ(store.ChunkCount(), 2u);
  EXPECT_EQ(store.Chunk(1).firstLba, 20000u);
  EXPECT_EQ(store.Chunk(1).lastLba, 36383u);
  ASSERT_TRUE(store.RamDiskWrite(16384, 1, Sector(512, 1).data()));
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
  // Reading an untouched sector makes it a zero sector of the volume.
  const std::uint64_t dirty = store.DirtySectorCount();
  auto s = Sector(512, 0xAA);
  ASSERT_TRUE(store.RamDiskRead(100, 1, s.data()));
  EXPECT_EQ(s, Sector(512, 0));
  EXPECT_EQ(store.DirtySectorCount(), dirty + 1);
}

TEST(RamDiskStore, InitialisationKeepsTheSectorSizeUntilClearedAndThenStartsAfresh) {
  RamDisk store;
  ASSERT_TRUE(store.RamDiskInit(512));
  ASSERT_TRUE(store.RamDiskWrite(0, 1, Sector(512, 3).data()));
  ASSERT_TRUE(store.RamDiskInit(1024));
  EXPECT_EQ(store.SectorSize(), 512u);
  // After a save the flag is clear but the chunks stay: the next size must
  // not inherit maps sized for 512-byte sectors.
  store.ClearInitialised();
  ASSERT_TRUE(store.RamDiskInit(1024));
  EXPECT_EQ(store.SectorSize(), 1024u);
  EXPECT_EQ(store.SectorsPerChunk(), 8192u);
  EXPECT_EQ(store.DirtySectorCount(), 0u);
  for (std::uint32_t lba = 0; lba < 8192; lba += 1000) ASSERT_TRUE(store.RamDiskWrite(lba, 1, Sector(1024, 9).data()));
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
  ASSERT_TRUE(store.RamDiskInit(512));
  ASSERT_TRUE(store.RamDiskWrite(20000, 1, Sector(512, 0x11).data()));  // chunk 1
  ASSERT_TRUE(store.RamDiskWrite(3, 2, Sector(1024, 0x22).data()));     // chunk 0
  ASSERT_TRUE(store.RamDiskWrite(16383, 1, Sector(512, 0x44).data()));  // chunk 0's last sector
  ASSERT_TRUE(store.ImageSaveSlot(path, 0, 128));
  EXPECT_EQ(store.DirtySectorCount(), 0u);
  store.RamDiskFree();
  store.ClearInitialised();
  ASSERT_TRUE(store.RamDiskInit(1024));
  ASSERT_TRUE(store.RamDiskWrite(7, 1, Sector(1024, 0x33).data()));
  ASSERT_TRUE(store.ImageSaveSlot(path, 1, 999));

  const auto c = oracle::ReadContainer(path);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->bytes.substr(0, 9), std::string("Q4X1 IMG\0", 9));
  EXPECT_EQ(c->sizeMiB, 128u) << "the size is written with slot 0 only";
  // LBA 0 is only created, never touched: not part of the content.
  EXPECT_EQ(c->slots[0].sectorSize, 512u);
  EXPECT_EQ(c->slots[0].dataOffset, 512u);
  EXPECT_EQ(c->slots[0].records, 4u);
  EXPECT_EQ(c->slots[1].sectorSize, 1024u);
  EXPECT_EQ(c->slots[1].dataOffset, 512u + 516 * 4);
  EXPECT_EQ(c->slots[1].records, 1u);
  EXPECT_EQ(c->bytes.size(), 512u + 516 * 4 + 1028);
  const auto lba = [&](int record) { return oracle::Le32(c->bytes, 512 + 516 * record); };
  EXPECT_EQ((std::vector{lba(0), lba(1), lba(2), lba(3)}), (std::vector<std::uint32_t>{3, 4, 16383, 20000}))
      << "chunk creation order";
  EXPECT_EQ(c->bytes[512 + 3 * 516 + 4], 0x11);
  EXPECT_EQ(oracle::SlotRecords(*c, 1).at(7), std::string(1024, '\x33'));
  EXPECT_EQ(c->bytes.substr(44, 512 - 44), std::string(512 - 44, '\0'));
}

TEST(ImageContainer, AFailedSaveLeavesTheEarlierFileAndNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir / "out.IMG";
  oracle::WriteFile(path, "not an image file");
  RamDisk store;
  EXPECT_FALSE(store.ImageSaveSlot(path, 0, 8)) << "a store without a volume";
  const int fd = ::open((dir / "direct.IMG").c_str(), O_RDWR | O_CREAT, 0600);
  EXPECT_FALSE(store.ImageWriteSlot(fd, dir / "direct.IMG", 0, 8)) << "a store without a volume";
  ::close(fd);
  std::filesystem::remove(dir / "direct.IMG");
  ASSERT_TRUE(store.RamDiskInit(512));
  ASSERT_TRUE(store.RamDiskWrite(1, 1, Sector(512, 5).data()));
  EXPECT_FALSE(store.ImageSaveSlot(dir / "missing.IMG", 1, 8)) << "slot 1 appends to an existing file";
  EXPECT_FALSE(store.ImageSaveSlot(path, 1, 8));
  EXPECT_FALSE(store.ImageSaveSlot(path, 2, 8));
  EXPECT_FALSE(store.ImageSaveSlot(dir / "no/such/folder/x.IMG", 0, 8));
  EXPECT_EQ(oracle::ReadFile(path), "not an image file");
  EXPECT_EQ(store.DirtySectorCount(), 1u) << "nothing was saved, nothing is forgotten";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// A container whose writes stop short (the disk full) is never taken for
// complete: the save and the build fail, naming the file, and an earlier file
// of that name stays as it was.
TEST(ImageContainer, AWriteThatStopsShortFailsTheSaveAndTheBuild) {
  TempDir dir;
  const std::string path = dir / "out.IMG";
  const std::string earlier = oracle::Pattern(3000, 9);
  auto fill = [](RamDisk& store, std::uint32_t sectorSize, std::uint32_t sectors) {
    store.ClearInitialised();
    ASSERT_TRUE(store.RamDiskInit(sectorSize));
    for (std::uint32_t lba = 0; lba < sectors; ++lba)
      ASSERT_TRUE(store.RamDiskWrite(lba, 1, Sector(sectorSize, static_cast<std::uint8_t>(lba)).data()));
  };
  {
    SCOPED_TRACE("slot 0");
    oracle::WriteFile(path, earlier);
    RamDisk store;
    fill(store, 512, 4000);  // about 2 MiB of records
    const testing_support::FileSizeLimit limit(1 << 20);
    EXPECT_FALSE(store.ImageSaveSlot(path, 0, 16));
    EXPECT_NE(store.LastError().find(dir.path()), std::string::npos) << store.LastError();
    EXPECT_EQ(store.DirtySectorCount(), 4000u);
  }
  EXPECT_TRUE(oracle::ReadFile(path) == earlier);
  {
    SCOPED_TRACE("slot 1 after a slot 0 that fits");
    RamDisk store;
    fill(store, 512, 10);
    ASSERT_TRUE(store.ImageSaveSlot(path, 0, 16));
    const std::string first = oracle::ReadFile(path);
    fill(store, 1024, 2000);
    {
      const testing_support::FileSizeLimit limit(1 << 20);
      EXPECT_FALSE(store.ImageSaveSlot(path, 1, 16));
    }
    EXPECT_TRUE(oracle::ReadFile(path) == first);
  }
  {
    SCOPED_TRACE("a whole build");
    oracle::WriteFile(path, earlier);
    oracle::WriteFile(dir / "in/song.mp3", oracle::Pattern(3 << 20, 4));
    ImageBuilder builder;
    ImageBuildResult result;
    {
      const testing_support::FileSizeLimit limit(4 << 20);  // room for the first slot only
      result = builder.ImageBuildFile(ImageBuildRequest{{dir / "in"}, 16, "PASS WD", path});
    }
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.stage, ImageBuildStage::kOutput);
    EXPECT_NE(result.message.find(dir.path()), std::string::npos) << result.message;
    EXPECT_TRUE(oracle::ReadFile(path) == earlier);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2) << "no temporary file left";
}

}  // namespace

// Volume geometry, format and mount.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image_oracle.h"
#include "imagebuilder/image_builder.h"

using namespace imagebuilder;
using oracle::TempDir;

namespace {

FatLayout Layout(std::uint32_t sizeMiB, std::uint32_t sectorSize) {
  const auto layout = FatComputeLayout(sectorSize, (std::uint64_t{sizeMiB} << 20) / sectorSize);
  EXPECT_TRUE(layout) << sizeMiB << " MiB";
  return layout.value_or(FatLayout{});
}

TEST(FatGeometry, ClusterSizeStepsAndTheFat16Limit) {
  struct Step {
    std::uint32_t sizeMiB, clusterBytes;
    FatType type;
  };
  // 2048 MiB would give FAT16 more than 65524 clusters: it is FAT32.
  const Step steps[] = {{8, 1024, kFat16},    {15, 1024, kFat16},   {16, 2048, kFat16},  {127, 2048, kFat16},
                        {128, 4096, kFat16},  {255, 4096, kFat16},  {256, 8192, kFat16}, {511, 8192, kFat16},
                        {512, 16384, kFat16}, {1023, 16384, kFat16}, {1024, 32768, kFat16}, {2047, 32768, kFat16},
                        {2048, 16384, kFat32}, {2049, 16384, kFat32}, {3072, 16384, kFat32}, {8192, 16384, kFat32}};
  for (const std::uint32_t sectorSize : {512u, 1024u}) {
    for (const Step& step : steps) {
      SCOPED_TRACE(std::to_string(step.sizeMiB) + " MiB, " + std::to_string(sectorSize));
      const FatLayout l = Layout(step.sizeMiB, sectorSize);
      EXPECT_EQ(l.fatType, step.type);
      EXPECT_EQ(l.sectorsPerCluster * sectorSize, step.clusterBytes);
      if (l.fatType == kFat16) {
        EXPECT_GE(l.clusterCount, 4085u);
        EXPECT_LE(l.clusterCount, 65524u);
      } else {
        EXPECT_GE(l.clusterCount, 65525u);
      }
      const std::uint32_t entryBytes = l.fatType == kFat16 ? 2 : 4;
      EXPECT_GE(std::uint64_t{l.fatSize} * sectorSize / entryBytes, l.clusterCount + 2ull) << "FAT too small";
      EXPECT_LE(std::uint64_t{l.firstDataSector} + std::uint64_t{l.clusterCount} * l.sectorsPerCluster, l.totalSectors);
    }
  }
  // Exact layouts: {MiB, sector size, sectors per FAT, first data sector}.
  for (const auto& [sizeMiB, sectorSize, fatSize, firstData] : std::vector<std::array<std::uint32_t, 4>>{
           {128, 512, 128, 289}, {128, 1024, 64, 145}, {2016, 512, 252, 537}, {3072, 512, 1536, 3104}}) {
    const FatLayout l = Layout(sizeMiB, sectorSize);
    EXPECT_EQ(l.fatSize, fatSize) << sizeMiB << " MiB, " << sectorSize;
    EXPECT_EQ(l.firstDataSector, firstData) << sizeMiB << " MiB, " << sectorSize;
  }
  EXPECT_FALSE(FatComputeLayout(512, 4u << 11)) << "4 MiB is FAT12 territory";
  EXPECT_FALSE(FatComputeLayout(768, 65536));
  EXPECT_FALSE(FatComputeLayout(512, 1ull << 32));
}

// Formatting writes what mounting reads back at every boundary, FAT32 gets its
// FSInfo sector and backup boot sector, and the volumes either side of the
// FAT16/FAT32 limit pass the checker.
TEST(FatGeometry, FormatThenMountAgreesAndBoundaryVolumesPassFsck) {
  for (const std::uint32_t sectorSize : {512u, 1024u}) {
    for (const std::uint32_t sizeMiB : {16u, 128u, 256u, 512u, 1024u, 2016u, 2048u, 3072u, 8192u}) {
      SCOPED_TRACE(std::to_string(sizeMiB) + " MiB, " + std::to_string(sectorSize));
      ImageBuilder builder;
      const std::uint64_t total = (std::uint64_t{sizeMiB} << 20) / sectorSize;
      ASSERT_TRUE(builder.ImageCreateVolume(total, sectorSize)) << builder.LastError();
      const FatLayout l = Layout(sizeMiB, sectorSize);
      const FatGeometry& g = builder.Volume().Geometry();
      EXPECT_EQ(g.fatType, l.fatType);
      EXPECT_EQ(g.clusterCount, l.clusterCount);
      EXPECT_EQ(g.firstDataSector, l.firstDataSector);
      EXPECT_EQ(g.totalSectors, total);
      EXPECT_EQ(builder.Volume().FreeClusterCount(), l.clusterCount - (l.fatType == kFat32 ? 1 : 0));
      if (l.fatType == kFat32) {
        std::vector<std::uint8_t> boot(sectorSize), backup(sectorSize), info(sectorSize);
        ASSERT_TRUE(builder.ImageReadSectors(0, 1, boot.data()) && builder.ImageReadSectors(6, 1, backup.data()) &&
                    builder.ImageReadSectors(1, 1, info.data()));
        EXPECT_EQ(boot, backup);
        EXPECT_EQ(std::memcmp(boot.data() + 82, "FAT32   ", 8), 0);
        EXPECT_EQ(oracle::Le32(info.data()), 0x41615252u);
        EXPECT_EQ(oracle::Le32(info.data() + 484), 0x61417272u);
        EXPECT_EQ(oracle::Le32(info.data() + 488), builder.Volume().FreeClusterCount());
        EXPECT_EQ(oracle::Le32(info.data() + 508), 0xAA550000u);
      }
      if (sizeMiB != 2016 && sizeMiB != 2048) continue;
      TempDir dir;
      ASSERT_TRUE(builder.ImageSave(dir / "v.IMG", 0, sizeMiB)) << builder.LastError();
      const auto fsck = oracle::ExtractAndFsck(dir / "v.IMG", 0, dir / "v.raw");
      EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
    }
  }
}

TEST(FatMount, BootSectorChecks) {
  ImageBuilder builder;
  ASSERT_TRUE(builder.ImageCreateVolume(32768, 512));
  FatVolume& volume = builder.Volume();
  std::vector<std::uint8_t> formatted(512);
  ASSERT_TRUE(builder.ImageReadSectors(0, 1, formatted.data()));
  auto mountWith = [&](std::initializer_list<std::pair<int, std::uint8_t>> patch) {
    std::vector<std::uint8_t> boot = formatted;
    for (auto [at, v] : patch) boot[at] = v;
    return builder.ImageWriteSectors(0, 1, boot.data()) && volume.FatMount();
  };
  EXPECT_TRUE(mountWith({}));
  EXPECT_EQ(volume.Type(), kFat16);
  EXPECT_TRUE(mountWith({{1, 0x3C}}));
  EXPECT_TRUE(mountWith({{0, 0xE9}, {2, 0x00}}));
  EXPECT_FALSE(mountWith({{2, 0x00}})) << "EB 00 00";
  EXPECT_FALSE(mountWith({{11, 0x00}, {12, 0x01}})) << "256 bytes per sector";
  EXPECT_FALSE(mountWith({{11, 0x00}, {12, 0x20}})) << "8192 bytes per sector";
  EXPECT_FALSE(mountWith({{13, 3}})) << "3 sectors per cluster";
  EXPECT_FALSE(mountWith({{12, 0x04}})) << "1024 bytes per sector on a store of 512-byte sectors";
  EXPECT_FALSE(mountWith({{510, 0}}));
  EXPECT_FALSE(mountWith({{32, 0x80}, {33, 0x3E}})) << "16000 sectors: fewer clusters than FAT16 has";
  // The total in the 16-bit field, where it fits, counts as the 32-bit one does.
  ASSERT_TRUE(mountWith({}));
  const std::uint32_t clusters = volume.Geometry().clusterCount;
  EXPECT_TRUE(mountWith({{19, 0x00}, {20, 0x80}, {32, 0}, {33, 0}, {34, 0}, {35, 0}}));
  EXPECT_EQ(volume.Geometry().totalSectors, 32768u);
  EXPECT_EQ(volume.Geometry().clusterCount, clusters);
}

// Volumes of 2048- and 4096-byte sectors are made, mounted and checked clean too.
TEST(FatGeometry, LargeSectorVolumesMountAndPassFsck) {
  for (const std::uint32_t sectorSize : {2048u, 4096u}) {
    SCOPED_TRACE(sectorSize);
    TempDir dir;
    ImageBuilder builder;
    ASSERT_TRUE(builder.ImageCreateVolume((64ull << 20) / sectorSize, sectorSize)) << builder.LastError();
    EXPECT_EQ(builder.Volume().Geometry().bytesPerSector, sectorSize);
    oracle::WriteFile(dir / "in/song.mp3", oracle::Pattern(9000, 2));
    ASSERT_TRUE(builder.AddListToImage({dir / "in"})) << builder.LastError();
    ASSERT_TRUE(builder.ImageSave(dir / "v.IMG", 0, 64)) << builder.LastError();
    const auto fsck = oracle::ExtractAndFsck(dir / "v.IMG", 0, dir / "v.raw");
    EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
    EXPECT_EQ(oracle::VolumeFiles(dir / "v.raw", dir / "out").at("in/song.mp3"), oracle::Pattern(9000, 2));
  }
}

// A store that begins with a partition table: the volume is found at the start
// of the first partition entry whose sector holds a boot sector, files go
// into it there, and mtools and fsck.fat read that partition back.
TEST(FatMount, AVolumeBehindAPartitionTableIsFoundAtItsPartitionsStart) {
  constexpr std::uint32_t kStart = 2048, kElsewhere = 1000;
  ImageBuilder builder;
  ASSERT_TRUE(builder.ImageCreateVolume(32768, 512));
  const std::uint32_t formatted = builder.Volume().Geometry().firstDataSector + 8;
  // Move the formatted sectors up to the partition's start; below it only zeros.
  std::vector<std::uint8_t> sector(512), zero(512, 0);
  for (std::uint32_t lba = formatted; lba-- > 0;) {
    ASSERT_TRUE(builder.ImageReadSectors(lba, 1, sector.data()));
    ASSERT_TRUE(builder.ImageWriteSectors(kStart + lba, 1, sector.data()));
    ASSERT_TRUE(builder.ImageWriteSectors(lba, 1, zero.data()));
  }
  auto partitionTable = [&](std::uint8_t indicator1) {
    std::vector<std::uint8_t> mbr(512, 0);
    const auto entry = [&](int index, std::uint8_t indicator, std::uint32_t start) {
      std::uint8_t* e = &mbr[446 + 16 * index];
      e[0] = indicator;
      e[4] = 0x06;
      for (int i = 0; i < 4; ++i) {
        e[8 + i] = static_cast<std::uint8_t>(start >> (8 * i));
        e[12 + i] = static_cast<std::uint8_t>(32768u >> (8 * i));
      }
    };
    entry(0, 0x00, kElsewhere);  // no boot sector there
    entry(1, indicator1, kStart);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    return builder.ImageWriteSectors(0, 1, mbr.data());
  };
  FatVolume& volume = builder.Volume();
  ASSERT_TRUE(partitionTable(0x7F));
  EXPECT_FALSE(volume.FatMount()) << "an entry that is no partition ends the search";
  // Without the signature the sector is no partition table.
  for (const int at : {510, 511}) {
    ASSERT_TRUE(partitionTable(0x80));
    ASSERT_TRUE(builder.ImageReadSectors(0, 1, sector.data()));
    sector[at] = 0;
    ASSERT_TRUE(builder.ImageWriteSectors(0, 1, sector.data()));
    EXPECT_FALSE(volume.FatMount()) << at;
  }
  ASSERT_TRUE(partitionTable(0x80));
  ASSERT_TRUE(volume.FatMount()) << volume.ErrorText();
  EXPECT_EQ(volume.Geometry().volumeStart, kStart);
  EXPECT_EQ(volume.Type(), kFat16);

  TempDir dir;
  oracle::WriteFile(dir / "in/song.mp3", oracle::Pattern(70000, 3));
  ASSERT_TRUE(builder.AddListToImage({dir / "in"})) << builder.LastError();
  ASSERT_TRUE(volume.FatSetVolumeLabel("PARTED"));
  // The partition as a volume file of its own.
  std::string raw(std::size_t{32768} * 512, '\0');
  for (std::uint32_t lba = 0; lba < 32768; ++lba) {
    ASSERT_TRUE(builder.ImageReadSectors(kStart + lba, 1, sector.data()));
    std::copy(sector.begin(), sector.end(), raw.begin() + std::size_t{lba} * 512);
  }
  oracle::WriteFile(dir / "part.raw", raw);
  const auto fsck = oracle::Run("fsck.fat -n " + oracle::Quote(dir / "part.raw"));
  EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
  EXPECT_EQ(oracle::VolumeFiles(dir / "part.raw", dir / "out").at("in/song.mp3"), oracle::Pattern(70000, 3));
  EXPECT_NE(oracle::Run("mlabel -s -i " + oracle::Quote(dir / "part.raw") + " ::").output.find("PARTED"),
            std::string::npos);
}

}  // namespace

// Building passes from host input, and how they fail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "image_oracle.h"
#include "imagebuilder/image_builder.h"

using namespace imagebuilder;
using oracle::TempDir;

namespace {

ImageBuildRequest Request(const TempDir& dir, std::vector<std::string> entries, std::uint32_t sizeMiB = 16) {
  ImageBuildRequest request;
  request.entries = std::move(entries);
  request.sizeMiB = sizeMiB;
  request.label = "PASS WD";
  request.outputPath = dir / "out.IMG";
  return request;
}

TEST(ImageBuild, AnEmptyListBuildsBothSlotsWithTheLabelOnly) {
  TempDir dir;
  ImageBuilder builder;
  int calls = 0;
  builder.SetProgressCallback([&] { ++calls; });
  const ImageBuildResult result = builder.ImageBuildFile(Request(dir, {}));
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_GT(calls, 0);
  const auto c = oracle::ReadContainer(dir / "out.IMG");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->sizeMiB, 16u);
  EXPECT_EQ(c->slots[0].sectorSize, 512u);
  EXPECT_EQ(c->slots[1].sectorSize, 1024u);
  for (int slot = 0; slot < 2; ++slot) {
    ASSERT_TRUE(oracle::ExtractSlot(dir / "out.IMG", slot, dir / "v.raw"));
    EXPECT_EQ(oracle::Run("fsck.fat -n " + oracle::Quote(dir / "v.raw")).exitCode, 0);
    EXPECT_NE(oracle::Run("mdir -i " + oracle::Quote(dir / "v.raw") + " ::").output.find("PASS WD"), std::string::npos);
  }
  EXPECT_EQ(builder.Store().ChunkCount(), 0u) << "the store is discarded after each pass";
}

TEST(ImageBuild, TheSameFileListedTwiceIsOneRootFile) {
  TempDir dir;
  oracle::WriteFile(dir / "in/a.txt", "hello");
  ImageBuilder builder;
  ASSERT_TRUE(builder.ImageBuildPass(Request(dir, {dir / "in/a.txt", dir / "in/a.txt"}), 512, 0).ok);
  ASSERT_TRUE(oracle::ExtractSlot(dir / "out.IMG", 0, dir / "v.raw"));
  EXPECT_EQ(oracle::Run("fsck.fat -n " + oracle::Quote(dir / "v.raw")).exitCode, 0);
  EXPECT_EQ(oracle::VolumeFiles(dir / "v.raw", dir / "out"), (std::map<std::string, std::string>{{"a.txt", "hello"}}));
}

TEST(ImageBuild, FailuresNameTheStageAndThePath) {
  TempDir dir;
  oracle::WriteFile(dir / "in/a.txt", "a");
  ImageBuilder builder;

  ImageBuildRequest request = Request(dir, {dir / "in/a.txt", dir / "in/gone.txt"});
  ImageBuildResult r = builder.ImageBuildPass(request, 512, 0);
  EXPECT_EQ(r.stage, ImageBuildStage::kAddFiles);
  EXPECT_NE(r.message.find("gone.txt"), std::string::npos) << r.message;
  EXPECT_FALSE(std::filesystem::exists(request.outputPath));

  ASSERT_EQ(::mkfifo((dir / "in/pipe").c_str(), 0600), 0);
  r = builder.ImageBuildPass(Request(dir, {dir / "in/pipe"}), 512, 0);
  EXPECT_EQ(r.stage, ImageBuildStage::kAddFiles);
  EXPECT_NE(r.message.find("pipe"), std::string::npos);
  // Inside a folder a pipe is passed over, as are links.
  ASSERT_TRUE(builder.ImageBuildPass(Request(dir, {dir / "in"}), 512, 0).ok);

  request = Request(dir, {dir / "in/a.txt"});
  request.label = "BAD?";
  EXPECT_EQ(builder.ImageBuildPass(request, 512, 0).stage, ImageBuildStage::kInitVolume);
  request = Request(dir, {dir / "in/a.txt"}, 4);
  EXPECT_EQ(builder.ImageBuildPass(request, 512, 0).stage, ImageBuildStage::kInitVolume) << "too small for FAT16";
  request = Request(dir, {dir / "in/a.txt"});
  request.outputPath = dir / "missing/out.IMG";
  r = builder.ImageBuildPass(request, 512, 0);
  EXPECT_EQ(r.stage, ImageBuildStage::kOutput);
  EXPECT_NE(r.message.find("missing"), std::string::npos) << r.message;
}

TEST(ImageBuild, HostReadProblemsFailWithThePath) {
  TempDir dir;
  oracle::WriteFile(dir / "in/a.txt", "a");
  ImageBuilder builder;
  ASSERT_TRUE(builder.ImageCreateVolume(32768, 512));
  EXPECT_FALSE(builder.AddDirToImage(dir / "in/a.txt", "\\"));
  EXPECT_NE(builder.LastError().find("cannot read folder"), std::string::npos) << builder.LastError();
  // A file whose length is not what it reads as (size 0, content follows) is not truncated silently.
  EXPECT_FALSE(builder.AddFileToImage("/proc/self/status", "\\status"));
  EXPECT_NE(builder.LastError().find("/proc/self/status"), std::string::npos) << builder.LastError();
}

TEST(ImageBuild, UnreadableFoldersFailTheBuild) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
  TempDir dir;
  oracle::WriteFile(dir / "in/locked/a.txt", "a");
  ::chmod((dir / "in/locked").c_str(), 0);
  ImageBuilder builder;
  const ImageBuildResult r = builder.ImageBuildPass(Request(dir, {dir / "in"}), 512, 0);
  ::chmod((dir / "in/locked").c_str(), 0700);
  EXPECT_EQ(r.stage, ImageBuildStage::kAddFiles);
  EXPECT_NE(r.message.find("locked"), std::string::npos) << r.message;
}

TEST(ImageBuild, AFileThatCannotFitFailsBeforeItIsCopied) {
  TempDir dir;
  const std::string big = dir / "big.bin";
  oracle::WriteFile(big, "");
  std::filesystem::resize_file(big, 20u << 20);  // sparse: costs nothing on the host
  ImageBuilder builder;
  ASSERT_TRUE(builder.ImageCreateVolume(32768, 512));
  const std::uint32_t free = builder.Volume().FreeClusterCount();
  EXPECT_FALSE(builder.AddFileToImage(big, "\\big.bin"));
  EXPECT_NE(builder.LastError().find(big), std::string::npos) << builder.LastError();
  EXPECT_EQ(builder.Volume().FreeClusterCount(), free);
  FatEntryRecord record;
  record.longName = u"big.bin";
  builder.Volume().SetCurrentDirectory(0);
  EXPECT_FALSE(builder.Volume().FatFindByLongName(record)) << "no entry was made";
  std::filesystem::resize_file(big, 5ull << 30);
  EXPECT_FALSE(builder.AddFileToImage(big, "\\big.bin"));
  EXPECT_NE(builder.LastError().find("4 GiB"), std::string::npos) << builder.LastError();
}

TEST(ImageBuild, FoldersCopyFilesFirstThenSubFoldersAndSkipHiddenAndEmptyOnes) {
  TempDir dir;
  oracle::WriteFile(dir / "Album/b.mp3", "b");
  oracle::WriteFile(dir / "Album/A.mp3", "a");
  oracle::WriteFile(dir / "Album/Sub/c.mp3", "c");
  oracle::WriteFile(dir / "Album/.hidden/d.mp3", "d");
  std::filesystem::create_directories(dir / "Album/Empty");
  ImageBuilder builder;
  ASSERT_TRUE(builder.ImageCreateVolume(32768, 512));
  ASSERT_TRUE(builder.AddListToImage({dir / "Album"})) << builder.LastError();
  FatVolume& v = builder.Volume();
  FatEntryRecord album;
  album.longName = u"Album";
  v.SetCurrentDirectory(0);
  ASSERT_TRUE(v.FatFindByLongName(album));
  v.SetCurrentDirectory(album.firstCluster);
  // Entries in creation order: ., .., A.mp3, b.mp3, Sub (two entries each).
  std::vector<std::uint8_t> sector(512);
  ASSERT_TRUE(builder.ImageReadSectors(static_cast<std::uint32_t>(v.FatClusterToLba(album.firstCluster)), 1,
                                       sector.data()));
  EXPECT_EQ(std::string(sector.begin() + 3 * 32, sector.begin() + 3 * 32 + 11), "A       MP3");
  EXPECT_EQ(std::string(sector.begin() + 5 * 32, sector.begin() + 5 * 32 + 11), "B       MP3");
  EXPECT_EQ(std::string(sector.begin() + 7 * 32, sector.begin() + 7 * 32 + 11), "SUB        ");
  EXPECT_EQ(sector[8 * 32], 0) << "nothing after Sub: no Empty, no .hidden";
}

}  // namespace

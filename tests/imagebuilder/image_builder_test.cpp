// Building passes from host input. Volumes built from host trees are checked
// by tools nobody here wrote: every slot of the container must pass fsck.fat
// and give back every file through mtools. Failures name their stage and path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "image_oracle.h"
#include "imagebuilder/image_builder.h"
#include "support/unprivileged.h"

using namespace imagebuilder;
using oracle::TempDir;

namespace {

// A host tree touching the awkward cases; returns what the volume must hold
// (relative path -> content).
std::map<std::string, std::string> MakeTree(const TempDir& dir, unsigned clusterBytes) {
  std::map<std::string, std::string> expected;
  auto add = [&](const std::string& rel, std::size_t size, unsigned seed, bool copied = true) {
    const std::string bytes = oracle::Pattern(size, seed);
    oracle::WriteFile(dir / ("src/" + rel), bytes);
    if (copied) expected[rel] = bytes;
  };
  add("Music/readme.txt", 0, 1);                                   // empty file
  add("Music/A Very Long Song Title Number One.mp3", 3 * clusterBytes + 17, 2);
  add("Music/A Very Long Song Title Number Two.mp3", clusterBytes, 3);  // exactly one cluster
  add("Music/exactly13chr", 511, 4);                               // 13-character name
  add("Music/fourteen chars", 513, 5);
  add("Music/Ünïcödé ñame €.txt", 1025, 6);
  add("Music/.hidden", 10, 8, false);                              // hidden: not copied
  add("Music/Deep/Deeper/Deepest/file.bin", 2 * clusterBytes - 1, 9);
  for (int i = 0; i < 40; ++i) add("Music/Many/Same prefix file " + std::to_string(i) + ".dat", 100 + i, 10 + i);
  std::filesystem::create_directories(dir / "src/Music/Empty/Inner");  // no files: does not appear
  std::filesystem::create_symlink("readme.txt", dir / "src/Music/link.txt");  // not followed
  add("top.TXT", 4096, 99);
  return expected;
}

struct OracleCase {
  std::uint32_t sizeMiB;
  const char* name;
};

class OracleVolumes : public ::testing::TestWithParam<OracleCase> {};

TEST_P(OracleVolumes, EverySlotPassesFsckAndGivesBackEveryFile) {
  TempDir dir;
  const auto expected = MakeTree(dir, 32768);
  ImageBuilder builder;
  int progress = 0;
  builder.SetProgressCallback([&] { ++progress; });
  // top.TXT is listed twice: the second copy replaces the first.
  const ImageBuildRequest request{
      {dir / "src/top.TXT", dir / "src/Music", dir / "src/top.TXT"}, GetParam().sizeMiB, "Pass wd", dir / "out.IMG"};
  const ImageBuildResult result = builder.ImageBuildFile(request);
  ASSERT_TRUE(result.ok) << result.message;
  EXPECT_GT(progress, 0);
  EXPECT_EQ(builder.Store().ChunkCount(), 0u) << "the store is discarded after each pass";
  const auto c = oracle::ReadContainer(request.outputPath);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->sizeMiB, GetParam().sizeMiB);
  EXPECT_EQ(c->slots[0].sectorSize, 512u);
  EXPECT_EQ(c->slots[1].sectorSize, 1024u);

  for (int slot = 0; slot < 2; ++slot) {
    SCOPED_TRACE("slot " + std::to_string(slot));
    const std::string raw = dir / ("slot" + std::to_string(slot) + ".raw");
    const auto fsck = oracle::ExtractAndFsck(request.outputPath, slot, raw);
    EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
    const auto mdir = oracle::Run("mdir -/ -i " + oracle::Quote(raw) + " ::");
    EXPECT_EQ(mdir.exitCode, 0) << mdir.output;
    EXPECT_NE(mdir.output.find("PASS WD"), std::string::npos) << mdir.output;
    std::string log;
    const auto files = oracle::VolumeFiles(raw, dir / ("out" + std::to_string(slot)), &log);
    EXPECT_EQ(files.size(), expected.size()) << log;
    for (const auto& [rel, bytes] : expected) {
      const auto it = files.find(rel);
      ASSERT_NE(it, files.end()) << rel << " missing; " << log;
      EXPECT_TRUE(it->second == bytes) << rel << " differs";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Fat16AndFat32, OracleVolumes,
                         ::testing::Values(OracleCase{32, "Fat16"}, OracleCase{2049, "Fat32"}),
                         [](const auto& info) { return std::string(info.param.name); });

ImageBuildRequest Request(const TempDir& dir, std::vector<std::string> entries, std::uint32_t sizeMiB = 16,
                          std::string label = "PASS WD", std::string output = "out.IMG") {
  return ImageBuildRequest{std::move(entries), sizeMiB, std::move(label), dir / output};
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ImageBuild, FailuresNameTheStageAndThePath) {
  TempDir dir;
  oracle::WriteFile(dir / "in/a.txt", "a");
  ImageBuilder builder;
  ImageBuildRequest request = Request(dir, {dir / "in/a.txt", dir / "in/gone.txt"});
  ImageBuildResult r = builder.ImageBuildPass(request, 512, 0);
  EXPECT_EQ(r.stage, ImageBuildStage::kAddFiles);
  EXPECT_TRUE(Has(r.message, "gone.txt")) << r.message;
  EXPECT_FALSE(std::filesystem::exists(request.outputPath));

  ASSERT_EQ(::mkfifo((dir / "in/pipe").c_str(), 0600), 0);
  r = builder.ImageBuildPass(Request(dir, {dir / "in/pipe"}), 512, 0);
  EXPECT_EQ(r.stage, ImageBuildStage::kAddFiles);
  EXPECT_TRUE(Has(r.message, "pipe")) << r.message;
  // Inside a folder a pipe is passed over, as are links.
  ASSERT_TRUE(builder.ImageBuildPass(Request(dir, {dir / "in"}), 512, 0).ok);

  EXPECT_EQ(builder.ImageBuildPass(Request(dir, {dir / "in/a.txt"}, 16, "BAD?"), 512, 0).stage,
            ImageBuildStage::kInitVolume);
  EXPECT_EQ(builder.ImageBuildPass(Request(dir, {dir / "in/a.txt"}, 4), 512, 0).stage, ImageBuildStage::kInitVolume)
      << "too small for FAT16";
  r = builder.ImageBuildPass(Request(dir, {dir / "in/a.txt"}, 16, "PASS WD", "missing/out.IMG"), 512, 0);
  EXPECT_EQ(r.stage, ImageBuildStage::kOutput);
  EXPECT_TRUE(Has(r.message, "missing")) << r.message;

  ASSERT_TRUE(builder.ImageCreateVolume(32768, 512));
  EXPECT_FALSE(builder.AddDirToImage(dir / "in/a.txt", "\\"));
  EXPECT_TRUE(Has(builder.LastError(), "cannot read folder")) << builder.LastError();
  // A file whose length is not what it reads as (size 0, content follows) is not truncated silently.
  EXPECT_FALSE(builder.AddFileToImage("/proc/self/status", "\\status"));
  EXPECT_TRUE(Has(builder.LastError(), "/proc/self/status")) << builder.LastError();
}

TEST(ImageBuild, UnreadableFoldersFailTheBuild) {
  TempDir dir;
  oracle::WriteFile(dir / "in/locked/a.txt", "a");
  ::chmod((dir / "in/locked").c_str(), 0);
  ::chmod(dir.path().c_str(), 0777);  // the output is written beside the input
  ImageBuildResult r;
  testing_support::RunUnprivileged([&] {  // permissions do not apply to root
    ImageBuilder builder;
    r = builder.ImageBuildPass(Request(dir, {dir / "in"}), 512, 0);
  });
  ::chmod((dir / "in/locked").c_str(), 0700);
  EXPECT_EQ(r.stage, ImageBuildStage::kAddFiles);
  EXPECT_TRUE(Has(r.message, "locked")) << r.message;
}

}  // namespace

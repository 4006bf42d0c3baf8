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
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
  TempDir dir;
  oracle::WriteFile(dir / "in/locked/a.txt", "a");
  ::chmod((dir / "in/locked").c_str(), 0);
  ImageBuilder builder;
  const ImageBuildResult r = builder.ImageBuildPass(Request(dir, {dir / "in"}), 512, 0);
  ::chmod((dir / "in/locked").c_str(), 0700);
  EXPECT_EQ(r.stage, ImageBuildStage::kAddFiles);
  EXPECT_TRUE(Has(r.message, "locked")) << r.message;
}

}  // namespace

// Building passes from host input. Volumes built from host trees are checked
// by tools nobody here wrote: every slot of the container must pass fsck.fat
// and give back every file through mtools. Failures name their stage and path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "image_oracle.h"
#include "imagebuilder/image_builder.h"
#include "platform/locale/locale.h"
#include "support/random_tree.h"

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
  // Links are copied as what they name, under their own names.
  std::filesystem::create_symlink("fourteen chars", dir / "src/Music/link.txt");
  expected["Music/link.txt"] = expected["Music/fourteen chars"];
  add("elsewhere/inner.bin", 700, 11, false);
  std::filesystem::create_directory_symlink(dir / "src/elsewhere", dir / "src/Music/Linked folder");
  expected["Music/Linked folder/inner.bin"] = oracle::Pattern(700, 11);
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

  ImagePlan plan;
  ASSERT_TRUE(builder.PlanList(request.entries, plan)) << builder.LastError();
  for (int slot = 0; slot < 2; ++slot) {
    SCOPED_TRACE("slot " + std::to_string(slot));
    std::uint64_t predicted = 0;
    ASSERT_TRUE(builder.CheckRoom(plan, request.label, request.sizeMiB, c->slots[slot].sectorSize, slot == 0, &predicted));
    EXPECT_EQ(predicted, c->slots[slot].records) << "the room check counts what the slot saves";
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

// Property: any tree built into an image gives every file back through mtools
// from both slots, which fsck.fat finds clean, and the room check foresaw
// every sector each slot saved.
struct TreeCase {
  unsigned seed;
  std::uint32_t sizeMiB;
};

class ImageTrees : public ::testing::TestWithParam<TreeCase> {};

TEST_P(ImageTrees, BothSlotsGiveBackEveryFileOfAGeneratedTree) {
  TempDir dir;
  const auto layout = FatComputeLayout(512, (std::uint64_t{GetParam().sizeMiB} << 20) / 512);
  ASSERT_TRUE(layout);
  testing_support::RandomTreeMaker maker(GetParam().seed, layout->sectorsPerCluster * 512);
  const testing_support::RandomTree tree = maker.Make(dir / "in/Tree");
  // The tree's folder, and one of its files again on its own, into the root.
  const std::string single = tree.files.rbegin()->first;
  const ImageBuildRequest request{{dir / "in/Tree", dir / ("in/Tree/" + single)}, GetParam().sizeMiB, "TREE",
                                  dir / "out.IMG"};
  ImageBuilder builder;
  const ImageBuildResult result = builder.ImageBuildFile(request);
  ASSERT_TRUE(result.ok) << result.message;
  std::map<std::string, std::string> expected;
  for (const auto& [rel, bytes] : tree.files) expected["Tree/" + rel] = bytes;
  expected[single.substr(single.rfind('/') + 1)] = tree.files.at(single);

  const auto c = oracle::ReadContainer(request.outputPath);
  ASSERT_TRUE(c);
  ImagePlan plan;
  ASSERT_TRUE(builder.PlanList(request.entries, plan)) << builder.LastError();
  for (int slot = 0; slot < 2; ++slot) {
    SCOPED_TRACE(testing::Message() << "slot " << slot);
    std::uint64_t predicted = 0;
    ASSERT_TRUE(builder.CheckRoom(plan, request.label, request.sizeMiB, c->slots[slot].sectorSize, slot == 0, &predicted));
    EXPECT_EQ(predicted, c->slots[slot].records);
    const std::string raw = dir / "slot.raw";
    const auto fsck = oracle::ExtractAndFsck(request.outputPath, slot, raw);
    EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
    std::string log;
    std::filesystem::remove_all(dir / "out");
    EXPECT_TRUE(oracle::VolumeFiles(raw, dir / "out", &log) == expected) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ImageTrees,
                         ::testing::Values(TreeCase{1, 16}, TreeCase{2, 32}, TreeCase{3, 64}, TreeCase{4, 16},
                                           TreeCase{5, 32}, TreeCase{6, 2049}),
                         [](const auto& info) { return "seed" + std::to_string(info.param.seed); });

ImageBuildRequest Request(const TempDir& dir, std::vector<std::string> entries, std::uint32_t sizeMiB = 16,
                          std::string label = "PASS WD", std::string output = "out.IMG") {
  return ImageBuildRequest{std::move(entries), sizeMiB, std::move(label), dir / output};
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The station's ANSI code page for the life of the object, from a language.
struct AnsiCodePage {
  explicit AnsiCodePage(platform::LANGID language) { platform::SetSystemDefaultLangIDOverride(language); }
  ~AnsiCodePage() { platform::SetSystemDefaultLangIDOverride(std::nullopt); }
};

TEST(ImageBuild, AChineseLabelIsWrittenInTheStationsCodePage) {
  TempDir dir;
  oracle::WriteFile(dir / "in/song.mp3", oracle::Pattern(5000, 1));
  oracle::WriteFile(dir / "mtoolsrc", "default_codepage=936\n");
  const AnsiCodePage chinese(platform::LANG_CHINESE_PRC);
  ImageBuilder builder;
  const ImageBuildRequest request = Request(dir, {dir / "in"}, 16, "音乐");
  ASSERT_TRUE(builder.ImageBuildFile(request).ok) << builder.LastError();
  for (int slot = 0; slot < 2; ++slot) {
    SCOPED_TRACE(slot);
    const std::string raw = dir / ("slot" + std::to_string(slot) + ".raw");
    // fsck.fat 4.2 calls every label byte above 0x7F invalid, whatever the
    // code page (fatlabel refuses them as "below 0x20"): its one finding may
    // be the label, nothing else.
    const auto fsck = oracle::ExtractAndFsck(request.outputPath, slot, raw);
    for (const std::string& finding : oracle::FsckFindings(fsck.output)) EXPECT_TRUE(Has(finding, "abel")) << finding;
    const auto label = oracle::Run("LC_ALL=C.UTF-8 MTOOLSRC=" + oracle::Quote(dir / "mtoolsrc") + " mlabel -s -i " +
                                   oracle::Quote(raw) + " ::");
    EXPECT_TRUE(Has(label.output, "Volume label is 音乐 ")) << label.output;
    EXPECT_EQ(oracle::VolumeFiles(raw, dir / ("out" + std::to_string(slot))).at("in/song.mp3"),
              oracle::Pattern(5000, 1));
  }
}

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
  // Inside a folder a pipe is passed over.
  ASSERT_TRUE(builder.ImageBuildPass(Request(dir, {dir / "in"}), 512, 0).ok);

  EXPECT_EQ(builder.ImageBuildPass(Request(dir, {dir / "in/a.txt"}, 16, "BAD?"), 512, 0).stage,
            ImageBuildStage::kInitVolume);
  {
    const AnsiCodePage western(platform::LANG_ENGLISH_US);
    r = builder.ImageBuildPass(Request(dir, {dir / "in/a.txt"}, 16, "MÜSIC音"), 512, 0);
    EXPECT_TRUE(Has(r.message, "'音'")) << "the character shown whole: " << r.message;
  }
  EXPECT_EQ(builder.ImageBuildPass(Request(dir, {dir / "in/a.txt"}, 4), 512, 0).stage, ImageBuildStage::kInitVolume)
      << "too small for FAT16";
  r = builder.ImageBuildPass(Request(dir, {dir / "in/a.txt"}, 16, "PASS WD", "missing/out.IMG"), 512, 0);
  EXPECT_EQ(r.stage, ImageBuildStage::kOutput);
  EXPECT_TRUE(Has(r.message, "missing")) << r.message;

  ASSERT_TRUE(builder.ImageCreateVolume(32768, 512));
  EXPECT_FALSE(builder.AddDirToImage(dir / "in/a.txt", "\\"));
  EXPECT_TRUE(Has(builder.LastError(), "cannot read " + dir / "in/a.txt")) << builder.LastError();
  // A file whose length is not what it reads as (size 0, content follows) is not truncated silently.
  EXPECT_FALSE(builder.AddFileToImage("/proc/self/status", "\\status"));
  EXPECT_TRUE(Has(builder.LastError(), "/proc/self/status")) << builder.LastError();
}

TEST(ImageBuild, AFolderThatCannotBeReadFailsTheBuild) {
  TempDir dir;
  oracle::WriteFile(dir / "in/a.txt", "a");
  oracle::WriteFile(dir / "in/locked/b.txt", "b");
  ImageBuilder builder;
  int calls = 0;
  // The folder goes away after its parent was read and before it is (progress
  // runs for the listed entry, then for a.txt, then for the folder itself).
  builder.SetProgressCallback([&] {
    if (++calls == 3) std::filesystem::remove_all(dir / "in/locked");
  });
  const ImageBuildResult r = builder.ImageBuildFile(Request(dir, {dir / "in"}));
  EXPECT_EQ(r.stage, ImageBuildStage::kAddFiles);
  EXPECT_TRUE(Has(r.message, "cannot read " + dir / "in/locked")) << r.message;
}

TEST(ImageBuild, AFailureInTheSecondPassLeavesTheEarlierOutput) {
  TempDir dir;
  oracle::WriteFile(dir / "in/song.mp3", oracle::Pattern(5000, 1));
  const ImageBuildRequest request = Request(dir, {dir / "in"}, 16, "PASS WD", "out.IMG");
  ImageBuilder builder;
  ASSERT_TRUE(builder.ImageBuildFile(request).ok);
  const std::string earlier = oracle::ReadFile(request.outputPath);
  builder.SetProgressCallback([&] {
    if (builder.Volume().Geometry().bytesPerSector == 1024) std::filesystem::remove(dir / "in/song.mp3");
  });
  const ImageBuildResult r = builder.ImageBuildFile(request);
  EXPECT_EQ(r.stage, ImageBuildStage::kAddFiles);
  EXPECT_TRUE(Has(r.message, dir / "in/song.mp3")) << r.message;
  EXPECT_TRUE(oracle::ReadFile(request.outputPath) == earlier);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2) << "no temporary file left";
}


// Host trees that must fail the build, naming the host paths, and leave an
// earlier output file byte for byte as it was.
struct HostTreeCase {
  const char* name;
  // Makes the tree under `in` and returns the list entries.
  std::function<std::vector<std::string>(const std::string& in, const std::string& output)> make;
  std::vector<std::string> named;  // paths below `in` the message must name
  std::uint32_t sizeMiB = 16;
  std::string mentions = {};  // and a text it must hold
};

std::vector<std::string> Files(const std::string& in, std::vector<std::string> rels) {
  for (const std::string& rel : rels) oracle::WriteFile(in + "/" + rel, rel);
  return {in};
}

std::string Sparse(const std::string& path, std::uint64_t size) {
  oracle::WriteFile(path, "");
  std::filesystem::resize_file(path, size);
  return path;
}

TEST(ImageBuild, HostTreesThatWouldLoseFilesFailAndLeaveTheEarlierOutput) {
  // At 131 MiB the 1024-byte slot has one cluster fewer than the 512-byte one.
  const auto small = FatComputeLayout(512, (131ull << 20) / 512);
  const auto large = FatComputeLayout(1024, (131ull << 20) / 1024);
  ASSERT_TRUE(small && large);
  ASSERT_EQ(small->clusterCount, large->clusterCount + 1);
  const std::uint64_t fillsFirstSlot = std::uint64_t{small->clusterCount} * 4096;

  const HostTreeCase cases[] = {
      {"backslash in a file name beside its folder",
       [](const std::string& in, const std::string&) { return Files(in, {"top/file.txt", "top\\file.txt"}); },
       {"top\\file.txt"},
       16,
       "separates folders"},
      {"backslash in a file name inside a folder",
       [](const std::string& in, const std::string&) { return Files(in, {"sub/ok.txt", "sub/sub\\evil.txt"}); },
       {"sub/sub\\evil.txt"}},
      {"backslash in a folder name",
       [](const std::string& in, const std::string&) { return Files(in, {"a\\b/x.txt"}); },
       {"a\\b"}},
      {"case-equal names in one folder",
       [](const std::string& in, const std::string&) { return Files(in, {"readme.txt", "ReadMe.Txt", "x.txt"}); },
       {"ReadMe.Txt", "readme.txt"}},
      {"a long name beside the short name it gets",
       [](const std::string& in, const std::string&) { return Files(in, {"Long File Name.txt", "longfi~1.txt"}); },
       {"Long File Name.txt", "longfi~1.txt"}},
      {"case-equal folders with one file name",
       [](const std::string& in, const std::string&) { return Files(in, {"Music/same.txt", "music/same.txt"}); },
       {"Music/same.txt", "music/same.txt"}},
      {"listed folders of one name",
       [](const std::string& in, const std::string&) {
         Files(in, {"x/Music/a.txt", "x/Music/same.txt", "y/MUSIC/same.txt"});
         return std::vector<std::string>{in + "/x/Music", in + "/y/MUSIC"};
       },
       {"x/Music/same.txt", "y/MUSIC/same.txt"}},
      {"full-width case pair",
       [](const std::string& in, const std::string&) { return Files(in, {"d/\uFF21", "d/\uFF41"}); },
       {"d/\uFF21", "d/\uFF41"}},
      {"a file and a folder of one name",
       [](const std::string& in, const std::string&) {
         Files(in, {"Data", "dir/data/inner.txt"});
         return std::vector<std::string>{in + "/Data", in + "/dir/data"};
       },
       {"Data", "dir/data"}},
      {"a link to nothing",
       [](const std::string& in, const std::string&) {
         std::filesystem::create_directories(in + "/d");
         std::filesystem::create_symlink("gone.mp3", in + "/d/song.mp3");
         return Files(in, {"d/ok.txt"});
       },
       {"d/song.mp3"},
       16,
       "which does not exist"},
      {"a link listed alone to a pipe",
       [](const std::string& in, const std::string&) {
         std::filesystem::create_directories(in);
         ::mkfifo((in + "/pipe").c_str(), 0600);
         std::filesystem::create_symlink(in + "/pipe", in + "/link");
         return std::vector<std::string>{in + "/link"};
       },
       {"link"},
       16,
       "neither a file nor a folder"},
      {"a link back into the listed folder",
       [](const std::string& in, const std::string&) {
         Files(in, {"d/a.txt", "d/sub/b.txt"});
         std::filesystem::create_directory_symlink("..", in + "/d/sub/up");
         return std::vector<std::string>{in + "/d"};
       },
       {"d/sub/up"},
       16,
       "a folder that holds it"},
      {"device name of a folder",
       [](const std::string& in, const std::string&) { return Files(in, {"Lpt9.d/a.txt"}); },
       {"Lpt9.d"}},
      {"device name listed alone",
       [](const std::string& in, const std::string&) {
         Files(in, {"nul.txt"});
         return std::vector<std::string>{in + "/nul.txt"};
       },
       {"nul.txt"}},
      {"the output file itself listed",
       [](const std::string& in, const std::string& output) { return std::vector<std::string>{in, output}; },
       {"out.IMG"}},
      {"fits the 512-byte slot, not the 1024-byte slot",
       [&](const std::string& in, const std::string&) {
         return std::vector<std::string>{Sparse(in + "/big.bin", fillsFirstSlot)};
       },
       {"big.bin"},
       131,
       "1024-byte sectors"},
      {"second slot beyond 4 GiB",
       [](const std::string& in, const std::string&) {
         Sparse(in + "/a.bin", 2200000000u);
         Sparse(in + "/b.bin", 2200000000u);
         return std::vector<std::string>{in};
       },
       {"b.bin"},
       8192,
       "4 GiB"},
  };
  for (const HostTreeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string in = dir / "in", output = in + "/out.IMG";
    const std::string earlier = oracle::Pattern(1000, 7);
    oracle::WriteFile(output, earlier);
    const std::vector<std::string> entries = c.make(in, output);
    ImageBuilder builder;
    const ImageBuildResult r = builder.ImageBuildFile(ImageBuildRequest{entries, c.sizeMiB, "PASS WD", output});
    EXPECT_FALSE(r.ok);
    for (const std::string& rel : c.named) EXPECT_TRUE(Has(r.message, in + "/" + rel)) << r.message;
    EXPECT_TRUE(Has(r.message, c.mentions)) << r.message;
    EXPECT_TRUE(oracle::ReadFile(output) == earlier) << "the earlier output changed";
    for (const auto& e : std::filesystem::directory_iterator(in))
      EXPECT_FALSE(Has(e.path().filename().string(), ".tmp-")) << "left behind: " << e.path();
  }
}

TEST(ImageBuild, AnOutputInsideAListedFolderIsLeftOutOfBothSlots) {
  TempDir dir;
  oracle::WriteFile(dir / "in/song.mp3", oracle::Pattern(5000, 1));
  oracle::WriteFile(dir / "in/sub/note.txt", "note");
  const ImageBuildRequest request = Request(dir, {dir / "in"}, 16, "PASS WD", "in/out.IMG");
  ImageBuilder builder;
  for (int build = 0; build < 2; ++build) {  // the second build finds the first one's output in the folder
    SCOPED_TRACE("build " + std::to_string(build));
    ASSERT_TRUE(builder.ImageBuildFile(request).ok) << builder.LastError();
    std::map<std::string, std::string> slots[2];
    for (int slot = 0; slot < 2; ++slot) {
      const std::string raw = dir / ("slot" + std::to_string(slot) + ".raw");
      const auto fsck = oracle::ExtractAndFsck(request.outputPath, slot, raw);
      EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
      slots[slot] = oracle::VolumeFiles(raw, dir / ("out" + std::to_string(build) + std::to_string(slot)));
    }
    EXPECT_EQ(slots[0].size(), 2u);
    EXPECT_TRUE(slots[0].contains("in/song.mp3") && slots[0].contains("in/sub/note.txt"));
    EXPECT_TRUE(slots[0] == slots[1]) << "both slots hold the same files";
  }
}

}  // namespace

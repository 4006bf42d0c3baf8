// The drive's file system on image files bound to drive letters: queries,
// label, folders and files written by the FAT writer, checked with fsck.fat
// and mtools. Formatting is tested through the production stage.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>

#include "platform/drive/drive.h"
#include "platform/locale/locale.h"
#include "platform/volumes/volumes.h"
#include "support/fat_oracle.h"
#include "support/temp_dir.h"

using namespace platform;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct Layout {
  const char* name;
  std::uint64_t megabytes;
  const char* mkfs;  // switches
  int fatBits;
  std::uint32_t sectorSize;
};

class DriveTest : public ::testing::Test {
 protected:
  TempDir tmp{"drive"};
  std::string image = tmp / "disk.img";

  void SetUp() override { Volumes().Clear(); }
  void TearDown() override { Volumes().Clear(); }

  void Make(std::uint64_t megabytes, const std::string& mkfs) {
    fs::resize_file(fs::path(image), 0);
    fs::resize_file(fs::path(image), megabytes << 20);
    ASSERT_EQ(Shell("mkfs.fat " + mkfs + " " + Quote(image)), 0);
  }
  void Bind() {
    Volumes().Unmount('E');
    ASSERT_TRUE(Volumes().Mount('E', nullptr, image));
  }
  void SetUpImage(std::uint64_t megabytes, const std::string& mkfs) {
    std::ofstream(image, std::ios::binary).close();
    Make(megabytes, mkfs);
    Bind();
  }
};

}  // namespace

TEST(DrivePath, ParsesRootsAndPaths) {
  struct Case {
    const char* text;
    char letter;
    const char* path;
  } cases[] = {{"E:\\", 'E', ""}, {"e:", 'E', ""}, {"G:\\music\\pop\\a.mp3", 'G', "music/pop/a.mp3"},
               {"F:/x//y/", 'F', "x/y"}};
  for (const Case& c : cases) {
    auto p = ParseDrivePath(c.text);
    ASSERT_TRUE(p) << c.text;
    EXPECT_EQ(p->letter, c.letter);
    EXPECT_EQ(p->path, c.path);
  }
  for (const char* bad : {"", "E", "1:\\", "\\\\.\\E:", "/tmp"}) EXPECT_FALSE(ParseDrivePath(bad)) << bad;
}

TEST_F(DriveTest, QueriesAnswerPerLayoutAndFailWithoutAFileSystem) {
  const Layout layouts[] = {{"FAT12", 4, "-F 12", 12, 512},
                            {"FAT16", 64, "-F 16", 16, 512},
                            {"FAT16 2048-byte sectors", 64, "-S 2048 -s 4", 16, 2048},
                            {"FAT32", 300, "-F 32", 32, 512}};
  std::ofstream(image, std::ios::binary).close();
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.name);
    Make(l.megabytes, l.mkfs + std::string(" -n BEFORE"));
    Bind();
    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("E:\\", &spc, &bps, &freeClusters, &total));
    EXPECT_EQ(bps, l.sectorSize);
    EXPECT_GT(total, 0u);
    // FAT32 keeps its root folder in a cluster of its own.
    EXPECT_EQ(freeClusters, l.fatBits == 32 ? total - 1 : total);
    char name[256] = {}, fsName[16] = {};
    ASSERT_TRUE(GetVolumeInformationA("E:\\", name, sizeof name, nullptr, nullptr, nullptr, fsName, sizeof fsName));
    EXPECT_STREQ(name, "BEFORE");
    // The label in the station's ANSI code page; what the disk check refuses is refused.
    const struct {
      LANGID language;
      const char* label;
      bool set;
      const char* reads;
    } labels[] = {{LANG_ENGLISH_US, "Station 1", true, "STATION 1"},
                  {LANG_ENGLISH_US, "\u97f3\u4e50", false, "STATION 1"},  // 1252 has no such characters
                  {LANG_ENGLISH_US, "A*B", false, "STATION 1"},
                  {LANG_ENGLISH_US, "TWELVE CHARS", false, "STATION 1"},
                  {LANG_CHINESE_PRC, "\u97f3\u4e50", true, "\u97f3\u4e50"},
                  {LANG_CHINESE_TAIWAN, "\u97f3\u6a02", true, "\u97f3\u6a02"},
                  {LANG_ENGLISH_US, "", true, ""},
                  {LANG_ENGLISH_US, "ELEVENCHARS", true, "ELEVENCHARS"}};
    for (const auto& c : labels) {
      SetSystemDefaultLangIDOverride(c.language);
      EXPECT_EQ(SetVolumeLabelA("E:\\", c.label) != 0, c.set) << c.label;
      ASSERT_TRUE(GetVolumeInformationA("E:\\", name, sizeof name, nullptr, nullptr, nullptr, nullptr, 0));
      EXPECT_STREQ(name, c.reads) << c.label;
    }
    SetSystemDefaultLangIDOverride(std::nullopt);
    EXPECT_TRUE(FsckClean(image));
  }
  // Zeroed disk, unbound letter: no file system to answer.
  fs::resize_file(fs::path(image), 0);
  fs::resize_file(fs::path(image), 8 << 20);
  char name[32];
  EXPECT_FALSE(GetDiskFreeSpaceA("E:\\", nullptr, nullptr, nullptr, nullptr));
  EXPECT_FALSE(GetVolumeInformationA("E:\\", name, sizeof name, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_FALSE(SetVolumeLabelA("E:\\", "X"));
  EXPECT_FALSE(GetDiskFreeSpaceA("Q:\\", nullptr, nullptr, nullptr, nullptr));
}

TEST_F(DriveTest, CopiedTreeReadsBackByteForByteOnEveryLayout) {
  const Layout layouts[] = {{"FAT12", 8, "-F 12", 12, 512},
                            {"FAT16", 64, "-F 16", 16, 512},
                            {"FAT16 2048-byte sectors", 64, "-S 2048 -s 4", 16, 2048},
                            {"FAT32", 300, "-F 32", 32, 512}};
  const fs::path host = tmp / "host";
  // Sizes around the cluster size, names in every short/long form, a folder
  // whose entries need several clusters and colliding short names.
  const std::pair<const char*, std::size_t> files[] = {
      {"EMPTY.TXT", 0},        {"one.bin", 1},         {"Mixed Case Name.mp3", 2048},
      {"README", 4096},        {"UPPER.DAT", 4097},    {"readme.txt", 65537},
      {"a.b.c.d", 3},          {"song,01;x.wma", 777}, {"music/pop/Track 1.mp3", 300000},
      {"music/pop/track 2.MP3", 10}, {"music/empty/.keep", 0}};
  for (const auto& [name, size] : files) WritePattern(host / name, size, static_cast<unsigned>(size));
  for (int i = 0; i < 300; ++i) WritePattern(host / "many" / ("SharedPrefix title " + std::to_string(i) + ".mp3"), 20, i);

  std::ofstream(image, std::ios::binary).close();
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.name);
    Make(l.megabytes, l.mkfs);
    Bind();
    DriveSession s;
    ASSERT_TRUE(s.Open('E')) << s.Error();
    for (auto it = fs::recursive_directory_iterator(host); it != fs::recursive_directory_iterator(); ++it) {
      const std::string rel = fs::relative(it->path(), host).string();
      if (it->is_directory()) {
        ASSERT_TRUE(s.MakeFolder(rel)) << rel << ": " << s.Error();
        ASSERT_TRUE(s.MakeFolder(rel)) << "an existing folder is fine";
      } else {
        ASSERT_TRUE(s.CopyFile(it->path().string(), rel, true)) << rel << ": " << s.Error();
      }
    }
    EXPECT_TRUE(s.FolderExists("MUSIC/Pop"));
    EXPECT_FALSE(s.FolderExists("readme.txt"));
    ASSERT_TRUE(s.Close());
    EXPECT_TRUE(FsckClean(image));
    EXPECT_EQ(VolumeTree(image, tmp / "back"), Tree(host));
  }
}

TEST_F(DriveTest, ReplacingFullDiskAndBadNamesLeaveAConsistentVolume) {
  SetUpImage(16, "-F 16");
  const fs::path big = tmp / "big.bin", small = tmp / "small.bin", huge = tmp / "huge.bin";
  WritePattern(big, 3 << 20, 1);
  WritePattern(small, 1000, 2);
  WritePattern(huge, 40 << 20, 3);
  std::string error;
  ASSERT_TRUE(CopyFileToDrive(big.string(), "E:\\a.bin", false, &error)) << error;
  EXPECT_FALSE(CopyFileToDrive(small.string(), "E:\\A.BIN", true, &error));
  ASSERT_TRUE(CopyFileToDrive(small.string(), "E:\\A.BIN", false, &error)) << error;  // replaces, frees its room
  ASSERT_TRUE(CopyFileToDrive(big.string(), "E:\\b.bin", false, &error)) << error;
  ASSERT_TRUE(CopyFileToDrive(small.string(), "E:\\b.bin", false, &error)) << error;

  EXPECT_FALSE(CopyFileToDrive(huge.string(), "E:\\huge.bin", false, &error));
  EXPECT_NE(error.find("full"), std::string::npos) << error;
  // A replacement too large for the disk is refused before the old file is touched.
  EXPECT_FALSE(CopyFileToDrive(huge.string(), "E:\\b.bin", false, &error));
  for (const char* bad : {"E:\\what?.mp3", "E:\\bad\xFF.mp3", "E:\\no\\such\\folder.mp3"})
    EXPECT_FALSE(CopyFileToDrive(small.string(), bad, false, &error)) << bad;
  EXPECT_FALSE(CopyFileToDrive(tmp / "missing", "E:\\m.bin", false, &error));
  EXPECT_FALSE(CopyFileToDrive(tmp.path, "E:\\dir.bin", false, &error)) << "a folder is no file";

  EXPECT_TRUE(FsckClean(image));
  auto back = VolumeTree(image, tmp / "back");
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back["a.bin"], ReadFile(small));
  EXPECT_EQ(back["b.bin"], ReadFile(small));
  DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
  ASSERT_TRUE(GetDiskFreeSpaceA("E:\\", &spc, &bps, &freeClusters, &total));
  EXPECT_EQ(freeClusters, total - 2) << "freed clusters are counted free again";
}

// A boot sector whose regions do not fit the disk is no file system: every
// answer says so, nothing is allocated for it and nothing written past the end.
TEST_F(DriveTest, ABootSectorThatDoesNotFitTheDiskIsNoFileSystem) {
  const fs::path song = tmp / "song.mp3";
  WritePattern(song, 3000, 4);
  const struct {
    const char* name;
    std::function<void()> make;
  } cases[] = {
      {"one block lost at the end",
       [&] {
         Make(16, "-F 16");
         fs::resize_file(fs::path(image), (16 << 20) - 65536);
       }},
      {"a short image",
       [&] {
         Make(1, "-F 12");
         fs::resize_file(fs::path(image), 1376);
       }},
      {"a FAT of a gigabyte in 513 bytes",
       [&] {
         std::string boot(513, '\0');
         auto put = [&](std::size_t at, std::uint32_t v, int bytes) {
           for (int i = 0; i < bytes; ++i) boot[at + i] = static_cast<char>(v >> (8 * i));
         };
         const std::uint32_t clusters = 0x0FFFFF00, fatSectors = clusters / 128 + 1;
         put(0, 0x9058EB, 3);
         put(11, 512, 2);
         put(13, 8, 1);
         put(14, 32, 2);
         put(16, 2, 1);
         put(21, 0xF8, 1);
         put(32, 32 + 2 * fatSectors + 8 * clusters, 4);
         put(36, fatSectors, 4);
         put(44, 2, 4);
         put(510, 0xAA55, 2);
         std::ofstream(image, std::ios::binary | std::ios::trunc) << boot;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(image, std::ios::binary).close();
    c.make();
    Bind();
    const auto size = fs::file_size(image);
    char name[32];
    EXPECT_FALSE(GetDiskFreeSpaceA("E:\\", nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(GetVolumeInformationA("E:\\", name, sizeof name, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_FALSE(SetVolumeLabelA("E:\\", "X"));
    std::string error;
    EXPECT_FALSE(CopyFileToDrive(song.string(), "E:\\song.mp3", false, &error));
    EXPECT_NE(error.find("no FAT file system"), std::string::npos) << error;
    EXPECT_EQ(fs::file_size(image), size) << "nothing written past the disk's end";
  }
}

// A host name holding "\" (legal on the host) is one name: refused naming why,
// never taken as a folder and a file, whether or not that folder exists.
TEST_F(DriveTest, AHostNameHoldingABackslashIsRefusedNotSplit) {
  SetUpImage(16, "-F 16");
  const fs::path song = tmp / "a\\b.mp3";
  WritePattern(song, 700, 5);
  for (const bool folderExists : {false, true}) {
    SCOPED_TRACE(folderExists ? "folder a exists" : "fresh disk");
    DriveSession s;
    ASSERT_TRUE(s.Open('E')) << s.Error();
    if (folderExists) {
      ASSERT_TRUE(s.MakeFolder("a"));
    }
    for (const char* path : {"a\\b.mp3", "music/a\\b.mp3"}) {
      EXPECT_FALSE(s.CopyFile(song.string(), path, false)) << path;
      EXPECT_NE(s.Error().find("\"\\\", which separates folders"), std::string::npos) << s.Error();
    }
    EXPECT_FALSE(s.MakeFolder("x\\y"));
    EXPECT_NE(s.Error().find("separates folders"), std::string::npos) << s.Error();
    EXPECT_FALSE(s.FolderExists("a\\"));
    ASSERT_TRUE(s.Close());
  }
  EXPECT_TRUE(FsckClean(image));
  EXPECT_TRUE(VolumeTree(image, tmp / "back").empty()) << "nothing landed as a/b.mp3";
  EXPECT_EQ(Shell("mdir -i " + Quote(image) + " ::/a"), 0) << "the folder made stays";
}

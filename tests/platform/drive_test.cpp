// The drive's file system on image files bound to drive letters: queries,
// label, folders and files written by the FAT writer, checked with fsck.fat
// and mtools. Formatting is tested through the production stage.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>

#include "platform/codepage/codepage.h"
#include "platform/drive/drive.h"
#include "platform/locale/locale.h"
#include "platform/volumes/volumes.h"
#include "support/fat_oracle.h"
#include "support/file_size_limit.h"
#include "support/random_tree.h"
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

std::string ReadBytes(const std::string& path, std::uint64_t offset, std::size_t size) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(size, '\0');
  in.seekg(static_cast<std::streamoff>(offset)).read(bytes.data(), static_cast<std::streamsize>(size));
  return bytes;
}

void WriteBytes(const std::string& path, std::uint64_t offset, const std::string& bytes) {
  std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(offset)).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::uint32_t LeAt(const std::string& bytes, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(bytes[at + i]);
  return v;
}

// Where the root folder's first entry lies on the disk (its first cluster on FAT32).
std::uint64_t RootOffset(const std::string& image) {
  const std::string boot = ReadBytes(image, 0, 512);
  const std::uint64_t bps = LeAt(boot, 11, 2), reserved = LeAt(boot, 14, 2), fats = LeAt(boot, 16, 1);
  const std::uint64_t fatSize = LeAt(boot, 22, 2) != 0 ? LeAt(boot, 22, 2) : LeAt(boot, 36, 4);
  const std::uint64_t afterFats = reserved + fats * fatSize;
  if (LeAt(boot, 17, 2) != 0) return afterFats * bps;
  return (afterFats + (LeAt(boot, 44, 4) - 2) * LeAt(boot, 13, 1)) * bps;
}

// The disk offset of the root folder's label entry; 0 when there is none.
std::uint64_t LabelEntryOffset(const std::string& image) {
  const std::uint64_t root = RootOffset(image);
  const std::string entries = ReadBytes(image, root, 64 * 32);
  for (std::size_t at = 0; at < entries.size() && entries[at] != 0; at += 32)
    if (static_cast<std::uint8_t>(entries[at]) != 0xE5 && entries[at + 11] == 0x08) return root + at;
  return 0;
}

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
    Make(l.megabytes, l.mkfs + std::string(" -n BEFORE -i 1234ABCD"));
    Bind();
    DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("E:\\", &spc, &bps, &freeClusters, &total));
    EXPECT_EQ(bps, l.sectorSize);
    EXPECT_GT(total, 0u);
    // FAT32 keeps its root folder in a cluster of its own.
    EXPECT_EQ(freeClusters, l.fatBits == 32 ? total - 1 : total);
    char name[256] = {}, fsName[16] = {};
    DWORD serial = 0;
    ASSERT_TRUE(GetVolumeInformationA("E:\\", name, sizeof name, &serial, nullptr, nullptr, fsName, sizeof fsName));
    EXPECT_STREQ(name, "BEFORE");
    EXPECT_EQ(serial, 0x1234ABCDu);
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
                  {LANG_CHINESE_PRC, "\u5f57", true, "\u5f57"},  // first byte 0xE5, the deleted mark
                  {LANG_ENGLISH_US, "", true, ""},
                  {LANG_ENGLISH_US, "ELEVENCHARS", true, "ELEVENCHARS"}};
    for (const auto& c : labels) {
      SetSystemDefaultLangIDOverride(c.language);
      EXPECT_EQ(SetVolumeLabelA("E:\\", c.label) != 0, c.set) << c.label;
      ASSERT_TRUE(GetVolumeInformationA("E:\\", name, sizeof name, nullptr, nullptr, nullptr, nullptr, 0));
      EXPECT_STREQ(name, c.reads) << c.label;
      if (std::string_view(c.label) == "\u5f57") {
        EXPECT_EQ(ReadBytes(image, LabelEntryOffset(image), 2), "\x05\xE7") << "stored as 0x05, not deleted";
      }
    }
    SetSystemDefaultLangIDOverride(std::nullopt);
    EXPECT_TRUE(FsckClean(image));
    // The boot sector (and FAT32's backup of it) carries the label too.
    const std::size_t field = l.fatBits == 32 ? 71 : 43;
    EXPECT_EQ(ReadBytes(image, field, 11), "ELEVENCHARS");
    EXPECT_EQ(ReadBytes(image, (l.fatBits == 32 ? 6 * 512 : 0) + field, 11), "ELEVENCHARS") << "the backup too";
    // A root folder without a label entry: the boot sector's label is the label.
    const std::uint64_t entry = LabelEntryOffset(image);
    ASSERT_NE(entry, 0u);
    WriteBytes(image, entry, "\xE5");
    ASSERT_TRUE(GetVolumeInformationA("E:\\", name, sizeof name, nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_STREQ(name, "ELEVENCHARS");
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
    EXPECT_TRUE(s.FolderExists("")) << "the root";
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

// Property: any tree copied as the copy stage copies it (folders, then their
// files), and then partly copied again over itself with new content, reads
// back through mtools as the host holds it, on a volume fsck.fat finds clean.
class DriveTrees : public DriveTest, public ::testing::WithParamInterface<unsigned> {};

TEST_P(DriveTrees, CopiedAndRecopiedTreesReadBackAndPassTheCheck) {
  const Layout layouts[] = {{"FAT12", 8, "-F 12", 12, 512},
                            {"FAT16", 32, "-F 16", 16, 512},
                            {"FAT16 2048-byte sectors", 32, "-S 2048 -s 1", 16, 2048},
                            {"FAT32", 48, "-F 32 -s 1", 32, 512}};
  std::ofstream(image, std::ios::binary).close();
  for (const Layout& l : layouts) {
    SCOPED_TRACE(testing::Message() << l.name << ", seed " << GetParam());
    Make(l.megabytes, l.mkfs);
    Bind();
    DWORD spc = 0, bps = 0, freeBefore = 0, total = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("E:\\", &spc, &bps, &freeBefore, &total));
    ASSERT_EQ(bps, l.sectorSize);
    const fs::path host = fs::path(tmp.path) / "host" / l.name;
    RandomTreeMaker maker(GetParam(), spc * bps);
    RandomTree tree = maker.Make(host);

    DriveSession s;
    ASSERT_TRUE(s.Open('E')) << s.Error();
    for (const std::string& folder : tree.folders) ASSERT_TRUE(s.MakeFolder(folder)) << folder << ": " << s.Error();
    for (const auto& [rel, bytes] : tree.files)
      ASSERT_TRUE(s.CopyFile((host / rel).string(), rel, true)) << rel << ": " << s.Error();
    ASSERT_TRUE(s.Close());

    // A later copy replaces every third file with content of another size.
    ASSERT_TRUE(s.Open('E')) << s.Error();
    int n = 0;
    for (auto& [rel, bytes] : tree.files) {
      if (n++ % 3 != 0) continue;
      bytes = maker.Content();
      std::ofstream(host / rel, std::ios::binary | std::ios::trunc)
          .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      ASSERT_TRUE(s.CopyFile((host / rel).string(), rel, false)) << rel << ": " << s.Error();
    }
    ASSERT_TRUE(s.Close());

    EXPECT_TRUE(FsckClean(image));
    EXPECT_EQ(VolumeTree(image, tmp / "back"), tree.files);
    DWORD freeAfter = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("E:\\", nullptr, nullptr, &freeAfter, nullptr));
    // In use: the files' clusters, and per folder at least one cluster, at most
    // what its entries take when every name needs long-name entries.
    const std::uint64_t cluster = spc * bps;
    std::uint64_t least = tree.folders.size(), most = 0;
    std::map<std::string, std::uint64_t> entries{{"", 0}};  // by folder
    for (const std::string& folder : tree.folders) entries[folder] = 2;
    auto add = [&](const std::string& rel) {
      const std::size_t slash = rel.rfind('/');
      const std::string name = rel.substr(slash == std::string::npos ? 0 : slash + 1);
      entries[slash == std::string::npos ? "" : rel.substr(0, slash)] += (Utf8ToUtf16(name).size() + 12) / 13 + 1;
    };
    for (const std::string& folder : tree.folders) add(folder);
    for (const auto& [rel, bytes] : tree.files) {
      add(rel);
      least += (bytes.size() + cluster - 1) / cluster;
    }
    most += least - tree.folders.size();
    for (const auto& [folder, count] : entries)
      most += folder.empty() ? (l.fatBits == 32 ? (count * 32 + cluster - 1) / cluster - 1 : 0)
                             : (count * 32 + cluster - 1) / cluster;
    EXPECT_GE(freeBefore - freeAfter, least) << "every file's and folder's clusters are in use";
    EXPECT_LE(freeBefore - freeAfter, most) << "and nothing more";
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, DriveTrees, ::testing::Range(1u, 7u));

// The FAT type follows the cluster count at its two limits, a FAT that holds
// exactly the entries of every cluster is enough and one entry less is not,
// and no more clusters than FAT32 can number.
TEST(FatBootSector, ClusterCountAndFatSizeLimits) {
  constexpr int kAsGiven = 99;  // the cluster count as it stands, the FAT sized for it
  struct Case {
    const char* name;
    std::uint32_t clusters;
    std::uint32_t fatBits;  // of the FAT the sector describes
    int spareEntries;       // else: clusters chosen so that the FAT's room is their entries and this many more
    int expected;           // FAT bits, 0: refused
  } cases[] = {
      {"FAT12 at its limit", 4084, 12, kAsGiven, 12},
      {"FAT16 from 4085 clusters", 4085, 16, kAsGiven, 16},
      {"FAT16 at its limit", 65524, 16, kAsGiven, 16},
      {"FAT32 from 65525 clusters", 65525, 32, kAsGiven, 32},
      {"FAT32 at the highest cluster number", 0x0FFFFFF5, 32, kAsGiven, 32},
      {"FAT32 past it", 0x0FFFFFF6, 32, kAsGiven, 0},
      {"FAT16 whose FAT holds exactly its entries", 4350, 16, 0, 16},
      {"FAT16 whose FAT lacks an entry", 4350, 16, -1, 0},
      {"FAT12 whose FAT holds exactly its entries", 3000, 12, 0, 12},
      {"FAT12 whose FAT lacks an entry", 3000, 12, -1, 0},
      {"FAT32 whose FAT holds exactly its entries", 70000, 32, 0, 32},
      {"FAT32 whose FAT lacks an entry", 70000, 32, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // 512-byte sectors, one per cluster, the FAT in whole sectors.
    const std::uint32_t fatSectors = static_cast<std::uint32_t>(((std::uint64_t{c.clusters} + 2) * c.fatBits + 4095) / 4096);
    std::uint64_t clusters = c.clusters;
    if (c.spareEntries != kAsGiven) clusters = std::uint64_t{fatSectors} * 4096 / c.fatBits - 2 - c.spareEntries;
    const bool fat32 = c.fatBits == 32;
    const std::uint32_t reserved = fat32 ? 32 : 1, rootEntries = fat32 ? 0 : 512;
    const std::uint64_t total = reserved + 2ull * fatSectors + rootEntries * 32 / 512 + clusters;
    std::uint8_t boot[512] = {0xEB, 0x3C, 0x90};
    auto put = [&](int at, std::uint64_t v, int bytes) {
      for (int i = 0; i < bytes; ++i) boot[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(11, 512, 2);
    boot[13] = 1;
    put(14, reserved, 2);
    boot[16] = 2;
    put(17, rootEntries, 2);
    boot[21] = 0xF8;
    put(32, total, 4);
    if (fat32) {
      put(36, fatSectors, 4);
      put(44, 2, 4);
    } else {
      put(22, fatSectors, 2);
    }
    put(510, 0xAA55, 2);
    std::string why;
    const auto parsed = ParseFatBootSector(boot, sizeof boot, &why);
    ASSERT_EQ(parsed.has_value(), c.expected != 0) << why << " (" << clusters << " clusters, " << fatSectors
                                                   << " FAT sectors)";
    if (!parsed) continue;
    EXPECT_EQ(parsed->fatBits, c.expected);
    EXPECT_EQ(parsed->clusterCount, clusters);
  }
}

// The format command, run with the real tool: the FAT flag gives FAT16, FAT32
// or 8 KiB allocation units, at the disk's sector size.
TEST_F(DriveTest, TheFormatCommandGivesTheFatTypeAndClusterSizeAsked) {
  const struct {
    int fatFlag;
    std::uint32_t sectorSize;
    std::uint64_t megabytes;
    std::uint32_t clusterBytes;  // 0: the tool's choice
    const char* system;
  } cases[] = {{255, 512, 64, 8192, nullptr},   {255, 1024, 64, 8192, nullptr}, {255, 2048, 64, 8192, nullptr},
               {255, 4096, 64, 8192, nullptr},  {0, 512, 64, 0, "FAT16"},       {1, 512, 64, 0, "FAT32"},
               {0, 2048, 64, 0, "FAT16"}};
  std::ofstream(image, std::ios::binary).close();
  Bind();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "flag " << c.fatFlag << ", " << c.sectorSize << "-byte sectors");
    fs::resize_file(fs::path(image), 0);
    fs::resize_file(fs::path(image), c.megabytes << 20);
    const std::vector<std::string> argv = FormatCommand(image, c.fatFlag, true, c.sectorSize);
    EXPECT_EQ(std::count(argv.begin(), argv.end(), "-c"), 0) << "quick: no surface check";
    std::string command;
    for (const std::string& arg : argv) command += Quote(arg) + " ";
    ASSERT_EQ(Shell(command), 0) << command;
    DWORD spc = 0, bps = 0;
    ASSERT_TRUE(GetDiskFreeSpaceA("E:\\", &spc, &bps, nullptr, nullptr)) << command;
    EXPECT_EQ(bps, c.sectorSize);
    EXPECT_TRUE(c.clusterBytes == 0 || spc * bps == c.clusterBytes) << command << ": " << spc * bps;
    char fsName[16] = {};
    ASSERT_TRUE(GetVolumeInformationA("E:\\", nullptr, 0, nullptr, nullptr, nullptr, fsName, sizeof fsName));
    EXPECT_TRUE(c.system == nullptr || std::string(fsName) == c.system) << fsName;
    EXPECT_TRUE(FsckClean(image));
  }
  const std::vector<std::string> full = FormatCommand(image, 0, false, 512);
  EXPECT_EQ(std::count(full.begin(), full.end(), "-c"), 1) << "a full format checks the surface";
}

// A FAT32 volume whose root folder cannot be read (its cluster marked free):
// nothing is answered as done, and nothing is written.
TEST_F(DriveTest, AVolumeWhoseRootCannotBeReadRefusesEveryOperation) {
  SetUpImage(48, "-F 32 -s 1 -n BEFORE");
  const fs::path song = tmp / "song.mp3";
  WritePattern(song, 3000, 4);
  {
    std::fstream disk(image, std::ios::binary | std::ios::in | std::ios::out);
    char boot[512];
    disk.read(boot, sizeof boot);
    const auto le = [&](int at, int bytes) {
      std::uint32_t v = 0;
      for (int i = 0; i < bytes; ++i) v |= std::uint32_t{static_cast<std::uint8_t>(boot[at + i])} << (8 * i);
      return v;
    };
    const std::uint64_t reserved = le(14, 2), fatSectors = le(36, 4), root = le(44, 4);
    for (int copy = 0; copy < boot[16]; ++copy) {
      disk.seekp(static_cast<std::streamoff>((reserved + copy * fatSectors) * 512 + root * 4));
      disk.write("\0\0\0\0", 4);
    }
  }
  const std::string before = ReadFile(image);
  char name[32];
  EXPECT_FALSE(GetVolumeInformationA("E:\\", name, sizeof name, nullptr, nullptr, nullptr, nullptr, 0));
  EXPECT_FALSE(SetVolumeLabelA("E:\\", "AFTER"));
  std::string error;
  EXPECT_FALSE(CopyFileToDrive(song.string(), "E:\\song.mp3", false, &error));
  EXPECT_NE(error.find("damaged"), std::string::npos) << error;
  DriveSession s;
  ASSERT_TRUE(s.Open('E'));
  EXPECT_FALSE(s.FolderExists(""));
  EXPECT_FALSE(s.MakeFolder("music"));
  EXPECT_NE(s.Error().find("damaged"), std::string::npos) << s.Error();
  s.Close();
  EXPECT_TRUE(ReadFile(image) == before) << "nothing written";
}

// Replacing a file whose new content cannot be written (the disk refuses
// writes past a point) removes the old file, names why, and leaves a volume
// the check finds clean with every other file as it was.
TEST_F(DriveTest, AReplacementThatCannotBeWrittenLeavesACleanVolumeWithoutTheOldFile) {
  SetUpImage(16, "-F 16 -s 4");
  // Long names (two entries each), so that the replaced file's entries sit
  // far into the root folder.
  std::map<std::string, std::string> expected;
  DriveSession s;
  ASSERT_TRUE(s.Open('E'));
  for (int i = 0; i < 120; ++i) {
    const std::string name = "earlier file " + std::to_string(100 + i) + ".bin";
    WritePattern(tmp / name, 300, i);
    ASSERT_TRUE(s.CopyFile(tmp / name, name, true)) << s.Error();
    expected[name] = ReadFile(tmp / name);
  }
  const fs::path replaced = tmp / "the replaced file.bin";
  WritePattern(replaced, 100, 1);
  ASSERT_TRUE(s.CopyFile(replaced.string(), "the replaced file.bin", true)) << s.Error();
  ASSERT_TRUE(s.Close());

  WritePattern(replaced, 3 << 20, 2);
  {
    const FileSizeLimit limit(2 << 20);
    ASSERT_TRUE(s.Open('E'));
    EXPECT_FALSE(s.CopyFile(replaced.string(), "the replaced file.bin", false));
    EXPECT_NE(s.Error().find("cannot be written"), std::string::npos) << s.Error();
    EXPECT_TRUE(s.Close()) << s.Error();
  }
  EXPECT_TRUE(FsckClean(image));
  EXPECT_EQ(VolumeTree(image, tmp / "back"), expected);
}

// The fixed root holds 512 entries: a name in one letter case takes one
// (its case kept in the short entry), and once the root is full a file or a
// label is refused. Entries other tools deleted are taken again, a name
// needing two entries only where two deleted ones lie side by side.
TEST_F(DriveTest, AFullRootRefusesNewEntriesAndTakesDeletedOnesAgain) {
  SetUpImage(16, "-F 16");
  std::map<std::string, std::string> expected;
  DriveSession s;
  ASSERT_TRUE(s.Open('E'));
  for (int i = 0; i < 512; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, i % 2 ? "F%03d.TXT" : "f%03d.txt", i);
    const std::string host = tmp / "in/" + name;
    WritePattern(host, 10, i);
    ASSERT_TRUE(s.CopyFile(host, name, true)) << name << ": " << s.Error();
    expected[name] = ReadFile(host);
  }
  WritePattern(tmp / "more.txt", 10, 1000);
  EXPECT_FALSE(s.CopyFile(tmp / "more.txt", "more.txt", true));
  EXPECT_NE(s.Error().find("root folder is full"), std::string::npos) << s.Error();
  ASSERT_TRUE(s.Close());
  const std::string before = ReadFile(image);
  EXPECT_FALSE(SetVolumeLabelA("E:\\", "FULL"));
  EXPECT_TRUE(ReadFile(image) == before) << "a label that finds no room changes nothing, the boot sector included";

  // Single gaps at the start and in the middle, one gap of two further on.
  for (const char* gone : {"f000.txt", "F005.TXT", "f010.txt", "f020.txt", "F021.TXT"}) {
    ASSERT_EQ(Shell("mdel -i " + Quote(image) + " ::" + gone), 0) << gone;
    expected.erase(gone);
  }
  ASSERT_TRUE(s.Open('E'));
  ASSERT_TRUE(s.CopyFile(tmp / "more.txt", "long name.mp3", true)) << s.Error();  // two entries
  EXPECT_FALSE(s.CopyFile(tmp / "more.txt", "song name.mp3", true)) << "no two gaps side by side left";
  for (const char* name : {"X1.TXT", "X2.TXT", "X3.TXT"})
    ASSERT_TRUE(s.CopyFile(tmp / "more.txt", name, true)) << name << ": " << s.Error();
  ASSERT_TRUE(s.Close());
  for (const char* name : {"long name.mp3", "X1.TXT", "X2.TXT", "X3.TXT"}) expected[name] = ReadFile(tmp / "more.txt");
  EXPECT_TRUE(FsckClean(image));
  EXPECT_EQ(VolumeTree(image, tmp / "back"), expected);
}

// A folder holds 65536 entries, its dot entries included, and no more.
TEST_F(DriveTest, AFolderHoldsAtMost65536Entries) {
  SetUpImage(64, "-F 16");
  WritePattern(tmp / "empty", 0, 0);
  DriveSession s;
  ASSERT_TRUE(s.Open('E'));
  ASSERT_TRUE(s.MakeFolder("BIG"));
  int made = 0;
  for (char name[24]; made < 70000; ++made) {
    std::snprintf(name, sizeof name, "BIG/F%05d.TXT", made);
    if (!s.CopyFile(tmp / "empty", name, true)) break;
  }
  EXPECT_EQ(made, 65534);
  EXPECT_NE(s.Error().find("folder is full"), std::string::npos) << s.Error();
  ASSERT_TRUE(s.Close());
  EXPECT_TRUE(FsckClean(image));
}

// A disk that loses its end while a copy has it open (replaced, cut short)
// fails the reads that reach past it: the copy ends, it does not wait.
TEST_F(DriveTest, ADiskCutShortWhileOpenFailsItsReads) {
  SetUpImage(16, "-F 16");
  WritePattern(tmp / "song.mp3", 3000, 1);
  DriveSession s;
  ASSERT_TRUE(s.Open('E'));
  fs::resize_file(fs::path(image), 1024);
  EXPECT_FALSE(s.CopyFile(tmp / "song.mp3", "song.mp3", true));
  EXPECT_NE(s.Error().find("cannot be read"), std::string::npos) << s.Error();
  s.Close();
}

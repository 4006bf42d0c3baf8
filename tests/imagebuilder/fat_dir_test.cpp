// Directories, long and short names, file data, host files and folders, and the label.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <vector>

#include "image_oracle.h"
#include "imagebuilder/image_builder.h"
#include "platform/locale/locale.h"

using namespace imagebuilder;
using oracle::TempDir;

namespace {

using Entry = std::array<std::uint8_t, 32>;

class FatDir : public ::testing::Test {
 protected:
  // 16 MiB at 512-byte sectors: FAT16, 2 KiB clusters (64 entries a cluster).
  void SetUp() override { ASSERT_TRUE(builder.ImageCreateVolume(32768, 512)) << builder.LastError(); }

  FatVolume& V() { return builder.Volume(); }

  std::unique_ptr<FatFileHandle> Write(const std::string& path, const std::string& bytes) {
    auto handle = V().FatCreateFile(path);
    if (!handle) return nullptr;
    for (std::size_t at = 0; at < bytes.size(); at += 512) {
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(512, bytes.size() - at));
      EXPECT_EQ(V().FatWriteFileData(reinterpret_cast<const std::uint8_t*>(bytes.data()) + at, n, *handle), n);
    }
    EXPECT_TRUE(V().FatCloseFile(*handle)) << V().ErrorText();
    return handle;
  }

  // Looks a long name up in a directory (0 = root).
  bool Find(const std::u16string& name, FatEntryRecord& record, std::uint32_t directory = 0) {
    V().SetCurrentDirectory(directory);
    record.longName = name;
    return V().FatFindByLongName(record);
  }

  // Every 32-byte entry of a directory (0 = the FAT16 root) up to its end entry.
  std::vector<Entry> Entries(std::uint32_t cluster) {
    std::vector<std::uint8_t> bytes;
    auto read = [&](std::uint64_t lba, std::uint32_t count) {
      bytes.resize(bytes.size() + count * 512);
      EXPECT_TRUE(builder.ImageReadSectors(static_cast<std::uint32_t>(lba), count, &bytes[bytes.size() - count * 512]));
    };
    if (cluster == 0) read(V().FatRootDirAddress() >> 9, V().Geometry().rootEntries * 32 / 512);
    while (cluster != 0) {
      read(V().FatClusterToLba(cluster), V().Geometry().sectorsPerCluster);
      if (V().FatNextCluster(cluster) != 0) break;
    }
    std::vector<Entry> out;
    for (std::size_t at = 0; at < bytes.size() && bytes[at] != 0; at += 32)
      std::memcpy(out.emplace_back().data(), &bytes[at], 32);
    return out;
  }

  // Saves the volume, runs fsck.fat on it and copies it out with mcopy.
  std::map<std::string, std::string> CheckedFiles() {
    EXPECT_TRUE(builder.ImageSave(dir / "v.IMG", 0, 16)) << builder.LastError();
    const auto fsck = oracle::ExtractAndFsck(dir / "v.IMG", 0, dir / "v.raw");
    EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
    std::filesystem::remove_all(dir / "out");
    return oracle::VolumeFiles(dir / "v.raw", dir / "out");
  }

  static std::string Name(const Entry& e) { return std::string(e.begin(), e.begin() + 11); }
  static std::uint32_t Cluster(const Entry& e) { return FatVolume::FatEntryFirstCluster(e.data()); }
  static std::uint16_t Char(const Entry& e, int offset) { return static_cast<std::uint16_t>(oracle::Le16(e.data() + offset)); }

  TempDir dir;
  ImageBuilder builder;
};

TEST_F(FatDir, LongNameSlotLayout) {
  ASSERT_TRUE(Write("\\exactly13.txt", "a"));
  ASSERT_TRUE(Write("\\fourteen_c.txt", "b"));
  const auto root = Entries(0);
  ASSERT_EQ(root.size(), 5u);
  // 13 characters: one slot, 0x41, no terminator.
  EXPECT_EQ(root[0][0], 0x41);
  EXPECT_EQ(root[0][11], 0x0F);
  EXPECT_EQ(Char(root[0], 1), u'e');
  EXPECT_EQ(Char(root[0], 30), u't');
  EXPECT_EQ(Name(root[1]), "EXACTL~1TXT");
  // Created, accessed and written on 1 January 2005 at midnight.
  for (int at : {16, 18, 24}) EXPECT_EQ(oracle::Le16(root[1].data() + at), 0x3221u) << at;
  for (int at : {14, 22}) EXPECT_EQ(oracle::Le16(root[1].data() + at), 0u) << at;
  EXPECT_EQ(root[0][13], FatLfnChecksum(ShortNameOf("EXACTL~1", "TXT")));
  // 14 characters: 0x42 first with character 14, a terminator and padding, then 0x01.
  EXPECT_EQ(root[2][0], 0x42);
  EXPECT_EQ(Char(root[2], 1), u't');
  EXPECT_EQ(Char(root[2], 3), 0x0000);
  for (int offset : {5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) EXPECT_EQ(Char(root[2], offset), 0xFFFF);
  EXPECT_EQ(root[3][0], 0x01);
  EXPECT_EQ(Char(root[3], 1), u'f');
  EXPECT_EQ(oracle::Le16(root[2].data() + 26), 0u);
}

TEST_F(FatDir, NestedFoldersGetBlankPaddedDotEntries) {
  ASSERT_TRUE(Write("\\A\\B\\F.TXT", "x"));
  const auto root = Entries(0);
  ASSERT_EQ(root.size(), 2u);  // A: one slot and its short entry
  EXPECT_EQ(root[1][11], 0x10);
  const std::uint32_t a = Cluster(root[1]);
  const auto inA = Entries(a);
  ASSERT_EQ(inA.size(), 4u);
  EXPECT_EQ(Name(inA[0]), ".          ");
  EXPECT_EQ(Cluster(inA[0]), a);
  EXPECT_EQ(Name(inA[1]), "..         ");
  EXPECT_EQ(Cluster(inA[1]), 0u);
  const std::uint32_t b = Cluster(inA[3]);
  const auto inB = Entries(b);
  EXPECT_EQ(Cluster(inB[0]), b);
  EXPECT_EQ(Cluster(inB[1]), a);
  EXPECT_EQ(inB[0][11], 0x10);
  EXPECT_EQ(CheckedFiles().count("A/B/F.TXT"), 1u);
}

TEST_F(FatDir, AFullDirectoryClusterGrowsByAZeroedLinkedCluster) {
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(Write("\\Grow\\file number " + std::to_string(100 + i) + ".bin", "z"));
  FatEntryRecord grow;
  ASSERT_TRUE(Find(u"grow", grow));
  std::uint32_t cluster = grow.firstCluster;
  ASSERT_EQ(V().FatNextCluster(cluster), 0);
  EXPECT_EQ(V().FatNextCluster(cluster), 2) << "two clusters, the second ends the chain";
  EXPECT_EQ(Entries(grow.firstCluster).size(), 2u + 30 * 3);
  EXPECT_EQ(CheckedFiles().size(), 30u);
}

TEST_F(FatDir, TheFat16RootFillsUpCleanly) {
  int made = 0;
  while (Write("\\r" + std::to_string(1000 + made), "") != nullptr) ++made;
  EXPECT_EQ(made, 256) << "512 entries, two per name";
  EXPECT_EQ(V().ErrorCode(), kFatErrRootEnd);
  // Nor a folder (whose cluster is given back) or a label.
  const std::uint32_t free = V().FreeClusterCount();
  EXPECT_FALSE(V().FatCreateFile("\\NewDir\\x.txt"));
  EXPECT_EQ(V().ErrorCode(), kFatErrRootEnd);
  EXPECT_EQ(V().FreeClusterCount(), free);
  EXPECT_FALSE(V().FatSetVolumeLabel("FULL"));
  EXPECT_EQ(CheckedFiles().size(), 256u);
}

TEST_F(FatDir, ADirectoryStopsAt65536Entries) {
  int made = 0;
  for (std::unique_ptr<FatFileHandle> h;
       made < 40000 && (h = V().FatCreateFile("\\Big\\f" + std::to_string(100000 + made))); ++made)
    V().FatCloseFile(*h);
  EXPECT_EQ(made, 32767) << "the dot entries and 32767 names of two entries each";
  EXPECT_EQ(V().ErrorCode(), kFatErrDirectoryFull);
}

TEST_F(FatDir, DataAroundSectorAndClusterBoundaries) {
  std::map<std::string, std::string> expected;
  for (std::size_t size : {0, 1, 511, 512, 513, 2047, 2048, 2049, 5000}) {
    const std::string name = "size " + std::to_string(size) + ".bin";
    expected[name] = oracle::Pattern(size, static_cast<unsigned>(size));
    auto handle = Write("\\" + name, expected[name]);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->record.size, size);
    if (size == 0) {
      EXPECT_EQ(handle->record.firstCluster, 0u) << "an empty file has no cluster";
      continue;
    }
    std::uint32_t cluster = handle->record.firstCluster, clusters = 1;
    while (V().FatNextCluster(cluster) == 0) ++clusters;
    EXPECT_EQ(clusters, (size + 2047) / 2048) << name;
    // The rest of the last sector is zero, whatever the caller's buffer held.
    std::vector<std::uint8_t> last(512);
    const std::uint64_t lba = V().FatClusterToLba(cluster) + ((size - 1) % 2048) / 512;
    ASSERT_TRUE(builder.ImageReadSectors(static_cast<std::uint32_t>(lba), 1, last.data()));
    for (std::size_t i = (size - 1) % 512 + 1; i < 512; ++i) ASSERT_EQ(last[i], 0) << name << " byte " << i;
  }
  const FatGeometry& g = V().Geometry();
  std::vector<std::uint8_t> fats(2 * g.fatSize * 512);
  ASSERT_TRUE(builder.ImageReadSectors(g.fatStart, 2 * g.fatSize, fats.data()));
  EXPECT_TRUE(std::equal(fats.begin(), fats.begin() + g.fatSize * 512, fats.begin() + g.fatSize * 512))
      << "both FAT copies carry every change";
  EXPECT_EQ(CheckedFiles(), expected);
}

TEST_F(FatDir, ANameAddedAgainReplacesTheEarlierEntry) {
  const std::uint32_t before = V().FreeClusterCount();
  ASSERT_TRUE(Write("\\Dir\\Song.mp3", oracle::Pattern(5000, 1)));
  ASSERT_TRUE(Write("\\DIR\\song.MP3", "later"));
  ASSERT_TRUE(Write("\\Dir\\Song.mp3.old", "x"));
  EXPECT_EQ(V().FreeClusterCount(), before - 3) << "the folder and one cluster per file";
  // An empty file (no cluster to free), and an entry without a long name (as
  // other tools make 8.3 names), are replaced as well.
  ASSERT_TRUE(Write("\\Dir\\empty.txt", ""));
  ASSERT_TRUE(Write("\\Dir\\EMPTY.TXT", "e"));
  FatEntryRecord dir, plain;
  ASSERT_TRUE(Find(u"Dir", dir));
  plain.type = kEntryFile;
  ASSERT_TRUE(FatMakeShortName("PLAIN.TXT", plain.shortName));
  ASSERT_TRUE(V().FatCreateEntryNoLfn(plain, dir.firstCluster));
  ASSERT_TRUE(Write("\\Dir\\plain.txt", "p")) << V().ErrorText();
  EXPECT_EQ(V().FreeClusterCount(), before - 5);
  const auto files = CheckedFiles();
  EXPECT_EQ(files.size(), 4u);
  EXPECT_EQ(files.at("Dir/song.MP3"), "later");
  EXPECT_EQ(files.at("Dir/EMPTY.TXT"), "e");
  EXPECT_EQ(files.at("Dir/plain.txt"), "p");
}

TEST_F(FatDir, AfterARemountNamesAreFoundByWalkingTheDirectories) {
  ASSERT_TRUE(Write("\\Dir\\Some long name of a song.txt", "12345"));
  ASSERT_TRUE(Write("\\Dir\\\xC3\xA5" "berg.txt", "x"));
  ASSERT_TRUE(Write("\\Dir\\PLAIN.TXT", "p"));
  // Free clusters between used ones: a file made smaller before another one.
  ASSERT_TRUE(Write("\\gap.bin", oracle::Pattern(5000, 2)));
  ASSERT_TRUE(Write("\\after.bin", "a"));
  ASSERT_TRUE(Write("\\gap.bin", "g"));
  ASSERT_TRUE(V().FatSetVolumeLabel("LBL"));
  const std::uint32_t free = V().FreeClusterCount();
  ASSERT_TRUE(builder.ImageMount());
  EXPECT_EQ(V().FreeClusterCount(), free) << "counted again from the FAT";
  FatEntryRecord dir, found;
  ASSERT_TRUE(Find(u"dir", dir));
  const std::size_t entries = Entries(dir.firstCluster).size();
  ASSERT_TRUE(Find(u"SOME LONG NAME OF A SONG.TXT", found, dir.firstCluster));
  EXPECT_EQ(found.size, 5u);
  EXPECT_TRUE(Find(u"plain.txt", found, dir.firstCluster));
  EXPECT_TRUE(Find(u"\u00C5BERG.TXT", found, dir.firstCluster));
  ASSERT_TRUE(Write("\\Dir\\some long name of a song.txt", "again"));
  const auto after = Entries(dir.firstCluster);
  EXPECT_EQ(after.size(), entries) << "the entry is rewritten in place";
  EXPECT_TRUE(std::none_of(after.begin(), after.end(), [](const Entry& e) { return e[0] == 0xE5; }));
  ASSERT_TRUE(V().FatSetVolumeLabel("NEW"));
  const auto files = CheckedFiles();
  EXPECT_EQ(files.size(), 5u);
  EXPECT_EQ(files.at("Dir/some long name of a song.txt"), "again");
}

TEST_F(FatDir, PathsNamesAndFilesAndFoldersThatClash) {
  EXPECT_FALSE(V().FatCreateFile("A\\B.TXT"));
  EXPECT_EQ(V().ErrorCode(), kFatErrBadPath);
  EXPECT_TRUE(Write("B.TXT", "in the root"));
  // Every component is held to the FAT name rules, before anything is made.
  for (const char* bad : {"\\a:b", "\\x\\\\y", "\\bad\xFF", "\\Dir\\Lpt1", "\\nul\\x.txt"}) {
    EXPECT_FALSE(V().FatCreateFile(bad)) << bad;
    EXPECT_EQ(V().ErrorCode(), kFatErrBadName) << bad;
  }
  EXPECT_TRUE(Write("\\CONSOLE", "d"));
  // A file where a folder is expected, and the reverse.
  ASSERT_TRUE(Write("\\A", "file"));
  EXPECT_FALSE(V().FatCreateFile("\\A\\B.TXT"));
  EXPECT_EQ(V().ErrorCode(), kFatErrNameClash);
  ASSERT_TRUE(Write("\\D\\X.TXT", "x"));
  EXPECT_FALSE(V().FatCreateFile("\\d"));
  EXPECT_EQ(V().ErrorCode(), kFatErrNameClash);
  const auto files = CheckedFiles();
  EXPECT_EQ(files.size(), 4u);
  EXPECT_EQ(files.at("B.TXT"), "in the root");
}

TEST_F(FatDir, AShortNameStartingWithE5IsStoredAs05) {
  FatEntryRecord record, found;
  EXPECT_FALSE(FatMakeShortName("longername.txt", record.shortName));
  EXPECT_FALSE(FatMakeShortName("a.txtx", record.shortName));
  ASSERT_TRUE(FatMakeShortName("\xE5" "bc.txt", record.shortName));
  EXPECT_EQ(ShortNameText(record.shortName), "\xE5" "BC.TXT");
  record.type = kEntryFile;
  ASSERT_TRUE(V().FatCreateEntryNoLfn(record, 0));
  const auto root = Entries(0);
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0][0], 0x05);
  EXPECT_EQ(FatVolume::FatClassifyEntry(root[0].data()), kEntryFile);
  found.shortName = record.shortName;
  V().SetCurrentDirectory(0);
  ASSERT_TRUE(V().FatFindByShortName(found));
  EXPECT_EQ(found.shortName[0], 0xE5);
}

TEST_F(FatDir, VolumeLabelIsOneEntryAndTheBootFieldInTheStationsCodePage) {
  auto labels = [&] {
    std::vector<std::string> out;
    for (const Entry& e : Entries(0))
      if (e[0] != 0xE5 && e[11] == 0x08) {
        out.push_back(Name(e));
        EXPECT_EQ(Cluster(e), 0u);
      }
    return out;
  };
  auto bootField = [&] {
    std::vector<std::uint8_t> boot(512);
    EXPECT_TRUE(builder.ImageReadSectors(0, 1, boot.data()));
    return std::string(boot.begin() + 43, boot.begin() + 54);
  };
  platform::SetSystemDefaultLangIDOverride(platform::LANG_CHINESE_PRC);
  const struct {
    const char* label;
    const char* entry;  // nullptr: refused, the label before stays
    const char* boot;
  } cases[] = {
      {"Pass wd", "PASS WD    ", "PASS WD    "},
      {"TWELVE CHARS", "TWELVE C   ", "TWELVE C   "},  // eight bytes at most
      {"\u97f3\u4e50\u97f3\u4e50\u97f3", "\xD2\xF4\xC0\xD6\xD2\xF4\xC0\xD6   ", "\xD2\xF4\xC0\xD6\xD2\xF4\xC0\xD6   "},
      {"\u5f57", "\x05\xE7         ", "\xE5\xE7         "},  // a first byte 0xE5 is stored as 0x05 in the entry
      {"A*B", nullptr, nullptr},
      {" LEAD", nullptr, nullptr},
      {"\u00df", nullptr, nullptr},  // not in the code page
  };
  std::string entry, boot;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(V().FatSetVolumeLabel(c.label), c.entry != nullptr);
    if (c.entry) entry = c.entry, boot = c.boot;
    EXPECT_EQ(labels(), std::vector<std::string>{entry});
    EXPECT_EQ(bootField(), boot);
  }
  platform::SetSystemDefaultLangIDOverride(std::nullopt);
  ASSERT_TRUE(V().FatSetVolumeLabel(""));
  EXPECT_TRUE(labels().empty());
  EXPECT_EQ(bootField(), "NO NAME    ");
  CheckedFiles();
}

TEST_F(FatDir, HostFoldersCopyFilesFirstThenSubFoldersAndSkipHiddenAndEmptyOnes) {
  for (const char* file : {"b.mp3", "A.mp3", "Sub/c.mp3", ".hidden/d.mp3"})
    oracle::WriteFile(dir / "Album/" + file, "x");
  std::filesystem::create_directories(dir / "Album/Empty");
  ASSERT_TRUE(builder.AddListToImage({dir / "Album"})) << builder.LastError();
  FatEntryRecord album;
  ASSERT_TRUE(Find(u"Album", album));
  // Entries in creation order: ., .., A.mp3, b.mp3, Sub (two entries each); no Empty, no .hidden.
  const auto entries = Entries(album.firstCluster);
  ASSERT_EQ(entries.size(), 8u);
  EXPECT_EQ(Name(entries[3]), "A       MP3");
  EXPECT_EQ(Name(entries[5]), "B       MP3");
  EXPECT_EQ(Name(entries[7]), "SUB        ");
}

TEST_F(FatDir, AHostFileThatCannotFitFailsBeforeItIsCopied) {
  const std::string big = dir / "big.bin";
  oracle::WriteFile(big, "");
  std::filesystem::resize_file(big, 20u << 20);  // sparse: costs nothing on the host
  const std::uint32_t free = V().FreeClusterCount();
  EXPECT_FALSE(builder.AddFileToImage(big, "\\big.bin"));
  EXPECT_NE(builder.LastError().find(big), std::string::npos) << builder.LastError();
  EXPECT_EQ(V().FreeClusterCount(), free);
  FatEntryRecord record;
  EXPECT_FALSE(Find(u"big.bin", record)) << "no entry was made";
  std::filesystem::resize_file(big, 5ull << 30);
  EXPECT_FALSE(builder.AddFileToImage(big, "\\big.bin"));
  EXPECT_NE(builder.LastError().find("4 GiB"), std::string::npos) << builder.LastError();
}

// A file whose cluster chain cannot be freed (it runs outside the volume) is
// not replaced: the new file is refused, naming why, and the old entry stays.
TEST_F(FatDir, AFileWhoseChainCannotBeFreedIsNotReplaced) {
  ASSERT_TRUE(Write("\\Dir\\Song number one.mp3", oracle::Pattern(5000, 1)));
  FatEntryRecord dir, song;
  ASSERT_TRUE(Find(u"Dir", dir));
  ASSERT_TRUE(Find(u"Song number one.mp3", song, dir.firstCluster));
  ASSERT_TRUE(V().FatSetEntry(song.firstCluster, V().Geometry().clusterCount + 10));
  EXPECT_FALSE(V().FatCreateFile("\\Dir\\song NUMBER one.mp3"));
  EXPECT_EQ(V().ErrorCode(), kFatErrChainIntoFree);
  EXPECT_NE(V().ErrorText().find("outside the volume"), std::string::npos) << V().ErrorText();
  FatEntryRecord still;
  ASSERT_TRUE(Find(u"Song number one.mp3", still, dir.firstCluster));
  EXPECT_EQ(still.firstCluster, song.firstCluster);
  EXPECT_EQ(still.size, 5000u);

  // A chain that runs into a free cluster ends there: the file is replaced.
  ASSERT_TRUE(Write("\\Other.bin", oracle::Pattern(5000, 2)));
  FatEntryRecord other;
  ASSERT_TRUE(Find(u"Other.bin", other));
  ASSERT_TRUE(V().FatSetEntry(other.firstCluster, 0));
  EXPECT_TRUE(Write("\\other.bin", "x")) << V().ErrorText();

  // A folder whose own chain runs into a free cluster takes no new entry.
  ASSERT_TRUE(V().FatSetEntry(dir.firstCluster, 0));
  ASSERT_TRUE(builder.ImageMount());
  EXPECT_FALSE(V().FatCreateFile("\\Dir\\new.mp3"));
  EXPECT_EQ(V().ErrorCode(), kFatErrChainIntoFree);
}

// With every cluster taken, a new folder is refused; the file that took them,
// the last cluster included, is replaced and all of them come free again.
TEST_F(FatDir, AFullVolumeRefusesAFolderAndGivesEveryClusterBackWhenItsFileIsReplaced) {
  const std::uint32_t free = V().FreeClusterCount();
  ASSERT_TRUE(Write("\\all.bin", oracle::Pattern(std::size_t{free} * 2048, 3)));
  EXPECT_EQ(V().FreeClusterCount(), 0u);
  EXPECT_FALSE(V().FatCreateFile("\\Dir\\x.txt"));
  EXPECT_EQ(V().ErrorCode(), kFatErrDiskFull);
  ASSERT_TRUE(Write("\\ALL.BIN", "small")) << V().ErrorText();
  EXPECT_EQ(V().FreeClusterCount(), free - 1);
  const auto files = CheckedFiles();
  EXPECT_EQ(files.size(), 1u);
  EXPECT_EQ(files.begin()->second, "small");
}

// On FAT32 the root is a cluster folder: a label among its files is replaced
// in place, also after the volume is mounted again.
TEST(FatDir32, ALabelAmongTheRootsFilesIsReplacedInPlace) {
  TempDir dir;
  ImageBuilder builder;
  ASSERT_TRUE(builder.ImageCreateVolume((2049ull << 20) / 512, 512)) << builder.LastError();
  FatVolume& v = builder.Volume();
  ASSERT_EQ(v.Type(), kFat32);
  for (const char* name : {"\\a.txt", "\\second file.txt", "\\Dir\\c.txt"}) {
    auto handle = v.FatCreateFile(name);
    ASSERT_TRUE(handle) << v.ErrorText();
    ASSERT_TRUE(v.FatCloseFile(*handle));
  }
  ASSERT_TRUE(v.FatSetVolumeLabel("ONE"));
  ASSERT_TRUE(v.FatSetVolumeLabel("TWO"));
  const std::uint32_t free = v.FreeClusterCount();
  ASSERT_TRUE(builder.ImageMount());
  EXPECT_EQ(v.FreeClusterCount(), free) << "counted again from the FAT";
  ASSERT_TRUE(v.FatSetVolumeLabel("THREE"));
  // An entry linking to a cluster above 65535 is a used one to the count, as is its end.
  const std::uint32_t before = v.FreeClusterCount();
  ASSERT_TRUE(v.FatSetEntry(100, 0x10000) && v.FatSetEntry(0x10000, 0x0FFFFFF8));
  ASSERT_TRUE(builder.ImageMount());
  EXPECT_EQ(v.FreeClusterCount(), before - 2);
  ASSERT_TRUE(v.FatSetEntry(100, 0) && v.FatSetEntry(0x10000, 0));
  ASSERT_TRUE(builder.ImageMount());
  ASSERT_TRUE(builder.ImageSave(dir / "v.IMG", 0, 2049)) << builder.LastError();
  const auto fsck = oracle::ExtractAndFsck(dir / "v.IMG", 0, dir / "v.raw");
  EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
  const auto root = oracle::Run("mdir -a -i " + oracle::Quote(dir / "v.raw") + " ::");
  EXPECT_NE(root.output.find("Volume in drive : is THREE"), std::string::npos) << root.output;
  EXPECT_EQ(oracle::VolumeFiles(dir / "v.raw", dir / "out").size(), 3u);
}

// Nothing is done on a volume that is not mounted, and each operation says so.
TEST(FatVolumeUnmounted, EveryOperationFailsAsNotMounted) {
  ImageBuilder builder;
  FatVolume& v = builder.Volume();
  std::uint32_t cluster = 5;
  FatEntryRecord record;
  const std::pair<const char*, std::function<bool()>> operations[] = {
      {"allocate", [&] { return v.FatAllocCluster(cluster); }},
      {"free a chain", [&] { return v.FatFreeChain(5); }},
      {"zero a cluster", [&] { return v.FatZeroCluster(2); }},
      {"set an entry", [&] { return v.FatSetEntry(2, 0); }},
      {"write an entry", [&] { return v.FatWriteShortEntry(record); }},
      {"create a file", [&] { return v.FatCreateFile("\\a.txt") != nullptr; }},
      {"set the label", [&] { return v.FatSetVolumeLabel("X"); }},
      {"update the free count", [&] { return v.FatUpdateInfoSector(); }},
  };
  for (const auto& [what, operation] : operations) {
    EXPECT_FALSE(operation()) << what;
    EXPECT_EQ(v.ErrorCode(), kFatErrNotMounted) << what;
  }
  EXPECT_EQ(v.FatNextCluster(cluster), 3);
}

}  // namespace

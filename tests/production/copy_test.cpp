// The file copy onto formatted emulated disks: the run's list rules, folder
// trees (hidden entries, links and pipes left out, files before subfolders),
// and copies that must fail naming the file. Every disk is checked with
// fsck.fat and read back with mtools.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "drive_fixture.h"
#include "support/unprivileged.h"

using namespace production_test;
using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct CopyTest : DriveTest {
  std::string image;
  fs::path src = fs::path(home.path) / "operator";
  void SetUp() override {
    DriveTest::SetUp();
    WriteFile(home / "misc/response.txt", std::string("\r\n"));
  }
  void Disk(const DeviceProfile& p) {
    image = PlugWithDisk(p);
    Format();
  }
  void File(const std::string& rel, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + rel.size());
    WriteFile((src / rel).string(), bytes);
  }
  // Bare names of a folder's entries in directory order, as mdir lists them.
  std::vector<std::string> Entries(const std::string& folder) {
    const std::string out = home / "mdir.txt";
    Shell("mdir -b -i " + Quote(image) + " " + Quote("::/" + folder), out);
    std::vector<std::string> names;
    std::istringstream in(ReadFile(out));
    for (std::string line; std::getline(in, line);) {
      while (!line.empty() && line.back() == '/') line.pop_back();  // folders end in '/'
      if (!line.empty()) names.push_back(fs::path(line).filename().string());
    }
    return names;
  }
};

}  // namespace

TEST_F(CopyTest, RunListAndFoldersReadBackByteForByte) {
  for (auto profile : {SmallDevice(), emulator::profiles::SmallDisk()}) {
    SCOPED_TRACE(profile.name);
    fs::remove_all(src);
    Disk(profile);
    File("Music/b song.mp3", 5000);
    File("Music/A song.MP3", 70000);
    File("Music/.hidden.mp3", 10);
    File("Music/Zeta/deep/track.wma", 3);
    File("Music/alpha/x.txt", 0);
    File("Music/.cache/junk", 4);
    File("firmware.bin", 100);
    File("prefer.dat", 100);
    File("Tool.BIN.txt", 1);
    File("notes.txt", 1234);
    fs::create_symlink(src / "notes.txt", src / "Music/link.txt");
    ASSERT_EQ(::mkfifo((src / "Music/pipe").c_str(), 0600), 0);

    const std::vector<std::string> list = {(src / "firmware.bin").string(), (src / "Music").string(),
                                           (src / "prefer.dat").string(), (src / "notes.txt").string(),
                                           (src / "Tool.BIN.txt").string()};
    ASSERT_TRUE(production::CopyFileListToDrive('E', list, {0, 2}, true)) << production::LastCopyError();
    EXPECT_TRUE(FsckClean(image));
    std::map<std::string, std::string> expected;
    for (const char* rel : {"Music/b song.mp3", "Music/A song.MP3", "Music/Zeta/deep/track.wma", "Music/alpha/x.txt",
                            "notes.txt"})
      expected[rel] = ReadFile((src / rel).string());
    expected["Music/link.txt"] = expected["notes.txt"];  // a link is copied as what it names
    EXPECT_EQ(VolumeTree(image, home / "back"), expected);
    EXPECT_NE(ReadFile(home / "log/1.txt").find("E: not copied (not a regular file): " + (src / "Music/pipe").string()),
              std::string::npos);
    // Files in name order, then the subfolders in name order.
    EXPECT_EQ(Entries("Music"), (std::vector<std::string>{"A song.MP3", "b song.mp3", "link.txt", "alpha", "Zeta"}));

    // A second copy replaces what is there; a folder copied into a subfolder.
    File("Music/b song.mp3", 10);
    ASSERT_TRUE(production::CopyDirTree((src / "Music").string(), "E:\\"));
    ASSERT_TRUE(production::CopyDirTree((src / "Music/Zeta").string(), "E:\\Music\\alpha"));
    ASSERT_TRUE(production::WideCopyFile((src / "notes.txt").string(), "E:\\Music\\n.txt", true));
    EXPECT_FALSE(production::WideCopyFile((src / "notes.txt").string(), "E:\\Music\\n.txt", true));
    EXPECT_NE(production::LastCopyError().find("notes.txt"), std::string::npos) << production::LastCopyError();
    EXPECT_TRUE(FsckClean(image));
    auto back = VolumeTree(image, home / "back");
    EXPECT_EQ(back["Music/b song.mp3"].size(), 10u);
    EXPECT_EQ(back["Music/alpha/Zeta/deep/track.wma"], ReadFile((src / "Music/Zeta/deep/track.wma").string()));
    EXPECT_EQ(back["Music/n.txt"], ReadFile((src / "notes.txt").string()));
    platform::Volumes().Clear();
    devices.clear();
  }
}

// A tree of names that are one on the FAT (letter case, a long name and its
// short name, names that are not UTF-8). Within one copy no source replaces
// what an earlier source of it wrote: the copy fails naming both, and what it
// copied before stays. A file that was on the disk before the copy is replaced.
TEST_F(CopyTest, NoSourceReplacesWhatAnEarlierSourceOfTheSameCopyWrote) {
  File("tree/song.mp3", 101);
  File("tree/Song.mp3", 102);
  File("tree/SONG.MP3", 103);
  File("tree/Dir/a.txt", 104);
  File("tree/dir/a.txt", 105);
  File("tree/Long File Name.txt", 106);
  File("tree/longfi~1.txt", 107);
  File("tree/bad\xFF.txt", 108);
  File("tree/bad\xFE.txt", 109);
  File("tree/ok.txt", 110);
  File("tree/Data", 111);
  File("tree/sub/data/inner.txt", 112);
  const std::string t = (src / "tree").string() + "/";
  const struct {
    const char* what;
    std::vector<std::string> list;      // one copy, into the root
    std::vector<std::string> named;     // the sources its error names (none: it passes)
    std::vector<std::string> kept;      // what the disk then holds, from tree/
  } cases[] = {
      {"letter case", {t + "song.mp3", t + "Song.mp3", t + "SONG.MP3"}, {"Song.mp3", "song.mp3"}, {"song.mp3"}},
      {"folders merge, their files clash", {t + "Dir", t + "dir"}, {"dir/a.txt", "Dir/a.txt"}, {"Dir/a.txt"}},
      {"a long name and the short name it got", {t + "Long File Name.txt", t + "longfi~1.txt"},
       {"longfi~1.txt", "Long File Name.txt"}, {"Long File Name.txt"}},
      {"a name that is not UTF-8", {t + "ok.txt", t + "bad\xFF.txt", t + "bad\xFE.txt"}, {"bad\xFF.txt"}, {"ok.txt"}},
      {"the whole tree: its first name in order is not UTF-8", {t}, {"bad\xFE.txt"}, {}},
      {"a file, then a folder of its name", {t + "Data", t + "sub/data"}, {"sub/data", "Data"}, {"Data"}},
      {"the same source twice is no clash", {t + "ok.txt", t + "ok.txt"}, {}, {"ok.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    platform::Volumes().Clear();
    devices.clear();
    Disk(SmallDevice());
    EXPECT_EQ(production::CopyFileListToDrive('E', c.list, {}, true), c.named.empty());
    const std::string error = production::LastCopyError();
    for (const std::string& rel : c.named) EXPECT_NE(error.find(t + rel), std::string::npos) << error;
    EXPECT_TRUE(FsckClean(image));
    std::map<std::string, std::string> expected;
    for (const std::string& rel : c.kept) expected[rel] = ReadFile(t + rel);
    EXPECT_EQ(VolumeTree(image, home / "back"), expected);
  }
  // What was on the disk before the copy is replaced by it, also under another letter case.
  ASSERT_TRUE(production::CopyFileListToDrive('E', {t + "SONG.MP3"}, {}, true)) << production::LastCopyError();
  ASSERT_TRUE(production::CopyFileListToDrive('E', {t + "song.mp3", t + "ok.txt"}, {}, true))
      << production::LastCopyError();
  EXPECT_TRUE(FsckClean(image));
  const auto back = VolumeTree(image, home / "back");
  EXPECT_EQ(back.size(), 2u);
  EXPECT_EQ(back.begin()->second, ReadFile(t + "song.mp3"));
}

TEST_F(CopyTest, FailuresNameTheFileAndLeaveACheckableDisk) {
  Disk(SmallDevice());
  File("ok/first.mp3", 100);
  File("ok/what?.mp3", 100);  // a name FAT cannot hold
  EXPECT_FALSE(production::CopyDirTree((src / "ok").string(), "E:\\"));
  EXPECT_NE(production::LastCopyError().find("what?.mp3"), std::string::npos) << production::LastCopyError();

  const std::string missing = (src / "gone.mp3").string();
  EXPECT_FALSE(production::CopyFileListToDrive('E', {missing}, {}, true));
  EXPECT_NE(production::LastCopyError().find("gone.mp3"), std::string::npos);
  const std::string pipe = (src / "pipe.mp3").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_FALSE(production::CopyFileListToDrive('E', {pipe}, {}, true)) << "refused, not waited on";
  EXPECT_NE(production::LastCopyError().find("pipe.mp3"), std::string::npos);

  // A file that cannot be read; as an ordinary user, since root reads whatever the modes say.
  File("locked/secret.mp3", 10);
  fs::permissions(src / "locked/secret.mp3", fs::perms::none);
  fs::permissions(image, fs::perms::others_read | fs::perms::others_write, fs::perm_options::add);
  for (fs::path folder = fs::path(image).parent_path(); folder != folder.root_path(); folder = folder.parent_path())
    fs::permissions(folder, fs::perms::others_exec, fs::perm_options::add);  // the disk stays reachable
  bool copied = true;
  std::string error;
  testing_support::RunUnprivileged([&] {
    copied = production::CopyDirTree((src / "locked").string(), "E:\\");
    error = production::LastCopyError();
  });
  EXPECT_FALSE(copied);
  EXPECT_NE(error.find("secret.mp3"), std::string::npos) << error;

  // More than the disk holds: refused before anything of it is written.
  File("big/small.mp3", 1000);
  std::ofstream((src / "big/huge.mp3").string()).close();
  fs::resize_file(src / "big/huge.mp3", 200ull << 20);
  EXPECT_FALSE(production::CopyDirTree((src / "big").string(), "E:\\"));
  EXPECT_NE(production::LastCopyError().find("huge.mp3"), std::string::npos);
  EXPECT_NE(production::LastCopyError().find("full"), std::string::npos);
  EXPECT_NE(ReadFile(home / "log/1.txt").find("huge.mp3"), std::string::npos);

  EXPECT_TRUE(FsckClean(image));
  auto back = VolumeTree(image, home / "back");
  EXPECT_EQ(back.count("big/small.mp3"), 0u) << "sorted: huge.mp3 comes first and ends the copy";
  EXPECT_EQ(back.count("ok/first.mp3"), 1u);

  // Links followed: one that leads nowhere, to a pipe, or back into a folder
  // the copy is inside fails the copy naming the link.
  File("links/a.mp3", 10);
  fs::create_symlink(src / "links", src / "links/loop");
  fs::create_directories(src / "links2");
  fs::create_directories(src / "links3");
  fs::create_symlink(src / "nowhere.mp3", src / "links2/dangling.mp3");
  fs::create_symlink(pipe, src / "links3/to-pipe.mp3");
  for (const char* link : {"links/loop", "links2/dangling.mp3", "links3/to-pipe.mp3"}) {
    const fs::path folder = (src / link).parent_path();
    EXPECT_FALSE(production::CopyDirTree(folder.string(), "E:\\")) << link;
    EXPECT_NE(production::LastCopyError().find((src / link).string()), std::string::npos)
        << production::LastCopyError();
  }
  EXPECT_TRUE(FsckClean(image));

  // Not a drive, or a drive without a file system.
  EXPECT_FALSE(production::CopyDirTree((src / "ok").string(), "Q:\\"));
  EXPECT_FALSE(production::WideCopyFile((src / "ok/first.mp3").string(), "/tmp/x", false));
}

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/fswalk/fswalk.h"
#include "support/temp_dir.h"

using namespace platform;
using testing_support::TempDir;
namespace fs = std::filesystem;

namespace {

void Write(const std::string& path, std::size_t size) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << std::string(size, 'x');
}

// name:kind for a listing, kinds as f(ile) d(folder) l(ink) o(ther).
std::string Describe(const std::vector<FolderEntry>& entries) {
  std::string out;
  for (const FolderEntry& e : entries) {
    static constexpr char kKinds[] = "fdlo";
    out += e.name + ":" + kKinds[static_cast<int>(e.kind)] + (e.hidden ? "h" : "") + " ";
  }
  return out;
}

TEST(NameComparison, IgnoresCaseTheWayVolumeReadersDoAndKeepsBytesThatAreNotUtf8) {
  EXPECT_TRUE(EqualIgnoringCase("FLASH.INI", "flash.ini"));
  EXPECT_TRUE(EqualIgnoringCase("Ā.TXT", "ā.txt"));
  EXPECT_TRUE(EqualIgnoringCase("Ａ", "ａ"));
  EXPECT_FALSE(EqualIgnoringCase("a.txt", "a.txt "));
  EXPECT_EQ(CaseFoldUtf8("A\xFF" "B\xC3"), "a\xFF" "b\xC3") << "bytes that are not UTF-8 stay";
  EXPECT_TRUE(NameLess("apple", "Banana"));
  EXPECT_TRUE(NameLess("README", "readme")) << "exact bytes break ties";
  EXPECT_FALSE(NameLess("readme", "README"));
}

TEST(ListFolder, GivesEveryEntrySortedWithKindSizeAndHiddenWithoutFollowingLinks) {
  TempDir dir("fswalk");
  Write(dir / "in/b.txt", 5);
  Write(dir / "in/A.txt", 3);
  Write(dir / "in/.hidden", 1);
  Write(dir / "in/Zeta/inner.txt", 1);
  fs::create_symlink("Zeta", dir / "in/link");
  fs::create_symlink("missing", dir / "in/dangling");
  ASSERT_EQ(::mkfifo((dir / "in/pipe").c_str(), 0600), 0);

  std::vector<FolderEntry> entries;
  WalkError error;
  ASSERT_TRUE(ListFolder(dir / "in", entries, error)) << error.Text();
  EXPECT_EQ(Describe(entries), ".hidden:fh A.txt:f b.txt:f dangling:l link:l pipe:o Zeta:d ");
  EXPECT_EQ(entries[1].path, dir / "in/A.txt");
  EXPECT_EQ(entries[1].size, 3u);
  EXPECT_EQ(entries[2].size, 5u);
  EXPECT_EQ(entries[6].size, 0u) << "a folder has no size";

  fs::create_hard_link(dir / "in/A.txt", dir / "in/hard");
  FolderEntry a, hard;
  ASSERT_TRUE(StatEntry(dir / "in/A.txt", a, error));
  ASSERT_TRUE(StatEntry(dir / "in/hard", hard, error));
  EXPECT_EQ(hard.name, "hard");
  EXPECT_EQ(std::pair(a.device, a.inode), std::pair(hard.device, hard.inode)) << "one file, two names";

  for (const std::string& bad : {dir / "missing", dir / "in/A.txt"}) {
    EXPECT_FALSE(ListFolder(bad, entries, error));
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(error.path, bad);
    EXPECT_NE(error.Text().find(bad), std::string::npos) << error.Text();
  }
  EXPECT_FALSE(StatEntry(dir / "missing", a, error));
  EXPECT_EQ(error.code, ENOENT);
}

TEST(WalkFolderTree, VisitsDepthFirstInEitherOrderSkipsHiddenAndNeverEntersLinks) {
  TempDir dir("fswalk");
  Write(dir / "t/b/x.txt", 1);
  Write(dir / "t/b/c/y.txt", 1);
  Write(dir / "t/a.txt", 1);
  Write(dir / "t/c.txt", 1);
  Write(dir / "t/.git/config", 1);
  Write(dir / "t/d/z.txt", 1);
  fs::create_directory_symlink(dir / "t", dir / "t/b/loop");

  struct Case {
    WalkOptions options;
    const char* expected;
  } cases[] = {
      {{}, "1a.txt 1b 2c 3y.txt 2loop 2x.txt 1c.txt 1d 2z.txt "},
      {{false, true}, "1a.txt 1c.txt 1b 2loop 2x.txt 2c 3y.txt 1d 2z.txt "},
      {{true, false}, "1.git 2config 1a.txt 1b 2c 3y.txt 2loop 2x.txt 1c.txt 1d 2z.txt "},
  };
  for (const Case& c : cases) {
    std::string seen;
    WalkError error;
    const WalkStatus status = WalkFolderTree(
        dir / "t", c.options,
        [&](const FolderEntry& e, int depth) {
          seen += std::to_string(depth) + e.name + " ";
          return WalkStep::kContinue;
        },
        error);
    EXPECT_EQ(status, WalkStatus::kDone) << error.Text();
    EXPECT_EQ(seen, c.expected);
  }

  // A folder the visitor skips is not entered; a stop ends the walk at once.
  std::string seen;
  WalkError error;
  EXPECT_EQ(WalkFolderTree(dir / "t", {},
                           [&](const FolderEntry& e, int) {
                             seen += e.name + " ";
                             if (e.name == "b") return WalkStep::kSkip;
                             return e.name == "c.txt" ? WalkStep::kStop : WalkStep::kContinue;
                           },
                           error),
            WalkStatus::kStopped);
  EXPECT_EQ(seen, "a.txt b c.txt ");

  // A folder that vanishes before it is read fails the walk naming it.
  EXPECT_EQ(WalkFolderTree(dir / "t", {},
                           [&](const FolderEntry& e, int) {
                             if (e.name == "a.txt") fs::remove_all(dir / "t/d");
                             return WalkStep::kContinue;
                           },
                           error),
            WalkStatus::kFailed);
  EXPECT_EQ(error.path, dir / "t/d");
}

// Following links: a link is what it names (under its own name), a folder it
// names is entered; one that leads nowhere, to neither a file nor a folder, or
// back into a folder the walk is in fails the walk naming the link and why.
TEST(WalkFolderTree, FollowingLinksVisitsWhatTheyNameAndFailsOnLinksThatLeadNowhere) {
  TempDir dir("fswalk");
  Write(dir / "t/a.txt", 4);
  Write(dir / "elsewhere/inner/deep.txt", 7);
  fs::create_symlink(dir / "t/a.txt", dir / "t/file-link");
  fs::create_directory_symlink(dir / "elsewhere", dir / "t/folder-link");
  fs::create_symlink("missing", dir / "t/.hidden-dangling");  // hidden: never looked at

  std::string seen;
  WalkError error;
  WalkOptions follow{.followLinks = true};
  ASSERT_EQ(WalkFolderTree(dir / "t", follow,
                           [&](const FolderEntry& e, int depth) {
                             seen += std::to_string(depth) + e.name + (e.viaLink ? "@" : "") + ":" +
                                     std::to_string(e.size) + " ";
                             return WalkStep::kContinue;
                           },
                           error),
            WalkStatus::kDone)
      << error.Text();
  EXPECT_EQ(seen, "1a.txt:4 1file-link@:4 1folder-link@:0 2inner:0 3deep.txt:7 ");

  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  const struct {
    const char* what;
    std::string target;  // of the link t/sub/bad
    const char* reason;
  } bad[] = {
      {"dangling", "nothing-there", "\"nothing-there\", which does not exist"},
      {"into a pipe", dir / "pipe", "which is neither a file nor a folder"},
      {"into the walk's root", "..", "\"..\", a folder that holds it"},
      {"into a folder above the root", "../..", "\"../..\", a folder that holds it"},
      {"into its own folder", ".", "a folder that holds it"},
      {"links in a ring", "bad", "a loop of symbolic links"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir / "t/sub");
    Write(dir / "t/sub/ok.txt", 1);
    fs::create_symlink(c.target, dir / "t/sub/bad");
    EXPECT_EQ(WalkFolderTree(dir / "t", follow, [](const FolderEntry&, int) { return WalkStep::kContinue; }, error),
              WalkStatus::kFailed);
    EXPECT_EQ(error.path, dir / "t/sub/bad");
    EXPECT_NE(error.Text().find(dir / "t/sub/bad: "), std::string::npos) << error.Text();
    EXPECT_NE(error.Text().find(c.reason), std::string::npos) << error.Text();
    EXPECT_EQ(WalkFolderTree(dir / "t", {}, [](const FolderEntry&, int) { return WalkStep::kContinue; }, error),
              WalkStatus::kDone)
        << "not following, the link is only visited";
  }

  // One entry: a link is followed, anything else stays as it was.
  FolderEntry entry;
  ASSERT_TRUE(StatEntry(dir / "t/folder-link", entry, error));
  EXPECT_EQ(entry.kind, EntryKind::kLink);
  ASSERT_TRUE(FollowLink(entry, error));
  EXPECT_EQ(entry.kind, EntryKind::kFolder);
  EXPECT_EQ(entry.name, "folder-link");
  FolderEntry pipe;
  ASSERT_TRUE(StatEntry(dir / "pipe", pipe, error));
  EXPECT_TRUE(FollowLink(pipe, error));
  EXPECT_EQ(pipe.kind, EntryKind::kOther);
  EXPECT_FALSE(pipe.viaLink);
}

TEST(FindIgnoringCase, FindsShippedFilesWhateverTheirCase) {
  TempDir dir("fswalk");
  Write(dir / "Flash/FLASH.INI", 1);
  Write(dir / "Flash/readme.txt", 1);
  Write(dir / "Flash/README.TXT", 1);
  Write(dir / "misc/FSM.bin", 1);

  EXPECT_EQ(FindIgnoringCase(dir / "Flash", "flash.ini"), dir / "Flash/FLASH.INI");
  EXPECT_EQ(FindIgnoringCase(dir / "Flash", "README.TXT"), dir / "Flash/README.TXT") << "the exact name wins";
  EXPECT_EQ(FindIgnoringCase(dir / "Flash", "Readme.Txt"), dir / "Flash/README.TXT") << "first in walk order";
  EXPECT_EQ(ResolveIgnoringCase(dir.path, "flash\\flash.ini"), dir / "Flash/FLASH.INI");
  EXPECT_EQ(ResolveIgnoringCase(dir.path, "./MISC/fsm.BIN"), dir / "misc/FSM.bin");

  WalkError error;
  EXPECT_EQ(FindIgnoringCase(dir / "Flash", "flash.txt", &error), std::nullopt);
  EXPECT_TRUE(error.path.empty()) << "not found is no failure";
  EXPECT_EQ(ResolveIgnoringCase(dir.path, "log\\1.txt", &error), std::nullopt);
  EXPECT_EQ(FindIgnoringCase(dir / "none", "a", &error), std::nullopt);
  EXPECT_EQ(error.path, dir / "none");
}

}  // namespace

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <tuple>
#include <vector>

#include "support/temp_dir.h"
#include "platform/paths/paths.h"

using namespace platform;
namespace fs = std::filesystem;

TEST(ProgramFolder, IsTheExecutablesFolderUnlessSetAndResolvesWindowsNames) {
  const std::string exeFolder = fs::read_symlink("/proc/self/exe").parent_path().string() + "/";
  EXPECT_EQ(ProgramFolder(), exeFolder);
  SetProgramFolder("/srv/station");
  EXPECT_EQ(ProgramFolder(), "/srv/station/");
  EXPECT_EQ(ProgramPath(".\\misc\\PASS.IMG"), "/srv/station/misc/PASS.IMG");
  EXPECT_EQ(ProgramPath("/abs/file"), "/abs/file");
  EXPECT_EQ(ToNativePath(".\\flash\\"), "flash/") << "relative names stay relative";
  EXPECT_EQ(ToNativePath("..\\up"), "../up");

  const char* argv[] = {"station", "--home", "/home/line1"};
  EXPECT_TRUE(ApplyHomeOption(3, argv));
  EXPECT_EQ(ProgramFolder(), "/home/line1/");
  const char* argv2[] = {"station", "--home=rel/dir/"};
  EXPECT_TRUE(ApplyHomeOption(2, argv2));
  EXPECT_EQ(ProgramFolder(), (fs::current_path() / "rel/dir/").string());
  EXPECT_FALSE(ApplyHomeOption(2, argv)) << "no folder after the option";
  SetProgramFolder("");

  // Checked at start: a missing value or folder is refused and applies nothing.
  testing_support::TempDir home;
  const std::string file = home / "file";
  std::ofstream(file) << "x";
  const std::tuple<std::vector<const char*>, HomeOption, const char*> cases[] = {
      {{"station"}, HomeOption::Absent, ""},
      {{"station", "--home", home.path.c_str()}, HomeOption::Applied, ""},
      {{"station", "--emulate", "2", "--home"}, HomeOption::Invalid, "--home needs the program folder after it"},
      {{"station", "--home="}, HomeOption::Invalid, "--home needs the program folder after it"},
      {{"station", "--home", "/no/such/folder"},
       HomeOption::Invalid,
       "--home: \"/no/such/folder\" is not an existing folder"},
  };
  for (const auto& [args, outcome, message] : cases) {
    std::string error;
    EXPECT_EQ(ApplyHomeOption(static_cast<int>(args.size()), args.data(), error), outcome) << args.back();
    EXPECT_EQ(error, message);
    EXPECT_EQ(ProgramFolder(), outcome == HomeOption::Applied ? home.path + "/" : exeFolder);
    SetProgramFolder("");
  }
  const std::string fileArg = "--home=" + file;
  const char* onFile[] = {"station", fileArg.c_str()};
  std::string error;
  EXPECT_EQ(ApplyHomeOption(2, onFile, error), HomeOption::Invalid) << "a file is no folder";
  EXPECT_EQ(ProgramFolder(), exeFolder);
}

TEST(CurrentFolder, CanBeSetAndRead) {
  const std::string before = GetCurrentDir();
  const std::string tmp = fs::canonical(fs::temp_directory_path()).string();
  EXPECT_TRUE(SetCurrentDir(tmp));
  EXPECT_FALSE(SetCurrentDir("/no/such/folder"));
  EXPECT_FALSE(SetCurrentDir(""));
  EXPECT_EQ(GetCurrentDir(), tmp);
  EXPECT_TRUE(SetCurrentDir(before));
  EXPECT_TRUE(DirectoryExists(tmp));
  EXPECT_FALSE(FileExists(tmp));
}

TEST(AtomicWrite, ReplacesWholeOrNotAtAll) {
  testing_support::TempDir dir("paths");
  const std::string file = dir / "f.bin";
  const std::string content("a\0b", 3);
  std::string bytes, reason;
  ASSERT_TRUE(WriteFileAtomically(file, content));
  ASSERT_TRUE(ReadWholeFile(file, bytes));
  EXPECT_EQ(bytes, content);
  EXPECT_FALSE(WriteFileAtomically(dir.path, "x", &reason)) << "a folder is no file";
  EXPECT_FALSE(reason.empty());
  EXPECT_FALSE(WriteFileAtomically(dir / "none/f", "x"));
  EXPECT_FALSE(WriteFileAtomically(file + "/sub", "x")) << "a file is no folder";
  EXPECT_FALSE(CanReplaceFile(dir / "none/f"));
  EXPECT_TRUE(CanReplaceFile(dir / "new"));
  ::chmod(file.c_str(), 0444);
  EXPECT_FALSE(CanReplaceFile(file));
  EXPECT_FALSE(WriteFileAtomically(file, "new"));
  ASSERT_TRUE(ReadWholeFile(file, bytes));
  EXPECT_EQ(bytes, content);
  EXPECT_FALSE(ReadWholeFile(dir.path, bytes)) << "a folder reads as nothing";
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(ReadWholeFile(dir / "pipe", bytes)) << "a FIFO (a settings or list file, say) is never waited on";
  fs::remove(dir / "pipe");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

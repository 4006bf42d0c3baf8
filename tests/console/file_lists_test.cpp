// The three path lists: their files byte for byte, the clean-up at load, and
// the main window's add and remove buttons.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "console/file_lists.h"
#include "station_fixture.h"

namespace console::testing {
namespace {

using namespace platform::ui;
using FileLists = StationTest;

// A list file as the station writes it: FF FE, UTF-16LE, CR LF after each line.
std::string ListBytes(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

TEST_F(FileLists, ListsAreWrittenAtCloseByteForByte) {
  Start();
  Form1->HideFileList = {"/a/b.mp3", "/音乐/歌.mp3"};
  Form1->SpiFileList = {};
  Form1->TntSelectFileList2.Items.Add("/fw/program.bin");
  Stop();
  EXPECT_EQ(ReadBytes(misc() / "hideseting.ini"), ListBytes(u"/a/b.mp3\r\n/音乐/歌.mp3\r\n"));
  EXPECT_EQ(ReadBytes(misc() / "spiseting.ini"), ListBytes(u""));
  EXPECT_EQ(ReadBytes(misc() / "seting.ini"), ListBytes(u"/fw/program.bin\r\n"));
}

TEST_F(FileLists, LoadKeepsFoldersAndReadableFilesOnly) {
  fs::create_directories(home_ / "files" / "empty dir");
  WriteBytes(home_ / "files" / "a.bin", "x");
  WriteBytes(home_ / "files" / "歌.mp3", "x");
  ASSERT_EQ(::mkfifo((home_ / "files" / "pipe").c_str(), 0644), 0);
  const std::string f = (home_ / "files").string();
  const std::u16string f16(f.begin(), f.end());
  WriteBytes(misc() / "seting.ini", ListBytes(f16 + u"/a.bin\r\n\r\n" + f16 + u"/gone.bin\r\n" + f16 +
                                              u"/empty dir\r\n" + f16 + u"/pipe\r\n" + f16 + u"/歌.mp3\r\n"));
  WriteBytes(misc() / "hideseting.ini", ListBytes(f16 + u"/gone\r\n" + f16 + u"/a.bin\r\n"));
  Start();
  EXPECT_EQ(Form1->TntSelectFileList2.Items.ToVector(),
            (std::vector<std::string>{f + "/a.bin", f + "/empty dir", f + "/歌.mp3"}));
  EXPECT_EQ(Form1->HideFileList, (std::vector<std::string>{f + "/a.bin"}));
  EXPECT_TRUE(Form1->SpiFileList.empty());  // no file: stays empty
  Stop();
  // Dropped entries are gone from the file too.
  EXPECT_EQ(ReadBytes(misc() / "hideseting.ini"), ListBytes(f16 + u"/a.bin\r\n"));
}

// A list file that is there but cannot be read (here an I/O error on every
// read, which holds for root too) is reported at start and kept at close.
TEST_F(FileLists, AListFileThatCannotBeReadIsReportedAndNotWrittenOver) {
  fs::create_symlink("/proc/self/mem", misc() / "seting.ini");
  WriteBytes(home_ / "a.bin", "x");
  WriteBytes(misc() / "hideseting.ini", ListBytes(u"/no/such/file\r\n"));
  Start();
  auto errors = dialogs().Records(DialogKind::Error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].request.text.rfind("Cannot open file \"" + (misc() / "seting.ini").string() + "\". ", 0), 0u)
      << errors[0].request.text;
  EXPECT_EQ(Form1->TntSelectFileList2.Items.Count(), 0);
  Form1->TntSelectFileList2.Items.Add((home_ / "a.bin").string());
  Stop();
  EXPECT_EQ(dialogs().Records(DialogKind::Error).size(), 1u) << "nothing more to report at close";
  EXPECT_TRUE(fs::is_symlink(misc() / "seting.ini")) << "left as it was";
  EXPECT_EQ(ReadBytes(misc() / "hideseting.ini"), ListBytes(u"")) << "the readable lists are saved as usual";
}

TEST_F(FileLists, AddFilesAppendsAndWarnsAboutLongPaths) {
  Start();
  const std::string p128 = "/" + std::string(127, 'a');
  const std::string p129 = "/" + std::string(128, 'b');
  const std::string chinese = "/" + std::string(119, 'c') + "/音乐音乐音乐音乐";  // 129 UTF-16 characters
  ASSERT_EQ(WidePathLength(chinese), 129u);
  dialogs().AnswerFiles({p128, p129, p128, chinese});
  fs::path before = fs::current_path();
  Form1->AddFilesBtn.UserClick();
  EXPECT_EQ(fs::current_path(), before);
  const std::vector<std::string> added{p128, p129, p128, chinese};
  EXPECT_EQ(Form1->TntSelectFileList2.Items.ToVector(), added);
  auto files = dialogs().Records(DialogKind::OpenFile);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].request.caption, "Select files");
  EXPECT_TRUE(files[0].request.flags & ofAllowMultiSelect);
  auto boxes = dialogs().Records(DialogKind::MessageBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].request.text, "Length of Filepath exceeds 128!\n" + p129 + "\n" + chinese);
  EXPECT_EQ(boxes[0].request.caption, "Warning");
  EXPECT_EQ(boxes[0].request.flags, 0x10u);
  // A cancelled pick changes nothing.
  dialogs().CancelFileDialog();
  Form1->AddFilesBtn.UserClick();
  EXPECT_EQ(Form1->TntSelectFileList2.Items.ToVector(), added);
  EXPECT_EQ(dialogs().Count(DialogKind::MessageBox), 1u);
}

TEST_F(FileLists, RemoveDeletesTheSelectedEntriesAndAddFolderRemembersItsPick) {
  Start();
  for (const char* p : {"/a", "/b", "/c"}) Form1->TntSelectFileList2.Items.Add(p);
  Form1->TntSelectFileList2.UserSelect(0);
  Form1->TntSelectFileList2.UserSelect(2, true);
  Form1->RemoveBtn.UserClick();
  EXPECT_EQ(Form1->TntSelectFileList2.Items.ToVector(), (std::vector<std::string>{"/b"}));
  dialogs().AnswerFiles({misc().string()});
  Form1->btnAddDir.UserClick();
  EXPECT_EQ(Form1->TntSelectFileList2.Items.ToVector(), (std::vector<std::string>{"/b", misc().string()}));
  EXPECT_EQ(dialogs().Last().request.caption, "Select Directory");
  platform::TRegistry reg;
  reg.SetRootKey(platform::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey(kStationKey, false));
  EXPECT_EQ(reg.ReadString("AddDir"), misc().string());
  dialogs().CancelFileDialog();
  Form1->btnAddDir.UserClick();
  EXPECT_EQ(Form1->TntSelectFileList2.Items.Count(), 2);
}

}  // namespace
}  // namespace console::testing

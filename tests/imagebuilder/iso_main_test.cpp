// The image tool window driven as the operator drives it: clicks, typing and
// the slider through the control model, files and folders through the
// scripted dialogs. Every image built is checked slot by slot by fsck.fat -n
// and read back with mcopy.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

#include "image_oracle.h"
#include "imagebuilder/iso_main.h"
#include "platform/clock/clock.h"
#include "platform/ini/ini.h"
#include "platform/paths/paths.h"
#include "platform/textfile/textfile.h"

using namespace imagebuilder;
namespace fs = std::filesystem;
using oracle::TempDir;

namespace {

using Files = std::map<std::string, std::string>;

class IsoMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = dir_ / "home";
    fs::create_directories(home_ + "/misc");
    savedCwd_ = fs::current_path();
    platform::SetProgramFolder(home_);
    app_ = std::make_unique<ScopedApplication>();
  }
  void TearDown() override {
    app_.reset();
    fs::current_path(savedCwd_);
    platform::SetProgramFolder("");
  }

  ScriptedDialogs& dialogs() { return app_->dialogs(); }
  std::unique_ptr<TfrmIsoMain> NewWindow() { return std::make_unique<TfrmIsoMain>(builder_); }
  std::string Misc(const std::string& name) const { return home_ + "/misc/" + name; }

  // Shows the window modally; `act` runs inside it as the operator; then the
  // window is closed by its close box.
  TModalResult RunModal(TfrmIsoMain& window, const std::function<void(TfrmIsoMain&)>& act) {
    dialogs().Then(DialogKind::Modal, [&](const DialogRequest& r) {
      act(static_cast<TfrmIsoMain&>(*r.form));
      r.form->UserClose();
      return DialogAnswer{};
    });
    return window.ShowModal();
  }
  // The operator clicks "Create Image" and names `output` in the save dialog.
  static void ClickCreate(ScriptedDialogs& dialogs, TfrmIsoMain& window, const std::string& output) {
    dialogs.AnswerFiles({output});
    EXPECT_TRUE(window.btnCreateImg.UserClick());
  }
  // Both slots pass fsck.fat -n, give back exactly `expected` through mcopy
  // and, when `label` is given, carry it.
  void ExpectSlots(const std::string& image, const Files& expected, const std::string& label = {}) {
    for (int slot = 0; slot < 2; ++slot) {
      SCOPED_TRACE("slot " + std::to_string(slot));
      const std::string raw = dir_ / ("slot" + std::to_string(slot) + ".raw");
      const auto fsck = oracle::ExtractAndFsck(image, slot, raw);
      EXPECT_EQ(fsck.exitCode, 0) << fsck.output;
      std::string log;
      const Files files = oracle::VolumeFiles(raw, dir_ / ("out" + std::to_string(slot)), &log);
      EXPECT_EQ(files.size(), expected.size()) << log;
      for (const auto& [name, bytes] : expected) {
        const auto it = files.find(name);
        ASSERT_NE(it, files.end()) << name << " missing; " << log;
        EXPECT_TRUE(it->second == bytes) << name << " differs";
      }
      if (!label.empty()) {
        const auto root = oracle::Run("mdir -i " + oracle::Quote(raw) + " ::");
        EXPECT_NE(root.output.find(label), std::string::npos) << root.output;
      }
      fs::remove(raw);
      fs::remove_all(dir_ / ("out" + std::to_string(slot)));
    }
  }
  std::string Put(const std::string& rel, std::size_t size, unsigned seed, Files* expected = nullptr,
                  const std::string& volumePath = {}) {
    const std::string bytes = oracle::Pattern(size, seed);
    oracle::WriteFile(dir_ / ("in/" + rel), bytes);
    if (expected != nullptr) (*expected)[volumePath.empty() ? rel : volumePath] = bytes;
    return dir_ / ("in/" + rel);
  }

  TempDir dir_;
  std::string home_;
  fs::path savedCwd_;
  std::unique_ptr<ScopedApplication> app_;
  ImageBuilder builder_;
};

// ---------------------------------------------------------------- settings

TEST_F(IsoMainTest, StartsFromItsSettingsFilesAndKeepsOnlyListedEntriesThatExist) {
  struct Case {
    const char* name;
    std::string ini;  // "" = no file
    std::string label;
    int position;
  };
  const Case cases[] = {
      {"new installation", "", "PASS WD", 8},
      {"stored values", "[DISK]\r\nLabel=music\r\nDiskSize=63\r\n", "MUSIC", 63},
      {"above the slider", "[Disk]\r\nDiskSize=300\r\n", "PASS WD", 256},
      {"below the slider", "[DISK]\r\nDiskSize=1\r\n", "PASS WD", 4},
      {"not a number", "[DISK]\r\nDiskSize=lots\r\n", "PASS WD", 8},
  };
  const std::string file = Put("kept.txt", 3, 1);
  const std::string folder = dir_ / "in";
  platform::SaveListFile(Misc("isoseting.ini"), {file, dir_ / "in/gone.txt", "", folder});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(Misc("ImgTool.ini"));
    if (!c.ini.empty()) oracle::WriteFile(Misc("ImgTool.ini"), c.ini);
    const auto window = NewWindow();
    EXPECT_EQ(window->edtDiskLabel.Text(), c.label);
    EXPECT_EQ(window->tbarHideDiskRatio.Position(), c.position);
    EXPECT_EQ(window->edtDiskSize.Text(), std::to_string(c.position * 32));
    EXPECT_EQ(window->TntlstHideFiles.Items.ToVector(), (std::vector<std::string>{file, folder}));
    EXPECT_EQ(window->Caption(), "IMG tool");
    EXPECT_FALSE(window->ProgressBar1.Visible());
    EXPECT_FALSE(window->Timer1.Enabled());
  }
}

TEST_F(IsoMainTest, TheOperatorsListLabelAndSizeAreSavedWholeAtCloseAndReadBack) {
  const std::string a = Put("a.txt", 1, 1), b = Put("b.txt", 1, 2), c = Put("c.txt", 1, 3);
  const std::string folder = dir_ / "in";
  // An earlier, longer list and a section of someone else's.
  oracle::WriteFile(Misc("ImgTool.ini"),
                    "[HIDE_FILES]\r\nfiles0=x\r\nfiles1=y\r\nfiles2=z\r\n[Other]\r\nkeep=1\r\n");
  fs::remove(Misc("isoseting.ini"));
  auto window = NewWindow();
  window->MainLanguageIndex = [] { return 2; };
  window->MessageText = [](const std::string& english, int language) {
    return std::to_string(language) + ":" + english;
  };
  RunModal(*window, [&](TfrmIsoMain& w) {
    EXPECT_EQ(w.Caption(), "2:Create Image");
    EXPECT_EQ(w.lblDiskSize.Caption(), "2:Image Disk Size:");
    EXPECT_EQ(w.grpHiddenFiles.Caption(), "2:Hidden Files");
    EXPECT_EQ(w.btnAddDir.Caption(), "2:Add Dir");
    dialogs().AnswerFiles({a, b, c});
    EXPECT_TRUE(w.btnAddFile.UserClick());
    dialogs().AnswerFiles({folder + "/"});
    EXPECT_TRUE(w.btnAddDir.UserClick());
    dialogs().CancelFileDialog();
    EXPECT_TRUE(w.btnAddDir.UserClick());
    EXPECT_TRUE(w.TntlstHideFiles.UserSelect(1));
    EXPECT_TRUE(w.TntlstHideFiles.UserSelect(2, true));
    EXPECT_TRUE(w.btnRemove.UserClick());
    EXPECT_TRUE(w.edtDiskLabel.UserType("music wd1"));
    EXPECT_TRUE(w.tbarHideDiskRatio.UserSetPosition(100));
    EXPECT_EQ(w.edtDiskSize.Text(), "3200");
    EXPECT_FALSE(w.edtDiskSize.UserType("1")) << "the size is read-only";
  });
  const auto folderDialog = dialogs().Records(DialogKind::Folder);
  ASSERT_FALSE(folderDialog.empty());
  EXPECT_EQ(folderDialog.front().request.caption, "Select Directory");
  EXPECT_TRUE(dialogs().Records(DialogKind::OpenFile).front().request.flags & ofAllowMultiSelect);

  const std::vector<std::string> list{a, folder};
  std::vector<std::string> saved;
  ASSERT_TRUE(platform::LoadListFile(Misc("isoseting.ini"), saved));
  EXPECT_EQ(saved, list);
  EXPECT_EQ(oracle::ReadFile(Misc("isoseting.ini")).substr(0, 2), "\xFF\xFE");
  const platform::TIniFile ini(Misc("ImgTool.ini"));
  EXPECT_EQ(ini.ReadString("DISK", "Label", ""), "MUSIC WD");
  EXPECT_EQ(ini.ReadInteger("DISK", "DiskSize", 0), 100);
  EXPECT_EQ(ini.ReadSection("HIDE_FILES"), (std::vector<std::string>{"files0", "files1"}));
  EXPECT_EQ(ini.ReadString("HIDE_FILES", "files1", ""), folder);
  EXPECT_EQ(ini.ReadString("Other", "keep", ""), "1");

  window = NewWindow();
  EXPECT_EQ(window->edtDiskLabel.Text(), "MUSIC WD");
  EXPECT_EQ(window->edtDiskSize.Text(), "3200");
  EXPECT_EQ(window->TntlstHideFiles.Items.ToVector(), list);
}

TEST_F(IsoMainTest, AMissingMiscFolderIsMadeAtCloseAndOneThatCannotBeMadeIsReported) {
  fs::remove_all(home_ + "/misc");
  auto window = NewWindow();
  window->Close();
  EXPECT_TRUE(fs::exists(Misc("ImgTool.ini")));
  EXPECT_TRUE(fs::exists(Misc("isoseting.ini")));
  EXPECT_EQ(dialogs().Count(), 0u);

  fs::remove_all(home_ + "/misc");
  oracle::WriteFile(home_ + "/misc", "a file where the folder belongs");
  window->Close();
  ASSERT_EQ(dialogs().Count(), 1u);
  EXPECT_EQ(dialogs().Last().request.text, "Create misc dir fail!");
  EXPECT_EQ(dialogs().Last().request.caption, "ERROR");
  EXPECT_EQ(dialogs().Last().request.flags & MB_ICONMASK, MB_ICONERROR);
}

// ---------------------------------------------------------------- building

struct SizeCase {
  int position;
  std::uint32_t sizeMiB;
  const char* fatType;  // as the boot sector names it
};

class IsoMainSizes : public IsoMainTest, public ::testing::WithParamInterface<SizeCase> {};

// Every slider position gives its size, FAT16 and FAT32 alike, up to 8192 MB;
// the images stay sparse. Position 8, a new installation's, is built from an
// empty list: both slots hold the label only.
TEST_P(IsoMainSizes, ThePositionGivesTheVolumeSizeInBothSlots) {
  const SizeCase& c = GetParam();
  Files expected;
  const bool emptyList = c.position == 8;
  const std::string song = Put("song.mp3", 70000, 7, emptyList ? nullptr : &expected);
  auto window = NewWindow();
  std::string handedOver;
  window->OnImageCreated = [&](const std::string& file) { handedOver = file; };
  RunModal(*window, [&](TfrmIsoMain& w) {
    if (!emptyList) w.TntlstHideFiles.Items.Add(song);
    EXPECT_TRUE(w.tbarHideDiskRatio.UserSetPosition(c.position));
    ClickCreate(dialogs(), w, dir_ / "built");
  });
  const std::string image = dir_ / "built.IMG";
  EXPECT_EQ(handedOver, image) << "the save dialog adds the extension";
  const auto message = dialogs().Records(DialogKind::MessageBox);
  ASSERT_EQ(message.size(), 1u);
  EXPECT_EQ(message[0].request.text, "Create ImageSuccess");
  EXPECT_EQ(message[0].request.caption, "Success");
  EXPECT_EQ(message[0].request.flags & MB_ICONMASK, MB_ICONINFORMATION);

  const auto container = oracle::ReadContainer(image);
  ASSERT_TRUE(container);
  EXPECT_EQ(container->sizeMiB, c.sizeMiB);
  EXPECT_LT(container->bytes.size(), 16u << 20) << "only the sectors written are stored";
  for (int slot = 0; slot < 2; ++slot) {
    const std::uint32_t sectorSize = slot == 0 ? 512 : 1024;
    EXPECT_EQ(container->slots[slot].sectorSize, sectorSize);
    const auto records = oracle::SlotRecords(*container, slot);
    ASSERT_TRUE(records.count(0));
    const auto* boot = reinterpret_cast<const std::uint8_t*>(records.at(0).data());
    EXPECT_EQ(oracle::Le32(boot + 32), (std::uint64_t{c.sizeMiB} << 20) / sectorSize);
    const std::string type(reinterpret_cast<const char*>(boot) + (c.fatType[3] == '1' ? 54 : 82), 5);
    EXPECT_EQ(type, c.fatType);
  }
  ExpectSlots(image, expected, "PASS WD");
}

INSTANTIATE_TEST_SUITE_P(Positions, IsoMainSizes,
                         ::testing::Values(SizeCase{4, 128, "FAT16"}, SizeCase{8, 256, "FAT16"},
                                           SizeCase{63, 2016, "FAT16"}, SizeCase{64, 2048, "FAT32"},
                                           SizeCase{128, 4096, "FAT32"}, SizeCase{256, 8192, "FAT32"}),
                         [](const auto& info) { return "Position" + std::to_string(info.param.position); });

TEST_F(IsoMainTest, FoldersKeepTheirVisibleFilesSortedAndAFileListedTwiceAppearsOnce) {
  Files expected;
  // Sorted without regard to case: A, b, c; files before sub-folders.
  Put("Music/b.mp3", 600, 1, &expected);
  Put("Music/A.mp3", 1500, 2, &expected);
  Put("Music/c.MP3", 0, 3, &expected);
  Put("Music/Sub/z.txt", 40000, 4, &expected);
  Put("Music/.hidden", 10, 5);
  Put("Music/.secret/inside.txt", 10, 6);
  fs::create_directories(dir_ / "in/Music/Empty/Inner");
  const std::string top = Put("top.txt", 100, 7, &expected);
  const std::string emptyFolder = dir_ / "in/Music/Empty";

  auto window = NewWindow();
  RunModal(*window, [&](TfrmIsoMain& w) {
    w.TntlstHideFiles.Items.Assign({dir_ / "in/Music", top, emptyFolder, top});
    EXPECT_TRUE(w.tbarHideDiskRatio.UserSetPosition(4));
    ClickCreate(dialogs(), w, dir_ / "tree.IMG");
  });
  ASSERT_EQ(dialogs().Last().request.caption, "Success") << dialogs().Last().request.text;
  ExpectSlots(dir_ / "tree.IMG", expected);

  ASSERT_TRUE(oracle::ExtractSlot(dir_ / "tree.IMG", 1, dir_ / "tree.raw"));
  const auto root = oracle::Run("mdir -i " + oracle::Quote(dir_ / "tree.raw") + " ::");
  const auto music = oracle::Run("mdir -i " + oracle::Quote(dir_ / "tree.raw") + " ::/Music");
  ASSERT_EQ(music.exitCode, 0) << music.output;
  std::size_t at = 0;
  for (const char* name : {" A.mp3", " b.mp3", " c.MP3", " Sub"}) {
    const std::size_t found = music.output.find(name, at);
    ASSERT_NE(found, std::string::npos) << name << " not in order in\n" << music.output;
    at = found;
  }
  EXPECT_EQ(root.output.find("top.txt"), root.output.rfind("top.txt")) << root.output;
  EXPECT_EQ(root.output.find("Empty"), std::string::npos) << "a folder without files leaves nothing\n"
                                                          << root.output;
}

TEST_F(IsoMainTest, AFailedBuildIsReportedInTheWindowsLanguageAndHandsNothingOver) {
  struct Case {
    const char* name;
    std::function<void(TfrmIsoMain&)> prepare;
    std::string output;
    std::string text;    // the first line of the message
    std::string detail;  // what the second line names
  };
  const std::string gone = Put("gone.txt", 5, 1);
  const Case cases[] = {
      {"a listed file has vanished", [&](TfrmIsoMain& w) { w.TntlstHideFiles.Items.Add(gone); fs::remove(gone); },
       dir_ / "a.IMG", "1:Init Image Disk1:Fail", "gone.txt"},
      {"a label the volume cannot hold", [](TfrmIsoMain& w) { w.edtDiskLabel.UserType("A*B"); }, dir_ / "b.IMG",
       "1:Init Image Disk1:Fail", "'*'"},
      {"the output folder is missing", [](TfrmIsoMain&) {}, dir_ / "nowhere/c.IMG", "1:Image output1:Fail",
       "nowhere"},
      {"a link in a listed folder names nothing",
       [&](TfrmIsoMain& w) {
         Put("linked/song.mp3", 5, 2);
         fs::create_symlink("moved.mp3", dir_ / "in/linked/old.mp3");
         w.TntlstHideFiles.Items.Add(dir_ / "in/linked");
       },
       dir_ / "d.IMG", "1:Init Image Disk1:Fail", dir_ / "in/linked/old.mp3: a symbolic link to \"moved.mp3\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dialogs().Clear();
    auto window = NewWindow();
    window->MainLanguageIndex = [] { return 1; };
    window->MessageText = [](const std::string& english, int language) {
      return std::to_string(language) + ":" + english;
    };
    bool handedOver = false;
    window->OnImageCreated = [&](const std::string&) { handedOver = true; };
    RunModal(*window, [&](TfrmIsoMain& w) {
      c.prepare(w);
      ClickCreate(dialogs(), w, c.output);
      EXPECT_TRUE(w.btnCreateImg.Enabled());
      EXPECT_TRUE(w.tbarHideDiskRatio.Enabled());
      EXPECT_FALSE(w.ProgressBar1.Visible());
      EXPECT_FALSE(w.Timer1.Enabled());
    });
    const auto messages = dialogs().Records(DialogKind::MessageBox);
    ASSERT_EQ(messages.size(), 1u);
    const std::string& text = messages[0].request.text;
    EXPECT_EQ(text.substr(0, text.find('\n')), c.text);
    EXPECT_NE(text.find(c.detail, text.find('\n')), std::string::npos) << text;
    EXPECT_EQ(messages[0].request.caption, "1:Fail");
    EXPECT_EQ(messages[0].request.flags & MB_ICONMASK, MB_ICONERROR);
    EXPECT_FALSE(handedOver);
    EXPECT_FALSE(fs::exists(c.output));
  }

  // Cancelling the save dialog builds nothing and says nothing.
  dialogs().Clear();
  auto window = NewWindow();
  RunModal(*window, [&](TfrmIsoMain& w) {
    dialogs().CancelFileDialog();
    EXPECT_TRUE(w.btnCreateImg.UserClick());
    EXPECT_TRUE(w.btnCreateImg.Enabled());
  });
  EXPECT_EQ(dialogs().Count(DialogKind::MessageBox), 0u);
}

TEST_F(IsoMainTest, ABuildOverAnEarlierImageReplacesOnlyThatName) {
  Files expected;
  const std::string song = Put("song.mp3", 5000, 1, &expected);
  const std::string image = dir_ / "out/image.IMG", other = dir_ / "out/other.IMG";
  const std::string target = dir_ / "out/target.IMG", link = dir_ / "out/link.IMG";
  oracle::WriteFile(image, "the earlier image");
  ASSERT_EQ(::link(image.c_str(), other.c_str()), 0);
  oracle::WriteFile(target, "what the link points to");
  fs::create_symlink(target, link);
  auto window = NewWindow();
  RunModal(*window, [&](TfrmIsoMain& w) {
    w.TntlstHideFiles.Items.Add(song);
    ClickCreate(dialogs(), w, image);
    ClickCreate(dialogs(), w, link);
  });
  ASSERT_EQ(dialogs().Count(DialogKind::MessageBox), 2u);
  EXPECT_EQ(dialogs().Last().request.caption, "Success") << dialogs().Last().request.text;
  EXPECT_EQ(oracle::ReadFile(other), "the earlier image") << "another name of the old file keeps it";
  EXPECT_EQ(oracle::ReadFile(target), "what the link points to");
  EXPECT_FALSE(fs::is_symlink(link)) << "the name chosen gets the image";
  ExpectSlots(image, expected);
  ExpectSlots(link, expected);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_ / "out")) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"image.IMG", "link.IMG", "other.IMG", "target.IMG"}));
}

// A clock that moves 50 ms each time it is read, so that every progress
// report of the builder finds the pump interval passed.
class RacingClock : public platform::ManualClock {
 public:
  std::uint64_t MonotonicMs() override {
    Advance(std::chrono::milliseconds(50));
    return ManualClock::MonotonicMs();
  }
};

// The suite runs under ThreadSanitizer too: the build flushes the image from
// a thread of its own while the window goes on.
class IsoMainConcurrency : public IsoMainTest {};

TEST_F(IsoMainConcurrency, DuringABuildTheWindowsMessagesRunAndClosingWaitsForTheEnd) {
  platform::ScopedClock clock(std::make_shared<RacingClock>());
  Files expected;
  const std::string song = Put("song.mp3", 300000, 3, &expected);
  struct Seen {
    bool ran = false, building = false, buttonsOff = false, barShown = false, barStepped = false;
  } seen;
  auto observe = [&](TfrmIsoMain& w) {
    seen.ran = true;
    seen.building = w.Building();
    seen.buttonsOff = !w.btnCreateImg.Enabled() && !w.btnAddFile.Enabled() && !w.btnRemove.Enabled() &&
                      !w.tbarHideDiskRatio.Enabled() && !w.edtDiskLabel.Enabled();
    seen.barShown = w.ProgressBar1.Visible() && w.Timer1.Enabled();
    const int before = w.ProgressBar1.Position();
    w.Timer1.Tick();
    seen.barStepped = w.ProgressBar1.Position() == (before + 10) % 100;
  };

  // Modal, as the settings dialog shows it: the close box during the build is
  // refused, the window stays open and the image is finished.
  auto window = NewWindow();
  bool stillOpen = false;
  RunModal(*window, [&](TfrmIsoMain& w) {
    w.TntlstHideFiles.Items.Add(song);
    Application->Post([&] {
      observe(w);
      w.UserClose();
    });
    ClickCreate(dialogs(), w, dir_ / "modal.IMG");
    stillOpen = w.Visible() && w.ModalResult() == mrNone;
  });
  EXPECT_TRUE(seen.ran && seen.building && seen.buttonsOff && seen.barShown && seen.barStepped);
  EXPECT_TRUE(stillOpen);
  ASSERT_EQ(dialogs().Last().request.caption, "Success") << dialogs().Last().request.text;
  ExpectSlots(dir_ / "modal.IMG", expected);

  // Shown modeless: the close during the build is refused and saves nothing.
  seen = {};
  window = NewWindow();
  window->Show();
  window->TntlstHideFiles.Items.Add(song);
  fs::remove(Misc("ImgTool.ini"));
  Application->Post([&] {
    observe(*window);
    window->Close();
  });
  ClickCreate(dialogs(), *window, dir_ / "modeless.IMG");
  EXPECT_TRUE(seen.ran && seen.building);
  EXPECT_TRUE(window->Visible());
  EXPECT_FALSE(fs::exists(Misc("ImgTool.ini")));
  EXPECT_TRUE(fs::exists(dir_ / "modeless.IMG"));
  window->Close();
  EXPECT_FALSE(window->Visible());
  EXPECT_TRUE(fs::exists(Misc("ImgTool.ini")));
}

}  // namespace

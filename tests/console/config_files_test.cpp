// Configuration files (*.mp) written from and read into the settings dialog.
// The Save and Load buttons stay hidden, so the tests call their handlers as
// the buttons would; the file dialogs are answered by the script.
#include <gtest/gtest.h>

#include "console/config_files.h"
#include "console/message_table.h"
#include "dialog_session.h"
#include "platform/codepage/codepage.h"
#include "platform/locale/locale.h"
#include "support/unprivileged.h"

namespace console::testing {
namespace {

using namespace platform::ui;

class ConfigFiles : public SettingsSession {
 protected:
  void SetUp() override {
    SettingsSession::SetUp();
    d_ = frmSetting;
    // Shown once, so that every control is filled as the operator sees it.
    Session([](TfrmSetting& d) { d.btnCancel.UserClick(); });
    mp_ = (root_ / "files" / "set.mp").string();
  }
  void Save(const std::string& path) {
    dialogs().AnswerFiles({path});
    CallGuarded([this] { d_->btnSaveConfigClick(&d_->btnSaveConfig); });
  }
  void Load(const std::string& path) {
    dialogs().AnswerFiles({path});
    CallGuarded([this] { d_->btnLoadConfigClick(&d_->btnLoadConfig); });
  }
  std::string Controls() const {
    const TfrmSetting& d = *d_;
    std::string state = std::to_string(d.cboScanLevel.ItemIndex()) + "," + std::to_string(d.cboPageSkip.ItemIndex()) +
                        "," + std::to_string(d.cboECC.ItemIndex()) + "," + std::to_string(d.cboRead.ItemIndex()) + "," +
                        d.edtBadThreshold.Text() + ",";
    for (const TRadioButton* r : {&d.rdoNormalDisk, &d.rdoEncryptDisk, &d.rdoHideDisk}) state += r->Checked() ? "1" : "0";
    return state + "," + d.edtDiskLabel.Text() + "," + d.edtEncryptRatio.Text() + "," +
           std::to_string(d.TntlstHideFiles.Items.Count());
  }
  TfrmSetting* d_ = nullptr;
  std::string mp_;
};

TEST_F(ConfigFiles, SaveWritesTheSectionsInOrderAndKeepsWhatItDoesNotKnow) {
  WriteBytes(mp_, "[Mine]\r\nkeep=1\r\n[HideFiles]\r\n/old/file=\r\n[FlashSet]\r\niEccLevel=5\r\n");
  TfrmSetting& d = *d_;
  d.rdoHideDisk.UserClick();
  d.tbarHideDiskRatio.UserSetPosition(10);
  d.edtDiskLabel.UserType("ab");
  dialogs().AnswerFiles({"/a/one.mp3", "/b/two.mp3"});
  d.btnAddFile.UserClick();
  d.pgeSetting.UserSelect(1);
  d.cboScanLevel.UserSelect(0);
  d.cboPageSkip.UserSelect(2);
  Save(mp_);
  EXPECT_EQ(ReadBytes(mp_),
            "[Mine]\r\nkeep=1\r\n[FlashSet]\r\niEccLevel=2\r\niScanLevel=0\r\niPageSkip=2\r\niReadTimes=0\r\n"
            "iBadThreshold=20\r\n[DeviceSet]\r\nNormalDisk=0\r\nEncryptDisk=0\r\nHideDisk=1\r\nDiskLabel=AB\r\n"
            "HideDiskRatio=10\r\n[HideFiles]\r\n/a/one.mp3=\r\n/b/two.mp3=\r\n");
}

TEST_F(ConfigFiles, RoundTripRestoresTheControlsWithinWhatTheFormatCarries) {
  TfrmSetting& d = *d_;
  const std::string odd = "/m\xC3\xBCsik/\xE9\x9F\xB3\xE6\xA8\x82.mp3";  // outside any one code page
  d.rdoEncryptDisk.UserClick();
  d.tbarHideDiskRatio.UserSetPosition(100);
  d.edtDiskLabel.UserType("VOICE");
  dialogs().AnswerFiles({"/a/[x] y;z.mp3", "/a/same.mp3", "/a/same.mp3", odd, "/y/Song.mp3", "/y/song.mp3"});
  d.btnAddFile.UserClick();
  d.cboScanLevel.UserSelect(4);
  d.cboECC.UserSelect(6);
  d.cboRead.UserSelect(3);
  d.UpDownBadThreshold.UserClick(btNext);
  Save(mp_);
  const std::string saved = Controls();

  d.rdoNormalDisk.UserClick();
  d.cboScanLevel.UserSelect(1);
  d.edtDiskLabel.SetText("");
  d.tbarHideDiskRatio.SetPosition(50);
  d.TntlstHideFiles.Items.Clear();
  Load(mp_);
  EXPECT_EQ(Controls().substr(0, saved.rfind(',')), saved.substr(0, saved.rfind(',')));
  EXPECT_EQ(d.tbarHideDiskRatio.Max(), 100);
  // A path listed twice is one key; paths that differ only in case are two.
  EXPECT_EQ(d.TntlstHideFiles.Items.ToVector(),
            (std::vector<std::string>{"/a/[x] y;z.mp3", "/a/same.mp3", odd, "/y/Song.mp3", "/y/song.mp3"}));
  EXPECT_EQ(dialogs().Count(DialogKind::MessageBox), 0u);
}

// A hidden file whose path the format would give back as another path, or
// not at all, refuses the save naming it, in the operator's language, and
// leaves the file as it was.
TEST_F(ConfigFiles, APathTheFormatCannotKeepRefusesTheSave) {
  TfrmSetting& d = *d_;
  const std::string before = "[Mine]\r\nkeep=1\r\n";
  const std::pair<std::string, int> cases[] = {
      {"/y/a=b.mp3", 0}, {"/y/a.mp3 ", 1}, {";y/a.mp3", 2},        {" /y/a.mp3", 0},
      {"[y]/a.mp3", 0},  {"/y/a\nb.mp3", 0}, {"/y/a\tb.mp3\t", 0}, {"/y/\xE9t\xE9.mp3", 0},
  };
  for (const auto& [path, language] : cases) {
    WriteBytes(mp_, before);
    d.TntlstHideFiles.Items.Assign({"/y/good.mp3", path});
    d.LanguageIndex = language;
    dialogs().Clear();
    Save(mp_);
    EXPECT_EQ(ReadBytes(mp_), before) << path;
    ASSERT_EQ(dialogs().Count(DialogKind::MessageBox), 1u) << path;
    EXPECT_EQ(dialogs().Last().request.text, MessageText(20, language) + std::string(":\n\"") + path + "\"");
    EXPECT_EQ(dialogs().Last().request.caption, "Fail");
  }
  d.LanguageIndex = 0;
}

TEST_F(ConfigFiles, LoadAppliesDefaultsAndTheLastSplitButtonThatIsSet) {
  TfrmSetting& d = *d_;
  const std::string latin = platform::Utf8ToCodePage("/daten/\xC3\xBC" "ber.mp3", platform::CP_LATIN1);
  struct Case {
    std::string file;
    std::string controls;
    int maximum;
  };
  const Case cases[] = {
      {"[DeviceSet]\r\nNormalDisk=0\r\nEncryptDisk=1\r\nHideDisk=1\r\nHideDiskRatio=100\r\n", "0,0,2,0,10,001,,99,0",
       99},
      {"[FlashSet]\r\niScanLevel=3\r\niPageSkip=64\r\niEccLevel=x\r\niBadThreshold=300\r\n[DeviceSet]\r\n"
       "NormalDisk=0\r\nHideDiskRatio=0\r\n[HideFiles]\r\n" + latin + "=\r\n",
       "3,64,2,0,100,000,,1,1", 99},
      {"[FlashSet]\r\niScanLevel=9\r\n", "-1,0,2,0,10,100,,1,0", 99},
  };
  for (const Case& c : cases) {
    WriteBytes(mp_, c.file);
    Load(mp_);
    EXPECT_EQ(Controls(), c.controls) << c.file;
    EXPECT_EQ(d.tbarHideDiskRatio.Max(), c.maximum) << c.file;
  }
  // A file written with the system's code page comes back through it.
  WriteBytes(mp_, "[HideFiles]\r\n" + latin + "=\r\n");
  platform::SetSystemDefaultLangIDOverride(0x0409);
  Load(mp_);
  platform::SetSystemDefaultLangIDOverride(std::nullopt);
  EXPECT_EQ(d.TntlstHideFiles.Items.ToVector(), std::vector<std::string>{"/daten/\xC3\xBC" "ber.mp3"});

  // With no split button set, Apply takes the normal disk.
  WriteBytes(mp_, "[DeviceSet]\r\nNormalDisk=0\r\n");
  Form1->eDeviceFeature = kHiddenDisk;
  Load(mp_);
  d.cboScanLevel.SetItemIndex(0);
  d.btnApply.UserClick();
  EXPECT_EQ(Form1->eDeviceFeature, kNormalDisk);
}

TEST_F(ConfigFiles, FilesThatCannotBeReadOrWrittenChangeNothing) {
  TfrmSetting& d = *d_;
  const std::string before = Controls();
  for (const std::string& path : {(root_ / "files" / "none.mp").string(), (root_ / "files").string()}) {
    dialogs().Clear();
    Load(path);
    EXPECT_EQ(Controls(), before) << path;
    ASSERT_EQ(dialogs().Count(DialogKind::MessageBox), 1u);
    EXPECT_EQ(dialogs().Last().request.text, "Open file fail");
  }
  // A file that is there but cannot be read is neither applied nor replaced.
  WriteBytes(mp_, "[FlashSet]\r\niScanLevel=3\r\n");
  fs::permissions(mp_, fs::perms::owner_write);
  fs::permissions(root_, fs::perms::all);
  testing_support::RunUnprivileged([&] {
    EXPECT_FALSE(LoadConfigFile(d, mp_));
    EXPECT_FALSE(SaveConfigFile(d, mp_));
  });
  EXPECT_EQ(Controls(), before);
  fs::permissions(mp_, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(ReadBytes(mp_), "[FlashSet]\r\niScanLevel=3\r\n");

  // A page skip with no choice is no number: the save stops before the file.
  WriteBytes(mp_, "[Mine]\r\nkeep=1\r\n");
  d.cboPageSkip.SetItemIndex(-1);
  dialogs().Clear();
  Save(mp_);
  EXPECT_EQ(dialogs().Last().request.text, "'' is not a valid integer value.");
  EXPECT_EQ(ReadBytes(mp_), "[Mine]\r\nkeep=1\r\n");

  // A read-only file: the save is refused whole.
  d.cboPageSkip.SetItemIndex(0);
  fs::permissions(mp_, fs::perms::owner_read);
  dialogs().Clear();
  Save(mp_);
  EXPECT_EQ(dialogs().Last().request.text, "Unable to write to " + mp_ + ".");
  EXPECT_EQ(ReadBytes(mp_), "[Mine]\r\nkeep=1\r\n");

  dialogs().CancelFileDialog();
  CallGuarded([&] { d.btnLoadConfigClick(&d.btnLoadConfig); });
  EXPECT_EQ(Controls(), before);
  EXPECT_FALSE(d.btnSaveConfig.UserClick() || d.btnLoadConfig.UserClick());  // hidden
}

}  // namespace
}  // namespace console::testing

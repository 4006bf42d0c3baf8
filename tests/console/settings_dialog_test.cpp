// The settings dialog as the operator uses it: what the show step makes of
// the stored settings, what Apply and Cancel leave in the main window, the
// control rules and the fast blanking guard.
#include <gtest/gtest.h>

#include <tuple>

#include "console/message_table.h"
#include "dialog_session.h"
#include "platform/registry/registry.h"
#include "platform/textfile/textfile.h"
#include "support/unprivileged.h"

namespace console::testing {
namespace {

using namespace platform::ui;
using SettingsDialog = SettingsSession;

auto AllFields(const MpSettingFields& s) {
  return std::make_tuple(s.iFlashModuleNo, s.iScanLevel, s.Pattern, s.iPageSkip, s.iEccLevel, s.iBadThreshold,
                         s.PageMode, s.PageModeSel, s.eDeviceFeature, s.iHideDiskRatio, s.sHideDiskLabel,
                         s.AllowErrorRate, s.iReadTimes, s.DealCapError, s.bUseImgFile, s.ImageFile, s.SaveSpiImage,
                         s.bNonFS, s.bFastBlkChk);
}

TEST_F(SettingsDialog, StoredValuesOutOfRangeShowNarrowedAndApplyKeepsWhatHasNoChoice) {
  struct Case {
    const char* what;
    std::function<void(MpSettingFields&)> stored;
    std::function<void(TfrmSetting&)> shown;          // checks on the dialog
    std::function<void(const MpSettingFields&)> after;  // checks after Apply
  };
  const Case cases[] = {
      {"scan level 9", [](auto& s) { s.iScanLevel = 9; },
       [](TfrmSetting& d) { EXPECT_EQ(d.cboScanLevel.Text(), "Level 7"); },
       [](const auto& s) { EXPECT_EQ(s.iScanLevel, 6); }},
      {"scan level -1", [](auto& s) { s.iScanLevel = -1; },
       [](TfrmSetting& d) { EXPECT_EQ(d.cboScanLevel.ItemIndex(), 6); },
       [](const auto& s) { EXPECT_EQ(s.iScanLevel, 6); }},
      {"module number 7", [](auto& s) { s.iFlashModuleNo = 7; },
       [](TfrmSetting& d) { EXPECT_EQ(d.cboFlashModuleNo.ItemIndex(), -1); },
       [](const auto& s) { EXPECT_EQ(s.iFlashModuleNo, 7); }},  // no marker write with -1
      {"pattern 255 at level 6", [](auto& s) { s.Pattern = 255, s.iScanLevel = 5; },
       [](TfrmSetting& d) {
         EXPECT_EQ(d.edtpattern.Text(), "0x00FF");
         EXPECT_TRUE(d.edtpattern.Enabled() && d.cboRead.Enabled());
         EXPECT_FALSE(d.chkPageScan.Enabled());
       },
       [](const auto& s) { EXPECT_EQ(s.Pattern, 255); }},
      {"ratio 100, encrypted", [](auto& s) { s.iHideDiskRatio = 100, s.eDeviceFeature = kEncryptedDisk; },
       [](TfrmSetting& d) { EXPECT_EQ(d.edtEncryptRatio.Text(), "100"); },
       [](const auto& s) { EXPECT_EQ(s.iHideDiskRatio, 100); }},
      {"ratio 100, hidden", [](auto& s) { s.iHideDiskRatio = 100, s.eDeviceFeature = kHiddenDisk; },
       [](TfrmSetting& d) { EXPECT_EQ(d.tbarHideDiskRatio.Position(), 99); },
       [](const auto& s) { EXPECT_EQ(s.iHideDiskRatio, 99); }},
      {"ratio 100, normal", [](auto& s) { s.iHideDiskRatio = 100, s.eDeviceFeature = kNormalDisk; },
       [](TfrmSetting& d) { EXPECT_FALSE(d.grpHideDisk.Visible()); },
       [](const auto& s) { EXPECT_EQ(s.iHideDiskRatio, 100); }},
      {"page scan stored on", [](auto& s) { s.PageMode = true; },
       [](TfrmSetting& d) { EXPECT_TRUE(d.chkPageScan.Checked() && d.cboPageMode.Enabled()); },
       [](const auto& s) { EXPECT_TRUE(s.PageMode); }},
      {"page scan stored off", [](auto& s) { s.PageMode = false; },
       [](TfrmSetting& d) { EXPECT_FALSE(d.chkPageScan.Checked() || d.cboPageMode.Enabled()); },
       [](const auto& s) { EXPECT_FALSE(s.PageMode); }},
      {"capacity error 50, threshold 300", [](auto& s) { s.AllowErrorRate = 50, s.iBadThreshold = 300; },
       [](TfrmSetting& d) { EXPECT_EQ(d.edtCapError.Text() + " " + d.edtBadThreshold.Text(), "20 100"); },
       [](const auto& s) { EXPECT_EQ(s.AllowErrorRate * 1000 + s.iBadThreshold, 20100); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    static_cast<MpSettingFields&>(*Form1) = MpSettingFields{};
    Form1->iEccLevel = 2;
    c.stored(*Form1);
    EXPECT_EQ(Session([&](TfrmSetting& d) {
                c.shown(d);
                d.btnApply.UserClick();
              }),
              mrOk);
    c.after(*Form1);
  }
  EXPECT_EQ(dialogs().Count(DialogKind::MessageBox) + dialogs().Count(DialogKind::Error), 0u);
}

TEST_F(SettingsDialog, ApplyThatCannotReadATextChangesNothing) {
  Form1->iPageSkip = 70;  // shows no selection
  Form1->iScanLevel = 5;
  Form1->Pattern = 7;
  const MpSettingFields before = *Form1;
  const auto result = Session([](TfrmSetting& d) {
    EXPECT_EQ(d.cboPageSkip.ItemIndex(), -1);
    d.cboFlashModuleNo.UserSelect(3);
    d.pgeSetting.UserSelect(1);
    d.cboScanLevel.UserSelect(2);
    d.btnApply.UserClick();  // the page skip is no number
    d.cboScanLevel.UserSelect(5);
    d.cboPageSkip.UserSelect(0);
    d.edtpattern.UserType("0xZZ");
    d.btnApply.UserClick();  // nor is the pattern
  });
  EXPECT_NE(result, mrOk);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"'' is not a valid integer value.",
                                                   "'0xZZ' is not a valid integer value."}));
  EXPECT_EQ(AllFields(*Form1), AllFields(before));
}

TEST_F(SettingsDialog, SplitButtonsSetTheRatioMaximum) {
  Form1->eDeviceFeature = kEncryptedDisk;
  Form1->iHideDiskRatio = 100;
  Session([](TfrmSetting& d) {
    EXPECT_EQ(d.tbarHideDiskRatio.Max(), 100);
    d.rdoHideDisk.UserClick();
    EXPECT_EQ(d.tbarHideDiskRatio.Max() * 100 + d.tbarHideDiskRatio.Position(), 9999);
    EXPECT_EQ(d.edtEncryptRatio.Text(), "99");
    d.rdoEncryptDisk.UserClick();
    EXPECT_EQ(d.tbarHideDiskRatio.Max(), 100);
    EXPECT_EQ(d.tbarHideDiskRatio.Position(), 99);
    d.rdoNormalDisk.UserClick();
    EXPECT_FALSE(d.tbarHideDiskRatio.UserSetPosition(5));  // hidden with its group
    d.btnApply.UserClick();
  });
  EXPECT_EQ(Form1->eDeviceFeature, kNormalDisk);
  EXPECT_EQ(Form1->iHideDiskRatio, 100);  // kept for the normal disk
}

TEST_F(SettingsDialog, ImageModeNeedsAnImageThatOpensOnlyForASplitDisk) {
  Form1->bUseImgFile = true;
  for (std::uint8_t feature : {kHiddenDisk, kEncryptedDisk}) {
    Form1->eDeviceFeature = feature;
    const MpSettingFields before = *Form1;
    dialogs().Clear();
    const auto result = Session([](TfrmSetting& d) {
      EXPECT_FALSE(d.grpHiddenFiles.Visible());
      d.pgeSetting.UserSelect(1);
      d.btnApply.UserClick();
      EXPECT_EQ(d.pgeSetting.ActivePage(), &d.tabDeviceSetting);
      EXPECT_TRUE(d.edtImgFile.Focused());
    });
    EXPECT_NE(result, mrOk);
    EXPECT_EQ(Messages(), std::vector<std::string>{"Invalid IMG file"});
    EXPECT_EQ(AllFields(*Form1), AllFields(before));
  }
  Form1->eDeviceFeature = kNormalDisk;
  EXPECT_EQ(Session([](TfrmSetting& d) { d.btnApply.UserClick(); }), mrOk);
  EXPECT_TRUE(Form1->bUseImgFile);
  EXPECT_EQ(Form1->ImageFile, "");
}

TEST_F(SettingsDialog, ImageSizeShowsTheStoredFileUntilApplyStoresTheBrowsedOne) {
  const std::string stored = File("stored.img", 2 << 20);
  const std::string browsed = File("new.IMG", 3 << 20);
  Form1->eDeviceFeature = kHiddenDisk;
  Form1->ImageFile = stored;
  Session([&](TfrmSetting& d) {
    d.rdoUseImgFile.UserClick();
    EXPECT_EQ(d.lblImgSizeMB.Caption(), "2MB");
    dialogs().AnswerFiles({(root_ / "files" / "nothing").string()});
    d.btnBrowseImg.UserClick();
    EXPECT_EQ(dialogs().Last().request.text, "Invalid IMG file");
    EXPECT_EQ(d.edtImgFile.Text(), stored);
    dialogs().AnswerFiles({browsed});
    d.btnBrowseImg.UserClick();
    EXPECT_EQ(d.lblImgSizeMB.Caption(), "3MB");
    EXPECT_EQ(d.edtImgFile.Text(), browsed);
    d.rdoUseListFile.UserClick();
    d.rdoUseImgFile.UserClick();
    EXPECT_EQ(d.lblImgSizeMB.Caption(), "2MB");
    d.btnApply.UserClick();
  });
  EXPECT_EQ(Form1->ImageFile, browsed);
  EXPECT_TRUE(Form1->bUseImgFile);
  fs::remove(browsed);
  Session([&](TfrmSetting& d) {
    EXPECT_EQ(d.lblImgSizeMB.Caption(), "2MB");  // a missing stored file leaves the text
    d.btnCancel.UserClick();
  });
}

TEST_F(SettingsDialog, PageSkipWarnsAndALowLevelOffersThePageScan) {
  Session([&](TfrmSetting& d) {
    d.pgeSetting.UserSelect(1);
    d.cboPageSkip.UserSelect(0);
    d.cboPageSkip.UserSelect(3);
    EXPECT_EQ(Messages(), std::vector<std::string>{MessageText(28, 0)});
    d.cboScanLevel.UserSelect(5);
    d.cboScanLevel.UserSelect(1);
    EXPECT_FALSE(d.edtpattern.Enabled() || d.cboRead.Enabled());
    EXPECT_TRUE(d.chkPageScan.Enabled() && d.cboPageMode.Enabled());
    d.btnCancel.UserClick();
  });
}

// The names of the buttons, boxes, labels, groups and pages of `control`
// and everything inside it that carry no caption (shown or hidden).
void Captionless(const TControl& control, std::vector<std::string>& names) {
  const bool captioned = dynamic_cast<const TButton*>(&control) || dynamic_cast<const TCheckBox*>(&control) ||
                         dynamic_cast<const TRadioButton*>(&control) || dynamic_cast<const TLabel*>(&control) ||
                         dynamic_cast<const TGroupBox*>(&control) || dynamic_cast<const TTabSheet*>(&control);
  if (captioned && control.Caption().empty()) names.push_back(control.Name());
  if (const auto* holder = dynamic_cast<const TWinControl*>(&control))
    for (const TControl* child : holder->Children()) Captionless(*child, names);
}

TEST_F(SettingsDialog, EveryControlHasItsCaptionInTheMainWindowsLanguage) {
  InitSettingNameTables();
  const char* last[] = {"Auto Detection", "自動偵測", "自动侦测"};
  for (int lang = 0; lang < 3; ++lang) {
    Form1->LanguageIndex = lang;
    Session([&](TfrmSetting& d) {
      EXPECT_EQ(d.cboPageMode.Items.Count(), 8);
      EXPECT_EQ(d.cboPageMode.Items[7], last[lang]);
      EXPECT_EQ(d.lblBadThreshold.Caption(), MessageText(10, lang));
      EXPECT_EQ(d.chkNonFS.Caption(), "Non FileSystem");
      std::vector<std::string> missing;
      Captionless(d, missing);
      EXPECT_EQ(missing, std::vector<std::string>{"lblImgSizeMB"}) << "only the size waits for an image";
      d.btnCancel.UserClick();
    });
  }
}

TEST_F(SettingsDialog, ImageProbeReadsOnlyAndTakesContainerAndRawImagesAlike) {
  std::string container = "Q4X1 IMG" + std::string(504, '\0');
  container += std::string(2048, 'x');
  const fs::path images[] = {root_ / "files" / "tool.IMG", root_ / "files" / "raw.img"};
  WriteBytes(images[0], container);
  WriteBytes(images[1], std::string(3 << 20, '\0'));
  for (const fs::path& p : images) fs::permissions(p, fs::perms::owner_read | fs::perms::others_read);
  for (const fs::path& dir : {root_, root_ / "files"})  // an ordinary user may reach them
    fs::permissions(dir, fs::perms::others_exec, fs::perm_options::add);
  std::uint64_t sizes[2] = {};
  testing_support::RunUnprivileged([&] {
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(ProbeImageFile(images[i].string(), sizes[i])) << images[i];
  });
  EXPECT_EQ(sizes[0], container.size());
  EXPECT_EQ(sizes[1], 3u << 20);
  EXPECT_EQ(fs::status(images[0]).permissions(), fs::perms::owner_read | fs::perms::others_read);

  // Apply and the first paint accept either.
  Form1->eDeviceFeature = kEncryptedDisk;
  Form1->bUseImgFile = true;
  Form1->ImageFile = images[0].string();
  EXPECT_EQ(Session([](TfrmSetting& d) { d.btnApply.UserClick(); }), mrOk);
  Form1->Paint();
  EXPECT_EQ(Form1->ImageFile, images[0].string());
  EXPECT_EQ(dialogs().Count(DialogKind::MessageBox), 0u);
}

// ---- the fast blanking check ----

class FastBlanking : public SettingsSession {
 protected:
  void SetUp() override {
    SettingsSession::SetUp();
    ASSERT_TRUE(RegWriteInteger(kStationKey, "FastblkcheckID", 1));
  }
  // The operator answers the warning and, after Yes, acts in the password dialog.
  void Answer(int warning, std::function<void(TForm2&)> password = {}) {
    dialogs().AnswerMessageBox(warning);
    if (password) WhenShown(Form2, [password] { password(*Form2); });
  }
  static void Type(TForm2& p, const std::string& text) {
    p.edtpassword.UserType(text);
    p.Button1.UserClick();
  }
};

TEST_F(FastBlanking, OnlyTheAccessNumberLeavesTheBoxChecked) {
  struct Case {
    std::string typed;
    bool checked;
  };
  const Case cases[] = {{"46130972", true},  {"  46130972", true}, {"+46130972", true}, {"$2BFE71C", true},
                        {"46130971", false}, {"46130973", false},  {"4613097", false},  {"-46130972", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    Form1->bFastBlkChk = false;
    dialogs().Clear();
    Answer(IDYES, [&](TForm2& p) { Type(p, c.typed); });
    Session([](TfrmSetting& d) {
      d.pgeSetting.UserSelect(1);
      d.chkFastBlkChk.UserClick();
      d.btnApply.UserClick();
    });
    EXPECT_EQ(Form1->bFastBlkChk, c.checked);
    const std::string warning = MessageText(86, 0);
    std::vector<std::string> expected = {warning};
    if (!c.checked) expected.push_back("Password Error! Pls input correct Password");
    EXPECT_EQ(Messages(), expected);
  }
}

TEST_F(FastBlanking, WarningAndPasswordRunForMouseAndKeyboardButNeverForCode) {
  Session([&](TfrmSetting& d) {
    d.pgeSetting.UserSelect(1);
    Answer(IDNO);
    d.chkFastBlkChk.UserClick();
    EXPECT_FALSE(d.chkFastBlkChk.Checked());
    EXPECT_EQ(dialogs().Count(DialogKind::Modal), 1u);  // no password dialog
    EXPECT_EQ(dialogs().Last().request.caption, "Warning");
    EXPECT_EQ(dialogs().Last().request.flags, MB_YESNO | MB_ICONWARNING);

    Answer(IDYES, [](TForm2& p) { p.UserClose(); });  // closed without an entry
    d.chkFastBlkChk.UserKeyToggle();
    EXPECT_FALSE(d.chkFastBlkChk.Checked());

    Answer(IDYES, [](TForm2& p) { Type(p, "46130972"); });
    d.chkFastBlkChk.UserKeyToggle();
    EXPECT_TRUE(d.chkFastBlkChk.Checked());
    const std::size_t shown = dialogs().Count();
    d.chkFastBlkChk.UserKeyToggle();  // unchecking asks nothing
    d.SetFastBlankingChecked(true);   // nor does code
    EXPECT_EQ(dialogs().Count(), shown);
    d.btnApply.UserClick();
  });
  EXPECT_TRUE(Form1->bFastBlkChk);
}

TEST_F(FastBlanking, WithoutTheRegistryValueEveryShowClearsTheBox) {
  Form1->bFastBlkChk = true;
  Session([](TfrmSetting& d) {
    EXPECT_TRUE(d.chkFastBlkChk.Checked());
    d.btnCancel.UserClick();
  });
  platform::TRegistry reg;
  reg.SetRootKey(platform::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey(kStationKey, false));
  ASSERT_TRUE(reg.DeleteValue("FastblkcheckID"));
  Session([](TfrmSetting& d) {
    EXPECT_FALSE(d.chkFastBlkChk.Checked());
    d.btnApply.UserClick();
  });
  EXPECT_FALSE(Form1->bFastBlkChk);
  EXPECT_EQ(dialogs().Count(DialogKind::MessageBox), 0u);
}

// ---- the whole road: dialog, close, files ----

TEST_F(SettingsDialog, CancelKeepsEverythingAndApplyReachesTheFilesAtClose) {
  std::string firmware(40000, '\0');
  firmware.replace(0, 4, "Q471");
  firmware.replace(38909, 3, "\x55\xAA\x00", 3);
  const fs::path fw = root_ / "files" / "fw.bin";
  WriteBytes(fw, firmware);
  dialogs().AnswerFiles({fw.string()});
  Form1->AddFilesBtn.UserClick();
  const std::string image = File("disk.img", 1 << 20), hidden = File("h.txt", 1), spi = File("s.bin", 1);
  const fs::path folder = root_ / "files" / "dir";
  fs::create_directories(folder);
  Form1->HideFileList = {hidden, (root_ / "gone").string()};
  Form1->SpiFileList = {folder.string()};  // SPI flash takes files only
  auto edit = [&](TfrmSetting& d) {
    EXPECT_EQ(d.TntlstHideFiles.Items.ToVector(), std::vector<std::string>{hidden});
    EXPECT_EQ(d.TntlstSpiFiles.Items.Count(), 0);
    d.rdoEncryptDisk.UserClick();
    d.tbarHideDiskRatio.UserSetPosition(40);
    d.rdoUseImgFile.UserClick();
    dialogs().AnswerFiles({image});
    d.btnBrowseImg.UserClick();
    d.rdoUseListFile.UserClick();
    d.edtDiskLabel.UserType("music9xyz");
    dialogs().AnswerFiles({folder.string()});
    d.btnAddDir.UserClick();
    dialogs().AnswerFiles({hidden});
    d.btnAddFile.UserClick();  // no check for duplicates
    d.TntlstHideFiles.UserSelect(0);
    d.btnRemove.UserClick();
    d.rdoUseImgFile.UserClick();
    d.pgeSetting.UserSelect(1);
    d.cboScanLevel.UserSelect(5);
    d.edtpattern.UserType("0x5AA5");
    d.cboPageSkip.UserSelect(0);
    d.cboRead.UserSelect(2);
    d.cboECC.UserSelect(1);
    for (int i = 0; i < 5; ++i) d.UpDownBadThreshold.UserClick(btNext);
    for (int i = 0; i < 3; ++i) d.UpDownCapError.UserClick(btNext);
    d.rdoDonotCare.UserClick();
    d.pgeSetting.UserSelect(2);
    d.chkSaveSpiImage.UserClick();
    dialogs().AnswerFiles({spi, image});
    d.btnAddSpiFile.UserClick();
    d.TntlstSpiFiles.UserSelect(1);
    d.btnRmvSpiFile.UserClick();
    d.pgeSetting.UserSelect(3);
    d.cboFlashModuleNo.UserSelect(4);
  };
  const MpSettingFields before = *Form1;
  EXPECT_EQ(Session([&](TfrmSetting& d) {
              edit(d);
              d.btnCancel.UserClick();
            }),
            mrCancel);
  EXPECT_EQ(AllFields(*Form1), AllFields(before));
  EXPECT_EQ(Form1->HideFileList.size(), 2u);
  EXPECT_EQ(ReadBytes(fw).substr(38909, 3), std::string("\x55\xAA\x00", 3));

  EXPECT_EQ(Session([&](TfrmSetting& d) {
              edit(d);
              d.btnApply.UserClick();
            }),
            mrOk);
  EXPECT_EQ(ReadBytes(fw).substr(38909, 3), "\x55\xAA\x04");  // written on Apply
  EXPECT_EQ(Form1->labDiskFeature.Caption(), "Encrypted disk40%");
  Stop();
  const std::string prefer = Prefer();
  for (const char* line : {"iScanLevel=5", "iPageSkip=0", "iReadTimes=2", "iEccLevel=1", "iBadThreshold=25",
                           "eDeviceFeature=1", "iHideDiskRatio=40", "sHideDiskLabel=MUSIC9XY", "bUseImgFile=1",
                           "AllowErrorRate=5", "DealCapError=2", "SaveSpiImage=1", "PageMode=0", "Pattern=23205"})
    EXPECT_NE(prefer.find(std::string(line) + "\r\n"), std::string::npos) << line;
  EXPECT_NE(prefer.find("ImageFile=" + image + "\r\n"), std::string::npos);
  std::vector<std::string> list;
  ASSERT_TRUE(platform::LoadListFile((misc() / "hideseting.ini").string(), list));
  EXPECT_EQ(list, (std::vector<std::string>{folder.string(), hidden}));
  ASSERT_TRUE(platform::LoadListFile((misc() / "spiseting.ini").string(), list));
  EXPECT_EQ(list, std::vector<std::string>{spi});
  EXPECT_EQ(ReadBytes(fw).substr(38909, 3), std::string("\x55\xAA\x00", 3));  // reset at close
}

}  // namespace
}  // namespace console::testing

// Production settings as the operator meets them: defaults on a fresh station,
// prefer.ini written at close and read back at the next start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "console/settings.h"
#include "console/settings_dialog.h"
#include "station_fixture.h"

namespace console::testing {
namespace {

using SettingsFile = StationTest;

const char* const kFreshPrefer =
    "[MP_Setting]\r\nFormat=0\r\nBlanking check=0\r\nFwUpgrade=1\r\nISO upgrade=0\r\nManual Upgrade=0\r\n"
    "System Area check=0\r\nSystem Area Size=0\r\nFwParityCheck=1\r\nNorReadCheck=1\r\nLabel=\r\n"
    "FixUsbIO=1\r\nClearFlash=1\r\niScanLevel=0\r\niPageSkip=0\r\niReadTimes=0\r\niEccLevel=2\r\n"
    "iBadThreshold=20\r\neDeviceFeature=0\r\niHideDiskRatio=10\r\nsHideDiskLabel=\r\nbUseImgFile=0\r\n"
    "ImageFile=\r\nAllowErrorRate=2\r\nDealCapError=0\r\nSaveSpiImage=0\r\nPageMode=0\r\n"
    "PageModeSel=0\r\nPattern=0\r\n";

// The ten option boxes in the order the file keeps them.
std::vector<TCheckBox*> OptionBoxes(TForm1& f) {
  return {&f.chkFormat,      &f.chkBlankCheck,  &f.chkFwUpgrade, &f.chkISOupgrade, &f.CheckManuupgrade,
          &f.SystemAreachk, &f.chkParityCheck, &f.chknor,       &f.chkUsbPort,    &f.chkClearFlash};
}

std::string BoxStates(TForm1& f) {
  std::string bits;
  for (TCheckBox* box : OptionBoxes(f)) bits += box->Checked() ? '1' : '0';
  return bits;
}

// The plain fields that prefer.ini keeps.
auto StoredFields(MpSettingFields& s) {
  return std::tie(s.iScanLevel, s.Pattern, s.iPageSkip, s.iEccLevel, s.iBadThreshold, s.PageMode, s.PageModeSel,
                  s.eDeviceFeature, s.iHideDiskRatio, s.sHideDiskLabel, s.AllowErrorRate, s.iReadTimes,
                  s.DealCapError, s.bUseImgFile, s.ImageFile, s.SaveSpiImage);
}

TEST_F(SettingsFile, FreshStationTakesDefaultsAndWritesEveryKeyInSaveOrder) {
  Start();
  TForm1& f = *Form1;
  EXPECT_EQ(BoxStates(f), "0010001111");
  EXPECT_EQ(f.SystemAreaComBo.Text(), "4MB");
  EXPECT_EQ(f.LabelEdit.Text(), "");  // the layout's "my_audio" is replaced
  EXPECT_EQ(f.iFlashModuleNo, 0);
  EXPECT_FALSE(f.bNonFS || f.bFastBlkChk);
  EXPECT_EQ(f.labDiskFeature.Caption(), "Normal");
  EXPECT_FALSE(f.SystemAreaComBo.Enabled());
  EXPECT_FALSE(f.Upgradebtn.Enabled());
  EXPECT_EQ(f.Upgradebtn.Caption(), "Start Upgrade");
  EXPECT_FALSE(fs::exists(misc() / "prefer.ini"));  // reaches the file only at close
  Stop();
  EXPECT_EQ(Prefer(), kFreshPrefer);
}

TEST_F(SettingsFile, SaveAndLoadKeepEverySetting) {
  Start();
  TForm1& f = *Form1;
  for (TCheckBox* box : OptionBoxes(f)) box->SetChecked(!box->Checked());
  f.SystemAreaComBo.SetItemIndex(7);
  f.LabelEdit.SetText("VOICE");
  StoredFields(f) = std::make_tuple(5, 0xA55A, 64, 6, 35, true, 7, kHiddenDisk, 45, "HIDDEN", 20, 3, kCapShowError,
                                    true, (home_ / "disk.img").string(), true);
  f.iFlashModuleNo = 3;
  f.bNonFS = true;
  f.bFastBlkChk = true;
  MpSettingFields saved = f;
  WriteBytes(home_ / "disk.img", std::string(1024, '\0'));
  Stop();
  dialogs().Clear();  // the close's "Firmware file not found": the list holds no firmware

  Start();
  TForm1& g = *Form1;
  EXPECT_EQ(BoxStates(g), "1101110000");
  EXPECT_EQ(g.SystemAreaComBo.Text(), "32MB");
  EXPECT_EQ(g.LabelEdit.Text(), "VOICE");
  EXPECT_EQ(StoredFields(g), StoredFields(saved));
  EXPECT_EQ(g.iFlashModuleNo, 0);  // kept in the firmware file, not here
  EXPECT_FALSE(g.bNonFS);          // cleared by every load
  EXPECT_FALSE(g.bFastBlkChk);     // never stored
  EXPECT_EQ(g.labDiskFeature.Caption(), "Hidden disk45%");
  // The handlers that loading runs: the size choice and the Upgrade button follow their boxes.
  EXPECT_TRUE(g.SystemAreaComBo.Enabled());
  EXPECT_TRUE(g.Upgradebtn.Enabled());
  EXPECT_FALSE(frmSetting->chkNonFS.Visible());
  // The image named in the settings exists: the first paint accepts it silently.
  g.Paint();
  EXPECT_EQ(dialogs().Count(), 0u);
  EXPECT_EQ(g.ImageFile, saved.ImageFile);
}

TEST_F(SettingsFile, ExistingKeysKeepTheirPlacesAndForeignContentStays) {
  WriteBytes(misc() / "prefer.ini",
             "; station settings\r\n[Other]\r\nx=1\r\n[MP_Setting]\r\nPattern=5\r\nFormat=1\r\n"
             "[HIDE_FILES]\r\nf0=a\r\n[SPI_HIDE_FILES]\r\nf0=b\r\n");
  Start();
  EXPECT_TRUE(Form1->chkFormat.Checked());
  EXPECT_TRUE(Form1->chkFwUpgrade.Checked());  // its default
  EXPECT_EQ(Form1->Pattern, 5);
  Stop();
  std::string text = Prefer();
  EXPECT_THAT(text, ::testing::StartsWith("; station settings\r\n[Other]\r\nx=1\r\n[MP_Setting]\r\nPattern=5\r\n"
                                          "Format=1\r\nBlanking check=0\r\n"));
  EXPECT_EQ(text.find("HIDE_FILES"), std::string::npos);
  EXPECT_EQ(text.find("f0="), std::string::npos);
}

TEST_F(SettingsFile, MalformedValuesGiveTheKeysDefaults) {
  WriteBytes(misc() / "prefer.ini",
             "[mp_setting]\r\nPageMode=yes\r\niScanLevel=abc\r\neDeviceFeature=257\r\niHideDiskRatio=35\r\n"
             "DealCapError=-1\r\nFwUpgrade=\r\nFormat=7\r\nSystem Area Size=40\r\nLabel=\"LINE 7\"\r\n");
  Start();
  TForm1& f = *Form1;
  EXPECT_FALSE(f.PageMode);
  EXPECT_EQ(f.iScanLevel, 0);
  EXPECT_EQ(f.eDeviceFeature, 1);  // low 8 bits
  EXPECT_EQ(f.DealCapError, 255);
  EXPECT_TRUE(f.chkFwUpgrade.Checked());
  EXPECT_TRUE(f.chkFormat.Checked());
  EXPECT_EQ(f.SystemAreaComBo.ItemIndex(), -1);  // outside the items: nothing selected
  EXPECT_EQ(f.labDiskFeature.Caption(), "Encrypted disk35%");
  EXPECT_EQ(f.LabelEdit.Text(), "LINE 7") << "the quotes around a value are not part of it";
  Stop();
  EXPECT_NE(Prefer().find("System Area Size=-1\r\n"), std::string::npos);
}

TEST_F(SettingsFile, GarbageFileAndUnknownDiskSplit) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 7919) & 0xFF));
  WriteBytes(misc() / "prefer.ini", junk);
  Start();
  EXPECT_EQ(BoxStates(*Form1), "0010001111");
  EXPECT_EQ(Form1->iBadThreshold, 20);
  Form1->labDiskFeature.SetCaption("keep");
  WriteBytes(misc() / "prefer.ini", "[MP_Setting]\neDeviceFeature=3\niHideDiskRatio=50\n");
  LoadMpSettings(*Form1, ".\\misc\\prefer.ini");
  EXPECT_EQ(Form1->eDeviceFeature, 3);
  EXPECT_EQ(Form1->labDiskFeature.Caption(), "keep");
}

TEST_F(SettingsFile, ValuesStayOnOneLine) {
  Start();
  Form1->LabelEdit.SetText("A\r\nFormat=1");
  Form1->ImageFile = "x\ny";
  Stop();
  std::string text = Prefer();
  EXPECT_NE(text.find("Label=A\r\n"), std::string::npos);
  EXPECT_NE(text.find("ImageFile=x\r\n"), std::string::npos);
  EXPECT_NE(text.find("Format=0\r\n"), std::string::npos);
}

TEST_F(SettingsFile, ARefusedSaveIsShownAndLeavesTheFileByteForByte) {
  const std::string before = "; mine\r\n[MP_Setting]\r\nFormat=1\r\nLabel=\"old\"\r\n[HIDE_FILES]\r\nf0=a\r\n";
  WriteBytes(misc() / "prefer.ini", before);
  fs::permissions(misc() / "prefer.ini", fs::perms::owner_read);  // refused even for root
  Start();
  Form1->LabelEdit.SetText("new");
  Stop();
  auto errors = dialogs().Records(DialogKind::Error);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].request.text, "Unable to write to " + (misc() / "prefer.ini").string() + ".");
  EXPECT_EQ(Prefer(), before);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(misc())) left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"hideseting.ini", "prefer.ini", "seting.ini", "spiseting.ini"}))
      << "no temporary file left";
}

// The prompt and the exclusion belong to the operator's mouse: a settings
// file with the fixed-port option on, or with both scans on, loads as it
// stands without a prompt; the keyboard does not exclude either.
TEST_F(SettingsFile, LoadedOptionsRaiseNoPromptAndClearNoBox) {
  WriteBytes(misc() / "prefer.ini", "[MP_Setting]\r\nFixUsbIO=1\r\nBlanking check=1\r\nClearFlash=1\r\n");
  Start();
  TForm1& f = *Form1;
  EXPECT_TRUE(f.chkUsbPort.Checked() && f.chkBlankCheck.Checked() && f.chkClearFlash.Checked());
  EXPECT_TRUE(dialogs().Records(DialogKind::MessageBox).empty());
  LoadMpSettings(f, ".\\misc\\prefer.ini");  // again, over boxes already set
  EXPECT_TRUE(f.chkBlankCheck.Checked() && f.chkClearFlash.Checked());
  EXPECT_TRUE(dialogs().Records(DialogKind::MessageBox).empty());

  f.chkClearFlash.UserKeyToggle();
  f.chkClearFlash.UserKeyToggle();
  EXPECT_TRUE(f.chkBlankCheck.Checked()) << "the space bar excludes nothing";
  f.chkClearFlash.UserClick();  // off: nothing else
  EXPECT_TRUE(f.chkBlankCheck.Checked());
  f.chkClearFlash.UserClick();  // on: the blanking check goes
  EXPECT_FALSE(f.chkBlankCheck.Checked());
  f.chkBlankCheck.UserClick();
  EXPECT_TRUE(f.chkBlankCheck.Checked());
  EXPECT_FALSE(f.chkClearFlash.Checked());

  f.chkUsbPort.UserClick();       // off: no prompt
  f.chkUsbPort.UserClick();       // on: the prompt
  f.chkUsbPort.UserRightClick();  // still on: the prompt again
  auto boxes = dialogs().Records(DialogKind::MessageBox);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].request.text, "Please insert the required fixed USB IO port");
  EXPECT_EQ(boxes[0].request.caption, "Fix Usb IO Port");
  EXPECT_EQ(boxes[0].request.flags, 0u);
}

}  // namespace
}  // namespace console::testing

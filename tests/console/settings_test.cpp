// Production settings as the operator meets them: defaults on a fresh station,
// prefer.ini written at close and read back at the next start.
#include <gtest/gtest.h>

#include "console/settings.h"
#include "console/settings_dialog.h"
#include "station_fixture.h"

namespace console::testing {
namespace {

using SettingsFile = StationTest;

const char* const kFreshPrefer =
    "[MP_Setting]\r\n"
    "Format=0\r\n"
    "Blanking check=0\r\n"
    "FwUpgrade=1\r\n"
    "ISO upgrade=0\r\n"
    "Manual Upgrade=0\r\n"
    "System Area check=0\r\n"
    "System Area Size=0\r\n"
    "FwParityCheck=1\r\n"
    "NorReadCheck=1\r\n"
    "Label=\r\n"
    "FixUsbIO=1\r\n"
    "ClearFlash=1\r\n"
    "iScanLevel=0\r\n"
    "iPageSkip=0\r\n"
    "iReadTimes=0\r\n"
    "iEccLevel=2\r\n"
    "iBadThreshold=20\r\n"
    "eDeviceFeature=0\r\n"
    "iHideDiskRatio=10\r\n"
    "sHideDiskLabel=\r\n"
    "bUseImgFile=0\r\n"
    "ImageFile=\r\n"
    "AllowErrorRate=2\r\n"
    "DealCapError=0\r\n"
    "SaveSpiImage=0\r\n"
    "PageMode=0\r\n"
    "PageModeSel=0\r\n"
    "Pattern=0\r\n";

TEST_F(SettingsFile, FreshStationTakesDefaultsAndWritesEveryKeyInSaveOrder) {
  Start();
  TForm1& f = *Form1;
  EXPECT_FALSE(f.chkFormat.Checked());
  EXPECT_FALSE(f.chkBlankCheck.Checked());
  EXPECT_FALSE(f.chkISOupgrade.Checked());
  EXPECT_FALSE(f.CheckManuupgrade.Checked());
  EXPECT_FALSE(f.SystemAreachk.Checked());
  EXPECT_TRUE(f.chkFwUpgrade.Checked());
  EXPECT_TRUE(f.chkParityCheck.Checked());
  EXPECT_TRUE(f.chknor.Checked());
  EXPECT_TRUE(f.chkUsbPort.Checked());
  EXPECT_TRUE(f.chkClearFlash.Checked());
  EXPECT_EQ(f.SystemAreaComBo.ItemIndex(), 0);
  EXPECT_EQ(f.SystemAreaComBo.Text(), "4MB");
  EXPECT_EQ(f.SystemAreaComBo.Items.Count(), 32);
  EXPECT_EQ(f.SystemAreaComBo.Items[31], "128MB");
  EXPECT_EQ(f.LabelEdit.Text(), "");  // the layout's "my_audio" is replaced
  EXPECT_EQ(f.iEccLevel, 2);
  EXPECT_EQ(f.iBadThreshold, 20);
  EXPECT_EQ(f.iHideDiskRatio, 10);
  EXPECT_EQ(f.AllowErrorRate, 2);
  EXPECT_EQ(f.iScanLevel + f.iPageSkip + f.iReadTimes + f.PageModeSel + f.Pattern + f.iFlashModuleNo, 0);
  EXPECT_EQ(f.eDeviceFeature, 0);
  EXPECT_EQ(f.DealCapError, 0);
  EXPECT_FALSE(f.PageMode || f.bUseImgFile || f.SaveSpiImage || f.bNonFS || f.bFastBlkChk);
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
  f.chkFormat.SetChecked(true);
  f.chkBlankCheck.SetChecked(true);
  f.chkFwUpgrade.SetChecked(false);
  f.chkISOupgrade.SetChecked(true);
  f.CheckManuupgrade.SetChecked(true);
  f.SystemAreachk.SetChecked(true);
  f.SystemAreaComBo.SetItemIndex(7);
  f.chkParityCheck.SetChecked(false);
  f.chknor.SetChecked(false);
  f.chkUsbPort.SetChecked(false);
  f.chkClearFlash.SetChecked(false);
  f.LabelEdit.SetText("VOICE");
  f.iFlashModuleNo = 3;
  f.iScanLevel = 5;
  f.Pattern = 0xA55A;
  f.iPageSkip = 64;
  f.iEccLevel = 7;
  f.iBadThreshold = 35;
  f.PageMode = true;
  f.PageModeSel = 7;
  f.eDeviceFeature = kHiddenDisk;
  f.iHideDiskRatio = 35;
  f.sHideDiskLabel = "HIDDEN";
  f.AllowErrorRate = 20;
  f.iReadTimes = 3;
  f.DealCapError = kCapShowError;
  f.bUseImgFile = true;
  f.ImageFile = (home_ / "disk.img").string();
  f.SaveSpiImage = true;
  f.bNonFS = true;
  f.bFastBlkChk = true;
  MpSettingFields saved = f;
  WriteBytes(home_ / "disk.img", std::string(1024, '\0'));
  Stop();

  Start();
  TForm1& g = *Form1;
  EXPECT_TRUE(g.chkFormat.Checked());
  EXPECT_TRUE(g.chkBlankCheck.Checked());
  EXPECT_FALSE(g.chkFwUpgrade.Checked());
  EXPECT_TRUE(g.chkISOupgrade.Checked());
  EXPECT_TRUE(g.CheckManuupgrade.Checked());
  EXPECT_TRUE(g.SystemAreachk.Checked());
  EXPECT_EQ(g.SystemAreaComBo.Text(), "32MB");
  EXPECT_FALSE(g.chkParityCheck.Checked());
  EXPECT_FALSE(g.chknor.Checked());
  EXPECT_FALSE(g.chkUsbPort.Checked());
  EXPECT_FALSE(g.chkClearFlash.Checked());
  EXPECT_EQ(g.LabelEdit.Text(), "VOICE");
  EXPECT_EQ(g.iFlashModuleNo, 0);  // kept in the firmware file, not here
  EXPECT_EQ(g.iScanLevel, saved.iScanLevel);
  EXPECT_EQ(g.Pattern, saved.Pattern);
  EXPECT_EQ(g.iPageSkip, saved.iPageSkip);
  EXPECT_EQ(g.iEccLevel, saved.iEccLevel);
  EXPECT_EQ(g.iBadThreshold, saved.iBadThreshold);
  EXPECT_EQ(g.PageMode, saved.PageMode);
  EXPECT_EQ(g.PageModeSel, saved.PageModeSel);
  EXPECT_EQ(g.eDeviceFeature, saved.eDeviceFeature);
  EXPECT_EQ(g.iHideDiskRatio, saved.iHideDiskRatio);
  EXPECT_EQ(g.sHideDiskLabel, saved.sHideDiskLabel);
  EXPECT_EQ(g.AllowErrorRate, saved.AllowErrorRate);
  EXPECT_EQ(g.iReadTimes, saved.iReadTimes);
  EXPECT_EQ(g.DealCapError, saved.DealCapError);
  EXPECT_EQ(g.bUseImgFile, saved.bUseImgFile);
  EXPECT_EQ(g.ImageFile, saved.ImageFile);
  EXPECT_EQ(g.SaveSpiImage, saved.SaveSpiImage);
  EXPECT_FALSE(g.bNonFS);       // cleared by every load
  EXPECT_FALSE(g.bFastBlkChk);  // never stored
  EXPECT_EQ(g.labDiskFeature.Caption(), "Hidden disk35%");
  // The handlers that loading runs: the size choice and the Upgrade button follow their boxes.
  EXPECT_TRUE(g.SystemAreaComBo.Enabled());
  EXPECT_TRUE(g.Upgradebtn.Enabled());
  EXPECT_FALSE(frmSetting->chkNonFS.Visible());
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
  EXPECT_EQ(text.rfind("; station settings\r\n[Other]\r\nx=1\r\n[MP_Setting]\r\nPattern=5\r\nFormat=1\r\n"
                       "Blanking check=0\r\n",
                       0),
            0u)
      << text;
  EXPECT_EQ(text.find("HIDE_FILES"), std::string::npos);
  EXPECT_EQ(text.find("f0="), std::string::npos);
}

TEST_F(SettingsFile, MalformedValuesGiveTheKeysDefaults) {
  WriteBytes(misc() / "prefer.ini",
             "[mp_setting]\r\nPageMode=yes\r\niScanLevel=abc\r\nPattern=0x1F\r\niBadThreshold=  42\r\n"
             "eDeviceFeature=258\r\niHideDiskRatio=35\r\nDealCapError=-1\r\nFwUpgrade=\r\nFormat=7\r\n"
             "System Area Size=40\r\nAllowErrorRate=99999999999\r\n");
  Start();
  TForm1& f = *Form1;
  EXPECT_FALSE(f.PageMode);
  EXPECT_EQ(f.iScanLevel, 0);
  EXPECT_EQ(f.Pattern, 0x1F);
  EXPECT_EQ(f.iBadThreshold, 42);
  EXPECT_EQ(f.eDeviceFeature, 2);  // low 8 bits
  EXPECT_EQ(f.DealCapError, 255);
  EXPECT_TRUE(f.chkFwUpgrade.Checked());
  EXPECT_TRUE(f.chkFormat.Checked());
  EXPECT_EQ(f.SystemAreaComBo.ItemIndex(), -1);  // outside the items: nothing selected
  EXPECT_EQ(f.AllowErrorRate, 2);
  EXPECT_EQ(f.labDiskFeature.Caption(), "Hidden disk35%");
  Stop();
  EXPECT_NE(Prefer().find("System Area Size=-1\r\n"), std::string::npos);
}

TEST_F(SettingsFile, GarbageFileAndUnknownDiskSplit) {
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>((i * 7919) & 0xFF));
  WriteBytes(misc() / "prefer.ini", junk);
  Start();
  EXPECT_TRUE(Form1->chkClearFlash.Checked());
  EXPECT_EQ(Form1->iBadThreshold, 20);
  Form1->labDiskFeature.SetCaption("keep");
  WriteBytes(misc() / "prefer.ini", "[MP_Setting]\neDeviceFeature=3\niHideDiskRatio=50\n");
  LoadMpSettings(*Form1, ".\\misc\\prefer.ini");
  EXPECT_EQ(Form1->eDeviceFeature, 3);
  EXPECT_EQ(Form1->labDiskFeature.Caption(), "keep");
}

TEST_F(SettingsFile, DiskFeatureTextInEachLanguage) {
  std::string text;
  ASSERT_TRUE(DiskFeatureText(kEncryptedDisk, 10, 0, &text));
  EXPECT_EQ(text, "Encrypted disk10%");
  ASSERT_TRUE(DiskFeatureText(kHiddenDisk, 35, 1, &text));
  EXPECT_EQ(text, "隱藏磁碟35%");
  ASSERT_TRUE(DiskFeatureText(kNormalDisk, 35, 2, &text));
  EXPECT_EQ(text, "普通磁盘");
  EXPECT_FALSE(DiskFeatureText(9, 35, 0, &text));
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

}  // namespace
}  // namespace console::testing

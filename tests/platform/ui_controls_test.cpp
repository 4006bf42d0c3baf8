// The control model's event rules, one by one, and the properties' limits.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/ui/ui.h"

using namespace platform::ui;

namespace {

// A small form in the shape the station's windows take.
class OptionsForm : public TForm {
 public:
  OptionsForm() : TForm("OptionsForm") {}
  TGroupBox grpSetting{this, "grpSetting"};
  TCheckBox chkClear{&grpSetting, "chkClear"};
  TCheckBox chkBlank{&grpSetting, "chkBlank"};
  TGroupBox grpSplit{this, "grpSplit"};
  TRadioButton rdoNormal{&grpSplit, "rdoNormal"};
  TRadioButton rdoEncrypt{&grpSplit, "rdoEncrypt"};
  TRadioButton rdoHide{&grpSplit, "rdoHide"};
  TGroupBox grpLang{this, "grpLang"};
  TRadioButton rdoAuto{&grpLang, "rdoAuto"};
  TRadioButton rdoEng{&grpLang, "rdoEng"};
  TComboBox cboLevel{this, "cboLevel"};
  TListBox lstFiles{this, "lstFiles"};
  TEdit edtLabel{this, "edtLabel"};
  TButton btnApply{this, "btnApply"};
};

// Records which handlers ran, in order.
struct Log {
  std::vector<std::string> lines;
  TNotifyEvent Note(const std::string& what) {
    return [this, what](TObject* sender) {
      lines.push_back(what + ":" + static_cast<TComponent*>(sender)->Name());
    };
  }
  TMouseEvent MouseUp(const std::string& what) {
    return [this, what](TObject*, TMouseButton b, int, int) {
      lines.push_back(what + (b == mbLeft ? ":left" : b == mbRight ? ":right" : ":middle"));
    };
  }
};

class UiControls : public ::testing::Test {
 protected:
  ScopedApplication app;
  OptionsForm form;
  Log log;
};

TEST(UiColours, ConstantsAreBgrIntegers) {
  EXPECT_EQ(clRed, 255u);
  EXPECT_EQ(clBlue, 0xFF0000u);
  EXPECT_EQ(clGreen, 0x008000u);
  EXPECT_EQ(clBlack, 0u);
  EXPECT_EQ(clWindowText, 0x80000008u);
  EXPECT_EQ(ColorToRGB(clWindowText), clBlack);
  EXPECT_EQ(ColorToRGB(clRed), clRed);
}

TEST_F(UiControls, CheckBoxChangeFromCodeRunsOnClickSameStateRunsNothing) {
  form.chkClear.OnClick = log.Note("click");
  form.chkClear.OnMouseUp = log.MouseUp("up");
  form.chkClear.SetChecked(true);
  form.chkClear.SetChecked(true);
  form.chkClear.SetChecked(false);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"click:chkClear", "click:chkClear"}));
}

TEST_F(UiControls, CheckBoxMouseClickTogglesThenMouseUpSeesNewState) {
  std::vector<bool> seen;
  form.chkBlank.OnClick = log.Note("click");
  form.chkBlank.OnMouseUp = [&](TObject*, TMouseButton, int, int) {
    log.lines.push_back("up");
    seen.push_back(form.chkBlank.Checked());
  };
  EXPECT_TRUE(form.chkBlank.UserClick());
  EXPECT_TRUE(form.chkBlank.UserClick());
  EXPECT_EQ(log.lines, (std::vector<std::string>{"click:chkBlank", "up", "click:chkBlank", "up"}));
  EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

TEST_F(UiControls, KeyToggleRunsOnClickButNoMouseUp) {
  form.chkBlank.OnClick = log.Note("click");
  form.chkBlank.OnMouseUp = log.MouseUp("up");
  EXPECT_TRUE(form.chkBlank.UserKeyToggle());
  EXPECT_TRUE(form.chkBlank.Checked());
  EXPECT_EQ(log.lines, (std::vector<std::string>{"click:chkBlank"}));
}

TEST_F(UiControls, RightClickLeavesStateAndRunsOnlyMouseUp) {
  form.chkBlank.SetChecked(true);
  form.chkBlank.OnClick = log.Note("click");
  form.chkBlank.OnMouseUp = log.MouseUp("up");
  EXPECT_TRUE(form.chkBlank.UserRightClick());
  EXPECT_TRUE(form.chkBlank.Checked());
  EXPECT_EQ(log.lines, (std::vector<std::string>{"up:right"}));
}

TEST_F(UiControls, MouseUpHandlersExcludeEachOtherOnlyForTheMouse) {
  // Two boxes that clear each other on mouse release, as an options group does.
  form.chkClear.OnMouseUp = [&](TObject*, TMouseButton, int, int) {
    if (form.chkClear.Checked()) form.chkBlank.SetChecked(false);
  };
  form.chkBlank.OnMouseUp = [&](TObject*, TMouseButton, int, int) {
    if (form.chkBlank.Checked()) form.chkClear.SetChecked(false);
  };
  form.chkClear.SetChecked(true);
  form.chkBlank.UserClick();
  EXPECT_TRUE(form.chkBlank.Checked());
  EXPECT_FALSE(form.chkClear.Checked());
  form.chkClear.UserKeyToggle();  // keyboard: both stay checked
  EXPECT_TRUE(form.chkBlank.Checked());
  EXPECT_TRUE(form.chkClear.Checked());
}

TEST_F(UiControls, DisabledOrHiddenControlOrParentTakesNoInput) {
  form.chkClear.OnClick = log.Note("click");
  form.chkClear.OnMouseUp = log.MouseUp("up");
  form.chkClear.SetEnabled(false);
  EXPECT_FALSE(form.chkClear.UserClick());
  EXPECT_FALSE(form.chkClear.UserKeyToggle());
  EXPECT_FALSE(form.chkClear.UserRightClick());
  form.chkClear.SetEnabled(true);
  form.grpSetting.SetEnabled(false);
  EXPECT_FALSE(form.chkClear.EffectivelyEnabled());
  EXPECT_FALSE(form.chkClear.UserClick());
  form.grpSetting.SetEnabled(true);
  form.grpSetting.SetVisible(false);
  EXPECT_FALSE(form.chkClear.UserClick());
  EXPECT_TRUE(log.lines.empty());
  EXPECT_FALSE(form.chkClear.Checked());
  // Code still changes the state of a disabled control and runs its handler.
  form.chkClear.SetChecked(true);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"click:chkClear"}));
  // The form being hidden does not stop input.
  form.grpSetting.SetVisible(true);
  EXPECT_FALSE(form.Visible());
  EXPECT_TRUE(form.chkClear.UserClick());
}

TEST_F(UiControls, RadioOnFromCodeRunsOnClickAndUnchecksSiblingsSilently) {
  form.rdoNormal.OnClick = log.Note("click");
  form.rdoEncrypt.OnClick = log.Note("click");
  form.rdoHide.OnClick = log.Note("click");
  form.rdoAuto.SetChecked(true);  // another group: unaffected by the split group
  form.rdoNormal.SetChecked(true);
  form.rdoHide.SetChecked(true);
  EXPECT_FALSE(form.rdoNormal.Checked());
  EXPECT_FALSE(form.rdoEncrypt.Checked());
  EXPECT_TRUE(form.rdoHide.Checked());
  EXPECT_TRUE(form.rdoAuto.Checked());
  EXPECT_EQ(log.lines, (std::vector<std::string>{"click:rdoNormal", "click:rdoHide"}));
}

TEST_F(UiControls, RadioAlreadyOnOrTurnedOffRunsNothing) {
  form.rdoEng.SetChecked(true);
  form.rdoEng.OnClick = log.Note("click");
  form.rdoEng.OnMouseUp = log.MouseUp("up");
  form.rdoEng.SetChecked(true);
  EXPECT_TRUE(log.lines.empty());
  // The operator clicking the radio button that is already on: no click, only the mouse.
  form.rdoEng.UserClick();
  EXPECT_EQ(log.lines, (std::vector<std::string>{"up:left"}));
  log.lines.clear();
  form.rdoEng.SetChecked(false);
  EXPECT_FALSE(form.rdoEng.Checked());
  EXPECT_TRUE(log.lines.empty());
  form.rdoAuto.UserKeyToggle();
  EXPECT_TRUE(form.rdoAuto.Checked());
}

TEST_F(UiControls, ComboItemIndexFromCodeRunsNoHandlerAndOutOfRangeClears) {
  form.cboLevel.SetStyle(csDropDownList);
  form.cboLevel.Items.Assign({"Level 1", "Level 2", "Level 3"});
  form.cboLevel.OnChange = log.Note("change");
  form.cboLevel.OnClick = log.Note("click");
  form.cboLevel.SetItemIndex(2);
  EXPECT_EQ(form.cboLevel.Text(), "Level 3");
  form.cboLevel.SetItemIndex(70);
  EXPECT_EQ(form.cboLevel.ItemIndex(), -1);
  EXPECT_EQ(form.cboLevel.Text(), "");
  form.cboLevel.SetItemIndex(-5);
  EXPECT_EQ(form.cboLevel.ItemIndex(), -1);
  form.cboLevel.SetText("level 2");
  EXPECT_EQ(form.cboLevel.ItemIndex(), 1);
  EXPECT_TRUE(log.lines.empty());
}

TEST_F(UiControls, ComboOperatorChoiceRunsClickThenSelectOrChange) {
  form.cboLevel.Items.Assign({"0", "1", "2"});
  form.cboLevel.OnClick = log.Note("click");
  form.cboLevel.OnChange = log.Note("change");
  EXPECT_TRUE(form.cboLevel.UserSelect(1));
  EXPECT_EQ(form.cboLevel.ItemIndex(), 1);
  EXPECT_EQ(form.cboLevel.Text(), "1");
  form.cboLevel.OnSelect = log.Note("select");
  form.cboLevel.UserSelect(2);
  EXPECT_FALSE(form.cboLevel.UserSelect(3));
  EXPECT_EQ(log.lines, (std::vector<std::string>{"click:cboLevel", "change:cboLevel",
                                                 "click:cboLevel", "select:cboLevel"}));
}

TEST_F(UiControls, ComboTypingInDropDownStyleOnly) {
  form.cboLevel.Items.Assign({"0", "1"});
  form.cboLevel.OnChange = log.Note("change");
  EXPECT_TRUE(form.cboLevel.UserType("1"));
  EXPECT_EQ(form.cboLevel.ItemIndex(), 1);
  EXPECT_TRUE(form.cboLevel.UserType("17"));
  EXPECT_EQ(form.cboLevel.ItemIndex(), -1);
  EXPECT_EQ(form.cboLevel.Text(), "17");
  form.cboLevel.SetStyle(csDropDownList);
  EXPECT_FALSE(form.cboLevel.UserType("0"));
  EXPECT_EQ(log.lines.size(), 2u);
  form.cboLevel.Items.Clear();
  EXPECT_EQ(form.cboLevel.Text(), "");
}

TEST_F(UiControls, ItemListsKeepTheSelectionOnTheSameItem) {
  auto& items = form.cboLevel.Items;
  items.Assign({"a", "b", "c"});
  form.cboLevel.SetItemIndex(1);
  items.Insert(0, "z");
  EXPECT_EQ(form.cboLevel.ItemIndex(), 2);
  items.Delete(0);
  EXPECT_EQ(form.cboLevel.ItemIndex(), 1);
  items.Delete(1);
  EXPECT_EQ(form.cboLevel.ItemIndex(), -1);
  EXPECT_EQ(items.ToVector(), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(items.IndexOf("C"), 1);
  EXPECT_THROW(items.Strings(2), EStringListError);
  try {
    items.Delete(5);
  } catch (const EStringListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (5)");
  }
}

TEST_F(UiControls, MultiSelectListDeletesSelectedFromLastToFirst) {
  auto& lst = form.lstFiles;
  lst.SetMultiSelect(true);
  lst.Items.Assign({"a", "b", "c", "d"});
  lst.OnClick = log.Note("click");
  EXPECT_TRUE(lst.UserSelect(0));
  EXPECT_TRUE(lst.UserSelect(2, true));
  EXPECT_TRUE(lst.UserSelect(3, true));
  EXPECT_TRUE(lst.UserSelect(3, true));  // toggles off again
  EXPECT_EQ(lst.SelCount(), 2);
  EXPECT_EQ(log.lines.size(), 4u);
  lst.SetItemIndex(1);  // multiple selection: moves the focus only
  EXPECT_FALSE(lst.Selected(1));
  lst.DeleteSelected();
  EXPECT_EQ(lst.Items.ToVector(), (std::vector<std::string>{"b", "d"}));
  EXPECT_EQ(lst.SelCount(), 0);
  EXPECT_EQ(lst.ItemIndex(), 0);  // still on "b"
}

TEST_F(UiControls, SingleSelectListFollowsItemIndex) {
  auto& lst = form.lstFiles;
  lst.Items.Assign({"a", "b"});
  lst.UserSelect(0);
  lst.UserSelect(1, true);  // extend means nothing without multiple selection
  EXPECT_EQ(lst.SelCount(), 1);
  EXPECT_TRUE(lst.Selected(1));
  lst.SetItemIndex(0);
  EXPECT_TRUE(lst.Selected(0));
  EXPECT_FALSE(lst.Selected(1));
}

TEST_F(UiControls, EditChangesCaseTypingLimitAndReadOnly) {
  auto& edt = form.edtLabel;
  edt.OnChange = log.Note("change");
  edt.OnClick = log.Note("click");
  edt.SetCharCase(ecUpperCase);
  edt.SetMaxLength(8);
  edt.SetText("pass wd");  // code: converted, not limited
  EXPECT_EQ(edt.Text(), "PASS WD");
  edt.SetText("PASS WD");  // no change, no handler
  EXPECT_TRUE(edt.UserType("abcdefghijk"));
  EXPECT_EQ(edt.Text(), "ABCDEFGH");
  edt.SetText("a much longer label");
  EXPECT_EQ(edt.Text(), "A MUCH LONGER LABEL");
  edt.SetReadOnly(true);
  EXPECT_FALSE(edt.UserType("x"));
  EXPECT_TRUE(edt.UserClick());  // a read-only edit still takes clicks
  EXPECT_EQ(log.lines, (std::vector<std::string>{"change:edtLabel", "change:edtLabel",
                                                 "change:edtLabel", "click:edtLabel"}));
}

TEST_F(UiControls, EditMaxLengthCountsCharactersNotBytes) {
  form.edtLabel.SetMaxLength(2);
  form.edtLabel.UserType("\xE7\xA1\xAC\xE7\x9B\x98x");  // two Chinese characters and x
  EXPECT_EQ(form.edtLabel.Text(), "\xE7\xA1\xAC\xE7\x9B\x98");
}

TEST_F(UiControls, ButtonGivesItsModalResultToTheForm) {
  form.btnApply.SetModalResult(mrOk);
  form.btnApply.OnClick = [&](TObject*) {
    log.lines.push_back("click " + std::to_string(form.ModalResult()));
  };
  EXPECT_TRUE(form.btnApply.UserClick());
  EXPECT_EQ(form.ModalResult(), mrOk);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"click 1"}));
}

TEST_F(UiControls, TrackBarKeepsPositionInRangeAndReportsEveryMove) {
  TTrackBar bar(&form, "tbar");
  bar.SetRange(1, 100);
  bar.SetPosition(100);
  int changes = 0;
  bar.OnChange = [&](TObject*) { ++changes; };
  bar.SetMax(99);  // lowering the maximum moves the position
  EXPECT_EQ(bar.Position(), 99);
  EXPECT_EQ(changes, 1);
  bar.SetMax(100);
  EXPECT_EQ(bar.Position(), 99);
  EXPECT_EQ(changes, 1);
  bar.SetPosition(500);
  EXPECT_EQ(bar.Position(), 100);
  bar.SetPosition(100);
  EXPECT_EQ(changes, 2);
  EXPECT_TRUE(bar.UserSetPosition(-3));
  EXPECT_EQ(bar.Position(), 1);
  EXPECT_EQ(changes, 3);
  EXPECT_THROW(bar.SetRange(10, 5), EInvalidOperation);
  EXPECT_EQ(bar.Max(), 100);
}

TEST_F(UiControls, UpDownKeepsSixteenBitPositionInRange) {
  TUpDown ud(&form, "ud");
  ud.SetMin(1);
  ud.SetMax(20);
  std::vector<TUDBtnType> clicks;
  ud.OnClick = [&](TObject*, TUDBtnType b) { clicks.push_back(b); };
  ud.SetPosition(65536 + 5);  // low 16 bits: 5
  EXPECT_EQ(ud.Position(), 5);
  ud.SetPosition(0x1FFFF);  // low 16 bits: -1, kept at the minimum
  EXPECT_EQ(ud.Position(), 1);
  ud.SetPosition(300);
  EXPECT_EQ(ud.Position(), 20);
  EXPECT_TRUE(clicks.empty());
  EXPECT_TRUE(ud.UserClick(btNext));
  EXPECT_EQ(ud.Position(), 20);
  EXPECT_TRUE(ud.UserClick(btPrev));
  EXPECT_EQ(ud.Position(), 19);
  EXPECT_EQ(clicks, (std::vector<TUDBtnType>{btNext, btPrev}));
}

TEST_F(UiControls, GaugeClampsProgressToItsRange) {
  TCGauge gauge(&form, "ProgressBar1");
  gauge.SetMaxValue(400);
  gauge.SetProgress(450);
  EXPECT_EQ(gauge.Progress(), 400);
  EXPECT_EQ(gauge.PercentDone(), 100);
  gauge.SetProgress(-1);
  EXPECT_EQ(gauge.Progress(), 0);
  gauge.SetProgress(300);
  gauge.SetMaxValue(100);
  EXPECT_EQ(gauge.Progress(), 100);
  EXPECT_THROW(gauge.SetMaxValue(-1), EInvalidOperation);
  gauge.SetProgress(50);
  EXPECT_EQ(gauge.PercentDone(), 50);
}

TEST_F(UiControls, ImageKeepsPathBytesAndBitmapSizeAndRefusesMissingFile) {
  const std::string path = ::testing::TempDir() + "ui_success.bmp";
  std::vector<unsigned char> bmp(62, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  bmp[18] = 32;    // width 32
  bmp[22] = 0xF0;  // height -16: top-down
  bmp[23] = bmp[24] = bmp[25] = 0xFF;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bmp.data()),
                                              static_cast<std::streamsize>(bmp.size()));
  TImage image(&form, "infoImage1");
  image.LoadPictureFromFile(path);
  auto pic = image.Picture();
  ASSERT_TRUE(pic);
  EXPECT_EQ(pic->path, path);
  EXPECT_EQ(pic->Size(), 62u);
  EXPECT_EQ(pic->width, 32);
  EXPECT_EQ(pic->height, 16);
  try {
    image.LoadPictureFromFile(path + ".missing");
    FAIL() << "a missing file must raise";
  } catch (const EFOpenError& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot open file \"" + path + ".missing\""),
              std::string::npos);
  }
  EXPECT_EQ(image.PicturePath(), path);
  EXPECT_THROW(image.LoadPictureFromFile(::testing::TempDir()), EFOpenError);
  image.ClearPicture();
  EXPECT_FALSE(image.Picture());
  std::remove(path.c_str());
}

TEST_F(UiControls, PageControlTurnsFromCodeSilentlyAndFromTheOperatorWithOnChange) {
  TPageControl pages(&form, "pgeSetting");
  TTabSheet device(&pages, "tabDeviceSetting");
  TTabSheet flash(&pages, "tabFlashSetting");
  TCheckBox onFlash(&flash, "chkFastBlkChk");
  EXPECT_EQ(pages.ActivePage(), &device);
  EXPECT_EQ(flash.PageIndex(), 1);
  pages.OnChange = log.Note("change");
  pages.SetActivePageIndex(1);
  EXPECT_EQ(pages.ActivePage(), &flash);
  EXPECT_TRUE(pages.UserSelect(0));
  EXPECT_TRUE(pages.UserSelect(0));  // the tab already shown: nothing
  EXPECT_EQ(log.lines, (std::vector<std::string>{"change:pgeSetting"}));
  EXPECT_EQ(form.FindChild("chkFastBlkChk"), &onFlash);
  EXPECT_EQ(onFlash.ParentForm(), &form);
}

TEST_F(UiControls, ExceptionFromOperatorInputIsShownAndInputGoesOn) {
  app->SetTitle("ZOQQ4xx Kestrune v2.0");
  form.chkClear.OnClick = [](TObject*) { throw Exception("'abc' is not a valid integer value"); };
  form.chkClear.OnMouseUp = log.MouseUp("up");
  EXPECT_TRUE(form.chkClear.UserClick());
  EXPECT_TRUE(form.chkClear.Checked());
  EXPECT_EQ(log.lines, (std::vector<std::string>{"up:left"}));  // the mouse release still ran
  auto shown = app.dialogs().Records(DialogKind::Error);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].request.text, "'abc' is not a valid integer value.");
  EXPECT_EQ(shown[0].request.caption, "ZOQQ4xx Kestrune v2.0");
  EXPECT_EQ(shown[0].request.flags, MB_OK | MB_ICONSTOP);
  // The same handler run from code: the caller sees the exception.
  EXPECT_THROW(form.chkClear.SetChecked(false), Exception);
}

TEST_F(UiControls, TimerTicksOnlyWhenEnabled) {
  TTimer timer(&form, "Timer1");
  int ticks = 0;
  timer.OnTimer = [&](TObject*) { ++ticks; };
  timer.SetEnabled(false);
  EXPECT_FALSE(timer.Tick());
  timer.SetEnabled(true);
  EXPECT_TRUE(timer.Tick());
  timer.SetInterval(0);
  EXPECT_FALSE(timer.Tick());
  EXPECT_EQ(ticks, 1);
}

TEST_F(UiControls, PropertiesCountRevisionsAndFocusFollowsTheForm) {
  const auto before = form.edtLabel.Revision();
  form.edtLabel.SetFontColor(clRed);
  form.edtLabel.SetBounds(16, 88, 100, 20);
  EXPECT_GT(form.edtLabel.Revision(), before);
  EXPECT_EQ(form.edtLabel.FontColor(), clRed);
  EXPECT_EQ(form.edtLabel.Top(), 88);
  form.edtLabel.SetFocus();
  EXPECT_TRUE(form.edtLabel.Focused());
  EXPECT_EQ(form.ActiveControl(), &form.edtLabel);
}

}  // namespace

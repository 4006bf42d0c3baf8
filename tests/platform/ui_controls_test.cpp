// The control model's event rules and the limits of its properties.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/ui.h"

using namespace platform::ui;
using ::testing::HasSubstr;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

using Lines = std::vector<std::string>;

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
  TComboBox cboLevel{this, "cboLevel"};
  TListBox lstFiles{this, "lstFiles"};
  TEdit edtLabel{this, "edtLabel"};
  TButton btnApply{this, "btnApply"};
};

// Records which handlers ran, in order.
struct Log {
  Lines lines;
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

// From code a change of state runs OnClick and the same state nothing; the
// mouse toggles and OnMouseUp then sees the new state; the space bar runs no
// mouse event; the right button runs only the mouse event.
TEST_F(UiControls, CheckBoxEventsFromCodeMouseAndKeyboard) {
  auto& chk = form.chkBlank;
  chk.OnClick = log.Note("click");
  chk.OnMouseUp = [&](TObject*, TMouseButton b, int, int) {
    log.lines.push_back(std::string(b == mbLeft ? "left " : "right ") + (chk.Checked() ? "on" : "off"));
  };
  chk.SetChecked(true);
  chk.SetChecked(true);
  chk.SetChecked(false);
  EXPECT_TRUE(chk.UserClick());
  EXPECT_TRUE(chk.UserClick());
  EXPECT_TRUE(chk.UserKeyToggle());
  EXPECT_TRUE(chk.UserRightClick());
  EXPECT_TRUE(chk.Checked());
  EXPECT_EQ(log.lines, (Lines{"click:chkBlank", "click:chkBlank", "click:chkBlank", "left on",
                              "click:chkBlank", "left off", "click:chkBlank", "right on"}));
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
  EXPECT_EQ(log.lines, (Lines{"click:chkClear"}));
  // The form being hidden does not stop input.
  form.grpSetting.SetVisible(true);
  EXPECT_FALSE(form.Visible());
  EXPECT_TRUE(form.chkClear.UserClick());
}

// Turning a radio button on runs its OnClick (from code too) and turns its
// siblings off without theirs; one already on, or turned off, runs nothing.
TEST_F(UiControls, RadioOnRunsOnClickAndTurnsSiblingsOffSilently) {
  for (TRadioButton* r : {&form.rdoNormal, &form.rdoEncrypt, &form.rdoHide}) {
    r->OnClick = log.Note("click");
    r->OnMouseUp = log.MouseUp("up");
  }
  form.rdoAuto.SetChecked(true);  // another group: unaffected by the split group
  form.rdoNormal.SetChecked(true);
  form.rdoHide.SetChecked(true);
  form.rdoHide.SetChecked(true);
  form.rdoHide.UserClick();  // already on: no click, only the mouse
  EXPECT_FALSE(form.rdoNormal.Checked());
  EXPECT_FALSE(form.rdoEncrypt.Checked());
  EXPECT_TRUE(form.rdoHide.Checked());
  EXPECT_TRUE(form.rdoAuto.Checked());
  form.rdoHide.SetChecked(false);
  EXPECT_FALSE(form.rdoHide.Checked());
  EXPECT_TRUE(form.rdoEncrypt.UserKeyToggle());
  EXPECT_TRUE(form.rdoEncrypt.Checked());
  EXPECT_EQ(log.lines, (Lines{"click:rdoNormal", "click:rdoHide", "up:left", "click:rdoEncrypt"}));
}

// From code nothing runs and an index out of range clears the selection. The
// operator's choice runs OnClick, then OnSelect (OnChange when OnSelect is
// unbound); typing is for the drop-down style only and runs OnChange.
TEST_F(UiControls, ComboFromCodeSilentlyFromTheOperatorWithHandlers) {
  auto& cbo = form.cboLevel;
  cbo.OnClick = log.Note("click");
  cbo.OnChange = log.Note("change");
  cbo.SetStyle(csDropDownList);
  cbo.Items.Assign({"Level 0", "Level 1", "Level 2"});
  cbo.SetItemIndex(2);
  EXPECT_EQ(cbo.Text(), "Level 2");
  cbo.SetItemIndex(70);
  EXPECT_EQ(cbo.ItemIndex(), -1);
  EXPECT_EQ(cbo.Text(), "");
  cbo.SetItemIndex(-5);
  EXPECT_EQ(cbo.ItemIndex(), -1);
  cbo.SetText("level 1");
  EXPECT_EQ(cbo.ItemIndex(), 1);
  EXPECT_FALSE(cbo.UserType("Level 0"));
  EXPECT_TRUE(log.lines.empty());
  cbo.SetStyle(csDropDown);
  EXPECT_TRUE(cbo.UserSelect(0));
  EXPECT_EQ(cbo.ItemIndex(), 0);
  EXPECT_EQ(cbo.Text(), "Level 0");
  EXPECT_TRUE(cbo.UserType("Level 17"));
  EXPECT_EQ(cbo.ItemIndex(), -1);
  EXPECT_EQ(cbo.Text(), "Level 17");
  EXPECT_TRUE(cbo.UserType("Level 2"));
  EXPECT_EQ(cbo.ItemIndex(), 2);
  cbo.OnSelect = log.Note("select");
  EXPECT_TRUE(cbo.UserSelect(1));
  EXPECT_FALSE(cbo.UserSelect(3));
  cbo.Items.Clear();
  EXPECT_EQ(cbo.Text(), "");
  EXPECT_EQ(log.lines, (Lines{"click:cboLevel", "change:cboLevel", "change:cboLevel",
                              "change:cboLevel", "click:cboLevel", "select:cboLevel"}));
}

// The selection stays on the same item while items come and go. A single
// selection follows ItemIndex; a multiple one is changed by the operator and
// ItemIndex only moves the focus.
TEST_F(UiControls, ListBoxSelectionFollowsItemsAndInput) {
  auto& lst = form.lstFiles;
  auto& items = lst.Items;
  items.Assign({"a", "b", "c"});
  lst.SetItemIndex(1);
  items.Insert(0, "z");
  EXPECT_EQ(lst.ItemIndex(), 2);
  EXPECT_TRUE(lst.Selected(2));
  items.Delete(0);
  EXPECT_EQ(lst.ItemIndex(), 1);
  items.Delete(1);
  EXPECT_EQ(lst.ItemIndex(), -1);
  EXPECT_EQ(lst.SelCount(), 0);
  EXPECT_EQ(items.ToVector(), (Lines{"a", "c"}));
  EXPECT_EQ(items.IndexOf("C"), 1);
  EXPECT_THROW(items.Strings(2), EStringListError);
  EXPECT_THAT([&] { items.Delete(5); },
              ThrowsMessage<EStringListError>(StrEq("List index out of bounds (5)")));

  items.Assign({"a", "b", "c", "d"});
  lst.OnClick = log.Note("click");
  lst.UserSelect(0);
  lst.UserSelect(1, true);  // extend means nothing without multiple selection
  EXPECT_EQ(lst.SelCount(), 1);
  EXPECT_TRUE(lst.Selected(1));
  lst.SetItemIndex(0);
  EXPECT_TRUE(lst.Selected(0));
  EXPECT_FALSE(lst.Selected(1));
  lst.SetMultiSelect(true);
  EXPECT_TRUE(lst.UserSelect(2, true));
  EXPECT_TRUE(lst.UserSelect(3, true));
  EXPECT_TRUE(lst.UserSelect(3, true));  // toggles off again
  EXPECT_EQ(lst.SelCount(), 2);
  EXPECT_EQ(log.lines.size(), 5u);
  lst.SetItemIndex(1);
  EXPECT_FALSE(lst.Selected(1));
  lst.DeleteSelected();  // "a" and "c", last to first
  EXPECT_EQ(items.ToVector(), (Lines{"b", "d"}));
  EXPECT_EQ(lst.SelCount(), 0);
  EXPECT_EQ(lst.ItemIndex(), 0);  // still on "b"
}

TEST_F(UiControls, EditCaseTypingLimitAndReadOnly) {
  auto& edt = form.edtLabel;
  edt.OnChange = log.Note("change");
  edt.OnClick = log.Note("click");
  edt.SetMaxLength(2);  // characters, not bytes
  EXPECT_TRUE(edt.UserType("\xE7\xA1\xAC\xE7\x9B\x98x"));  // two Chinese characters and x
  EXPECT_EQ(edt.Text(), "\xE7\xA1\xAC\xE7\x9B\x98");
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
  EXPECT_EQ(log.lines, (Lines{"change:edtLabel", "change:edtLabel", "change:edtLabel",
                              "change:edtLabel", "click:edtLabel"}));
}

TEST_F(UiControls, UpDownKeepsSixteenBitPositionInRange) {
  TUpDown ud(&form, "ud");
  ud.SetMin(1);
  ud.SetMax(20);
  std::vector<TUDBtnType> clicks;
  ud.OnClick = [&](TObject*, TUDBtnType b) { clicks.push_back(b); };
  // The low 16 bits count: 65541 is 5, 0x1FFFF is -1 (kept at the minimum).
  for (auto [set, kept] : std::vector<std::pair<int, int>>{{65541, 5}, {0x1FFFF, 1}, {300, 20}}) {
    ud.SetPosition(set);
    EXPECT_EQ(ud.Position(), kept) << set;
  }
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
  std::string bmp(62, '\0');
  bmp.replace(0, 2, "BM");
  bmp[18] = 32;                            // width 32
  bmp.replace(22, 4, "\xF0\xFF\xFF\xFF");  // height -16: top-down
  std::ofstream(path, std::ios::binary) << bmp;
  TImage image(&form, "infoImage1");
  image.LoadPictureFromFile(path);
  auto pic = image.Picture();
  ASSERT_TRUE(pic);
  EXPECT_EQ(pic->path, path);
  EXPECT_EQ(std::string(pic->data.begin(), pic->data.end()), bmp);
  EXPECT_EQ(pic->width, 32);
  EXPECT_EQ(pic->height, 16);
  EXPECT_THAT([&] { image.LoadPictureFromFile(path + ".missing"); },
              ThrowsMessage<EFOpenError>(HasSubstr("Cannot open file \"" + path + ".missing\"")));
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
  EXPECT_EQ(log.lines, (Lines{"change:pgeSetting"}));
  EXPECT_EQ(form.FindChild("chkFastBlkChk"), &onFlash);
  EXPECT_EQ(onFlash.ParentForm(), &form);
}

TEST_F(UiControls, ExceptionFromOperatorInputIsShownAndInputGoesOn) {
  app->SetTitle("ZOQQ4xx Kestrune v2.0");
  form.chkClear.OnClick = [](TObject*) { throw Exception("'abc' is not a valid integer value"); };
  form.chkClear.OnMouseUp = log.MouseUp("up");
  EXPECT_TRUE(form.chkClear.UserClick());
  EXPECT_TRUE(form.chkClear.Checked());
  EXPECT_EQ(log.lines, (Lines{"up:left"}));  // the mouse release still ran
  auto shown = app.dialogs().Records(DialogKind::Error);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].request.text, "'abc' is not a valid integer value.");
  EXPECT_EQ(shown[0].request.caption, "ZOQQ4xx Kestrune v2.0");
  EXPECT_EQ(shown[0].request.flags, MB_OK | MB_ICONSTOP);
  // The same handler run from code: the caller sees the exception.
  EXPECT_THROW(form.chkClear.SetChecked(false), Exception);
}

}  // namespace

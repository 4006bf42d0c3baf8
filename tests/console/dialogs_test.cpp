// The password dialog that guards the fast blanking check, and the wait dialog.
#include <gtest/gtest.h>

#include "console/message_table.h"
#include "dialog_session.h"

namespace console::testing {
namespace {

using namespace platform::ui;

class PasswordDialog : public SettingsSession {
 protected:
  // The settings dialog shows the password dialog; the operator acts in it.
  void Show(std::function<void(TForm2&)> act) {
    WhenShown(Form2, [act] { act(*Form2); });
    Form2->ShowModal();
  }
  bool Granted() const { return frmSetting->chkFastBlkChk.Checked(); }
  static void Enter(TForm2& p, const std::string& text) {
    p.edtpassword.UserType(text);
    p.Button1.UserClick();
  }
};

TEST_F(PasswordDialog, TheKeptNumberDecidesEveryClose) {
  Show([](TForm2& p) { p.UserClose(); });  // first showing, nothing entered
  EXPECT_FALSE(Granted());

  Show([](TForm2& p) { Enter(p, "46130972"); });
  EXPECT_TRUE(Granted());
  EXPECT_EQ(Form2->iPassword, kFastBlankingAccessNumber);
  EXPECT_EQ(Form2->edtpassword.Text(), "");
  frmSetting->SetFastBlankingChecked(false);
  Show([](TForm2& p) { p.UserClose(); });  // a later showing closed without entry
  EXPECT_TRUE(Granted());

  Show([](TForm2& p) { Enter(p, "46130970"); });
  EXPECT_FALSE(Granted());
  Show([](TForm2& p) { p.UserClose(); });
  EXPECT_FALSE(Granted());
  EXPECT_EQ(Messages(), std::vector<std::string>{"Password Error! Pls input correct Password"});
  EXPECT_EQ(dialogs().Records(DialogKind::ShowMessage).size(), 1u);
}

TEST_F(PasswordDialog, EmptyAndUnreadableEntries) {
  Show([](TForm2& p) { Enter(p, "46130972"); });
  Show([](TForm2& p) { Enter(p, ""); });  // counts as 0
  EXPECT_FALSE(Granted());
  EXPECT_EQ(Form2->iPassword, 0);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Pls input paaword!", "Password Error! Pls input correct Password"}));

  Show([](TForm2& p) { Enter(p, "46130972"); });
  dialogs().Clear();
  Show([](TForm2& p) {
    Enter(p, "4613O972");  // a letter O: no number, the dialog stays open
    EXPECT_TRUE(p.Visible());
    EXPECT_EQ(p.ModalResult(), mrNone);
    EXPECT_EQ(p.edtpassword.Text(), "4613O972");
    p.edtpassword.UserClick();  // a click into the edit empties it
    EXPECT_EQ(p.edtpassword.Text(), "");
    p.UserClose();
  });
  EXPECT_EQ(Messages(), std::vector<std::string>{"'4613O972' is not a valid integer value."});
  EXPECT_EQ(Form2->iPassword, kFastBlankingAccessNumber);  // kept from before
  EXPECT_TRUE(Granted());
}

TEST_F(PasswordDialog, CaptionsFollowTheMainWindowsLanguage) {
  for (int lang : {2, 1, 0}) {
    Form1->LanguageIndex = lang;
    Show([lang](TForm2& p) {
      EXPECT_EQ(p.Label1.Caption(), MessageText(88, lang));
      EXPECT_EQ(p.GroupBox1.Caption(), MessageText(89, lang));
      EXPECT_EQ(p.Button1.Caption(), MessageText(90, lang));
      EXPECT_EQ(p.Caption(), "DU Vadi Password");
      p.UserClose();
    });
  }
}

TEST_F(PasswordDialog, WaitDialogIsCreatedAtStartAndOnlyShowsItsLabel) {
  EXPECT_EQ(Form3->Caption(), "Processing");
  EXPECT_EQ(Form3->Label1.Caption(), "Wating....................");
  EXPECT_FALSE(Form3->Visible());
  Form3->Show();
  EXPECT_EQ(Form3->Label1.Caption(), "Wating......");
  Form3->Hide();
}

}  // namespace
}  // namespace console::testing

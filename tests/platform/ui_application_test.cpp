// The application object on one thread: queue and loop, error display,
// message boxes, modal forms and the file dialogs through the dialog service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/ui/ui.h"

using namespace platform::ui;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

namespace {

// A password dialog in the shape of the station's: typing, a button that
// closes on the right password and complains otherwise, and a close rule.
class PasswordForm : public TForm {
 public:
  PasswordForm() : TForm("Form2") {
    SetCaption("DU Vadi Password");
    OnShow = [this](TObject*) {
      ++shows;
      edtpassword.Clear();
    };
    Button1.OnClick = [this](TObject*) {
      entered = edtpassword.Text();
      if (entered == "46130972")
        Close();
      else
        MessageBox("Password Error! Pls input correct Password", "", MB_OK);
    };
    OnClose = [this](TObject*, TCloseAction&) { ++closes; };
  }
  TEdit edtpassword{this, "edtpassword"};
  TButton Button1{this, "Button1"};
  TButton btnOk{this, "btnOk"};
  std::string entered;
  int shows = 0;
  int closes = 0;
};

// Queued work runs in order, also work queued by a handler; an error escaping
// a handler goes to the error display and the rest still runs.
TEST(UiApplication, QueuedWorkRunsInOrderAndErrorsAreShown) {
  ScopedApplication app;
  app->SetTitle("test");
  std::vector<int> ran;
  Application->Post([&] { ran.push_back(1); });
  Application->Post([] { throw Exception("Image output fail"); });
  Application->Post([&] {
    ran.push_back(2);
    Application->Post([&] { ran.push_back(3); });
  });
  Application->Post([] { throw std::runtime_error("disk full!"); });
  Application->Post([] { throw 42; });
  EXPECT_TRUE(ran.empty());
  Application->ProcessMessages();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  Application->ProcessMessages();  // nothing left: returns at once
  auto errors = app.dialogs().Records(DialogKind::Error);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0].request.text, "Image output fail.");
  EXPECT_EQ(errors[1].request.text, "disk full!");  // ends in punctuation: no dot added
  EXPECT_EQ(errors[2].request.text, "Unknown error.");
  EXPECT_EQ(errors[0].request.caption, "test");

  // A bound OnException replaces the error display.
  std::exception_ptr seen;
  app->OnException = [&](std::exception_ptr e) { seen = e; };
  EXPECT_FALSE(CallGuarded([] { throw Exception("boom"); }));
  EXPECT_THAT([&] { std::rethrow_exception(seen); }, ThrowsMessage<Exception>(StrEq("boom")));
  EXPECT_EQ(app.dialogs().Count(), 3u);
}

TEST(UiApplication, RunShowsTheMainFormRunsTimersAndEndsWhenItCloses) {
  ScopedApplication app;
  PasswordForm main;
  int painted = 0;
  int ticks = 0;
  main.OnPaint = [&](TObject*) { ++painted; };
  TTimer timer(&main, "Timer1");
  timer.SetInterval(1);  // the one real wait of these tests: two milliseconds
  timer.OnTimer = [&](TObject*) {
    if (++ticks == 2) main.Close();
  };
  Application->SetMainForm(&main);
  Application->Run();  // show, first paint through the queue, two ticks, close, terminate
  EXPECT_EQ(main.shows, 1);
  EXPECT_EQ(painted, 1);
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(main.closes, 1);
  EXPECT_TRUE(Application->Terminated());
  main.Hide();
  Application->Run();  // already terminated: shows nothing
  EXPECT_EQ(main.shows, 1);
  EXPECT_FALSE(main.Visible());
}

// Unscripted message boxes get their default button (the first when the
// default names a button the box does not have); every request is recorded.
TEST(UiApplication, MessageBoxesAreScriptedOrGetTheDefaultButtonAndAreRecorded) {
  ScopedApplication app;
  app->SetTitle("ZOQQ4xx Kestrune v2.0");
  app.dialogs().AnswerMessageBox(IDNO);
  EXPECT_EQ(Application->MessageBox(
                "Fast Blanking Check cannot guarantee the stablity of data access.", "Warning",
                MB_YESNO | MB_ICONWARNING),
            IDNO);
  EXPECT_EQ(MessageBox("Invalid IMG file", "Fail", MB_OK | MB_ICONERROR | MB_DEFBUTTON2), IDOK);
  EXPECT_EQ(MessageBox("Continue?", "Warning", MB_YESNO | MB_DEFBUTTON2), IDNO);
  EXPECT_EQ(MessageBox("Retry?", "Warning", MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
  ShowMessage("Over 8 device!");
  auto records = app.dialogs().Records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].request.kind, DialogKind::MessageBox);
  EXPECT_EQ(records[0].request.caption, "Warning");
  EXPECT_EQ(records[0].request.flags, MB_YESNO | MB_ICONWARNING);
  EXPECT_EQ(records[0].request.thread, std::this_thread::get_id());
  EXPECT_EQ(records[0].answer.result, IDNO);
  EXPECT_TRUE(records[0].scripted);
  EXPECT_EQ(records[1].request.text, "Invalid IMG file");
  EXPECT_EQ(records[4].request.kind, DialogKind::ShowMessage);
  EXPECT_EQ(records[4].request.text, "Over 8 device!");
  EXPECT_EQ(records[4].request.caption, "ZOQQ4xx Kestrune v2.0");
  EXPECT_EQ(app.dialogs().Unscripted(), 4u);
}

TEST(UiApplication, ModalFormIsDrivenByTheScriptAndClosesThroughOnClose) {
  ScopedApplication app;
  PasswordForm dlg;
  app.dialogs().Then(DialogKind::Modal, [&](const DialogRequest& r) {
    EXPECT_EQ(r.form, &dlg);
    EXPECT_EQ(r.caption, "DU Vadi Password");
    EXPECT_TRUE(dlg.Visible());
    EXPECT_TRUE(dlg.Modal());
    dlg.edtpassword.UserType("1234");
    dlg.Button1.UserClick();  // a wrong password: a message box, the form stays
    EXPECT_EQ(dlg.ModalResult(), mrNone);
    dlg.edtpassword.UserType("46130972");
    dlg.Button1.UserClick();  // Close() on a modal form: mrCancel
    return DialogAnswer{};
  });
  EXPECT_EQ(dlg.ShowModal(), mrCancel);
  EXPECT_EQ(dlg.entered, "46130972");
  EXPECT_EQ(dlg.shows, 1);
  EXPECT_EQ(dlg.closes, 1);
  EXPECT_FALSE(dlg.Visible());
  EXPECT_FALSE(dlg.Modal());
  // The message box shown inside the form is recorded after it.
  auto records = app.dialogs().Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].request.kind, DialogKind::Modal);
  EXPECT_EQ(records[1].request.text, "Password Error! Pls input correct Password");

  // A button with a modal result ends the form with it.
  dlg.btnOk.SetModalResult(mrOk);
  app.dialogs().Then(DialogKind::Modal, [&](const DialogRequest&) {
    dlg.btnOk.UserClick();
    return DialogAnswer{};
  });
  EXPECT_EQ(dlg.ShowModal(), mrOk);
  // Unscripted: closed as by its close box; the close rule still runs.
  EXPECT_EQ(dlg.ShowModal(), mrCancel);
  EXPECT_EQ(dlg.shows, 3);
  EXPECT_EQ(dlg.closes, 3);

  dlg.Show();
  EXPECT_THROW(dlg.ShowModal(), EInvalidOperation);
  EXPECT_TRUE(dlg.Visible());
}

TEST(UiApplication, FileAndFolderDialogsTakeScriptedChoices) {
  ScopedApplication app;
  TSaveDialog fsDlg(nullptr, "fsDlg");
  fsDlg.DefaultExt = "IMG";
  fsDlg.Filter = "Image File *.IMG|*.IMG";
  app.dialogs().AnswerFiles({"/tmp/out/disk"});
  ASSERT_TRUE(fsDlg.Execute());
  EXPECT_EQ(fsDlg.FileName, "/tmp/out/disk.IMG");
  auto req = app.dialogs().Last().request;
  EXPECT_EQ(req.kind, DialogKind::SaveFile);
  EXPECT_EQ(req.filter, "Image File *.IMG|*.IMG");

  TOpenDialog foDlg(nullptr, "foDlg");
  foDlg.Options |= ofAllowMultiSelect;
  app.dialogs().AnswerFiles({"/a/x.bin", "/a/y.dat"});
  ASSERT_TRUE(foDlg.Execute());
  EXPECT_EQ(foDlg.Files, (std::vector<std::string>{"/a/x.bin", "/a/y.dat"}));
  EXPECT_TRUE(app.dialogs().Last().request.flags & ofAllowMultiSelect);
  app.dialogs().CancelFileDialog();
  EXPECT_FALSE(foDlg.Execute());
  EXPECT_FALSE(foDlg.Execute());  // unscripted: cancelled

  app.dialogs().AnswerFiles({"/data/music"});
  EXPECT_EQ(SelectFolder("Select Directory"), "/data/music");
  EXPECT_EQ(app.dialogs().Last().request.caption, "Select Directory");
  EXPECT_EQ(SelectFolder("Select Directory", "/nowhere"), std::nullopt);
  EXPECT_EQ(app.dialogs().Last().request.initialDir, "/nowhere");
}

}  // namespace

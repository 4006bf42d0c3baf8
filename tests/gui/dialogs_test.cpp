// The Qt dialog service: message boxes, file and folder dialogs and modal
// forms as the operator meets them, answered here by acting in the dialog.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <thread>

#include "gui/dialogs.h"
#include "gui_fixture.h"

namespace gui::testing {
namespace {

using namespace platform::ui;
namespace fs = std::filesystem;

class QtDialogService : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    Application->SetDialogService(std::make_shared<QtDialogs>());
  }
};

// Clicks the button of the next message box that reads `label` (Escape when
// empty), after checking what the box shows.
void Answer(const QString& label, QString* shownText = nullptr, QString* shownTitle = nullptr,
            QString* defaultLabel = nullptr) {
  OnNextModal([=](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr);
    if (shownText) *shownText = box->text();
    if (shownTitle) *shownTitle = box->windowTitle();
    if (defaultLabel && box->defaultButton()) *defaultLabel = box->defaultButton()->text();
    if (label.isEmpty()) {
      QTest::keyClick(box, Qt::Key_Escape);
      return;
    }
    for (QAbstractButton* b : box->buttons())
      if (b->text() == label) return b->click();
    ADD_FAILURE() << "no button " << label.toStdString();
  });
}

TEST_F(QtDialogService, MessageBoxesGiveTheButtonTheOperatorChose) {
  struct Case {
    unsigned flags;
    QString click;  // empty: Escape
    int expected;
    QString defaultButton;
  };
  const Case cases[] = {
      {MB_OK, "OK", IDOK, "OK"},
      {MB_OK | MB_ICONWARNING, "", IDOK, "OK"},  // Escape on a lone OK is OK
      {MB_OKCANCEL, "", IDCANCEL, "OK"},
      {MB_YESNO | MB_DEFBUTTON2, "No", IDNO, "No"},
      {MB_YESNOCANCEL | MB_ICONQUESTION, "Yes", IDYES, "Yes"},
      {MB_ABORTRETRYIGNORE | MB_DEFBUTTON3, "Retry", IDRETRY, "Ignore"},
      {MB_RETRYCANCEL, "Cancel", IDCANCEL, "Retry"},
      {MB_CANCELTRYCONTINUE, "Continue", IDCONTINUE, "Cancel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    QString text, title, def;
    Answer(c.click, &text, &title, &def);
    EXPECT_EQ(MessageBox("Image file not exists.", "Warning", c.flags), c.expected);
    EXPECT_EQ(text, "Image file not exists.");
    EXPECT_EQ(title, "Warning");
    EXPECT_EQ(def, c.defaultButton);
  }
}

TEST_F(QtDialogService, AWorkersMessageBoxIsShownOnTheQtThreadWhileTheWorkerWaits) {
  std::thread::id shownOn;
  OnNextModal([&](QWidget* w) {
    shownOn = std::this_thread::get_id();
    static_cast<QMessageBox*>(w)->buttons().front()->click();
  });
  int answer = 0;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    answer = MessageBox("Exceed the device limit!", "Status", MB_OK);
    done = true;
    Application->Wake();
  });
  while (!done.load()) Application->HandleMessage();
  worker.join();
  EXPECT_EQ(answer, IDOK);
  EXPECT_EQ(shownOn, std::this_thread::get_id());
}

TEST_F(QtDialogService, FileAndFolderDialogsGiveWhatWasChosenOrNothing) {
  const fs::path dir = root_ / "files";
  fs::create_directories(dir / "sub");
  std::ofstream(dir / "a.IMG") << "x";
  std::ofstream(dir / "b.IMG") << "y";

  auto choose = [](QStringList names) {
    OnNextModal([names](QWidget* w) {
      auto* dialog = qobject_cast<QFileDialog*>(w);
      ASSERT_NE(dialog, nullptr);
      if (names.isEmpty()) return dialog->reject();
      QString joined;
      for (const QString& n : names) joined += names.size() > 1 ? "\"" + n + "\" " : n;
      dialog->selectFile(joined.trimmed());
      static_cast<QDialog*>(dialog)->accept();  // as the dialog's own button does
    });
  };

  TOpenDialog open;
  open.Title = "Select image";
  open.Filter = "Image File *.IMG|*.IMG|All|*.*";
  open.InitialDir = dir.string();
  open.Options |= ofAllowMultiSelect;
  choose({"a.IMG", "b.IMG"});
  ASSERT_TRUE(open.Execute());
  EXPECT_EQ(open.Files, (std::vector<std::string>{(dir / "a.IMG").string(), (dir / "b.IMG").string()}));

  choose({});
  EXPECT_FALSE(open.Execute());

  TSaveDialog save;
  save.DefaultExt = "IMG";
  save.InitialDir = dir.string();
  choose({"new"});
  ASSERT_TRUE(save.Execute());
  EXPECT_EQ(save.FileName, (dir / "new.IMG").string());

  OnNextModal([&](QWidget* w) {
    auto* dialog = qobject_cast<QFileDialog*>(w);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->directory().absolutePath().toStdString(), dir.string());
    dialog->selectFile((dir / "sub").c_str());
    static_cast<QDialog*>(dialog)->accept();  // as the dialog's own button does
  });
  EXPECT_EQ(SelectFolder("Add Dir", dir.string()), (dir / "sub").string());

  EXPECT_EQ(NameFilters("Image File *.IMG|*.IMG|All|*.*"), (QStringList{"Image File *.IMG (*.IMG)", "All (*.*)"}));
  EXPECT_EQ(NameFilters("Lists|*.ini;*.txt"), (QStringList{"Lists (*.ini *.txt)"}));
  EXPECT_EQ(NameFilters("All files (*.*)|*"), (QStringList{"All files (*)"}));  // files without a dot too
}

TEST_F(QtDialogService, AModalFormRunsInItsWindowUntilItHasAResult) {
  struct Password : TForm {
    Password() : TForm("Form2") {
      SetCaption("Password");
      SetBounds(0, 0, 300, 160);
      Edit.SetBounds(10, 10, 200, 22);
      Ok.SetBounds(10, 50, 80, 24);
      Ok.SetCaption("OK");
      Ok.SetModalResult(mrOk);
    }
    TEdit Edit{this, "edtpassword"};
    TButton Ok{this, "Button1"};
  } form;
  QTimer::singleShot(0, [&] {
    QWidget* window = renderer().WindowOf(&form);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isModal());
    QTest::keyClicks(renderer().WidgetOf(&form.Edit), "46130972");
    QTest::mouseClick(renderer().WidgetOf(&form.Ok), Qt::LeftButton);
  });
  EXPECT_EQ(form.ShowModal(), mrOk);
  EXPECT_EQ(form.Edit.Text(), "46130972");
  Settle();
  EXPECT_FALSE(renderer().WindowOf(&form)->isVisible());

  // The close box ends it as cancelled.
  QTimer::singleShot(0, [&] { renderer().WindowOf(&form)->close(); });
  EXPECT_EQ(form.ShowModal(), mrCancel);
}

}  // namespace
}  // namespace gui::testing

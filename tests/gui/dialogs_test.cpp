// The Qt dialog service: message boxes, file and folder dialogs and modal
// forms as the operator meets them, answered here by acting in the dialog:
// where they open, in which language, and how a close from outside (a
// signal) ends them.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeDatabase>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTreeView>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "console/other_forms.h"
#include "console/settings_dialog.h"

#include "gui/dialogs.h"
#include "gui/language.h"
#include "gui_fixture.h"

namespace gui::testing {
namespace {

using namespace platform::ui;
namespace fs = std::filesystem;

class QtDialogService : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    Application->SetDialogService(session_->dialogs());
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
    if (defaultLabel && box->defaultButton()) *defaultLabel = box->defaultButton()->text().remove('&');
    if (label.isEmpty()) {
      QTest::keyClick(box, Qt::Key_Escape);
      return;
    }
    for (QAbstractButton* b : box->buttons())
      if (b->text().remove('&') == label) return b->click();
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

TEST_F(QtDialogService, DialogsOpenOverTheirOwnerInsideTheScreenInTheStationsLanguage) {
  Start();
  QWidget* main = renderer().WindowOf(console::Form1);
  Settle();
  // The main window partly off the screen, the station in Simplified Chinese.
  const QRect screen = main->screen()->availableGeometry();
  main->setWindowState(Qt::WindowNoState);
  main->setGeometry(screen.right() - 200, screen.bottom() - 150, 600, 400);
  console::Form1->LanguageIndex = 2;
  struct Opened {
    QString what;
    QRect frame, ownerFrame;
    bool ownersDialog;  // the window system is told whose dialog it is
  };
  std::vector<Opened> opened;
  auto note = [&](QWidget* w, QWidget* owner) {
    opened.push_back({w->metaObject()->className(), w->frameGeometry(), owner->frameGeometry(),
                      w->windowHandle()->transientParent() == owner->windowHandle()});
  };
  QStringList boxButtons;
  QString lookIn;
  OnNextModal(
      [&](QWidget* settings) {
        note(settings, main);
        OnNextModal(
            [&](QWidget* box) {
              note(box, settings);
              for (QAbstractButton* b : static_cast<QMessageBox*>(box)->buttons()) boxButtons << b->text();
              static_cast<QMessageBox*>(box)->buttons().front()->click();
            },
            [](QWidget* m) { return qobject_cast<QMessageBox*>(m) != nullptr; });
        MessageBox("Skip page mode may couse flash unstable!", "Warning", MB_OKCANCEL);
        OnNextModal(
            [&](QWidget* files) {
              note(files, settings);
              lookIn = files->findChild<QLabel*>("lookInLabel")->text();
              static_cast<QDialog*>(files)->reject();
            },
            [](QWidget* m) { return qobject_cast<QFileDialog*>(m) != nullptr; });
        TOpenDialog().Execute();
        settings->close();
      },
      [](QWidget* m) { return m->objectName() == "frmSetting"; });
  console::Form1->btnSetup.UserClick();
  // A file dialog over the main window, which the screen's corner cuts.
  Settle();
  OnNextModal([&](QWidget* files) { note(files, main), static_cast<QDialog*>(files)->reject(); },
              [](QWidget* m) { return qobject_cast<QFileDialog*>(m) != nullptr; });
  TOpenDialog().Execute();
  // A dialog larger than the screen is made to fit inside it.
  struct Big : TForm {
    Big() : TForm("Big") { SetBounds(0, 0, 3000, 2500); }
  } big;
  OnNextModal([&](QWidget* w) { note(w, main), w->close(); }, [](QWidget* m) { return m->objectName() == "Big"; });
  big.ShowModal();
  ASSERT_EQ(opened.size(), 5u);
  for (const Opened& o : opened) {
    SCOPED_TRACE(o.what.toStdString());
    EXPECT_TRUE(screen.contains(o.frame));
    EXPECT_TRUE(o.frame.intersects(o.ownerFrame));
    EXPECT_TRUE(o.ownersDialog);
  }
  EXPECT_EQ(boxButtons, (QStringList{"确定", "取消"}));
  EXPECT_EQ(lookIn, "查找范围：");
}

TEST_F(QtDialogService, ThePasswordDialogTakesTheOperatorsInputInItsWindow) {
  Start();
  renderer().WindowOf(console::Form1);
  console::TForm2& form = *console::Form2;
  QTimer::singleShot(0, [&] {
    auto* edit = qobject_cast<QLineEdit*>(renderer().WidgetOf(&form.edtpassword));
    ASSERT_NE(edit, nullptr);
    QTest::keyClicks(edit, "4613");
    Settle();
    EXPECT_EQ(edit->text(), "4613");
    // A click into the edit empties it, in the model and on the screen.
    QTest::mouseClick(edit, Qt::LeftButton);
    Settle();
    EXPECT_EQ(form.edtpassword.Text(), "");
    EXPECT_EQ(edit->text(), "");
    QTest::keyClicks(edit, "46130972");
    QTest::mouseClick(renderer().WidgetOf(&form.Button1), Qt::LeftButton);
  });
  form.ShowModal();
  EXPECT_EQ(form.iPassword, console::kFastBlankingAccessNumber);
  EXPECT_TRUE(console::frmSetting->chkFastBlkChk.Checked());
}

TEST_F(QtDialogService, EscapeCancelsTheStationsDialogsAsTheirCloseDoes) {
  Start();
  console::TForm1& f = *console::Form1;
  renderer().WindowOf(&f);
  Settle();
  // Escape is pressed where the operator's focus may be: in a list, an edit,
  // a button; it reaches the dialog's window from there.
  const struct {
    const char* what;
    std::function<void()> open;
    std::function<QWidget*()> pressIn;
    std::function<bool()> cancelled;  // what the dialog's own cancel leaves
  } cases[] = {
      {"settings: a change made before Escape is not applied",
       [&] { f.btnSetup.UserClick(); },
       [&] {
         QTest::mouseClick(renderer().WidgetOf(&console::frmSetting->rdoHideDisk), Qt::LeftButton);
         Settle();
         return renderer().WidgetOf(&console::frmSetting->TntlstHideFiles);
       },
       [&] { return f.eDeviceFeature == console::kNormalDisk && !console::frmSetting->Visible(); }},
      {"password: closed as by its close box, the box as the number kept says",
       [&] { console::Form2->ShowModal(); },
       [&] {
         QTest::keyClicks(renderer().WidgetOf(&console::Form2->edtpassword), "46130972");
         return renderer().WidgetOf(&console::Form2->edtpassword);
       },
       [&] { return !console::Form2->Visible() && !console::frmSetting->chkFastBlkChk.Checked(); }},
      {"image tool", [&] { console::frmIsoMain->ShowModal(); },
       [&] { return renderer().WidgetOf(&console::frmIsoMain->btnCreateImg); },
       [&] { return !console::frmIsoMain->Visible(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bool pressed = false;
    OnNextModal(
        [&](QWidget*) {
          QWidget* in = c.pressIn();
          ASSERT_NE(in, nullptr);
          in->setFocus();
          QTest::keyClick(in, Qt::Key_Escape);
          pressed = true;
        },
        [](QWidget* m) { return qobject_cast<QMessageBox*>(m) == nullptr; });
    c.open();
    EXPECT_TRUE(pressed);
    EXPECT_TRUE(c.cancelled());
  }
  // The main window is no dialog: Escape leaves it open.
  QTest::keyClick(renderer().WidgetOf(&f.LabelEdit), Qt::Key_Escape);
  Settle();
  EXPECT_FALSE(Application->Terminated());
  EXPECT_TRUE(renderer().WindowOf(&f)->isVisible());
}

TEST_F(QtDialogService, FileDialogsShowEachColumnWholeInTheStationsLanguage) {
  const fs::path dir = root_ / "files";
  fs::create_directories(dir / "music");
  const fs::path file = dir / "line 4, morning shift.mp3";
  std::ofstream(file) << std::string(1500, 'x');
  const QDateTime modified(QDate(2024, 11, 28), QTime(17, 45));
  fs::last_write_time(file, fs::file_time_type::clock::now() -
                                std::chrono::seconds(modified.secsTo(QDateTime::currentDateTime())));
  Start();
  renderer().WindowOf(console::Form1);
  Settle();
  for (int language : {0, 1, 2}) {
    SCOPED_TRACE(language);
    console::Form1->LanguageIndex = language;
    bool shown = false;
    OnNextModal([&](QWidget* w) {
      auto* dialog = qobject_cast<QFileDialog*>(w);
      ASSERT_NE(dialog, nullptr);
      auto* view = dialog->findChild<QTreeView*>("treeView");
      ASSERT_NE(view, nullptr);
      EXPECT_TRUE(view->isVisible());  // the detail view
      auto row = [&](const QString& name) {
        for (int r = 0; r < view->model()->rowCount(view->rootIndex()); ++r)
          if (view->model()->index(r, 0, view->rootIndex()).data().toString() == name) return r;
        return -1;
      };
      const QString fileName = QString::fromStdString(file.filename().string());
      ASSERT_TRUE(QTest::qWaitFor([&] { return row(fileName) >= 0 && row("music") >= 0; }));
      auto text = [&](const QString& name, int column) {
        return view->model()->index(row(name), column, view->rootIndex()).data().toString();
      };
      const QLocale locale = LanguageLocale(language);
      EXPECT_EQ(text(fileName, 1), locale.formattedDataSize(1500));
      EXPECT_EQ(text(fileName, 3), DateTimeText(locale, modified));
      EXPECT_EQ(text("music", 2), QMimeDatabase().mimeTypeForName("inode/directory").comment());
      if (language != 0) {
        EXPECT_NE(text("music", 2).toLower(), "folder");
      }
      // Every column whole in view, and the file's texts whole in their columns.
      QHeaderView* header = view->header();
      for (int column = 0; column < 4; ++column) {
        SCOPED_TRACE(column);
        EXPECT_FALSE(header->isSectionHidden(column));
        EXPECT_LE(header->sectionViewportPosition(column) + header->sectionSize(column), view->viewport()->width());
        const int indent = column == 0 ? view->iconSize().width() + 2 * view->indentation() : 0;
        EXPECT_LT(view->fontMetrics().horizontalAdvance(text(fileName, column)) + indent, header->sectionSize(column));
      }
      shown = true;
      SaveScreenshot(dialog->grab().toImage(), "file-dialog-" + std::to_string(language));
      dialog->reject();
    });
    TOpenDialog open;
    open.InitialDir = dir.string();
    EXPECT_FALSE(open.Execute());
    EXPECT_TRUE(shown);
  }
}

TEST_F(QtDialogService, ACloseFromOutsideEndsTheOpenDialogsFirstAndAnswersLaterOnesAtOnce) {
  // As on SIGTERM: the main window's close is posted to the UI thread while
  // dialogs are open, and nobody is there to answer them.
  struct Worker : TThread {
    std::vector<int> answers;
    void Execute() override {
      answers.push_back(MessageBox("Exceed the device limit!", "Status", MB_OK));
      answers.push_back(MessageBox("Still want to select this tiem?", "Warning", MB_YESNO | MB_DEFBUTTON2));
    }
  };
  struct Case {
    const char* what;
    std::function<void(Worker&)> open;
    std::vector<int> workerAnswers;
  };
  const Case cases[] = {
      {"a worker's message box; the worker asks again while the station closes",
       [](Worker& worker) { worker.Resume(); }, {IDOK, IDNO}},
      {"a message box over the settings dialog, both opened by the UI thread",
       [](Worker&) {
         OnNextModal([](QWidget*) { MessageBox("Exceed the device limit!", "Status", MB_OK); },
                     [](QWidget* m) { return m->objectName() == "frmSetting"; });
         console::Form1->btnSetup.UserClick();
       },
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start();
    renderer().WindowOf(console::Form1);
    Worker worker;
    OnNextModal([](QWidget*) { Application->Post([] { console::Form1->Close(); }); },
                [](QWidget* m) { return qobject_cast<QMessageBox*>(m) != nullptr; });
    // A dialog the close leaves open fails the test instead of waiting for an operator.
    QTimer watchdog;
    int turnsUp = 0;
    QObject::connect(&watchdog, &QTimer::timeout, [&turnsUp] {
      QWidget* modal = QApplication::activeModalWidget();
      turnsUp = modal ? turnsUp + 1 : 0;
      if (turnsUp < 10000) return;
      ADD_FAILURE() << "left open: " << modal->objectName().toStdString();
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject(); else modal->close();
    });
    watchdog.start(0);
    ::testing::internal::CaptureStderr();
    c.open(worker);
    while (!Application->Terminated()) Application->HandleMessage();
    const std::string printed = ::testing::internal::GetCapturedStderr();
    if (!c.workerAnswers.empty()) {
      worker.WaitFor();
    }
    EXPECT_TRUE(Application->Terminated());
    EXPECT_TRUE(fs::exists(misc() / "prefer.ini"));  // the window's own close ran
    EXPECT_EQ(worker.answers, c.workerAnswers);
    EXPECT_NE(printed.find("Status: Exceed the device limit!"), std::string::npos) << printed;
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    // The next case starts afresh.
    DestroyWindows();
    console::DestroyForms();
    fs::remove(misc() / "prefer.ini");
    app_.reset();  // a terminated application stays so
    app_ = std::make_unique<ScopedApplication>();
    NewSession();
    Application->SetDialogService(session_->dialogs());
  }
}

}  // namespace
}  // namespace gui::testing

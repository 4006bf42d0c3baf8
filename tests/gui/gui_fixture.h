// The station's forms drawn offscreen: a program folder of its own (the
// console's fixture), one QApplication for the test program, and a windowed
// session on the test's application. Dialogs stay scripted unless a test
// installs the Qt ones, so that no test can hang on a dialog nobody answers.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>
#include <memory>

#include "console/station_fixture.h"
#include "gui/dialogs.h"
#include "gui/language.h"
#include "gui/renderer.h"
#include "gui/session.h"

namespace gui::testing {

inline QApplication& QtApp() {
  static int argc = 1;
  static char name[] = "gui_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    return new QApplication(argc, argv);
  }();
  return *app;
}

// Keeps an image in the build folder's screenshots/ as NAME.png, for looking at.
inline bool SaveScreenshot(const QImage& image, const std::string& name) {
  const QString dir = QString(STATION_BINARY_DIR) + "/screenshots";
  QDir().mkpath(dir);
  return image.save(dir + "/" + QString::fromStdString(name) + ".png", "PNG");
}

// Runs Qt's loop until nothing is left to do: the renderer's and the queue's
// wake-ups are handled, the widgets are up to date and painted.
inline void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Runs `act` on the next modal dialog (that `wanted` accepts) once it is up,
// from inside its loop.
inline void OnNextModal(std::function<void(QWidget*)> act, std::function<bool(QWidget*)> wanted = {}) {
  auto* timer = new QTimer;
  timer->setInterval(0);
  QObject::connect(timer, &QTimer::timeout, [timer, act, wanted] {
    if (QWidget* modal = QApplication::activeModalWidget(); modal && (!wanted || wanted(modal))) {
      timer->stop();
      timer->deleteLater();
      act(modal);
    }
  });
  timer->start();
}

class GuiTest : public console::testing::StationTest {
 public:
  void SetUp() override {
    QtApp();
    StationTest::SetUp();
    NewSession();
  }
  void TearDown() override {
    DestroyWindows();
    UseLanguage(0);
    StationTest::TearDown();
  }
  // A windowed session whose Qt texts follow the main window's language.
  void NewSession() {
    session_ = std::make_unique<Session>();
    session_->SetLanguage([] { return console::Form1 ? console::Form1->LanguageIndex.load() : 0; });
    platform::ui::Application->SetDialogService(scripted_);
  }
  // The session goes before the forms and the application.
  void DestroyWindows() {
    session_.reset();
    Settle();
  }
  Renderer& renderer() { return session_->renderer(); }
  platform::ui::ScriptedDialogs& scripted() { return *scripted_; }

  // The window at a fixed size, drawn, as an image.
  QImage Render(platform::ui::TForm* form, int width, int height) {
    QWidget* window = renderer().WindowOf(form);
    window->setWindowState(Qt::WindowNoState);
    window->resize(width, height);
    Settle();
    renderer().Flush();
    return window->grab().toImage().convertToFormat(QImage::Format_RGB32);
  }

  std::unique_ptr<Session> session_;
  std::shared_ptr<platform::ui::ScriptedDialogs> scripted_ = std::make_shared<platform::ui::ScriptedDialogs>();
};

}  // namespace gui::testing

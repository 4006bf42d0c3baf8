#include "gui/session.h"

#include <signal.h>
#include <sys/stat.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gui/dialogs.h"
#include "gui/language.h"
#include "gui/waker.h"
#include "platform/ui/application.h"
#include "platform/ui/forms.h"

namespace gui {

using namespace platform::ui;

namespace {

// The application's waits and ProcessMessages run Qt's events.
class QtPump : public EventPump {
 public:
  QtPump() { timer_.setSingleShot(true); }
  void Pump() override { QCoreApplication::processEvents(QEventLoop::AllEvents); }
  void Wait(std::optional<std::chrono::steady_clock::time_point> until) override {
    if (until) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      timer_.start(static_cast<int>(std::min<long long>(left.count(), 1 << 30)));
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    timer_.stop();
  }

 private:
  QTimer timer_;  // wakes the wait when the next timer of the application is due
};

}  // namespace

struct Session::State {
  Renderer renderer;
  std::shared_ptr<QtDialogs> dialogs = std::make_shared<QtDialogs>();
  // Anything queued for the UI thread (Post, Synchronize, device events) runs
  // from Qt's loop, also from its nested loops (a message box, a file dialog).
  Waker queueWaker{[] { Application->ProcessMessages(); }};
  std::shared_ptr<bool> alive = std::make_shared<bool>(true);  // the main form's close handler outlives the session
  bool closePending = false;
  std::function<int()> language;  // the station's language index

  // Qt follows the station's language as soon as it changes: the renderer
  // looks after every change it draws (a language build changes captions),
  // the dialogs before each opens.
  void FollowLanguage() {
    if (UseLanguage(language ? language() : 0)) renderer.Restyle();
  }

  // Puts the session's rule before the main form's own close handler.
  void GuardClose(TForm* form) {
    form->OnClose = [this, alive = std::weak_ptr<bool>(alive), own = form->OnClose](TObject* sender,
                                                                                   TCloseAction& action) {
      if (alive.lock() && !Renderer::OperatorClosing()) {
        dialogs->EndEveryDialog();
        if (dialogs->OpenCount() > 0) {
          // Their loops are below this call on the stack: the close comes back once they have returned.
          closePending = true;
          action = caNone;
          return;
        }
      }
      if (own) own(sender, action);
    };
  }
};

Session::Session() : s_(std::make_unique<State>()) {
  s_->FollowLanguage();
  Application->SetEventPump(std::make_shared<QtPump>());
  Application->SetWakeHook(s_->queueWaker.WakeFunction());
  Application->SetDialogService(s_->dialogs);
  State* s = s_.get();
  s->renderer.OnWindowBuilt([s](TForm* form) {
    if (form == Application->MainForm()) s->GuardClose(form);
  });
  s->renderer.OnFlushed([s] { s->FollowLanguage(); });
  s->dialogs->BeforeEachDialog([s] { s->FollowLanguage(); });
  s->dialogs->OnAllClosed([s] {
    if (!s->closePending) return;
    s->closePending = false;
    Application->Post([] {
      if (TForm* main = Application->MainForm()) main->Close();
    });
  });
}

Session::~Session() {
  Application->SetDialogService(nullptr);
  Application->SetWakeHook(nullptr);
  Application->SetEventPump(nullptr);
}

Renderer& Session::renderer() { return s_->renderer; }

std::shared_ptr<QtDialogs> Session::dialogs() { return s_->dialogs; }

void Session::SetLanguage(std::function<int()> languageIndex) {
  s_->language = std::move(languageIndex);
  s_->FollowLanguage();
}

bool DisplayAvailable() {
  auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return std::string(value ? value : "");
  };
  if (!env("QT_QPA_PLATFORM").empty() || !env("WAYLAND_DISPLAY").empty()) return true;
  const std::string display = env("DISPLAY");
  if (display.empty()) return false;
  if (display[0] != ':') return true;  // a remote display
  const std::string number = display.substr(1, display.find('.') == std::string::npos ? std::string::npos
                                                                                        : display.find('.') - 1);
  struct stat st {};
  return ::stat(("/tmp/.X11-unix/X" + number).c_str(), &st) == 0;
}

int StationMain(int argc, char** argv, int (*consoleMain)(int argc, char** argv), std::function<int()> languageIndex) {
  enum class Mode { Auto, Window, Headless } mode = Mode::Auto;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i > 0 && arg == "--gui")
      mode = Mode::Window;
    else if (i > 0 && arg == "--headless")
      mode = Mode::Headless;
    else
      rest.push_back(argv[i]);
  }
  const int restCount = static_cast<int>(rest.size());
  rest.push_back(nullptr);
  const bool window = mode == Mode::Window || (mode == Mode::Auto && DisplayAvailable());
  if (!window) return consoleMain(restCount, rest.data());
  if (!DisplayAvailable()) {
    std::fprintf(stderr, "station: --gui needs a display (DISPLAY or WAYLAND_DISPLAY)\n");
    return 2;
  }
  // The console takes SIGINT, SIGTERM and SIGHUP on a thread of its own and
  // closes the main window as the operator would. Qt starts threads of its
  // own first; they must not take the signals either (which would end the
  // station without its close).
  sigset_t closeSignals;
  sigemptyset(&closeSignals);
  sigaddset(&closeSignals, SIGINT);
  sigaddset(&closeSignals, SIGTERM);
  sigaddset(&closeSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &closeSignals, nullptr);
  int qtArgc = 1;
  QApplication qt(qtArgc, argv);
  QApplication::setQuitOnLastWindowClosed(false);  // the main form's close ends the station
  Session session;
  session.SetLanguage(std::move(languageIndex));
  return consoleMain(restCount, rest.data());
}

}  // namespace gui

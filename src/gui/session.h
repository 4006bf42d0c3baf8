// A windowed session: the current application's message loop runs Qt's
// events, its queue is served from Qt's loop, its dialogs are Qt dialogs and
// its forms are drawn by a Renderer.
//
// The main form's close, when the program asks for it (a signal) rather than
// the operator, ends the open dialogs first (answered as a station without a
// window answers them), and runs once they are gone; dialogs that open while
// the station closes are answered so too.
#pragma once

#include <functional>
#include <memory>

#include "gui/dialogs.h"
#include "gui/renderer.h"

namespace gui {

class Session {
 public:
  // Needs a QApplication on this thread, which must be the application's UI thread.
  Session();
  ~Session();  // puts back the headless loop and dialogs
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Renderer& renderer();
  // The session's dialog service (installed at start).
  std::shared_ptr<QtDialogs> dialogs();
  // The station's language index, which Qt follows (gui/language.h) as soon
  // as it changes.
  void SetLanguage(std::function<int()> languageIndex);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Whether a display is there to open a window on: a Wayland or X display
// whose local socket exists (a remote X display is taken on trust), or a Qt
// platform named in QT_QPA_PLATFORM.
bool DisplayAvailable();

// The station program: "--gui" opens the window, "--headless" runs without
// one; without either, the window opens when a display is there. The console's
// program (`consoleMain`) runs with the other arguments, inside the window's
// session or without one. `languageIndex` gives the station's language.
int StationMain(int argc, char** argv, int (*consoleMain)(int argc, char** argv), std::function<int()> languageIndex);

}  // namespace gui

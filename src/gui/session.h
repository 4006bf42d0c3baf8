// A windowed session: the current application's message loop runs Qt's
// events, its queue is served from Qt's loop, its dialogs are Qt dialogs and
// its forms are drawn by a Renderer.
#pragma once

#include <memory>

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
// session or without one.
int StationMain(int argc, char** argv, int (*consoleMain)(int argc, char** argv));

}  // namespace gui

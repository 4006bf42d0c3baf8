// The dialog service of the rendered window: message boxes, the error
// display, file and folder dialogs as Qt dialogs, and modal forms as their
// rendered windows. A request from a worker thread is shown on the Qt thread
// (Synchronize) while the worker waits. Each dialog opens over the window it
// belongs to (Renderer::DialogOwner), with Qt's own texts (buttons, file
// dialogs) in the station's language. File dialogs open in their detail
// view, large enough to show each file's name, size, type and date, the
// sizes and dates written as the station's language writes them.
#pragma once

#include <QStringList>
#include <functional>
#include <memory>
#include <string>

#include "platform/ui/dialogs.h"

namespace gui {

class QtDialogs : public platform::ui::DialogService {
 public:
  QtDialogs();
  ~QtDialogs() override;

  platform::ui::DialogAnswer Ask(const platform::ui::DialogRequest& request) override;

  // Runs on the Qt thread before each dialog opens (the session brings Qt's
  // language up to date there).
  void BeforeEachDialog(std::function<void()> hook);

  // For a close that nobody may be there to watch (a signal): every dialog
  // now open ends, and every later one is answered at once, as a station
  // without a window answers it (its text goes to standard error). Qt thread.
  void EndEveryDialog();
  // Dialogs open on the Qt thread (nested in one another).
  int OpenCount() const;
  // Runs on the Qt thread each time the last open dialog has closed.
  void OnAllClosed(std::function<void()> hook);

 private:
  struct State;
  std::shared_ptr<State> s_;
  platform::ui::DialogAnswer AskHere(const platform::ui::DialogRequest& request);
};

// "Image File *.IMG|*.IMG|All|*.*" as Qt name filters: "Image File *.IMG (*.IMG)", "All (*.*)".
QStringList NameFilters(const std::string& filter);

}  // namespace gui

// The renderer: one Qt widget per control of the control model, built by
// walking a form's control tree and bound to the control's properties.
//
// Workers write control properties from their threads. The model tells the
// renderer about every change (ControlObserver); the renderer only notes the
// control and wakes the Qt thread, which then brings the widgets up to date
// (Flush). No widget is touched from another thread than the Qt thread.
//
// The operator's clicks, keys and selections go back as the model's User...
// calls, so the model's event rules hold unchanged (a control that takes no
// input ignores them). A click reaches every control the model takes clicks
// on (an edit, a label, a picture too), once. Escape cancels a dialog as its
// close box does.
//
// Geometry: the forms' rectangles are their design; the layout is fitted to
// the texts and fonts drawn here (layout_fit.h) and then scaled to the
// window, fonts with the smaller of the two factors. A text that the program
// writes while it runs (a slot's status, written by its worker) keeps the
// room its design gives it and is elided in the middle when longer, so that
// the controls around it never move. Pictures are drawn at their own size.
// Dialogs open over the window they were opened from, inside the screen, and
// reach the window system as dialogs of that window.
#pragma once

#include <functional>
#include <memory>

#include "platform/ui/ui.h"

class QWidget;

namespace gui {

class Renderer {
 public:
  // Needs a QApplication; becomes the model's observer. One at a time.
  Renderer();
  ~Renderer();  // stops observing and deletes the windows
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // The window of `form`, built on first use (not shown by this call).
  QWidget* WindowOf(platform::ui::TForm* form);
  // The widget of a control of a built form; null when there is none.
  QWidget* WidgetOf(const platform::ui::TControl* control) const;
  // Brings every widget whose control changed up to date now (Qt thread).
  // Also runs whenever the Qt loop turns after a change.
  void Flush();

  // Runs after a form's window has been built (Qt thread).
  void OnWindowBuilt(std::function<void(platform::ui::TForm*)> hook);
  // Runs at the end of every Flush (Qt thread).
  void OnFlushed(std::function<void()> hook);
  // The application's font has changed: every widget takes it, and every
  // window's layout is fitted to it again (Qt thread).
  void Restyle();

  // The renderer in use, or null.
  static Renderer* Current();
  // True while the operator's close of a window (its close box) is handled.
  static bool OperatorClosing();
  // The window a dialog opened now belongs over: the topmost modal window,
  // else the main form's.
  static QWidget* DialogOwner();

  struct State;

 private:
  std::unique_ptr<State> s_;
};

}  // namespace gui

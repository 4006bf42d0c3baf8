// The application object: title, the UI thread's queue and message loop,
// Synchronize from any thread, the error display, message boxes and dialogs.
//
// The UI thread is the thread that created the application object (or last
// called Initialize). The process has one current application, reached
// through the global `Application` (`Application->Title()`, ...). Tests make a
// fresh one per test with ScopedApplication, which binds the test's thread as
// the UI thread and installs a ScriptedDialogs.
//
// Running the loop in a test:
//   ScopedApplication app;                       // this thread is the UI thread
//   auto* worker = new MyThread(...);            // created suspended
//   worker->OnTerminate = [](TObject*) { Application->Terminate(); };
//   worker->Resume();
//   Application->Run();                          // handles Synchronize calls until Terminate
// or, without a loop, drain what is queued: Application->ProcessMessages().
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/dialogs.h"
#include "platform/ui/types.h"

namespace platform::ui {

class TForm;

// The application's count of live worker threads, shared with the threads
// themselves so that a thread may end after the application object.
class ThreadRegistry {
 public:
  void Add();
  void Remove();  // wakes the application's loop and every waiter
  int Count() const { return count_.load(); }
  // Waits (without running the UI queue) until no thread is live.
  void WaitUntilNone();
  void SetWake(std::function<void()> wake);

 private:
  std::atomic<int> count_{0};
  std::mutex m_;
  std::condition_variable cv_;
  std::function<void()> wake_;  // guarded by m_
};

class TApplication : public TObject {
 public:
  TApplication();
  ~TApplication() override;

  // Makes the calling thread the UI thread.
  void Initialize();
  bool IsUiThread() const { return std::this_thread::get_id() == uiThread_.load(); }
  std::thread::id UiThreadId() const { return uiThread_.load(); }

  std::string Title() const;
  void SetTitle(const std::string& title);

  // The main form: shown by Run; closing it terminates the application.
  TForm* MainForm() const;
  void SetMainForm(TForm* form);

  // ---- the message loop (UI thread) ----
  // Shows the main form, then handles messages until Terminate. Returns at once,
  // without showing anything, when the application is already terminated.
  void Run();
  // UI thread: waits until something is queued, a timer is due, Wake or
  // Terminate is called, then handles everything that is ready. Elsewhere:
  // returns at once.
  void HandleMessage();
  // On the UI thread: runs everything queued (and due timers) without waiting.
  // On any other thread: returns at once.
  void ProcessMessages();
  // Any thread: ends Run at its next turn.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }

  // Any thread: queues `fn` to run on the UI thread and returns. An exception
  // that escapes it goes to the error display. Dropped once the application
  // is destroyed.
  void Post(std::function<void()> fn);
  // Any thread: runs `fn` on the UI thread and waits for it; on the UI thread
  // itself it runs at once. An exception from `fn` comes out of Synchronize in
  // the caller's thread. Raises EThread when the application is destroyed
  // before `fn` could run.
  void Synchronize(const std::function<void()>& fn);
  // Called (on the posting thread) whenever something is queued, so that a
  // foreign event loop can schedule ProcessMessages on the UI thread.
  void SetWakeHook(std::function<void()> hook);
  // Wakes a waiting HandleMessage (a timer changed, a modal result was set).
  void Wake();

  // ---- worker threads ----
  // Threads started (TThread::Resume) while this application is current
  // count as live until they have finished: Execute, OnTerminate and, for a
  // thread that frees itself, its destruction are over. Any thread.
  int LiveThreadCount() const { return threads_->Count(); }
  // Waits until no thread is live. On the UI thread the queue keeps moving
  // meanwhile (the workers' Synchronize calls and posted work run), and
  // 'onWait' is told the live count first and whenever it changes. Elsewhere
  // it only waits.
  void WaitForThreads(const std::function<void(int live)>& onWait = {});
  std::shared_ptr<ThreadRegistry> Threads() const { return threads_; }

  // ---- errors ----
  // Shows the error in `error` through the error display, or hands it to
  // OnException when that is bound. Safe on any thread; never throws.
  void HandleException(std::exception_ptr error);
  // The error display: the message (a dot added when it does not end in
  // punctuation), the application title as caption, MB_OK | MB_ICONSTOP,
  // asked as DialogKind::Error.
  void ShowException(const std::exception& e);
  // Replaces the error display when bound (bind it at start-up).
  std::function<void(std::exception_ptr)> OnException;

  // ---- dialogs ----
  void SetDialogService(std::shared_ptr<DialogService> service);
  std::shared_ptr<DialogService> Dialogs() const;
  DialogAnswer Ask(DialogRequest request);  // fills in the calling thread

  int MessageBox(const std::string& text, const std::string& caption, unsigned flags = MB_OK);

 private:
  struct SyncCall;
  bool RunOne();  // runs one queued item; false when the queue is empty

  std::atomic<std::thread::id> uiThread_;
  std::atomic<bool> terminated_{false};
  mutable std::mutex m_;
  std::condition_variable cv_;  // queue, terminate or wake changed
  struct Item {
    std::function<void()> fn;
    std::shared_ptr<SyncCall> sync;  // a Synchronize caller waiting for it
  };
  std::deque<Item> queue_;
  bool closed_ = false;
  std::uint64_t wakes_ = 0;
  std::string title_;
  TForm* mainForm_ = nullptr;
  std::shared_ptr<DialogService> dialogs_;
  std::function<void()> wakeHook_;
  std::shared_ptr<ThreadRegistry> threads_ = std::make_shared<ThreadRegistry>();
};

// The current application. Created on first use, bound to the thread that
// first uses it; ScopedApplication replaces it for a while.
TApplication& CurrentApplication();

struct ApplicationAccessor {
  TApplication* operator->() const { return &CurrentApplication(); }
  TApplication& operator*() const { return CurrentApplication(); }
};
inline constexpr ApplicationAccessor Application{};

// A fresh application for the life of this object, bound to the constructing
// thread as UI thread, with a ScriptedDialogs installed. Restores the previous
// application when destroyed. Workers of the test must have finished by then.
class ScopedApplication {
 public:
  ScopedApplication();
  ~ScopedApplication();
  ScopedApplication(const ScopedApplication&) = delete;
  ScopedApplication& operator=(const ScopedApplication&) = delete;

  TApplication& app() { return *app_; }
  ScriptedDialogs& dialogs() { return *dialogs_; }
  TApplication* operator->() { return app_.get(); }

 private:
  std::unique_ptr<TApplication> app_;
  std::shared_ptr<ScriptedDialogs> dialogs_;
  TApplication* previous_;
};

// Runs `fn` as the message loop runs a handler: an escaping exception goes to
// the application's error display. Returns false when it raised.
bool CallGuarded(const std::function<void()>& fn);

// ---- free-standing dialogs, through the current application's service ----
int MessageBox(const std::string& text, const std::string& caption, unsigned flags = MB_OK);
// The simple message dialog: the text with an OK button, titled with the
// application title.
void ShowMessage(const std::string& text);
// The folder picker: the chosen folder, or nothing when cancelled.
std::optional<std::string> SelectFolder(const std::string& title, const std::string& initialDir = {});

}  // namespace platform::ui

#include "platform/ui/application.h"

#include <utility>

#include "platform/ui/forms.h"
#include "platform/ui/timers.h"

namespace platform::ui {

// A Synchronize caller's wait. Shared by the caller and the queue, so that the
// caller never touches the application after it has been woken.
struct TApplication::SyncCall {
  std::function<void()> fn;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::exception_ptr error;

  void Finish(std::exception_ptr e) {
    std::lock_guard lock(m);
    error = std::move(e);
    done = true;
    cv.notify_all();
  }
};

void ThreadRegistry::Add() { count_.fetch_add(1); }

void ThreadRegistry::Remove() {
  std::lock_guard lock(m_);  // held while waking, so the application cannot go meanwhile
  count_.fetch_sub(1);
  cv_.notify_all();
  if (wake_) wake_();
}

void ThreadRegistry::WaitUntilNone() {
  std::unique_lock lock(m_);
  cv_.wait(lock, [this] { return count_.load() == 0; });
}

void ThreadRegistry::SetWake(std::function<void()> wake) {
  std::lock_guard lock(m_);
  wake_ = std::move(wake);
}

TApplication::TApplication()
    : uiThread_(std::this_thread::get_id()), dialogs_(std::make_shared<HeadlessDialogs>()) {
  threads_->SetWake([this] { Wake(); });
}

TApplication::~TApplication() {
  threads_->SetWake(nullptr);
  std::deque<Item> left;
  {
    std::lock_guard lock(m_);
    closed_ = true;
    left.swap(queue_);
  }
  for (auto& item : left)
    if (item.sync) item.sync->Finish(std::make_exception_ptr(EThread("The application has ended")));
}

void TApplication::Initialize() { uiThread_.store(std::this_thread::get_id()); }

std::string TApplication::Title() const {
  std::lock_guard lock(m_);
  return title_;
}

void TApplication::SetTitle(const std::string& title) {
  std::lock_guard lock(m_);
  title_ = title;
}

TForm* TApplication::MainForm() const {
  std::lock_guard lock(m_);
  return mainForm_;
}

void TApplication::SetMainForm(TForm* form) {
  std::lock_guard lock(m_);
  mainForm_ = form;
}

void TApplication::Run() {
  if (!IsUiThread()) throw EInvalidOperation("The message loop runs on the UI thread only");
  if (Terminated()) return;
  if (TForm* form = MainForm()) CallGuarded([form] { form->Show(); });
  while (!Terminated()) HandleMessage();
}

void TApplication::HandleMessage() {
  if (!IsUiThread()) return;
  {
    std::unique_lock lock(m_);
    const std::uint64_t seen = wakes_;
    auto ready = [&] { return !queue_.empty() || terminated_.load() || wakes_ != seen; };
    if (auto due = TimerRegistry::NextDue())
      cv_.wait_until(lock, *due, ready);
    else
      cv_.wait(lock, ready);
  }
  TimerRegistry::FireDue();
  while (RunOne()) {
  }
}

void TApplication::ProcessMessages() {
  if (!IsUiThread()) return;
  TimerRegistry::FireDue();
  while (RunOne()) {
  }
}

bool TApplication::RunOne() {
  Item item;
  {
    std::lock_guard lock(m_);
    if (queue_.empty()) return false;
    item = std::move(queue_.front());
    queue_.pop_front();
  }
  if (item.sync) {
    std::exception_ptr error;
    try {
      item.sync->fn();
    } catch (...) {
      error = std::current_exception();
    }
    item.sync->Finish(std::move(error));
  } else {
    try {
      item.fn();
    } catch (...) {
      HandleException(std::current_exception());
    }
  }
  return true;
}

void TApplication::Terminate() {
  terminated_.store(true);
  Wake();
}

void TApplication::Wake() {
  std::function<void()> hook;
  {
    std::lock_guard lock(m_);
    ++wakes_;
    hook = wakeHook_;
  }
  cv_.notify_all();
  if (hook) hook();
}

void TApplication::Post(std::function<void()> fn) {
  std::function<void()> hook;
  {
    std::lock_guard lock(m_);
    if (closed_) return;
    queue_.push_back({std::move(fn), nullptr});
    hook = wakeHook_;
  }
  cv_.notify_all();
  if (hook) hook();
}

void TApplication::Synchronize(const std::function<void()>& fn) {
  if (IsUiThread()) {
    fn();
    return;
  }
  auto call = std::make_shared<SyncCall>();
  call->fn = fn;
  std::function<void()> hook;
  {
    std::lock_guard lock(m_);
    if (closed_) throw EThread("The application has ended");
    queue_.push_back({nullptr, call});
    hook = wakeHook_;
  }
  cv_.notify_all();
  if (hook) hook();
  std::exception_ptr error;
  {
    std::unique_lock lock(call->m);
    call->cv.wait(lock, [&] { return call->done; });
    // Take the error out, so that only this thread ever owns (and frees) it.
    error = std::exchange(call->error, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

void TApplication::WaitForThreads(const std::function<void(int live)>& onWait) {
  if (!IsUiThread()) {
    threads_->WaitUntilNone();
    return;
  }
  int told = -1;
  for (;;) {
    ProcessMessages();
    const int live = threads_->Count();
    if (live == 0) return;
    if (live != told && onWait) {
      told = live;
      onWait(live);
    }
    std::unique_lock lock(m_);
    const std::uint64_t seen = wakes_;
    cv_.wait(lock, [&] { return !queue_.empty() || wakes_ != seen || threads_->Count() != live; });
  }
}

void TApplication::SetWakeHook(std::function<void()> hook) {
  std::lock_guard lock(m_);
  wakeHook_ = std::move(hook);
}

void TApplication::HandleException(std::exception_ptr error) {
  if (!error) return;
  try {
    if (OnException) {
      OnException(error);
      return;
    }
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    try {
      ShowException(e);
    } catch (...) {
    }
  } catch (...) {
    try {
      ShowException(Exception("Unknown error"));
    } catch (...) {
    }
  }
}

void TApplication::ShowException(const std::exception& e) {
  // Like the class library: a message that does not end in punctuation gets a dot.
  std::string text = e.what();
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  DialogRequest request;
  request.kind = DialogKind::Error;
  request.text = text;
  request.caption = Title();
  request.flags = MB_OK | MB_ICONSTOP;
  Ask(request);
}

void TApplication::SetDialogService(std::shared_ptr<DialogService> service) {
  std::lock_guard lock(m_);
  dialogs_ = service ? std::move(service) : std::make_shared<HeadlessDialogs>();
}

std::shared_ptr<DialogService> TApplication::Dialogs() const {
  std::lock_guard lock(m_);
  return dialogs_;
}

DialogAnswer TApplication::Ask(DialogRequest request) {
  request.thread = std::this_thread::get_id();
  return Dialogs()->Ask(request);
}

int TApplication::MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  DialogRequest request;
  request.kind = DialogKind::MessageBox;
  request.text = text;
  request.caption = caption;
  request.flags = flags;
  return Ask(request).result;
}

// ---- the current application ----

namespace {
std::atomic<TApplication*> g_current{nullptr};
}

TApplication& CurrentApplication() {
  if (TApplication* app = g_current.load(std::memory_order_acquire)) return *app;
  static TApplication processApplication;
  TApplication* expected = nullptr;
  g_current.compare_exchange_strong(expected, &processApplication, std::memory_order_acq_rel);
  return *g_current.load(std::memory_order_acquire);
}

ScopedApplication::ScopedApplication()
    : app_(std::make_unique<TApplication>()), dialogs_(std::make_shared<ScriptedDialogs>()) {
  app_->SetDialogService(dialogs_);
  previous_ = g_current.exchange(app_.get(), std::memory_order_acq_rel);
}

ScopedApplication::~ScopedApplication() {
  g_current.store(previous_, std::memory_order_release);
  app_.reset();
}

bool CallGuarded(const std::function<void()>& fn) {
  try {
    fn();
    return true;
  } catch (...) {
    Application->HandleException(std::current_exception());
    return false;
  }
}

int MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return Application->MessageBox(text, caption, flags);
}

void ShowMessage(const std::string& text) {
  DialogRequest request;
  request.kind = DialogKind::ShowMessage;
  request.text = text;
  request.caption = Application->Title();
  request.flags = MB_OK;
  Application->Ask(request);
}

std::optional<std::string> SelectFolder(const std::string& title, const std::string& initialDir) {
  DialogRequest request;
  request.kind = DialogKind::Folder;
  request.caption = title;
  request.initialDir = initialDir;
  DialogAnswer answer = Application->Ask(request);
  if (answer.result != IDOK || answer.files.empty()) return std::nullopt;
  return answer.files.front();
}

}  // namespace platform::ui

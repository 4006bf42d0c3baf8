#include "platform/ui/thread.h"

#include <chrono>
#include <utility>

#include "platform/ui/application.h"

namespace platform::ui {

TThread::TThread(bool CreateSuspended) {
  if (!CreateSuspended)
    throw EThread("A thread is created suspended; call Resume once it is constructed");
}

TThread::~TThread() {
  if (!started_.load()) return;
  std::unique_lock lock(m_);
  if (finished_ || id_ == std::this_thread::get_id()) return;
  lock.unlock();
  Terminate();
  lock.lock();
  WaitFinished(lock);
}

void TThread::Resume() {
  bool expected = false;
  if (!started_.compare_exchange_strong(expected, true)) return;
  registry_ = Application->Threads();
  registry_->Add();
  try {
    // Detached: a free-on-terminate thread deletes its object from inside, and
    // WaitFor waits on the finished flag instead of joining.
    std::thread(&TThread::ThreadProc, this).detach();
  } catch (const std::system_error& e) {
    started_.store(false);
    std::exchange(registry_, nullptr)->Remove();
    throw EThread(std::string("Cannot start a thread: ") + e.what());
  }
}

void TThread::ThreadProc() {
  {
    std::lock_guard lock(m_);
    id_ = std::this_thread::get_id();
  }
  try {
    Execute();
  } catch (...) {
    std::exception_ptr error = std::current_exception();
    {
      std::lock_guard lock(m_);
      fatal_ = error;
    }
    Application->HandleException(error);
  }
  try {
    DoTerminate();
  } catch (...) {
    Application->HandleException(std::current_exception());
  }
  bool freeSelf;
  const std::shared_ptr<ThreadRegistry> registry = registry_;
  {
    std::lock_guard lock(m_);
    finished_ = true;
    freeSelf = freeOnTerminate_;
    if (!freeSelf) finishedCv_.notify_all();
  }
  // Nothing touches the object after this point but the delete.
  if (freeSelf) delete this;
  registry->Remove();
}

void TThread::DoTerminate() {
  if (OnTerminate) Synchronize([this] { OnTerminate(this); });
}

void TThread::Synchronize(TThread*, const std::function<void()>& method) {
  Application->Synchronize(method);
}

bool TThread::FreeOnTerminate() const {
  std::lock_guard lock(m_);
  return freeOnTerminate_;
}

void TThread::SetFreeOnTerminate(bool value) {
  std::lock_guard lock(m_);
  freeOnTerminate_ = value;
}

int TThread::WaitFor() {
  std::unique_lock lock(m_);
  if (freeOnTerminate_) throw EThread("Cannot wait for a thread that frees itself");
  if (!started_.load()) throw EThread("Cannot wait for a thread that was never started");
  if (id_ == std::this_thread::get_id()) throw EThread("A thread cannot wait for itself");
  WaitFinished(lock);
  return returnValue_.load();
}

void TThread::WaitFinished(std::unique_lock<std::mutex>& lock) {
  if (!Application->IsUiThread()) {
    finishedCv_.wait(lock, [this] { return finished_; });
    return;
  }
  // The thread may be waiting in Synchronize for this very thread: keep the
  // queue moving while waiting.
  while (!finished_) {
    lock.unlock();
    Application->ProcessMessages();
    lock.lock();
    finishedCv_.wait_for(lock, std::chrono::milliseconds(2), [this] { return finished_; });
  }
}

bool TThread::Finished() const {
  std::lock_guard lock(m_);
  return finished_;
}

std::thread::id TThread::ThreadID() const {
  std::lock_guard lock(m_);
  return id_;
}

std::exception_ptr TThread::FatalException() const {
  std::lock_guard lock(m_);
  return fatal_;
}

}  // namespace platform::ui

// Worker threads.
//
//   class ProductThread : public TThread {
//    public:
//     ProductThread() : TThread(true) { SetFreeOnTerminate(true); }
//    protected:
//     void Execute() override { ... Synchronize([this] { ... }); ... }
//   };
//   (new ProductThread)->Resume();   // the object deletes itself when done
//
// A thread is always created suspended: C++ cannot start Execute from the base
// constructor before the derived object exists, so Resume (or Start) is called
// once construction is done. TThread(false) raises EThread.
//
// After Execute returns (or raises: the error is kept in FatalException and
// shown by the application's error display), DoTerminate runs OnTerminate on
// the UI thread through Synchronize. Then a free-on-terminate thread deletes
// itself on its own thread; nothing else may touch it after Resume. A thread
// that does not free itself is waited for with WaitFor and deleted by its
// owner; deleting it while it runs sets Terminated and waits for it (the
// derived part is gone by then, so owners call WaitFor first).
//
// From Resume until it is over (a free-on-terminate thread: deleted) the
// thread counts as live in the application that was current at Resume
// (TApplication::LiveThreadCount, WaitForThreads), so that the program can
// wait for its workers before it destroys the forms they write to.
#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/ui/types.h"

namespace platform::ui {

class ThreadRegistry;

class TThread : public TObject {
 public:
  explicit TThread(bool CreateSuspended = true);
  ~TThread() override;

  // Starts the thread; later calls do nothing.
  void Resume();
  void Start() { Resume(); }
  bool Suspended() const { return !started_.load(); }

  // Asks Execute to end (it looks at Terminated()).
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }

  bool FreeOnTerminate() const;
  void SetFreeOnTerminate(bool value);

  // Waits until the thread has finished and returns ReturnValue. EThread for a
  // free-on-terminate thread, for a call from the thread itself, and for a
  // thread never started.
  int WaitFor();
  bool Finished() const;

  std::thread::id ThreadID() const;
  int ReturnValue() const { return returnValue_.load(); }
  std::exception_ptr FatalException() const;

  // Runs on the UI thread after Execute; the thread waits for it.
  TNotifyEvent OnTerminate;

  // Runs `method` on the UI thread and waits (see TApplication::Synchronize).
  static void Synchronize(TThread* thread, const std::function<void()>& method);

 protected:
  virtual void Execute() = 0;
  virtual void DoTerminate();
  void Synchronize(const std::function<void()>& method) { Synchronize(this, method); }
  void SetReturnValue(int value) { returnValue_.store(value); }

 private:
  void ThreadProc();
  void WaitFinished(std::unique_lock<std::mutex>& lock);  // m_ held

  std::atomic<bool> started_{false};
  std::atomic<bool> terminated_{false};
  std::atomic<int> returnValue_{0};
  mutable std::mutex m_;
  std::condition_variable finishedCv_;
  bool finished_ = false;         // guarded by m_
  bool freeOnTerminate_ = false;  // guarded by m_
  std::thread::id id_;            // guarded by m_
  std::exception_ptr fatal_;      // guarded by m_
  std::shared_ptr<ThreadRegistry> registry_;  // the application that counts it live; set by Resume
};

}  // namespace platform::ui

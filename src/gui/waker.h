// Wakes the Qt thread from any thread and runs a function there.
//
// Through an eventfd watched by the Qt loop: the waking thread hands over no
// data (what it wants done is in queues under their own locks), so nothing
// crosses threads through Qt's own queue.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace gui {

class Waker {
 public:
  // `onWake` runs on the Qt thread (the constructing thread) after one or
  // more Wake calls.
  explicit Waker(std::function<void()> onWake);
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  // Any thread. The returned function stays safe to call after the Waker is
  // gone (it then wakes nobody).
  std::function<void()> WakeFunction() const;
  void Wake() const;

 private:
  struct Fd;
  std::shared_ptr<Fd> fd_;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void()> onWake_;
};

}  // namespace gui

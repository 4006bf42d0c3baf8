// Runs test code as an ordinary user, so that file permissions apply also
// where the tests run as root. The code runs on a thread of its own whose
// effective user and group become "nobody"; the raw system calls change the
// calling thread only, so the rest of the test process keeps its rights.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <thread>

namespace testing_support {

inline constexpr unsigned kNobody = 65534;

inline void RunUnprivileged(const std::function<void()>& fn) {
  std::exception_ptr error;
  std::thread thread([&] {
    if (::geteuid() == 0) {
      ::syscall(SYS_setgroups, 0, nullptr);
      ::syscall(SYS_setresgid, -1, kNobody, -1);
      ::syscall(SYS_setresuid, -1, kNobody, -1);  // drops root's rights on this thread
    }
    try {
      fn();
    } catch (...) {
      error = std::current_exception();
    }
  });
  thread.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace testing_support

// Running another program: started with an argument vector (no shell), in a
// process group of its own, polled between waits on the station's clock, and
// on overrun killed together with whatever it started, and reaped. Only the
// program started here is ever signalled.
//
// A program outside the station takes real time whatever the station's clock
// does: the waits between two looks follow the clock (and its time scale),
// the time limit is measured in real time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct ProcessOptions {
  // argv[0] is the program; a name without '/' is looked up in PATH.
  std::vector<std::string> argv;
  // Standard input read from this file; empty: /dev/null, so that nothing
  // waits for an operator's typing.
  std::string stdinFile;
  // Standard output and error appended to this file; empty: the station's own.
  std::string outputFile;
  // "NAME=value" entries added to the station's environment (replacing a
  // variable of the same name).
  std::vector<std::string> environment;
};

enum class ProcessStatus {
  Exited,         // ended by itself; exitCode holds its code
  TimedOut,       // still running when the real-time limit ran out: killed and reaped
  FailedToStart,  // could not be started (missing program, unreadable input file ...)
  WaitFailed,     // its state could not be read: killed and reaped
};

struct ProcessResult {
  ProcessStatus status = ProcessStatus::FailedToStart;
  int exitCode = -1;  // Exited: the exit code, or 128 + the signal that ended it
  int signal = 0;     // Exited by a signal: that signal
  std::string error;  // FailedToStart, WaitFailed: the reason
  int waits = 0;      // waits made while polling
  std::uint64_t elapsedMs = 0;  // real time from the start to the end of polling
};

// One started program. Not shared between threads.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // a child still running is killed and reaped
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // False (with the reason in 'error') when it cannot be started.
  bool Start(const ProcessOptions& options, std::string* error = nullptr);

  enum class State { NotStarted, Running, Ended, Failed };
  // Looks without waiting; Ended once the child has ended and is reaped.
  State Poll();
  // Waits at most 'realMs' milliseconds of real time for the end (ending
  // early when the child ends); the state afterwards.
  State WaitFor(std::uint32_t realMs);
  // Waits for the end (no time limit); the state afterwards.
  State Wait();
  // Kills the child's process group and reaps the child; no-op once reaped.
  void Kill();

  pid_t Pid() const { return pid_; }  // 0 before Start
  int ExitCode() const { return exitCode_; }
  int Signal() const { return signal_; }

 private:
  State Reap(int options);
  void ClosePidFd();
  pid_t pid_ = 0;
  int pidFd_ = -1;  // readable once the child has ended; -1 when not available
  State state_ = State::NotStarted;
  int exitCode_ = -1;
  int signal_ = 0;
};

struct PollPolicy {
  std::uint32_t intervalMs = 500;  // the wait between two looks, on the station's clock
  // The time limit as a count of waits: the program may run for maxWaits x
  // intervalMs milliseconds of real time, whatever the clock's scale; -1: no
  // limit.
  int maxWaits = -1;
  std::function<void()> onWait;    // after each wait (for example the message processing)
};

// The least real time a look waits for the program's end when the station's
// waits are scaled to (almost) nothing, so that polling never spins.
inline constexpr std::uint32_t kMinRealPollMs = 2;

// Starts the program and polls it: look; ended -> its exit code; running for
// longer than the limit (real time) -> killed, reaped, TimedOut; else wait
// 'intervalMs' on the station's clock (at least kMinRealPollMs of real time,
// ended early by the program's end), run 'onWait' and look again.
ProcessResult RunProcess(const ProcessOptions& options, const PollPolicy& policy);

}  // namespace platform

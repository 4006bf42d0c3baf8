#include "platform/process/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/clock/clock.h"

extern char** environ;

namespace platform {

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string_view entry(*e);
    const std::string_view name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& x : extra) replaced = replaced || std::string_view(x).substr(0, x.find('=')) == name;
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

std::uint64_t RealMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

ChildProcess::~ChildProcess() {
  Kill();
  ClosePidFd();
}

void ChildProcess::ClosePidFd() {
  if (pidFd_ >= 0) ::close(pidFd_);
  pidFd_ = -1;
}

bool ChildProcess::Start(const ProcessOptions& options, std::string* error) {
  auto fail = [&](int err) {
    if (error) *error = std::strerror(err);
    state_ = State::Failed;
    return false;
  };
  if (state_ == State::Running) return fail(EBUSY);
  if (options.argv.empty() || options.argv[0].empty()) return fail(ENOENT);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  const std::string input = options.stdinFile.empty() ? "/dev/null" : options.stdinFile;
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  if (!options.outputFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, options.outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  }
  // A group of its own, so that a kill reaches what the program started and
  // nothing else; default signal handling in the child.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> args = options.argv;
  std::vector<std::string> env = MergedEnvironment(options.environment);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = 0;
  const int r = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (r != 0) return fail(r);
  pid_ = pid;
  ClosePidFd();
#ifdef SYS_pidfd_open
  pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));  // -1 on kernels without it
#endif
  state_ = State::Running;
  exitCode_ = -1;
  signal_ = 0;
  return true;
}

ChildProcess::State ChildProcess::Reap(int options) {
  if (state_ != State::Running) return state_;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, options);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return state_;  // still running
  if (r < 0) {
    state_ = State::Failed;  // not our child any more (someone else reaped it)
    ClosePidFd();
    return state_;
  }
  if (WIFEXITED(status)) {
    exitCode_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    signal_ = WTERMSIG(status);
    exitCode_ = 128 + signal_;
  }
  state_ = State::Ended;
  ClosePidFd();
  return state_;
}

ChildProcess::State ChildProcess::Poll() { return Reap(WNOHANG); }

ChildProcess::State ChildProcess::Wait() { return Reap(0); }

ChildProcess::State ChildProcess::WaitFor(std::uint32_t realMs) {
  if (Poll() != State::Running) return state_;
  const std::uint64_t end = RealMs() + realMs;
  for (;;) {
    const std::uint64_t now = RealMs();
    if (now >= end) return state_;
    const auto left = static_cast<int>(end - now);
    if (pidFd_ >= 0) {
      pollfd p{pidFd_, POLLIN, 0};
      ::poll(&p, 1, left);  // an interruption only shortens this wait
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(left < 1 ? left : 1));
    }
    if (Poll() != State::Running) return state_;
  }
}

void ChildProcess::Kill() {
  if (state_ != State::Running) return;
  // The child is not reaped yet, so its id (and its group's) cannot have
  // passed to another process.
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  Reap(0);
}

ProcessResult RunProcess(const ProcessOptions& options, const PollPolicy& policy) {
  ProcessResult result;
  ChildProcess child;
  if (!child.Start(options, &result.error)) {
    result.status = ProcessStatus::FailedToStart;
    return result;
  }
  const bool limited = policy.maxWaits >= 0;
  const std::uint64_t limitMs = limited ? static_cast<std::uint64_t>(policy.maxWaits) * policy.intervalMs : 0;
  const std::uint64_t start = RealMs();
  auto finish = [&](ProcessStatus status) {
    result.status = status;
    result.elapsedMs = RealMs() - start;
    return result;
  };
  for (;;) {
    const ChildProcess::State state = child.Poll();
    if (state == ChildProcess::State::Ended) {
      result.exitCode = child.ExitCode();
      result.signal = child.Signal();
      return finish(ProcessStatus::Exited);
    }
    if (state != ChildProcess::State::Running) {
      result.error = "the program's state cannot be read";
      return finish(ProcessStatus::WaitFailed);
    }
    const std::uint64_t elapsed = RealMs() - start;
    if (limited && elapsed >= limitMs) {
      child.Kill();
      return finish(ProcessStatus::TimedOut);
    }
    // The station's wait, then whatever real time it did not take of the
    // least real wait, cut short by the program's end and by the limit.
    const std::uint64_t before = RealMs();
    Sleep(policy.intervalMs);
    const std::uint64_t waited = RealMs() - before;
    std::uint64_t extra = waited < kMinRealPollMs ? kMinRealPollMs - waited : 0;
    if (limited) {
      const std::uint64_t used = RealMs() - start;
      extra = used >= limitMs ? 0 : std::min<std::uint64_t>(extra, limitMs - used);
    }
    if (extra > 0) child.WaitFor(static_cast<std::uint32_t>(extra));
    ++result.waits;
    if (policy.onWait) policy.onWait();
  }
}

}  // namespace platform

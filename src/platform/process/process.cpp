#include "platform/process/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

ChildProcess::~ChildProcess() { Kill(); }

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
    return state_;
  }
  if (WIFEXITED(status)) {
    exitCode_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    signal_ = WTERMSIG(status);
    exitCode_ = 128 + signal_;
  }
  state_ = State::Ended;
  return state_;
}

ChildProcess::State ChildProcess::Poll() { return Reap(WNOHANG); }

ChildProcess::State ChildProcess::Wait() { return Reap(0); }

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
  for (;;) {
    const ChildProcess::State state = child.Poll();
    if (state == ChildProcess::State::Ended) {
      result.status = ProcessStatus::Exited;
      result.exitCode = child.ExitCode();
      result.signal = child.Signal();
      return result;
    }
    if (state != ChildProcess::State::Running) {
      result.status = ProcessStatus::WaitFailed;
      result.error = "the program's state cannot be read";
      return result;
    }
    if (policy.maxWaits >= 0 && result.waits >= policy.maxWaits) {
      child.Kill();
      result.status = ProcessStatus::TimedOut;
      return result;
    }
    Sleep(policy.intervalMs);
    ++result.waits;
    if (policy.onWait) policy.onWait();
  }
}

}  // namespace platform

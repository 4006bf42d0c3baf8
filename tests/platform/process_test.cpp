#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>

#include "support/temp_dir.h"
#include "platform/clock/clock.h"
#include "platform/paths/paths.h"
#include "platform/process/process.h"

using namespace platform;
using testing_support::TempDir;
using namespace std::chrono;

namespace {

ProcessOptions Shell(const std::string& script) { return ProcessOptions{{"/bin/sh", "-c", script}, {}, {}, {}}; }

// A process is gone once it is reaped, or a zombie waiting for whoever
// adopted it; it no longer runs either way.
bool Gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pidText, comm, state;
  if (!(stat >> pidText >> comm >> state)) return true;
  return state == "Z" || state == "X";
}

// Waits (really) until a file holds a number: for the shell to report a pid.
pid_t PidFrom(const std::string& file) {
  for (int i = 0; i < 5000; ++i) {
    std::ifstream in(file);
    pid_t pid = 0;
    if (in >> pid && pid > 0) return pid;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return 0;
}

struct Process : ::testing::Test {
  // Polling costs nothing: every wait only moves the manual clock.
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  ScopedClock scope{clock};
  TempDir dir;
};

}  // namespace

TEST_F(Process, ReturnsTheExitCodeOrWhyItCannotStart) {
  ProcessResult r = RunProcess(Shell("exit 3"), PollPolicy{});
  EXPECT_EQ(r.status, ProcessStatus::Exited);
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_EQ(RunProcess({{"true"}, {}, {}, {}}, PollPolicy{}).exitCode, 0) << "found in PATH";
  r = RunProcess(Shell("kill -9 $$"), PollPolicy{});
  EXPECT_EQ(r.status, ProcessStatus::Exited);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.exitCode, 128 + SIGKILL);

  r = RunProcess({{dir / "usbdos.exe", "72"}, {}, {}, {}}, PollPolicy{});
  EXPECT_EQ(r.status, ProcessStatus::FailedToStart);
  EXPECT_FALSE(r.error.empty());
  ProcessOptions options = Shell("exit 0");
  options.stdinFile = dir / "missing-response.txt";
  EXPECT_EQ(RunProcess(options, PollPolicy{}).status, ProcessStatus::FailedToStart);
  EXPECT_EQ(RunProcess(ProcessOptions{}, PollPolicy{}).status, ProcessStatus::FailedToStart);
}

TEST_F(Process, FeedsInputFromAFileAndPassesEnvironmentAndOutput) {
  std::ofstream(dir / "response.txt") << "7\nY\n";
  ProcessOptions options = Shell("read a; read b; echo \"$a$b$EXTRA\"; echo err >&2; exit $a");
  options.stdinFile = dir / "response.txt";
  options.outputFile = dir / "out.txt";
  options.environment = {"EXTRA=x", "PATH=/usr/bin:/bin"};
  const ProcessResult r = RunProcess(options, PollPolicy{500, -1, {}});
  EXPECT_EQ(r.status, ProcessStatus::Exited);
  EXPECT_EQ(r.exitCode, 7);
  std::string out;
  ASSERT_TRUE(ReadWholeFile(dir / "out.txt", out));
  EXPECT_EQ(out, "7Yx\nerr\n");
  // Without an input file the program reads an empty input, never the station's.
  EXPECT_EQ(RunProcess(Shell("read a || exit 9"), PollPolicy{}).exitCode, 9);
}

TEST_F(Process, OverrunKillsAndReapsTheChildAndWhatItStarted) {
  // The shell starts a grandchild and reports both ids; the first wait lets
  // them appear. The limit is 20 x 10 ms of real time.
  pid_t child = 0, grandchild = 0;
  int waitsSeen = 0;
  PollPolicy policy{10, 20, [&] {
    if (++waitsSeen == 1) {
      child = PidFrom(dir / "child");
      grandchild = PidFrom(dir / "grandchild");
    }
  }};
  const ProcessResult r = RunProcess(
      Shell("echo $$ > " + dir / "child" + "; sleep 60 & echo $! > " + dir / "grandchild" + "; wait"), policy);
  EXPECT_EQ(r.status, ProcessStatus::TimedOut);
  EXPECT_GE(r.elapsedMs, 200u);
  EXPECT_EQ(waitsSeen, r.waits);
  ASSERT_GT(child, 0);
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(Gone(child)) << "reaped before the runner returns";
  for (int i = 0; i < 2000 && !Gone(grandchild); ++i) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_TRUE(Gone(grandchild)) << "its group is killed too";
}

// The limit is real time; only the waits between looks follow the clock. A
// program that needs 300 ms is not cut off because the station's waits are
// scaled down, whether to nothing or to a hundredth.
TEST_F(Process, TheLimitIsRealTimeWhateverTheClocksScale) {
  ProcessResult r = RunProcess(Shell("sleep 0.3; exit 4"), PollPolicy{500, 241, {}});
  EXPECT_EQ(r.status, ProcessStatus::Exited);
  EXPECT_EQ(r.exitCode, 4);
  EXPECT_GE(r.elapsedMs, 300u);
  EXPECT_EQ(clock->SleptMs(), 500u * static_cast<std::uint64_t>(r.waits)) << "each wait is the clock's";
  {
    ScopedClock hundredth(nullptr, 0.01);  // the system clock: 500 ms waits take 5 ms
    r = RunProcess(Shell("sleep 0.3; exit 5"), PollPolicy{500, 20, {}});  // a 10 s limit, room for a loaded machine
    EXPECT_EQ(r.status, ProcessStatus::Exited);
    EXPECT_EQ(r.exitCode, 5);
  }
  r = RunProcess({{"sleep", "60"}, {}, {}, {}}, PollPolicy{40, 2, {}});
  EXPECT_EQ(r.status, ProcessStatus::TimedOut);
  EXPECT_GE(r.elapsedMs, 80u);
}

TEST_F(Process, OnlyOurOwnChildIsKilled) {
  ChildProcess bystander;
  ASSERT_TRUE(bystander.Start({{"sleep", "60"}, {}, {}, {}}));
  const ProcessResult r = RunProcess({{"sleep", "60"}, {}, {}, {}}, PollPolicy{10, 5, {}});
  EXPECT_EQ(r.status, ProcessStatus::TimedOut);
  EXPECT_EQ(bystander.Poll(), ChildProcess::State::Running) << "another sleep of ours is left alone";
  const pid_t pid = bystander.Pid();
  bystander.Kill();
  EXPECT_EQ(bystander.Poll(), ChildProcess::State::Ended);
  EXPECT_EQ(bystander.Signal(), SIGKILL);
  EXPECT_TRUE(Gone(pid));
  bystander.Kill();  // once reaped, nothing more is signalled
  pid_t dropped;
  {
    ChildProcess child;
    ASSERT_TRUE(child.Start({{"sleep", "60"}, {}, {}, {}}));
    dropped = child.Pid();
  }
  EXPECT_TRUE(Gone(dropped)) << "a dropped child is not left running";
}

TEST(ProcessConcurrency, WorkersRunProgramsSideBySide) {
  ScopedClock scope(nullptr, 0.0);  // the system clock, waits scaled away
  std::vector<int> codes(6, -1);
  {
    std::vector<std::jthread> threads;  // joined at the end of the block
    for (int t = 0; t < 6; ++t)
      threads.emplace_back(
          [&codes, t] { codes[t] = RunProcess(Shell("exit " + std::to_string(10 + t)), PollPolicy{}).exitCode; });
  }
  for (int t = 0; t < 6; ++t) EXPECT_EQ(codes[t], 10 + t);
}

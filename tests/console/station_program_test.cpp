// The station program as started from a shell: its command line, its start
// line, and its close on SIGINT or SIGTERM with everything saved.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/paths/paths.h"
#include "platform/process/process.h"
#include "support/temp_dir.h"

namespace {

using platform::ChildProcess;
using testing_support::TempDir;

std::string Slurp(const std::string& path) {
  std::string bytes;
  platform::ReadWholeFile(path, bytes);
  return bytes;
}

platform::ProcessOptions Station(const TempDir& dir, std::vector<std::string> args) {
  args.insert(args.begin(), STATION_PROGRAM);
  return platform::ProcessOptions{args, {}, dir / "out.txt", {"XDG_RUNTIME_DIR=" + dir.path}};
}

TEST(StationProgram, AHomeThatIsNoFolderIsRefusedAtStart) {
  TempDir dir;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--home", dir / "missing"}, "station: --home: \"" + dir / "missing" + "\" is not an existing folder\n"},
      {{"--home"}, "station: --home needs the program folder after it\n"},
  };
  for (const auto& [args, message] : cases) {
    std::filesystem::remove(dir / "out.txt");
    const platform::ProcessResult r = platform::RunProcess(Station(dir, args), platform::PollPolicy{10, 1000, {}});
    EXPECT_EQ(r.status, platform::ProcessStatus::Exited);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(Slurp(dir / "out.txt"), message);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

// SIGINT, SIGTERM and SIGHUP (the terminal closed, taking with it the reader
// of the station's output) close it as the window's close would. A close that
// cannot save a file still saves the others, and says so in its exit status.
// A second station started meanwhile says that another one runs, and where,
// and ends with its own status without touching the program folder's
// emulated disks.
TEST(StationProgram, SignalsCloseItThroughTheMainWindowWithEverythingSaved) {
  struct Case {
    int signal;
    bool savable;
    bool readerGone;  // the output is a pipe whose reader closes before the signal
  };
  for (const Case& c : {Case{SIGINT, true, false}, Case{SIGTERM, false, false}, Case{SIGHUP, true, true}}) {
    SCOPED_TRACE(c.signal);
    TempDir dir;
    const std::string home = dir / "home";
    std::filesystem::create_directories(home + "/misc");
    std::filesystem::create_directories(home + "/emulated/1-standard");
    std::ofstream(home + "/emulated/1-standard/user.img") << "disk";
    if (c.savable)
      std::ofstream(home + "/misc/prefer.ini") << "[MP_Setting]\r\nLabel=LINE7\r\n";
    else
      std::filesystem::create_directories(home + "/misc/prefer.ini");  // no file can replace it
    platform::ProcessOptions options = Station(dir, {"--home", home});
    int reader = -1;
    if (c.readerGone) {
      options.outputFile = dir / "out.fifo";
      ASSERT_EQ(::mkfifo(options.outputFile.c_str(), 0600), 0);
      reader = ::open(options.outputFile.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(reader, 0);
    }
    ChildProcess station;
    ASSERT_TRUE(station.Start(options));
    // Waits (really, but briefly) for the start line.
    const std::string ready = "Station ready: program folder " + home + "/; waiting for devices\n";
    std::string out;
    for (int i = 0; i < 10000 && out.find(ready) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (reader < 0) {
        out = Slurp(dir / "out.txt");
        continue;
      }
      char buffer[512];
      const ssize_t n = ::read(reader, buffer, sizeof buffer);
      if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_NE(out.find(ready), std::string::npos);
    if (reader >= 0) ::close(reader);

    const platform::ProcessResult second = platform::RunProcess(
        platform::ProcessOptions{{STATION_PROGRAM, "--home", home, "--emulate", "1"}, {}, dir / "second.txt",
                                 {"XDG_RUNTIME_DIR=" + dir.path}},
        platform::PollPolicy{10, 3000, {}});
    EXPECT_EQ(second.exitCode, 3);
    EXPECT_EQ(Slurp(dir / "second.txt"),
              "[MessageBox] Warning: Another station is already running and holds the devices; this one closes.\n"
              "Program folder of the running station: " + home + "/\n");
    EXPECT_EQ(Slurp(home + "/emulated/1-standard/user.img"), "disk");

    ::kill(station.Pid(), c.signal);
    ASSERT_EQ(station.WaitFor(20000), ChildProcess::State::Ended);
    EXPECT_EQ(station.ExitCode(), c.savable ? 0 : 1);
    if (reader < 0) {
      out = Slurp(dir / "out.txt");
      EXPECT_NE(out.find("Closing the station (signal " + std::to_string(c.signal) + ")\n"), std::string::npos);
      EXPECT_EQ(out.find("station: the close could not save every setting and list (each failure was shown)\n") !=
                    std::string::npos,
                !c.savable)
          << out;
    }
    const std::string prefer = Slurp(home + "/misc/prefer.ini");
    EXPECT_EQ(prefer.find("Label=LINE7\r\n") != std::string::npos, c.savable);
    EXPECT_EQ(prefer.find("Pattern=0\r\n") != std::string::npos, c.savable) << "every key saved";
    for (const char* list : {"seting.ini", "hideseting.ini", "spiseting.ini"})
      EXPECT_EQ(Slurp(home + "/misc/" + list), "\xFF\xFE") << list;
  }
}

}  // namespace

// The station program as started from a shell: its command line, its start
// line, and its close on SIGINT or SIGTERM with everything saved.
#include <gtest/gtest.h>
#include <signal.h>

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

// A close that cannot save a file still saves the others, and says so in its
// exit status. A second station started meanwhile ends at its creation
// without touching the program folder's emulated disks.
TEST(StationProgram, SignalsCloseItThroughTheMainWindowWithEverythingSaved) {
  for (const bool savable : {true, false}) {
    const int signal = savable ? SIGINT : SIGTERM;
    TempDir dir;
    const std::string home = dir / "home";
    std::filesystem::create_directories(home + "/misc");
    std::filesystem::create_directories(home + "/emulated/1-standard");
    std::ofstream(home + "/emulated/1-standard/user.img") << "disk";
    if (savable)
      std::ofstream(home + "/misc/prefer.ini") << "[MP_Setting]\r\nLabel=LINE7\r\n";
    else
      std::filesystem::create_directories(home + "/misc/prefer.ini");  // no file can replace it
    ChildProcess station;
    ASSERT_TRUE(station.Start(Station(dir, {"--home", home})));
    // Waits (really, but briefly) for the start line.
    const std::string ready = "Station ready: program folder " + home + "/; waiting for devices\n";
    for (int i = 0; i < 10000 && Slurp(dir / "out.txt").find(ready) == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_NE(Slurp(dir / "out.txt").find(ready), std::string::npos);
    const platform::ProcessResult second = platform::RunProcess(
        platform::ProcessOptions{{STATION_PROGRAM, "--home", home, "--emulate", "1"}, {}, dir / "second.txt",
                                 {"XDG_RUNTIME_DIR=" + dir.path}},
        platform::PollPolicy{10, 3000, {}});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(Slurp(home + "/emulated/1-standard/user.img"), "disk");
    ::kill(station.Pid(), signal);
    ASSERT_EQ(station.WaitFor(20000), ChildProcess::State::Ended);
    EXPECT_EQ(station.ExitCode(), savable ? 0 : 1) << signal;
    const std::string out = Slurp(dir / "out.txt");
    EXPECT_EQ(out.find("station: the close could not save every setting and list (each failure was shown)\n") !=
                  std::string::npos,
              !savable)
        << out;
    const std::string prefer = Slurp(home + "/misc/prefer.ini");
    EXPECT_EQ(prefer.find("Label=LINE7\r\n") != std::string::npos, savable);
    EXPECT_EQ(prefer.find("Pattern=0\r\n") != std::string::npos, savable) << "every key saved";
    for (const char* list : {"seting.ini", "hideseting.ini", "spiseting.ini"})
      EXPECT_EQ(Slurp(home + "/misc/" + list), "\xFF\xFE") << list;
  }
}

}  // namespace

// The station program with its window: opened on request, refused without a
// display, and closed by SIGTERM through the main window.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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

platform::ProcessOptions Station(const TempDir& dir, std::vector<std::string> args, std::vector<std::string> env) {
  args.insert(args.begin(), STATION_PROGRAM);
  env.push_back("XDG_RUNTIME_DIR=" + dir.path);
  return platform::ProcessOptions{args, {}, dir / "out.txt", env};
}

TEST(WindowedStation, WithoutADisplayTheWindowIsRefusedAtStart) {
  TempDir dir;
  const platform::ProcessResult r = platform::RunProcess(
      Station(dir, {"--gui"}, {"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}), platform::PollPolicy{10, 1000, {}});
  EXPECT_EQ(r.status, platform::ProcessStatus::Exited);
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(Slurp(dir / "out.txt"), "station: --gui needs a display (DISPLAY or WAYLAND_DISPLAY)\n");
}

TEST(WindowedStation, SigtermClosesItAsTheWindowsCloseWouldAMessageBoxOpenOrNot) {
  // At its first paint the window reports the hidden disk's image file
  // missing in a message box, and nobody answers it. The close itself (runs
  // waited for, settings saved) is the main window's, tested in-process.
  TempDir dir;
  const std::string home = dir / "home";
  std::filesystem::create_directories(home + "/misc");
  std::ofstream(home + "/misc/prefer.ini") << "[MP_Setting]\r\neDeviceFeature=2\r\nbUseImgFile=1\r\nImageFile=" << home
                                           << "/gone.IMG\r\n";
  ChildProcess station;
  ASSERT_TRUE(station.Start(Station(dir, {"--gui", "--home", home}, {"QT_QPA_PLATFORM=offscreen"})));
  // Waits (really, but briefly) for the start line, which the window's loop prints.
  auto waitFor = [&](const std::string& text) {
    for (int i = 0; i < 10000 && Slurp(dir / "out.txt").find(text) == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Slurp(dir / "out.txt").find(text) != std::string::npos;
  };
  EXPECT_TRUE(waitFor("Station ready: program folder " + home + "/"));
  ::kill(station.Pid(), SIGTERM);
  EXPECT_TRUE(waitFor("Closing the station (signal 15)"));
  ASSERT_EQ(station.WaitFor(10000), ChildProcess::State::Ended) << Slurp(dir / "out.txt");
  EXPECT_EQ(station.ExitCode(), 0);
  // The box's text is not lost: it is written out as a station without a window writes it.
  EXPECT_NE(Slurp(dir / "out.txt").find("Image file not exists. Please reassign it."), std::string::npos);
  EXPECT_NE(Slurp(home + "/misc/prefer.ini").find("ImageFile=\r\n"), std::string::npos);  // saved by the close
}

}  // namespace

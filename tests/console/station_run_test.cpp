// The station's run command: its options, and a whole headless session with
// emulated devices in a program folder laid out as scripts/run.sh lays it out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "console/station_run.h"
#include "platform/paths/paths.h"
#include "platform/process/process.h"
#include "support/temp_dir.h"

namespace console {
namespace {

using testing_support::TempDir;

// A headless slot line "Dev <1-8> HH:MM:SS.mmm  <text>  (<colour>)": the
// slot, the text and the colour; false for anything else.
bool ParseSlotLine(const std::string& line, std::string& slot, std::string& text, std::string& colour) {
  const std::string shape = "Dev 9 99:99:99.999  ";
  if (line.size() < shape.size() + 4) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == '9' ? !digit : line[i] != shape[i]) return false;
  }
  slot = line.substr(4, 1);
  const std::size_t open = line.rfind("  (");
  if (slot < "1" || slot > "8" || open == std::string::npos || open < shape.size() || line.back() != ')') return false;
  text = line.substr(shape.size(), open - shape.size());
  colour = line.substr(open + 3, line.size() - open - 4);
  return colour == "normal" || colour == "red" || colour == "blue";
}

std::string Slurp(const std::string& path) {
  std::string bytes;
  platform::ReadWholeFile(path, bytes);
  return bytes;
}

struct OptionCase {
  std::vector<const char*> args;
  std::string error;  // empty: accepted
  std::vector<std::string> emulate;
  double timeScale = -1;
};

TEST(StationOptions, ValuesAreCheckedAndCountsTakeTheProfilesInTurn) {
  const OptionCase cases[] = {
      {{"--emulate", "5", "--exit-when-done"}, "", {"standard", "two-chip", "small-disk", "weak-pages", "standard"}, -1},
      {{"--emulate=standard,foreign", "--time-scale=0.5"}, "", {"standard", "foreign"}, 0.5},
      {{"--home", "/x", "--time-scale", "0"}, "", {}, 0},
      {{"--emulate", "0"}, "--emulate: at least one device", {}, -1},
      {{"--emulate", "24"}, "--emulate: at most 23 devices", {}, -1},
      {{"--emulate", "standard,,small-disk"}, "--emulate: \"standard,,small-disk\" is no count and no list of profiles", {}, -1},
      {{"--emulate"}, "--emulate needs a value after it", {}, -1},
      {{"--time-scale", "-1"}, "--time-scale: \"-1\" is not a factor from 0 to 1000", {}, -1},
      {{"--time-scale", "fast"}, "--time-scale: \"fast\" is not a factor from 0 to 1000", {}, -1},
      {{"--exit"}, "unknown option \"--exit\"", {}, -1},
  };
  for (const OptionCase& c : cases) {
    std::vector<const char*> argv{"station"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    StationOptions options;
    std::string error;
    const bool ok = ParseStationOptions(static_cast<int>(argv.size()), argv.data(), options, error);
    EXPECT_EQ(ok, c.error.empty()) << c.args[0];
    EXPECT_EQ(error, c.error);
    if (!ok) continue;
    EXPECT_EQ(options.emulate, c.emulate);
    EXPECT_EQ(options.timeScale.value_or(-1), c.timeScale);
  }
}

// The whole list is checked before the previous run's disks go.
TEST(StationProgram, AnUnknownProfileIsRefusedAtStart) {
  TempDir dir;
  std::filesystem::create_directories(dir / "home/misc");
  std::filesystem::create_directories(dir / "home/emulated/1-standard");
  std::ofstream(dir / "home/emulated/1-standard/user.img") << "disk";
  const platform::ProcessResult r = platform::RunProcess(
      platform::ProcessOptions{{STATION_PROGRAM, "--home", dir / "home", "--emulate", "standard,nope"}, {},
                               dir / "out.txt", {"XDG_RUNTIME_DIR=" + dir.path}},
      platform::PollPolicy{10, 2000, {}});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(Slurp(dir / "out.txt"), "station: --emulate: no device profile \"nope\"\n");
  EXPECT_EQ(Slurp(dir / "home/emulated/1-standard/user.img"), "disk");
  EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(dir / "home"), {}), 4);
}

// The run command's session without a terminal: four emulated devices of
// different profiles run to "successful", every slot's changes are printed
// with slot and time first, the counters close the output, and every disk
// passes the file system check.
TEST(StationProgram, HeadlessSessionRunsFourDevicesToSuccess) {
  TempDir dir;
  const std::string home = dir / "home";
  const platform::ProcessResult layout = platform::RunProcess(
      platform::ProcessOptions{{std::string(STATION_SOURCE_DIR) + "/scripts/layout_home.sh", STATION_BINARY_DIR, home},
                               {}, dir / "layout.txt", {}},
      platform::PollPolicy{10, 3000, {}});
  ASSERT_EQ(layout.exitCode, 0) << Slurp(dir / "layout.txt");

  platform::ChildProcess station;
  ASSERT_TRUE(station.Start(platform::ProcessOptions{
      {STATION_PROGRAM, "--home", home, "--emulate", "4", "--time-scale", "0", "--exit-when-done"},
      {},
      dir / "out.txt",
      {"XDG_RUNTIME_DIR=" + dir.path}}));
  ASSERT_EQ(station.WaitFor(120000), platform::ChildProcess::State::Ended) << Slurp(dir / "out.txt");
  EXPECT_EQ(station.ExitCode(), 0);

  const std::string out = Slurp(dir / "out.txt");
  std::istringstream lines(out);
  std::string line;
  std::vector<std::string> all;
  while (std::getline(lines, line)) all.push_back(line);
  ASSERT_GE(all.size(), 3u) << out;
  EXPECT_EQ(all.front(), "Station ready: program folder " + home + "/; waiting for devices");
  EXPECT_EQ(all.back(), "Total: 4  successful: 4  fail: 0") << out;
  std::set<std::string> passed;
  for (std::size_t i = 1; i + 2 < all.size(); ++i) {
    if (all[i].rfind("Dev ", 0) != 0) continue;  // the format tool's own lines come between
    std::string slot, text, colour;
    ASSERT_TRUE(ParseSlotLine(all[i], slot, text, colour)) << all[i];
    if (text == "successful" && colour == "blue") passed.insert(slot);
  }
  EXPECT_EQ(passed, (std::set<std::string>{"1", "2", "3", "4"})) << out;

  int disks = 0;
  for (const auto& entry : std::filesystem::directory_iterator(home + "/emulated")) {
    const std::string image = (entry.path() / "user.img").string();
    const platform::ProcessResult fsck = platform::RunProcess(
        platform::ProcessOptions{{"fsck.fat", "-n", image}, {}, dir / "fsck.txt", {}}, platform::PollPolicy{10, 3000, {}});
    EXPECT_EQ(fsck.exitCode, 0) << image << "\n" << Slurp(dir / "fsck.txt");
    ++disks;
  }
  EXPECT_EQ(disks, 4);
  // Closing saved the settings and the lists.
  EXPECT_NE(Slurp(home + "/misc/prefer.ini").find("Pattern=0\r\n"), std::string::npos);

  // The emulated ports answered during the run, and answer for nothing after it.
  const std::string log = Slurp(home + "/log/1.txt");
  for (const char* port : {" Port:1-1-1\r\n", " Port:1-1-2\r\n", " Port:1-1-3\r\n", " Port:1-1-4\r\n"})
    EXPECT_NE(log.find(port), std::string::npos) << port << log;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home))
    EXPECT_EQ(entry.path().filename().string().find(".map"), std::string::npos) << entry.path();
  const platform::ProcessResult port = platform::RunProcess(
      platform::ProcessOptions{{home + "/misc/usbdos", "33"}, {}, dir / "port.txt", {}}, platform::PollPolicy{10, 3000, {}});
  EXPECT_EQ(port.exitCode, 1);
  EXPECT_EQ(Slurp(dir / "port.txt"), "");
}

}  // namespace
}  // namespace console

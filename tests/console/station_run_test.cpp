// The station's run command: its options, and a whole headless session with
// emulated devices in a program folder laid out as scripts/run.sh lays it out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "console/station_run.h"
#include "platform/codepage/codepage.h"
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

// Every file under `folder` with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) files[entry.path().string()] = Slurp(entry.path().string());
  return files;
}

platform::ProcessResult LayOut(const TempDir& dir, const std::string& home) {
  return platform::RunProcess(
      platform::ProcessOptions{{std::string(STATION_SOURCE_DIR) + "/scripts/layout_home.sh", STATION_BINARY_DIR, home},
                               {}, dir / "layout.txt", {}},
      platform::PollPolicy{10, 3000, {}});
}

// The run command lays its program folder out at every start: the second
// time, whatever the station or the operator wrote there stays as it is
// (lists, settings, logs, a replaced FSM file) and only what is missing
// comes back, new support files included; the port program follows the build.
TEST(StationProgram, ALaidOutFolderKeepsWhatIsThereAndGetsWhatIsMissing) {
  TempDir dir;
  const std::string home = dir / "home", support = std::string(STATION_SOURCE_DIR) + "/support";
  ASSERT_EQ(LayOut(dir, home).exitCode, 0) << Slurp(dir / "layout.txt");
  std::u16string list;
  for (const char* name : {"samples/player.bin", "samples/prefer.dat", "samples/files"})
    list += platform::Utf8ToUtf16(home + "/" + name) + u"\r\n";
  std::string bytes = "\xFF\xFE";
  for (char16_t c : list) bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
  EXPECT_EQ(Slurp(home + "/misc/seting.ini"), bytes);
  EXPECT_EQ(Slurp(home + "/misc/usbdos"), Slurp(std::string(STATION_BINARY_DIR) + "/src/production/usbdos"));

  using namespace std::string_literals;
  const std::pair<const char*, std::string> written[] = {
      {"misc/seting.ini", "\xFF\xFE/\0o\0p\0\r\0\n\0"s}, {"misc/prefer.ini", "[MP_Setting]\r\nLabel=MINE\r\n"},
      {"misc/hideseting.ini", "\xFF\xFE"},                     {"misc/FSM.bin", "the maker's"},
      {"log/1.txt", "D: success!\r\n"},                        {"registry.ini", "[x]\r\n"},
      {"flash/flash.ini", "[mine]\r\n"},                         {"misc/usbdos", "an older build's"},
  };
  for (const auto& [name, text] : written) std::ofstream(home + "/" + name, std::ios::binary) << text;
  std::filesystem::remove(home + "/misc/lang.ini");
  std::filesystem::remove(home + "/samples/prefer.dat");
  auto before = Snapshot(home);

  ASSERT_EQ(LayOut(dir, home).exitCode, 0) << Slurp(dir / "layout.txt");
  auto after = Snapshot(home);
  before[home + "/misc/usbdos"] = Slurp(std::string(STATION_BINARY_DIR) + "/src/production/usbdos");
  before[home + "/misc/lang.ini"] = Slurp(support + "/misc/lang.ini");
  before[home + "/samples/prefer.dat"] = Slurp(support + "/samples/prefer.dat");
  std::vector<std::string> changed;
  for (const auto& [path, bytes] : before)
    if (!after.count(path) || after.at(path) != bytes) changed.push_back(path);
  for (const auto& [path, bytes] : after)
    if (!before.count(path)) changed.push_back(path);
  EXPECT_EQ(changed, std::vector<std::string>{});
}

// A command line checked with --check-options, accepted or refused, touches
// nothing in the program folder: the run command checks before it lays out.
TEST(StationProgram, CheckedOptionsTouchNothing) {
  TempDir dir;
  const std::string home = dir / "home";
  ASSERT_EQ(LayOut(dir, home).exitCode, 0) << Slurp(dir / "layout.txt");
  std::filesystem::create_directories(home + "/emulated/1-standard");
  std::ofstream(home + "/emulated/1-standard/user.img") << "disk";
  const auto before = Snapshot(home);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--emulate", "4", "--exit-when-done"}, ""},
      {{"--emulate", "standard,nope"}, "station: --emulate: no device profile \"nope\"\n"},
      {{"--time-scale", "fast"}, "station: --time-scale: \"fast\" is not a factor from 0 to 1000\n"},
  };
  for (const auto& [options, refusal] : cases) {
    std::vector<std::string> args{STATION_PROGRAM, "--check-options", "--headless", "--home", home};
    args.insert(args.end(), options.begin(), options.end());
    std::filesystem::remove(dir / "out.txt");
    const platform::ProcessResult r = platform::RunProcess(
        platform::ProcessOptions{args, {}, dir / "out.txt", {"XDG_RUNTIME_DIR=" + dir.path}},
        platform::PollPolicy{10, 3000, {}});
    EXPECT_EQ(r.exitCode, refusal.empty() ? 0 : 2) << options[0];
    EXPECT_EQ(Slurp(dir / "out.txt"), refusal);
  }
  EXPECT_TRUE(Snapshot(home) == before);
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

// The hub port lookup with a scripted port program, and our own port program
// answering from the emulated bus's port map.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "production/hub_port.h"
#include "production_fixture.h"

namespace production_test {
namespace {

using production::FixUsbPort;
using production::RunUsbDos;

struct HubPortTest : ProductionTest {
  // misc/usbdos as a shell script with `body`; it records its argument.
  void PortProgram(const std::string& body) {
    const std::string path = home / "misc/usbdos";
    WriteFile(path, "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/arg.txt\"\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
  }
  std::string Argument() { return ReadFile(home / "misc/arg.txt"); }
};

TEST_F(HubPortTest, CodeIsDecodedOrRefused) {
  Plug(DeviceProfile().WithSerialNumber(200));
  ProductThread& w = Worker();
  struct Case {
    std::string body;
    int result;
    int hub, port, digit;
  };
  const std::vector<Case> cases = {
      {"echo 123", 123, 1, 2, 3},
      {"echo 1203", 1203, 12, 0, 3},
      {"echo 105", 105, 1, 0, 5},
      {"echo 9999", 9999, 99, 9, 9},
      {"echo 0", -1, 7, 7, 7},
      {"echo 100", -1, 7, 7, 7},
      {"echo 10001", -1, 7, 7, 7},
      {"echo -5", -1, 7, 7, 7},
      {"echo 123; exit 3", -1, 7, 7, 7},  // a code with a failure status is no answer
      {"echo nonsense", -1, 7, 7, 7},
  };
  for (const auto& c : cases) {
    PortProgram(c.body);
    std::uint8_t hub = 7, port = 7, digit = 7;
    EXPECT_EQ(FixUsbPort(w.hDevice, hub, port, digit), c.result) << c.body;
    EXPECT_EQ(Argument(), "72\n") << "200 mod 128";
    EXPECT_EQ(std::vector<int>({hub, port, digit}), std::vector<int>({c.hub, c.port, c.digit})) << c.body;
  }
  std::filesystem::remove(home / "misc/usbdos");
  std::uint8_t hub = 0, port = 0, digit = 0;
  EXPECT_EQ(FixUsbPort(w.hDevice, hub, port, digit), -1);  // no port program
}

TEST_F(HubPortTest, SerialZeroIsAFailureWithoutRunningTheProgram) {
  Plug(DeviceProfile().WithSerialNumber(0));
  ProductThread& w = Worker();
  PortProgram("echo 123");
  std::uint8_t hub = 0, port = 0, digit = 0;
  EXPECT_EQ(FixUsbPort(w.hDevice, hub, port, digit), -1);
  EXPECT_FALSE(std::filesystem::exists(home / "misc/arg.txt"));
  // The caption is left alone and the failure logged.
  w.PortText->SetCaption("");
  EXPECT_FALSE(w.ShowPortCaption('E', w.PortText));
  EXPECT_EQ(w.PortText->Caption(), "");
  EXPECT_EQ(ReadFile(home / "log/1.txt"), "E:Get port fail <1>!!\r\n");
}

TEST_F(HubPortTest, CaptionAndLogShowThePort) {
  Plug(DeviceProfile().WithSerialNumber(0x21), 'G');
  ProductThread& w = Worker('G', 3);
  PortProgram("echo 1203");
  EXPECT_TRUE(w.ShowPortCaption('G', w.PortText));
  EXPECT_EQ(w.PortText->Caption(), "<12-0-3>");
  EXPECT_EQ(ReadFile(home / "log/1.txt"), "Serial_num = 33\r\nG Port:12-0-3\r\n");
}

TEST_F(HubPortTest, APortProgramThatDoesNotEndIsKilled) {
  PortProgram("echo $$ > \"$(dirname \"$0\")/pid.txt\"\nexec sleep 30");
  EXPECT_EQ(RunUsbDos(5, 300), 0);
  const int pid = std::atoi(ReadFile(home / "misc/pid.txt").c_str());
  ASSERT_GT(pid, 0);
  EXPECT_NE(::kill(pid, 0), 0);  // gone and reaped
}

// Only the map the station hands its port program answers: not a file beside
// the program, nor a map named in the station's own environment.
TEST_F(HubPortTest, OwnPortProgramAnswersOnlyFromTheMapItIsHanded) {
  const std::string program = std::string(STATION_BINARY_DIR) + "/station-home/misc/usbdos";
  ASSERT_TRUE(std::filesystem::exists(program));
  std::filesystem::create_directories(home / "misc");
  std::filesystem::copy_file(program, home / "misc/usbdos");
  WriteFile(home / "misc/usbport.map", std::string("33 123\n"));
  WriteFile(home / "ports.map", std::string("# serial code\n33 123\n66 1203\n70 300\n"));
  ::setenv(production::kUsbPortMapVariable, (home / "ports.map").c_str(), 1);
  EXPECT_EQ(RunUsbDos(33), 0);
  ::unsetenv(production::kUsbPortMapVariable);
  production::SetUsbPortMap(home / "ports.map");
  const std::pair<int, int> answers[] = {{33, 123}, {66, 1203}, {70, 0} /* never a code ending in 00 */, {34, 0}};
  for (auto [serial, code] : answers) EXPECT_EQ(RunUsbDos(serial), code) << serial;
  production::SetUsbPortMap("");
  EXPECT_EQ(RunUsbDos(33), 0);
}

}  // namespace
}  // namespace production_test

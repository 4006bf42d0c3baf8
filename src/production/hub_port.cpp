// The hub port a device sits on: its serial number byte goes to the port
// program misc/usbdos beside the station, whose answer encodes hub, port and
// a last digit as hub x 100 + port x 10 + digit.
//
// A Linux exit status holds only 8 bits, so the port program prints the code
// in decimal on its standard output and exits with 0; any other ending (no
// code, a non-zero status, a signal, more than 10 s) counts as no answer.
#include "production/hub_port.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "device/commands.h"
#include "platform/paths/paths.h"
#include "platform/process/process.h"
#include "production/product_thread.h"

namespace production {

namespace {

constexpr std::uint32_t kPollMs = 200;

std::mutex portMapMutex;
std::string portMap;

std::string PortNumbers(int hub, int port, int digit) {
  return std::to_string(hub) + "-" + std::to_string(port) + "-" + std::to_string(digit);
}

}  // namespace

void SetUsbPortMap(const std::string& path) {
  std::lock_guard lock(portMapMutex);
  portMap = path;
}

std::string UsbPortMap() {
  std::lock_guard lock(portMapMutex);
  return portMap;
}

int RunUsbDos(int number, std::uint32_t timeLimitMs) {
  char outName[] = "/tmp/station-usbdos-XXXXXX";
  const int fd = ::mkstemp(outName);
  if (fd < 0) return 0;
  ::close(fd);
  platform::ProcessOptions options;
  options.argv = {platform::ProgramFolder() + "misc/usbdos", std::to_string(number)};
  options.outputFile = outName;
  // Always set, so that a map named in the station's own environment never
  // answers for real devices.
  options.environment = {std::string(kUsbPortMapVariable) + "=" + UsbPortMap()};
  platform::PollPolicy policy;
  policy.intervalMs = kPollMs;
  policy.maxWaits = static_cast<int>(timeLimitMs / kPollMs > 0 ? timeLimitMs / kPollMs : 1);
  const platform::ProcessResult result = platform::RunProcess(options, policy);
  int code = 0;
  if (result.status == platform::ProcessStatus::Exited && result.exitCode == 0) {
    std::ifstream out(outName);
    long long value = 0;
    if (out >> value && value > 0 && value <= 9999) code = static_cast<int>(value);
  }
  ::unlink(outName);
  return code;
}

int FixUsbPort(HANDLE h, std::uint8_t& hub, std::uint8_t& port, std::uint8_t& digit) {
  const std::uint8_t serial = device::cmd_GetSerialNum(h);
  // 0 is also what a failed request answers: no port can be told from it.
  if (serial == 0) return -1;
  const int s = serial % 128;
  AppendLogLine("Serial_num = " + std::to_string(s));
  const int c = RunUsbDos(s);
  if (c < 1 || c > 9999 || c % 100 == 0) return -1;
  hub = static_cast<std::uint8_t>((c / 100) % 100);
  port = static_cast<std::uint8_t>((c / 10) % 10);
  digit = static_cast<std::uint8_t>(c % 10);
  return c;
}

bool ProductThread::ShowPortCaption(char driveLetter, TStaticText* control) {
  std::uint8_t hub = 0, port = 0, digit = 0;
  if (FixUsbPort(hDevice, hub, port, digit) < 0) {
    AppendLogLine(std::string(1, driveLetter) + ":Get port fail <1>!!");
    return false;
  }
  const std::string text = PortNumbers(hub, port, digit);
  AppendLogLine(std::string(1, driveLetter) + " Port:" + text);
  if (control && OwnsSlot()) control->SetCaption("<" + text + ">");
  return true;
}

}  // namespace production

// usbdos: tells the station on which USB hub port the device with a given
// serial number byte sits.
//
//   usbdos <serial>      serial: the device's serial number byte mod 128, decimal
//
// Answer: the port code hub x 100 + port x 10 + digit, printed in decimal on
// standard output, exit status 0. A Linux exit status holds only 8 bits, so
// the code travels on standard output; the station reads it from there. No
// device found, or a place that does not fit the code: nothing printed, exit
// status 1. A bad argument: exit status 2.
//
// The code of a device at USB place "B-P1.P2...Pn" (bus B, then the port on
// each hub from the root down, as sysfs names it):
//   hub   = B mod 100                  (the bus the station's hub hangs on)
//   port  = P(n-1), 0 on a root port   (the port of the hub the device sits on)
//   digit = Pn, 1..9                   (the device's own port on that hub)
// digit is never 0, so the code never ends in 00.
//
// Emulated devices have no USB place. A station that emulates them hands
// this program their port map in the environment variable
// STATION_USB_PORT_MAP: the file's lines "<serial> <code>" ('#' starts a
// comment). With a map, only the map answers; without one (the variable unset
// or empty, as in every other call), only the USB tree does, so that no map
// ever answers for a real device.
//
// Real devices: every SCSI disk under /sys/block whose device sits on USB is
// asked for its serial number byte through its SCSI generic node, with the
// station's own device command layer.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "device/commands.h"
#include "platform/scsi/sg_io_target.h"
#include "production/hub_port.h"

namespace fs = std::filesystem;

namespace {

std::optional<int> ParseSerial(const char* text) {
  if (!text || !*text) return std::nullopt;
  int v = 0;
  for (const char* p = text; *p; ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p)) || v > 1000) return std::nullopt;
    v = v * 10 + (*p - '0');
  }
  if (v > 127) return std::nullopt;
  return v;
}

std::optional<int> FromPortMap(const fs::path& map, int serial) {
  std::ifstream in(map);
  std::string line;
  while (std::getline(in, line)) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream fields(line);
    int s = -1, code = 0;
    if (fields >> s >> code && s == serial) return code;
  }
  return std::nullopt;
}

// "1-2.3" from a sysfs device path; the last USB device element before the
// SCSI host.
// Whether `s` reads "<digits>-<digits>[.<digits>]...".
bool IsUsbPlace(const std::string& s) {
  const auto dash = s.find('-');
  if (dash == 0 || dash == std::string::npos) return false;
  for (std::size_t i = 0; i < dash; ++i)
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  bool digitBefore = false;
  for (std::size_t i = dash + 1; i < s.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(s[i]))) {
      digitBefore = true;
    } else if (s[i] == '.' && digitBefore) {
      digitBefore = false;
    } else {
      return false;
    }
  }
  return digitBefore;
}

std::optional<std::string> UsbPlace(const fs::path& devicePath) {
  std::optional<std::string> last;
  for (const auto& part : devicePath)
    if (IsUsbPlace(part.string())) last = part.string();
  return last;
}

std::optional<int> CodeOfPlace(const std::string& place) {
  const auto dash = place.find('-');
  const int bus = std::atoi(place.substr(0, dash).c_str());
  std::vector<int> ports;
  std::istringstream rest(place.substr(dash + 1));
  for (std::string p; std::getline(rest, p, '.');) ports.push_back(std::atoi(p.c_str()));
  if (ports.empty()) return std::nullopt;
  const int digit = ports.back();
  const int port = ports.size() > 1 ? ports[ports.size() - 2] : 0;
  if (digit < 1 || digit > 9 || port < 0 || port > 9) return std::nullopt;
  return (bus % 100) * 100 + port * 10 + digit;
}

std::optional<int> FromUsbTree(int serial) {
  std::error_code ec;
  for (const auto& disk : fs::directory_iterator("/sys/block", ec)) {
    const std::string name = disk.path().filename().string();
    if (name.rfind("sd", 0) != 0) continue;
    const fs::path devicePath = fs::canonical(disk.path() / "device", ec);
    if (ec) continue;
    const auto place = UsbPlace(devicePath);
    if (!place) continue;
    std::string sg;
    for (const auto& e : fs::directory_iterator(disk.path() / "device" / "scsi_generic", ec))
      sg = e.path().filename().string();
    if (sg.empty()) continue;
    auto target = std::make_shared<platform::SgIoTarget>("/dev/" + sg);
    if (!target->IsOpen()) continue;
    platform::HANDLE h = platform::OpenTargetHandle(target);
    const std::uint8_t answer = device::cmd_GetSerialNum(h);
    platform::CloseHandle(h);
    if (answer != 0 && answer % 128 == serial) return CodeOfPlace(*place);
  }
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  const auto serial = argc == 2 ? ParseSerial(argv[1]) : std::nullopt;
  if (!serial) {
    std::fprintf(stderr, "usage: usbdos <serial number byte 0..127>\n");
    return 2;
  }
  const char* map = std::getenv(production::kUsbPortMapVariable);
  const auto code = map && *map ? FromPortMap(map, *serial) : FromUsbTree(*serial);
  if (!code || *code < 1 || *code > 9999 || *code % 100 == 0) return 1;
  std::printf("%d\n", *code);
  return 0;
}

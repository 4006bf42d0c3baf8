// The station program's command line and its headless output.
//
//   station [--home DIR] [--emulate N | --emulate PROFILE,PROFILE,...]
//           [--time-scale X] [--exit-when-done] [--check-options]
//
// --home DIR         the program folder (misc/, flash/, log/); default: the
//                    executable's folder
// --emulate ...      plugs N emulated devices (profiles taken in turn from a
//                    list of different ones) or the named profiles, one after
//                    another, into the emulated bus
// --time-scale X     scales every wait of the station and the devices (0: no
//                    waits); default 1, or 0.05 with emulated devices
// --exit-when-done   closes the station (as the operator would) once every
//                    emulated device has been handled and no run is left
// --check-options    checks the command line as a start would and ends there,
//                    touching no file: 0 when the station would start, 2 with
//                    the reason when it would refuse to
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/types.h"

namespace console {

struct StationOptions {
  std::vector<std::string> emulate;  // profile names; empty: none
  std::optional<double> timeScale;
  bool exitWhenDone = false;
  bool checkOnly = false;
};

// The profiles "--emulate N" plugs, in turn.
const std::vector<std::string>& DefaultEmulatedProfiles();

// Parses everything but "--home" (which the program folder's own check
// takes). False with the reason in `error` for an unknown option, a missing
// or bad value.
bool ParseStationOptions(int argc, const char* const* argv, StationOptions& options, std::string& error);

// Devices the station plugs itself (the emulated bus), made by the program
// from the profile names.
class DeviceBus {
 public:
  virtual ~DeviceBus() = default;
  // Makes the devices, once the station knows it may run (it is the only
  // one); until then the bus touches no file. False with the reason.
  virtual bool Prepare(std::string& error) = 0;
  // Starts plugging the devices, one after another, on a thread of the bus.
  virtual void Start() = 0;
  // Every device has been plugged and none is away re-enumerating.
  virtual bool Settled() const = 0;
};
using DeviceBusFactory =
    std::function<std::unique_ptr<DeviceBus>(const std::vector<std::string>& profiles, std::string& error)>;

// The colour of a status text as a word for the log ("normal", "red", "blue").
std::string ColourName(platform::ui::TColor colour);

// One line of the headless output: the slot (1..8), the time, the text and
// its colour.
std::string StatusLine(int slot, const std::string& time, const std::string& text, platform::ui::TColor colour);

// Headless output: watches the eight slots' status texts of the main window
// and prints every change (text or colour) as one line. Stop() ends it.
class SlotStatusPrinter {
 public:
  explicit SlotStatusPrinter(std::function<void(const std::string&)> print);
  ~SlotStatusPrinter();
  SlotStatusPrinter(const SlotStatusPrinter&) = delete;
  SlotStatusPrinter& operator=(const SlotStatusPrinter&) = delete;
  void Start();  // Form1 must exist until Stop
  void Stop();
  // Looks once and prints what changed since the last look.
  void Poll();

 private:
  std::function<void(const std::string&)> print_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  struct Seen {
    std::uint64_t revision = ~std::uint64_t{0};
    std::string text;
    platform::ui::TColor colour = 0;
  };
  Seen seen_[8];
};

// The exit status of a station that found another one running.
inline constexpr int kExitAnotherStation = 3;

// The station program as started from the command line: see the top of this
// file. `makeBus` builds the emulated bus for "--emulate". Returns 0; 2 when
// an option or the emulated devices are refused at start; 3 when another
// station runs (the operator is told); 1 when the close could not save the
// settings or the lists.
int StationMain(int argc, const char* const* argv, const DeviceBusFactory& makeBus);

}  // namespace console

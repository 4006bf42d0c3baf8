// Where the port program takes its answers from.
#pragma once

#include <string>

namespace production {

// The environment variable that hands the port map to the port program.
inline constexpr const char* kUsbPortMapVariable = "STATION_USB_PORT_MAP";

// The port map of an emulating station: the file (one "<serial> <code>" line
// per emulated device) that the port program answers from instead of the USB
// tree. It is handed only to the port programs this station runs; empty (the
// start value) hands none, and then the port program reads the USB tree even
// when the station's own environment names a map.
void SetUsbPortMap(const std::string& path);
std::string UsbPortMap();

}  // namespace production

// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace varnolink {

// The serial devices the port list offers, in the fixed order in which they
// are probed: /dev/ttyS0-15, /dev/ttyUSB0-15, /dev/ttyACM0-15, then the paths
// listed in the environment variable VARNOLINK_PORTS (colon-separated; how a
// pseudo-terminal of the simulator or any other virtual port gets listed;
// network ports "socket://HOST:PORT" and "rfc2217://HOST:PORT" may be listed
// there too, their own colons included). An entry may carry a label for the
// list: "/dev/pts/3=simulated module".
// With VARNOLINK_NO_SCAN=1 only the paths of VARNOLINK_PORTS are candidates.
// Each path appears once.
std::vector<std::string> PortCandidates();

// The same list for given values of the two variables (null = unset).
std::vector<std::string> PortCandidatesFor(const char* PortsVariable, const char* NoScanVariable);

// "socket://..." or "rfc2217://..." (any case of the scheme).
bool IsNetworkPortName(std::string_view Name);

// The labels given in VARNOLINK_PORTS, by device path.
std::map<std::string, std::string> PortLabels();
std::map<std::string, std::string> PortLabelsFor(const char* PortsVariable);

// The devices the kernel writes its console to, as device paths: the names
// of /sys/class/tty/console/active and the first column of /proc/consoles
// ("/dev/ttyS0"). They are never opened, by the list, the probe or a
// connection: opening one can disturb the console or the system's login.
std::vector<std::string> SystemConsoleDevices();
// The same from the two files' texts.
std::vector<std::string> SystemConsoleDevicesFrom(std::string_view Active, std::string_view Consoles);
bool IsSystemConsole(const std::string& DevicePath);

// What a probe found: the device can be used, it is not there (or not a
// terminal), another holder has it, or it refused us (SystemError says why).
enum class TProbeOutcome { Free, Absent, Busy, Refused };
struct TProbeResult {
    TProbeOutcome Outcome = TProbeOutcome::Absent;
    int SystemError = 0;
};
TProbeResult ProbePortDetailed(const std::string& DevicePath);

// The same probe in the four states the command line reports.
enum class TPortState { Absent, Free, Busy, NoAccess };
TPortState ProbePortState(const std::string& DevicePath);

// Probes a device the way the port list needs it (a network port is free
// without connecting; a system console is absent, not opened): it can be opened for
// reading and writing, it is a terminal, and nobody holds its exclusive lock
// (an open TComPort does). The device is closed again at once; no setting is
// touched. Any failure means "not listed".
bool ProbePort(const std::string& DevicePath);

// The name the port list shows: "ttyUSB0" for /dev/ttyUSB0, "pts/3" for
// /dev/pts/3, the full path for a device outside /dev.
std::string PortDisplayName(std::string_view DevicePath);

}  // namespace varnolink

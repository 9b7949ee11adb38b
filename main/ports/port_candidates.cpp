// SPDX-License-Identifier: MIT
#include "main/ports/port_candidates.h"

#include "cport/comport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <utility>

namespace varnolink {

namespace {

constexpr int DevicesPerFamily = 16;
constexpr std::array<std::string_view, 3> ScannedFamilies{"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
constexpr std::string_view DevDirectory = "/dev/";

// "path=label" or "path": the path, and the label after the first "=".
std::pair<std::string, std::string> SplitEntry(std::string_view Entry)
{
    const std::size_t Equals = Entry.find('=');
    if (Equals == std::string_view::npos)
        return {std::string(Entry), {}};
    return {std::string(Entry.substr(0, Equals)), std::string(Entry.substr(Equals + 1))};
}

bool StartsWithScheme(std::string_view Text, std::string_view Scheme)
{
    if (Text.size() < Scheme.size())
        return false;
    for (std::size_t Index = 0; Index < Scheme.size(); ++Index)
        if (std::tolower(static_cast<unsigned char>(Text[Index])) != Scheme[Index])
            return false;
    return true;
}

// Where the colon that ends the entry at Start may be looked for: a network
// port name ("socket://HOST:PORT", "rfc2217://HOST:PORT", HOST possibly an
// IPv6 address in brackets) has colons of its own up to its port number.
std::size_t NetworkNameBody(std::string_view Listed, std::size_t Start)
{
    const std::string_view Entry = Listed.substr(Start);
    for (const std::string_view Scheme : {std::string_view("socket://"), std::string_view("rfc2217://")}) {
        if (!StartsWithScheme(Entry, Scheme))
            continue;
        std::size_t Host = Start + Scheme.size();
        if (Host < Listed.size() && Listed[Host] == '[') {
            const std::size_t Close = Listed.find(']', Host);
            Host = Close == std::string_view::npos ? Listed.size() : Close;
        }
        const std::size_t PortColon = Listed.find(':', Host);
        return PortColon == std::string_view::npos ? Listed.size() : PortColon + 1;
    }
    return Start;
}

template <typename F>
void ForEachListedEntry(const char* PortsVariable, F&& Visit)
{
    if (PortsVariable == nullptr)
        return;
    const std::string_view Listed(PortsVariable);
    std::size_t Start = 0;
    while (Start <= Listed.size()) {
        std::size_t End = Listed.find(':', NetworkNameBody(Listed, Start));
        if (End == std::string_view::npos)
            End = Listed.size();
        Visit(SplitEntry(Listed.substr(Start, End - Start)));
        Start = End + 1;
    }
}

void AddOnce(std::vector<std::string>& Paths, std::string Path)
{
    if (!Path.empty() && std::find(Paths.begin(), Paths.end(), Path) == Paths.end())
        Paths.push_back(std::move(Path));
}

// Closes the descriptor on every way out of the probe.
class TProbeFd {
public:
    explicit TProbeFd(int Fd) : Fd_(Fd) {}
    ~TProbeFd()
    {
        if (Fd_ >= 0)
            ::close(Fd_);
    }
    TProbeFd(const TProbeFd&) = delete;
    TProbeFd& operator=(const TProbeFd&) = delete;
    int Get() const { return Fd_; }

private:
    int Fd_;
};

}  // namespace

bool IsNetworkPortName(std::string_view Name)
{
    return cport::PortNameKind(std::string(Name)) != cport::TPortNameKind::pnDevice;
}

std::vector<std::string> PortCandidatesFor(const char* PortsVariable, const char* NoScanVariable)
{
    std::vector<std::string> Paths;
    const bool Scan = NoScanVariable == nullptr || std::string_view(NoScanVariable) != "1";
    if (Scan) {
        for (const std::string_view Family : ScannedFamilies)
            for (int Number = 0; Number < DevicesPerFamily; ++Number)
                AddOnce(Paths, std::string(Family) + std::to_string(Number));
    }
    ForEachListedEntry(PortsVariable, [&Paths](auto Entry) { AddOnce(Paths, std::move(Entry.first)); });
    return Paths;
}

std::vector<std::string> PortCandidates()
{
    return PortCandidatesFor(std::getenv("VARNOLINK_PORTS"), std::getenv("VARNOLINK_NO_SCAN"));
}

std::map<std::string, std::string> PortLabelsFor(const char* PortsVariable)
{
    std::map<std::string, std::string> Labels;
    ForEachListedEntry(PortsVariable, [&Labels](auto Entry) {
        if (!Entry.first.empty() && !Entry.second.empty())
            Labels.emplace(std::move(Entry.first), std::move(Entry.second));
    });
    return Labels;
}

std::map<std::string, std::string> PortLabels()
{
    return PortLabelsFor(std::getenv("VARNOLINK_PORTS"));
}

std::vector<std::string> SystemConsoleDevicesFrom(std::string_view Active, std::string_view Consoles)
{
    std::vector<std::string> Paths;
    std::istringstream Names{std::string(Active)};
    for (std::string Name; Names >> Name;)
        AddOnce(Paths, "/dev/" + Name);
    std::istringstream Lines{std::string(Consoles)};
    for (std::string Line; std::getline(Lines, Line);) {
        std::istringstream Columns(Line);
        if (std::string Name; Columns >> Name)
            AddOnce(Paths, "/dev/" + Name);
    }
    return Paths;
}

std::vector<std::string> SystemConsoleDevices()
{
    // Small kernel files; a line or two each.
    const auto Text = [](const char* Path) {
        std::ifstream File(Path);
        std::string Content(4096, '\0');
        File.read(Content.data(), static_cast<std::streamsize>(Content.size()));
        Content.resize(static_cast<std::size_t>(File.gcount()));
        return Content;
    };
    return SystemConsoleDevicesFrom(Text("/sys/class/tty/console/active"), Text("/proc/consoles"));
}

bool IsSystemConsole(const std::string& DevicePath)
{
    const std::vector<std::string> Consoles = SystemConsoleDevices();
    return std::find(Consoles.begin(), Consoles.end(), DevicePath) != Consoles.end();
}

TProbeResult ProbePortDetailed(const std::string& DevicePath)
{
    // A network port is listed without a connection: a probe would take the
    // server's only connection (and, through telnet, touch its line).
    if (IsNetworkPortName(DevicePath))
        return {TProbeOutcome::Free, 0};
    if (IsSystemConsole(DevicePath))
        return {TProbeOutcome::Absent, 0};
    // Non-blocking, so that a device waiting for carrier does not hold the
    // window; no controlling terminal; the same exclusive lock TComPort
    // takes, so a port open in a TComPort (ours or another program's) is busy.
    const TProbeFd Device(::open(DevicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (Device.Get() < 0) {
        const int Error = errno;
        if (Error == EBUSY)
            return {TProbeOutcome::Busy, Error};
        if (Error == ENOENT || Error == ENODEV || Error == ENXIO || Error == ENOTDIR)
            return {TProbeOutcome::Absent, Error};
        return {TProbeOutcome::Refused, Error};
    }
    if (::isatty(Device.Get()) != 1)
        return {TProbeOutcome::Absent, ENOTTY};
    if (::flock(Device.Get(), LOCK_EX | LOCK_NB) != 0)
        return {TProbeOutcome::Busy, errno};
    return {TProbeOutcome::Free, 0};
}

TPortState ProbePortState(const std::string& DevicePath)
{
    const TProbeResult Probe = ProbePortDetailed(DevicePath);
    switch (Probe.Outcome) {
    case TProbeOutcome::Free:
        return TPortState::Free;
    case TProbeOutcome::Busy:
        return TPortState::Busy;
    case TProbeOutcome::Refused:
        return Probe.SystemError == EACCES || Probe.SystemError == EPERM ? TPortState::NoAccess : TPortState::Absent;
    case TProbeOutcome::Absent:
        break;
    }
    return TPortState::Absent;
}

bool ProbePort(const std::string& DevicePath)
{
    return ProbePortDetailed(DevicePath).Outcome == TProbeOutcome::Free;
}

std::string PortDisplayName(std::string_view DevicePath)
{
    if (DevicePath.size() > DevDirectory.size() && DevicePath.substr(0, DevDirectory.size()) == DevDirectory)
        return std::string(DevicePath.substr(DevDirectory.size()));
    return std::string(DevicePath);
}

}  // namespace varnolink

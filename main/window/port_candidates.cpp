#include "main/window/port_candidates.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdlib>

namespace {

constexpr int DevicesPerFamily = 16;
constexpr std::array<std::string_view, 3> ScannedFamilies{"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
constexpr std::string_view DevDirectory = "/dev/";

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

std::vector<std::string> PortCandidatesFor(const char* PortsVariable, const char* NoScanVariable)
{
    std::vector<std::string> Paths;
    const bool Scan = NoScanVariable == nullptr || std::string_view(NoScanVariable) != "1";
    if (Scan) {
        for (const std::string_view Family : ScannedFamilies)
            for (int Number = 0; Number < DevicesPerFamily; ++Number)
                AddOnce(Paths, std::string(Family) + std::to_string(Number));
    }
    if (PortsVariable != nullptr) {
        const std::string_view Listed(PortsVariable);
        std::size_t Start = 0;
        while (Start <= Listed.size()) {
            std::size_t End = Listed.find(':', Start);
            if (End == std::string_view::npos)
                End = Listed.size();
            AddOnce(Paths, std::string(Listed.substr(Start, End - Start)));
            Start = End + 1;
        }
    }
    return Paths;
}

std::vector<std::string> PortCandidates()
{
    return PortCandidatesFor(std::getenv("VARNOLINK_PORTS"), std::getenv("VARNOLINK_NO_SCAN"));
}

bool ProbePort(const std::string& DevicePath)
{
    return ProbePortState(DevicePath) == TPortState::Free;
}

TPortState ProbePortState(const std::string& DevicePath)
{
    // Non-blocking, so that a device waiting for carrier does not hold the
    // window; no controlling terminal; the same exclusive lock TComPort
    // takes, so a port open in a TComPort (ours or another program's) is busy.
    const TProbeFd Device(::open(DevicePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (Device.Get() < 0) {
        if (errno == EACCES || errno == EPERM)
            return TPortState::NoAccess;
        return errno == EBUSY ? TPortState::Busy : TPortState::Absent;
    }
    if (::isatty(Device.Get()) != 1)
        return TPortState::Absent;
    return ::flock(Device.Get(), LOCK_EX | LOCK_NB) == 0 ? TPortState::Free : TPortState::Busy;
}

std::string PortDisplayName(std::string_view DevicePath)
{
    if (DevicePath.size() > DevDirectory.size() && DevicePath.substr(0, DevDirectory.size()) == DevDirectory)
        return std::string(DevicePath.substr(DevDirectory.size()));
    return std::string(DevicePath);
}

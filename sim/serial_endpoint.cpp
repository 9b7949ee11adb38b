// SPDX-License-Identifier: MIT
#include "sim/serial_endpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "sim/event_wait.h"
#include "sim/line_speed.h"

namespace varnolink::sim {

namespace {

struct TBaudConstant {
    unsigned Rate;
    speed_t Constant;
};

constexpr std::array BaudConstants{
    TBaudConstant{50, B50},           TBaudConstant{75, B75},           TBaudConstant{110, B110},
    TBaudConstant{134, B134},         TBaudConstant{150, B150},         TBaudConstant{200, B200},
    TBaudConstant{300, B300},         TBaudConstant{600, B600},         TBaudConstant{1200, B1200},
    TBaudConstant{1800, B1800},       TBaudConstant{2400, B2400},       TBaudConstant{4800, B4800},
    TBaudConstant{9600, B9600},       TBaudConstant{19200, B19200},     TBaudConstant{38400, B38400},
    TBaudConstant{57600, B57600},     TBaudConstant{115200, B115200},   TBaudConstant{230400, B230400},
    TBaudConstant{460800, B460800},   TBaudConstant{500000, B500000},   TBaudConstant{576000, B576000},
    TBaudConstant{921600, B921600},   TBaudConstant{1000000, B1000000}, TBaudConstant{1152000, B1152000},
    TBaudConstant{1500000, B1500000}, TBaudConstant{2000000, B2000000}, TBaudConstant{2500000, B2500000},
    TBaudConstant{3000000, B3000000}, TBaudConstant{3500000, B3500000}, TBaudConstant{4000000, B4000000},
};

speed_t BaudConstantFor(unsigned Baud)
{
    for (const auto& Entry : BaudConstants) {
        if (Entry.Rate == Baud) {
            return Entry.Constant;
        }
    }
    throw std::invalid_argument("not a standard baud rate: " + std::to_string(Baud));
}

// Raw 8N1 without flow control; reads return whatever has arrived.
void MakeRaw(int Fd, const std::string& Path, speed_t Speed, bool SetSpeed)
{
    termios Settings{};
    if (::tcgetattr(Fd, &Settings) != 0) {
        ThrowErrno("tcgetattr " + Path);
    }
    ::cfmakeraw(&Settings);
    Settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    Settings.c_cflag |= CLOCAL | CREAD | CS8;
    Settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    Settings.c_cc[VMIN] = 1;
    Settings.c_cc[VTIME] = 0;
    if (SetSpeed && (::cfsetispeed(&Settings, Speed) != 0 || ::cfsetospeed(&Settings, Speed) != 0)) {
        ThrowErrno("cfsetspeed " + Path);
    }
    if (::tcsetattr(Fd, TCSANOW, &Settings) != 0) {
        ThrowErrno("tcsetattr " + Path);
    }
}

bool IsSymbolicLink(const std::string& Path)
{
    struct stat Info {};
    return ::lstat(Path.c_str(), &Info) == 0 && S_ISLNK(Info.st_mode);
}

bool PathExists(const std::string& Path)
{
    struct stat Info {};
    return ::lstat(Path.c_str(), &Info) == 0;
}

void CreateLink(const std::string& Target, const std::string& LinkPath)
{
    if (IsSymbolicLink(LinkPath)) {
        if (::unlink(LinkPath.c_str()) != 0) {
            ThrowErrno("unlink " + LinkPath);
        }
    } else if (PathExists(LinkPath)) {
        throw std::system_error(EEXIST, std::generic_category(), "not a symbolic link, left alone: " + LinkPath);
    }
    if (::symlink(Target.c_str(), LinkPath.c_str()) != 0) {
        ThrowErrno("symlink " + LinkPath);
    }
}

// Removes the link only while it still points at our slave, so that a link
// taken over by another simulator is left alone.
void RemoveLink(const std::string& Target, const std::string& LinkPath)
{
    std::array<char, PATH_MAX> Buffer{};
    const ssize_t Length = ::readlink(LinkPath.c_str(), Buffer.data(), Buffer.size() - 1);
    if (Length > 0 && std::string(Buffer.data(), static_cast<std::size_t>(Length)) == Target) {
        ::unlink(LinkPath.c_str());
    }
}

}  // namespace

bool IsStandardBaudRate(unsigned Baud)
{
    return std::any_of(BaudConstants.begin(), BaudConstants.end(),
                       [Baud](const TBaudConstant& Entry) { return Entry.Rate == Baud; });
}

unsigned TSerialEndpoint::LineSpeed() const
{
    if (!LineFd_) {
        return 0;
    }
    // The speed the host sends at, which is what the module has to match;
    // a host may set it by number (termios2) as well as by constant.
    const unsigned Speed = LineOutputSpeed(LineFd_.Get());
    return IsStandardBaudRate(Speed) ? Speed : 0;
}

TSerialEndpoint TSerialEndpoint::CreatePseudoTerminal(const std::string& LinkPath)
{
    TSerialEndpoint Endpoint;
    Endpoint.IsPseudoTerminal_ = true;
    Endpoint.LineFd_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!Endpoint.LineFd_) {
        ThrowErrno("posix_openpt");
    }
    const int Master = Endpoint.LineFd_.Get();
    if (::grantpt(Master) != 0) {
        ThrowErrno("grantpt");
    }
    if (::unlockpt(Master) != 0) {
        ThrowErrno("unlockpt");
    }
    std::array<char, 128> Name{};
    if (const int Error = ::ptsname_r(Master, Name.data(), Name.size()); Error != 0) {
        errno = Error;
        ThrowErrno("ptsname_r");
    }
    Endpoint.Path_ = Name.data();
    Endpoint.HeldSlaveFd_.Reset(::open(Endpoint.Path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!Endpoint.HeldSlaveFd_) {
        ThrowErrno("open " + Endpoint.Path_);
    }
    // A new slave is in cooked mode with echo on; that would send our own
    // replies back to us and turn CR into LF.
    MakeRaw(Endpoint.HeldSlaveFd_.Get(), Endpoint.Path_, B9600, false);
    if (::fcntl(Master, F_SETFL, ::fcntl(Master, F_GETFL) | O_NONBLOCK) != 0) {
        ThrowErrno("fcntl O_NONBLOCK");
    }
    if (!LinkPath.empty()) {
        CreateLink(Endpoint.Path_, LinkPath);
        Endpoint.LinkPath_ = LinkPath;
    }
    return Endpoint;
}

TSerialEndpoint TSerialEndpoint::OpenDevice(const std::string& Path, unsigned Baud)
{
    const speed_t Speed = BaudConstantFor(Baud);
    TSerialEndpoint Endpoint;
    Endpoint.Path_ = Path;
    Endpoint.LineFd_.Reset(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!Endpoint.LineFd_) {
        ThrowErrno("open " + Path);
    }
    MakeRaw(Endpoint.LineFd_.Get(), Path, Speed, true);
    ::tcflush(Endpoint.LineFd_.Get(), TCIOFLUSH);
    return Endpoint;
}

TSerialEndpoint::TSerialEndpoint(TSerialEndpoint&& Other) noexcept
    : LineFd_(std::move(Other.LineFd_)),
      HeldSlaveFd_(std::move(Other.HeldSlaveFd_)),
      Path_(std::move(Other.Path_)),
      LinkPath_(std::exchange(Other.LinkPath_, {})),
      IsPseudoTerminal_(Other.IsPseudoTerminal_)
{}

TSerialEndpoint& TSerialEndpoint::operator=(TSerialEndpoint&& Other) noexcept
{
    if (this != &Other) {
        Close();
        LineFd_ = std::move(Other.LineFd_);
        HeldSlaveFd_ = std::move(Other.HeldSlaveFd_);
        Path_ = std::move(Other.Path_);
        LinkPath_ = std::exchange(Other.LinkPath_, {});
        IsPseudoTerminal_ = Other.IsPseudoTerminal_;
    }
    return *this;
}

TSerialEndpoint::~TSerialEndpoint()
{
    Close();
}

void TSerialEndpoint::Close()
{
    if (!LinkPath_.empty()) {
        RemoveLink(Path_, LinkPath_);
        LinkPath_.clear();
    }
    HeldSlaveFd_.Reset();
    LineFd_.Reset();
}

}  // namespace varnolink::sim

// SPDX-License-Identifier: MIT
#include "sim/serial_endpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace varnolink::sim {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct BaudConstant {
    unsigned rate;
    speed_t constant;
};

constexpr std::array kBaudConstants{
    BaudConstant{50, B50},         BaudConstant{75, B75},           BaudConstant{110, B110},
    BaudConstant{134, B134},       BaudConstant{150, B150},         BaudConstant{200, B200},
    BaudConstant{300, B300},       BaudConstant{600, B600},         BaudConstant{1200, B1200},
    BaudConstant{1800, B1800},     BaudConstant{2400, B2400},       BaudConstant{4800, B4800},
    BaudConstant{9600, B9600},     BaudConstant{19200, B19200},     BaudConstant{38400, B38400},
    BaudConstant{57600, B57600},   BaudConstant{115200, B115200},   BaudConstant{230400, B230400},
    BaudConstant{460800, B460800}, BaudConstant{500000, B500000},   BaudConstant{576000, B576000},
    BaudConstant{921600, B921600}, BaudConstant{1000000, B1000000}, BaudConstant{1152000, B1152000},
    BaudConstant{1500000, B1500000}, BaudConstant{2000000, B2000000}, BaudConstant{2500000, B2500000},
    BaudConstant{3000000, B3000000}, BaudConstant{3500000, B3500000}, BaudConstant{4000000, B4000000},
};

speed_t BaudConstantFor(unsigned baud) {
    for (const auto& entry : kBaudConstants) {
        if (entry.rate == baud) {
            return entry.constant;
        }
    }
    throw std::invalid_argument("not a standard baud rate: " + std::to_string(baud));
}

// Raw 8N1 without flow control; reads return whatever has arrived.
void MakeRaw(int fd, const std::string& path, speed_t speed, bool setSpeed) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        ThrowErrno("tcgetattr " + path);
    }
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD | CS8;
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (setSpeed && (::cfsetispeed(&settings, speed) != 0 || ::cfsetospeed(&settings, speed) != 0)) {
        ThrowErrno("cfsetspeed " + path);
    }
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        ThrowErrno("tcsetattr " + path);
    }
}

bool IsSymbolicLink(const std::string& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

void CreateLink(const std::string& target, const std::string& linkPath) {
    if (IsSymbolicLink(linkPath)) {
        if (::unlink(linkPath.c_str()) != 0) {
            ThrowErrno("unlink " + linkPath);
        }
    } else if (PathExists(linkPath)) {
        throw std::system_error(EEXIST, std::generic_category(), "not a symbolic link, left alone: " + linkPath);
    }
    if (::symlink(target.c_str(), linkPath.c_str()) != 0) {
        ThrowErrno("symlink " + linkPath);
    }
}

// Removes the link only while it still points at our slave, so that a link
// taken over by another simulator is left alone.
void RemoveLink(const std::string& target, const std::string& linkPath) {
    std::array<char, PATH_MAX> buffer{};
    const ssize_t length = ::readlink(linkPath.c_str(), buffer.data(), buffer.size() - 1);
    if (length > 0 && std::string(buffer.data(), static_cast<std::size_t>(length)) == target) {
        ::unlink(linkPath.c_str());
    }
}

}  // namespace

TSerialEndpoint TSerialEndpoint::CreatePseudoTerminal(const std::string& linkPath) {
    TSerialEndpoint endpoint;
    endpoint.IsPseudoTerminal_ = true;
    endpoint.LineFd_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!endpoint.LineFd_) {
        ThrowErrno("posix_openpt");
    }
    const int master = endpoint.LineFd_.Get();
    if (::grantpt(master) != 0) {
        ThrowErrno("grantpt");
    }
    if (::unlockpt(master) != 0) {
        ThrowErrno("unlockpt");
    }
    std::array<char, 128> name{};
    if (const int error = ::ptsname_r(master, name.data(), name.size()); error != 0) {
        errno = error;
        ThrowErrno("ptsname_r");
    }
    endpoint.Path_ = name.data();
    endpoint.HeldSlaveFd_.Reset(::open(endpoint.Path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!endpoint.HeldSlaveFd_) {
        ThrowErrno("open " + endpoint.Path_);
    }
    // A new slave is in cooked mode with echo on; that would send our own
    // replies back to us and turn CR into LF.
    MakeRaw(endpoint.HeldSlaveFd_.Get(), endpoint.Path_, B9600, false);
    if (::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        ThrowErrno("fcntl O_NONBLOCK");
    }
    if (!linkPath.empty()) {
        CreateLink(endpoint.Path_, linkPath);
        endpoint.LinkPath_ = linkPath;
    }
    return endpoint;
}

TSerialEndpoint TSerialEndpoint::OpenDevice(const std::string& path, unsigned baud) {
    const speed_t speed = BaudConstantFor(baud);
    TSerialEndpoint endpoint;
    endpoint.Path_ = path;
    endpoint.LineFd_.Reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!endpoint.LineFd_) {
        ThrowErrno("open " + path);
    }
    MakeRaw(endpoint.LineFd_.Get(), path, speed, true);
    ::tcflush(endpoint.LineFd_.Get(), TCIOFLUSH);
    return endpoint;
}

TSerialEndpoint::TSerialEndpoint(TSerialEndpoint&& other) noexcept
    : LineFd_(std::move(other.LineFd_)),
      HeldSlaveFd_(std::move(other.HeldSlaveFd_)),
      Path_(std::move(other.Path_)),
      LinkPath_(std::exchange(other.LinkPath_, {})),
      IsPseudoTerminal_(other.IsPseudoTerminal_) {}

TSerialEndpoint& TSerialEndpoint::operator=(TSerialEndpoint&& other) noexcept {
    if (this != &other) {
        Close();
        LineFd_ = std::move(other.LineFd_);
        HeldSlaveFd_ = std::move(other.HeldSlaveFd_);
        Path_ = std::move(other.Path_);
        LinkPath_ = std::exchange(other.LinkPath_, {});
        IsPseudoTerminal_ = other.IsPseudoTerminal_;
    }
    return *this;
}

TSerialEndpoint::~TSerialEndpoint() { Close(); }

void TSerialEndpoint::Close() {
    if (!LinkPath_.empty()) {
        RemoveLink(Path_, LinkPath_);
        LinkPath_.clear();
    }
    HeldSlaveFd_.Reset();
    LineFd_.Reset();
}

}  // namespace varnolink::sim

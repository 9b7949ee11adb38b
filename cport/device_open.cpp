// Obtaining and releasing the device: exclusive access, the saved line
// record, the eventfds of the device state.
#include "cport/device_state.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace cport {

int TCustomComPort::TDeviceState::Init() {
    if (int error = abort_fd.Init()) return error;
    tx_fd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!tx_fd) return errno;
    return rx.Init();
}

namespace {

[[noreturn]] void OpenFailed(int Error) { throw EComPort(CError_OpenFailed, Error); }

// Gives up the TIOCEXCL of a device whose open fails after it was taken.
class TExclusiveHold {
public:
    explicit TExclusiveHold(int Fd) : fd_(Fd) {}
    ~TExclusiveHold() {
        if (fd_ >= 0) ::ioctl(fd_, TIOCNXCL);
    }
    TExclusiveHold(const TExclusiveHold&) = delete;
    TExclusiveHold& operator=(const TExclusiveHold&) = delete;
    void Keep() { fd_ = -1; }

private:
    int fd_;
};

}  // namespace

// Exclusive read-write access to an existing terminal device. flock keeps
// out every other TComPort, in this process or another, root included;
// TIOCEXCL keeps out other programs that open the device without asking for
// a lock (root excepted). Input that was queued before the open is dropped.
void TCustomComPort::OpenDevice() {
    if (device_) return;
    const std::string path = DevicePathOf(port_);
    auto state = std::make_unique<TDeviceState>();
    state->fd.reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!state->fd) OpenFailed(errno);
    const int fd = state->fd.get();
    if (!::isatty(fd)) OpenFailed(errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) OpenFailed(errno);
    if (::ioctl(fd, TIOCEXCL) != 0) OpenFailed(errno);
    TExclusiveHold hold(fd);
    if (int error = ReadLineRecord(fd, state->original)) OpenFailed(error);
    if (::tcflush(fd, TCIFLUSH) != 0) OpenFailed(errno);
    if (int error = state->Init()) OpenFailed(error);
    // The driver's error counts from here on are this port's.
    if (const int error = ReadLineCounts(fd, state->counts))
        state->has_counts = !(error == ENOTTY || error == EINVAL);
    hold.Keep();
    device_ = std::move(state);
}

// Every transfer wait still running on another thread ends first; then the
// device gets back the line record (and low-latency flag) it had before the
// open, gives up its exclusive mode and is closed. Failures are not
// reported: the handle goes in any case.
void TCustomComPort::CloseDevice() {
    if (!device_) return;
    TDeviceState& device = *device_;
    device.abort_fd.Shutdown();
    device.rx.SetWatcher({});
    const int fd = device.fd.get();
    if (device.low_latency_set) {
        serial_struct serial{};
        if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags = device.original_serial_flags;
            ::ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
    RestoreLineRecord(fd, device.original);
    ::ioctl(fd, TIOCNXCL);
    device_.reset();
}

}  // namespace cport

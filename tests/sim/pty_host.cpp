// SPDX-License-Identifier: MIT
#include "tests/sim/pty_host.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace varnolink::sim::test {

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

int RemainingMs(TTestClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TTestClock::now());
    return static_cast<int>(std::max<long long>(0, left.count() + 1));
}

}  // namespace

TPtyHost::TPtyHost(const std::string& path)
    : Fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (!Fd_) {
        ThrowErrno("open " + path);
    }
    termios settings{};
    if (::tcgetattr(Fd_.Get(), &settings) != 0) {
        ThrowErrno("tcgetattr");
    }
    ::cfmakeraw(&settings);
    if (::tcsetattr(Fd_.Get(), TCSANOW, &settings) != 0) {
        ThrowErrno("tcsetattr");
    }
}

void TPtyHost::Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(Fd_.Get(), bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd ready{Fd_.Get(), POLLOUT, 0};
                ::poll(&ready, 1, 1000);
                continue;
            }
            ThrowErrno("write");
        }
        done += static_cast<std::size_t>(written);
    }
}

std::vector<ReceivedChunk> TPtyHost::ReadChunks(int lineEnds, std::chrono::milliseconds timeout, char terminator) {
    const auto deadline = TTestClock::now() + timeout;
    std::vector<ReceivedChunk> chunks;
    int seen = 0;
    while (seen < lineEnds) {
        pollfd ready{Fd_.Get(), POLLIN, 0};
        const int count = ::poll(&ready, 1, RemainingMs(deadline));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0 || TTestClock::now() > deadline) break;
        char buffer[256];
        const ssize_t got = ::read(Fd_.Get(), buffer, sizeof buffer);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) break;
        chunks.push_back({std::string(buffer, static_cast<std::size_t>(got)), TTestClock::now()});
        seen += static_cast<int>(std::count(buffer, buffer + got, terminator));
    }
    return chunks;
}

std::string TPtyHost::ReadLines(int lineEnds, std::chrono::milliseconds timeout, char terminator) {
    return Joined(ReadChunks(lineEnds, timeout, terminator));
}

std::string TPtyHost::ReadFor(std::chrono::milliseconds window) {
    return ReadLines(1'000'000, window);
}

bool TPtyHost::WaitForHangUp(std::chrono::milliseconds timeout) {
    const auto deadline = TTestClock::now() + timeout;
    for (;;) {
        pollfd ready{Fd_.Get(), POLLIN, 0};
        const int count = ::poll(&ready, 1, RemainingMs(deadline));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        if (ready.revents & (POLLHUP | POLLERR)) return true;
        char buffer[64];
        const ssize_t got = ::read(Fd_.Get(), buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno == EIO)) return true;
    }
}

std::string Joined(const std::vector<ReceivedChunk>& chunks) {
    std::string text;
    for (const auto& chunk : chunks) text += chunk.bytes;
    return text;
}

}  // namespace varnolink::sim::test

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

[[noreturn]] void ThrowErrno(const std::string& What)
{
    throw std::system_error(errno, std::generic_category(), What);
}

int RemainingMs(TTestClock::time_point Deadline)
{
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TTestClock::now());
    return static_cast<int>(std::max<long long>(0, Left.count() + 1));
}

}  // namespace

TPtyHost::TPtyHost(const std::string& Path) : Fd_(::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
{
    if (!Fd_) {
        ThrowErrno("open " + Path);
    }
    termios Settings{};
    if (::tcgetattr(Fd_.Get(), &Settings) != 0) {
        ThrowErrno("tcgetattr");
    }
    ::cfmakeraw(&Settings);
    if (::tcsetattr(Fd_.Get(), TCSANOW, &Settings) != 0) {
        ThrowErrno("tcsetattr");
    }
}

void TPtyHost::Write(const std::string& Bytes)
{
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t Written = ::write(Fd_.Get(), Bytes.data() + Done, Bytes.size() - Done);
        if (Written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd Ready{Fd_.Get(), POLLOUT, 0};
                ::poll(&Ready, 1, 1000);
                continue;
            }
            ThrowErrno("write");
        }
        Done += static_cast<std::size_t>(Written);
    }
}

std::vector<ReceivedChunk> TPtyHost::ReadChunks(int LineEnds, std::chrono::milliseconds Timeout, char Terminator)
{
    const auto Deadline = TTestClock::now() + Timeout;
    std::vector<ReceivedChunk> Chunks;
    int Seen = 0;
    while (Seen < LineEnds) {
        pollfd Ready{Fd_.Get(), POLLIN, 0};
        const int Count = ::poll(&Ready, 1, RemainingMs(Deadline));
        if (Count < 0 && errno == EINTR)
            continue;
        if (Count <= 0 || TTestClock::now() > Deadline)
            break;
        char Buffer[256];
        const ssize_t Got = ::read(Fd_.Get(), Buffer, sizeof Buffer);
        if (Got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (Got <= 0)
            break;
        Chunks.push_back({std::string(Buffer, static_cast<std::size_t>(Got)), TTestClock::now()});
        Seen += static_cast<int>(std::count(Buffer, Buffer + Got, Terminator));
    }
    return Chunks;
}

std::string TPtyHost::ReadLines(int LineEnds, std::chrono::milliseconds Timeout, char Terminator)
{
    return Joined(ReadChunks(LineEnds, Timeout, Terminator));
}

std::string TPtyHost::ReadFor(std::chrono::milliseconds Window)
{
    return ReadLines(1'000'000, Window);
}

bool TPtyHost::WaitForHangUp(std::chrono::milliseconds Timeout)
{
    const auto Deadline = TTestClock::now() + Timeout;
    for (;;) {
        pollfd Ready{Fd_.Get(), POLLIN, 0};
        const int Count = ::poll(&Ready, 1, RemainingMs(Deadline));
        if (Count < 0 && errno == EINTR)
            continue;
        if (Count <= 0)
            return false;
        if (Ready.revents & (POLLHUP | POLLERR))
            return true;
        char Buffer[64];
        const ssize_t Got = ::read(Fd_.Get(), Buffer, sizeof Buffer);
        if (Got == 0 || (Got < 0 && errno == EIO))
            return true;
    }
}

std::string Joined(const std::vector<ReceivedChunk>& Chunks)
{
    std::string Text;
    for (const auto& Chunk : Chunks)
        Text += Chunk.Bytes;
    return Text;
}

}  // namespace varnolink::sim::test

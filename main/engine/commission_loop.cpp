// SPDX-License-Identifier: MIT
// A commissioning run on the session loop: its half-second poll tick, the
// operator's Enter and the stop descriptor.
#include "main/engine/commission_loop.h"

#include <unistd.h>

#include <array>
#include <cerrno>

#include "main/engine/epoll_loop.h"

namespace varnolink {

namespace {

// Reads what the operator typed; the number of line ends, or -1 at its end.
int TakeLines(int Fd)
{
    std::array<char, 256> Buffer{};
    const ssize_t Got = ::read(Fd, Buffer.data(), Buffer.size());
    if (Got < 0)
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    if (Got == 0)
        return -1;
    int Lines = 0;
    for (ssize_t I = 0; I < Got; ++I)
        Lines += Buffer[static_cast<std::size_t>(I)] == '\n';
    return Lines;
}

}  // namespace

void RunCommissionLoop(TSeriesCommissioning& Series, int StopFd, int EnterFd)
{
    TEpollLoop Loop;
    bool PollNow = false;
    Loop.SetTick(TSeriesCommissioning::PollInterval, [&] { PollNow = true; });
    // The stop descriptor is never read: once it is readable the run ends.
    if (StopFd >= 0)
        Loop.WatchReadable(StopFd, [&] { Series.Stop(); });
    // Input that cannot be waited on never brings an Enter.
    bool EnterOpen = EnterFd >= 0 && Loop.WatchReadable(EnterFd, [&] {
        const int Lines = TakeLines(EnterFd);
        if (Lines < 0) {
            Loop.UnwatchReadable(EnterFd);
            EnterOpen = false;
        } else if (Lines > 0) {
            Series.NextModule();
            PollNow = true;
        }
    });

    Series.Poll();
    // Each round: the poll its tick or an Enter asked for, then whether the
    // run can go on.
    Loop.RunUntil([&] {
        if (PollNow && !Series.Finished()) {
            PollNow = false;
            Series.Poll();
        }
        if (Series.Finished())
            return true;
        if (!EnterOpen && Series.AwaitsOperator()) {
            Series.Stop();
            return true;
        }
        return false;
    });
}

}  // namespace varnolink

// SPDX-License-Identifier: MIT
// The report helpers of the event processing defined with the event thread,
// and the start and stop of the event thread within Open and Close.
#include "cport/com_thread.h"

#include <cerrno>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

namespace cport {

// The count is what is waiting at this moment, which may be more than the
// bytes that raised the event, or nothing if a handler has read them.
void TCustomComPort::ReportRxChar()
{
    int32_t Count = InputQueueCount();
    if (Count > 0 && !RxCharByCount_) {
        std::vector<unsigned char> Buffer(static_cast<size_t>(Count));
        const int32_t Read = ReadBytes(Buffer.data(), Count);
        NotifyRxBuf(Buffer.data(), Read);
        Count = 0;
    }
    if (Count > 0)
        NotifyRxChar(Count);
}

void TCustomComPort::ReportTxEmpty()
{
    NotifyTxEmpty();
}

void TCustomComPort::ReportRxFlag()
{
    NotifyRxFlag();
}

void TCustomComPort::StartEventThread()
{
    if (Events_.Empty()) {
        ThreadStarted_ = false;
        return;
    }
    try {
        EventThread_ = std::make_unique<TComThread>(this);
    } catch (const std::system_error& E) {
        // The thread, its eventfds, epoll or timer could not be had: opening failed.
        throw EComPort(CError_OpenFailed, E.code().value());
    } catch (const std::bad_alloc&) {
        throw EComPort(CError_OpenFailed, ENOMEM);
    }
    ThreadStarted_ = true;
}

// Waits for the thread's end while serving its hand-overs.
void TCustomComPort::StopEventThread()
{
    EventThread_.reset();
    ThreadStarted_ = false;
}

}  // namespace cport

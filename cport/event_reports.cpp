// SPDX-License-Identifier: MIT
// The report helpers of the event processing defined with the event thread,
// and the start and stop of the event thread within Open and Close.
#include "cport/com_thread.h"
#include "cport/event_receiver.h"

#include <cerrno>
#include <memory>
#include <new>
#include <system_error>
#include <vector>

namespace cport {

// The count is what is waiting at this moment, which may be more than the
// bytes that raised the event, or nothing if a handler has read them.
void TCustomComPort::ReportRxChar() {
    int32_t count = InputQueueCount();
    if (count > 0 && !rx_char_by_count_) {
        std::vector<unsigned char> buffer(static_cast<size_t>(count));
        const int32_t read = ReadBytes(buffer.data(), count);
        NotifyRxBuf(buffer.data(), read);
        count = 0;
    }
    if (count > 0) NotifyRxChar(count);
}

void TCustomComPort::ReportTxEmpty() { NotifyTxEmpty(); }

void TCustomComPort::ReportRxFlag() { NotifyRxFlag(); }

void TCustomComPort::StartEventThread() {
    if (events_.Empty()) {
        thread_started_ = false;
        return;
    }
    try {
        if (sync_method_ == smWindowSync) event_window_ = std::make_unique<TEventReceiver>(this);
        event_thread_ = std::make_unique<TComThread>(this);
    } catch (const EComPort&) {
        event_window_.reset();
        throw;
    } catch (const std::system_error& e) {
        // The thread, its eventfds, epoll or timer could not be had: opening failed.
        event_window_.reset();
        throw EComPort(CError_OpenFailed, e.code().value());
    } catch (const std::bad_alloc&) {
        event_window_.reset();
        throw EComPort(CError_OpenFailed, ENOMEM);
    }
    thread_started_ = true;
}

// Waits for the thread's end while serving its hand-overs; the receiver goes
// only after the thread, so every message sent to it is delivered or dropped.
void TCustomComPort::StopEventThread() {
    event_thread_.reset();
    thread_started_ = false;
    event_window_.reset();
}

}  // namespace cport

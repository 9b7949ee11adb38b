// SPDX-License-Identifier: MIT
// The per-port receiver of smWindowSync messages.
#include "cport/event_receiver.h"

#include "cport/com_thread.h"

#include <exception>
#include <utility>

namespace cport {

TEventReceiver::TEventReceiver(TCustomComPort* ComPort)
    : port_(ComPort), anchor_(std::make_shared<TAnchor>()) {
    anchor_->receiver = this;
}

TEventReceiver::~TEventReceiver() { anchor_->receiver = nullptr; }

std::function<void()> TEventReceiver::MessageTask(std::shared_ptr<TAnchor> Anchor, uint32_t Message,
                                                  uint32_t Param) {
    return [anchor = std::move(Anchor), Message, Param] {
        if (TEventReceiver* receiver = anchor->receiver) receiver->EventWindowProc(Message, Param);
    };
}

void TEventReceiver::EventWindowProc(uint32_t Message, uint32_t Param) {
    if (Message != EventMessage && Message != DeviceLostMessage) return;
    if (!port_->Connected()) return;   // messages for a closed port are dropped
    try {
        if (Message == DeviceLostMessage) {
            TComThread::ReportDeviceLost(*port_);
            return;
        }
        switch (Param) {
        case 0x0001: port_->ReportRxChar(); break;
        case 0x0002: port_->ReportRxFlag(); break;
        case 0x0004: port_->ReportTxEmpty(); break;
        case 0x0008: port_->ReportCTS(); break;
        case 0x0010: port_->ReportDSR(); break;
        case 0x0020: port_->ReportRLSD(); break;
        case 0x0040: port_->ReportBreak(); break;
        case 0x0080: port_->ReportLineErrors(); break;
        case 0x0100: port_->ReportRing(); break;
        case 0x0400: port_->ReportRx80Full(); break;
        default: break;
        }
    } catch (...) {
        ShowApplicationError(std::current_exception());
    }
}

}  // namespace cport

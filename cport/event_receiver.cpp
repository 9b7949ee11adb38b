// SPDX-License-Identifier: MIT
// The per-port receiver of smWindowSync messages.
#include "cport/event_receiver.h"

#include "cport/com_thread.h"

#include <exception>
#include <utility>

namespace cport {

TEventReceiver::TEventReceiver(TCustomComPort* ComPort) : Port_(ComPort), Anchor_(std::make_shared<TAnchor>())
{
    Anchor_->Receiver = this;
}

TEventReceiver::~TEventReceiver()
{
    Anchor_->Receiver = nullptr;
}

std::function<void()> TEventReceiver::MessageTask(std::shared_ptr<TAnchor> Anchor, uint32_t Message, uint32_t Param)
{
    return [Anchor = std::move(Anchor), Message, Param] {
        if (TEventReceiver* Receiver = Anchor->Receiver)
            Receiver->EventWindowProc(Message, Param);
    };
}

void TEventReceiver::EventWindowProc(uint32_t Message, uint32_t Param)
{
    if (Message != EventMessage && Message != DeviceLostMessage)
        return;
    if (!Port_->Connected())
        return;  // messages for a closed port are dropped
    try {
        if (Message == DeviceLostMessage) {
            TComThread::ReportDeviceLost(*Port_);
            return;
        }
        switch (Param) {
        case 0x0001:
            Port_->ReportRxChar();
            break;
        case 0x0002:
            Port_->ReportRxFlag();
            break;
        case 0x0004:
            Port_->ReportTxEmpty();
            break;
        case 0x0008:
            Port_->ReportCTS();
            break;
        case 0x0010:
            Port_->ReportDSR();
            break;
        case 0x0020:
            Port_->ReportRLSD();
            break;
        case 0x0040:
            Port_->ReportBreak();
            break;
        case 0x0080:
            Port_->ReportLineErrors();
            break;
        case 0x0100:
            Port_->ReportRing();
            break;
        case 0x0400:
            Port_->ReportRx80Full();
            break;
        default:
            break;
        }
    } catch (...) {
        ShowApplicationError(std::current_exception());
    }
}

}  // namespace cport

// SPDX-License-Identifier: MIT
// The module's serial line settings applied to a port.
#include "main/engine/module_line_settings.h"

namespace varnolink {

namespace {

// One Assign, so that an open port takes the whole RS-485 setup at once.
void ApplyRs485Choice(cport::TComPort& Port, const std::optional<TRs485Choice>& Choice)
{
    cport::TComRs485 Rs485;
    if (Choice) {
        Rs485.SetEnabled(true);
        Rs485.SetRtsOnSend(Choice->RtsOnSend);
        Rs485.SetRtsAfterSend(Choice->RtsAfterSend);
        Rs485.SetDelayBeforeSendMs(Choice->DelayBeforeSendMs);
        Rs485.SetDelayAfterSendMs(Choice->DelayAfterSendMs);
        Rs485.SetRxDuringTx(Choice->RxDuringTx);
    }
    Port.SetRs485(&Rs485);
}

}  // namespace

cport::TBaudRate ModuleLineRate(int Baud)
{
    for (auto Rate = static_cast<int>(cport::br110); Rate <= static_cast<int>(cport::br256000); ++Rate)
        if (cport::BaudRateToInt(static_cast<cport::TBaudRate>(Rate)) == Baud)
            return static_cast<cport::TBaudRate>(Rate);
    return cport::br9600;
}

void ApplyModuleLineSettings(cport::TComPort& Port, const std::optional<TRs485Choice>& Rs485)
{
    Port.SetBaudRate(cport::br9600);
    Port.SetDataBits(cport::dbEight);
    Port.SetStopBits(cport::sbOneStopBit);
    Port.Parity().SetBits(cport::prNone);
    cport::TComFlowControl& Flow = Port.FlowControl();
    Flow.SetOutCTSFlow(false);
    Flow.SetOutDSRFlow(false);
    Flow.SetControlDTR(cport::dtrDisable);
    Flow.SetControlRTS(cport::rtsDisable);
    Flow.SetXonXoffOut(false);
    Flow.SetXonXoffIn(false);
    ApplyRs485Choice(Port, Rs485);
}

}  // namespace varnolink

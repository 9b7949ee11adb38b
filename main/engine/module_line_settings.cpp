// SPDX-License-Identifier: MIT
// The module's serial line settings applied to a port.
#include "main/engine/module_line_settings.h"

namespace varnolink {

void ApplyModuleLineSettings(cport::TComPort& Port)
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
}

}  // namespace varnolink

// SPDX-License-Identifier: MIT
// Each notifier calls its published handler, if one is assigned, with this
// port as Sender. Subclasses override them to react without a handler.
#include "cport/comport.h"

namespace cport {

void TCustomComPort::NotifyAfterClose()
{
    if (OnAfterClose)
        OnAfterClose(this);
}
void TCustomComPort::NotifyAfterOpen()
{
    if (OnAfterOpen)
        OnAfterOpen(this);
}
void TCustomComPort::NotifyBeforeClose()
{
    if (OnBeforeClose)
        OnBeforeClose(this);
}
void TCustomComPort::NotifyBeforeOpen()
{
    if (OnBeforeOpen)
        OnBeforeOpen(this);
}
void TCustomComPort::NotifyRxChar(int32_t Count)
{
    if (OnRxChar)
        OnRxChar(this, Count);
}
void TCustomComPort::NotifyRxBuf(const void* Buffer, int32_t Count)
{
    if (OnRxBuf)
        OnRxBuf(this, Buffer, Count);
}
void TCustomComPort::NotifyTxEmpty()
{
    if (OnTxEmpty)
        OnTxEmpty(this);
}
void TCustomComPort::NotifyBreak()
{
    if (OnBreak)
        OnBreak(this);
}
void TCustomComPort::NotifyRing()
{
    if (OnRing)
        OnRing(this);
}
void TCustomComPort::NotifyRxFlag()
{
    if (OnRxFlag)
        OnRxFlag(this);
}
void TCustomComPort::NotifyCTSChange(bool OnOff)
{
    if (OnCTSChange)
        OnCTSChange(this, OnOff);
}
void TCustomComPort::NotifyDSRChange(bool OnOff)
{
    if (OnDSRChange)
        OnDSRChange(this, OnOff);
}
void TCustomComPort::NotifyError(TComErrors Errors)
{
    if (OnError)
        OnError(this, Errors);
}
void TCustomComPort::NotifyRLSDChange(bool OnOff)
{
    if (OnRLSDChange)
        OnRLSDChange(this, OnOff);
}
void TCustomComPort::NotifyRx80Full()
{
    if (OnRx80Full)
        OnRx80Full(this);
}

}  // namespace cport

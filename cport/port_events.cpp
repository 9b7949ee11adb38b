// SPDX-License-Identifier: MIT
// Events: the processing order with each event's mask flag and report, the
// report helpers, and the notifiers that call the published handlers.
#include "cport/com_thread.h"
#include "cport/comport.h"

#include <vector>

namespace cport {

const std::array<TEventEntry, 10> EventTable = {{
    {evError, 0x0080, &TCustomComPort::ReportLineErrors},
    {evRxChar, 0x0001, &TCustomComPort::ReportRxChar},
    {evTxEmpty, 0x0004, &TCustomComPort::ReportTxEmpty},
    {evBreak, 0x0040, &TCustomComPort::ReportBreak},
    {evRing, 0x0100, &TCustomComPort::ReportRing},
    {evCTS, 0x0008, &TCustomComPort::ReportCTS},
    {evDSR, 0x0010, &TCustomComPort::ReportDSR},
    {evRxFlag, 0x0002, &TCustomComPort::ReportRxFlag},
    {evRLSD, 0x0020, &TCustomComPort::ReportRLSD},
    {evRx80Full, 0x0400, &TCustomComPort::ReportRx80Full},
}};

uint32_t EventsToMask(TComEvents Events)
{
    uint32_t Mask = 0;
    for (const TEventEntry& Entry : EventTable)
        if (Events.Contains(Entry.Event))
            Mask |= Entry.Flag;
    return Mask;
}

TComEvents MaskToEvents(uint32_t Mask)
{
    TComEvents Events;
    for (const TEventEntry& Entry : EventTable)
        if ((Mask & Entry.Flag) != 0)
            Events.Include(Entry.Event);
    return Events;
}

void TComThread::ProcessEvents(TCustomComPort& ComPort, TComEvents Pending, const std::atomic<bool>& Stopped)
{
    for (const TEventEntry& Step : EventTable) {
        if (!Pending.Contains(Step.Event))
            continue;
        if (Stopped.load())
            return;  // a handler has closed the port
        (ComPort.*Step.Report)();
    }
}

void TComThread::ReportDeviceLost(TCustomComPort& ComPort)
{
    ComPort.NotifyError(TComErrors{leIOError});
}

// ---------------------------------------------------------------------------
// The report helpers: what each event reports, through the notifiers.

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

void TCustomComPort::ReportCTS()
{
    NotifyCTSChange(ModemSignals().Contains(lsCTS));
}
void TCustomComPort::ReportDSR()
{
    NotifyDSRChange(ModemSignals().Contains(lsDSR));
}
void TCustomComPort::ReportRLSD()
{
    NotifyRLSDChange(ModemSignals().Contains(lsRLSD));
}

void TCustomComPort::ReportLineErrors()
{
    const TComErrors Errors = TakeLineErrors();
    if (!Errors.Empty())
        NotifyError(Errors);
}

void TCustomComPort::ReportRing()
{
    NotifyRing();
}
void TCustomComPort::ReportBreak()
{
    NotifyBreak();
}
void TCustomComPort::ReportRx80Full()
{
    NotifyRx80Full();
}

// ---------------------------------------------------------------------------
// Each notifier calls its published handler, if one is assigned, with this
// port as Sender. Subclasses override them to react without a handler.

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

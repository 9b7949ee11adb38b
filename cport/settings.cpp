// SPDX-License-Identifier: MIT
// The five settings objects of a port. A changed field is stored and, when
// the object belongs to a port, handed to the port's apply operation for its
// group; the apply operation itself decides whether a device is touched
// (only when the port is open and not loading). An unchanged value does
// nothing at all.
#include "cport/changed_setting.h"
#include "cport/comport.h"

namespace cport {

namespace {

// A positive odd queue size is kept one less (an even number of bytes).
int32_t RoundedBufferSize(int32_t Value)
{
    return (Value > 0 && Value % 2 != 0) ? Value - 1 : Value;
}

// The Assign check: Source must be an instance of Target's class.
template <typename Settings>
const Settings& AssignSource(const TPersistent* Source, const Settings& Target)
{
    const auto* Same = dynamic_cast<const Settings*>(Source);
    if (Same == nullptr) {
        throw EConvertError(std::string("Cannot assign a ") + (Source != nullptr ? Source->ClassName() : "nil") +
                            " to a " + Target.ClassName());
    }
    return *Same;
}

constexpr auto ApplyLine = &TCustomComPort::ApplyLineSettings;
constexpr auto ApplyTimeouts = &TCustomComPort::ApplyTimeoutSettings;
constexpr auto ApplyRs485 = &TCustomComPort::ApplyRs485Settings;

}  // namespace

// --- TComParity -------------------------------------------------------------

void TComParity::Assign(const TPersistent* Source)
{
    const TComParity& From = AssignSource(Source, *this);
    Bits_ = From.Bits_;
    Check_ = From.Check_;
    Replace_ = From.Replace_;
    ReplaceChar_ = From.ReplaceChar_;
    if (Port_ != nullptr)
        Port_->ApplyLineSettings();
}

void TComParity::SetBits(TParityBits Value)
{
    StoreChanged(Bits_, Value, Port_, ApplyLine);
}
void TComParity::SetCheck(bool Value)
{
    StoreChanged(Check_, Value, Port_, ApplyLine);
}
void TComParity::SetReplace(bool Value)
{
    StoreChanged(Replace_, Value, Port_, ApplyLine);
}
void TComParity::SetReplaceChar(char Value)
{
    StoreChanged(ReplaceChar_, Value, Port_, ApplyLine);
}

// --- TComFlowControl --------------------------------------------------------

void TComFlowControl::Assign(const TPersistent* Source)
{
    const TComFlowControl& From = AssignSource(Source, *this);
    OutCts_ = From.OutCts_;
    OutDsr_ = From.OutDsr_;
    Dtr_ = From.Dtr_;
    Rts_ = From.Rts_;
    XonOut_ = From.XonOut_;
    XonIn_ = From.XonIn_;
    DsrSens_ = From.DsrSens_;
    TxContinue_ = From.TxContinue_;
    XonChar_ = From.XonChar_;
    XoffChar_ = From.XoffChar_;
    if (Port_ != nullptr)
        Port_->ApplyLineSettings();
}

// Only RTS control, CTS output flow and the two XON/XOFF switches decide the
// preset; DSR flow, DTR control, DSR sensitivity and the characters do not.
TFlowControl TComFlowControl::FlowControl() const
{
    if (Rts_ == rtsHandshake && OutCts_ && !XonIn_ && !XonOut_)
        return fcHardware;
    if (Rts_ == rtsDisable && !OutCts_ && XonIn_ && XonOut_)
        return fcSoftware;
    if (Rts_ == rtsDisable && !OutCts_ && !XonIn_ && !XonOut_)
        return fcNone;
    return fcCustom;
}

// Sets the four deciding fields together and applies the line settings once,
// even for fcCustom (which changes nothing) and for the preset already in force.
void TComFlowControl::SetFlowControl(TFlowControl Value)
{
    if (Value != fcCustom) {
        Rts_ = rtsDisable;
        OutCts_ = false;
        XonIn_ = false;
        XonOut_ = false;
        if (Value == fcHardware) {
            Rts_ = rtsHandshake;
            OutCts_ = true;
        } else if (Value == fcSoftware) {
            XonIn_ = true;
            XonOut_ = true;
        }
    }
    if (Port_ != nullptr)
        Port_->ApplyLineSettings();
}

void TComFlowControl::SetOutCTSFlow(bool Value)
{
    StoreChanged(OutCts_, Value, Port_, ApplyLine);
}
void TComFlowControl::SetOutDSRFlow(bool Value)
{
    StoreChanged(OutDsr_, Value, Port_, ApplyLine);
}
void TComFlowControl::SetControlDTR(TDTRFlowControl Value)
{
    StoreChanged(Dtr_, Value, Port_, ApplyLine);
}
void TComFlowControl::SetControlRTS(TRTSFlowControl Value)
{
    StoreChanged(Rts_, Value, Port_, ApplyLine);
}
void TComFlowControl::SetXonXoffOut(bool Value)
{
    StoreChanged(XonOut_, Value, Port_, ApplyLine);
}
void TComFlowControl::SetXonXoffIn(bool Value)
{
    StoreChanged(XonIn_, Value, Port_, ApplyLine);
}
void TComFlowControl::SetDSRSensitivity(bool Value)
{
    StoreChanged(DsrSens_, Value, Port_, ApplyLine);
}
void TComFlowControl::SetTxContinueOnXoff(bool Value)
{
    StoreChanged(TxContinue_, Value, Port_, ApplyLine);
}
void TComFlowControl::SetXonChar(char Value)
{
    StoreChanged(XonChar_, Value, Port_, ApplyLine);
}
void TComFlowControl::SetXoffChar(char Value)
{
    StoreChanged(XoffChar_, Value, Port_, ApplyLine);
}

// --- TComTimeouts -----------------------------------------------------------

void TComTimeouts::Assign(const TPersistent* Source)
{
    const TComTimeouts& From = AssignSource(Source, *this);
    ReadInterval_ = From.ReadInterval_;
    ReadMultiplier_ = From.ReadMultiplier_;
    ReadConstant_ = From.ReadConstant_;
    WriteMultiplier_ = From.WriteMultiplier_;
    WriteConstant_ = From.WriteConstant_;
    if (Port_ != nullptr)
        Port_->ApplyTimeoutSettings();
}

void TComTimeouts::SetReadInterval(int32_t Value)
{
    StoreChanged(ReadInterval_, Value, Port_, ApplyTimeouts);
}
void TComTimeouts::SetReadTotalMultiplier(int32_t Value)
{
    StoreChanged(ReadMultiplier_, Value, Port_, ApplyTimeouts);
}
void TComTimeouts::SetReadTotalConstant(int32_t Value)
{
    StoreChanged(ReadConstant_, Value, Port_, ApplyTimeouts);
}
void TComTimeouts::SetWriteTotalMultiplier(int32_t Value)
{
    StoreChanged(WriteMultiplier_, Value, Port_, ApplyTimeouts);
}
void TComTimeouts::SetWriteTotalConstant(int32_t Value)
{
    StoreChanged(WriteConstant_, Value, Port_, ApplyTimeouts);
}

// --- TComBuffer -------------------------------------------------------------

void TComBuffer::Assign(const TPersistent* Source)
{
    const TComBuffer& From = AssignSource(Source, *this);
    InputSize_ = From.InputSize_;
    OutputSize_ = From.OutputSize_;
    if (Port_ != nullptr)
        Port_->ApplyBufferSizes();
}

// The new value is compared with the stored one before rounding, so setting
// 1025 over a stored 1024 still counts as a change and is applied.
void TComBuffer::SetInputSize(int32_t Value)
{
    if (Value == InputSize_)
        return;
    InputSize_ = RoundedBufferSize(Value);
    if (Port_ != nullptr)
        Port_->ApplyBufferSizes();
}

void TComBuffer::SetOutputSize(int32_t Value)
{
    if (Value == OutputSize_)
        return;
    OutputSize_ = RoundedBufferSize(Value);
    if (Port_ != nullptr)
        Port_->ApplyBufferSizes();
}

// --- TComRs485 --------------------------------------------------------------

void TComRs485::Assign(const TPersistent* Source)
{
    const TComRs485& From = AssignSource(Source, *this);
    Enabled_ = From.Enabled_;
    RtsOnSend_ = From.RtsOnSend_;
    RtsAfterSend_ = From.RtsAfterSend_;
    DelayBefore_ = From.DelayBefore_;
    DelayAfter_ = From.DelayAfter_;
    RxDuringTx_ = From.RxDuringTx_;
    if (Port_ != nullptr)
        Port_->ApplyRs485Settings();
}

void TComRs485::SetEnabled(bool Value)
{
    StoreChanged(Enabled_, Value, Port_, ApplyRs485);
}
void TComRs485::SetRtsOnSend(bool Value)
{
    StoreChanged(RtsOnSend_, Value, Port_, ApplyRs485);
}
void TComRs485::SetRtsAfterSend(bool Value)
{
    StoreChanged(RtsAfterSend_, Value, Port_, ApplyRs485);
}
void TComRs485::SetDelayBeforeSendMs(int32_t Value)
{
    StoreChanged(DelayBefore_, Value, Port_, ApplyRs485);
}
void TComRs485::SetDelayAfterSendMs(int32_t Value)
{
    StoreChanged(DelayAfter_, Value, Port_, ApplyRs485);
}
void TComRs485::SetRxDuringTx(bool Value)
{
    StoreChanged(RxDuringTx_, Value, Port_, ApplyRs485);
}

}  // namespace cport

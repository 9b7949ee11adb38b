// SPDX-License-Identifier: MIT
// The four settings objects of a port. A changed field is stored and, when
// the object belongs to a port, handed to the port's apply operation for its
// group; the apply operation itself decides whether a device is touched
// (only when the port is open and not loading). An unchanged value does
// nothing at all.
#include "cport/changed_setting.h"
#include "cport/comport.h"

namespace cport {

namespace {

// A positive odd queue size is kept one less (an even number of bytes).
int32_t RoundedBufferSize(int32_t Value) {
    return (Value > 0 && Value % 2 != 0) ? Value - 1 : Value;
}

// The Assign check: Source must be an instance of Target's class.
template <typename Settings>
const Settings& AssignSource(const TPersistent* Source, const Settings& Target) {
    const auto* source = dynamic_cast<const Settings*>(Source);
    if (source == nullptr) {
        throw EConvertError(std::string("Cannot assign a ") +
                            (Source != nullptr ? Source->ClassName() : "nil") + " to a " +
                            Target.ClassName());
    }
    return *source;
}

constexpr auto kLine = &TCustomComPort::ApplyLineSettings;
constexpr auto kTimeouts = &TCustomComPort::ApplyTimeoutSettings;

}  // namespace

// --- TComParity -------------------------------------------------------------

void TComParity::Assign(const TPersistent* Source) {
    const TComParity& source = AssignSource(Source, *this);
    bits_ = source.bits_;
    check_ = source.check_;
    replace_ = source.replace_;
    replace_char_ = source.replace_char_;
    if (port_ != nullptr) port_->ApplyLineSettings();
}

void TComParity::SetBits(TParityBits Value) { StoreChanged(bits_, Value, port_, kLine); }
void TComParity::SetCheck(bool Value) { StoreChanged(check_, Value, port_, kLine); }
void TComParity::SetReplace(bool Value) { StoreChanged(replace_, Value, port_, kLine); }
void TComParity::SetReplaceChar(char Value) { StoreChanged(replace_char_, Value, port_, kLine); }

// --- TComFlowControl --------------------------------------------------------

void TComFlowControl::Assign(const TPersistent* Source) {
    const TComFlowControl& source = AssignSource(Source, *this);
    out_cts_ = source.out_cts_;
    out_dsr_ = source.out_dsr_;
    dtr_ = source.dtr_;
    rts_ = source.rts_;
    xon_out_ = source.xon_out_;
    xon_in_ = source.xon_in_;
    dsr_sens_ = source.dsr_sens_;
    tx_continue_ = source.tx_continue_;
    xon_char_ = source.xon_char_;
    xoff_char_ = source.xoff_char_;
    if (port_ != nullptr) port_->ApplyLineSettings();
}

// Only RTS control, CTS output flow and the two XON/XOFF switches decide the
// preset; DSR flow, DTR control, DSR sensitivity and the characters do not.
TFlowControl TComFlowControl::FlowControl() const {
    if (rts_ == rtsHandshake && out_cts_ && !xon_in_ && !xon_out_) return fcHardware;
    if (rts_ == rtsDisable && !out_cts_ && xon_in_ && xon_out_) return fcSoftware;
    if (rts_ == rtsDisable && !out_cts_ && !xon_in_ && !xon_out_) return fcNone;
    return fcCustom;
}

// Sets the four deciding fields together and applies the line settings once,
// even for fcCustom (which changes nothing) and for the preset already in force.
void TComFlowControl::SetFlowControl(TFlowControl Value) {
    if (Value != fcCustom) {
        rts_ = rtsDisable;
        out_cts_ = false;
        xon_in_ = false;
        xon_out_ = false;
        if (Value == fcHardware) {
            rts_ = rtsHandshake;
            out_cts_ = true;
        } else if (Value == fcSoftware) {
            xon_in_ = true;
            xon_out_ = true;
        }
    }
    if (port_ != nullptr) port_->ApplyLineSettings();
}

void TComFlowControl::SetOutCTSFlow(bool Value) { StoreChanged(out_cts_, Value, port_, kLine); }
void TComFlowControl::SetOutDSRFlow(bool Value) { StoreChanged(out_dsr_, Value, port_, kLine); }
void TComFlowControl::SetControlDTR(TDTRFlowControl Value) { StoreChanged(dtr_, Value, port_, kLine); }
void TComFlowControl::SetControlRTS(TRTSFlowControl Value) { StoreChanged(rts_, Value, port_, kLine); }
void TComFlowControl::SetXonXoffOut(bool Value) { StoreChanged(xon_out_, Value, port_, kLine); }
void TComFlowControl::SetXonXoffIn(bool Value) { StoreChanged(xon_in_, Value, port_, kLine); }
void TComFlowControl::SetDSRSensitivity(bool Value) { StoreChanged(dsr_sens_, Value, port_, kLine); }
void TComFlowControl::SetTxContinueOnXoff(bool Value) { StoreChanged(tx_continue_, Value, port_, kLine); }
void TComFlowControl::SetXonChar(char Value) { StoreChanged(xon_char_, Value, port_, kLine); }
void TComFlowControl::SetXoffChar(char Value) { StoreChanged(xoff_char_, Value, port_, kLine); }

// --- TComTimeouts -----------------------------------------------------------

void TComTimeouts::Assign(const TPersistent* Source) {
    const TComTimeouts& source = AssignSource(Source, *this);
    read_interval_ = source.read_interval_;
    read_multiplier_ = source.read_multiplier_;
    read_constant_ = source.read_constant_;
    write_multiplier_ = source.write_multiplier_;
    write_constant_ = source.write_constant_;
    if (port_ != nullptr) port_->ApplyTimeoutSettings();
}

void TComTimeouts::SetReadInterval(int32_t Value) { StoreChanged(read_interval_, Value, port_, kTimeouts); }
void TComTimeouts::SetReadTotalMultiplier(int32_t Value) { StoreChanged(read_multiplier_, Value, port_, kTimeouts); }
void TComTimeouts::SetReadTotalConstant(int32_t Value) { StoreChanged(read_constant_, Value, port_, kTimeouts); }
void TComTimeouts::SetWriteTotalMultiplier(int32_t Value) { StoreChanged(write_multiplier_, Value, port_, kTimeouts); }
void TComTimeouts::SetWriteTotalConstant(int32_t Value) { StoreChanged(write_constant_, Value, port_, kTimeouts); }

// --- TComBuffer -------------------------------------------------------------

void TComBuffer::Assign(const TPersistent* Source) {
    const TComBuffer& source = AssignSource(Source, *this);
    input_size_ = source.input_size_;
    output_size_ = source.output_size_;
    if (port_ != nullptr) port_->ApplyBufferSizes();
}

// The new value is compared with the stored one before rounding, so setting
// 1025 over a stored 1024 still counts as a change and is applied.
void TComBuffer::SetInputSize(int32_t Value) {
    if (Value == input_size_) return;
    input_size_ = RoundedBufferSize(Value);
    if (port_ != nullptr) port_->ApplyBufferSizes();
}

void TComBuffer::SetOutputSize(int32_t Value) {
    if (Value == output_size_) return;
    output_size_ = RoundedBufferSize(Value);
    if (port_ != nullptr) port_->ApplyBufferSizes();
}

}  // namespace cport

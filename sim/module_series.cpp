// SPDX-License-Identifier: MIT
#include "sim/module_series.h"

namespace varnolink::sim {

namespace {

// Every code the host can write: the Remote ID, the baud rate and the ten
// port bytes. A module counts as configured once all of them are written.
constexpr std::size_t WritableCodes = 1 + 1 + 2 * PortCount;

constexpr int FaultyCode = CodeFirstDirection;  // P0 direction

}  // namespace

bool TModuleSeries::Attach(TClock::time_point Now, TModuleState& State)
{
    if (!Options_.Enabled || Attached_) {
        return true;
    }
    if (Now < NextArrives_) {
        return false;
    }
    ++Module_;
    Attached_ = true;
    Writes_ = 0;
    Written_.clear();
    Verified_.clear();
    State.RestoreFactorySettings();
    return true;
}

void TModuleSeries::Shape(std::string_view Frame, TClock::time_point Now, TModuleAnswer& Answer, TModuleState& State)
{
    if (!Options_.Enabled) {
        return;
    }
    const auto Request = ParseRequest(Frame);
    if (!Request) {
        return;
    }
    if (Request->Write) {
        ++Writes_;
        if (Module_ == Options_.SilentModule && Writes_ > SilentModuleAnsweredWrites) {
            // Dead half-way: the write may have landed, but no reply comes,
            // now or ever; the operator unplugs it.
            Answer.Outcome = TRequestOutcome::Silenced;
            Answer.Line.clear();
            Unplug(Now);
            return;
        }
    }
    if (Answer.Outcome != TRequestOutcome::Answered) {
        return;
    }
    const int Code = Request->Code;
    if (Request->Write && Code == FaultyCode && Module_ == Options_.FaultyModule) {
        std::uint8_t& Stored = State.PortByte(Code);
        Stored ^= 0x01;
        Answer.Line = StandardReplyLine(Code, HexByte(Stored));
    }
    if (Request->Write && Code != CodeSaveToDefault) {
        Written_.insert(Code);
        Verified_.erase(Code);
    } else if (!Request->Write && Written_.contains(Code)) {
        Verified_.insert(Code);
    }
    if (Written_.size() == WritableCodes && Verified_ == Written_) {
        Unplug(Now);
    }
}

std::size_t TModuleSeries::ModuleNumber(TClock::time_point Now) const
{
    if (Attached_) {
        return Module_;
    }
    return Now < NextArrives_ ? 0 : Module_ + 1;
}

void TModuleSeries::Unplug(TClock::time_point Now)
{
    Attached_ = false;
    NextArrives_ = Now + Options_.Gap;
}

}  // namespace varnolink::sim

// SPDX-License-Identifier: MIT
#include "sim/module_series.h"

namespace varnolink::sim {

namespace {

// Every code the host can write: the Remote ID, the baud rate and the ten
// port bytes. A module counts as configured once all of them are written.
constexpr std::size_t kWritableCodes = 1 + 1 + 2 * kPortCount;

constexpr int kFaultyCode = kCodeFirstDirection;  // P0 direction

}  // namespace

bool TModuleSeries::Attach(TClock::time_point now, ModuleState& state) {
    if (!Options_.enabled || Attached_) {
        return true;
    }
    if (now < NextArrives_) {
        return false;
    }
    ++Module_;
    Attached_ = true;
    Writes_ = 0;
    Written_.clear();
    Verified_.clear();
    state.RestoreFactorySettings();
    return true;
}

void TModuleSeries::Shape(std::string_view frame, TClock::time_point now, ModuleAnswer& answer,
                          ModuleState& state) {
    if (!Options_.enabled) {
        return;
    }
    const auto request = ParseRequest(frame);
    if (!request) {
        return;
    }
    if (request->write) {
        ++Writes_;
        if (Module_ == Options_.silentModule && Writes_ > kSilentModuleAnsweredWrites) {
            // Dead half-way: the write may have landed, but no reply comes,
            // now or ever; the operator unplugs it.
            answer.outcome = RequestOutcome::kSilenced;
            answer.line.clear();
            Unplug(now);
            return;
        }
    }
    if (answer.outcome != RequestOutcome::kAnswered) {
        return;
    }
    const int code = request->code;
    if (request->write && code == kFaultyCode && Module_ == Options_.faultyModule) {
        std::uint8_t& stored = state.PortByte(code);
        stored ^= 0x01;
        answer.line = StandardReplyLine(code, HexByte(stored));
    }
    if (request->write && code != kCodeSaveToDefault) {
        Written_.insert(code);
        Verified_.erase(code);
    } else if (!request->write && Written_.contains(code)) {
        Verified_.insert(code);
    }
    if (Written_.size() == kWritableCodes && Verified_ == Written_) {
        Unplug(now);
    }
}

std::size_t TModuleSeries::ModuleNumber(TClock::time_point now) const {
    if (Attached_) {
        return Module_;
    }
    return now < NextArrives_ ? 0 : Module_ + 1;
}

void TModuleSeries::Unplug(TClock::time_point now) {
    Attached_ = false;
    NextArrives_ = now + Options_.gap;
}

}  // namespace varnolink::sim

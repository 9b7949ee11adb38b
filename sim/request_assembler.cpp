// SPDX-License-Identifier: MIT
#include "sim/request_assembler.h"

#include <utility>

namespace varnolink::sim {

void TRequestAssembler::Feed(std::string_view bytes, TClock::time_point at, std::vector<ReceivedFrame>& out) {
    for (char byte : bytes) {
        if (State_ == EState::kAfterCarriageReturn) {
            if (byte == '\n') {
                Frame_.bytes.push_back(byte);
                Complete(at, out);
                continue;
            }
            Complete(at, out);
        }
        TakeByte(byte, at);
    }
}

void TRequestAssembler::FinishWithoutLineFeed(TClock::time_point at, std::vector<ReceivedFrame>& out) {
    if (State_ == EState::kAfterCarriageReturn) {
        Complete(at, out);
    }
}

void TRequestAssembler::Complete(TClock::time_point at, std::vector<ReceivedFrame>& out) {
    Frame_.completedAt = at;
    out.push_back(std::move(Frame_));
    Frame_ = ReceivedFrame{};
    State_ = EState::kHunting;
}

void TRequestAssembler::TakeByte(char byte, TClock::time_point at) {
    if (byte == '*') {
        // A new frame starts here, whatever was being collected.
        DiscardedBytes_ += Frame_.bytes.size();
        Frame_.bytes.assign(1, byte);
        Frame_.firstByteAt = at;
        State_ = EState::kInFrame;
        return;
    }
    if (State_ == EState::kHunting) {
        ++DiscardedBytes_;
        return;
    }
    Frame_.bytes.push_back(byte);
    if (byte == '\r') {
        State_ = EState::kAfterCarriageReturn;
        CarriageReturnAt_ = at;
    } else if (Frame_.bytes.size() >= MaxFrameLength_) {
        DiscardedBytes_ += Frame_.bytes.size();
        Frame_.bytes.clear();
        State_ = EState::kHunting;
    }
}

}  // namespace varnolink::sim

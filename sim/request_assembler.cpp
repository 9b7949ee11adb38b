// SPDX-License-Identifier: MIT
#include "sim/request_assembler.h"

#include <utility>

namespace varnolink::sim {

void TRequestAssembler::Feed(std::string_view Bytes, TClock::time_point At, std::vector<TReceivedFrame>& Out)
{
    for (char Byte : Bytes) {
        if (State_ == EState::AfterCarriageReturn) {
            if (Byte == '\n') {
                Frame_.Bytes.push_back(Byte);
                Complete(At, Out);
                continue;
            }
            Complete(At, Out);
        }
        TakeByte(Byte, At);
    }
}

void TRequestAssembler::FinishWithoutLineFeed(TClock::time_point At, std::vector<TReceivedFrame>& Out)
{
    if (State_ == EState::AfterCarriageReturn) {
        Complete(At, Out);
    }
}

void TRequestAssembler::Complete(TClock::time_point At, std::vector<TReceivedFrame>& Out)
{
    Frame_.CompletedAt = At;
    Out.push_back(std::move(Frame_));
    Frame_ = TReceivedFrame{};
    State_ = EState::Hunting;
}

void TRequestAssembler::TakeByte(char Byte, TClock::time_point At)
{
    if (Byte == '*') {
        // A new frame starts here, whatever was being collected.
        DiscardedBytes_ += Frame_.Bytes.size();
        Frame_.Bytes.assign(1, Byte);
        Frame_.FirstByteAt = At;
        State_ = EState::InFrame;
        return;
    }
    if (State_ == EState::Hunting) {
        ++DiscardedBytes_;
        return;
    }
    Frame_.Bytes.push_back(Byte);
    if (Byte == '\r') {
        State_ = EState::AfterCarriageReturn;
        CarriageReturnAt_ = At;
    } else if (Frame_.Bytes.size() >= MaxFrameLength_) {
        DiscardedBytes_ += Frame_.Bytes.size();
        Frame_.Bytes.clear();
        State_ = EState::Hunting;
    }
}

}  // namespace varnolink::sim

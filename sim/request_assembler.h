// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varnolink::sim {

using TClock = std::chrono::steady_clock;

// One request frame as it came off the line: from its "*" through its line
// end (CR, or CR LF), byte for byte.
struct TReceivedFrame {
    std::string Bytes;
    TClock::time_point FirstByteAt;  // when the "*" was read
    TClock::time_point CompletedAt;  // when the line end was settled
};

// Cuts the received byte stream into request frames. A frame starts at "*"
// and ends at CR; a LF right after the CR belongs to the frame. Bytes outside
// a frame are dropped, a "*" inside a frame drops the partial frame and starts
// a new one, and a frame that grows past `MaxFrameLength` without a CR is
// dropped. After a CR the frame is held until the next byte shows whether a
// LF follows; the owner ends that wait with FinishWithoutLineFeed once it has
// waited long enough.
class TRequestAssembler {
public:
    explicit TRequestAssembler(std::size_t MaxFrameLength = 64) : MaxFrameLength_(MaxFrameLength) {}

    // Takes bytes read at `at`; appends each frame completed by them to `out`.
    void Feed(std::string_view Bytes, TClock::time_point At, std::vector<TReceivedFrame>& Out);

    // True while a frame has its CR and waits to see whether a LF follows.
    bool AwaitingLineFeed() const { return State_ == EState::AfterCarriageReturn; }
    // When the CR of the waiting frame was read.
    TClock::time_point CarriageReturnAt() const { return CarriageReturnAt_; }
    // Completes the waiting frame without a LF.
    void FinishWithoutLineFeed(TClock::time_point At, std::vector<TReceivedFrame>& Out);

    // Bytes dropped so far because they were not part of any frame.
    std::size_t DiscardedBytes() const { return DiscardedBytes_; }

private:
    enum class EState { Hunting, InFrame, AfterCarriageReturn };

    void Complete(TClock::time_point At, std::vector<TReceivedFrame>& Out);
    void TakeByte(char Byte, TClock::time_point At);

    std::size_t MaxFrameLength_;
    EState State_ = EState::Hunting;
    TReceivedFrame Frame_;
    TClock::time_point CarriageReturnAt_{};
    std::size_t DiscardedBytes_ = 0;
};

}  // namespace varnolink::sim

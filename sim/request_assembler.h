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
struct ReceivedFrame {
    std::string bytes;
    TClock::time_point firstByteAt;  // when the "*" was read
    TClock::time_point completedAt;  // when the line end was settled
};

// Cuts the received byte stream into request frames. A frame starts at "*"
// and ends at CR; a LF right after the CR belongs to the frame. Bytes outside
// a frame are dropped, a "*" inside a frame drops the partial frame and starts
// a new one, and a frame that grows past `maxFrameLength` without a CR is
// dropped. After a CR the frame is held until the next byte shows whether a
// LF follows; the owner ends that wait with FinishWithoutLineFeed once it has
// waited long enough.
class TRequestAssembler {
public:
    explicit TRequestAssembler(std::size_t maxFrameLength = 64) : MaxFrameLength_(maxFrameLength) {}

    // Takes bytes read at `at`; appends each frame completed by them to `out`.
    void Feed(std::string_view bytes, TClock::time_point at, std::vector<ReceivedFrame>& out);

    // True while a frame has its CR and waits to see whether a LF follows.
    bool AwaitingLineFeed() const { return State_ == EState::kAfterCarriageReturn; }
    // When the CR of the waiting frame was read.
    TClock::time_point CarriageReturnAt() const { return CarriageReturnAt_; }
    // Completes the waiting frame without a LF.
    void FinishWithoutLineFeed(TClock::time_point at, std::vector<ReceivedFrame>& out);

    // Bytes dropped so far because they were not part of any frame.
    std::size_t DiscardedBytes() const { return DiscardedBytes_; }

private:
    enum class EState { kHunting, kInFrame, kAfterCarriageReturn };

    void Complete(TClock::time_point at, std::vector<ReceivedFrame>& out);
    void TakeByte(char byte, TClock::time_point at);

    std::size_t MaxFrameLength_;
    EState State_ = EState::kHunting;
    ReceivedFrame Frame_;
    TClock::time_point CarriageReturnAt_{};
    std::size_t DiscardedBytes_ = 0;
};

}  // namespace varnolink::sim

// SPDX-License-Identifier: MIT
// Received characters into bounded reply lines, one character at a time.
#include "main/protocol/reply_assembler.h"

namespace varnolink {

namespace {

constexpr char LineStart = '*';
constexpr char LineEnd = '\r';

}  // namespace

bool TReplyAssembler::Feed(char Ch)
{
    const auto Code = static_cast<unsigned char>(Ch);
    if (Ch == LineStart) {
        Line_.assign(1, LineStart);
        Overflowed_ = false;
        return false;
    }
    if (Code >= 0x20) {
        if (Line_.size() < LineLimit)
            Line_ += Ch;
        else
            Overflowed_ = true;
        return false;
    }
    return Ch == LineEnd && !Overflowed_;
}

}  // namespace varnolink

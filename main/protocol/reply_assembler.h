// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>

namespace varnolink {

// Collects received characters into reply lines. "*" starts a new line,
// characters of code 0x20 and above (0x7F..0xFF included) are appended, a CR
// completes the line (which is kept, so a second CR hands it over again), and
// every other control character is dropped.
//
// The line is bounded: valid replies have 13 or 30 characters, so a line that
// outgrows LineLimit can never be one. It stops growing, is marked overflowed
// and is not handed over at a CR until the next "*" starts a fresh line. A
// stream without "*" therefore costs no memory beyond the limit.
class TReplyAssembler {
public:
    static constexpr std::size_t LineLimit = 64;

    // Takes one received character; true when it completes a line that is to
    // be decoded (then Line() holds it).
    bool Feed(char Ch);

    const std::string& Line() const { return Line_; }
    bool Overflowed() const { return Overflowed_; }

private:
    std::string Line_;
    bool Overflowed_ = false;
};

}  // namespace varnolink

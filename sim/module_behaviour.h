// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/module_state.h"

namespace varnolink::sim {

// What became of one request frame.
enum class TRequestOutcome {
    Answered,         // a reply was sent (possibly altered by faults)
    Silenced,         // valid, but a silence fault swallowed the reply
    InvalidArgument,  // known command, argument not valid for it: not stored, no reply
    UnknownCommand,   // code/mode pair the module does not know: no reply
    Malformed,        // not laid out as a request frame: no reply
    NoModule,         // a series between two modules: nobody on the line
    WrongSpeed,       // the host's line speed is not the module's: not understood, no reply
};

const char* OutcomeName(TRequestOutcome Outcome);

// The fields of a well-formed request frame
// "*" NN ":" M "," ARG "=" "00" CR [LF].
struct TParsedRequest {
    int Code = 0;
    bool Write = false;
    std::string Argument;  // everything between "," and the first "=" after it
};

// Splits a frame into its fields; nullopt if it is not laid out as a request.
std::optional<TParsedRequest> ParseRequest(std::string_view Frame);

// The module's answer to one frame.
struct TModuleAnswer {
    TRequestOutcome Outcome = TRequestOutcome::Malformed;
    int Code = -1;     // the frame's command code, -1 if it did not parse
    std::string Line;  // reply line without its line end; empty if no reply
};

// Handles one request frame the way the module does: a read answers the
// current value, a valid write stores its value and echoes the stored value,
// the code 99 write restores the factory settings. Invalid, unknown and
// malformed frames change nothing and get no reply.
TModuleAnswer AnswerRequest(std::string_view Frame, TModuleState& State);

// A byte as two upper-case hex digits, as replies carry it.
std::string HexByte(std::uint8_t Value);

// Reply lines without their line end: the 30-character identity line and
// the 13-character line "*??:E" + code + ",00=" + data.
std::string IdentityReplyLine(const TModuleState& State);
std::string StandardReplyLine(int Code, std::string_view Data);

}  // namespace varnolink::sim

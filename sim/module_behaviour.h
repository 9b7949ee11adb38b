// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/module_state.h"

namespace varnolink::sim {

// What became of one request frame.
enum class RequestOutcome {
    kAnswered,         // a reply was sent (possibly altered by faults)
    kSilenced,         // valid, but a silence fault swallowed the reply
    kInvalidArgument,  // known command, argument not valid for it: not stored, no reply
    kUnknownCommand,   // code/mode pair the module does not know: no reply
    kMalformed,        // not laid out as a request frame: no reply
    kNoModule,         // a series between two modules: nobody on the line
};

const char* OutcomeName(RequestOutcome outcome);

// The fields of a well-formed request frame
// "*" NN ":" M "," ARG "=" "00" CR [LF].
struct ParsedRequest {
    int code = 0;
    bool write = false;
    std::string argument;  // everything between "," and the first "=" after it
};

// Splits a frame into its fields; nullopt if it is not laid out as a request.
std::optional<ParsedRequest> ParseRequest(std::string_view frame);

// The module's answer to one frame.
struct ModuleAnswer {
    RequestOutcome outcome = RequestOutcome::kMalformed;
    int code = -1;     // the frame's command code, -1 if it did not parse
    std::string line;  // reply line without its line end; empty if no reply
};

// Handles one request frame the way the module does: a read answers the
// current value, a valid write stores its value and echoes the stored value,
// the code 99 write restores the factory settings. Invalid, unknown and
// malformed frames change nothing and get no reply.
ModuleAnswer AnswerRequest(std::string_view frame, ModuleState& state);

// A byte as two upper-case hex digits, as replies carry it.
std::string HexByte(std::uint8_t value);

// Reply lines without their line end: the 30-character identity line and
// the 13-character line "*??:E" + code + ",00=" + data.
std::string IdentityReplyLine(const ModuleState& state);
std::string StandardReplyLine(int code, std::string_view data);

}  // namespace varnolink::sim

// SPDX-License-Identifier: MIT
#include "sim/module_behaviour.h"

#include <cstdint>

namespace varnolink::sim {

namespace {

bool IsDecimal(char c) { return c >= '0' && c <= '9'; }

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::uint8_t> ParseHexByte(std::string_view text) {
    if (text.size() != 2) return std::nullopt;
    const int high = HexDigitValue(text[0]);
    const int low = HexDigitValue(text[1]);
    if (high < 0 || low < 0) return std::nullopt;
    return static_cast<std::uint8_t>(high * 16 + low);
}

std::string TwoDigitCode(int code) {
    return {static_cast<char>('0' + code / 10), static_cast<char>('0' + code % 10)};
}

bool IsPortCode(int code) { return code >= kCodeFirstDirection && code <= kCodeLastPort; }

ModuleAnswer Answered(int code, std::string line) {
    return {RequestOutcome::kAnswered, code, std::move(line)};
}

ModuleAnswer NotAnswered(RequestOutcome outcome, int code) { return {outcome, code, {}}; }

ModuleAnswer AnswerRead(const ParsedRequest& request, const ModuleState& state) {
    const int code = request.code;
    if (code > kCodeLastPort) {
        return NotAnswered(RequestOutcome::kUnknownCommand, code);
    }
    if (request.argument != "00") {
        return NotAnswered(RequestOutcome::kInvalidArgument, code);
    }
    switch (code) {
        case kCodeIdentity:
            return Answered(code, IdentityReplyLine(state));
        case kCodeStatus:
            return Answered(code, StandardReplyLine(code, HexByte(state.status)));
        case kCodeRemoteId:
            return Answered(code, StandardReplyLine(code, HexByte(state.remoteId)));
        case kCodeBaudIndex:
            return Answered(code, StandardReplyLine(code, "0" + std::to_string(state.baudIndex)));
        default:
            return Answered(code, StandardReplyLine(code, HexByte(state.PortByte(code))));
    }
}

ModuleAnswer AnswerWrite(const ParsedRequest& request, ModuleState& state) {
    const int code = request.code;
    const std::string& argument = request.argument;
    if (code == kCodeRemoteId || IsPortCode(code)) {
        const auto value = ParseHexByte(argument);
        if (!value) {
            return NotAnswered(RequestOutcome::kInvalidArgument, code);
        }
        (code == kCodeRemoteId ? state.remoteId : state.PortByte(code)) = *value;
        return Answered(code, StandardReplyLine(code, HexByte(*value)));
    }
    if (code == kCodeBaudIndex) {
        if (argument.size() != 2 || argument[0] != '0' || argument[1] < '0' || argument[1] > '7') {
            return NotAnswered(RequestOutcome::kInvalidArgument, code);
        }
        state.baudIndex = argument[1] - '0';
        return Answered(code, StandardReplyLine(code, argument));
    }
    if (code == kCodeSaveToDefault) {
        if (argument != "00") {
            return NotAnswered(RequestOutcome::kInvalidArgument, code);
        }
        state.RestoreFactorySettings();
        return Answered(code, StandardReplyLine(code, argument));
    }
    // Identity and status are read-only; other codes do not exist.
    return NotAnswered(RequestOutcome::kUnknownCommand, code);
}

}  // namespace

const char* OutcomeName(RequestOutcome outcome) {
    switch (outcome) {
        case RequestOutcome::kAnswered: return "answered";
        case RequestOutcome::kSilenced: return "silenced";
        case RequestOutcome::kInvalidArgument: return "invalid-argument";
        case RequestOutcome::kUnknownCommand: return "unknown-command";
        case RequestOutcome::kMalformed: return "malformed";
        case RequestOutcome::kNoModule: return "no-module";
    }
    return "?";
}

std::optional<ParsedRequest> ParseRequest(std::string_view frame) {
    // Shortest frame: "*NN:M,=00\r" with an empty argument.
    if (frame.size() < 10 || frame[0] != '*' || !IsDecimal(frame[1]) || !IsDecimal(frame[2]) ||
        frame[3] != ':' || (frame[4] != '0' && frame[4] != '1') || frame[5] != ',') {
        return std::nullopt;
    }
    const std::size_t equals = frame.find('=', 6);
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view tail = frame.substr(equals + 1);
    if (tail != "00\r" && tail != "00\r\n") {
        return std::nullopt;
    }
    ParsedRequest request;
    request.code = (frame[1] - '0') * 10 + (frame[2] - '0');
    request.write = frame[4] == '1';
    request.argument = std::string(frame.substr(6, equals - 6));
    return request;
}

ModuleAnswer AnswerRequest(std::string_view frame, ModuleState& state) {
    const auto request = ParseRequest(frame);
    if (!request) {
        return NotAnswered(RequestOutcome::kMalformed, -1);
    }
    return request->write ? AnswerWrite(*request, state) : AnswerRead(*request, state);
}

std::string HexByte(std::uint8_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[value >> 4], kDigits[value & 0x0F]};
}

std::string IdentityReplyLine(const ModuleState& state) {
    return "*??:E00,00=" + state.biosName + " " + state.biosVersion;
}

std::string StandardReplyLine(int code, std::string_view data) {
    return "*??:E" + TwoDigitCode(code) + ",00=" + std::string(data);
}

}  // namespace varnolink::sim

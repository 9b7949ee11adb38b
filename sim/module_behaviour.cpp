// SPDX-License-Identifier: MIT
#include "sim/module_behaviour.h"
#include "sim/text_escape.h"

#include <cstdint>

namespace varnolink::sim {

namespace {

bool IsDecimal(char C)
{
    return C >= '0' && C <= '9';
}

std::optional<std::uint8_t> ParseHexByte(std::string_view Text)
{
    if (Text.size() != 2)
        return std::nullopt;
    const int High = HexDigitValue(Text[0]);
    const int Low = HexDigitValue(Text[1]);
    if (High < 0 || Low < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(High * 16 + Low);
}

std::string TwoDigitCode(int Code)
{
    return {static_cast<char>('0' + Code / 10), static_cast<char>('0' + Code % 10)};
}

bool IsPortCode(int Code)
{
    return Code >= CodeFirstDirection && Code <= CodeLastPort;
}

TModuleAnswer Answered(int Code, std::string Line)
{
    return {TRequestOutcome::Answered, Code, std::move(Line)};
}

TModuleAnswer NotAnswered(TRequestOutcome Outcome, int Code)
{
    return {Outcome, Code, {}};
}

TModuleAnswer AnswerRead(const TParsedRequest& Request, const TModuleState& State)
{
    const int Code = Request.Code;
    if (Code > CodeLastPort) {
        return NotAnswered(TRequestOutcome::UnknownCommand, Code);
    }
    if (Request.Argument != "00") {
        return NotAnswered(TRequestOutcome::InvalidArgument, Code);
    }
    switch (Code) {
    case CodeIdentity:
        return Answered(Code, IdentityReplyLine(State));
    case CodeStatus:
        return Answered(Code, StandardReplyLine(Code, HexByte(State.Status)));
    case CodeRemoteId:
        return Answered(Code, StandardReplyLine(Code, HexByte(State.RemoteId)));
    case CodeBaudIndex:
        return Answered(Code, StandardReplyLine(Code, "0" + std::to_string(State.BaudIndex)));
    default:
        return Answered(Code, StandardReplyLine(Code, HexByte(State.PortByte(Code))));
    }
}

TModuleAnswer AnswerWrite(const TParsedRequest& Request, TModuleState& State)
{
    const int Code = Request.Code;
    const std::string& Argument = Request.Argument;
    if (Code == CodeRemoteId || IsPortCode(Code)) {
        const auto Value = ParseHexByte(Argument);
        if (!Value) {
            return NotAnswered(TRequestOutcome::InvalidArgument, Code);
        }
        (Code == CodeRemoteId ? State.RemoteId : State.PortByte(Code)) = *Value;
        return Answered(Code, StandardReplyLine(Code, HexByte(*Value)));
    }
    if (Code == CodeBaudIndex) {
        if (Argument.size() != 2 || Argument[0] != '0' || Argument[1] < '0' || Argument[1] > '7') {
            return NotAnswered(TRequestOutcome::InvalidArgument, Code);
        }
        State.BaudIndex = Argument[1] - '0';
        return Answered(Code, StandardReplyLine(Code, Argument));
    }
    if (Code == CodeSaveToDefault) {
        if (Argument != "00") {
            return NotAnswered(TRequestOutcome::InvalidArgument, Code);
        }
        State.RestoreFactorySettings();
        return Answered(Code, StandardReplyLine(Code, Argument));
    }
    // Identity and status are read-only; other codes do not exist.
    return NotAnswered(TRequestOutcome::UnknownCommand, Code);
}

}  // namespace

const char* OutcomeName(TRequestOutcome Outcome)
{
    switch (Outcome) {
    case TRequestOutcome::Answered:
        return "answered";
    case TRequestOutcome::Silenced:
        return "silenced";
    case TRequestOutcome::InvalidArgument:
        return "invalid-argument";
    case TRequestOutcome::UnknownCommand:
        return "unknown-command";
    case TRequestOutcome::Malformed:
        return "malformed";
    case TRequestOutcome::NoModule:
        return "no-module";
    case TRequestOutcome::WrongSpeed:
        return "wrong-speed";
    }
    return "?";
}

std::optional<TParsedRequest> ParseRequest(std::string_view Frame)
{
    // Shortest frame: "*NN:M,=00\r" with an empty argument.
    if (Frame.size() < 10 || Frame[0] != '*' || !IsDecimal(Frame[1]) || !IsDecimal(Frame[2]) || Frame[3] != ':' ||
        (Frame[4] != '0' && Frame[4] != '1') || Frame[5] != ',') {
        return std::nullopt;
    }
    const std::size_t Equals = Frame.find('=', 6);
    if (Equals == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view Tail = Frame.substr(Equals + 1);
    if (Tail != "00\r" && Tail != "00\r\n") {
        return std::nullopt;
    }
    TParsedRequest Request;
    Request.Code = (Frame[1] - '0') * 10 + (Frame[2] - '0');
    Request.Write = Frame[4] == '1';
    Request.Argument = std::string(Frame.substr(6, Equals - 6));
    return Request;
}

TModuleAnswer AnswerRequest(std::string_view Frame, TModuleState& State)
{
    const auto Request = ParseRequest(Frame);
    if (!Request) {
        return NotAnswered(TRequestOutcome::Malformed, -1);
    }
    return Request->Write ? AnswerWrite(*Request, State) : AnswerRead(*Request, State);
}

std::string HexByte(std::uint8_t Value)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    return {Digits[Value >> 4], Digits[Value & 0x0F]};
}

std::string IdentityReplyLine(const TModuleState& State)
{
    return "*??:E00,00=" + State.BiosName + " " + State.BiosVersion;
}

std::string StandardReplyLine(int Code, std::string_view Data)
{
    return "*??:E" + TwoDigitCode(Code) + ",00=" + std::string(Data);
}

}  // namespace varnolink::sim

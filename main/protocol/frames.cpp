// SPDX-License-Identifier: MIT
// Request frames of the module's protocol, built from code, mode and argument.
#include "main/protocol/frames.h"

#include "main/protocol/hex.h"

namespace varnolink {

namespace {

// Command codes are sent as two decimal digits ("04", "13", "99").
std::string CodeText(int Code)
{
    std::string Text = std::to_string(Code);
    if (Text.size() < 2)
        Text.insert(Text.begin(), '0');
    return Text;
}

}  // namespace

std::string BuildRequestFrame(int Code, TRequestMode Mode, std::string_view Argument)
{
    std::string Frame;
    Frame.reserve(11 + Argument.size());
    Frame += '*';
    Frame += CodeText(Code);
    Frame += ':';
    Frame += static_cast<char>(Mode);
    Frame += ',';
    Frame += Argument;
    Frame += "=00";
    Frame += "\r\n";
    return Frame;
}

std::string BuildReadFrame(int Code)
{
    return BuildRequestFrame(Code, TRequestMode::Read, NoArgument);
}

std::string BuildWriteFrame(int Code, std::string_view Argument)
{
    return BuildRequestFrame(Code, TRequestMode::Write, Argument);
}

std::string BaudrateArgument(int Index)
{
    return "0" + std::to_string(Index);
}

std::string PortByteArgument(uint8_t Value)
{
    return HexByteToStr2(Value);
}

}  // namespace varnolink

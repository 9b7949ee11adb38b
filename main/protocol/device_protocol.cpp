// SPDX-License-Identifier: MIT
#include "main/protocol/device_protocol.h"

#include <stdexcept>

#include "main/protocol/command_codes.h"
#include "main/protocol/frames.h"
#include "main/protocol/hex.h"

namespace {

// What a port read shows until its reply arrives.
const std::string UnknownByte = "??";
const std::string UnknownBit = "?";

void RequirePortRow(int Row)
{
    if (!IsPortRow(Row))
        throw std::out_of_range("port row " + std::to_string(Row) + " outside 0..4");
}

}  // namespace

TDeviceProtocol::TDeviceProtocol(TProtocolWindow& Window, TProtocolPort& Port)
    : Window_(Window), Port_(Port)
{
}

void TDeviceProtocol::ComPort1RxChar(int Count)
{
    if (Count <= 0)
        return;
    std::string Received;
    Port_.ReadText(Received, Count);
    for (const char Ch : Received) {
        // Decode a copy: the window runs code of its own while it shows the
        // reply, and the line must not change underneath the decoder.
        if (Assembler_.Feed(Ch))
            AnalysisPacket(std::string(Assembler_.Line()));
    }
}

void TDeviceProtocol::AnalysisPacket(const std::string& Line)
{
    const std::optional<TDecodedReply> Reply = DecodeReplyLine(Line);
    if (!Reply)
        return;
    std::visit([this](const auto& Decoded) { Show(Decoded); }, *Reply);
    ReplyReceived_ = 1;
}

void TDeviceProtocol::Show(const TIdentityReply& Reply)
{
    Window_.SetBiosNameDisplay(Reply.BiosName);
    Window_.SetBIOSVersionDisplay(Reply.BiosVersion);
    Window_.SetStatusConnect("Connect OK");
}

void TDeviceProtocol::Show(const TStatusReply& Reply)
{
    // Other status data are the module's own affair: shown as nothing, but
    // still a reply.
    if (Reply.Data == "00")
        Window_.SetStatusDisplay("Ready");
    else if (Reply.Data == "01")
        Window_.SetStatusDisplay("Error");
}

void TDeviceProtocol::Show(const TIDCodeReply& Reply)
{
    Window_.SetIDDisplay(HexByteToStr2(HexStr2ToByte(Reply.Data)));
}

void TDeviceProtocol::Show(const TBaudrateReply& Reply)
{
    Window_.SetComboBaudIndex(Reply.Index);
}

void TDeviceProtocol::Show(const TPortReply& Reply)
{
    Window_.DisplayPortReply(Reply.Grid, Reply.Row, Reply.Data);
}

void TDeviceProtocol::WriteFrame(const std::string& Frame)
{
    for (const char& Byte : Frame)
        Port_.WriteBytes(&Byte, 1);
}

void TDeviceProtocol::ReadBIOSVersion()
{
    ReplyReceived_ = 0;
    Window_.SetBiosNameDisplay("");
    Window_.SetBIOSVersionDisplay("");
    WriteFrame(BuildReadFrame(CodeIdentity));
}

void TDeviceProtocol::ReadStatus()
{
    ReplyReceived_ = 0;
    Window_.SetStatusDisplay("");
    WriteFrame(BuildReadFrame(CodeStatus));
}

void TDeviceProtocol::ReadIDCode()
{
    ReplyReceived_ = 0;
    Window_.SetIDDisplay("");
    WriteFrame(BuildReadFrame(CodeIDCode));
}

void TDeviceProtocol::ReadBaudrate()
{
    ReplyReceived_ = 0;
    Window_.SetComboBaudIndex(-1);
    WriteFrame(BuildReadFrame(CodeBaudrate));
}

void TDeviceProtocol::ReadPort(TPortGrid Grid, int Row)
{
    RequirePortRow(Row);
    ReplyReceived_ = 0;
    Window_.SetByteFieldText(Grid, Row, UnknownByte);
    for (int Bit = 0; Bit < PortBitCount; ++Bit)
        Window_.SetBitCaption(Grid, Row, Bit, UnknownBit);
    WriteFrame(BuildReadFrame(PortCommandCode(Grid, Row)));
}

void TDeviceProtocol::SaveIDCode(const std::string& IDText)
{
    ReplyReceived_ = 0;
    WriteFrame(BuildWriteFrame(CodeIDCode, IDText));
}

void TDeviceProtocol::SaveBaudrate(int Index)
{
    ReplyReceived_ = 0;
    WriteFrame(BuildWriteFrame(CodeBaudrate, BaudrateArgument(Index)));
}

void TDeviceProtocol::SavePort(TPortGrid Grid, int Row, uint8_t Value)
{
    RequirePortRow(Row);
    ReplyReceived_ = 0;
    WriteFrame(BuildWriteFrame(PortCommandCode(Grid, Row), PortByteArgument(Value)));
}

void TDeviceProtocol::Save_Setup_to_Default()
{
    ReplyReceived_ = 0;
    WriteFrame(BuildWriteFrame(CodeSetupToDefault, NoArgument));
}

// SPDX-License-Identifier: MIT
// Feeds arbitrary received bytes through the receive handler of the protocol
// core, in arbitrary chunks, and checks what reaches the window.
//
// Input layout: the first byte chooses the chunking (0: everything in one
// received-characters event; n: events of 1..n bytes in a pseudo-random
// sequence seeded by n), the rest is the byte stream off the line. The same
// stream is also handed to the decoder directly as one line, control
// characters included.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "main/protocol/device_protocol.h"

namespace {

[[noreturn]] void Fail(const char* What)
{
    std::fprintf(stderr, "protocol_fuzz: %s\n", What);
    std::abort();
}

void Require(bool Condition, const char* What)
{
    if (!Condition)
        Fail(What);
}

// Checks that everything the decoder shows has the shape the window expects.
class TCheckingWindow final : public TProtocolWindow {
public:
    void SetBiosNameDisplay(const std::string& Text) override
    {
        Require(Text.size() == 13 || Text.empty(), "BIOS name not 13 characters");
    }
    void SetBIOSVersionDisplay(const std::string& Text) override
    {
        Require(Text.size() == 5 || Text.empty(), "BIOS version not 5 characters");
    }
    void SetStatusConnect(const std::string& Text) override
    {
        Require(Text == "Connect OK", "unexpected StatusConnect text");
    }
    void SetStatusDisplay(const std::string& Text) override
    {
        Require(Text == "Ready" || Text == "Error" || Text.empty(), "unexpected status text");
    }
    void SetIDDisplay(const std::string& Text) override
    {
        Require(Text.size() == 2 || Text.empty(), "ID not two characters");
    }
    void SetComboBaudIndex(int Index) override
    {
        Require(Index >= -1 && Index <= 9, "baud index outside -1..9");
    }
    void DisplayPortReply(TPortGrid, int Row, const std::string& Data) override
    {
        Require(IsPortRow(Row), "port reply row outside 0..4");
        Require(Data.size() == 2, "port reply data not two characters");
    }
    void SetByteFieldText(TPortGrid, int, const std::string&) override {}
    void SetBitCaption(TPortGrid, int, int, const std::string&) override {}
};

class TStreamPort final : public TProtocolPort {
public:
    int WriteBytes(const void*, int Count) override { return Count; }

    int ReadText(std::string& Text, int Count) override
    {
        const std::size_t Take = std::min(static_cast<std::size_t>(Count), Pending.size());
        Text.assign(Pending.substr(0, Take));
        Pending.remove_prefix(Take);
        return static_cast<int>(Take);
    }

    std::string_view Pending;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, std::size_t Size)
{
    if (Size == 0)
        return 0;
    const unsigned Chunking = Data[0];
    const std::string_view Stream(reinterpret_cast<const char*>(Data + 1), Size - 1);

    TCheckingWindow Window;
    TStreamPort Port;
    TDeviceProtocol Protocol(Window, Port);

    uint32_t Random = Chunking * 2654435761u + 1;
    std::size_t Offset = 0;
    while (Offset < Stream.size()) {
        std::size_t Chunk = Stream.size() - Offset;
        if (Chunking != 0) {
            Random = Random * 1664525u + 1013904223u;
            Chunk = std::min<std::size_t>(Chunk, 1 + (Random >> 16) % Chunking);
        }
        Port.Pending = Stream.substr(Offset, Chunk);
        Protocol.ComPort1RxChar(static_cast<int>(Chunk));
        Require(Port.Pending.empty(), "handler left received characters unread");
        Require(Protocol.PacketBuffer().size() <= TReplyAssembler::LineLimit,
                "PacketBuffer outgrew its limit");
        Require(Protocol.ReplyReceived() <= 1, "ReplyReceived not 0 or 1");
        Offset += Chunk;
    }

    Protocol.AnalysisPacket(std::string(Stream));
    return 0;
}

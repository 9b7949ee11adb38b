// SPDX-License-Identifier: MIT
// One million random bytes of line noise with valid replies mixed in, sent
// by the far end of a pseudo-terminal through a real TComPort (event thread,
// receive queue, ReadText) into the protocol core: every reply is decoded,
// in order, and memory stays flat.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>

#include "main/protocol/device_protocol.h"
#include "main/protocol/hex.h"
#include "main/protocol/comport_protocol_port.h"
#include "tests/cport/device_pty.h"
#include "tests/cport/soak_support.h"
#include "tests/protocol/protocol_fakes.h"

namespace {

TEST(PortNoiseSoak, EveryReplyAmongAMillionNoiseBytesIsDecoded)
{
    device_test::PtyPair Line;
    cport::TComPort Port;
    Port.SetPort(Line.SlavePath());
    // Received characters are handed to the protocol on the event thread
    // itself; the lock keeps the journal consistent for the test thread.
    Port.SetSyncMethod(cport::smNone);
    TJournal Journal;
    TRecordingWindow Window(Journal);
    TComPortProtocolPort ProtocolPort(Port);
    TDeviceProtocol Protocol(Window, ProtocolPort);
    std::mutex Lock;
    std::condition_variable Decoded;
    std::size_t LongestBuffer = 0;
    Port.OnRxChar = [&](cport::TComponent*, int32_t Count) {
        const std::lock_guard<std::mutex> Hold(Lock);
        Protocol.ComPort1RxChar(Count);
        LongestBuffer = std::max(LongestBuffer, Protocol.PacketBuffer().size());
        Decoded.notify_all();
    };
    Port.Open();

    std::mt19937 Random(20261207);
    std::uniform_int_distribution<int> AnyByte(0, 255);
    std::uniform_int_distribution<int> NoiseLength(1, 4000);
    constexpr std::size_t TotalNoise = 1'000'000;
    std::size_t NoiseSent = 0;
    TJournal Expected;
    long ResidentAtStart = 0;
    while (NoiseSent < TotalNoise) {
        std::string Noise(static_cast<std::size_t>(NoiseLength(Random)), '\0');
        for (char& Ch : Noise)
            Ch = static_cast<char>(AnyByte(Random));
        NoiseSent += Noise.size();
        const std::string Data = HexByteToStr2(static_cast<uint8_t>(Expected.size()));
        Expected.push_back("Reply DEF4=" + Data);
        Line.Write(Noise + CodeReply("13", Data) + "\r");
        if (Expected.size() == 50)
            ResidentAtStart = soak_test::ResidentKiB();
    }

    // Random noise never forms a valid line, so only the mixed-in replies
    // show. A CR in the noise right after a reply decodes that reply again:
    // count each run once.
    const auto Shown = [&Journal] {
        TJournal Replies;
        std::copy_if(Journal.begin(), Journal.end(), std::back_inserter(Replies),
                     [](const std::string& Entry) { return Entry.rfind("Reply DEF4=", 0) == 0; });
        Replies.erase(std::unique(Replies.begin(), Replies.end()), Replies.end());
        return Replies;
    };
    std::unique_lock<std::mutex> Hold(Lock);
    Decoded.wait_for(Hold, std::chrono::seconds(60), [&] { return Shown().size() >= Expected.size(); });
    EXPECT_EQ(Shown(), Expected);
    EXPECT_LE(LongestBuffer, TReplyAssembler::LineLimit);
    Hold.unlock();
    Port.Close();
    if (!soak_test::AddressSanitizer) {
        EXPECT_LT(soak_test::ResidentKiB() - ResidentAtStart, 4096) << "KiB at the start: " << ResidentAtStart;
    }
}

}  // namespace

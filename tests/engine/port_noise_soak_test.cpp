// SPDX-License-Identifier: MIT
// One million random bytes of line noise with valid replies mixed in, sent
// by the far end of a pseudo-terminal to a session port that the epoll loop
// reads: every reply is decoded, in order, and memory stays flat.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "main/engine/epoll_loop.h"
#include "main/protocol/hex.h"
#include "tests/cport/soak_support.h"
#include "tests/support/chain_session_fakes.h"
#include "tests/support/pty_pair.h"

using namespace varnolink;

namespace {

TEST(PortNoiseSoak, EveryReplyAmongAMillionNoiseBytesIsDecoded)
{
    test_support::TPtyPair Line;
    TSessionPort Port;
    std::vector<std::string> Shown;
    std::size_t LongestBuffer = 0;
    Port.OnEvent = [&](const TSessionEvent& Event) {
        LongestBuffer = std::max(LongestBuffer, Port.Session().PacketBuffer().size());
        // A CR in the noise right after a reply decodes it again: each run counts once.
        if (const auto* Decoded = std::get_if<TReplyDecoded>(&Event))
            if (Shown.empty() || Shown.back() != Summary(Decoded->Reply))
                Shown.push_back(Summary(Decoded->Reply));
    };
    Port.Open(Line.SlavePath());
    TEpollLoop Loop;
    Loop.Add(Port);

    std::mt19937 Random(20261207);
    std::uniform_int_distribution<int> AnyByte(0, 255);
    std::uniform_int_distribution<std::size_t> NoiseLength(1, 4000);
    std::vector<std::string> Expected;
    long ResidentAtStart = 0;
    const auto GiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (std::size_t NoiseSent = 0; NoiseSent < 1'000'000;) {
        std::string Bytes(NoiseLength(Random), '\0');
        std::generate(Bytes.begin(), Bytes.end(), [&] { return static_cast<char>(AnyByte(Random)); });
        NoiseSent += Bytes.size();
        const std::string Data = HexByteToStr2(static_cast<uint8_t>(Expected.size()));
        Expected.push_back("DEF4 " + Data + " (" + Data + ")");
        Line.Write(Bytes + CodeReply("13", Data) + "\r");
        Loop.RunUntil([&] { return Shown.size() >= Expected.size() || std::chrono::steady_clock::now() > GiveUp; });
        if (Expected.size() == 50)
            ResidentAtStart = soak_test::ResidentKiB();
    }
    EXPECT_EQ(Shown, Expected);
    EXPECT_LE(LongestBuffer, TReplyAssembler::LineLimit);
    Loop.Remove(Port);
    Port.Close();
    if (!soak_test::AddressSanitizer) {
        EXPECT_LT(soak_test::ResidentKiB() - ResidentAtStart, 4096) << "KiB at the start: " << ResidentAtStart;
    }
}

}  // namespace

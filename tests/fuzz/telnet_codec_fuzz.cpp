// SPDX-License-Identifier: MIT
// Feeds arbitrary server bytes to the telnet codec of network ports, whole
// and in pseudo-random pieces, and checks:
//   - the data, the answers and the notices do not depend on how the
//     stream was cut into reads;
//   - the data is never longer than the input and each notice fits the
//     sub-negotiation limit;
//   - the same bytes sent as data (escaped) decode to themselves, with
//     nothing else.
// Input layout: the first byte seeds the cutting, the rest is the stream.

#include "cport/telnet_codec.h"
#include "tests/fuzz/fuzz_input.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace cport;
using fuzz_test::Require;

namespace {

struct TResult {
    std::string Data;
    TTelnetEvents Events;
};

TResult DecodeCut(std::string_view Stream, unsigned Seed)
{
    TTelnetCodec Codec;
    Codec.Opening();
    TResult Result;
    uint32_t Random = Seed * 2654435761u + 1;
    size_t At = 0;
    while (At < Stream.size()) {
        size_t Piece = Stream.size() - At;
        if (Seed != 0) {
            Random = Random * 1664525u + 1013904223u;
            Piece = std::min<size_t>(Piece, 1 + (Random >> 16) % Seed);
        }
        std::string Chunk(Stream.substr(At, Piece));
        auto* P = reinterpret_cast<unsigned char*>(Chunk.data());
        const size_t N = Codec.Decode(P, Chunk.size(), P, Result.Events);
        Require(N <= Chunk.size(), "more data out than bytes in");
        Result.Data.append(Chunk.data(), N);
        At += Piece;
    }
    return Result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const auto [Cutting, Stream] = fuzz_test::HeadedInput(Data, Size);

    const TResult Whole = DecodeCut(Stream, 0);
    const TResult Cut = DecodeCut(Stream, Cutting);
    Require(Whole.Data == Cut.Data, "data depends on the cutting");
    Require(Whole.Events.Reply == Cut.Events.Reply, "answers depend on the cutting");
    Require(Whole.Events.Notices == Cut.Events.Notices, "notices depend on the cutting");
    for (const TComPortNotice& Notice : Whole.Events.Notices)
        Require(Notice.Value.size() + 2 <= TTelnetCodec::SubLimit, "notice longer than the limit");

    std::string Wire;
    TTelnetCodec::EscapeData(Stream.data(), Stream.size(), Wire);
    const TResult Echoed = DecodeCut(Wire, Cutting);
    Require(Echoed.Data == Stream, "escaped data does not decode to itself");
    Require(Echoed.Events.Reply.empty() && Echoed.Events.Notices.empty(), "escaped data decoded as commands");
    return 0;
}

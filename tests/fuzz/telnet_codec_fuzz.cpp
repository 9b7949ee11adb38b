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

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace cport;

namespace {

void Require(bool Condition, const char* What) {
    if (!Condition) {
        std::fprintf(stderr, "telnet_codec_fuzz: %s\n", What);
        std::abort();
    }
}

struct TResult {
    std::string data;
    TTelnetEvents events;
};

TResult DecodeCut(const std::string& Stream, unsigned Seed) {
    TTelnetCodec codec;
    codec.Opening();
    TResult result;
    uint32_t random = Seed * 2654435761u + 1;
    size_t at = 0;
    while (at < Stream.size()) {
        size_t piece = Stream.size() - at;
        if (Seed != 0) {
            random = random * 1664525u + 1013904223u;
            piece = std::min<size_t>(piece, 1 + (random >> 16) % Seed);
        }
        std::string chunk = Stream.substr(at, piece);
        auto* p = reinterpret_cast<unsigned char*>(chunk.data());
        const size_t n = codec.Decode(p, chunk.size(), p, result.events);
        Require(n <= chunk.size(), "more data out than bytes in");
        result.data.append(chunk.data(), n);
        at += piece;
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0) return 0;
    const std::string stream(reinterpret_cast<const char*>(Data + 1), Size - 1);

    const TResult whole = DecodeCut(stream, 0);
    const TResult cut = DecodeCut(stream, Data[0]);
    Require(whole.data == cut.data, "data depends on the cutting");
    Require(whole.events.Reply == cut.events.Reply, "answers depend on the cutting");
    Require(whole.events.Notices == cut.events.Notices, "notices depend on the cutting");
    for (const TComPortNotice& notice : whole.events.Notices)
        Require(notice.Value.size() + 2 <= TTelnetCodec::SubLimit, "notice longer than the limit");

    std::string wire;
    TTelnetCodec::EscapeData(stream.data(), stream.size(), wire);
    const TResult echoed = DecodeCut(wire, Data[0]);
    Require(echoed.data == stream, "escaped data does not decode to itself");
    Require(echoed.events.Reply.empty() && echoed.events.Notices.empty(), "escaped data decoded as commands");
    return 0;
}

// SPDX-License-Identifier: MIT
// The telnet codec of network ports: data, commands and sub-negotiations
// decoded the same however the stream is cut into reads; negotiation
// answers; COM-PORT-OPTION requests byte for byte.
#include "cport/telnet_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace cport;
using namespace cport::telnet;

std::string Bytes(std::initializer_list<int> Values) {
    std::string out;
    for (int v : Values) out.push_back(static_cast<char>(v));
    return out;
}

struct TDecoded {
    std::string data;
    TTelnetEvents events;
};

// Decodes Stream cut at the given offsets, each piece in place.
TDecoded DecodePieces(TTelnetCodec& Codec, const std::string& Stream, const std::vector<size_t>& Cuts) {
    TDecoded got;
    size_t from = 0;
    std::vector<size_t> ends = Cuts;
    ends.push_back(Stream.size());
    for (size_t end : ends) {
        std::string piece = Stream.substr(from, end - from);
        auto* p = reinterpret_cast<unsigned char*>(piece.data());
        const size_t n = Codec.Decode(p, piece.size(), p, got.events);
        got.data.append(piece.data(), n);
        from = end;
    }
    return got;
}

struct TDecodeCase {
    const char* name;
    std::string stream;
    std::string data;
    std::vector<TComPortNotice> notices;
    std::string reply;
};

class TelnetDecode : public ::testing::TestWithParam<TDecodeCase> {};

// Whole, cut once at every position, and byte by byte: always the same.
TEST_P(TelnetDecode, SameResultForEveryWayOfCuttingTheStream) {
    const TDecodeCase& c = GetParam();
    std::vector<std::vector<size_t>> cuttings{{}};
    for (size_t at = 1; at < c.stream.size(); ++at) cuttings.push_back({at});
    std::vector<size_t> every;
    for (size_t at = 1; at < c.stream.size(); ++at) every.push_back(at);
    cuttings.push_back(every);
    for (const auto& cuts : cuttings) {
        TTelnetCodec codec;
        codec.Opening();
        const TDecoded got = DecodePieces(codec, c.stream, cuts);
        SCOPED_TRACE(::testing::Message() << "pieces: " << cuts.size() + 1);
        EXPECT_EQ(got.data, c.data);
        EXPECT_EQ(got.events.Notices, c.notices);
        EXPECT_EQ(got.events.Reply, c.reply);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, TelnetDecode,
    ::testing::Values(
        TDecodeCase{"plain", "*00:E01,00=07\r", "*00:E01,00=07\r", {}, ""},
        TDecodeCase{"doubled_iac", Bytes({'a', IAC, IAC, 'b', IAC, IAC}), Bytes({'a', 0xFF, 'b', 0xFF}), {}, ""},
        TDecodeCase{"commands_between_data", Bytes({'a', IAC, NOP, 'b', IAC, GA, IAC, SE, 'c'}), "abc", {}, ""},
        TDecodeCase{"server_opening",
                    Bytes({IAC, WILL, SGA, IAC, DO, SGA, IAC, WILL, ECHO, IAC, DONT, ECHO, IAC, DO, BINARY,
                           IAC, WILL, BINARY, IAC, DO, ComPortOption}),
                    "", {}, Bytes({IAC, DONT, ECHO})},
        TDecodeCase{"modem_state_notice", Bytes({'x', IAC, SB, ComPortOption, 107, 0x31, IAC, SE, 'y'}), "xy",
                    {{7, Bytes({0x31})}}, ""},
        TDecodeCase{"doubled_iac_in_value",
                    Bytes({IAC, SB, ComPortOption, 101, 0, IAC, IAC, 0, IAC, IAC, IAC, SE}), "",
                    {{1, Bytes({0, 0xFF, 0, 0xFF})}}, ""},
        TDecodeCase{"line_state_then_data", Bytes({IAC, SB, ComPortOption, 106, 0x12, IAC, SE, IAC, IAC}),
                    Bytes({0xFF}), {{6, Bytes({0x12})}}, ""},
        TDecodeCase{"other_option_sub_dropped", Bytes({IAC, SB, 24, 1, IAC, SE, 'z'}), "z", {}, ""},
        TDecodeCase{"client_command_echo_dropped", Bytes({IAC, SB, ComPortOption, 5, 8, IAC, SE}), "", {}, ""},
        TDecodeCase{"overlong_sub_dropped",
                    Bytes({IAC, SB, ComPortOption, 107}) + std::string(TTelnetCodec::SubLimit + 5, 'q') +
                        Bytes({IAC, SE, 'k'}),
                    "k", {}, ""},
        TDecodeCase{"command_inside_sub_ends_it", Bytes({IAC, SB, ComPortOption, 107, 1, IAC, WILL, ECHO, 'd'}),
                    "d", {}, Bytes({IAC, DONT, ECHO})}),
    [](const auto& Info) { return std::string(Info.param.name); });

// Negotiation after the client's opening offers: each command and its answer.
struct TNegotiationCase {
    const char* name;
    std::string from_server;
    std::string reply;
    bool com_port_accepted;
    bool com_port_refused;
    bool binary;
};

class TelnetNegotiation : public ::testing::TestWithParam<TNegotiationCase> {};

TEST_P(TelnetNegotiation, AnswersAndState) {
    const TNegotiationCase& c = GetParam();
    TTelnetCodec codec;
    codec.Opening();
    std::string stream = c.from_server;
    TTelnetEvents events;
    auto* p = reinterpret_cast<unsigned char*>(stream.data());
    EXPECT_EQ(codec.Decode(p, stream.size(), p, events), 0u);
    EXPECT_EQ(events.Reply, c.reply);
    EXPECT_EQ(codec.ComPortAccepted(), c.com_port_accepted);
    EXPECT_EQ(codec.ComPortRefused(), c.com_port_refused);
    EXPECT_EQ(codec.Binary(), c.binary);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, TelnetNegotiation,
    ::testing::Values(
        TNegotiationCase{"do_com_port_accepts", Bytes({IAC, DO, ComPortOption}), "", true, false, false},
        TNegotiationCase{"dont_com_port_refuses", Bytes({IAC, DONT, ComPortOption}), "", false, true, false},
        TNegotiationCase{"binary_both_ways", Bytes({IAC, DO, BINARY, IAC, WILL, BINARY}), "", false, false, true},
        TNegotiationCase{"repeated_agreement_not_answered",
                         Bytes({IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, BINARY}), "",
                         false, false, true},
        TNegotiationCase{"binary_withdrawn", Bytes({IAC, DO, BINARY, IAC, WILL, BINARY, IAC, WONT, BINARY, IAC,
                                                    DONT, BINARY}),
                         Bytes({IAC, DONT, BINARY, IAC, WONT, BINARY}), false, false, false},
        TNegotiationCase{"unknown_options_refused", Bytes({IAC, DO, 24, IAC, WILL, ECHO, IAC, WONT, 31, IAC, DONT, 31}),
                         Bytes({IAC, WONT, 24, IAC, DONT, ECHO}), false, false, false},
        TNegotiationCase{"server_com_port_refused", Bytes({IAC, WILL, ComPortOption}),
                         Bytes({IAC, DONT, ComPortOption}), false, false, false}),
    [](const auto& Info) { return std::string(Info.param.name); });

TEST(TelnetOpening, OffersComPortBinaryAndSuppressGoAhead) {
    TTelnetCodec codec;
    EXPECT_EQ(codec.Opening(), Bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA, IAC, WILL,
                                      ComPortOption}));
    EXPECT_EQ(codec.Opening(), "");   // offers are made once
    TTelnetCodec plain(false);
    EXPECT_EQ(plain.Opening(), Bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA}));
}

// A server that asks first is answered, and the option then counts.
TEST(TelnetOpening, ServerAskingFirstIsAnswered) {
    TTelnetCodec codec;
    std::string stream = Bytes({IAC, DO, ComPortOption, IAC, DO, SGA});
    TTelnetEvents events;
    auto* p = reinterpret_cast<unsigned char*>(stream.data());
    codec.Decode(p, stream.size(), p, events);
    EXPECT_EQ(events.Reply, Bytes({IAC, WILL, ComPortOption, IAC, WILL, SGA}));
    EXPECT_TRUE(codec.ComPortAccepted());
    EXPECT_EQ(codec.Opening(), Bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, DO, SGA}));
}

TEST(TelnetRequests, BytesOnTheWire) {
    EXPECT_EQ(TTelnetCodec::SetBaudRate(9600), Bytes({IAC, SB, ComPortOption, 1, 0, 0, 0x25, 0x80, IAC, SE}));
    EXPECT_EQ(TTelnetCodec::SetBaudRate(0xFF00FF), Bytes({IAC, SB, ComPortOption, 1, 0, IAC, IAC, 0, IAC, IAC, IAC, SE}));
    EXPECT_EQ(TTelnetCodec::RequestByte(cpSetControl, cpDtrOn), Bytes({IAC, SB, ComPortOption, 5, 8, IAC, SE}));
    EXPECT_EQ(TTelnetCodec::RequestByte(cpSetModemStateMask, 0xFF),
              Bytes({IAC, SB, ComPortOption, 11, IAC, IAC, IAC, SE}));
    EXPECT_EQ(TTelnetCodec::BaudRateOf(Bytes({0, 1, 0xC2, 0})), 115200u);
    EXPECT_EQ(TTelnetCodec::BaudRateOf("abc"), 0u);
}

TEST(TelnetRequests, EscapedDataDecodesToItself) {
    std::string all;
    for (int v = 0; v < 256; ++v) all.push_back(static_cast<char>(v));
    std::string wire;
    TTelnetCodec::EscapeData(all.data(), all.size(), wire);
    EXPECT_EQ(wire.size(), 257u);
    TTelnetCodec codec;
    const TDecoded got = DecodePieces(codec, wire, {255, 256});
    EXPECT_EQ(got.data, all);
    EXPECT_TRUE(got.events.Notices.empty());
}

}  // namespace

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

std::string Bytes(std::initializer_list<int> Values)
{
    std::string Out;
    for (int V : Values)
        Out.push_back(static_cast<char>(V));
    return Out;
}

struct TDecoded {
    std::string Data;
    TTelnetEvents Events;
};

// Decodes Stream cut at the given offsets, each piece in place.
TDecoded DecodePieces(TTelnetCodec& Codec, const std::string& Stream, const std::vector<size_t>& Cuts)
{
    TDecoded Got;
    size_t From = 0;
    std::vector<size_t> Ends = Cuts;
    Ends.push_back(Stream.size());
    for (size_t End : Ends) {
        std::string Piece = Stream.substr(From, End - From);
        auto* P = reinterpret_cast<unsigned char*>(Piece.data());
        const size_t N = Codec.Decode(P, Piece.size(), P, Got.Events);
        Got.Data.append(Piece.data(), N);
        From = End;
    }
    return Got;
}

struct TDecodeCase {
    const char* Name;
    std::string Stream;
    std::string Data;
    std::vector<TComPortNotice> Notices;
    std::string Reply;
};

class TelnetDecode : public ::testing::TestWithParam<TDecodeCase> {};

// Whole, cut once at every position, and byte by byte: always the same.
TEST_P(TelnetDecode, SameResultForEveryWayOfCuttingTheStream)
{
    const TDecodeCase& C = GetParam();
    std::vector<std::vector<size_t>> Cuttings{{}};
    for (size_t At = 1; At < C.Stream.size(); ++At)
        Cuttings.push_back({At});
    std::vector<size_t> Every;
    for (size_t At = 1; At < C.Stream.size(); ++At)
        Every.push_back(At);
    Cuttings.push_back(Every);
    for (const auto& Cuts : Cuttings) {
        TTelnetCodec Codec;
        Codec.Opening();
        const TDecoded Got = DecodePieces(Codec, C.Stream, Cuts);
        SCOPED_TRACE(::testing::Message() << "pieces: " << Cuts.size() + 1);
        EXPECT_EQ(Got.Data, C.Data);
        EXPECT_EQ(Got.Events.Notices, C.Notices);
        EXPECT_EQ(Got.Events.Reply, C.Reply);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, TelnetDecode,
    ::testing::Values(
        TDecodeCase{"plain", "*00:E01,00=07\r", "*00:E01,00=07\r", {}, ""},
        TDecodeCase{"doubled_iac", Bytes({'a', IAC, IAC, 'b', IAC, IAC}), Bytes({'a', 0xFF, 'b', 0xFF}), {}, ""},
        TDecodeCase{"commands_between_data", Bytes({'a', IAC, NOP, 'b', IAC, GA, IAC, SE, 'c'}), "abc", {}, ""},
        TDecodeCase{"server_opening",
                    Bytes({IAC,        WILL, SGA, IAC,    DO,  SGA,  IAC,    WILL, EchoOption, IAC,          DONT,
                           EchoOption, IAC,  DO,  BINARY, IAC, WILL, BINARY, IAC,  DO,         ComPortOption}),
                    "",
                    {},
                    Bytes({IAC, DONT, EchoOption})},
        TDecodeCase{"modem_state_notice",
                    Bytes({'x', IAC, SB, ComPortOption, 107, 0x31, IAC, SE, 'y'}),
                    "xy",
                    {{7, Bytes({0x31})}},
                    ""},
        TDecodeCase{"doubled_iac_in_value",
                    Bytes({IAC, SB, ComPortOption, 101, 0, IAC, IAC, 0, IAC, IAC, IAC, SE}),
                    "",
                    {{1, Bytes({0, 0xFF, 0, 0xFF})}},
                    ""},
        TDecodeCase{"line_state_then_data",
                    Bytes({IAC, SB, ComPortOption, 106, 0x12, IAC, SE, IAC, IAC}),
                    Bytes({0xFF}),
                    {{6, Bytes({0x12})}},
                    ""},
        TDecodeCase{"other_option_sub_dropped", Bytes({IAC, SB, 24, 1, IAC, SE, 'z'}), "z", {}, ""},
        TDecodeCase{"client_command_echo_dropped", Bytes({IAC, SB, ComPortOption, 5, 8, IAC, SE}), "", {}, ""},
        TDecodeCase{"overlong_sub_dropped",
                    Bytes({IAC, SB, ComPortOption, 107}) + std::string(TTelnetCodec::SubLimit + 5, 'q') +
                        Bytes({IAC, SE, 'k'}),
                    "k",
                    {},
                    ""},
        TDecodeCase{"command_inside_sub_ends_it",
                    Bytes({IAC, SB, ComPortOption, 107, 1, IAC, WILL, EchoOption, 'd'}),
                    "d",
                    {},
                    Bytes({IAC, DONT, EchoOption})}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// Negotiation after the client's opening offers: each command and its answer.
struct TNegotiationCase {
    const char* Name;
    std::string FromServer;
    std::string Reply;
    bool ComPortAccepted;
    bool ComPortRefused;
    bool Binary;
};

class TelnetNegotiation : public ::testing::TestWithParam<TNegotiationCase> {};

TEST_P(TelnetNegotiation, AnswersAndState)
{
    const TNegotiationCase& C = GetParam();
    TTelnetCodec Codec;
    Codec.Opening();
    std::string Stream = C.FromServer;
    TTelnetEvents Events;
    auto* P = reinterpret_cast<unsigned char*>(Stream.data());
    EXPECT_EQ(Codec.Decode(P, Stream.size(), P, Events), 0u);
    EXPECT_EQ(Events.Reply, C.Reply);
    EXPECT_EQ(Codec.ComPortAccepted(), C.ComPortAccepted);
    EXPECT_EQ(Codec.ComPortRefused(), C.ComPortRefused);
    EXPECT_EQ(Codec.Binary(), C.Binary);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, TelnetNegotiation,
    ::testing::Values(
        TNegotiationCase{"do_com_port_accepts", Bytes({IAC, DO, ComPortOption}), "", true, false, false},
        TNegotiationCase{"dont_com_port_refuses", Bytes({IAC, DONT, ComPortOption}), "", false, true, false},
        TNegotiationCase{"binary_both_ways", Bytes({IAC, DO, BINARY, IAC, WILL, BINARY}), "", false, false, true},
        TNegotiationCase{"repeated_agreement_not_answered",
                         Bytes({IAC, DO, BINARY, IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, BINARY}), "", false,
                         false, true},
        TNegotiationCase{"binary_withdrawn",
                         Bytes({IAC, DO, BINARY, IAC, WILL, BINARY, IAC, WONT, BINARY, IAC, DONT, BINARY}),
                         Bytes({IAC, DONT, BINARY, IAC, WONT, BINARY}), false, false, false},
        TNegotiationCase{"unknown_options_refused",
                         Bytes({IAC, DO, 24, IAC, WILL, EchoOption, IAC, WONT, 31, IAC, DONT, 31}),
                         Bytes({IAC, WONT, 24, IAC, DONT, EchoOption}), false, false, false},
        TNegotiationCase{"server_com_port_refused", Bytes({IAC, WILL, ComPortOption}),
                         Bytes({IAC, DONT, ComPortOption}), false, false, false},
        TNegotiationCase{"repeated_requests_refused_once",
                         Bytes({IAC, DO, 24, IAC, WILL, ComPortOption, IAC, DO, 24, IAC, WILL, ComPortOption, IAC, DO,
                                24, IAC, WILL, 24}),
                         Bytes({IAC, WONT, 24, IAC, DONT, ComPortOption, IAC, DONT, 24}), false, false, false}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// A sub-negotiation (option and value bytes) is waited through up to its
// limit; past it the stream is given up, and nothing after it counts as
// data.
TEST(TelnetSubNegotiation, EndlessOneBreaksTheStreamAtItsLimit)
{
    const std::string Start = Bytes({IAC, SB, ComPortOption, 107});
    TTelnetCodec Codec;
    TDecoded Got = DecodePieces(Codec, Start + std::string(TTelnetCodec::SubEndLimit - 2, 'q'), {});
    EXPECT_FALSE(Codec.Broken());
    Got = DecodePieces(Codec, "q" + Bytes({IAC, SE}) + "data", {});
    EXPECT_TRUE(Codec.Broken());
    EXPECT_EQ(Got.Data, "");
    EXPECT_EQ(Got.Events.CommandBytes, 7u);
}

TEST(TelnetOpening, OffersComPortBinaryAndSuppressGoAhead)
{
    TTelnetCodec Codec;
    EXPECT_EQ(Codec.Opening(),
              Bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA, IAC, WILL, ComPortOption}));
    EXPECT_EQ(Codec.Opening(), "");  // offers are made once
    TTelnetCodec Plain(false);
    EXPECT_EQ(Plain.Opening(), Bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA}));
}

// A server that asks first is answered, and the option then counts.
TEST(TelnetOpening, ServerAskingFirstIsAnswered)
{
    TTelnetCodec Codec;
    std::string Stream = Bytes({IAC, DO, ComPortOption, IAC, DO, SGA});
    TTelnetEvents Events;
    auto* P = reinterpret_cast<unsigned char*>(Stream.data());
    Codec.Decode(P, Stream.size(), P, Events);
    EXPECT_EQ(Events.Reply, Bytes({IAC, WILL, ComPortOption, IAC, WILL, SGA}));
    EXPECT_TRUE(Codec.ComPortAccepted());
    EXPECT_EQ(Codec.Opening(), Bytes({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, DO, SGA}));
}

TEST(TelnetRequests, BytesOnTheWire)
{
    EXPECT_EQ(TTelnetCodec::SetBaudRate(9600), Bytes({IAC, SB, ComPortOption, 1, 0, 0, 0x25, 0x80, IAC, SE}));
    EXPECT_EQ(TTelnetCodec::SetBaudRate(0xFF00FF),
              Bytes({IAC, SB, ComPortOption, 1, 0, IAC, IAC, 0, IAC, IAC, IAC, SE}));
    EXPECT_EQ(TTelnetCodec::RequestByte(cpSetControl, cpDtrOn), Bytes({IAC, SB, ComPortOption, 5, 8, IAC, SE}));
    EXPECT_EQ(TTelnetCodec::RequestByte(cpSetModemStateMask, 0xFF),
              Bytes({IAC, SB, ComPortOption, 11, IAC, IAC, IAC, SE}));
    EXPECT_EQ(TTelnetCodec::BaudRateOf(Bytes({0, 1, 0xC2, 0})), 115200u);
    EXPECT_EQ(TTelnetCodec::BaudRateOf("abc"), 0u);
}

TEST(TelnetRequests, EscapedDataDecodesToItself)
{
    std::string All;
    for (int V = 0; V < 256; ++V)
        All.push_back(static_cast<char>(V));
    std::string Wire;
    TTelnetCodec::EscapeData(All.data(), All.size(), Wire);
    EXPECT_EQ(Wire.size(), 257u);
    TTelnetCodec Codec;
    const TDecoded Got = DecodePieces(Codec, Wire, {255, 256});
    EXPECT_EQ(Got.Data, All);
    EXPECT_TRUE(Got.Events.Notices.empty());
}

}  // namespace

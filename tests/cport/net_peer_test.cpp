// SPDX-License-Identifier: MIT
// rfc2217:// ports against a small in-process telnet server (what ser2net on
// a pseudo-terminal cannot show: notices of modem and line state, sequences
// cut across sends, requests left unanswered), and the open errors of
// network ports.
#include "device_pty.h"
#include "event_test_support.h"
#include "loopback_listener.h"
#include "telnet_peer.h"

#include "cport/net_device.h"
#include "cport/telnet_codec.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

namespace {

using namespace cport;
using namespace cport::telnet;
using namespace device_test;
using net_test::TPeerOptions;
using net_test::TPeerRequest;
using net_test::TTelnetPeer;

std::string Byte(uint8_t Value)
{
    return std::string(1, static_cast<char>(Value));
}

// The requests of one command, in order.
std::vector<std::string> ValuesOf(const std::vector<TPeerRequest>& Requests, uint8_t Command)
{
    std::vector<std::string> Values;
    for (const TPeerRequest& R : Requests)
        if (R.Command == Command)
            Values.push_back(R.Value);
    return Values;
}

// A port on a telnet server that answers as a serial device server does.
class NetPeer : public ::testing::Test {
protected:
    void SetUp() override { Port_.SetPort(Peer_.Url()); }

    TTelnetPeer Peer_;
    TComPort Port_;
};

TEST_F(NetPeer, OpenSendsTheLineSettingsAndMasksThatFollowTheEvents)
{
    Port_.SetEvents({evRxChar, evCTS, evBreak});
    Port_.FlowControl().SetControlDTR(dtrEnable);
    Port_.Open();
    // Control requests are not waited for by the open: they may still be on their way.
    ASSERT_TRUE(Peer_.WaitFor([](const std::string&, const auto& Requests) { return Requests.size() >= 10; }));
    const auto Requests = Peer_.Requests();
    EXPECT_EQ(ValuesOf(Requests, cpSetBaudRate), std::vector<std::string>{std::string("\0\0\x25\x80", 4)});
    EXPECT_EQ(ValuesOf(Requests, cpSetDataSize), std::vector<std::string>{Byte(8)});
    EXPECT_EQ(ValuesOf(Requests, cpSetParity), std::vector<std::string>{Byte(cpParityNone)});
    EXPECT_EQ(ValuesOf(Requests, cpSetStopSize), std::vector<std::string>{Byte(cpStopOne)});
    EXPECT_EQ(ValuesOf(Requests, cpSetControl),
              (std::vector<std::string>{Byte(cpOutFlowNone), Byte(cpInFlowNone), Byte(cpDtrOn), Byte(cpRtsOff)}));
    EXPECT_EQ(ValuesOf(Requests, cpSetLineStateMask), std::vector<std::string>{Byte(LineBreak)});
    EXPECT_EQ(ValuesOf(Requests, cpSetModemStateMask), std::vector<std::string>{Byte(ModemCTS | ModemDeltaCTS)});

    // Only what changed goes out; the control requests were never answered.
    Port_.SetBaudRate(br115200);
    EXPECT_EQ(ValuesOf(Peer_.Requests(), cpSetBaudRate).back(), std::string("\0\x01\xc2\0", 4));
    EXPECT_EQ(Peer_.Requests().size(), Requests.size() + 1);
    Port_.Close();
}

// Data bytes 0xFF are doubled on the wire (the peer undoubles them: a lone
// IAC would be taken as a command and the byte lost).
TEST_F(NetPeer, IacInDataIsDoubledOnTheWire)
{
    Port_.SetEvents({});
    Port_.Open();
    const std::string data("\xff\x01\xff\xff\xfa", 5);
    Port_.WriteBytes(data.data(), static_cast<int32_t>(data.size()));
    EXPECT_TRUE(Peer_.WaitFor([&](const std::string& Data, const auto&) { return Data == data; }));
    Port_.Close();
}

// Commands and sub-negotiations cut across sends never reach the reader; a
// modem-state notice among them sets the signals.
TEST_F(NetPeer, SplitSequencesNeverReachTheReader)
{
    Port_.SetEvents({});
    WaitingReads(Port_, 5000);
    Port_.Open();
    for (const std::string& Piece : {std::string("ab\xff", 3),
                                     std::string("\xff"
                                                 "c\xff\xfa\x2c",
                                                 5),
                                     std::string("\x6b\x30", 2), std::string("\xff"),
                                     std::string("\xf0"
                                                 "d\xff",
                                                 3),
                                     std::string("\xfb"),
                                     std::string("\x01"
                                                 "e",
                                                 2)})
        Peer_.Send(Piece);
    std::string Got(5, '\0');
    EXPECT_EQ(Port_.ReadBytes(Got.data(), 5), 5);
    EXPECT_EQ(Got, std::string("ab\xff"
                               "cd",
                               5)
                       .substr(0, 5));
    Got.assign(1, '\0');
    EXPECT_EQ(Port_.ReadBytes(Got.data(), 1), 1);
    EXPECT_EQ(Got, "e");
    EXPECT_EQ(Port_.ModemSignals(), (TLineSignals{lsCTS, lsDSR}));
    Port_.Close();
}

// Notices of the server become the port's line events on the owning thread.
TEST_F(NetPeer, NoticesBecomeLineEvents)
{
    event_test::OwnerLoop Loop;
    event_test::Watchdog Watchdog("NoticesBecomeLineEvents", 60s);
    Port_.Parity().SetCheck(true);
    std::vector<std::string> Seen;
    Port_.OnCTSChange = [&](TComponent*, bool On) { Seen.push_back(On ? "CTS on" : "CTS off"); };
    Port_.OnDSRChange = [&](TComponent*, bool On) { Seen.push_back(On ? "DSR on" : "DSR off"); };
    Port_.OnRLSDChange = [&](TComponent*, bool On) { Seen.push_back(On ? "RLSD on" : "RLSD off"); };
    Port_.OnRing = [&](TComponent*) { Seen.push_back("Ring"); };
    Port_.OnBreak = [&](TComponent*) { Seen.push_back("Break"); };
    Port_.OnError = [&](TComponent*, TComErrors Errors) { Seen.push_back("Error " + std::to_string(Errors.Bits())); };
    Port_.Open();
    EXPECT_EQ(Seen, (std::vector<std::string>{"CTS off", "DSR off", "RLSD off"}));
    Seen.clear();

    Peer_.Send(TTelnetPeer::Notice(cpNotifyModemState, Byte(ModemCTS | ModemDeltaCTS | ModemCD | ModemDeltaCD)));
    ASSERT_TRUE(Loop.ServeUntil([&] { return Seen.size() >= 2; }));
    EXPECT_EQ(Seen, (std::vector<std::string>{"CTS on", "RLSD on"}));
    Seen.clear();

    Peer_.Send(TTelnetPeer::Notice(cpNotifyModemState, Byte(ModemCTS | ModemCD | ModemRingEnd)));
    ASSERT_TRUE(Loop.ServeUntil([&] { return !Seen.empty(); }));
    EXPECT_EQ(Seen, std::vector<std::string>{"Ring"});
    Seen.clear();

    Peer_.Send(TTelnetPeer::Notice(cpNotifyLineState, Byte(LineFraming | LineParity)));
    ASSERT_TRUE(Loop.ServeUntil([&] { return !Seen.empty(); }));
    EXPECT_EQ(Seen, std::vector<std::string>{"Error " + std::to_string(TComErrors{leFrame, leRxParity}.Bits())});
    Seen.clear();

    // A break is its own event, as on a local line.
    Peer_.Send(TTelnetPeer::Notice(cpNotifyLineState, Byte(LineBreak)));
    ASSERT_TRUE(Loop.ServeUntil([&] { return !Seen.empty(); }));
    Loop.ServeFor(100ms);
    EXPECT_EQ(Seen, std::vector<std::string>{"Break"});
    Port_.Close();
}

TEST_F(NetPeer, ServerClosingTheConnectionIsDeviceLoss)
{
    event_test::OwnerLoop Loop;
    event_test::Watchdog Watchdog("ServerClosingTheConnectionIsDeviceLoss", 60s);
    std::vector<TComErrors> errors;
    Port_.OnError = [&](TComponent*, TComErrors Errors) { errors.push_back(Errors); };
    Port_.Open();
    Peer_.Disconnect();
    ASSERT_TRUE(Loop.ServeUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors[0], TComErrors{leIOError});
    Port_.Close();
}

// Transfers keep their time-outs and their abort on a network port.
TEST_F(NetPeer, ReadTimeOutAndAbort)
{
    Port_.SetEvents({});
    WaitingReads(Port_, 300);
    Port_.Open();
    char Buffer[8];
    const auto Started = Clock::now();
    EXPECT_EQ(Port_.ReadBytes(Buffer, sizeof Buffer), 0);
    EXPECT_GE(Clock::now() - Started, 300ms);

    WaitingReads(Port_, 60'000);
    TOwnedRequest Request;
    EXPECT_EQ(Port_.ReadBytesAsync(Buffer, sizeof Buffer, Request), 0);  // pending
    Port_.AbortPendingIO();
    const auto Aborted = Clock::now();
    EXPECT_EQ(Port_.WaitAsyncRequest(Request), 0);
    EXPECT_LT(Clock::now() - Aborted, 5s);
    Port_.Close();
}

// The device's purge and break reach the server as COM-PORT-OPTION requests.
TEST_F(NetPeer, PurgeAndBreakAreSentToTheServer)
{
    TNetOpenFailure Failure;
    const auto Device = OpenNetDevice(*NetAddressOf(Peer_.Url()), Failure, 150ms);
    ASSERT_TRUE(Device) << Failure.Reason;
    EXPECT_EQ(Device->Purge(true, true), 0);
    EXPECT_EQ(Device->Purge(true, false), 0);
    EXPECT_EQ(Device->SetBreak(true), 0);
    EXPECT_EQ(Device->SetBreak(false), 0);
    EXPECT_TRUE(Peer_.WaitFor([](const std::string&, const std::vector<TPeerRequest>& Requests) {
        return ValuesOf(Requests, cpPurgeData) == std::vector<std::string>{Byte(cpPurgeBoth), Byte(cpPurgeReceive)} &&
               ValuesOf(Requests, cpSetControl) == std::vector<std::string>{Byte(cpBreakOn), Byte(cpBreakOff)};
    }));
    Device->Close();
}

using TSilentListener = net_test::TLoopbackListener;

struct TOpenErrorCase {
    const char* Name;
    std::function<std::string(const TSilentListener&, const std::string&)> Url;
    int SystemError;
    std::function<std::string(const std::string& Port)> Reason;  // the line below the message
};

class NetOpenError : public ::testing::TestWithParam<TOpenErrorCase> {};

// The open error with the reason below it; only OnBeforeOpen was called.
TEST_P(NetOpenError, OpenErrorWithTheReasonBelowIt)
{
    const TOpenErrorCase& C = GetParam();
    TSilentListener Silent;
    const std::string Closed = net_test::ClosedLoopbackPort();
    TComPort Port;
    HandlerLog Log;
    Log.Attach(Port);
    Port.SetPort(C.Url(Silent, Closed));
    const EComPort Error = RaisedBy([&] { Port.Open(); });
    EXPECT_EQ(Error.ErrorCode(), CError_OpenFailed);
    if (C.SystemError != 0) {
        EXPECT_EQ(Error.SystemErrorCode(), C.SystemError);
    }
    const std::string Message = Error.what();
    const std::string First =
        "Unable to open com port (win error code: " + std::to_string(Error.SystemErrorCode()) + ")\n";
    EXPECT_EQ(Message.substr(0, First.size()), First);
    const std::string Reason = C.Reason(C.SystemError == ETIMEDOUT ? Silent.Port() : Closed);
    EXPECT_EQ(Message.substr(First.size(), Reason.size()), Reason) << Message;
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Log.Calls, std::vector<std::string>{"BeforeOpen"});
}

INSTANTIATE_TEST_SUITE_P(
    Failures, NetOpenError,
    ::testing::Values(
        TOpenErrorCase{"refused",
                       [](const auto&, const std::string& Closed) { return "rfc2217://127.0.0.1:" + Closed; },
                       ECONNREFUSED, [](const std::string& P) { return "Connection refused by 127.0.0.1:" + P; }},
        TOpenErrorCase{"refused_raw",
                       [](const auto&, const std::string& Closed) { return "socket://127.0.0.1:" + Closed; },
                       ECONNREFUSED, [](const std::string& P) { return "Connection refused by 127.0.0.1:" + P; }},
        TOpenErrorCase{
            "host_not_found",
            [](const auto&, const std::string&) { return std::string("rfc2217://no-such-host.invalid:4001"); }, 0,
            [](const std::string&) { return std::string("Host not found: no-such-host.invalid"); }},
        TOpenErrorCase{"never_negotiates",
                       [](const TSilentListener& S, const std::string&) { return "rfc2217://127.0.0.1:" + S.Port(); },
                       ETIMEDOUT, [](const std::string& P) { return "No telnet negotiation from 127.0.0.1:" + P; }},
        TOpenErrorCase{"malformed", [](const auto&, const std::string&) { return std::string("rfc2217://box"); },
                       EINVAL, [](const std::string&) { return std::string("Not a network port name"); }}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// A server that will not serve the line as asked: the open fails, bounded in
// time, and the port stays closed.
TEST(NetPeerRefusal, ServersThatWillNotServeTheLineFailTheOpen)
{
    const struct {
        const char* What;
        void (*Configure)(TPeerOptions&);
        int32_t Code;
        int SystemError;     // 0: any
        const char* Reason;  // in the message, or nullptr
    } Cases[] = {
        {"never answers the rate", [](TPeerOptions& O) { O.AcknowledgeFormat = false; }, CError_SetStateFailed,
         ETIMEDOUT, nullptr},
        {"refuses serial control", [](TPeerOptions& O) { O.AgreeComPort = false; }, CError_OpenFailed, 0,
         "refuses serial line control"},
    };
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Case.What);
        TPeerOptions Options;
        Case.Configure(Options);
        TTelnetPeer Peer(Options);
        TComPort Port;
        Port.SetPort(Peer.Url());
        const auto Started = Clock::now();
        const EComPort Error = RaisedBy([&] { Port.Open(); });
        EXPECT_EQ(Error.ErrorCode(), Case.Code);
        if (Case.SystemError != 0) {
            EXPECT_EQ(Error.SystemErrorCode(), Case.SystemError);
        }
        if (Case.Reason) {
            EXPECT_NE(std::string(Error.what()).find(Case.Reason), std::string::npos) << Error.what();
        }
        EXPECT_LT(Clock::now() - Started, 30s);
        EXPECT_FALSE(Port.Connected());
    }
}

}  // namespace

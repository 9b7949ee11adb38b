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

std::string Byte(uint8_t Value) { return std::string(1, static_cast<char>(Value)); }

// The requests of one command, in order.
std::vector<std::string> ValuesOf(const std::vector<TPeerRequest>& Requests, uint8_t Command) {
    std::vector<std::string> values;
    for (const TPeerRequest& r : Requests)
        if (r.command == Command) values.push_back(r.value);
    return values;
}

// A port on a telnet server that answers as a serial device server does.
class NetPeer : public ::testing::Test {
protected:
    void SetUp() override { port.SetPort(peer.Url()); }

    TTelnetPeer peer;
    TComPort port;
};

TEST_F(NetPeer, OpenSendsTheLineSettingsAndMasksThatFollowTheEvents) {
    port.SetEvents({evRxChar, evCTS, evBreak});
    port.FlowControl().SetControlDTR(dtrEnable);
    port.Open();
    // Control requests are not waited for by the open: they may still be on their way.
    ASSERT_TRUE(peer.WaitFor([](const std::string&, const auto& Requests) { return Requests.size() >= 10; }));
    const auto requests = peer.Requests();
    EXPECT_EQ(ValuesOf(requests, cpSetBaudRate), std::vector<std::string>{std::string("\0\0\x25\x80", 4)});
    EXPECT_EQ(ValuesOf(requests, cpSetDataSize), std::vector<std::string>{Byte(8)});
    EXPECT_EQ(ValuesOf(requests, cpSetParity), std::vector<std::string>{Byte(cpParityNone)});
    EXPECT_EQ(ValuesOf(requests, cpSetStopSize), std::vector<std::string>{Byte(cpStopOne)});
    EXPECT_EQ(ValuesOf(requests, cpSetControl),
              (std::vector<std::string>{Byte(cpOutFlowNone), Byte(cpInFlowNone), Byte(cpDtrOn), Byte(cpRtsOff)}));
    EXPECT_EQ(ValuesOf(requests, cpSetLineStateMask), std::vector<std::string>{Byte(LineBreak)});
    EXPECT_EQ(ValuesOf(requests, cpSetModemStateMask), std::vector<std::string>{Byte(ModemCTS | ModemDeltaCTS)});

    // Only what changed goes out; the control requests were never answered.
    port.SetBaudRate(br115200);
    EXPECT_EQ(ValuesOf(peer.Requests(), cpSetBaudRate).back(), std::string("\0\x01\xc2\0", 4));
    EXPECT_EQ(peer.Requests().size(), requests.size() + 1);
    port.Close();
}

// Data bytes 0xFF are doubled on the wire (the peer undoubles them: a lone
// IAC would be taken as a command and the byte lost).
TEST_F(NetPeer, IacInDataIsDoubledOnTheWire) {
    port.SetEvents({});
    port.Open();
    const std::string data("\xff\x01\xff\xff\xfa", 5);
    port.WriteBytes(data.data(), static_cast<int32_t>(data.size()));
    EXPECT_TRUE(peer.WaitFor([&](const std::string& Data, const auto&) { return Data == data; }));
    port.Close();
}

// Commands and sub-negotiations cut across sends never reach the reader; a
// modem-state notice among them sets the signals.
TEST_F(NetPeer, SplitSequencesNeverReachTheReader) {
    port.SetEvents({});
    WaitingReads(port, 5000);
    port.Open();
    for (const std::string& piece : {std::string("ab\xff", 3), std::string("\xff" "c\xff\xfa\x2c", 5), std::string("\x6b\x30", 2),
                                    std::string("\xff"), std::string("\xf0" "d\xff", 3), std::string("\xfb"),
                                    std::string("\x01" "e", 2)})
        peer.Send(piece);
    std::string got(5, '\0');
    EXPECT_EQ(port.ReadBytes(got.data(), 5), 5);
    EXPECT_EQ(got, std::string("ab\xff" "cd", 5).substr(0, 5));
    got.assign(1, '\0');
    EXPECT_EQ(port.ReadBytes(got.data(), 1), 1);
    EXPECT_EQ(got, "e");
    EXPECT_EQ(port.ModemSignals(), (TLineSignals{lsCTS, lsDSR}));
    port.Close();
}

// Notices of the server become the port's line events on the owning thread.
TEST_F(NetPeer, NoticesBecomeLineEvents) {
    event_test::OwnerLoop loop;
    event_test::Watchdog watchdog("NoticesBecomeLineEvents", 60s);
    port.Parity().SetCheck(true);
    std::vector<std::string> seen;
    port.OnCTSChange = [&](TComponent*, bool On) { seen.push_back(On ? "CTS on" : "CTS off"); };
    port.OnDSRChange = [&](TComponent*, bool On) { seen.push_back(On ? "DSR on" : "DSR off"); };
    port.OnRLSDChange = [&](TComponent*, bool On) { seen.push_back(On ? "RLSD on" : "RLSD off"); };
    port.OnRing = [&](TComponent*) { seen.push_back("Ring"); };
    port.OnBreak = [&](TComponent*) { seen.push_back("Break"); };
    port.OnError = [&](TComponent*, TComErrors Errors) {
        seen.push_back("Error " + std::to_string(Errors.Bits()));
    };
    port.Open();
    EXPECT_EQ(seen, (std::vector<std::string>{"CTS off", "DSR off", "RLSD off"}));
    seen.clear();

    peer.Send(TTelnetPeer::Notice(cpNotifyModemState, Byte(ModemCTS | ModemDeltaCTS | ModemCD | ModemDeltaCD)));
    ASSERT_TRUE(loop.ServeUntil([&] { return seen.size() >= 2; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"CTS on", "RLSD on"}));
    seen.clear();

    peer.Send(TTelnetPeer::Notice(cpNotifyModemState, Byte(ModemCTS | ModemCD | ModemRingEnd)));
    ASSERT_TRUE(loop.ServeUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, std::vector<std::string>{"Ring"});
    seen.clear();

    peer.Send(TTelnetPeer::Notice(cpNotifyLineState, Byte(LineFraming | LineParity)));
    ASSERT_TRUE(loop.ServeUntil([&] { return !seen.empty(); }));
    EXPECT_EQ(seen, std::vector<std::string>{"Error " + std::to_string(TComErrors{leFrame, leRxParity}.Bits())});
    seen.clear();

    // A break is its own event, as on a local line.
    peer.Send(TTelnetPeer::Notice(cpNotifyLineState, Byte(LineBreak)));
    ASSERT_TRUE(loop.ServeUntil([&] { return !seen.empty(); }));
    loop.ServeFor(100ms);
    EXPECT_EQ(seen, std::vector<std::string>{"Break"});
    port.Close();
}

TEST_F(NetPeer, ServerClosingTheConnectionIsDeviceLoss) {
    event_test::OwnerLoop loop;
    event_test::Watchdog watchdog("ServerClosingTheConnectionIsDeviceLoss", 60s);
    std::vector<TComErrors> errors;
    port.OnError = [&](TComponent*, TComErrors Errors) { errors.push_back(Errors); };
    port.Open();
    peer.Disconnect();
    ASSERT_TRUE(loop.ServeUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors[0], TComErrors{leIOError});
    port.Close();
}

// Transfers keep their time-outs and their abort on a network port.
TEST_F(NetPeer, ReadTimeOutAndAbort) {
    port.SetEvents({});
    WaitingReads(port, 300);
    port.Open();
    char buffer[8];
    const auto started = Clock::now();
    EXPECT_EQ(port.ReadBytes(buffer, sizeof buffer), 0);
    EXPECT_GE(Clock::now() - started, 300ms);

    WaitingReads(port, 60'000);
    TOwnedRequest request;
    EXPECT_EQ(port.ReadBytesAsync(buffer, sizeof buffer, request), 0);   // pending
    port.AbortPendingIO();
    const auto aborted = Clock::now();
    EXPECT_EQ(port.WaitAsyncRequest(request), 0);
    EXPECT_LT(Clock::now() - aborted, 5s);
    port.Close();
}

// The device's purge and break reach the server as COM-PORT-OPTION requests.
TEST_F(NetPeer, PurgeAndBreakAreSentToTheServer) {
    TNetOpenFailure failure;
    const auto device = OpenNetDevice(*NetAddressOf(peer.Url()), failure);
    ASSERT_TRUE(device) << failure.Reason;
    EXPECT_EQ(device->Purge(true, true), 0);
    EXPECT_EQ(device->Purge(true, false), 0);
    EXPECT_EQ(device->SetBreak(true), 0);
    EXPECT_EQ(device->SetBreak(false), 0);
    EXPECT_TRUE(peer.WaitFor([](const std::string&, const std::vector<TPeerRequest>& Requests) {
        return ValuesOf(Requests, cpPurgeData) == std::vector<std::string>{Byte(cpPurgeBoth), Byte(cpPurgeReceive)} &&
               ValuesOf(Requests, cpSetControl) == std::vector<std::string>{Byte(cpBreakOn), Byte(cpBreakOff)};
    }));
    device->Close();
}


using TSilentListener = net_test::TLoopbackListener;

struct TOpenErrorCase {
    const char* name;
    std::function<std::string(const TSilentListener&, const std::string&)> url;
    int system_error;
    std::function<std::string(const std::string& Port)> reason;   // the line below the message
};

class NetOpenError : public ::testing::TestWithParam<TOpenErrorCase> {};

// The open error with the reason below it; only OnBeforeOpen was called.
TEST_P(NetOpenError, OpenErrorWithTheReasonBelowIt) {
    const TOpenErrorCase& c = GetParam();
    TSilentListener silent;
    const std::string closed = net_test::ClosedLoopbackPort();
    TComPort port;
    HandlerLog log;
    log.Attach(port);
    port.SetPort(c.url(silent, closed));
    const EComPort error = RaisedBy([&] { port.Open(); });
    EXPECT_EQ(error.ErrorCode(), CError_OpenFailed);
    if (c.system_error != 0) {
        EXPECT_EQ(error.SystemErrorCode(), c.system_error);
    }
    const std::string message = error.what();
    const std::string first = "Unable to open com port (win error code: " + std::to_string(error.SystemErrorCode()) + ")\n";
    EXPECT_EQ(message.substr(0, first.size()), first);
    const std::string reason = c.reason(c.system_error == ETIMEDOUT ? silent.Port() : closed);
    EXPECT_EQ(message.substr(first.size(), reason.size()), reason) << message;
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(log.calls, std::vector<std::string>{"BeforeOpen"});
}

INSTANTIATE_TEST_SUITE_P(
    Failures, NetOpenError,
    ::testing::Values(
        TOpenErrorCase{"refused", [](const auto&, const std::string& Closed) { return "rfc2217://127.0.0.1:" + Closed; },
                       ECONNREFUSED, [](const std::string& P) { return "Connection refused by 127.0.0.1:" + P; }},
        TOpenErrorCase{"refused_raw", [](const auto&, const std::string& Closed) { return "socket://127.0.0.1:" + Closed; },
                       ECONNREFUSED, [](const std::string& P) { return "Connection refused by 127.0.0.1:" + P; }},
        TOpenErrorCase{"host_not_found", [](const auto&, const std::string&) { return std::string("rfc2217://no-such-host.invalid:4001"); },
                       0, [](const std::string&) { return std::string("Host not found: no-such-host.invalid"); }},
        TOpenErrorCase{"never_negotiates", [](const TSilentListener& S, const std::string&) { return "rfc2217://127.0.0.1:" + S.Port(); },
                       ETIMEDOUT, [](const std::string& P) { return "No telnet negotiation from 127.0.0.1:" + P; }},
        TOpenErrorCase{"malformed", [](const auto&, const std::string&) { return std::string("rfc2217://box"); },
                       EINVAL, [](const std::string&) { return std::string("Not a network port name"); }}),
    [](const auto& Info) { return std::string(Info.param.name); });

// A server that will not serve the line as asked: the open fails, bounded in
// time, and the port stays closed.
TEST(NetPeerRefusal, ServersThatWillNotServeTheLineFailTheOpen) {
    const struct {
        const char* What;
        void (*Configure)(TPeerOptions&);
        int32_t Code;
        int SystemError;          // 0: any
        const char* Reason;       // in the message, or nullptr
    } Cases[] = {
        {"never answers the rate", [](TPeerOptions& O) { O.acknowledge_format = false; }, CError_SetStateFailed,
         ETIMEDOUT, nullptr},
        {"refuses serial control", [](TPeerOptions& O) { O.agree_com_port = false; }, CError_OpenFailed, 0,
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

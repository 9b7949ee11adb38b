// rfc2217:// ports against a small in-process telnet server (what ser2net on
// a pseudo-terminal cannot show: notices of modem and line state, sequences
// cut across sends, requests left unanswered), and the open errors of
// network ports.
#include "device_pty.h"
#include "event_test_support.h"
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

TEST(NetPeer, OpenSendsTheLineSettingsAndMasksThatFollowTheEvents) {
    TTelnetPeer peer;
    TComPort port;
    port.SetPort(peer.Url());
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
TEST(NetPeer, IacInDataIsDoubledOnTheWire) {
    TTelnetPeer peer;
    TComPort port;
    port.SetPort(peer.Url());
    port.SetEvents({});
    port.Open();
    const std::string data("\xff\x01\xff\xff\xfa", 5);
    port.WriteBytes(data.data(), static_cast<int32_t>(data.size()));
    EXPECT_TRUE(peer.WaitFor([&](const std::string& Data, const auto&) { return Data == data; }));
    port.Close();
}

// Commands and sub-negotiations cut across sends never reach the reader; a
// modem-state notice among them sets the signals.
TEST(NetPeer, SplitSequencesNeverReachTheReader) {
    TTelnetPeer peer;
    TComPort port;
    port.SetPort(peer.Url());
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
TEST(NetPeer, NoticesBecomeLineEvents) {
    event_test::OwnerLoop loop;
    event_test::Watchdog watchdog("NoticesBecomeLineEvents", 60s);
    TTelnetPeer peer;
    TComPort port;
    port.SetPort(peer.Url());
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

TEST(NetPeer, ServerClosingTheConnectionIsDeviceLoss) {
    event_test::OwnerLoop loop;
    event_test::Watchdog watchdog("ServerClosingTheConnectionIsDeviceLoss", 60s);
    TTelnetPeer peer;
    TComPort port;
    port.SetPort(peer.Url());
    std::vector<TComErrors> errors;
    port.OnError = [&](TComponent*, TComErrors Errors) { errors.push_back(Errors); };
    port.Open();
    peer.Disconnect();
    ASSERT_TRUE(loop.ServeUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors[0], TComErrors{leIOError});
    port.Close();
}

// Transfers keep their time-outs and their abort on a network port.
TEST(NetPeer, ReadTimeOutAndAbort) {
    TTelnetPeer peer;
    TComPort port;
    port.SetPort(peer.Url());
    port.SetEvents({});
    WaitingReads(port, 300);
    port.Open();
    char buffer[8];
    const auto started = Clock::now();
    EXPECT_EQ(port.ReadBytes(buffer, sizeof buffer), 0);
    EXPECT_GE(Clock::now() - started, 300ms);

    WaitingReads(port, 60'000);
    PAsync request = nullptr;
    NewAsyncRequest(request);
    EXPECT_EQ(port.ReadBytesAsync(buffer, sizeof buffer, request), 0);   // pending
    port.AbortPendingIO();
    const auto aborted = Clock::now();
    EXPECT_EQ(port.WaitAsyncRequest(request), 0);
    EXPECT_LT(Clock::now() - aborted, 5s);
    FreeAsyncRequest(request);
    port.Close();
}

// The device's purge and break reach the server as COM-PORT-OPTION requests.
TEST(NetPeer, PurgeAndBreakAreSentToTheServer) {
    TTelnetPeer peer;
    TNetOpenFailure failure;
    const auto device = OpenNetDevice(*NetAddressOf(peer.Url()), failure);
    ASSERT_TRUE(device) << failure.reason;
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

// A server that never answers the rate: the open gives up after a bounded
// wait with the settings error, and the port is closed.
TEST(NetPeer, UnacknowledgedRateFailsTheOpen) {
    TPeerOptions silent;
    silent.acknowledge_format = false;
    TTelnetPeer peer(silent);
    TComPort port;
    port.SetPort(peer.Url());
    const auto started = Clock::now();
    const EComPort error = RaisedBy([&] { port.Open(); });
    EXPECT_EQ(error.ErrorCode(), CError_SetStateFailed);
    EXPECT_EQ(error.SystemErrorCode(), ETIMEDOUT);
    EXPECT_LT(Clock::now() - started, 30s);
    EXPECT_FALSE(port.Connected());
}

// A loopback port that nothing listens on.
std::string ClosedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return std::to_string(ntohs(address.sin_port));
}

// A server that accepts (the kernel does it for a listener that never calls
// accept) and never says a word.
class TSilentListener {
public:
    TSilentListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), length);
        ::listen(fd_.get(), 4);
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length);
        port_ = std::to_string(ntohs(address.sin_port));
    }
    const std::string& Port() const { return port_; }

private:
    UniqueFd fd_;
    std::string port_;
};

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
    const std::string closed = ClosedPort();
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

TEST(NetPeer, ServerRefusingSerialControlFailsTheOpen) {
    TPeerOptions refusing;
    refusing.agree_com_port = false;
    TTelnetPeer peer(refusing);
    TComPort port;
    port.SetPort(peer.Url());
    const EComPort error = RaisedBy([&] { port.Open(); });
    EXPECT_EQ(error.ErrorCode(), CError_OpenFailed);
    EXPECT_NE(std::string(error.what()).find("refuses serial line control"), std::string::npos) << error.what();
}

}  // namespace

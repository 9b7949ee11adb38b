// The setting rules: an unchanged value touches nothing, a changed one is
// stored and applied once through its group's apply operation, the composite
// flow control, buffer rounding, Assign, and the port's own setters.
#include "cport/comport.h"
#include "settings_counting_port.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace cport;

namespace {

enum class Group { Line, Timeouts, Buffers };

ApplyCounts OneCallOf(Group g) {
    ApplyCounts c;
    (g == Group::Line ? c.line : g == Group::Timeouts ? c.timeouts : c.buffers) = 1;
    return c;
}

// A setter with a value different from the initial one, and how to read it.
struct SetterCase {
    const char* name;
    Group group;
    std::function<void(TCustomComPort&, bool changed)> set;   // changed: new value, else current
    std::function<bool(const TCustomComPort&)> holds_new;
};

#define CASE(NAME, GROUP, OBJ, SETTER, GETTER, NEW)                                               \
    SetterCase {                                                                                  \
        NAME, GROUP,                                                                              \
            [](TCustomComPort& p, bool changed) {                                                 \
                p.OBJ SETTER(changed ? NEW : p.OBJ GETTER());                                      \
            },                                                                                    \
            [](const TCustomComPort& p) { return p.OBJ GETTER() == NEW; }                         \
    }

std::vector<SetterCase> AllSetters() {
    return {
        CASE("BaudRate", Group::Line, , SetBaudRate, BaudRate, br115200),
        CASE("CustomBaudRate", Group::Line, , SetCustomBaudRate, CustomBaudRate, 250000),
        CASE("DataBits", Group::Line, , SetDataBits, DataBits, dbSeven),
        CASE("StopBits", Group::Line, , SetStopBits, StopBits, sbTwoStopBits),
        CASE("DiscardNull", Group::Line, , SetDiscardNull, DiscardNull, true),
        CASE("EventChar", Group::Line, , SetEventChar, EventChar, '\r'),
        CASE("Parity.Bits", Group::Line, Parity()., SetBits, Bits, prEven),
        CASE("Parity.Check", Group::Line, Parity()., SetCheck, Check, true),
        CASE("Parity.Replace", Group::Line, Parity()., SetReplace, Replace, true),
        CASE("Parity.ReplaceChar", Group::Line, Parity()., SetReplaceChar, ReplaceChar, '?'),
        CASE("FlowControl.OutCTSFlow", Group::Line, FlowControl()., SetOutCTSFlow, OutCTSFlow, true),
        CASE("FlowControl.OutDSRFlow", Group::Line, FlowControl()., SetOutDSRFlow, OutDSRFlow, true),
        CASE("FlowControl.ControlDTR", Group::Line, FlowControl()., SetControlDTR, ControlDTR, dtrHandshake),
        CASE("FlowControl.ControlRTS", Group::Line, FlowControl()., SetControlRTS, ControlRTS, rtsToggle),
        CASE("FlowControl.XonXoffOut", Group::Line, FlowControl()., SetXonXoffOut, XonXoffOut, true),
        CASE("FlowControl.XonXoffIn", Group::Line, FlowControl()., SetXonXoffIn, XonXoffIn, true),
        CASE("FlowControl.DSRSensitivity", Group::Line, FlowControl()., SetDSRSensitivity, DSRSensitivity, true),
        CASE("FlowControl.TxContinueOnXoff", Group::Line, FlowControl()., SetTxContinueOnXoff, TxContinueOnXoff, true),
        CASE("FlowControl.XonChar", Group::Line, FlowControl()., SetXonChar, XonChar, 'Q'),
        CASE("FlowControl.XoffChar", Group::Line, FlowControl()., SetXoffChar, XoffChar, 'S'),
        CASE("Timeouts.ReadInterval", Group::Timeouts, Timeouts()., SetReadInterval, ReadInterval, 50),
        CASE("Timeouts.ReadTotalMultiplier", Group::Timeouts, Timeouts()., SetReadTotalMultiplier, ReadTotalMultiplier, 3),
        CASE("Timeouts.ReadTotalConstant", Group::Timeouts, Timeouts()., SetReadTotalConstant, ReadTotalConstant, 700),
        CASE("Timeouts.WriteTotalMultiplier", Group::Timeouts, Timeouts()., SetWriteTotalMultiplier, WriteTotalMultiplier, 0),
        CASE("Timeouts.WriteTotalConstant", Group::Timeouts, Timeouts()., SetWriteTotalConstant, WriteTotalConstant, -1),
        CASE("Buffer.InputSize", Group::Buffers, Buffer()., SetInputSize, InputSize, 4096),
        CASE("Buffer.OutputSize", Group::Buffers, Buffer()., SetOutputSize, OutputSize, 0),
    };
}

#undef CASE

}  // namespace

TEST(SettingRules, SameValueTouchesNothingAndAChangeAppliesOnce) {
    for (const SetterCase& c : AllSetters()) {
        SCOPED_TRACE(c.name);
        CountingPort port;
        ASSERT_FALSE(c.holds_new(port)) << "the new value must differ from the initial one";

        c.set(port, false);
        EXPECT_EQ(port.counts, ApplyCounts{});

        c.set(port, true);
        EXPECT_TRUE(c.holds_new(port));
        EXPECT_EQ(port.counts, OneCallOf(c.group));

        c.set(port, true);   // now unchanged again
        EXPECT_EQ(port.counts, OneCallOf(c.group));
    }
}

TEST(SettingRules, FreeStandingObjectsOnlyStore) {
    TComParity parity;
    TComFlowControl flow;
    TComTimeouts timeouts;
    TComBuffer buffer;
    EXPECT_EQ(parity.ComPort(), nullptr);
    parity.SetBits(prMark);
    flow.SetFlowControl(fcHardware);
    flow.SetXonChar('A');
    timeouts.SetReadInterval(10);
    buffer.SetInputSize(513);
    EXPECT_EQ(parity.Bits(), prMark);
    EXPECT_EQ(flow.FlowControl(), fcHardware);
    EXPECT_EQ(flow.XonChar(), 'A');
    EXPECT_EQ(timeouts.ReadInterval(), 10);
    EXPECT_EQ(buffer.InputSize(), 512);
}

TEST(SettingRules, OwnedObjectsPointBackToThePort) {
    CountingPort port;
    EXPECT_EQ(port.Parity().ComPort(), &port);
    EXPECT_EQ(port.FlowControl().ComPort(), &port);
    EXPECT_EQ(port.Timeouts().ComPort(), &port);
    EXPECT_EQ(port.Buffer().ComPort(), &port);
}

TEST(CompositeFlowControl, ReadsFromRtsCtsAndXonXoffOnly) {
    TComFlowControl f;
    EXPECT_EQ(f.FlowControl(), fcNone);
    f.SetOutDSRFlow(true);
    f.SetDSRSensitivity(true);
    f.SetControlDTR(dtrHandshake);
    f.SetTxContinueOnXoff(true);
    f.SetXonChar('x');
    EXPECT_EQ(f.FlowControl(), fcNone);

    f.SetXonXoffIn(true);
    EXPECT_EQ(f.FlowControl(), fcCustom);
    f.SetXonXoffOut(true);
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    f.SetOutCTSFlow(true);
    EXPECT_EQ(f.FlowControl(), fcCustom);

    f.SetXonXoffIn(false);
    f.SetXonXoffOut(false);
    EXPECT_EQ(f.FlowControl(), fcCustom);   // CTS flow without RTS handshake
    f.SetControlRTS(rtsHandshake);
    EXPECT_EQ(f.FlowControl(), fcHardware);
    f.SetControlRTS(rtsEnable);
    EXPECT_EQ(f.FlowControl(), fcCustom);
    f.SetOutCTSFlow(false);
    EXPECT_EQ(f.FlowControl(), fcCustom);   // RTS held on is not "none"
}

TEST(CompositeFlowControl, WritingAPresetSetsItsFourFieldsOnly) {
    CountingPort port;
    TComFlowControl& f = port.FlowControl();
    f.SetOutDSRFlow(true);
    f.SetControlDTR(dtrEnable);
    f.SetDSRSensitivity(true);
    f.SetXoffChar('z');
    f.SetXonXoffIn(true);
    port.counts = {};

    f.SetFlowControl(fcHardware);
    EXPECT_EQ(f.FlowControl(), fcHardware);
    EXPECT_EQ(f.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(f.OutCTSFlow());
    EXPECT_FALSE(f.XonXoffIn());
    EXPECT_FALSE(f.XonXoffOut());
    EXPECT_TRUE(f.OutDSRFlow());   // untouched
    EXPECT_EQ(f.ControlDTR(), dtrEnable);
    EXPECT_TRUE(f.DSRSensitivity());
    EXPECT_EQ(f.XoffChar(), 'z');
    EXPECT_EQ(port.counts.line, 1);

    f.SetFlowControl(fcSoftware);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.OutCTSFlow());
    EXPECT_TRUE(f.XonXoffIn());
    EXPECT_TRUE(f.XonXoffOut());
    EXPECT_EQ(port.counts.line, 2);

    f.SetFlowControl(fcNone);
    EXPECT_EQ(f.FlowControl(), fcNone);
    EXPECT_FALSE(f.XonXoffIn());
    EXPECT_EQ(port.counts.line, 3);
}

TEST(CompositeFlowControl, CustomAndUnchangedPresetsStillApply) {
    CountingPort port;
    TComFlowControl& f = port.FlowControl();
    f.SetXonXoffIn(true);
    port.counts = {};

    f.SetFlowControl(fcCustom);
    EXPECT_TRUE(f.XonXoffIn());
    EXPECT_EQ(f.FlowControl(), fcCustom);
    EXPECT_EQ(port.counts, OneCallOf(Group::Line));

    f.SetFlowControl(fcNone);
    f.SetFlowControl(fcNone);
    EXPECT_EQ(port.counts.line, 3);
    EXPECT_EQ(port.counts.timeouts + port.counts.buffers, 0);
}

TEST(BufferSizes, PositiveOddValuesAreStoredOneLess) {
    const struct {
        int32_t set;
        int32_t stored;
    } cases[] = {{1025, 1024}, {1, 0}, {-3, -3}, {0, 0}, {2048, 2048}, {4097, 4096}, {2147483647, 2147483646}};
    for (const auto& c : cases) {
        TComBuffer b;
        b.SetInputSize(c.set);
        b.SetOutputSize(c.set);
        EXPECT_EQ(b.InputSize(), c.stored) << c.set;
        EXPECT_EQ(b.OutputSize(), c.stored) << c.set;
    }
}

TEST(BufferSizes, ComparedBeforeRounding) {
    CountingPort port;
    port.Buffer().SetInputSize(1025);   // stored 1024 as before, but 1025 differs from 1024
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.counts, OneCallOf(Group::Buffers));
    port.Buffer().SetInputSize(1024);
    port.Buffer().SetOutputSize(1024);
    EXPECT_EQ(port.counts, OneCallOf(Group::Buffers));
}

TEST(Assign, CopiesEveryFieldAndAppliesOnce) {
    CountingPort port;
    TComParity parity;
    parity.SetBits(prSpace);
    parity.SetCheck(true);
    parity.SetReplace(true);
    parity.SetReplaceChar('\x7f');
    TComFlowControl flow;
    flow.SetOutCTSFlow(true);
    flow.SetOutDSRFlow(true);
    flow.SetControlDTR(dtrHandshake);
    flow.SetControlRTS(rtsToggle);
    flow.SetXonXoffOut(true);
    flow.SetXonXoffIn(true);
    flow.SetDSRSensitivity(true);
    flow.SetTxContinueOnXoff(true);
    flow.SetXonChar('1');
    flow.SetXoffChar('2');
    TComTimeouts timeouts;
    timeouts.SetReadInterval(1);
    timeouts.SetReadTotalMultiplier(2);
    timeouts.SetReadTotalConstant(3);
    timeouts.SetWriteTotalMultiplier(4);
    timeouts.SetWriteTotalConstant(5);
    TComBuffer buffer;
    buffer.SetInputSize(64);
    buffer.SetOutputSize(128);

    TComParity* own_parity = &port.Parity();
    port.SetParity(&parity);
    EXPECT_EQ(&port.Parity(), own_parity);
    EXPECT_EQ(port.Parity().ComPort(), &port);
    EXPECT_EQ(port.Parity().Bits(), prSpace);
    EXPECT_TRUE(port.Parity().Check());
    EXPECT_TRUE(port.Parity().Replace());
    EXPECT_EQ(port.Parity().ReplaceChar(), '\x7f');
    EXPECT_EQ(port.counts, OneCallOf(Group::Line));

    port.counts = {};
    port.SetFlowControl(&flow);
    const TComFlowControl& f = port.FlowControl();
    EXPECT_TRUE(f.OutCTSFlow() && f.OutDSRFlow() && f.XonXoffOut() && f.XonXoffIn() && f.DSRSensitivity() &&
                f.TxContinueOnXoff());
    EXPECT_EQ(f.ControlDTR(), dtrHandshake);
    EXPECT_EQ(f.ControlRTS(), rtsToggle);
    EXPECT_EQ(f.XonChar(), '1');
    EXPECT_EQ(f.XoffChar(), '2');
    EXPECT_EQ(f.ComPort(), &port);
    EXPECT_EQ(port.counts, OneCallOf(Group::Line));

    port.counts = {};
    port.SetTimeouts(&timeouts);
    const TComTimeouts& t = port.Timeouts();
    EXPECT_EQ(t.ReadInterval(), 1);
    EXPECT_EQ(t.ReadTotalMultiplier(), 2);
    EXPECT_EQ(t.ReadTotalConstant(), 3);
    EXPECT_EQ(t.WriteTotalMultiplier(), 4);
    EXPECT_EQ(t.WriteTotalConstant(), 5);
    EXPECT_EQ(port.counts, OneCallOf(Group::Timeouts));

    port.counts = {};
    port.SetBuffer(&buffer);
    EXPECT_EQ(port.Buffer().InputSize(), 64);
    EXPECT_EQ(port.Buffer().OutputSize(), 128);
    EXPECT_EQ(port.counts, OneCallOf(Group::Buffers));

    // Equal contents still apply once.
    port.counts = {};
    port.SetBuffer(&buffer);
    EXPECT_EQ(port.counts, OneCallOf(Group::Buffers));
}

TEST(Assign, BetweenFreeStandingObjectsAndFromAPort) {
    CountingPort port;
    port.Timeouts().SetReadTotalConstant(99);
    TComTimeouts copy;
    copy.Assign(&port.Timeouts());
    EXPECT_EQ(copy.ReadTotalConstant(), 99);
    EXPECT_EQ(copy.ComPort(), nullptr);
    EXPECT_EQ(port.counts, OneCallOf(Group::Timeouts));   // only the setter above
}

TEST(Assign, OtherClassOrNothingIsRefusedAndChangesNothing) {
    CountingPort port;
    TComTimeouts timeouts;
    timeouts.SetReadInterval(5);
    TComParity parity;
    parity.SetBits(prOdd);

    const auto expect_refused = [&](const std::function<void()>& assign, const std::string& message) {
        try {
            assign();
            ADD_FAILURE() << "no error for: " << message;
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), message);
        }
    };
    expect_refused([&] { port.SetParity(&timeouts); }, "Cannot assign a TComTimeouts to a TComParity");
    expect_refused([&] { port.SetTimeouts(&parity); }, "Cannot assign a TComParity to a TComTimeouts");
    expect_refused([&] { port.SetFlowControl(&parity); }, "Cannot assign a TComParity to a TComFlowControl");
    expect_refused([&] { port.SetBuffer(nullptr); }, "Cannot assign a nil to a TComBuffer");
    expect_refused([&] { port.Parity().Assign(nullptr); }, "Cannot assign a nil to a TComParity");
    expect_refused([&] { timeouts.Assign(&port.Buffer()); }, "Cannot assign a TComBuffer to a TComTimeouts");

    EXPECT_EQ(port.counts, ApplyCounts{});
    EXPECT_EQ(port.Parity().Bits(), prNone);
    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(timeouts.ReadInterval(), 5);
}

TEST(PortSetters, ClosedPortOnlyStoresPortEventsAndSyncMethod) {
    CountingPort port;
    port.SetPort("/dev/does-not-exist");
    EXPECT_EQ(port.Port(), "/dev/does-not-exist");
    EXPECT_FALSE(port.Connected());

    port.SetEvents(TComEvents{evRxChar, evBreak});
    EXPECT_EQ(port.Events(), (TComEvents{evRxChar, evBreak}));

    port.SetSyncMethod(smNone);
    EXPECT_EQ(port.SyncMethod(), smNone);
    port.SetSyncMethod(smWindowSync);
    EXPECT_EQ(port.SyncMethod(), smWindowSync);

    EXPECT_EQ(port.counts, ApplyCounts{});
}

TEST(PortSetters, ConnectedWhileLoadingIsOnlyStored) {
    CountingPort port;
    port.SetPort("/dev/does-not-exist");
    port.BeginLoading();
    port.SetConnected(true);    // no Open while loading
    EXPECT_TRUE(port.Connected());
    port.SetConnected(false);   // nor Close
    EXPECT_FALSE(port.Connected());
    port.EndLoading();          // stored False: stays closed
    EXPECT_FALSE(port.Connected());
}

TEST(PortSetters, ConnectedFalseOnAClosedPortDoesNothing) {
    CountingPort port;
    int closes = 0;
    port.OnBeforeClose = [&](TComponent*) { ++closes; };
    port.SetConnected(false);
    EXPECT_EQ(closes, 0);
    EXPECT_FALSE(port.Connected());
}

TEST(Notifiers, EachCallsItsHandlerWithThePortAsSender) {
    CountingPort port;
    std::vector<std::string> calls;
    TComponent* sender = nullptr;
    const auto note = [&](const char* what, TComponent* s) {
        calls.push_back(what);
        sender = s;
    };
    port.OnAfterOpen = [&](TComponent* s) { note("AfterOpen", s); };
    port.OnAfterClose = [&](TComponent* s) { note("AfterClose", s); };
    port.OnBeforeOpen = [&](TComponent* s) { note("BeforeOpen", s); };
    port.OnBeforeClose = [&](TComponent* s) { note("BeforeClose", s); };
    port.OnRxChar = [&](TComponent* s, int32_t n) { note(n == 7 ? "RxChar7" : "RxChar?", s); };
    port.OnRxBuf = [&](TComponent* s, const void* b, int32_t n) {
        note(n == 3 && std::string(static_cast<const char*>(b), 3) == "abc" ? "RxBufabc" : "RxBuf?", s);
    };
    port.OnTxEmpty = [&](TComponent* s) { note("TxEmpty", s); };
    port.OnBreak = [&](TComponent* s) { note("Break", s); };
    port.OnRing = [&](TComponent* s) { note("Ring", s); };
    port.OnRxFlag = [&](TComponent* s) { note("RxFlag", s); };
    port.OnRx80Full = [&](TComponent* s) { note("Rx80Full", s); };
    port.OnCTSChange = [&](TComponent* s, bool on) { note(on ? "CTS1" : "CTS0", s); };
    port.OnDSRChange = [&](TComponent* s, bool on) { note(on ? "DSR1" : "DSR0", s); };
    port.OnRLSDChange = [&](TComponent* s, bool on) { note(on ? "RLSD1" : "RLSD0", s); };
    port.OnError = [&](TComponent* s, TComErrors e) { note(e == TComErrors{leFrame, leTxFull} ? "Error" : "Error?", s); };

    port.NotifyAfterOpen();
    port.NotifyAfterClose();
    port.NotifyBeforeOpen();
    port.NotifyBeforeClose();
    port.NotifyRxChar(7);
    port.NotifyRxBuf("abc", 3);
    port.NotifyTxEmpty();
    port.NotifyBreak();
    port.NotifyRing();
    port.NotifyRxFlag();
    port.NotifyRx80Full();
    port.NotifyCTSChange(true);
    port.NotifyDSRChange(false);
    port.NotifyRLSDChange(true);
    port.NotifyError(TComErrors{leFrame, leTxFull});

    const std::vector<std::string> expected = {"AfterOpen", "AfterClose", "BeforeOpen", "BeforeClose", "RxChar7",
                                               "RxBufabc",  "TxEmpty",    "Break",      "Ring",        "RxFlag",
                                               "Rx80Full",  "CTS1",       "DSR0",       "RLSD1",       "Error"};
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(sender, &port);
}

// SPDX-License-Identifier: MIT
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

// Every field is copied: a source port configured with non-initial values
// everywhere is copied group by group into a fresh port.
TEST(Assign, CopiesEveryFieldAndAppliesOnce) {
    CountingPort source;
    for (const SetterCase& c : AllSetters()) c.set(source, true);
    CountingPort port;
    TComParity* own_parity = &port.Parity();

    const struct {
        std::function<void()> assign;
        Group applies;
    } steps[] = {{[&] { port.SetParity(&source.Parity()); }, Group::Line},
                 {[&] { port.SetFlowControl(&source.FlowControl()); }, Group::Line},
                 {[&] { port.SetTimeouts(&source.Timeouts()); }, Group::Timeouts},
                 {[&] { port.SetBuffer(&source.Buffer()); }, Group::Buffers},
                 {[&] { port.SetBuffer(&source.Buffer()); }, Group::Buffers}};   // equal contents still apply once
    for (const auto& step : steps) {
        port.counts = {};
        step.assign();
        EXPECT_EQ(port.counts, OneCallOf(step.applies));
    }

    for (const SetterCase& c : AllSetters())
        if (std::string(c.name).find('.') != std::string::npos) {
            EXPECT_TRUE(c.holds_new(port)) << c.name;
        }
    EXPECT_EQ(&port.Parity(), own_parity);   // the port keeps its own objects
    EXPECT_EQ(port.Parity().ComPort(), &port);
    EXPECT_EQ(port.FlowControl().ComPort(), &port);
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
    const auto note = [&](std::string what) {
        return [&calls, &port, what](TComponent* sender, auto... args) {
            std::string call = what;
            ((call += " " + std::to_string(static_cast<long long>(args))), ...);
            calls.push_back(sender == &port ? call : "?");
        };
    };
    port.OnAfterOpen = note("AfterOpen");
    port.OnAfterClose = note("AfterClose");
    port.OnBeforeOpen = note("BeforeOpen");
    port.OnBeforeClose = note("BeforeClose");
    port.OnRxChar = note("RxChar");
    port.OnRxBuf = [&](TComponent*, const void* b, int32_t n) { calls.push_back(std::string(static_cast<const char*>(b), n)); };
    port.OnTxEmpty = note("TxEmpty");
    port.OnBreak = note("Break");
    port.OnRing = note("Ring");
    port.OnRxFlag = note("RxFlag");
    port.OnRx80Full = note("Rx80Full");
    port.OnCTSChange = note("CTS");
    port.OnDSRChange = note("DSR");
    port.OnRLSDChange = note("RLSD");
    port.OnError = [&](TComponent* s, TComErrors e) { calls.push_back(s == &port ? "Error " + std::to_string(e.Bits()) : "?"); };

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

    EXPECT_EQ(calls, (std::vector<std::string>{"AfterOpen", "AfterClose", "BeforeOpen", "BeforeClose", "RxChar 7",
                                               "abc", "TxEmpty", "Break", "Ring", "RxFlag", "Rx80Full", "CTS 1",
                                               "DSR 0", "RLSD 1", "Error 129"}));
}

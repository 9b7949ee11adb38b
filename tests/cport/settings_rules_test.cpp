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

enum class Group { Line, Timeouts, Buffers, Rs485 };

ApplyCounts OneCallOf(Group G)
{
    ApplyCounts C;
    (G == Group::Line ? C.Line : G == Group::Timeouts ? C.Timeouts : G == Group::Buffers ? C.Buffers : C.Rs485) = 1;
    return C;
}

// A setter with a value different from the initial one, and how to read it.
struct SetterCase {
    const char* Name;
    Group group;
    std::function<void(TCustomComPort&, bool Changed)> Set;  // changed: new value, else current
    std::function<bool(const TCustomComPort&)> HoldsNew;
};

#define CASE(NAME, GROUP, OBJ, SETTER, GETTER, NEW)                                                                    \
    SetterCase                                                                                                         \
    {                                                                                                                  \
        NAME, GROUP, [](TCustomComPort& p, bool changed) { p.OBJ SETTER(changed ? NEW : p.OBJ GETTER()); },            \
            [](const TCustomComPort& p) { return p.OBJ GETTER() == NEW; }                                              \
    }

std::vector<SetterCase> AllSetters()
{
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
        CASE("Timeouts.ReadTotalMultiplier", Group::Timeouts, Timeouts()., SetReadTotalMultiplier, ReadTotalMultiplier,
             3),
        CASE("Timeouts.ReadTotalConstant", Group::Timeouts, Timeouts()., SetReadTotalConstant, ReadTotalConstant, 700),
        CASE("Timeouts.WriteTotalMultiplier", Group::Timeouts, Timeouts()., SetWriteTotalMultiplier,
             WriteTotalMultiplier, 0),
        CASE("Timeouts.WriteTotalConstant", Group::Timeouts, Timeouts()., SetWriteTotalConstant, WriteTotalConstant,
             -1),
        CASE("Buffer.InputSize", Group::Buffers, Buffer()., SetInputSize, InputSize, 4096),
        CASE("Buffer.OutputSize", Group::Buffers, Buffer()., SetOutputSize, OutputSize, 0),
        CASE("Rs485.Enabled", Group::Rs485, Rs485()., SetEnabled, Enabled, true),
        CASE("Rs485.RtsOnSend", Group::Rs485, Rs485()., SetRtsOnSend, RtsOnSend, false),
        CASE("Rs485.RtsAfterSend", Group::Rs485, Rs485()., SetRtsAfterSend, RtsAfterSend, true),
        CASE("Rs485.DelayBeforeSendMs", Group::Rs485, Rs485()., SetDelayBeforeSendMs, DelayBeforeSendMs, 5),
        CASE("Rs485.DelayAfterSendMs", Group::Rs485, Rs485()., SetDelayAfterSendMs, DelayAfterSendMs, 2147483647),
        CASE("Rs485.RxDuringTx", Group::Rs485, Rs485()., SetRxDuringTx, RxDuringTx, true),
    };
}

#undef CASE

}  // namespace

TEST(SettingRules, SameValueTouchesNothingAndAChangeAppliesOnce)
{
    for (const SetterCase& C : AllSetters()) {
        SCOPED_TRACE(C.Name);
        CountingPort Port;
        ASSERT_FALSE(C.HoldsNew(Port)) << "the new value must differ from the initial one";

        C.Set(Port, false);
        EXPECT_EQ(Port.Counts, ApplyCounts{});

        C.Set(Port, true);
        EXPECT_TRUE(C.HoldsNew(Port));
        EXPECT_EQ(Port.Counts, OneCallOf(C.group));

        C.Set(Port, true);  // now unchanged again
        EXPECT_EQ(Port.Counts, OneCallOf(C.group));
    }
}

TEST(SettingRules, FreeStandingObjectsOnlyStore)
{
    TComParity Parity;
    TComFlowControl Flow;
    TComTimeouts Timeouts;
    TComBuffer Buffer;
    EXPECT_EQ(Parity.ComPort(), nullptr);
    Parity.SetBits(prMark);
    Flow.SetFlowControl(fcHardware);
    Flow.SetXonChar('A');
    Timeouts.SetReadInterval(10);
    Buffer.SetInputSize(513);
    EXPECT_EQ(Parity.Bits(), prMark);
    EXPECT_EQ(Flow.FlowControl(), fcHardware);
    EXPECT_EQ(Flow.XonChar(), 'A');
    EXPECT_EQ(Timeouts.ReadInterval(), 10);
    EXPECT_EQ(Buffer.InputSize(), 512);
}

TEST(CompositeFlowControl, ReadsFromRtsCtsAndXonXoffOnly)
{
    TComFlowControl F;
    EXPECT_EQ(F.FlowControl(), fcNone);
    F.SetOutDSRFlow(true);
    F.SetDSRSensitivity(true);
    F.SetControlDTR(dtrHandshake);
    F.SetTxContinueOnXoff(true);
    F.SetXonChar('x');
    EXPECT_EQ(F.FlowControl(), fcNone);

    F.SetXonXoffIn(true);
    EXPECT_EQ(F.FlowControl(), fcCustom);
    F.SetXonXoffOut(true);
    EXPECT_EQ(F.FlowControl(), fcSoftware);
    F.SetOutCTSFlow(true);
    EXPECT_EQ(F.FlowControl(), fcCustom);

    F.SetXonXoffIn(false);
    F.SetXonXoffOut(false);
    EXPECT_EQ(F.FlowControl(), fcCustom);  // CTS flow without RTS handshake
    F.SetControlRTS(rtsHandshake);
    EXPECT_EQ(F.FlowControl(), fcHardware);
    F.SetControlRTS(rtsEnable);
    EXPECT_EQ(F.FlowControl(), fcCustom);
    F.SetOutCTSFlow(false);
    EXPECT_EQ(F.FlowControl(), fcCustom);  // RTS held on is not "none"
}

TEST(CompositeFlowControl, WritingAPresetSetsItsFourFieldsOnly)
{
    CountingPort Port;
    TComFlowControl& F = Port.FlowControl();
    F.SetOutDSRFlow(true);
    F.SetControlDTR(dtrEnable);
    F.SetDSRSensitivity(true);
    F.SetXoffChar('z');
    F.SetXonXoffIn(true);
    Port.Counts = {};

    F.SetFlowControl(fcHardware);
    EXPECT_EQ(F.FlowControl(), fcHardware);
    EXPECT_EQ(F.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(F.OutCTSFlow());
    EXPECT_FALSE(F.XonXoffIn());
    EXPECT_FALSE(F.XonXoffOut());
    EXPECT_TRUE(F.OutDSRFlow());  // untouched
    EXPECT_EQ(F.ControlDTR(), dtrEnable);
    EXPECT_TRUE(F.DSRSensitivity());
    EXPECT_EQ(F.XoffChar(), 'z');
    EXPECT_EQ(Port.Counts.Line, 1);

    F.SetFlowControl(fcSoftware);
    EXPECT_EQ(F.ControlRTS(), rtsDisable);
    EXPECT_FALSE(F.OutCTSFlow());
    EXPECT_TRUE(F.XonXoffIn());
    EXPECT_TRUE(F.XonXoffOut());
    EXPECT_EQ(Port.Counts.Line, 2);

    F.SetFlowControl(fcNone);
    EXPECT_EQ(F.FlowControl(), fcNone);
    EXPECT_FALSE(F.XonXoffIn());
    EXPECT_EQ(Port.Counts.Line, 3);
}

TEST(CompositeFlowControl, CustomAndUnchangedPresetsStillApply)
{
    CountingPort Port;
    TComFlowControl& F = Port.FlowControl();
    F.SetXonXoffIn(true);
    Port.Counts = {};

    F.SetFlowControl(fcCustom);
    EXPECT_TRUE(F.XonXoffIn());
    EXPECT_EQ(F.FlowControl(), fcCustom);
    EXPECT_EQ(Port.Counts, OneCallOf(Group::Line));

    F.SetFlowControl(fcNone);
    F.SetFlowControl(fcNone);
    EXPECT_EQ(Port.Counts.Line, 3);
    EXPECT_EQ(Port.Counts.Timeouts + Port.Counts.Buffers, 0);
}

TEST(BufferSizes, PositiveOddValuesAreStoredOneLess)
{
    const struct {
        int32_t Set;
        int32_t Stored;
    } Cases[] = {{1025, 1024}, {1, 0}, {-3, -3}, {0, 0}, {2048, 2048}, {4097, 4096}, {2147483647, 2147483646}};
    for (const auto& C : Cases) {
        TComBuffer B;
        B.SetInputSize(C.Set);
        B.SetOutputSize(C.Set);
        EXPECT_EQ(B.InputSize(), C.Stored) << C.Set;
        EXPECT_EQ(B.OutputSize(), C.Stored) << C.Set;
    }
}

TEST(BufferSizes, ComparedBeforeRounding)
{
    CountingPort Port;
    Port.Buffer().SetInputSize(1025);  // stored 1024 as before, but 1025 differs from 1024
    EXPECT_EQ(Port.Buffer().InputSize(), 1024);
    EXPECT_EQ(Port.Counts, OneCallOf(Group::Buffers));
    Port.Buffer().SetInputSize(1024);
    Port.Buffer().SetOutputSize(1024);
    EXPECT_EQ(Port.Counts, OneCallOf(Group::Buffers));
}

// Every field is copied: a source port configured with non-initial values
// everywhere is copied group by group into a fresh port.
TEST(Assign, CopiesEveryFieldAndAppliesOnce)
{
    CountingPort source;
    for (const SetterCase& C : AllSetters())
        C.Set(source, true);
    CountingPort port;
    TComParity* OwnParity = &port.Parity();

    const struct {
        std::function<void()> Assign;
        Group Applies;
    } Steps[] = {{[&] { port.SetParity(&source.Parity()); }, Group::Line},
                 {[&] { port.SetFlowControl(&source.FlowControl()); }, Group::Line},
                 {[&] { port.SetTimeouts(&source.Timeouts()); }, Group::Timeouts},
                 {[&] { port.SetBuffer(&source.Buffer()); }, Group::Buffers},
                 {[&] { port.SetRs485(&source.Rs485()); }, Group::Rs485},
                 {[&] { port.SetBuffer(&source.Buffer()); }, Group::Buffers}};  // equal contents still apply once
    for (const auto& Step : Steps) {
        port.Counts = {};
        Step.Assign();
        EXPECT_EQ(port.Counts, OneCallOf(Step.Applies));
    }

    for (const SetterCase& C : AllSetters())
        if (std::string(C.Name).find('.') != std::string::npos) {
            EXPECT_TRUE(C.HoldsNew(port)) << C.Name;
        }
    EXPECT_EQ(&port.Parity(), OwnParity);  // the port keeps its own objects
    EXPECT_EQ(port.Parity().ComPort(), &port);
    EXPECT_EQ(port.FlowControl().ComPort(), &port);
    EXPECT_EQ(port.Rs485().ComPort(), &port);
}

TEST(Assign, BetweenFreeStandingObjectsAndFromAPort)
{
    CountingPort Port;
    Port.Timeouts().SetReadTotalConstant(99);
    TComTimeouts Copy;
    Copy.Assign(&Port.Timeouts());
    EXPECT_EQ(Copy.ReadTotalConstant(), 99);
    EXPECT_EQ(Copy.ComPort(), nullptr);
    EXPECT_EQ(Port.Counts, OneCallOf(Group::Timeouts));  // only the setter above
}

TEST(Assign, OtherClassOrNothingIsRefusedAndChangesNothing)
{
    CountingPort port;
    TComTimeouts timeouts;
    timeouts.SetReadInterval(5);
    TComParity parity;
    parity.SetBits(prOdd);

    const auto ExpectRefused = [&](const std::function<void()>& Assign, const std::string& Message) {
        try {
            Assign();
            ADD_FAILURE() << "no error for: " << Message;
        } catch (const EConvertError& E) {
            EXPECT_EQ(std::string(E.what()), Message);
        }
    };
    ExpectRefused([&] { port.SetParity(&timeouts); }, "Cannot assign a TComTimeouts to a TComParity");
    ExpectRefused([&] { port.SetTimeouts(&parity); }, "Cannot assign a TComParity to a TComTimeouts");
    ExpectRefused([&] { port.SetFlowControl(&parity); }, "Cannot assign a TComParity to a TComFlowControl");
    ExpectRefused([&] { port.SetBuffer(nullptr); }, "Cannot assign a nil to a TComBuffer");
    ExpectRefused([&] { port.Parity().Assign(nullptr); }, "Cannot assign a nil to a TComParity");
    ExpectRefused([&] { timeouts.Assign(&port.Buffer()); }, "Cannot assign a TComBuffer to a TComTimeouts");
    ExpectRefused([&] { port.SetRs485(&port.Buffer()); }, "Cannot assign a TComBuffer to a TComRs485");

    EXPECT_EQ(port.Counts, ApplyCounts{});
    EXPECT_EQ(port.Parity().Bits(), prNone);
    EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(timeouts.ReadInterval(), 5);
}

TEST(PortSetters, ClosedPortOnlyStoresPortEventsAndSyncMethod)
{
    CountingPort Port;
    Port.SetPort("/dev/does-not-exist");
    EXPECT_EQ(Port.Port(), "/dev/does-not-exist");
    EXPECT_FALSE(Port.Connected());

    Port.SetEvents(TComEvents{evRxChar, evBreak});
    EXPECT_EQ(Port.Events(), (TComEvents{evRxChar, evBreak}));

    Port.SetSyncMethod(smNone);
    EXPECT_EQ(Port.SyncMethod(), smNone);
    Port.SetSyncMethod(smWindowSync);
    EXPECT_EQ(Port.SyncMethod(), smWindowSync);

    EXPECT_EQ(Port.Counts, ApplyCounts{});
}

TEST(PortSetters, ConnectedWhileLoadingIsOnlyStored)
{
    CountingPort Port;
    Port.SetPort("/dev/does-not-exist");
    Port.BeginLoading();
    Port.SetConnected(true);  // no Open while loading
    EXPECT_TRUE(Port.Connected());
    Port.SetConnected(false);  // nor Close
    EXPECT_FALSE(Port.Connected());
    Port.EndLoading();  // stored False: stays closed
    EXPECT_FALSE(Port.Connected());
}

TEST(PortSetters, ConnectedFalseOnAClosedPortDoesNothing)
{
    CountingPort Port;
    int Closes = 0;
    Port.OnBeforeClose = [&](TComponent*) { ++Closes; };
    Port.SetConnected(false);
    EXPECT_EQ(Closes, 0);
    EXPECT_FALSE(Port.Connected());
}

TEST(Notifiers, EachCallsItsHandlerWithThePortAsSender)
{
    CountingPort port;
    std::vector<std::string> calls;
    const auto Note = [&](std::string What) {
        return [&calls, &port, What](TComponent* Sender, auto... Args) {
            std::string Call = What;
            ((Call += " " + std::to_string(static_cast<long long>(Args))), ...);
            calls.push_back(Sender == &port ? Call : "?");
        };
    };
    port.OnAfterOpen = Note("AfterOpen");
    port.OnAfterClose = Note("AfterClose");
    port.OnBeforeOpen = Note("BeforeOpen");
    port.OnBeforeClose = Note("BeforeClose");
    port.OnRxChar = Note("RxChar");
    port.OnRxBuf = [&](TComponent*, const void* B, int32_t N) {
        calls.push_back(std::string(static_cast<const char*>(B), N));
    };
    port.OnTxEmpty = Note("TxEmpty");
    port.OnBreak = Note("Break");
    port.OnRing = Note("Ring");
    port.OnRxFlag = Note("RxFlag");
    port.OnRx80Full = Note("Rx80Full");
    port.OnCTSChange = Note("CTS");
    port.OnDSRChange = Note("DSR");
    port.OnRLSDChange = Note("RLSD");
    port.OnError = [&](TComponent* S, TComErrors E) {
        calls.push_back(S == &port ? "Error " + std::to_string(E.Bits()) : "?");
    };

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

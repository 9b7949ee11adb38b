// SPDX-License-Identifier: MIT
// Storing and loading port settings through an INI file and registry-style
// keys: which keys travel and in what order, round trips over several
// configurations, missing and mistyped values, and the files themselves.
#include "cport/comport.h"
#include "cport/comport_store.h"
#include "settings_counting_port.h"
#include "device_pty.h"
#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using namespace cport;
namespace fs = std::filesystem;

namespace {

const TStoredGroups AllGroups{sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgMisc, sgRs485};

// The files of this test process, in a folder removed when the process ends.
const test_support::TScratchFolder& Scratch()
{
    static const test_support::TScratchFolder Folder;
    return Folder;
}

// Every stored setting of a port, as the INI store writes it with all groups
// in a section named "Port" (the port's own groups and name are left as they
// were): two ports hold the same settings when these texts are equal. The
// stored key list is checked by StoreKeys.AllGroupsInGroupAndKeyOrderWithTheirKinds,
// so no setting escapes the comparison.
std::string StoredSettings(TCustomComPort& Port)
{
    const TStoredGroups Groups = Port.StoredGroups();
    const std::string Name = Port.Name();
    Port.SetStoredGroups(AllGroups);
    Port.SetName("Port");
    TComIniFile Ini(Scratch().Path("stored-settings.ini"));  // never saved
    Ini.SetText("");
    Port.StoreToIniFile(Ini);
    Port.SetStoredGroups(Groups);
    Port.SetName(Name);
    return Ini.Text();
}

// Non-default configurations, each applied to a fresh port.
struct Configuration {
    const char* Name;
    std::function<void(TCustomComPort&)> Apply;
};

std::vector<Configuration> Configurations()
{
    return {
        {"custom rate, control characters",
         [](TCustomComPort& P) {
             P.SetPort("/dev/ttyUSB3");
             P.SetBaudRate(brCustom);
             P.SetCustomBaudRate(250000);
             P.SetEventChar('\r');
             P.SetDiscardNull(true);
             P.Parity().SetBits(prMark);
             P.Parity().SetCheck(true);
             P.Parity().SetReplace(true);
             P.Parity().SetReplaceChar(' ');
             P.FlowControl().SetFlowControl(fcHardware);
             P.FlowControl().SetXonChar('\x11');
             P.Buffer().SetInputSize(4096);
             P.Buffer().SetOutputSize(0);
             P.Timeouts().SetReadInterval(20);
             P.Rs485().SetEnabled(true);
             P.Rs485().SetDelayBeforeSendMs(3);
             P.Rs485().SetDelayAfterSendMs(2147483647);
         }},
        {"software flow, high characters",
         [](TCustomComPort& P) {
             P.SetPort("COM7");
             P.SetBaudRate(br115200);
             P.SetStopBits(sbTwoStopBits);
             P.SetDataBits(dbSeven);
             P.Parity().SetBits(prEven);
             P.SetEventChar('\xC8');
             P.FlowControl().SetFlowControl(fcSoftware);
             P.FlowControl().SetXonChar('#');
             P.FlowControl().SetXoffChar('\xFF');
             P.FlowControl().SetTxContinueOnXoff(true);
             P.Timeouts().SetReadTotalMultiplier(7);
             P.Timeouts().SetReadTotalConstant(250);
             P.Timeouts().SetWriteTotalMultiplier(0);
             P.Timeouts().SetWriteTotalConstant(0);
         }},
        {"custom flow fields, negative numbers",
         [](TCustomComPort& P) {
             P.SetPort("my port [\"2\"] = \\x");
             P.SetBaudRate(br110);
             P.SetStopBits(sbOne5StopBits);
             P.SetDataBits(dbFive);
             P.Parity().SetBits(prSpace);
             P.Parity().SetReplaceChar('\0');
             P.SetEventChar('A');
             P.FlowControl().SetControlRTS(rtsToggle);
             P.FlowControl().SetControlDTR(dtrHandshake);
             P.FlowControl().SetOutDSRFlow(true);
             P.FlowControl().SetDSRSensitivity(true);
             P.FlowControl().SetXonXoffIn(true);
             P.Buffer().SetInputSize(-3);
             P.Buffer().SetOutputSize(2147483646);
             P.Timeouts().SetReadInterval(-2147483647 - 1);
             P.Rs485().SetRtsOnSend(false);
             P.Rs485().SetRtsAfterSend(true);
             P.Rs485().SetRxDuringTx(true);
             P.Rs485().SetDelayAfterSendMs(-1);
         }},
    };
}

std::string TempPath(const std::string& Name)
{
    return Scratch().Path(Name);
}

std::string ReadFile(const std::string& Path)
{
    return test_support::TScratchFolder::Read(Path);
}

void WriteFile(const std::string& Path, const std::string& Text)
{
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
}

// The entry names of a section, in file order.
std::vector<std::string> EntriesOf(const std::string& IniText, const std::string& Section)
{
    std::vector<std::string> Entries;
    std::istringstream In(IniText);
    std::string Line;
    bool Inside = false;
    while (std::getline(In, Line)) {
        if (!Line.empty() && Line[0] == '[') {
            Inside = Line == "[" + Section + "]";
        } else if (Inside && Line.find('=') != std::string::npos) {
            Entries.push_back(Line.substr(0, Line.find('=')));
        }
    }
    return Entries;
}

// The message of the ERegistryException Action raises (fails the test if none).
template <typename Action>
std::string RegistryError(Action&& action)
{
    try {
        action();
    } catch (const ERegistryException& E) {
        return E.what();
    }
    ADD_FAILURE() << "no ERegistryException raised";
    return "";
}

const std::vector<std::string> BasicKeys = {"Port", "BaudRate", "StopBits", "DataBits", "Parity", "FlowControl"};

}  // namespace

// With the initial groups: the six basic keys, and "CustomBaudRate" third
// only with a custom rate.
TEST(StoreKeys, InitialGroupsWriteTheBasicKeys)
{
    for (const bool Custom : {false, true}) {
        TComPort Port;
        Port.SetName("ComPort1");
        if (Custom) {
            Port.SetBaudRate(brCustom);
            Port.SetCustomBaudRate(31250);
        }
        std::vector<std::string> Expected = BasicKeys;
        if (Custom)
            Expected.insert(Expected.begin() + 2, "CustomBaudRate");

        TMemoryRegistryKey Key;
        Port.StoreToRegistry(Key);
        EXPECT_EQ(Key.ValueNames(), Expected);
        EXPECT_EQ(Key.ReadString("Port"), "COM1");
        EXPECT_EQ(Key.ReadString("BaudRate"), Custom ? "Custom" : "9600");
        EXPECT_EQ(Key.ReadString("StopBits") + Key.ReadString("DataBits") + Key.ReadString("Parity") +
                      Key.ReadString("FlowControl"),
                  "18NoneNone");
        if (Custom) {
            EXPECT_EQ(Key.ReadInteger("CustomBaudRate"), 31250);
        }

        TComIniFile Ini(TempPath("basic.ini"));
        Port.StoreToIniFile(Ini);
        EXPECT_EQ(EntriesOf(Ini.Text(), "ComPort1"), Expected);
        if (Custom) {
            EXPECT_EQ(Ini.ReadString("ComPort1", "CustomBaudRate", ""), "31250");
        }
    }
}

TEST(StoreKeys, AllGroupsInGroupAndKeyOrderWithTheirKinds)
{
    TComPort Port;
    Port.SetStoredGroups(AllGroups);
    TMemoryRegistryKey Key;
    Port.StoreToRegistry(Key);
    const std::vector<std::string> Expected = {"Port",
                                               "BaudRate",
                                               "StopBits",
                                               "DataBits",
                                               "Parity",
                                               "FlowControl",
                                               "EventChar",
                                               "DiscardNull",
                                               "Parity.Check",
                                               "Parity.Replace",
                                               "Parity.ReplaceChar",
                                               "Buffer.OutputSize",
                                               "Buffer.InputSize",
                                               "Timeouts.ReadInterval",
                                               "Timeouts.ReadTotalConstant",
                                               "Timeouts.ReadTotalMultiplier",
                                               "Timeouts.WriteTotalConstant",
                                               "Timeouts.WriteTotalMultiplier",
                                               "FlowControl.ControlRTS",
                                               "FlowControl.ControlDTR",
                                               "FlowControl.DSRSensitivity",
                                               "FlowControl.OutCTSFlow",
                                               "FlowControl.OutDSRFlow",
                                               "FlowControl.TxContinueOnXoff",
                                               "FlowControl.XonXoffIn",
                                               "FlowControl.XonXoffOut",
                                               "FlowControl.XoffChar",
                                               "FlowControl.XonChar",
                                               "Rs485.Enabled",
                                               "Rs485.RtsOnSend",
                                               "Rs485.RtsAfterSend",
                                               "Rs485.DelayBeforeSend",
                                               "Rs485.DelayAfterSend",
                                               "Rs485.RxDuringTx"};
    EXPECT_EQ(Key.ValueNames(), Expected);
    for (const std::string& Name : Expected) {
        const bool Integer =
            Name.rfind("Buffer.", 0) == 0 || Name.rfind("Timeouts.", 0) == 0 || Name.rfind("Rs485.Delay", 0) == 0;
        EXPECT_EQ(Key.GetDataType(Name), Integer ? TRegDataType::rdInteger : TRegDataType::rdString) << Name;
    }
    EXPECT_EQ(Key.ReadString("EventChar"), "#0");
    EXPECT_EQ(Key.ReadString("DiscardNull"), "No");
    EXPECT_EQ(Key.ReadString("FlowControl.XonChar"), "#17");
    EXPECT_EQ(Key.ReadInteger("Timeouts.ReadInterval"), -1);
    EXPECT_EQ(Key.ReadString("FlowControl.ControlRTS"), "Disable");
    EXPECT_EQ(Key.ReadString("Rs485.Enabled") + Key.ReadString("Rs485.RtsOnSend"), "NoYes");
}

TEST(RoundTrip, StoreIntoOnePortLoadIntoAnother)
{
    for (const Configuration& C : Configurations()) {
        SCOPED_TRACE(C.Name);
        TComPort Source;
        Source.SetName("ComPort1");
        Source.SetStoredGroups(AllGroups);
        C.Apply(Source);
        const std::string Expected = StoredSettings(Source);

        const auto Fresh = [] {
            auto P = std::make_unique<TComPort>();
            P->SetName("ComPort1");
            P->SetStoredGroups(AllGroups);
            return P;
        };
        {
            TMemoryRegistryKey Key;
            Source.StoreToRegistry(Key);
            auto Target = Fresh();
            Target->LoadFromRegistry(Key);
            EXPECT_EQ(StoredSettings(*Target), Expected) << "memory key";
        }
        {
            const std::string Path = TempPath("roundtrip.reg");
            fs::remove(Path);
            {
                TFileRegistryKey Key(Path);
                Source.StoreToRegistry(Key);
            }
            TFileRegistryKey Reread(Path);
            auto Target = Fresh();
            Target->LoadFromRegistry(Reread);
            EXPECT_EQ(StoredSettings(*Target), Expected) << "key file:\n" << ReadFile(Path);
        }
        {
            const std::string Path = TempPath("roundtrip.ini");
            fs::remove(Path);
            {
                TComIniFile Ini(Path);
                Source.StoreToIniFile(Ini);
                Ini.UpdateFile();
            }
            TComIniFile Reread(Path);
            auto Target = Fresh();
            Target->LoadFromIniFile(Reread);
            EXPECT_EQ(StoredSettings(*Target), Expected) << "INI file:\n" << ReadFile(Path);
        }
    }
}

// A file written by hand with every setting away from its default: each
// lands in its own setting, and storing the port writes the file back as it
// was written.
TEST(RoundTrip, AHandWrittenFileWithEverySettingLoadsAndStoresBackAsWritten)
{
    const std::string Text = "[Port]\n"
                             "Port=/dev/ttyUSB7\n"
                             "BaudRate=Custom\n"
                             "CustomBaudRate=250000\n"
                             "StopBits=2\n"
                             "DataBits=7\n"
                             "Parity=Even\n"
                             "FlowControl=Custom\n"
                             "EventChar=#13\n"
                             "DiscardNull=Yes\n"
                             "Parity.Check=Yes\n"
                             "Parity.Replace=Yes\n"
                             "Parity.ReplaceChar=?\n"
                             "Buffer.OutputSize=512\n"
                             "Buffer.InputSize=4096\n"
                             "Timeouts.ReadInterval=20\n"
                             "Timeouts.ReadTotalConstant=250\n"
                             "Timeouts.ReadTotalMultiplier=7\n"
                             "Timeouts.WriteTotalConstant=30\n"
                             "Timeouts.WriteTotalMultiplier=3\n"
                             "FlowControl.ControlRTS=Toggle\n"
                             "FlowControl.ControlDTR=Handshake\n"
                             "FlowControl.DSRSensitivity=Yes\n"
                             "FlowControl.OutCTSFlow=No\n"
                             "FlowControl.OutDSRFlow=Yes\n"
                             "FlowControl.TxContinueOnXoff=Yes\n"
                             "FlowControl.XonXoffIn=Yes\n"
                             "FlowControl.XonXoffOut=No\n"
                             "FlowControl.XoffChar=#\n"
                             "FlowControl.XonChar=#200\n"
                             "Rs485.Enabled=Yes\n"
                             "Rs485.RtsOnSend=No\n"
                             "Rs485.RtsAfterSend=Yes\n"
                             "Rs485.DelayBeforeSend=1\n"
                             "Rs485.DelayAfterSend=20\n"
                             "Rs485.RxDuringTx=Yes\n";
    TComPort Port;
    Port.SetName("Port");
    Port.SetStoredGroups(AllGroups);
    TComIniFile Ini(TempPath("hand.ini"));
    Ini.SetText(Text);
    Port.LoadFromIniFile(Ini);

    EXPECT_EQ(Port.Port(), "/dev/ttyUSB7");
    EXPECT_EQ(Port.BaudRate(), brCustom);
    EXPECT_EQ(Port.CustomBaudRate(), 250000);
    EXPECT_EQ(Port.StopBits(), sbTwoStopBits);
    EXPECT_EQ(Port.DataBits(), dbSeven);
    EXPECT_EQ(Port.Parity().Bits(), prEven);
    EXPECT_EQ(Port.EventChar(), '\r');
    EXPECT_TRUE(Port.DiscardNull());
    EXPECT_EQ(Port.Parity().ReplaceChar(), '?');
    EXPECT_EQ(Port.Buffer().OutputSize(), 512);
    EXPECT_EQ(Port.Buffer().InputSize(), 4096);
    EXPECT_EQ(Port.Timeouts().ReadTotalConstant(), 250);
    EXPECT_EQ(Port.Timeouts().ReadTotalMultiplier(), 7);
    EXPECT_EQ(Port.FlowControl().ControlRTS(), rtsToggle);
    EXPECT_EQ(Port.FlowControl().ControlDTR(), dtrHandshake);
    EXPECT_FALSE(Port.FlowControl().OutCTSFlow());
    EXPECT_TRUE(Port.FlowControl().OutDSRFlow());
    EXPECT_EQ(Port.FlowControl().XoffChar(), '#');
    EXPECT_EQ(static_cast<unsigned char>(Port.FlowControl().XonChar()), 200);
    EXPECT_FALSE(Port.Rs485().RtsOnSend());
    EXPECT_EQ(Port.Rs485().DelayAfterSendMs(), 20);
    EXPECT_EQ(StoredSettings(Port), Text);
}

TEST(RoundTrip, CustomFlowControlWithBasicGroupAloneChangesNoFlowField)
{
    TComPort Source;
    Source.FlowControl().SetXonXoffIn(true);
    Source.FlowControl().SetOutDSRFlow(true);
    ASSERT_EQ(Source.FlowControl().FlowControl(), fcCustom);
    TMemoryRegistryKey Key;
    Source.StoreToRegistry(Key);
    EXPECT_EQ(Key.ReadString("FlowControl"), "Custom");

    TComPort Target;
    Target.FlowControl().SetFlowControl(fcHardware);
    const std::string Before = StoredSettings(Target);
    Target.LoadFromRegistry(Key);
    EXPECT_EQ(StoredSettings(Target), Before);
}

TEST(RoundTrip, FlowFieldsOverrideTheCompositeWhenBothTravel)
{
    TMemoryRegistryKey Key;
    TComPort Source;
    Source.SetStoredGroups({sgBasic, sgFlowControl});
    Source.FlowControl().SetFlowControl(fcHardware);
    Source.StoreToRegistry(Key);
    Key.WriteString("FlowControl", "Software");  // the composite says software, the fields hardware

    TComPort Target;
    Target.SetStoredGroups({sgBasic, sgFlowControl});
    Target.LoadFromRegistry(Key);
    EXPECT_EQ(Target.FlowControl().FlowControl(), fcHardware);
    EXPECT_FALSE(Target.FlowControl().XonXoffIn());
    EXPECT_FALSE(Target.FlowControl().XonXoffOut());
}

TEST(IniLoad, MissingEntriesLeaveSettingsUnchanged)
{
    for (const Configuration& C : Configurations()) {
        SCOPED_TRACE(C.Name);
        CountingPort Port;
        Port.SetName("ComPort1");
        Port.SetStoredGroups(AllGroups);
        C.Apply(Port);
        TComPort Expected;
        C.Apply(Expected);
        if (Expected.BaudRate() == brCustom)
            Expected.SetCustomBaudRate(9600);  // the one entry with a fixed default
        Port.Counts = {};

        TComIniFile Ini(TempPath("missing.ini"));
        Ini.SetText("[ComPort1]\n[Other]\nPort=elsewhere\nBaudRate=300\n");
        Port.LoadFromIniFile(Ini);
        EXPECT_EQ(StoredSettings(Port), StoredSettings(Expected));
        // Unchanged values are not applied; only the composite flow control always is.
        EXPECT_EQ(Port.Counts.Timeouts + Port.Counts.Buffers, 0);
    }
}

TEST(IniLoad, MissingCustomBaudRateReadsAs9600)
{
    TComPort Port;
    Port.SetName("ComPort1");
    Port.SetCustomBaudRate(57600);
    TComIniFile Ini(TempPath("custom-missing.ini"));
    Ini.SetText("[ComPort1]\nBaudRate=custom\n");
    Port.LoadFromIniFile(Ini);
    EXPECT_EQ(Port.BaudRate(), brCustom);
    EXPECT_EQ(Port.CustomBaudRate(), 9600);

    Ini.SetText("[ComPort1]\nBaudRate=Custom\nCustomBaudRate=0x7A12\n");
    Port.LoadFromIniFile(Ini);
    EXPECT_EQ(Port.CustomBaudRate(), 31250);

    // Not read unless the loaded rate is Custom.
    Ini.SetText("[ComPort1]\nBaudRate=2400\nCustomBaudRate=1234\n");
    Port.LoadFromIniFile(Ini);
    EXPECT_EQ(Port.BaudRate(), br2400);
    EXPECT_EQ(Port.CustomBaudRate(), 31250);
}

TEST(IniLoad, TextsAndNumbersThatMatchNothing)
{
    TComPort Port;
    Port.SetName("P");
    Port.SetStoredGroups({sgBasic, sgBuffer, sgParity});
    Port.SetBaudRate(br1200);
    Port.SetStopBits(sbTwoStopBits);
    Port.Buffer().SetInputSize(64);
    TComIniFile Ini(TempPath("garbage.ini"));
    Ini.SetText("[P]\nBaudRate=fast\nStopBits=\nBuffer.OutputSize=$100\n"
                "Parity.ReplaceChar=#x3F\n");
    Port.LoadFromIniFile(Ini);
    EXPECT_EQ(Port.BaudRate(), br9600);  // unmatched text: the fallback
    EXPECT_EQ(Port.StopBits(), sbOneStopBit);
    EXPECT_EQ(Port.Buffer().InputSize(), 64);  // missing: unchanged
    EXPECT_EQ(Port.Buffer().OutputSize(), 256);
    EXPECT_EQ(Port.Parity().ReplaceChar(), '?');
}

// An INI entry of an integer key that is no 32-bit integer ends the load with
// the file's error naming the file, the key and the value (at most 80
// characters of it); the bad key's setting keeps its value.
TEST(StoredValues, InvalidIntegersEndTheLoadNamingFileKeyAndValue)
{
    struct Row {
        std::string Key;
        std::string Value;
        std::vector<std::string> Words;
    };
    const std::string Long(200, '7');
    const std::vector<Row> Rows = {
        {"Buffer.InputSize", "lots", {"Buffer.InputSize", "'lots'", "integer"}},
        {"Buffer.OutputSize", "", {"Buffer.OutputSize", "''", "integer"}},
        {"Timeouts.ReadInterval", "4294967296", {"Timeouts.ReadInterval", "'4294967296'", "integer"}},
        {"CustomBaudRate", "96OO", {"CustomBaudRate", "'96OO'", "integer"}},
        {"Buffer.OutputSize", Long, {"'" + Long.substr(0, 80) + "...'", "200 characters"}},
    };
    const std::string Path = TempPath("invalid.ini");
    for (const Row& R : Rows) {
        SCOPED_TRACE(R.Key + "=" + R.Value.substr(0, 20));
        TComPort Port;
        Port.SetName("P");
        Port.SetStoredGroups({sgBasic, sgBuffer, sgTimeouts});
        Port.SetBaudRate(brCustom);
        const TComPort Before;
        TComIniFile Ini(Path);
        Port.StoreToIniFile(Ini);
        Ini.WriteString("P", R.Key, R.Value);
        std::string Message;
        try {
            Port.LoadFromIniFile(Ini);
            ADD_FAILURE() << "no EIniFileException raised";
        } catch (const EIniFileException& E) {
            Message = E.what();
        }
        EXPECT_NE(Message.find(Path), std::string::npos) << Message;
        for (const std::string& Word : R.Words)
            EXPECT_NE(Message.find(Word), std::string::npos) << Message;
        EXPECT_LT(Message.size(), Path.size() + 80 + 120) << Message;
        EXPECT_EQ(Port.Buffer().InputSize(), Before.Buffer().InputSize());
        EXPECT_EQ(Port.Buffer().OutputSize(), Before.Buffer().OutputSize());
        EXPECT_EQ(Port.CustomBaudRate(), Before.CustomBaudRate());
    }
}

TEST(IniLoad, ParityCheckIsOnForYesInAnyCase)
{
    const struct {
        const char* Text;
        bool on;
    } Cases[] = {{"yes", true},   {"YES", true}, {"yEs", true}, {"Yes", true}, {"y", false},
                 {"true", false}, {"1", false},  {"", false},   {"no", false}};
    for (const auto& C : Cases) {
        TComPort Port;
        Port.SetName("ComPort1");
        Port.SetStoredGroups({sgParity});
        Port.Parity().SetCheck(!C.on);
        TComIniFile Ini(TempPath("check.ini"));
        Ini.SetText(std::string("[ComPort1]\nParity.Check=") + C.Text + "\n");
        Port.LoadFromIniFile(Ini);
        EXPECT_EQ(Port.Parity().Check(), C.on) << '"' << C.Text << '"';
    }
}

TEST(IniFile, AStoreKeepsOtherSectionsEntriesAndComments)
{
    const std::string Path = TempPath("shared.ini");
    WriteFile(Path, "; settings of several tools\n"
                    "[Display]\n"
                    "Width=640\n"
                    "\n"
                    "[ComPort1]\n"
                    "; chosen by hand\n"
                    "Port=COM9\n"
                    "Remark=keep me\n"
                    "\n"
                    "[Zeta]\n"
                    "Key=Value with = sign\n");
    {
        TComIniFile Ini(Path);
        TComPort Port;
        Port.SetName("ComPort1");
        Port.SetPort("/dev/ttyACM0");
        Port.StoreToIniFile(Ini);
        Ini.UpdateFile();
    }
    const std::string Text = ReadFile(Path);
    TComIniFile Reread(Path);
    EXPECT_EQ(Reread.ReadString("Display", "Width", ""), "640");
    EXPECT_EQ(Reread.ReadString("Zeta", "Key", ""), "Value with = sign");
    EXPECT_EQ(Reread.ReadString("ComPort1", "Remark", ""), "keep me");
    EXPECT_EQ(Reread.ReadString("ComPort1", "Port", ""), "/dev/ttyACM0");
    EXPECT_NE(Text.find("; settings of several tools"), std::string::npos) << Text;
    EXPECT_NE(Text.find("; chosen by hand"), std::string::npos) << Text;
    EXPECT_NE(Text.find("Port=/dev/ttyACM0\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("BaudRate=9600\n"), std::string::npos) << Text;
}

TEST(IniFile, ValuesThatWouldBreakTheFileAreRefused)
{
    TComIniFile Ini(TempPath("inject.ini"));
    TComPort Port;
    Port.SetName("ComPort1");
    Port.SetPort("COM1\n[Evil]\nPort=x");
    EXPECT_THROW(Port.StoreToIniFile(Ini), EIniFileException);
    EXPECT_FALSE(Ini.SectionExists("Evil"));
    EXPECT_THROW(Ini.WriteString("A]", "k", "v"), EIniFileException);
    EXPECT_THROW(Ini.WriteString("A", "k=1", "v"), EIniFileException);
    EXPECT_THROW(Ini.WriteString("A", ";k", "v"), EIniFileException);
    EXPECT_THROW(Ini.WriteString("A", "", "v"), EIniFileException);
}

TEST(RegistryLoad, MissingTextBecomesItsFallback)
{
    TMemoryRegistryKey Key;
    Key.WriteString("BaudRate", "19200");
    TComPort Port;
    Port.SetPort("COM4");
    Port.SetDataBits(dbSeven);
    Port.FlowControl().SetFlowControl(fcHardware);
    Port.LoadFromRegistry(Key);
    EXPECT_EQ(Port.Port(), "");
    EXPECT_EQ(Port.BaudRate(), br19200);
    EXPECT_EQ(Port.DataBits(), dbEight);
    EXPECT_EQ(Port.FlowControl().FlowControl(), fcHardware);  // "Custom" changes nothing
}

TEST(RegistryLoad, MissingIntegerFailsAndStopsTheLoad)
{
    TComPort Source;
    Source.SetStoredGroups({sgBasic, sgBuffer, sgTimeouts});
    Source.SetPort("COM5");
    Source.Buffer().SetOutputSize(100);
    Source.Buffer().SetInputSize(200);
    Source.Timeouts().SetReadInterval(9);
    TMemoryRegistryKey key;
    Source.StoreToRegistry(key);
    ASSERT_TRUE(key.DeleteValue("Buffer.InputSize"));

    TComPort Target;
    Target.SetStoredGroups({sgBasic, sgBuffer, sgTimeouts});
    EXPECT_EQ(RegistryError([&] { Target.LoadFromRegistry(key); }), "Failed to get data for 'Buffer.InputSize'");
    EXPECT_EQ(Target.Port(), "COM5");  // loaded before the failure
    EXPECT_EQ(Target.Buffer().OutputSize(), 100);
    EXPECT_EQ(Target.Buffer().InputSize(), 1024);     // the failing key
    EXPECT_EQ(Target.Timeouts().ReadInterval(), -1);  // never reached
}

TEST(RegistryLoad, MissingCustomBaudRateIsAnError)
{
    TMemoryRegistryKey key;
    key.WriteString("BaudRate", "Custom");
    TComPort Port;
    EXPECT_EQ(RegistryError([&] { Port.LoadFromRegistry(key); }), "Failed to get data for 'CustomBaudRate'");
    EXPECT_EQ(Port.BaudRate(), brCustom);
    EXPECT_EQ(Port.StopBits(), sbOneStopBit);
}

// Stores written before the RS-485 keys existed leave the RS-485 settings as
// they are, from a registry key too (where other texts would fall back and
// integers fail).
TEST(OlderStores, WithoutRs485KeysLeaveTheRs485Settings)
{
    TComPort Writer;  // as an older version stored: every group but RS-485
    Writer.SetName("ComPort1");
    Writer.SetStoredGroups(TStoredGroups(AllGroups).Exclude(sgRs485));
    Writer.SetBaudRate(br19200);
    TMemoryRegistryKey Key;
    Writer.StoreToRegistry(Key);
    TComIniFile Ini(TempPath("older.ini"));
    Writer.StoreToIniFile(Ini);
    for (const bool FromIni : {false, true}) {
        TComPort Port;
        Port.SetName("ComPort1");
        Port.SetStoredGroups(AllGroups);
        Port.Rs485().SetEnabled(true);
        FromIni ? Port.LoadFromIniFile(Ini) : Port.LoadFromRegistry(Key);
        EXPECT_EQ(Port.BaudRate(), br19200);
        EXPECT_TRUE(Port.Rs485().Enabled() && Port.Rs485().RtsOnSend());
        EXPECT_EQ(Port.Rs485().DelayBeforeSendMs(), 0);
    }
}

TEST(RegistryLoad, WrongKindFailsWithTheValueName)
{
    TComPort Source;
    Source.SetStoredGroups({sgBasic, sgMisc, sgBuffer});
    TMemoryRegistryKey key;
    Source.StoreToRegistry(key);
    key.WriteString("Buffer.OutputSize", "2048");
    TComPort Target;
    Target.SetStoredGroups({sgBasic, sgMisc, sgBuffer});
    Target.SetEventChar('x');
    EXPECT_EQ(RegistryError([&] { Target.LoadFromRegistry(key); }), "Invalid data type for 'Buffer.OutputSize'");
    EXPECT_EQ(Target.EventChar(), '\0');  // sgMisc came before sgBuffer
    EXPECT_EQ(Target.Buffer().OutputSize(), 1024);

    key.WriteInteger("Port", 3);
    EXPECT_EQ(RegistryError([&] { Target.LoadFromRegistry(key); }), "Invalid data type for 'Port'");
}

TEST(RegistryFile, KeepsKindsEscapesAndIsPlainText)
{
    const std::string Path = TempPath("kinds.reg");
    fs::remove(Path);
    {
        TFileRegistryKey Key(Path);
        Key.WriteString("Port", "C:\\dev\\\"odd\"");
        Key.WriteInteger("Buffer.InputSize", 1024);
        Key.WriteInteger("Negative", -1);
        Key.WriteString("Number as text", "10");
    }
    const std::string Text = ReadFile(Path);
    EXPECT_NE(Text.find("\"Port\"=\"C:\\\\dev\\\\\\\"odd\\\"\"\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("\"Buffer.InputSize\"=dword:00000400\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("\"Negative\"=dword:ffffffff\n"), std::string::npos) << Text;

    TFileRegistryKey Reread(Path);
    EXPECT_EQ(Reread.ReadString("Port"), "C:\\dev\\\"odd\"");
    EXPECT_EQ(Reread.ReadInteger("Buffer.InputSize"), 1024);
    EXPECT_EQ(Reread.ReadInteger("Negative"), -1);
    EXPECT_EQ(Reread.GetDataType("Number as text"), TRegDataType::rdString);
    EXPECT_THROW(Reread.ReadInteger("Number as text"), ERegistryException);
}

TEST(RegistryFile, HandWrittenAndDamagedFilesReadWhatTheyCan)
{
    const std::string Path = TempPath("hand.reg");
    WriteFile(Path, "Windows Registry Editor Version 5.00\r\n"
                    "\r\n"
                    "[HKEY_CURRENT_USER\\Software\\Tool\\ComPort1]\r\n"
                    "; edited by hand\r\n"
                    "  \"Port\" = \"COM2\"  \r\n"
                    "\"BaudRate\"=\"19200\"\r\n"
                    "\"Unterminated=\"x\"\n"
                    "\"Blob\"=hex:01,02,03\n"
                    "\"BadDword\"=dword:12345678Z\n"
                    "\"LongDword\"=dword:123456789\n"
                    "\"Half\"=\"abc\n"
                    "garbage line\n"
                    "\"Buffer.InputSize\"=DWORD:0000FFFF\n"
                    "\"baudrate\"=\"38400\"\n"
                    "=\"no name\"\n"
                    "\"\"=\"empty name\"\n"
                    "\"Trailing\"=\"x\" junk");
    TFileRegistryKey key(Path);
    EXPECT_EQ(key.ReadString("Port"), "COM2");
    EXPECT_EQ(key.ReadString("BaudRate"), "38400");  // the later line wins
    EXPECT_EQ(key.ReadInteger("Buffer.InputSize"), 0xFFFF);
    for (const char* Unknown : {"Blob", "BadDword", "LongDword", "Half", "Trailing"}) {
        EXPECT_EQ(key.GetDataType(Unknown), TRegDataType::rdUnknown) << Unknown;
        EXPECT_EQ(RegistryError([&] { key.ReadInteger(Unknown); }),
                  std::string("Invalid data type for '") + Unknown + "'");
    }
    EXPECT_FALSE(key.ValueExists("Unterminated"));
    EXPECT_EQ(key.ValueNames().size(), 8u);

    // Values this key does not interpret are written back as they were.
    key.WriteString("Port", "COM3");
    const std::string Text = ReadFile(Path);
    EXPECT_NE(Text.find("\"Blob\"=hex:01,02,03\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("\"Port\"=\"COM3\"\n"), std::string::npos) << Text;
}

TEST(RegistryFile, FailedSaveFailsToSetAndKeepsTheKey)
{
    TFileRegistryKey Key(TempPath("no-such-dir/key.reg"));
    EXPECT_EQ(RegistryError([&] { Key.WriteInteger("Buffer.InputSize", 10); }),
              "Failed to set data for 'Buffer.InputSize'");
    EXPECT_FALSE(Key.ValueExists("Buffer.InputSize"));
}

TEST(RegistryFile, TextsThatCannotBeOneLineAreRefused)
{
    TMemoryRegistryKey Key;
    EXPECT_THROW(Key.WriteString("Port", "a\nb"), ERegistryException);
    EXPECT_THROW(Key.WriteString("Port", std::string("a\0b", 3)), ERegistryException);
    EXPECT_THROW(Key.WriteString("Na\rme", "x"), ERegistryException);
    EXPECT_FALSE(Key.ValueExists("Port"));
}

// Loading into an open port: line settings reach the device at once, and a
// new "Port" moves the port to the other device.
TEST(LoadIntoOpenPort, AppliesToTheDeviceAtOnce)
{
    test_support::TPtyPair First, Second;
    TComPort Port;
    Port.SetName("ComPort1");
    Port.SetEvents({});
    Port.SetPort(First.SlavePath());
    Port.SetStoredGroups({sgBasic, sgParity});
    Port.Open();

    TComIniFile Ini(TempPath("open.ini"));
    Ini.SetText("[ComPort1]\nBaudRate=38400\nStopBits=2\nFlowControl=Hardware\nParity.Check=Yes\n");
    Port.LoadFromIniFile(Ini);
    ASSERT_TRUE(Port.Connected());
    EXPECT_EQ(First.BitRate(), 38400u);
    const termios T = First.Settings();
    EXPECT_TRUE(T.c_cflag & CSTOPB);
    EXPECT_TRUE(T.c_cflag & CRTSCTS);
    EXPECT_TRUE(Port.Parity().Check());

    int Reopened = 0;
    Port.OnAfterOpen = [&](TComponent*) { ++Reopened; };
    Ini.WriteString("ComPort1", "Port", Second.SlavePath());
    Ini.WriteString("ComPort1", "BaudRate", "57600");
    Port.LoadFromIniFile(Ini);
    EXPECT_TRUE(Port.Connected());
    EXPECT_EQ(Reopened, 1);
    EXPECT_EQ(Port.Port(), Second.SlavePath());
    EXPECT_EQ(Second.BitRate(), 57600u);
}

TEST(LoadIntoOpenPort, UnopenablePortEndsTheLoad)
{
    test_support::TPtyPair Pty;
    TComPort Port;
    Port.SetEvents({});
    Port.SetPort(Pty.SlavePath());
    Port.Open();
    TMemoryRegistryKey Key;
    Key.WriteString("Port", "/dev/varnolink-no-such-device");
    Key.WriteString("BaudRate", "300");
    EXPECT_THROW(Port.LoadFromRegistry(Key), EComPort);
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Port.BaudRate(), br9600);  // the load ended at "Port"
}

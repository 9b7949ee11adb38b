// SPDX-License-Identifier: MIT
// Storing and loading port settings through an INI file and registry-style
// keys: which keys travel and in what order, round trips over several
// configurations, missing and mistyped values, and the files themselves.
#include "cport/comport.h"
#include "cport/comport_store.h"
#include "settings_counting_port.h"
#include "settings_pty.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using namespace cport;
namespace fs = std::filesystem;

namespace {

const TStoredGroups AllGroups{sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgMisc};

// Every stored setting of a port, comparable and printable.
struct Settings {
    std::string Port;
    int Baud, Custom, Stop, Data, Parity;
    bool Check, Replace;
    int ReplaceChar, EventChar;
    bool DiscardNull;
    int InSize, OutSize;
    int Ri, Rtm, Rtc, Wtm, Wtc;
    int Rts, Dtr;
    bool Cts, Dsr, DsrSens, TxCont, Xin, Xout;
    int Xon, Xoff;

    static Settings Of(const TCustomComPort& P) {
        const auto& F = P.FlowControl();
        const auto& T = P.Timeouts();
        return {P.Port(), P.BaudRate(), P.CustomBaudRate(), P.StopBits(), P.DataBits(), P.Parity().Bits(),
                P.Parity().Check(), P.Parity().Replace(), static_cast<unsigned char>(P.Parity().ReplaceChar()),
                static_cast<unsigned char>(P.EventChar()), P.DiscardNull(), P.Buffer().InputSize(),
                P.Buffer().OutputSize(), T.ReadInterval(), T.ReadTotalMultiplier(), T.ReadTotalConstant(),
                T.WriteTotalMultiplier(), T.WriteTotalConstant(), F.ControlRTS(), F.ControlDTR(), F.OutCTSFlow(),
                F.OutDSRFlow(), F.DSRSensitivity(), F.TxContinueOnXoff(), F.XonXoffIn(), F.XonXoffOut(),
                static_cast<unsigned char>(F.XonChar()), static_cast<unsigned char>(F.XoffChar())};
    }
    auto Tie() const {
        return std::tie(Port, Baud, Custom, Stop, Data, Parity, Check, Replace, ReplaceChar, EventChar,
                        DiscardNull, InSize, OutSize, Ri, Rtm, Rtc, Wtm, Wtc, Rts, Dtr, Cts, Dsr, DsrSens,
                        TxCont, Xin, Xout, Xon, Xoff);
    }
    bool operator==(const Settings& O) const { return Tie() == O.Tie(); }
};

void PrintTo(const Settings& S, std::ostream* Os) { *Os << ::testing::PrintToString(S.Tie()); }

// Non-default configurations, each applied to a fresh port.
struct Configuration {
    const char* Name;
    std::function<void(TCustomComPort&)> Apply;
};

std::vector<Configuration> Configurations() {
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
         }},
    };
}

// Files of one test process, in a directory removed when the process ends.
class TempFiles {
public:
    TempFiles() : Dir_(fs::path(::testing::TempDir()) / ("cport_persistence_" + std::to_string(::getpid()))) {}
    ~TempFiles() {
        std::error_code Ignored;
        fs::remove_all(Dir_, Ignored);
    }
    std::string Path(const std::string& Name) {
        fs::create_directories(Dir_);
        return (Dir_ / Name).string();
    }

private:
    fs::path Dir_;
};

std::string TempPath(const std::string& Name) {
    static TempFiles Files;
    return Files.Path(Name);
}

std::string ReadFile(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

void WriteFile(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
}

// The entry names of a section, in file order.
std::vector<std::string> EntriesOf(const std::string& IniText, const std::string& Section) {
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
std::string RegistryError(Action&& action) {
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
TEST(StoreKeys, InitialGroupsWriteTheBasicKeys) {
    for (const bool Custom : {false, true}) {
        TComPort Port;
        Port.SetName("ComPort1");
        if (Custom) {
            Port.SetBaudRate(brCustom);
            Port.SetCustomBaudRate(31250);
        }
        std::vector<std::string> Expected = BasicKeys;
        if (Custom) Expected.insert(Expected.begin() + 2, "CustomBaudRate");

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

TEST(StoreKeys, AllGroupsInGroupAndKeyOrderWithTheirKinds) {
    TComPort Port;
    Port.SetStoredGroups(AllGroups);
    TMemoryRegistryKey Key;
    Port.StoreToRegistry(Key);
    const std::vector<std::string> Expected = {
        "Port", "BaudRate", "StopBits", "DataBits", "Parity", "FlowControl",
        "EventChar", "DiscardNull",
        "Parity.Check", "Parity.Replace", "Parity.ReplaceChar",
        "Buffer.OutputSize", "Buffer.InputSize",
        "Timeouts.ReadInterval", "Timeouts.ReadTotalConstant", "Timeouts.ReadTotalMultiplier",
        "Timeouts.WriteTotalConstant", "Timeouts.WriteTotalMultiplier",
        "FlowControl.ControlRTS", "FlowControl.ControlDTR", "FlowControl.DSRSensitivity",
        "FlowControl.OutCTSFlow", "FlowControl.OutDSRFlow", "FlowControl.TxContinueOnXoff",
        "FlowControl.XonXoffIn", "FlowControl.XonXoffOut", "FlowControl.XoffChar", "FlowControl.XonChar"};
    EXPECT_EQ(Key.ValueNames(), Expected);
    for (const std::string& Name : Expected) {
        const bool Integer = Name.rfind("Buffer.", 0) == 0 || Name.rfind("Timeouts.", 0) == 0;
        EXPECT_EQ(Key.GetDataType(Name), Integer ? TRegDataType::rdInteger : TRegDataType::rdString) << Name;
    }
    EXPECT_EQ(Key.ReadString("EventChar"), "#0");
    EXPECT_EQ(Key.ReadString("DiscardNull"), "No");
    EXPECT_EQ(Key.ReadString("FlowControl.XonChar"), "#17");
    EXPECT_EQ(Key.ReadInteger("Timeouts.ReadInterval"), -1);
    EXPECT_EQ(Key.ReadString("FlowControl.ControlRTS"), "Disable");
}

TEST(RoundTrip, StoreIntoOnePortLoadIntoAnother) {
    for (const Configuration& C : Configurations()) {
        SCOPED_TRACE(C.Name);
        TComPort Source;
        Source.SetName("ComPort1");
        Source.SetStoredGroups(AllGroups);
        C.Apply(Source);
        const Settings Expected = Settings::Of(Source);

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
            EXPECT_EQ(Settings::Of(*Target), Expected) << "memory key";
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
            EXPECT_EQ(Settings::Of(*Target), Expected) << "key file:\n" << ReadFile(Path);
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
            EXPECT_EQ(Settings::Of(*Target), Expected) << "INI file:\n" << ReadFile(Path);
        }
    }
}

TEST(RoundTrip, CustomFlowControlWithBasicGroupAloneChangesNoFlowField) {
    TComPort Source;
    Source.FlowControl().SetXonXoffIn(true);
    Source.FlowControl().SetOutDSRFlow(true);
    ASSERT_EQ(Source.FlowControl().FlowControl(), fcCustom);
    TMemoryRegistryKey Key;
    Source.StoreToRegistry(Key);
    EXPECT_EQ(Key.ReadString("FlowControl"), "Custom");

    TComPort Target;
    Target.FlowControl().SetFlowControl(fcHardware);
    const Settings Before = Settings::Of(Target);
    Target.LoadFromRegistry(Key);
    EXPECT_EQ(Settings::Of(Target), Before);
}

TEST(RoundTrip, FlowFieldsOverrideTheCompositeWhenBothTravel) {
    TMemoryRegistryKey Key;
    TComPort Source;
    Source.SetStoredGroups({sgBasic, sgFlowControl});
    Source.FlowControl().SetFlowControl(fcHardware);
    Source.StoreToRegistry(Key);
    Key.WriteString("FlowControl", "Software");   // the composite says software, the fields hardware

    TComPort Target;
    Target.SetStoredGroups({sgBasic, sgFlowControl});
    Target.LoadFromRegistry(Key);
    EXPECT_EQ(Target.FlowControl().FlowControl(), fcHardware);
    EXPECT_FALSE(Target.FlowControl().XonXoffIn());
    EXPECT_FALSE(Target.FlowControl().XonXoffOut());
}

TEST(IniLoad, MissingEntriesLeaveSettingsUnchanged) {
    for (const Configuration& C : Configurations()) {
        SCOPED_TRACE(C.Name);
        CountingPort Port;
        Port.SetName("ComPort1");
        Port.SetStoredGroups(AllGroups);
        C.Apply(Port);
        const Settings Before = Settings::Of(Port);
        Port.Counts = {};

        TComIniFile Ini(TempPath("missing.ini"));
        Ini.SetText("[ComPort1]\n[Other]\nPort=elsewhere\nBaudRate=300\n");
        Port.LoadFromIniFile(Ini);
        Settings Expected = Before;
        if (Port.BaudRate() == brCustom) Expected.Custom = 9600;   // the one entry with a fixed default
        EXPECT_EQ(Settings::Of(Port), Expected);
        // Unchanged values are not applied; only the composite flow control always is.
        EXPECT_EQ(Port.Counts.Timeouts + Port.Counts.Buffers, 0);
    }
}

TEST(IniLoad, MissingCustomBaudRateReadsAs9600) {
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

TEST(IniLoad, TextsAndNumbersThatMatchNothing) {
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
    EXPECT_EQ(Port.BaudRate(), br9600);          // unmatched text: the fallback
    EXPECT_EQ(Port.StopBits(), sbOneStopBit);
    EXPECT_EQ(Port.Buffer().InputSize(), 64);    // missing: unchanged
    EXPECT_EQ(Port.Buffer().OutputSize(), 256);
    EXPECT_EQ(Port.Parity().ReplaceChar(), '?');
}

// An INI entry of an integer key that is no 32-bit integer ends the load with
// the file's error naming the file, the key and the value (at most 80
// characters of it); the bad key's setting keeps its value.
TEST(StoredValues, InvalidIntegersEndTheLoadNamingFileKeyAndValue) {
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
        for (const std::string& Word : R.Words) EXPECT_NE(Message.find(Word), std::string::npos) << Message;
        EXPECT_LT(Message.size(), Path.size() + 80 + 120) << Message;
        EXPECT_EQ(Port.Buffer().InputSize(), Before.Buffer().InputSize());
        EXPECT_EQ(Port.Buffer().OutputSize(), Before.Buffer().OutputSize());
        EXPECT_EQ(Port.CustomBaudRate(), Before.CustomBaudRate());
    }
}

TEST(IniLoad, ParityCheckIsOnForYesInAnyCase) {
    const struct {
        const char* Text;
        bool on;
    } Cases[] = {{"yes", true}, {"YES", true}, {"yEs", true}, {"Yes", true},
                 {"y", false},  {"true", false}, {"1", false}, {"", false}, {"no", false}};
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

TEST(IniFile, AStoreKeepsOtherSectionsEntriesAndComments) {
    const std::string Path = TempPath("shared.ini");
    WriteFile(Path,
              "; settings of several tools\n"
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

TEST(IniFile, ValuesThatWouldBreakTheFileAreRefused) {
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

TEST(RegistryLoad, MissingTextBecomesItsFallback) {
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
    EXPECT_EQ(Port.FlowControl().FlowControl(), fcHardware);   // "Custom" changes nothing
}

TEST(RegistryLoad, MissingIntegerFailsAndStopsTheLoad) {
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
    EXPECT_EQ(Target.Port(), "COM5");                   // loaded before the failure
    EXPECT_EQ(Target.Buffer().OutputSize(), 100);
    EXPECT_EQ(Target.Buffer().InputSize(), 1024);       // the failing key
    EXPECT_EQ(Target.Timeouts().ReadInterval(), -1);    // never reached
}

TEST(RegistryLoad, MissingCustomBaudRateIsAnError) {
    TMemoryRegistryKey key;
    key.WriteString("BaudRate", "Custom");
    TComPort Port;
    EXPECT_EQ(RegistryError([&] { Port.LoadFromRegistry(key); }), "Failed to get data for 'CustomBaudRate'");
    EXPECT_EQ(Port.BaudRate(), brCustom);
    EXPECT_EQ(Port.StopBits(), sbOneStopBit);
}

TEST(RegistryLoad, WrongKindFailsWithTheValueName) {
    TComPort Source;
    Source.SetStoredGroups({sgBasic, sgMisc, sgBuffer});
    TMemoryRegistryKey key;
    Source.StoreToRegistry(key);
    key.WriteString("Buffer.OutputSize", "2048");
    TComPort Target;
    Target.SetStoredGroups({sgBasic, sgMisc, sgBuffer});
    Target.SetEventChar('x');
    EXPECT_EQ(RegistryError([&] { Target.LoadFromRegistry(key); }), "Invalid data type for 'Buffer.OutputSize'");
    EXPECT_EQ(Target.EventChar(), '\0');   // sgMisc came before sgBuffer
    EXPECT_EQ(Target.Buffer().OutputSize(), 1024);

    key.WriteInteger("Port", 3);
    EXPECT_EQ(RegistryError([&] { Target.LoadFromRegistry(key); }), "Invalid data type for 'Port'");
}

TEST(RegistryFile, KeepsKindsEscapesAndIsPlainText) {
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

TEST(RegistryFile, HandWrittenAndDamagedFilesReadWhatTheyCan) {
    const std::string Path = TempPath("hand.reg");
    WriteFile(Path,
              "Windows Registry Editor Version 5.00\r\n"
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
    EXPECT_EQ(key.ReadString("BaudRate"), "38400");   // the later line wins
    EXPECT_EQ(key.ReadInteger("Buffer.InputSize"), 0xFFFF);
    for (const char* Unknown : {"Blob", "BadDword", "LongDword", "Half", "Trailing"}) {
        EXPECT_EQ(key.GetDataType(Unknown), TRegDataType::rdUnknown) << Unknown;
        EXPECT_EQ(RegistryError([&] { key.ReadInteger(Unknown); }), std::string("Invalid data type for '") + Unknown + "'");
    }
    EXPECT_FALSE(key.ValueExists("Unterminated"));
    EXPECT_EQ(key.ValueNames().size(), 8u);

    // Values this key does not interpret are written back as they were.
    key.WriteString("Port", "COM3");
    const std::string Text = ReadFile(Path);
    EXPECT_NE(Text.find("\"Blob\"=hex:01,02,03\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("\"Port\"=\"COM3\"\n"), std::string::npos) << Text;
}

TEST(RegistryFile, FailedSaveFailsToSetAndKeepsTheKey) {
    TFileRegistryKey Key(TempPath("no-such-dir/key.reg"));
    EXPECT_EQ(RegistryError([&] { Key.WriteInteger("Buffer.InputSize", 10); }), "Failed to set data for 'Buffer.InputSize'");
    EXPECT_FALSE(Key.ValueExists("Buffer.InputSize"));
}

TEST(RegistryFile, TextsThatCannotBeOneLineAreRefused) {
    TMemoryRegistryKey Key;
    EXPECT_THROW(Key.WriteString("Port", "a\nb"), ERegistryException);
    EXPECT_THROW(Key.WriteString("Port", std::string("a\0b", 3)), ERegistryException);
    EXPECT_THROW(Key.WriteString("Na\rme", "x"), ERegistryException);
    EXPECT_FALSE(Key.ValueExists("Port"));
}

// Loading into an open port: line settings reach the device at once, and a
// new "Port" moves the port to the other device.
TEST(LoadIntoOpenPort, AppliesToTheDeviceAtOnce) {
    PseudoTerminal First, Second;
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

TEST(LoadIntoOpenPort, UnopenablePortEndsTheLoad) {
    PseudoTerminal Pty;
    TComPort Port;
    Port.SetEvents({});
    Port.SetPort(Pty.SlavePath());
    Port.Open();
    TMemoryRegistryKey Key;
    Key.WriteString("Port", "/dev/varnolink-no-such-device");
    Key.WriteString("BaudRate", "300");
    EXPECT_THROW(Port.LoadFromRegistry(Key), EComPort);
    EXPECT_FALSE(Port.Connected());
    EXPECT_EQ(Port.BaudRate(), br9600);   // the load ended at "Port"
}

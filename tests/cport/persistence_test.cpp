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

const TStoredGroups kAllGroups{sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgMisc};

// Every stored setting of a port, comparable and printable.
struct Settings {
    std::string port;
    int baud, custom, stop, data, parity;
    bool check, replace;
    int replace_char, event_char;
    bool discard_null;
    int in_size, out_size;
    int ri, rtm, rtc, wtm, wtc;
    int rts, dtr;
    bool cts, dsr, dsr_sens, tx_cont, xin, xout;
    int xon, xoff;

    static Settings Of(const TCustomComPort& p) {
        const auto& f = p.FlowControl();
        const auto& t = p.Timeouts();
        return {p.Port(), p.BaudRate(), p.CustomBaudRate(), p.StopBits(), p.DataBits(), p.Parity().Bits(),
                p.Parity().Check(), p.Parity().Replace(), static_cast<unsigned char>(p.Parity().ReplaceChar()),
                static_cast<unsigned char>(p.EventChar()), p.DiscardNull(), p.Buffer().InputSize(),
                p.Buffer().OutputSize(), t.ReadInterval(), t.ReadTotalMultiplier(), t.ReadTotalConstant(),
                t.WriteTotalMultiplier(), t.WriteTotalConstant(), f.ControlRTS(), f.ControlDTR(), f.OutCTSFlow(),
                f.OutDSRFlow(), f.DSRSensitivity(), f.TxContinueOnXoff(), f.XonXoffIn(), f.XonXoffOut(),
                static_cast<unsigned char>(f.XonChar()), static_cast<unsigned char>(f.XoffChar())};
    }
    auto Tie() const {
        return std::tie(port, baud, custom, stop, data, parity, check, replace, replace_char, event_char,
                        discard_null, in_size, out_size, ri, rtm, rtc, wtm, wtc, rts, dtr, cts, dsr, dsr_sens,
                        tx_cont, xin, xout, xon, xoff);
    }
    bool operator==(const Settings& o) const { return Tie() == o.Tie(); }
};

void PrintTo(const Settings& s, std::ostream* os) { *os << ::testing::PrintToString(s.Tie()); }

// Non-default configurations, each applied to a fresh port.
struct Configuration {
    const char* name;
    std::function<void(TCustomComPort&)> apply;
};

std::vector<Configuration> Configurations() {
    return {
        {"custom rate, control characters",
         [](TCustomComPort& p) {
             p.SetPort("/dev/ttyUSB3");
             p.SetBaudRate(brCustom);
             p.SetCustomBaudRate(250000);
             p.SetEventChar('\r');
             p.SetDiscardNull(true);
             p.Parity().SetBits(prMark);
             p.Parity().SetCheck(true);
             p.Parity().SetReplace(true);
             p.Parity().SetReplaceChar(' ');
             p.FlowControl().SetFlowControl(fcHardware);
             p.FlowControl().SetXonChar('\x11');
             p.Buffer().SetInputSize(4096);
             p.Buffer().SetOutputSize(0);
             p.Timeouts().SetReadInterval(20);
         }},
        {"software flow, high characters",
         [](TCustomComPort& p) {
             p.SetPort("COM7");
             p.SetBaudRate(br115200);
             p.SetStopBits(sbTwoStopBits);
             p.SetDataBits(dbSeven);
             p.Parity().SetBits(prEven);
             p.SetEventChar('\xC8');
             p.FlowControl().SetFlowControl(fcSoftware);
             p.FlowControl().SetXonChar('#');
             p.FlowControl().SetXoffChar('\xFF');
             p.FlowControl().SetTxContinueOnXoff(true);
             p.Timeouts().SetReadTotalMultiplier(7);
             p.Timeouts().SetReadTotalConstant(250);
             p.Timeouts().SetWriteTotalMultiplier(0);
             p.Timeouts().SetWriteTotalConstant(0);
         }},
        {"custom flow fields, negative numbers",
         [](TCustomComPort& p) {
             p.SetPort("my port [\"2\"] = \\x");
             p.SetBaudRate(br110);
             p.SetStopBits(sbOne5StopBits);
             p.SetDataBits(dbFive);
             p.Parity().SetBits(prSpace);
             p.Parity().SetReplaceChar('\0');
             p.SetEventChar('A');
             p.FlowControl().SetControlRTS(rtsToggle);
             p.FlowControl().SetControlDTR(dtrHandshake);
             p.FlowControl().SetOutDSRFlow(true);
             p.FlowControl().SetDSRSensitivity(true);
             p.FlowControl().SetXonXoffIn(true);
             p.Buffer().SetInputSize(-3);
             p.Buffer().SetOutputSize(2147483646);
             p.Timeouts().SetReadInterval(-2147483647 - 1);
         }},
    };
}

// Files of one test process, in a directory removed when the process ends.
class TempFiles {
public:
    TempFiles() : dir_(fs::path(::testing::TempDir()) / ("cport_persistence_" + std::to_string(::getpid()))) {}
    ~TempFiles() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string Path(const std::string& name) {
        fs::create_directories(dir_);
        return (dir_ / name).string();
    }

private:
    fs::path dir_;
};

std::string TempPath(const std::string& name) {
    static TempFiles files;
    return files.Path(name);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The entry names of a section, in file order.
std::vector<std::string> EntriesOf(const std::string& ini_text, const std::string& section) {
    std::vector<std::string> entries;
    std::istringstream in(ini_text);
    std::string line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            inside = line == "[" + section + "]";
        } else if (inside && line.find('=') != std::string::npos) {
            entries.push_back(line.substr(0, line.find('=')));
        }
    }
    return entries;
}

// The message of the ERegistryException Action raises (fails the test if none).
template <typename Action>
std::string RegistryError(Action&& action) {
    try {
        action();
    } catch (const ERegistryException& e) {
        return e.what();
    }
    ADD_FAILURE() << "no ERegistryException raised";
    return "";
}

const std::vector<std::string> kBasicKeys = {"Port", "BaudRate", "StopBits", "DataBits", "Parity", "FlowControl"};

}  // namespace

// With the initial groups: the six basic keys, and "CustomBaudRate" third
// only with a custom rate.
TEST(StoreKeys, InitialGroupsWriteTheBasicKeys) {
    for (const bool custom : {false, true}) {
        TComPort port;
        port.SetName("ComPort1");
        if (custom) {
            port.SetBaudRate(brCustom);
            port.SetCustomBaudRate(31250);
        }
        std::vector<std::string> expected = kBasicKeys;
        if (custom) expected.insert(expected.begin() + 2, "CustomBaudRate");

        TMemoryRegistryKey key;
        port.StoreToRegistry(key);
        EXPECT_EQ(key.ValueNames(), expected);
        EXPECT_EQ(key.ReadString("Port"), "COM1");
        EXPECT_EQ(key.ReadString("BaudRate"), custom ? "Custom" : "9600");
        EXPECT_EQ(key.ReadString("StopBits") + key.ReadString("DataBits") + key.ReadString("Parity") +
                      key.ReadString("FlowControl"),
                  "18NoneNone");
        if (custom) {
            EXPECT_EQ(key.ReadInteger("CustomBaudRate"), 31250);
        }

        TComIniFile ini(TempPath("basic.ini"));
        port.StoreToIniFile(ini);
        EXPECT_EQ(EntriesOf(ini.Text(), "ComPort1"), expected);
        if (custom) {
            EXPECT_EQ(ini.ReadString("ComPort1", "CustomBaudRate", ""), "31250");
        }
    }
}

TEST(StoreKeys, AllGroupsInGroupAndKeyOrderWithTheirKinds) {
    TComPort port;
    port.SetStoredGroups(kAllGroups);
    TMemoryRegistryKey key;
    port.StoreToRegistry(key);
    const std::vector<std::string> expected = {
        "Port", "BaudRate", "StopBits", "DataBits", "Parity", "FlowControl",
        "EventChar", "DiscardNull",
        "Parity.Check", "Parity.Replace", "Parity.ReplaceChar",
        "Buffer.OutputSize", "Buffer.InputSize",
        "Timeouts.ReadInterval", "Timeouts.ReadTotalConstant", "Timeouts.ReadTotalMultiplier",
        "Timeouts.WriteTotalConstant", "Timeouts.WriteTotalMultiplier",
        "FlowControl.ControlRTS", "FlowControl.ControlDTR", "FlowControl.DSRSensitivity",
        "FlowControl.OutCTSFlow", "FlowControl.OutDSRFlow", "FlowControl.TxContinueOnXoff",
        "FlowControl.XonXoffIn", "FlowControl.XonXoffOut", "FlowControl.XoffChar", "FlowControl.XonChar"};
    EXPECT_EQ(key.ValueNames(), expected);
    for (const std::string& name : expected) {
        const bool integer = name.rfind("Buffer.", 0) == 0 || name.rfind("Timeouts.", 0) == 0;
        EXPECT_EQ(key.GetDataType(name), integer ? TRegDataType::rdInteger : TRegDataType::rdString) << name;
    }
    EXPECT_EQ(key.ReadString("EventChar"), "#0");
    EXPECT_EQ(key.ReadString("DiscardNull"), "No");
    EXPECT_EQ(key.ReadString("FlowControl.XonChar"), "#17");
    EXPECT_EQ(key.ReadInteger("Timeouts.ReadInterval"), -1);
    EXPECT_EQ(key.ReadString("FlowControl.ControlRTS"), "Disable");
}

TEST(RoundTrip, StoreIntoOnePortLoadIntoAnother) {
    for (const Configuration& c : Configurations()) {
        SCOPED_TRACE(c.name);
        TComPort source;
        source.SetName("ComPort1");
        source.SetStoredGroups(kAllGroups);
        c.apply(source);
        const Settings expected = Settings::Of(source);

        const auto fresh = [] {
            auto p = std::make_unique<TComPort>();
            p->SetName("ComPort1");
            p->SetStoredGroups(kAllGroups);
            return p;
        };
        {
            TMemoryRegistryKey key;
            source.StoreToRegistry(key);
            auto target = fresh();
            target->LoadFromRegistry(key);
            EXPECT_EQ(Settings::Of(*target), expected) << "memory key";
        }
        {
            const std::string path = TempPath("roundtrip.reg");
            fs::remove(path);
            {
                TFileRegistryKey key(path);
                source.StoreToRegistry(key);
            }
            TFileRegistryKey reread(path);
            auto target = fresh();
            target->LoadFromRegistry(reread);
            EXPECT_EQ(Settings::Of(*target), expected) << "key file:\n" << ReadFile(path);
        }
        {
            const std::string path = TempPath("roundtrip.ini");
            fs::remove(path);
            {
                TComIniFile ini(path);
                source.StoreToIniFile(ini);
                ini.UpdateFile();
            }
            TComIniFile reread(path);
            auto target = fresh();
            target->LoadFromIniFile(reread);
            EXPECT_EQ(Settings::Of(*target), expected) << "INI file:\n" << ReadFile(path);
        }
    }
}

TEST(RoundTrip, CustomFlowControlWithBasicGroupAloneChangesNoFlowField) {
    TComPort source;
    source.FlowControl().SetXonXoffIn(true);
    source.FlowControl().SetOutDSRFlow(true);
    ASSERT_EQ(source.FlowControl().FlowControl(), fcCustom);
    TMemoryRegistryKey key;
    source.StoreToRegistry(key);
    EXPECT_EQ(key.ReadString("FlowControl"), "Custom");

    TComPort target;
    target.FlowControl().SetFlowControl(fcHardware);
    const Settings before = Settings::Of(target);
    target.LoadFromRegistry(key);
    EXPECT_EQ(Settings::Of(target), before);
}

TEST(RoundTrip, FlowFieldsOverrideTheCompositeWhenBothTravel) {
    TMemoryRegistryKey key;
    TComPort source;
    source.SetStoredGroups({sgBasic, sgFlowControl});
    source.FlowControl().SetFlowControl(fcHardware);
    source.StoreToRegistry(key);
    key.WriteString("FlowControl", "Software");   // the composite says software, the fields hardware

    TComPort target;
    target.SetStoredGroups({sgBasic, sgFlowControl});
    target.LoadFromRegistry(key);
    EXPECT_EQ(target.FlowControl().FlowControl(), fcHardware);
    EXPECT_FALSE(target.FlowControl().XonXoffIn());
    EXPECT_FALSE(target.FlowControl().XonXoffOut());
}

TEST(IniLoad, MissingEntriesLeaveSettingsUnchanged) {
    for (const Configuration& c : Configurations()) {
        SCOPED_TRACE(c.name);
        CountingPort port;
        port.SetName("ComPort1");
        port.SetStoredGroups(kAllGroups);
        c.apply(port);
        const Settings before = Settings::Of(port);
        port.counts = {};

        TComIniFile ini(TempPath("missing.ini"));
        ini.SetText("[ComPort1]\n[Other]\nPort=elsewhere\nBaudRate=300\n");
        port.LoadFromIniFile(ini);
        Settings expected = before;
        if (port.BaudRate() == brCustom) expected.custom = 9600;   // the one entry with a fixed default
        EXPECT_EQ(Settings::Of(port), expected);
        // Unchanged values are not applied; only the composite flow control always is.
        EXPECT_EQ(port.counts.timeouts + port.counts.buffers, 0);
    }
}

TEST(IniLoad, MissingCustomBaudRateReadsAs9600) {
    TComPort port;
    port.SetName("ComPort1");
    port.SetCustomBaudRate(57600);
    TComIniFile ini(TempPath("custom-missing.ini"));
    ini.SetText("[ComPort1]\nBaudRate=custom\n");
    port.LoadFromIniFile(ini);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 9600);

    ini.SetText("[ComPort1]\nBaudRate=Custom\nCustomBaudRate=0x7A12\n");
    port.LoadFromIniFile(ini);
    EXPECT_EQ(port.CustomBaudRate(), 31250);

    // Not read unless the loaded rate is Custom.
    ini.SetText("[ComPort1]\nBaudRate=2400\nCustomBaudRate=1234\n");
    port.LoadFromIniFile(ini);
    EXPECT_EQ(port.BaudRate(), br2400);
    EXPECT_EQ(port.CustomBaudRate(), 31250);
}

TEST(IniLoad, TextsAndNumbersThatMatchNothing) {
    TComPort port;
    port.SetName("P");
    port.SetStoredGroups({sgBasic, sgBuffer, sgParity});
    port.SetBaudRate(br1200);
    port.SetStopBits(sbTwoStopBits);
    port.Buffer().SetInputSize(64);
    TComIniFile ini(TempPath("garbage.ini"));
    ini.SetText("[P]\nBaudRate=fast\nStopBits=\nBuffer.InputSize=lots\nBuffer.OutputSize=$100\n"
                "Parity.ReplaceChar=#x3F\n");
    port.LoadFromIniFile(ini);
    EXPECT_EQ(port.BaudRate(), br9600);          // unmatched text: the fallback
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(port.Buffer().InputSize(), 64);    // invalid number: the current value
    EXPECT_EQ(port.Buffer().OutputSize(), 256);
    EXPECT_EQ(port.Parity().ReplaceChar(), '?');
}

TEST(IniLoad, ParityCheckIsOnForYesInAnyCase) {
    const struct {
        const char* text;
        bool on;
    } cases[] = {{"yes", true}, {"YES", true}, {"yEs", true}, {"Yes", true},
                 {"y", false},  {"true", false}, {"1", false}, {"", false}, {"no", false}};
    for (const auto& c : cases) {
        TComPort port;
        port.SetName("ComPort1");
        port.SetStoredGroups({sgParity});
        port.Parity().SetCheck(!c.on);
        TComIniFile ini(TempPath("check.ini"));
        ini.SetText(std::string("[ComPort1]\nParity.Check=") + c.text + "\n");
        port.LoadFromIniFile(ini);
        EXPECT_EQ(port.Parity().Check(), c.on) << '"' << c.text << '"';
    }
}

TEST(IniFile, AStoreKeepsOtherSectionsEntriesAndComments) {
    const std::string path = TempPath("shared.ini");
    WriteFile(path,
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
        TComIniFile ini(path);
        TComPort port;
        port.SetName("ComPort1");
        port.SetPort("/dev/ttyACM0");
        port.StoreToIniFile(ini);
        ini.UpdateFile();
    }
    const std::string text = ReadFile(path);
    TComIniFile reread(path);
    EXPECT_EQ(reread.ReadString("Display", "Width", ""), "640");
    EXPECT_EQ(reread.ReadString("Zeta", "Key", ""), "Value with = sign");
    EXPECT_EQ(reread.ReadString("ComPort1", "Remark", ""), "keep me");
    EXPECT_EQ(reread.ReadString("ComPort1", "Port", ""), "/dev/ttyACM0");
    EXPECT_NE(text.find("; settings of several tools"), std::string::npos) << text;
    EXPECT_NE(text.find("; chosen by hand"), std::string::npos) << text;
    EXPECT_NE(text.find("Port=/dev/ttyACM0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("BaudRate=9600\n"), std::string::npos) << text;
}

TEST(IniFile, ValuesThatWouldBreakTheFileAreRefused) {
    TComIniFile ini(TempPath("inject.ini"));
    TComPort port;
    port.SetName("ComPort1");
    port.SetPort("COM1\n[Evil]\nPort=x");
    EXPECT_THROW(port.StoreToIniFile(ini), EIniFileException);
    EXPECT_FALSE(ini.SectionExists("Evil"));
    EXPECT_THROW(ini.WriteString("A]", "k", "v"), EIniFileException);
    EXPECT_THROW(ini.WriteString("A", "k=1", "v"), EIniFileException);
    EXPECT_THROW(ini.WriteString("A", ";k", "v"), EIniFileException);
    EXPECT_THROW(ini.WriteString("A", "", "v"), EIniFileException);
}

TEST(RegistryLoad, MissingTextBecomesItsFallback) {
    TMemoryRegistryKey key;
    key.WriteString("BaudRate", "19200");
    TComPort port;
    port.SetPort("COM4");
    port.SetDataBits(dbSeven);
    port.FlowControl().SetFlowControl(fcHardware);
    port.LoadFromRegistry(key);
    EXPECT_EQ(port.Port(), "");
    EXPECT_EQ(port.BaudRate(), br19200);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.FlowControl().FlowControl(), fcHardware);   // "Custom" changes nothing
}

TEST(RegistryLoad, MissingIntegerFailsAndStopsTheLoad) {
    TComPort source;
    source.SetStoredGroups({sgBasic, sgBuffer, sgTimeouts});
    source.SetPort("COM5");
    source.Buffer().SetOutputSize(100);
    source.Buffer().SetInputSize(200);
    source.Timeouts().SetReadInterval(9);
    TMemoryRegistryKey key;
    source.StoreToRegistry(key);
    ASSERT_TRUE(key.DeleteValue("Buffer.InputSize"));

    TComPort target;
    target.SetStoredGroups({sgBasic, sgBuffer, sgTimeouts});
    EXPECT_EQ(RegistryError([&] { target.LoadFromRegistry(key); }), "Failed to get data for 'Buffer.InputSize'");
    EXPECT_EQ(target.Port(), "COM5");                   // loaded before the failure
    EXPECT_EQ(target.Buffer().OutputSize(), 100);
    EXPECT_EQ(target.Buffer().InputSize(), 1024);       // the failing key
    EXPECT_EQ(target.Timeouts().ReadInterval(), -1);    // never reached
}

TEST(RegistryLoad, MissingCustomBaudRateIsAnError) {
    TMemoryRegistryKey key;
    key.WriteString("BaudRate", "Custom");
    TComPort port;
    EXPECT_EQ(RegistryError([&] { port.LoadFromRegistry(key); }), "Failed to get data for 'CustomBaudRate'");
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
}

TEST(RegistryLoad, WrongKindFailsWithTheValueName) {
    TComPort source;
    source.SetStoredGroups({sgBasic, sgMisc, sgBuffer});
    TMemoryRegistryKey key;
    source.StoreToRegistry(key);
    key.WriteString("Buffer.OutputSize", "2048");
    TComPort target;
    target.SetStoredGroups({sgBasic, sgMisc, sgBuffer});
    target.SetEventChar('x');
    EXPECT_EQ(RegistryError([&] { target.LoadFromRegistry(key); }), "Invalid data type for 'Buffer.OutputSize'");
    EXPECT_EQ(target.EventChar(), '\0');   // sgMisc came before sgBuffer
    EXPECT_EQ(target.Buffer().OutputSize(), 1024);

    key.WriteInteger("Port", 3);
    EXPECT_EQ(RegistryError([&] { target.LoadFromRegistry(key); }), "Invalid data type for 'Port'");
}

TEST(RegistryFile, KeepsKindsEscapesAndIsPlainText) {
    const std::string path = TempPath("kinds.reg");
    fs::remove(path);
    {
        TFileRegistryKey key(path);
        key.WriteString("Port", "C:\\dev\\\"odd\"");
        key.WriteInteger("Buffer.InputSize", 1024);
        key.WriteInteger("Negative", -1);
        key.WriteString("Number as text", "10");
    }
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("\"Port\"=\"C:\\\\dev\\\\\\\"odd\\\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Buffer.InputSize\"=dword:00000400\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Negative\"=dword:ffffffff\n"), std::string::npos) << text;

    TFileRegistryKey reread(path);
    EXPECT_EQ(reread.ReadString("Port"), "C:\\dev\\\"odd\"");
    EXPECT_EQ(reread.ReadInteger("Buffer.InputSize"), 1024);
    EXPECT_EQ(reread.ReadInteger("Negative"), -1);
    EXPECT_EQ(reread.GetDataType("Number as text"), TRegDataType::rdString);
    EXPECT_THROW(reread.ReadInteger("Number as text"), ERegistryException);
}

TEST(RegistryFile, HandWrittenAndDamagedFilesReadWhatTheyCan) {
    const std::string path = TempPath("hand.reg");
    WriteFile(path,
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
    TFileRegistryKey key(path);
    EXPECT_EQ(key.ReadString("Port"), "COM2");
    EXPECT_EQ(key.ReadString("BaudRate"), "38400");   // the later line wins
    EXPECT_EQ(key.ReadInteger("Buffer.InputSize"), 0xFFFF);
    for (const char* unknown : {"Blob", "BadDword", "LongDword", "Half", "Trailing"}) {
        EXPECT_EQ(key.GetDataType(unknown), TRegDataType::rdUnknown) << unknown;
        EXPECT_EQ(RegistryError([&] { key.ReadInteger(unknown); }), std::string("Invalid data type for '") + unknown + "'");
    }
    EXPECT_FALSE(key.ValueExists("Unterminated"));
    EXPECT_EQ(key.ValueNames().size(), 8u);

    // Values this key does not interpret are written back as they were.
    key.WriteString("Port", "COM3");
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("\"Blob\"=hex:01,02,03\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Port\"=\"COM3\"\n"), std::string::npos) << text;
}

TEST(RegistryFile, FailedSaveFailsToSetAndKeepsTheKey) {
    TFileRegistryKey key(TempPath("no-such-dir/key.reg"));
    EXPECT_EQ(RegistryError([&] { key.WriteInteger("Buffer.InputSize", 10); }), "Failed to set data for 'Buffer.InputSize'");
    EXPECT_FALSE(key.ValueExists("Buffer.InputSize"));
}

TEST(RegistryFile, TextsThatCannotBeOneLineAreRefused) {
    TMemoryRegistryKey key;
    EXPECT_THROW(key.WriteString("Port", "a\nb"), ERegistryException);
    EXPECT_THROW(key.WriteString("Port", std::string("a\0b", 3)), ERegistryException);
    EXPECT_THROW(key.WriteString("Na\rme", "x"), ERegistryException);
    EXPECT_FALSE(key.ValueExists("Port"));
}

// Loading into an open port: line settings reach the device at once, and a
// new "Port" moves the port to the other device.
TEST(LoadIntoOpenPort, AppliesToTheDeviceAtOnce) {
    PseudoTerminal first, second;
    TComPort port;
    port.SetName("ComPort1");
    port.SetEvents({});
    port.SetPort(first.SlavePath());
    port.SetStoredGroups({sgBasic, sgParity});
    port.Open();

    TComIniFile ini(TempPath("open.ini"));
    ini.SetText("[ComPort1]\nBaudRate=38400\nStopBits=2\nFlowControl=Hardware\nParity.Check=Yes\n");
    port.LoadFromIniFile(ini);
    ASSERT_TRUE(port.Connected());
    EXPECT_EQ(first.BitRate(), 38400u);
    const termios t = first.Settings();
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(port.Parity().Check());

    int reopened = 0;
    port.OnAfterOpen = [&](TComponent*) { ++reopened; };
    ini.WriteString("ComPort1", "Port", second.SlavePath());
    ini.WriteString("ComPort1", "BaudRate", "57600");
    port.LoadFromIniFile(ini);
    EXPECT_TRUE(port.Connected());
    EXPECT_EQ(reopened, 1);
    EXPECT_EQ(port.Port(), second.SlavePath());
    EXPECT_EQ(second.BitRate(), 57600u);
}

TEST(LoadIntoOpenPort, UnopenablePortEndsTheLoad) {
    PseudoTerminal pty;
    TComPort port;
    port.SetEvents({});
    port.SetPort(pty.SlavePath());
    port.Open();
    TMemoryRegistryKey key;
    key.WriteString("Port", "/dev/varnolink-no-such-device");
    key.WriteString("BaudRate", "300");
    EXPECT_THROW(port.LoadFromRegistry(key), EComPort);
    EXPECT_FALSE(port.Connected());
    EXPECT_EQ(port.BaudRate(), br9600);   // the load ended at "Port"
}

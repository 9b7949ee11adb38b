// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to the readers of stored serial settings: as the text
// of an INI file, as a registry key file, and as the text of every setting
// conversion; then loads a port from what was read. Nothing may crash, hang
// or leak, and these properties must hold:
//   - a key file read back from its own export gives the same export;
//   - a character read from text survives its own text form;
//   - a port loaded from the INI text stores and reloads to the same settings.

#include "cport/comport.h"
#include "cport/comport_store.h"
#include "tests/fuzz/fuzz_input.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using namespace cport;
using fuzz_test::Require;

namespace {

const TStoredGroups AllGroups{sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgMisc, sgRs485};

// The names a port stores with every group (CustomBaudRate only with a
// custom rate), and names no store writes; found once.
const std::vector<std::string>& Names()
{
    static const std::vector<std::string> Probed = [] {
        TComPort Port;
        Port.SetStoredGroups(AllGroups);
        TMemoryRegistryKey Key;
        Port.StoreToRegistry(Key);
        std::vector<std::string> Stored = Key.ValueNames();
        Stored.insert(Stored.end(), {"CustomBaudRate", "", "a", "A"});
        return Stored;
    }();
    return Probed;
}

void Conversions(const std::string& Text)
{
    (void)BaudRateFromText(Text);
    (void)StopBitsFromText(Text);
    (void)DataBitsFromText(Text);
    (void)ParityFromText(Text);
    (void)FlowControlFromText(Text);
    (void)DTRControlFromText(Text);
    (void)RTSControlFromText(Text);
    (void)BoolFromText(Text);
    const char C = CharFromText(Text);
    Require(CharFromText(CharText(C)) == C, "character does not survive its text");
}

void Ini(const std::string& Text)
{
    TComIniFile Ini("");  // an empty path names no file: nothing is read or written
    Ini.SetText(Text);
    for (const char* Section : {"ComPort1", "", "a"})
        for (const std::string& Name : Names()) {
            (void)Ini.ReadString(Section, Name, "default");
            (void)Ini.ReadInteger(Section, Name, -7);
        }
    (void)Ini.Text();

    TComPort Port;
    Port.SetName("ComPort1");
    Port.SetStoredGroups(AllGroups);
    try {
        Port.LoadFromIniFile(Ini);  // a closed port: the setters only store
    } catch (const EIniFileException& Error) {
        // An integer entry that is no 32-bit integer ends the load; what was
        // loaded before it stays, and the message names where it stands.
        Require(std::string_view(Error.what()).find("section 'ComPort1'") != std::string_view::npos,
                "a refused load does not name its section");
    }

    // What was loaded is what a store writes back and a second load reads.
    TMemoryRegistryKey Key;
    Port.StoreToRegistry(Key);
    TComPort Again;
    Again.SetStoredGroups(AllGroups);
    Again.LoadFromRegistry(Key);
    TMemoryRegistryKey KeyAgain;
    Again.StoreToRegistry(KeyAgain);
    Require(Key.ExportText() == KeyAgain.ExportText(), "loaded settings do not store the same twice");
}

void Registry(const std::string& Text)
{
    TMemoryRegistryKey Key;
    Key.ImportText(Text);
    for (const std::string& Name : Names()) {
        try {
            (void)Key.ReadString(Name);
        } catch (const ERegistryException&) {
        }
        try {
            (void)Key.ReadInteger(Name);
        } catch (const ERegistryException&) {
        }
    }
    const std::string Exported = Key.ExportText();
    TMemoryRegistryKey Reread;
    Reread.ImportText(Exported);
    Require(Reread.ExportText() == Exported, "key file export is not stable");

    TComPort Port;
    Port.SetStoredGroups(AllGroups);
    try {
        Port.LoadFromRegistry(Key);
    } catch (const ERegistryException&) {
        // a missing or mistyped value ends the load
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const std::string Text(fuzz_test::TextOf(Data, Size));
    Conversions(Text);
    Ini(Text);
    Registry(Text);
    return 0;
}

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

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace cport;

namespace {

void Require(bool Condition, const char* What) {
    if (!Condition) {
        std::fprintf(stderr, "settings_store_fuzz: %s\n", What);
        std::abort();
    }
}

const TStoredGroups kAllGroups{sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgMisc};

const char* const kNames[] = {
    "Port", "BaudRate", "CustomBaudRate", "StopBits", "DataBits", "Parity", "FlowControl", "EventChar",
    "DiscardNull", "Parity.Check", "Parity.Replace", "Parity.ReplaceChar", "Buffer.OutputSize",
    "Buffer.InputSize", "Timeouts.ReadInterval", "FlowControl.XonChar", "", "a", "A"};

void Conversions(const std::string& text) {
    (void)BaudRateFromText(text);
    (void)StopBitsFromText(text);
    (void)DataBitsFromText(text);
    (void)ParityFromText(text);
    (void)FlowControlFromText(text);
    (void)DTRControlFromText(text);
    (void)RTSControlFromText(text);
    (void)BoolFromText(text);
    const char c = CharFromText(text);
    Require(CharFromText(CharText(c)) == c, "character does not survive its text");
}

void Ini(const std::string& text) {
    TComIniFile ini("");   // an empty path names no file: nothing is read or written
    ini.SetText(text);
    for (const char* section : {"ComPort1", "", "a"})
        for (const char* name : kNames) {
            (void)ini.ReadString(section, name, "default");
            (void)ini.ReadInteger(section, name, -7);
        }
    (void)ini.Text();

    TComPort port;
    port.SetName("ComPort1");
    port.SetStoredGroups(kAllGroups);
    port.LoadFromIniFile(ini);   // a closed port: the setters only store

    // What was loaded is what a store writes back and a second load reads.
    TMemoryRegistryKey key;
    port.StoreToRegistry(key);
    TComPort again;
    again.SetStoredGroups(kAllGroups);
    again.LoadFromRegistry(key);
    TMemoryRegistryKey key_again;
    again.StoreToRegistry(key_again);
    Require(key.ExportText() == key_again.ExportText(), "loaded settings do not store the same twice");
}

void Registry(const std::string& text) {
    TMemoryRegistryKey key;
    key.ImportText(text);
    for (const char* name : kNames) {
        try {
            (void)key.ReadString(name);
        } catch (const ERegistryException&) {
        }
        try {
            (void)key.ReadInteger(name);
        } catch (const ERegistryException&) {
        }
    }
    const std::string exported = key.ExportText();
    TMemoryRegistryKey reread;
    reread.ImportText(exported);
    Require(reread.ExportText() == exported, "key file export is not stable");

    TComPort port;
    port.SetStoredGroups(kAllGroups);
    try {
        port.LoadFromRegistry(key);
    } catch (const ERegistryException&) {
        // a missing or mistyped value ends the load
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string text(reinterpret_cast<const char*>(Data), Size);
    Conversions(text);
    Ini(text);
    Registry(text);
    return 0;
}

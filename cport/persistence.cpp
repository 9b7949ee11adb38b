// SPDX-License-Identifier: MIT
// Storing and loading a port's settings. One table holds every stored key:
// its group, its name and how its value is read from and set on a port. The
// groups of StoredGroups travel in the table's order (basic, misc, parity,
// buffer, timeouts, flow control, RS-485), and so do the keys of each group,
// on the way out and on the way in alike. Loading goes through the setters,
// so a loaded value takes effect as any property change does (on an open
// port at once; a new "Port" reopens). Nothing is caught: the first error
// ends the operation and what was written or loaded before it stays.
//
// The RS-485 keys came later than the others: a store written before them
// lacks them, and loading it leaves the RS-485 settings as they are, from a
// registry key too.
//
// An INI entry of an integer key that is not a 32-bit integer ends the load
// with the INI file's error, naming the file, section, key and value. Any
// integer loads as it is (a port may hold any value a setter takes, and a
// store followed by a load gives it back); texts that match none of their
// conversion's forms load as the conversion's fallback.
#include "cport/comport.h"
#include "cport/comport_store.h"
#include "cport/text_parsing.h"

#include <optional>

namespace cport {

namespace {

// One stored setting. A text key has Text and SetText, an integer key
// Integer and SetInteger.
struct TStoredKey {
    TStoredGroup Group;
    const char* Name;
    std::string (*Text)(const TCustomComPort&) = nullptr;
    void (*SetText)(TCustomComPort&, const std::string&) = nullptr;
    int32_t (*Integer)(const TCustomComPort&) = nullptr;
    void (*SetInteger)(TCustomComPort&, int32_t) = nullptr;
    // A key stored only while this holds (asked again after each earlier key
    // has been loaded); null: always.
    bool (*Applies)(const TCustomComPort&) = nullptr;
    // What a missing INI entry gives; none: the setting's present value.
    std::optional<int32_t> IniMissing = std::nullopt;
    // A store that lacks the key leaves the setting as it is, whatever the
    // store (a registry key otherwise gives a missing text's fallback and
    // fails on a missing integer).
    bool KeptWhenMissing = false;
};

using TPort = TCustomComPort;
using TText = std::string;

constexpr TStoredKey StoredKeys[] = {
    // sgBasic
    {.Group = sgBasic,
     .Name = "Port",
     .Text = [](const TPort& Port) { return Port.Port(); },
     .SetText = [](TPort& Port, const TText& Text) { Port.SetPort(Text); }},
    {.Group = sgBasic,
     .Name = "BaudRate",
     .Text = [](const TPort& Port) { return BaudRateText(Port.BaudRate()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.SetBaudRate(BaudRateFromText(Text)); }},
    {.Group = sgBasic,
     .Name = "CustomBaudRate",
     .Integer = [](const TPort& Port) { return Port.CustomBaudRate(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.SetCustomBaudRate(Value); },
     .Applies = [](const TPort& Port) { return Port.BaudRate() == brCustom; },
     .IniMissing = 9600},
    {.Group = sgBasic,
     .Name = "StopBits",
     .Text = [](const TPort& Port) { return StopBitsText(Port.StopBits()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.SetStopBits(StopBitsFromText(Text)); }},
    {.Group = sgBasic,
     .Name = "DataBits",
     .Text = [](const TPort& Port) { return DataBitsText(Port.DataBits()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.SetDataBits(DataBitsFromText(Text)); }},
    {.Group = sgBasic,
     .Name = "Parity",
     .Text = [](const TPort& Port) { return ParityText(Port.Parity().Bits()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.Parity().SetBits(ParityFromText(Text)); }},
    {.Group = sgBasic,
     .Name = "FlowControl",
     .Text = [](const TPort& Port) { return FlowControlText(Port.FlowControl().FlowControl()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetFlowControl(FlowControlFromText(Text)); }},
    // sgMisc
    {.Group = sgMisc,
     .Name = "EventChar",
     .Text = [](const TPort& Port) { return CharText(Port.EventChar()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.SetEventChar(CharFromText(Text)); }},
    {.Group = sgMisc,
     .Name = "DiscardNull",
     .Text = [](const TPort& Port) { return BoolText(Port.DiscardNull()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.SetDiscardNull(BoolFromText(Text)); }},
    // sgParity
    {.Group = sgParity,
     .Name = "Parity.Check",
     .Text = [](const TPort& Port) { return BoolText(Port.Parity().Check()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.Parity().SetCheck(BoolFromText(Text)); }},
    {.Group = sgParity,
     .Name = "Parity.Replace",
     .Text = [](const TPort& Port) { return BoolText(Port.Parity().Replace()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.Parity().SetReplace(BoolFromText(Text)); }},
    {.Group = sgParity,
     .Name = "Parity.ReplaceChar",
     .Text = [](const TPort& Port) { return CharText(Port.Parity().ReplaceChar()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.Parity().SetReplaceChar(CharFromText(Text)); }},
    // sgBuffer
    {.Group = sgBuffer,
     .Name = "Buffer.OutputSize",
     .Integer = [](const TPort& Port) { return Port.Buffer().OutputSize(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.Buffer().SetOutputSize(Value); }},
    {.Group = sgBuffer,
     .Name = "Buffer.InputSize",
     .Integer = [](const TPort& Port) { return Port.Buffer().InputSize(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.Buffer().SetInputSize(Value); }},
    // sgTimeouts
    {.Group = sgTimeouts,
     .Name = "Timeouts.ReadInterval",
     .Integer = [](const TPort& Port) { return Port.Timeouts().ReadInterval(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.Timeouts().SetReadInterval(Value); }},
    {.Group = sgTimeouts,
     .Name = "Timeouts.ReadTotalConstant",
     .Integer = [](const TPort& Port) { return Port.Timeouts().ReadTotalConstant(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.Timeouts().SetReadTotalConstant(Value); }},
    {.Group = sgTimeouts,
     .Name = "Timeouts.ReadTotalMultiplier",
     .Integer = [](const TPort& Port) { return Port.Timeouts().ReadTotalMultiplier(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.Timeouts().SetReadTotalMultiplier(Value); }},
    {.Group = sgTimeouts,
     .Name = "Timeouts.WriteTotalConstant",
     .Integer = [](const TPort& Port) { return Port.Timeouts().WriteTotalConstant(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.Timeouts().SetWriteTotalConstant(Value); }},
    {.Group = sgTimeouts,
     .Name = "Timeouts.WriteTotalMultiplier",
     .Integer = [](const TPort& Port) { return Port.Timeouts().WriteTotalMultiplier(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.Timeouts().SetWriteTotalMultiplier(Value); }},
    // sgFlowControl
    {.Group = sgFlowControl,
     .Name = "FlowControl.ControlRTS",
     .Text = [](const TPort& Port) { return RTSControlText(Port.FlowControl().ControlRTS()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetControlRTS(RTSControlFromText(Text)); }},
    {.Group = sgFlowControl,
     .Name = "FlowControl.ControlDTR",
     .Text = [](const TPort& Port) { return DTRControlText(Port.FlowControl().ControlDTR()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetControlDTR(DTRControlFromText(Text)); }},
    {.Group = sgFlowControl,
     .Name = "FlowControl.DSRSensitivity",
     .Text = [](const TPort& Port) { return BoolText(Port.FlowControl().DSRSensitivity()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetDSRSensitivity(BoolFromText(Text)); }},
    {.Group = sgFlowControl,
     .Name = "FlowControl.OutCTSFlow",
     .Text = [](const TPort& Port) { return BoolText(Port.FlowControl().OutCTSFlow()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetOutCTSFlow(BoolFromText(Text)); }},
    {.Group = sgFlowControl,
     .Name = "FlowControl.OutDSRFlow",
     .Text = [](const TPort& Port) { return BoolText(Port.FlowControl().OutDSRFlow()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetOutDSRFlow(BoolFromText(Text)); }},
    {.Group = sgFlowControl,
     .Name = "FlowControl.TxContinueOnXoff",
     .Text = [](const TPort& Port) { return BoolText(Port.FlowControl().TxContinueOnXoff()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetTxContinueOnXoff(BoolFromText(Text)); }},
    {.Group = sgFlowControl,
     .Name = "FlowControl.XonXoffIn",
     .Text = [](const TPort& Port) { return BoolText(Port.FlowControl().XonXoffIn()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetXonXoffIn(BoolFromText(Text)); }},
    {.Group = sgFlowControl,
     .Name = "FlowControl.XonXoffOut",
     .Text = [](const TPort& Port) { return BoolText(Port.FlowControl().XonXoffOut()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetXonXoffOut(BoolFromText(Text)); }},
    {.Group = sgFlowControl,
     .Name = "FlowControl.XoffChar",
     .Text = [](const TPort& Port) { return CharText(Port.FlowControl().XoffChar()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetXoffChar(CharFromText(Text)); }},
    {.Group = sgFlowControl,
     .Name = "FlowControl.XonChar",
     .Text = [](const TPort& Port) { return CharText(Port.FlowControl().XonChar()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.FlowControl().SetXonChar(CharFromText(Text)); }},
    // sgRs485
    {.Group = sgRs485,
     .Name = "Rs485.Enabled",
     .Text = [](const TPort& Port) { return BoolText(Port.Rs485().Enabled()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.Rs485().SetEnabled(BoolFromText(Text)); },
     .KeptWhenMissing = true},
    {.Group = sgRs485,
     .Name = "Rs485.RtsOnSend",
     .Text = [](const TPort& Port) { return BoolText(Port.Rs485().RtsOnSend()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.Rs485().SetRtsOnSend(BoolFromText(Text)); },
     .KeptWhenMissing = true},
    {.Group = sgRs485,
     .Name = "Rs485.RtsAfterSend",
     .Text = [](const TPort& Port) { return BoolText(Port.Rs485().RtsAfterSend()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.Rs485().SetRtsAfterSend(BoolFromText(Text)); },
     .KeptWhenMissing = true},
    {.Group = sgRs485,
     .Name = "Rs485.DelayBeforeSend",
     .Integer = [](const TPort& Port) { return Port.Rs485().DelayBeforeSendMs(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.Rs485().SetDelayBeforeSendMs(Value); },
     .KeptWhenMissing = true},
    {.Group = sgRs485,
     .Name = "Rs485.DelayAfterSend",
     .Integer = [](const TPort& Port) { return Port.Rs485().DelayAfterSendMs(); },
     .SetInteger = [](TPort& Port, int32_t Value) { Port.Rs485().SetDelayAfterSendMs(Value); },
     .KeptWhenMissing = true},
    {.Group = sgRs485,
     .Name = "Rs485.RxDuringTx",
     .Text = [](const TPort& Port) { return BoolText(Port.Rs485().RxDuringTx()); },
     .SetText = [](TPort& Port, const TText& Text) { Port.Rs485().SetRxDuringTx(BoolFromText(Text)); },
     .KeptWhenMissing = true},
};

// One side of a store: how values are written. Texts and integers keep their
// kinds; the INI form writes integers as decimal text.
class TSettingsWriter {
public:
    virtual ~TSettingsWriter() = default;
    virtual void Text(const char* Key, const std::string& Value) = 0;
    virtual void Integer(const char* Key, int32_t Value) = 0;
};

// A value as an error message quotes it: at most 80 characters.
std::string QuotedValue(const std::string& Value)
{
    constexpr size_t Longest = 80;
    if (Value.size() <= Longest)
        return "'" + Value + "'";
    return "'" + Value.substr(0, Longest) + "...' (" + std::to_string(Value.size()) + " characters)";
}

// One side of a load. Missing is what an INI file gives back for a missing
// entry (the setting's present value, or the key's own default).
class TSettingsReader {
public:
    virtual ~TSettingsReader() = default;
    virtual bool Has(const char* Key) = 0;
    virtual std::string Text(const char* Key, const std::string& Missing) = 0;
    virtual int32_t Integer(const char* Key, int32_t Missing) = 0;
};

class TIniWriter final : public TSettingsWriter {
public:
    TIniWriter(TComIniFile& Ini, const std::string& Section) : Ini_(Ini), Section_(Section) {}
    void Text(const char* Key, const std::string& Value) override { Ini_.WriteString(Section_, Key, Value); }
    void Integer(const char* Key, int32_t Value) override { Ini_.WriteInteger(Section_, Key, Value); }

private:
    TComIniFile& Ini_;
    const std::string Section_;
};

class TIniReader final : public TSettingsReader {
public:
    TIniReader(TComIniFile& Ini, const std::string& Section) : Ini_(Ini), Section_(Section) {}
    bool Has(const char* Key) override { return Ini_.ValueExists(Section_, Key); }
    std::string Text(const char* Key, const std::string& Missing) override
    {
        return Ini_.ReadString(Section_, Key, Missing);
    }
    // A missing entry gives Missing; a present one must be a 32-bit integer.
    int32_t Integer(const char* Key, int32_t Missing) override
    {
        if (!Ini_.ValueExists(Section_, Key))
            return Missing;
        const std::string Value = Ini_.ReadString(Section_, Key, "");
        const std::optional<int32_t> Number = ParseInteger(Value);
        if (!Number)
            Invalid(Key, Value, "not a 32-bit integer");
        return *Number;
    }
    [[noreturn]] void Invalid(const char* Key, const std::string& Value, const char* Why)
    {
        throw EIniFileException("INI file " + Ini_.FileName() + ", section '" + Section_ + "': invalid value " +
                                QuotedValue(Value) + " for '" + Key + "' (" + Why + ")");
    }

private:
    TComIniFile& Ini_;
    const std::string Section_;
};

class TRegistryWriter final : public TSettingsWriter {
public:
    explicit TRegistryWriter(TComRegistryKey& Key) : Key_(Key) {}
    void Text(const char* Key, const std::string& Value) override { Key_.WriteString(Key, Value); }
    void Integer(const char* Key, int32_t Value) override { Key_.WriteInteger(Key, Value); }

private:
    TComRegistryKey& Key_;
};

// A missing text reads as empty text (its conversion's fallback); a missing
// integer is the key's error.
class TRegistryReader final : public TSettingsReader {
public:
    explicit TRegistryReader(TComRegistryKey& Key) : Key_(Key) {}
    bool Has(const char* Key) override { return Key_.ValueExists(Key); }
    std::string Text(const char* Key, const std::string&) override { return Key_.ReadString(Key); }
    int32_t Integer(const char* Key, int32_t) override { return Key_.ReadInteger(Key); }

private:
    TComRegistryKey& Key_;
};

bool IsStored(const TCustomComPort& Port, const TStoredKey& Key)
{
    return Port.StoredGroups().Contains(Key.Group) && (Key.Applies == nullptr || Key.Applies(Port));
}

void StoreGroups(const TCustomComPort& Port, TSettingsWriter& Out)
{
    for (const TStoredKey& Key : StoredKeys) {
        if (!IsStored(Port, Key))
            continue;
        if (Key.Text != nullptr)
            Out.Text(Key.Name, Key.Text(Port));
        else
            Out.Integer(Key.Name, Key.Integer(Port));
    }
}

// Each value is read, converted and set before the next key is read, so a
// failing read or setter leaves the earlier keys loaded.
void LoadGroups(TCustomComPort& Port, TSettingsReader& In)
{
    for (const TStoredKey& Key : StoredKeys) {
        if (!IsStored(Port, Key) || (Key.KeptWhenMissing && !In.Has(Key.Name)))
            continue;
        if (Key.Text != nullptr)
            Key.SetText(Port, In.Text(Key.Name, Key.Text(Port)));
        else
            Key.SetInteger(Port, In.Integer(Key.Name, Key.IniMissing.value_or(Key.Integer(Port))));
    }
}

}  // namespace

void TCustomComPort::StoreToRegistry(TComRegistryKey& Key)
{
    TRegistryWriter Out(Key);
    StoreGroups(*this, Out);
}

void TCustomComPort::StoreToIniFile(TComIniFile& IniFile)
{
    TIniWriter Out(IniFile, Name());
    StoreGroups(*this, Out);
}

void TCustomComPort::LoadFromRegistry(TComRegistryKey& Key)
{
    TRegistryReader In(Key);
    LoadGroups(*this, In);
}

void TCustomComPort::LoadFromIniFile(TComIniFile& IniFile)
{
    TIniReader In(IniFile, Name());
    LoadGroups(*this, In);
}

}  // namespace cport

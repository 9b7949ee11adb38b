// Storing and loading a port's settings. The groups of StoredGroups travel in
// a fixed order (basic, misc, parity, buffer, timeouts, flow control) and the
// keys of each group in a fixed order. Loading goes through the setters, so a
// loaded value takes effect as any property change does (on an open port at
// once; a new "Port" reopens). Nothing is caught: the first error ends the
// operation and what was written or loaded before it stays.
#include "cport/comport.h"
#include "cport/comport_store.h"

#include <array>

namespace cport {

namespace {

constexpr std::array<TStoredGroup, 6> kGroupOrder = {sgBasic, sgMisc, sgParity, sgBuffer, sgTimeouts,
                                                     sgFlowControl};

// The stored value used when "CustomBaudRate" is missing from an INI section.
constexpr int32_t kDefaultCustomBaudRate = 9600;

// One side of a store: how values are written. Texts and integers keep their
// kinds; the INI form writes integers as decimal text.
class TSettingsWriter {
public:
    virtual ~TSettingsWriter() = default;
    virtual void Text(const char* Key, const std::string& Value) = 0;
    virtual void Integer(const char* Key, int32_t Value) = 0;
};

// One side of a load. Current is the setting's present value, which an INI
// file gives back for a missing entry.
class TSettingsReader {
public:
    virtual ~TSettingsReader() = default;
    virtual std::string Text(const char* Key, const std::string& Current) = 0;
    virtual int32_t Integer(const char* Key, int32_t Current) = 0;
    virtual int32_t CustomBaudRate(int32_t Current) = 0;
};

class TIniWriter final : public TSettingsWriter {
public:
    TIniWriter(TComIniFile& Ini, const std::string& Section) : ini_(Ini), section_(Section) {}
    void Text(const char* Key, const std::string& Value) override { ini_.WriteString(section_, Key, Value); }
    void Integer(const char* Key, int32_t Value) override { ini_.WriteInteger(section_, Key, Value); }

private:
    TComIniFile& ini_;
    const std::string section_;
};

class TIniReader final : public TSettingsReader {
public:
    TIniReader(TComIniFile& Ini, const std::string& Section) : ini_(Ini), section_(Section) {}
    std::string Text(const char* Key, const std::string& Current) override {
        return ini_.ReadString(section_, Key, Current);
    }
    int32_t Integer(const char* Key, int32_t Current) override { return ini_.ReadInteger(section_, Key, Current); }
    int32_t CustomBaudRate(int32_t) override {
        return ini_.ReadInteger(section_, "CustomBaudRate", kDefaultCustomBaudRate);
    }

private:
    TComIniFile& ini_;
    const std::string section_;
};

class TRegistryWriter final : public TSettingsWriter {
public:
    explicit TRegistryWriter(TComRegistryKey& Key) : key_(Key) {}
    void Text(const char* Key, const std::string& Value) override { key_.WriteString(Key, Value); }
    void Integer(const char* Key, int32_t Value) override { key_.WriteInteger(Key, Value); }

private:
    TComRegistryKey& key_;
};

// A missing text reads as empty text (its conversion's fallback); a missing
// integer is the key's error.
class TRegistryReader final : public TSettingsReader {
public:
    explicit TRegistryReader(TComRegistryKey& Key) : key_(Key) {}
    std::string Text(const char* Key, const std::string&) override { return key_.ReadString(Key); }
    int32_t Integer(const char* Key, int32_t) override { return key_.ReadInteger(Key); }
    int32_t CustomBaudRate(int32_t) override { return key_.ReadInteger("CustomBaudRate"); }

private:
    TComRegistryKey& key_;
};

void StoreGroup(const TCustomComPort& Port, TStoredGroup Group, TSettingsWriter& Out) {
    switch (Group) {
    case sgBasic:
        Out.Text("Port", Port.Port());
        Out.Text("BaudRate", BaudRateText(Port.BaudRate()));
        if (Port.BaudRate() == brCustom) Out.Integer("CustomBaudRate", Port.CustomBaudRate());
        Out.Text("StopBits", StopBitsText(Port.StopBits()));
        Out.Text("DataBits", DataBitsText(Port.DataBits()));
        Out.Text("Parity", ParityText(Port.Parity().Bits()));
        Out.Text("FlowControl", FlowControlText(Port.FlowControl().FlowControl()));
        break;
    case sgMisc:
        Out.Text("EventChar", CharText(Port.EventChar()));
        Out.Text("DiscardNull", BoolText(Port.DiscardNull()));
        break;
    case sgParity: {
        const TComParity& p = Port.Parity();
        Out.Text("Parity.Check", BoolText(p.Check()));
        Out.Text("Parity.Replace", BoolText(p.Replace()));
        Out.Text("Parity.ReplaceChar", CharText(p.ReplaceChar()));
        break;
    }
    case sgBuffer:
        Out.Integer("Buffer.OutputSize", Port.Buffer().OutputSize());
        Out.Integer("Buffer.InputSize", Port.Buffer().InputSize());
        break;
    case sgTimeouts: {
        const TComTimeouts& t = Port.Timeouts();
        Out.Integer("Timeouts.ReadInterval", t.ReadInterval());
        Out.Integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant());
        Out.Integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier());
        Out.Integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant());
        Out.Integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier());
        break;
    }
    case sgFlowControl: {
        const TComFlowControl& f = Port.FlowControl();
        Out.Text("FlowControl.ControlRTS", RTSControlText(f.ControlRTS()));
        Out.Text("FlowControl.ControlDTR", DTRControlText(f.ControlDTR()));
        Out.Text("FlowControl.DSRSensitivity", BoolText(f.DSRSensitivity()));
        Out.Text("FlowControl.OutCTSFlow", BoolText(f.OutCTSFlow()));
        Out.Text("FlowControl.OutDSRFlow", BoolText(f.OutDSRFlow()));
        Out.Text("FlowControl.TxContinueOnXoff", BoolText(f.TxContinueOnXoff()));
        Out.Text("FlowControl.XonXoffIn", BoolText(f.XonXoffIn()));
        Out.Text("FlowControl.XonXoffOut", BoolText(f.XonXoffOut()));
        Out.Text("FlowControl.XoffChar", CharText(f.XoffChar()));
        Out.Text("FlowControl.XonChar", CharText(f.XonChar()));
        break;
    }
    }
}

// Each value is read, converted and set before the next key is read, so a
// failing read or setter leaves the earlier keys loaded.
void LoadGroup(TCustomComPort& Port, TStoredGroup Group, TSettingsReader& In) {
    switch (Group) {
    case sgBasic:
        Port.SetPort(In.Text("Port", Port.Port()));
        Port.SetBaudRate(BaudRateFromText(In.Text("BaudRate", BaudRateText(Port.BaudRate()))));
        if (Port.BaudRate() == brCustom) Port.SetCustomBaudRate(In.CustomBaudRate(Port.CustomBaudRate()));
        Port.SetStopBits(StopBitsFromText(In.Text("StopBits", StopBitsText(Port.StopBits()))));
        Port.SetDataBits(DataBitsFromText(In.Text("DataBits", DataBitsText(Port.DataBits()))));
        Port.Parity().SetBits(ParityFromText(In.Text("Parity", ParityText(Port.Parity().Bits()))));
        Port.FlowControl().SetFlowControl(
            FlowControlFromText(In.Text("FlowControl", FlowControlText(Port.FlowControl().FlowControl()))));
        break;
    case sgMisc:
        Port.SetEventChar(CharFromText(In.Text("EventChar", CharText(Port.EventChar()))));
        Port.SetDiscardNull(BoolFromText(In.Text("DiscardNull", BoolText(Port.DiscardNull()))));
        break;
    case sgParity: {
        TComParity& p = Port.Parity();
        p.SetCheck(BoolFromText(In.Text("Parity.Check", BoolText(p.Check()))));
        p.SetReplace(BoolFromText(In.Text("Parity.Replace", BoolText(p.Replace()))));
        p.SetReplaceChar(CharFromText(In.Text("Parity.ReplaceChar", CharText(p.ReplaceChar()))));
        break;
    }
    case sgBuffer: {
        TComBuffer& b = Port.Buffer();
        b.SetOutputSize(In.Integer("Buffer.OutputSize", b.OutputSize()));
        b.SetInputSize(In.Integer("Buffer.InputSize", b.InputSize()));
        break;
    }
    case sgTimeouts: {
        TComTimeouts& t = Port.Timeouts();
        t.SetReadInterval(In.Integer("Timeouts.ReadInterval", t.ReadInterval()));
        t.SetReadTotalConstant(In.Integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant()));
        t.SetReadTotalMultiplier(In.Integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier()));
        t.SetWriteTotalConstant(In.Integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant()));
        t.SetWriteTotalMultiplier(In.Integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier()));
        break;
    }
    case sgFlowControl: {
        TComFlowControl& f = Port.FlowControl();
        f.SetControlRTS(RTSControlFromText(In.Text("FlowControl.ControlRTS", RTSControlText(f.ControlRTS()))));
        f.SetControlDTR(DTRControlFromText(In.Text("FlowControl.ControlDTR", DTRControlText(f.ControlDTR()))));
        f.SetDSRSensitivity(
            BoolFromText(In.Text("FlowControl.DSRSensitivity", BoolText(f.DSRSensitivity()))));
        f.SetOutCTSFlow(BoolFromText(In.Text("FlowControl.OutCTSFlow", BoolText(f.OutCTSFlow()))));
        f.SetOutDSRFlow(BoolFromText(In.Text("FlowControl.OutDSRFlow", BoolText(f.OutDSRFlow()))));
        f.SetTxContinueOnXoff(
            BoolFromText(In.Text("FlowControl.TxContinueOnXoff", BoolText(f.TxContinueOnXoff()))));
        f.SetXonXoffIn(BoolFromText(In.Text("FlowControl.XonXoffIn", BoolText(f.XonXoffIn()))));
        f.SetXonXoffOut(BoolFromText(In.Text("FlowControl.XonXoffOut", BoolText(f.XonXoffOut()))));
        f.SetXoffChar(CharFromText(In.Text("FlowControl.XoffChar", CharText(f.XoffChar()))));
        f.SetXonChar(CharFromText(In.Text("FlowControl.XonChar", CharText(f.XonChar()))));
        break;
    }
    }
}

void StoreGroups(const TCustomComPort& Port, TSettingsWriter& Out) {
    for (TStoredGroup group : kGroupOrder)
        if (Port.StoredGroups().Contains(group)) StoreGroup(Port, group, Out);
}

void LoadGroups(TCustomComPort& Port, TSettingsReader& In) {
    for (TStoredGroup group : kGroupOrder)
        if (Port.StoredGroups().Contains(group)) LoadGroup(Port, group, In);
}

}  // namespace

void TCustomComPort::StoreToRegistry(TComRegistryKey& Key) {
    TRegistryWriter out(Key);
    StoreGroups(*this, out);
}

void TCustomComPort::StoreToIniFile(TComIniFile& IniFile) {
    TIniWriter out(IniFile, Name());
    StoreGroups(*this, out);
}

void TCustomComPort::LoadFromRegistry(TComRegistryKey& Key) {
    TRegistryReader in(Key);
    LoadGroups(*this, in);
}

void TCustomComPort::LoadFromIniFile(TComIniFile& IniFile) {
    TIniReader in(IniFile, Name());
    LoadGroups(*this, in);
}

}  // namespace cport

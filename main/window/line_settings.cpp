// SPDX-License-Identifier: MIT
// The window's line: its text, its file and applying it to a port.
#include "main/window/line_settings.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "cport/comport_store.h"
#include "main/engine/module_line_settings.h"
#include "main/protocol/baud_table.h"

namespace varnolink {

namespace {

const std::string Section = "Line";

bool ReadFlag(const cport::TComIniFile& File, const std::string& Ident, bool Default)
{
    const int32_t Value = File.ReadInteger(Section, Ident, Default ? 1 : 0);
    return Value == 0 || Value == 1 ? Value == 1 : Default;
}

int32_t ReadDelay(const cport::TComIniFile& File, const std::string& Ident)
{
    return std::max<int32_t>(File.ReadInteger(Section, Ident, 0), 0);
}

}  // namespace

bool IsModuleLineSpeed(int Baud)
{
    return std::any_of(BaudRateEntries.begin(), BaudRateEntries.end(),
                       [Baud](std::string_view Rate) { return Rate == std::to_string(Baud); });
}

std::string LineChoiceText(const TLineChoice& Choice)
{
    return std::to_string(Choice.Baud) + " 8N1" + (Choice.Rs485 ? ", RS-485" : "");
}

std::string DefaultLineChoiceFile()
{
    const char* State = std::getenv("XDG_STATE_HOME");
    if (State != nullptr && State[0] == '/')
        return std::string(State) + "/varnolink/line.ini";
    const char* Home = std::getenv("HOME");
    return std::string(Home != nullptr && Home[0] != '\0' ? Home : "/tmp") + "/.local/state/varnolink/line.ini";
}

TLineChoice LoadLineChoice(const std::string& Path)
{
    const cport::TComIniFile File(Path);
    TLineChoice Choice;
    if (const int32_t Baud = File.ReadInteger(Section, "Baud", Choice.Baud); IsModuleLineSpeed(Baud))
        Choice.Baud = Baud;
    if (ReadFlag(File, "Rs485", false)) {
        TRs485Choice Rs485;
        Rs485.RtsOnSend = ReadFlag(File, "Rs485.RtsOnSend", Rs485.RtsOnSend);
        Rs485.RtsAfterSend = ReadFlag(File, "Rs485.RtsAfterSend", Rs485.RtsAfterSend);
        Rs485.DelayBeforeSendMs = ReadDelay(File, "Rs485.DelayBeforeSendMs");
        Rs485.DelayAfterSendMs = ReadDelay(File, "Rs485.DelayAfterSendMs");
        Rs485.RxDuringTx = ReadFlag(File, "Rs485.RxDuringTx", Rs485.RxDuringTx);
        Choice.Rs485 = Rs485;
    }
    return Choice;
}

void SaveLineChoice(const std::string& Path, const TLineChoice& Choice)
{
    std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
    cport::TComIniFile File(Path);
    File.EraseSection(Section);
    File.WriteInteger(Section, "Baud", Choice.Baud);
    File.WriteInteger(Section, "Rs485", Choice.Rs485 ? 1 : 0);
    if (Choice.Rs485) {
        File.WriteInteger(Section, "Rs485.RtsOnSend", Choice.Rs485->RtsOnSend ? 1 : 0);
        File.WriteInteger(Section, "Rs485.RtsAfterSend", Choice.Rs485->RtsAfterSend ? 1 : 0);
        File.WriteInteger(Section, "Rs485.DelayBeforeSendMs", Choice.Rs485->DelayBeforeSendMs);
        File.WriteInteger(Section, "Rs485.DelayAfterSendMs", Choice.Rs485->DelayAfterSendMs);
        File.WriteInteger(Section, "Rs485.RxDuringTx", Choice.Rs485->RxDuringTx ? 1 : 0);
    }
    File.UpdateFile();
}

void ApplyLineChoice(cport::TComPort& Port, const TLineChoice& Choice)
{
    ApplyModuleLineSettings(Port, Choice.Rs485);
    Port.SetBaudRate(ModuleLineRate(Choice.Baud));
}

}  // namespace varnolink

// SPDX-License-Identifier: MIT
// The text and the JSON members of each single-module command's result.
#include "cli/command_results.h"

#include <ostream>

#include "cli/module_held.h"
#include "main/files/config_file.h"
#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"

namespace varnolink {

namespace {

void WriteConfig(TJsonWriter& Json, const TModuleConfig& Config)
{
    Json.BeginObject();
    Json.Member("remote_id", ModuleConfigFieldValue(Config, RemoteIdField));
    Json.Key("baud");
    WriteFieldValue(Json, BaudField, Config.BaudIndex);
    for (const TPortGrid Grid : {TPortGrid::Direction, TPortGrid::Default}) {
        Json.Key(PortGridName(Grid)).BeginObject();
        for (int Row = 0; Row < PortRowCount; ++Row)
            Json.Member(PortRowName(Row), HexByteToStr2(Config.PortByte(Grid, Row)));
        Json.EndObject();
    }
    Json.EndObject();
}

}  // namespace

void WriteDifferences(TJsonWriter& Json, const std::vector<TFieldDifference>& List)
{
    Json.Key("differences").BeginArray();
    for (const TFieldDifference& Item : List) {
        Json.BeginObject().Member("field", ModuleConfigFieldName(Item.Field)).Key("expected");
        WriteFieldValue(Json, Item.Field, Item.Wanted);
        Json.Key("actual");
        WriteFieldValue(Json, Item.Field, Item.Held);
        Json.EndObject();
    }
    Json.EndArray();
}

void WriteFieldValue(TJsonWriter& Json, TConfigField Field, int Value)
{
    const std::optional<int> Rate = Field == BaudField ? BaudRateOfIndex(Value) : std::nullopt;
    if (Rate)
        Json.Number(static_cast<int64_t>(*Rate));
    else
        Json.String(ModuleConfigFieldValue(Field, Value));
}

void WriteIdentityJson(TJsonWriter& Json, const TModuleIdentity& Identity)
{
    Json.BeginObject().Member("bios_name", Identity.BiosName).Member("bios_version", Identity.BiosVersion);
    if (!Identity.StatusText.empty())
        Json.Member("status", Identity.StatusText);
    Json.EndObject();
}

void RenderText(const TPortsResult& Result, std::ostream& Out)
{
    for (const TPortListing& Port : Result.Ports) {
        Out << Port.Name;
        if (!Port.Description.empty())
            Out << " \u2014 " << Port.Description;
        if (Port.Console)
            Out << "  (system console, not used)";
        else if (Port.Busy)
            Out << "  (" << Port.Holder << ")";
        Out << "\n";
    }
    if (Result.Ports.empty())
        Out << "no serial ports found (a port in use by another user may not be listed; "
               "VARNOLINK_PORTS adds paths)\n";
}

void RenderJson(const TPortsResult& Result, TJsonWriter& Json)
{
    Json.Key("ports").BeginArray();
    for (const TPortListing& Port : Result.Ports) {
        Json.BeginObject()
            .Member("name", Port.Name)
            .Member("path", Port.DevicePath)
            .Member("description", Port.Description)
            .Member("state", Port.Console ? "console"
                             : Port.Busy  ? "busy"
                                          : "free");
        if (Port.Busy && !Port.Console)
            Json.Member("holder", Port.Holder);
        Json.EndObject();
    }
    Json.EndArray();
}

void RenderText(const TIdentifyResult& Result, std::ostream& Out)
{
    Out << "BIOS name: " << Result.Identity.BiosName << "\nBIOS version: " << Result.Identity.BiosVersion << "\n";
}

void RenderJson(const TIdentifyResult&, TJsonWriter&)
{
    // The identity is the connection's member, written for every command.
}

void RenderText(const TReadResult& Result, std::ostream& Out)
{
    if (Result.Printed)
        Out << *Result.Printed;
}

void RenderJson(const TReadResult& Result, TJsonWriter& Json)
{
    Json.Key("config");
    WriteConfig(Json, Result.Config);
}

void RenderText(const TDiffResult& Result, std::ostream& Out)
{
    for (const TFieldDifference& Item : Result.Differences)
        Out << ModuleConfigFieldName(Item.Field) << ": file " << Item.WantedText() << ", module " << Item.HeldText()
            << "\n";
    if (Result.Differences.empty())
        Out << "no differences\n";
}

void RenderJson(const TDiffResult& Result, TJsonWriter& Json)
{
    Json.Key("module");
    WriteConfig(Json, Result.Module);
    WriteDifferences(Json, Result.Differences);
}

void RenderText(const TBackupsResult& Result, std::ostream& Out)
{
    RenderListText(Result.Backups, "backups", Result.Folder, Out, [&Out](const TBackupEntry& Entry) {
        Out << Entry.File;
        if (Entry.Error)
            Out << "  (unreadable: " << *Entry.Error << ")";
        else
            Out << "  " << Entry.Module;
    });
}

void RenderJson(const TBackupsResult& Result, TJsonWriter& Json)
{
    RenderListJson(Json, "folder", Result.Folder, "backups", Result.Backups, [&Json](const TBackupEntry& Entry) {
        Json.BeginObject().Member("file", Entry.File);
        if (Entry.Error) {
            Json.Member("error", *Entry.Error);
        } else {
            Json.Member("read_at", Entry.ReadAt);
            if (Entry.RemoteId)
                Json.Member("remote_id", *Entry.RemoteId);
        }
        Json.EndObject();
    });
}

void RenderText(const TPlanResult& Result, std::ostream& Out)
{
    for (const TFieldDifference& Item : Result.Differences)
        Out << ModuleConfigFieldName(Item.Field) << ": module " << Item.HeldText() << ", would write "
            << Item.WantedText() << "\n";
    Out << Result.Comment << "\n";
}

void RenderJson(const TPlanResult& Result, TJsonWriter& Json)
{
    Json.Member("dry_run", true).Key("before");
    WriteConfig(Json, Result.Before);
    Json.Key("after");
    WriteConfig(Json, Result.After);
    Json.Member("before_text", ConfigFileText(Result.Before)).Member("after_text", ConfigFileText(Result.After));
    WriteDifferences(Json, Result.Differences);
}

void RenderText(const TVerifiedResult& Result, std::ostream& Out)
{
    // A read-back that differs is named field by field on stderr.
    if (Result.Differences.empty())
        Out << Result.Comment << "\n";
}

void RenderJson(const TVerifiedResult& Result, TJsonWriter& Json)
{
    WriteModuleHeld(Json, TModuleHeld::Everything());
    Json.Key("read_back");
    WriteConfig(Json, Result.ReadBack);
    WriteDifferences(Json, Result.Differences);
}

void RenderText(const TSpeedEntry& Entry, std::ostream& Out)
{
    if (Entry.Found)
        Out << Entry.Port << ": the module answers at " << Entry.Found->Baud << " baud ("
            << Entry.Found->Identity.BiosName << " " << Entry.Found->Identity.BiosVersion << ")"
            << (Entry.Found->Baud == 9600 ? "" : "; talk to it with --line-speed " + std::to_string(Entry.Found->Baud))
            << "\n";
    else if (!Entry.Error.empty())
        Out << Entry.Port << ": " << Entry.Error << "\n";
    else
        Out << Entry.Port << ": no module answered at any of the eight rates\n";
}

void RenderJson(const TSpeedsResult& Result, TJsonWriter& Json)
{
    Json.Key("speeds").BeginArray();
    for (const TSpeedEntry& Entry : Result.Ports) {
        Json.BeginObject().Member("port", Entry.Port).Key("line_speed");
        if (Entry.Found) {
            Json.Number(Entry.Found->Baud).Key("identity");
            WriteIdentityJson(Json, Entry.Found->Identity);
        } else {
            Json.Null();
        }
        if (!Entry.Error.empty())
            Json.Member("error", Entry.Error);
        Json.EndObject();
    }
    Json.EndArray();
}

}  // namespace varnolink

// SPDX-License-Identifier: MIT
// The journal's records of a write: the intent from what is about to be
// written, the end from how the chain ended.
#include "main/engine/change_journal.h"

#include <chrono>

#include "main/files/commission_log.h"
#include "main/protocol/hex.h"

namespace varnolink {

namespace {

std::string Now()
{
    return UtcTimeText(std::chrono::system_clock::now());
}

}  // namespace

TJournalRecord IntentRecord(const TChangeStart& Start)
{
    TJournalRecord Record;
    Record.Id = NewJournalId();
    Record.Kind = TJournalRecordKind::Intent;
    Record.Time = Now();
    Record.User = JournalUser();
    Record.Host = JournalHost();
    Record.Command = Start.Command;
    Record.Port = Start.Port;
    Record.BiosName = Start.Identity.BiosName;
    Record.BiosVersion = Start.Identity.BiosVersion;
    if (Start.Before)
        Record.RemoteId = HexByteToStr2(Start.Before->RemoteId);
    Record.Backup = Start.Backup;
    Record.Reason = Start.Reason;
    for (const TConfigField Field : ModuleConfigFields)
        Record.Fields.push_back({ModuleConfigFieldName(Field),
                                 Start.Before ? ModuleConfigFieldValue(*Start.Before, Field) : std::string(),
                                 ModuleConfigFieldValue(Start.After, Field)});
    return Record;
}

TJournalRecord EndRecord(const std::string& Id, const TChainResult& Result)
{
    TJournalRecord Record;
    Record.Id = Id;
    Record.Kind = TJournalRecordKind::End;
    Record.Time = Now();
    Record.Written = ModuleConfigFieldNames(Result.WrittenFields());
    if (const std::optional<TConfigField> Field = Result.UnconfirmedField())
        Record.Unconfirmed.push_back(ModuleConfigFieldName(*Field));
    Record.NotSent = ModuleConfigFieldNames(Result.UnsentFields());
    if (Result.End == TChainEnd::Completed)
        Record.Ending = "written";
    else if (Result.End == TChainEnd::Differs)
        Record.Ending = "differs";
    else if (!Record.Unconfirmed.empty())
        Record.Ending = "unconfirmed";
    else if (!Record.Written.empty())
        Record.Ending = "partly written";
    else
        Record.Ending = "not sent";
    Record.Message = Result.Reason;
    for (const TConfigField Field : Result.Differences)
        Record.Message += (Record.Message.empty() ? "the read-back differs in " : ", ") + ModuleConfigFieldName(Field);
    return Record;
}

TJournalRecord WrittenRecord(const std::string& Id, const std::vector<TConfigField>& Differences)
{
    TChainResult Result;
    Result.End = Differences.empty() ? TChainEnd::Completed : TChainEnd::Differs;
    Result.Differences = Differences;
    TJournalRecord Record = EndRecord(Id, Result);
    for (const TConfigField Field : ModuleConfigFields)
        Record.Written.push_back(ModuleConfigFieldName(Field));
    return Record;
}

TChangeJournal::TChangeJournal(std::string Path) : Path_(std::move(Path)) {}

void TChangeJournal::Append(const std::vector<TJournalRecord>& Records)
{
    if (!Path_.empty())
        TJournalWriter(Path_).Append(Records);
}

std::string TChangeJournal::Begin(const TChangeStart& Start)
{
    return BeginAll({Start}).front();
}

std::vector<std::string> TChangeJournal::BeginAll(const std::vector<TChangeStart>& Starts)
{
    std::vector<TJournalRecord> Records;
    std::vector<std::string> Ids;
    for (const TChangeStart& Start : Starts) {
        Records.push_back(IntentRecord(Start));
        Ids.push_back(Path_.empty() ? std::string() : Records.back().Id);
    }
    Append(Records);
    return Ids;
}

void TChangeJournal::End(const std::string& Id, const TChainResult& Result)
{
    if (!Id.empty())
        Append({EndRecord(Id, Result)});
}

void TChangeJournal::EndUnknown(const std::string& Id, const std::string& Message)
{
    if (Id.empty())
        return;
    TJournalRecord Record = EndRecord(Id, TChainResult{});
    Record.Ending = "unknown";
    Record.Message = Message;
    Append({Record});
}

void TChangeJournal::EndWritten(const std::string& Id, const std::vector<TConfigField>& Differences)
{
    if (!Id.empty())
        Append({WrittenRecord(Id, Differences)});
}

}  // namespace varnolink

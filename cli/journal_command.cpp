// SPDX-License-Identifier: MIT
// varnolink journal: reads the journal of changes and its rotated files and
// lists the changes as lines of text or as JSON.
#include "cli/journal_command.h"

#include <ostream>
#include <vector>

#include "cli/commands.h"
#include "cli/rendering.h"
#include "main/files/journal.h"

namespace varnolink {

namespace {

// "remote_id A7->A8, baud 3->5": the fields the change alters.
std::string ChangedFields(const TJournalRecord& Intent)
{
    std::string Text;
    bool BeforeKnown = false;
    for (const TJournalField& Field : Intent.Fields) {
        BeforeKnown = BeforeKnown || !Field.Before.empty();
        if (Field.Before != Field.After && !Field.Before.empty())
            Text += (Text.empty() ? "" : ", ") + Field.Field + " " + Field.Before + "->" + Field.After;
    }
    if (!BeforeKnown)
        return "(not read before the write)";
    return Text.empty() ? "no field changed" : Text;
}

std::string EndingOf(const TJournalChange& Change)
{
    if (!Change.End)
        return "no end recorded (interrupted?)";
    std::string Text = Change.End->Ending;
    if (!Change.End->Unconfirmed.empty())
        Text += " (not confirmed: " + Change.End->Unconfirmed.front() + ")";
    if (!Change.End->Message.empty())
        Text += " (" + Change.End->Message + ")";
    return Text;
}

void WriteChange(TJsonWriter& Json, const TJournalChange& Change)
{
    const TJournalRecord& Intent = Change.Intent;
    Json.BeginObject()
        .Member("id", Intent.Id)
        .Member("time", Intent.Time)
        .Member("user", Intent.User)
        .Member("host", Intent.Host)
        .Member("command", Intent.Command)
        .Member("port", Intent.Port)
        .Member("bios_name", Intent.BiosName)
        .Member("bios_version", Intent.BiosVersion)
        .Member("remote_id", Intent.RemoteId)
        .Member("backup", Intent.Backup)
        .Member("reason", Intent.Reason)
        .Key("fields")
        .BeginArray();
    for (const TJournalField& Field : Intent.Fields)
        Json.BeginObject()
            .Member("field", Field.Field)
            .Member("before", Field.Before)
            .Member("after", Field.After)
            .EndObject();
    Json.EndArray().Key("end");
    if (!Change.End) {
        Json.Null();
    } else {
        Json.BeginObject()
            .Member("time", Change.End->Time)
            .Member("ending", Change.End->Ending)
            .Member("written", Change.End->Written)
            .Member("unconfirmed", Change.End->Unconfirmed)
            .Member("not_sent", Change.End->NotSent)
            .Member("message", Change.End->Message)
            .EndObject();
    }
    Json.EndObject();
}

// The changes listed, and the lines of the journal passed over.
struct TJournalListing {
    std::string Path;
    std::vector<TJournalChange> Changes;
    std::vector<std::string> Skipped;
};

void RenderText(const TJournalListing& Listing, std::ostream& Out)
{
    RenderListText(Listing.Changes, "changes", Listing.Path, Out, [&Out](const TJournalChange& Change) {
        const TJournalRecord& Intent = Change.Intent;
        Out << Intent.Time << "  " << Intent.User << "@" << Intent.Host << "  " << Intent.Command << "  " << Intent.Port
            << "  " << Intent.BiosName << " " << Intent.BiosVersion << " id " << Intent.RemoteId << "  "
            << ChangedFields(Intent) << "  " << EndingOf(Change);
        if (!Intent.Reason.empty())
            Out << "  reason: " << Intent.Reason;
        if (!Intent.Backup.empty())
            Out << "  backup: " << Intent.Backup;
    });
}

void RenderJson(const TJournalListing& Listing, TJsonWriter& Json)
{
    RenderListJson(Json, "journal", Listing.Path, "changes", Listing.Changes, [&Json](const TJournalChange& Change) {
        WriteChange(Json, Change);
    }).Member("skipped", Listing.Skipped);
}

}  // namespace

std::string JournalPathOf(const TCliArguments& Arguments)
{
    return Arguments.JournalFile.empty() ? DefaultJournalPath() : Arguments.JournalFile;
}

int ListJournal(const TCliArguments& Arguments, std::ostream& Out, std::ostream& Err, TJsonWriter& Json)
{
    TJournalListing Listing{JournalPathOf(Arguments), {}, {}};
    Listing.Changes = ReadJournal(Listing.Path, {Arguments.Since, Arguments.Port}, &Listing.Skipped);
    for (const std::string& Line : Listing.Skipped)
        Err << "varnolink: skipped " << Line << std::endl;
    RenderResult(Listing, Arguments.Json, Out, Json);
    return ExitDone;
}

}  // namespace varnolink

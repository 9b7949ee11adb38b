// SPDX-License-Identifier: MIT
// The journal of changes: its records as JSON lines, appending them with one
// fdatasync per batch, rotating the file, and reading it back.
#include "main/files/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>

#include "cport/unique_fd.h"
#include "main/files/backup_store.h"
#include "main/files/commission_log.h"
#include "main/files/config_file.h"
#include "main/files/file_text.h"
#include "main/files/json_line.h"

namespace varnolink {

namespace {

// How long a writer waits for another to finish its append (a write and a
// flush), and how often it looks.
constexpr std::chrono::seconds LockWait{10};
constexpr std::chrono::milliseconds LockRetry{5};

// A rotated file is read whole; its size stays near the rotation size.
constexpr std::size_t JournalFileReadLimit = std::size_t{64} << 20;

constexpr const char* KindText(TJournalRecordKind Kind)
{
    return Kind == TJournalRecordKind::Intent ? "intent" : "end";
}

std::string StringList(const std::vector<std::string>& Values)
{
    std::string Out = "[";
    for (const std::string& Value : Values)
        Out += (Out.size() > 1 ? "," : "") + JsonLineQuoted(Value);
    return Out + "]";
}

std::string Member(const char* Name, const std::string& Value)
{
    return "," + JsonLineQuoted(Name) + ":" + JsonLineQuoted(Value);
}

std::string TextOf(const TJsonLineValue& Record, const char* Name)
{
    const TJsonLineValue* Value = Record.Find(Name);
    return Value != nullptr && Value->Kind == TJsonLineValue::TKind::String ? Value->Text : std::string();
}

std::vector<std::string> ListOf(const TJsonLineValue& Record, const char* Name)
{
    std::vector<std::string> Out;
    if (const TJsonLineValue* Value = Record.Find(Name))
        for (const TJsonLineValue& Item : Value->Items)
            Out.push_back(Item.Text);
    return Out;
}

std::string SystemError(const std::string& Path, const char* What)
{
    return Path + ": " + What + ": " + std::strerror(errno);
}

bool PortMatches(const std::string& Recorded, const std::string& Asked)
{
    if (Recorded == Asked)
        return true;
    const std::size_t Slash = Recorded.rfind('/');
    return Slash != std::string::npos && Recorded.substr(Slash + 1) == Asked;
}

}  // namespace

std::string DefaultJournalPath()
{
    const char* Given = std::getenv("VARNOLINK_JOURNAL");
    if (Given != nullptr && Given[0] != '\0')
        return Given;
    const std::string Backups = DefaultBackupFolder();  // .../varnolink/backups
    return Backups.substr(0, Backups.rfind('/')) + "/journal.jsonl";
}

std::string NewJournalId()
{
    static std::atomic<unsigned> Counter{0};
    std::string Time;
    for (const char Ch : UtcTimeText(std::chrono::system_clock::now()))
        if (Ch != '-' && Ch != ':')
            Time += Ch;
    return Time + "-" + std::to_string(::getpid()) + "-" + std::to_string(++Counter);
}

std::string JournalUser()
{
    if (const passwd* Entry = ::getpwuid(::geteuid()); Entry != nullptr && Entry->pw_name != nullptr)
        return Entry->pw_name;
    const char* Name = std::getenv("USER");
    return Name != nullptr ? Name : std::to_string(::geteuid());
}

std::string JournalHost()
{
    char Name[256] = {};
    if (::gethostname(Name, sizeof Name - 1) != 0)
        return {};
    return Name;
}

std::string JournalLineText(const TJournalRecord& Record)
{
    std::string Line = "{" + std::string(JsonLineQuoted("id")) + ":" + JsonLineQuoted(Record.Id) +
                       Member("record", KindText(Record.Kind)) + Member("time", Record.Time);
    if (Record.Kind == TJournalRecordKind::Intent) {
        Line += Member("user", Record.User) + Member("host", Record.Host) + Member("command", Record.Command) +
                Member("port", Record.Port) + Member("bios_name", Record.BiosName) +
                Member("bios_version", Record.BiosVersion) + Member("remote_id", Record.RemoteId) +
                Member("backup", Record.Backup) + Member("reason", Record.Reason) + ",\"fields\":[";
        for (std::size_t I = 0; I < Record.Fields.size(); ++I) {
            const TJournalField& Field = Record.Fields[I];
            Line += std::string(I == 0 ? "" : ",") + "{\"field\":" + JsonLineQuoted(Field.Field) +
                    Member("before", Field.Before) + Member("after", Field.After) + "}";
        }
        Line += "]";
    } else {
        Line += Member("ending", Record.Ending) + ",\"written\":" + StringList(Record.Written) +
                ",\"unconfirmed\":" + StringList(Record.Unconfirmed) + ",\"not_sent\":" + StringList(Record.NotSent) +
                Member("message", Record.Message);
    }
    return Line + "}\n";
}

std::optional<TJournalRecord> ParseJournalLine(std::string_view Line, std::string* Why)
{
    std::string Error;
    const std::optional<TJsonLineValue> Value = ParseJsonLine(Line, &Error);
    if (!Value || Value->Kind != TJsonLineValue::TKind::Object) {
        if (Why != nullptr)
            *Why = Value ? "not a JSON object" : "not JSON: " + Error;
        return std::nullopt;
    }
    TJournalRecord Record;
    Record.Id = TextOf(*Value, "id");
    const std::string Kind = TextOf(*Value, "record");
    Record.Time = TextOf(*Value, "time");
    if (Record.Id.empty() || (Kind != "intent" && Kind != "end") || Record.Time.empty()) {
        if (Why != nullptr)
            *Why = "not a journal record (no id, record or time)";
        return std::nullopt;
    }
    Record.Kind = Kind == "intent" ? TJournalRecordKind::Intent : TJournalRecordKind::End;
    Record.User = TextOf(*Value, "user");
    Record.Host = TextOf(*Value, "host");
    Record.Command = TextOf(*Value, "command");
    Record.Port = TextOf(*Value, "port");
    Record.BiosName = TextOf(*Value, "bios_name");
    Record.BiosVersion = TextOf(*Value, "bios_version");
    Record.RemoteId = TextOf(*Value, "remote_id");
    Record.Backup = TextOf(*Value, "backup");
    Record.Reason = TextOf(*Value, "reason");
    if (const TJsonLineValue* Fields = Value->Find("fields"))
        for (const TJsonLineValue& Field : Fields->Items)
            Record.Fields.push_back({TextOf(Field, "field"), TextOf(Field, "before"), TextOf(Field, "after")});
    Record.Ending = TextOf(*Value, "ending");
    Record.Written = ListOf(*Value, "written");
    Record.Unconfirmed = ListOf(*Value, "unconfirmed");
    Record.NotSent = ListOf(*Value, "not_sent");
    Record.Message = TextOf(*Value, "message");
    return Record;
}

TJournalWriter::TJournalWriter(std::string Path, TJournalLimits Limits) : Path_(std::move(Path)), Limits_(Limits)
{
    const std::size_t Slash = Path_.rfind('/');
    if (Slash != std::string::npos && Slash > 0) {
        try {
            MakeFolders(Path_.substr(0, Slash));
        } catch (const EConfigFile& Error) {
            throw EJournal(std::string("the journal cannot be kept: ") + Error.what());
        }
    }
}

// The journal file at Path_ opened for appending and locked against the
// other writers: the one named Path_ once the lock is held (a writer that
// rotated the file meanwhile has made a new one).
int TJournalWriter::OpenLocked() const
{
    const auto GiveUp = std::chrono::steady_clock::now() + LockWait;
    for (;;) {
        cport::TUniqueFd File(::open(Path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
        if (File.get() < 0)
            throw EJournal(SystemError(Path_, "cannot open the journal"));
        while (::flock(File.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                throw EJournal(SystemError(Path_, "cannot lock the journal"));
            if (std::chrono::steady_clock::now() >= GiveUp)
                throw EJournal(Path_ + ": another writer has held the journal for " + std::to_string(LockWait.count()) +
                               " s");
            std::this_thread::sleep_for(LockRetry);
        }
        struct stat Opened {};
        struct stat Named {};
        if (::fstat(File.get(), &Opened) == 0 && ::stat(Path_.c_str(), &Named) == 0 && Opened.st_ino == Named.st_ino &&
            Opened.st_dev == Named.st_dev) {
            return File.Release();
        }
    }
}

void TJournalWriter::Rotate() const
{
    for (int Number = Limits_.KeepFiles; Number > 1; --Number)
        ::rename((Path_ + "." + std::to_string(Number - 1)).c_str(), (Path_ + "." + std::to_string(Number)).c_str());
    if (Limits_.KeepFiles > 0 ? ::rename(Path_.c_str(), (Path_ + ".1").c_str()) != 0 : ::unlink(Path_.c_str()) != 0)
        throw EJournal(SystemError(Path_, "cannot rotate the journal"));
}

void TJournalWriter::Append(const std::vector<TJournalRecord>& Records)
{
    if (Records.empty())
        return;
    std::string Text;
    for (const TJournalRecord& Record : Records)
        Text += JournalLineText(Record);
    cport::TUniqueFd File(OpenLocked());
    // Rotating under the lock: a writer waiting for it finds the file
    // renamed and opens the new one.
    struct stat Info {};
    if (::fstat(File.get(), &Info) == 0 && static_cast<std::size_t>(Info.st_size) >= Limits_.RotateBytes) {
        Rotate();
        File.Reset(OpenLocked());
    }
    std::string_view Rest = Text;
    while (!Rest.empty()) {
        const ssize_t Done = ::write(File.get(), Rest.data(), Rest.size());
        if (Done < 0 && errno == EINTR)
            continue;
        if (Done <= 0)
            throw EJournal(SystemError(Path_, "cannot write the journal"));
        Rest.remove_prefix(static_cast<std::size_t>(Done));
    }
    if (::fdatasync(File.get()) != 0)
        throw EJournal(SystemError(Path_, "cannot flush the journal"));
}

std::vector<TJournalChange> ReadJournal(const std::string& Path, const TJournalFilter& Filter,
                                        std::vector<std::string>* Skipped, int KeepFiles)
{
    std::vector<TJournalChange> Changes;
    std::map<std::string, std::size_t> ById;
    const auto Skip = [&](const std::string& Text) {
        if (Skipped != nullptr)
            Skipped->push_back(Text);
    };
    for (int Number = KeepFiles; Number >= 0; --Number) {
        const std::string File = Number == 0 ? Path : Path + "." + std::to_string(Number);
        const TFileText Read = ReadFileText(File, JournalFileReadLimit);
        if (Read.Missing)
            continue;
        if (!Read.Error.empty()) {
            Skip(File + ": " + Read.Error);
            continue;
        }
        std::size_t LineNumber = 0;
        for (std::size_t Start = 0; Start < Read.Text.size();) {
            std::size_t End = Read.Text.find('\n', Start);
            if (End == std::string::npos)
                End = Read.Text.size();
            const std::string_view Line = std::string_view(Read.Text).substr(Start, End - Start);
            Start = End + 1;
            ++LineNumber;
            if (Line.find_first_not_of(" \t\r") == std::string_view::npos)
                continue;
            std::string Why;
            std::optional<TJournalRecord> Record;
            if (Line.size() > JournalLineLimit)
                Why = "a line longer than " + LimitText(JournalLineLimit);
            else
                Record = ParseJournalLine(Line, &Why);
            if (!Record) {
                Skip(File + ":" + std::to_string(LineNumber) + ": " + Why);
                continue;
            }
            const auto Known = ById.find(Record->Id);
            if (Record->Kind == TJournalRecordKind::End && Known != ById.end()) {
                Changes[Known->second].End = std::move(*Record);
                continue;
            }
            if (Record->Kind == TJournalRecordKind::End) {
                // Its intent rotated away: the end stands alone.
                TJournalChange Alone;
                Alone.Intent.Id = Record->Id;
                Alone.Intent.Time = Record->Time;
                Alone.End = std::move(*Record);
                ById[Alone.Intent.Id] = Changes.size();
                Changes.push_back(std::move(Alone));
                continue;
            }
            ById[Record->Id] = Changes.size();
            Changes.push_back({std::move(*Record), std::nullopt});
        }
    }
    std::vector<TJournalChange> Listed;
    for (TJournalChange& Change : Changes)
        if ((Filter.Since.empty() || Change.Intent.Time >= Filter.Since) &&
            (Filter.Port.empty() || PortMatches(Change.Intent.Port, Filter.Port)))
            Listed.push_back(std::move(Change));
    return Listed;
}

}  // namespace varnolink

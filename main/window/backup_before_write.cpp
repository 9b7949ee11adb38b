// SPDX-License-Identifier: MIT
// The module's configuration as the window last read it in full, and its
// backup before SAVE CONFIG and SAVE CONFIG TO DEFAULT send their first
// frame. The backup holds what the replies carried, never what the fields
// show: the operator may have edited those.

#include <QLineEdit>

#include <chrono>
#include <string>
#include <variant>

#include "main/engine/change_journal.h"
#include "main/files/backup_store.h"
#include "main/files/commission_log.h"
#include "main/files/config_file.h"
#include "main/window/error_display.h"
#include "main/window/main_form.h"

namespace varnolink {

void TMainForm::FollowModuleReading(const TSessionEvent& Event)
{
    if (const auto* Started = std::get_if<TRequestStarted>(&Event)) {
        // Once a write goes out the module may hold something else.
        if (Started->Step.Mode == TRequestMode::Write)
            LastReading_.reset();
        return;
    }
    const auto* Ended = std::get_if<TChainEnded>(&Event);
    if (Ended == nullptr)
        return;
    if (Ended->Result.End == TChainEnd::TwoModules) {
        LastReading_.reset();  // whose values were those?
        return;
    }
    // A chain that ends early may leave the answers of an earlier one in
    // the record; only a completed chain answered all of them itself.
    const TModuleRecord& Record = Session_.Record();
    if (Ended->Result.End == TChainEnd::Completed && Record.AnsweredAllSettings())
        LastReading_ = TCompleteReading{Record.Reading(), std::chrono::system_clock::now(), ComPort1.Port()};
}

bool TMainForm::KeepBackupBeforeWrite(const QString& Transaction)
{
    LastBackup_.clear();
    if (!LastReading_) {
        WireLog_.Report(TWireEventKind::Note, "no backup kept: the module's whole configuration has not been read "
                                              "since the port was opened");
        return true;
    }
    try {
        const std::string Path =
            SaveBackup(DefaultBackupFolder(),
                       {UtcTimeText(LastReading_->ReadAt), LastReading_->Port, {}, LastReading_->Reading.Identity},
                       LastReading_->Reading.Config);
        WireLog_.Report(TWireEventKind::Note, "the module's configuration before the writes is kept in " + Path);
        LastBackup_ = Path;
        return true;
    } catch (const EConfigFile& Failure) {
        WireLog_.Report(TWireEventKind::Error, std::string("no backup kept: ") + Failure.what());
        ShowErrorMessage(QStringLiteral("%1 has sent nothing: the module's configuration could not be kept as a "
                                        "backup first:\n\n%2")
                             .arg(Transaction, QString::fromLocal8Bit(Failure.what())));
        return false;
    }
}

std::optional<std::string> TMainForm::BeginChange(const QString& Transaction, const std::string& Command,
                                                  const TModuleConfig& After)
{
    TChangeStart Start;
    Start.Command = Command;
    Start.Port = ComPort1.Port();
    if (LastReading_) {
        Start.Identity = LastReading_->Reading.Identity;
        Start.Before = LastReading_->Reading.Config;
    } else {
        Start.Identity.BiosName = BiosNameDisplay->text().toStdString();
        Start.Identity.BiosVersion = BIOSVersionDisplay->text().toStdString();
    }
    Start.Backup = LastBackup_;
    Start.After = After;
    Start.Reason = ChangeReason_;
    try {
        return TChangeJournal().Begin(Start);
    } catch (const EJournal& Failure) {
        WireLog_.Report(TWireEventKind::Error, Failure.what());
        ShowErrorMessage(QStringLiteral("%1 has sent nothing: the journal of changes could not record the write "
                                        "first:\n\n%2")
                             .arg(Transaction, QString::fromLocal8Bit(Failure.what())));
        return std::nullopt;
    }
}

void TMainForm::EndChange(const std::string& Id, const TChainResult& Result)
{
    try {
        TChangeJournal().End(Id, Result);
    } catch (const EJournal& Failure) {
        WireLog_.Report(TWireEventKind::Error, Failure.what());
    }
}

}  // namespace varnolink

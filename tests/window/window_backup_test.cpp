// SPDX-License-Identifier: MIT
// SAVE CONFIG keeps the module's configuration as read, not as edited, in a
// backup before its first write frame; a backup folder that cannot be
// written stops the writes; a restored backup is written back; every write
// leaves its record in the journal of changes.

#include <QDateTime>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <string>
#include <vector>

#include "main/files/config_file.h"
#include "main/files/journal.h"
#include "tests/support/scratch_folder.h"
#include "transaction_support.h"

using namespace transaction_test;
using namespace std::chrono_literals;

class TWindowBackupTest : public TFormSuite {
    Q_OBJECT

private slots:
    void SaveKeepsTheReadingFirstAndRestoreWritesItBack();
    void UnwritableBackupFolderSendsNothing();
    void BothSavesLeaveTheirRecordInTheJournal();
    void cleanup()
    {
        F_.Disarm();
        Window_.reset();
        F_.Reset();
    }

private:
    // ConfiguredState() read by the main window, its Remote ID then edited;
    // backups under StateHome.
    TMainForm& ReadAndEdit(const std::string& StateHome)
    {
        F_.StartModule(ConfiguredState());
        F_.Errors = std::make_unique<TErrorRecorder>();
        Window_ = ShowMainWindow({F_.Simulator->DevicePath()});
        qputenv("XDG_STATE_HOME", QByteArray::fromStdString(StateHome));
        OpenSimulatorPort(*Window_->Form(), *F_.Simulator);
        Click(Window_->Form()->ReadConfig);
        TypeInto(Window_->Form()->IDDisplay, "3c");
        F_.Simulator->ClearRequests();
        return *Window_->Form();
    }

    test_support::TScratchFolder Scratch_;
    std::unique_ptr<TMainWindow> Window_;
};

void TWindowBackupTest::SaveKeepsTheReadingFirstAndRestoreWritesItBack()
{
    const std::string Folder = Scratch_.Path("state/varnolink/backups");
    const auto Backups = [&Folder] {
        std::vector<std::string> Files;
        for (const auto& Entry : std::filesystem::directory_iterator(Folder))
            Files.push_back(Entry.path().string());
        return Files;
    };
    TMainForm& Form = ReadAndEdit(Scratch_.Path("state"));
    // Runs in the window's reply wait of the first write ("*02:1,3C").
    std::size_t AtFirstWrite = 0;
    F_.OnRequest(
        CodeIDCode,
        [&] {
            AtFirstWrite = Backups().size();
            F_.Disarm();
        },
        Window_.get());
    Click(Form.SaveConfig);

    QCOMPARE(AtFirstWrite, std::size_t{1});
    QCOMPARE(F_.Simulator->State().RemoteId, uint8_t{0x3C});
    const std::string Kept = Backups().at(0);
    QVERIFY(RequireComplete(LoadConfigFile(Kept), Kept) ==
            (TModuleConfig{0x5A, 5, ConfiguredState().Directions, ConfiguredState().Defaults}));
    // When the reading was made: ISO 8601 UTC to the second, a moment ago.
    const QString ReadAt = QString::fromStdString(LoadConfigFile(Kept).ReadAt);
    const QDateTime ReadMoment = QDateTime::fromString(ReadAt, Qt::ISODate);
    QVERIFY2(ReadAt.size() == 20 && ReadAt.endsWith('Z') && ReadMoment.timeSpec() == Qt::UTC, qPrintable(ReadAt));
    QVERIFY2(qAbs(ReadMoment.secsTo(QDateTime::currentDateTimeUtc())) < 60, qPrintable(ReadAt));

    QVERIFY(Window_->RestoreBackupFile(Kept));
    QVERIFY(F_.Simulator->State() == ConfiguredState());
    QCOMPARE(Backups().size(), std::size_t{2});  // the edited one, kept before the restore wrote
    QVERIFY2(F_.Errors->Messages.isEmpty(), qPrintable(F_.Errors->Messages.join('\n')));
}

void TWindowBackupTest::UnwritableBackupFolderSendsNothing()
{
    TMainForm& Form = ReadAndEdit(Scratch_.Write("state-file", "a file, not a folder"));
    Click(Form.SaveConfig);
    Click(Form.SaveToDefault);

    QVERIFY(!F_.Simulator->WaitForRequests(1, 300ms));
    QCOMPARE(F_.Errors->Messages.size(), 2);
    QVERIFY(F_.Errors->Messages[0].startsWith("SAVE CONFIG has sent nothing"));
    QCOMPARE(EnabledControls(Form), Sorted(ConnectedControls));
}

void TWindowBackupTest::BothSavesLeaveTheirRecordInTheJournal()
{
    qunsetenv("VARNOLINK_JOURNAL");
    TMainForm& Form = ReadAndEdit(Scratch_.Path("journal-state"));  // the other tests' writes are in "state"
    Form.SetChangeReason("CHG-W1");
    Click(Form.SaveConfig);
    Click(Form.SaveToDefault);

    std::vector<std::string> Skipped;
    const std::vector<TJournalChange> Changes =
        ReadJournal(Scratch_.Path("journal-state/varnolink/journal.jsonl"), {}, &Skipped);
    QVERIFY(Skipped.empty());
    QCOMPARE(Changes.size(), std::size_t{2});
    const struct {
        const char* Command;
        TJournalField RemoteId;
    } Expected[] = {{"save config", {"remote_id", "5A", "3C"}}, {"save config to default", {"remote_id", "3C", "01"}}};
    for (std::size_t I = 0; I < Changes.size(); ++I) {
        const TJournalChange& Change = Changes[I];
        QCOMPARE(Change.Intent.Command, std::string(Expected[I].Command));
        QCOMPARE(Change.Intent.Reason, std::string("CHG-W1"));
        QCOMPARE(Change.Intent.Port, F_.Simulator->DevicePath());
        QVERIFY(!Change.Intent.Backup.empty());
        QVERIFY(Change.Intent.Fields.at(0) == Expected[I].RemoteId);
        QVERIFY(Change.End.has_value());
        QCOMPARE(Change.End->Ending, std::string("written"));
    }
}

QTEST_MAIN(TWindowBackupTest)
#include "window_backup_test.moc"

// SPDX-License-Identifier: MIT
// SAVE CONFIG and SAVE CONFIG TO DEFAULT against the simulated module: the
// writes on the wire after editing with the mouse and the keyboard, the read
// back, a silent module, the refusal to write values nobody has seen, a bit
// clicked while the writes run, and the factory values.

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <chrono>

#include "transaction_support.h"

using namespace transaction_test;
using namespace std::chrono_literals;

namespace {

// Every configuration setting missing from a refusal's message that should
// be named in it, and every one named that should not be.
QStringList MisnamedSettings(const QString& Message, const QStringList& Named, const QStringList& NotNamed)
{
    QStringList Wrong;
    for (const QString& Setting : Named)
        if (!Message.contains(Setting))
            Wrong << "not named: " + Setting;
    for (const QString& Setting : NotNamed)
        if (Message.contains(Setting))
            Wrong << "named: " + Setting;
    return Wrong;
}

}  // namespace

class TTransactionsSaveTest : public TFormSuite {
    Q_OBJECT

private slots:
    void SavesWhatWasEditedThenReadsEverythingBack();
    void SilentModuleCostsTwoTimeOuts();
    void ModuleSilentFromTheThirdWriteStillGetsTheReadBack();
    void RefusedWhenNothingHasBeenRead();
    void RefusedForTheRowsOfAReadThatGotNoReply();
    void BitClickedDuringTheWritesChangesWhatIsSent();
    void SaveToDefaultWritesTheFactoryValuesWithoutReadBack();
    void SaveToDefaultStopsAtTheFirstMissingReply();

private:
    QString MessagesText() const { return F_.Errors->Messages.join("\n---\n"); }
};

void TTransactionsSaveTest::SavesWhatWasEditedThenReadsEverythingBack()
{
    QVERIFY(OpenAndRead(F_, ConfiguredState()));
    // The operator edits: baud one entry down, a typed P1 direction, a
    // flipped P0 direction bit, a typed Remote ID, a flipped P2 default bit,
    // and a P5 default typed with a non-hexadecimal character.
    QTest::keyClick(F_.Form->ComboBaud, Qt::Key_Down);
    TypeInto(F_.Form->ByteField(TPortGrid::Direction, 1), "c3");
    Click(F_.Form->BitButton(TPortGrid::Direction, 0, 7));
    TypeInto(F_.Form->IDDisplay, "3c");
    Click(F_.Form->BitButton(TPortGrid::Default, 2, 3));
    TypeInto(F_.Form->ByteField(TPortGrid::Default, 4), "g7");

    TModuleState Edited = ConfiguredState();
    Edited.BaudIndex = 6;
    Edited.Directions[1] = 0xC3;
    Edited.Directions[0] = 0x92;
    Edited.RemoteId = 0x3C;
    Edited.Defaults[2] = 0xF8;
    Edited.Defaults[4] = 0x07;
    QCOMPARE(F_.Form->ComboBaud->currentText(), QString("57600"));
    QCOMPARE(F_.Form->IDDisplay->text(), QString("3C"));
    QCOMPARE(F_.Form->ByteField(TPortGrid::Default, 4)->text(), QString("07"));
    QCOMPARE(F_.Simulator->Requests(), TFrames{});

    TEnabledChanges Changes(*F_.Form);
    Click(F_.Form->SaveConfig);

    const TFrames Writes{"*02:1,3C=00\r\n", "*03:1,06=00\r\n", "*04:1,92=00\r\n", "*05:1,C3=00\r\n",
                         "*06:1,56=00\r\n", "*07:1,78=00\r\n", "*08:1,9A=00\r\n", "*09:1,BC=00\r\n",
                         "*10:1,DE=00\r\n", "*11:1,F8=00\r\n", "*12:1,0F=00\r\n", "*13:1,07=00\r\n"};
    QCOMPARE(SaveMismatches(F_, Writes, Edited), QStringList{});
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QVERIFY2(F_.Errors->Messages.isEmpty(), qPrintable(MessagesText()));
}

void TTransactionsSaveTest::SilentModuleCostsTwoTimeOuts()
{
    QVERIFY(OpenAndRead(F_, ConfiguredState(), {}, ShortTimeoutMs));
    F_.Simulator->SetFaults(FaultsWith([](TFaults& L) { L.SilentFromRequest = 1; }));
    QElapsedTimer Elapsed;
    Elapsed.start();
    Click(F_.Form->SaveConfig);

    // The first write goes unanswered, then the read-back's first read.
    QVERIFY(Elapsed.elapsed() >= 2 * ShortTimeoutMs);
    QCOMPARE(F_.Simulator->Requests(), (TFrames{"*02:1,5A=00\r\n", "*00:0,00=00\r\n"}));
    QCOMPARE(TimedOutDisplay(*F_.Form), TimeOutTexts);
    QCOMPARE(ShownFields(*F_.Form), QStringList{});
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QVERIFY2(F_.Errors->Messages.isEmpty(), qPrintable(MessagesText()));
}

void TTransactionsSaveTest::ModuleSilentFromTheThirdWriteStillGetsTheReadBack()
{
    QVERIFY(OpenAndRead(F_, ConfiguredState(), {}, ShortTimeoutMs));
    Click(F_.Form->BitButton(TPortGrid::Direction, 0, 0));  // P0 direction 12 -> 13
    F_.Simulator->SetFaults(FaultsWith([](TFaults& L) { L.SilentCodes = {4}; }));
    Click(F_.Form->SaveConfig);

    // The write of P0's direction is stored but unanswered: the writes stop
    // there and the read-back stops at the read of the same setting.
    QCOMPARE(F_.Simulator->Requests(),
             Joined({{"*02:1,5A=00\r\n", "*03:1,05=00\r\n", "*04:1,13=00\r\n"}, FirstOf(ReadChainFrames, 5)}));
    QCOMPARE(F_.Simulator->State().Directions[0], uint8_t{0x13});
    QCOMPARE(F_.Simulator->State().Directions[1], uint8_t{0x34});
    QCOMPARE(F_.Form->IDDisplay->text(), QString("5A"));
    QCOMPARE(F_.Form->ComboBaud->currentText(), QString("38400"));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 0), MarkedRow);
    QVERIFY(F_.Form->ByteField(TPortGrid::Direction, 1)->text().isEmpty());
    QCOMPARE(TimedOutDisplay(*F_.Form), TimeOutTexts);
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QVERIFY2(F_.Errors->Messages.isEmpty(), qPrintable(MessagesText()));
}

void TTransactionsSaveTest::RefusedWhenNothingHasBeenRead()
{
    QVERIFY(F_.Open(ConfiguredState()));
    // One row entered by hand has been seen; it is not named.
    Click(F_.Form->BitButton(TPortGrid::Default, 1, 0));
    F_.Simulator->ClearRequests();
    TEnabledChanges Changes(*F_.Form);

    Click(F_.Form->SaveConfig);

    QVERIFY(!F_.Simulator->WaitForRequests(1, 300ms));
    QCOMPARE(F_.Errors->Messages.size(), 1);
    QCOMPARE(MisnamedSettings(F_.Errors->Messages.at(0),
                              {"Remote ID Code", "Remote Baudrate", "I/O Direction PORT P0", "I/O Direction PORT P1",
                               "I/O Direction PORT P2", "I/O Direction PORT P4", "I/O Direction PORT P5",
                               "Output Default PORT P0", "Output Default PORT P2", "Output Default PORT P4",
                               "Output Default PORT P5"},
                              {"Output Default PORT P1"}),
             QStringList{});
    QVERIFY(Changes.Changes.isEmpty());
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QCOMPARE(F_.Simulator->State(), ConfiguredState());
}

void TTransactionsSaveTest::RefusedForTheRowsOfAReadThatGotNoReply()
{
    QVERIFY(F_.Open(ConfiguredState(), {}, ShortTimeoutMs));
    F_.Simulator->SetFaults(FaultsWith([](TFaults& L) { L.SilentFromRequest = 8; }));
    Click(F_.Form->ReadConfig);
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 3), MarkedRow);
    F_.Simulator->SetFaults({});
    F_.Simulator->ClearRequests();

    Click(F_.Form->SaveConfig);
    QVERIFY(!F_.Simulator->WaitForRequests(1, 300ms));
    QCOMPARE(F_.Errors->Messages.size(), 1);
    QCOMPARE(MisnamedSettings(
                 F_.Errors->Messages.at(0),
                 {"I/O Direction PORT P4", "I/O Direction PORT P5", "Output Default PORT P0", "Output Default PORT P5"},
                 {"Remote ID Code", "Remote Baudrate", "I/O Direction PORT P0", "I/O Direction PORT P2"}),
             QStringList{});

    // The operator fills the rows in: the P4 direction by a bit click, the
    // rest by typing; then the configuration is saved as shown.
    Click(F_.Form->BitButton(TPortGrid::Direction, 3, 2));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 3), RowShowing(TPortGrid::Direction, 0x04));
    TypeInto(F_.Form->ByteField(TPortGrid::Direction, 4), "e4");
    for (int Row = 0; Row < PortRowCount; ++Row)
        TypeInto(F_.Form->ByteField(TPortGrid::Default, Row), "e" + QString::number(Row));
    Click(F_.Form->SaveConfig);

    TModuleState Saved = ConfiguredState();
    Saved.Directions[3] = 0x04;
    Saved.Directions[4] = 0xE4;
    Saved.Defaults = {0xE0, 0xE1, 0xE2, 0xE3, 0xE4};
    const TFrames Writes{"*02:1,5A=00\r\n", "*03:1,05=00\r\n", "*04:1,12=00\r\n", "*05:1,34=00\r\n",
                         "*06:1,56=00\r\n", "*07:1,04=00\r\n", "*08:1,E4=00\r\n", "*09:1,E0=00\r\n",
                         "*10:1,E1=00\r\n", "*11:1,E2=00\r\n", "*12:1,E3=00\r\n", "*13:1,E4=00\r\n"};
    QCOMPARE(F_.Errors->Messages.size(), 1);
    QCOMPARE(SaveMismatches(F_, Writes, Saved), QStringList{});
}

void TTransactionsSaveTest::BitClickedDuringTheWritesChangesWhatIsSent()
{
    QVERIFY(OpenAndRead(F_, ConfiguredState()));
    // When the baud-rate write arrives, the operator clicks bit 7 of P4's
    // direction and bit 0 of P0's default, before their writes are built.
    // The clicks run on the main thread inside the wait for the reply.
    F_.OnRequest(3, [this] {
        Click(F_.Form->BitButton(TPortGrid::Direction, 3, 7));
        Click(F_.Form->BitButton(TPortGrid::Default, 0, 0));
    });
    Click(F_.Form->SaveConfig);
    F_.Disarm();

    TModuleState Sent = ConfiguredState();
    Sent.Directions[3] = 0xF8;  // 78 with bit 7 set
    Sent.Defaults[0] = 0xBD;    // BC with bit 0 set
    const TFrames Writes{"*02:1,5A=00\r\n", "*03:1,05=00\r\n", "*04:1,12=00\r\n", "*05:1,34=00\r\n",
                         "*06:1,56=00\r\n", "*07:1,F8=00\r\n", "*08:1,9A=00\r\n", "*09:1,BD=00\r\n",
                         "*10:1,DE=00\r\n", "*11:1,F0=00\r\n", "*12:1,0F=00\r\n", "*13:1,A5=00\r\n"};
    QCOMPARE(SaveMismatches(F_, Writes, Sent), QStringList{});
    QVERIFY2(F_.Errors->Messages.isEmpty(), qPrintable(MessagesText()));
}

void TTransactionsSaveTest::SaveToDefaultWritesTheFactoryValuesWithoutReadBack()
{
    TModuleState Changed = ConfiguredState();
    Changed.Status = 0x01;
    Changed.BiosName = "SITE 7 MODULE";
    QVERIFY(OpenAndRead(F_, Changed));
    TEnabledChanges Changes(*F_.Form);

    Click(F_.Form->SaveToDefault);

    const TFrames Expected{"*00:0,00=00\r\n", "*01:0,00=00\r\n", "*02:1,01=00\r\n", "*03:1,03=00\r\n",
                           "*04:1,00=00\r\n", "*05:1,00=00\r\n", "*06:1,F0=00\r\n", "*07:1,FF=00\r\n",
                           "*08:1,FF=00\r\n", "*09:1,FF=00\r\n", "*10:1,FF=00\r\n", "*11:1,FF=00\r\n",
                           "*12:1,FF=00\r\n", "*13:1,FF=00\r\n"};
    QCOMPARE(F_.Simulator->Requests(), Expected);
    QVERIFY(!F_.Simulator->WaitForRequests(15, 300ms));  // nothing read back

    TModuleState Factory = TModuleState::Factory();
    Factory.Status = Changed.Status;
    Factory.BiosName = Changed.BiosName;
    QCOMPARE(F_.Simulator->State(), Factory);
    // What the replies carried: the identity, the status, each written value.
    QCOMPARE(WindowMismatches(*F_.Form, Factory), QStringList{});
    QCOMPARE(F_.Form->StatusDisplay->text(), QString("Error"));
    QCOMPARE(Changes.Changes, TEnabledChanges::WholeTransaction());
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QVERIFY2(F_.Errors->Messages.isEmpty(), qPrintable(MessagesText()));
}

void TTransactionsSaveTest::SaveToDefaultStopsAtTheFirstMissingReply()
{
    QVERIFY(OpenAndRead(F_, ConfiguredState(), {}, ShortTimeoutMs));
    F_.Simulator->SetFaults(FaultsWith([](TFaults& L) { L.SilentCodes = {6}; }));
    Click(F_.Form->SaveToDefault);

    QCOMPARE(F_.Simulator->Requests(),
             (TFrames{"*00:0,00=00\r\n", "*01:0,00=00\r\n", "*02:1,01=00\r\n", "*03:1,03=00\r\n", "*04:1,00=00\r\n",
                      "*05:1,00=00\r\n", "*06:1,F0=00\r\n"}));
    // Shown: what the answered writes carried; the rest stays blank.
    QCOMPARE(F_.Form->IDDisplay->text(), QString("01"));
    QCOMPARE(F_.Form->ComboBaud->currentText(), QString("9600"));
    QCOMPARE(RowState(*F_.Form, TPortGrid::Direction, 1), RowShowing(TPortGrid::Direction, 0x00));
    QCOMPARE(ShownFields(*F_.Form), QStringList({"IDDisplay", "ComboBaud", "StatusDisplay", "P0_DIR", "P1_DIR"}));
    QCOMPARE(TimedOutDisplay(*F_.Form), TimeOutTexts);
    QCOMPARE(EnabledControls(*F_.Form), Sorted(ConnectedControls));
    QVERIFY2(F_.Errors->Messages.isEmpty(), qPrintable(MessagesText()));
}

QTEST_MAIN(TTransactionsSaveTest)
#include "transactions_save_test.moc"

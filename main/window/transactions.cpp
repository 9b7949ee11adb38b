// SPDX-License-Identifier: MIT
// The three configuration transactions: READ CONFIG, SAVE CONFIG and
// SAVE CONFIG TO DEFAULT. Each runs a chain of the protocol's tables
// (transaction_chains.h) on the window's session, request and wait, step by
// step; a chain stops at the first request without a reply.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QStringList>

#include <array>
#include <optional>
#include <span>
#include <cstdint>
#include <string>
#include <utility>

#include "main/protocol/hex.h"
#include "main/protocol/transaction_chains.h"
#include "main/window/error_display.h"
#include "main/window/form_config.h"
#include "main/window/main_form.h"

namespace varnolink {

namespace {

// SAVE CONFIG takes each value from its field when its request is built, so
// that a bit clicked while the chain runs is part of what is sent.
class TWindowFieldValues final : public TChainValues {
public:
    explicit TWindowFieldValues(const TMainForm& Form) : Form_(Form) {}

    std::string RemoteIDText() const override { return Form_.IDDisplay->text().toLatin1().toStdString(); }
    int BaudIndex() const override { return Form_.ComboBaud->currentIndex(); }
    uint8_t PortByte(TPortGrid Grid, int Row) const override
    {
        return HexStr2ToByte(Form_.ByteField(Grid, Row)->text().toLatin1().toStdString());
    }

private:
    const TMainForm& Form_;
};

TChainPlan StepsOf(std::span<const TChainStep> Steps)
{
    TChainPlan Plan;
    Plan.Steps.assign(Steps.begin(), Steps.end());
    return Plan;
}

}  // namespace

// The sixteen controls a transaction takes away from the operator while it
// runs, in the order they are disabled and enabled again. The bit buttons
// stay usable.
std::array<QWidget*, 16> TMainForm::TransactionControls() const
{
    return {ReadConfig,
            SaveConfig,
            ClosePort,
            SaveToDefault,
            IDDisplay,
            ComboBaud,
            ByteField(TPortGrid::Direction, 0),
            ByteField(TPortGrid::Direction, 1),
            ByteField(TPortGrid::Direction, 2),
            ByteField(TPortGrid::Direction, 3),
            ByteField(TPortGrid::Direction, 4),
            ByteField(TPortGrid::Default, 0),
            ByteField(TPortGrid::Default, 1),
            ByteField(TPortGrid::Default, 2),
            ByteField(TPortGrid::Default, 3),
            ByteField(TPortGrid::Default, 4)};
}

TMainForm::TTransactionScope::TTransactionScope(TMainForm& Form) : Form_(Form)
{
    ++Form_.BusyDepth_;
    for (QWidget* Control : Form_.TransactionControls())
        Form_.SetControlEnabled(Control, false);
}

// Also when an error of the port ends the transaction early: the operator
// must get the controls back, "Close" above all.
// A device lost meanwhile takes the window to the closed state instead.
TMainForm::TTransactionScope::~TTransactionScope()
{
    if (--Form_.BusyDepth_ == 0 && Form_.LossPending_) {
        Form_.FinishDeviceLoss();
        return;
    }
    for (QWidget* Control : Form_.TransactionControls())
        Form_.SetControlEnabled(Control, true);
}

// Grids first, then the identity, status, ID and baud fields; the baud list
// shows no text exactly when no entry is selected.
void TMainForm::BlankDisplay()
{
    BlankGrid(TPortGrid::Direction);
    BlankGrid(TPortGrid::Default);
    BiosNameDisplay->clear();
    BIOSVersionDisplay->clear();
    StatusConnect->clear();
    IDDisplay->clear();
    ComboBaud->setCurrentIndex(-1);
    StatusDisplay->clear();
    ComboBaud->setCurrentIndex(-1);
}

bool TMainForm::TransactionMayGoOn() const
{
    // A closing window ends the transaction; so does a device that has gone
    // away, whose loss the operator has already been told about: it would
    // answer nothing, and every further write would only fail again.
    return !CloseRequested_ && !DeviceLossReported_;
}

void TMainForm::WriteChainOutput()
{
    try {
        WriteOutput();
    } catch (const cport::EComPort& Failure) {
        // A device that is gone: its loss, reported once; the chain has
        // ended.
        if (TakeWriteFailureAsLoss(Failure))
            return;
        // Any other refusal: its error, shown by the caller's error display,
        // is the one report of the failed line; the port's own report of the
        // lost device would only say it again.
        WireLog_.Report(TWireEventKind::Error, Failure.what());
        DeviceLossReported_ = true;
        throw;
    }
}

bool TMainForm::RunRequestChain(TChainPlan Plan)
{
    if (!TransactionMayGoOn())
        return false;
    Session_.Start(std::move(Plan), TSessionClock::now());
    // Each request, then the window's reply wait, which ends the chain of a
    // request left without a reply.
    for (;;) {
        ShowSessionEvents();
        WriteChainOutput();
        if (!Session_.Running())
            break;
        WaitCommandExecute();
        if (ReplyReceived() == 1) {
            if (TransactionMayGoOn())
                Session_.Continue(TSessionClock::now());
            else
                Session_.RequestStop();
        }
    }
    // Two modules answering each other's requests make every value suspect:
    // the chain has ended before its next request, and the operator is told.
    if (LastChainResult_.End == TChainEnd::TwoModules)
        ShowErrorMessage(QString::fromLatin1(TwoModulesText));
    return LastChainResult_.End == TChainEnd::Completed;
}

void TMainForm::ReadConfigClick()
{
    const TTransactionScope Busy(*this);
    BlankDisplay();
    RunRequestChain(TChainPlan::Read());
}

void TMainForm::SaveConfigClick()
{
    // Writing a value the operator has never seen (a blank field, the "00"
    // left by a read that got no reply, a baud index of -1) would overwrite
    // the module's configuration with invented values.
    if (const QStringList Missing = FieldsWithoutValue(*this); !Missing.isEmpty()) {
        ShowErrorMessage(QStringLiteral("SAVE CONFIG has sent nothing: these fields hold no value read from the "
                                        "module or entered:\n\n%1\n\nRead the configuration (READ CONFIG) or enter "
                                        "the missing values, then save again.")
                             .arg(Missing.join(QLatin1Char('\n'))));
        return;
    }
    if (!KeepBackupBeforeWrite(QStringLiteral("SAVE CONFIG")))
        return;
    const TModuleConfig Asked = ShownConfig(*this).value_or(TModuleConfig{});
    const std::optional<std::string> Change = BeginChange(QStringLiteral("SAVE CONFIG"), "save config", Asked);
    if (!Change)
        return;

    const TTransactionScope Busy(*this);
    const TWindowFieldValues Fields(*this);
    TChainPlan Save = StepsOf(SaveChain);
    Save.LiveValues = &Fields;
    RunRequestChain(std::move(Save));
    TChainResult Saved = LastChainResult_;
    // Whatever became of the writes, the window then shows what the module holds.
    if (TransactionMayGoOn()) {
        BlankDisplay();
        // The journal's end compares the read-back with the values the writes started from.
        if (RunRequestChain(TChainPlan::Read()) && Saved.End == TChainEnd::Completed) {
            Saved.Differences = DifferingFields(Asked, Session_.Record().Reading().Config);
            if (!Saved.Differences.empty())
                Saved.End = TChainEnd::Differs;
        }
    }
    EndChange(*Change, Saved);
}

void TMainForm::SaveToDefaultClick()
{
    if (!KeepBackupBeforeWrite(QStringLiteral("SAVE CONFIG TO DEFAULT")))
        return;
    const std::optional<std::string> Change =
        BeginChange(QStringLiteral("SAVE CONFIG TO DEFAULT"), "save config to default", FactoryModuleConfig);
    if (!Change)
        return;
    const TTransactionScope Busy(*this);
    BlankDisplay();
    // Nothing is read back: the replies to the writes show what the module took.
    TChainPlan Factory = StepsOf(FactoryChain);
    Factory.Config = FactoryModuleConfig;
    RunRequestChain(std::move(Factory));
    EndChange(*Change, LastChainResult_);
}

std::optional<TModuleReading> TMainForm::ReadModule()
{
    const TTransactionScope Busy(*this);
    const QScopedValueRollback Quiet(FieldsQuiet_, true);
    if (!RunRequestChain(TChainPlan::Read()))
        return std::nullopt;
    return Session_.Record().Reading();
}

}  // namespace varnolink

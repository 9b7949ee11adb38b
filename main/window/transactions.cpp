// SPDX-License-Identifier: MIT
// The three configuration transactions: READ CONFIG, SAVE CONFIG and
// SAVE CONFIG TO DEFAULT. Each runs a chain of request-and-wait steps from
// the protocol core's tables (transaction_chains.h), the same tables the
// connection object runs; a chain stops at the first request without a reply.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QStringList>

#include <array>
#include <cstdint>
#include <string>

#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"
#include "main/protocol/transaction_chains.h"
#include "main/window/error_display.h"
#include "main/window/form_config.h"
#include "main/window/main_form.h"

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

// The factory chain writes the factory configuration; the read chain writes
// nothing, so any values serve it.
const TConfigChainValues FactoryValues(FactoryModuleConfig);
const TConfigChainValues& NoWrites = FactoryValues;

}  // namespace

// The sixteen controls a transaction takes away from the operator while it
// runs, in the order they are disabled and enabled again. The bit buttons
// stay usable.
std::array<QWidget*, 16> TMainForm::TransactionControls() const
{
    return {ReadConfig,  SaveConfig,  ClosePort,   SaveToDefault, IDDisplay,   ComboBaud,
            ByteField(TPortGrid::Direction, 0),    ByteField(TPortGrid::Direction, 1),
            ByteField(TPortGrid::Direction, 2),    ByteField(TPortGrid::Direction, 3),
            ByteField(TPortGrid::Direction, 4),    ByteField(TPortGrid::Default, 0),
            ByteField(TPortGrid::Default, 1),      ByteField(TPortGrid::Default, 2),
            ByteField(TPortGrid::Default, 3),      ByteField(TPortGrid::Default, 4)};
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

bool TMainForm::RunRequestChain(std::span<const TChainStep> Steps, const TChainValues& Values)
{
    // Each step: its request built by the protocol core, then the window's
    // reply wait.
    class TWindowDriver final : public TChainDriver {
    public:
        TWindowDriver(TMainForm& Form, const TChainValues& Values) : Form_(Form), Values_(Values) {}

        bool MayGoOn() override { return Form_.TransactionMayGoOn(); }

        void SendStep(const TChainStep& Step) override
        {
            try {
                BuildChainRequest(*Form_.ActiveProtocol_, Step, Values_);
            } catch (const cport::EComPort& Failure) {
                // A device that is gone: its loss, reported once; the wait
                // that follows ends at once and the chain stops.
                if (Form_.TakeWriteFailureAsLoss(Failure))
                    return;
                // Any other refusal: its error, shown by the caller's error
                // display, is the one report of the failed line; the port's
                // own report of the lost device would only say it again.
                Form_.WireTap_.Report(TWireEventKind::Error, Failure.what());
                Form_.DeviceLossReported_ = true;
                throw;
            }
        }

        bool WaitForReply() override
        {
            Form_.WaitCommandExecute();
            return Form_.ReplyReceived() == 1;
        }

    private:
        TMainForm& Form_;
        const TChainValues& Values_;
    };

    TWindowDriver Driver(*this, Values);
    return RunChain(Steps, Driver).End == TChainEnd::Completed;
}

void TMainForm::ReadConfigClick()
{
    const TTransactionScope Busy(*this);
    BlankDisplay();
    RunRequestChain(ReadChain, NoWrites);
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

    const TTransactionScope Busy(*this);
    RunRequestChain(SaveChain, TWindowFieldValues(*this));
    // Whatever became of the writes, the window then shows what the module holds.
    if (!TransactionMayGoOn())
        return;
    BlankDisplay();
    RunRequestChain(ReadChain, NoWrites);
}

void TMainForm::SaveToDefaultClick()
{
    const TTransactionScope Busy(*this);
    BlankDisplay();
    RunRequestChain(FactoryChain, FactoryValues);
}

bool TMainForm::ReadModuleInto(TConfigRecorder& Recorder)
{
    const TTransactionScope Busy(*this);
    TDeviceProtocol Reader(Recorder, WireTap_);
    ActiveProtocol_ = &Reader;
    const auto ShowRepliesAgain = qScopeGuard([this] { ActiveProtocol_ = &Protocol_; });
    return RunRequestChain(ReadChain, NoWrites);
}

// SPDX-License-Identifier: MIT
// The window on its chain session: each request builder starts a chain of
// one request, the session's requests go out one byte per write, received
// characters go in, and the session's events show in the wire log and in
// the fields. Texts from the line are bytes; they are shown as Latin-1.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QScopedValueRollback>

#include <variant>

#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"
#include "main/window/main_form.h"

namespace varnolink {

namespace {

QString LineText(const std::string& Text)
{
    return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

// The value a builder was given, as the one write of its chain takes it.
class TRequestValues final : public TChainValues {
public:
    std::string IDText;
    int Index = 0;
    uint8_t Value = 0;

    std::string RemoteIDText() const override { return IDText; }
    int BaudIndex() const override { return Index; }
    uint8_t PortByte(TPortGrid, int) const override { return Value; }
};

}  // namespace

void TMainForm::SendRequest(const TChainStep& Step, const TChainValues& Values)
{
    // The session asks Values while it starts, so they need not outlive this.
    Session_.Start({{Step}, std::nullopt, &Values, false, std::nullopt}, TSessionClock::now());
    ShowSessionEvents();
    WriteOutput();
}

void TMainForm::SendRead(int Code)
{
    SendRequest({Code, TRequestMode::Read}, TRequestValues{});
}

void TMainForm::SaveIDCode(const std::string& IDText)
{
    TRequestValues Values;
    Values.IDText = IDText;
    SendRequest({CodeIDCode, TRequestMode::Write}, Values);
}

void TMainForm::SaveBaudrate(int Index)
{
    TRequestValues Values;
    Values.Index = Index;
    SendRequest({CodeBaudrate, TRequestMode::Write}, Values);
}

void TMainForm::SavePort(TPortGrid Grid, int Row, uint8_t Value)
{
    TRequestValues Values;
    Values.Value = Value;
    SendRequest({PortCommandCode(Grid, Row), TRequestMode::Write}, Values);
}

void TMainForm::Save_Setup_to_Default()
{
    SendRequest({CodeSetupToDefault, TRequestMode::Write}, TRequestValues{});
}

void TMainForm::WriteOutput()
{
    // Taken for writing, the request is started: its marks and its log line
    // come before its bytes, and its reply wait runs from now.
    const std::string Frame = Session_.TakeOutput(TSessionClock::now());
    ShowSessionEvents();
    try {
        for (const char& Byte : Frame)
            ComPort1.WriteBytes(&Byte, 1);
    } catch (const cport::EComPort& Failure) {
        const std::optional<TChainStep> Step = Session_.OnTheLine();
        Session_.WriteFailed((Step ? "writing " + DescribeStep(*Step) + ": " : std::string()) + Failure.what());
        ShowSessionEvents();
        throw;
    }
}

void TMainForm::ComPort1RxChar(int Count)
{
    if (Count > 0) {
        std::string Received;
        ComPort1.ReadText(Received, Count);
        Session_.BytesReceived(Received, TSessionClock::now());
        ShowSessionEvents();
    }
    WakeReplyWait();
}

void TMainForm::AnalysisPacket(const std::string& Line)
{
    Session_.LineCompleted(Line, TSessionClock::now());
    ShowSessionEvents();
    WakeReplyWait();
}

void TMainForm::ShowSessionEvents()
{
    // Showing a value runs the fields' change handlers, which start nothing;
    // events that come meanwhile wait for the next call.
    for (const TSessionEvent& Event : Session_.TakeEvents()) {
        WireLog_.Show(Event);
        FollowModuleReading(Event);
        if (const auto* Ended = std::get_if<TChainEnded>(&Event))
            LastChainResult_ = Ended->Result;
        if (FieldsQuiet_)
            continue;
        if (const auto* Started = std::get_if<TRequestStarted>(&Event))
            MarkForReply(Started->Step);
        else if (const auto* Decoded = std::get_if<TReplyDecoded>(&Event))
            ShowReply(Decoded->Reply);
    }
}

// A read blanks or marks the fields its reply fills again; a write leaves
// the window as it is.
void TMainForm::MarkForReply(const TChainStep& Step)
{
    if (Step.Mode != TRequestMode::Read)
        return;
    switch (Step.Code) {
    case CodeIdentity:
        BiosNameDisplay->setText(QString());
        BIOSVersionDisplay->setText(QString());
        return;
    case CodeStatus:
        StatusDisplay->setText(QString());
        return;
    case CodeIDCode:
        IDDisplay->setText(QString());
        return;
    case CodeBaudrate:
        ComboBaud->setCurrentIndex(-1);
        return;
    default:
        break;
    }
    if (const std::optional<TPortSlot> Slot = PortSlotOfCode(Step.Code)) {
        // "??" runs the field's change handler at once (the row becomes 0,
        // the field "00"); the marks then take the captions' place, so the
        // handler leaves the captions alone meanwhile (DisplayByte).
        {
            const QScopedValueRollback Marking(MarkingRow_, true);
            ByteField(Slot->Grid, Slot->Row)->setText(QStringLiteral("??"));
        }
        for (int Bit = 0; Bit < PortBitCount; ++Bit)
            SetBitButtonText(Slot->Grid, Slot->Row, Bit, QStringLiteral("?"));
    }
}

void TMainForm::ShowReply(const TDecodedReply& Reply)
{
    struct TShow {
        TMainForm& Form;
        void operator()(const TIdentityReply& R) const
        {
            Form.BiosNameDisplay->setText(LineText(R.BiosName));
            Form.BIOSVersionDisplay->setText(LineText(R.BiosVersion));
            Form.StatusConnect->setText(QStringLiteral("Connect OK"));
        }
        void operator()(const TStatusReply& R) const
        {
            // Other status data are the module's own affair: shown as
            // nothing, but still a reply.
            if (R.Status == TModuleStatus::Ready)
                Form.StatusDisplay->setText(QStringLiteral("Ready"));
            else if (R.Status == TModuleStatus::Error)
                Form.StatusDisplay->setText(QStringLiteral("Error"));
        }
        void operator()(const TIDCodeReply& R) const { Form.IDDisplay->setText(LineText(HexByteToStr2(R.RemoteId))); }
        void operator()(const TBaudrateReply& R) const
        {
            // Digits 8 and 9 name no entry: none is selected.
            Form.ComboBaud->setCurrentIndex(R.Index >= 0 && R.Index < BaudRateEntryCount ? R.Index : -1);
        }
        void operator()(const TPortReply& R) const { Form.DisplayPortReplyText(R.Grid, R.Row, R.Data); }
    };
    std::visit(TShow{*this}, Reply);
}

}  // namespace varnolink

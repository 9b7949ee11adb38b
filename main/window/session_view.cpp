// SPDX-License-Identifier: MIT
// What the protocol core writes into the window. Texts from the line are
// bytes; they are shown as Latin-1.

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "main/protocol/baud_table.h"
#include "main/window/main_form.h"

namespace {

QString LineText(const std::string& Text)
{
    return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

}  // namespace

void TMainForm::SetBiosNameDisplay(const std::string& Text)
{
    BiosNameDisplay->setText(LineText(Text));
}

void TMainForm::SetBIOSVersionDisplay(const std::string& Text)
{
    BIOSVersionDisplay->setText(LineText(Text));
}

void TMainForm::SetStatusConnect(const std::string& Text)
{
    StatusConnect->setText(LineText(Text));
}

void TMainForm::SetStatusDisplay(const std::string& Text)
{
    StatusDisplay->setText(LineText(Text));
}

void TMainForm::SetIDDisplay(const std::string& Text)
{
    IDDisplay->setText(LineText(Text));
}

void TMainForm::SetComboBaudIndex(int Index)
{
    ComboBaud->setCurrentIndex(Index >= 0 && Index < BaudRateEntryCount ? Index : -1);
}

void TMainForm::DisplayPortReply(TPortGrid Grid, int Row, const std::string& Data)
{
    DisplayPortReplyText(Grid, Row, Data);
}

void TMainForm::SetByteFieldText(TPortGrid Grid, int Row, const std::string& Text)
{
    ByteField(Grid, Row)->setText(LineText(Text));
}

void TMainForm::SetBitCaption(TPortGrid Grid, int Row, int Bit, const std::string& Caption)
{
    SetBitButtonText(Grid, Row, Bit, LineText(Caption));
}

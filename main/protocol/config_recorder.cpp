// SPDX-License-Identifier: MIT
#include "main/protocol/config_recorder.h"

#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"

bool TConfigRecorder::AnsweredAllSettings() const
{
    for (int Code = CodeIDCode; Code <= CodeLastPort; ++Code)
        if (!Answered(Code))
            return false;
    return true;
}

// The identity arrives as name, version, then "Connect OK"; an empty text is
// the read marking of the identity request.
void TConfigRecorder::SetBiosNameDisplay(const std::string& Text)
{
    Identity_.BiosName = Text;
    if (Text.empty())
        Mark(CodeIdentity, false);
}

void TConfigRecorder::SetBIOSVersionDisplay(const std::string& Text)
{
    Identity_.BiosVersion = Text;
}

void TConfigRecorder::SetStatusConnect(const std::string& Text)
{
    if (Text == "Connect OK")
        Mark(CodeIdentity, true);
}

void TConfigRecorder::SetStatusDisplay(const std::string& Text)
{
    Identity_.StatusText = Text;
    Mark(CodeStatus, !Text.empty());
}

void TConfigRecorder::SetIDDisplay(const std::string& Text)
{
    if (Text.empty()) {
        Mark(CodeIDCode, false);
        return;
    }
    Config_.RemoteId = HexStr2ToByte(Text);
    Mark(CodeIDCode, true);
}

void TConfigRecorder::SetComboBaudIndex(int Index)
{
    // -1 is the read marking; 8 and 9 are replies no rate belongs to.
    Config_.BaudIndex = Index;
    Mark(CodeBaudrate, Index >= 0 && Index < BaudRateEntryCount);
}

void TConfigRecorder::DisplayPortReply(TPortGrid Grid, int Row, const std::string& Data)
{
    Config_.PortByte(Grid, Row) = HexStr2ToByte(Data);
    Mark(PortCommandCode(Grid, Row), true);
}

void TConfigRecorder::SetByteFieldText(TPortGrid Grid, int Row, const std::string&)
{
    Mark(PortCommandCode(Grid, Row), false);
}

void TConfigRecorder::SetBitCaption(TPortGrid, int, int, const std::string&) {}

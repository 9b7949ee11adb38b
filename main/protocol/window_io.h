// SPDX-License-Identifier: MIT
#pragma once

#include <string>

#include "main/protocol/port_table.h"

// The window elements the protocol writes: the request builders blank or mark
// them before a read goes out, the reply decoder fills them. Each operation is
// named after the element it sets. Texts are raw bytes as they came off the
// line; the window shows them as Latin-1.
class TProtocolWindow {
public:
    virtual ~TProtocolWindow();

    virtual void SetBiosNameDisplay(const std::string& Text) = 0;
    virtual void SetBIOSVersionDisplay(const std::string& Text) = 0;
    virtual void SetStatusConnect(const std::string& Text) = 0;
    virtual void SetStatusDisplay(const std::string& Text) = 0;
    virtual void SetIDDisplay(const std::string& Text) = 0;

    // Selects entry Index of ComboBaud; any index outside 0..7 (-1 in
    // particular) leaves no entry selected.
    virtual void SetComboBaudIndex(int Index) = 0;

    // A port reply: Display_P0_Direction ... Display_P5_Default, with the
    // reply's two data characters as they came. Row 0..4 = P0, P1, P2, P4, P5.
    virtual void DisplayPortReply(TPortGrid Grid, int Row, const std::string& Data) = 0;

    // Read marking of a port: the text of the row's byte field, and the
    // caption of one bit button of the row (bit 0 = least significant).
    virtual void SetByteFieldText(TPortGrid Grid, int Row, const std::string& Text) = 0;
    virtual void SetBitCaption(TPortGrid Grid, int Row, int Bit, const std::string& Caption) = 0;
};

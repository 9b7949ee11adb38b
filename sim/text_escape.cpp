// SPDX-License-Identifier: MIT
#include "sim/text_escape.h"

#include <stdexcept>

namespace varnolink::sim {

int HexDigitValue(char C)
{
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    return -1;
}

std::string EscapeBytes(std::string_view Bytes)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string Text;
    Text.reserve(Bytes.size());
    for (char C : Bytes) {
        const auto Byte = static_cast<unsigned char>(C);
        switch (C) {
        case '\\':
            Text += "\\\\";
            break;
        case '\r':
            Text += "\\r";
            break;
        case '\n':
            Text += "\\n";
            break;
        case '\t':
            Text += "\\t";
            break;
        default:
            if (Byte >= 0x20 && Byte < 0x7F) {
                Text.push_back(C);
            } else {
                Text += "\\x";
                Text.push_back(Digits[Byte >> 4]);
                Text.push_back(Digits[Byte & 0x0F]);
            }
        }
    }
    return Text;
}

std::string UnescapeText(std::string_view Text)
{
    std::string Bytes;
    for (std::size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] != '\\') {
            Bytes.push_back(Text[I]);
            continue;
        }
        if (++I == Text.size()) {
            throw std::invalid_argument("trailing backslash in \"" + std::string(Text) + "\"");
        }
        switch (Text[I]) {
        case '\\':
            Bytes.push_back('\\');
            break;
        case 'r':
            Bytes.push_back('\r');
            break;
        case 'n':
            Bytes.push_back('\n');
            break;
        case 't':
            Bytes.push_back('\t');
            break;
        case '0':
            Bytes.push_back('\0');
            break;
        case 'x': {
            const int High = I + 1 < Text.size() ? HexDigitValue(Text[I + 1]) : -1;
            const int Low = I + 2 < Text.size() ? HexDigitValue(Text[I + 2]) : -1;
            if (High < 0 || Low < 0) {
                throw std::invalid_argument("\\x needs two hex digits in \"" + std::string(Text) + "\"");
            }
            Bytes.push_back(static_cast<char>(High * 16 + Low));
            I += 2;
            break;
        }
        default:
            throw std::invalid_argument("unknown escape \\" + std::string(1, Text[I]) + " in \"" + std::string(Text) +
                                        "\"");
        }
    }
    return Bytes;
}

}  // namespace varnolink::sim

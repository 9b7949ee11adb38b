// SPDX-License-Identifier: MIT
#include "sim/text_escape.h"

#include <stdexcept>

namespace varnolink::sim {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string EscapeBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': text += "\\\\"; break;
            case '\r': text += "\\r"; break;
            case '\n': text += "\\n"; break;
            case '\t': text += "\\t"; break;
            default:
                if (byte >= 0x20 && byte < 0x7F) {
                    text.push_back(c);
                } else {
                    text += "\\x";
                    text.push_back(kDigits[byte >> 4]);
                    text.push_back(kDigits[byte & 0x0F]);
                }
        }
    }
    return text;
}

std::string UnescapeText(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes.push_back(text[i]);
            continue;
        }
        if (++i == text.size()) {
            throw std::invalid_argument("trailing backslash in \"" + std::string(text) + "\"");
        }
        switch (text[i]) {
            case '\\': bytes.push_back('\\'); break;
            case 'r': bytes.push_back('\r'); break;
            case 'n': bytes.push_back('\n'); break;
            case 't': bytes.push_back('\t'); break;
            case '0': bytes.push_back('\0'); break;
            case 'x': {
                const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    throw std::invalid_argument("\\x needs two hex digits in \"" + std::string(text) + "\"");
                }
                bytes.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                break;
            }
            default:
                throw std::invalid_argument("unknown escape \\" + std::string(1, text[i]) + " in \"" +
                                            std::string(text) + "\"");
        }
    }
    return bytes;
}

}  // namespace varnolink::sim

// SPDX-License-Identifier: MIT
#include "sim/transmission.h"

#include <algorithm>
#include <cctype>

namespace varnolink::sim {

namespace {

// Positions (0-based) in a 13-character reply line.
constexpr std::size_t kStandardLineLength = 13;
constexpr std::size_t kDataOffset = 11;
constexpr std::size_t kCodeOffset = 5;
constexpr std::size_t kAddressOffset = 1;
constexpr std::size_t kColonOffset = 3;

std::string LineEnd(bool lineFeed) { return lineFeed ? "\r\n" : "\r"; }

std::string Noise(const NoiseFault& noise, std::mt19937& source) {
    std::string bytes = noise.text;
    std::uniform_int_distribution<int> byteValue(0, 255);
    while (bytes.size() < noise.text.size() + noise.randomBytes) {
        const char c = static_cast<char>(byteValue(source));
        if (c != '*' && c != '\r') {
            bytes.push_back(c);
        }
    }
    return bytes;
}

std::string LowerCaseData(std::string line) {
    if (line.size() == kStandardLineLength) {
        std::transform(line.begin() + kDataOffset, line.end(), line.begin() + kDataOffset,
                       [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    }
    return line;
}

}  // namespace

std::string MalformedLine(const std::string& replyLine, const MalformedFault& fault, bool lineFeed) {
    std::string line = replyLine;
    switch (fault.kind) {
        case MalformedKind::kNone:
            return {};
        case MalformedKind::kText:
            return fault.text;
        case MalformedKind::kTooShort:
            line.pop_back();
            break;
        case MalformedKind::kTooLong:
            line.push_back('0');
            break;
        case MalformedKind::kBadCheckText:
            line[kColonOffset] = ';';
            break;
        case MalformedKind::kBadAddress:
            line.replace(kAddressOffset, 2, "01");
            break;
        case MalformedKind::kNonDecimalCode:
            line.replace(kCodeOffset, 2, "0A");
            break;
    }
    return line + LineEnd(lineFeed);
}

std::vector<OutputPiece> BuildTransmission(const std::string& replyLine, const Faults& faults, bool lineFeed,
                                           std::mt19937& noiseSource) {
    std::string bytes;
    if (faults.noise.Active() && faults.noise.placement == NoisePlacement::kBeforeReply) {
        bytes += Noise(faults.noise, noiseSource);
    }
    if (faults.malformed.Active()) {
        bytes += MalformedLine(replyLine, faults.malformed, lineFeed);
    }
    if (!faults.malformed.Active() || faults.malformed.placement == MalformedPlacement::kBeforeReply) {
        bytes += (faults.lowerCaseData ? LowerCaseData(replyLine) : replyLine) + LineEnd(lineFeed);
    }
    if (faults.noise.Active() && faults.noise.placement == NoisePlacement::kAfterReply) {
        bytes += Noise(faults.noise, noiseSource);
    }

    std::vector<OutputPiece> pieces;
    if (faults.splitPieceBytes == 0 || bytes.size() <= faults.splitPieceBytes) {
        pieces.push_back({std::move(bytes), std::chrono::milliseconds{0}});
        return pieces;
    }
    for (std::size_t at = 0; at < bytes.size(); at += faults.splitPieceBytes) {
        pieces.push_back({bytes.substr(at, faults.splitPieceBytes),
                          at == 0 ? std::chrono::milliseconds{0} : faults.splitGap});
    }
    return pieces;
}

}  // namespace varnolink::sim

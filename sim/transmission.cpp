// SPDX-License-Identifier: MIT
#include "sim/transmission.h"

#include <algorithm>
#include <cctype>

namespace varnolink::sim {

namespace {

// Positions (0-based) in a 13-character reply line.
constexpr std::size_t StandardLineLength = 13;
constexpr std::size_t DataOffset = 11;
constexpr std::size_t CodeOffset = 5;
constexpr std::size_t AddressOffset = 1;
constexpr std::size_t ColonOffset = 3;

std::string LineEnd(bool LineFeed)
{
    return LineFeed ? "\r\n" : "\r";
}

std::string Noise(const TNoiseFault& Noise, std::mt19937& Source)
{
    std::string Bytes = Noise.Text;
    std::uniform_int_distribution<int> ByteValue(0, 255);
    while (Bytes.size() < Noise.Text.size() + Noise.RandomBytes) {
        const char C = static_cast<char>(ByteValue(Source));
        if (C != '*' && C != '\r') {
            Bytes.push_back(C);
        }
    }
    return Bytes;
}

std::string LowerCaseData(std::string Line)
{
    if (Line.size() == StandardLineLength) {
        std::transform(Line.begin() + DataOffset, Line.end(), Line.begin() + DataOffset,
                       [](char C) { return static_cast<char>(std::tolower(static_cast<unsigned char>(C))); });
    }
    return Line;
}

}  // namespace

std::string MalformedLine(const std::string& ReplyLine, const TMalformedFault& Fault, bool LineFeed)
{
    std::string Line = ReplyLine;
    switch (Fault.Kind) {
    case TMalformedKind::None:
        return {};
    case TMalformedKind::Text:
        return Fault.Text;
    case TMalformedKind::TooShort:
        Line.pop_back();
        break;
    case TMalformedKind::TooLong:
        Line.push_back('0');
        break;
    case TMalformedKind::BadCheckText:
        Line[ColonOffset] = ';';
        break;
    case TMalformedKind::BadAddress:
        Line.replace(AddressOffset, 2, "01");
        break;
    case TMalformedKind::NonDecimalCode:
        Line.replace(CodeOffset, 2, "0A");
        break;
    }
    return Line + LineEnd(LineFeed);
}

std::string Interleave(const std::string& First, const std::string& Second)
{
    std::string Bytes;
    Bytes.reserve(First.size() + Second.size());
    for (std::size_t I = 0; I < std::max(First.size(), Second.size()); ++I) {
        if (I < First.size()) {
            Bytes.push_back(First[I]);
        }
        if (I < Second.size()) {
            Bytes.push_back(Second[I]);
        }
    }
    return Bytes;
}

std::vector<TOutputPiece> BuildTransmission(const std::string& ReplyLine, const TFaults& Faults, bool LineFeed,
                                            std::mt19937& NoiseSource, const std::string& TwinLine)
{
    std::string Bytes;
    if (Faults.Noise.Active() && Faults.Noise.Placement == TNoisePlacement::BeforeReply) {
        Bytes += Noise(Faults.Noise, NoiseSource);
    }
    if (Faults.Malformed.Active()) {
        Bytes += MalformedLine(ReplyLine, Faults.Malformed, LineFeed);
    }
    if (!Faults.Malformed.Active() || Faults.Malformed.Placement == TMalformedPlacement::BeforeReply) {
        Bytes += (Faults.LowerCaseData ? LowerCaseData(ReplyLine) : ReplyLine) + LineEnd(LineFeed);
    }
    if (Faults.Noise.Active() && Faults.Noise.Placement == TNoisePlacement::AfterReply) {
        Bytes += Noise(Faults.Noise, NoiseSource);
    }
    const bool TwinLater = !TwinLine.empty() && !Faults.TwinOverlap && Faults.TwinDelay.count() > 0;
    if (!TwinLine.empty() && !TwinLater) {
        const std::string Twin = TwinLine + LineEnd(LineFeed);
        Bytes = Faults.TwinOverlap ? Interleave(Bytes, Twin) : Bytes + Twin;
    }

    std::vector<TOutputPiece> Pieces;
    if (Faults.SplitPieceBytes == 0 || Bytes.size() <= Faults.SplitPieceBytes) {
        Pieces.push_back({std::move(Bytes), std::chrono::milliseconds{0}});
    } else {
        for (std::size_t At = 0; At < Bytes.size(); At += Faults.SplitPieceBytes) {
            Pieces.push_back(
                {Bytes.substr(At, Faults.SplitPieceBytes), At == 0 ? std::chrono::milliseconds{0} : Faults.SplitGap});
        }
    }
    if (TwinLater) {
        Pieces.push_back({TwinLine + LineEnd(LineFeed), Faults.TwinDelay});
    }
    return Pieces;
}

}  // namespace varnolink::sim

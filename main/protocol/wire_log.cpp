// SPDX-License-Identifier: MIT
#include "main/protocol/wire_log.h"

#include <cstdio>

#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"
#include "main/protocol/reply_assembler.h"
#include "main/protocol/reply_decoder.h"

TWireObserver::~TWireObserver() = default;

namespace {

constexpr std::string_view Arrow = " \u2192 ";

std::string BaudMeaning(int Index)
{
    if (Index >= 0 && Index < BaudRateEntryCount)
        return " (" + std::string(BaudRateEntries[static_cast<std::size_t>(Index)]) + ")";
    return " (no such rate)";
}

char DirectionMark(TWireEventKind Kind)
{
    switch (Kind) {
    case TWireEventKind::Sent:
        return '>';
    case TWireEventKind::Received:
        return '<';
    case TWireEventKind::Noise:
        return '?';
    case TWireEventKind::Note:
        return '-';
    default:
        return '!';
    }
}

// "*cc:m,aa=00\r\n" -> code and mode; the argument may have any length.
std::optional<TChainStep> ParseRequestFrame(std::string_view Frame, std::string& Argument)
{
    if (Frame.size() < 11 || Frame[0] != '*' || Frame[3] != ':' || Frame[5] != ',')
        return std::nullopt;
    if (Frame.substr(Frame.size() - 5) != "=00\r\n" && Frame.substr(Frame.size() - 4) != "=00\r")
        return std::nullopt;
    const char Tens = Frame[1];
    const char Ones = Frame[2];
    if (Tens < '0' || Tens > '9' || Ones < '0' || Ones > '9')
        return std::nullopt;
    if (Frame[4] != '0' && Frame[4] != '1')
        return std::nullopt;
    const std::size_t ArgumentEnd = Frame.rfind("=00");
    Argument = std::string(Frame.substr(6, ArgumentEnd - 6));
    return TChainStep{(Tens - '0') * 10 + (Ones - '0'), static_cast<TRequestMode>(Frame[4])};
}

std::string ValueOf(const TDecodedReply& Reply)
{
    struct TValue {
        std::string operator()(const TIdentityReply& R) const { return R.BiosName + " " + R.BiosVersion; }
        std::string operator()(const TStatusReply& R) const
        {
            return R.Data + (R.Data == "00" ? " (Ready)" : R.Data == "01" ? " (Error)" : "");
        }
        std::string operator()(const TIDCodeReply& R) const { return HexByteToStr2(HexStr2ToByte(R.Data)); }
        std::string operator()(const TBaudrateReply& R) const { return "0" + std::to_string(R.Index) + BaudMeaning(R.Index); }
        std::string operator()(const TPortReply& R) const { return R.Data; }
    };
    return std::visit(TValue{}, Reply);
}

int CodeOf(const TDecodedReply& Reply)
{
    struct TCode {
        int operator()(const TIdentityReply&) const { return CodeIdentity; }
        int operator()(const TStatusReply&) const { return CodeStatus; }
        int operator()(const TIDCodeReply&) const { return CodeIDCode; }
        int operator()(const TBaudrateReply&) const { return CodeBaudrate; }
        int operator()(const TPortReply& R) const { return PortCommandCode(R.Grid, R.Row); }
    };
    return std::visit(TCode{}, Reply);
}

}  // namespace

std::string VisibleText(std::string_view Raw)
{
    std::string Text;
    for (const char Ch : Raw) {
        const auto Code = static_cast<unsigned char>(Ch);
        if (Ch == '\r')
            Text += "<CR>";
        else if (Ch == '\n')
            Text += "<LF>";
        else if (Code < 0x20 || Code >= 0x7F) {
            char Hex[8];
            std::snprintf(Hex, sizeof Hex, "<%02X>", Code);
            Text += Hex;
        } else
            Text += Ch;
    }
    return Text;
}

std::string FormatWireEvent(const TWireEvent& Event)
{
    char Stamp[32];
    std::snprintf(Stamp, sizeof Stamp, "%9.1f ms  %c  ", Event.ElapsedMs, DirectionMark(Event.Kind));
    std::string Line = Stamp;
    if (!Event.Raw.empty()) {
        Line += VisibleText(Event.Raw);
        if (!Event.Meaning.empty())
            Line += "  ";
    }
    Line += Event.Meaning;
    return Line;
}

std::string DescribeRequestFrame(std::string_view Frame)
{
    std::string Argument;
    const std::optional<TChainStep> Step = ParseRequestFrame(Frame, Argument);
    if (!Step)
        return {};
    std::string Meaning = DescribeStep(*Step);
    if (Step->Mode == TRequestMode::Write && Step->Code != CodeSetupToDefault) {
        Meaning += " " + Argument;
        if (Step->Code == CodeBaudrate && Argument.size() == 2 && Argument[0] == '0' && Argument[1] >= '0' &&
            Argument[1] <= '9')
            Meaning += BaudMeaning(Argument[1] - '0');
    }
    return Meaning;
}

std::string DescribeReplyLine(std::string_view Line, const std::optional<TChainStep>& Outstanding)
{
    const std::optional<TDecodedReply> Reply = DecodeReplyLine(Line);
    if (!Reply)
        return {};
    const int Code = CodeOf(*Reply);
    std::string Request;
    if (Outstanding && Outstanding->Code == Code)
        Request = DescribeStep(*Outstanding);
    else
        Request = "reply to " + DescribeRequest(Code, TRequestMode::Read) + " (late or unasked)";
    return Request + std::string(Arrow) + ValueOf(*Reply);
}

void TWireTap::Restart()
{
    Start_ = std::chrono::steady_clock::now();
    Frame_.clear();
    Line_.clear();
    Noise_.clear();
    AfterLineEnd_ = false;
    Outstanding_.reset();
}

void TWireTap::Emit(TWireEventKind Kind, std::string Raw, std::string Meaning)
{
    if (Observer_ == nullptr)
        return;
    const std::chrono::duration<double, std::milli> Elapsed = std::chrono::steady_clock::now() - Start_;
    Observer_->OnWireEvent(TWireEvent{Kind, Elapsed.count(), std::move(Raw), std::move(Meaning)});
}

void TWireTap::Report(TWireEventKind Kind, std::string Meaning)
{
    Emit(Kind, {}, std::move(Meaning));
}

int TWireTap::WriteBytes(const void* Buffer, int Count)
{
    int Written = 0;
    try {
        Written = Inner_.WriteBytes(Buffer, Count);
    } catch (...) {
        Frame_.clear();  // the frame stops here; the next one starts afresh
        throw;
    }
    Frame_.append(static_cast<const char*>(Buffer), static_cast<std::size_t>(Count > 0 ? Count : 0));
    if (!Frame_.empty() && Frame_.back() == '\n') {
        std::string Argument;
        Outstanding_ = ParseRequestFrame(Frame_, Argument);
        std::string Meaning = DescribeRequestFrame(Frame_);
        Emit(TWireEventKind::Sent, std::move(Frame_), std::move(Meaning));
        Frame_.clear();
    }
    return Written;
}

int TWireTap::ReadText(std::string& Text, int Count)
{
    const int Read = Inner_.ReadText(Text, Count);
    for (const char Ch : Text)
        TakeReceived(Ch);
    return Read;
}

void TWireTap::FlushNoise()
{
    if (!Noise_.empty())
        Emit(TWireEventKind::Noise, std::move(Noise_), "dropped: not part of a reply line");
    Noise_.clear();
}

// Mirrors the reply assembler: a line runs from "*" to CR; what comes
// outside a line is noise, reported when the next line starts.
void TWireTap::TakeReceived(char Ch)
{
    if (AfterLineEnd_) {
        AfterLineEnd_ = false;
        if (Ch == '\n')
            return;
    }
    if (Ch == '*') {
        FlushNoise();
        if (!Line_.empty())
            Emit(TWireEventKind::Noise, std::move(Line_), "dropped: line cut short by a new \"*\"");
        Line_.assign(1, '*');
        return;
    }
    if (Line_.empty()) {
        Noise_ += Ch;
        return;
    }
    Line_ += Ch;
    if (Ch != '\r')
        return;
    const std::string_view Body(Line_.data(), Line_.size() - 1);
    std::string Meaning = Body.size() <= TReplyAssembler::LineLimit ? DescribeReplyLine(Body, Outstanding_) : "";
    if (Meaning.empty())
        Emit(TWireEventKind::Noise, std::move(Line_),
             "ignored: not a valid reply line (" + std::to_string(Body.size()) + " characters)");
    else
        Emit(TWireEventKind::Received, std::move(Line_), std::move(Meaning));
    Line_.clear();
    AfterLineEnd_ = true;
}

// SPDX-License-Identifier: MIT
// The wire log's one formatter: a session event into one log line.
#include "main/engine/wire_log.h"

#include <cstdio>
#include <utility>

#include "main/protocol/baud_table.h"
#include "main/protocol/hex.h"

namespace varnolink {

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

std::string ValueOf(const TDecodedReply& Reply)
{
    struct TValue {
        std::string operator()(const TIdentityReply& R) const { return R.BiosName + " " + R.BiosVersion; }
        std::string operator()(const TStatusReply& R) const
        {
            switch (R.Status) {
            case TModuleStatus::Ready:
                return R.Data + " (Ready)";
            case TModuleStatus::Error:
                return R.Data + " (Error)";
            case TModuleStatus::Other:
                break;
            }
            return R.Data;
        }
        std::string operator()(const TIDCodeReply& R) const { return HexByteToStr2(R.RemoteId); }
        std::string operator()(const TBaudrateReply& R) const
        {
            return "0" + std::to_string(R.Index) + BaudMeaning(R.Index);
        }
        std::string operator()(const TPortReply& R) const { return HexByteToStr2(R.Value); }
    };
    return std::visit(TValue{}, Reply);
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

std::string DescribeRequestStarted(const TRequestStarted& Request)
{
    std::string Meaning = DescribeStep(Request.Step);
    if (Request.Step.Mode == TRequestMode::Write && Request.Step.Code != CodeSetupToDefault) {
        Meaning += " " + VisibleText(Request.Argument);
        const std::string& Argument = Request.Argument;
        if (Request.Step.Code == CodeBaudrate && Argument.size() == 2 && Argument[0] == '0' && Argument[1] >= '0' &&
            Argument[1] <= '9')
            Meaning += BaudMeaning(Argument[1] - '0');
    }
    return Meaning;
}

std::string DescribeReply(const TReplyDecoded& Reply)
{
    const int Code = ReplyCode(Reply.Reply);
    std::string Request;
    if (Reply.LastRequest && Reply.LastRequest->Code == Code)
        Request = DescribeStep(*Reply.LastRequest);
    else
        Request = "reply to " + DescribeRequest(Code, TRequestMode::Read) + " (late or unasked)";
    return Request + std::string(Arrow) + ValueOf(Reply.Reply);
}

void TWireLog::Emit(TWireEventKind Kind, std::string Raw, std::string Meaning)
{
    if (Observer_ == nullptr)
        return;
    const std::chrono::duration<double, std::milli> Elapsed = std::chrono::steady_clock::now() - Start_;
    Observer_->OnWireEvent(TWireEvent{Kind, Elapsed.count(), std::move(Raw), std::move(Meaning)});
}

void TWireLog::Report(TWireEventKind Kind, std::string Meaning)
{
    Emit(Kind, {}, std::move(Meaning));
}

void TWireLog::Show(const TSessionEvent& Event)
{
    if (Observer_ == nullptr)
        return;
    struct TShow {
        TWireLog& Log;
        void operator()(const TRequestStarted& E) const
        {
            Log.Emit(TWireEventKind::Sent, E.Frame, DescribeRequestStarted(E));
        }
        void operator()(const TReplyDecoded& E) const { Log.Emit(TWireEventKind::Received, E.Raw, DescribeReply(E)); }
        void operator()(const TLineIgnored& E) const { Log.Emit(TWireEventKind::Noise, E.Raw, "ignored: " + E.Why); }
        void operator()(const TNoiseDropped& E) const { Log.Emit(TWireEventKind::Noise, E.Raw, "dropped: " + E.Why); }
        void operator()(const TEchoDropped& E) const
        {
            // Said once per port; the echoes after it are dropped quietly.
            if (!std::exchange(Log.EchoNoted_, true))
                Log.Emit(TWireEventKind::Note, E.Raw, std::string(EchoText) + "; its echoes are dropped");
        }
        void operator()(const TReplyWaitExpired& E) const
        {
            Log.Emit(TWireEventKind::TimeOut, {},
                     "no reply to " + DescribeStep(E.Step) + " within " + std::to_string(E.Wait.count()) + " ms");
        }
        void operator()(const TChainEnded& E) const
        {
            if (E.Result.End == TChainEnd::Stopped)
                Log.Emit(TWireEventKind::Note, {}, "stopped on request");
            else if (E.Result.End == TChainEnd::TwoModules)
                Log.Emit(TWireEventKind::Error, {}, E.Result.Reason.empty() ? TwoModulesText : E.Result.Reason);
        }
    };
    std::visit(TShow{*this}, Event);
}

}  // namespace varnolink

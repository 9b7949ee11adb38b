// SPDX-License-Identifier: MIT
#pragma once

// The baseline of the engine benchmarks: sessions on ports opened the way a
// port watching line events runs, a cport::TComPort with its default events
// (all of them), so each open port has an event thread. The event thread
// wakes on input, queues OnRxChar for the owning thread and calls its wake
// hook, which signals an eventfd; the owning thread's epoll wait wakes on
// it and CheckSynchronize runs OnRxChar, which reads the bytes into the
// port's session. Any number of ports on the calling thread.

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cport/comport.h"
#include "main/engine/chain_session.h"
#include "main/engine/module_line_settings.h"

using namespace varnolink;

namespace bench {

class TEventThreadPorts {
public:
    struct TLine {
        cport::TComPort Port;
        TChainSession Session;
        std::optional<TChainResult> Result;
    };

    TEventThreadPorts() : Wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), Epoll_(::epoll_create1(EPOLL_CLOEXEC))
    {
        if (Wake_ < 0 || Epoll_ < 0)
            throw std::runtime_error("cannot set up the event-thread loop");
        epoll_event Event{};
        Event.events = EPOLLIN;
        ::epoll_ctl(Epoll_, EPOLL_CTL_ADD, Wake_, &Event);
        const int WakeFd = Wake_;
        cport::SetMainThreadWakeHook([WakeFd] {
            const uint64_t One = 1;
            [[maybe_unused]] const ssize_t Written = ::write(WakeFd, &One, sizeof One);
        });
    }

    ~TEventThreadPorts()
    {
        for (auto& Line : Lines_) {
            Line->Port.OnRxChar = nullptr;
            Line->Port.Close();
        }
        cport::SetMainThreadWakeHook(nullptr);
        ::close(Epoll_);
        ::close(Wake_);
    }

    TEventThreadPorts(const TEventThreadPorts&) = delete;
    TEventThreadPorts& operator=(const TEventThreadPorts&) = delete;

    // Opens Device with the module's line settings and every line event.
    TLine& Open(const std::string& Device)
    {
        Lines_.push_back(std::make_unique<TLine>());
        TLine& Line = *Lines_.back();
        Line.Port.SetPort(Device);
        ApplyModuleLineSettings(Line.Port);
        Line.Port.SetEvents(cport::AllComEvents);
        Line.Port.OnRxChar = [this, &Line](cport::TComponent*, int32_t Count) {
            std::string Bytes(static_cast<std::size_t>(Count), '\0');
            const int32_t Got = Line.Port.ReadBytes(Bytes.data(), Count);
            Line.Session.BytesReceived(std::string_view(Bytes).substr(0, static_cast<std::size_t>(Got)),
                                       TSessionClock::now());
            Settle(Line);
        };
        Line.Port.Open();
        return Line;
    }

    void StartAll(const TChainPlan& Plan)
    {
        for (auto& Line : Lines_) {
            Line->Session.Start(Plan, TSessionClock::now());
            Settle(*Line);
        }
    }

    // Serves the ports until every chain has ended; EachRound runs before
    // every wait.
    void RunUntilAllEnded(const std::function<void()>& EachRound)
    {
        for (;;) {
            EachRound();
            if (std::all_of(Lines_.begin(), Lines_.end(), [](const auto& Line) { return Line->Result.has_value(); }))
                return;
            epoll_event Event{};
            const int Ready = ::epoll_wait(Epoll_, &Event, 1, MillisecondsToNextDeadline());
            if (Ready < 0 && errno != EINTR)
                throw std::runtime_error("epoll_wait failed");
            if (Ready > 0) {
                uint64_t Count = 0;
                [[maybe_unused]] const ssize_t Read = ::read(Wake_, &Count, sizeof Count);
                cport::CheckSynchronize();
            }
            for (auto& Line : Lines_) {
                Line->Session.TimePassed(TSessionClock::now());
                Settle(*Line);
            }
        }
    }

    const std::vector<std::unique_ptr<TLine>>& Lines() const { return Lines_; }

private:
    void Settle(TLine& Line)
    {
        const std::string Output = Line.Session.TakeOutput();
        if (!Output.empty())
            Line.Port.WriteBytes(Output.data(), static_cast<int32_t>(Output.size()));
        for (const TSessionEvent& Event : Line.Session.TakeEvents())
            if (const auto* Ended = std::get_if<TChainEnded>(&Event))
                Line.Result = Ended->Result;
    }

    int MillisecondsToNextDeadline() const
    {
        std::optional<TSessionTime> Earliest;
        for (const auto& Line : Lines_)
            if (const auto Deadline = Line->Session.NextDeadline())
                Earliest = Earliest ? std::min(*Earliest, *Deadline) : *Deadline;
        if (!Earliest)
            return -1;
        const auto Left = std::chrono::ceil<std::chrono::milliseconds>(*Earliest - TSessionClock::now()).count();
        return static_cast<int>(std::clamp<long long>(Left, 0, INT_MAX));
    }

    int Wake_;
    int Epoll_;
    std::vector<std::unique_ptr<TLine>> Lines_;
};

}  // namespace bench

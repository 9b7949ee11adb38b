// SPDX-License-Identifier: MIT
// The signal that ends the modem-line wait: never taken from the
// application, chosen by it before the first watch. A device double with
// modem lines whose wait for a change blocks until a signal arrives stands
// in for a UART. Its own executable: the choice is once per process.
#include "cport/modem_watch.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <string>

using namespace cport;

namespace {

class SignalWaitDevice final : public TDevice {
public:
    int PollFd() const override { return -1; }
    ssize_t Read(void*, size_t) override { return Fail(); }
    ssize_t Write(const void*, size_t) override { return Fail(); }
    int ApplyLine(const TCustomComPort&, TReceiveOptions&) override { return ENOTTY; }
    int ApplyRs485(const TComRs485&) override { return ENOTTY; }
    int Purge(bool, bool) override { return 0; }
    int ModemLines(TLineSignals& Lines) override
    {
        Lines = {lsCTS};
        return 0;
    }
    int WaitForModemChange() override { return ::poll(nullptr, 0, -1) < 0 ? errno : 0; }
    int SetOutputLines(bool, bool) override { return ENOTTY; }
    int SetBreak(bool) override { return ENOTTY; }
    int OutputQueued(int& Bytes) override
    {
        Bytes = 0;
        return 0;
    }
    int TransmitterEmpty(bool& Empty) override
    {
        Empty = true;
        return 0;
    }
    int ErrorCounts(TDriverCounts&) override { return ENOTTY; }
    void Close() override {}

private:
    static ssize_t Fail()
    {
        errno = ENOTTY;
        return -1;
    }
};

void ApplicationHandler(int) {}

sighandler_t HandlerOf(int Signal)
{
    struct sigaction Current {};
    sigaction(Signal, nullptr, &Current);
    return Current.sa_handler;
}

TEST(LineWatchSignal, NeverTakesTheApplicationsSignalAndUsesTheOneItChose)
{
    const int TakenByApplication = SIGRTMIN + 4;  // the default
    signal(TakenByApplication, ApplicationHandler);
    SignalWaitDevice Device;
    {
        TModemWatch Watch(Device);
        EXPECT_FALSE(Watch.Running());  // no signal to end its wait with: no watch
    }
    EXPECT_EQ(HandlerOf(TakenByApplication), &ApplicationHandler);

    const int Chosen = SIGRTMIN + 6;
    ASSERT_EQ(HandlerOf(Chosen), SIG_DFL);
    ASSERT_TRUE(SetLineWatchSignal(Chosen));
    {
        TModemWatch Watch(Device);
        EXPECT_TRUE(Watch.Running());
    }  // Stop ends the wait with the chosen signal and joins
    EXPECT_NE(HandlerOf(Chosen), SIG_DFL);
    EXPECT_EQ(HandlerOf(TakenByApplication), &ApplicationHandler);
    EXPECT_FALSE(SetLineWatchSignal(SIGRTMIN + 7));  // fixed once taken
}

// The application changes the signal between two watches or while one
// runs: a watch never starts on a signal that is not its own, Stop ends
// within a second, and the application keeps its disposition.
TEST(LineWatchSignal, StopIsBoundedWhateverTheApplicationDidWithTheSignal)
{
    const int Signal = SIGRTMIN + 6;
    SetLineWatchSignal(Signal);  // refused when the test above has taken it already
    SignalWaitDevice Device;
    struct sigaction Restarting {
    }, Ignore{}, Default{};
    Restarting.sa_handler = ApplicationHandler;
    Restarting.sa_flags = SA_RESTART;
    Ignore.sa_handler = SIG_IGN;
    Default.sa_handler = SIG_DFL;
    for (const struct sigaction* Change : {&Restarting, &Ignore, &Default}) {
        for (const bool WhileRunning : {false, true}) {
            SCOPED_TRACE(std::string(WhileRunning ? "while a watch runs, to " : "between two watches, to ") +
                         (Change == &Restarting ? "a handler"
                          : Change == &Ignore   ? "SIG_IGN"
                                                : "SIG_DFL"));
            std::optional<TModemWatch> Watch(std::in_place, Device);
            ASSERT_TRUE(Watch->Running());
            if (!WhileRunning)
                Watch.reset();
            sigaction(Signal, Change, nullptr);
            if (!WhileRunning) {
                Watch.emplace(Device);
                EXPECT_EQ(Watch->Running(), Change == &Default);  // back at the default it is free again
            }
            const auto Started = std::chrono::steady_clock::now();
            Watch.reset();
            EXPECT_LT(std::chrono::steady_clock::now() - Started, std::chrono::seconds(1));
            if (WhileRunning || Change != &Default) {
                EXPECT_EQ(HandlerOf(Signal), Change->sa_handler);
            }
            signal(Signal, SIG_DFL);
        }
    }
}

}  // namespace

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

using namespace cport;

namespace {

class SignalWaitDevice final : public TDevice {
public:
    int PollFd() const override { return -1; }
    ssize_t Read(void*, size_t) override { return Fail(); }
    ssize_t Write(const void*, size_t) override { return Fail(); }
    int ApplyLine(const TCustomComPort&, TReceiveOptions&) override { return ENOTTY; }
    int Purge(bool, bool) override { return 0; }
    int ModemLines(TLineSignals& Lines) override {
        Lines = {lsCTS};
        return 0;
    }
    int WaitForModemChange() override { return ::poll(nullptr, 0, -1) < 0 ? errno : 0; }
    int SetOutputLines(bool, bool) override { return ENOTTY; }
    int SetBreak(bool) override { return ENOTTY; }
    int OutputQueued(int& Bytes) override {
        Bytes = 0;
        return 0;
    }
    int TransmitterEmpty(bool& Empty) override {
        Empty = true;
        return 0;
    }
    int ErrorCounts(TDriverCounts&) override { return ENOTTY; }
    void Close() override {}

private:
    static ssize_t Fail() {
        errno = ENOTTY;
        return -1;
    }
};

void ApplicationHandler(int) {}

sighandler_t HandlerOf(int Signal) {
    struct sigaction Current {};
    sigaction(Signal, nullptr, &Current);
    return Current.sa_handler;
}

TEST(LineWatchSignal, NeverTakesTheApplicationsSignalAndUsesTheOneItChose) {
    const int TakenByApplication = SIGRTMIN + 4;   // the default
    signal(TakenByApplication, ApplicationHandler);
    SignalWaitDevice Device;
    {
        TModemWatch Watch(Device);
        EXPECT_FALSE(Watch.Running());   // no signal to end its wait with: no watch
    }
    EXPECT_EQ(HandlerOf(TakenByApplication), &ApplicationHandler);

    const int Chosen = SIGRTMIN + 6;
    ASSERT_EQ(HandlerOf(Chosen), SIG_DFL);
    ASSERT_TRUE(SetLineWatchSignal(Chosen));
    {
        TModemWatch Watch(Device);
        EXPECT_TRUE(Watch.Running());
    }   // Stop ends the wait with the chosen signal and joins
    EXPECT_NE(HandlerOf(Chosen), SIG_DFL);
    EXPECT_EQ(HandlerOf(TakenByApplication), &ApplicationHandler);
    EXPECT_FALSE(SetLineWatchSignal(SIGRTMIN + 7));   // fixed once taken
}

}  // namespace

// SPDX-License-Identifier: MIT
// window_wait_bench: the main window's reply wait on a pseudo-terminal.
//
//   BENCH timeout_wait_cpu_percent   CPU time of the whole process during one
//                                    5000 ms wait that times out, in percent
//                                    of one core; baseline: an idle Qt event
//                                    loop for the same time
//                                    (idle_event_loop_cpu_percent).
//   BENCH reply_to_wait_end_us       median time from the moment the identity
//                                    reply's last byte is in the line to the
//                                    return of WaitCommandExecute; baseline:
//                                    the same reply read by a thread blocked
//                                    in read() on the raw line
//                                    (pty_reply_read_us).

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "main/window/main_form.h"
#include "tests/support/pty_pair.h"
#include "tests/support/raw_line.h"

using namespace varnolink;

namespace {

using TClock = std::chrono::steady_clock;

constexpr int ReplyRounds = 300;
const std::string IdentityReply = "*??:E00,00=VARNOLINK I/O 1.00a\r";

using TFd = cport::TUniqueFd;

void Check(bool Ok, const char* What)
{
    if (!Ok)
        throw std::runtime_error(std::string(What) + " failed");
}

// The far end of the line: answers every request (a line ending in LF) with
// the identity reply and notes when the reply's last byte was written.
class TResponder {
public:
    explicit TResponder(int MasterFd) : Master_(MasterFd), Stop_(::eventfd(0, EFD_CLOEXEC))
    {
        Check(Stop_.get() >= 0, "eventfd");
        Thread_ = std::thread([this] { Run(); });
    }
    ~TResponder()
    {
        const uint64_t One = 1;
        [[maybe_unused]] const ssize_t Written = ::write(Stop_.get(), &One, sizeof One);
        Thread_.join();
    }
    TResponder(const TResponder&) = delete;
    TResponder& operator=(const TResponder&) = delete;

    TClock::time_point LastReplyEnd() const { return LastReplyEnd_.load(); }

private:
    void Run()
    {
        std::string Pending;
        for (;;) {
            pollfd Fds[2] = {{Master_, POLLIN, 0}, {Stop_.get(), POLLIN, 0}};
            if (::poll(Fds, 2, -1) < 0 || (Fds[1].revents & POLLIN) != 0)
                return;
            char Buffer[256];
            const ssize_t Count = ::read(Master_, Buffer, sizeof Buffer);
            if (Count <= 0)
                return;
            Pending.append(Buffer, static_cast<std::size_t>(Count));
            std::size_t End;
            while ((End = Pending.find('\n')) != std::string::npos) {
                Pending.erase(0, End + 1);
                const ssize_t Sent = ::write(Master_, IdentityReply.data(), IdentityReply.size());
                LastReplyEnd_.store(TClock::now());
                if (Sent != static_cast<ssize_t>(IdentityReply.size()))
                    return;
            }
        }
    }

    int Master_;
    TFd Stop_;
    std::atomic<TClock::time_point> LastReplyEnd_{};
    std::thread Thread_;
};

double CpuSeconds()
{
    rusage Usage{};
    ::getrusage(RUSAGE_SELF, &Usage);
    return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
           static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

// CPU time of the process while Work runs, in percent of one core.
double CpuPercentDuring(const std::function<void()>& Work)
{
    const double CpuBefore = CpuSeconds();
    const TClock::time_point WallBefore = TClock::now();
    Work();
    const double Wall = std::chrono::duration<double>(TClock::now() - WallBefore).count();
    return 100.0 * (CpuSeconds() - CpuBefore) / Wall;
}

double MedianMicroseconds(std::vector<double> Samples)
{
    std::sort(Samples.begin(), Samples.end());
    return Samples[Samples.size() / 2];
}

// Blocks in read() on Fd until a CR has come.
void ReadThroughCr(int Fd)
{
    std::string Received;
    do {
        char Buffer[64];
        const ssize_t Count = ::read(Fd, Buffer, sizeof Buffer);
        Check(Count > 0, "read the reply");
        Received.append(Buffer, static_cast<std::size_t>(Count));
    } while (Received.find('\r') == std::string::npos);
}

// Baseline: a thread blocked in read() on the raw line gets the reply.
double BareLineReplyMedian(const std::string& SlavePath, const TResponder& Responder)
{
    const TFd Line = test_support::OpenRawSlave(SlavePath, 0);  // blocking: the thread sleeps in read()

    const std::string Request = "*00:0,00=00\r\n";
    std::vector<double> Samples;
    for (int Round = 0; Round < ReplyRounds; ++Round) {
        Check(::write(Line.get(), Request.data(), Request.size()) == static_cast<ssize_t>(Request.size()),
              "write the request");
        ReadThroughCr(Line.get());
        const TClock::time_point Done = TClock::now();
        Samples.push_back(std::chrono::duration<double, std::micro>(Done - Responder.LastReplyEnd()).count());
    }
    return MedianMicroseconds(Samples);
}

}  // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication Application(argc, argv);

    test_support::TPtyPair Line;
    Line.HoldSlave();  // keeps the line up while the host side reopens it
    const std::string& SlavePath = Line.SlavePath();

    TMainForm Form;
    Form.ComPort1.SetPort(SlavePath);

    // CPU during a time-out: nobody answers.
    const double IdlePercent = CpuPercentDuring([] {
        QEventLoop Idle;
        QTimer::singleShot(TMainForm::ReplyTimeoutMs, &Idle, &QEventLoop::quit);
        Idle.exec();
    });
    Form.ComPort1.Open();
    const double WaitPercent = CpuPercentDuring([&] {
        Form.ReadStatus();
        Form.WaitCommandExecute();
    });
    Check(Form.TimedOut == 1, "the time-out");
    Form.ComPort1.Close();
    std::printf("BENCH idle_event_loop_cpu_percent %.3f\n", IdlePercent);
    std::printf("BENCH timeout_wait_cpu_percent %.3f\n", WaitPercent);
    std::printf(
        "BENCHROW CPU during a time-out wait, %% of a core (vs idle event loop)|%.3f|%.3f|%+.3f pp|ours < 2 %%\n",
        WaitPercent, IdlePercent, WaitPercent - IdlePercent);
    std::fflush(stdout);

    // Reply to the end of the wait.
    {
        // Drop the unanswered request of the time-out run.
        ::tcflush(Line.Master(), TCIOFLUSH);
        TResponder Responder(Line.Master());
        const double BareMedian = BareLineReplyMedian(SlavePath, Responder);

        Form.ComPort1.Open();
        std::vector<double> Samples;
        for (int Round = 0; Round < ReplyRounds; ++Round) {
            Form.ReadBIOSVersion();
            Form.WaitCommandExecute();
            const TClock::time_point Done = TClock::now();
            Check(Form.ReplyReceived() == 1, "the identity reply");
            Samples.push_back(std::chrono::duration<double, std::micro>(Done - Responder.LastReplyEnd()).count());
        }
        Form.ComPort1.Close();
        std::printf("BENCH pty_reply_read_us %.1f\n", BareMedian);
        std::printf("BENCH reply_to_wait_end_us %.1f\n", MedianMicroseconds(Samples));
    }
    return 0;
}

// SPDX-License-Identifier: MIT
// Test and benchmark support: a ser2net server in the foreground, on free
// loopback ports, with a raw TCP accepter and a telnet(rfc2217) accepter
// whose connector is one serial device (a pseudo-terminal in the tests).
//
// The configuration and the pid file live in a temporary directory. The
// server counts as ready once it has written its pid file, which it does
// after its accepters listen; the wait for that is an inotify watch, with
// the server's pidfd next to it so that a server that dies at start is
// reported at once. Header-only and without GoogleTest, so that benchmarks
// can use it too.
#pragma once

#include "cport/unique_fd.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace net_test {

class TSer2NetServer {
public:
    // Starts ser2net for Device; throws std::runtime_error with its log if it
    // is not ready within Timeout.
    explicit TSer2NetServer(const std::string& Device, std::chrono::milliseconds Timeout = std::chrono::seconds(20))
    {
        char Pattern[] = "/tmp/varnolink-ser2net-XXXXXX";
        if (::mkdtemp(Pattern) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        Dir_ = Pattern;
        // The ports are free when chosen, but another program may take one
        // before ser2net binds it: ser2net then runs on without that
        // accepter and says so in its log, and the server starts again on
        // other ports, within the same deadline.
        const auto Deadline = std::chrono::steady_clock::now() + Timeout;
        for (;;) {
            RawPort_ = FreeLoopbackPort();
            Rfc2217Port_ = FreeLoopbackPort();
            {
                std::ofstream Config(Dir_ / "ser2net.yaml");
                Config << Configuration(Device, RawPort_, Rfc2217Port_);
            }
            Start(Deadline);
            if (Log().find("Address already in use") == std::string::npos)
                break;
            Stop(SIGKILL);
            std::filesystem::remove(Dir_ / "ser2net.pid");
            if (std::chrono::steady_clock::now() >= Deadline)
                throw std::runtime_error("no free loopback ports for ser2net in time:\n" + Log());
        }
    }
    ~TSer2NetServer()
    {
        Stop(SIGTERM);
        std::error_code Ignored;
        std::filesystem::remove_all(Dir_, Ignored);
    }
    TSer2NetServer(const TSer2NetServer&) = delete;
    TSer2NetServer& operator=(const TSer2NetServer&) = delete;

    std::string RawUrl() const { return "socket://127.0.0.1:" + std::to_string(RawPort_); }
    std::string Rfc2217Url() const { return "rfc2217://127.0.0.1:" + std::to_string(Rfc2217Port_); }
    uint16_t RawPort() const { return RawPort_; }
    uint16_t Rfc2217Port() const { return Rfc2217Port_; }

    // The server vanishes at once, as on a crash or a power cut of its box.
    void Kill() { Stop(SIGKILL); }
    bool Running() const { return Pid_ > 0; }

    // What the server printed (its log goes there with -d).
    std::string Log() const
    {
        std::ifstream In(Dir_ / "ser2net.log");
        std::stringstream Text;
        Text << In.rdbuf();
        return Text.str();
    }

    // The configuration the tests use: both accepters on loopback, the
    // connector 9600 8N1 ignoring the modem lines of the device ("local"),
    // received bytes passed on at once (no chardelay), as the README
    // recommends.
    static std::string Configuration(const std::string& Device, uint16_t RawPort, uint16_t Rfc2217Port)
    {
        std::string Text;
        auto Connection = [&](const char* Name, const std::string& Accepter) {
            Text += std::string("connection: &") + Name + "\n";
            Text += "  accepter: " + Accepter + "\n";
            Text += "  connector: serialdev," + Device + ",9600n81,local\n";
            Text += "  options:\n";
            Text += "    chardelay: false\n";
        };
        Connection("raw", "tcp,127.0.0.1," + std::to_string(RawPort));
        Connection("rfc2217", "telnet(rfc2217),tcp,127.0.0.1," + std::to_string(Rfc2217Port));
        return Text;
    }

    // A loopback port that was free a moment ago.
    static uint16_t FreeLoopbackPort()
    {
        const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in Address{};
        Address.sin_family = AF_INET;
        Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Length = sizeof Address;
        const bool Ok = ::bind(Fd, reinterpret_cast<sockaddr*>(&Address), Length) == 0 &&
                        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&Address), &Length) == 0;
        ::close(Fd);
        if (!Ok)
            throw std::runtime_error("no free loopback port");
        return ntohs(Address.sin_port);
    }

private:
    void Start(std::chrono::steady_clock::time_point Deadline)
    {
        const std::string Config = (Dir_ / "ser2net.yaml").string();
        const std::string PidFile = (Dir_ / "ser2net.pid").string();
        const std::string log = (Dir_ / "ser2net.log").string();
        const cport::TUniqueFd Watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (Watch.get() < 0 || ::inotify_add_watch(Watch.get(), Dir_.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0)
            throw std::runtime_error("inotify failed");

        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&Actions, STDOUT_FILENO, STDERR_FILENO);
        // -n: foreground, -d: log to standard output, -u: no UUCP lock files.
        std::vector<std::string> Args{"ser2net", "-n", "-d", "-u", "-c", Config, "-P", PidFile};
        std::vector<char*> Argv;
        for (std::string& Arg : Args)
            Argv.push_back(Arg.data());
        Argv.push_back(nullptr);
        pid_t Pid = 0;
        const int Spawned = ::posix_spawnp(&Pid, "ser2net", &Actions, nullptr, Argv.data(), environ);
        posix_spawn_file_actions_destroy(&Actions);
        if (Spawned != 0)
            throw std::runtime_error("cannot start ser2net (is it installed?)");
        Pid_ = Pid;

        const cport::TUniqueFd Process(static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0)));
        while (!std::filesystem::exists(PidFile)) {
            const auto Left =
                std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
            pollfd Waits[2] = {{Watch.get(), POLLIN, 0}, {Process.get(), POLLIN, 0}};
            const int N =
                Left.count() > 0 ? ::poll(Waits, Process.get() >= 0 ? 2 : 1, static_cast<int>(Left.count())) : 0;
            if (N == 0) {
                Stop(SIGKILL);
                throw std::runtime_error("ser2net not ready in time:\n" + Log());
            }
            if (N < 0 && errno != EINTR)
                throw std::runtime_error("poll failed");
            if (Waits[1].revents != 0) {
                Stop(SIGKILL);
                throw std::runtime_error("ser2net ended at start:\n" + Log());
            }
            char Events[4096];
            while (::read(Watch.get(), Events, sizeof Events) > 0) {
            }
        }
    }

    // Signals the server and reaps it. One that has not ended within Grace
    // (a TERM it does not act on) is killed; SIGKILL cannot be held off.
    void Stop(int Signal, std::chrono::milliseconds Grace = std::chrono::seconds(5))
    {
        if (Pid_ <= 0)
            return;
        const cport::TUniqueFd Process(static_cast<int>(::syscall(SYS_pidfd_open, Pid_, 0)));
        ::kill(Pid_, Signal);
        if (Signal != SIGKILL && !Exits(Process, Grace))
            ::kill(Pid_, SIGKILL);
        int Status = 0;
        while (::waitpid(Pid_, &Status, 0) < 0 && errno == EINTR) {
        }
        Pid_ = -1;
    }

    // Whether the process behind Process ends within Grace (false without a pidfd).
    static bool Exits(const cport::TUniqueFd& Process, std::chrono::milliseconds Grace)
    {
        if (Process.get() < 0)
            return false;
        const auto Deadline = std::chrono::steady_clock::now() + Grace;
        for (;;) {
            const auto Left =
                std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now()).count();
            pollfd Exit{Process.get(), POLLIN, 0};
            const int N = Left > 0 ? ::poll(&Exit, 1, static_cast<int>(Left)) : 0;
            if (N > 0)
                return true;
            if (N == 0 || errno != EINTR)
                return false;
        }
    }

    std::filesystem::path Dir_;
    uint16_t RawPort_ = 0;
    uint16_t Rfc2217Port_ = 0;
    pid_t Pid_ = -1;
};

}  // namespace net_test

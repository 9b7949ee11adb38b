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
    explicit TSer2NetServer(const std::string& Device,
                            std::chrono::milliseconds Timeout = std::chrono::seconds(20)) {
        char pattern[] = "/tmp/varnolink-ser2net-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        raw_port_ = FreeLoopbackPort();
        rfc2217_port_ = FreeLoopbackPort();
        {
            std::ofstream config(dir_ / "ser2net.yaml");
            config << Configuration(Device, raw_port_, rfc2217_port_);
        }
        Start(Timeout);
    }
    ~TSer2NetServer() {
        Stop(SIGTERM);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    TSer2NetServer(const TSer2NetServer&) = delete;
    TSer2NetServer& operator=(const TSer2NetServer&) = delete;

    std::string RawUrl() const { return "socket://127.0.0.1:" + std::to_string(raw_port_); }
    std::string Rfc2217Url() const { return "rfc2217://127.0.0.1:" + std::to_string(rfc2217_port_); }
    uint16_t RawPort() const { return raw_port_; }
    uint16_t Rfc2217Port() const { return rfc2217_port_; }

    // The server vanishes at once, as on a crash or a power cut of its box.
    void Kill() { Stop(SIGKILL); }
    bool Running() const { return pid_ > 0; }

    // What the server printed (its log goes there with -d).
    std::string Log() const {
        std::ifstream in(dir_ / "ser2net.log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // The configuration the tests use: both accepters on loopback, the
    // connector 9600 8N1 ignoring the modem lines of the device ("local"),
    // received bytes passed on at once (no chardelay), as the README
    // recommends.
    static std::string Configuration(const std::string& Device, uint16_t RawPort, uint16_t Rfc2217Port) {
        std::string text;
        auto connection = [&](const char* Name, const std::string& Accepter) {
            text += std::string("connection: &") + Name + "\n";
            text += "  accepter: " + Accepter + "\n";
            text += "  connector: serialdev," + Device + ",9600n81,local\n";
            text += "  options:\n";
            text += "    chardelay: false\n";
        };
        connection("raw", "tcp,127.0.0.1," + std::to_string(RawPort));
        connection("rfc2217", "telnet(rfc2217),tcp,127.0.0.1," + std::to_string(Rfc2217Port));
        return text;
    }

    // A loopback port that was free a moment ago.
    static uint16_t FreeLoopbackPort() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
        ::close(fd);
        if (!ok) throw std::runtime_error("no free loopback port");
        return ntohs(address.sin_port);
    }

private:
    class TFd {
    public:
        explicit TFd(int Fd) : fd_(Fd) {}
        ~TFd() {
            if (fd_ >= 0) ::close(fd_);
        }
        TFd(const TFd&) = delete;
        TFd& operator=(const TFd&) = delete;
        int get() const { return fd_; }

    private:
        int fd_;
    };

    void Start(std::chrono::milliseconds Timeout) {
        const std::string config = (dir_ / "ser2net.yaml").string();
        const std::string pid_file = (dir_ / "ser2net.pid").string();
        const std::string log = (dir_ / "ser2net.log").string();
        const TFd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (watch.get() < 0 || ::inotify_add_watch(watch.get(), dir_.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0)
            throw std::runtime_error("inotify failed");

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        // -n: foreground, -d: log to standard output, -u: no UUCP lock files.
        std::vector<std::string> args{"ser2net", "-n", "-d", "-u", "-c", config, "-P", pid_file};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        const int spawned = ::posix_spawnp(&pid, "ser2net", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) throw std::runtime_error("cannot start ser2net (is it installed?)");
        pid_ = pid;

        const TFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        const auto deadline = std::chrono::steady_clock::now() + Timeout;
        while (!std::filesystem::exists(pid_file)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd waits[2] = {{watch.get(), POLLIN, 0}, {process.get(), POLLIN, 0}};
            const int n = left.count() > 0 ? ::poll(waits, process.get() >= 0 ? 2 : 1, static_cast<int>(left.count()))
                                           : 0;
            if (n == 0) {
                Stop(SIGKILL);
                throw std::runtime_error("ser2net not ready in time:\n" + Log());
            }
            if (n < 0 && errno != EINTR) throw std::runtime_error("poll failed");
            if (waits[1].revents != 0) {
                Stop(SIGKILL);
                throw std::runtime_error("ser2net ended at start:\n" + Log());
            }
            char events[4096];
            while (::read(watch.get(), events, sizeof events) > 0) {
            }
        }
    }

    void Stop(int Signal) {
        if (pid_ <= 0) return;
        ::kill(pid_, Signal);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

    std::filesystem::path dir_;
    uint16_t raw_port_ = 0;
    uint16_t rfc2217_port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace net_test

// SPDX-License-Identifier: MIT
#pragma once

// A serial device held open by a TComPort in a forked child process, as
// another program would hold it, until the object goes away.

#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "cport/comport.h"

namespace ports_test {

class THeldElsewhere {
public:
    explicit THeldElsewhere(const std::string& DevicePath)
    {
        int Ready[2];
        int Release[2];
        if (::pipe(Ready) != 0 || ::pipe(Release) != 0)
            throw std::runtime_error("no pipe");
        Child_ = ::fork();
        if (Child_ < 0)
            throw std::runtime_error("no fork");
        if (Child_ == 0) {
            ::close(Ready[0]);
            ::close(Release[1]);
            char Status = 'n';
            try {
                cport::TComPort Holder;
                Holder.SetEvents({});
                Holder.SetPort(DevicePath);
                Holder.Open();
                Status = 'y';
                (void)!::write(Ready[1], &Status, 1);
                (void)!::read(Release[0], &Status, 1);
            } catch (...) {
                (void)!::write(Ready[1], &Status, 1);
            }
            ::_exit(0);
        }
        ::close(Ready[1]);
        ::close(Release[0]);
        Release_ = Release[1];
        char Status = 'n';
        const bool Held = ::read(Ready[0], &Status, 1) == 1 && Status == 'y';
        ::close(Ready[0]);
        if (!Held) {
            Stop();
            throw std::runtime_error("the child could not open " + DevicePath);
        }
    }
    ~THeldElsewhere() { Stop(); }
    THeldElsewhere(const THeldElsewhere&) = delete;
    THeldElsewhere& operator=(const THeldElsewhere&) = delete;

    pid_t Process() const { return Child_; }

private:
    void Stop()
    {
        if (Release_ >= 0)
            ::close(Release_);
        Release_ = -1;
        if (Child_ > 0)
            ::waitpid(Child_, nullptr, 0);
        Child_ = -1;
    }

    pid_t Child_ = -1;
    int Release_ = -1;
};

// The name the process list gives this program (and its forked children).
inline std::string OwnProgramName()
{
    char Name[64] = {};
    FILE* Comm = std::fopen("/proc/self/comm", "r");
    if (Comm != nullptr) {
        if (std::fgets(Name, sizeof Name, Comm) == nullptr)
            Name[0] = '\0';
        std::fclose(Comm);
    }
    std::string Text(Name);
    if (!Text.empty() && Text.back() == '\n')
        Text.pop_back();
    return Text;
}

}  // namespace ports_test

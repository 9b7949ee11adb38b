// SPDX-License-Identifier: MIT
// Starting a program for a benchmark with its output out of the way.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

// What a benchmark's child prints, if anything.
enum class TChildOutput {
    Silent,     // stdout and stderr on /dev/null
    ErrorsOnly  // stdout on /dev/null, stderr kept
};

// Starts Arguments[0] (looked up in PATH when it holds no slash) with
// Arguments as its argv; its pid. Throws when it cannot be started.
inline pid_t SpawnQuiet(const std::vector<std::string>& Arguments, TChildOutput Output)
{
    std::vector<char*> Argv;
    for (const std::string& Argument : Arguments)
        Argv.push_back(const_cast<char*>(Argument.c_str()));
    Argv.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, 1, "/dev/null", O_WRONLY, 0);
    if (Output == TChildOutput::Silent)
        posix_spawn_file_actions_addopen(&Actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t Pid = -1;
    const int Failed = posix_spawnp(&Pid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    if (Failed != 0)
        throw std::runtime_error("cannot start " + Arguments[0]);
    return Pid;
}

// The exit code of a wait status; 128 + the signal for a child killed by one.
inline int ExitCodeOf(int Status)
{
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
}

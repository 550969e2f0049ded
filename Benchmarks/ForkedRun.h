// Runs a piece of a benchmark in a forked child process and returns what it printed,
// so that each run has a process of its own (its own peak memory, its own threads).
// Fork only from a single-threaded parent.
#pragma once

#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// Runs Work in a child that exits without tearing anything down, and puts the text it
// returned in OutText. False when the child could not run or did not exit cleanly.
inline bool RunInForkedChild(const std::function<std::string()>& Work, std::string& OutText)
{
    int Pipe[2];
    if (pipe(Pipe) != 0)
    {
        return false;
    }
    const pid_t Pid = fork();
    if (Pid == 0)
    {
        close(Pipe[0]);
        const std::string Text = Work();
        const bool bWritten =
            write(Pipe[1], Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
        close(Pipe[1]);
        _exit(bWritten ? 0 : 1);
    }
    close(Pipe[1]);
    OutText.clear();
    char Buffer[4096];
    for (ssize_t Got; (Got = read(Pipe[0], Buffer, sizeof(Buffer))) > 0;)
    {
        OutText.append(Buffer, static_cast<size_t>(Got));
    }
    close(Pipe[0]);
    int Status = 0;
    waitpid(Pid, &Status, 0);
    return Pid > 0 && WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
}

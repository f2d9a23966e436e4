#pragma once
// One plug-in command line run by /bin/sh with a pipe to its standard output (or input), in a
// process group of its own so that everything it starts can be ended together. Every running
// command is known to a process-wide list, so that a stopping daemon can end the commands that
// would otherwise keep its workers forever. Owned by the worker thread that runs the command;
// EndAll() may be called from any thread.
#include <string>

#include <sys/types.h>

class CommandProcess {
public:
    enum eDirection { eRead, eWrite };

    // Starts the shell; check running(), errno tells why it is not.
    CommandProcess(const std::string& line, eDirection direction);
    // Closes the pipe and collects the shell.
    ~CommandProcess();
    CommandProcess(const CommandProcess&) = delete;
    CommandProcess& operator=(const CommandProcess&) = delete;

    bool running() const { return pid_ > 0; }
    // The daemon's end of the pipe.
    int fd() const { return fd_; }

    // Sends `signal` to the process group of every running command; returns how many run.
    static int SignalAll(int signal);

private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

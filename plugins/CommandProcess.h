#pragma once
// One plug-in command line run by /bin/sh, with a pipe to its standard output or input or with
// none, in a process group of its own so that everything it starts can be ended together.
// This is the daemon's one launcher: callers' commands and timed actions both start here.
// Every process not yet collected is known to a process-wide list, so that a stopping daemon
// can end what would otherwise keep its workers or outlive it. Owned by the thread that
// started it (a worker for a command, the main thread for an action); the static members may
// be called from any thread.
#include <atomic>
#include <chrono>
#include <string>

#include <sys/types.h>

class CommandProcess {
public:
    enum eDirection { eRead, eWrite, eNoPipe };

    // Starts the shell with an empty signal mask, SIGPIPE and SIGXFSZ at their default actions
    // (the daemon ignores them) and only descriptors 0, 1 and 2, whatever else the daemon holds; check
    // running(), errno tells why it is not. The process is listed once the shell has started,
    // not before, so a SignalAll that comes at the same moment may miss it; stopping repeats
    // its signals while anything runs.
    CommandProcess(const std::string& line, eDirection direction);
    // Closes the pipe and collects the shell, waiting for it if need be.
    ~CommandProcess();
    CommandProcess(const CommandProcess&) = delete;
    CommandProcess& operator=(const CommandProcess&) = delete;

    bool running() const { return pid_ > 0; }

    // Reads the command's output: the bytes read, 0 at its end, -1 with errno set, ECANCELED
    // once the command was abandoned.
    ssize_t Read(char* buffer, std::size_t size);
    // Writes the whole block to the command's input; false when it stopped reading or was
    // abandoned.
    bool WriteAll(const std::string& data);
    // Closes the daemon's end of the pipe and waits for the shell; its wait status. An
    // abandoned shell is not waited for: it is given up, uncollected, and the status is 0.
    int Wait();
    // Collects the shell if it has ended, without waiting; true then, with its wait status.
    bool Collect(int& status);
    // Waits until the shell has ended or `until` has passed, without collecting it; whether it
    // has ended.
    bool AwaitEnd(std::chrono::steady_clock::time_point until) const;
    // Sends `signal` to the command's process group.
    void Signal(int signal) const;

    // Sends `signal` to the process group of every process not yet collected; how many. For a
    // stopping daemon: from then on, a shell collected has its group killed first, so nothing
    // it started outlives the daemon.
    static int SignalAll(int signal);
    // Makes every command running now stop reading its output, writing its input and waiting
    // for its shell; for output held open by a process that left the command's group, and for
    // a shell that left it. How many.
    static int AbandonAll();

private:
    // Takes the process off the list without collecting it.
    void GiveUp();

    pid_t pid_ = -1;
    int fd_ = -1;
    // Readable once the shell has ended; -1 when it could not be opened, and waits then poll
    // the shell's state every 100 ms.
    int pidfd_ = -1;
    std::atomic<bool> abandoned_{false};
};

#include "plugins/CommandProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "core/WriteAll.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// How often a command waiting for its pipe or its shell looks whether it was abandoned.
const int kAbandonCheckMillis = 100;

// glibc 2.36 declares pidfd_open without C linkage for C++, so it is called as the system call.
int PidDescriptor(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

std::mutex& ProcessesMutex()
{
    static std::mutex m;
    return m;
}

// Processes started and not yet collected, by the shell's pid, which is also the id of the
// process group.
std::map<pid_t, CommandProcess*>& Processes()
{
    static std::map<pid_t, CommandProcess*> processes;
    return processes;
}

// Set by the first SignalAll: the daemon is stopping, and what a command leaves behind in its
// group is ended with it.
std::atomic<bool> stopping{false};

}  // namespace

CommandProcess::CommandProcess(const std::string& line, eDirection direction)
{
    int ends[2] = {-1, -1};
    if (direction != eNoPipe && ::pipe2(ends, O_CLOEXEC) != 0)
        return;
    const int ours = direction == eRead ? ends[0] : ends[1];
    const int theirs = direction == eRead ? ends[1] : ends[0];

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (direction != eNoPipe)
        posix_spawn_file_actions_adddup2(&actions, theirs, direction == eRead ? STDOUT_FILENO : STDIN_FILENO);
    // Whatever the daemon or a library opened without close-on-exec stays out of the child.
    int error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The shell starts with no signal blocked, whichever thread starts it, and with SIGPIPE
    // (which the pipelines of plug-ins rely on to end) and SIGXFSZ at their defaults.
    sigset_t noSignals, pipeSignal;
    sigemptyset(&noSignals);
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigaddset(&pipeSignal, SIGXFSZ);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &pipeSignal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
    pid_t pid = -1;
    if (error == 0)
        error = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (direction != eNoPipe) {
        ::close(theirs);
        if (error != 0)
            ::close(ours);
    }
    if (error != 0) {
        errno = error;
        return;
    }
    // No lock is held across the start, so that commands of different plug-ins start at the
    // same time; the process is not collected before it is listed, so its id is still its own.
    pidfd_ = PidDescriptor(pid);
    {
        std::lock_guard<std::mutex> lock(ProcessesMutex());
        Processes()[pid] = this;
    }
    pid_ = pid;
    fd_ = ours;
    // Writes wait in poll, where an abandoned command is noticed.
    if (direction == eWrite)
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

CommandProcess::~CommandProcess()
{
    Wait();
}

ssize_t CommandProcess::Read(char* buffer, std::size_t size)
{
    for (;;) {
        if (abandoned_.load()) {
            errno = ECANCELED;
            return -1;
        }
        pollfd ready = {fd_, POLLIN, 0};
        const int n = ::poll(&ready, 1, kAbandonCheckMillis);
        if (n < 0 && errno != EINTR)
            return -1;
        if (n <= 0)
            continue;
        const ssize_t got = ::read(fd_, buffer, size);
        if (got < 0 && errno == EINTR)
            continue;
        return got;
    }
}

bool CommandProcess::WriteAll(const std::string& data)
{
    return ::WriteAll(fd_, data.data(), data.size(), [this] { return !abandoned_.load(); });
}

int CommandProcess::Wait()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    int status = 0;
    // Waited for without collecting, so that the group's id stays taken until it is off the
    // list and SignalAll cannot reach a process that got the id afterwards.
    while (!Collect(status)) {
        if (abandoned_.load()) {
            GiveUp();
            return 0;
        }
        AwaitEnd(Clock::now() + std::chrono::milliseconds(kAbandonCheckMillis));
    }
    return status;
}

bool CommandProcess::Collect(int& status)
{
    std::lock_guard<std::mutex> lock(ProcessesMutex());
    if (pid_ <= 0)
        return true;
    // A shell that ended may leave processes in its group which ignored the signals the group
    // got. Seen ended but not yet collected, the shell still holds the group's id, so the
    // group cannot be another one yet.
    siginfo_t info;
    info.si_pid = 0;
    if (stopping.load() && ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_)
        ::kill(-pid_, SIGKILL);
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == 0 || (done < 0 && errno == EINTR))
        return false;
    if (done < 0)
        status = 0;
    Processes().erase(pid_);
    pid_ = 0;
    if (pidfd_ >= 0) {
        ::close(pidfd_);
        pidfd_ = -1;
    }
    return true;
}

bool CommandProcess::AwaitEnd(std::chrono::steady_clock::time_point until) const
{
    if (pid_ <= 0)
        return true;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        const int wait = static_cast<int>(std::max<long long>(0, left + 1));
        if (pidfd_ >= 0) {
            pollfd ended = {pidfd_, POLLIN, 0};
            const int n = ::poll(&ended, 1, wait);
            if (n > 0)
                return true;
            if (n == 0 || errno != EINTR)
                return false;
            continue;
        }
        siginfo_t info = {};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0)
            return true;
        if (left <= 0)
            return false;
        ::poll(nullptr, 0, std::min(wait, kAbandonCheckMillis));
    }
}

void CommandProcess::GiveUp()
{
    std::lock_guard<std::mutex> lock(ProcessesMutex());
    Processes().erase(pid_);
    pid_ = 0;
    if (pidfd_ >= 0) {
        ::close(pidfd_);
        pidfd_ = -1;
    }
}

void CommandProcess::Signal(int signal) const
{
    std::lock_guard<std::mutex> lock(ProcessesMutex());
    if (pid_ > 0)
        ::kill(-pid_, signal);
}

int CommandProcess::SignalAll(int signal)
{
    std::lock_guard<std::mutex> lock(ProcessesMutex());
    stopping.store(true);
    for (const auto& entry : Processes())
        ::kill(-entry.first, signal);
    return static_cast<int>(Processes().size());
}

int CommandProcess::AbandonAll()
{
    std::lock_guard<std::mutex> lock(ProcessesMutex());
    for (const auto& entry : Processes())
        entry.second->abandoned_.store(true);
    return static_cast<int>(Processes().size());
}

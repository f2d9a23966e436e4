#include "plugins/CommandProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <set>

extern char** environ;

namespace {

std::mutex& GroupsMutex()
{
    static std::mutex m;
    return m;
}

// Process groups of the commands running now; a group's id is its shell's pid.
std::set<pid_t>& Groups()
{
    static std::set<pid_t> groups;
    return groups;
}

}  // namespace

CommandProcess::CommandProcess(const std::string& line, eDirection direction)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return;
    const int ours = direction == eRead ? ends[0] : ends[1];
    const int theirs = direction == eRead ? ends[1] : ends[0];

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, theirs, direction == eRead ? STDOUT_FILENO : STDIN_FILENO);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const char* argv[] = {"sh", "-c", line.c_str(), nullptr};
    pid_t pid = -1;
    int error = 0;
    {
        // Registered before the shell can start anything, so EndAll never misses a group.
        std::lock_guard<std::mutex> lock(GroupsMutex());
        error = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char**>(argv), environ);
        if (error == 0)
            Groups().insert(pid);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(theirs);
    if (error != 0) {
        ::close(ours);
        errno = error;
        return;
    }
    pid_ = pid;
    fd_ = ours;
}

CommandProcess::~CommandProcess()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (pid_ <= 0)
        return;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> lock(GroupsMutex());
    Groups().erase(pid_);
}

int CommandProcess::SignalAll(int signal)
{
    std::lock_guard<std::mutex> lock(GroupsMutex());
    for (pid_t group : Groups())
        ::kill(-group, signal);
    return static_cast<int>(Groups().size());
}

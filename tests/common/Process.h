#pragma once
// A child process started from a test, with its standard error captured to a file.
// Always ended and collected by the destructor, so a failing test leaves nothing running.
#include <chrono>
#include <cstdio>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/TestSupport.h"

namespace corvane_test {

class Process {
public:
    Process(const std::vector<std::string>& argv, const std::string& stderrPath, const std::string& cwd = "")
    {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0)
                dup2(err, 2);
            int devnull = open("/dev/null", O_RDWR);
            if (devnull >= 0) {
                dup2(devnull, 0);
                dup2(devnull, 1);
            }
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                _exit(126);
            // The daemon keeps a stop signal it starts with ignored: each child starts with the
            // defaults, whatever this test was started with (a background job ignores INT and QUIT).
            for (int sig = 1; sig < NSIG; ++sig)
                signal(sig, SIG_DFL);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Process()
    {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    void Signal(int sig) { kill(pid_, sig); }

    // Exit status, or -1 if the process is still running after the wait (then it is killed
    // by the destructor). A death by signal gives 128 + the signal number.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        auto until = std::chrono::steady_clock::now() + limit;
        while (true) {
            int status = 0;
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() > until)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

// Polls until the predicate holds or the limit passes; for start-up, never for timing goals.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    auto until = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline bool ProcessAlive(pid_t pid) { return kill(pid, 0) == 0; }

// Processes whose parent is `pid`, and how many of them have ended uncollected.
inline int ChildrenOf(pid_t pid, bool zombiesOnly)
{
    int count = 0;
    DIR* proc = opendir("/proc");
    while (struct dirent* e = readdir(proc)) {
        std::string stat = ReadFile(std::string("/proc/") + e->d_name + "/stat");
        size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == pid &&
            (!zombiesOnly || state == 'Z'))
            ++count;
    }
    closedir(proc);
    return count;
}

inline int Zombies(pid_t pid) { return ChildrenOf(pid, true); }

// Descriptors the process holds open right now.
inline int OpenDescriptors(pid_t pid)
{
    int count = 0;
    DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (fds == nullptr)
        return -1;
    while (struct dirent* e = readdir(fds))
        if (e->d_name[0] != '.')
            ++count;
    closedir(fds);
    return count;
}

// CPU seconds (user and system) the process has used so far.
inline double CpuSeconds(pid_t pid)
{
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    unsigned long utime = 0, stime = 0;
    // Fields 14 and 15, counted from the state field that follows the name.
    if (close == std::string::npos ||
        sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline std::string DaemonPath() { return std::string(CORVANE_BINARY_DIR) + "/core/corvaned"; }

}  // namespace corvane_test

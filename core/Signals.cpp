#include "core/Signals.h"

#include <csignal>
#include <string>

#include "core/GlobalExit.h"
#include "core/Logger.h"

std::atomic<bool> GlobalExit{false};

namespace {

// Besides INT and TERM, the signals an operator or a tool may send a daemon (a log rotation's
// HUP, a quit key, a stray alarm): by default each would end the process on the spot,
// leaving the pid file, the Bye and the running commands behind.
const struct {
    int number;
    const char* name;
} kStopSignals[] = {
    {SIGINT, "SIGINT"},   {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGUSR1, "SIGUSR1"},
    {SIGUSR2, "SIGUSR2"}, {SIGQUIT, "SIGQUIT"}, {SIGALRM, "SIGALRM"},
};

// Signals a failed write raises besides its error: the write's EPIPE or EFBIG is handled where
// it happens, while the default action would end the daemon on the spot.
const struct {
    int number;
    const char* name;
} kIgnoredSignals[] = {
    {SIGPIPE, "SIGPIPE"},  // a pipe, socket or FIFO whose reader is gone
    {SIGXFSZ, "SIGXFSZ"},  // the log file at the file-size limit (ulimit -f)
};

}  // namespace

void signal_handler(int sig)
{
    for (const auto& s : kStopSignals) {
        if (s.number == sig) {
            GlobalExit.store(true);
            return;
        }
    }
    // Only reachable if the handler is installed for another signal, which this program never does.
    Logger::GetInstance()->Log(Logger::eWarn, "unknown signal caught: " + std::to_string(sig));
}

int install_signal_handler()
{
    struct sigaction action = {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;

    for (const auto& s : kStopSignals) {
        // A stop signal the daemon was started with ignored stays ignored: nohup ignores HUP,
        // and a shell without job control INT and QUIT for its background jobs, so that
        // these do not end what they started.
        struct sigaction inherited = {};
        if (sigaction(s.number, nullptr, &inherited) == 0 && !(inherited.sa_flags & SA_SIGINFO) &&
            inherited.sa_handler == SIG_IGN)
            continue;
        const int rc = sigaction(s.number, &action, nullptr);
        if (rc != 0) {
            Logger::GetInstance()->Log(Logger::eError, std::string("set sigaction for ") + s.name + " failed");
            return rc;
        }
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (const auto& s : kIgnoredSignals) {
        const int rc = sigaction(s.number, &ignore, nullptr);
        if (rc != 0) {
            Logger::GetInstance()->Log(Logger::eError, std::string("set sigaction for ") + s.name + " failed");
            return rc;
        }
    }
    return 0;
}

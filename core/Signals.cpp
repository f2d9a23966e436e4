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
        const int rc = sigaction(s.number, &action, nullptr);
        if (rc != 0) {
            Logger::GetInstance()->Log(Logger::eError, std::string("set sigaction for ") + s.name + " failed");
            return rc;
        }
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    const int rc = sigaction(SIGPIPE, &ignore, nullptr);
    if (rc != 0)
        Logger::GetInstance()->Log(Logger::eError, "set sigaction for SIGPIPE failed");
    return rc;
}

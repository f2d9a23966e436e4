#include "core/Signals.h"

#include <csignal>
#include <string>

#include "core/GlobalExit.h"
#include "core/Logger.h"

std::atomic<bool> GlobalExit{false};

void signal_handler(int sig)
{
    if (sig == SIGINT || sig == SIGTERM) {
        GlobalExit.store(true);
        return;
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

    int rc = sigaction(SIGINT, &action, nullptr);
    if (rc != 0) {
        Logger::GetInstance()->Log(Logger::eError, "set sigaction for SIGINT failed");
        return rc;
    }
    rc = sigaction(SIGTERM, &action, nullptr);
    if (rc != 0) {
        Logger::GetInstance()->Log(Logger::eError, "set sigaction for SIGTERM failed");
        return rc;
    }
    return 0;
}

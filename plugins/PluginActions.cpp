#include "plugins/Plugin.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <sys/wait.h>
#include <unistd.h>

#include "core/Logger.h"

void Plugin::ExecuteActionsSets()
{
    CollectActionChildren();
    for (ActionSet& set : actionSets_)
        ExecuteActionSet(set, static_cast<long>(std::time(nullptr)));
}

void Plugin::ExecuteActionsSets(long now)
{
    CollectActionChildren();
    for (ActionSet& set : actionSets_)
        ExecuteActionSet(set, now);
}

void Plugin::ExecuteActionSet(ActionSet& set, long now)
{
    Logger* log = Logger::GetInstance();
    for (const Action& action : set.GetDueActions(now)) {
        std::string word;
        try {
            word = GetCommandMapping(action.GetActionName());
        } catch (const std::out_of_range&) {
            // Not visible to "*": skip this action, the others still run.
            log->Log(Logger::eError, "plugin " + name_ + ": action " + action.GetActionName() +
                                         " has no command word, skipped");
            continue;
        } catch (const std::exception& e) {
            log->Log(Logger::eError, "plugin " + name_ + ": action " + action.GetActionName() +
                                         " skipped: " + e.what());
            continue;
        }
        const std::string target = action.GetInstanceType() + "." + action.GetInstanceName();
        std::list<std::string> arguments{word, target};
        log->Log(Logger::eTrace, "we would run now: action " + word + ", with parameter " +
                                     action.GetParameterName() + " on instance " + target);
        ExecPluginAndContinue(arguments);
    }
}

void Plugin::ExecPluginAndContinue(std::list<std::string>& arguments)
{
    Logger* log = Logger::GetInstance();
    arguments.push_front(executablePath_);

    // Everything the child needs is prepared here: after fork it may only make
    // async-signal-safe calls, since another thread may have held a lock (the logger's,
    // malloc's) at the moment of the fork. Path, command word and target all come from the
    // description, the administrator's shell text, and go in as written.
    std::string line;
    for (const std::string& argument : arguments)
        line += " " + argument;
    char shell[] = "/bin/sh";
    char shellName[] = "sh";
    char shellOption[] = "-c";
    char* const shellArguments[] = {shellName, shellOption, &line[0], nullptr};
    sigset_t noSignals;
    sigemptyset(&noSignals);

    const pid_t child = ::fork();
    if (child == -1) {
        const int error = errno;
        log->Log(Logger::eError, std::string("problem forking: ") + std::strerror(error));
        return;
    }
    if (child == 0) {
        ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
        ::execve(shell, shellArguments, environ);
        ::_exit(127);
    }
    actionChildren_.push_back(child);
}

void Plugin::CollectActionChildren()
{
    // Only the children started here: a wait for any child would take those of the command
    // pipes away from their pclose.
    for (auto it = actionChildren_.begin(); it != actionChildren_.end();) {
        int status = 0;
        const pid_t done = ::waitpid(*it, &status, WNOHANG);
        if (done == 0 || (done == -1 && errno == EINTR)) {
            ++it;
            continue;
        }
        // The status is the raw wait status of the shell, as system() would have returned it.
        if (done == *it && status != 0)
            Logger::GetInstance()->Log(Logger::eError,
                                       "plugin " + name_ + ": problem exec'ing: " + executablePath_ +
                                           " returned: " + std::to_string(status));
        it = actionChildren_.erase(it);
    }
}

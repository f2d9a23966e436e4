#include "plugins/Plugin.h"

#include <cerrno>
#include <cstring>
#include <ctime>

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
    arguments.push_front(executablePath_);
    // Path, command word and target all come from the description, the administrator's
    // shell text, and go in as written.
    std::string line;
    for (const std::string& argument : arguments)
        line += " " + argument;
    std::unique_ptr<CommandProcess> child(new CommandProcess(line, CommandProcess::eNoPipe));
    if (!child->running()) {
        const int error = errno;
        Logger::GetInstance()->Log(Logger::eError, std::string("problem forking: ") + std::strerror(error));
        return;
    }
    actionChildren_.push_back(std::move(child));
}

std::size_t Plugin::CollectActionChildren()
{
    return CollectActionChildren(std::chrono::steady_clock::time_point());
}

std::size_t Plugin::CollectActionChildren(std::chrono::steady_clock::time_point until)
{
    for (auto it = actionChildren_.begin(); it != actionChildren_.end();) {
        int status = 0;
        if (!(*it)->AwaitEnd(until) || !(*it)->Collect(status)) {
            ++it;
            continue;
        }
        // The raw wait status of the shell, as system() would have returned it.
        if (status != 0)
            Logger::GetInstance()->Log(Logger::eError,
                                       "plugin " + name_ + ": problem exec'ing: " + executablePath_ +
                                           " returned: " + std::to_string(status));
        it = actionChildren_.erase(it);
    }
    return actionChildren_.size();
}
